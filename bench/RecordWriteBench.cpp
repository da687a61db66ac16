// Record writing at full load: 1800 lines recorded at once, each receiving
// an 8-ms block of 64 samples (8000 Hz, 16-bit mono) per tick, as the device
// reading threads deliver them. Reports the CPU time per channel-second of
// audio, the write system calls per channel-second (from /proc/self/io) and
// the CPU time of closing one record.
//
// The recorder's channels gather blocks for up to one second before they hand
// them to the record writer (the run with 16000 bytes); the run with one
// block per call shows the writer's own buffering.
//
// The same workload is written in the same run with libsndfile as the
// yardstick: once with the caller collecting 8192 bytes per record before
// sf_write_short (the record writer's own buffer size) and once collecting a
// whole second of audio per record (libsndfile's best case here).
//
// The default run is short: 250 ticks (two seconds of audio, about 58 MB).
#include <benchmark/benchmark.h>
#include <sndfile.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
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

// One record of the workload behind the writer being measured.
class IRecordSink {
public:
    virtual ~IRecordSink() = default;
    virtual bool Create(const std::string& path) = 0;
    virtual bool Write(const int16_t* samples, std::size_t count) = 0;
    virtual bool Close() = 0;
};

// The record writer fed as the channel pipeline feeds it: blocks gathered in
// the channel's buffer (up to one second) and handed over when it is full.
class CWavFileSink final : public IRecordSink {
public:
    explicit CWavFileSink(std::size_t bufferBytes) : m_buffer(bufferBytes) {}

    bool Create(const std::string& path) override {
        m_wav.SetFormat(1, 16, 8000, zorv::kWaveFormatPcm);
        zorv::SetText(m_wav.getDbRecord().TlfString_1, "84951234567");
        return m_wav.CreateNew(path, 0, zorv::CWavFile::kShareRead);
    }
    bool Write(const int16_t* samples, std::size_t count) override {
        const std::size_t bytes = sizeof(int16_t) * count;
        if (m_used + bytes > m_buffer.size() && !Drain()) {
            return false;
        }
        if (bytes > m_buffer.size()) {
            return m_wav.WriteAudio(samples, bytes) == bytes;
        }
        std::memcpy(m_buffer.data() + m_used, samples, bytes);
        m_used += bytes;
        return true;
    }
    bool Close() override {
        const bool ok = Drain();
        return m_wav.Close() && ok;
    }

private:
    bool Drain() {
        const std::size_t n = m_used;
        m_used = 0;
        return n == 0 || m_wav.WriteAudio(m_buffer.data(), n) == n;
    }

    zorv::CWavFile m_wav;
    std::vector<uint8_t> m_buffer;
    std::size_t m_used = 0;
};

// libsndfile with the caller collecting bufferBytes per record.
class CSndfileSink final : public IRecordSink {
public:
    explicit CSndfileSink(std::size_t bufferBytes) : m_buffer(bufferBytes / sizeof(int16_t)) {}
    ~CSndfileSink() override { Close(); }

    bool Create(const std::string& path) override {
        SF_INFO info{};
        info.samplerate = 8000;
        info.channels = 1;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        m_file = sf_open(path.c_str(), SFM_WRITE, &info);
        return m_file != nullptr;
    }
    bool Write(const int16_t* samples, std::size_t count) override {
        while (count > 0) {
            const std::size_t piece = std::min(count, m_buffer.size() - m_used);
            std::copy(samples, samples + piece,
                      m_buffer.begin() + static_cast<std::ptrdiff_t>(m_used));
            m_used += piece;
            samples += piece;
            count -= piece;
            if (m_used == m_buffer.size() && !Drain())
                return false;
        }
        return true;
    }
    bool Close() override {
        if (m_file == nullptr)
            return true;
        const bool ok = Drain();
        sf_close(m_file);
        m_file = nullptr;
        return ok;
    }

private:
    bool Drain() {
        const auto n = static_cast<sf_count_t>(m_used);
        m_used = 0;
        return sf_write_short(m_file, m_buffer.data(), n) == n;
    }

