// zorv18ctl against the real server recording the demonstration board over
// loopback: status, watch, users, journal and find, in text and JSON, and its
// exit codes when it cannot log in or connect.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "core/Journal.h"
#include "platform/Cp1251.h"
#include "platform/IniDocument.h"
#include "support/ChildProcess.h"
#include "support/JournalReader.h"
#include "support/PrivateBus.h"
#include "support/ProcessPorts.h"
#include "support/TempDir.h"

namespace zorv::test {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

class CtlProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::copy_file(
            std::string(ZORV_SOURCE_DIR) + "/tools/scenarios/demo-settings.ini",
            m_dir.File("ZORV_18.ini"));
        CChildProcess add(BuiltProgram("zorv18server"), {"-AddUser", "demo"}, m_dir.Path(), Env(),
                          std::string("demo\n"));
        ASSERT_EQ(add.Wait(60s), 0) << add.Stderr();
        StartServer();
    }

    // Starts the server (again) and waits until it runs: one more "started"
    // text in the journal than before.
    void StartServer() {
        const auto started = [&] {
            int count = 0;
            for (const std::string& t : JournalTexts(m_dir.File("ZORV_18.log"))) {
                count += t == CatalogText(Msg{229}) ? 1 : 0;
            }
            return count;
        };
        const int before = started();
        m_server = std::make_unique<CChildProcess>(BuiltProgram("zorv18server"),
                                                   std::vector<std::string>{}, m_dir.Path(), Env());
        ASSERT_TRUE(PollUntil([&] { return started() > before; }, 20s)) << m_server->Stderr();
        const std::vector<uint16_t> tcp = ProcessPorts(m_server->Pid(), "/proc/net/tcp", true);
        ASSERT_EQ(tcp.size(), 1u);
        m_port = tcp[0];
        m_udp = ProcessPorts(m_server->Pid(), "/proc/net/udp", false);
    }

    void StopServer() {
        m_server->Signal(SIGTERM);
        EXPECT_EQ(m_server->Wait(15s), 0) << m_server->Stderr();
        m_server.reset();
    }

    void TearDown() override {
        if (m_server) {
            StopServer();
        }
    }

    std::vector<std::string> Env() const {
        return {
            "ZORV_REGISTRY=" + m_dir.File("registry.ini"), "ZORV_NETWORK_BIND=127.0.0.1",
            "ZORV_BOARD_SCENARIO=" + std::string(ZORV_SOURCE_DIR) + "/tools/scenarios/demo.ini"};
    }

    // Starts zorv18ctl in its own directory (its output files are named
    // after the program) with the password in the environment.
    std::unique_ptr<CChildProcess> Start(std::vector<std::string> args,
                                         const std::string& password = "demo",
                                         std::vector<std::string> env = {}) {
        const std::string cwd = m_dir.File("ctl" + std::to_string(m_runs++));
        std::filesystem::create_directory(cwd);
        env.push_back("ZORV_PASSWORD=" + password);
        return std::make_unique<CChildProcess>(BuiltProgram("zorv18ctl"), std::move(args), cwd,
                                               env);
    }
    std::vector<std::string> Login(std::vector<std::string> tail,
                                   const std::string& user = "demo") const {
        std::vector<std::string> args = {"--port", std::to_string(m_port), "--user", user};
        args.insert(args.end(), tail.begin(), tail.end());
        return args;
    }
    // Runs zorv18ctl to its end: exit status and standard output.
    std::pair<int, std::string> Run(std::vector<std::string> args,
                                    const std::string& password = "demo",
                                    std::vector<std::string> env = {}) {
        auto ctl = Start(std::move(args), password, std::move(env));
        const std::optional<int> rc = ctl->Wait(60s);
        return {rc.value_or(-1), ctl->Stdout() + ctl->Stderr()};
    }

    CTempDir m_dir;
    std::unique_ptr<CChildProcess> m_server;
    uint16_t m_port = 0;
    std::vector<uint16_t> m_udp;
    int m_runs = 0;
};

