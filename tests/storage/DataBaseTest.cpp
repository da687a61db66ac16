// The record database writer: its queue, its thread and the deletions, on a
// real table file in a temporary directory.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <set>
#include <span>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "core/ServerMessage.h"
#include "storage/DataBase.h"
#include "storage/RecordDbTestSupport.h"
#include "support/TempDir.h"

namespace zorv::test {
namespace {

constexpr const char* kTableName = "ZORV.dbf";

// The server as the database sees it: posts are recorded.
class CPostRecorder final : public IServer {
public:
    bool Post(int32_t code, int32_t a, int32_t b, int32_t c) override {
        std::lock_guard lock(m_lock);
        m_posts.push_back({code, a, b, c});
        return true;
    }
    void WriteJournal(int, std::string_view) override { ++m_journalLines; }

    int Count(int32_t code, int32_t a, int32_t b, int32_t c) const {
        std::lock_guard lock(m_lock);
        int n = 0;
        for (const ServerMessage& m : m_posts) {
            n += m.code == code && m.a == a && m.b == b && m.c == c;
        }
        return n;
    }
    std::size_t Size() const {
        std::lock_guard lock(m_lock);
        return m_posts.size();
    }

    std::atomic<int> m_journalLines{0};

private:
    mutable std::mutex m_lock;
    std::vector<ServerMessage> m_posts;
};

// The archiver's queue: records what it is given and, when m_table is set,
// how many rows that table file held on disk at each hand-over. Armed,
// Enqueue holds the database thread until Release; it may also throw.
class CArchiverDouble final : public IArchiveQueue {
public:
    void Enqueue(const tagDB_Record& record) override {
        std::unique_lock lock(m_lock);
        m_records.push_back(record);
        if (!m_table.empty()) {
            m_rowsAtHandOver.push_back(CTableReader(m_table).Count());
        }
        if (m_throw) {
            throw std::runtime_error("archive queue file");
        }
        if (m_hold) {
            m_holding = true;
            m_changed.notify_all();
            m_changed.wait(lock, [this] { return !m_hold; });
            m_holding = false;
        }
    }
    void RefreshQueue() override { ++m_refreshes; }

    void Arm() {
        std::lock_guard lock(m_lock);
        m_hold = true;
    }
    void WaitUntilHolding() {
        std::unique_lock lock(m_lock);
        m_changed.wait(lock, [this] { return m_holding; });
    }
    void Release() {
        std::lock_guard lock(m_lock);
        m_hold = false;
        m_changed.notify_all();
    }
    std::size_t Size() const {
        std::lock_guard lock(m_lock);
        return m_records.size();
    }
    std::vector<int64_t> RowsAtHandOver() const {
        std::lock_guard lock(m_lock);
        return m_rowsAtHandOver;
    }

    std::string m_table;  // set before the database opens
    bool m_throw = false;
    std::atomic<int> m_refreshes{0};

private:
    mutable std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<tagDB_Record> m_records;
    std::vector<int64_t> m_rowsAtHandOver;
    bool m_hold = false;
    bool m_holding = false;
};

// The real library, counting the changes it is given by kind and the batches
// by size. The changes of one line can be made to fail, or every commit; it
// notices a deletion on a handle that is no longer open.
class CLibraryProbe final : public IRecordDbLibrary {
public:
    static constexpr uint32_t kNoLine = UINT32_MAX;

