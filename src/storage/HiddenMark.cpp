#include "storage/HiddenMark.h"

#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>

#include "core/ProductNames.h"
#include "platform/FileOps.h"

namespace zorv {
namespace {

// The errors of a file system that keeps no user extended attributes.
bool AttributesRefused(int error) {
    return error == ENOTSUP || error == EOPNOTSUPP || error == EPERM;
}

}  // namespace

const std::string& CHiddenMark::AttributeName() {
    static const std::string name = "user." + CProductNames::Instance().Prefix() + ".hidden";
    return name;
}

std::string CHiddenMark::SideRecord(const std::string& record) {
    const std::size_t slash = record.find_last_of('/');
    const std::size_t start = slash == std::string::npos ? 0 : slash + 1;
    return record.substr(0, start) + "." + record.substr(start) + ".hidden";
}

bool CHiddenMark::Set(const std::string& record) const {
    if (m_store == Store::kAttribute) {
        if (::setxattr(record.c_str(), AttributeName().c_str(), "1", 1, 0) == 0) {
            return true;
        }
        if (!AttributesRefused(errno)) {
            return false;  // no such file, no access: nothing to mark
        }
    }
    // The record must exist: a side record never stands for a missing file.
    if (::access(record.c_str(), F_OK) != 0) {
        return false;
    }
    const int fd = ::open(SideRecord(record).c_str(),
                          O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, kDataFileMode);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    return true;
}

bool CHiddenMark::Clear(const std::string& record) const {
    bool cleared = true;
    if (::removexattr(record.c_str(), AttributeName().c_str()) != 0 && errno != ENODATA &&
        errno != ENOENT && !AttributesRefused(errno)) {
        cleared = false;
    }
    if (::unlink(SideRecord(record).c_str()) != 0 && errno != ENOENT) {
        cleared = false;
    }
    return cleared;
}

bool CHiddenMark::Has(const std::string& record) const {
    char value = 0;
    if (m_store == Store::kAttribute &&
        ::getxattr(record.c_str(), AttributeName().c_str(), &value, 1) > 0) {
        return true;
    }
    return ::access(SideRecord(record).c_str(), F_OK) == 0;
}

}  // namespace zorv
