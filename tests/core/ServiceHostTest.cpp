// Command-line words, registration and the systemd unit.
#include "core/ServiceHost.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/TempDir.h"

namespace zorv::test {
namespace {

TEST(ServiceHostTest, CommandWords) {
    struct Case {
        const char* line;
        CommandWord word;
    };
    for (const Case c : {Case{"", CommandWord::kRun},
                         Case{"-RegServer", CommandWord::kRegServer},
                         Case{"/regserver", CommandWord::kRegServer},
                         Case{"-REGSERVER", CommandWord::kRegServer},
                         Case{"-RegServer -x", CommandWord::kRun},
                         Case{"-x -RegServer", CommandWord::kRegServer},
                         Case{"-UnregServer", CommandWord::kUnregServer},
                         Case{"/unregserver", CommandWord::kUnregServer},
                         Case{"-Service", CommandWord::kService},
                         Case{"/SERVICE", CommandWord::kService},
                         Case{"-Services", CommandWord::kRun},
                         Case{"RegServer", CommandWord::kRun},
                         Case{"- RegServer", CommandWord::kRun},
                         Case{"--RegServer", CommandWord::kRegServer}}) {
        EXPECT_EQ(ParseCommandLine(c.line), c.word) << "\"" << c.line << "\"";
    }
    const char* argv[] = {"zorv18server", "-RegServer", "-x"};
    EXPECT_EQ(JoinArguments(3, argv), "-RegServer -x");
}

class CSilentJournal final : public IJournal {
public:
    void WriteJournal(int kind, std::string_view text) override {
        m_lines.push_back(std::to_string(kind) + " " + std::string(text));
    }
    std::vector<std::string> m_lines;
};

class ServiceHostFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("ZORV_UNIT_DIR", m_dir.File("units").c_str(), 1);
        setenv("ZORV_REGISTRY", m_dir.File("registry.ini").c_str(), 1);
    }
    void TearDown() override {
        unsetenv("ZORV_UNIT_DIR");
        unsetenv("ZORV_REGISTRY");
    }

    CServiceHost Host() {
        return CServiceHost(m_names, m_dir.File("registry.ini"), m_dir.File("opt/zorv18server"),
                            m_journal);
    }
    std::string Unit() const { return m_dir.File("units/ZORV18Server.service"); }
    CRegistryKey ServerKey() const { return {m_dir.File("registry.ini"), "SOFTWARE\\ZORV_18"}; }
    CRegistryKey AppIdKey() const {
        return {m_dir.File("registry.ini"), std::string("AppID\\") + CServiceHost::kAppId};
    }

    CTempDir m_dir;
    CProductNames m_names{"ZORV"};
    CSilentJournal m_journal;
};

TEST_F(ServiceHostFileTest, RegisterRecordsTheExecutablesDirectory) {
    EXPECT_EQ(Host().Register(), 0);
    EXPECT_EQ(ServerKey().GetString("WorkDirectory"), m_dir.File("opt"));
    EXPECT_FALSE(AppIdKey().GetString("LocalService"));
    EXPECT_FALSE(std::filesystem::exists(Unit()));
}

TEST_F(ServiceHostFileTest, InstallWritesTheUnitAndRegisterRemovesIt) {
    ASSERT_EQ(Host().Install(), 0);
    std::ifstream in(Unit());
    std::stringstream unit;
    unit << in.rdbuf();
    for (const std::string& line :
         {"ExecStart=\"" + m_dir.File("opt/zorv18server") + "\"",
          "WorkingDirectory=\"" + m_dir.File("opt") + "\"", std::string("Restart=on-failure"),
          std::string("RestartSec=500ms"), std::string("WantedBy=multi-user.target"),
          "Environment=\"ZORV_REGISTRY=" + m_dir.File("registry.ini") + "\""}) {
        EXPECT_NE(unit.str().find(line + "\n"), std::string::npos) << line;
    }
    EXPECT_TRUE(std::filesystem::is_symlink(
        m_dir.File("units/multi-user.target.wants/ZORV18Server.service")));
    EXPECT_EQ(AppIdKey().GetString("LocalService"), "ZORV18Server");
    EXPECT_EQ(AppIdKey().GetString("ServiceParameters"), "-Service");
    EXPECT_EQ(ServerKey().GetString("WorkDirectory"), m_dir.File("opt"));

    // Registering again after an installation removes the service first.
    EXPECT_EQ(Host().Register(), 0);
    EXPECT_FALSE(std::filesystem::exists(Unit()));
    EXPECT_FALSE(AppIdKey().GetString("LocalService"));
}

TEST_F(ServiceHostFileTest, UnregisterRemovesUnitAndAppId) {
    ASSERT_EQ(Host().Install(), 0);
    EXPECT_EQ(Host().Unregister(), 0);
    EXPECT_FALSE(std::filesystem::exists(Unit()));
    EXPECT_FALSE(std::filesystem::exists(
        m_dir.File("units/multi-user.target.wants/ZORV18Server.service")));
    EXPECT_FALSE(AppIdKey().Exists());
    EXPECT_EQ(Host().Unregister(), 0);  // nothing installed: still fine
}

TEST_F(ServiceHostFileTest, RegistryThatCannotBeWrittenIsJournaled) {
    std::filesystem::create_directory(m_dir.File("ro"));
    std::ofstream(m_dir.File("ro/file")) << "x";
    CServiceHost host(m_names, m_dir.File("ro/file/registry.ini"), m_dir.File("opt/zorv18server"),
                      m_journal);
    EXPECT_EQ(host.Register(), 1);
    ASSERT_EQ(m_journal.m_lines.size(), 1u);
    EXPECT_EQ(m_journal.m_lines[0], "1 " + CatalogText(Msg{127}));
}

}  // namespace
}  // namespace zorv::test
