#include "access/UsersDatabase.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/Cp1251.h"

namespace zorv {

// The operators file opened and mapped for one access. Only whole 70-byte
// records are ever mapped, so nothing past the last whole record is read.
class CUsersDatabase::CMappedFile {
public:
    enum class Mode { kRead, kChange, kCreate };

    CMappedFile(const std::string& path, Mode mode) : m_mode(mode) {
        int flags = O_CLOEXEC | (mode == Mode::kRead ? O_RDONLY : O_RDWR);
        if (mode == Mode::kCreate) {
            flags |= O_CREAT;
        }
        m_fd = ::open(path.c_str(), flags, S_IRUSR | S_IWUSR);
        struct stat st {};
        if (m_fd >= 0 && ::fstat(m_fd, &st) == 0 && S_ISREG(st.st_mode)) {
            m_fileSize = static_cast<std::size_t>(st.st_size);
        } else if (m_fd >= 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~CMappedFile() {
        Unmap();
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    CMappedFile(const CMappedFile&) = delete;
    CMappedFile& operator=(const CMappedFile&) = delete;

    bool IsOpen() const { return m_fd >= 0; }
    std::size_t FileSize() const { return m_fileSize; }
    bool HasPartialTail() const { return m_fileSize % kOperatorRecordSize != 0; }
    // Whole records in the file.
    std::size_t Records() const { return m_fileSize / kOperatorRecordSize; }

    // Maps the whole records. True when there are none to map.
    bool Map() {
        Unmap();
        const std::size_t bytes = Records() * kOperatorRecordSize;
        if (bytes == 0) {
            return true;
        }
        const int protection = m_mode == Mode::kRead ? PROT_READ : PROT_READ | PROT_WRITE;
        void* data = ::mmap(nullptr, bytes, protection, MAP_SHARED, m_fd, 0);
        if (data == MAP_FAILED) {
            return false;
        }
        m_data = static_cast<uint8_t*>(data);
        m_mappedBytes = bytes;
        return true;
    }
    // Sets the file to exactly count whole records (dropping any partial
    // tail) and maps them.
    bool Resize(std::size_t count) {
        Unmap();
        if (::ftruncate(m_fd, static_cast<off_t>(count * kOperatorRecordSize)) != 0) {
            return false;
        }
        m_fileSize = count * kOperatorRecordSize;
        return Map();
    }

    uint8_t* Record(std::size_t index) { return m_data + index * kOperatorRecordSize; }
    bool Owns(std::size_t index, const EncipheredName& name) const {
        return std::memcmp(m_data + index * kOperatorRecordSize, name.data(), name.size()) == 0;
    }
    // The position of the index-th record of name, or Records() when none.
    std::size_t Find(const EncipheredName& name, int index) const {
        if (index < 0) {
            return Records();
        }
        int seen = 0;
        for (std::size_t i = 0; i < Records(); ++i) {
            if (Owns(i, name) && seen++ == index) {
                return i;
            }
        }
        return Records();
    }

private:
    void Unmap() {
        if (m_data != nullptr) {
            ::munmap(m_data, m_mappedBytes);
            m_data = nullptr;
            m_mappedBytes = 0;
        }
    }

    Mode m_mode;
    int m_fd = -1;
    std::size_t m_fileSize = 0;
    uint8_t* m_data = nullptr;
    std::size_t m_mappedBytes = 0;
};

CUsersDatabase::CUsersDatabase(IJournal& journal) : m_journal(journal) {}

CUsersDatabase::~CUsersDatabase() = default;

bool CUsersDatabase::Initialise(const std::string& directory, const std::string& prefix,
                                const UsersStoreOptions& options) {
    std::shared_ptr<CUsersStore> store =
        CUsersStore::Open(directory + "/" + CUsersStore::FileName(prefix), options);
    {
        CMutexLock lock(m_lock);
        m_operatorsPath = directory + "/" + prefix + "operator.dat";
        m_tailReported = false;
        struct stat st {};
        m_operatorsWriteTime = ::stat(m_operatorsPath.c_str(), &st) == 0 ? st.st_mtim : timespec{};
    }
    CMutexLock lock(m_storeLock);
    m_store = std::move(store);
    return m_store != nullptr;
}

std::shared_ptr<CUsersStore> CUsersDatabase::Store() {
    CMutexLock lock(m_storeLock);
    return m_store;
}

bool CUsersDatabase::Lookup(std::string_view name, std::string_view password,
                            tagUserAccountRecord& record) {
    const auto store = Store();
    return store && store->GetUserRigthByName(name, password, record);
}

bool CUsersDatabase::Count(int& count) {
    const auto store = Store();
    return store && store->GetCountUsers(count);
}

bool CUsersDatabase::GetByIndex(int index, tagUserAccountRecord& record) {
    const auto store = Store();
    return store && store->GetUserRigthByNum(index, record);
}

bool CUsersDatabase::Add(const tagUserAccountRecord& record, std::string_view actingUser) {
    const auto store = Store();
    return store && store->AddRecord(record, actingUser);
}

bool CUsersDatabase::Modify(const tagUserAccountRecord& record, std::string_view actingUser) {
    const auto store = Store();
    return store && store->SetRecord(record, actingUser);
}

bool CUsersDatabase::Rename(std::string_view name, std::string_view newName,
                            std::string_view actingUser) {
    const auto store = Store();
    if (!store) {
        return false;
    }
    // Under the operators lock, so that no entry is added under the old name
    // between the rename and the move of the entries.
    CMutexLock lock(m_lock);
    std::string oldName;
    if (!store->RenameUser(name, newName, actingUser, &oldName)) {
        return false;
    }
    RenameOperators(EncipherName(oldName), EncipherName(newName));
    return true;
}

template <typename Remove>
bool CUsersDatabase::DeleteWith(Remove remove) {
    const auto store = Store();
    if (!store) {
        return false;
    }
    // Under the operators lock, so that no entry is added for the user
    // between its deletion and the removal of its entries.
    CMutexLock lock(m_lock);
    std::string storedName;
    if (!remove(*store, storedName)) {
        return false;
    }
    DeleteOperatorsLocked(EncipherName(storedName));
    return true;
}

bool CUsersDatabase::Delete(std::string_view name, std::string_view field,
                            std::string_view actingUser) {
    return DeleteWith([&](CUsersStore& store, std::string& storedName) {
        return store.DeleteUser(name, field, actingUser, &storedName);
    });
}

bool CUsersDatabase::DeleteAsOwner(std::string_view name) {
    return DeleteWith([&](CUsersStore& store, std::string& storedName) {
        return store.DeleteUserAsOwner(name, &storedName);
    });
}

bool CUsersDatabase::AddAsOwner(const tagUserAccountRecord& record) {
    const auto store = Store();
    return store && store->AddRecordAsOwner(record);
}

bool CUsersDatabase::Exists(std::string_view name) {
    const auto store = Store();
    return store && store->HasUser(name);
}

CUsersStore::CheckStats CUsersDatabase::PasswordChecks() {
    const std::shared_ptr<CUsersStore> store = Store();
    return store != nullptr ? store->PasswordChecks() : CUsersStore::CheckStats{};
}

std::vector<tagUserAccountRecord> CUsersDatabase::ListAllUsers() {
    std::vector<tagUserAccountRecord> records;
    int count = 0;
    if (!Count(count)) {
        return records;
    }
    records.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        tagUserAccountRecord record;
        // A user deleted meanwhile shortens the list.
        if (!GetByIndex(i, record)) {
            break;
        }
        records.push_back(record);
    }
    return records;
}

void CUsersDatabase::ReportTail(bool partial, std::size_t fileSize) {
    if (!partial || m_tailReported) {
        return;
    }
    m_tailReported = true;
    static const std::string format = Utf8ToCp1251(
        "Файл операторов %s: длина %u байт не кратна 70, неполная запись в конце пропущена.");
    m_journal.WriteJournal(kJournalError, FormatText(format, m_operatorsPath.c_str(),
                                                     static_cast<unsigned>(fileSize)));
}

std::vector<OperatorEntry> CUsersDatabase::ListOperators(const EncipheredName& name) {
    std::vector<OperatorEntry> entries;
    CMutexLock lock(m_lock);
    CMappedFile file(m_operatorsPath, CMappedFile::Mode::kRead);
    if (!file.IsOpen()) {
        return entries;
    }
    ReportTail(file.HasPartialTail(), file.FileSize());
    if (!file.Map()) {
        return entries;
    }
    for (std::size_t i = 0; i < file.Records(); ++i) {
        if (file.Owns(i, name)) {
            OperatorEntry entry;
            std::memcpy(entry.data(), file.Record(i) + kUserNameMax, entry.size());
            entries.push_back(entry);
        }
    }
    return entries;
}

bool CUsersDatabase::AddOperator(const EncipheredName& name, const OperatorEntry& entry) {
    CMutexLock lock(m_lock);
    CMappedFile file(m_operatorsPath, CMappedFile::Mode::kCreate);
    if (!file.IsOpen()) {
        return false;
    }
    ReportTail(file.HasPartialTail(), file.FileSize());
    const std::size_t count = file.Records();
    if (!file.Resize(count + 1)) {
        return false;
    }
    std::memcpy(file.Record(count), name.data(), name.size());
    std::memcpy(file.Record(count) + kUserNameMax, entry.data(), entry.size());
    return true;
}

bool CUsersDatabase::ModifyOperator(const EncipheredName& name, int index,
                                    const OperatorEntry& entry) {
    CMutexLock lock(m_lock);
    CMappedFile file(m_operatorsPath, CMappedFile::Mode::kChange);
    if (!file.IsOpen()) {
        return false;
    }
    ReportTail(file.HasPartialTail(), file.FileSize());
    if (!file.Map()) {
        return false;
    }
    const std::size_t at = file.Find(name, index);
    if (at == file.Records()) {
        return false;
    }
    std::memcpy(file.Record(at) + kUserNameMax, entry.data(), entry.size());
    return true;
}

bool CUsersDatabase::DeleteOperator(const EncipheredName& name, int index) {
    CMutexLock lock(m_lock);
    CMappedFile file(m_operatorsPath, CMappedFile::Mode::kChange);
    if (!file.IsOpen()) {
        return false;
    }
    ReportTail(file.HasPartialTail(), file.FileSize());
    if (!file.Map()) {
        return false;
    }
    const std::size_t count = file.Records();
    const std::size_t at = file.Find(name, index);
    if (at == count) {
        return false;
    }
    std::memmove(file.Record(at), file.Record(at + 1), (count - at - 1) * kOperatorRecordSize);
    if (!file.Resize(count - 1)) {
        return false;
    }
    if (count == 1) {
        ::unlink(m_operatorsPath.c_str());
    }
    return true;
}

int CUsersDatabase::DeleteOperators(const EncipheredName& name) {
    CMutexLock lock(m_lock);
    return DeleteOperatorsLocked(name);
}

int CUsersDatabase::DeleteOperatorsLocked(const EncipheredName& name) {
    CMappedFile file(m_operatorsPath, CMappedFile::Mode::kChange);
    if (!file.IsOpen()) {
        return -1;
    }
    ReportTail(file.HasPartialTail(), file.FileSize());
    if (!file.Map()) {
        return -1;
    }
    const std::size_t count = file.Records();
    std::size_t kept = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (!file.Owns(i, name)) {
            if (kept != i) {
                std::memcpy(file.Record(kept), file.Record(i), kOperatorRecordSize);
            }
            ++kept;
        }
    }
    if (kept == count) {
        return 0;
    }
    if (!file.Resize(kept)) {
        return -1;
    }
    if (kept == 0) {
        ::unlink(m_operatorsPath.c_str());
    }
    return static_cast<int>(count - kept);
}

int CUsersDatabase::RenameOperators(const EncipheredName& from, const EncipheredName& to) {
    CMappedFile file(m_operatorsPath, CMappedFile::Mode::kChange);
    if (!file.IsOpen() || !file.Map()) {
        return -1;
    }
    int renamed = 0;
    for (std::size_t i = 0; i < file.Records(); ++i) {
        if (file.Owns(i, from)) {
            std::memcpy(file.Record(i), to.data(), to.size());
            ++renamed;
        }
    }
    return renamed;
}

std::string CUsersDatabase::OperatorsFilePath() const {
    CMutexLock lock(m_lock);
    return m_operatorsPath;
}

timespec CUsersDatabase::OperatorsWriteTime() const {
    CMutexLock lock(m_lock);
    return m_operatorsWriteTime;
}

}  // namespace zorv
