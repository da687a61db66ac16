// Calls on a simulated board recorded end to end by the server executable:
// the files on disk as players see them, the metadata inside them, the rows
// of the record database, and records that survive a killed server and are
// recovered at the next start.
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "simulation/BoardScenario.h"
#include "storage/HiddenMark.h"
#include "storage/WavFile.h"
#include "support/ChildProcess.h"
#include "support/Files.h"
#include "support/RecordFiles.h"
#include "support/TempDir.h"

namespace zorv::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The rows of the record database file as "<NChanel> <Format> <dsek>", in
// line order; none while the table cannot be read.
std::vector<std::string> Rows(const std::string& table) {
    std::vector<std::string> rows;
    sqlite3* db = nullptr;
    if (fs::exists(table) &&
        sqlite3_open_v2(table.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* query = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT NChanel, Format, dsek FROM records ORDER BY NChanel", -1,
                               &query, nullptr) == SQLITE_OK) {
            while (sqlite3_step(query) == SQLITE_ROW) {
                rows.push_back(fmt::format("{} {} {}", sqlite3_column_int(query, 0),
                                           sqlite3_column_int(query, 1),
                                           sqlite3_column_int(query, 2)));
            }
        }
        sqlite3_finalize(query);
    }
    sqlite3_close(db);
    return rows;
}

std::unique_ptr<CChildProcess> LaunchServer(const CTempDir& dir) {
    return std::make_unique<CChildProcess>(
        BuiltProgram("zorv18server"), std::vector<std::string>{}, dir.Path(),
        std::vector<std::string>{"ZORV_REGISTRY=" + dir.File("registry.ini"),
                                 "ZORV_BOARD_SCENARIO=" + dir.File("board.ini")});
}

class RecordingEndToEndTest : public ::testing::Test {
protected:
    void WriteFiles(const std::string& timeline0, const std::string& timeline1,
                    const std::string& timeline2) {
        std::ofstream(m_dir.File("board.ini"))
            << "[Board0]\nGroups = 6 0 0\nBoardId = 0x12\n\n"
            << "[Board0.Channel0]\nAudio = wav " << ZORV_SOURCE_DIR
            << "/tools/scenarios/voice.wav\nAudioDuring = calls\nTimeline = " << timeline0 << "\n\n"
            << "[Board0.Channel1]\nAudio = tone 700 9000\nAudioDuring = calls\nTimeline = "
            << timeline1 << "\n\n"
            << "[Board0.Channel2]\nAudio = tone 500 8000\nAudioDuring = calls\nTimeline = "
            << timeline2 << "\n";
        std::ofstream(m_dir.File("ZORV_18.ini"))
            << "[Server]\nName=Test server\n[Aon]\nCallNotServices=0\n"
            << "[Channel0-0]\nCompression=0\n[Channel0-1]\nCompression=0\n"
            << "[Channel0-2]\nCompression=0\n"
            << "[ALIAS]\nLine0=Reception\nLine1=Sales department, 2nd floor\n";
    }
    std::unique_ptr<CChildProcess> Launch() { return LaunchServer(m_dir); }

    int RowCount() const { return RecordRows(m_dir.File("ZORV.dbf")); }

    CTempDir m_dir;
};

// The high-pass filter the board device runs on its input (8000 Hz).
std::vector<float> InputFiltered(const std::vector<int16_t>& source, size_t from, size_t count) {
    std::vector<float> out(count);
    float y = 0;
    float xPrev = 0;
    const size_t n = source.size();
    // Settle the filter on the samples before the window first.
    for (size_t k = 0; k < count + 800; ++k) {
        const float x = source[(from + n - 800 + k) % n];
        y = 0.8816f * y + 0.9408f * (x - xPrev);
        xPrev = x;
        if (k >= 800) {
            out[k - 800] = y;
        }
    }
    return out;
}

double BestCorrelation(const std::vector<int16_t>& source, const std::vector<int16_t>& recorded,
                       size_t at, size_t count) {
    double best = 0;
    for (size_t offset = 0; offset < source.size(); offset += 1) {
        const std::vector<float> expected = InputFiltered(source, offset, count);
        double xy = 0, xx = 0, yy = 0;
        for (size_t k = 0; k < count; ++k) {
            const double r = recorded[at + k];
            xy += r * expected[k];
            xx += r * r;
            yy += static_cast<double>(expected[k]) * expected[k];
        }
        if (xx > 0 && yy > 0) {
            best = std::max(best, xy / std::sqrt(xx * yy));
        }
        if (best > 0.999) {
            break;
        }
    }
    return best;
}

