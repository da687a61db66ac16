// Calls on a simulated board recorded end to end by the server executable:
// the files on disk as players see them, the metadata inside them, the rows
// of the record database, and a record that survives a killed server.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <fmt/format.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "simulation/BoardScenario.h"
#include "storage/WavFile.h"
#include "support/ChildProcess.h"
#include "support/Files.h"
#include "support/TempDir.h"

namespace zorv::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::vector<int16_t> DecodeWithSox(const std::string& file) {
    const std::string raw = file + ".raw";
    RunShell("sox '" + file + "' -t raw -e signed -b 16 -c 1 '" + raw + "' 2>&1");
    std::ifstream in(raw, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<int16_t> samples(bytes.size() / 2);
    std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
    fs::remove(raw);
    return samples;
}

std::vector<std::string> Records(const std::string& root) {
    std::vector<std::string> files;
    if (fs::exists(root)) {
        for (const auto& entry : fs::recursive_directory_iterator(root)) {
            if (entry.path().extension() == ".wav") {
                files.push_back(entry.path().string());
            }
        }
    }
    std::sort(files.begin(), files.end());
    return files;
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
            << "[Channel0-2]\nCompression=0\n";
    }
    std::unique_ptr<CChildProcess> Launch() {
        return std::make_unique<CChildProcess>(
            BuiltProgram("zorv18server"), std::vector<std::string>{}, m_dir.Path(),
            std::vector<std::string>{"ZORV_REGISTRY=" + m_dir.File("registry.ini"),
                                     "ZORV_BOARD_SCENARIO=" + m_dir.File("board.ini")});
    }

    int RowCount() const {
        sqlite3* db = nullptr;
        int count = 0;
        if (fs::exists(m_dir.File("ZORV.dbf")) &&
            sqlite3_open_v2(m_dir.File("ZORV.dbf").c_str(), &db, SQLITE_OPEN_READONLY, nullptr) ==
                SQLITE_OK) {
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
    };    struct Expected {
        uint32_t line;
        double seconds;
        uint32_t inout;
    };
    const Expected expected[] = {{0, 7.0, 3}, {1, 8.0, 4}};
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
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT NChanel, Format, namefile FROM records ORDER BY NChanel",
                                 -1, &query, nullptr),
              SQLITE_OK);
    std::vector<std::string> rows;
    while (sqlite3_step(query) == SQLITE_ROW) {
        rows.push_back(fmt::format("{} {} {}", sqlite3_column_int(query, 0),
                                   sqlite3_column_int(query, 1),
                                   reinterpret_cast<const char*>(sqlite3_column_text(query, 2))));
    }
    sqlite3_finalize(query);
    sqlite3_close(db);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0], "0 0 " + *line0);
    EXPECT_EQ(rows[1].substr(0, 4), "1 0 ");
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
    EXPECT_GT(duration, 4.0);
}

}  // namespace
}  // namespace zorv::test
