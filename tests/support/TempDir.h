// A temporary directory for tests that work on real files.
//
// The constructor makes a new, uniquely named directory under /tmp; the
// destructor removes it with everything in it. Not copyable; one test owns it.
#pragma once

#include <string>
#include <string_view>

namespace zorv::test {

class CTempDir {
public:
    // Throws std::system_error when no directory can be made.
    CTempDir();
    ~CTempDir();
    CTempDir(const CTempDir&) = delete;
    CTempDir& operator=(const CTempDir&) = delete;

    // The directory's absolute path, without a trailing slash.
    const std::string& Path() const { return m_path; }
    // The path of name (which may hold subdirectories) inside the directory.
    std::string File(std::string_view name) const;

private:
    std::string m_path;
};

}  // namespace zorv::test