TEST_F(CtlProcessTest, ShowsTheServerAndItsCallsAsTheyHappen) {
    // The watcher follows the first call of line 1: it rings, an FSK caller
    // ID arrives between the rings, and the call is taken at 6 s.
    auto watch = Start(Login({"--json", "--seconds", "9", "watch"}));

    const auto [statusRc, statusText] = Run(Login({"--json", "status"}));
    ASSERT_EQ(statusRc, 0) << statusText;
    const json status = json::parse(statusText);
    EXPECT_EQ(status["state"], "running");
    EXPECT_EQ(status["port"], m_port);
    EXPECT_EQ(status["paths"][0]["path"], m_dir.File("DvrFiles"));
    ASSERT_EQ(status["deviceList"].size(), 1u);
    ASSERT_EQ(status["deviceList"][0]["channels"].size(), 6u);
    EXPECT_EQ(status["deviceList"][0]["channels"][5]["line"], 6);
    EXPECT_EQ(status["deviceList"][0]["channels"][0]["sampleRate"], 8000);

    const auto [textRc, text] = Run(Login({"status"}));
    EXPECT_EQ(textRc, 0);
    EXPECT_NE(text.find("Server: running, 1 device(s), 6 channel(s)"), std::string::npos) << text;
    EXPECT_NE(text.find("Device 0: board 0x"), std::string::npos) << text;

    ASSERT_EQ(watch->Wait(60s), 0) << watch->Stderr();
    std::istringstream lines(watch->Stdout());
    std::string line;
    std::vector<std::string> states;
    std::string number;
    while (std::getline(lines, line)) {
        const json event = json::parse(line);
        if (event["event"] == "line" && event["line"] == 1) {
            states.push_back(event["state"]);
            if (event["state"] == "call in") {
                number = event["number"];
            }
        }
    }
    ASSERT_FALSE(states.empty());
    EXPECT_NE(std::find(states.begin(), states.end(), "call in"), states.end()) << watch->Stdout();
    EXPECT_NE(std::find(states.begin(), states.end(), "ringing"), states.end()) << watch->Stdout();
    EXPECT_EQ(number, "4955551234");
}

TEST_F(CtlProcessTest, ListsUsersReadsTheJournalAndFindsTheServer) {
    const auto [usersRc, users] = Run(Login({"--json", "users"}));
    ASSERT_EQ(usersRc, 0) << users;
    const json list = json::parse(users);
    ASSERT_EQ(list.size(), 1u);  // itself
    EXPECT_EQ(list[0]["name"], "demo");
    EXPECT_EQ(list[0]["address"].get<std::string>().rfind("127.0.0.1:", 0), 0u);

    const auto [journalRc, journal] = Run(Login({"journal"}));
    ASSERT_EQ(journalRc, 0);
    EXPECT_NE(journal.find(Cp1251ToUtf8(FormatCatalogText(Msg{145}, "demo"))), std::string::npos)
        << journal;
    EXPECT_NE(journal.find(Cp1251ToUtf8(CatalogText(Msg{229}))), std::string::npos);

    bool found = false;
    for (uint16_t port : m_udp) {
        const auto [findRc, answers] =
            Run({"--broadcast", "127.0.0.1", "--announce-port", std::to_string(port), "--wait",
                 "500", "--json", "find"});
        ASSERT_EQ(findRc, 0) << answers;
        for (const json& a : json::parse(answers)) {
            found = found || (a["port"] == m_port && a["service"] == "QTS Network System");
        }
    }
    EXPECT_TRUE(found);
}

