// The server's record table in a PostgreSQL database that several recording
// servers share: the same operations and rules as the SQLite table
// (CRecordDbTable), over libpq.
//
// Schema (created when absent, under an advisory lock so that servers
// starting together do not race): table "records" with the columns of the
// SQLite table (PostgreSQL folds their names to lower case) and one more,
// "owner": the name of the server that wrote the row. Every operation of a
// table reads and changes only the rows of its own owner, so each server
// finds, updates and deletes only its own records and removes only its own
// files. Integers are BIGINT (they hold the record's unsigned 32-bit
// fields); the text fields are TEXT in UTF-8 (converted from windows-1251),
// except "namefile" and "callkey", which are BYTEA: a file name is kept byte
// for byte, whatever its encoding.
//
// A lost connection is reset at the next operation; the operation fails when
// the database cannot be reached (the record database retries its batches).
//
// Thread safety: every public method may be called from any thread; calls
// are serialised by m_lock, which guards the connection and the remover.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/Mutex.h"
#include "storage/DeletionTurns.h"
#include "storage/RecordDbFileRemover.h"
#include "storage/RecordTable.h"

struct pg_conn;

namespace zorv {

class CPgRecordTable final : public IRecordTable {
public:
    // Connects (connection: a libpq connection string) and makes sure the
    // schema is there. Null, with the reason in error, on failure.
    static std::unique_ptr<CPgRecordTable> Open(const std::string& connection,
                                                const std::string& owner, std::string& error);
    ~CPgRecordTable() override;
    CPgRecordTable(const CPgRecordTable&) = delete;
    CPgRecordTable& operator=(const CPgRecordTable&) = delete;

    bool Append(const tagDB_Record& record) override;
    bool Update(const tagDB_Record& record) override;
    bool Delete(const tagDB_Record& record) override;
    bool Apply(std::span<const RecordDbChange> changes, std::span<int32_t> results) override;
    int32_t DeleteOldest(int32_t megabytes, RecordDeletionTally* tally) override;
    int32_t DeleteBefore(int32_t year, int32_t month, int32_t day,
                         RecordDeletionTally* tally) override;
    int32_t FindFormat(const tagDB_Record& record, uint32_t& format) override;
    int32_t FilesWithFormat(uint32_t format, std::vector<std::string>& namefiles) override;
    bool SetRecordRoots(std::vector<std::string> roots) override;

private:
    class CParams;
    class CResult;
    struct Candidate;
    enum class Outcome { kCommitted, kRetry, kFailed };

    CPgRecordTable(pg_conn* connection, std::string owner);
    // Throws CPgError when the statement fails.
    CResult Exec(const char* sql, const CParams& params) REQUIRES(m_lock);
    void Exec(const char* sql) REQUIRES(m_lock);
    // Resets a broken connection; throws when it stays broken.
    void Connected() REQUIRES(m_lock);
    void CreateSchema() REQUIRES(m_lock);
    void AppendLocked(const tagDB_Record& record) REQUIRES(m_lock);
    void UpdateLocked(const tagDB_Record& record) REQUIRES(m_lock);
    void DeleteLocked(const tagDB_Record& record) REQUIRES(m_lock);
    // Ends an open transaction without keeping anything of it.
    void Rollback() REQUIRES(m_lock);
    // One attempt at a batch, with a savepoint around every change when
    // guarded; kRetry when a change failed unguarded (nothing is kept).
    Outcome ApplyOnce(std::span<const RecordDbChange> changes, std::span<int32_t> results,
                      bool guarded) REQUIRES(m_lock);
    int32_t DeleteRows(bool oldest, int64_t targetBytes, int32_t year, int32_t month, int32_t day,
                       RecordDeletionTally& tally);
    void RemoveCandidate(const Candidate& row, RecordDeletionTally& tally) REQUIRES(m_lock);

    // Constant after construction
    const std::string m_owner;

    // Lets the other operations go first between the batches of a deletion.
    CDeletionTurns m_turns;

    CMutex m_lock;
    pg_conn* m_connection GUARDED_BY(m_lock);
    CRecordFileRemover m_remover GUARDED_BY(m_lock);
};

}  // namespace zorv
