#include "support/TempDir.h"

#include <stdlib.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

namespace zorv::test {

CTempDir::CTempDir() {
    std::string pattern = "/tmp/zorv-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::system_error(errno, std::generic_category(), "mkdtemp");
    }
    m_path = std::move(pattern);
}

CTempDir::~CTempDir() {
    // A test that failed half-way may leave anything behind; removal is best
    // effort and never throws from a destructor.
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

std::string CTempDir::File(std::string_view name) const {
    std::string path = m_path;
    path.append("/").append(name);
    return path;
}

}  // namespace zorv::test
