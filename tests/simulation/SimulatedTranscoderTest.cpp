// The simulated transcoder as a server's configurator sees it: real datagram
// and TCP sockets on loopback, packets built and read through the protocol's
// one definition. Every transcoder binds port 0 on an address of this file's
// own 127.0.71.0/24 range, so the tests run in parallel with any other.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "simulation/SimulatedTranscoder.h"
#include "simulation/SimulatedTranscoderShell.h"
#include "support/ChildProcess.h"
#include "support/ShellClient.h"
#include "transcoders/TranscoderFlow.h"
#include "transcoders/TranscoderProtocol.h"

namespace zorv {
namespace {

using namespace std::chrono_literals;
using test::CShellClient;

constexpr auto kAnswerWait = 5000ms;
// How long a transcoder that must stay silent is listened to.
constexpr auto kSilenceWait = 300ms;

uint32_t Ip(const char* text) { return ParseAddressText(text)->ip; }

SimTranscoderConfig MakeConfig(const char* address,
                               SimTranscoderKind kind = SimTranscoderKind::kDatagram,
                               TranscoderLayout layout = TranscoderLayout::kCurrent) {
    SimTranscoderConfig config;
    config.kind = kind;
    config.layout = layout;
    config.info = {.HardwareVersion = 203, .DeviceType = 2, .Channels = 12,
                   .SerialNumber = 0x01020304, .SoftwareVersion = 117, .StateFlags = 5};
    SetFieldText(config.config.Description, "Simulated line box");
    SetFieldText(config.config.CurrPassword, "cfgpass");
    SetFieldText(config.config.StartPassword, "startpass");
    config.config.IpAddr = Ip(address);
    config.config.SubNetMask = Ip("255.0.0.0");
    return config;
}

std::unique_ptr<CSimulatedTranscoder> StartTranscoder(const SimTranscoderConfig& config) {
    auto transcoder = std::make_unique<CSimulatedTranscoder>(config);
    std::string error;
    EXPECT_TRUE(transcoder->Start(error)) << error;
    return transcoder;
}

TranscoderPacket Request(uint8_t type, uint16_t sequence, const char* password = "",
                         TranscoderLayout layout = TranscoderLayout::kCurrent) {
    TranscoderPacket packet;
    packet.layout = layout;
    packet.type = type;
    packet.sequence = sequence;
    SetFieldText(packet.config.CurrPassword, password);
    return packet;
}

TranscoderPacket Command(uint8_t code, uint32_t param1, uint32_t param2, uint16_t sequence,
                         const char* password = "") {
    TranscoderPacket packet = Request(FC_DEV_SETTINGS, sequence, password);
    packet.command = code;
    packet.param1 = param1;
    packet.param2 = param2;
    return packet;
}

struct Answer {
    std::size_t size = 0;
    TranscoderAddress from;
    std::optional<TranscoderPacket> packet;
};

// The configurator's side: one datagram socket on 127.0.0.1, allowed to
// broadcast.
class CUdpPeer {
public:
    CUdpPeer() {
        m_fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        const int on = 1;
        ::setsockopt(m_fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = Ip("127.0.0.1");
        EXPECT_EQ(::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }
    ~CUdpPeer() { ::close(m_fd); }

    void Send(const TranscoderPacket& packet, uint32_t ip, uint16_t port) {
        uint8_t bytes[kCurrentPacketSize];
        const std::size_t size = EncodeTranscoderPacket(packet, bytes);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = ip;
        address.sin_port = htons(port);
        ASSERT_EQ(::sendto(m_fd, bytes, size, 0, reinterpret_cast<sockaddr*>(&address),
                           sizeof address),
                  static_cast<ssize_t>(size));
    }

    std::optional<Answer> Receive(std::chrono::milliseconds wait = kAnswerWait) {
        pollfd fd{m_fd, POLLIN, 0};
        if (::poll(&fd, 1, static_cast<int>(wait.count())) != 1) {
            return std::nullopt;
        }
        uint8_t bytes[2048];
        sockaddr_in sender{};
        socklen_t length = sizeof sender;
        const ssize_t size = ::recvfrom(m_fd, bytes, sizeof bytes, 0,
                                        reinterpret_cast<sockaddr*>(&sender), &length);
        if (size < 0) {
            return std::nullopt;
        }
        Answer answer;
        answer.size = static_cast<std::size_t>(size);
        answer.from = {sender.sin_addr.s_addr, ntohs(sender.sin_port)};
        answer.packet = DecodeTranscoderPacket({bytes, answer.size});
        return answer;
    }

    // One request, one answer (or nullopt).
    std::optional<Answer> Ask(const TranscoderPacket& packet, const CSimulatedTranscoder& to,
                              std::chrono::milliseconds wait = kAnswerWait) {
        Send(packet, to.Address(), to.ConfigPort());
        return Receive(wait);
    }

private:
    int m_fd = -1;
};

uint8_t AnswerType(const std::optional<Answer>& answer) {
    return answer && answer->packet ? answer->packet->type : 0;
}

TEST(SimulatedTranscoderTest, ScanAnswersCarryTheIdentityInTheTranscodersLayout) {
    struct Case {
        SimTranscoderKind kind;
        TranscoderLayout layout;
        std::size_t size;
        uint16_t sequence;  // echoed only where the layout has one
    };
    const Case cases[] = {
        {SimTranscoderKind::kDatagram, TranscoderLayout::kCurrent, 184, 77},
        {SimTranscoderKind::kDatagram, TranscoderLayout::kEarlier, 150, 0},
        {SimTranscoderKind::kNet2, TranscoderLayout::kNet2Scan, 72, 0},
    };
    CUdpPeer peer;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        SimTranscoderConfig config = MakeConfig("127.0.71.1", c.kind, c.layout);
        config.config.ProtectLevel = 1;
        auto transcoder = StartTranscoder(config);
        // The configurator scans in the earlier layout, which has no
        // sequence number; a scan in the current layout has its number echoed.
        const auto answer = peer.Ask(
            Request(FC_SCAN_DEVICE, 77, "",
                    c.sequence != 0 ? TranscoderLayout::kCurrent : TranscoderLayout::kEarlier),
            *transcoder);
        ASSERT_TRUE(answer && answer->packet);
        const TranscoderPacket& packet = *answer->packet;
        EXPECT_EQ(answer->size, c.size);
        EXPECT_EQ(packet.layout, c.layout);
        EXPECT_EQ(+packet.type, FT_SCAN_ACKNOWLEDGE);
        EXPECT_EQ(+packet.sequence, c.sequence);
        EXPECT_EQ(answer->from, (TranscoderAddress{Ip("127.0.71.1"), transcoder->ConfigPort()}));
        EXPECT_EQ(+packet.info.SerialNumber, 0x01020304u);
        EXPECT_EQ(+packet.info.Channels, 12);
        EXPECT_EQ(+packet.info.HardwareVersion, 203);
        EXPECT_EQ(+packet.info.SoftwareVersion, 117);
        EXPECT_EQ(+packet.info.DeviceType, 2);
        EXPECT_EQ(+packet.info.StateFlags, 5);
        EXPECT_EQ(FieldText(packet.config.Description), "Simulated line box");
        EXPECT_EQ(+packet.config.IpAddr, Ip("127.0.71.1"));
        EXPECT_EQ(+packet.config.ConfigPort, transcoder->ConfigPort());
        EXPECT_EQ(+packet.config.ProtectLevel, 1);
        // A scan answer never shows a password.
        EXPECT_EQ(FieldText(packet.config.CurrPassword), "");
        EXPECT_EQ(FieldText(packet.config.StartPassword), "");
    }
}

TEST(SimulatedTranscoderTest, GetConfigChecksThePasswordFromProtectLevelOne) {
    struct Case {
        uint8_t protectLevel;
        const char* password;
        TranscoderLayout layout;
        uint8_t expected;
    };
    const Case cases[] = {
        {0, "anything", TranscoderLayout::kCurrent, FT_CONFIG_VALUE},
        {1, "cfgpass", TranscoderLayout::kCurrent, FT_CONFIG_VALUE},
        {1, "cfgpas", TranscoderLayout::kCurrent, FT_BAD_PASSWORD},
        {2, "", TranscoderLayout::kCurrent, FT_BAD_PASSWORD},
        {2, "cfgpass", TranscoderLayout::kEarlier, FT_CONFIG_VALUE},
        {1, "wrong", TranscoderLayout::kEarlier, FT_BAD_PASSWORD},
    };
    CUdpPeer peer;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << int(c.protectLevel) << " " << c.password);
        SimTranscoderConfig config = MakeConfig("127.0.71.2");
        config.config.ProtectLevel = c.protectLevel;
        auto transcoder = StartTranscoder(config);
        const auto answer = peer.Ask(Request(FC_GET_CONFIG, 31, c.password, c.layout), *transcoder);
        ASSERT_TRUE(answer && answer->packet);
        EXPECT_EQ(answer->size, PacketSize(c.layout));
        EXPECT_EQ(+answer->packet->type, c.expected);
        EXPECT_EQ(+answer->packet->sequence, c.layout == TranscoderLayout::kCurrent ? 31 : 0);
        if (c.expected == FT_CONFIG_VALUE) {
            EXPECT_EQ(FieldText(answer->packet->config.Description), "Simulated line box");
            EXPECT_EQ(+answer->packet->config.ConfigPort, transcoder->ConfigPort());
            EXPECT_EQ(FieldText(answer->packet->config.CurrPassword), "");
        }
    }
}

TEST(SimulatedTranscoderTest, SetConfigMovesTheTranscoderAfterAnsweringFromTheOldAddress) {
    CUdpPeer peer;
    SimTranscoderConfig config = MakeConfig("127.0.71.3");
    config.config.ProtectLevel = 1;
    auto transcoder = StartTranscoder(config);
    const uint16_t oldPort = transcoder->ConfigPort();

    TranscoderPacket set = Request(FC_SET_CONFIG, 9, "cfgpass");
    set.config = transcoder->Config();
    SetFieldText(set.config.CurrPassword, "cfgpass");
    SetFieldText(set.config.NewPassword, "newpass");
    SetFieldText(set.config.Description, "Moved box");
    set.config.IpAddr = Ip("127.0.71.4");
    set.config.ConfigPort = oldPort;  // free there: nothing else uses 127.0.71.4
    const auto answer = peer.Ask(set, *transcoder);
    ASSERT_TRUE(answer && answer->packet);
    EXPECT_EQ(+answer->packet->type, FT_CONFIG_CHANGE_OK);
    EXPECT_EQ(+answer->packet->sequence, 9);
    EXPECT_EQ(answer->from, (TranscoderAddress{Ip("127.0.71.3"), oldPort}));

    ASSERT_TRUE(test::PollUntil([&] { return transcoder->MoveCount() == 1; }, kAnswerWait));
    EXPECT_EQ(transcoder->Address(), Ip("127.0.71.4"));
    // The old place is gone; the new one answers, with the new password.
    peer.Send(Request(FC_SCAN_DEVICE, 0), Ip("127.0.71.3"), oldPort);
    EXPECT_FALSE(peer.Receive(kSilenceWait));
    const auto scan = peer.Ask(Request(FC_GET_CONFIG, 10, "newpass"), *transcoder);
    ASSERT_TRUE(scan && scan->packet);
    EXPECT_EQ(scan->from, (TranscoderAddress{Ip("127.0.71.4"), oldPort}));
    EXPECT_EQ(+scan->packet->type, FT_CONFIG_VALUE);
    EXPECT_EQ(FieldText(scan->packet->config.Description), "Moved box");
}

TEST(SimulatedTranscoderTest, SetConfigRefusals) {
    struct Case {
        const char* name;
        const char* password;
        bool changeError;
        const char* newAddress;
        uint8_t protectLevel;
        uint8_t expected;
        bool newPlaceTaken = false;
    };
    const Case cases[] = {
        {"wrong password", "nope", false, "127.0.71.5", 1, FT_BAD_PASSWORD},
        {"change error mode", "cfgpass", true, "127.0.71.5", 1, FT_CONFIG_CHANGE_ERROR},
        {"address off loopback", "cfgpass", false, "192.168.1.5", 1, FT_CONFIG_CHANGE_ERROR},
        {"protect level 3", "cfgpass", false, "127.0.71.5", 3, FT_CONFIG_CHANGE_ERROR},
        // A move that cannot bind is refused, not acknowledged and forgotten.
        {"new place taken", "cfgpass", false, "127.0.71.18", 1, FT_CONFIG_CHANGE_ERROR, true},
    };
    CUdpPeer peer;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimTranscoderConfig config = MakeConfig("127.0.71.5");
        config.config.ProtectLevel = 1;
        config.configChangeError = c.changeError;
        auto transcoder = StartTranscoder(config);
        std::unique_ptr<CSimulatedTranscoder> occupant;
        if (c.newPlaceTaken) {
            SimTranscoderConfig other = MakeConfig(c.newAddress);
            other.config.ConfigPort = transcoder->ConfigPort();
            occupant = StartTranscoder(other);
        }
        TranscoderPacket set = Request(FC_SET_CONFIG, 4, c.password);
        set.config = transcoder->Config();
        SetFieldText(set.config.CurrPassword, c.password);
        SetFieldText(set.config.Description, "Changed");
        set.config.IpAddr = Ip(c.newAddress);
        set.config.ProtectLevel = c.protectLevel;
        EXPECT_EQ(AnswerType(peer.Ask(set, *transcoder)), c.expected);
        EXPECT_EQ(FieldText(transcoder->Config().Description), "Simulated line box");
        EXPECT_EQ(transcoder->Address(), Ip("127.0.71.5"));
        EXPECT_EQ(AnswerType(peer.Ask(Request(FC_SCAN_DEVICE, 0), *transcoder)),
                  FT_SCAN_ACKNOWLEDGE);
    }
}

