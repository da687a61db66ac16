// The background compressor in the server executable: the demonstration's
// calls, recorded in the default (flat) layout, end up converted in their
// day directory, playable by sox and ffmpeg, with their rows updated; the
// modes of every file of such a run.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <set>

#include "support/ChildProcess.h"
#include "support/FileModes.h"
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

// Every file and directory of a fresh run is for the service's user and
// group only, as "ls -l" shows them, whatever umask the server is started
// with: records, day directories, the record database, the journal, the
// settings and formats files, the lock; the users file and the transcoders'
// settings (an older one readable by all is narrowed) for its user alone.
TEST(CompressorProcessTest, FilesOfAFreshRunAreForTheServiceUserAndGroup) {
    CTempDir dir;
    WriteBytes(dir.File("Transcoders.ini"), "[AdvancedParam]\nShellPort=23\n");
    ASSERT_EQ(::chmod(dir.File("Transcoders.ini").c_str(), 0644), 0);
    std::unique_ptr<CChildProcess> server;
    {
        const CUmaskScope open(0);  // inherited by the server
        server = std::make_unique<CChildProcess>(
            BuiltProgram("zorv18server"), std::vector<std::string>{}, dir.Path(),
            std::vector<std::string>{"ZORV_REGISTRY=" + dir.File("registry.ini"),
                                     std::string("ZORV_BOARD_SCENARIO=") + ZORV_SOURCE_DIR +
                                         "/tools/scenarios/demo.ini"});
    }
    const std::string root = dir.File("DvrFiles");
    ASSERT_TRUE(PollUntil(
        [&] {
            const std::map<std::string, int> rows = RowFormats(dir.File("ZORV.dbf"));
            for (const std::string& file : DayRecords(root)) {
                if (const auto row = rows.find(file); row != rows.end() && row->second == 1) {
                    return true;
                }
            }
            return false;
        },
        60s))
        << server->Stderr();
    // SQLite's files exist while the database is open.
    for (const char* file : {"ZORV.dbf-wal", "ZORV.dbf-shm"}) {
        EXPECT_EQ(ModeText(dir.File(file)), "-rw-r-----") << file;
    }
    // Records being written in the record root, and converted ones.
    for (const std::string& record : Records(root)) {
        EXPECT_EQ(ModeText(record), "-rw-r-----") << record;
    }
    server->Signal(SIGTERM);
    ASSERT_EQ(server->Wait(15s), 0);

    std::set<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(dir.Path())) {
        const std::string name = fs::relative(entry.path(), dir.Path()).string();
        if (name.starts_with("zorv18server.")) {
            continue;  // the test's own output files
        }
        names.insert(name);
        const bool secret = name == "Transcoders.ini" || name == "ZORVusers.dat";
        EXPECT_EQ(ModeText(entry.path()), entry.is_directory() ? "drwxr-x---"
                                          : secret             ? "-rw-------"
                                                               : "-rw-r-----")
            << name;
    }
    for (const char* name : {"DvrFiles", "ZORV.dbf", "ZORV_18.log", "ZORV_18.ini", "ZORV_18.fmt",
                             "registry.ini", "ZORV18Server.lock", "Transcoders.ini"}) {
        EXPECT_EQ(names.count(name), 1u) << name;
    }
    EXPECT_FALSE(DayRecords(root).empty());
}

}  // namespace
}  // namespace zorv::test
