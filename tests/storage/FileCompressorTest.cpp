// The background compressor on real record files: what it converts, moves,
// repairs, deletes and sets aside, and what it tells the record database.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <stdexcept>

#include "core/ServerMessage.h"
#include "storage/FileCompressor.h"
#include "storage/G711.h"
#include "storage/Mp3Encoder.h"
#include "support/FileModes.h"
#include "support/Files.h"
#include "support/TempDir.h"

namespace zorv::test {
namespace {

namespace fs = std::filesystem;

class CServerDouble final : public IServer {
public:
    bool Post(int32_t code, int32_t a, int32_t b, int32_t) override {
        std::lock_guard<std::mutex> lock(m_lock);
        if (code == kMsgFailure && a == kFailureCompressor) {
            m_errors.push_back(b);
        }
        if (code == kMsgException) {
            ++m_exceptions;
        }
        return true;
    }
    void WriteJournal(int, std::string_view text) override {
        std::lock_guard<std::mutex> lock(m_lock);
        m_lines.emplace_back(text);
    }
    std::vector<int32_t> Errors() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_errors;
    }
    int Exceptions() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_exceptions;
    }

private:
    std::mutex m_lock;
    std::vector<int32_t> m_errors;
    std::vector<std::string> m_lines;
    int m_exceptions = 0;
};

// The database as a list of what it was told.
class CQueueDouble final : public IRecordQueue {
public:
    struct Item {
        char op;  // 'u' update, 'd' delete
        tagDB_Record record;
        int32_t registered;
    };
    bool AddDbRecord(tagDB_Record& record) override {
        std::lock_guard<std::mutex> lock(m_lock);
        m_items.push_back({'a', record, 0});
        return true;
    }
    bool UpdateDbRecord(tagDB_Record& record, int32_t registered, int32_t) override {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_throwOnce) {
            m_throwOnce = false;
            throw std::runtime_error("database double fails");
        }
        m_items.push_back({'u', record, registered});
        return true;
    }
    bool DeleteDbRecord(const tagDB_Record& record) override {
        std::lock_guard<std::mutex> lock(m_lock);
        m_items.push_back({'d', record, 0});
        return true;
    }
    std::vector<Item> Items() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_items;
    }
    void ThrowOnce() { m_throwOnce = true; }

private:
    std::mutex m_lock;
    std::vector<Item> m_items;
    bool m_throwOnce = false;
};

// Mid-November 2023, the clock of every test.
const LocalTime kDay{2023, 11, 14, 10, 0, 0};

struct RecordShape {
    uint32_t rate = 8000;
    uint16_t channels = 1;
    uint16_t tag = kWaveFormatPcm;
    double seconds = 6;
    bool close = true;                                    // false: the writer dies before the close
    std::vector<std::pair<std::string, int32_t>> groups;  // "WMIDGRP" marks
};

std::vector<int16_t> Tone(std::size_t samples) {
    std::vector<int16_t> pcm(samples);
    for (std::size_t i = 0; i < samples; ++i) {
        pcm[i] = static_cast<int16_t>(8000.0 * std::sin(2 * M_PI * 440.0 * i / 8000.0));
    }
    return pcm;
}

