// The server executable as an operator runs it: start, SIGTERM, registration
// words and the service unit.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/Journal.h"
#include "platform/Cp1251.h"
#include "platform/IniFile.h"
#include "platform/Registry.h"
#include "support/ChildProcess.h"
#include "support/Files.h"
#include "support/JournalReader.h"
#include "support/SystemdUnit.h"
#include "support/TempDir.h"

namespace zorv::test {
namespace {

using namespace std::chrono_literals;

class ServerProcessTest : public ::testing::Test {
protected:
    std::vector<std::string> Env() const {
        return {"ZORV_REGISTRY=" + m_dir.File("registry.ini"),
                "ZORV_UNIT_DIR=" + m_dir.File("units"),
                "ZORV_DBUS_POLICY_DIR=" + m_dir.File("dbus")};
    }
    std::unique_ptr<CChildProcess> Launch(const std::vector<std::string>& args = {}) {
        return std::make_unique<CChildProcess>(BuiltProgram("zorv18server"), args, m_dir.Path(),
                                               Env());
    }
    bool JournalHas(const std::string& text) const {
        for (const std::string& t : JournalTexts(m_dir.File("ZORV_18.log"))) {
            if (t == text) {
                return true;
            }
        }
        return false;
    }
    CRegistryKey ServerKey() const { return {m_dir.File("registry.ini"), "SOFTWARE\\ZORV_18"}; }

