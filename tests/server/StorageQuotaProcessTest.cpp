// Disk quotas on real small file systems (tmpfs mounted by the test), through
// the server executable recording calls of simulated boards: the oldest
// records go in steps while the newest stay, the record root switches to a
// second file system and stays there, and with both full the server deletes
// and records on. The record database and the files must agree throughout.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "core/Journal.h"
#include "support/ChildProcess.h"
#include "support/Files.h"
#include "support/JournalReader.h"
#include "support/RecordFiles.h"
#include "support/TempDir.h"

namespace zorv::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr uint64_t kMb = uint64_t{1} << 20;

// The start of a record from its name ("YYYYMMDDhhmmss<line>00z18.wav").
std::string StartOf(const std::string& path) {
    return fs::path(path).filename().string().substr(0, 14);
}

uint64_t FreeBytes(const std::string& directory) {
    struct statvfs info {};
    return ::statvfs(directory.c_str(), &info) == 0
               ? static_cast<uint64_t>(info.f_bavail) * info.f_frsize
               : 0;
}

// The file names the record database holds, read through the C library.
std::set<std::string> RowFiles(const std::string& table) {
    std::set<std::string> files;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(table.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* query = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT namefile FROM records", -1, &query, nullptr) ==
            SQLITE_OK) {
            while (sqlite3_step(query) == SQLITE_ROW) {
                files.insert(reinterpret_cast<const char*>(sqlite3_column_text(query, 0)));
            }
        }
        sqlite3_finalize(query);
    }
    sqlite3_close(db);
    return files;
}

// The same through the sqlite3 program, which knows nothing of this project.
std::set<std::string> RowFilesBySqliteProgram(const std::string& table) {
    std::set<std::string> files;
    std::istringstream out(
        RunShell("sqlite3 -readonly '" + table + "' 'SELECT namefile FROM records'"));
    for (std::string line; std::getline(out, line);) {
        if (!line.empty()) {
            files.insert(line);
        }
    }
    return files;
}

class StorageQuotaProcessTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (m_server && m_server->Running()) {
            m_server->Signal(SIGKILL);
            m_server->Wait(15s);
        }
        for (const std::string& mount : m_mounts) {
            ::umount2(mount.c_str(), MNT_DETACH);
        }
    }

    // A tmpfs of sizeKb at name inside the test's directory; false when this
    // process may not mount.
    bool Mount(const std::string& name, int sizeKb) {
        const std::string path = m_dir.File(name);
        fs::create_directories(path);
        const std::string options = "size=" + std::to_string(sizeKb) + "k,mode=0755";
        if (::mount("tmpfs", path.c_str(), "tmpfs", 0, options.c_str()) != 0) {
            return false;
        }
        m_mounts.push_back(path);
        return true;
    }

    // channels lines, each with a 7-second call every 8 seconds, all at once.
    void WriteBoard(int channels) {
        std::ofstream board(m_dir.File("board.ini"));
        board << "[Board0]\nGroups = " << std::min(channels, 6) << " " << std::max(0, channels - 6)
              << " 0\nBoardId = 0x12\nRepeat = 8\n";
        for (int c = 0; c < channels; ++c) {
            board << "\n[Board0.Channel" << c << "]\nAudio = tone " << 400 + 50 * c
                  << " 8000\nAudioDuring = calls\nTimeline = 0.5 in; 7.5 free\n";
        }
    }
    void WriteSettings(int channels, const std::string& dir1, const std::string& dir2, int quotaMb,
                       int delSizeMb) {
        std::ofstream ini(m_dir.File("ZORV_18.ini"));
        ini << "[Path]\nDirectory1=" << dir1 << "\nDirectory2=" << dir2 << "\nQuota1_Ex=" << quotaMb
            << "\nQuota2_Ex=" << quotaMb << "\nDelSize_Ex=" << delSizeMb
            << "\n[Aon]\nCallNotServices=0\n";
        for (int c = 0; c < channels; ++c) {
            ini << "[Channel0-" << c << "]\nCompression=0\n";
        }
    }
    void Launch() {
        m_server = std::make_unique<CChildProcess>(
            BuiltProgram("zorv18server"), std::vector<std::string>{}, m_dir.Path(),
            std::vector<std::string>{"ZORV_REGISTRY=" + m_dir.File("registry.ini"),
                                     "ZORV_BOARD_SCENARIO=" + m_dir.File("board.ini")});
    }
    void StopServer() {
        m_server->Signal(SIGTERM);
        ASSERT_EQ(m_server->Wait(20s), 0) << m_server->Stderr();
    }

    // Journal lines that begin with a catalogue text (up to its first
    // conversion).
    int JournalCount(int text) const {
        std::string head = CatalogText(Msg{text});
        head = head.substr(0, head.find('%'));
        int count = 0;
        for (const JournalLine& line : ReadJournal(m_dir.File("ZORV_18.log"))) {
            count += line.text.starts_with(head);
        }
        return count;
    }
    bool JournalHas(const std::string& text) const {
        for (const JournalLine& line : ReadJournal(m_dir.File("ZORV_18.log"))) {
            if (line.text == text) {
                return true;
            }
        }
        return false;
    }

    // Every record file below the roots has its row, and every row its file.
    void ExpectFilesAndRowsAgree(const std::vector<std::string>& roots) {
        std::set<std::string> files;
        for (const std::string& root : roots) {
            for (const std::string& file : Records(root)) {
                files.insert(file);
            }
        }
        EXPECT_EQ(RowFiles(m_dir.File("ZORV.dbf")), files);
        EXPECT_EQ(RowFilesBySqliteProgram(m_dir.File("ZORV.dbf")), files);
    }

    CTempDir m_dir;
    std::vector<std::string> m_mounts;
    std::unique_ptr<CChildProcess> m_server;
};

