#include "storage/RecordDbFileRemover.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "storage/HiddenMark.h"
#include "storage/RecordFileCheck.h"

namespace zorv {

namespace fs = std::filesystem;

namespace {

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
    const SRecordPlace place = LocateRecordFile(path, m_roots);
    if (place.root.empty() || place.file.empty()) {
        return kept;
    }
    const std::string& file = place.file;
    // A file that is gone is absent, whatever it was; one that is there but
    // is no record file's name and place is never even opened (it may be a
    // device a link leads to).
    const auto absentOr = [&](Result otherwise) {
        std::error_code ec;
        return errno == ENOENT && fs::is_directory(place.root, ec) ? Result{Outcome::kAbsent, 0}
                                                                   : otherwise;
    };
    if (place.fault != ERecordFileFault::kNone) {
        struct stat named {};
        return ::lstat(file.c_str(), &named) != 0 ? absentOr(kept) : kept;
    }
    CFileDescriptor fd(::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.Get() < 0) {
        return absentOr(kept);
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
    // What is removed is what was read: the header through the locked file.
    if (CheckRecordContents(fd.Get()) != ERecordFileFault::kNone) {
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
