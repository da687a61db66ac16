// The device layer of the server with a simulated board and a real settings
// file: the channels finished after the devices start, the channel defaults
// and the per-channel settings writers.
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

}  // namespace
}  // namespace zorv::test