TEST_F(StorageQuotaProcessTest, OnAFullDiskTheOldestRecordsGoInStepsAndTheNewestStay) {
    if (!Mount("disk", 3 * 1024)) {
        GTEST_SKIP() << "mounting a tmpfs is not permitted here (needs root or CAP_SYS_ADMIN)";
    }
    const std::string disk = m_dir.File("disk");
    WriteBoard(6);
    WriteSettings(6, disk, disk, 1, 1);  // both roots on the one file system
    Launch();

    // Every record ever seen, until the third deletion.
    std::set<std::string> seen;
    ASSERT_TRUE(PollUntil(
        [&] {
            for (const std::string& file : Records(disk)) {
                seen.insert(file);
            }
            return JournalCount(214) >= 3 || !m_server->Running();
        },
        120s))
        << m_server->Stderr();
    ASSERT_TRUE(m_server->Running()) << m_server->Stderr();
    // Taken before the stop, which throws away the calls it cuts short.
    const std::vector<std::string> left = Records(disk);
    ASSERT_NO_FATAL_FAILURE(StopServer());

    // No switch: the other root is the same file system.
    EXPECT_EQ(JournalCount(210), 0);
    EXPECT_GE(JournalCount(213), 3);

    std::vector<std::string> deleted;
    std::set_difference(seen.begin(), seen.end(), left.begin(), left.end(),
                        std::back_inserter(deleted));
    ASSERT_FALSE(deleted.empty());
    ASSERT_FALSE(left.empty());
    EXPECT_FALSE(RowFiles(m_dir.File("ZORV.dbf")).empty());
    // Oldest first: nothing left started before a record that was deleted.
    std::string newestDeleted;
    for (const std::string& file : deleted) {
        newestDeleted = std::max(newestDeleted, StartOf(file));
    }
    for (const std::string& file : left) {
        EXPECT_GE(StartOf(file), newestDeleted) << file;
    }
    // The newest record of all survived.
    const auto newest = [](const auto& files) {
        std::string start;
        for (const std::string& file : files) {
            start = std::max(start, StartOf(file));
        }
        return start;
    };
    EXPECT_EQ(newest(left), newest(seen));
    ExpectFilesAndRowsAgree({disk});

    // Each deletion says how many record files went and when the oldest and
    // the newest of them started: never after a record that stayed.
    std::string oldestLeft = "99999999999999";
    for (const std::string& file : left) {
        oldestLeft = std::min(oldestLeft, StartOf(file));
    }
    const std::string deletedText = FormatCatalogText(Msg{214}, 0u, 0u);
    const std::string head = deletedText.substr(0, deletedText.find(' '));
    const std::vector<JournalLine> journal = ReadJournal(m_dir.File("ZORV_18.log"));
    int lines = 0;
    uint64_t files = 0;
    for (std::size_t i = 1; i < journal.size(); ++i) {
        unsigned count = 0;
        int from[6] = {};
        int to[6] = {};
        if (std::sscanf(journal[i].text.c_str(),
                        "Record files deleted: %u, started from %d-%d-%d %d:%d:%d to %d-%d-%d "
                        "%d:%d:%d",
                        &count, &from[0], &from[1], &from[2], &from[3], &from[4], &from[5], &to[0],
                        &to[1], &to[2], &to[3], &to[4], &to[5]) < 1) {
            continue;
        }
        ++lines;
        files += count;
        EXPECT_TRUE(journal[i - 1].text.starts_with(head)) << "after text 214: " << journal[i].text;
        if (count > 0) {
            char first[16];
            char last[16];
            std::snprintf(first, sizeof first, "%04d%02d%02d%02d%02d%02d", from[0], from[1],
                          from[2], from[3], from[4], from[5]);
            std::snprintf(last, sizeof last, "%04d%02d%02d%02d%02d%02d", to[0], to[1], to[2],
                          to[3], to[4], to[5]);
            EXPECT_LE(std::string(first), std::string(last)) << journal[i].text;
            EXPECT_LE(std::string(last), oldestLeft) << journal[i].text;
        }
    }
    EXPECT_EQ(lines, JournalCount(214));
    EXPECT_GE(files, 1u);
}