TEST_F(RecordingEndToEndTest, CallsBecomeRecordsAndRows) {
    WriteFiles("1.0 in; 8.0 free", "1.5 out; 1.7 digit 4; 1.9 digit 2; 9.5 free",
               "2.0 in; 4.0 free");
    auto server = Launch();
    const std::string day = m_dir.File("DvrFiles");
    // Both long calls have ended once their rows are in the database (the
    // short call ended before them).
    ASSERT_TRUE(PollUntil([&] { return RowCount() == 2; }, 40s)) << server->Stderr();
    server->Signal(SIGTERM);
    ASSERT_EQ(server->Wait(15s), 0);

    const std::vector<std::string> files = Records(day);
    ASSERT_EQ(files.size(), 2u);  // the 2-second call left nothing
    // ".../DvrFiles/<date>.zr18/<date><time><line>00z18.wav": the first
    // record of each line has counter 0, and the device is number 0.
    struct Name {
        std::string dayDirectory, date, time;
        uint32_t line = 0;
    };
    const auto parse = [](const std::string& path, Name& name) {
        const fs::path p(path);
        const std::string file = p.filename().string();
        const std::string dir = p.parent_path().filename().string();
        if (file.size() != 8 + 6 + 3 + 2 + 7 || file.substr(19) != "z18.wav" ||
            file.substr(17, 2) != "00" || dir.size() != 13 || dir.substr(8) != ".zr18" ||
            p.parent_path().parent_path().filename() != "DvrFiles") {
            return false;
        }
        name = {dir.substr(0, 8), file.substr(0, 8), file.substr(8, 6),
                static_cast<uint32_t>(std::stoul(file.substr(14, 3)))};
        return true;
    };
    struct Expected {
        uint32_t line;
        double seconds;
        uint32_t inout;
        std::string alias;  // from "ALIAS"/"Line<line>", at most 20 characters
    };
    const Expected expected[] = {{0, 7.0, 3, "Reception"}, {1, 8.0, 4, "Sales department, 2n"}};
    for (const Expected& e : expected) {
        SCOPED_TRACE(e.line);
        Name name;
        const auto file = std::find_if(files.begin(), files.end(), [&](const std::string& f) {
            return parse(f, name) && name.line == e.line;
        });
        ASSERT_NE(file, files.end());
        ASSERT_TRUE(parse(*file, name));
        EXPECT_EQ(name.dayDirectory, name.date);  // the day directory is the start date

        // What players see: 8000 Hz, the length of the call within one block.
        EXPECT_EQ(RunShell("soxi -r '" + *file + "'"), "8000\n");
        const double duration = std::stod(RunShell("soxi -D '" + *file + "'"));
        EXPECT_NEAR(duration, e.seconds, 0.008);

        // The metadata inside the file.
        CWavFile reader;
        ASSERT_EQ(reader.OpenForReading(*file), CWavFile::kOpenReady);
        const tagDB_Record& r = reader.getDbRecord();
        const uint32_t line = r.NChanel, inout = r.inout, dsek = r.dsek, hour = r.hour;
        EXPECT_EQ(line, e.line);
        EXPECT_EQ(inout, e.inout);
        EXPECT_EQ(dsek, static_cast<uint32_t>(e.seconds));
        EXPECT_EQ(fmt::format("{:02}", hour), name.time.substr(0, 2));
        EXPECT_EQ(GetText(r.serverName), "Test server");
        EXPECT_EQ(GetText(r.namefile), *file);
        EXPECT_EQ(GetText(r.alias), e.alias);
        if (e.line == 1) {
            EXPECT_EQ(GetText(r.TlfString_2), "42");  // the dialled digits
        }
    }

    // The audio of line 0 is the fed speech after the input filter.
    const auto line0 = std::find_if(files.begin(), files.end(), [](const std::string& f) {
        return f.find("00000z18.wav") != std::string::npos;
    });
    ASSERT_NE(line0, files.end());
    const std::vector<int16_t> recorded = DecodeWithSox(*line0);
    uint32_t rate = 0;
    const std::vector<int16_t> source =
        ReadBoardWav(std::string(ZORV_SOURCE_DIR) + "/tools/scenarios/voice.wav", rate);
    ASSERT_EQ(rate, 8000u);
    ASSERT_GT(recorded.size(), 12000u);
    EXPECT_GT(BestCorrelation(source, recorded, 4000, 2000), 0.99);

    // One finished row per kept call in the record database.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(m_dir.File("ZORV.dbf").c_str(), &db, SQLITE_OPEN_READONLY, nullptr),
              SQLITE_OK);
    sqlite3_stmt* query = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db,
                                 "SELECT NChanel, Format, namefile, alias FROM records"
                                 " ORDER BY NChanel",
                                 -1, &query, nullptr),
              SQLITE_OK);
    std::vector<std::string> rows;
    std::vector<std::string> aliases;
    while (sqlite3_step(query) == SQLITE_ROW) {
        rows.push_back(fmt::format("{} {} {}", sqlite3_column_int(query, 0),
                                   sqlite3_column_int(query, 1),
                                   reinterpret_cast<const char*>(sqlite3_column_text(query, 2))));
        aliases.push_back(reinterpret_cast<const char*>(sqlite3_column_text(query, 3)));
    }
    sqlite3_finalize(query);
    sqlite3_close(db);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0], "0 0 " + *line0);
    EXPECT_EQ(rows[1].substr(0, 4), "1 0 ");
    EXPECT_EQ(aliases, (std::vector<std::string>{expected[0].alias, expected[1].alias}));
}

