#include "storage/PgRecordTable.h"

#include <libpq-fe.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <stdexcept>
#include <utility>

#include "platform/Cp1251.h"
#include "storage/RecordDbTable.h"

namespace zorv {
namespace {

// Rows examined per lock hold during a deletion.
constexpr int kDeletionBatch = 64;
// Taken while the schema is made, so that servers starting together do not
// both create it ("zorv" in ASCII).
constexpr const char* kSchemaLock = "SELECT pg_advisory_xact_lock(2053075574)";

constexpr const char* kCreateSchema =
    "CREATE TABLE IF NOT EXISTS records ("
    " id BIGSERIAL PRIMARY KEY,"
    " owner TEXT NOT NULL,"
    " callKey BYTEA NOT NULL,"
    " year BIGINT NOT NULL, mon BIGINT NOT NULL, day BIGINT NOT NULL,"
    " hour BIGINT NOT NULL, min BIGINT NOT NULL, sec BIGINT NOT NULL,"
    " rhour BIGINT NOT NULL, rmin BIGINT NOT NULL, rsec BIGINT NOT NULL,"
    " dhour BIGINT NOT NULL, dmin BIGINT NOT NULL, dsek BIGINT NOT NULL,"
    " NChanel BIGINT NOT NULL, Format BIGINT NOT NULL, inout BIGINT NOT NULL,"
    " isFax BIGINT NOT NULL, deviceSerialNumber BIGINT NOT NULL,"
    " deviceChannelNo BIGINT NOT NULL,"
    " serverName TEXT NOT NULL, TlfString_1 TEXT NOT NULL, Category_1 BIGINT NOT NULL,"
    " TlfString_2 TEXT NOT NULL, Category_2 BIGINT NOT NULL, alias TEXT NOT NULL,"
    " namefile BYTEA NOT NULL, Remark TEXT NOT NULL, extraInfo TEXT NOT NULL,"
    " document TEXT NOT NULL);"
    "CREATE INDEX IF NOT EXISTS records_call ON records(owner, callKey);"
    "CREATE INDEX IF NOT EXISTS records_start"
    " ON records(owner, year, mon, day, hour, min, sec, id);"
    "CREATE INDEX IF NOT EXISTS records_file ON records(owner, namefile);";

// $1 the owner, $2 the call key, $3..$30 the record's fields in this order.
constexpr const char* kInsert =
    "INSERT INTO records (owner, callKey, year, mon, day, hour, min, sec, rhour, rmin, rsec,"
    " dhour, dmin, dsek, NChanel, Format, inout, isFax, deviceSerialNumber, deviceChannelNo,"
    " serverName, TlfString_1, Category_1, TlfString_2, Category_2, alias, namefile, Remark,"
    " extraInfo, document) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13, $14,"
    " $15, $16, $17, $18, $19, $20, $21, $22, $23, $24, $25, $26, $27, $28, $29, $30)";

constexpr const char* kUpdate =
    "UPDATE records SET year = $3, mon = $4, day = $5, hour = $6, min = $7, sec = $8,"
    " rhour = $9, rmin = $10, rsec = $11, dhour = $12, dmin = $13, dsek = $14, NChanel = $15,"
    " Format = $16, inout = $17, isFax = $18, deviceSerialNumber = $19, deviceChannelNo = $20,"
    " serverName = $21, TlfString_1 = $22, Category_1 = $23, TlfString_2 = $24,"
    " Category_2 = $25, alias = $26, namefile = $27, Remark = $28, extraInfo = $29,"
    " document = $30"
    " WHERE id = (SELECT id FROM records WHERE owner = $1 AND callKey = $2 ORDER BY id LIMIT 1)";

// $2..$8 is the last row examined: rows come strictly after it.
constexpr const char* kSelectOldest =
    "SELECT id, year, mon, day, hour, min, sec, namefile FROM records"
    " WHERE owner = $1 AND (year, mon, day, hour, min, sec, id) > ($2, $3, $4, $5, $6, $7, $8)"
    " ORDER BY year, mon, day, hour, min, sec, id LIMIT $9";

constexpr const char* kSelectBefore =
    "SELECT id, year, mon, day, hour, min, sec, namefile FROM records"
    " WHERE owner = $1 AND (year, mon, day, hour, min, sec, id) > ($2, $3, $4, $5, $6, $7, $8)"
    " AND (year, mon, day) < ($10, $11, $12)"
    " ORDER BY year, mon, day, hour, min, sec, id LIMIT $9";

class CPgError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace

// Statement parameters: integers and texts in text form, byte strings in
// binary form.
class CPgRecordTable::CParams {
public:
    CParams& Int(int64_t value) { return Add(std::to_string(value), 0); }
    CParams& Text(std::string value) { return Add(std::move(value), 0); }
    CParams& Bytes(std::string value) { return Add(std::move(value), 1); }
    // A record field: windows-1251 up to its first zero, sent as UTF-8.
    template <std::size_t N>
    CParams& Field(const char (&field)[N]) {
        return Text(Cp1251ToUtf8(GetText(field)));
    }
    CParams& Record(const std::string& owner, const tagDB_Record& r) {
        Text(owner).Bytes(CRecordDbTable::CallKey(r));
        for (uint32_t value : {r.year, r.mon, r.day, r.hour, r.min, r.sec, r.rhour, r.rmin, r.rsec,
                               r.dhour, r.dmin, r.dsek, r.NChanel}) {
            Int(value);
        }
        Int(CRecordDbTable::StoredFormat(r.Format)).Int(r.inout).Int(r.isFax);
        Int(r.deviceSerialNumber).Int(r.deviceChannelNo);
        Field(r.serverName).Field(r.TlfString_1).Int(r.Category_1);
        Field(r.TlfString_2).Int(r.Category_2).Field(r.alias);
        Bytes(GetText(r.namefile));
        return Field(r.Remark).Field(r.extraInfo).Field(r.document);
    }

