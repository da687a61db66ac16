// Records offered by other programs are checked before they reach the record
// database: texts terminated, a known Format, times in range, and a record
// file under a record root.
#include <gtest/gtest.h>

#include <cstring>

#include "server/RecordIntake.h"

namespace zorv::test {
namespace {

tagDB_Record GoodRecord() {
    tagDB_Record r{};
    r.year = 2026;
    r.mon = 12;
    r.day = 11;
    r.hour = 9;
    r.Format = kFormatPcm;
    SetText(r.namefile, "/srv/records/DvrFiles/call.wav");
    return r;
}

TEST(RecordIntakeTest, OfferedRecordsAreCheckedBeforeUse) {
    const std::vector<std::string> roots = {"/srv/records/DvrFiles/", "/mnt/second"};
    struct Case {
        const char* what;
        void (*change)(tagDB_Record&);
        bool taken;
    };
    const Case cases[] = {
        {"a good record", [](tagDB_Record&) {}, true},
        {"under the second root", [](tagDB_Record& r) { SetText(r.namefile, "/mnt/second/a.wav"); }, true},
        {"no call recorded (hour 99)", [](tagDB_Record& r) { r.hour = 99; }, true},
        {"a root's neighbour", [](tagDB_Record& r) { SetText(r.namefile, "/mnt/secondary/a.wav"); }, false},
        {"the root itself", [](tagDB_Record& r) { SetText(r.namefile, "/mnt/second/"); }, false},
        {"out of the root by ..", [](tagDB_Record& r) { SetText(r.namefile, "/mnt/second/../etc/passwd"); }, false},
        {"a relative path", [](tagDB_Record& r) { SetText(r.namefile, "second/a.wav"); }, false},
        {"no file", [](tagDB_Record& r) { SetText(r.namefile, ""); }, false},
        {"namefile not terminated", [](tagDB_Record& r) { std::memset(r.namefile, 'a', sizeof(r.namefile)); }, false},
        {"caller number not terminated", [](tagDB_Record& r) { std::memset(r.TlfString_1, '5', sizeof(r.TlfString_1)); }, false},
        {"document not terminated", [](tagDB_Record& r) { std::memset(r.document, 'd', sizeof(r.document)); }, false},
        {"Format 2", [](tagDB_Record& r) { r.Format = 2; }, false},
        {"Format 5 (waiting for the compressor)", [](tagDB_Record& r) { r.Format = kFormatWaiting; }, true},
        {"month 13", [](tagDB_Record& r) { r.mon = 13; }, false},
        {"hour 24", [](tagDB_Record& r) { r.hour = 24; }, false},
        {"duration minute 60", [](tagDB_Record& r) { r.dmin = 60; }, false},
    };
    for (const Case& c : cases) {
        tagDB_Record record = GoodRecord();
        c.change(record);
        EXPECT_EQ(CheckOfferedRecord(record, roots).empty(), c.taken) << c.what;
    }
    EXPECT_FALSE(CheckOfferedRecord(GoodRecord(), {}).empty()) << "no record root";
}

}  // namespace
}  // namespace zorv::test