    SNDFILE* m_file = nullptr;
    std::vector<int16_t> m_buffer;
    std::size_t m_used = 0;
};

template <typename MakeSink>
void RecordAllChannels(benchmark::State& state, MakeSink makeSink) {
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    if (files.rlim_cur < kChannels + 64) {
        files.rlim_cur = std::min<rlim_t>(files.rlim_max, kChannels + 256);
        setrlimit(RLIMIT_NOFILE, &files);
    }
    CScratchDir dir;
    std::vector<std::unique_ptr<IRecordSink>> records;
    for (int line = 0; line < kChannels; ++line) {
        std::unique_ptr<IRecordSink> sink = makeSink();
        const std::string name =
            dir.Path() + "/20240101120000" + std::to_string(1000 + line) + "0z18.wav";
        if (dir.Path().empty() || !sink->Create(name)) {
            state.SkipWithError("cannot create the record files (open-file limit?)");
            return;
        }
        records.push_back(std::move(sink));
    }
    std::vector<int16_t> block(kSamplesPerBlock);
    for (int i = 0; i < kSamplesPerBlock; ++i) {
        block[i] = static_cast<int16_t>((i * 997) % 20000 - 10000);
    }

    int64_t refused = 0;
    const int64_t syscallsBefore = WriteSyscalls();
    const double cpuBefore = ProcessCpuSeconds();
    for (auto _ : state) {
        for (auto& record : records) {
            if (!record->Write(block.data(), block.size())) {
                ++refused;
            }
        }
    }
    const double cpuSeconds = ProcessCpuSeconds() - cpuBefore;
    const int64_t syscalls = WriteSyscalls() - syscallsBefore;
    const double closeBefore = ProcessCpuSeconds();
    for (auto& record : records) {
        if (!record->Close()) {
            ++refused;
        }
    }
    const double closeSeconds = ProcessCpuSeconds() - closeBefore;

    const double channelSeconds =
        static_cast<double>(state.iterations()) * kChannels * kBlockSeconds;
    // Writing and closing together: what a record costs over its life here.
    state.counters["cpu_us_per_channel_s"] = 1e6 * (cpuSeconds + closeSeconds) / channelSeconds;
    state.counters["write_cpu_us_per_channel_s"] = 1e6 * cpuSeconds / channelSeconds;
    state.counters["close_cpu_us"] = 1e6 * closeSeconds / kChannels;
    state.counters["write_syscalls_per_channel_s"] = static_cast<double>(syscalls) / channelSeconds;
    state.counters["refused"] = static_cast<double>(refused);
    state.SetItemsProcessed(state.iterations() * kChannels);
    state.SetBytesProcessed(state.iterations() * kChannels * kSamplesPerBlock * 2);
}

// Argument: bytes the channel gathers before each WriteAudio (one block, or
// the channel's one-second buffer as the recorder runs).
void BM_Record1800Channels(benchmark::State& state) {
    const auto bufferBytes = static_cast<std::size_t>(state.range(0));
    RecordAllChannels(state, [bufferBytes] { return std::make_unique<CWavFileSink>(bufferBytes); });
}
BENCHMARK(BM_Record1800Channels)
    ->Arg(kSamplesPerBlock * 2)
    ->Arg(16000)  // one second at 8000 Hz
    ->Iterations(250)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Argument: bytes collected per record before each sf_write_short.
void BM_Sndfile1800Channels(benchmark::State& state) {
    const auto bufferBytes = static_cast<std::size_t>(state.range(0));
    RecordAllChannels(state, [bufferBytes] { return std::make_unique<CSndfileSink>(bufferBytes); });
}
BENCHMARK(BM_Sndfile1800Channels)
    ->Arg(8192)
    ->Arg(16000)  // one second at 8000 Hz
    ->Iterations(250)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
