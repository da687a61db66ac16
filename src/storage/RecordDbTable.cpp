#include "storage/RecordDbTable.h"

#include <sqlite3.h>

#include <algorithm>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <stdexcept>
#include <string_view>

#include "platform/FileOps.h"
#include "storage/SqliteStatement.h"

namespace zorv {

namespace {

// After these failures SQLite may have undone the whole transaction, or
// advises to roll it back (a full disk, an I/O error, lack of memory, a lock
// that stayed busy, an interruption); after any other failure only the failed
// statement is undone and the transaction goes on.
bool EndsTransaction(int code) {
    switch (code) {
        case SQLITE_FULL:
        case SQLITE_IOERR:
        case SQLITE_NOMEM:
        case SQLITE_BUSY:
        case SQLITE_INTERRUPT:
        case SQLITE_CORRUPT:
            return true;
        default:
            return false;
    }
}

constexpr int kSchemaVersion = 1;
// Rows examined per lock hold during a deletion.
constexpr int kDeletionBatch = 64;
// How long a call waits for another connection's lock on the same file.
constexpr int kBusyTimeoutMs = 5000;

constexpr const char* kCreateSchema =
    "CREATE TABLE records ("
    " id INTEGER PRIMARY KEY,"
    " callKey TEXT NOT NULL,"
    " year INTEGER NOT NULL, mon INTEGER NOT NULL, day INTEGER NOT NULL,"
    " hour INTEGER NOT NULL, min INTEGER NOT NULL, sec INTEGER NOT NULL,"
    " rhour INTEGER NOT NULL, rmin INTEGER NOT NULL, rsec INTEGER NOT NULL,"
    " dhour INTEGER NOT NULL, dmin INTEGER NOT NULL, dsek INTEGER NOT NULL,"
    " NChanel INTEGER NOT NULL, Format INTEGER NOT NULL, inout INTEGER NOT NULL,"
    " isFax INTEGER NOT NULL, deviceSerialNumber INTEGER NOT NULL,"
    " deviceChannelNo INTEGER NOT NULL,"
    " serverName TEXT NOT NULL, TlfString_1 TEXT NOT NULL, Category_1 INTEGER NOT NULL,"
    " TlfString_2 TEXT NOT NULL, Category_2 INTEGER NOT NULL, alias TEXT NOT NULL,"
    " namefile TEXT NOT NULL, Remark TEXT NOT NULL, extraInfo TEXT NOT NULL,"
    " document TEXT NOT NULL);"
    "CREATE INDEX records_call ON records(callKey);"
    "CREATE INDEX records_start ON records(year, mon, day, hour, min, sec, id);"
    "CREATE INDEX records_file ON records(namefile);";

// Parameter ?1 is the call key, ?2..?29 the record's fields in this order.
constexpr const char* kInsert =
    "INSERT INTO records (callKey, year, mon, day, hour, min, sec, rhour, rmin, rsec,"
    " dhour, dmin, dsek, NChanel, Format, inout, isFax, deviceSerialNumber, deviceChannelNo,"
    " serverName, TlfString_1, Category_1, TlfString_2, Category_2, alias, namefile, Remark,"
    " extraInfo, document) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13,"
    " ?14, ?15, ?16, ?17, ?18, ?19, ?20, ?21, ?22, ?23, ?24, ?25, ?26, ?27, ?28, ?29)";

constexpr const char* kUpdate =
    "UPDATE records SET year = ?2, mon = ?3, day = ?4, hour = ?5, min = ?6, sec = ?7,"
    " rhour = ?8, rmin = ?9, rsec = ?10, dhour = ?11, dmin = ?12, dsek = ?13, NChanel = ?14,"
    " Format = ?15, inout = ?16, isFax = ?17, deviceSerialNumber = ?18, deviceChannelNo = ?19,"
    " serverName = ?20, TlfString_1 = ?21, Category_1 = ?22, TlfString_2 = ?23,"
    " Category_2 = ?24, alias = ?25, namefile = ?26, Remark = ?27, extraInfo = ?28,"
    " document = ?29"
    " WHERE id = (SELECT id FROM records WHERE callKey = ?1 ORDER BY id LIMIT 1)";

// The cursor ?1..?7 is the last row examined: rows come strictly after it.
constexpr const char* kSelectOldest =
    "SELECT id, year, mon, day, hour, min, sec, Format, namefile FROM records"
    " WHERE (year, mon, day, hour, min, sec, id) > (?1, ?2, ?3, ?4, ?5, ?6, ?7)"
    " ORDER BY year, mon, day, hour, min, sec, id LIMIT ?8";

constexpr const char* kSelectBefore =
    "SELECT id, year, mon, day, hour, min, sec, Format, namefile FROM records"
    " WHERE (year, mon, day, hour, min, sec, id) > (?1, ?2, ?3, ?4, ?5, ?6, ?7)"
    " AND (year, mon, day) < (?9, ?10, ?11)"
    " ORDER BY year, mon, day, hour, min, sec, id LIMIT ?8";

}  // namespace

// The statuses a stored Format may hold (see the header).
uint32_t CRecordDbTable::StoredFormat(uint32_t format) {
    switch (format) {
        case kFormatPcm:
        case kFormatConverted:
        case kFormatRecording:
        case kFormatWaiting:
            return format;
        default:
            return kFormatPcm;
    }
}

// A prepared statement; reset after every use.
class CRecordDbTable::CStatement : public CSqliteStatement {
public:
    using CSqliteStatement::CSqliteStatement;