// Each setting goes to the server as its own command: the server pushes the
// changed channels to a watching client and writes them to the channel
// settings; a channel switched off stays off after a restart.
TEST_F(CtlProcessTest, SettingsReachTheChannelsTheFileAndOtherClients) {
    struct Case {
        std::string channels;
        std::string key;
        std::string value;
        std::vector<int> changed;  // the channels to look at
        const char* pushed;        // the watcher's field
        json expected;
        const char* stored;  // the settings file's key
        std::string storedValue;
    };
    const Case cases[] = {
        {"1-2", "threshold", "1234", {1, 2}, "threshold", 1234, "Treshold", "1234"},
        {"1", "ton", "7", {1}, "tOn", 7, "TOn", "7"},
        {"1", "toff", "9", {1}, "tOff", 9, "TOff", "9"},
        {"2", "activation", "level", {2}, "activate", 1, "Activate", "1"},
        {"2", "compression", "off", {2}, "compress", 0, "Compression", "0"},
        {"3", "enable", "off", {3}, "enabled", false, "Enable", "0"},
        // The master of the pair.
        {"4-5", "stereo", "on", {4}, "mode", 3, "Mode", "3"},
    };
    auto watch = Start(Login({"--json", "--seconds", "30", "watch"}));
    ASSERT_TRUE(
        PollUntil([&] { return watch->Stdout().find("\"line\"") != std::string::npos; }, 20s))
        << watch->Stderr();
    for (const Case& c : cases) {
        const auto [rc, text] = Run(Login({"set", "0", c.channels, c.key, c.value}));
        EXPECT_EQ(rc, 0) << c.key << ": " << text;
        EXPECT_EQ(text, "done\n") << c.key;
    }
    const auto pushed = [&](const Case& c, int channel) {
        std::istringstream lines(watch->Stdout());
        std::string line;
        bool found = false;
        while (std::getline(lines, line)) {
            const json event = json::parse(line);
            found = found || (event["event"] == "channel-parameters" && event["device"] == 0 &&
                              event["channel"] == channel && event[c.pushed] == c.expected);
        }
        return found;
    };
    const auto [statusRc, statusText] = Run(Login({"--json", "status"}));
    ASSERT_EQ(statusRc, 0) << statusText;
    const std::string section =
        "Channel" + std::to_string(json::parse(statusText)["deviceList"][0]["serial"].get<int>());
    for (const Case& c : cases) {
        for (const int channel : c.changed) {
            EXPECT_TRUE(PollUntil([&] { return pushed(c, channel); }, 20s))
                << c.key << " of channel " << channel << "\n"
                << watch->Stdout();
            std::ifstream file(m_dir.File("ZORV_18.ini"));
            const std::string text((std::istreambuf_iterator<char>(file)),
                                   std::istreambuf_iterator<char>());
            const CIniDocument settings = CIniDocument::Parse(text);
            const std::string* stored =
                settings.Find(section + "-" + std::to_string(channel), c.stored);
            ASSERT_NE(stored, nullptr) << c.stored << " of channel " << channel << "\n" << text;
            EXPECT_EQ(*stored, c.storedValue) << c.stored;
        }
    }
    watch->Signal(SIGTERM);
    EXPECT_EQ(watch->Wait(20s), 0);

    StopServer();
    StartServer();
    const auto [againRc, again] = Run(Login({"--json", "status"}));
    ASSERT_EQ(againRc, 0) << again;
    const json channels = json::parse(again)["deviceList"][0]["channels"];
    EXPECT_EQ(channels[3]["enabled"], false);
    EXPECT_EQ(channels[4]["enabled"], true);
}

// A user added with login rights only and two channels can log in but not
// change a channel; renamed and deleted it is gone. Shutdown stops the
// server cleanly.
TEST_F(CtlProcessTest, ManagesUsersAndStopsTheServer) {
    const auto names = [&] {
        const auto [rc, text] = Run(Login({"--json", "user", "list"}));
        EXPECT_EQ(rc, 0) << text;
        std::vector<std::string> all;
        for (const json& u : json::parse(text)) {
            all.push_back(u["name"]);
        }
        std::sort(all.begin(), all.end());
        return all;
    };
    const std::vector<std::string> secret = {"ZORV_NEW_PASSWORD=s3cret"};
    const auto [addRc, added] =
        Run(Login({"user", "add", "oper", "--channels", "0-1", "--full-name", "Оператор"}), "demo",
            secret);
    ASSERT_EQ(addRc, 0) << added;
    EXPECT_EQ(names(), (std::vector<std::string>{"demo", "oper"}));
    const auto [showRc, shown] = Run(Login({"--json", "user", "show", "oper"}));
    ASSERT_EQ(showRc, 0) << shown;
    const json oper = json::parse(shown);
    EXPECT_EQ(oper["admin"], false);
    EXPECT_EQ(oper["functions"], "1");
    EXPECT_EQ(oper["channels"], "0-1");
    EXPECT_EQ(oper["fullName"], "Оператор");

    const auto [refusedRc, refused] =
        Run(Login({"set", "0", "1", "enable", "off"}, "oper"), "s3cret");
    EXPECT_EQ(refusedRc, 5) << refused;
    EXPECT_EQ(refused, "refused (no rights)\n");
    // Given the switching bit, the user may switch its own channels only.
    ASSERT_EQ(Run(Login({"user", "modify", "oper", "--functions", "1,15"})).first, 0);
    EXPECT_EQ(Run(Login({"set", "0", "1", "enable", "on"}, "oper"), "s3cret").first, 0);
    EXPECT_EQ(Run(Login({"set", "0", "1-2", "enable", "on"}, "oper"), "s3cret").first, 5);

    const auto [renameRc, renamed] = Run(Login({"user", "rename", "oper", "clerk"}));
    ASSERT_EQ(renameRc, 0) << renamed;
    EXPECT_EQ(names(), (std::vector<std::string>{"clerk", "demo"}));
    EXPECT_EQ(Run(Login({"status"}, "clerk"), "s3cret").first, 0);
    const auto [deleteRc, deleted] = Run(Login({"user", "delete", "clerk"}));
    ASSERT_EQ(deleteRc, 0) << deleted;
    EXPECT_EQ(names(), std::vector<std::string>{"demo"});
    EXPECT_EQ(Run(Login({"user", "delete", "clerk"})).first, 4);

    const auto [stopRc, stopped] = Run(Login({"shutdown"}));
    EXPECT_EQ(stopRc, 0) << stopped;
    EXPECT_EQ(stopped, "done\n");
    EXPECT_EQ(m_server->Wait(30s), 0) << m_server->Stderr();
    m_server.reset();
}

