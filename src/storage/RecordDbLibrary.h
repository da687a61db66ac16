// The record-database library: record tables behind integer handles.
//
// The server's record database (CDataBase) and the archiver's copies on
// archive media keep their call records through these operations. A handle
// names one open table file; every operation on a handle that is not open
// fails (-1). Handles are never reused while the library lives, so a caller
// holding a handle that another thread has closed cannot reach a table opened
// later.
//
// Open kinds and modes:
//  - kind 6 (kKindRecordTable) is the only kind: a table of tagDB_Record;
//  - mode 1 (kModeServer): the server's own table in its work directory;
//    record paths are absolute, and files are removed only inside the record
//    roots given with SetRecordRoots (none until then);
//  - mode 0 (kModeArchiveCopy): a table on an archive medium; record paths are
//    relative to the table's directory, which is also the only place files
//    are removed from.
// The table format, the way a call's stored record is found and the rules of
// removal are CRecordDbTable's. With UseSharedDatabase the server's table is
// kept in PostgreSQL instead (CPgRecordTable), with the same rules.
//
// Thread safety: every operation may be called from any thread, also on the
// same handle (calls on one handle are serialised). Close while another thread
// still works on the handle is safe: the table is released when that call
// returns.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "core/DbRecord.h"
#include "platform/Mutex.h"
#include "storage/RecordDbChange.h"
#include "storage/RecordDeletionTally.h"

namespace zorv {

class IRecordTable;

// The operations, as CDataBase and the archiver use them (tests substitute
// failing implementations).
class IRecordDbLibrary {
public:
    static constexpr int32_t kKindRecordTable = 6;
    static constexpr int32_t kModeArchiveCopy = 0;
    static constexpr int32_t kModeServer = 1;

    virtual ~IRecordDbLibrary() = default;

    // Opens or creates fileName in the existing directory. A handle, or -1.
    virtual int32_t Open(int32_t kind, const std::string& directory, const std::string& fileName,
                         int32_t mode) = 0;
    // Adds the record as a new row. 0, or -1 on failure.
    virtual int32_t Append(int32_t handle, const tagDB_Record& record) = 0;
    // The stored record of this call takes the new contents (a call not stored
    // yet is added). 0, or -1 on failure.
    virtual int32_t Update(int32_t handle, const tagDB_Record& record) = 0;
    // Removes the stored records of this call (their files stay). 0, or -1.
    virtual int32_t Delete(int32_t handle, const tagDB_Record& record) = 0;
    // Applies Append, Update and Delete changes in order as one transaction,
    // written to disk once, at its end. results[i] is changes[i]'s result (0,
    // or -1): a change that fails leaves the others in place. Returns 0 when
    // the transaction was committed, so that every change with result 0 is on
    // disk; -1 when the batch failed as a whole (the handle is not open, the
    // transaction could not begin or commit, or a failure ended it): then none
    // of the changes is stored and every result is -1. results holds at least
    // changes.size() elements. Other calls on the handle wait for the batch.
    virtual int32_t Apply(int32_t handle, std::span<const RecordDbChange> changes,
                          std::span<int32_t> results) = 0;
    // Removes the oldest records with their files until megabytes are freed.
    // The megabytes freed, or -1. tally (may be null) gets the record files
    // removed, also when the deletion then failed.
    virtual int32_t DeleteOldest(int32_t handle, int32_t megabytes, RecordDeletionTally* tally) = 0;
    // Removes the records that started before the date, with their files. The
    // megabytes freed, or -1; tally as for DeleteOldest.
    virtual int32_t DeleteBefore(int32_t handle, int32_t year, int32_t month, int32_t day,
                                 RecordDeletionTally* tally) = 0;
    virtual void Close(int32_t handle) = 0;
    // The directories files of a mode-1 table may be removed from. False when
    // the handle is not open or is an archive copy.
    virtual bool SetRecordRoots(int32_t handle, const std::vector<std::string>& roots) = 0;
    // The Format of the stored record of this call (the one Update changes):
    // 1 with format set when one is stored, 0 when none is, -1 on failure.
    virtual int32_t FindFormat(int32_t handle, const tagDB_Record& record, uint32_t& format) = 0;
    // The file names of the stored records whose Format is format, in the
    // order they were stored. Their number, or -1 on failure.
    virtual int32_t FilesWithFormat(int32_t handle, uint32_t format,
                                    std::vector<std::string>& namefiles) = 0;
};

class CRecordDbLibrary final : public IRecordDbLibrary {
public:
    CRecordDbLibrary();
    ~CRecordDbLibrary() override;  // closes every table still open
    CRecordDbLibrary(const CRecordDbLibrary&) = delete;
    CRecordDbLibrary& operator=(const CRecordDbLibrary&) = delete;

    int32_t Open(int32_t kind, const std::string& directory, const std::string& fileName,
                 int32_t mode) override;
    int32_t Append(int32_t handle, const tagDB_Record& record) override;
    int32_t Update(int32_t handle, const tagDB_Record& record) override;
    int32_t Delete(int32_t handle, const tagDB_Record& record) override;
    int32_t Apply(int32_t handle, std::span<const RecordDbChange> changes,
                  std::span<int32_t> results) override;
    int32_t DeleteOldest(int32_t handle, int32_t megabytes, RecordDeletionTally* tally) override;
    int32_t DeleteBefore(int32_t handle, int32_t year, int32_t month, int32_t day,
                         RecordDeletionTally* tally) override;
    void Close(int32_t handle) override;
    bool SetRecordRoots(int32_t handle, const std::vector<std::string>& roots) override;
    int32_t FindFormat(int32_t handle, const tagDB_Record& record, uint32_t& format) override;
    int32_t FilesWithFormat(int32_t handle, uint32_t format,
                            std::vector<std::string>& namefiles) override;

    // Server tables (mode 1) opened from now on live in the PostgreSQL
    // database of connection (a libpq connection string), their rows marked
    // as owner's; an empty connection keeps them in SQLite files (the
    // default). Archive copies are always SQLite files. Tables already open
    // stay where they are.
    void UseSharedDatabase(std::string connection, std::string owner);
    // Why the last Open of a shared table failed (empty after a success).
    std::string SharedDatabaseError() const;

private:
    std::shared_ptr<IRecordTable> Find(int32_t handle) const;

    mutable CMutex m_lock;
    std::map<int32_t, std::shared_ptr<IRecordTable>> m_tables GUARDED_BY(m_lock);
    int32_t m_lastHandle GUARDED_BY(m_lock) = -1;
    std::string m_sharedConnection GUARDED_BY(m_lock);
    std::string m_sharedOwner GUARDED_BY(m_lock);
    std::string m_sharedError GUARDED_BY(m_lock);
};

}  // namespace zorv
