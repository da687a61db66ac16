// The device layer of the server with a simulated board and a real settings
// file: the channels finished after the devices start, the channel defaults,
// the per-channel settings writers and their getters, the monitor record and
// the record lengths clients set.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <optional>

#include "devices/DspDevice.h"
#include "simulation/SimulatedBoardOpener.h"
#include "server/RecordServer.h"
#include "support/ChildProcess.h"
#include "ServerTestSupport.h"
#include "support/TempDir.h"

namespace zorv::test {
namespace {

using namespace std::chrono_literals;

class DeviceServerTest : public ::testing::Test {
protected:
    // A server with one simulated board of twelve channels (groups 0 and 1),
    // started on the settings text given.
    void Start(const std::string& settings) {
        std::ofstream(m_dir.File("ZORV_18.ini")) << settings;
        SimBoardConfig config;
        config.infoWord = 0x00012066;
        auto opener = std::make_unique<CSimulatedBoardOpener>(std::vector<SimBoardConfig>{config},
                                                              CSimulatedBoard::Clock::Virtual);
        m_server = StartSimulatedServer(m_dir, std::move(opener));
        ASSERT_EQ(m_server->State(), SS_RUNNING);
        m_device = dynamic_cast<CDspDevice*>(m_server->Device(0));
        ASSERT_NE(m_device, nullptr);
        ASSERT_EQ(m_device->SettingsNumber(), 0u);
    }
    void TearDown() override {
        if (m_server) {
            m_server->Stop();
        }
    }
    tagChanelState State(int channel) { return m_device->Bank()->GetChannelState(channel); }
    std::optional<std::string> Stored(int channel, const char* key) {
        return IniFile(m_dir.File("ZORV_18.ini")).Find("Channel0-" + std::to_string(channel), key);
    }