TEST(SimulatedTranscoderTest, DeviceCommandsInEachMode) {
    struct Case {
        const char* name;
        SimTranscoderMode mode;
        uint8_t protectLevel;
        const char* password;
        uint8_t code;
        uint32_t param2;
        uint8_t expected;  // 0: no answer
        bool started;
        uint32_t groups;
    };
    const Case cases[] = {
        {"start", SimTranscoderMode::kNormal, 0, "", TCMD_START, 0, FT_EXEC_ACKNOWLEDGE, true, 0},
        {"enable groups", SimTranscoderMode::kNormal, 0, "", TCMD_ENABLE_GROUP, 5,
         FT_EXEC_ACKNOWLEDGE, false, 5},
        {"start password at level 2", SimTranscoderMode::kNormal, 2, "startpass", TCMD_START, 0,
         FT_EXEC_ACKNOWLEDGE, true, 0},
        {"wrong password at level 2", SimTranscoderMode::kNormal, 2, "cfgpass", TCMD_START, 0,
         FT_BAD_PASSWORD, false, 0},
        {"level 1 asks none", SimTranscoderMode::kNormal, 1, "", TCMD_START, 0,
         FT_EXEC_ACKNOWLEDGE, true, 0},
        {"busy", SimTranscoderMode::kBusy, 0, "", TCMD_START, 0, FT_DEVICE_BUSY, false, 0},
        {"reject", SimTranscoderMode::kReject, 0, "", TCMD_START, 0, FT_EXEC_REJECT, false, 0},
        {"silent", SimTranscoderMode::kSilent, 0, "", TCMD_START, 0, 0, false, 0},
        {"mute", SimTranscoderMode::kMute, 0, "", TCMD_START, 0, 0, false, 0},
    };
    CUdpPeer peer;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimTranscoderConfig config = MakeConfig("127.0.71.6");
        config.mode = c.mode;
        config.config.ProtectLevel = c.protectLevel;
        auto transcoder = StartTranscoder(config);
        const auto answer = peer.Ask(Command(c.code, 4000, c.param2, 600 + c.code, c.password),
                                     *transcoder, c.expected == 0 ? kSilenceWait : kAnswerWait);
        EXPECT_EQ(AnswerType(answer), c.expected);
        if (c.expected != 0 && AnswerType(answer) != 0) {
            EXPECT_EQ(+answer->packet->sequence, 600 + c.code);
        }
        ASSERT_TRUE(test::PollUntil([&] { return transcoder->RequestCount() == 1; }, kAnswerWait));
        EXPECT_EQ(transcoder->IsStarted(), c.started);
        EXPECT_EQ(transcoder->EnabledGroups(), c.groups);
        EXPECT_EQ(transcoder->ReceivedCommands(),
                  (std::vector<SimReceivedCommand>{{c.code, 4000, c.param2}}));
    }
}

