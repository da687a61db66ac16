#include "storage/RecordDbLibrary.h"

#include <algorithm>
#include <climits>
#include <filesystem>
#include <system_error>

#include "storage/PgRecordTable.h"
#include "storage/RecordDbTable.h"

namespace zorv {

CRecordDbLibrary::CRecordDbLibrary() = default;
CRecordDbLibrary::~CRecordDbLibrary() = default;

int32_t CRecordDbLibrary::Open(int32_t kind, const std::string& directory,
                               const std::string& fileName, int32_t mode) {
    if (kind != kKindRecordTable || (mode != kModeServer && mode != kModeArchiveCopy)) {
        return -1;
    }
    if (fileName.empty() || fileName.find('/') != std::string::npos || fileName == "." ||
        fileName == "..") {
        return -1;
    }
    std::error_code ec;
    if (directory.empty() || !std::filesystem::is_directory(directory, ec)) {
        return -1;
    }
    std::string connection;
    std::string owner;
    if (mode == kModeServer) {
        CMutexLock lock(m_lock);
        connection = m_sharedConnection;
        owner = m_sharedOwner;
    }
    std::shared_ptr<IRecordTable> table;
    if (!connection.empty()) {
        std::string error;
        table = CPgRecordTable::Open(connection, owner, error);
        CMutexLock lock(m_lock);
        m_sharedError = error;
    } else {
        table = CRecordDbTable::Open(directory, fileName,
                                     mode == kModeServer ? CRecordDbTable::Layout::kServer
                                                         : CRecordDbTable::Layout::kArchiveCopy);
    }
    if (!table) {
        return -1;
    }
    CMutexLock lock(m_lock);
    if (m_lastHandle == INT32_MAX) {
        return -1;  // every handle has been given out once
    }
    const int32_t handle = ++m_lastHandle;
    m_tables.emplace(handle, std::move(table));
    return handle;
}

std::shared_ptr<IRecordTable> CRecordDbLibrary::Find(int32_t handle) const {
    CMutexLock lock(m_lock);
    const auto found = m_tables.find(handle);
    return found == m_tables.end() ? nullptr : found->second;
}

int32_t CRecordDbLibrary::Append(int32_t handle, const tagDB_Record& record) {
    const std::shared_ptr<IRecordTable> table = Find(handle);
    return table && table->Append(record) ? 0 : -1;
}

int32_t CRecordDbLibrary::Update(int32_t handle, const tagDB_Record& record) {
    const std::shared_ptr<IRecordTable> table = Find(handle);
    return table && table->Update(record) ? 0 : -1;
}

int32_t CRecordDbLibrary::Delete(int32_t handle, const tagDB_Record& record) {
    const std::shared_ptr<IRecordTable> table = Find(handle);
    return table && table->Delete(record) ? 0 : -1;
}

int32_t CRecordDbLibrary::Apply(int32_t handle, std::span<const RecordDbChange> changes,
                                std::span<int32_t> results) {
    const std::shared_ptr<IRecordTable> table = Find(handle);
    if (!table) {
        std::fill(results.begin(), results.begin() + std::min(results.size(), changes.size()), -1);
        return -1;
    }
    return table->Apply(changes, results) ? 0 : -1;
}

int32_t CRecordDbLibrary::DeleteOldest(int32_t handle, int32_t megabytes,
                                       RecordDeletionTally* tally) {
    const std::shared_ptr<IRecordTable> table = Find(handle);
    return table ? table->DeleteOldest(megabytes, tally) : -1;
}

int32_t CRecordDbLibrary::DeleteBefore(int32_t handle, int32_t year, int32_t month, int32_t day,
                                       RecordDeletionTally* tally) {
    const std::shared_ptr<IRecordTable> table = Find(handle);
    return table ? table->DeleteBefore(year, month, day, tally) : -1;
}

void CRecordDbLibrary::Close(int32_t handle) {
    std::shared_ptr<IRecordTable> table;
    {
        CMutexLock lock(m_lock);
        const auto found = m_tables.find(handle);
        if (found == m_tables.end()) {
            return;
        }
        table = std::move(found->second);
        m_tables.erase(found);
    }
    // The file is closed here, or by the last call still working on it.
}

bool CRecordDbLibrary::SetRecordRoots(int32_t handle, const std::vector<std::string>& roots) {
    const std::shared_ptr<IRecordTable> table = Find(handle);
    return table && table->SetRecordRoots(roots);
}

int32_t CRecordDbLibrary::FindFormat(int32_t handle, const tagDB_Record& record, uint32_t& format) {
    const std::shared_ptr<IRecordTable> table = Find(handle);
    return table ? table->FindFormat(record, format) : -1;
}

void CRecordDbLibrary::UseSharedDatabase(std::string connection, std::string owner) {
    CMutexLock lock(m_lock);
    m_sharedConnection = std::move(connection);
    m_sharedOwner = std::move(owner);
}

std::string CRecordDbLibrary::SharedDatabaseError() const {
    CMutexLock lock(m_lock);
    return m_sharedError;
}

int32_t CRecordDbLibrary::FilesWithFormat(int32_t handle, uint32_t format,
                                          std::vector<std::string>& namefiles) {
    const std::shared_ptr<IRecordTable> table = Find(handle);
    return table ? table->FilesWithFormat(format, namefiles) : -1;
}

}  // namespace zorv
