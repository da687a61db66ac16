// The record database writer under load: how many records per second its
// thread writes to a real table file, and whether a burst of records closing
// together fits its ring of 1000 waiting items. The thread writes in batches,
// one transaction (one sync to disk) each; the counters show how large the
// batches got and how long each held the table.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <latch>
#include <mutex>
#include <random>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "BenchDir.h"
#include "core/ServerMessage.h"
#include "storage/DataBase.h"
#include "storage/RecordDbLibrary.h"

namespace {

using namespace zorv;

constexpr int kDevices = 100;
constexpr int kChannelsPerDevice = 18;

using bench::CBenchDir;

// Counts the refusals the database reports.
class CCountingServer final : public IServer {
public:
    bool Post(int32_t code, int32_t a, int32_t b, int32_t) override {
        if (code == kMsgFailure && a == kFailureDatabase && b == kDbFailureQueueFull) {
            ++m_refused;
        } else {
            ++m_other;
        }
        return true;
    }
    void WriteJournal(int, std::string_view) override {}
    std::atomic<int64_t> m_refused{0};
    std::atomic<int64_t> m_other{0};
};

// Counts finished records: each is handed over after it was written.
class CCountingArchiver final : public IArchiveQueue {
public:
    void Enqueue(const tagDB_Record&) override {
        std::lock_guard lock(m_lock);
        ++m_count;
        m_changed.notify_all();
    }
    void RefreshQueue() override {}
    void WaitFor(int64_t count) {
        std::unique_lock lock(m_lock);
        m_changed.wait(lock, [&] { return m_count >= count; });
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    int64_t m_count = 0;
};

// The real library, timing its batches. Counters are read after the
// database closed.
class CTimedLibrary final : public IRecordDbLibrary {
public:
    int32_t Open(int32_t kind, const std::string& directory, const std::string& fileName,
                 int32_t mode) override {
        return m_real.Open(kind, directory, fileName, mode);
    }
    int32_t Append(int32_t handle, const tagDB_Record& record) override {
        return m_real.Append(handle, record);
    }
    int32_t Update(int32_t handle, const tagDB_Record& record) override {
        return m_real.Update(handle, record);
    }
    int32_t Delete(int32_t handle, const tagDB_Record& record) override {
        return m_real.Delete(handle, record);
    }
    int32_t Apply(int32_t handle, std::span<const RecordDbChange> changes,
                  std::span<int32_t> results) override {
        const auto began = std::chrono::steady_clock::now();
        const int32_t result = m_real.Apply(handle, changes, results);
        const double ms = Ms(std::chrono::steady_clock::now() - began);
        ++m_batches;
        m_maxBatch = std::max<int64_t>(m_maxBatch, static_cast<int64_t>(changes.size()));
        m_maxBatchMs = std::max(m_maxBatchMs, ms);
        return result;
    }
    int32_t DeleteOldest(int32_t handle, int32_t megabytes, RecordDeletionTally* tally) override {
        return m_real.DeleteOldest(handle, megabytes, tally);
    }
    int32_t DeleteBefore(int32_t handle, int32_t year, int32_t month, int32_t day,
                         RecordDeletionTally* tally) override {
        return m_real.DeleteBefore(handle, year, month, day, tally);
    }
    void Close(int32_t handle) override { m_real.Close(handle); }
    bool SetRecordRoots(int32_t handle, const std::vector<std::string>& roots) override {
        return m_real.SetRecordRoots(handle, roots);
    }
    int32_t FindFormat(int32_t handle, const tagDB_Record& record, uint32_t& format) override {
        return m_real.FindFormat(handle, record, format);
    }
    int32_t FilesWithFormat(int32_t handle, uint32_t format,
                            std::vector<std::string>& namefiles) override {
        return m_real.FilesWithFormat(handle, format, namefiles);
    }

    static double Ms(std::chrono::steady_clock::duration d) {
        return std::chrono::duration<double, std::milli>(d).count();
    }