TEST(SimulatedTranscoderTest, StopClearsStartedAndSilentStillAnswersScans) {
    CUdpPeer peer;
    auto transcoder = StartTranscoder(MakeConfig("127.0.71.7"));
    EXPECT_EQ(AnswerType(peer.Ask(Command(TCMD_START, 4000, 0, 1), *transcoder)),
              FT_EXEC_ACKNOWLEDGE);
    EXPECT_TRUE(transcoder->IsStarted());
    EXPECT_EQ(AnswerType(peer.Ask(Command(TCMD_STOP, 0, 0, 2), *transcoder)),
              FT_EXEC_ACKNOWLEDGE);
    EXPECT_FALSE(transcoder->IsStarted());

    transcoder->SetMode(SimTranscoderMode::kSilent);
    EXPECT_EQ(AnswerType(peer.Ask(Request(FC_SCAN_DEVICE, 3), *transcoder)), FT_SCAN_ACKNOWLEDGE);
    EXPECT_EQ(AnswerType(peer.Ask(Request(FC_GET_CONFIG, 4, "cfgpass"), *transcoder,
                                  kSilenceWait)),
              0);
    transcoder->SetMode(SimTranscoderMode::kMute);
    EXPECT_EQ(AnswerType(peer.Ask(Request(FC_SCAN_DEVICE, 5), *transcoder, kSilenceWait)), 0);
}