    CTempDir m_dir;
};

TEST_F(ServerProcessTest, RunsUntilSigtermAndSavesThePathSettings) {
    auto server = Launch();
    ASSERT_TRUE(PollUntil([&] { return JournalHas(CatalogText(Msg{229})); }, 20s))
        << server->Stderr();
    EXPECT_TRUE(server->Running());
    server->Signal(SIGTERM);
    EXPECT_EQ(server->Wait(15s), 0);
    EXPECT_NE(server->Stdout().find("Service started\nService stopped\n"), std::string::npos);

    IniFile settings(m_dir.File("ZORV_18.ini"));
    EXPECT_EQ(settings.Find("Path", "Directory1"), m_dir.File("DvrFiles"));
    EXPECT_EQ(settings.Find("Path", "Directory2"), m_dir.File("DvrFiles"));
    EXPECT_EQ(settings.Find("Path", "MaxSizeFile"), "60");
    EXPECT_EQ(settings.Find("Path", "MinSizeFile"), "5");
    EXPECT_TRUE(std::filesystem::is_directory(m_dir.File("DvrFiles")));
    EXPECT_EQ(ServerKey().GetString("Power"), "Ok");
    EXPECT_TRUE(JournalHas("Shutdown"));
}

TEST_F(ServerProcessTest, JournalOfAStartAndStop) {
    auto server = Launch();
    ASSERT_TRUE(PollUntil([&] { return JournalHas(CatalogText(Msg{229})); }, 20s));
    server->Signal(SIGTERM);
    ASSERT_EQ(server->Wait(15s), 0);

    const std::vector<JournalLine> lines = ReadJournal(m_dir.File("ZORV_18.log"));
    std::vector<std::string> texts;
    for (const JournalLine& line : lines) {
        EXPECT_TRUE(line.wellFormed) << line.text;
        EXPECT_EQ(line.kind, 0) << line.text;
        // Every byte is a windows-1251 character (0x98 is the one hole).
        EXPECT_EQ(line.text.find('\x98'), std::string::npos);
        texts.push_back(line.text);
    }
    std::vector<std::string> wanted;
    for (int id : {225, 229, 233, 234, 235, 237}) {
        wanted.push_back(CatalogText(Msg{id}));
    }
    wanted.push_back("Shutdown");
    size_t at = 0;
    for (const std::string& want : wanted) {
        while (at < texts.size() && texts[at] != want) {
            ++at;
        }
        ASSERT_LT(at, texts.size()) << "missing or out of order: " << Cp1251ToUtf8(want);
    }
    EXPECT_EQ(texts.back(), "Shutdown");
}

TEST_F(ServerProcessTest, LanguageFileReplacesATextOfTheJournal) {
    std::ofstream(m_dir.File("ZORV.ini")) << "[Advanced]\nLanguage=Operator.lng\n";
    // A replaced start text, and a stop text whose "%d" became "%s": that one
    // must fall back to its built-in text, not crash.
    std::ofstream(m_dir.File("Operator.lng"))
        << "[RecordServer]\n229=Recording server started.\n232=Stopped with %s\n";
    auto server = Launch();
    ASSERT_TRUE(PollUntil([&] { return JournalHas("Recording server started."); }, 20s))
        << server->Stderr();
    server->Signal(SIGTERM);
    ASSERT_EQ(server->Wait(15s), 0);
    EXPECT_FALSE(JournalHas(CatalogText(Msg{229})));
    EXPECT_TRUE(JournalHas(*SafeSprintf(CMessageCatalog::BuiltinText(232), 0)));
}

TEST_F(ServerProcessTest, DemonstrationBoardStarts) {
    auto server = std::make_unique<CChildProcess>(
        BuiltProgram("zorv18server"), std::vector<std::string>{}, m_dir.Path(),
        std::vector<std::string>{
            "ZORV_REGISTRY=" + m_dir.File("registry.ini"),
            std::string("ZORV_BOARD_SCENARIO=") + ZORV_SOURCE_DIR + "/tools/scenarios/demo.ini"});
    // "Device 1 started successfully."
    ASSERT_TRUE(PollUntil([&] { return JournalHas(FormatCatalogText(Msg{231}, 1)); }, 20s))
        << server->Stderr();
    server->Signal(SIGTERM);
    EXPECT_EQ(server->Wait(15s), 0);
    EXPECT_TRUE(JournalHas(FormatCatalogText(Msg{236}, 1)));  // and stopped with the server
}

TEST_F(ServerProcessTest, ScenarioThatCannotBeLoadedStopsTheStartClearly) {
    std::ofstream(m_dir.File("bad.ini")) << "[Board0]\nInfoWord = nonsense\n";
    CChildProcess server(BuiltProgram("zorv18server"), {}, m_dir.Path(),
                         {"ZORV_REGISTRY=" + m_dir.File("registry.ini"),
                          "ZORV_BOARD_SCENARIO=" + m_dir.File("bad.ini")});
    EXPECT_EQ(server.Wait(15s), 1);
    EXPECT_NE(server.Stderr().find("bad.ini"), std::string::npos);
}

// Started with a low soft limit of open files (as a shell or a systemd unit
// gives, 1024, which 100 transcoders' lines and sockets fill), the server
// runs with the hard limit.
TEST_F(ServerProcessTest, RaisesItsOpenFileLimitToTheHardLimit) {
    rlimit mine{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &mine), 0);
    if (mine.rlim_max <= 256) {
        GTEST_SKIP() << "the hard limit of open files is only " << mine.rlim_max;
    }
    rlimit low = mine;
    low.rlim_cur = 256;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    auto server = Launch();  // inherits the low soft limit
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &mine), 0);
    ASSERT_TRUE(PollUntil([&] { return JournalHas(CatalogText(Msg{229})); }, 20s))
        << server->Stderr();
    // "Max open files            <soft>               <hard>               files"
    std::ifstream limits("/proc/" + std::to_string(server->Pid()) + "/limits");
    std::string line;
    while (std::getline(limits, line) && !line.starts_with("Max open files")) {
    }
    std::istringstream fields(line.substr(std::string("Max open files").size()));
    std::string soft, hard;
    fields >> soft >> hard;
    EXPECT_EQ(soft, hard) << line;
    EXPECT_EQ(hard, mine.rlim_max == RLIM_INFINITY ? "unlimited" : std::to_string(mine.rlim_max));
    server->Signal(SIGTERM);
    EXPECT_EQ(server->Wait(15s), 0);
}

