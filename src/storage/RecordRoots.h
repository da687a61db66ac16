// Every record root the server has recorded into, kept across restarts.
//
// The record directories can be changed by clients and by the disk-space
// switch; records written before the change stay under the previous root.
// The deletions by size and age and the start-up recovery scan must still
// reach them, so every root ever set is kept here and persisted in the
// settings file "RecordRoots.ini" of the work directory: section "Roots",
// keys "Root1", "Root2", ... in the order the roots were first used. At most
// kMaxRoots are kept; beyond that the longest-known root is dropped (its
// records can then no longer be deleted by the server).
//
// Roots are absolute paths without a trailing '/'; anything else read from
// the file is ignored. Owned by the server object; every method takes the
// object's lock, so any thread may call it.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/Mutex.h"

namespace zorv {

class CRecordRoots {
public:
    static constexpr std::size_t kMaxRoots = 64;
    static constexpr std::size_t kMaxPath = 4096;
    static constexpr const char* kFileName = "RecordRoots.ini";

    // workDir: the directory of the file. Loads what the file holds.
    explicit CRecordRoots(const std::string& workDir);

    // Adds the roots not yet known (empty and relative paths are ignored) and
    // saves the list when it changed. Returns every known root.
    std::vector<std::string> Add(const std::vector<std::string>& roots);
    std::vector<std::string> All() const;

    static std::string Normal(const std::string& root);

private:
    bool Save() REQUIRES(m_lock);

    const std::string m_path;
    mutable CMutex m_lock;
    std::vector<std::string> m_roots GUARDED_BY(m_lock);
};

}  // namespace zorv
