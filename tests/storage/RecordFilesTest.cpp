// Record files on disk: names and layouts, the file counter, short records,
// the hand-off to the record database, the metadata in the file, monitor
// records.
#include <gtest/gtest.h>
#include <sys/xattr.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>

#include "core/ProductNames.h"
#include "storage/RecordFiles.h"
#include "support/ChannelDoubles.h"
#include "support/TempDir.h"

namespace zorv::test {
namespace {

namespace fs = std::filesystem;

class CFakeOwner final : public IRecordFileOwner {
public:
    int DeviceIndex() const override { return 2; }
    int FirstLine() const override { return 7; }
    uint32_t SerialNumber() const override { return 4711; }
    std::string ServerName() const override { return "Office server with a long name"; }
    std::string RecordRoot() const override { return m_root; }
    std::string FileSuffix() const override { return "z18"; }
    std::string DaySuffix() const override { return "zr18"; }
    uint32_t MinRecordSeconds() const override { return 5; }
    uint32_t MaxRecordSeconds() const override { return 3600; }
    bool RegisterAtStart() const override { return m_register; }
    uint32_t ChannelCompress(int) const override { return m_compress; }
    uint32_t ChannelSampleRate(int) const override { return 8000; }
    std::string ChannelAlias(int) const override { return m_alias; }

    std::string m_root;
    bool m_register = false;
    uint32_t m_compress = 0;
    std::string m_alias;
};

// What the files ask of the database: the operation and the record's Format
// at that moment.
class CQueueLog final : public IRecordQueue {
public:
    bool AddDbRecord(tagDB_Record& r) override {
        r.Format = 4;
        m_log.push_back("add(4)");
        return true;
    }
    bool UpdateDbRecord(tagDB_Record& r, int32_t registered, int32_t interim) override {
        m_log.push_back(fmt::format("update({},{},{})", static_cast<uint32_t>(r.Format), registered, interim));
        m_last = r;
        return true;
    }
    bool DeleteDbRecord(const tagDB_Record&) override {
        m_log.push_back("delete");
        return true;
    }
    std::vector<std::string> m_log;
    tagDB_Record m_last{};
};

bool HasHiddenMark(const std::string& path) {
    const std::string name = "user." + CProductNames::Instance().Prefix() + ".hidden";
    char value = 0;
    return ::getxattr(path.c_str(), name.c_str(), &value, 1) > 0;
}

bool FileSystemKeepsMarks(const std::string& dir) {
    const std::string probe = dir + "/probe";
    std::ofstream(probe) << "x";
    const bool ok = ::setxattr(probe.c_str(), "user.probe", "1", 1, 0) == 0;
    fs::remove(probe);
    return ok;
}

class RecordFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_owner.m_root = m_dir.File("rec");
        m_clock.Set(std::chrono::sys_days{std::chrono::year{2009} / 3 / 5} + std::chrono::hours{14} +
                    std::chrono::minutes{2} + std::chrono::seconds{9} -
                    std::chrono::seconds{LocalOffsetSeconds()});
    }
    // The clock is set in UTC; names use local time.
    static long LocalOffsetSeconds() {
        std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        return local.tm_gmtoff;
    }
    // A record of `seconds` of audio on channel 0 with Compress compress.
    std::string Record(CRecordFiles& files, uint32_t compress, double seconds, uint32_t inout = 3) {
        RecordStart start;
        start.compress = compress;
        start.stateLine = inout;
        EXPECT_TRUE(files.OpenRecord(0, start));
        const std::string name = files.Metadata(0).namefile;
        std::vector<int16_t> audio(static_cast<size_t>(seconds * 8000), 1000);
        EXPECT_EQ(files.WriteRecord(0, audio.data(), audio.size() * 2), audio.size() * 2);
        files.FinishRecord(0);
        return name;
    }

    CTempDir m_dir;
    CFakeOwner m_owner;
    CManualClock m_clock;
    CallLog m_log;
    CPostRecorder m_server{m_log};
    CQueueLog m_queue;
};

TEST_F(RecordFilesTest, NamesAndLayouts) {
    CRecordFiles files(m_owner, m_server, &m_queue, m_clock, 2);
    // Flat layout (Compress 1): in the root; the counter moves at open and close.
    EXPECT_EQ(Record(files, 1, 1), m_dir.File("rec/2009030514020900702z18.wav"));
    EXPECT_EQ(files.FileCounter(0), 2u);
    // Day layout: in the day directory, with the counter as it stands.
    EXPECT_EQ(Record(files, 0, 6), m_dir.File("rec/20090305.zr18/2009030514020900722z18.wav"));
    EXPECT_EQ(files.FileCounter(0), 3u);
    EXPECT_EQ(CRecordFiles::DayDirectory("/r", LocalTime{2026, 1, 2}, "zr18"), "/r/20260102.zr18/");
}

