// The record files a server wrote, as its users see them: listed below a
// record root, and decoded by sox; and record files written as the recorder
// lays them out, for tests that need records on disk without recording.
#pragma once

#include <sqlite3.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/DbRecord.h"
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

// The name the recorder gives the record of line (at least three digits)
// started at that time, with the channel's file counter and device index 0:
// "YYYYMMDDhhmmss<line><counter>0z18.wav".
inline std::string RecordName(uint32_t year, uint32_t mon, uint32_t day, uint32_t hour,
                              uint32_t min, uint32_t sec, uint32_t line = 1, uint32_t counter = 0) {
    char name[64];
    std::snprintf(name, sizeof name, "%04u%02u%02u%02u%02u%02u%03u%u0z18.wav", year, mon, day, hour,
                  min, sec, line, counter);
    return name;
}

// The day directory of a date: "YYYYMMDD.zr18".
inline std::string DayDirectoryName(uint32_t year, uint32_t mon, uint32_t day) {
    char name[32];
    std::snprintf(name, sizeof name, "%04u%02u%02u.zr18", year, mon, day);
    return name;
}

// Writes path (and its directories) as a closed record of 16-bit PCM mono
// at 8000 Hz: "RIFF" "WAVE", "fmt ", "fact", "SHDR" holding metadata, and
// "data" with silence up to size bytes in all (at least the 1080 bytes of
// the header).
inline void WriteRecordFile(const std::string& path, std::size_t size,
                            const tagDB_Record& metadata = {}) {
    std::vector<uint8_t> bytes;
    const auto u16 = [&](uint32_t v) {
        bytes.push_back(static_cast<uint8_t>(v));
        bytes.push_back(static_cast<uint8_t>(v >> 8));
    };
    const auto u32 = [&](uint32_t v) {
        u16(v & 0xFFFF);
        u16(v >> 16);
    };
    const auto id = [&](const char* fourcc) { bytes.insert(bytes.end(), fourcc, fourcc + 4); };
    constexpr std::size_t kHeader = 12 + 8 + 18 + 8 + 4 + 8 + sizeof(tagDB_Record) + 1 + 8;
    const std::size_t data = size > kHeader ? size - kHeader : 0;
    id("RIFF");
    u32(static_cast<uint32_t>(kHeader + data - 8));
    id("WAVE");
    id("fmt ");
    u32(18);
    u16(1);      // PCM
    u16(1);      // mono
    u32(8000);   // samples per second
    u32(16000);  // bytes per second
    u16(2);      // block align
    u16(16);     // bits per sample
    u16(0);      // cbSize
    id("fact");
    u32(4);
    u32(static_cast<uint32_t>(data / 2));
    id("SHDR");
    u32(sizeof(tagDB_Record));
    const auto* record = reinterpret_cast<const uint8_t*>(&metadata);
    bytes.insert(bytes.end(), record, record + sizeof(tagDB_Record));
    bytes.push_back(0);  // the pad byte of the odd chunk
    id("data");
    u32(static_cast<uint32_t>(data));
    bytes.resize(bytes.size() + data, 0);
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
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
