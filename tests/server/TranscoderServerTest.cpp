// Network transcoders through the whole server: simulated transcoders on
// loopback are found by polling, configured by datagram and through the
// text shell, refuse bad passwords, stay silent, move and are found again.
// Each test uses addresses of its own in 127.0.72.0/24 and ports the system
// chose, so the tests run in parallel with any other.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "core/Journal.h"
#include "devices/DatagramTranscoderDriver.h"
#include "devices/DspDevice.h"
#include "devices/Net2Device.h"
#include "devices/Net2Driver.h"
#include "platform/IniFile.h"
#include "server/RecordServer.h"
#include "simulation/SimulatedTranscoder.h"
#include "support/ChildProcess.h"
#include "support/JournalReader.h"
#include "support/TempDir.h"
#include "transcoders/TranscoderRegistry.h"

namespace zorv::test {
namespace {

using namespace std::chrono_literals;

uint32_t Ip(const char* text) {
    return ParseAddressText(text)->ip;
}

SimTranscoderConfig SimConfig(const char* address, SimTranscoderKind kind, uint32_t serial) {
    SimTranscoderConfig config;
    config.kind = kind;
    config.layout =
        kind == SimTranscoderKind::kNet2 ? TranscoderLayout::kNet2Scan : TranscoderLayout::kCurrent;
    config.info.SerialNumber = serial;
    config.info.Channels = 12;
    SetFieldText(config.config.Description, fmt::format("Box {}", serial));
    SetFieldText(config.config.CurrPassword, "config-pw");
    SetFieldText(config.config.StartPassword, "start-pw");
    config.config.ProtectLevel = 2;
    config.config.IpAddr = Ip(address);
    config.config.SubNetMask = Ip("255.0.0.0");
    return config;
}

class TranscoderServerTest : public ::testing::Test {
protected:
    // Starts the simulated transcoders, then the server polling them.
    void StartAll(std::vector<SimTranscoderConfig> configs, uint16_t shellPort = 23) {
        IniFile ini(m_dir.File("Transcoders.ini"));
        ini.WriteString("AdvancedParam", "SearchBroadcastAddress", "127.255.255.255");
        int index = 0;
        for (const SimTranscoderConfig& config : configs) {
            auto transcoder = std::make_unique<CSimulatedTranscoder>(config);
            std::string error;
            ASSERT_TRUE(transcoder->Start(error)) << error;
            if (config.kind == SimTranscoderKind::kNet2) {
                shellPort = transcoder->ShellPort();
            }
            ini.WriteString("PingAddress", fmt::format("Address{}", index++),
                            AddressText({transcoder->Address(), transcoder->ConfigPort()}));
            m_transcoders.push_back(std::move(transcoder));
        }
        ini.WriteUint("AdvancedParam", "ShellPort", shellPort);
        StartServer();
    }
    void StartServer() {
        if (m_server) {
            m_server->Stop();
            m_server.reset();
        }
        ServerEnvironment env;
        env.prefix = "ZORV";
        env.workDir = m_dir.Path();
        env.registryFile = m_dir.File("registry.ini");
        m_server = std::make_unique<CRecordServer>(env);
        ASSERT_TRUE(m_server->Start());
        // Without devices the server does not record, but it runs its
        // transcoder configurator from the start on.
        ASSERT_TRUE(PollUntil([&] { return JournalHas(CatalogText(Msg{229})); }, 10s));
    }
    void TearDown() override {
        if (m_server) {
            m_server->Stop();
        }
    }
    CTranscoderConfigurator& Configurator() { return m_server->Transcoders(); }
    bool FoundCount(uint32_t count) {
        return PollUntil([&] { return Configurator().getFoundTranscodersCount() == count; }, 15s);
    }
    bool JournalHas(const std::string& text) const {
        for (const std::string& t : JournalTexts(m_dir.File("ZORV_18.log"))) {
            if (t == text) {
                return true;
            }
        }
        return false;
    }
    tagStoredTranscoderConfig Registration(const CSimulatedTranscoder& transcoder,
                                           const char* password) {
        tagStoredTranscoderConfig stored{};
        stored.tsSerialNumber = transcoder.Info().SerialNumber;
        stored.tsAddr = transcoder.Address();
        stored.tsPort = transcoder.ConfigPort();
        stored.tsChannelsCount = 12;
        stored.dataPort = 7000;
        stored.deviceClass = kDatagramTranscoder;
        SetFieldText(stored.Password, password);
        return stored;
    }

