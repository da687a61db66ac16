// Command-line words, registration and the systemd unit.
#include <grp.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <vector>

#include "core/ServiceHost.h"
#include "platform/FileLock.h"
#include "platform/FileOps.h"
#include "support/ChildProcess.h"
#include "support/FileModes.h"
#include "support/SystemdUnit.h"
#include "support/TempDir.h"

namespace zorv::test {
namespace {

TEST(ServiceHostTest, CommandWords) {
    struct Case {
        const char* line;
        CommandWord word;
    };
    for (const Case c :
         {Case{"", CommandWord::kRun}, Case{"-RegServer", CommandWord::kRegServer},
          Case{"/regserver", CommandWord::kRegServer}, Case{"-REGSERVER", CommandWord::kRegServer},
          Case{"-RegServer -x", CommandWord::kRun}, Case{"-x -RegServer", CommandWord::kRegServer},
          Case{"-UnregServer", CommandWord::kUnregServer},
          Case{"/unregserver", CommandWord::kUnregServer}, Case{"-Service", CommandWord::kService},
          Case{"/SERVICE", CommandWord::kService}, Case{"-Services", CommandWord::kRun},
          Case{"RegServer", CommandWord::kRun}, Case{"- RegServer", CommandWord::kRun},
          Case{"--RegServer", CommandWord::kRegServer}}) {
        EXPECT_EQ(ParseCommandLine(c.line), c.word) << "\"" << c.line << "\"";
    }
    const char* argv[] = {"zorv18server", "-RegServer", "-x"};
    EXPECT_EQ(JoinArguments(3, argv), "-RegServer -x");
}

// The users words take the rest of the line as the user name.
TEST(ServiceHostTest, UserCommandWords) {
    struct Case {
        const char* line;
        CommandWord word;
        const char* name;
    };
    for (const Case c :
         {Case{"-AddUser admin", CommandWord::kAddUser, "admin"},
          Case{"/adduser Ivan Petrov", CommandWord::kAddUser, "Ivan Petrov"},
          Case{"-AddUser desk -Operator", CommandWord::kAddOperator, "desk"},
          Case{"-AddUser desk one /OPERATOR", CommandWord::kAddOperator, "desk one"},
          Case{"-AddUser", CommandWord::kRun, ""}, Case{"-AddUser ", CommandWord::kRun, ""},
          Case{"-AddUser -Operator", CommandWord::kRun, ""},
          Case{"-AddUserx admin", CommandWord::kRun, ""},
          Case{"-ListUsers", CommandWord::kListUsers, ""},
          Case{"/LISTUSERS", CommandWord::kListUsers, ""},
          Case{"-ListUsers now", CommandWord::kRun, ""},
          Case{"-DeleteUser desk", CommandWord::kDeleteUser, "desk"},
          Case{"/deleteuser Ivan Petrov", CommandWord::kDeleteUser, "Ivan Petrov"},
          Case{"-DeleteUser", CommandWord::kRun, ""},
          Case{"-DeleteUser /RegServer", CommandWord::kRegServer, ""}}) {
        const CommandLine command = ParseCommand(c.line);
        EXPECT_EQ(command.word, c.word) << "\"" << c.line << "\"";
        EXPECT_EQ(command.userName, c.name) << "\"" << c.line << "\"";
    }
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
        setenv("ZORV_DBUS_POLICY_DIR", m_dir.File("dbus").c_str(), 1);
        setenv("ZORV_REGISTRY", m_dir.File("registry.ini").c_str(), 1);
    }
    void TearDown() override {
        unsetenv("ZORV_UNIT_DIR");
        unsetenv("ZORV_DBUS_POLICY_DIR");
        unsetenv("ZORV_REGISTRY");
        unsetenv("ZORV_SYSTEMCTL");
        unsetenv("ZORV_GROUPADD");
    }

    // An executable file at path (systemd checks that ExecStart= names one).
    static void MakeExecutable(const std::string& path) {
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        std::ofstream(path) << "#!/bin/sh\n";
        std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    }

