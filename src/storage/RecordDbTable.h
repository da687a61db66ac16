// One open record table: an SQLite file holding one row per call record.
//
// Schema (table "records", user_version 1):
//   id        INTEGER PRIMARY KEY   insertion order
//   callKey   TEXT                  which call the row describes (below)
//   one column per field of tagDB_Record, named like the field: the integers
//   as INTEGER, the text fields as TEXT holding the field's windows-1251 bytes
//   up to its first zero.
// Indexes: callKey; (year, mon, day, hour, min, sec, id) for the oldest-first
// deletions; namefile.
//
// The call key: "file:" and the file name without its directory when namefile
// is set (the name stays when the compressor moves or converts the file into
// its day directory), else "call:" with the start date, time and line number.
// Update and Delete find the stored record of a call by this key. Several rows
// may share a key (the compressor adds one copy per group mark): Update changes
// the first of them, Delete removes them all.
//
// Format holds only the record statuses 0 (finished, PCM), 1 (converted),
// 4 (being written) and 5 (waiting for the compressor). A channel's Compress
// value other than 1 leaves the record as recorded, so any value outside that
// set is stored as 0.
//
// Deletions (DeleteOldest, DeleteBefore) remove rows together with their
// files, oldest first, through a CRecordFileRemover. A row whose file must
// stay (no record file of the roots, locked by its writer or the compressor,
// failed removal) stays too; a row still being written (Format 4) whose file nobody
// holds was cut short by a crash and is removed like any other,
// so the table never points at a file that is gone; when a file goes, every
// row naming it goes with it.
//
// Thread safety: every public method may be called from any thread; calls are
// serialised by one lock per table. Long deletions release the lock between
// batches and let waiting callers in first (CDeletionTurns), so that a writer
// is never held up for long; a batch of changes
// (Apply) holds it to its commit, so its writer keeps batches short.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "core/DbRecord.h"
#include "storage/DeletionTurns.h"
#include "storage/RecordDbChange.h"
#include "storage/RecordDbFileRemover.h"
#include "storage/RecordTable.h"

struct sqlite3;
struct sqlite3_stmt;

namespace zorv {

class CRecordDbTable final : public IRecordTable {
public:
    enum class Layout {
        kServer,       // record paths are absolute; the roots are set by the owner
        kArchiveCopy,  // record paths are relative to the table's directory, its only root
    };

    // Opens (creating when absent) the table file path in the existing
    // directory. Null when the file cannot be opened or is not a record table
    // of this kind (an unknown file is left untouched).
    static std::unique_ptr<CRecordDbTable> Open(const std::string& directory,
                                                const std::string& fileName, Layout layout);
    ~CRecordDbTable() override;
    CRecordDbTable(const CRecordDbTable&) = delete;
    CRecordDbTable& operator=(const CRecordDbTable&) = delete;

    // Each is false on a failure of the table file.
    bool Append(const tagDB_Record& record) override;
    // The stored record of this call takes the new contents; a call not stored
    // yet is appended, so that a finished record is never lost from the table.
    bool Update(const tagDB_Record& record) override;
    // Removes every stored record of this call (none stored is no failure).
    bool Delete(const tagDB_Record& record) override;

    // Applies the changes in order inside one transaction, synced to disk once,
    // at its commit. results[i] becomes 0 when changes[i] succeeded, else -1; a
    // change that fails is undone alone and the others stay. True when the
    // transaction was committed. False when it could not begin or commit, or a
    // failure ended it as a whole (a full disk, an I/O error, a trigger's
    // rollback): then nothing of the batch is stored and every result is -1.
    // results must hold at least changes.size() elements (else false and
    // nothing is done). No changes: true at once.
    bool Apply(std::span<const RecordDbChange> changes, std::span<int32_t> results) override;

    // Removes the oldest records with their files until at least megabytes
    // (2^20 bytes) of files are gone or no removable record is left. Returns
    // the megabytes removed (whole, rounded down), -1 on failure. tally (may
    // be null) gets the files removed, also by a deletion that then failed.
    int32_t DeleteOldest(int32_t megabytes, RecordDeletionTally* tally) override;
    // Removes the records that started before year-month-day, with their
    // files. Returns the megabytes removed, -1 on failure or an invalid date.
    int32_t DeleteBefore(int32_t year, int32_t month, int32_t day,
                         RecordDeletionTally* tally) override;

    // The Format of the stored record of this call (the one Update changes):
    // 1 with format set, 0 when none is stored, -1 on failure.
    int32_t FindFormat(const tagDB_Record& record, uint32_t& format) override;
    // The file names of the records whose Format is format, in insertion
    // order; their number, -1 on failure.
    int32_t FilesWithFormat(uint32_t format, std::vector<std::string>& namefiles) override;

    // The directories record files may be removed from (server layout only;
    // an archive copy's root is its own directory). False for an archive copy.
    bool SetRecordRoots(std::vector<std::string> roots) override;

    // The key Update and Delete find a record by (see above).
    static std::string CallKey(const tagDB_Record& record);
    // The Format a record is stored with (see above).
    static uint32_t StoredFormat(uint32_t format);

private:
    class CStatement;
    struct Candidate;

    CRecordDbTable(sqlite3* db, std::string directory, Layout layout);
    void Prepare();
    void Execute(const char* sql);
    // The changes themselves, under m_lock; each throws on a failure.
    void AppendLocked(const tagDB_Record& record);
    void UpdateLocked(const tagDB_Record& record);
    void DeleteLocked(const tagDB_Record& record);
    int32_t DeleteRows(bool oldest, int64_t targetBytes, int32_t year, int32_t month, int32_t day,
                       RecordDeletionTally& tally);
    // Decides about one candidate row under m_lock; a file removed is added
    // to tally.
    void RemoveCandidate(const Candidate& row, RecordDeletionTally& tally);
    std::string FullPath(const std::string& namefile) const;

    // Constant after construction
    const std::string m_directory;
    const Layout m_layout;

    // Lets the other operations go first between the batches of a deletion.
    CDeletionTurns m_turns;

    // Guarded by m_lock
    std::mutex m_lock;
    sqlite3* m_db;
    std::unique_ptr<CStatement> m_insert;
    std::unique_ptr<CStatement> m_update;
    std::unique_ptr<CStatement> m_deleteKey;
    std::unique_ptr<CStatement> m_deleteFile;
    std::unique_ptr<CStatement> m_deleteId;
    std::unique_ptr<CStatement> m_selectOldest;
    std::unique_ptr<CStatement> m_selectBefore;
    std::unique_ptr<CStatement> m_selectFormat;
    std::unique_ptr<CStatement> m_selectFiles;
    CRecordFileRemover m_remover;
};

}  // namespace zorv