    int32_t Open(int32_t kind, const std::string& directory, const std::string& fileName,
                 int32_t mode) override {
        if (m_throwOnOpen) {
            throw std::runtime_error("open");
        }
        const int32_t handle = m_real.Open(kind, directory, fileName, mode);
        std::lock_guard lock(m_lock);
        m_open.insert(handle);
        return handle;
    }
    int32_t Append(int32_t handle, const tagDB_Record& record) override {
        const RecordDbChange change{RecordDbChange::Kind::kAppend, &record};
        return ApplyOne(handle, change);
    }
    int32_t Update(int32_t handle, const tagDB_Record& record) override {
        const RecordDbChange change{RecordDbChange::Kind::kUpdate, &record};
        return ApplyOne(handle, change);
    }
    int32_t Delete(int32_t handle, const tagDB_Record& record) override {
        const RecordDbChange change{RecordDbChange::Kind::kDelete, &record};
        return ApplyOne(handle, change);
    }
    int32_t Apply(int32_t handle, std::span<const RecordDbChange> changes,
                  std::span<int32_t> results) override {
        {
            std::lock_guard lock(m_lock);
            m_batchSizes.push_back(changes.size());
        }
        std::vector<RecordDbChange> passed;
        std::vector<std::size_t> passedIndex;
        for (std::size_t i = 0; i < changes.size(); ++i) {
            Count(changes[i].kind);
            results[i] = -1;
            if (changes[i].record->NChanel != m_failingLine) {
                passed.push_back(changes[i]);
                passedIndex.push_back(i);
            }
        }
        if (m_failCommit || (m_failBatchCommit && changes.size() > 1)) {
            return -1;  // nothing stored
        }
        std::vector<int32_t> passedResults(passed.size());
        if (m_real.Apply(handle, passed, passedResults) != 0) {
            return -1;
        }
        for (std::size_t k = 0; k < passed.size(); ++k) {
            results[passedIndex[k]] = passedResults[k];
        }
        return 0;
    }
    int32_t DeleteOldest(int32_t handle, int32_t megabytes, RecordDeletionTally* tally) override {
        CheckOpen(handle);
        const int32_t result = m_real.DeleteOldest(handle, megabytes, tally);
        CheckOpen(handle);  // the handle must stay open for the whole call
        return result;
    }
    int32_t DeleteBefore(int32_t handle, int32_t year, int32_t month, int32_t day,
                         RecordDeletionTally* tally) override {
        CheckOpen(handle);
        return m_real.DeleteBefore(handle, year, month, day, tally);
    }
    void Close(int32_t handle) override {
        {
            std::lock_guard lock(m_lock);
            m_open.erase(handle);
        }
        m_real.Close(handle);
    }
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

    std::vector<std::size_t> BatchSizes() const {
        std::lock_guard lock(m_lock);
        return m_batchSizes;
    }

    std::atomic<int> m_appends{0};
    std::atomic<int> m_updates{0};
    std::atomic<int> m_deletes{0};
    std::atomic<int> m_staleDeletions{0};
    std::atomic<uint32_t> m_failingLine{kNoLine};
    std::atomic<bool> m_failCommit{false};       // every commit fails
    std::atomic<bool> m_failBatchCommit{false};  // commits of more than one change fail
    bool m_throwOnOpen = false;

private:
    int32_t ApplyOne(int32_t handle, const RecordDbChange& change) {
        int32_t result = -1;
        return Apply(handle, std::span(&change, 1), std::span(&result, 1)) == 0 ? result : -1;
    }
    void Count(RecordDbChange::Kind kind) {
        switch (kind) {
            case RecordDbChange::Kind::kAppend:
                ++m_appends;
                break;
            case RecordDbChange::Kind::kUpdate:
                ++m_updates;
                break;
            case RecordDbChange::Kind::kDelete:
                ++m_deletes;
                break;
        }
    }
    void CheckOpen(int32_t handle) {
        std::lock_guard lock(m_lock);
        if (m_open.count(handle) == 0) {
            ++m_staleDeletions;
        }
    }

    CRecordDbLibrary m_real;
    mutable std::mutex m_lock;
    std::set<int32_t> m_open;
    std::vector<std::size_t> m_batchSizes;
};

// Lets a test queue an item with any operation code.
class CDataBaseUnderTest final : public CDataBase {
public:
    using CDataBase::CDataBase;
    using CDataBase::Queue;
};

class DataBaseTest : public ::testing::Test {
protected:
    DataBaseTest() : m_db(m_server, m_library, &m_archiver, kTableName) {}

    std::string TablePath() const { return m_dir.File(kTableName); }
    int64_t StoredCount() const { return CTableReader(TablePath()).Count(); }
    tagDB_Record Record(uint32_t line, uint32_t format = kFormatPcm) const {
        return MakeRecord(2024, 5, 6, 10, 0, 0, line,
                          m_dir.File("rec/20240506100000" + std::to_string(line) + "00z18.wav"),
                          format);
    }

