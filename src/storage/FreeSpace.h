// Free space of the file system a directory lies on.
//
// The storage keeper measures every record root on the directory itself, so
// a root that is a mount point (or lies under one) counts as a drive of its
// own. Tests substitute a table of values or failures.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace zorv {

class IFreeSpace {
public:
    virtual ~IFreeSpace() = default;
    // Bytes available to the server's account on the file system of
    // directory; nullopt when it cannot be measured. Any thread.
    virtual std::optional<uint64_t> AvailableBytes(const std::string& directory) const = 0;
};

// statvfs on the directory: f_bavail blocks of f_frsize bytes (what an
// unprivileged writer may still use, without the blocks kept for root).
class CStatvfsFreeSpace final : public IFreeSpace {
public:
    std::optional<uint64_t> AvailableBytes(const std::string& directory) const override;
};

// The process's measurement.
IFreeSpace& SystemFreeSpace();

}  // namespace zorv
