#include "storage/FreeSpace.h"

#include <sys/statvfs.h>

#include <limits>

namespace zorv {

std::optional<uint64_t> CStatvfsFreeSpace::AvailableBytes(const std::string& directory) const {
    if (directory.empty()) {
        return std::nullopt;
    }
    struct statvfs info {};
    if (::statvfs(directory.c_str(), &info) != 0) {
        return std::nullopt;
    }
    const uint64_t blockSize = info.f_frsize != 0 ? info.f_frsize : info.f_bsize;
    const uint64_t blocks = info.f_bavail;
    if (blockSize != 0 && blocks > std::numeric_limits<uint64_t>::max() / blockSize) {
        return std::numeric_limits<uint64_t>::max();
    }
    return blocks * blockSize;
}

IFreeSpace& SystemFreeSpace() {
    static CStatvfsFreeSpace space;
    return space;
}

}  // namespace zorv
