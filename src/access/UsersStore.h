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
// Every method returns true (non-zero) on success and false on any failure,
// refusal or bad input; nothing throws. Safe from any thread: m_lock
// serialises the use of the connection; password hashing runs outside it.
// Other processes (the command line) may use the same file at the same time
// (write-ahead log, busy timeout).
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "access/UserAccount.h"
#include "platform/Mutex.h"

struct sqlite3;

namespace zorv {

class CUsersStore {
public:
    // The file name in a work directory: prefix + "users.dat".
    static std::string FileName(const std::string& prefix) { return prefix + "users.dat"; }

    // Opens (creating when missing) the users file at path; nullptr when it
    // cannot be opened or is not a users file.
    static std::unique_ptr<CUsersStore> Open(const std::string& path);
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

    // The case-folded form of a name that decides uniqueness.
    static std::string FoldName(std::string_view name);

private:
    struct Row;

    explicit CUsersStore(sqlite3* db);
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

    CMutex m_lock;
    sqlite3* m_db GUARDED_BY(m_lock);
};

}  // namespace zorv
