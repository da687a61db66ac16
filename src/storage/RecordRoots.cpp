#include "storage/RecordRoots.h"

#include <algorithm>
#include <filesystem>

#include "platform/IniFile.h"

namespace zorv {
namespace {

constexpr const char* kSection = "Roots";

std::string KeyOf(std::size_t index) {
    return "Root" + std::to_string(index + 1);
}

}  // namespace

std::string CRecordRoots::Normal(const std::string& root) {
    if (root.empty() || root.front() != '/' || root.size() > kMaxPath ||
        root.find('\0') != std::string::npos || root.find('\n') != std::string::npos) {
        return {};
    }
    std::string normal = std::filesystem::path(root).lexically_normal().string();
    while (normal.size() > 1 && normal.back() == '/') {
        normal.pop_back();
    }
    return normal;
}

CRecordRoots::CRecordRoots(const std::string& workDir) : m_path(workDir + "/" + kFileName) {
    const IniFile file(m_path);
    for (const std::string& key : file.Keys(kSection)) {
        const std::string root = Normal(file.GetString(kSection, key, "", kMaxPath + 1));
        if (!root.empty() && std::find(m_roots.begin(), m_roots.end(), root) == m_roots.end() &&
            m_roots.size() < kMaxRoots) {
            m_roots.push_back(root);
        }
    }
}

std::vector<std::string> CRecordRoots::Add(const std::vector<std::string>& roots) {
    CMutexLock lock(m_lock);
    bool changed = false;
    for (const std::string& given : roots) {
        const std::string root = Normal(given);
        if (root.empty() || std::find(m_roots.begin(), m_roots.end(), root) != m_roots.end()) {
            continue;
        }
        if (m_roots.size() == kMaxRoots) {
            m_roots.erase(m_roots.begin());
        }
        m_roots.push_back(root);
        changed = true;
    }
    if (changed) {
        Save();
    }
    return m_roots;
}

std::vector<std::string> CRecordRoots::All() const {
    CMutexLock lock(m_lock);
    return m_roots;
}

bool CRecordRoots::Save() {
    // The list never shrinks, so writing every key replaces it whole, in one
    // atomic rewrite of the file.
    IniFile file(m_path);
    std::vector<IniWrite> writes;
    for (std::size_t i = 0; i < m_roots.size(); ++i) {
        writes.push_back({kSection, KeyOf(i), m_roots[i]});
    }
    return writes.empty() || file.WriteMany(writes);
}

}  // namespace zorv
