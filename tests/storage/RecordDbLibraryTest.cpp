// The record-database library on real table files and record files in a
// temporary directory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <span>
#include <thread>
#include <vector>

#include "storage/RecordDbLibrary.h"
#include "storage/RecordDbTestSupport.h"
#include "support/TempDir.h"

namespace zorv::test {
namespace {

constexpr int32_t kKind = IRecordDbLibrary::kKindRecordTable;
constexpr int32_t kServerMode = IRecordDbLibrary::kModeServer;
constexpr int32_t kArchiveMode = IRecordDbLibrary::kModeArchiveCopy;
constexpr std::size_t kMiB = 1 << 20;
constexpr const char* kTableName = "ZORV.dbf";

class RecordDbLibraryTest : public ::testing::Test {
protected:
    RecordDbLibraryTest() : m_root(m_dir.File("rec")), m_other(m_dir.File("other")) {
        std::filesystem::create_directories(m_root);
        std::filesystem::create_directories(m_other);
    }

    // The server's table in the temporary directory, files removable in m_root.
    int32_t OpenServerTable() {
        const int32_t handle = m_library.Open(kKind, m_dir.Path(), kTableName, kServerMode);
        EXPECT_NE(handle, -1);
        EXPECT_TRUE(m_library.SetRecordRoots(handle, {m_root}));
        return handle;
    }
    std::string TablePath() const { return m_dir.File(kTableName); }
    std::string InRoot(const std::string& name) const { return m_root + "/" + name; }

    // A record started then, with its record file of size bytes in the root;
    // the file's path.
    std::string AddWithFile(int32_t handle, uint32_t year, uint32_t mon, uint32_t day,
                            uint32_t hour, uint32_t min, uint32_t sec, std::size_t size) {
        const std::string file = InRoot(RecordName(year, mon, day, hour, min, sec));
        const tagDB_Record r = MakeRecord(year, mon, day, hour, min, sec, 0, file);
        WriteRecordFile(file, size, r);
        EXPECT_EQ(m_library.Append(handle, r), 0);
        return file;
    }

    CTempDir m_dir;
    CRecordDbLibrary m_library;
    const std::string m_root;
    const std::string m_other;
};

TEST_F(RecordDbLibraryTest, OpenRefusesWhatItCannotServe) {
    const std::string missing = m_dir.File("missing");
    struct Case {
        const char* name;
        int32_t kind;
        std::string directory;
        std::string file;
        int32_t mode;
        bool opens;
    } cases[] = {
        {"server table", kKind, m_dir.Path(), kTableName, kServerMode, true},
        {"archive copy", kKind, m_other, kTableName, kArchiveMode, true},
        {"other kind", 5, m_dir.Path(), kTableName, kServerMode, false},
        {"unknown mode", kKind, m_dir.Path(), kTableName, 2, false},
        {"missing directory", kKind, missing, kTableName, kServerMode, false},
        {"empty directory name", kKind, "", kTableName, kServerMode, false},
        {"empty file name", kKind, m_dir.Path(), "", kServerMode, false},
        {"file name with a path", kKind, m_dir.Path(), "rec/x.dbf", kServerMode, false},
        {"file name is a directory", kKind, m_dir.Path(), "rec", kServerMode, false},
    };
    for (const Case& c : cases) {
        const int32_t handle = m_library.Open(c.kind, c.directory, c.file, c.mode);
        EXPECT_EQ(handle != -1, c.opens) << c.name;
        m_library.Close(handle);
    }
    EXPECT_FALSE(Exists(missing + "/" + kTableName));
}

TEST_F(RecordDbLibraryTest, OpenLeavesAFileThatIsNotARecordTableUntouched) {
    const std::string garbage = "this is not a database, but somebody's file\n";
    { std::ofstream(TablePath(), std::ios::binary) << garbage; }
    EXPECT_EQ(m_library.Open(kKind, m_dir.Path(), kTableName, kServerMode), -1);
    std::ifstream in(TablePath(), std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), garbage);