    CTempDir m_dir;
    CPostRecorder m_server;
    CLibraryProbe m_library;
    CArchiverDouble m_archiver;
    CDataBaseUnderTest m_db;
};

TEST_F(DataBaseTest, OpenCloseAndTheStateDump) {
    auto dump = [this] {
        std::ostringstream out;
        m_db.DumpState(out);
        return out.str();
    };
    EXPECT_EQ(dump(),
              "CDataBase\nm_dbHandle=-1\nm_isTerminate=1\n"
              "m_recordQueue.NumberOfItemsAvailableForRead()=0\n");
    ASSERT_TRUE(m_db.Open(m_dir.Path()));
    const int32_t handle = m_db.Handle();
    EXPECT_NE(handle, -1);
    EXPECT_EQ(dump(), "CDataBase\nm_dbHandle=" + std::to_string(handle) +
                          "\nm_isTerminate=0\nm_recordQueue.NumberOfItemsAvailableForRead()=0\n");
    EXPECT_TRUE(Exists(TablePath()));

    ASSERT_TRUE(m_db.Open(m_dir.Path()));  // a reopen starts clean
    EXPECT_NE(m_db.Handle(), handle);
    m_db.Close();
    EXPECT_EQ(m_db.Handle(), -1);
    m_db.Stop();  // closing twice is harmless

    EXPECT_FALSE(m_db.Open(m_dir.File("missing")));
    EXPECT_EQ(m_db.Handle(), -1);
    EXPECT_EQ(m_server.Size(), 0u);  // a library that refuses is no exception

    m_library.m_throwOnOpen = true;
    EXPECT_FALSE(m_db.Open(m_dir.Path()));
    EXPECT_EQ(m_server.Count(kMsgFailure, kFailureDatabase, kDbFailureOpen, 0), 1);
    EXPECT_EQ(m_db.Handle(), -1);
}

TEST_F(DataBaseTest, RecordLifeCyclesReachTheTableAndTheArchiverAsDescribed) {
    struct Expect {
        int appends, updates, deletes;
        std::size_t archived;
        int64_t rows;
        uint32_t callerFormat;  // Format of the caller's record afterwards
    };
    struct Case {
        const char* name;
        std::function<bool(CDataBase&, tagDB_Record&)> calls;
        uint32_t startFormat;
        Expect expect;
    };
    const Case cases[] = {
        {"added at its start and finished",
         [](CDataBase& db, tagDB_Record& r) {
             return db.AddDbRecord(r) && db.UpdateDbRecord(r, 0, 0);
         },
         kFormatPcm,
         {1, 1, 0, 1, 1, kFormatPcm}},
        {"never added, finished",
         [](CDataBase& db, tagDB_Record& r) { return db.UpdateDbRecord(r, 0, 0); },
         kFormatPcm,
         {1, 0, 0, 1, 1, kFormatPcm}},
        {"waiting for the compressor, interim update",
         [](CDataBase& db, tagDB_Record& r) { return db.UpdateDbRecord(r, 1, 1); },
         kFormatWaiting,
         {0, 1, 0, 0, 1, kFormatWaiting}},
        {"registered, finished by the compressor",
         [](CDataBase& db, tagDB_Record& r) { return db.UpdateDbRecord(r, 1, 0); },
         kFormatConverted,
         {0, 1, 0, 1, 1, kFormatConverted}},
        {"being written, interim update",
         [](CDataBase& db, tagDB_Record& r) { return db.UpdateDbRecord(r, 0, 1); },
         kFormatRecording,
         {0, 1, 0, 0, 1, kFormatPcm}},
        {"added, then too short and deleted",
         [](CDataBase& db, tagDB_Record& r) { return db.AddDbRecord(r) && db.DeleteDbRecord(r); },
         kFormatPcm,
         {1, 0, 1, 0, 0, kFormatRecording}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CTempDir dir;
        CPostRecorder server;
        CLibraryProbe library;
        CArchiverDouble archiver;
        CDataBase db(server, library, &archiver, kTableName);
        ASSERT_TRUE(db.Open(dir.Path()));
        tagDB_Record r = Record(1, c.startFormat);
        ASSERT_TRUE(c.calls(db, r));
        db.Close();

        EXPECT_EQ(library.m_appends, c.expect.appends);
        EXPECT_EQ(library.m_updates, c.expect.updates);
        EXPECT_EQ(library.m_deletes, c.expect.deletes);
        EXPECT_EQ(archiver.Size(), c.expect.archived);
        EXPECT_EQ(uint32_t{r.Format}, c.expect.callerFormat);
        const std::vector<tagDB_Record> stored = CTableReader(dir.File(kTableName)).Records();
        ASSERT_EQ(static_cast<int64_t>(stored.size()), c.expect.rows);
        if (!stored.empty()) {
            EXPECT_EQ(uint32_t{stored[0].Format}, uint32_t{r.Format});
        }
        EXPECT_EQ(server.Size(), 0u);
    }
}

TEST_F(DataBaseTest, WhatTheFullRingCannotTakeWaitsBehindItAndNothingIsLost) {
    ASSERT_TRUE(m_db.Open(m_dir.Path()));
    m_archiver.Arm();
    tagDB_Record first = Record(0);
    ASSERT_TRUE(m_db.UpdateDbRecord(first, 0, 0));  // the thread holds in the archiver
    m_archiver.WaitUntilHolding();

    // A burst of 1800 closing records while the thread is busy: 1000 fill the
    // ring, the rest wait in the overflow queue, each one's add before its
    // update.
    constexpr uint32_t kBurst = 1800;
    for (uint32_t i = 1; i <= kBurst / 2; ++i) {
        tagDB_Record r = Record(i);
        ASSERT_TRUE(m_db.AddDbRecord(r)) << i;
        ASSERT_TRUE(m_db.UpdateDbRecord(r, 1, 0)) << i;
    }
    EXPECT_EQ(m_db.QueuedCount(), static_cast<int32_t>(kBurst));
    EXPECT_EQ(m_db.OverflowedCount(), static_cast<int64_t>(kBurst - 1000));
    EXPECT_EQ(m_server.Count(kMsgFailure, kFailureDatabase, kDbFailureQueueFull, 0), 0);
    EXPECT_EQ(m_server.m_journalLines, 1);  // the overflow is journaled once

    m_archiver.Release();
    m_db.Close();
    EXPECT_EQ(m_server.Size(), 0u);
    EXPECT_EQ(m_archiver.Size(), 1 + kBurst / 2);
    // Every record is stored once and finished: no add came after its update.
    CTableReader table(TablePath());
    EXPECT_EQ(table.Count(), 1 + kBurst / 2);
    EXPECT_EQ(table.Integer("SELECT count(*) FROM records WHERE Format = 4"), 0);
}

TEST_F(DataBaseTest, CloseWritesEverythingWaitingInBatches) {
    ASSERT_TRUE(m_db.Open(m_dir.Path()));
    m_archiver.Arm();
    tagDB_Record first = Record(0);
    ASSERT_TRUE(m_db.UpdateDbRecord(first, 0, 0));
    m_archiver.WaitUntilHolding();
    constexpr uint32_t kWaiting = 600;
    for (uint32_t i = 1; i <= kWaiting; ++i) {
        tagDB_Record r = Record(i);
        ASSERT_TRUE(m_db.AddDbRecord(r));
    }
    std::future<void> closing = std::async(std::launch::async, [this] { m_db.Close(); });
    m_archiver.Release();
    closing.get();
    EXPECT_EQ(m_db.QueuedCount(), 0);
    EXPECT_EQ(StoredCount(), 1 + kWaiting);
    // The held record, then everything that waited in one batch.
    EXPECT_EQ(m_library.BatchSizes(), (std::vector<std::size_t>{1, kWaiting}));
}

TEST_F(DataBaseTest, FailuresInABatchAreReportedPerItemAFailedCommitOnce) {
    constexpr uint32_t kRefusedLine = 3;
    enum Commit { kCommits, kBatchCommitFails, kEveryCommitFails };
    struct Case {
        const char* name;
        int32_t operationOfLine3;
        bool refuseLine3;
        Commit commit;
        std::vector<std::size_t> expectBatches;  // sizes of the calls of the library
        std::vector<uint32_t> expectStored;
        int expectReports;
    };
    const Case cases[] = {
        {"an invalid operation in the middle", 7, false, kCommits, {1, 4}, {0, 1, 2, 4, 5}, 1},
        {"the library refuses one change",
         CDataBase::kOpInsertFinal,
         true,
         kCommits,
         {1, 5},
         {0, 1, 2, 4, 5},
         1},
        // A failed commit loses nothing: each item is written again alone.
        {"the batch's commit fails",
         CDataBase::kOpInsertFinal,
         false,
         kBatchCommitFails,
         {1, 5, 1, 1, 1, 1, 1},
         {0, 1, 2, 3, 4, 5},
         0},
        {"the batch's commit fails and one change fails alone",
         CDataBase::kOpInsertFinal,
         true,
         kBatchCommitFails,
         {1, 5, 1, 1, 1, 1, 1},
         {0, 1, 2, 4, 5},
         1},
        // Nothing can be written: the table has failed, one report restarts it.
        {"every commit fails",
         CDataBase::kOpInsertFinal,
         false,
         kEveryCommitFails,
         {1, 5, 1, 1, 1, 1, 1},
         {0},
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CTempDir dir;
        CPostRecorder server;
        CLibraryProbe library;
        CArchiverDouble archiver;
        archiver.m_table = dir.File(kTableName);
        CDataBaseUnderTest db(server, library, &archiver, kTableName);
        ASSERT_TRUE(db.Open(dir.Path()));
        // Line 0 is written alone; the thread then holds in the archiver
        // while lines 1 to 5 are queued, and takes them as one batch.
        archiver.Arm();
        ASSERT_TRUE(db.Queue(Record(0), CDataBase::kOpInsertFinal));
        archiver.WaitUntilHolding();
        library.m_failingLine = c.refuseLine3 ? kRefusedLine : CLibraryProbe::kNoLine;
        library.m_failCommit = c.commit == kEveryCommitFails;
        library.m_failBatchCommit = c.commit == kBatchCommitFails;
        for (uint32_t line = 1; line <= 5; ++line) {
            ASSERT_TRUE(db.Queue(Record(line), line == kRefusedLine ? c.operationOfLine3
                                                                    : CDataBase::kOpInsertFinal));
        }
        archiver.Release();
        db.Close();

        EXPECT_EQ(library.BatchSizes(), c.expectBatches);
        EXPECT_EQ(server.Count(kMsgFailure, kFailureDatabase, kDbFailureCall, 0), c.expectReports);
        EXPECT_EQ(server.Size(), static_cast<std::size_t>(c.expectReports));
        // Finished records go to the archiver whatever the library answered,
        // once their batch is committed (or written again item by item).
        const std::size_t finished = c.operationOfLine3 == CDataBase::kOpInsertFinal ? 6 : 5;
        EXPECT_EQ(archiver.Size(), finished);
        std::vector<int64_t> rows(finished, std::ssize(c.expectStored));
        rows[0] = 1;
        EXPECT_EQ(archiver.RowsAtHandOver(), rows);
        std::vector<uint32_t> stored;
        for (const tagDB_Record& r : CTableReader(dir.File(kTableName)).Records()) {
            stored.push_back(uint32_t{r.NChanel});
        }
        EXPECT_EQ(stored, c.expectStored);
    }
}

TEST_F(DataBaseTest, ItemsQueuedWhileClosedAreWrittenAfterTheNextOpen) {
    for (uint32_t i = 0; i < 1000; ++i) {
        tagDB_Record r = Record(i);
        ASSERT_TRUE(m_db.AddDbRecord(r));
    }
    tagDB_Record beyondTheRing = Record(1000);  // waits behind the full ring
    EXPECT_TRUE(m_db.AddDbRecord(beyondTheRing));
    EXPECT_EQ(m_server.Count(kMsgFailure, kFailureDatabase, kDbFailureQueueFull, 0), 0);
    EXPECT_FALSE(Exists(TablePath()));

    ASSERT_TRUE(m_db.Open(m_dir.Path()));
    m_db.Close();
    EXPECT_EQ(StoredCount(), 1001);
}

TEST_F(DataBaseTest, FailedCallsAndExceptionsAreReported) {
    ASSERT_TRUE(m_db.Open(m_dir.Path()));
    // An operation that does not exist counts as a failed call.
    EXPECT_TRUE(m_db.Queue(Record(1), 5));
    EXPECT_TRUE(m_db.Queue(Record(2), -1));
    // A failed append of a finished record still hands it to the archiver.
    m_library.m_failingLine = 3;
    tagDB_Record finished = Record(3);
    EXPECT_TRUE(m_db.UpdateDbRecord(finished, 0, 0));
    m_db.Close();
    EXPECT_EQ(m_server.Count(kMsgFailure, kFailureDatabase, kDbFailureCall, 0), 3);
    EXPECT_EQ(m_archiver.Size(), 1u);
    EXPECT_EQ(StoredCount(), 0);

    // An exception in the thread (here from the archiver, after the record
    // was written) is reported; the thread goes on with the next items.
    m_library.m_failingLine = CLibraryProbe::kNoLine;
    m_archiver.m_throw = true;
    ASSERT_TRUE(m_db.Open(m_dir.Path()));
    tagDB_Record throwing = Record(4);
    EXPECT_TRUE(m_db.UpdateDbRecord(throwing, 0, 0));
    tagDB_Record after = Record(5);
    EXPECT_TRUE(m_db.AddDbRecord(after));
    m_db.Close();
    EXPECT_EQ(m_server.Count(kMsgException, 0, kSourceDatabase, 0), 1);
    EXPECT_EQ(StoredCount(), 2);
}

TEST_F(DataBaseTest, DeletionsRemoveOldRecordsInsideTheRootsAndRefreshTheArchiver) {
    const std::string root = m_dir.File("rec");
    const std::string elsewhere = m_dir.File("elsewhere");
    RecordDeletionTally tally;
    EXPECT_EQ(m_db.DeleteOldest(1, tally), -1);  // closed
    EXPECT_EQ(m_db.DeleteBefore(2024, 1, 1, tally), -1);
    EXPECT_EQ(m_archiver.m_refreshes, 0);

    m_db.SetRecordRoots({root});  // kept for the next Open
    ASSERT_TRUE(m_db.Open(m_dir.Path()));
    const std::string a = elsewhere + "/" + RecordName(2024, 1, 1, 10, 0, 0);
    const std::string b = root + "/" + RecordName(2024, 1, 2, 10, 0, 0);
    const std::string c = root + "/" + RecordName(2024, 1, 3, 10, 0, 0);
    const struct {
        uint32_t day;
        std::string file;
    } records[] = {{1, a}, {2, b}, {3, c}};
    for (const auto& rec : records) {
        WriteRecordFile(rec.file, 1 << 20);
        tagDB_Record r = MakeRecord(2024, 1, rec.day, 10, 0, 0, 0, rec.file);
        ASSERT_TRUE(m_db.UpdateDbRecord(r, 0, 0));
    }
    m_db.Close();  // written
    ASSERT_TRUE(m_db.Open(m_dir.Path()));

    EXPECT_EQ(m_db.DeleteOldest(1, tally), 1);  // a is outside the roots: b goes
    EXPECT_TRUE(Exists(a));
    EXPECT_FALSE(Exists(b));
    EXPECT_EQ(m_archiver.m_refreshes, 1);
    EXPECT_EQ(tally.files, 1u);
    EXPECT_EQ(tally.oldest, (RecordDeletionTally::Start{2024, 1, 2, 10, 0, 0}));

    m_db.SetRecordRoots({root, elsewhere});  // applies to the open table at once
    tally = {};
    EXPECT_EQ(m_db.DeleteBefore(2024, 1, 3, tally), 1);
    EXPECT_FALSE(Exists(a));
    EXPECT_TRUE(Exists(c));
    EXPECT_EQ(m_archiver.m_refreshes, 2);
    EXPECT_EQ(tally.files, 1u);
    EXPECT_EQ(tally.newest, (RecordDeletionTally::Start{2024, 1, 1, 10, 0, 0}));
    m_db.Close();
    EXPECT_EQ(CTableReader(TablePath()).Files(), std::vector<std::string>{c});
}

TEST_F(DataBaseTest, RecordFileOwnedSeesStoredAndWaitingRecordsByRecordName) {
    const std::string root = m_dir.File("rec");
    const std::string stored = root + "/20240101.zr18/" + RecordName(2024, 1, 1, 10, 0, 0);
    const std::string waiting = root + "/" + RecordName(2024, 1, 1, 11, 0, 0);
    EXPECT_EQ(m_db.RecordFileOwned(stored), -1);  // closed: it cannot tell
    ASSERT_TRUE(m_db.Open(m_dir.Path()));
    // The stored record is written, then its hand-over to the archiver holds
    // the database thread: what is queued next waits in the ring.
    m_archiver.Arm();
    tagDB_Record r = MakeRecord(2024, 1, 1, 10, 0, 0, 0, stored);
    ASSERT_TRUE(m_db.UpdateDbRecord(r, 0, 0));
    m_archiver.WaitUntilHolding();
    tagDB_Record w = MakeRecord(2024, 1, 1, 11, 0, 0, 0, waiting);
    ASSERT_TRUE(m_db.AddDbRecord(w));
    const struct {
        std::string namefile;
        int32_t owned;
    } cases[] = {
        {stored, 1},
        // The same record name elsewhere: the compressor moves a record and
        // its name stays.
        {root + "/" + RecordName(2024, 1, 1, 10, 0, 0), 1},
        {waiting, 1},
        {root + "/" + RecordName(2024, 1, 1, 12, 0, 0), 0},
        {root + "/", -1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(m_db.RecordFileOwned(c.namefile), c.owned) << c.namefile;
    }
    EXPECT_EQ(m_db.QueuedCount(), 1);
    m_archiver.Release();
    m_db.Close();
}

TEST_F(DataBaseTest, DeletionsOnTheTimerThreadNeverUseAHandleBeingClosed) {
    const std::string root = m_dir.File("rec");
    m_db.SetRecordRoots({root});
    ASSERT_TRUE(m_db.Open(m_dir.Path()));
    std::atomic<bool> reopening{true};
    std::atomic<int> deletions{0};
    std::atomic<int> badResults{0};
    std::thread timer([&] {
        while (reopening) {
            RecordDeletionTally tally;
            const int32_t result =
                deletions % 2 ? m_db.DeleteOldest(1, tally) : m_db.DeleteBefore(2024, 6, 1, tally);
            badResults += result < -1;
            ++deletions;
        }
    });
    for (uint32_t i = 0; i < 60; ++i) {
        const std::string file = root + "/" + RecordName(2024, 5, 1 + i % 28, 10, 0, 0, i);
        WriteRecordFile(file, 1024);
        tagDB_Record r = MakeRecord(2024, 5, 1 + i % 28, 10, 0, 0, i, file);
        EXPECT_TRUE(m_db.UpdateDbRecord(r, 0, 0));
        if (i % 2 == 0) {
            m_db.Close();
        }
        ASSERT_TRUE(m_db.Open(m_dir.Path()));
    }
    reopening = false;
    timer.join();
    m_db.Close();
    EXPECT_GT(deletions, 0);
    EXPECT_EQ(badResults, 0);
    EXPECT_EQ(m_library.m_staleDeletions, 0);
    EXPECT_EQ(m_server.Size(), 0u);
    for (const std::string& file : CTableReader(TablePath()).Files()) {
        EXPECT_TRUE(Exists(file)) << file;
    }
}

}  // namespace
}  // namespace zorv::test