TEST(SimulatedTranscoderTest, DelayedAnswersDoNotHoldBackLaterRequests) {
    CUdpPeer peer;
    SimTranscoderConfig config = MakeConfig("127.0.71.8");
    config.answerDelayMs = 3000;
    auto transcoder = StartTranscoder(config);
    peer.Send(Command(TCMD_START, 1, 0, 1), transcoder->Address(), transcoder->ConfigPort());
    peer.Send(Command(TCMD_STOP, 0, 0, 2), transcoder->Address(), transcoder->ConfigPort());
    // Both requests are taken long before the first answer is due; a thread
    // that slept through the delay would have sent it by then.
    ASSERT_TRUE(test::PollUntil([&] { return transcoder->RequestCount() == 2; }, kAnswerWait));
    EXPECT_FALSE(peer.Receive(0ms));
    const auto first = peer.Receive();
    const auto second = peer.Receive();
    ASSERT_TRUE(first && first->packet && second && second->packet);
    EXPECT_EQ(first->packet->sequence, 1);
    EXPECT_EQ(second->packet->sequence, 2);
}

TEST(SimulatedTranscoderTest, DroppedRequestsAreAnsweredWhenResent) {
    CUdpPeer peer;
    SimTranscoderConfig config = MakeConfig("127.0.71.9");
    config.dropRequests = 2;
    auto transcoder = StartTranscoder(config);
    const TranscoderPacket start = Command(TCMD_START, 4000, 0, 17);
    EXPECT_EQ(AnswerType(peer.Ask(start, *transcoder, kSilenceWait)), 0);
    EXPECT_EQ(AnswerType(peer.Ask(start, *transcoder, kSilenceWait)), 0);
    // Scans do not count as requests.
    EXPECT_EQ(AnswerType(peer.Ask(Request(FC_SCAN_DEVICE, 0), *transcoder)), FT_SCAN_ACKNOWLEDGE);
    const auto answer = peer.Ask(start, *transcoder);
    ASSERT_EQ(AnswerType(answer), FT_EXEC_ACKNOWLEDGE);
    EXPECT_EQ(+answer->packet->sequence, 17);
    EXPECT_EQ(transcoder->RequestCount(), 3);
}