    // Binds the call key and every field of record as ?1..?29.
    void BindRecord(const tagDB_Record& r) {
        Bind(1, CallKey(r));
        const uint32_t times[] = {r.year,  r.mon,  r.day,  r.hour,  r.min,  r.sec,
                                  r.rhour, r.rmin, r.rsec, r.dhour, r.dmin, r.dsek};
        int index = 2;
        for (uint32_t value : times) {
            Bind(index++, static_cast<int64_t>(value));
        }
        Bind(14, static_cast<int64_t>(r.NChanel));
        Bind(15, static_cast<int64_t>(StoredFormat(r.Format)));
        Bind(16, static_cast<int64_t>(r.inout));
        Bind(17, static_cast<int64_t>(r.isFax));
        Bind(18, static_cast<int64_t>(r.deviceSerialNumber));
        Bind(19, static_cast<int64_t>(r.deviceChannelNo));
        BindField(20, r.serverName);
        BindField(21, r.TlfString_1);
        Bind(22, static_cast<int64_t>(r.Category_1));
        BindField(23, r.TlfString_2);
        Bind(24, static_cast<int64_t>(r.Category_2));
        BindField(25, r.alias);
        BindField(26, r.namefile);
        BindField(27, r.Remark);
        BindField(28, r.extraInfo);
        BindField(29, r.document);
    }
};

// Resets a statement when the scope ends, whatever happened.
template <typename Statement>
class CResetOnExit {
public:
    explicit CResetOnExit(Statement& statement) : m_statement(statement) {}
    ~CResetOnExit() { m_statement.Reset(); }
    CResetOnExit(const CResetOnExit&) = delete;
    CResetOnExit& operator=(const CResetOnExit&) = delete;

private:
    Statement& m_statement;
};

struct CRecordDbTable::Candidate {
    int64_t id = -1;
    int64_t start[6] = {-1, -1, -1, -1, -1, -1};  // year, mon, day, hour, min, sec
    uint32_t format = 0;
    std::string namefile;
};

std::unique_ptr<CRecordDbTable> CRecordDbTable::Open(const std::string& directory,
                                                     const std::string& fileName, Layout layout) {
    const std::string path = directory + "/" + fileName;
    // SQLite would make a new file 0644 less the umask; made here first, it
    // is 0640 whatever the caller's umask, and SQLite gives its journal,
    // write-ahead log and shared-memory files the database file's mode.
    if (!CreateFileIfMissing(path, kDataFileMode)) {
        return nullptr;
    }
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return nullptr;
    }
    std::unique_ptr<CRecordDbTable> table(new CRecordDbTable(db, directory, layout));
    try {
        table->Prepare();
    } catch (const std::exception&) {
        return nullptr;
    }
    return table;
}

CRecordDbTable::CRecordDbTable(sqlite3* db, std::string directory, Layout layout)
    : m_directory(std::move(directory)), m_layout(layout), m_db(db) {
    if (m_layout == Layout::kArchiveCopy) {
        m_remover.SetRoots({m_directory});
    }
}