// Writes a record as the recorder does, in a child process so that a record
// cut short is really left by a dead writer.
void WriteRecord(const std::string& path, const RecordShape& shape) {
    fs::create_directories(fs::path(path).parent_path());
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        CWavFile file;
        const uint16_t bits = shape.tag == kWaveFormatPcm ? 16 : 8;
        file.SetFormat(shape.channels, bits, shape.rate, shape.tag);
        tagDB_Record& meta = file.getDbRecord();
        SetStartTime(meta, kDay);
        meta.inout = 3;
        meta.NChanel = 2;
        if (!file.CreateNew(path, 0, CWavFile::kShareRead)) {
            ::_exit(1);
        }
        const auto frames = static_cast<std::size_t>(shape.seconds * shape.rate);
        const std::vector<int16_t> pcm = Tone(frames * shape.channels);
        if (shape.tag == kWaveFormatPcm) {
            file.WriteAudio(pcm.data(), pcm.size() * 2);
        } else {
            std::vector<uint8_t> codes(pcm.size());
            for (std::size_t i = 0; i < pcm.size(); ++i) {
                codes[i] =
                    shape.tag == kWaveFormatAlaw ? LinearToAlaw(pcm[i]) : LinearToMulaw(pcm[i]);
            }
            file.WriteAudio(codes.data(), codes.size());
        }
        if (!shape.close) {
            ::_exit(0);  // as a server killed with SIGKILL
        }
        if (!shape.groups.empty()) {
            file.BeginMarks();
            for (const auto& [alias, inout] : shape.groups) {
                uint8_t mark[CWavFile::kMarkSize] = {};
                std::memcpy(mark, "WMIDGRP", 7);
                mark[7] = 4;
                StoreLe32(mark + 8, static_cast<uint32_t>(inout));
                std::memcpy(mark + 12, alias.data(), alias.size());
                file.WriteMark(mark, sizeof(mark));
            }
        }
        meta.dsek = static_cast<uint32_t>(shape.seconds);
        file.Close(static_cast<uint32_t>(frames));
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

class FileCompressorTest : public ::testing::Test {
protected:
    FileCompressorTest()
        : m_clock(std::chrono::system_clock::from_time_t(1'699'956'000)),  // 2023-11-14
          m_root(m_dir.File("rec")),
          m_day(m_root + "/20231114.zr18/"),
          m_compressor(m_server, &m_queue, m_clock, CFormatTable::FilePath(m_dir.Path(), "ZORV"),
                       m_marks) {
        fs::create_directories(m_root);
        m_compressor.SetRecordPath(0, m_root);
        m_compressor.SetRecordPath(1, m_root);
        m_compressor.SetMinSizeFile(2);
    }

    std::string Flat(const std::string& name) const { return m_root + "/" + name; }

    static std::string Probe(const std::string& file) {
        return RunShell(
            "ffprobe -v error -show_entries stream=codec_name,sample_rate -of csv=p=0 '" + file +
            "' 2>&1");
    }

    CTempDir m_dir;
    CManualClock m_clock;
    const std::string m_root;
    const std::string m_day;
    CServerDouble m_server;
    CQueueDouble m_queue;
    CHiddenMark m_marks{CHiddenMark::Store::kSideRecord};
    CFileCompressor m_compressor;
};

// Every target format: the record lands in the day directory in that format,
// readable by sox and ffmpeg, with its row updated as converted.
TEST_F(FileCompressorTest, FlatRecordsEndInTheDayDirectoryInTheTargetFormat) {
    struct Case {
        CWaveFormat target;
        const char* ffmpegCodec;
        uint32_t format;  // Format of the row
        bool sox = true;  // sox reads it too (sox has no MP3-in-WAV)
        // MP3 adds the encoder's delay and pads its last frame: up to about
        // two frames of 576 samples more.
        double slackSeconds = 0.05;
    };
    const Case cases[] = {
        {CWaveFormat::MsAdpcm(1, 8000, 256), "adpcm_ms", kFormatConverted},
        {CWaveFormat::ImaAdpcm(1, 8000, 256), "adpcm_ima_wav", kFormatConverted},
        {CWaveFormat::Gsm610(8000), "gsm_ms", kFormatConverted},
        {CWaveFormat::Linear(kWaveFormatAlaw, 1, 8, 8000), "pcm_alaw", kFormatConverted},
        {CWaveFormat::Linear(kWaveFormatMulaw, 1, 8, 8000), "pcm_mulaw", kFormatConverted},
        // Already in its target format: only moved.
        {CWaveFormat::Linear(kWaveFormatPcm, 1, 16, 8000), "pcm_s16le", kFormatConverted},
        {CMp3Encoder::Format(1, 8000, 16), "mp3", kFormatConverted, false, 0.3},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ffmpegCodec);
        ASSERT_TRUE(m_compressor.Set(c.target.Data(), c.target.Size()));
        const std::string name = "20231114100000002" + std::to_string(100 + n++) + "0z18.wav";
        WriteRecord(Flat(name), {});
        ASSERT_TRUE(m_marks.Set(Flat(name)));  // registered at its start
        const std::size_t before = m_queue.Items().size();

        EXPECT_EQ(m_compressor.RunPass(), 1);

        EXPECT_FALSE(fs::exists(Flat(name)));
        EXPECT_FALSE(fs::exists(CHiddenMark::SideRecord(Flat(name))));
        const std::string placed = m_day + name;
        ASSERT_TRUE(fs::exists(placed));
        EXPECT_EQ(Probe(placed), std::string(c.ffmpegCodec) + ",8000\n");
        const std::string duration =
            RunShell("ffprobe -v error -show_entries format=duration -of csv=p=0 '" + placed + "'");
        EXPECT_NEAR(std::stod(duration), 6.0, c.slackSeconds);
        if (c.sox) {
            EXPECT_NEAR(std::stod(RunShell("soxi -D '" + placed + "'")), 6.0, c.slackSeconds);
        }
        const auto items = m_queue.Items();
        ASSERT_EQ(items.size(), before + 1);
        EXPECT_EQ(items.back().op, 'u');
        EXPECT_EQ(items.back().registered, 1);
        EXPECT_EQ(uint32_t{items.back().record.Format}, c.format);
        EXPECT_EQ(GetText(items.back().record.namefile), placed);
        CWavFile reader;
        ASSERT_EQ(reader.OpenForReading(placed), CWavFile::kOpenReady);
        EXPECT_EQ(reader.GetFormat(), c.target);
        EXPECT_EQ(uint32_t{reader.getDbRecord().Format}, c.format);
        EXPECT_EQ(reader.getSamplesCount(), 48000u);
    }
    EXPECT_EQ(m_compressor.ProcessedFiles(), std::size(cases));
    EXPECT_TRUE(m_server.Errors().empty());
}

TEST_F(FileCompressorTest, CompandedInputIsExpandedAndConverted) {
    for (uint16_t tag : {kWaveFormatAlaw, kWaveFormatMulaw}) {
        const std::string name = "2023111410000000210" + std::to_string(tag) + "z18.wav";
        RecordShape shape;
        shape.tag = tag;
        WriteRecord(Flat(name), shape);
        EXPECT_EQ(m_compressor.RunPass(), 1);
        EXPECT_EQ(Probe(m_day + name), "adpcm_ms,8000\n");
        EXPECT_EQ(m_queue.Items().back().registered, 0);  // not registered: inserted
    }
}

// A record whose writer was killed: no length, no sample count, a data
// chunk open to the end of the file. It is repaired and converted.
TEST_F(FileCompressorTest, RecordOfAKilledServerIsRepairedAndConverted) {
    const std::string name = "20231114100000002100z18.wav";
    RecordShape shape;
    shape.close = false;
    shape.seconds = 7;
    WriteRecord(Flat(name), shape);

    EXPECT_EQ(m_compressor.RunPass(), 1);

    const std::string placed = m_day + name;
    EXPECT_EQ(Probe(placed), "adpcm_ms,8000\n");
    EXPECT_NEAR(std::stod(RunShell("soxi -D '" + placed + "'")), 7.0, 0.05);
    const tagDB_Record row = m_queue.Items().back().record;
    EXPECT_EQ(uint32_t{row.dhour * 3600 + row.dmin * 60 + row.dsek}, 7u);
    EXPECT_EQ(uint32_t{row.Format}, kFormatConverted);
    EXPECT_EQ(GetText(row.namefile), placed);
}

// Files that are no usable record are set aside with a note saying why; the
// compressor goes on with the next file.
TEST_F(FileCompressorTest, DamagedFilesAreSetAsideNeverDeleted) {
    struct Case {
        const char* what;
        std::size_t offset;  // where the header is damaged
        std::vector<uint8_t> bytes;
    };
    const Case cases[] = {
        {"block align 0", 12 + 8 + 12, {0, 0}},
        {"byte rate 0", 12 + 8 + 8, {0, 0, 0, 0}},
        {"cbSize past the chunk", 12 + 8 + 16, {0xFF, 0x7F}},
        {"no RIFF", 0, {'J', 'U', 'N', 'K'}},
    };
    // The directories and notes it makes are for the service's user and group.
    const CUmaskScope wide(0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string bad = Flat("20231114100000002200z18.wav");
        const std::string good = Flat("20231114100000002201z18.wav");
        WriteRecord(bad, {});
        WriteRecord(good, {});
        std::vector<uint8_t> bytes = ReadFileBytes(bad);
        std::copy(c.bytes.begin(), c.bytes.end(), bytes.begin() + static_cast<long>(c.offset));
        WriteFileBytes(bad, bytes);

        EXPECT_EQ(m_compressor.RunPass(), 2);

        EXPECT_FALSE(fs::exists(bad));
        const std::string aside = m_root + "/unreadable/20231114100000002200z18.wav";
        ASSERT_TRUE(fs::exists(aside));
        EXPECT_EQ(ReadFileBytes(aside), bytes);
        EXPECT_NE(ReadBytes(aside + ".txt").find("not a record file"), std::string::npos);
        EXPECT_TRUE(fs::exists(m_day + "20231114100000002201z18.wav"));
        EXPECT_EQ(ModeText(m_root + "/unreadable"), "drwxr-x---");
        EXPECT_EQ(ModeText(aside + ".txt"), "-rw-r-----");
        EXPECT_EQ(ModeText(m_day), "drwxr-x---");
        fs::remove_all(m_root);
        fs::create_directories(m_root);
    }
}

// An empty file may be a record whose recorder has just created it: it is
// left for one pass, and set aside when the next pass finds it still empty.
TEST_F(FileCompressorTest, EmptyFileIsSetAsideOnlyAtTheNextPass) {
    const std::string empty = Flat("20231114100000002700z18.wav");
    WriteBytes(empty, "");
    EXPECT_EQ(m_compressor.RunPass(), 1);
    EXPECT_TRUE(fs::exists(empty));
    EXPECT_EQ(m_compressor.RunPass(), 1);
    EXPECT_FALSE(fs::exists(empty));
    EXPECT_TRUE(fs::exists(m_root + "/unreadable/20231114100000002700z18.wav"));
}

TEST_F(FileCompressorTest, ShortRecordIsDeletedWithItsRow) {
    const std::string name = "20231114100000002300z18.wav";
    RecordShape shape;
    shape.seconds = 1;
    WriteRecord(Flat(name), shape);
    ASSERT_TRUE(m_marks.Set(Flat(name)));
    EXPECT_EQ(m_compressor.RunPass(), 1);
    EXPECT_FALSE(fs::exists(Flat(name)));
    EXPECT_FALSE(fs::exists(m_day + name));
    ASSERT_EQ(m_queue.Items().size(), 1u);
    EXPECT_EQ(m_queue.Items()[0].op, 'd');
}

// No target format for 22050 Hz: moved as PCM with Format 0, error 5.
TEST_F(FileCompressorTest, RecordWithoutTargetFormatIsMovedAsPcm) {
    const std::string name = "20231114100000002400z18.wav";
    RecordShape shape;
    shape.rate = 22050;
    WriteRecord(Flat(name), shape);
    EXPECT_EQ(m_compressor.RunPass(), 1);
    EXPECT_EQ(Probe(m_day + name), "pcm_s16le,22050\n");
    EXPECT_EQ(uint32_t{m_queue.Items().back().record.Format}, kFormatPcm);
    EXPECT_EQ(m_server.Errors(), std::vector<int32_t>{CFileCompressor::kErrorNoFormat});
}

// Every group mark adds a row of its own; the marks survive the conversion.
TEST_F(FileCompressorTest, GroupMarksAddRowsAndSurviveConversion) {
    const std::string name = "20231114100000002500z18.wav";
    RecordShape shape;
    shape.groups = {{"Sales", 0}, {"Night", 4}};
    WriteRecord(Flat(name), shape);
    EXPECT_EQ(m_compressor.RunPass(), 1);
    const auto items = m_queue.Items();
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(GetText(items[1].record.alias), "Sales");
    EXPECT_EQ(uint32_t{items[1].record.inout}, 3u);
    EXPECT_EQ(GetText(items[2].record.alias), "Night");
    EXPECT_EQ(uint32_t{items[2].record.inout}, 4u);
    CWavFile reader;
    ASSERT_EQ(reader.OpenForReading(m_day + name), CWavFile::kOpenReady);
    EXPECT_EQ(reader.GetMarkSize(), 2 * CWavFile::kMarkSize);
}

// An exception in the middle of a file: the file stays in the root, no
// converted copy is left, and the row points where the file is.
TEST_F(FileCompressorTest, ExceptionLeavesFileAndRowInTheRoot) {
    const std::string name = "20231114100000002600z18.wav";
    WriteRecord(Flat(name), {});
    m_queue.ThrowOnce();
    ASSERT_TRUE(m_compressor.Start());
    for (int i = 0; i < 2000 && m_server.Exceptions() == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    m_compressor.Stop();
    ASSERT_EQ(m_server.Exceptions(), 1);
    EXPECT_TRUE(fs::exists(Flat(name)));
    EXPECT_FALSE(fs::exists(m_day + name));
    const auto items = m_queue.Items();
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(GetText(items[0].record.namefile), Flat(name));
    // The next start takes the file up again and updates its row.
    ASSERT_TRUE(m_compressor.Start());
    for (int i = 0; i < 2000 && fs::exists(Flat(name)); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    m_compressor.Stop();
    EXPECT_TRUE(fs::exists(m_day + name));
    EXPECT_EQ(m_queue.Items().back().registered, 1);
}

TEST_F(FileCompressorTest, StateDumpNamesItsFieldsInOrder) {
    std::ostringstream dump;
    m_compressor.DumpState(dump);
    const std::string text = dump.str();
    std::size_t at = 0;
    for (const char* field : {"CFileCompressor",
                              "m_isCompressIdle=",
                              "m_isTerminate=",
                              "Compress State=NO_FILE",
                              "m_minSizeFile=2",
                              "m_paths[0]=",
                              "m_paths[1]=",
                              "m_fileExt=z18",
                              "m_dirExt=zr18",
                              "m_formatFileName=",
                              "m_findName=",
                              "m_fileName=",
                              "AcmDrv.GetOutSize()=",
                              "FileIn.isOpened()=0",
                              "FileOut.isOpened()=0",
                              "m_dstBuffer=",
                              "Dbf=",
                              "CmdProc=",
                              "m_findHandle=",
                              "UnpackFile.cFileName=",
                              "m_countFileProcessing=0",
                              "m_isFormatChanged=0",
                              "m_countFormats="}) {
        const std::size_t next = text.find(field, at);
        ASSERT_NE(next, std::string::npos) << field;
        at = next;
    }
}

}  // namespace
}  // namespace zorv::test
