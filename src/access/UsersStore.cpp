#include "access/UsersStore.h"

#include <sodium.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <cstring>

#include "access/UserRights.h"
#include "storage/SqliteStatement.h"

namespace zorv {
namespace {

constexpr int kSchemaVersion = 1;
// How long a call waits for another connection's lock on the same file (the
// command line working on the file of a running server).
constexpr int kBusyTimeoutMs = 5000;

constexpr const char* kCreateSchema =
    "CREATE TABLE users ("
    " id INTEGER PRIMARY KEY,"
    " nameKey BLOB NOT NULL UNIQUE,"  // enciphered case-folded name
    " passwordHash TEXT NOT NULL,"    // crypto_pwhash_str
    " record BLOB NOT NULL)";         // enciphered record, password zeroed

// Byte range of the record that only an administrator changes: from
// AdminAccess to the end.
constexpr std::size_t kRightsOffset = offsetof(tagUserAccountRecord, AdminAccess);

bool ValidName(std::string_view name) {
    return !name.empty() && name.size() <= kUserNameMax &&
           name.find('\0') == std::string_view::npos;
}

bool ValidPassword(std::string_view password) {
    return !password.empty() && password.size() <= kPasswordMax &&
           password.find('\0') == std::string_view::npos;
}

static_assert(kInteractiveHashCost.opsLimit == crypto_pwhash_OPSLIMIT_INTERACTIVE);
static_assert(kInteractiveHashCost.memLimit == crypto_pwhash_MEMLIMIT_INTERACTIVE);
static_assert(kCheapestHashCost.opsLimit == crypto_pwhash_OPSLIMIT_MIN);
static_assert(kCheapestHashCost.memLimit == crypto_pwhash_MEMLIMIT_MIN);

// A hash at the interactive cost of a random password nobody knows: what an
// unknown name is checked against (a test holds its cost to the store's).
constexpr const char* kInteractiveAbsentHash =
    "$argon2id$v=19$m=65536,t=2,p=1$gWIumQFk4mpvcfjMi1e9oA$"
    "g6SSgGhhHvG/h9Rv3owl4BxtImOJ56CPVUPZ9ijjKmg";

std::string HashAt(const PasswordHashCost& cost, std::string_view password) {
    char hash[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(hash, password.data(), password.size(), cost.opsLimit, cost.memLimit) !=
        0) {
        return {};
    }
    return std::string(hash);
}

bool HasBit(const uint8_t* mask, int bit) {
    return (mask[bit / 8] & (1u << (bit % 8))) != 0;
}

// Every bit set in granted is set in held or in had.
template <std::size_t N>
bool WithinRights(const uint8_t (&granted)[N], const uint8_t (&held)[N], const uint8_t (&had)[N]) {
    for (std::size_t i = 0; i < N; ++i) {
        if ((granted[i] & ~(held[i] | had[i])) != 0) {
            return false;
        }
    }
    return true;
}

// The record as stored and handed out: password zeroed, every field
// enciphered.
tagUserAccountRecord Outgoing(tagUserAccountRecord clear) {
    std::memset(clear.Password, 0, sizeof(clear.Password));
    CipherRecordFields(clear);
    return clear;
}

// A write transaction taken at once (so that a read-check-write sequence is
// not overtaken by another process); rolled back unless committed.
class CWriteTransaction {
public:
    explicit CWriteTransaction(sqlite3* db) : m_db(db) { SqliteExecute(db, "BEGIN IMMEDIATE"); }
    ~CWriteTransaction() {
        if (!m_done) {
            sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        }
    }
    CWriteTransaction(const CWriteTransaction&) = delete;
    CWriteTransaction& operator=(const CWriteTransaction&) = delete;
    void Commit() {
        SqliteExecute(m_db, "COMMIT");
        m_done = true;
    }

private:
    sqlite3* m_db;
    bool m_done = false;
};

// A record read from the file: exactly 2130 bytes or nothing.
bool ReadRecord(std::span<const uint8_t> blob, tagUserAccountRecord& clear) {
    if (blob.size() != sizeof(tagUserAccountRecord)) {
        return false;
    }
    std::memcpy(&clear, blob.data(), sizeof(clear));
    CipherRecordFields(clear);
    return true;
}

}  // namespace

// One user's row, deciphered.
struct CUsersStore::Row {
    int64_t id = -1;
    std::string passwordHash;
    tagUserAccountRecord record{};
};

std::unique_ptr<CUsersStore> CUsersStore::Open(const std::string& path,
                                               const UsersStoreOptions& options) {
    if (sodium_init() < 0 || options.concurrentChecks < 1 ||
        options.concurrentChecks > kMaxConcurrentPasswordChecks) {
        return nullptr;
    }
    std::string absentHash = kInteractiveAbsentHash;
    if (options.cost.opsLimit != kInteractiveHashCost.opsLimit ||
        options.cost.memLimit != kInteractiveHashCost.memLimit) {
        unsigned char secret[32];
        randombytes_buf(secret, sizeof(secret));
        absentHash =
            HashAt(options.cost, std::string_view(reinterpret_cast<char*>(secret), sizeof(secret)));
        if (absentHash.empty()) {
            return nullptr;
        }
    }
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return nullptr;
    }
    // The file holds password hashes: only its owner reads it. SQLite gives
    // its journal files the same mode.
    ::chmod(path.c_str(), S_IRUSR | S_IWUSR);
    std::unique_ptr<CUsersStore> store(new CUsersStore(db, options, std::move(absentHash)));
    try {
        CMutexLock lock(store->m_lock);
        store->Prepare();
    } catch (const std::exception&) {
        return nullptr;
    }
    return store;
}

