#include "platform/FileOps.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>

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

}  // namespace zorv
