#include "platform/FileLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <string_view>

namespace zorv {

CFileLock::~CFileLock() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

CFileLock::Result CFileLock::Take(const std::string& path, mode_t mode) {
    if (m_fd >= 0) {
        return Result::kTaken;
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd < 0) {
        return Result::kFailed;
    }
    int taken = 0;
    while ((taken = ::flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
    }
    if (taken != 0) {
        const int error = errno;
        char text[24] = {};
        const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
        ::close(fd);
        if (error != EWOULDBLOCK) {
            errno = error;
            return Result::kFailed;
        }
        pid_t holder = 0;
        if (n > 0) {
            std::from_chars(text, text + n, holder);
        }
        m_holder = holder > 0 ? holder : 0;
        return Result::kHeld;
    }
    m_fd = fd;
    // Who holds it, for the next one that tries. Only the holder writes.
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) == 0) {
        [[maybe_unused]] const ssize_t written = ::pwrite(fd, pid.data(), pid.size(), 0);
    }
    return Result::kTaken;
}

}  // namespace zorv
