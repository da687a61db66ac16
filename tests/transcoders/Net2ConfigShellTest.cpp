#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "support/ShellPeer.h"
#include "transcoders/Net2ConfigShell.h"
#include "transcoders/TranscoderFlow.h"

namespace zorv {

// Failure messages show the result's number.
static void PrintTo(RequestResult result, std::ostream* out) {
    *out << static_cast<uint32_t>(result);
}

namespace {

using test::CShellPeer;
using test::ShellPeerScript;
using test::ShellReply;
using namespace std::chrono_literals;

constexpr const char* kPrompt = "\r\nNET2 shell>";

uint32_t Ip(const char* dotted) {
    return ParseAddressText(dotted).value().ip;
}

std::string InfoReply(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += line + "\r\n";
    }
    return text + "NET2 shell>";
}

const std::vector<std::string> kInfoLines = {
    "OK: NET2 summary info",        "OK: Device description: Office 2",
    "OK: IP address: 192.168.1.20", "OK: IP mask: 255.255.255.0",
    "OK: IP router: 192.168.1.1",   "OK: Configuration port: 5001",
};

// A NET2 transcoder whose configuration user asks a password and whose
// start user does not (protection level 1); every other command is OK.
ShellPeerScript Net2Script() {
    ShellPeerScript script;
    script.replies["info"] = {InfoReply(kInfoLines)};
    script.replies["user:getpassmode 1"] = {std::string("OK: User number 1 passmode 1") + kPrompt};
    script.replies["user:getpassmode 0"] = {std::string("OK: User number 0 passmode 0") + kPrompt};
    // The transcoder goes away while it restarts.
    script.replies["restart"] = {"OK: restarting\r\n", true};
    script.unknownReply = std::string("OK") + kPrompt;
    return script;
}

class Net2ConfigShellTest : public ::testing::Test {
protected:
    Net2ConfigShellTest() { m_shell.SetIoTimeout(1000ms); }

    RequestResult Read(CShellPeer& peer, const std::string& password, DeviceConfig& config) {
        return ReadNet2Config(m_shell, CShellPeer::kHost, peer.Port(), password, config);
    }
    RequestResult Write(CShellPeer& peer, const DeviceConfig& config, const DeviceConfig& current,
                        bool& addressChanged) {
        return WriteNet2Config(m_shell, CShellPeer::kHost, peer.Port(), config, current,
                               addressChanged);
    }

