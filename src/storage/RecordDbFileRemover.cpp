#include "storage/RecordDbFileRemover.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "storage/HiddenMark.h"

namespace zorv {

namespace fs = std::filesystem;

namespace {

// The absolute, link-free form of path, without a trailing '/' (except for
// "/" itself); "" when it cannot be formed.
std::string Resolve(const std::string& path) {
    if (path.empty()) {
        return {};
    }
    std::error_code ec;
    fs::path resolved = fs::weakly_canonical(fs::absolute(path, ec), ec);
    if (ec) {
        return {};
    }
    std::string text = resolved.lexically_normal().string();
    while (text.size() > 1 && text.back() == '/') {
        text.pop_back();
    }
    return text;
}

// True when file lies strictly below root (both resolved).
bool IsInside(const std::string& file, const std::string& root) {
    const std::string prefix = root == "/" ? root : root + "/";
    return file.size() > prefix.size() && file.compare(0, prefix.size(), prefix) == 0;
}

class CFileDescriptor {
public:
    explicit CFileDescriptor(int fd) : m_fd(fd) {}
    ~CFileDescriptor() {
        if (m_fd >= 0) {
            ::close(m_fd);  // also releases the flock
        }
    }
    CFileDescriptor(const CFileDescriptor&) = delete;
    CFileDescriptor& operator=(const CFileDescriptor&) = delete;
    int Get() const { return m_fd; }

private:
    int m_fd;
};

}  // namespace

void CRecordFileRemover::SetRoots(std::vector<std::string> roots) {
    m_roots = std::move(roots);
}

CRecordFileRemover::Result CRecordFileRemover::Remove(const std::string& path) const {
    const Result kept{Outcome::kKept, 0};
    if (path.empty() || path.front() != '/') {
        return kept;
    }
    const std::string file = Resolve(path);
    if (file.empty()) {
        return kept;
    }
    std::string root;
    for (const std::string& candidate : m_roots) {
        const std::string resolved = Resolve(candidate);
        if (!resolved.empty() && IsInside(file, resolved)) {
            root = resolved;
            break;
        }
    }
    if (root.empty()) {
        return kept;
    }

    CFileDescriptor fd(::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.Get() < 0) {
        std::error_code ec;
        if (errno == ENOENT && fs::is_directory(root, ec)) {
            return {Outcome::kAbsent, 0};
        }
        return kept;
    }
    struct stat opened {};
    if (::fstat(fd.Get(), &opened) != 0 || !S_ISREG(opened.st_mode)) {
        return kept;
    }
    // A recorder or the compressor holding the file (any flock) keeps it.
    if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
        return kept;
    }
    // The name must still lead to the file we locked.
    struct stat named {};
    if (::lstat(file.c_str(), &named) != 0 || named.st_dev != opened.st_dev ||
        named.st_ino != opened.st_ino) {
        return kept;
    }
    if (::unlink(file.c_str()) != 0) {
        return errno == ENOENT ? Result{Outcome::kAbsent, 0} : kept;
    }
    // The side record of the hidden mark, where the file system needed one.
    ::unlink(CHiddenMark::SideRecord(file).c_str());
    return {Outcome::kRemoved, static_cast<uint64_t>(opened.st_size)};
}

}  // namespace zorv
