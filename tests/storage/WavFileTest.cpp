#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "storage/WavFile.h"
#include "support/Files.h"
#include "support/TempDir.h"

namespace zorv {
namespace {

using test::CTempDir;
using Bytes = std::vector<uint8_t>;

const auto ReadFile = test::ReadFileBytes;
const auto WriteFile = test::WriteFileBytes;

uint32_t Le32At(const Bytes& bytes, std::size_t at) {
    return LoadLe32(&bytes.at(at + 3) - 3);
}

Bytes Ramp(std::size_t n, uint8_t seed = 0) {
    Bytes bytes(n);
    for (std::size_t i = 0; i < n; ++i) {
        bytes[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    }
    return bytes;
}

tagDB_Record SampleRecord() {
    tagDB_Record record{};
    record.year = 2009;
    record.mon = 3;
    record.day = 5;
    record.hour = 14;
    record.NChanel = 7;
    record.inout = 3;
    SetText(record.TlfString_1, "84951234567");
    SetText(record.serverName, "Server-1");
    SetText(record.namefile, "/rec/20090305140209007120z18.wav");
    return record;
}

// A record file put together chunk by chunk, with sizes that may lie.
struct SChunkSpec {
    std::string id;
    Bytes content;
    std::optional<uint32_t> declared;  // the size written into the header
};

Bytes PcmFormat(uint16_t blockAlign = 2, uint32_t avg = 16000, uint16_t cbSize = 0,
                uint16_t channels = 1, uint32_t rate = 8000) {
    Bytes fmt(18, 0);
    StoreLe16(&fmt[0], kWaveFormatPcm);
    StoreLe16(&fmt[2], channels);
    StoreLe32(&fmt[4], rate);
    StoreLe32(&fmt[8], avg);
    StoreLe16(&fmt[12], blockAlign);
    StoreLe16(&fmt[14], 16);
    StoreLe16(&fmt[16], cbSize);
    return fmt;
}

Bytes BuildRiff(const std::vector<SChunkSpec>& chunks) {
    Bytes file{'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'};
    for (const SChunkSpec& chunk : chunks) {
        file.insert(file.end(), chunk.id.begin(), chunk.id.end());
        file.resize(file.size() + 4);
        StoreLe32(&file[file.size() - 4],
                  chunk.declared.value_or(static_cast<uint32_t>(chunk.content.size())));
        file.insert(file.end(), chunk.content.begin(), chunk.content.end());
        if (chunk.content.size() & 1u) {
            file.push_back(0);
        }
    }
    StoreLe32(&file[4], static_cast<uint32_t>(file.size() - 8));
    return file;
}

Bytes Fact(uint32_t samples) {
    Bytes fact(4);
    StoreLe32(fact.data(), samples);
    return fact;
}

Bytes Shdr() {
    const tagDB_Record record = SampleRecord();
    Bytes bytes(sizeof(record));
    std::memcpy(bytes.data(), &record, sizeof(record));
    return bytes;
}

std::vector<SChunkSpec> ValidChunks(Bytes audio = Ramp(100)) {
    return {{"fmt ", PcmFormat(), {}},
            {"fact", Fact(50), {}},
            {"SHDR", Shdr(), {}},
            {"data", std::move(audio), {}}};
}

class CWavFileTest : public ::testing::Test {
protected:
    CTempDir m_dir;
    std::string m_path = m_dir.File("20090305140209007120z18.wav");
};

// ---------------------------------------------------------------- layout

TEST_F(CWavFileTest, EmptyRecordHasTheExactHeaderLayout) {
    CWavFile wav;
    wav.SetFormat(1, 16, 8000, kWaveFormatPcm);
    wav.getDbRecord() = SampleRecord();
    ASSERT_TRUE(wav.CreateNew(m_path, 0, CWavFile::kShareRead));
    EXPECT_EQ(wav.GetState(), CWavFile::kStateAudio);
    ASSERT_TRUE(wav.Close());
    EXPECT_FALSE(wav.isOpened());
    EXPECT_EQ(wav.getFileName(), "");

    const Bytes file = ReadFile(m_path);
    ASSERT_EQ(file.size(), 1080u);
    EXPECT_EQ(std::string(file.begin(), file.begin() + 4), "RIFF");
    EXPECT_EQ(Le32At(file, 4), 1072u);
    EXPECT_EQ(std::string(file.begin() + 8, file.begin() + 16), "WAVEfmt ");
    EXPECT_EQ(Le32At(file, 16), 18u);
    EXPECT_EQ(Bytes(file.begin() + 20, file.begin() + 38), PcmFormat());
    EXPECT_EQ(std::string(file.begin() + 38, file.begin() + 42), "fact");
    EXPECT_EQ(Le32At(file, 42), 4u);
    EXPECT_EQ(std::string(file.begin() + 50, file.begin() + 54), "SHDR");
    EXPECT_EQ(Le32At(file, 54), 1014u);
    EXPECT_EQ(Bytes(file.begin() + 58, file.begin() + 1071), Shdr());
    EXPECT_EQ(file[1071], 0);
    EXPECT_EQ(std::string(file.begin() + 1072, file.begin() + 1076), "data");
    EXPECT_EQ(Le32At(file, 1076), 0u);
}

// Pieces of one block go through the writer's buffer; the channel's
// one-second pieces (and pieces mixed with small ones) go past it.
TEST_F(CWavFileTest, RoundTripKeepsAudioMetadataAndSampleCount) {
    for (const std::size_t piece : {std::size_t{128}, std::size_t{64000}, std::size_t{0}}) {
        SCOPED_TRACE(piece);
        const Bytes audio = Ramp(3 * CWavFile::kBufferSize + 64000 + 130);
        {
            CWavFile wav;
            wav.SetFormat(2, 16, 16000, kWaveFormatPcm);
            wav.getDbRecord() = SampleRecord();
            ASSERT_TRUE(wav.CreateNew(m_path, 0, CWavFile::kShareRead));
            // Piece 0: alternating 128 and 20000 bytes.
            std::size_t next = piece != 0 ? piece : 128;
            for (std::size_t at = 0; at < audio.size(); at += next) {
                if (piece == 0)
                    next = next == 128 ? 20000 : 128;
                const std::size_t n = std::min<std::size_t>(next, audio.size() - at);
                ASSERT_EQ(wav.WriteAudio(&audio[at], n), n);
            }
            wav.getDbRecord().dsek = 1;
            ASSERT_TRUE(wav.Close(static_cast<uint32_t>(audio.size() / 4)));
        }
        CWavFile reader;
        ASSERT_EQ(reader.OpenForReading(m_path), CWavFile::kOpenReady);
        EXPECT_EQ(reader.getSamplesCount(), audio.size() / 4);
        EXPECT_EQ(reader.GetWfx()->nChannels, 2);
        EXPECT_EQ(reader.GetWfx()->nAvgBytesPerSec, 64000u);
        EXPECT_EQ(reader.GetWfx()->nBlockAlign, 4);
        EXPECT_EQ(GetText(reader.getDbRecord().TlfString_1), "84951234567");
        EXPECT_EQ(reader.getDbRecord().dsek, 1u);
        ASSERT_EQ(reader.GetDataSize(), audio.size());
        EXPECT_EQ(Bytes(reader.GetDataPointer(), reader.GetDataPointer() + audio.size()), audio);
        EXPECT_EQ(reader.WriteAudio(audio.data(), 2), 0u);
        const Bytes before = ReadFile(m_path);
        reader.Close();
        EXPECT_EQ(ReadFile(m_path), before);
        ASSERT_TRUE(std::filesystem::remove(m_path));
    }
}

TEST_F(CWavFileTest, OddAudioGetsAPadByteCountedInEverySize) {
    CWavFile wav;
    wav.SetFormat(1, 8, 8000, kWaveFormatAlaw);
    ASSERT_TRUE(wav.CreateNew(m_path, 0, CWavFile::kShareRead));
    const Bytes audio = Ramp(1001);
    ASSERT_EQ(wav.WriteAudio(audio.data(), audio.size()), 1001u);
    ASSERT_TRUE(wav.Close(1001));
    const Bytes file = ReadFile(m_path);
    ASSERT_EQ(file.size(), 1080u + 1002u);
    EXPECT_EQ(Le32At(file, 4), file.size() - 8);
    EXPECT_EQ(Le32At(file, 1076), 1002u);
    EXPECT_EQ(file.back(), 0xD5);  // silence, not a click
    EXPECT_EQ(Le32At(file, 46), 1001u);
}

TEST_F(CWavFileTest, MutedWriterWritesTheSilenceOfItsFormat) {
    struct SCase {
        uint16_t tag;
        uint16_t bits;
        uint8_t silence;
    };
    for (const SCase& c : {SCase{kWaveFormatPcm, 16, 0x00}, SCase{kWaveFormatAlaw, 8, 0xD5},
                           SCase{kWaveFormatMulaw, 8, 0xFF}}) {
        SCOPED_TRACE(c.tag);
        CWavFile wav;
        wav.SetFormat(1, c.bits, 8000, c.tag);
        wav.SetMute(true);
        ASSERT_TRUE(wav.CreateNew(m_path, 0, CWavFile::kShareRead));
        const Bytes audio = Ramp(3000, 1);
        ASSERT_EQ(wav.WriteAudio(audio.data(), 1000), 1000u);
        ASSERT_EQ(wav.WriteAudio(nullptr, 2000), 2000u);
        ASSERT_TRUE(wav.Close());
        const Bytes file = ReadFile(m_path);
        ASSERT_EQ(file.size(), 1080u + 3000u);
        EXPECT_EQ(Bytes(file.begin() + 1080, file.end()), Bytes(3000, c.silence));
    }
}

TEST_F(CWavFileTest, MarksFollowTheAudioAndStopIt) {
    const Bytes audio = Ramp(501);
    Bytes mark(CWavFile::kMarkSize, 0);
    std::memcpy(mark.data(), "WMIDGRP", 7);
    mark[7] = 4;
    std::memcpy(&mark[12], "Sales", 5);
    {
        CWavFile wav;
        wav.SetFormat(1, 16, 8000, kWaveFormatPcm);
        ASSERT_TRUE(wav.CreateNew(m_path, 0, CWavFile::kShareRead));
        ASSERT_EQ(wav.WriteAudio(audio.data(), audio.size()), audio.size());
        EXPECT_EQ(wav.WriteMark(mark.data(), mark.size()), 0u);
        ASSERT_TRUE(wav.BeginMarks());
        EXPECT_EQ(wav.WriteAudio(audio.data(), audio.size()), 0u);
        ASSERT_EQ(wav.WriteMark(mark.data(), mark.size()), mark.size());
        ASSERT_TRUE(wav.Close());
    }
    CWavFile reader;
    ASSERT_EQ(reader.OpenExisting(m_path, CWavFile::kShareNone, true), CWavFile::kOpenReady);
    EXPECT_EQ(reader.GetState(), CWavFile::kStateMarks);
    EXPECT_EQ(reader.GetDataSize(), 502u);
    ASSERT_EQ(reader.GetMarkSize(), mark.size());
    EXPECT_EQ(Bytes(reader.GetMarkPointer(), reader.GetMarkPointer() + mark.size()), mark);
    // A mark appended to the open file is seen through the view at once.
    ASSERT_EQ(reader.WriteMark(mark.data(), mark.size()), mark.size());
    ASSERT_EQ(reader.GetMarkSize(), 2 * mark.size());
    EXPECT_EQ(std::memcmp(reader.GetMarkPointer() + mark.size(), mark.data(), mark.size()), 0);
}

// ---------------------------------------------------------------- crashes

// Writes a record in a child process that ends without closing it, as a
// crashed server would; returns the bytes given to WriteAudio.
Bytes WriteAndCrash(const std::string& path, bool create, std::size_t bytes, uint8_t seed) {
    const Bytes audio = Ramp(bytes, seed);
    const pid_t pid = ::fork();
    if (pid == 0) {
        CWavFile wav;
        wav.SetFormat(1, 16, 8000, kWaveFormatPcm);
        const bool opened =
            create ? wav.CreateNew(path, 0, CWavFile::kShareRead)
                   : wav.OpenExisting(path, CWavFile::kShareRead, false) == CWavFile::kOpenReady;
        for (std::size_t at = 0; opened && at < audio.size(); at += 128) {
            wav.WriteAudio(&audio[at], std::min<std::size_t>(128, audio.size() - at));
        }
        ::_exit(opened ? 0 : 1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    return audio;
}

TEST_F(CWavFileTest, RecordLeftUnclosedKeepsItsAudio) {
    const Bytes first = WriteAndCrash(m_path, true, 5 * CWavFile::kBufferSize + 300, 0);
    // Only the last, unwritten buffer is lost.
    const std::size_t kept = 5 * CWavFile::kBufferSize;
    {
        CWavFile wav;
        ASSERT_EQ(wav.OpenExisting(m_path, CWavFile::kShareNone, true), CWavFile::kOpenReady);
        ASSERT_EQ(wav.GetDataSize(), kept);
        EXPECT_EQ(Bytes(wav.GetDataPointer(), wav.GetDataPointer() + kept),
                  Bytes(first.begin(), first.begin() + kept));
        ASSERT_TRUE(wav.Close(static_cast<uint32_t>(kept / 2)));
    }
    const Bytes closed = ReadFile(m_path);
    EXPECT_EQ(Le32At(closed, 1076), kept);
    EXPECT_EQ(Le32At(closed, 4), closed.size() - 8);

    // Continued after a close and crashed again: both parts are there.
    const Bytes second = WriteAndCrash(m_path, false, 2 * CWavFile::kBufferSize + 128, 9);
    const std::size_t keptAgain = 2 * CWavFile::kBufferSize;
    CWavFile wav;
    ASSERT_EQ(wav.OpenForReading(m_path), CWavFile::kOpenReady);
    ASSERT_EQ(wav.GetDataSize(), kept + keptAgain);
    EXPECT_EQ(std::memcmp(wav.GetDataPointer() + kept, second.data(), keptAgain), 0);
}

// Sizes that a crash or a cut copy leaves behind: the audio or marks chunk
// extends to the real end of the file.
TEST_F(CWavFileTest, StreamedChunksTakeTheRealExtentOfTheFile) {
    Bytes mark(CWavFile::kMarkSize, 'm');
    struct SCase {
        const char* name;
        std::vector<SChunkSpec> chunks;
        uint32_t dataSize;
        uint32_t markSize;
    };
    std::vector<SChunkSpec> dataZero = ValidChunks(Ramp(300));
    dataZero.back().declared = 0;
    std::vector<SChunkSpec> dataTooLong = ValidChunks(Ramp(300));
    dataTooLong.back().declared = 0x7FFFFFFF;
    std::vector<SChunkSpec> emptyDataThenMarks = ValidChunks(Bytes{});
    emptyDataThenMarks.push_back({"MARK", mark, {}});
    std::vector<SChunkSpec> marksZero = ValidChunks(Ramp(10));
    marksZero.push_back({"MARK", mark, 0});
    const SCase cases[] = {
        {"data size 0", dataZero, 300, 0},
        {"data size past the end", dataTooLong, 300, 0},
        {"empty data closed before marks", emptyDataThenMarks, 0, 36},
        {"marks size 0", marksZero, 10, 36},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile(m_path, BuildRiff(c.chunks));
        CWavFile wav;
        ASSERT_EQ(wav.OpenExisting(m_path, CWavFile::kShareNone, true), CWavFile::kOpenReady);
        EXPECT_EQ(wav.GetDataSize(), c.dataSize);
        EXPECT_EQ(wav.GetMarkSize(), c.markSize);
    }
}

// ---------------------------------------------------------------- refusals

TEST_F(CWavFileTest, MalformedFilesAreRefusedAndLeftUnchanged) {
    auto with = [](auto change) {
        std::vector<SChunkSpec> chunks = ValidChunks();
        change(chunks);
        return BuildRiff(chunks);
    };
    Bytes notWave = BuildRiff(ValidChunks());
    std::memcpy(&notWave[8], "AVI ", 4);
    Bytes manyChunks = BuildRiff([] {
        std::vector<SChunkSpec> chunks = ValidChunks();
        chunks.insert(chunks.begin(), 100, SChunkSpec{"junk", Bytes(2), {}});
        for (std::size_t i = 0; i < 100; ++i) {
            chunks[i].id = "j" + std::to_string(100 + i);
        }
        return chunks;
    }());
    const Bytes valid = BuildRiff(ValidChunks());
    struct SCase {
        const char* name;
        Bytes file;
    };
    const SCase cases[] = {
        {"empty file", {}},
        {"under 12 bytes", Bytes{'R', 'I', 'F', 'F', 4, 0, 0, 0, 'W', 'A', 'V'}},
        {"not WAVE", notWave},
        {"header only", Bytes(valid.begin(), valid.begin() + 12)},
        {"fmt size past the end", with([](auto& c) { c[0].declared = 0xFFFFFFF0u; })},
        {"fmt size 0", with([](auto& c) { c[0].content.clear(); })},
        {"fmt of 16 bytes", with([](auto& c) { c[0].content.resize(16); })},
        {"cbSize larger than its chunk",
         with([](auto& c) { c[0].content = PcmFormat(2, 16000, 40); })},
        {"cbSize over 1 KiB", with([](auto& c) {
             c[0].content = PcmFormat(2, 16000, 60000);
             c[0].content.resize(60018);
         })},
        {"block align 0", with([](auto& c) { c[0].content = PcmFormat(0); })},
        {"bytes per second 0", with([](auto& c) { c[0].content = PcmFormat(2, 0); })},
        {"no channels", with([](auto& c) { c[0].content = PcmFormat(2, 16000, 0, 0); })},
        {"rate 0", with([](auto& c) { c[0].content = PcmFormat(2, 16000, 0, 1, 0); })},
        {"no fmt", with([](auto& c) { c[0].id = "fmx "; })},
        {"fact of 8 bytes", with([](auto& c) { c[1].content.resize(8); })},
        {"no fact", with([](auto& c) { c.erase(c.begin() + 1); })},
        {"no SHDR", with([](auto& c) { c.erase(c.begin() + 2); })},
        {"SHDR too short", with([](auto& c) { c[2].content.resize(1000); })},
        {"SHDR size past the end", with([](auto& c) { c[2].declared = 0x10000000u; })},
        {"no data", with([](auto& c) { c.pop_back(); })},
        {"chunk after data", with([](auto& c) {
             c.push_back({"LIST", Bytes(4), {}});
         })},
        {"data twice", with([](auto& c) {
             c.push_back({"data", Bytes(4), {}});
         })},
        {"too many chunks", manyChunks},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile(m_path, c.file);
        CWavFile wav;
        EXPECT_EQ(wav.OpenExisting(m_path, CWavFile::kShareNone, true), CWavFile::kOpenInvalid);
        EXPECT_FALSE(wav.isOpened());
        EXPECT_EQ(ReadFile(m_path), c.file);
        SWavRecordHeader header;
        EXPECT_NE(ParseWavRecord(CMemoryByteSource(c.file), header), EWavParseResult::kOk);
    }
}

TEST_F(CWavFileTest, MissingFileIsNotCreated) {
    CWavFile wav;
    EXPECT_EQ(wav.OpenExisting(m_path, CWavFile::kShareNone, false), CWavFile::kOpenFailed);
    EXPECT_FALSE(std::filesystem::exists(m_path));
}

TEST_F(CWavFileTest, CreateWithoutAUsableFormatLeavesNoFile) {
    CWavFile wav;
    EXPECT_FALSE(wav.CreateNew(m_path, 0, CWavFile::kShareRead));
    wav.SetFormat(1, 16, 0, kWaveFormatPcm);
    EXPECT_FALSE(wav.CreateNew(m_path, 0, CWavFile::kShareRead));
    EXPECT_FALSE(std::filesystem::exists(m_path));
    EXPECT_FALSE(wav.CreateNew(m_dir.File("no/such/dir.wav"), 0, CWavFile::kShareRead));
}

// ---------------------------------------------------------------- sharing, moves

TEST_F(CWavFileTest, RecorderAndCompressorNeverShareAFile) {
    CWavFile recorder;
    recorder.SetFormat(1, 16, 8000, kWaveFormatPcm);
    ASSERT_TRUE(recorder.CreateNew(m_path, 0, CWavFile::kShareRead));
    const Bytes audio = Ramp(CWavFile::kBufferSize + 10);
    ASSERT_EQ(recorder.WriteAudio(audio.data(), audio.size()), audio.size());

    CWavFile compressor;
    EXPECT_EQ(compressor.OpenExisting(m_path, CWavFile::kShareNone, true), CWavFile::kOpenFailed);
    CWavFile other;
    other.SetFormat(1, 16, 8000, kWaveFormatPcm);
    EXPECT_FALSE(other.CreateNew(m_path, 0, CWavFile::kShareNone));
    CWavFile reader;
    ASSERT_EQ(reader.OpenForReading(m_path), CWavFile::kOpenReady);
    // A write of a buffer's size or more is on disk whole when it returns.
    EXPECT_EQ(reader.GetDataSize(), audio.size());
    // A new record of the same name never empties a file someone reads.
    recorder.Close();
    EXPECT_FALSE(other.CreateNew(m_path, 0, CWavFile::kShareRead));
    EXPECT_EQ(reader.GetDataSize(), audio.size());
    reader.Close();
    ASSERT_EQ(recorder.OpenExisting(m_path, CWavFile::kShareRead, false), CWavFile::kOpenReady);

    ASSERT_TRUE(recorder.Close());
    ASSERT_EQ(compressor.OpenExisting(m_path, CWavFile::kShareNone, true), CWavFile::kOpenReady);
    EXPECT_EQ(compressor.GetDataSize(), audio.size());
    EXPECT_EQ(reader.OpenForReading(m_path), CWavFile::kOpenFailed);
}

TEST_F(CWavFileTest, MoveNeverReplacesAFileAndDeleteRemoves) {
    const std::string target = m_dir.File("moved.wav");
    WriteFile(target, Bytes{1, 2, 3});
    CWavFile wav;
    wav.SetFormat(1, 16, 8000, kWaveFormatPcm);
    EXPECT_FALSE(wav.MoveTo(target));  // nothing open
    ASSERT_TRUE(wav.CreateNew(m_path, 0, CWavFile::kShareRead));
    EXPECT_FALSE(wav.MoveTo(target));
    EXPECT_FALSE(wav.isOpened());
    EXPECT_EQ(ReadFile(target), (Bytes{1, 2, 3}));
    EXPECT_EQ(ReadFile(m_path).size(), 1080u);

    std::filesystem::remove(target);
    ASSERT_EQ(wav.OpenExisting(m_path, CWavFile::kShareNone, false), CWavFile::kOpenReady);
    ASSERT_TRUE(wav.MoveTo(target));
    EXPECT_FALSE(std::filesystem::exists(m_path));
    ASSERT_EQ(wav.OpenExisting(target, CWavFile::kShareNone, false), CWavFile::kOpenReady);
    EXPECT_TRUE(wav.DeleteFile());
    EXPECT_FALSE(std::filesystem::exists(target));
    EXPECT_FALSE(wav.DeleteFile());
}

// ---------------------------------------------------------------- limits

TEST_F(CWavFileTest, RecordStopsBeforeOutgrowingThe32BitSizes) {
    {
        CWavFile wav;
        wav.SetFormat(1, 16, 8000, kWaveFormatPcm);
        ASSERT_TRUE(wav.CreateNew(m_path, 0, CWavFile::kShareRead));
        EXPECT_TRUE(wav.CanWrite(1'000'000'000));
        EXPECT_FALSE(wav.CanWrite(CWavFile::kMaxFileSize));
    }
    // A record grown (sparsely) to just under the limit, left unclosed.
    const uint64_t size = CWavFile::kMaxFileSize - CWavFile::kMarkReserve - 64;
    ASSERT_EQ(::truncate(m_path.c_str(), static_cast<off_t>(size)), 0);
    {
        std::fstream patch(m_path, std::ios::binary | std::ios::in | std::ios::out);
        patch.seekp(1076);
        patch.write("\0\0\0\0", 4);
    }
    CWavFile wav;
    ASSERT_EQ(wav.OpenExisting(m_path, CWavFile::kShareNone, false), CWavFile::kOpenReady);
    EXPECT_TRUE(wav.CanWrite(32));
    EXPECT_FALSE(wav.CanWrite(128));
    const Bytes block = Ramp(128);
    EXPECT_EQ(wav.WriteAudio(block.data(), 32), 32u);
    EXPECT_EQ(wav.WriteAudio(block.data(), 128), 0u);
    ASSERT_TRUE(wav.BeginMarks());
    Bytes mark(CWavFile::kMarkSize, 1);
    EXPECT_EQ(wav.WriteMark(mark.data(), mark.size()), mark.size());
    ASSERT_TRUE(wav.Close());
    std::ifstream in(m_path, std::ios::binary);
    char riff[8];
    in.read(riff, 8);
    EXPECT_EQ(LoadLe32(reinterpret_cast<uint8_t*>(riff) + 4),
              std::filesystem::file_size(m_path) - 8);
}

TEST_F(CWavFileTest, WritesTheDiskRefusesAreReportedAndNotCounted) {
    // The file-size limit stands in for a full disk: writes past it fail.
    struct sigaction ignore {
    }, old{};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGXFSZ, &ignore, &old);
    rlimit saved{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    constexpr uint64_t kLimit = 1080 + 3 * CWavFile::kBufferSize + 100;
    for (const std::size_t piece : {std::size_t{128}, std::size_t{16000}}) {
        SCOPED_TRACE(piece);
        CWavFile wav;
        wav.SetFormat(1, 16, 8000, kWaveFormatPcm);
        ASSERT_TRUE(wav.CreateNew(m_path, 0, CWavFile::kShareRead));
        rlimit limit{kLimit, saved.rlim_max};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        const Bytes block = Ramp(piece);
        std::size_t accepted = 0;
        std::size_t refused = 0;
        for (std::size_t i = 0; i < 51200 / piece; ++i) {
            const std::size_t n = wav.WriteAudio(block.data(), block.size());
            (n == block.size() ? accepted : refused) += 1;
        }
        wav.Close();
        ::setrlimit(RLIMIT_FSIZE, &saved);

        EXPECT_GT(refused, 0u);
        CWavFile reader;
        ASSERT_EQ(reader.OpenForReading(m_path), CWavFile::kOpenReady);
        EXPECT_LE(reader.GetDataSize(), kLimit - 1080);
        EXPECT_EQ(Le32At(ReadFile(m_path), 1076), reader.GetDataSize());
        EXPECT_EQ(Le32At(ReadFile(m_path), 4) + 8, std::filesystem::file_size(m_path));
        reader.Close();
        ASSERT_TRUE(std::filesystem::remove(m_path));
    }
    ::sigaction(SIGXFSZ, &old, nullptr);
}

}  // namespace
}  // namespace zorv
