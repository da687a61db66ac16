// The server's record database writer.
//
// Recording threads, the compressor and the archiver queue insertions,
// updates and deletions of call records (AddDbRecord, UpdateDbRecord,
// DeleteDbRecord) and return at once: an operation costs one copy of the
// record into a ring under a lock, and never allocates. One database thread
// takes the waiting items out of the ring, up to kBatchItems at a time, hands
// each batch to the record-database library in order as one transaction
// (synced to disk once per batch), then passes every finished record of the
// batch on to the archiver. The ring has 1001 slots, so at most 1000 items
// wait in it; what does not fit waits in an overflow queue behind the ring,
// bounded only by memory (its first use after it was empty is journaled), so
// a burst never loses an item. Once the overflow queue holds items, new items
// join it, so that items are written in the order they were queued. Items are
// never held back to fill a batch: a batch is whatever waited while the
// previous one was written. A batch whose transaction fails as a whole is
// written again item by item, each in its own transaction, so only the items
// that fail on their own are lost and reported.
//
// Deletion of old records (DeleteOldest, DeleteBefore) runs on the caller's
// thread (the server's timer) while the database thread may be writing; the
// handle they use is guarded so that the server thread cannot close or reopen
// it under them (Close waits for a deletion in progress).
//
// Reports to the server (message 6, kind 11): 1 exception while opening,
// 3 failed library call (once for each item that failed or had an invalid
// operation; once for a batch of which no item could be written even alone,
// as the table itself has failed then), 4 queue full (only when no memory is
// left for the overflow queue; the item is lost); an exception in the
// database thread posts message 3 with source 40.
//
// Owned by the server object. Open, Close and SetRecordRoots run on the
// server thread; the queue operations on any thread; DeleteOldest and
// DeleteBefore on any thread other than the database thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/DbRecord.h"
#include "core/Server.h"
#include "core/ServerComponents.h"
#include "platform/AutoResetEvent.h"
#include "platform/Mutex.h"
#include "storage/RecordDbLibrary.h"
#include "storage/RecordQueue.h"

