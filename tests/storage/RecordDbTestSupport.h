// Helpers of the record-database tests: records, files of a given size (record
// files: support/RecordFiles.h), and a reader that looks into a table file
// with plain SQL, the way another program querying the table would.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/DbRecord.h"
#include "support/RecordFiles.h"

namespace zorv::test {

// A call record started at the given time on line; the other fields are set
// to recognisable values.
inline tagDB_Record MakeRecord(uint32_t year, uint32_t mon, uint32_t day, uint32_t hour,
                               uint32_t min, uint32_t sec, uint32_t line,
                               const std::string& namefile, uint32_t format = kFormatPcm) {
    tagDB_Record r{};
    r.year = year;
    r.mon = mon;
    r.day = day;
    r.hour = hour;
    r.min = min;
    r.sec = sec;
    r.NChanel = line;
    r.Format = format;
    r.inout = 3;
    SetText(r.serverName, "Server");
    SetText(r.alias, "Line" + std::to_string(line + 1));
    SetText(r.namefile, namefile);
    return r;
}

// Creates path (and its directories) with size bytes.
inline void WriteFileOfSize(const std::string& path, std::size_t size) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    const std::string chunk(4096, 'x');
    for (std::size_t left = size; left > 0;) {
        const std::size_t n = left < chunk.size() ? left : chunk.size();
        out.write(chunk.data(), static_cast<std::streamsize>(n));
        left -= n;
    }
}

inline bool Exists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

// Reads a table file without the library.
class CTableReader {
public:
    explicit CTableReader(const std::string& path) {
        if (sqlite3_open_v2(path.c_str(), &m_db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
            ADD_FAILURE() << "cannot open " << path;
        }
    }
    ~CTableReader() { sqlite3_close(m_db); }
    CTableReader(const CTableReader&) = delete;
    CTableReader& operator=(const CTableReader&) = delete;

    // The first column of the first row of sql as an integer (-1 when none).
    int64_t Integer(const std::string& sql) const {
        sqlite3_stmt* s = nullptr;
        int64_t value = -1;
        if (sqlite3_prepare_v2(m_db, sql.c_str(), -1, &s, nullptr) == SQLITE_OK &&
            sqlite3_step(s) == SQLITE_ROW) {
            value = sqlite3_column_int64(s, 0);
        } else {
            ADD_FAILURE() << sql << ": " << sqlite3_errmsg(m_db);
        }
        sqlite3_finalize(s);
        return value;
    }

    int64_t Count() const { return Integer("SELECT count(*) FROM records"); }

    // Every stored record, in insertion order, rebuilt from the columns.
    std::vector<tagDB_Record> Records() const {
        static const char* kSql =
            "SELECT year, mon, day, hour, min, sec, rhour, rmin, rsec, dhour, dmin, dsek, NChanel,"
            " Format, inout, isFax, deviceSerialNumber, deviceChannelNo, Category_1, Category_2,"
            " serverName, TlfString_1, TlfString_2, alias, namefile, Remark, extraInfo, document"
            " FROM records ORDER BY id";
        std::vector<tagDB_Record> out;
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(m_db, kSql, -1, &s, nullptr) != SQLITE_OK) {
            ADD_FAILURE() << sqlite3_errmsg(m_db);
            return out;
        }
        while (sqlite3_step(s) == SQLITE_ROW) {
            tagDB_Record r{};
            uint32_t n[20];  // the fields are packed: no pointers to them
            int column = 0;
            for (uint32_t& value : n) {
                value = static_cast<uint32_t>(sqlite3_column_int64(s, column++));
            }
            r.year = n[0], r.mon = n[1], r.day = n[2], r.hour = n[3], r.min = n[4];
            r.sec = n[5], r.rhour = n[6], r.rmin = n[7], r.rsec = n[8], r.dhour = n[9];
            r.dmin = n[10], r.dsek = n[11], r.NChanel = n[12], r.Format = n[13];
            r.inout = n[14], r.isFax = n[15], r.deviceSerialNumber = n[16];
            r.deviceChannelNo = n[17], r.Category_1 = n[18], r.Category_2 = n[19];
            auto text = [&](auto& field) {
                const auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(s, column));
                const int size = sqlite3_column_bytes(s, column++);
                SetText(field,
                        std::string_view(bytes ? bytes : "", static_cast<std::size_t>(size)));
            };
            text(r.serverName);
            text(r.TlfString_1);
            text(r.TlfString_2);
            text(r.alias);
            text(r.namefile);
            text(r.Remark);
            text(r.extraInfo);
            text(r.document);
            out.push_back(r);
        }
        sqlite3_finalize(s);
        return out;
    }

    // The namefile of every row, in insertion order.
    std::vector<std::string> Files() const {
        std::vector<std::string> out;
        for (const tagDB_Record& r : Records()) {
            out.push_back(GetText(r.namefile));
        }
        return out;
    }

private:
    sqlite3* m_db = nullptr;
};

}  // namespace zorv::test
