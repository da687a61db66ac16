// Record writing at full load: 1800 lines recorded at once, each receiving
// an 8-ms block of 64 samples (8000 Hz, 16-bit mono) per tick, as the device
// reading threads deliver them. Reports the CPU time per channel-second of
// audio, the WriteAudio calls per second and the write system calls per
// channel-second (from /proc/self/io), which the writer's buffer keeps low.
//
// The default run is short: 250 ticks (two seconds of audio, about 58 MB).
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <time.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "storage/WavFile.h"

namespace {

constexpr int kChannels = 1800;
constexpr int kSamplesPerBlock = 64;
constexpr double kBlockSeconds = 0.008;

double ProcessCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Write system calls of this process so far.
int64_t WriteSyscalls() {
    std::ifstream io("/proc/self/io");
    std::string key;
    int64_t value = 0;
    while (io >> key >> value) {
        if (key == "syscw:") {
            return value;
        }
    }
    return -1;
}

class CScratchDir {
public:
    CScratchDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "zorv-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) {
            m_path = pattern;
        }
    }
    ~CScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

void BM_Record1800Channels(benchmark::State& state) {
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    if (files.rlim_cur < kChannels + 64) {
        files.rlim_cur = std::min<rlim_t>(files.rlim_max, kChannels + 256);
        setrlimit(RLIMIT_NOFILE, &files);
    }
    CScratchDir dir;
    std::vector<std::unique_ptr<zorv::CWavFile>> records;
    for (int line = 0; line < kChannels; ++line) {
        auto wav = std::make_unique<zorv::CWavFile>();
        wav->SetFormat(1, 16, 8000, zorv::kWaveFormatPcm);
        zorv::SetText(wav->getDbRecord().TlfString_1, "84951234567");
        const std::string name =
            dir.Path() + "/20240101120000" + std::to_string(1000 + line) + "0z18.wav";
        if (dir.Path().empty() || !wav->CreateNew(name, 0, zorv::CWavFile::kShareRead)) {
            state.SkipWithError("cannot create the record files (open-file limit?)");
            return;
        }
        records.push_back(std::move(wav));
    }
    std::vector<int16_t> block(kSamplesPerBlock);
    for (int i = 0; i < kSamplesPerBlock; ++i) {
        block[i] = static_cast<int16_t>((i * 997) % 20000 - 10000);
    }

    int64_t refused = 0;
    const int64_t syscallsBefore = WriteSyscalls();
    const double cpuBefore = ProcessCpuSeconds();
    for (auto _ : state) {
        for (auto& wav : records) {
            if (wav->WriteAudio(block.data(), sizeof(int16_t) * block.size()) == 0) {
                ++refused;
            }
        }
    }
    const double cpuSeconds = ProcessCpuSeconds() - cpuBefore;
    const int64_t syscalls = WriteSyscalls() - syscallsBefore;
    for (auto& wav : records) {
        wav->Close();
    }

    const double channelSeconds =
        static_cast<double>(state.iterations()) * kChannels * kBlockSeconds;
    state.counters["cpu_us_per_channel_s"] = 1e6 * cpuSeconds / channelSeconds;
    state.counters["write_syscalls_per_channel_s"] = static_cast<double>(syscalls) / channelSeconds;
    state.counters["writes_per_s"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * kChannels, benchmark::Counter::kIsRate);
    state.counters["refused"] = static_cast<double>(refused);
    // Real time budget: one tick of 1800 blocks must take well under 8 ms.
    state.SetItemsProcessed(state.iterations() * kChannels);
    state.SetBytesProcessed(state.iterations() * kChannels * kSamplesPerBlock * 2);
}
BENCHMARK(BM_Record1800Channels)->Iterations(250)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
