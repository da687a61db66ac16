// The record files a server wrote, as its users see them: listed below a
// record root, and decoded by sox.
#pragma once

#include <sqlite3.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/Files.h"

namespace zorv::test {

// Every ".wav" below root, sorted by path.
inline std::vector<std::string> Records(const std::string& root) {
    std::vector<std::string> files;
    if (std::filesystem::exists(root)) {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
            if (entry.path().extension() == ".wav") {
                files.push_back(entry.path().string());
            }
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

// The samples of a record as sox decodes them (16-bit mono).
inline std::vector<int16_t> DecodeWithSox(const std::string& file) {
    const std::string raw = file + ".raw";
    RunShell("sox '" + file + "' -t raw -e signed -b 16 -c 1 '" + raw + "' 2>&1");
    std::ifstream in(raw, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<int16_t> samples(bytes.size() / 2);
    std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
    std::filesystem::remove(raw);
    return samples;
}

// Rows of the record database file (0 while it cannot be read). Only for
// test programs that link SQLite.
inline int RecordRows(const std::string& table) {
    sqlite3* db = nullptr;
    int count = 0;
    if (std::filesystem::exists(table) &&
        sqlite3_open_v2(table.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* query = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT COUNT(*) FROM records", -1, &query, nullptr) ==
                SQLITE_OK &&
            sqlite3_step(query) == SQLITE_ROW) {
            count = sqlite3_column_int(query, 0);
        }
        sqlite3_finalize(query);
    }
    sqlite3_close(db);
    return count;
}

}  // namespace zorv::test