CRecordDbTable::~CRecordDbTable() {
    m_insert.reset();
    m_update.reset();
    m_deleteKey.reset();
    m_deleteFile.reset();
    m_deleteId.reset();
    m_selectOldest.reset();
    m_selectBefore.reset();
    m_selectFormat.reset();
    m_selectFiles.reset();
    sqlite3_close(m_db);
}

void CRecordDbTable::Execute(const char* sql) {
    SqliteExecute(m_db, sql);
}

void CRecordDbTable::Prepare() {
    sqlite3_busy_timeout(m_db, kBusyTimeoutMs);
    auto version = [this] {
        CStatement query(m_db, "PRAGMA user_version");
        return query.Step() ? query.Integer(0) : -1;
    };
    // Reading first: a file that is not a database fails here, before anything
    // is written to it.
    int64_t found = version();
    if (found == 0) {
        Execute("BEGIN IMMEDIATE");
        try {
            found = version();
            if (found == 0) {
                CStatement tables(m_db, "SELECT count(*) FROM sqlite_master");
                if (!tables.Step() || tables.Integer(0) != 0) {
                    throw CSqliteError(m_db, "not a record table");
                }
                Execute(kCreateSchema);
                Execute("PRAGMA user_version = 1");
                found = kSchemaVersion;
            }
            Execute("COMMIT");
        } catch (...) {
            sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
    }
    if (found != kSchemaVersion) {
        throw CSqliteError(m_db, "unknown table version");
    }
    // The server's table lives on the local work disk, where the write-ahead
    // log lets the deletions of the timer thread and the writer's appends use
    // the file together. Archive media may be network shares, where the log's
    // shared memory does not work, so they keep the rollback journal.
    Execute(m_layout == Layout::kServer ? "PRAGMA journal_mode = WAL"
                                        : "PRAGMA journal_mode = DELETE");
    Execute("PRAGMA synchronous = FULL");

    m_insert = std::make_unique<CStatement>(m_db, kInsert);
    m_update = std::make_unique<CStatement>(m_db, kUpdate);
    m_deleteKey = std::make_unique<CStatement>(m_db, "DELETE FROM records WHERE callKey = ?1");
    m_deleteFile = std::make_unique<CStatement>(m_db, "DELETE FROM records WHERE namefile = ?1");
    m_deleteId = std::make_unique<CStatement>(m_db, "DELETE FROM records WHERE id = ?1");
    m_selectOldest = std::make_unique<CStatement>(m_db, kSelectOldest);
    m_selectBefore = std::make_unique<CStatement>(m_db, kSelectBefore);
    m_selectFormat = std::make_unique<CStatement>(
        m_db, "SELECT Format FROM records WHERE callKey = ?1 ORDER BY id LIMIT 1");
    m_selectFiles = std::make_unique<CStatement>(
        m_db, "SELECT namefile FROM records WHERE Format = ?1 ORDER BY id");
}

std::string CRecordDbTable::CallKey(const tagDB_Record& r) {
    const std::string namefile = GetText(r.namefile);
    if (!namefile.empty()) {
        const std::size_t slash = namefile.find_last_of('/');
        const std::string name = slash == std::string::npos ? namefile : namefile.substr(slash + 1);
        return "file:" + (name.empty() ? namefile : name);
    }
    char key[96];
    std::snprintf(key, sizeof key,
                  "call:%04" PRIu32 "-%02" PRIu32 "-%02" PRIu32 " %02" PRIu32 ":%02" PRIu32
                  ":%02" PRIu32 " line %" PRIu32,
                  r.year, r.mon, r.day, r.hour, r.min, r.sec, r.NChanel);
    return key;
}

void CRecordDbTable::AppendLocked(const tagDB_Record& record) {
    CResetOnExit reset(*m_insert);
    m_insert->BindRecord(record);
    m_insert->Step();
}

void CRecordDbTable::UpdateLocked(const tagDB_Record& record) {
    {
        CResetOnExit reset(*m_update);
        m_update->BindRecord(record);
        m_update->Step();
    }
    if (sqlite3_changes(m_db) == 0) {
        AppendLocked(record);
    }
}

void CRecordDbTable::DeleteLocked(const tagDB_Record& record) {
    CResetOnExit reset(*m_deleteKey);
    m_deleteKey->Bind(1, CallKey(record));
    m_deleteKey->Step();
}

bool CRecordDbTable::Append(const tagDB_Record& record) {
    const CDeletionTurns::CUse use(m_turns);
    std::lock_guard lock(m_lock);
    try {
        AppendLocked(record);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool CRecordDbTable::Update(const tagDB_Record& record) {
    const CDeletionTurns::CUse use(m_turns);
    std::lock_guard lock(m_lock);
    try {
        UpdateLocked(record);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool CRecordDbTable::Delete(const tagDB_Record& record) {
    const CDeletionTurns::CUse use(m_turns);
    std::lock_guard lock(m_lock);
    try {
        DeleteLocked(record);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool CRecordDbTable::Apply(std::span<const RecordDbChange> changes, std::span<int32_t> results) {
    if (results.size() < changes.size()) {
        return false;
    }
    results = results.first(changes.size());
    std::fill(results.begin(), results.end(), -1);
    if (changes.empty()) {
        return true;
    }
    const CDeletionTurns::CUse use(m_turns);
    std::lock_guard lock(m_lock);
    try {
        Execute("BEGIN IMMEDIATE");
    } catch (const std::exception&) {
        return false;
    }
    // Undoes what is left of the transaction; the batch then counts as failed.
    auto abandon = [&] {
        if (!sqlite3_get_autocommit(m_db)) {
            sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        }
        std::fill(results.begin(), results.end(), -1);
        return false;
    };
    for (std::size_t i = 0; i < changes.size(); ++i) {
        const RecordDbChange& change = changes[i];
        try {
            switch (change.kind) {
                case RecordDbChange::Kind::kAppend:
                    AppendLocked(*change.record);
                    break;
                case RecordDbChange::Kind::kUpdate:
                    UpdateLocked(*change.record);
                    break;
                case RecordDbChange::Kind::kDelete:
                    DeleteLocked(*change.record);
                    break;
                default:
                    continue;  // not a change this table knows: it fails
            }
            results[i] = 0;
        } catch (const CSqliteError& error) {
            // The changes before this one were undone with the transaction.
            if (EndsTransaction(error.Code()) || sqlite3_get_autocommit(m_db)) {
                return abandon();
            }
        } catch (const std::exception&) {
            if (sqlite3_get_autocommit(m_db)) {
                return abandon();
            }
        }
    }
    try {
        Execute("COMMIT");
    } catch (const std::exception&) {
        return abandon();
    }
    return true;
}

int32_t CRecordDbTable::FindFormat(const tagDB_Record& record, uint32_t& format) {
    const CDeletionTurns::CUse use(m_turns);
    std::lock_guard lock(m_lock);
    try {
        CResetOnExit reset(*m_selectFormat);
        m_selectFormat->Bind(1, CallKey(record));
        if (!m_selectFormat->Step()) {
            return 0;
        }
        format = static_cast<uint32_t>(m_selectFormat->Integer(0));
        return 1;
    } catch (const std::exception&) {
        return -1;
    }
}

int32_t CRecordDbTable::FilesWithFormat(uint32_t format, std::vector<std::string>& namefiles) {
    const CDeletionTurns::CUse use(m_turns);
    std::lock_guard lock(m_lock);
    namefiles.clear();
    try {
        CResetOnExit reset(*m_selectFiles);
        m_selectFiles->Bind(1, static_cast<int64_t>(format));
        while (m_selectFiles->Step()) {
            namefiles.push_back(m_selectFiles->Text(0));
        }
    } catch (const std::exception&) {
        namefiles.clear();
        return -1;
    }
    return namefiles.size() > INT32_MAX ? INT32_MAX : static_cast<int32_t>(namefiles.size());
}

bool CRecordDbTable::SetRecordRoots(std::vector<std::string> roots) {
    if (m_layout != Layout::kServer) {
        return false;
    }
    const CDeletionTurns::CUse use(m_turns);
    std::lock_guard lock(m_lock);
    m_remover.SetRoots(std::move(roots));
    return true;
}

int32_t CRecordDbTable::DeleteOldest(int32_t megabytes, RecordDeletionTally* tally) {
    if (megabytes < 0) {
        return -1;
    }
    if (megabytes == 0) {
        return 0;
    }
    RecordDeletionTally own;
    return DeleteRows(true, static_cast<int64_t>(megabytes) << 20, 0, 0, 0,
                      tally != nullptr ? *tally : own);
}

int32_t CRecordDbTable::DeleteBefore(int32_t year, int32_t month, int32_t day,
                                     RecordDeletionTally* tally) {
    if (year < 1 || month < 1 || month > 12 || day < 1 || day > 31) {
        return -1;
    }
    RecordDeletionTally own;
    return DeleteRows(false, 0, year, month, day, tally != nullptr ? *tally : own);
}

std::string CRecordDbTable::FullPath(const std::string& namefile) const {
    if (m_layout == Layout::kServer) {
        return namefile;
    }
    // An archive copy names its files from the table's directory on.
    const std::size_t start = namefile.find_first_not_of('/');
    if (start == std::string::npos) {
        return {};
    }
    return m_directory + "/" + namefile.substr(start);
}

void CRecordDbTable::RemoveCandidate(const Candidate& row, RecordDeletionTally& tally) {
    // A record still being written (Format 4) is kept by its writer's lock on
    // the file; one that nobody holds was cut short and may go.
    if (row.namefile.empty()) {
        CResetOnExit reset(*m_deleteId);
        m_deleteId->Bind(1, row.id);
        m_deleteId->Step();
        return;
    }
    const std::string path = FullPath(row.namefile);
    if (path.empty()) {
        return;
    }
    const CRecordFileRemover::Result result = m_remover.Remove(path);
    if (result.outcome == CRecordFileRemover::Outcome::kKept) {
        return;
    }
    if (result.outcome == CRecordFileRemover::Outcome::kRemoved) {
        tally.Add(row.start, result.bytes);
    }
    // The file is gone: so is every row that names it.
    CResetOnExit reset(*m_deleteFile);
    m_deleteFile->Bind(1, row.namefile);
    m_deleteFile->Step();
}

int32_t CRecordDbTable::DeleteRows(bool oldest, int64_t targetBytes, int32_t year, int32_t month,
                                   int32_t day, RecordDeletionTally& tally) {
    // Only this run's files count towards its target.
    const uint64_t before = tally.bytes;
    Candidate cursor;
    bool done = false;
    try {
        while (!done) {
            m_turns.LetOthersIn();
            std::lock_guard lock(m_lock);
            std::unique_ptr<CStatement>& select = oldest ? m_selectOldest : m_selectBefore;
            std::vector<Candidate> batch;
            {
                CResetOnExit reset(*select);
                for (int i = 0; i < 6; ++i) {
                    select->Bind(i + 1, cursor.start[i]);
                }
                select->Bind(7, cursor.id);
                select->Bind(8, kDeletionBatch);
                if (!oldest) {
                    select->Bind(9, year);
                    select->Bind(10, month);
                    select->Bind(11, day);
                }
                while (select->Step()) {
                    Candidate row;
                    row.id = select->Integer(0);
                    for (int i = 0; i < 6; ++i) {
                        row.start[i] = select->Integer(i + 1);
                    }
                    row.format = static_cast<uint32_t>(select->Integer(7));
                    row.namefile = select->Text(8);
                    batch.push_back(std::move(row));
                }
            }
            if (batch.size() < static_cast<std::size_t>(kDeletionBatch)) {
                done = true;
            }
            if (batch.empty()) {
                break;
            }
            // Files are removed before their rows are committed; should the
            // commit fail, the rows left behind name files that are gone and
            // the next deletion drops them as absent.
            Execute("BEGIN IMMEDIATE");
            try {
                for (const Candidate& row : batch) {
                    cursor = row;
                    RemoveCandidate(row, tally);
                    if (oldest && tally.bytes - before >= static_cast<uint64_t>(targetBytes)) {
                        done = true;
                        break;
                    }
                }
                Execute("COMMIT");
            } catch (...) {
                sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
                throw;
            }
        }
    } catch (const std::exception&) {
        return -1;
    }
    const uint64_t megabytes = (tally.bytes - before) >> 20;
    return megabytes > static_cast<uint64_t>(INT32_MAX) ? INT32_MAX
                                                        : static_cast<int32_t>(megabytes);
}

}  // namespace zorv
