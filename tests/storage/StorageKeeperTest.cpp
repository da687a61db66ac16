// The storage keeper's decisions: the disk-space check with the record-root
// switch and the deletions, and the daily deletion by age, against a table of
// free space, a scripted database and a manual clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/CodedException.h"
#include "core/Journal.h"
#include "core/ServerMessage.h"
#include "platform/IniFile.h"
#include "storage/StorageKeeper.h"
#include "support/TempDir.h"

namespace zorv::test {
namespace {

constexpr uint64_t kMb = CStorageKeeper::kMegabyte;
constexpr int32_t kThrow = -2;  // a scripted database call that throws

// Everything the keeper does, in order, as one log of short lines.
class CWorld final : public IServer,
                     public IStorageHost,
                     public IMailNotifier,
                     public IRecordDeletion,
                     public IFreeSpace {
public:
    // IServer
    bool Post(int32_t code, int32_t a, int32_t b, int32_t c) override {
        log.push_back("post " + std::to_string(code) + "," + std::to_string(a) + "," +
                      std::to_string(b) + "," + std::to_string(c));
        return true;
    }
    void WriteJournal(int kind, std::string_view text) override {
        log.push_back((kind == kJournalError ? "error " : "info ") + std::string(text));
    }
    // IStorageHost
    std::string RecordDirectory(int index) const override { return dirs[index]; }
    int CurrentDirectory() const override { return current; }
    void SelectRecordDirectory(int index) override {
        current = index;
        log.push_back("select " + std::to_string(index));
    }
    IMailNotifier& Mail() override { return *this; }
    std::string JournalPath() const override { return "/work/ZORV_18.log"; }
    // IMailNotifier
    void LoadSettings(const std::string&) override {}
    void SetMinimalDelay(uint32_t) override {}
    void Notify(int event, const std::string& subject, const std::string& body,
                const std::string& attachment, int zip) override {
        log.push_back("mail " + std::to_string(event) + " " + subject + " | " + body + " | " +
                      attachment + " " + std::to_string(zip));
    }
    // IRecordDeletion: the next scripted result (kThrow throws), and the
    // free space after it. A result of n megabytes removed n files, of
    // records started from kOldest to kNewest; a failure removed
    // filesBeforeFailure.
    int32_t DeleteOldest(int32_t megabytes, RecordDeletionTally& tally) override {
        log.push_back("delete oldest " + std::to_string(megabytes));
        return NextResult(tally);
    }
    int32_t DeleteBefore(int32_t year, int32_t month, int32_t day,
                         RecordDeletionTally& tally) override {
        char date[32];
        std::snprintf(date, sizeof date, "%04d-%02d-%02d", year, month, day);
        log.push_back(std::string("delete before ") + date);
        return NextResult(tally);
    }
    static constexpr int64_t kOldest[6] = {2026, 1, 2, 3, 4, 5};
    static constexpr int64_t kNewest[6] = {2026, 2, 3, 14, 5, 6};
    // IFreeSpace
    std::optional<uint64_t> AvailableBytes(const std::string& directory) const override {
        const auto it = space.find(directory);
        return it == space.end() ? std::nullopt : it->second;
    }

    std::vector<std::string> Take() { return std::exchange(log, {}); }

    std::vector<std::string> log;
    std::string dirs[2] = {"/rec/one", "/rec/two"};
    int current = 0;
    std::map<std::string, std::optional<uint64_t>> space;
    std::deque<int32_t> results;
    int filesBeforeFailure = 0;
    // Free space of both directories once the deletion is done.
    std::optional<std::pair<uint64_t, uint64_t>> spaceAfter;

private:
    int32_t NextResult(RecordDeletionTally& tally) {
        const int32_t result = results.empty() ? -1 : results.front();
        if (!results.empty()) {
            results.pop_front();
        }
        const int files = result >= 0 ? result : filesBeforeFailure;
        for (int i = 0; i < files; ++i) {
            if (i == 0) {
                tally.Add(kOldest, kMb);
            } else {
                tally.Add(kNewest, kMb);
            }
        }
        if (spaceAfter) {
            space[dirs[0]] = spaceAfter->first;
            space[dirs[1]] = spaceAfter->second;
        }
        if (result == kThrow) {
            throw CCodedException(0x77, "table gone");
        }
        return result;
    }
};

std::string Error(const std::string& text) {
    return "error " + text;
}
std::string DeletedText(uint32_t mb) {
    return FormatCatalogText(Msg{kTextDeleted}, mb, 0u);
}
// The line that follows text 214 for n files of the CWorld's dates.
std::string FilesText(int n) {
    if (n == 0) {
        return "Record files deleted: 0";
    }
    return "Record files deleted: " + std::to_string(n) + ", started from 2026-01-02 03:04:05 to " +
           (n == 1 ? "2026-01-02 03:04:05" : "2026-02-03 14:05:06");
}
std::string MailOf(const std::string& text) {
    return "mail 4 " + CatalogText(Msg{kTextDeletionSubject}) + " | " + text +
           " | /work/ZORV_18.log 1";
}

class StorageKeeperTest : public ::testing::Test {
protected:
    StorageKeeperTest()
        : m_keeper(m_world, m_world, m_world, m_world, m_clock, m_dir.File("ZORV_18.ini")) {}