    CTempDir m_dir;
    std::unique_ptr<CRecordServer> m_server;
    CDspDevice* m_device = nullptr;
};

TEST_F(DeviceServerTest, ChannelsAreFinishedOnceTheDevicesRun) {
    Start(
        "[Channel0-2]\nActivate=1\nMode=2\nSlaveChannel=3\n"
        "[Channel0-3]\nActivate=1\nMode=3\nSlaveChannel=2\nHardActivateEnable=1\n"
        "[Channel0-4]\nActivate=1\nHardActivateEnable=1\n"
        "[Channel0-5]\nActivate=2\nHardActivateEnable=1\n");
    // The channels are finished by the start-devices message, which may still
    // be at work when the server reports running.
    ASSERT_TRUE(PollUntil([&] { return State(4).StateLine == CS_MANUAL; }, 10s));
    // The pair whose master has the higher index, recording from the start.
    EXPECT_EQ(State(3).StateLine, static_cast<uint32_t>(CS_MANUAL));
    EXPECT_EQ(State(3).State, 1u);
    EXPECT_EQ(State(2).StateLine, static_cast<uint32_t>(CS_STEREO_SLAVE));
    EXPECT_EQ(State(2).State, 1u);
    // A mono level channel records from the start.
    EXPECT_EQ(State(4).StateLine, static_cast<uint32_t>(CS_MANUAL));
    EXPECT_EQ(State(4).State, 1u);
    // A line channel follows its line only.
    EXPECT_EQ(State(5).StateLine, static_cast<uint32_t>(CS_FREE));
    EXPECT_EQ(State(5).State, 0u);
    // Nothing of this is written back.
    EXPECT_EQ(Stored(3, "Mode"), "3");
    EXPECT_EQ(Stored(4, "Mode"), std::nullopt);
}

TEST_F(DeviceServerTest, ChannelDefaultsAreRead) {
    Start("[Default-Param]\nCompression=0\nTOn=3\nTOff=9\nTreshold=1000\n");
    const DefaultParams d = m_server->ChannelDefaults();
    EXPECT_EQ(d.compression, 0u);
    EXPECT_EQ(d.tOn, 3u);
    EXPECT_EQ(d.tOff, 9u);
    EXPECT_EQ(d.treshold, 1000u);
}

TEST_F(DeviceServerTest, SettingsWritersChangeTheDeviceAndStoreTheirKeys) {
    Start("[Channel0-1]\nActivate=1\n[Channel0-6]\nActivate=1\n");
    CDeviceServer& s = *m_server;
    struct Case {
        const char* name;
        std::function<int()> write;
        int channel;
        const char* key;
        std::optional<std::string> stored;
    };
    LineParams line = kDefaultLineParams;
    line.LineRingLevel = 66;
    const Case cases[] = {
        {"enable", [&] { return s.SetChannelEnable(0, 7, 8, 0); }, 8, "Enable", "0"},
        {"activate", [&] { return s.SetChannelActivate(0, 0, 1, 3); }, 1, "Activate", "3"},
        {"compress", [&] { return s.SetChannelCompress(0, 1, 1, 0); }, 1, "Compression", "0"},
        {"TOn", [&] { return s.SetChannelTOn(0, 1, 1, 80); }, 1, "TOn", "50"},
        {"TOff", [&] { return s.SetChannelTOff(0, 1, 1, 7); }, 1, "TOff", "7"},
        {"threshold", [&] { return s.SetChannelTreshold(0, 1, 1, 2000); }, 1, "Treshold", "2000"},
        {"sample rate", [&] { return s.SetChannelSampleRate(0, 9, 9, 8000); }, 9, "SampleRate",
         "8000"},
        {"stereo", [&] { return s.SetStereoChannel(0, 6, 1); }, 1, "Mode", "2"},
        {"undo stereo", [&] { return s.UndoStereoChannel(0, 6, 1); }, 6, "Mode", "1"},
        {"undo of no pair", [&] { return 1 - s.UndoStereoChannel(0, 10, 11); }, 10, "Mode",
         std::nullopt},
        {"mute", [&] { return s.SetChannelMute(0, 2, true); }, 2, "Mute", "1"},
        {"source signal", [&] { return s.SetChannelSourceSignal(0, 2, 3, 2); }, 3, "SourceSignal",
         "2"},
        {"key", [&] { return s.SetChannelKeyEnable(0, 4, 4, 1); }, 4, "KeyEnable", "1"},
        {"line parameters", [&] { return s.SetTlfParam(0, 5, 5, line); }, 5, "LineRingLevel",
         "066"},
        {"polarity", [&] { return s.SetPolarity(0, 5, 0); }, 5, "Polarity", "0"},
        {"polarity time-out", [&] { return s.SetPolarityCheckTimeOut(0, 5, 20); }, 5,
         "PolarityCheckTimeOut", "20"},
        {"gain", [&] { return s.SetGainAdc(0, 7, 5); }, 7, "Gain", "5"},
        {"caller-number options", [&] { return s.SetAonFlags(0, 7, 4); }, 7, "AonFlags", "4"},
        {"archiving", [&] { return s.SetChannelArchivate(0, 7, 0); }, 7, "Archivate", "0"},
        {"no such device", [&] { return 1 - s.SetChannelArchivate(1, 0, 0); }, 0, "Archivate",
         std::nullopt},
        {"no such channel", [&] { return 1 - s.SetAonFlags(0, 12, 1); }, 12, "AonFlags",
         std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.write(), 1);
        EXPECT_EQ(Stored(c.channel, c.key), c.stored);
    }
    // The device took the changes.
    tagChanelParam p{};
    ASSERT_TRUE(m_device->GetChannelParam(1, p));
    EXPECT_EQ(p.Activate, 1u);  // the slave took its master's (channel 6) in the pair
    EXPECT_EQ(p.TOff, 7u);
    EXPECT_EQ(p.Treshold, 2000);
    EXPECT_EQ(p.Mode, static_cast<uint32_t>(kModeMono));
    EXPECT_EQ(State(8).StateLine, static_cast<uint32_t>(CS_OFF));
    EXPECT_EQ(m_device->GetMute(2), 1);
    EXPECT_EQ(m_device->GetPolarityCheckTimeOut(5), 20);
    LineParams stored{};
    ASSERT_TRUE(m_device->GetLineParams(5, stored));
    EXPECT_EQ(stored.LineRingLevel, 66);
}

TEST_F(DeviceServerTest, GettersReadWhatTheSettersStored) {
    Start("");
    CDeviceServer& s = *m_server;
    ASSERT_EQ(s.SetChannelSourceSignal(0, 2, 2, 2), 1);
    ASSERT_EQ(s.SetChannelKeyEnable(0, 4, 4, 1), 1);
    ASSERT_EQ(s.SetPolarity(0, 5, 0), 1);
    struct Case {
        const char* name;
        std::function<bool(int, int, uint32_t&)> get;
        int channel;
        uint32_t value;  // after the setter above
        uint32_t other;  // of channel 0, never set
    } cases[] = {
        {"source signal",
         [&](int d, int c, uint32_t& v) { return s.GetChannelSourceSignal(d, c, v); }, 2, 2, 1},
        {"key", [&](int d, int c, uint32_t& v) { return s.GetChannelKeyEnable(d, c, v); }, 4, 1,
         0},
        {"polarity", [&](int d, int c, uint32_t& v) { return s.GetPolarity(d, c, v); }, 5, 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        uint32_t v = 99;
        EXPECT_TRUE(c.get(0, c.channel, v));
        EXPECT_EQ(v, c.value);
        EXPECT_TRUE(c.get(0, 0, v));
        EXPECT_EQ(v, c.other);
        EXPECT_FALSE(c.get(0, 12, v));
        EXPECT_FALSE(c.get(1, 0, v));
    }
}

TEST_F(DeviceServerTest, TheMonitorRecordStartsAndStopsOnce) {
    Start("");
    CDeviceServer& s = *m_server;
    bool running = true;
    uint32_t seconds = 9;
    ASSERT_EQ(s.GetMonitorRecord(0, 3, running, seconds), 1);
    EXPECT_FALSE(running);
    EXPECT_EQ(seconds, 0u);
    for (int i = 0; i < 2; ++i) {  // the second start does nothing
        EXPECT_EQ(s.StartMonitorRecord(0, 3), 1);
        ASSERT_EQ(s.GetMonitorRecord(0, 3, running, seconds), 1);
        EXPECT_TRUE(running);
    }
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(s.StopMonitorRecord(0, 3), 1);
        ASSERT_EQ(s.GetMonitorRecord(0, 3, running, seconds), 1);
        EXPECT_FALSE(running);
    }
    EXPECT_EQ(s.StartMonitorRecord(0, 12), 0);
    EXPECT_EQ(s.StopMonitorRecord(1, 0), 0);
    EXPECT_EQ(s.GetMonitorRecord(0, -1, running, seconds), 0);
}

TEST_F(DeviceServerTest, RecordLengthsSetByClientsAreKeptAndStored) {
    Start("[Path]\nMinSizeFile=3\nMaxSizeFile=60\n");
    EXPECT_FALSE(m_server->SetFileSizes(600, 300));  // longest below shortest
    EXPECT_FALSE(m_server->SetFileSizes(5, 90));     // not whole minutes
    EXPECT_EQ(m_server->FileSizesInForce().maxSeconds, 3600u);
    ASSERT_TRUE(m_server->SetFileSizes(5, 1800));
    EXPECT_EQ(m_server->FileSizesInForce().minSeconds, 5u);
    EXPECT_EQ(m_server->FileSizesInForce().maxSeconds, 1800u);
    EXPECT_EQ(m_device->MaxRecordSeconds(), 1800u);
    EXPECT_EQ(m_device->MinRecordSeconds(), 5u);
    const IniFile file(m_dir.File("ZORV_18.ini"));
    EXPECT_EQ(file.Find("Path", "MinSizeFile"), "5");
    EXPECT_EQ(file.Find("Path", "MaxSizeFile"), "30");
}

}  // namespace
}  // namespace zorv::test