    CServiceHost Host() {
        return CServiceHost(m_names, m_dir.File("registry.ini"), m_dir.File("opt/zorv18server"),
                            m_journal, {"GetStateDvr", "GetChanelParam"});
    }
    // A program in place of groupadd that logs its arguments ("count|arg|...")
    // and ends with status.
    std::string FakeProgram(const std::string& name, int status) const {
        const std::string path = m_dir.File(name);
        std::ofstream(path) << "#!/bin/sh\nprintf '%s|' \"$#\" \"$@\" >> '" << path
                            << ".log'\necho >> '" << path << ".log'\nexit " << status << "\n";
        std::filesystem::permissions(path, std::filesystem::perms::owner_all);
        return path;
    }
    static std::vector<std::string> Lines(const std::string& path) {
        std::ifstream in(path);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        return lines;
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

// The lines of each section of a unit file.
std::map<std::string, std::vector<std::string>> UnitSections(const std::string& path) {
    std::map<std::string, std::vector<std::string>> sections;
    std::ifstream in(path);
    std::string section;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.front() == '[') {
            section = line;
        } else if (!line.empty()) {
            sections[section].push_back(line);
        }
    }
    return sections;
}

bool Has(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST_F(ServiceHostFileTest, InstallWritesTheUnitAndRegisterRemovesIt) {
    MakeExecutable(m_dir.File("opt/zorv18server"));
    ASSERT_EQ(Host().Install(), 0);
    auto unit = UnitSections(Unit());
    // Restarted for ever: no start rate limit ends a crash loop at start.
    EXPECT_TRUE(Has(unit["[Unit]"], "StartLimitIntervalSec=0"));
    // What the server makes belongs to the service's group and is closed to
    // others; a server that found another one in its work directory is not
    // restarted.
    for (const std::string& line :
         {"ExecStart=\"" + m_dir.File("opt/zorv18server") + "\"",
          "WorkingDirectory=" + m_dir.File("opt"), std::string("Restart=on-failure"),
          std::string("RestartSec=500ms"),
          "Environment=\"ZORV_REGISTRY=" + m_dir.File("registry.ini") + "\"",
          std::string("Group=zorv18server"), std::string("UMask=0027"),
          std::string("RestartPreventExitStatus=6")}) {
        EXPECT_TRUE(Has(unit["[Service]"], line)) << line;
    }
    EXPECT_TRUE(Has(unit["[Install]"], "WantedBy=multi-user.target"));
    EXPECT_TRUE(std::filesystem::is_symlink(
        m_dir.File("units/multi-user.target.wants/ZORV18Server.service")));
    EXPECT_EQ(AppIdKey().GetString("LocalService"), "ZORV18Server");
    EXPECT_EQ(AppIdKey().GetString("ServiceParameters"), "-Service");
    EXPECT_EQ(ServerKey().GetString("WorkDirectory"), m_dir.File("opt"));
    // The system bus lets the service own the local interface's name, root
    // and the service's group call it, and everyone else only the reads the
    // host was given (and introspection).
    const std::string policy = m_dir.File("dbus/Zorv18server.LocalInterface.conf");
    std::ifstream in(policy);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string destination = "send_destination=\"Zorv18server.LocalInterface\"";
    for (const std::string& rule :
         {std::string("<policy user=\"root\">\n    <allow own=\"Zorv18server.LocalInterface\"/>\n"
                      "    <allow ") +
              destination + "/>",
          "<policy group=\"zorv18server\">\n    <allow " + destination + "/>",
          "<policy context=\"default\">\n    <deny " + destination + " send_type=\"method_call\"/>",
          "<allow " + destination +
              " send_path=\"/LocalInterface\" "
              "send_interface=\"Zorv18server.ILocalInterface\" send_member=\"GetChanelParam\"/>"}) {
        EXPECT_NE(text.find(rule), std::string::npos) << rule << "\nin\n" << text;
    }
    EXPECT_EQ(text.find("addDataBaseRecord"), std::string::npos);
    EXPECT_EQ(text.find("\"Authorization\""), std::string::npos);
    // Read by systemd, and by the system bus as its own user on a reload.
    EXPECT_EQ(ModeText(Unit()), "-rw-r--r--");
    EXPECT_EQ(ModeText(policy), "-rw-r--r--");
    // The bus daemon reads it: a bus configured with it starts.
    std::ofstream(m_dir.File("bus.conf"))
        << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig><type>session</type><listen>unix:path="
        << m_dir.File("bus") << "</listen><include>" << policy << "</include></busconfig>\n";
    CChildProcess daemon("/usr/bin/dbus-daemon",
                         {"--nofork", "--config-file=" + m_dir.File("bus.conf")}, m_dir.Path(), {});
    EXPECT_TRUE(PollUntil([&] { return std::filesystem::exists(m_dir.File("bus")); },
                          std::chrono::seconds(10)))
        << daemon.Stderr();

    // Registering again after an installation removes the service first.
    EXPECT_EQ(Host().Register(), 0);
    EXPECT_FALSE(std::filesystem::exists(Unit()));
    EXPECT_FALSE(std::filesystem::exists(policy));
    EXPECT_FALSE(AppIdKey().GetString("LocalService"));
}

// Every unit the installation writes is one that systemd loads: paths with
// blanks, "%" (a specifier in unit files) and "$" stay exactly the paths.
TEST_F(ServiceHostFileTest, SystemdAcceptsTheUnitsItWrites) {
    struct Case {
        const char* directory;    // of the executable, inside the test directory
        const char* registry;     // ZORV_REGISTRY at installation ("" for none)
        const char* wantedLines;  // "|"-separated, {dir} is the test directory
    };
    const Case cases[] = {
        {"opt", "{dir}/registry.ini",
         "ExecStart=\"{dir}/opt/zorv18server\"|WorkingDirectory={dir}/opt|"
         "Environment=\"ZORV_REGISTRY={dir}/registry.ini\""},
        {"opt/with blanks", "",
         "ExecStart=\"{dir}/opt/with blanks/zorv18server\"|WorkingDirectory={dir}/opt/with blanks"},
        {"opt/100% $HOME", "{dir}/opt/100% $HOME/r%d.ini",
         "ExecStart=\"{dir}/opt/100%% $HOME/zorv18server\"|WorkingDirectory={dir}/opt/100%% $HOME|"
         "Environment=\"ZORV_REGISTRY={dir}/opt/100%% $HOME/r%%d.ini\""},
        // A relative registry path is made absolute: the service starts elsewhere.
        {"opt", "relative/registry.ini",
         "Environment=\"ZORV_REGISTRY={cwd}/relative/registry.ini\""},
    };
    const auto expand = [&](std::string text) {
        for (const auto& [name, value] :
             {std::pair<std::string, std::string>{"{dir}", m_dir.Path()},
              {"{cwd}", std::filesystem::current_path().string()}}) {
            for (std::size_t at; (at = text.find(name)) != std::string::npos;) {
                text.replace(at, name.size(), value);
            }
        }
        return text;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.directory);
        const std::string executable = m_dir.File(c.directory) + "/zorv18server";
        MakeExecutable(executable);
        if (*c.registry != '\0') {
            setenv("ZORV_REGISTRY", expand(c.registry).c_str(), 1);
        } else {
            unsetenv("ZORV_REGISTRY");
        }
        CServiceHost host(m_names, m_dir.File("registry.ini"), executable, m_journal);
        ASSERT_EQ(host.Install(), 0);
        const auto unit = UnitSections(Unit());
        std::stringstream wanted(expand(c.wantedLines));
        for (std::string line; std::getline(wanted, line, '|');) {
            EXPECT_TRUE(Has(unit.at("[Service]"), line)) << line;
        }
        if (*c.registry == '\0') {
            for (const std::string& line : unit.at("[Service]")) {
                EXPECT_NE(line.rfind("Environment=", 0), 0u) << line;
            }
        }
        EXPECT_UNIT_VERIFIES(Unit());
    }
}

TEST_F(ServiceHostFileTest, PathsAUnitCannotNameAreRefused) {
    for (const char* directory : {"opt/quo\"te", "opt/back\\slash", "opt/new\nline"}) {
        SCOPED_TRACE(directory);
        const std::string executable = m_dir.File(directory) + "/zorv18server";
        MakeExecutable(executable);
        CServiceHost host(m_names, m_dir.File("registry.ini"), executable, m_journal);
        EXPECT_EQ(host.Install(), 1);
        EXPECT_FALSE(std::filesystem::exists(Unit()));
    }
}

// systemctl gets the unit as its one argument, and "daemon-reload" none at
// all (an empty argument makes it fail).
TEST_F(ServiceHostFileTest, SystemctlIsCalledWithItsArguments) {
    const std::string log = m_dir.File("systemctl.log");
    const std::string fake = m_dir.File("systemctl");
    std::ofstream(fake) << "#!/bin/sh\nprintf '%s|' \"$#\" \"$@\" >> '" << log << "'\necho >> '"
                        << log << "'\n";
    std::filesystem::permissions(fake, std::filesystem::perms::owner_all);
    setenv("ZORV_SYSTEMCTL", fake.c_str(), 1);
    MakeExecutable(m_dir.File("opt/zorv18server"));
    EXPECT_EQ(Host().Install(), 0);
    EXPECT_EQ(Host().Unregister(), 0);
    unsetenv("ZORV_SYSTEMCTL");
    std::ifstream in(log);
    std::vector<std::string> calls;
    for (std::string line; std::getline(in, line);) {
        calls.push_back(line);
    }
    EXPECT_EQ(calls,
              (std::vector<std::string>{"1|daemon-reload|", "2|stop|ZORV18Server.service|",
                                        "2|disable|ZORV18Server.service|", "1|daemon-reload|"}));
}

// The service's group is made with groupadd (here a stand-in: tests never
// make groups) when it is missing; an installation whose group cannot be
// made fails and writes no unit.
TEST_F(ServiceHostFileTest, MissingGroupIsMadeAtInstallation) {
    if (::getgrnam("zorv18server") != nullptr) {
        GTEST_SKIP() << "the group zorv18server exists on this machine";
    }
    for (const int status : {0, 9}) {
        SCOPED_TRACE(status);
        const std::string fake = FakeProgram("groupadd" + std::to_string(status), status);
        setenv("ZORV_GROUPADD", fake.c_str(), 1);
        MakeExecutable(m_dir.File("opt/zorv18server"));
        EXPECT_EQ(Host().Install(), status == 0 ? 0 : 1);
        EXPECT_EQ(Lines(fake + ".log"), std::vector<std::string>{"2|--system|zorv18server|"});
        EXPECT_EQ(std::filesystem::exists(Unit()), status == 0);
        Host().Unregister();
    }
}

// A second run in a work directory whose lock another process holds starts
// nothing and says so.
TEST_F(ServiceHostFileTest, RunRefusesAWorkDirectoryAnotherServerHolds) {
    class CIdleThread final : public CMessageThread {
    public:
        CIdleThread() : CMessageThread(8, -1) {}
        void OnMessage(int32_t, int32_t, int32_t, int32_t) override { ++m_messages; }
        int m_messages = 0;
    } server;
    CServiceHost host = Host();
    CFileLock other;
    ASSERT_EQ(other.Take(host.LockPath(m_dir.Path()), kDataFileMode), CFileLock::Result::kTaken);
    EXPECT_EQ(host.LockPath(m_dir.Path()), m_dir.File("ZORV18Server.lock"));
    EXPECT_EQ(host.Run(server, m_dir.Path()), kExitAnotherServer);
    EXPECT_EQ(server.m_messages, 0);
    EXPECT_EQ(m_journal.m_lines,
              std::vector<std::string>{"1 Another server runs in this work directory (process " +
                                       std::to_string(::getpid()) + "): this one does not start"});
}

TEST_F(ServiceHostFileTest, UnregisterRemovesUnitAndAppId) {
    ASSERT_EQ(Host().Install(), 0);
    EXPECT_EQ(Host().Unregister(), 0);
    EXPECT_FALSE(std::filesystem::exists(Unit()));
    EXPECT_FALSE(
        std::filesystem::exists(m_dir.File("units/multi-user.target.wants/ZORV18Server.service")));
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