TEST_F(ServerProcessTest, SigintStopsItToo) {
    auto server = Launch();
    ASSERT_TRUE(PollUntil([&] { return JournalHas(CatalogText(Msg{229})); }, 20s));
    server->Signal(SIGINT);
    EXPECT_EQ(server->Wait(15s), 0);
}

TEST_F(ServerProcessTest, RegistrationWords) {
    const std::string binDir = std::filesystem::path(BuiltProgram("zorv18server")).parent_path();
    for (const char* word : {"-RegServer", "/regserver"}) {
        SCOPED_TRACE(word);
        std::filesystem::remove(m_dir.File("registry.ini"));
        auto process = Launch({word});
        EXPECT_EQ(process->Wait(15s), 0);
        EXPECT_EQ(ServerKey().GetString("WorkDirectory"), binDir);
        EXPECT_FALSE(std::filesystem::exists(m_dir.File("ZORV_18.log")));  // did not run
    }

    auto service = Launch({"-Service"});
    EXPECT_EQ(service->Wait(15s), 0);
    const std::string unit = m_dir.File("units/ZORV18Server.service");
    ASSERT_TRUE(std::filesystem::exists(unit));
    const std::string unitText = ReadBytes(unit);
    EXPECT_NE(unitText.find("\nWorkingDirectory=" + binDir + "\n"), std::string::npos) << unitText;
    const std::string installed = m_dir.File("installed/ZORV18Server.service");
    std::filesystem::create_directories(m_dir.File("installed"));
    std::filesystem::copy_file(unit, installed);
    auto unregister = Launch({"-UnregServer"});
    EXPECT_EQ(unregister->Wait(15s), 0);
    EXPECT_FALSE(std::filesystem::exists(unit));
    // The unit the executable wrote is one systemd loads.
    EXPECT_UNIT_VERIFIES(installed);
}

// One work directory, one server: a second one started while the first runs
// says so on standard error and in the journal and exits with its own code;
// the first goes on. The users words still work beside the running server.
TEST_F(ServerProcessTest, SecondServerInTheWorkDirectoryIsRefused) {
    auto first = Launch();
    ASSERT_TRUE(PollUntil([&] { return JournalHas(CatalogText(Msg{229})); }, 20s))
        << first->Stderr();
    auto second = Launch();
    EXPECT_EQ(second->Wait(15s), 6);
    const std::string pid = std::to_string(first->Pid());
    EXPECT_NE(second->Stderr().find("another server runs in the work directory " + m_dir.Path() +
                                    " (process " + pid + ")"),
              std::string::npos)
        << second->Stderr();
    EXPECT_TRUE(JournalHas("Another server runs in this work directory (process " + pid +
                           "): this one does not start"));
    EXPECT_EQ(second->Stdout().find("Service started"), std::string::npos);
    CChildProcess list(BuiltProgram("zorv18server"), {"-ListUsers"}, m_dir.Path(), Env());
    EXPECT_EQ(list.Wait(15s), 0) << list.Stderr();
    EXPECT_TRUE(first->Running());
    first->Signal(SIGTERM);
    EXPECT_EQ(first->Wait(15s), 0);
    // The lock ends with the process that held it.
    auto next = Launch();
    ASSERT_TRUE(
        PollUntil([&] { return next->Stdout().find("Service started") != std::string::npos; }, 20s))
        << next->Stderr();
    next->Signal(SIGTERM);
    EXPECT_EQ(next->Wait(15s), 0);
}

TEST_F(ServerProcessTest, WordFollowedByMoreRunsTheServer) {
    // The work directory must stay the test's own: no WorkDirectory value.
    auto server = Launch({"-RegServer", "-x"});
    ASSERT_TRUE(PollUntil([&] { return JournalHas(CatalogText(Msg{229})); }, 20s))
        << server->Stderr();
    server->Signal(SIGTERM);
    EXPECT_EQ(server->Wait(15s), 0);
    EXPECT_FALSE(ServerKey().GetString("WorkDirectory"));
}

}  // namespace
}  // namespace zorv::test