    CTempDir m_dir;
    CWorld m_world;
    CManualClock m_clock;
    CStorageKeeper m_keeper;
};

// ---- The disk-space check --------------------------------------------------

struct SpaceCase {
    const char* name;
    int current;
    std::optional<uint64_t> free1, free2;  // bytes; nullopt: cannot be measured
    bool sameDirectory;                    // both roots are one directory
    int32_t deleted;                       // the database's answer (kThrow: it throws)
    std::pair<uint64_t, uint64_t> after;   // free bytes after the deletion
    // Expected
    int switchedTo;  // -1: no switch
    bool deletes;
    bool diskFull;
};

// clang-format off
const SpaceCase kSpaceCases[] = {
    {"CurrentAboveItsQuota", 0, 51 * kMb, 0, false, 0, {}, -1, false, false},
    {"ExactlyTheQuotaIsMissedAndTheOtherRootTakesOver", 0, 50 * kMb, 51 * kMb, false, 0, {}, 1,
     false, false},
    {"SecondRootFullFirstFree", 1, 200 * kMb, 10 * kMb, false, 0, {}, 0, false, false},
    {"BothMissedDeletionOfTheWholeAmount", 0, 20 * kMb, 20 * kMb, false, 50, {70 * kMb, 20 * kMb},
     -1, true, false},
    {"ShortDeletionWithADriveAboveTenMegabytesIsNoDiskFull", 0, 5 * kMb, 5 * kMb, false, 20,
     {25 * kMb, 5 * kMb}, -1, true, false},
    {"ShortDeletionWithBothDrivesFull", 0, 5 * kMb, 5 * kMb, false, 20, {10 * kMb, 3 * kMb}, -1,
     true, true},
    {"NothingDeletedOnFullDisks", 0, 1 * kMb, 1 * kMb, false, 0, {1 * kMb, 1 * kMb}, -1, true,
     true},
    {"FailedDeletionOnFullDisks", 0, 1 * kMb, 1 * kMb, false, -1, {1 * kMb, 1 * kMb}, -1, true,
     true},
    {"DeletionThatThrowsCountsAsFailed", 0, 1 * kMb, 1 * kMb, false, kThrow, {1 * kMb, 1 * kMb},
     -1, true, true},
    {"SameDriveNeverSwitches", 0, 30 * kMb, 30 * kMb, true, 50, {80 * kMb, 80 * kMb}, -1, true,
     false},
    {"CurrentNeverMeasuredIsNotChecked", 0, std::nullopt, 500 * kMb, false, 0, {}, -1, false,
     false},
    {"OtherNeverMeasuredIsNoPlaceToSwitchTo", 0, 5 * kMb, std::nullopt, false, 50,
     {60 * kMb, 0}, -1, true, false},
};
// clang-format on

class DiskSpaceCheck : public StorageKeeperTest, public ::testing::WithParamInterface<SpaceCase> {};

TEST_P(DiskSpaceCheck, SwitchesDeletesAndReports) {
    const SpaceCase& c = GetParam();
    if (c.sameDirectory) {
        m_world.dirs[1] = m_world.dirs[0];
    }
    m_world.current = c.current;
    m_world.space[m_world.dirs[0]] = c.free1;
    if (!c.sameDirectory) {
        m_world.space[m_world.dirs[1]] = c.free2;
    }
    m_world.results = {c.deleted};
    m_world.spaceAfter = c.after;
    m_keeper.Configure({.quota1Mb = 50, .quota2Mb = 50, .delSizeMb = 50});

    m_keeper.CheckDiskSpace();
    const std::vector<std::string> log = m_world.Take();

    std::vector<std::string> expected;
    if (c.switchedTo != -1) {
        expected = {"select " + std::to_string(c.switchedTo),
                    "info " + FormatCatalogText(Msg{kTextDirectorySelected},
                                                static_cast<uint32_t>(c.switchedTo + 1)),
                    "info " + m_world.dirs[c.switchedTo]};
    }
    if (c.deletes) {
        const auto mb = [](std::optional<uint64_t> b) {
            return static_cast<uint32_t>(b.value_or(0) / kMb);
        };
        expected = {Error(FormatCatalogText(Msg{kTextDisk1Free}, mb(c.free1), 50u)),
                    Error(FormatCatalogText(Msg{kTextDisk2Free},
                                            mb(c.sameDirectory ? c.free1 : c.free2), 50u)),
                    Error(CatalogText(Msg{kTextDeletionStart})), "delete oldest 50"};
        if (c.deleted == kThrow) {
            expected.push_back("post 3,119,40,0");
        } else if (c.deleted != -1) {
            const std::string text = DeletedText(static_cast<uint32_t>(c.deleted));
            expected.push_back(Error(text));
            expected.push_back(Error(FilesText(c.deleted)));
            expected.push_back(MailOf(text));
        }
        if (c.diskFull) {
            const std::string full = CatalogText(Msg{kTextDiskFull});
            expected.push_back(Error(FormatCatalogText(
                Msg{kTextDiskFullFree}, full, static_cast<uint32_t>(c.after.first / kMb),
                static_cast<uint32_t>(c.after.second / kMb))));
            expected.push_back(MailOf(full));
        }
    }
    EXPECT_EQ(log, expected);
    EXPECT_EQ(m_world.current, c.switchedTo == -1 ? c.current : c.switchedTo);
}

INSTANTIATE_TEST_SUITE_P(Cases, DiskSpaceCheck, ::testing::ValuesIn(kSpaceCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(StorageKeeperTest, TheSwitchIsStickyAndAFailedMeasurementKeepsTheLastValue) {
    m_keeper.Configure({.quota1Mb = 50, .quota2Mb = 50, .delSizeMb = 50});
    struct Step {
        std::optional<uint64_t> free1, free2;
        int current;  // after the check
    };
    const Step steps[] = {
        {10 * kMb, 100 * kMb, 1},      // first root full: the second takes over
        {100 * kMb, 100 * kMb, 1},     // the first has room again: recording stays
        {100 * kMb, std::nullopt, 1},  // the second cannot be measured: its 100 MB count
        {100 * kMb, 40 * kMb, 0},      // the second misses its quota: back to the first
        {std::nullopt, 40 * kMb, 0},   // the first keeps its last 100 MB
    };
    for (const Step& step : steps) {
        m_world.space[m_world.dirs[0]] = step.free1;
        m_world.space[m_world.dirs[1]] = step.free2;
        m_keeper.CheckDiskSpace();
        EXPECT_EQ(m_world.current, step.current);
    }
    const std::vector<std::string> log = m_world.Take();
    EXPECT_EQ(std::count(log.begin(), log.end(), "select 1"), 1);
    EXPECT_EQ(std::count(log.begin(), log.end(), "select 0"), 1);
    EXPECT_EQ(std::count_if(log.begin(), log.end(),
                            [](const std::string& l) { return l.starts_with("delete"); }),
              0);
}

TEST_F(StorageKeeperTest, ClientSettersChangeTheQuotasAndTheDeletionSize) {
    m_keeper.Configure({.quota1Mb = 50, .quota2Mb = 50, .delSizeMb = 50});
    m_world.space[m_world.dirs[0]] = 60 * kMb;
    m_world.space[m_world.dirs[1]] = 60 * kMb;
    m_keeper.CheckDiskSpace();
    EXPECT_TRUE(m_world.Take().empty());

    m_keeper.SetQuotas(100, 70);
    m_keeper.SetDeleteSize(0xFFFFFFFFu);  // more than the database takes
    m_world.results = {5};
    m_keeper.CheckDiskSpace();
    const std::vector<std::string> log = m_world.Take();
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ(log[0], Error(FormatCatalogText(Msg{kTextDisk1Free}, 60u, 100u)));
    EXPECT_EQ(log[1], Error(FormatCatalogText(Msg{kTextDisk2Free}, 60u, 70u)));
    EXPECT_EQ(log[3], "delete oldest 2147483647");
    const StorageSettings current = m_keeper.Current();
    EXPECT_EQ(current.quota1Mb, 100u);
    EXPECT_EQ(current.quota2Mb, 70u);
    EXPECT_EQ(current.delSizeMb, 0xFFFFFFFFu);
}

// ---- Deletion by age -------------------------------------------------------

// The wall time of a local date and time.
IClock::WallTime LocalWall(int year, int month, int day, int hour, int minute) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_isdst = -1;
    return IClock::WallTime{std::chrono::seconds{std::mktime(&t)}};
}

struct AgeStep {
    int day, hour, minute;  // local time in March 2026
    int32_t result;         // the database's answer, when asked
    const char* deletion;   // the date asked for, or nullptr when not asked
};

struct AgeCase {
    const char* name;
    bool enable;
    uint32_t days;
    std::vector<AgeStep> steps;
};

// clang-format off
const AgeCase kAgeCases[] = {
    {"OffNeverDeletes", false, 30, {{10, 12, 0, 5, nullptr}, {11, 12, 0, 5, nullptr}}},
    {"OncePerCalendarDay",
     true,
     30,
     {{10, 12, 0, 7, "2026-02-08"},
      {10, 12, 10, 7, nullptr},
      {10, 23, 59, 7, nullptr},
      {11, 0, 0, 0, "2026-02-09"},
      {11, 0, 10, 0, nullptr}}},
    {"FailedDeletionIsRetriedOnEveryTick",
     true,
     1,
     {{10, 12, 0, -1, "2026-03-09"},
      {10, 12, 0, kThrow, "2026-03-09"},
      {10, 12, 0, 3, "2026-03-09"},
      {10, 12, 0, 3, nullptr}}},
    {"StorageDaysZeroDeletesEverythingBeforeToday",
     true,
     0,
     {{10, 8, 0, 1, "2026-03-10"}, {10, 9, 0, 1, nullptr}, {12, 9, 0, 1, "2026-03-12"}}},
    {"StorageDaysTooLargeForADateDeleteNothing", true, 0xFFFFFFFFu, {{10, 12, 0, 1, nullptr}}},
};
// clang-format on

class DeleteByAge : public StorageKeeperTest, public ::testing::WithParamInterface<AgeCase> {};

TEST_P(DeleteByAge, RunsOnceADayAndKeepsTheDateOfTheLastSuccess) {
    const AgeCase& c = GetParam();
    m_keeper.Configure({.deleteByAgeEnable = c.enable ? 1u : 0u, .storageDays = c.days});
    IniFile settings(m_dir.File("ZORV_18.ini"));
    StoredDateTime lastWritten{};
    for (const AgeStep& step : c.steps) {
        SCOPED_TRACE(testing::Message()
                     << "March " << step.day << " " << step.hour << ":" << step.minute);
        m_clock.Set(LocalWall(2026, 3, step.day, step.hour, step.minute));
        m_world.results = {step.result};
        m_keeper.CheckDeleteByAge();
        const std::vector<std::string> log = m_world.Take();
        if (step.deletion == nullptr) {
            EXPECT_TRUE(log.empty());
            continue;
        }
        std::vector<std::string> expected = {Error(CatalogText(Msg{kTextDeletionStart})),
                                             std::string("delete before ") + step.deletion};
        if (step.result == kThrow) {
            expected.push_back("post 3,119,40,0");
        } else if (step.result != -1) {
            const std::string text = DeletedText(static_cast<uint32_t>(step.result));
            expected.push_back(Error(text));
            expected.push_back(Error(FilesText(step.result)));
            expected.push_back(MailOf(text));
        }
        EXPECT_EQ(log, expected);
        // The date is written only after a successful deletion.
        StoredDateTime stored{};
        const bool written =
            settings.GetStruct("DeleteFilesAtDate", "LastDeleteFilesDate", &stored, sizeof stored);
        const bool succeeded = step.result >= 0;
        if (succeeded) {
            ASSERT_TRUE(written);
            EXPECT_EQ(stored.year, 2026);
            EXPECT_EQ(stored.month, 3);
            EXPECT_EQ(stored.day, step.day);
            EXPECT_EQ(stored.hour, step.hour);
            lastWritten = stored;
        } else if (written) {
            EXPECT_EQ(std::memcmp(&stored, &lastWritten, sizeof stored), 0);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, DeleteByAge, ::testing::ValuesIn(kAgeCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(StorageKeeperTest, ADateReadAtTheStartHoldsTheDeletionUntilTheNextDay) {
    StoredDateTime today{2026, 3, 2, 10, 1, 2, 3, 0};
    m_keeper.Configure({.deleteByAgeEnable = 1, .storageDays = 90, .lastDeleteFilesDate = today});
    m_world.results = {0, 0};
    m_clock.Set(LocalWall(2026, 3, 10, 23, 59));
    m_keeper.CheckDeleteByAge();
    EXPECT_TRUE(m_world.Take().empty());
    m_clock.Set(LocalWall(2026, 3, 11, 0, 0));
    m_keeper.CheckDeleteByAge();
    const std::vector<std::string> log = m_world.Take();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[1], "delete before 2025-12-11");
}

TEST_F(StorageKeeperTest, TheAgeSettersWriteTheirKeys) {
    m_keeper.SetDeleteByAge(true, 0);
    EXPECT_TRUE(m_keeper.GetDeleteByAge().enable);
    EXPECT_EQ(m_keeper.GetDeleteByAge().days, 0u);
    IniFile settings(m_dir.File("ZORV_18.ini"));
    EXPECT_EQ(settings.Find("DeleteFilesAtDate", "Enable"), "1");
    EXPECT_EQ(settings.Find("DeleteFilesAtDate", "StorageDaysCount"), "0");
    m_keeper.SetDeleteByAge(false, 4000000000u);
    EXPECT_EQ(settings.Find("DeleteFilesAtDate", "Enable"), "0");
    EXPECT_EQ(settings.Find("DeleteFilesAtDate", "StorageDaysCount"), "4000000000");
    EXPECT_EQ(m_keeper.Current().storageDays, 4000000000u);
}

TEST_F(StorageKeeperTest, ADeletionThatFailsJournalsTheFilesItRemovedBefore) {
    m_keeper.Configure({.deleteByAgeEnable = 1, .storageDays = 30});
    m_clock.Set(LocalWall(2026, 3, 10, 12, 0));
    m_world.filesBeforeFailure = 2;
    for (const int32_t failure : {-1, kThrow}) {
        m_world.results = {failure};
        m_keeper.CheckDeleteByAge();
        const std::vector<std::string> log = m_world.Take();
        EXPECT_EQ(std::count(log.begin(), log.end(), Error(FilesText(2))), 1) << failure;
        EXPECT_EQ(std::count_if(log.begin(), log.end(),
                                [](const std::string& l) { return l.starts_with("mail"); }),
                  0);
    }
}

}  // namespace
}  // namespace zorv::test
