// The repair of a record's metadata: a table of damaged fields and what the
// repair makes of them.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "storage/RecordRepair.h"
#include "support/TempDir.h"

namespace zorv::test {
namespace {

const LocalTime kNow{2023, 11, 14, 15, 30, 45};

struct Case {
    const char* what;
    const char* name;  // file name in the record root
    std::function<void(tagDB_Record&)> damage;
    std::function<void(const tagDB_Record&)> check;
};

TEST(RecordRepairTest, DamagedFieldsBecomePlausible) {
    const std::vector<Case> cases = {
        {"a bogus year takes the date of the file name", "20220305101010002100z18.wav",
         [](tagDB_Record& r) { r.year = 1980; },
         [](const tagDB_Record& r) {
             EXPECT_EQ(uint32_t{r.year}, 2022u);
             EXPECT_EQ(uint32_t{r.mon}, 3u);
             EXPECT_EQ(uint32_t{r.day}, 5u);
         }},
        {"month 13 without a date in the name takes today", "call.wav",
         [](tagDB_Record& r) { r.mon = 13; },
         [](const tagDB_Record& r) {
             EXPECT_EQ(uint32_t{r.year}, 2023u);
             EXPECT_EQ(uint32_t{r.mon}, 11u);
             EXPECT_EQ(uint32_t{r.day}, 14u);
         }},
        {"a name with an impossible date takes today", "20221345101010002100z18.wav",
         [](tagDB_Record& r) { r.day = 0; },
         [](const tagDB_Record& r) { EXPECT_EQ(uint32_t{r.mon}, 11u); }},
        {"ringing becomes free and keeps its time of day", "a.wav",
         [](tagDB_Record& r) {
             r.inout = 11;
             r.hour = 9;
         },
         [](const tagDB_Record& r) {
             EXPECT_EQ(uint32_t{r.inout}, 2u);
             EXPECT_EQ(uint32_t{r.hour}, 9u);
         }},
        {"hour 99 on a file with audio becomes the current time", "a.wav",
         [](tagDB_Record& r) { r.hour = 99; },
         [](const tagDB_Record& r) {
             EXPECT_EQ(uint32_t{r.hour}, 15u);
             EXPECT_EQ(uint32_t{r.min}, 30u);
         }},
        {"24:60:60 is no time of day", "a.wav",
         [](tagDB_Record& r) {
             r.hour = 24;
             r.min = 60;
             r.sec = 60;
         },
         [](const tagDB_Record& r) {
             EXPECT_EQ(uint32_t{r.hour}, 15u);
             EXPECT_EQ(uint32_t{r.sec}, 45u);
         }},
        {"a ring time out of range becomes the start time", "a.wav",
         [](tagDB_Record& r) {
             r.hour = 8;
             r.rmin = 60;
         },
         [](const tagDB_Record& r) {
             EXPECT_EQ(uint32_t{r.rhour}, 8u);
             EXPECT_EQ(uint32_t{r.rmin}, 0u);
         }},
        {"inout 0 becomes free", "a.wav", [](tagDB_Record& r) { r.inout = 0; },
         [](const tagDB_Record& r) { EXPECT_EQ(uint32_t{r.inout}, 2u); }},
        {"no length: computed from the audio", "a.wav", [](tagDB_Record&) {},
         [](const tagDB_Record& r) { EXPECT_EQ(uint32_t{r.dmin * 60 + r.dsek}, 65u); }},
        {"60 seconds of length: computed", "a.wav", [](tagDB_Record& r) { r.dsek = 60; },
         [](const tagDB_Record& r) { EXPECT_EQ(uint32_t{r.dsek}, 5u); }},
        {"an unterminated alias ends inside its field", "a.wav",
         [](tagDB_Record& r) { std::memset(r.alias, 'x', sizeof(r.alias)); },
         [](const tagDB_Record& r) { EXPECT_EQ(GetText(r.alias).size(), 20u); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CTempDir dir;
        const std::string path = dir.File(c.name);
        {
            CWavFile writer;
            writer.SetFormat(1, 16, 8000, kWaveFormatPcm);
            SetStartTime(writer.getDbRecord(), LocalTime{2023, 11, 14, 10, 0, 0});
            writer.getDbRecord().inout = 3;
            c.damage(writer.getDbRecord());
            ASSERT_TRUE(writer.CreateNew(path, 0, CWavFile::kShareNone));
            const std::vector<int16_t> audio(65 * 8000, 100);
            writer.WriteAudio(audio.data(), audio.size() * 2);
            ASSERT_TRUE(writer.Close(0));  // the sample count a killed writer leaves
        }
        CWavFile file;
        ASSERT_EQ(file.OpenExisting(path, CWavFile::kShareNone, true), CWavFile::kOpenReady);
        ASSERT_EQ(RepairRecordMetadata(file, path, kNow), ERepairFailure::kNone);
        c.check(file.getDbRecord());
        EXPECT_EQ(file.getSamplesCount(), 65u * 8000);
        EXPECT_EQ(GetText(file.getDbRecord().namefile), path);
    }
}

}  // namespace
}  // namespace zorv::test
