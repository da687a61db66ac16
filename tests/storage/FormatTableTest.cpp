#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "storage/FormatTable.h"
#include "storage/Mp3Encoder.h"
#include "support/Files.h"
#include "support/TempDir.h"

namespace zorv {
namespace {

using test::CTempDir;
using Bytes = std::vector<uint8_t>;

const auto ReadFile = test::ReadFileBytes;
const auto WriteFile = test::WriteFileBytes;

Bytes FormatsFile(int32_t count, const std::vector<CWaveFormat>& blocks) {
    Bytes bytes(4);
    StoreLe32(bytes.data(), static_cast<uint32_t>(count));
    for (const CWaveFormat& block : blocks) {
        bytes.insert(bytes.end(), block.Bytes().begin(), block.Bytes().end());
    }
    return bytes;
}

class CErrorLog final : public CFormatTable::IListener {
public:
    void OnFormatError(int code) override { m_codes.push_back(code); }
    std::vector<int> m_codes;
};

class CFormatTableTest : public ::testing::Test {
protected:
    CTempDir m_dir;
    std::string m_path = CFormatTable::FilePath(m_dir.Path(), "ZORV18");
    CErrorLog m_errors;
    CFormatTable m_table{m_path, &m_errors};
};

TEST_F(CFormatTableTest, DefaultsAreTheSixMsAdpcmFormats) {
    EXPECT_EQ(m_path, m_dir.Path() + "/ZORV18.fmt");
    ASSERT_TRUE(m_table.Load());  // no file yet
    struct SRow {
        uint32_t rate;
        uint16_t channels;
        uint32_t avg;
        uint16_t blockAlign;
        uint16_t samplesPerBlock;
    };
    const SRow rows[] = {{8000, 1, 4096, 256, 500},    {8000, 2, 8192, 512, 500},
                         {16000, 1, 8192, 256, 500},   {16000, 2, 16384, 512, 500},
                         {32000, 1, 16189, 512, 1012}, {32000, 2, 32379, 1024, 1012}};
    ASSERT_EQ(m_table.Formats().size(), 6u);
    for (const SRow& row : rows) {
        const CWaveFormat* format = m_table.Get(row.rate, row.channels);
        ASSERT_NE(format, nullptr) << row.rate << "/" << row.channels;
        EXPECT_EQ(format->Tag(), kWaveFormatMsAdpcm);
        EXPECT_EQ(format->AvgBytesPerSec(), row.avg);
        EXPECT_EQ(format->BlockAlign(), row.blockAlign);
        EXPECT_EQ(format->BitsPerSample(), 4);
        EXPECT_EQ(format->ExtraSize(), 32);
        EXPECT_EQ(format->SamplesPerBlock(), row.samplesPerBlock);
    }
    // Count, then the 50-byte blocks; the extra bytes are wNumCoef 7 and the
    // coefficient pairs starting 256, 0, 512, -256.
    const Bytes file = ReadFile(m_path);
    ASSERT_EQ(file.size(), 4u + 6u * 50u);
    EXPECT_EQ(LoadLe32(file.data()), 6u);
    const Bytes extra(file.begin() + 4 + 18, file.begin() + 4 + 50);
    EXPECT_EQ(extra, (Bytes{0xF4, 0x01, 7,    0,    0x00, 0x01, 0,    0,    0,    2,    0,
                            0xFF, 0,    0,    0,    0,    0xC0, 0,    64,   0,    0xF0, 0,
                            0,    0,    0xCC, 0x01, 0x30, 0xFF, 0x88, 0x01, 0x18, 0xFF}));
    EXPECT_EQ(m_table.Get(22050, 1), nullptr);
    EXPECT_TRUE(m_errors.m_codes.empty());
}

TEST_F(CFormatTableTest, SetReplacesOrAddsAndTheFileKeepsIt) {
    ASSERT_TRUE(m_table.SetDefaults());
    const CWaveFormat gsm = CWaveFormat::Gsm610(8000);
    ASSERT_TRUE(m_table.Set(gsm.Data(), gsm.Size()));
    EXPECT_TRUE(m_table.m_isFormatChanged);
    m_table.m_isFormatChanged = false;
    {
        CFormatTable reread(m_path, &m_errors);
        ASSERT_TRUE(reread.Load());
        ASSERT_NE(reread.Get(8000, 1), nullptr);
        EXPECT_EQ(*reread.Get(8000, 1), gsm);
        EXPECT_EQ(reread.Formats().size(), 6u);
    }

    // An MPEG Layer-3 block (128 kbit/s) is the seventh entry.
    Bytes mp3(30, 0);
    StoreLe16(&mp3[0], kWaveFormatMpegLayer3);
    StoreLe16(&mp3[2], 2);
    StoreLe32(&mp3[4], 44100);
    StoreLe32(&mp3[8], 16000);
    StoreLe16(&mp3[12], 1);
    StoreLe16(&mp3[16], 12);
    ASSERT_TRUE(m_table.Set(mp3.data(), mp3.size()));
    EXPECT_FALSE(m_table.m_isFormatChanged);
    // An eighth pair is refused.
    const CWaveFormat ima = CWaveFormat::ImaAdpcm(1, 22050, 512);
    EXPECT_FALSE(m_table.Set(ima.Data(), ima.Size()));
    EXPECT_EQ(m_table.Formats().size(), 7u);
    EXPECT_TRUE(m_errors.m_codes.empty());

    // The next load takes what Set took.
    CFormatTable reread(m_path, &m_errors);
    ASSERT_TRUE(reread.Load());
    EXPECT_EQ(reread.Formats(), m_table.Formats());
    EXPECT_TRUE(m_errors.m_codes.empty());

    // An MP3 block no encoder can make (an MPEG-1 bit rate at 8 kHz) is
    // refused by Set as it would be by Load.
    const CWaveFormat odd = CMp3Encoder::Format(1, 8000, 320);
    EXPECT_FALSE(m_table.Set(odd.Data(), odd.Size()));
    EXPECT_EQ(m_errors.m_codes, (std::vector<int>{CFormatTable::kErrorInvalidFormat}));
}

TEST_F(CFormatTableTest, SetRefusesBlocksThatCannotBeUsed) {
    ASSERT_TRUE(m_table.SetDefaults());
    const CWaveFormat adpcm = CWaveFormat::MsAdpcm(1, 16000, 256);
    Bytes zeroAlign(adpcm.Bytes().begin(), adpcm.Bytes().end());
    StoreLe16(&zeroAlign[12], 0);
    Bytes cbPastEnd(adpcm.Bytes().begin(), adpcm.Bytes().end());
    StoreLe16(&cbPastEnd[16], 33);
    const Bytes big(64, 1);
    const CWaveFormat pcm8 = CWaveFormat::Linear(kWaveFormatPcm, 1, 8, 16000);
    for (const Bytes& block : {zeroAlign, cbPastEnd, big,
                               Bytes(pcm8.Bytes().begin(), pcm8.Bytes().end()), Bytes(10, 0)}) {
        EXPECT_FALSE(m_table.Set(block.data(), block.size()));
    }
    EXPECT_EQ(m_errors.m_codes, std::vector<int>(5, CFormatTable::kErrorInvalidFormat));
    EXPECT_EQ(m_table.Formats(), CFormatTable::Defaults());
}

TEST_F(CFormatTableTest, DamagedFilesGiveTheDefaults) {
    const CWaveFormat gsm = CWaveFormat::Gsm610(8000);
    Bytes cbTooLarge = FormatsFile(2, {gsm, CWaveFormat::MsAdpcm(1, 16000, 256)});
    StoreLe16(&cbTooLarge[4 + 16], 60);  // the GSM block claims 60 extra bytes
    cbTooLarge.insert(cbTooLarge.begin() + 4 + 20, 58, 0);
    const CWaveFormat alaw22 = CWaveFormat::Linear(kWaveFormatAlaw, 1, 8, 22050);
    Bytes badAlaw = FormatsFile(1, {alaw22});
    StoreLe16(&badAlaw[4 + 12], 0);
    Bytes cutShort = FormatsFile(2, {gsm, gsm});
    cutShort.erase(cutShort.end() - 3, cutShort.end());
    struct SCase {
        const char* name;
        Bytes file;
        std::vector<int> errors;
        std::size_t formats;  // after the load
    };
    const SCase cases[] = {
        {"empty", {}, {}, 6},
        {"count 0", FormatsFile(0, {}), {}, 6},
        {"count 8", FormatsFile(8, {gsm}), {}, 6},
        {"count -1", FormatsFile(-1, {gsm}), {}, 6},
        {"cut short", cutShort, {}, 6},
        // Too large: replaced by its default; the rest of the file is kept.
        {"cbSize over the largest format", cbTooLarge, {CFormatTable::kErrorInvalidFormat}, 2},
        // Not convertible and no default for 22050 Hz: all defaults.
        {"broken block without default", badAlaw, {CFormatTable::kErrorInvalidFormat}, 6},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile(m_path, c.file);
        m_errors.m_codes.clear();
        CFormatTable table(m_path, &m_errors);
        ASSERT_TRUE(table.Load());
        EXPECT_EQ(m_errors.m_codes, c.errors);
        EXPECT_EQ(table.Formats().size(), c.formats);
        ASSERT_NE(table.Get(8000, 1), nullptr);
        EXPECT_EQ(table.Get(8000, 1)->Tag(), kWaveFormatMsAdpcm);
        // What was repaired was saved, and reads back without complaint.
        m_errors.m_codes.clear();
        CFormatTable reread(m_path, &m_errors);
        ASSERT_TRUE(reread.Load());
        EXPECT_EQ(reread.Formats(), table.Formats());
        EXPECT_TRUE(m_errors.m_codes.empty());
    }
}

TEST_F(CFormatTableTest, UnwritableFileIsReported) {
    CFormatTable table(m_dir.File("missing/dir/ZORV18.fmt"), &m_errors);
    EXPECT_TRUE(table.SetDefaults());
    EXPECT_EQ(m_errors.m_codes, (std::vector<int>{CFormatTable::kErrorSaveFormats}));
    EXPECT_FALSE(table.Save());
}

}  // namespace
}  // namespace zorv