    // An SQLite database of another program is not taken over either.
    const std::string foreign = m_dir.File("foreign.dbf");
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(foreign.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE t(x)", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    EXPECT_EQ(m_library.Open(kKind, m_dir.Path(), "foreign.dbf", kServerMode), -1);
}

TEST_F(RecordDbLibraryTest, EveryFieldIsStoredInItsColumnAndSurvivesReopening) {
    tagDB_Record r{};
    r.year = 2024, r.mon = 12, r.day = 31, r.hour = 23, r.min = 59, r.sec = 58;
    r.rhour = 23, r.rmin = 58, r.rsec = 57, r.dhour = 30, r.dmin = 1, r.dsek = 2;
    r.NChanel = 17, r.inout = 4, r.isFax = 1, r.deviceChannelNo = 5;
    r.Category_1 = 1, r.Category_2 = 2;
    r.deviceSerialNumber = 0xFFFFFFFFu;  // the whole unsigned range
    r.Format = kFormatConverted;
    SetText(r.serverName, std::string(20, 'S'));
    SetText(r.TlfString_1, std::string(40, '7'));
    SetText(r.TlfString_2, "84951234567");
    SetText(r.alias, "\xCB\xE8\xED\xE8\xFF 1");  // windows-1251 "Линия 1"
    SetText(r.namefile, InRoot("20240105101010007120z18.wav"));
    SetText(r.Remark, std::string(255, 'R'));
    SetText(r.extraInfo, "extra");
    SetText(r.document, "doc");

    int32_t handle = OpenServerTable();
    ASSERT_EQ(m_library.Append(handle, r), 0);
    m_library.Close(handle);
    handle = OpenServerTable();  // the file is opened again, not created
    m_library.Close(handle);

    const std::vector<tagDB_Record> stored = CTableReader(TablePath()).Records();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(std::memcmp(&stored[0], &r, sizeof r), 0);
    EXPECT_EQ(CTableReader(TablePath())
                  .Integer("SELECT count(*) FROM records WHERE TlfString_2 = '84951234567'"),
              1);
}

TEST_F(RecordDbLibraryTest, FormatHoldsOnlyRecordStatuses) {
    const struct {
        uint32_t given;
        uint32_t stored;
    } cases[] = {{0, 0}, {1, 1}, {4, 4}, {5, 5}, {2, 0}, {3, 0}, {6, 0}, {0xFFFFFFFFu, 0}};
    const int32_t handle = OpenServerTable();
    uint32_t line = 0;
    for (const auto& c : cases) {
        tagDB_Record r = MakeRecord(2024, 1, 1, 10, 0, 0, line++, "", c.given);
        ASSERT_EQ(m_library.Append(handle, r), 0);
        r.Remark[0] = 'u';
        ASSERT_EQ(m_library.Update(handle, r), 0);
    }
    m_library.Close(handle);
    const std::vector<tagDB_Record> stored = CTableReader(TablePath()).Records();
    ASSERT_EQ(stored.size(), std::size(cases));
    for (std::size_t i = 0; i < stored.size(); ++i) {
        EXPECT_EQ(uint32_t{stored[i].Format}, cases[i].stored) << "given " << cases[i].given;
    }
}

TEST_F(RecordDbLibraryTest, UpdateAndDeleteFindTheStoredRecordOfTheCall) {
    const int32_t handle = OpenServerTable();

    // Registered while recording in the root, then converted into its day
    // directory: the same call, one row.
    tagDB_Record flat =
        MakeRecord(2024, 1, 5, 10, 10, 10, 7, InRoot("20240105101010007120z18.wav"), 4);
    ASSERT_EQ(m_library.Append(handle, flat), 0);
    tagDB_Record moved = flat;
    moved.Format = kFormatConverted;
    SetText(moved.namefile, InRoot("20240105.zr18/20240105101010007120z18.wav"));
    ASSERT_EQ(m_library.Update(handle, moved), 0);

    // A call updated without having been stored is kept, not lost.
    const tagDB_Record unknown =
        MakeRecord(2024, 1, 5, 11, 0, 0, 8, InRoot("20240105.zr18/2024010511000000830z18.wav"));
    ASSERT_EQ(m_library.Update(handle, unknown), 0);

    // Calls without a recording are told apart by time and line.
    tagDB_Record noFileA = MakeRecord(2024, 1, 5, 99, 0, 0, 1, "");
    tagDB_Record noFileB = MakeRecord(2024, 1, 5, 99, 0, 0, 2, "");
    ASSERT_EQ(m_library.Append(handle, noFileA), 0);
    ASSERT_EQ(m_library.Append(handle, noFileB), 0);
    SetText(noFileB.Remark, "updated");
    ASSERT_EQ(m_library.Update(handle, noFileB), 0);
    ASSERT_EQ(m_library.Delete(handle, noFileA), 0);
    // Deleting a call that is not stored is no failure.
    ASSERT_EQ(m_library.Delete(handle, noFileA), 0);

    m_library.Close(handle);
    const std::vector<tagDB_Record> stored = CTableReader(TablePath()).Records();
    ASSERT_EQ(stored.size(), 3u);
    EXPECT_EQ(std::memcmp(&stored[0], &moved, sizeof moved), 0);
    EXPECT_EQ(std::memcmp(&stored[1], &unknown, sizeof unknown), 0);
    EXPECT_EQ(GetText(stored[2].Remark), "updated");
    EXPECT_EQ(uint32_t{stored[2].NChanel}, 2u);
}

TEST_F(RecordDbLibraryTest, GroupCopiesShareTheCallUpdateKeepsThemDeleteRemovesAll) {
    const int32_t handle = OpenServerTable();
    tagDB_Record main = MakeRecord(2024, 2, 1, 9, 0, 0, 3, InRoot("2024020109000000310z18.wav"));
    ASSERT_EQ(m_library.Append(handle, main), 0);
    for (const char* group : {"Sales", "Support"}) {
        tagDB_Record copy = main;
        SetText(copy.alias, group);
        ASSERT_EQ(m_library.Append(handle, copy), 0);
    }
    SetText(main.Remark, "checked");
    ASSERT_EQ(m_library.Update(handle, main), 0);
    {
        const std::vector<tagDB_Record> stored = CTableReader(TablePath()).Records();
        ASSERT_EQ(stored.size(), 3u);
        EXPECT_EQ(GetText(stored[0].Remark), "checked");
        EXPECT_EQ(GetText(stored[1].alias), "Sales");
        EXPECT_EQ(GetText(stored[1].Remark), "");
        EXPECT_EQ(GetText(stored[2].alias), "Support");
    }
    ASSERT_EQ(m_library.Delete(handle, main), 0);
    m_library.Close(handle);
    EXPECT_EQ(CTableReader(TablePath()).Count(), 0);
}

TEST_F(RecordDbLibraryTest, ABatchIsOneTransactionInWhichChangesFailAlone) {
    // Triggers added by another program make single inserts fail: line 666's
    // like a refused statement, line 667's by undoing the whole transaction.
    constexpr uint32_t kRefused = 666;
    constexpr uint32_t kUndoes = 667;
    using Kind = RecordDbChange::Kind;
    struct Change {
        Kind kind;
        uint32_t line;
        const char* file;  // the call key: an update of this file takes the line
    };
    struct Case {
        const char* name;
        std::vector<Change> changes;
        int32_t expectResult;
        std::vector<int32_t> expectResults;
        std::vector<uint32_t> expectLines;  // stored afterwards, in insertion order
    };
    const Kind kBadKind = static_cast<Kind>(99);
    const Case cases[] = {
        {"every kind, in order",
         {{Kind::kAppend, 1, "a"},
          {Kind::kAppend, 2, "b"},
          {Kind::kUpdate, 5, "a"},
          {Kind::kDelete, 2, "b"},
          {Kind::kUpdate, 3, "c"}},  // not stored yet: added
         0,
         {0, 0, 0, 0, 0},
         {5, 3}},
        {"a refused statement fails alone",
         {{Kind::kAppend, 1, "a"}, {Kind::kAppend, kRefused, "x"}, {Kind::kAppend, 2, "b"}},
         0,
         {0, -1, 0},
         {1, 2}},
        {"an unknown kind fails alone",
         {{Kind::kAppend, 1, "a"}, {kBadKind, 4, "x"}, {Kind::kAppend, 2, "b"}},
         0,
         {0, -1, 0},
         {1, 2}},
        {"a failure that ends the transaction fails the batch",
         {{Kind::kAppend, 1, "a"}, {Kind::kAppend, kUndoes, "x"}, {Kind::kAppend, 2, "b"}},
         -1,
         {-1, -1, -1},
         {}},
        {"no changes", {}, 0, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CTempDir dir;
        const int32_t handle = m_library.Open(kKind, dir.Path(), kTableName, kServerMode);
        ASSERT_NE(handle, -1);
        const std::string table = dir.File(kTableName);
        {
            sqlite3* db = nullptr;
            ASSERT_EQ(sqlite3_open(table.c_str(), &db), SQLITE_OK);
            const char* triggers =
                "CREATE TRIGGER refuse BEFORE INSERT ON records WHEN NEW.NChanel = 666"
                " BEGIN SELECT RAISE(ABORT, 'refused'); END;"
                "CREATE TRIGGER undo BEFORE INSERT ON records WHEN NEW.NChanel = 667"
                " BEGIN SELECT RAISE(ROLLBACK, 'undone'); END;";
            EXPECT_EQ(sqlite3_exec(db, triggers, nullptr, nullptr, nullptr), SQLITE_OK)
                << sqlite3_errmsg(db);
            sqlite3_close(db);
        }
        std::vector<tagDB_Record> records;
        for (const Change& change : c.changes) {
            records.push_back(MakeRecord(2024, 3, 1, 8, 0, 0, change.line,
                                         dir.File(std::string("rec/") + change.file + ".wav")));
        }
        std::vector<RecordDbChange> changes;
        for (std::size_t i = 0; i < c.changes.size(); ++i) {
            changes.push_back({c.changes[i].kind, &records[i]});
        }
        std::vector<int32_t> results(changes.size(), 7);
        EXPECT_EQ(m_library.Apply(handle, changes, results), c.expectResult);
        EXPECT_EQ(results, c.expectResults);

        // The table is left without a transaction: a single append is on disk.
        EXPECT_EQ(m_library.Append(handle, MakeRecord(2024, 3, 2, 8, 0, 0, 9, "")), 0);
        m_library.Close(handle);
        std::vector<uint32_t> lines;
        for (const tagDB_Record& r : CTableReader(table).Records()) {
            lines.push_back(uint32_t{r.NChanel});
        }
        std::vector<uint32_t> expectLines = c.expectLines;
        expectLines.push_back(9);
        EXPECT_EQ(lines, expectLines);
    }
}

TEST_F(RecordDbLibraryTest, ClosedHandlesFailAndAreNeverGivenOutAgain) {
    const int32_t first = OpenServerTable();
    m_library.Close(first);
    const tagDB_Record r = MakeRecord(2024, 1, 1, 1, 1, 1, 0, "");
    EXPECT_EQ(m_library.Append(first, r), -1);
    EXPECT_EQ(m_library.Update(first, r), -1);
    EXPECT_EQ(m_library.Delete(first, r), -1);
    const RecordDbChange change{RecordDbChange::Kind::kAppend, &r};
    int32_t result = 0;
    EXPECT_EQ(m_library.Apply(first, std::span(&change, 1), std::span(&result, 1)), -1);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(m_library.DeleteOldest(first, 1, nullptr), -1);
    EXPECT_EQ(m_library.DeleteBefore(first, 2024, 1, 1, nullptr), -1);
    EXPECT_FALSE(m_library.SetRecordRoots(first, {m_root}));
    m_library.Close(first);  // twice is harmless

    const int32_t second = OpenServerTable();
    const int32_t medium = m_library.Open(kKind, m_other, kTableName, kArchiveMode);
    EXPECT_NE(second, first);
    EXPECT_NE(medium, first);
    EXPECT_NE(medium, second);
    EXPECT_EQ(m_library.Append(medium, r), 0);
    EXPECT_FALSE(m_library.SetRecordRoots(medium, {m_root}));  // its root is its own directory
    m_library.Close(second);
    m_library.Close(medium);
    EXPECT_EQ(CTableReader(TablePath()).Count(), 0);
    EXPECT_EQ(CTableReader(m_other + "/" + kTableName).Count(), 1);
}

TEST_F(RecordDbLibraryTest, DeleteOldestRemovesTheOldestRecordsWithTheirFiles) {
    const int32_t handle = OpenServerTable();
    // Inserted out of order: age is the start time, not the insertion order.
    const std::string d = AddWithFile(handle, 2024, 3, 1, 8, 0, 0, kMiB / 2);
    const std::string a = AddWithFile(handle, 2023, 12, 31, 23, 59, 59, kMiB / 2);
    const std::string c = AddWithFile(handle, 2024, 1, 1, 0, 0, 1, kMiB / 2);
    const std::string b = AddWithFile(handle, 2024, 1, 1, 0, 0, 0, kMiB / 2);
    AddWithFile(handle, 2024, 3, 2, 8, 0, 0, 3 * kMiB);

    RecordDeletionTally tally;
    EXPECT_EQ(m_library.DeleteOldest(handle, 1, &tally), 1);
    EXPECT_FALSE(Exists(a));
    EXPECT_FALSE(Exists(b));
    EXPECT_TRUE(Exists(c));
    EXPECT_EQ(CTableReader(TablePath()).Files(),
              (std::vector<std::string>{d, c, InRoot(RecordName(2024, 3, 2, 8, 0, 0))}));
    EXPECT_EQ(tally.files, 2u);
    EXPECT_EQ(tally.bytes, kMiB);
    EXPECT_EQ(tally.oldest, (RecordDeletionTally::Start{2023, 12, 31, 23, 59, 59}));
    EXPECT_EQ(tally.newest, (RecordDeletionTally::Start{2024, 1, 1, 0, 0, 0}));

    EXPECT_EQ(m_library.DeleteOldest(handle, 2, nullptr), 4);  // c, d and the 3 MiB e
    EXPECT_EQ(CTableReader(TablePath()).Count(), 0);
    EXPECT_EQ(m_library.DeleteOldest(handle, 1, nullptr), 0);  // nothing left
    EXPECT_EQ(m_library.DeleteOldest(handle, 0, nullptr), 0);
    EXPECT_EQ(m_library.DeleteOldest(handle, -1, nullptr), -1);
    m_library.Close(handle);
}

TEST_F(RecordDbLibraryTest, DeletionKeepsWhatMustStayAndDropsWhatIsGone) {
    // Each case stores one record older than a removable 1 MiB record, then
    // deletes 1 MiB, by size and by age: the case's record is passed over,
    // dropped or removed with its file, and the deletion goes on to the
    // removable one.
    struct Setup {
        std::string namefile;
        uint32_t format = kFormatPcm;
        std::string file;  // the file that must still exist afterwards, if any
    };
    enum class Outcome {
        kKept,     // the row stays, and the file if there is one
        kDropped,  // the row goes; no file was removed
        kRemoved,  // the row goes with its file
    };
    struct Case {
        const char* name;
        std::function<Setup(const std::string& root, const std::string& other)> setup;
        Outcome outcome;
    };
    // The name the case's record would have, and a real record of 10 bytes of audio.
    const std::string name = RecordName(2020, 1, 1, 0, 0, 0);
    const auto record = [](const std::string& path) { WriteRecordFile(path, 1090); };
    int lockFd = -1;
    const auto lock = [&lockFd](const std::string& path) {
        lockFd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
        EXPECT_EQ(::flock(lockFd, LOCK_SH | LOCK_NB), 0);
    };
    const Case cases[] = {
        {"being written, held by its writer",
         [&](const std::string& root, const std::string&) {
             record(root + "/" + name);
             lock(root + "/" + name);
             return Setup{root + "/" + name, kFormatRecording, root + "/" + name};
         },
         Outcome::kKept},
        // Cut short by a crash: nobody holds it, so it is not kept for ever.
        {"still being written but held by nobody",
         [&](const std::string& root, const std::string&) {
             record(root + "/" + name);
             return Setup{root + "/" + name, kFormatRecording, ""};
         },
         Outcome::kRemoved},
        {"locked by the compressor",
         [&](const std::string& root, const std::string&) {
             record(root + "/" + name);
             lock(root + "/" + name);
             return Setup{root + "/" + name, kFormatWaiting, root + "/" + name};
         },
         Outcome::kKept},
        {"a record in its day directory",
         [&](const std::string& root, const std::string&) {
             record(root + "/20200101.zr18/" + name);
             return Setup{root + "/20200101.zr18/" + name, kFormatPcm, ""};
         },
         Outcome::kRemoved},
        {"a monitor record",
         [&](const std::string& root, const std::string&) {
             const std::string monitor = root + "/20200101000000001000_rmo_z18.wav";
             record(monitor);
             return Setup{monitor, kFormatPcm, ""};
         },
         Outcome::kRemoved},
        {"not named as a record",
         [&](const std::string& root, const std::string&) {
             record(root + "/notes.wav");
             return Setup{root + "/notes.wav", kFormatPcm, root + "/notes.wav"};
         },
         Outcome::kKept},
        {"a record's name on a file without a record header",
         [&](const std::string& root, const std::string&) {
             WriteFileOfSize(root + "/" + name, 2000);
             return Setup{root + "/" + name, kFormatPcm, root + "/" + name};
         },
         Outcome::kKept},
        {"a record's name on a RIFF file without metadata",
         [&](const std::string& root, const std::string&) {
             // A plain WAVE file: "fmt " and "data", no "fact" or "SHDR".
             const std::string path = root + "/" + name;
             WriteFileOfSize(path, 0);
             std::ofstream(path, std::ios::binary)
                 .write(
                     "RIFF\x24\0\0\0WAVEfmt \x10\0\0\0\x01\0\x01\0\x40\x1f\0\0\x80\x3e\0\0"
                     "\x02\0\x10\0data\0\0\0\0",
                     44);
             return Setup{path, kFormatPcm, path};
         },
         Outcome::kKept},
        {"a record in a directory that is no day directory",
         [&](const std::string& root, const std::string&) {
             record(root + "/keep/" + name);
             return Setup{root + "/keep/" + name, kFormatPcm, root + "/keep/" + name};
         },
         Outcome::kKept},
        {"a record two day directories down",
         [&](const std::string& root, const std::string&) {
             const std::string deep = root + "/20200101.zr18/20200101.zr18/" + name;
             record(deep);
             return Setup{deep, kFormatPcm, deep};
         },
         Outcome::kKept},
        {"outside the roots",
         [&](const std::string&, const std::string& other) {
             record(other + "/" + name);
             return Setup{other + "/" + name, kFormatPcm, other + "/" + name};
         },
         Outcome::kKept},
        {"escaping the root with ..",
         [&](const std::string& root, const std::string& other) {
             record(other + "/" + name);
             return Setup{root + "/../other/" + name, kFormatPcm, other + "/" + name};
         },
         Outcome::kKept},
        {"a link in the root to a file outside",
         [&](const std::string& root, const std::string& other) {
             record(other + "/" + name);
             std::filesystem::create_symlink(other + "/" + name, root + "/" + name);
             return Setup{root + "/" + name, kFormatPcm, other + "/" + name};
         },
         Outcome::kKept},
        {"a link in the root to a record in a day directory",
         [&](const std::string& root, const std::string&) {
             const std::string target = root + "/20200101.zr18/" + RecordName(2020, 1, 1, 0, 0, 1);
             record(target);
             std::filesystem::create_symlink(target, root + "/" + name);
             return Setup{root + "/" + name, kFormatPcm, target};
         },
         Outcome::kKept},
        {"a day directory that is a link",
         [&](const std::string& root, const std::string& other) {
             record(other + "/" + name);
             std::filesystem::create_directory_symlink(other, root + "/20200101.zr18");
             return Setup{root + "/20200101.zr18/" + name, kFormatPcm, other + "/" + name};
         },
         Outcome::kKept},
        {"a relative path",
         [&](const std::string& root, const std::string&) {
             record(root + "/" + name);
             return Setup{"rec/" + name, kFormatPcm, root + "/" + name};
         },
         Outcome::kKept},
        {"a directory",
         [](const std::string& root, const std::string&) {
             std::filesystem::create_directories(root + "/20240101.zr18");
             return Setup{root + "/20240101.zr18", kFormatPcm, root + "/20240101.zr18"};
         },
         Outcome::kKept},
        {"the root itself",
         [](const std::string& root, const std::string&) {
             return Setup{root, kFormatPcm, root};
         },
         Outcome::kKept},
        {"a root that is missing (unmounted)",
         [&](const std::string& root, const std::string&) {
             return Setup{root + "-unmounted/" + name, kFormatPcm, ""};
         },
         Outcome::kKept},
        {"a file already gone",
         [&](const std::string& root, const std::string&) {
             return Setup{root + "/" + name, kFormatPcm, ""};
         },
         Outcome::kDropped},
        {"a call without a recording",
         [](const std::string&, const std::string&) {
             return Setup{"", kFormatPcm, ""};
         },
         Outcome::kDropped},
    };
    for (const bool byAge : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (byAge ? ", by age" : ", by size"));
            CTempDir dir;
            const std::string root = dir.File("rec");
            const std::string other = dir.File("other");
            std::filesystem::create_directories(root);
            std::filesystem::create_directories(other);
            const int32_t handle = m_library.Open(kKind, dir.Path(), kTableName, kServerMode);
            ASSERT_NE(handle, -1);
            ASSERT_TRUE(m_library.SetRecordRoots(handle, {root, root + "-unmounted"}));

            const Setup s = c.setup(root, other);
            ASSERT_EQ(
                m_library.Append(handle, MakeRecord(2020, 1, 1, 0, 0, 0, 1, s.namefile, s.format)),
                0);
            const std::string newer = root + "/" + RecordName(2024, 1, 1, 0, 0, 0, 2);
            WriteRecordFile(newer, kMiB);
            ASSERT_EQ(m_library.Append(handle, MakeRecord(2024, 1, 1, 0, 0, 0, 2, newer)), 0);

            RecordDeletionTally tally;
            EXPECT_EQ(byAge ? m_library.DeleteBefore(handle, 2025, 1, 1, &tally)
                            : m_library.DeleteOldest(handle, 1, &tally),
                      1);
            EXPECT_FALSE(Exists(newer));
            if (!s.file.empty()) {
                EXPECT_TRUE(Exists(s.file));
            }
            // A record file removed with its row counts; a row dropped alone does not.
            EXPECT_EQ(tally.files, c.outcome == Outcome::kRemoved ? 2u : 1u);
            if (c.outcome == Outcome::kRemoved) {
                EXPECT_FALSE(Exists(s.namefile));
            }
            const std::vector<std::string> files = CTableReader(dir.File(kTableName)).Files();
            EXPECT_EQ(files, c.outcome == Outcome::kKept ? std::vector<std::string>{s.namefile}
                                                         : std::vector<std::string>{});
            m_library.Close(handle);
            if (lockFd >= 0) {
                ::close(lockFd);
                lockFd = -1;
            }
        }
    }
}

TEST_F(RecordDbLibraryTest, DeleteBeforeRemovesRecordsOfEarlierDays) {
    const int32_t handle = OpenServerTable();
    const std::string jan31 = AddWithFile(handle, 2024, 1, 31, 12, 0, 0, kMiB);
    const std::string feb1 = AddWithFile(handle, 2024, 2, 1, 23, 59, 59, kMiB);
    const std::string feb2 = AddWithFile(handle, 2024, 2, 2, 0, 0, 0, kMiB);
    const std::string nextYear = AddWithFile(handle, 2025, 1, 1, 0, 0, 0, kMiB);

    RecordDeletionTally tally;
    EXPECT_EQ(m_library.DeleteBefore(handle, 2024, 2, 2, &tally), 2);
    EXPECT_FALSE(Exists(jan31));
    EXPECT_FALSE(Exists(feb1));
    EXPECT_EQ(CTableReader(TablePath()).Files(), (std::vector<std::string>{feb2, nextYear}));
    EXPECT_EQ(tally.files, 2u);
    EXPECT_EQ(tally.oldest, (RecordDeletionTally::Start{2024, 1, 31, 12, 0, 0}));
    EXPECT_EQ(tally.newest, (RecordDeletionTally::Start{2024, 2, 1, 23, 59, 59}));

    const struct {
        int32_t year, month, day;
    } invalid[] = {{2024, 0, 1}, {2024, 13, 1}, {2024, 1, 0}, {2024, 1, 32}, {0, 1, 1}, {-1, 1, 1}};
    for (const auto& d : invalid) {
        EXPECT_EQ(m_library.DeleteBefore(handle, d.year, d.month, d.day, nullptr), -1)
            << d.year << "-" << d.month << "-" << d.day;
    }
    EXPECT_EQ(CTableReader(TablePath()).Count(), 2);
    m_library.Close(handle);
}

TEST_F(RecordDbLibraryTest, LongDeletionsWalkPastRecordsThatStay) {
    // More rows than one deletion batch, with rows that must stay in between:
    // records being written, whose writers hold their files.
    const int32_t handle = OpenServerTable();
    std::vector<int> writers;
    std::vector<std::string> files;
    for (uint32_t i = 0; i < 150; ++i) {
        files.push_back(InRoot(RecordName(2023, 1, 1, i / 60, i % 60, 0)));
        WriteRecordFile(files.back(), 0);
        const uint32_t format = i % 10 == 0 ? kFormatRecording : kFormatPcm;
        if (format == kFormatRecording) {
            writers.push_back(::open(files.back().c_str(), O_RDWR | O_CLOEXEC));
            ASSERT_EQ(::flock(writers.back(), LOCK_SH | LOCK_NB), 0);
        }
        ASSERT_EQ(m_library.Append(
                      handle, MakeRecord(2023, 1, 1, i / 60, i % 60, 0, 0, files.back(), format)),
                  0);
    }
    // 135 headers of 1080 bytes: no whole megabyte.
    EXPECT_EQ(m_library.DeleteBefore(handle, 2024, 1, 1, nullptr), 0);
    CTableReader reader(TablePath());
    EXPECT_EQ(reader.Count(), 15);
    EXPECT_EQ(reader.Integer("SELECT count(*) FROM records WHERE Format = 4"), 15);
    EXPECT_TRUE(Exists(files[140]));
    EXPECT_FALSE(Exists(files[149]));
    m_library.Close(handle);
    for (int fd : writers) {
        ::close(fd);
    }
}

TEST_F(RecordDbLibraryTest, ArchiveCopyNamesFilesFromItsOwnDirectory) {
    const std::string backup = m_dir.File("medium/BackUp");
    std::filesystem::create_directories(backup);
    const int32_t handle = m_library.Open(kKind, backup, kTableName, kArchiveMode);
    ASSERT_NE(handle, -1);
    const std::string copy = "/20240101.zr18/" + RecordName(2024, 1, 1, 8, 0, 0);
    const std::string outside = RecordName(2024, 1, 1, 7, 0, 0);
    WriteRecordFile(backup + copy, kMiB);
    WriteRecordFile(m_dir.File("medium/" + outside), kMiB);
    ASSERT_EQ(m_library.Append(handle, MakeRecord(2024, 1, 1, 8, 0, 0, 0, copy)), 0);
    ASSERT_EQ(m_library.Append(handle, MakeRecord(2024, 1, 1, 7, 0, 0, 0, "/../" + outside)), 0);

    EXPECT_EQ(m_library.DeleteOldest(handle, 1, nullptr), 1);
    EXPECT_FALSE(Exists(backup + copy));
    EXPECT_TRUE(Exists(m_dir.File("medium/" + outside)));
    m_library.Close(handle);
    EXPECT_EQ(CTableReader(backup + "/" + kTableName).Files(),
              std::vector<std::string>{"/../" + outside});
}

TEST_F(RecordDbLibraryTest, TwoThreadsShareOneHandle) {
    // The database thread writes batches and single appends while the timer
    // thread deletes.
    const int32_t handle = OpenServerTable();
    std::atomic<bool> appending{true};
    std::atomic<int> failedWrites{0};
    std::thread writer([&] {
        constexpr uint32_t kBatch = 10;
        for (uint32_t first = 0; first < 300; first += kBatch) {
            std::vector<tagDB_Record> records;
            for (uint32_t i = first; i < first + kBatch; ++i) {
                const std::string file = InRoot(RecordName(2024, 1, 1, i / 60, i % 60, 0));
                WriteRecordFile(file, 4096);
                records.push_back(MakeRecord(2024, 1, 1, i / 60, i % 60, 0, 0, file));
            }
            if (first % (2 * kBatch) == 0) {
                std::vector<RecordDbChange> changes;
                for (const tagDB_Record& r : records) {
                    changes.push_back({RecordDbChange::Kind::kAppend, &r});
                }
                std::vector<int32_t> results(changes.size(), -1);
                if (m_library.Apply(handle, changes, results) != 0 ||
                    std::count(results.begin(), results.end(), 0) != kBatch) {
                    ++failedWrites;
                }
            } else {
                for (const tagDB_Record& r : records) {
                    failedWrites += m_library.Append(handle, r) != 0;
                }
            }
        }
        appending = false;
    });
    int failedDeletions = 0;
    while (appending) {
        if (m_library.DeleteOldest(handle, 1, nullptr) < 0) {
            ++failedDeletions;
        }
    }
    writer.join();
    m_library.Close(handle);
    EXPECT_EQ(failedWrites, 0);
    EXPECT_EQ(failedDeletions, 0);
    // Whatever is left still has its file.
    for (const std::string& file : CTableReader(TablePath()).Files()) {
        EXPECT_TRUE(Exists(file)) << file;
    }
}

}  // namespace
}  // namespace zorv::test
