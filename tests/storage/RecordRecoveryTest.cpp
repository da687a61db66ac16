// The start-up scan of the record roots on real record files and a real
// record database: what it repairs, finishes, enters and leaves alone.
#include <fcntl.h>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "core/ServerMessage.h"
#include "storage/DataBase.h"
#include "storage/RecordDbTestSupport.h"
#include "storage/RecordRecovery.h"
#include "storage/WavFile.h"
#include "support/Files.h"
#include "support/TempDir.h"

namespace zorv::test {
namespace {

namespace fs = std::filesystem;

class CJournalCount final : public IServer {
public:
    bool Post(int32_t, int32_t, int32_t, int32_t) override {
        ++m_posts;
        return true;
    }
    void WriteJournal(int, std::string_view) override { ++m_lines; }
    int m_posts = 0;
    int m_lines = 0;
};

// A record of seconds of 8000 Hz audio. Cut: its writer dies before the
// close (a child process that never closes the file), as a killed server's.
void WriteRecordFile(const std::string& path, double seconds, bool cut, uint32_t line) {
    fs::create_directories(fs::path(path).parent_path());
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        CWavFile file;
        file.SetFormat(1, 16, 8000, 1);
        tagDB_Record& meta = file.getDbRecord();
        SetStartTime(meta, LocalTime{2024, 5, 6, 10, 0, 0});
        meta.NChanel = line;
        meta.inout = 3;
        if (!file.CreateNew(path, 0, CWavFile::kShareRead)) {
            ::_exit(1);
        }
        std::vector<int16_t> audio(static_cast<std::size_t>(seconds * 8000), 300);
        file.WriteAudio(audio.data(), audio.size() * 2);
        if (!cut) {
            file.getDbRecord().dsek = static_cast<uint32_t>(seconds);
            file.Close(static_cast<uint32_t>(audio.size()));
        }
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

double DataSeconds(const std::string& path) {
    CWavFile reader;
    if (reader.OpenForReading(path) != CWavFile::kOpenReady) {
        return -1;
    }
    return reader.GetDataSize() / 16000.0;
}

TEST(RecordRecoveryTest, CutRecordsAreRepairedAndEveryRecordGetsAFinishedRow) {
    CTempDir dir;
    const std::string root = dir.File("rec");
    const std::string day = root + "/20240506.zr18/";
    CJournalCount server;
    CRecordDbLibrary library;
    CDataBase db(server, library, nullptr, "ZORV.dbf");
    ASSERT_TRUE(db.Open(dir.Path()));
    const CHiddenMark marks(CHiddenMark::Store::kSideRecord);

    struct Case {
        const char* name;
        std::string path;
        double seconds;
        bool cut;
        int rowFormat;     // the row before the scan: -1 none
        bool held;         // a writer holds the file
        int expectFormat;  // the row after the scan: -1 none
        bool expectMark;
    };
    const Case cases[] = {
        {"day, cut, registered", day + "2024050610000000000z18.wav", 3.5, true, 4, false, 0, false},
        {"day, cut, not registered", day + "2024050610000000110z18.wav", 2.0, true, -1, false, 0,
         false},
        {"day, finished, row lost", day + "2024050610000000210z18.wav", 6.0, false, -1, false, 0,
         false},
        {"day, finished, entered", day + "2024050610000000310z18.wav", 6.0, false, 0, false, 0,
         false},
        {"flat, cut, registered", root + "/2024050610000000410z18.wav", 1.5, true, 4, false, 5,
         true},
        {"flat, finished, not entered", root + "/2024050610000000510z18.wav", 7.0, false, -1, false,
         5, true},
        {"day, cut, held by its writer", day + "2024050610000000610z18.wav", 2.0, true, 4, true, 4,
         false},
        {"outside the roots", dir.File("other/2024050610000000710z18.wav"), 2.0, true, 4, false, 4,
         false},
    };
    std::vector<int> holders;
    for (const Case& c : cases) {
        WriteRecordFile(c.path, c.seconds, c.cut, 0);
        tagDB_Record r = MakeRecord(2024, 5, 6, 10, 0, 0, 0, c.path);
        if (c.rowFormat == kFormatRecording) {
            ASSERT_TRUE(db.AddDbRecord(r));
        } else if (c.rowFormat >= 0) {
            ASSERT_TRUE(db.UpdateDbRecord(r, 0, 0));
        }
        if (c.held) {
            holders.push_back(::open(c.path.c_str(), O_RDWR | O_CLOEXEC));
            ASSERT_EQ(::flock(holders.back(), LOCK_SH | LOCK_NB), 0);
        }
    }
    // Not a record: its header was never completed. And a file of another kind.
    std::ofstream(day + "2024050610000000810z18.wav") << "RIF";
    std::ofstream(root + "/notes.txt") << "not a record";
    db.Close();  // everything above is in the table
    ASSERT_TRUE(db.Open(dir.Path()));

    CRecordRecovery recovery(server, db, db, marks, "z18", "zr18");
    const CRecordRecovery::Result result = recovery.Run({root + "/", dir.File("missing")});
    db.Close();
    EXPECT_EQ(result.repaired, 3);
    EXPECT_EQ(result.finished, 2);
    EXPECT_EQ(result.entered, 3);
    EXPECT_EQ(result.skipped, 1);
    EXPECT_EQ(server.m_posts, 0);
    EXPECT_EQ(server.m_lines, 3 + 1);  // each repaired record, and the rows entered

    CTableReader table(dir.File("ZORV.dbf"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const int64_t rows =
            table.Integer("SELECT count(*) FROM records WHERE namefile = '" + c.path + "'");
        EXPECT_EQ(rows, c.expectFormat < 0 ? 0 : 1);
        if (c.expectFormat >= 0) {
            EXPECT_EQ(table.Integer("SELECT Format FROM records WHERE namefile = '" + c.path + "'"),
                      c.expectFormat);
        }
        EXPECT_EQ(marks.Has(c.path), c.expectMark);
        // What players see: the audio that reached the disk, or all of it.
        const bool touched = !c.held && c.path.find("/other/") == std::string::npos;
        if (touched) {
            // Audio handed over in large writes all reached the disk.
            EXPECT_NEAR(DataSeconds(c.path), c.seconds, 1e-9);
        }
        if (touched && (c.cut || c.rowFormat < 0)) {
            const std::string duration =
                fmt::format("SELECT dsek FROM records WHERE namefile = '{}'", c.path);
            EXPECT_EQ(table.Integer(duration), static_cast<int64_t>(c.seconds));
        }
    }
    EXPECT_EQ(ReadBytes(day + "2024050610000000810z18.wav"), "RIF");
    for (int fd : holders) {
        ::close(fd);
    }
}

}  // namespace
}  // namespace zorv::test