    // Starts a transcoder registered as started in "Transcoders.ini" with
    // the given start password, then the server that streams from it.
    CSimulatedTranscoder& StartRegistered(const SimTranscoderConfig& config, uint16_t dataPort,
                                          const char* password = "start-pw") {
        auto sim = std::make_unique<CSimulatedTranscoder>(config);
        std::string error;
        EXPECT_TRUE(sim->Start(error)) << error;
        {
            CTranscoderRegistry registry(m_dir.File("Transcoders.ini"));
            registry.Load();
            tagStoredTranscoderConfig stored = Registration(*sim, password);
            stored.tsStarted = 1;
            stored.tsChannelsCount = config.info.Channels;
            stored.dataPort = dataPort;
            stored.deviceClass =
                config.kind == SimTranscoderKind::kNet2 ? kNet2Transcoder : kDatagramTranscoder;
            EXPECT_TRUE(registry.Add(0, stored));
        }
        if (config.kind == SimTranscoderKind::kNet2) {
            IniFile(m_dir.File("Transcoders.ini"))
                .WriteUint("AdvancedParam", "ShellPort", sim->ShellPort());
        }
        m_transcoders.push_back(std::move(sim));
        StartServer();
        return *m_transcoders.back();
    }
    CDspDevice* Device() { return dynamic_cast<CDspDevice*>(m_server->Device(0)); }
    uint32_t StateLine(int channel) {
        CDspDevice* device = Device();
        if (device == nullptr || device->Bank() == nullptr) {
            return 0;
        }
        return device->Bank()->GetChannelState(channel).StateLine;
    }
    tagTranscoderStatistic Statistic(uint32_t serial) const {
        tagTranscoderStatistic statistic{};
        m_server->Transcoders().getTranscoderStatistic(serial, statistic);
        return statistic;
    }
    bool ShellHas(const CSimulatedTranscoder& sim, const std::string& line) const {
        const std::vector<std::string> lines = sim.ShellLines();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }

