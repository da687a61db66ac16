// The server executable as an operator runs it: start, SIGTERM, registration
// words and the service unit.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>

#include "core/Journal.h"
#include "platform/IniFile.h"
#include "platform/Registry.h"
#include "support/ChildProcess.h"
#include "support/JournalReader.h"
#include "support/TempDir.h"

namespace zorv::test {
namespace {

using namespace std::chrono_literals;

class ServerProcessTest : public ::testing::Test {
protected:
    std::vector<std::string> Env() const {
        return {"ZORV_REGISTRY=" + m_dir.File("registry.ini"),
                "ZORV_UNIT_DIR=" + m_dir.File("units")};
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
    EXPECT_TRUE(std::filesystem::exists(m_dir.File("units/ZORV18Server.service")));
    auto unregister = Launch({"-UnregServer"});
    EXPECT_EQ(unregister->Wait(15s), 0);
    EXPECT_FALSE(std::filesystem::exists(m_dir.File("units/ZORV18Server.service")));
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