TEST_F(RecordFilesTest, ExistingRecordIsNeverOverwritten) {
    CRecordFiles files(m_owner, m_server, &m_queue, m_clock, 1);
    fs::create_directories(m_dir.File("rec"));
    const std::string taken = m_dir.File("rec/2009030514020900702z18.wav");
    std::ofstream(taken) << "an older record";
    const std::string name = Record(files, 1, 1);
    EXPECT_EQ(name, m_dir.File("rec/2009030514020900712z18.wav"));
    std::ifstream in(taken);
    std::string text;
    std::getline(in, text);
    EXPECT_EQ(text, "an older record");
    // Consecutive records within one second never share a name.
    EXPECT_NE(Record(files, 0, 6), Record(files, 0, 6));
}

TEST_F(RecordFilesTest, ANameTakenForAThousandTriesFailsTheOpenAndTouchesNothing) {
    struct Case {
        uint32_t compress;
        const char* directory;
        std::string failure;
    };
    const Case cases[] = {
        {1, "rec", fmt::format("post(6,3,7,{})", EEXIST)},  // flat: with the system error
        {0, "rec/20090305.zr18", "post(6,3,7,0)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.compress);
        m_log.clear();
        CRecordFiles files(m_owner, m_server, &m_queue, m_clock, 1);
        // Every name from the channel's counter on is taken, for more tries
        // than the recorder makes.
        fs::create_directories(m_dir.File(c.directory));
        std::vector<std::string> taken;
        for (uint32_t counter = 0; counter <= 1000; ++counter) {
            taken.push_back(
                m_dir.File(fmt::format("{}/20090305140209007{}2z18.wav", c.directory, counter)));
            std::ofstream(taken.back()) << "record " << counter;
        }
        RecordStart start;
        start.compress = c.compress;
        EXPECT_FALSE(files.OpenRecord(0, start));
        EXPECT_FALSE(files.IsRecordOpen(0));
        EXPECT_EQ(m_log, (CallLog{c.failure}));
        for (uint32_t counter = 0; counter <= 1000; ++counter) {
            std::ifstream in(taken[counter]);
            std::string text;
            std::getline(in, text);
            ASSERT_EQ(text, "record " + std::to_string(counter));
        }
        fs::remove_all(m_dir.File("rec"));
    }
}

TEST_F(RecordFilesTest, ShortDayLayoutRecordsAreThrownAway) {
    struct Case {
        uint32_t compress;
        double seconds;
        bool registered;
        bool kept;
        std::vector<std::string> database;
    };
    const std::vector<Case> cases = {
        {0, 5.0, false, true, {"update(0,0,0)"}},      // exactly the minimum stays
        {0, 4.99, false, false, {}},                    // one sample less goes
        {0, 2.0, true, false, {"add(4)", "delete"}},    // a registered one leaves the database too
        {1, 2.0, false, true, {}},                      // flat: the compressor judges it
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.seconds);
        m_owner.m_register = c.registered;
        m_queue.m_log.clear();
        CRecordFiles files(m_owner, m_server, &m_queue, m_clock, 1);
        const std::string name = Record(files, c.compress, c.seconds);
        EXPECT_EQ(fs::exists(name), c.kept);
        EXPECT_EQ(m_queue.m_log, c.database);
    }
}

TEST_F(RecordFilesTest, DatabaseHandOffForEveryModeAndLayout) {
    struct Case {
        bool registerAtStart;
        uint32_t compress;
        std::vector<std::string> database;
    };
    const std::vector<Case> cases = {
        {false, 0, {"update(0,0,0)"}},            // entered when finished
        {true, 0, {"add(4)", "update(4,0,0)"}},   // entered at its start, finished at the close
        {true, 1, {"add(4)", "update(5,1,1)"}},   // waits for the compressor
        {false, 1, {}},                           // the compressor enters it
    };
    // The hidden mark is the registered flag: set at the open of a registered
    // record and kept after its close (the day layout stays hidden, the flat
    // layout waits for the compressor, which reads it). Where the file system
    // keeps no user extended attributes, a side record holds it.
    struct Store {
        CHiddenMark::Store store;
        std::function<bool(const std::string&)> marked;
    };
    std::vector<Store> stores = {
        {CHiddenMark::Store::kSideRecord,
         [](const std::string& name) { return fs::exists(CHiddenMark::SideRecord(name)); }},
    };
    if (FileSystemKeepsMarks(m_dir.Path())) {
        stores.push_back({CHiddenMark::Store::kAttribute, HasHiddenMark});
    }
    for (const Store& store : stores) {
        const CHiddenMark marks(store.store);
        for (const Case& c : cases) {
            SCOPED_TRACE(fmt::format("{} {} {}", static_cast<int>(store.store), c.registerAtStart,
                                     c.compress));
            m_owner.m_register = c.registerAtStart;
            m_queue.m_log.clear();
            CRecordFiles files(m_owner, m_server, &m_queue, m_clock, 1, &marks);
            RecordStart start;
            start.compress = c.compress;
            start.stateLine = 3;
            ASSERT_TRUE(files.OpenRecord(0, start));
            const std::string name = files.Metadata(0).namefile;
            EXPECT_EQ(store.marked(name), c.registerAtStart);
            std::vector<int16_t> audio(8000 * 6, 100);
            files.WriteRecord(0, audio.data(), audio.size() * 2);
            files.FinishRecord(0);
            EXPECT_EQ(m_queue.m_log, c.database);
            EXPECT_EQ(store.marked(name), c.registerAtStart);
            EXPECT_EQ(marks.Has(name), c.registerAtStart);
        }
    }
}

