// Deleting 100,000 call records from the record database, as the storage
// keeper asks for it: by age (everything before a date) and by size (the
// oldest records until enough megabytes are freed). Each row names a real
// record file in its day directory (the header a CWavFile writes, the audio
// sparse so that the run needs no disk space), which the deletion checks
// and removes with it; with Arg 0 the files are already gone, which
// measures the table's side alone. Meanwhile another thread appends a
// record every 10 ms, as the record database's writer does while the server
// records: append_max_ms is the longest one of those appends took, so a
// deletion that held the table for long would show there.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "BenchDir.h"
#include "storage/RecordDbLibrary.h"
#include "storage/WavFile.h"

namespace {

using namespace zorv;

constexpr int kRecords = 100'000;
constexpr int kDays = 100;               // the records spread over 100 days
constexpr off_t kFileBytes = 64 * 1024;  // a 4-second record at 8000 Hz

using bench::CBenchDir;

// The header of a record as the recorder writes it (16-bit PCM, 8000 Hz),
// taken from a record file made once.
std::vector<char> RecordHeader(const std::string& dir) {
    const std::string path = dir + "/header.wav";
    CWavFile file;
    file.SetFormat(1, 16, 8000, 1);
    std::vector<char> bytes;
    if (!file.CreateNew(path, 0, CWavFile::kShareRead, true)) {
        std::perror("record header");
        return bytes;
    }
    file.Close();
    bytes.resize(std::filesystem::file_size(path));
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || ::read(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
        std::perror("record header");
    }
    ::close(fd);
    std::filesystem::remove(path);
    return bytes;
}

// A table of kRecords rows (and files, when withFiles) in dir; the handle.
int32_t Fill(CRecordDbLibrary& library, const std::string& dir, bool withFiles) {
    const std::string root = dir + "/records";
    std::filesystem::create_directories(root);
    const std::vector<char> header = RecordHeader(dir);
    const int32_t handle = library.Open(IRecordDbLibrary::kKindRecordTable, dir, "ZORV.dbf",
                                        IRecordDbLibrary::kModeServer);
    library.SetRecordRoots(handle, {root});
    std::vector<tagDB_Record> records(1000);
    std::vector<RecordDbChange> changes(records.size());
    std::vector<int32_t> results(records.size());
    for (int first = 0; first < kRecords; first += static_cast<int>(records.size())) {
        for (std::size_t k = 0; k < records.size(); ++k) {
            const int n = first + static_cast<int>(k);
            const int day = n / (kRecords / kDays);  // 0..99, in start order
            tagDB_Record& r = records[k];
            std::memset(&r, 0, sizeof r);
            r.year = 2026;
            r.mon = 1 + day / 28;
            r.day = 1 + day % 28;
            r.hour = static_cast<uint32_t>(n % 1000 / 60 % 24);
            r.min = static_cast<uint32_t>(n % 60);
            r.NChanel = static_cast<uint32_t>(n % 18);
            char name[64];
            std::snprintf(name, sizeof name, "%04u%02u%02u.zr18/%04u%02u%02u%02u%02u00%03u%d0z18.wav",
                          r.year, r.mon, r.day, r.year, r.mon, r.day, r.hour, r.min, r.NChanel, n);
            const std::string file = root + "/" + name;
            std::snprintf(r.namefile, sizeof r.namefile, "%s", file.c_str());
            if (withFiles) {
                std::filesystem::create_directories(std::filesystem::path(file).parent_path());
                const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
                if (fd >= 0) {
                    if (::write(fd, header.data(), header.size()) !=
                            static_cast<ssize_t>(header.size()) ||
                        ::ftruncate(fd, kFileBytes) != 0) {
                        std::perror("record file");
                    }
                    ::close(fd);
                }
            }
            changes[k] = {RecordDbChange::Kind::kAppend, &r};
        }
        library.Apply(handle, changes, results);
    }
    return handle;
}

// Appends a record every 10 ms to the table while it lives; the longest
// append and their number.
class CAppendProbe {
public:
    CAppendProbe(CRecordDbLibrary& library, int32_t handle) {
        m_thread = std::thread([this, &library, handle] {
            tagDB_Record r{};
            r.year = 2026;
            r.mon = 12;
            r.day = 31;
            for (int n = 0; !m_stop; ++n) {
                std::snprintf(r.namefile, sizeof r.namefile, "/new/%d.wav", n);
                const auto start = std::chrono::steady_clock::now();
                library.Append(handle, r);
                const auto took = std::chrono::steady_clock::now() - start;
                m_maxNs = std::max<int64_t>(
                    m_maxNs, std::chrono::duration_cast<std::chrono::nanoseconds>(took).count());
                ++m_count;
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
    }
    // Stops the appends; the counters of the run.
    void Report(benchmark::State& state) {
        m_stop = true;
        m_thread.join();
        state.counters["append_max_ms"] = static_cast<double>(m_maxNs) / 1e6;
        state.counters["appends"] = static_cast<double>(m_count);
    }

private:
    std::atomic<bool> m_stop{false};
    int64_t m_maxNs = 0;  // the probe's thread until joined
    int m_count = 0;
    std::thread m_thread;
};

// Times one deletion over a freshly filled table, with the longest append
// a writer saw meanwhile.
template <typename Delete>
void TimeDeletion(benchmark::State& state, Delete deletion) {
    const bool withFiles = state.range(0) != 0;
    for (auto _ : state) {
        state.PauseTiming();
        CBenchDir dir;
        CRecordDbLibrary library;
        const int32_t handle = Fill(library, dir.Path(), withFiles);
        CAppendProbe probe(library, handle);
        state.ResumeTiming();
        const int32_t freed = deletion(library, handle, withFiles);
        benchmark::DoNotOptimize(freed);
        state.PauseTiming();
        probe.Report(state);
        state.counters["freed_MB"] = freed;
        library.Close(handle);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kRecords);
}

void DeleteByAge(benchmark::State& state) {
    TimeDeletion(state, [](CRecordDbLibrary& library, int32_t handle, bool) {
        // Every record is older than the day after the last one.
        return library.DeleteBefore(handle, 2026, 5, 1, nullptr);
    });
}

void DeleteBySize(benchmark::State& state) {
    // All of them: 100,000 files of 64 KiB.
    const int32_t megabytes = static_cast<int32_t>((int64_t{kRecords} * kFileBytes) >> 20);
    TimeDeletion(state, [megabytes](CRecordDbLibrary& library, int32_t handle, bool withFiles) {
        return library.DeleteOldest(handle, withFiles ? megabytes : 1, nullptr);
    });
}

BENCHMARK(DeleteByAge)->Arg(1)->Arg(0)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(DeleteBySize)->Arg(1)->Arg(0)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