TEST_F(RecordingEndToEndTest, KilledServerLeavesARecordWithItsRealLength) {
    WriteFiles("0.5 in; 60.0 free", "0.5 in; 60.0 free", "0.5 in; 60.0 free");
    auto server = Launch();
    const std::string day = m_dir.File("DvrFiles");
    // Several seconds of the call are on disk.
    ASSERT_TRUE(PollUntil(
        [&] {
            const auto files = Records(day);
            return !files.empty() && fs::file_size(files[0]) > 4 * 16000;
        },
        30s))
        << server->Stderr();
    server->Signal(SIGKILL);
    ASSERT_EQ(server->Wait(15s), 128 + SIGKILL);

    const std::string file = Records(day)[0];
    const uintmax_t size = fs::file_size(file);
    {
        CWavFile reader;
        ASSERT_EQ(reader.OpenForReading(file), CWavFile::kOpenReady);
        EXPECT_EQ(reader.GetDataSize(), size - 1080);  // the audio up to the file's end
    }
    CWavFile record;
    ASSERT_EQ(record.OpenExisting(file, CWavFile::kShareNone, false), CWavFile::kOpenReady);
    ASSERT_TRUE(record.Close());
    // Closed again, its header tells players the real length.
    const double duration = std::stod(RunShell("soxi -D '" + file + "'"));
    EXPECT_NEAR(duration, static_cast<double>(size - 1080) / 16000, 0.01);
    EXPECT_GE(duration, 4.0);
}