    CTempDir m_dir;
    std::vector<std::unique_ptr<CSimulatedTranscoder>> m_transcoders;
    std::unique_ptr<CRecordServer> m_server;
};

TEST_F(TranscoderServerTest, DatagramTranscoderIsFoundConfiguredAndRefusesBadPasswords) {
    StartAll({SimConfig("127.0.72.1", SimTranscoderKind::kDatagram, 7201)});
    CSimulatedTranscoder& sim = *m_transcoders[0];
    ASSERT_TRUE(FoundCount(1));
    EXPECT_TRUE(JournalHas(
        FormatCatalogText(Msg{309}, std::string("Box 7201"), std::string("127.0.72.1"))));

    DeviceConfig config{};
    EXPECT_EQ(Configurator().getTranscoderConfig(7201, "wrong", config),
              RequestResult::kBadPassword);
    ASSERT_EQ(Configurator().getTranscoderConfig(7201, "config-pw", config),
              RequestResult::kSuccess);
    EXPECT_EQ(FieldText(config.Description), "Box 7201");

    SetFieldText(config.Description, "Renamed box");
    SetFieldText(config.CurrPassword, "config-pw");
    EXPECT_EQ(Configurator().setTranscoderConfig(7201, config), RequestResult::kSuccess);
    EXPECT_EQ(FieldText(sim.Config().Description), "Renamed box");

    // Device commands carry the registered password: written to
    // "Transcoders.ini" enciphered, read back by a restarted server.
    ASSERT_TRUE(Configurator().addNetDevice(0, Registration(sim, "start-pw")));
    // The simulator reads the password the server stored.
    CChildProcess show(BuiltProgram("zorv18-transcoder-sim"),
                       {"--show-password", m_dir.File("Transcoders.ini"), "0"}, m_dir.Path(), {});
    EXPECT_EQ(show.Wait(10s), 0);
    EXPECT_EQ(show.Stdout(), "start-pw\n");
    StartServer();
    ASSERT_TRUE(FoundCount(1));
    const TranscoderAddress at{sim.Address(), sim.ConfigPort()};
    EXPECT_EQ(Configurator().SendDeviceCommand(at, TCMD_RESET_ADC, 0, 0)->Wait(),
              RequestResult::kSuccess);
    ASSERT_TRUE(Configurator().setConfigNetDevice(7201, Registration(sim, "not-it"), 1));
    EXPECT_EQ(Configurator().SendDeviceCommand(at, TCMD_RESET_ADC, 0, 0)->Wait(),
              RequestResult::kBadPassword);
}

TEST_F(TranscoderServerTest, UnansweredCommandIsResentAndEndsWithNoAnswer) {
    StartAll({SimConfig("127.0.72.11", SimTranscoderKind::kDatagram, 7211)});
    CSimulatedTranscoder& sim = *m_transcoders[0];
    ASSERT_TRUE(FoundCount(1));
    sim.SetMode(SimTranscoderMode::kSilent);
    const int before = sim.RequestCount();
    const TranscoderAddress at{sim.Address(), sim.ConfigPort()};
    EXPECT_EQ(Configurator().SendDeviceCommand(at, TCMD_RESET_ADC, 0, 0)->Wait(),
              RequestResult::kNoAnswer);
    // Sent, then resent on the configurator's ticks at ages 2 to 5 (the exact
    // ages are checked on a manual clock; a tick that comes late on a busy
    // machine skips an age). The simulator may count the last one a moment
    // after the answer.
    ASSERT_TRUE(PollUntil([&] { return sim.RequestCount() - before >= 2; }, 5s));
    std::this_thread::sleep_for(200ms);
    EXPECT_LE(sim.RequestCount() - before, 5);
}

TEST_F(TranscoderServerTest, MovedTranscoderIsFoundAgainAndItsRegistrationRewritten) {
    StartAll({SimConfig("127.0.72.21", SimTranscoderKind::kDatagram, 7221)});
    CSimulatedTranscoder& sim = *m_transcoders[0];
    ASSERT_TRUE(FoundCount(1));
    ASSERT_TRUE(Configurator().addNetDevice(0, Registration(sim, "start-pw")));
    const uint16_t port = sim.ConfigPort();

    DeviceConfig config = sim.Config();
    SetFieldText(config.CurrPassword, "config-pw");
    config.IpAddr = Ip("127.0.72.22");
    ASSERT_EQ(Configurator().setTranscoderConfig(7221, config), RequestResult::kSuccess);
    EXPECT_EQ(Configurator().getFoundTranscodersCount(), 0u);
    ASSERT_TRUE(PollUntil([&] { return sim.Address() == Ip("127.0.72.22"); }, 5s));

    // A search on its port finds it at the new address.
    ASSERT_TRUE(Configurator().addConfigPort(port));
    Configurator().startTranscodersSearch();
    ASSERT_TRUE(FoundCount(1));
    tagStoredTranscoderConfig stored{};
    ASSERT_TRUE(Configurator().getConfigNetDevice(0, stored));
    EXPECT_EQ(uint32_t{stored.tsAddr}, Ip("127.0.72.22"));
    EXPECT_EQ(IniFile(m_dir.File("Transcoders.ini")).GetString("Transcoder-0", "IPAddress", ""),
              fmt::format("127.0.72.22:{}", port));
}

TEST_F(TranscoderServerTest, Net2TranscoderIsConfiguredThroughItsShell) {
    StartAll({SimConfig("127.0.72.31", SimTranscoderKind::kNet2, 7231)});
    CSimulatedTranscoder& sim = *m_transcoders[0];
    ASSERT_TRUE(FoundCount(1));
    EXPECT_EQ(uint32_t{Configurator().getFoundTranscodersList()[0].uProtocolVer}, 2u);

    DeviceConfig config{};
    EXPECT_EQ(Configurator().getTranscoderConfig(7231, "wrong", config),
              RequestResult::kBadPassword);
    ASSERT_EQ(Configurator().getTranscoderConfig(7231, "config-pw", config),
              RequestResult::kSuccess);
    EXPECT_EQ(FieldText(config.Description), "Box 7231");
    EXPECT_EQ(uint32_t{config.IpAddr}, Ip("127.0.72.31"));
    EXPECT_EQ(int{config.ProtectLevel}, 2);

    SetFieldText(config.Description, "Shell renamed");
    SetFieldText(config.CurrPassword, "config-pw");
    SetFieldText(config.NewPassword, "config-pw");
    SetFieldText(config.StartPassword, "start-pw");
    EXPECT_EQ(Configurator().setTranscoderConfig(7231, config), RequestResult::kSuccess);
    const std::vector<std::string> lines = sim.ShellLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "setdescription Shell renamed"), lines.end());
    EXPECT_EQ(FieldText(sim.Config().Description), "Shell renamed");
}

