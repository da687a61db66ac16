// The users database: the accounts of the people who control the server,
// in one SQLite file ("<prefix>users.dat" in the work directory).
//
// Records go in and out in the 2130-byte layout with every field enciphered
// (UserAccount.h). Passwords are never stored: a record's password is turned
// into a salted Argon2id hash (libsodium crypto_pwhash_str, interactive
// limits) and the record is kept with its password field zeroed; records
// handed out carry a zero (then enciphered) password. SetRecord with an empty
// password keeps the stored hash.
//
// Names are unique without regard to letter case (Latin and Cyrillic
// windows-1251 letters); a name is 1..20 bytes. The file holds no clear name:
// rows are keyed by the enciphered case-folded name.
//
// Rights of the acting user (its clear name): an administrator (AdminAccess
// 1) or a holder of function bit kFnUserAdministration may add, change,
// delete and rename other users; a holder of the bit who is not an
// administrator may not touch administrators, make anyone an administrator,
// or grant function or channel rights it does not hold itself. Any user may
// change its own password, full name and description. The last administrator
// can be neither deleted nor demoted by a user. The machine's owner (the
// command line, which has the file anyway) acts without these checks.
//
// Password checks are what a peer can start before it is trusted, and each
// costs the hash's memory (64 MiB by default): at most a few run at once
// (UsersStoreOptions::concurrentChecks), the others wait for their turn. A
// name that does not exist costs the same check as a known one (a check
// against a hash of no password), so the time of a refusal tells nothing
// about which names exist. A change is checked against the acting user's
// rights before its new password is hashed, so a user without the right
// cannot make the server hash.
//
// Every method returns true (non-zero) on success and false on any failure,
// refusal or bad input; nothing throws. Safe from any thread: m_lock
// serialises the use of the connection; password hashing runs outside it
// (m_checks bounds it). Other processes (the command line) may use the same
// file at the same time (write-ahead log, busy timeout).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <semaphore>
#include <string>
#include <string_view>

#include "access/UserAccount.h"
#include "platform/Mutex.h"

struct sqlite3;

namespace zorv {

// The cost of one password hash (Argon2id passes and memory).
struct PasswordHashCost {
    unsigned long long opsLimit;
    std::size_t memLimit;
};
// What the users file uses: 2 passes over 64 MiB (libsodium's interactive
// limits).
inline constexpr PasswordHashCost kInteractiveHashCost{2, 64u << 20};
// The least Argon2id allows: for the fuzz targets, which must not spend
// their time hashing.
inline constexpr PasswordHashCost kCheapestHashCost{1, 8192};

// Password checks (and hashes) that run at once; the others wait.
inline constexpr int kConcurrentPasswordChecks = 2;

struct UsersStoreOptions {
    PasswordHashCost cost = kInteractiveHashCost;
    // 1..kMaxConcurrentPasswordChecks.
    int concurrentChecks = kConcurrentPasswordChecks;
};
inline constexpr int kMaxConcurrentPasswordChecks = 64;

class CUsersStore {
public:
    // The file name in a work directory: prefix + "users.dat".
    static std::string FileName(const std::string& prefix) { return prefix + "users.dat"; }

    // Opens (creating when missing) the users file at path; nullptr when it
    // cannot be opened or is not a users file.
    static std::unique_ptr<CUsersStore> Open(const std::string& path,
                                             const UsersStoreOptions& options = {});
    ~CUsersStore();
    CUsersStore(const CUsersStore&) = delete;
    CUsersStore& operator=(const CUsersStore&) = delete;

    // The record of the user with this name and password.
    bool GetUserRigthByName(std::string_view name, std::string_view password,
                            tagUserAccountRecord& record);
    bool GetCountUsers(int& count);
    // Whether a user of this name (in any letter case) exists.
    bool HasUser(std::string_view name);
    // The record at index 0..count-1, in the order users were added.
    bool GetUserRigthByNum(int index, tagUserAccountRecord& record);

    // A new user; the record must carry a non-empty password.
    bool AddRecord(const tagUserAccountRecord& record, std::string_view actingUser);
    // Replaces the record of the user named in record (the name is kept as
    // stored; renaming is RenameUser's).
    bool SetRecord(const tagUserAccountRecord& record, std::string_view actingUser);
    // field: the request's second field, not needed by this store.
    // storedName (optional): receives the name as it was stored (its letter
    // case may differ from name), for what is keyed by the stored name.
    bool DeleteUser(std::string_view name, std::string_view field, std::string_view actingUser,
                    std::string* storedName = nullptr);
    bool RenameUser(std::string_view name, std::string_view newName, std::string_view actingUser,
                    std::string* storedName = nullptr);

    // The same as the machine's owner (no acting user's rights checked).
    bool AddRecordAsOwner(const tagUserAccountRecord& record);
    bool DeleteUserAsOwner(std::string_view name, std::string* storedName = nullptr);

    // Password checks and hashes run so far, and the most that ran at once
    // (the benchmark's and the tests' view of the bound).
    struct CheckStats {
        uint64_t run = 0;
        int peak = 0;
    };
    CheckStats PasswordChecks() const { return {m_checksRun.load(), m_checksPeak.load()}; }

private:
    struct Row;
    // One of the bounded password checks (or hashes); the body runs inside it.
    template <typename Body>
    auto Bounded(Body body);

    CUsersStore(sqlite3* db, const UsersStoreOptions& options, std::string absentHash);
    void Prepare() REQUIRES(m_lock);

    // acting: nullptr for the owner.
    bool Add(const tagUserAccountRecord& record, const std::string_view* acting);
    bool Delete(std::string_view name, const std::string_view* acting, std::string* storedName);
    // Finds a user's row by name; false when there is none.
    bool Find(std::string_view name, Row& row) REQUIRES(m_lock);
    int AdministratorCount() REQUIRES(m_lock);
    // Whether acting may change the user whose stored record is target into
    // replacement (nullptr: delete or rename).
    bool MayAdminister(const std::string_view* acting, const tagUserAccountRecord& target,
                       const tagUserAccountRecord* replacement) REQUIRES(m_lock);
    // Whether acting may store clear (deciphered, password taken out) as a
    // new user (adding) or as the change of the user it names, whose row is
    // then in row. Checked before the new password is hashed and again in the
    // transaction that writes it.
    bool MayStore(const tagUserAccountRecord& clear, const std::string_view* acting, bool adding,
                  Row& row) REQUIRES(m_lock);
    // The same under the lock, before hashing.
    bool MayStoreNow(const tagUserAccountRecord& clear, const std::string_view* acting,
                     bool adding);
    // The salted hash of a password at the store's cost; empty on failure.
    std::string Hash(std::string_view password);
    // Whether password matches hash; runs one of the bounded checks.
    bool Verify(const std::string& hash, std::string_view password);

    // Constant after construction
    const PasswordHashCost m_cost;
    const std::string m_absentHash;  // the hash an unknown name is checked against

    std::counting_semaphore<kMaxConcurrentPasswordChecks> m_checks;
    std::atomic<uint64_t> m_checksRun{0};
    std::atomic<int> m_checksRunning{0};
    std::atomic<int> m_checksPeak{0};

    CMutex m_lock;
    sqlite3* m_db GUARDED_BY(m_lock);
};

}  // namespace zorv