TEST(SimulatedTranscoderTest, BroadcastScanReachesEveryTranscoderOfThePort) {
    auto first = StartTranscoder(MakeConfig("127.0.71.10"));
    SimTranscoderConfig secondConfig =
        MakeConfig("127.0.71.11", SimTranscoderKind::kNet2, TranscoderLayout::kNet2Scan);
    secondConfig.config.ConfigPort = first->ConfigPort();
    secondConfig.info.SerialNumber = 99;
    auto second = StartTranscoder(secondConfig);
    ASSERT_EQ(second->ConfigPort(), first->ConfigPort());

    CUdpPeer peer;
    peer.Send(Request(FC_SCAN_DEVICE, 0, "", TranscoderLayout::kEarlier), Ip("127.255.255.255"),
              first->ConfigPort());
    std::set<std::pair<TranscoderAddress, std::size_t>> answers;
    for (int i = 0; i < 2; ++i) {
        const auto answer = peer.Receive();
        ASSERT_TRUE(answer);
        answers.emplace(answer->from, answer->size);
    }
    const std::set<std::pair<TranscoderAddress, std::size_t>> expected = {
        {{Ip("127.0.71.10"), first->ConfigPort()}, 184},
        {{Ip("127.0.71.11"), first->ConfigPort()}, 72},
    };
    EXPECT_EQ(answers, expected);
    EXPECT_FALSE(peer.Receive(kSilenceWait));  // one answer each
}