// A datagram transcoder that falls silent: its lines show StateLine 12 at
// once, the loss is journaled after fifteen seconds, and both end when its
// data returns.
TEST_F(TranscoderServerTest, SilentTranscoderShowsLineLossUntilItsDataReturns) {
    SimTranscoderConfig config = SimConfig("127.0.72.51", SimTranscoderKind::kDatagram, 7251);
    config.info.Channels = 2;
    config.info.HardwareVersion = 300;
    CSimulatedTranscoder& transcoder = StartRegistered(config, 7251);
    ASSERT_TRUE(PollUntil([&] { return transcoder.StreamStats().streaming; }, 20s));
    ASSERT_TRUE(PollUntil([&] { return StateLine(0) != CS_DSP_FAULT && StateLine(0) != 0; }, 10s));

    transcoder.SetSilence(17000);
    EXPECT_TRUE(PollUntil(
        [&] { return StateLine(0) == CS_DSP_FAULT && StateLine(1) == CS_DSP_FAULT; }, 3s));
    EXPECT_TRUE(PollUntil([&] { return JournalHas(FormatCatalogText(Msg{130}, 7251u)); }, 20s));
    EXPECT_TRUE(PollUntil([&] { return JournalHas(FormatCatalogText(Msg{131}, 7251u)); }, 20s));
    EXPECT_TRUE(PollUntil([&] { return StateLine(0) != CS_DSP_FAULT; }, 5s));
}

// A transcoder that vanishes (no answers, no data): its lines show line
// loss; when it comes back at the same address the flow starts it again and
// the lines return.
TEST_F(TranscoderServerTest, VanishedTranscoderLinesReturnWhenItComesBack) {
    SimTranscoderConfig config = SimConfig("127.0.72.57", SimTranscoderKind::kDatagram, 7257);
    config.info.Channels = 2;
    config.info.HardwareVersion = 300;
    CSimulatedTranscoder& transcoder = StartRegistered(config, 7257);
    ASSERT_TRUE(PollUntil([&] { return transcoder.StreamStats().streaming; }, 20s));
    ASSERT_TRUE(PollUntil([&] { return StateLine(0) != CS_DSP_FAULT && StateLine(0) != 0; }, 10s));

    config.config.ConfigPort = transcoder.ConfigPort();
    transcoder.Stop();
    EXPECT_TRUE(PollUntil(
        [&] { return StateLine(0) == CS_DSP_FAULT && StateLine(1) == CS_DSP_FAULT; }, 5s));
    EXPECT_TRUE(PollUntil(
        [&] {
            const auto found = Configurator().getFoundTranscodersList();
            return found.size() == 1 && found[0].polling_state == kPresenceLost;
        },
        30s));

    auto back = std::make_unique<CSimulatedTranscoder>(config);
    std::string error;
    ASSERT_TRUE(back->Start(error)) << error;
    m_transcoders.push_back(std::move(back));
    EXPECT_TRUE(PollUntil([&] { return m_transcoders.back()->StreamStats().streaming; }, 60s));
    EXPECT_TRUE(PollUntil(
        [&] { return StateLine(0) != CS_DSP_FAULT && StateLine(1) != CS_DSP_FAULT; }, 10s));
}