    int Count() const { return static_cast<int>(m_values.size()); }
    std::vector<const char*> Values() const {
        std::vector<const char*> values;
        for (const std::string& v : m_values) {
            values.push_back(v.data());
        }
        return values;
    }
    const int* Lengths() const { return m_lengths.data(); }
    const int* Formats() const { return m_formats.data(); }

private:
    CParams& Add(std::string value, int format) {
        m_lengths.push_back(static_cast<int>(value.size()));
        m_formats.push_back(format);
        m_values.push_back(std::move(value));
        return *this;
    }

    std::vector<std::string> m_values;
    std::vector<int> m_lengths;
    std::vector<int> m_formats;
};

// A statement's result, cleared when it goes.
class CPgRecordTable::CResult {
public:
    explicit CResult(PGresult* result) : m_result(result) {}
    ~CResult() { PQclear(m_result); }
    CResult(CResult&& other) noexcept : m_result(std::exchange(other.m_result, nullptr)) {}
    CResult(const CResult&) = delete;
    CResult& operator=(const CResult&) = delete;

    int Rows() const { return PQntuples(m_result); }
    int64_t Integer(int row, int column) const {
        return std::strtoll(PQgetvalue(m_result, row, column), nullptr, 10);
    }
    // A BYTEA column (text form "\x...") as its bytes.
    std::string Bytes(int row, int column) const {
        std::size_t length = 0;
        unsigned char* bytes = PQunescapeBytea(
            reinterpret_cast<const unsigned char*>(PQgetvalue(m_result, row, column)), &length);
        if (bytes == nullptr) {
            throw CPgError("a byte string cannot be read");
        }
        std::string out(reinterpret_cast<const char*>(bytes), length);
        PQfreemem(bytes);
        return out;
    }
    // Rows changed by an INSERT, UPDATE or DELETE.
    int64_t Changed() const { return std::strtoll(PQcmdTuples(m_result), nullptr, 10); }

private:
    PGresult* m_result;
};

struct CPgRecordTable::Candidate {
    int64_t id = -1;
    int64_t start[6] = {-1, -1, -1, -1, -1, -1};  // year, mon, day, hour, min, sec
    std::string namefile;
};

std::unique_ptr<CPgRecordTable> CPgRecordTable::Open(const std::string& connection,
                                                     const std::string& owner, std::string& error) {
    if (owner.empty()) {
        error = "a shared record database needs the server's name";
        return nullptr;
    }
    PGconn* pg = PQconnectdb(connection.c_str());
    if (pg == nullptr || PQstatus(pg) != CONNECTION_OK) {
        error = pg != nullptr ? PQerrorMessage(pg) : "out of memory";
        while (!error.empty() && (error.back() == '\n' || error.back() == ' ')) {
            error.pop_back();
        }
        PQfinish(pg);
        return nullptr;
    }
    // The server's notices ("already exists, skipping") are not errors.
    PQsetNoticeProcessor(
        pg, [](void*, const char*) {}, nullptr);
    std::unique_ptr<CPgRecordTable> table(new CPgRecordTable(pg, owner));
    try {
        CMutexLock lock(table->m_lock);
        table->CreateSchema();
    } catch (const std::exception& e) {
        error = e.what();
        return nullptr;
    }
    return table;
}

CPgRecordTable::CPgRecordTable(PGconn* connection, std::string owner)
    : m_owner(std::move(owner)), m_connection(connection) {}

CPgRecordTable::~CPgRecordTable() {
    CMutexLock lock(m_lock);
    PQfinish(m_connection);
}

void CPgRecordTable::Connected() {
    if (PQstatus(m_connection) != CONNECTION_OK) {
        PQreset(m_connection);
        if (PQstatus(m_connection) != CONNECTION_OK) {
            throw CPgError(PQerrorMessage(m_connection));
        }
    }
}

CPgRecordTable::CResult CPgRecordTable::Exec(const char* sql, const CParams& params) {
    Connected();
    const std::vector<const char*> values = params.Values();
    PGresult* raw = PQexecParams(m_connection, sql, params.Count(), nullptr, values.data(),
                                 params.Lengths(), params.Formats(), 0);
    CResult result(raw);
    const ExecStatusType status = PQresultStatus(raw);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
        throw CPgError(raw != nullptr ? PQresultErrorMessage(raw) : PQerrorMessage(m_connection));
    }
    return result;
}

void CPgRecordTable::Exec(const char* sql) {
    Exec(sql, CParams{});
}

void CPgRecordTable::Rollback() {
    if (PQtransactionStatus(m_connection) != PQTRANS_IDLE) {
        PQclear(PQexec(m_connection, "ROLLBACK"));
    }
}

void CPgRecordTable::CreateSchema() {
    Exec("BEGIN");
    try {
        Exec(kSchemaLock);
        // One statement per call: the extended protocol takes one at a time.
        std::string all = kCreateSchema;
        std::size_t at = 0;
        while (at < all.size()) {
            const std::size_t end = all.find(';', at);
            const std::string one = all.substr(at, end == std::string::npos ? end : end - at);
            if (!one.empty()) {
                Exec(one.c_str());
            }
            at = end == std::string::npos ? all.size() : end + 1;
        }
        // A table of the same name but another layout is not ours.
        Exec("SELECT owner, callKey, namefile, document FROM records LIMIT 0");
        Exec("COMMIT");
    } catch (...) {
        Rollback();
        throw;
    }
}

void CPgRecordTable::AppendLocked(const tagDB_Record& record) {
    Exec(kInsert, CParams().Record(m_owner, record));
}

void CPgRecordTable::UpdateLocked(const tagDB_Record& record) {
    if (Exec(kUpdate, CParams().Record(m_owner, record)).Changed() == 0) {
        AppendLocked(record);
    }
}

void CPgRecordTable::DeleteLocked(const tagDB_Record& record) {
    Exec("DELETE FROM records WHERE owner = $1 AND callKey = $2",
         CParams().Text(m_owner).Bytes(CRecordDbTable::CallKey(record)));
}

bool CPgRecordTable::Append(const tagDB_Record& record) {
    const CDeletionTurns::CUse use(m_turns);
    CMutexLock lock(m_lock);
    try {
        AppendLocked(record);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool CPgRecordTable::Update(const tagDB_Record& record) {
    const CDeletionTurns::CUse use(m_turns);
    CMutexLock lock(m_lock);
    try {
        Exec("BEGIN");
        UpdateLocked(record);
        Exec("COMMIT");
        return true;
    } catch (const std::exception&) {
        Rollback();
        return false;
    }
}

bool CPgRecordTable::Delete(const tagDB_Record& record) {
    const CDeletionTurns::CUse use(m_turns);
    CMutexLock lock(m_lock);
    try {
        DeleteLocked(record);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool CPgRecordTable::Apply(std::span<const RecordDbChange> changes, std::span<int32_t> results) {
    if (results.size() < changes.size()) {
        return false;
    }
    results = results.first(changes.size());
    std::fill(results.begin(), results.end(), -1);
    if (changes.empty()) {
        return true;
    }
    const CDeletionTurns::CUse use(m_turns);
    CMutexLock lock(m_lock);
    // Most batches fail nowhere: they go without savepoints, one round trip
    // per change. A batch in which a change fails is run again with a
    // savepoint around every change, so that only the failed ones are undone.
    Outcome outcome = ApplyOnce(changes, results, false);
    if (outcome == Outcome::kRetry) {
        outcome = ApplyOnce(changes, results, true);
    }
    if (outcome != Outcome::kCommitted) {
        std::fill(results.begin(), results.end(), -1);
        return false;
    }
    return true;
}

CPgRecordTable::Outcome CPgRecordTable::ApplyOnce(std::span<const RecordDbChange> changes,
                                                  std::span<int32_t> results, bool guarded) {
    std::fill(results.begin(), results.end(), -1);
    try {
        Exec("BEGIN");
        for (std::size_t i = 0; i < changes.size(); ++i) {
            const RecordDbChange& change = changes[i];
            if (change.kind != RecordDbChange::Kind::kAppend &&
                change.kind != RecordDbChange::Kind::kUpdate &&
                change.kind != RecordDbChange::Kind::kDelete) {
                continue;  // not a change this table knows: it fails
            }
            if (guarded) {
                Exec("SAVEPOINT change");
            }
            try {
                switch (change.kind) {
                    case RecordDbChange::Kind::kAppend:
                        AppendLocked(*change.record);
                        break;
                    case RecordDbChange::Kind::kUpdate:
                        UpdateLocked(*change.record);
                        break;
                    default:
                        DeleteLocked(*change.record);
                        break;
                }
            } catch (const std::exception&) {
                if (!guarded || PQstatus(m_connection) != CONNECTION_OK) {
                    Rollback();
                    return guarded || PQstatus(m_connection) != CONNECTION_OK ? Outcome::kFailed
                                                                              : Outcome::kRetry;
                }
                Exec("ROLLBACK TO SAVEPOINT change");
                continue;
            }
            if (guarded) {
                Exec("RELEASE SAVEPOINT change");
            }
            results[i] = 0;
        }
        Exec("COMMIT");
        return Outcome::kCommitted;
    } catch (const std::exception&) {
        Rollback();
        return Outcome::kFailed;
    }
}

int32_t CPgRecordTable::FindFormat(const tagDB_Record& record, uint32_t& format) {
    const CDeletionTurns::CUse use(m_turns);
    CMutexLock lock(m_lock);
    try {
        const CResult found =
            Exec("SELECT Format FROM records WHERE owner = $1 AND callKey = $2 ORDER BY id LIMIT 1",
                 CParams().Text(m_owner).Bytes(CRecordDbTable::CallKey(record)));
        if (found.Rows() == 0) {
            return 0;
        }
        format = static_cast<uint32_t>(found.Integer(0, 0));
        return 1;
    } catch (const std::exception&) {
        return -1;
    }
}

int32_t CPgRecordTable::FilesWithFormat(uint32_t format, std::vector<std::string>& namefiles) {
    const CDeletionTurns::CUse use(m_turns);
    CMutexLock lock(m_lock);
    namefiles.clear();
    try {
        const CResult found =
            Exec("SELECT namefile FROM records WHERE owner = $1 AND Format = $2 ORDER BY id",
                 CParams().Text(m_owner).Int(format));
        for (int row = 0; row < found.Rows(); ++row) {
            namefiles.push_back(found.Bytes(row, 0));
        }
    } catch (const std::exception&) {
        namefiles.clear();
        return -1;
    }
    return namefiles.size() > INT32_MAX ? INT32_MAX : static_cast<int32_t>(namefiles.size());
}

bool CPgRecordTable::SetRecordRoots(std::vector<std::string> roots) {
    const CDeletionTurns::CUse use(m_turns);
    CMutexLock lock(m_lock);
    m_remover.SetRoots(std::move(roots));
    return true;
}

int32_t CPgRecordTable::DeleteOldest(int32_t megabytes, RecordDeletionTally* tally) {
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

int32_t CPgRecordTable::DeleteBefore(int32_t year, int32_t month, int32_t day,
                                     RecordDeletionTally* tally) {
    if (year < 1 || month < 1 || month > 12 || day < 1 || day > 31) {
        return -1;
    }
    RecordDeletionTally own;
    return DeleteRows(false, 0, year, month, day, tally != nullptr ? *tally : own);
}

void CPgRecordTable::RemoveCandidate(const Candidate& row, RecordDeletionTally& tally) {
    if (row.namefile.empty()) {
        Exec("DELETE FROM records WHERE id = $1", CParams().Int(row.id));
        return;
    }
    const CRecordFileRemover::Result result = m_remover.Remove(row.namefile);
    if (result.outcome == CRecordFileRemover::Outcome::kKept) {
        return;
    }
    if (result.outcome == CRecordFileRemover::Outcome::kRemoved) {
        tally.Add(row.start, result.bytes);
    }
    // The file is gone: so is every row of this server that names it.
    Exec("DELETE FROM records WHERE owner = $1 AND namefile = $2",
         CParams().Text(m_owner).Bytes(row.namefile));
}

int32_t CPgRecordTable::DeleteRows(bool oldest, int64_t targetBytes, int32_t year, int32_t month,
                                   int32_t day, RecordDeletionTally& tally) {
    // Only this run's files count towards its target.
    const uint64_t before = tally.bytes;
    Candidate cursor;
    bool done = false;
    try {
        while (!done) {
            m_turns.LetOthersIn();
            CMutexLock lock(m_lock);
            CParams params;
            params.Text(m_owner);
            for (int64_t value : cursor.start) {
                params.Int(value);
            }
            params.Int(cursor.id).Int(kDeletionBatch);
            if (!oldest) {
                params.Int(year).Int(month).Int(day);
            }
            const CResult found = Exec(oldest ? kSelectOldest : kSelectBefore, params);
            std::vector<Candidate> batch;
            for (int r = 0; r < found.Rows(); ++r) {
                Candidate row;
                row.id = found.Integer(r, 0);
                for (int i = 0; i < 6; ++i) {
                    row.start[i] = found.Integer(r, i + 1);
                }
                row.namefile = found.Bytes(r, 7);
                batch.push_back(std::move(row));
            }
            if (batch.size() < static_cast<std::size_t>(kDeletionBatch)) {
                done = true;
            }
            if (batch.empty()) {
                break;
            }
            // Files go before their rows are committed; should the commit
            // fail, the rows left behind name files that are gone and the
            // next deletion drops them as absent.
            Exec("BEGIN");
            try {
                for (const Candidate& row : batch) {
                    cursor = row;
                    RemoveCandidate(row, tally);
                    if (oldest && tally.bytes - before >= static_cast<uint64_t>(targetBytes)) {
                        done = true;
                        break;
                    }
                }
                Exec("COMMIT");
            } catch (...) {
                Rollback();
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