    // Written on the database thread only
    int64_t m_batches = 0;
    int64_t m_maxBatch = 0;
    double m_maxBatchMs = 0;

private:
    CRecordDbLibrary m_real;
};

tagDB_Record ClosingRecord(const std::string& root, int64_t sequence) {
    tagDB_Record r{};
    r.year = 2024;
    r.mon = 5;
    r.day = 6;
    r.hour = static_cast<uint32_t>(sequence / 3600 % 24);
    r.min = static_cast<uint32_t>(sequence / 60 % 60);
    r.sec = static_cast<uint32_t>(sequence % 60);
    r.dmin = 3;
    r.dsek = 12;
    r.NChanel = static_cast<uint32_t>(sequence % (kDevices * kChannelsPerDevice));
    r.inout = 3;
    SetText(r.serverName, "Server");
    SetText(r.TlfString_1, "84951234567");
    SetText(r.alias, "Line");
    SetText(r.namefile, root + "/20240506.zr18/20240506" + std::to_string(sequence) + "00z18.wav");
    return r;
}

// Records finished and written per second: each batch of unregistered
// closing records is inserted as final (append, then the archiver).
void BM_DataBaseAppends(benchmark::State& state) {
    CBenchDir dir;
    CCountingServer server;
    CTimedLibrary library;
    CCountingArchiver archiver;
    CDataBase db(server, library, &archiver, "ZORV.dbf");
    if (!db.Open(dir.Path())) {
        state.SkipWithError("open failed");
        return;
    }
    const int64_t batch = state.range(0);
    int64_t sequence = 0;
    for (auto _ : state) {
        for (int64_t i = 0; i < batch; ++i) {
            tagDB_Record r = ClosingRecord(dir.Path(), sequence++);
            db.UpdateDbRecord(r, 0, 0);
        }
        archiver.WaitFor(sequence - server.m_refused);
    }
    db.Close();
    state.SetItemsProcessed(sequence);
    state.counters["refused"] = static_cast<double>(server.m_refused);
    state.counters["failed"] = static_cast<double>(server.m_other);
    state.counters["commits"] = benchmark::Counter(static_cast<double>(library.m_batches),
                                                   benchmark::Counter::kAvgIterations);
    state.counters["maxBatch"] = static_cast<double>(library.m_maxBatch);
    state.counters["maxBatchMs"] = library.m_maxBatchMs;
}
BENCHMARK(BM_DataBaseAppends)->Arg(100)->Unit(benchmark::kMillisecond)->UseRealTime();

// 1800 records close together: 100 device threads queue the records of their
// 18 channels, all starting within spread milliseconds (0: at the same
// instant). With deletions set, a timer thread runs a deletion on the table
// every 2 ms meanwhile, and its longest wait is reported. Reports the deepest
// the queue got (ring and overflow queue), how many items were refused (lost)
// and how many waited in the overflow queue behind the ring, how long the
// producers took to queue the burst (queueMs) and the database to write it
// (the time), and the batches.
//
// Spread over 100 ms, the queue stays far below its 1000 items and the ring
// takes everything. All at once, the producers queue the 1800 records in a
// few milliseconds, about the time one batch takes to reach the disk: the
// ring's 1000 items, the batch being written and what is committed meanwhile
// do not hold them all, so a few hundred wait in the overflow queue (about
// 190 were refused and lost before it existed). "refused" must stay 0.
void BM_ClosingBurst(benchmark::State& state) {
    CBenchDir dir;
    CCountingServer server;
    CTimedLibrary library;
    CCountingArchiver archiver;
    CDataBase db(server, library, &archiver, "ZORV.dbf");
    if (!db.Open(dir.Path())) {
        state.SkipWithError("open failed");
        return;
    }
    const auto spread = std::chrono::milliseconds(state.range(0));
    const bool deletions = state.range(1) != 0;
    std::mt19937 random(42);
    int64_t sequence = 0;
    int64_t written = 0;
    int32_t maxDepth = 0;
    int64_t refused = 0;
    double queueMs = 0;
    double maxDeleteMs = 0;
    for (auto _ : state) {
        std::atomic<int32_t> depth{0};
        std::atomic<int64_t> refusedNow{0};
        std::latch start(kDevices + 1);
        std::latch queued(kDevices);
        std::vector<std::thread> devices;
        for (int d = 0; d < kDevices; ++d) {
            const auto offset = spread.count() == 0
                                    ? std::chrono::microseconds(0)
                                    : std::chrono::microseconds(random() % (spread.count() * 1000));
            std::vector<tagDB_Record> records;
            for (int c = 0; c < kChannelsPerDevice; ++c) {
                records.push_back(ClosingRecord(dir.Path(), sequence++));
            }
            devices.emplace_back([&, offset, records]() mutable {
                start.arrive_and_wait();
                std::this_thread::sleep_for(offset);
                for (tagDB_Record& r : records) {
                    if (!db.UpdateDbRecord(r, 0, 0)) {
                        ++refusedNow;
                    }
                    const int32_t now = db.QueuedCount();
                    int32_t seen = depth.load();
                    while (now > seen && !depth.compare_exchange_weak(seen, now)) {
                    }
                }
                queued.count_down();
            });
        }
        std::atomic<bool> burst{true};
        std::thread timer;
        if (deletions) {
            timer = std::thread([&] {
                while (burst) {
                    const auto began = std::chrono::steady_clock::now();
                    RecordDeletionTally tally;
                    db.DeleteBefore(2000, 1, 1, tally);  // nothing that old: the lock and a query
                    maxDeleteMs = std::max(
                        maxDeleteMs, CTimedLibrary::Ms(std::chrono::steady_clock::now() - began));
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
                }
            });
        }
        const auto began = std::chrono::steady_clock::now();
        start.arrive_and_wait();
        queued.wait();
        queueMs = std::max(queueMs, CTimedLibrary::Ms(std::chrono::steady_clock::now() - began));
        for (std::thread& t : devices) {
            t.join();
        }
        written += kDevices * kChannelsPerDevice - refusedNow;
        archiver.WaitFor(written);
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count());
        burst = false;
        if (timer.joinable()) {
            timer.join();
        }
        maxDepth = std::max(maxDepth, depth.load());
        refused += refusedNow;
    }
    db.Close();
    state.counters["maxDepth"] = maxDepth;
    state.counters["refused"] =
        benchmark::Counter(static_cast<double>(refused), benchmark::Counter::kAvgIterations);
    state.counters["overflowed"] = benchmark::Counter(static_cast<double>(db.OverflowedCount()),
                                                      benchmark::Counter::kAvgIterations);
    state.counters["failed"] = static_cast<double>(server.m_other);
    state.counters["queueMs"] = queueMs;
    state.counters["commits"] = benchmark::Counter(static_cast<double>(library.m_batches),
                                                   benchmark::Counter::kAvgIterations);
    state.counters["maxBatch"] = static_cast<double>(library.m_maxBatch);
    state.counters["maxBatchMs"] = library.m_maxBatchMs;
    if (deletions) {
        state.counters["maxDeleteMs"] = maxDeleteMs;
    }
}
BENCHMARK(BM_ClosingBurst)
    ->ArgNames({"spreadMs", "deletions"})
    ->ArgsProduct({{0, 100, 1000}, {0, 1}})
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime();

}  // namespace
