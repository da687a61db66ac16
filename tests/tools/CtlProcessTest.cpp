// zorv18ctl against the real server recording the demonstration board over
// loopback: status, watch, users, journal and find, in text and JSON, and its
// exit codes when it cannot log in or connect.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>

#include "core/Journal.h"
#include "platform/Cp1251.h"
#include "support/ChildProcess.h"
#include "support/JournalReader.h"
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
        m_server = std::make_unique<CChildProcess>(BuiltProgram("zorv18server"),
                                                   std::vector<std::string>{}, m_dir.Path(), Env());
        ASSERT_TRUE(PollUntil(
            [&] {
                for (const std::string& t : JournalTexts(m_dir.File("ZORV_18.log"))) {
                    if (t == CatalogText(Msg{229})) {
                        return true;
                    }
                }
                return false;
            },
            20s))
            << m_server->Stderr();
        const std::vector<uint16_t> tcp = ProcessPorts(m_server->Pid(), "/proc/net/tcp", true);
        ASSERT_EQ(tcp.size(), 1u);
        m_port = tcp[0];
        m_udp = ProcessPorts(m_server->Pid(), "/proc/net/udp", false);
    }

    void TearDown() override {
        if (m_server) {
            m_server->Signal(SIGTERM);
            EXPECT_EQ(m_server->Wait(15s), 0);
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
                                         const std::string& password = "demo") {
        const std::string cwd = m_dir.File("ctl" + std::to_string(m_runs++));
        std::filesystem::create_directory(cwd);
        return std::make_unique<CChildProcess>(
            BuiltProgram("zorv18ctl"), std::move(args), cwd,
            std::vector<std::string>{"ZORV_PASSWORD=" + password});
    }
    std::vector<std::string> Login(std::vector<std::string> tail) const {
        std::vector<std::string> args = {"--port", std::to_string(m_port), "--user", "demo"};
        args.insert(args.end(), tail.begin(), tail.end());
        return args;
    }
    // Runs zorv18ctl to its end: exit status and standard output.
    std::pair<int, std::string> Run(std::vector<std::string> args,
                                    const std::string& password = "demo") {
        auto ctl = Start(std::move(args), password);
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
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Run(c.args, c.password).first, c.rc) << c.what;
    }
}

}  // namespace
}  // namespace zorv::test