CUsersStore::CUsersStore(sqlite3* db, const UsersStoreOptions& options, std::string absentHash)
    : m_cost(options.cost),
      m_absentHash(std::move(absentHash)),
      m_checks(options.concurrentChecks),
      m_db(db) {}

template <typename Body>
auto CUsersStore::Bounded(Body body) {
    m_checks.acquire();
    const int running = ++m_checksRunning;
    int peak = m_checksPeak.load();
    while (running > peak && !m_checksPeak.compare_exchange_weak(peak, running)) {
    }
    ++m_checksRun;
    auto result = body();
    --m_checksRunning;
    m_checks.release();
    return result;
}

std::string CUsersStore::Hash(std::string_view password) {
    return Bounded([&] { return HashAt(m_cost, password); });
}

bool CUsersStore::Verify(const std::string& hash, std::string_view password) {
    return Bounded([&] {
        return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
    });
}

CUsersStore::~CUsersStore() {
    CMutexLock lock(m_lock);
    sqlite3_close(m_db);
}

void CUsersStore::Prepare() {
    sqlite3_busy_timeout(m_db, kBusyTimeoutMs);
    sqlite3* db = m_db;
    auto version = [db] {
        CSqliteStatement query(db, "PRAGMA user_version");
        return query.Step() ? query.Integer(0) : -1;
    };
    // Reading first: a file that is not a database fails here, before anything
    // is written to it.
    int64_t found = version();
    if (found == 0) {
        CWriteTransaction transaction(m_db);
        found = version();
        if (found == 0) {
            CSqliteStatement tables(m_db, "SELECT count(*) FROM sqlite_master");
            if (!tables.Step() || tables.Integer(0) != 0) {
                throw CSqliteError(m_db, "not a users file");
            }
            SqliteExecute(m_db, kCreateSchema);
            SqliteExecute(m_db, "PRAGMA user_version = 1");
            found = kSchemaVersion;
        }
        transaction.Commit();
    }
    if (found != kSchemaVersion) {
        throw CSqliteError(m_db, "unknown users file version");
    }
    // The server and the command line may use the file together.
    SqliteExecute(m_db, "PRAGMA journal_mode = WAL");
    SqliteExecute(m_db, "PRAGMA synchronous = FULL");
}

bool CUsersStore::Find(std::string_view name, Row& row) {
    if (!ValidName(name)) {
        return false;
    }
    const EncipheredName key = EncipherName(FoldUserName(name));
    CSqliteStatement select(m_db, "SELECT id, passwordHash, record FROM users WHERE nameKey = ?1");
    select.BindBlob(1, key.data(), key.size());
    if (!select.Step()) {
        return false;
    }
    row.id = select.Integer(0);
    row.passwordHash = select.Text(1);
    return ReadRecord(select.Blob(2), row.record);
}

int CUsersStore::AdministratorCount() {
    CSqliteStatement select(m_db, "SELECT record FROM users");
    int count = 0;
    while (select.Step()) {
        tagUserAccountRecord record;
        if (ReadRecord(select.Blob(0), record) && record.AdminAccess == 1) {
            ++count;
        }
    }
    return count;
}