namespace zorv {

// Failure kind of the record database in message 6, and its first argument.
inline constexpr int32_t kFailureDatabase = 11;
enum DatabaseFailure : int32_t {
    kDbFailureOpen = 1,       // an exception while opening
    kDbFailureCall = 3,       // a library call failed
    kDbFailureQueueFull = 4,  // the item was refused and is lost
};

// The archiver's queue, as the database sees it.
class IArchiveQueue {
public:
    virtual ~IArchiveQueue() = default;
    // A finished record to archive; called on the database thread.
    virtual void Enqueue(const tagDB_Record& record) = 0;
    // Records were deleted: reload the queue. Called on the deleting thread.
    virtual void RefreshQueue() = 0;
};

class CDataBase : public IRecordDatabase,
                  public IRecordQueue,
                  public IRecordLookup,
                  public IRecordDeletion {
public:
    // Queue item operations.
    enum Operation : int32_t {
        kOpInsert = 0,
        kOpUpdate = 1,
        kOpInsertFinal = 2,  // then handed to the archiver
        kOpUpdateFinal = 3,  // then handed to the archiver
        kOpDelete = 4,
    };
    static constexpr int32_t kRingSlots = 1001;  // one slot always stays empty
    // Most items written in one transaction: a whole ring's worth, so that the
    // thread can empty a full ring at once and producers find it free again
    // while the batch goes to disk (a burst of 1800 closing records is then
    // absorbed). A batch holds the table for a few milliseconds; the
    // deletions of the timer thread wait for it.
    static constexpr int32_t kBatchItems = kRingSlots - 1;

    // fileName: the table file in the work directory; empty for the product's
    // name ("ZORV.dbf"). archiver may be null (no archiving). The library and
    // the archiver must outlive this object.
    CDataBase(IServer& server, IRecordDbLibrary& library, IArchiveQueue* archiver = nullptr,
              std::string fileName = {});
    ~CDataBase() override;
    CDataBase(const CDataBase&) = delete;
    CDataBase& operator=(const CDataBase&) = delete;

    // Closes, opens the table in workDir and starts the database thread.
    // Items already waiting are written then.
    bool Open(const std::string& workDir) override;
    void Stop() override { Close(); }
    // Stops the thread after it has written every waiting item, then closes the
    // table. Items queued later wait for the next Open.
    void Close();

    // The record directories files may be removed from by the deletions; kept
    // across Close and Open.
    void SetRecordRoots(std::vector<std::string> roots);

    // Sets record.Format to 4 (being written) and queues an insert.
    bool AddDbRecord(tagDB_Record& record) override;
    // registered = 1: the database holds the record; interim = 1: not final
    // yet (not archived). A record with Format 4 gets Format 0 and is updated;
    // otherwise a registered record is updated and an unregistered one
    // inserted as final.
    bool UpdateDbRecord(tagDB_Record& record, int32_t registered, int32_t interim) override;
    bool DeleteDbRecord(const tagDB_Record& record) override;

    // Deletes the oldest records and their files, about megabytes in all; the
    // megabytes freed, -1 when closed or on failure. The archiver then reloads
    // its queue.
    int32_t DeleteOldest(int32_t megabytes, RecordDeletionTally& tally) override;
    // Deletes the records that started before the date, with their files.
    int32_t DeleteBefore(int32_t year, int32_t month, int32_t day,
                         RecordDeletionTally& tally) override;

    // IRecordLookup: what the table holds; -1 while closed. Any thread other
    // than the database thread. RecordFileOwned also looks at the items still
    // waiting (under the queue lock, without allocating); StoredFormat and
    // FilesWithFormat see only the table. An item the database thread has
    // just taken out of the ring is seen once its batch is committed (the
    // lookup waits for the table's lock), so only the few instructions
    // between the two are not covered.
    int32_t RecordFileOwned(const std::string& namefile) override;
    int32_t StoredFormat(const tagDB_Record& record, uint32_t& format) override;
    int32_t FilesWithFormat(uint32_t format, std::vector<std::string>& namefiles) override;

    // Four lines for the debug dump: the class name, the handle, the
    // terminate flag and the number of waiting items.
    void DumpState(std::ostream& out) const;

    int32_t Handle() const { return m_dbHandle.load(); }
    // Items waiting, in the ring and in the overflow queue.
    int32_t QueuedCount() const;
    // Items that have gone through the overflow queue since construction.
    int64_t OverflowedCount() const;

protected:
    // Copies the record and the operation into the ring (or, when the ring is
    // full, the overflow queue) and wakes the thread; false (reported as queue
    // full) only when no memory is left for the overflow queue.
    bool Queue(const tagDB_Record& record, int32_t operation);

private:
    struct QueueItem {
        tagDB_Record record;
        int32_t operation;
    };

    void Run();
    // Whether an item waiting in the ring or the overflow queue names a file
    // of that record name.
    bool WaitingItemNames(std::string_view recordName) const;
    // Lets a burst of items gather before the first commit of a wake-up.
    void GatherBurst();
    // Moves up to kBatchItems waiting items into m_batch; their number.
    int32_t TakeBatch();
    // Writes the first count items of m_batch, hands the finished records to
    // the archiver and reports the failures.
    void WriteBatch(int32_t count);
    // After a failed batch: each change in its own transaction; the number of
    // changes that were written.
    std::size_t WriteAlone(std::size_t changes);

    // Constant after construction
    IServer& m_server;
    IRecordDbLibrary& m_library;
    IArchiveQueue* const m_archiver;
    const std::string m_fileName;

    // The handle's life: written under the exclusive lock (Open, Close),
    // used by the deletions under the shared lock. The database thread uses it
    // without the lock: it only runs between the handle's opening and closing.
    // One lock for every use of the handle outside the database thread: the
    // timer's deletions and the lookups hold it shared for their whole call,
    // Open and Close (also the failure policy's restart) exclusively, so a
    // restart never closes the table under a deletion in progress.
    mutable CSharedMutex m_handleLock;
    std::atomic<int32_t> m_dbHandle{-1};  // written only under m_handleLock held exclusively
    std::vector<std::string> m_roots GUARDED_BY(m_handleLock);

    CAutoResetEvent m_wake;
    std::atomic<bool> m_isTerminate{true};
    std::thread m_thread;  // server thread only

    // Database thread only; each kBatchItems long, allocated once
    std::unique_ptr<QueueItem[]> m_batch;
    std::vector<RecordDbChange> m_changes;
    std::vector<int32_t> m_changeItem;    // the batch index of each change
    std::vector<int32_t> m_changeResult;  // the library's result of each change
    std::vector<int32_t> m_itemResult;    // the result of each batch item

    mutable CMutex m_queueLock;
    // kRingSlots, allocated once
    std::unique_ptr<QueueItem[]> m_recordQueue GUARDED_BY(m_queueLock);
    int32_t m_readPos GUARDED_BY(m_queueLock) = 0;
    int32_t m_writePos GUARDED_BY(m_queueLock) = 0;
    // Newer than every item in the ring.
    std::deque<QueueItem> m_overflow GUARDED_BY(m_queueLock);
    int64_t m_overflowed GUARDED_BY(m_queueLock) = 0;
};

}  // namespace zorv
