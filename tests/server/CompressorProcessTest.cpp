// The background compressor in the server executable: the demonstration's
// calls, recorded in the default (flat) layout, end up converted in their
// day directory, playable by sox and ffmpeg, with their rows updated.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>

#include <filesystem>
#include <map>

#include "support/ChildProcess.h"
#include "support/Files.h"
#include "support/RecordFiles.h"
#include "support/TempDir.h"

namespace zorv::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// namefile → Format of every row.
std::map<std::string, int> RowFormats(const std::string& table) {
    std::map<std::string, int> rows;
    sqlite3* db = nullptr;
    if (fs::exists(table) &&
        sqlite3_open_v2(table.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* query = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT namefile, Format FROM records", -1, &query, nullptr) ==
            SQLITE_OK) {
            while (sqlite3_step(query) == SQLITE_ROW) {
                const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(query, 0));
                rows[name != nullptr ? name : ""] = sqlite3_column_int(query, 1);
            }
        }
        sqlite3_finalize(query);
    }
    sqlite3_close(db);
    return rows;
}

// Records in the day directories of root.
std::vector<std::string> DayRecords(const std::string& root) {
    std::vector<std::string> files;
    for (const std::string& file : Records(root)) {
        if (fs::path(file).parent_path() != fs::path(root)) {
            files.push_back(file);
        }
    }
    return files;
}

TEST(CompressorProcessTest, DemonstrationCallsAreConvertedIntoTheDayDirectory) {
    CTempDir dir;
    fs::copy_file(std::string(ZORV_SOURCE_DIR) + "/tools/scenarios/demo-settings.ini",
                  dir.File("ZORV_18.ini"));
    CChildProcess server(
        BuiltProgram("zorv18server"), {}, dir.Path(),
        {"ZORV_REGISTRY=" + dir.File("registry.ini"),
         std::string("ZORV_BOARD_SCENARIO=") + ZORV_SOURCE_DIR + "/tools/scenarios/demo.ini"});
    const std::string root = dir.File("DvrFiles");
    const std::string table = dir.File("ZORV.dbf");
    // The first calls of the board end after 12 to 16 seconds.
    const auto converted = [&] {
        const std::vector<std::string> files = DayRecords(root);
        const std::map<std::string, int> rows = RowFormats(table);
        int done = 0;
        for (const std::string& file : files) {
            const auto row = rows.find(file);
            done += row != rows.end() && row->second == 1;
        }
        return done >= 3;
    };
    ASSERT_TRUE(PollUntil(converted, 60s)) << server.Stderr();
    server.Signal(SIGTERM);
    ASSERT_EQ(server.Wait(15s), 0);

    const std::map<std::string, int> rows = RowFormats(table);
    const std::vector<std::string> files = DayRecords(root);
    ASSERT_GE(files.size(), 3u);
    for (const std::string& file : files) {
        SCOPED_TRACE(file);
        ASSERT_EQ(rows.count(file), 1u);
        if (rows.at(file) != 1) {
            continue;  // stopped in the middle of its conversion: moved as PCM
        }
        EXPECT_EQ(RunShell("ffprobe -v error -show_entries stream=codec_name,sample_rate "
                           "-of csv=p=0 '" +
                           file + "'"),
                  "adpcm_ms,8000\n");
        EXPECT_GT(std::stod(RunShell("soxi -D '" + file + "'")), 5.0);
        EXPECT_FALSE(fs::exists(root + "/" + fs::path(file).filename().string()));
    }
    // No row points into the record root at a file that is no longer there.
    for (const auto& [name, format] : rows) {
        if (fs::path(name).parent_path() == fs::path(root)) {
            EXPECT_TRUE(fs::exists(name)) << name;
        }
    }
}

}  // namespace
}  // namespace zorv::test
