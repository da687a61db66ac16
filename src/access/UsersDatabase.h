// The server's users database: the users file (CUsersStore) and the
// operators file "<prefix>operator.dat" beside it.
//
// The operators file is a flat array of 70-byte records without a header:
// bytes 0..19 the owning user's name as stored (enciphered, EncipheredName),
// bytes 20..69 one 50-byte entry that belongs to the client programs and is
// kept opaque. A user owns any number of entries; an entry is addressed by
// (name, index), the index counting that name's entries in file order.
//
// Every operators-file access opens the file, maps it (read-only to list,
// read-write to change), works on whole records and unmaps it, under m_lock.
// A missing file lists as empty; a change that leaves no record deletes the
// file. A file whose size is not a multiple of 70 (cut short by a crash or
// another program) is read as its whole records only; the partial tail is
// journaled once and dropped by the next change.
//
// One object per server, shared by the connection threads, the local
// interface and the server thread: every method may be called from any
// thread at any time after Initialise.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "access/UserAccount.h"
#include "access/UsersStore.h"
#include "core/Journal.h"
#include "platform/Mutex.h"

namespace zorv {

inline constexpr std::size_t kOperatorEntrySize = 50;
inline constexpr std::size_t kOperatorRecordSize = kUserNameMax + kOperatorEntrySize;
static_assert(kOperatorRecordSize == 70);
using OperatorEntry = std::array<uint8_t, kOperatorEntrySize>;

class CUsersDatabase {
public:
    explicit CUsersDatabase(IJournal& journal);
    ~CUsersDatabase();
    CUsersDatabase(const CUsersDatabase&) = delete;
    CUsersDatabase& operator=(const CUsersDatabase&) = delete;

    // Opens directory/<prefix>users.dat and remembers the operators file
    // directory/<prefix>operator.dat with its last-write time. False when the
    // users file cannot be opened (every users call then fails). options:
    // the password hashes' cost and how many checks run at once.
    bool Initialise(const std::string& directory, const std::string& prefix,
                    const UsersStoreOptions& options = {});

    // Users (results as CUsersStore's; false before a successful Initialise).
    bool Lookup(std::string_view name, std::string_view password, tagUserAccountRecord& record);
    bool Count(int& count);
    bool GetByIndex(int index, tagUserAccountRecord& record);
    bool Add(const tagUserAccountRecord& record, std::string_view actingUser);
    bool Modify(const tagUserAccountRecord& record, std::string_view actingUser);
    // Renames the user; its operator entries follow it to the new name.
    bool Rename(std::string_view name, std::string_view newName, std::string_view actingUser);
    // Deletes the user and every operator entry of that user, only those.
    bool Delete(std::string_view name, std::string_view field, std::string_view actingUser);
    // The same for the machine's owner (the command line): no acting user.
    bool AddAsOwner(const tagUserAccountRecord& record);
    bool DeleteAsOwner(std::string_view name);
    bool Exists(std::string_view name);
    // The users store's password checks (zero before Initialise).
    CUsersStore::CheckStats PasswordChecks();
    // Every user record (enciphered, password zero), in index order.
    std::vector<tagUserAccountRecord> ListAllUsers();

    // Operator entries of the user whose stored (enciphered) name is name.
    std::vector<OperatorEntry> ListOperators(const EncipheredName& name);
    bool AddOperator(const EncipheredName& name, const OperatorEntry& entry);
    // index: 0-based among the name's entries; false when there is no such entry.
    bool ModifyOperator(const EncipheredName& name, int index, const OperatorEntry& entry);
    bool DeleteOperator(const EncipheredName& name, int index);
    // Removes every entry of name: the number removed, -1 when there is no
    // operators file or it cannot be changed.
    int DeleteOperators(const EncipheredName& name);

    std::string OperatorsFilePath() const;
    // The operators file's last-write time when Initialise found it, else 0.
    timespec OperatorsWriteTime() const;

private:
    class CMappedFile;

    std::shared_ptr<CUsersStore> Store();
    // Deletes through remove (which reports the stored name), then the
    // user's operator entries.
    template <typename Remove>
    bool DeleteWith(Remove remove);
    // Replaces the name of every record owned by from; -1 on failure.
    int RenameOperators(const EncipheredName& from, const EncipheredName& to) REQUIRES(m_lock);
    int DeleteOperatorsLocked(const EncipheredName& name) REQUIRES(m_lock);
    // Journals a partial tail (when the file has one) once per object.
    void ReportTail(bool partial, std::size_t fileSize) REQUIRES(m_lock);

    IJournal& m_journal;

    // Lock order: m_lock before m_storeLock before the store's own lock.
    // m_lock guards the operators file (every access to it) and:
    mutable CMutex m_lock;
    std::string m_operatorsPath GUARDED_BY(m_lock);
    timespec m_operatorsWriteTime GUARDED_BY(m_lock){};
    bool m_tailReported GUARDED_BY(m_lock) = false;

    // m_storeLock guards the pointer only; the store serialises its own work.
    CMutex m_storeLock;
    std::shared_ptr<CUsersStore> m_store GUARDED_BY(m_storeLock);
};

}  // namespace zorv