// The server is killed (SIGKILL) while calls are at different moments: one
// began a moment ago, one is in its middle, one is just before its end; each
// in the day layout and in the flat layout (Compress 1), with records entered
// at their start (DataBaseMode 1) and at their end (DataBaseMode 0). After the
// restart every record plays to within one second of the kill and has a
// finished row: Format 0 in the day layout; the flat ones are repaired and
// converted by the compressor into their day directory (MS-ADPCM, Format 1,
// no hidden mark left).
TEST_F(RecordingEndToEndTest, RecordsCutByAKillAreRecoveredAtTheNextStart) {
    struct Call {
        const char* moment;
        uint32_t line;
        bool flat;
        double start, end;  // board seconds
    };
    // The kill comes right after the board's sixth second. Calls begin on a
    // whole second, so every channel's one-second buffer has just reached the
    // disk then, and what is on disk is the call up to the kill.
    constexpr double kKillAt = 6.0;
    const Call calls[] = {
        {"early", 0, false, 4.0, 30.0},
        {"mid", 1, false, 1.0, 11.0},
        {"before the end", 2, false, 1.0, 6.5},
        {"early", 3, true, 4.0, 30.0},
        {"mid", 4, true, 1.0, 11.0},
        {"before the end", 5, true, 1.0, 6.5},
    };
    for (const int dataBaseMode : {1, 0}) {
        SCOPED_TRACE(fmt::format("DataBaseMode {}", dataBaseMode));
        const CTempDir dir;
        const auto writeBoard = [&](bool withCalls) {
            std::ofstream board(dir.File("board.ini"));
            board << "[Board0]\nGroups = 6 0 0\nBoardId = 0x12\n";
            for (const Call& c : calls) {
                board << "[Board0.Channel" << c.line << "]\nAudio = tone 600 7000\n";
                if (withCalls) {
                    board << "AudioDuring = calls\nTimeline = " << c.start << " in; " << c.end
                          << " free\n";
                }
            }
        };
        writeBoard(true);
        {
            std::ofstream settings(dir.File("ZORV_18.ini"));
            settings << "[Server]\nName=Test server\n[Aon]\nCallNotServices=0\n"
                     << "[ServerDataBase]\nDataBaseMode=" << dataBaseMode << "\n"
                     << "[Path]\nMinSizeFile=1\n";  // the early call is 2 s long
            for (const Call& c : calls) {
                settings << "[Channel0-" << c.line << "]\nCompression=" << (c.flat ? 1 : 0) << "\n";
            }
        }
        const std::string root = dir.File("DvrFiles");
        auto server = LaunchServer(dir);
        // Every record holds the audio up to the kill's moment once the board
        // has written it. The channels reach the disk one after the other, so
        // each is waited for: one that is a second behind the others would
        // lose that second to the kill.
        const auto secondsOnDisk = [&](uint32_t line) {
            for (const std::string& f : Records(root)) {
                if (fs::path(f).filename().string().substr(14, 3) == fmt::format("{:03}", line)) {
                    std::error_code ec;
                    const uintmax_t size = fs::file_size(f, ec);
                    return ec || size < 1080 ? 0.0 : static_cast<double>(size - 1080) / 16000;
                }
            }
            return 0.0;
        };
        const auto heldAtTheKill = [&](const Call& c) { return std::min(kKillAt, c.end) - c.start; };
        ASSERT_TRUE(PollUntil(
            [&] {
                return std::all_of(std::begin(calls), std::end(calls), [&](const Call& c) {
                    return secondsOnDisk(c.line) >= heldAtTheKill(c);
                });
            },
            30s))
            << server->Stderr();
        server->Signal(SIGKILL);
        ASSERT_EQ(server->Wait(15s), 128 + SIGKILL);
        ASSERT_EQ(Records(root).size(), std::size(calls));

        // The next start: no calls any more; the records are recovered.
        writeBoard(false);
        server = LaunchServer(dir);
        // Every record has a row, and none is still being written or waits
        // for the compressor.
        ASSERT_TRUE(PollUntil(
            [&] {
                const std::vector<std::string> rows = Rows(dir.File("ZORV.dbf"));
                return rows.size() == std::size(calls) &&
                       std::none_of(rows.begin(), rows.end(), [](const std::string& r) {
                           const std::string format = r.substr(r.find(' '), 3);
                           return format == " 4 " || format == " 5 ";
                       });
            },
            30s))
            << server->Stderr();
        server->Signal(SIGTERM);
        ASSERT_EQ(server->Wait(15s), 0);

        const std::vector<std::string> files = Records(root);
        ASSERT_EQ(files.size(), std::size(calls));
        const std::vector<std::string> rows = Rows(dir.File("ZORV.dbf"));
        for (const Call& c : calls) {
            SCOPED_TRACE(fmt::format("line {} {} {}", c.line, c.flat ? "flat" : "day", c.moment));
            const auto file = std::find_if(files.begin(), files.end(), [&](const std::string& f) {
                return fs::path(f).filename().string().substr(14, 3) ==
                       fmt::format("{:03}", c.line);
            });
            ASSERT_NE(file, files.end());
            EXPECT_NE(fs::path(*file).parent_path(), fs::path(root));
            // The board may have written one more second (or the end of a
            // call) between the wait and the kill.
            const double plays = std::stod(RunShell("soxi -D '" + *file + "'"));
            EXPECT_GE(plays, heldAtTheKill(c) - 0.01);
            EXPECT_LE(plays, heldAtTheKill(c) + 1.01);
            EXPECT_EQ(rows[c.line],
                      fmt::format("{} {} {}", c.line, c.flat ? 1 : 0, static_cast<int>(plays)));
            EXPECT_EQ(RunShell("ffprobe -v error -show_entries stream=codec_name -of csv=p=0 '" +
                               *file + "'"),
                      c.flat ? "adpcm_ms\n" : "pcm_s16le\n");
            if (c.flat) {
                EXPECT_FALSE(CHiddenMark().Has(*file));
            }
        }
    }
}

}  // namespace
}  // namespace zorv::test