SimTranscoderConfig Net2Config(const char* address, uint8_t protectLevel) {
    SimTranscoderConfig config =
        MakeConfig(address, SimTranscoderKind::kNet2, TranscoderLayout::kNet2Scan);
    config.config.ProtectLevel = protectLevel;
    return config;
}

TEST(SimulatedTranscoderTest, ShellLogin) {
    struct Case {
        uint8_t protectLevel;
        const char* user;
        const char* password;
        bool accepted;
    };
    const Case cases[] = {
        {1, "admin", "cfgpass", true},   {1, "admin", "cfgpas", false},
        {1, "admin", "startpass", false}, {0, "admin", "", true},
        {2, "user", "startpass", true},  {2, "user", "cfgpass", false},
        {1, "user", "whatever", true},   {0, "root", "cfgpass", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << int(c.protectLevel) << " " << c.user << " "
                                        << c.password);
        auto transcoder = StartTranscoder(Net2Config("127.0.71.12", c.protectLevel));
        CShellClient shell(transcoder->Address(), transcoder->ShellPort());
        const std::string reply = shell.Login(c.user, c.password);
        if (c.accepted) {
            EXPECT_EQ(reply, "NET2 shell>");
        } else {
            EXPECT_NE(reply, "NET2 shell>");
            EXPECT_TRUE(reply.ends_with(">")) << reply;
            // The shell asks the user name again.
            EXPECT_TRUE(shell.Command("admin").ends_with(">"));
        }
    }
}

TEST(SimulatedTranscoderTest, ShellInfoAndSettings) {
    auto transcoder = StartTranscoder(Net2Config("127.0.71.13", 1));
    CShellClient shell(transcoder->Address(), transcoder->ShellPort());
    ASSERT_EQ(shell.Login("admin", "cfgpass"), "NET2 shell>");
    const std::string info = shell.Command("info");
    const std::string expected = fmt::format(
        "OK: NET2 summary info\r\nOK: Device description: Simulated line box\r\n"
        "OK: IP address: 127.0.71.13\r\nOK: IP mask: 255.0.0.0\r\nOK: IP router: 0.0.0.0\r\n"
        "OK: Configuration port: {}\r\n",
        transcoder->ConfigPort());
    EXPECT_TRUE(info.starts_with(expected)) << info;
    EXPECT_TRUE(info.ends_with("\r\nNET2 shell>")) << info;

    struct Step {
        const char* command;
        const char* reply;
    };
    const Step steps[] = {
        {"user:getpassmode 0", "OK: User number 0 passmode 0"},
        {"user:getpassmode 1", "OK: User number 1 passmode 1"},
        {"user:setpassmode 1 0", "OK"},
        {"user:getpassmode 1", "OK: User number 1 passmode 0"},
        {"user:password 1 go", "OK"},
        {"setdescription Box two", "OK"},
        {"mask 255.255.0.0", "OK"},
        {"router 127.0.0.1", "OK"},
        {"IP 10.0.0.1", "ERROR: address outside 127.0.0.0/8"},
        {"configport 0", "ERROR: port 1..65535 expected"},
        {"user:getpassmode 2", "ERROR: user number 0 or 1 expected"},
        {"user:save", "OK"},
        {"format disk", "ERROR: unknown command"},
    };
    for (const Step& step : steps) {
        EXPECT_EQ(shell.Command(step.command), std::string(step.reply) + "\r\nNET2 shell>")
            << step.command;
    }
    const DeviceConfig config = transcoder->Config();
    EXPECT_EQ(+config.ProtectLevel, 2);
    EXPECT_EQ(FieldText(config.StartPassword), "go");
    EXPECT_EQ(FieldText(config.Description), "Box two");
    EXPECT_EQ(+config.SubNetMask, Ip("255.255.0.0"));
    EXPECT_EQ(+config.DefaultGateway, Ip("127.0.0.1"));
    const auto lines = transcoder->ShellLines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "admin");
    EXPECT_EQ(lines[2], "info");
    EXPECT_EQ(lines.back(), "format disk");
}