    CTelnetController m_shell;
};

TEST_F(Net2ConfigShellTest, ReadFillsTheNetworkFieldsAndKeepsTheOthers) {
    CShellPeer peer(Net2Script());
    DeviceConfig config{};
    SetFieldText(config.CurrPassword, "kept");
    config.AddressType = 1;
    config.Protocol = 2;

    ASSERT_EQ(Read(peer, "secret", config), RequestResult::kSuccess);
    EXPECT_EQ(FieldText(config.Description), "Office 2");
    EXPECT_EQ(uint32_t{config.IpAddr}, Ip("192.168.1.20"));
    EXPECT_EQ(uint32_t{config.SubNetMask}, Ip("255.255.255.0"));
    EXPECT_EQ(uint32_t{config.DefaultGateway}, Ip("192.168.1.1"));
    EXPECT_EQ(uint16_t{config.ConfigPort}, 5001);
    EXPECT_EQ(config.ProtectLevel, 1);
    EXPECT_EQ(uint32_t{config.FilterMinAddr}, Ip("0.0.0.1"));
    EXPECT_EQ(uint32_t{config.FilterMaxAddr}, Ip("255.255.255.255"));
    EXPECT_EQ(FieldText(config.CurrPassword), "kept");
    EXPECT_EQ(config.AddressType, 1);
    EXPECT_EQ(config.Protocol, 2);
    EXPECT_FALSE(m_shell.IsConnected());
    EXPECT_EQ(peer.Received(),
              (std::vector<std::string>{"admin", "secret", "info", "user:getpassmode 1",
                                        "user:getpassmode 0"}));
}

TEST_F(Net2ConfigShellTest, ReadResultsByLoginAndInfoShape) {
    struct Case {
        const char* name;
        std::string password;
        std::vector<std::string> info;  // empty: "info" answers an error
        RequestResult result;
        std::string description;
    };
    auto with = [](std::size_t index, std::string line) {
        std::vector<std::string> lines = kInfoLines;
        lines[index] = std::move(line);
        return lines;
    };
    auto without = [](std::size_t index) {
        std::vector<std::string> lines = kInfoLines;
        lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(index));
        return lines;
    };
    std::vector<std::string> swapped = kInfoLines;
    std::swap(swapped[2], swapped[3]);
    const std::vector<Case> cases = {
        {"wrong password", "guess", kInfoLines, RequestResult::kBadPassword, ""},
        {"empty description", "secret", with(1, "OK: Device description:"), RequestResult::kSuccess,
         ""},
        {"description of one blank", "secret", with(1, "OK: Device description: "),
         RequestResult::kSuccess, ""},
        {"description cut to its field", "secret",
         with(1, "OK: Device description: " + std::string(40, 'd')), RequestResult::kSuccess,
         std::string(31, 'd')},
        {"summary line missing", "secret", without(0), RequestResult::kSendFailed, ""},
        {"port line missing", "secret", without(5), RequestResult::kSendFailed, ""},
        {"address and mask swapped", "secret", swapped, RequestResult::kSendFailed, ""},
        {"address without value", "secret", with(2, "OK: IP address:"), RequestResult::kSendFailed,
         ""},
        {"router without value", "secret", with(4, "OK: IP router: "), RequestResult::kSendFailed,
         ""},
        {"port without value", "secret", with(5, "OK: Configuration port:"),
         RequestResult::kSendFailed, ""},
        {"address not dotted", "secret", with(2, "OK: IP address: 192.168.1"),
         RequestResult::kSendFailed, ""},
        {"port beyond 16 bits", "secret", with(5, "OK: Configuration port: 70000"),
         RequestResult::kSendFailed, ""},
        {"info refused", "secret", {}, RequestResult::kSendFailed, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ShellPeerScript script = Net2Script();
        script.replies["info"] = {c.info.empty() ? std::string("ERROR: busy") + kPrompt
                                                 : InfoReply(c.info)};
        CShellPeer peer(script);
        DeviceConfig config{};
        SetFieldText(config.Description, "before");
        const DeviceConfig before = config;

        EXPECT_EQ(Read(peer, c.password, config), c.result);
        EXPECT_FALSE(m_shell.IsConnected());
        if (c.result == RequestResult::kSuccess) {
            EXPECT_EQ(FieldText(config.Description), c.description);
            EXPECT_EQ(uint16_t{config.ConfigPort}, 5001);
        } else {
            // A failed read leaves the configuration as it was.
            EXPECT_EQ(std::memcmp(&config, &before, sizeof(config)), 0);
        }
    }
}

TEST_F(Net2ConfigShellTest, ProtectLevelFromThePasswordModes) {
    struct Case {
        const char* name;
        std::string startMode;   // reply to "user:getpassmode 1"
        std::string configMode;  // reply to "user:getpassmode 0"
        RequestResult result;
        uint8_t level;
        std::vector<std::string> commands;
    };
    const std::vector<std::string> both = {"info", "user:getpassmode 1", "user:getpassmode 0"};
    const std::vector<Case> cases = {
        {"start user asks a password",
         "OK: User number 1 passmode 0",
         "OK: User number 0 passmode 0",
         RequestResult::kSuccess,
         2,
         {"info", "user:getpassmode 1"}},
        {"only configuration asks", "OK: User number 1 passmode 1", "OK: User number 0 passmode 0",
         RequestResult::kSuccess, 1, both},
        {"nobody asks", "OK: User number 1 passmode 1", "OK: User number 0 passmode 1",
         RequestResult::kSuccess, 0, both},
        {"start mode refused",
         "ERROR: no user",
         "OK: User number 0 passmode 0",
         RequestResult::kSendFailed,
         9,
         {"info", "user:getpassmode 1"}},
        {"configuration mode refused", "OK: User number 1 passmode 1", "ERROR: no user",
         RequestResult::kSendFailed, 9, both},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ShellPeerScript script = Net2Script();
        script.replies["user:getpassmode 1"] = {c.startMode + kPrompt};
        script.replies["user:getpassmode 0"] = {c.configMode + kPrompt};
        CShellPeer peer(script);
        DeviceConfig config{};
        config.ProtectLevel = 9;

        EXPECT_EQ(Read(peer, "secret", config), c.result);
        EXPECT_EQ(config.ProtectLevel, c.level);
        EXPECT_EQ(peer.Commands(), c.commands);
    }
}

DeviceConfig NewConfig(uint8_t level, const char* startPassword) {
    DeviceConfig config{};
    SetFieldText(config.Description, "Hall");
    SetFieldText(config.CurrPassword, "secret");
    SetFieldText(config.NewPassword, "cfgpw");
    SetFieldText(config.StartPassword, startPassword);
    config.ProtectLevel = level;
    config.AddressType = 0;
    config.IpAddr = Ip("10.0.0.5");
    config.SubNetMask = Ip("255.0.0.0");
    config.DefaultGateway = Ip("10.0.0.1");
    config.ConfigPort = 6000;
    return config;
}

TEST_F(Net2ConfigShellTest, WriteSendsTheCommandsOfItsProtectLevel) {
    const std::vector<std::string> head = {
        "admin",       "secret",         "user:getpassmode 1", "setdescription Hall",
        "IP 10.0.0.5", "mask 255.0.0.0", "router 10.0.0.1"};
    const std::vector<std::string> tail = {"configport 6000", "user:save", "restart"};
    struct Case {
        const char* name;
        uint8_t level;
        const char* startPassword;
        std::string startMode;  // the transcoder's answer to "user:getpassmode 1"
        RequestResult result;
        std::vector<std::string> middle;  // after head; tail follows on success
        std::size_t headLength;
    };
    const std::string open = "OK: User number 1 passmode 1";
    const std::string asks = "OK: User number 1 passmode 0";
    const std::vector<Case> cases = {
        {"level 0",
         0,
         "",
         open,
         RequestResult::kSuccess,
         {"user:setpassmode 0 1", "user:setpassmode 1 1"},
         head.size()},
        {"level 1",
         1,
         "",
         open,
         RequestResult::kSuccess,
         {"user:setpassmode 0 0", "user:setpassmode 1 1", "user:password 0 cfgpw"},
         head.size()},
        {"level 2 with start password",
         2,
         "startpw",
         open,
         RequestResult::kSuccess,
         {"user:setpassmode 0 0", "user:setpassmode 1 0", "user:password 0 cfgpw",
          "user:password 1 startpw"},
         head.size()},
        {"level 2 keeping the start password",
         2,
         "",
         asks,
         RequestResult::kSuccess,
         {"user:setpassmode 0 0", "user:setpassmode 1 0", "user:password 0 cfgpw"},
         head.size()},
        {"level 3 fails after the address commands",
         3,
         "",
         open,
         RequestResult::kSendFailed,
         {},
         head.size()},
        {"level 2 without a start password for an open start user",
         2,
         "",
         open,
         RequestResult::kSendFailed,
         {},
         3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ShellPeerScript script = Net2Script();
        script.replies["user:getpassmode 1"] = {c.startMode + kPrompt};
        CShellPeer peer(script);
        bool addressChanged = true;

        EXPECT_EQ(Write(peer, NewConfig(c.level, c.startPassword), NewConfig(c.level, ""),
                        addressChanged),
                  c.result);
        EXPECT_FALSE(addressChanged);
        EXPECT_FALSE(m_shell.IsConnected());
        std::vector<std::string> expected(head.begin(),
                                          head.begin() + static_cast<std::ptrdiff_t>(c.headLength));
        expected.insert(expected.end(), c.middle.begin(), c.middle.end());
        if (c.result == RequestResult::kSuccess) {
            expected.insert(expected.end(), tail.begin(), tail.end());
        }
        EXPECT_EQ(peer.Received(), expected);
    }
}

TEST_F(Net2ConfigShellTest, WriteFailures) {
    struct Case {
        const char* name;
        std::string password;  // the transcoder's
        std::string failing;   // a command answered with an error
        const char* description;
        RequestResult result;
        std::vector<std::string> received;
    };
    const std::vector<Case> cases = {
        {"wrong password", "other", "", "Hall", RequestResult::kBadPassword, {"admin", "secret"}},
        {"mask refused",
         "secret",
         "mask 255.0.0.0",
         "Hall",
         RequestResult::kSendFailed,
         {"admin", "secret", "user:getpassmode 1", "setdescription Hall", "IP 10.0.0.5",
          "mask 255.0.0.0"}},
        {"configport refused",
         "secret",
         "configport 6000",
         "Hall",
         RequestResult::kSendFailed,
         {"admin", "secret", "user:getpassmode 1", "setdescription Hall", "IP 10.0.0.5",
          "mask 255.0.0.0", "router 10.0.0.1", "user:setpassmode 0 0", "user:setpassmode 1 1",
          "user:password 0 cfgpw", "configport 6000"}},
        // A line end in a text would smuggle another command into the shell.
        {"description with a line end",
         "secret",
         "",
         "Hall\r\nrestart",
         RequestResult::kSendFailed,
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ShellPeerScript script = Net2Script();
        script.password = c.password;
        if (!c.failing.empty()) {
            script.replies[c.failing] = {std::string("ERROR: bad value") + kPrompt};
        }
        CShellPeer peer(script);
        DeviceConfig config = NewConfig(1, "");
        SetFieldText(config.Description, c.description);
        bool addressChanged = true;

        EXPECT_EQ(Write(peer, config, config, addressChanged), c.result);
        EXPECT_FALSE(addressChanged);
        EXPECT_FALSE(m_shell.IsConnected());
        EXPECT_EQ(peer.Received(), c.received);
    }
}

TEST_F(Net2ConfigShellTest, AddressChangeIsTheTypeTheIpOrTheConfigurationPort) {
    struct Case {
        const char* name;
        void (*change)(DeviceConfig&);
        bool changed;
    };
    const std::vector<Case> cases = {
        {"address type", [](DeviceConfig& c) { c.AddressType = 1; }, true},
        {"IP address", [](DeviceConfig& c) { c.IpAddr = Ip("10.0.0.6"); }, true},
        {"configuration port", [](DeviceConfig& c) { c.ConfigPort = 6001; }, true},
        {"mask and description only",
         [](DeviceConfig& c) {
             c.SubNetMask = Ip("255.255.0.0");
             SetFieldText(c.Description, "Other");
         },
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CShellPeer peer(Net2Script());
        const DeviceConfig current = NewConfig(0, "");
        DeviceConfig config = current;
        c.change(config);
        bool addressChanged = !c.changed;

        EXPECT_EQ(Write(peer, config, current, addressChanged), RequestResult::kSuccess);
        EXPECT_EQ(addressChanged, c.changed);
    }
}

TEST_F(Net2ConfigShellTest, NoShellListeningFailsWithoutBadPassword) {
    test::CRefusingPort refusing;
    DeviceConfig config{};
    EXPECT_EQ(ReadNet2Config(m_shell, CShellPeer::kHost, refusing.Port(), "secret", config),
              RequestResult::kSendFailed);
    bool addressChanged = true;
    EXPECT_EQ(WriteNet2Config(m_shell, CShellPeer::kHost, refusing.Port(), NewConfig(0, ""), config,
                              addressChanged),
              RequestResult::kSendFailed);
    EXPECT_FALSE(addressChanged);
}

}  // namespace
}  // namespace zorv
