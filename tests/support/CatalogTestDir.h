// A temporary directory for catalogue tests, removed with everything in it when
// the object goes out of scope. Header-only; one object per test.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <system_error>

namespace zorv::test {

class CCatalogTestDir {
public:
    CCatalogTestDir() {
        const std::filesystem::path base = std::filesystem::temp_directory_path();
        std::string pattern = (base / "zorv-catalog-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            ADD_FAILURE() << "mkdtemp failed for " << pattern;
            return;
        }
        m_path = pattern;
    }
    ~CCatalogTestDir() {
        if (!m_path.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(m_path, ignored);
        }
    }
    CCatalogTestDir(const CCatalogTestDir&) = delete;
    CCatalogTestDir& operator=(const CCatalogTestDir&) = delete;

    const std::string& Path() const { return m_path; }

    // Writes a file below the directory (creating subdirectories) with the
    // bytes as given; returns its full path.
    std::string WriteFile(std::string_view relative, std::string_view bytes) const {
        const std::filesystem::path path = std::filesystem::path(m_path) / relative;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        EXPECT_TRUE(out.good()) << "cannot write " << path;
        return path.string();
    }

private:
    std::string m_path;
};

}  // namespace zorv::test