TEST_F(RecordFilesTest, MetadataInTheFile) {
    CRecordFiles files(m_owner, m_server, &m_queue, m_clock, 1);
    files.SetOwnNumber(0, "4950001122", false);
    {
        tagDB_Record& meta = files.Metadata(0);
        SetText(meta.TlfString_2, "");
        meta.rhour = 14;  // the line logic set the ring time
    }
    const std::string name = Record(files, 0, 6.2, 3);
    CWavFile reader;
    ASSERT_EQ(reader.OpenForReading(name), CWavFile::kOpenReady);
    const tagDB_Record& r = reader.getDbRecord();
    const uint32_t year = r.year, mon = r.mon, day = r.day, hour = r.hour, min = r.min, sec = r.sec;
    EXPECT_EQ(year, 2009u);
    EXPECT_EQ(mon, 3u);
    EXPECT_EQ(day, 5u);
    EXPECT_EQ(hour, 14u);
    EXPECT_EQ(min, 2u);
    EXPECT_EQ(sec, 9u);
    const uint32_t line = r.NChanel, inout = r.inout, format = r.Format, rhour = r.rhour;
    EXPECT_EQ(line, 7u);
    EXPECT_EQ(inout, 3u);
    EXPECT_EQ(format, 0u);  // the file's copy always says "finished as PCM"
    EXPECT_EQ(rhour, 14u);
    const uint32_t dsek = r.dsek, serial = r.deviceSerialNumber;
    EXPECT_EQ(dsek, 6u);
    EXPECT_EQ(serial, 4711u);
    EXPECT_EQ(GetText(r.serverName), "Office server with a");  // 20 characters
    EXPECT_EQ(GetText(r.namefile), name);
    EXPECT_EQ(GetText(r.TlfString_2), "4950001122");  // the own number on an incoming call
    EXPECT_EQ(reader.getSamplesCount(), 49600u);
    // Numbers and remark are cleared for the next record.
    EXPECT_EQ(GetText(files.Metadata(0).TlfString_2), "");
}

TEST_F(RecordFilesTest, RecordThatCannotBeCreatedIsReported) {
    std::ofstream(m_dir.File("plain")) << "x";
    m_owner.m_root = m_dir.File("plain/rec");  // a directory below a file
    CRecordFiles files(m_owner, m_server, &m_queue, m_clock, 1);
    RecordStart start;
    start.compress = 0;
    EXPECT_FALSE(files.OpenRecord(0, start));
    EXPECT_FALSE(files.IsRecordOpen(0));
    EXPECT_EQ(m_log, (CallLog{"post(6,3,7,0)"}));
    EXPECT_TRUE(m_queue.m_log.empty());
}

TEST_F(RecordFilesTest, MonitorRecords) {
    CRecordFiles files(m_owner, m_server, &m_queue, m_clock, 2);
    files.PrepareFormat(1, 2, 8000);  // a stereo master: its monitor is mono all the same
    EXPECT_TRUE(files.StartMonitor(1));
    EXPECT_TRUE(files.IsMonitorRunning(1));
    std::vector<int16_t> block(64, 500);
    for (int i = 0; i < 125 * 6; ++i) {
        files.WriteMonitorBlock(1, block.data(), block.size());
        files.WriteMonitorBlock(0, block.data(), block.size());  // not running: nothing
    }
    EXPECT_TRUE(files.StopMonitor(1));
    EXPECT_TRUE(files.StopMonitor(1));  // stopping a stopped one does nothing
    const std::string name = m_queue.m_last.namefile;
    EXPECT_NE(name.find("_rmo_z18.wav"), std::string::npos);
    CWavFile reader;
    ASSERT_EQ(reader.OpenForReading(name), CWavFile::kOpenReady);
    EXPECT_EQ(reader.GetWfx()->nChannels, 1);
    const uint32_t inout = reader.getDbRecord().inout;
    EXPECT_EQ(inout, 12u);
    EXPECT_EQ(reader.getSamplesCount(), 64u * 125 * 6);

    // A monitor record that cannot open stays off.
    std::ofstream(m_dir.File("plain")) << "x";
    m_owner.m_root = m_dir.File("plain/rec");
    EXPECT_TRUE(files.StartMonitor(0));
    EXPECT_FALSE(files.IsMonitorRunning(0));
}

}  // namespace
}  // namespace zorv::test
