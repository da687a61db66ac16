// A temporary directory for one benchmark run, removed with everything in it
// when the run ends.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace zorv::bench {

class CBenchDir {
public:
    CBenchDir() {
        std::string pattern = "/tmp/zorv-bench-XXXXXX";
        if (::mkdtemp(pattern.data()) != nullptr) {
            m_path = pattern;
        }
    }
    ~CBenchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    CBenchDir(const CBenchDir&) = delete;
    CBenchDir& operator=(const CBenchDir&) = delete;
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

}  // namespace zorv::bench