// listen asks the server for the link over its local interface on a bus of
// the test's own and writes what it hears as a WAV file soxi reads.
TEST_F(CtlProcessTest, ListensToAChannelThroughTheLocalInterface) {
    CPrivateBus bus;
    ASSERT_TRUE(bus.Running());
    StopServer();
    std::ofstream(m_dir.File("ZORV_18.ini"), std::ios::app)
        << "\n[LocalInterface]\nBus=" << bus.Address() << "\n";
    StartServer();
    const std::vector<std::string> listen = {"listen", "0", "1", "--bus", bus.Address(),
                                             "--run-dir", m_dir.Path(), "--seconds", "6"};
    EXPECT_EQ(Run(Login(listen), "wrong").first, 4) << "local login refused";
    // After a refused login the account's next check comes a second later.
    std::this_thread::sleep_for(1100ms);
    auto ctl = Start(Login(listen));
    ASSERT_EQ(ctl->Wait(60s), 0) << ctl->Stderr();
    const std::string wav = m_dir.File("ctl" + std::to_string(m_runs - 1) + "/zorv18ctl.out");
    CChildProcess soxi("/usr/bin/soxi", {"-r", wav}, m_dir.Path(), {});
    ASSERT_EQ(soxi.Wait(30s), 0) << soxi.Stderr();
    EXPECT_EQ(soxi.Stdout(), "8000\n");
    CChildProcess samples("/usr/bin/soxi", {"-s", wav}, m_dir.Path(), {});
    ASSERT_EQ(samples.Wait(30s), 0);
    EXPECT_GT(std::stol(samples.Stdout()), 8000) << "more than a second of the call";
}

TEST_F(CtlProcessTest, ExitCodesTellWhatWentWrong) {
    struct Case {
        const char* what;
        std::vector<std::string> args;
        std::string password;
        int rc;
    };
    const Case cases[] = {
        {"wrong password", Login({"status"}), "wrong", 3},
        {"no server", {"--port", "1", "--user", "demo", "status"}, "demo", 2},
        {"no user", {"--port", std::to_string(m_port), "status"}, "demo", 1},
        {"unknown command", Login({"restart"}), "demo", 1},
        {"bad port", {"--port", "70000", "--user", "demo", "status"}, "demo", 1},
        {"unknown setting", Login({"set", "0", "1", "colour", "red"}), "demo", 1},
        {"threshold too high", Login({"set", "0", "1", "threshold", "40000"}), "demo", 1},
        {"rate not offered", Login({"set", "0", "1", "rate", "11025"}), "demo", 1},
        {"stereo of one channel", Login({"set", "0", "1", "stereo", "on"}), "demo", 1},
        {"channel range reversed", Login({"set", "0", "3-1", "enable", "on"}), "demo", 1},
        {"no such channel", Login({"set", "0", "40", "enable", "on"}), "demo", 4},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Run(c.args, c.password).first, c.rc) << c.what;
    }
}

}  // namespace
}  // namespace zorv::test