TEST(SimulatedTranscoderTest, ShellRestartMovesTheTranscoder) {
    auto transcoder = StartTranscoder(Net2Config("127.0.71.14", 0));
    const uint16_t port = transcoder->ConfigPort();
    const uint16_t shellPort = transcoder->ShellPort();
    {
        CShellClient shell(transcoder->Address(), transcoder->ShellPort());
        ASSERT_EQ(shell.Login("admin", ""), "NET2 shell>");
        EXPECT_EQ(shell.Command("IP 127.0.71.15"), "OK\r\nNET2 shell>");
        EXPECT_EQ(shell.Command(fmt::format("configport {}", port)), "OK\r\nNET2 shell>");
        EXPECT_EQ(transcoder->Address(), Ip("127.0.71.14"));  // not before the restart
        EXPECT_EQ(shell.Command("restart"), "OK\r\nNET2 shell>");
    }
    ASSERT_TRUE(test::PollUntil([&] { return transcoder->MoveCount() == 1; }, kAnswerWait));
    EXPECT_EQ(transcoder->Address(), Ip("127.0.71.15"));
    EXPECT_EQ(transcoder->ShellPort(), shellPort);
    CUdpPeer peer;
    const auto answer = peer.Ask(Request(FC_SCAN_DEVICE, 0), *transcoder);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->from, (TranscoderAddress{Ip("127.0.71.15"), port}));
    CShellClient shell(transcoder->Address(), transcoder->ShellPort());
    EXPECT_EQ(shell.Login("admin", ""), "NET2 shell>");
}

TEST(SimulatedTranscoderTest, ShellReplyModes) {
    auto transcoder = StartTranscoder(Net2Config("127.0.71.16", 0));
    CShellClient shell(transcoder->Address(), transcoder->ShellPort());
    ASSERT_EQ(shell.Login("admin", ""), "NET2 shell>");

    transcoder->SetShellMode(SimShellMode::kOversize);
    const std::string oversize = shell.Command("user:save");
    EXPECT_GT(oversize.size(), 1024u);
    EXPECT_TRUE(oversize.starts_with("OK")) << oversize;
    EXPECT_TRUE(oversize.ends_with("\r\nNET2 shell>"));

    transcoder->SetShellMode(SimShellMode::kNoPrompt);
    EXPECT_EQ(shell.Command("user:save", "\r\n"), "OK\r\n");

    transcoder->SetShellMode(SimShellMode::kSlow);
    EXPECT_EQ(shell.Command("user:getpassmode 0"), "OK: User number 0 passmode 1\r\nNET2 shell>");
}

TEST(SimulatedTranscoderTest, StartFailsCleanlyWhenThePlaceIsTaken) {
    auto first = StartTranscoder(MakeConfig("127.0.71.17"));
    SimTranscoderConfig config = MakeConfig("127.0.71.17");
    config.config.ConfigPort = first->ConfigPort();
    CSimulatedTranscoder second(config);
    std::string error;
    EXPECT_FALSE(second.Start(error));
    EXPECT_NE(error.find("127.0.71.17"), std::string::npos) << error;

    config.config.IpAddr = Ip("10.1.2.3");
    CSimulatedTranscoder outside(config);
    EXPECT_FALSE(outside.Start(error));
}

}  // namespace
}  // namespace zorv
