// Records offered by other programs are checked before they reach the record
// database: texts terminated, a known Format, times in range, and a record
// file the server could have written below a record root, which no record of
// the database owns yet (through the D-Bus method addDataBaseRecord).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sdbus-c++/sdbus-c++.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "ServerTestSupport.h"
#include "core/LocalBusNames.h"
#include "platform/Cp1251.h"
#include "server/RecordIntake.h"
#include "server/RecordServer.h"
#include "storage/RecordDbTestSupport.h"
#include "support/ChildProcess.h"
#include "support/JournalReader.h"
#include "support/PrivateBus.h"
#include "support/RecordFiles.h"
#include "support/TempDir.h"

namespace zorv::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

tagDB_Record OfferedRecord(const std::string& namefile) {
    tagDB_Record r{};
    r.year = 2026;
    r.mon = 12;
    r.day = 11;
    r.hour = 9;
    r.Format = kFormatPcm;
    SetText(r.namefile, namefile);
    return r;
}

TEST(RecordIntakeTest, OfferedRecordsAreCheckedBeforeUse) {
    CTempDir dir;
    const std::string root = dir.File("records/DvrFiles");
    const std::string second = dir.File("second");
    const std::vector<std::string> roots = {root + "/", second};
    const auto name = [](uint32_t second) { return RecordName(2026, 12, 11, 9, 0, second); };
    WriteRecordFile(root + "/" + name(0), 4096);
    WriteRecordFile(second + "/20261211.zr18/" + name(1), 4096);
    WriteRecordFile(root + "/notes.wav", 4096);
    WriteFileOfSize(root + "/" + name(2), 4096);
    fs::create_symlink(root + "/" + name(0), root + "/" + name(3));
    WriteRecordFile(dir.File("outside/") + name(4), 4096);
    fs::create_symlink(dir.File("outside/") + name(4), root + "/" + name(4));
    fs::create_directories(root + "/" + name(5));
    WriteRecordFile(root + "/" + name(6), 4096);
    const int writer = ::open((root + "/" + name(6)).c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_EQ(::flock(writer, LOCK_SH | LOCK_NB), 0);  // a recorder still at work
    WriteRecordFile(dir.File("records/DvrFilesX/") + name(8), 4096);
    struct Case {
        const char* what;
        std::string namefile;
        void (*change)(tagDB_Record&);
        bool taken;
    };
    const auto same = [](tagDB_Record&) {};
    const Case cases[] = {
        {"a record", root + "/" + name(0), same, true},
        {"in a day directory of the second root", second + "/20261211.zr18/" + name(1), same, true},
        {"no call recorded (hour 99)", root + "/" + name(0), [](tagDB_Record& r) { r.hour = 99; },
         true},
        {"Format 5 (waiting for the compressor)", root + "/" + name(0),
         [](tagDB_Record& r) { r.Format = kFormatWaiting; }, true},
        {"not named as a record", root + "/notes.wav", same, false},
        {"a record's name without a record header", root + "/" + name(2), same, false},
        {"a link to a record", root + "/" + name(3), same, false},
        {"a link to a record outside", root + "/" + name(4), same, false},
        {"a directory named as a record", root + "/" + name(5), same, false},
        {"held by its recorder", root + "/" + name(6), same, false},
        {"no such file", root + "/" + name(7), same, false},
        {"a root's neighbour", dir.File("records/DvrFilesX/") + name(8), same, false},
        {"the root itself", second + "/", same, false},
        {"out of the root by ..", second + "/../records/DvrFiles/" + name(0), same, false},
        {"back into the root by ..", root + "/x/../" + name(0), same, false},
        {"a relative path", "second/20261211.zr18/" + name(1), same, false},
        {"no file", "", same, false},
        {"namefile not terminated", root + "/" + name(0),
         [](tagDB_Record& r) { std::memset(r.namefile, 'a', sizeof(r.namefile)); }, false},
        {"caller number not terminated", root + "/" + name(0),
         [](tagDB_Record& r) { std::memset(r.TlfString_1, '5', sizeof(r.TlfString_1)); }, false},
        {"document not terminated", root + "/" + name(0),
         [](tagDB_Record& r) { std::memset(r.document, 'd', sizeof(r.document)); }, false},
        {"Format 2", root + "/" + name(0), [](tagDB_Record& r) { r.Format = 2; }, false},
        {"month 13", root + "/" + name(0), [](tagDB_Record& r) { r.mon = 13; }, false},
        {"hour 24", root + "/" + name(0), [](tagDB_Record& r) { r.hour = 24; }, false},
        {"duration minute 60", root + "/" + name(0), [](tagDB_Record& r) { r.dmin = 60; }, false},
    };
    for (const Case& c : cases) {
        tagDB_Record record = OfferedRecord(c.namefile);
        c.change(record);
        EXPECT_EQ(CheckOfferedRecord(record, roots).empty(), c.taken) << c.what;
    }
    EXPECT_FALSE(CheckOfferedRecord(OfferedRecord(root + "/" + name(0)), {}).empty())
        << "no record root";
    ::close(writer);
}

// Whether the journal (windows-1251) holds the text within a few seconds.
bool JournalHas(const CRecordServer& server, const std::string& utf8) {
    const std::string text = Utf8ToCp1251(utf8);
    return PollUntil(
        [&] {
            for (const std::string& line : JournalTexts(server.JournalPath())) {
                if (line.find(text) != std::string::npos) {
                    return true;
                }
            }
            return false;
        },
        5s);
}

TEST(RecordIntakeTest, TheGatewayRefusesFilesARecordOwnsAndFilesThatAreNoRecords) {
    CPrivateBus bus;
    ASSERT_TRUE(bus.Running());
    CTempDir dir;
    std::ofstream(dir.File("ZORV_18.ini"), std::ios::app)
        << "[LocalInterface]\nBus=" << bus.Address() << "\n";
    auto server = StartSimulatedServer(dir, OneSimulatedBoard());
    auto connection = sdbus::createSessionBusConnectionWithAddress(bus.Address());
    auto gateway = sdbus::createProxy(*connection, kLocalBusName, kDbGatewayPath);
    const auto offer = [&](const tagDB_Record& r) {
        const auto* p = reinterpret_cast<const uint8_t*>(&r);
        int32_t err = -9;
        gateway->callMethod("addDataBaseRecord")
            .onInterface(kDbGatewayInterfaceName)
            .withArguments(std::vector<uint8_t>(p, p + sizeof(r)))
            .storeResultsTo(err);
        return err;
    };
    const std::string root = server->RecordDirectory(0);
    const std::string owned = root + "/20261211.zr18/" + RecordName(2026, 12, 11, 9, 0, 0);
    WriteRecordFile(owned, 64 * 1024);
    ASSERT_EQ(offer(OfferedRecord(owned)), 1);
    ASSERT_TRUE(PollUntil([&] { return RecordRows(dir.File("ZORV.dbf")) == 1; }, 10s));

    // A forged row for the same file, with a date that would have it deleted
    // first; and one naming the record under the same name elsewhere.
    tagDB_Record forged = OfferedRecord(owned);
    forged.year = 1980;
    forged.mon = 1;
    forged.day = 1;
    EXPECT_EQ(offer(forged), 0);
    EXPECT_TRUE(JournalHas(*server, "Record offered for the database refused: the record file \"" +
                                        owned + "\" belongs to a record of the database already"));
    const std::string copy = root + "/" + RecordName(2026, 12, 11, 9, 0, 0);
    WriteRecordFile(copy, 4096);
    EXPECT_EQ(offer(OfferedRecord(copy)), 0);

    // Files that are no records of this server.
    const std::string notes = root + "/notes.wav";
    WriteRecordFile(notes, 4096);
    const std::string text = root + "/" + RecordName(2026, 12, 11, 9, 0, 1);
    WriteFileOfSize(text, 4096);
    const std::string link = root + "/" + RecordName(2026, 12, 11, 9, 0, 2);
    fs::create_symlink(owned, link);
    const struct {
        std::string file;
        const char* reason;
    } refused[] = {
        {notes, "is not named or placed as a record file"},
        {text, "has no record header with its metadata"},
        {link, "is reached through a symbolic link"},
    };
    for (const auto& r : refused) {
        EXPECT_EQ(offer(OfferedRecord(r.file)), 0) << r.file;
        EXPECT_TRUE(JournalHas(*server, "the record file \"" + r.file + "\" " + r.reason))
            << r.file;
    }
    // A record of its own is still taken.
    const std::string fresh = root + "/20261211.zr18/" + RecordName(2026, 12, 11, 10, 0, 0);
    WriteRecordFile(fresh, 4096);
    EXPECT_EQ(offer(OfferedRecord(fresh)), 1);
    EXPECT_TRUE(PollUntil([&] { return RecordRows(dir.File("ZORV.dbf")) == 2; }, 10s));
}

}  // namespace
}  // namespace zorv::test