TEST_F(StorageQuotaProcessTest, TheRootSwitchesToASecondFileSystemStaysAndBothFullKeepRecording) {
    if (!Mount("disk1", 3 * 1024) || !Mount("disk2", 3 * 1024)) {
        GTEST_SKIP() << "mounting a tmpfs is not permitted here (needs root or CAP_SYS_ADMIN)";
    }
    const std::string disk1 = m_dir.File("disk1");
    const std::string disk2 = m_dir.File("disk2");
    // The first file system starts below its quota of 1 MB.
    const std::string ballast = disk1 + "/ballast";
    {
        std::ofstream out(ballast, std::ios::binary);
        const std::vector<char> block(64 * 1024, 'b');
        while (FreeBytes(disk1) > kMb - 64 * 1024 && out) {
            out.write(block.data(), static_cast<std::streamsize>(block.size()));
            out.flush();
        }
    }
    ASSERT_LE(FreeBytes(disk1), kMb);
    WriteBoard(12);
    WriteSettings(12, disk1, disk2, 1, 50);
    Launch();

    const std::string toSecond = FormatCatalogText(Msg{210}, 2u);
    const std::string toFirst = FormatCatalogText(Msg{210}, 1u);
    ASSERT_TRUE(PollUntil([&] { return JournalHas(toSecond) || !m_server->Running(); }, 60s))
        << m_server->Stderr();
    ASSERT_TRUE(JournalHas(disk2));  // the path follows the text
    ASSERT_TRUE(PollUntil([&] { return !Records(disk2).empty(); }, 30s));
    // The first file system has room again; recording stays on the second
    // until that one misses its own quota.
    fs::remove(ballast);
    ASSERT_TRUE(PollUntil([&] { return JournalHas(toFirst) || !m_server->Running(); }, 90s))
        << m_server->Stderr();
    const uint64_t secondFreeAtSwitch = FreeBytes(disk2);
    EXPECT_LE(secondFreeAtSwitch, kMb + kMb / 4);

    // Once the first is full as well, the oldest records go and the disks are
    // reported full (both hold far less than 10 MB).
    const std::string full = CatalogText(Msg{216});
    const auto diskFull = [&] {
        for (const JournalLine& line : ReadJournal(m_dir.File("ZORV_18.log"))) {
            if (line.kind == kJournalError && line.text.starts_with(full + " ")) {
                return true;
            }
        }
        return false;
    };
    ASSERT_TRUE(PollUntil([&] { return diskFull() || !m_server->Running(); }, 120s))
        << m_server->Stderr();
    EXPECT_GE(JournalCount(214), 1);
    // Recording goes on into the space freed: new records are finished and
    // entered.
    const std::set<std::string> before = RowFiles(m_dir.File("ZORV.dbf"));
    ASSERT_TRUE(PollUntil(
        [&] {
            for (const std::string& file : RowFiles(m_dir.File("ZORV.dbf"))) {
                if (!before.contains(file)) {
                    return true;
                }
            }
            return false;
        },
        60s));
    ASSERT_TRUE(m_server->Running()) << m_server->Stderr();
    ASSERT_NO_FATAL_FAILURE(StopServer());
    ExpectFilesAndRowsAgree({disk1, disk2});
}

}  // namespace
}  // namespace zorv::test