bool CUsersStore::MayAdminister(const std::string_view* acting, const tagUserAccountRecord& target,
                                const tagUserAccountRecord* replacement) {
    if (acting == nullptr) {
        return true;
    }
    Row actor;
    if (!Find(*acting, actor)) {
        return false;
    }
    const tagUserAccountRecord& a = actor.record;
    if (a.AdminAccess == 1) {
        return true;
    }
    if (!HasBit(a.MonitorRigth, kFnUserAdministration) || target.AdminAccess == 1) {
        return false;
    }
    if (replacement == nullptr) {
        return true;
    }
    return replacement->AdminAccess != 1 &&
           WithinRights(replacement->MonitorRigth, a.MonitorRigth, target.MonitorRigth) &&
           WithinRights(replacement->BaseRigth, a.BaseRigth, target.BaseRigth) &&
           WithinRights(replacement->ChannelsMonitorRight, a.ChannelsMonitorRight,
                        target.ChannelsMonitorRight) &&
           WithinRights(replacement->ChannelsBaseRight, a.ChannelsBaseRight,
                        target.ChannelsBaseRight);
}

bool CUsersStore::GetUserRigthByName(std::string_view name, std::string_view password,
                                     tagUserAccountRecord& record) {
    if (!ValidPassword(password)) {
        return false;
    }
    Row row;
    bool found = false;
    try {
        CMutexLock lock(m_lock);
        found = Find(name, row);
    } catch (const std::exception&) {
        return false;
    }
    // The slow check runs outside the lock, so one login does not hold up
    // the others; an unknown name is checked too, at the same cost.
    if (!Verify(found ? row.passwordHash : m_absentHash, password) || !found) {
        return false;
    }
    record = Outgoing(row.record);
    return true;
}