// The datagram flow's counters: packets held back and sent out of order are
// asked for again and arrive (nothing lost, even across the sequence wrap);
// a gap of twelve packets is given up and counts one stream loss, and the
// stream goes on.
TEST_F(TranscoderServerTest, DatagramStatisticsCountRetransmissionsAndStreamLoss) {
    SimTranscoderConfig config = SimConfig("127.0.72.52", SimTranscoderKind::kDatagram, 7252);
    config.info.Channels = 2;
    config.info.HardwareVersion = 300;
    config.faults.dropEvery = 7;
    config.faults.reorderPairs = true;
    config.faults.duplicateEvery = 11;
    config.faults.sequenceStart = 65300;
    CSimulatedTranscoder& transcoder = StartRegistered(config, 7252);
    // A start counts a resynchronisation (the first packet is never the one
    // expected), and the server restarts the stream once while it sets the
    // transcoder up: the counts are taken a hundred packets into the stream
    // that stays, before the sequence numbers wrap, and compared after it.
    const auto sequence = [&] { return transcoder.StreamStats().nextSequence; };
    ASSERT_TRUE(PollUntil([&] { return sequence() >= 65400; }, 30s));
    const tagTranscoderStatistic before = Statistic(7252);
    ASSERT_TRUE(PollUntil([&] { return sequence() >= 100 && sequence() < 30000; }, 30s));
    const tagTranscoderStatistic s = Statistic(7252);
    EXPECT_GT(uint32_t{s.nResendPacketRequest[0]}, uint32_t{before.nResendPacketRequest[0]});
    EXPECT_GT(uint32_t{s.nResendPacketReceive}, uint32_t{before.nResendPacketReceive});
    EXPECT_EQ(uint32_t{s.nPacketLost}, uint32_t{before.nPacketLost});
    EXPECT_EQ(uint32_t{s.nStreamLost}, uint32_t{before.nStreamLost});
    EXPECT_GT(transcoder.StreamStats().resendsAnswered, 0u);

    SimStreamFaults gap;
    gap.gapOnce = 12;
    transcoder.SetStreamFaults(gap);
    const uint32_t lost = s.nStreamLost;
    ASSERT_TRUE(PollUntil([&] { return Statistic(7252).nStreamLost == lost + 1; }, 20s));
    const uint32_t received = Statistic(7252).nPacketReceive;
    EXPECT_TRUE(PollUntil([&] { return Statistic(7252).nPacketReceive > received + 50; }, 20s));
    EXPECT_EQ(uint32_t{Statistic(7252).nStreamLost}, lost + 1);
    EXPECT_NE(StateLine(0), uint32_t{CS_DSP_FAULT});
}

