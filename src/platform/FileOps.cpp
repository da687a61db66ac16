#include "platform/FileOps.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

namespace zorv {

bool RenameNoReplace(const std::string& from, const std::string& to) {
    return ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0;
}

std::string FreeFileName(const std::string& base, const std::string& suffix) {
    struct stat info {};
    for (int n = 1; n <= 1000; ++n) {
        const std::string name = n == 1 ? base + suffix : base + "-" + std::to_string(n) + suffix;
        if (::lstat(name.c_str(), &info) != 0) {
            return name;
        }
    }
    return "";
}

bool MakeDirectories(const std::string& path, mode_t mode) {
    struct stat st {};
    if (path.empty()) {
        return false;
    }
    if (::stat(path.c_str(), &st) == 0) {
        return S_ISDIR(st.st_mode);
    }
    // Parents first, from the top down; "a//b" and a trailing "/" are fine.
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        const std::string parent = path.substr(0, slash);
        if (::mkdir(parent.c_str(), mode) != 0 && errno != EEXIST) {
            return false;
        }
    }
    if (::mkdir(path.c_str(), mode) != 0 && errno != EEXIST) {
        return false;
    }
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool CreateFileIfMissing(const std::string& path, mode_t mode) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd < 0) {
        return errno == EEXIST;
    }
    // open() leaves out what the umask takes; the mode is meant as it is.
    const bool ok = ::fchmod(fd, mode) == 0;
    ::close(fd);
    return ok;
}

bool WriteFile(const std::string& path, std::string_view bytes, mode_t mode, FileWrite how) {
    const int flags =
        O_WRONLY | O_CREAT | O_CLOEXEC | (how == FileWrite::kAppend ? O_APPEND : O_TRUNC);
    const int fd = ::open(path.c_str(), flags, mode);
    if (fd < 0) {
        return false;
    }
    bool ok = how == FileWrite::kAppend || ::fchmod(fd, mode) == 0;
    while (ok && !bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        ok = n > 0;
        if (ok) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
    }
    return ::close(fd) == 0 && ok;
}

std::string ResolvePath(const std::string& path) {
    if (path.empty()) {
        return {};
    }
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(path, ec);
    if (ec) {
        return {};
    }
    std::string text = std::filesystem::weakly_canonical(absolute, ec).lexically_normal().string();
    if (ec) {
        return {};
    }
    while (text.size() > 1 && text.back() == '/') {
        text.pop_back();
    }
    return text;
}

}  // namespace zorv