bool CUsersStore::GetCountUsers(int& count) {
    try {
        CMutexLock lock(m_lock);
        CSqliteStatement select(m_db, "SELECT count(*) FROM users");
        if (!select.Step()) {
            return false;
        }
        count = static_cast<int>(select.Integer(0));
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool CUsersStore::HasUser(std::string_view name) {
    try {
        CMutexLock lock(m_lock);
        Row row;
        return Find(name, row);
    } catch (const std::exception&) {
        return false;
    }
}

bool CUsersStore::GetUserRigthByNum(int index, tagUserAccountRecord& record) {
    if (index < 0) {
        return false;
    }
    try {
        CMutexLock lock(m_lock);
        CSqliteStatement select(m_db, "SELECT record FROM users ORDER BY id LIMIT 1 OFFSET ?1");
        select.Bind(1, index);
        tagUserAccountRecord clear;
        if (!select.Step() || !ReadRecord(select.Blob(0), clear)) {
            return false;
        }
        record = Outgoing(clear);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool CUsersStore::AddRecord(const tagUserAccountRecord& record, std::string_view actingUser) {
    return Add(record, &actingUser);
}

bool CUsersStore::AddRecordAsOwner(const tagUserAccountRecord& record) {
    return Add(record, nullptr);
}

bool CUsersStore::MayStore(const tagUserAccountRecord& clear, const std::string_view* acting,
                           bool adding, Row& row) {
    if (adding) {
        const tagUserAccountRecord nobody{};
        return MayAdminister(acting, nobody, &clear);
    }
    if (!Find(FieldText(clear.UserName), row)) {
        return false;
    }
    const auto* rights = reinterpret_cast<const uint8_t*>(&clear) + kRightsOffset;
    const auto* storedRights = reinterpret_cast<const uint8_t*>(&row.record) + kRightsOffset;
    const bool rightsKept = std::memcmp(rights, storedRights, sizeof(clear) - kRightsOffset) == 0;
    const bool self = acting != nullptr && SameUserName(*acting, FieldText(clear.UserName));
    if (!(self && rightsKept) && !MayAdminister(acting, row.record, &clear)) {
        return false;
    }
    // Nobody may leave the server without an administrator.
    return !(row.record.AdminAccess == 1 && clear.AdminAccess != 1 && AdministratorCount() <= 1);
}

bool CUsersStore::MayStoreNow(const tagUserAccountRecord& clear, const std::string_view* acting,
                              bool adding) {
    try {
        CMutexLock lock(m_lock);
        Row row;
        return MayStore(clear, acting, adding, row);
    } catch (const std::exception&) {
        return false;
    }
}

bool CUsersStore::Add(const tagUserAccountRecord& record, const std::string_view* acting) {
    tagUserAccountRecord clear = record;
    CipherRecordFields(clear);
    const std::string name = FieldText(clear.UserName);
    std::string password = FieldText(clear.Password);
    sodium_memzero(clear.Password, sizeof(clear.Password));
    const bool usable =
        ValidName(name) && ValidPassword(password) && MayStoreNow(clear, acting, true);
    const std::string hash = usable ? Hash(password) : std::string();
    sodium_memzero(password.data(), password.size());
    if (hash.empty()) {
        return false;
    }
    const EncipheredName key = EncipherName(FoldUserName(name));
    const tagUserAccountRecord stored = Outgoing(clear);
    try {
        CMutexLock lock(m_lock);
        CWriteTransaction transaction(m_db);
        Row unused;
        if (!MayStore(clear, acting, true, unused)) {
            return false;
        }
        CSqliteStatement insert(
            m_db, "INSERT INTO users (nameKey, passwordHash, record) VALUES (?1, ?2, ?3)");
        insert.BindBlob(1, key.data(), key.size())
            .Bind(2, hash)
            .BindBlob(3, &stored, sizeof(stored));
        insert.Step();  // a name already taken fails here (UNIQUE)
        transaction.Commit();
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool CUsersStore::SetRecord(const tagUserAccountRecord& record, std::string_view actingUser) {
    tagUserAccountRecord clear = record;
    CipherRecordFields(clear);
    std::string password = FieldText(clear.Password);
    sodium_memzero(clear.Password, sizeof(clear.Password));
    std::string hash;
    if (!password.empty()) {
        const bool usable = ValidPassword(password) && MayStoreNow(clear, &actingUser, false);
        hash = usable ? Hash(password) : std::string();
        sodium_memzero(password.data(), password.size());
        if (hash.empty()) {
            return false;
        }
    }
    try {
        CMutexLock lock(m_lock);
        CWriteTransaction transaction(m_db);
        Row row;
        if (!MayStore(clear, &actingUser, false, row)) {
            return false;
        }
        std::memcpy(clear.UserName, row.record.UserName, sizeof(clear.UserName));
        const tagUserAccountRecord stored = Outgoing(clear);
        CSqliteStatement update(
            m_db, hash.empty() ? "UPDATE users SET record = ?2 WHERE id = ?1"
                               : "UPDATE users SET record = ?2, passwordHash = ?3 WHERE id = ?1");
        update.Bind(1, row.id).BindBlob(2, &stored, sizeof(stored));
        if (!hash.empty()) {
            update.Bind(3, hash);
        }
        update.Step();
        transaction.Commit();
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool CUsersStore::DeleteUser(std::string_view name, std::string_view /*field*/,
                             std::string_view actingUser, std::string* storedName) {
    return Delete(name, &actingUser, storedName);
}

bool CUsersStore::DeleteUserAsOwner(std::string_view name, std::string* storedName) {
    return Delete(name, nullptr, storedName);
}

bool CUsersStore::Delete(std::string_view name, const std::string_view* acting,
                         std::string* storedName) {
    try {
        CMutexLock lock(m_lock);
        CWriteTransaction transaction(m_db);
        Row row;
        if (!Find(name, row) || !MayAdminister(acting, row.record, nullptr)) {
            return false;
        }
        if (acting != nullptr && row.record.AdminAccess == 1 && AdministratorCount() <= 1) {
            return false;
        }
        CSqliteStatement remove(m_db, "DELETE FROM users WHERE id = ?1");
        remove.Bind(1, row.id);
        remove.Step();
        transaction.Commit();
        if (storedName != nullptr) {
            *storedName = FieldText(row.record.UserName);
        }
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool CUsersStore::RenameUser(std::string_view name, std::string_view newName,
                             std::string_view actingUser, std::string* storedName) {
    if (!ValidName(newName)) {
        return false;
    }
    try {
        CMutexLock lock(m_lock);
        CWriteTransaction transaction(m_db);
        Row row;
        if (!Find(name, row) || !MayAdminister(&actingUser, row.record, nullptr)) {
            return false;
        }
        const std::string oldName = FieldText(row.record.UserName);
        SetFieldText(row.record.UserName, newName);
        const tagUserAccountRecord stored = Outgoing(row.record);
        const EncipheredName key = EncipherName(FoldUserName(newName));
        CSqliteStatement update(m_db, "UPDATE users SET nameKey = ?2, record = ?3 WHERE id = ?1");
        update.Bind(1, row.id)
            .BindBlob(2, key.data(), key.size())
            .BindBlob(3, &stored, sizeof(stored));
        update.Step();  // a name already taken fails here (UNIQUE)
        transaction.Commit();
        if (storedName != nullptr) {
            *storedName = oldName;
        }
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace zorv