// A password the transcoder refuses fails the flow with the text of the
// step that was refused: the datagram kind's stop (322) or start (324)
// command, the NET2 kind's shell login (324).
TEST_F(TranscoderServerTest, RefusedPasswordFailsTheFlow) {
    struct Case {
        const char* name;
        SimTranscoderKind kind;
        const char* address;
        const char* password;
        bool refuseStart;
        int text;
    };
    const Case cases[] = {
        {"datagram, wrong password", SimTranscoderKind::kDatagram, "127.0.72.53", "wrong", false,
         322},
        {"datagram, start refused", SimTranscoderKind::kDatagram, "127.0.72.56", "start-pw", true,
         324},
        {"NET2, wrong password", SimTranscoderKind::kNet2, "127.0.72.54", "wrong", false, 324},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimTranscoderConfig config = SimConfig(c.address, c.kind, 7253);
        config.info.Channels = 2;
        config.info.HardwareVersion = 300;
        config.faults.refuseStart = c.refuseStart;
        StartRegistered(config, 7253, c.password);
        EXPECT_TRUE(PollUntil(
            [&] { return JournalHas(FormatCatalogText(Msg{c.text}, std::string(c.address))); },
            20s));
        const auto flowState = [&]() -> uint32_t {
            CDspDevice* device = Device();
            if (device == nullptr) {
                return FS_STOPPED;
            }
            if (auto* d = dynamic_cast<CNet2Driver*>(device->GetDriver()); d && d->Flow()) {
                return d->Flow()->State();
            }
            if (auto* d = dynamic_cast<CDatagramTranscoderDriver*>(device->GetDriver());
                d && d->Flow()) {
                return d->Flow()->State();
            }
            return FS_STOPPED;
        };
        EXPECT_TRUE(PollUntil([&] { return flowState() == FS_FAILED; }, 10s));
        EXPECT_FALSE(m_transcoders.back()->StreamStats().streaming);
        m_server->Stop();
        m_server.reset();
        m_transcoders.clear();
        std::filesystem::remove(m_dir.File("Transcoders.ini"));
        std::filesystem::remove(m_dir.File("ZORV_18.log"));
    }
}

// What a NET2 device is told reaches the transcoder through its shell: line
// polarity (fixed, and the automatic check's test pulse), gains and the
// buffering; its flow's statistics count the packets.
TEST_F(TranscoderServerTest, Net2DeviceSettingsReachTheTranscoder) {
    SimTranscoderConfig config = SimConfig("127.0.72.55", SimTranscoderKind::kNet2, 7255);
    config.info.Channels = 2;
    config.info.HardwareVersion = 300;
    CSimulatedTranscoder& transcoder = StartRegistered(config, 7255);
    ASSERT_TRUE(PollUntil([&] { return transcoder.StreamStats().streaming; }, 20s));
    auto* device = dynamic_cast<CNet2Device*>(Device());
    ASSERT_NE(device, nullptr);
    ASSERT_TRUE(PollUntil([&] { return StateLine(1) == uint32_t{CS_FREE}; }, 10s));

    // Line settings go out as "line:set" with (line << 5) | command.
    EXPECT_EQ(device->SetPolarityMode(0, 1, false), 1);
    EXPECT_TRUE(PollUntil([&] { return ShellHas(transcoder, "line:set 17 1"); }, 5s));
    EXPECT_EQ(device->SetPolarityMode(1, 0, false), 1);
    EXPECT_EQ(device->SetPolarityCheckTimeOut(1, 5, false), 1);
    // 625 blocks at six per status block: the pulse after about five seconds.
    EXPECT_TRUE(PollUntil([&] { return ShellHas(transcoder, "line:set 58 2"); }, 15s));

    EXPECT_EQ(device->SetGain(1, 5, true, false), 1);
    EXPECT_TRUE(PollUntil(
        [&] {
            const std::vector<std::string> lines = transcoder.ShellLines();
            return std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
                return l.starts_with("codec:setgain 1 ") || l.starts_with("block:codec:setgain");
            });
        },
        5s));
    const auto bufferCommands = [&] {
        const std::vector<std::string> lines = transcoder.ShellLines();
        return std::count_if(lines.begin(), lines.end(), [](const std::string& l) {
            return l.starts_with("codec:setbuff ");
        });
    };
    const auto before = bufferCommands();
    EXPECT_EQ(device->SetBufferMode(1, 1), 0);
    int mode = -1;
    EXPECT_EQ(device->GetBufferMode(mode), 0);
    EXPECT_EQ(mode, 1);
    EXPECT_GT(bufferCommands(), before);

    EXPECT_GT(uint32_t{Statistic(7255).nPacketReceive}, 0u);
}

}  // namespace
}  // namespace zorv::test
