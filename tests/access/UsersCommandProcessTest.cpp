// The users words of the server executable, run as a process on a work
// directory of its own: the password comes through a pipe, and nothing of it
// or of the names is left in clear in any file.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>

#include "UsersTestSupport.h"
#include "access/UsersCommand.h"
#include "access/UsersStore.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace zorv::test {
namespace {

struct ProcessRun {
    int exitCode;
    std::string out;
    std::string err;
};

// One run of the executable: its arguments and input, its exit code, and a
// text its output shows (standard output on success, else standard error).
struct Step {
    std::vector<std::string> args;
    std::string input;
    int exitCode;
    const char* outputHas;
};

class UsersCommandProcessTest : public ::testing::Test {
protected:
    // Runs the server executable with args in the work directory, standard
    // input fed from a pipe with input.
    ProcessRun Server(const std::vector<std::string>& args, const std::string& input = {}) {
        CChildProcess child(BuiltProgram("zorv18server"), args, m_dir.Path(),
                            {"ZORV_REGISTRY=" + m_dir.File("registry.ini")}, input);
        const std::optional<int> status = child.Wait(std::chrono::seconds(60));
        EXPECT_TRUE(status.has_value()) << "still running";
        return {status.value_or(-1), child.Stdout(), child.Stderr()};
    }
    void RunSteps(std::initializer_list<Step> steps) {
        for (const Step& step : steps) {
            const ProcessRun run = Server(step.args, step.input);
            EXPECT_EQ(run.exitCode, step.exitCode) << step.args[0] << " " << run.err;
            const std::string& output = step.exitCode == kUsersDone ? run.out : run.err;
            EXPECT_NE(output.find(step.outputHas), std::string::npos) << output;
        }
    }
    std::string UsersFile() const { return m_dir.File("ZORVusers.dat"); }

    // Every bit of the database as text, from the sqlite3 program.
    std::string Dump() const {
        const std::string command = "sqlite3 '" + UsersFile() + "' .dump 2>&1";
        std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
        std::string text;
        char buffer[4096];
        size_t n = 0;
        while (pipe && (n = std::fread(buffer, 1, sizeof(buffer), pipe.get())) > 0) {
            text.append(buffer, n);
        }
        return text;
    }

    CTempDir m_dir;
};

TEST_F(UsersCommandProcessTest, AddListAndDeleteUsers) {
    if (std::system("command -v sqlite3 >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "the sqlite3 program is not installed";
    }
    const std::string password = "Quartz-Lemur-93";
    RunSteps({
        {{"-AddUser", "Supervisor"}, password + "\n", kUsersDone, ""},
        {{"/adduser", "SUPERVISOR"}, "other\n", kUsersNameTaken, "already exists"},
        {{"-AddUser", "desk", "-Operator"}, "", kUsersBadPassword, "password"},
        {{"-AddUser", "desk", "-Operator"}, "\n", kUsersBadPassword, "password"},
        {{"-AddUser", "desk", "-Operator"}, std::string(21, 'p') + "\n", kUsersBadPassword,
         "password"},
        {{"-AddUser", "a-name-that-is-too-long"}, "pw\n", kUsersBadName, "name"},
        {{"-AddUser", "desk", "-Operator"}, "desk-pw\r\n", kUsersDone, ""},
        {{"-ListUsers"}, "", kUsersDone, "Supervisor\tadministrator\ndesk\tuser\n"},
    });

    // The stored users work and nothing is in clear: not in the database's
    // content, not in any file of the work directory.
    const std::string dump = Dump();
    ASSERT_NE(dump.find("CREATE TABLE users"), std::string::npos) << dump;
    // (The names may show in the programs' own output, the passwords not.)
    for (const std::string& secret :
         {password, std::string("desk-pw"), std::string("Supervisor"), std::string("desk")}) {
        const bool isName = secret == "Supervisor" || secret == "desk";
        EXPECT_EQ(dump.find(secret), std::string::npos) << secret;
        for (const auto& file : std::filesystem::directory_iterator(m_dir.Path())) {
            const bool output =
                file.path().extension() == ".out" || file.path().extension() == ".err";
            if (!(isName && output)) {
                EXPECT_EQ(FileBytes(file.path()).find(secret), std::string::npos)
                    << secret << " in " << file.path();
            }
        }
    }
    {
        const auto store = CUsersStore::Open(UsersFile());
        ASSERT_NE(store, nullptr);
        tagUserAccountRecord record;
        ASSERT_TRUE(store->GetUserRigthByName("supervisor", password, record));
        CUserRights rights;
        rights.Load(record);
        EXPECT_TRUE(rights.IsAdministrator());
        ASSERT_TRUE(store->GetUserRigthByName("desk", "desk-pw", record));
        rights.Load(record);
        EXPECT_FALSE(rights.IsAdministrator());
        EXPECT_TRUE(rights.HasFunction(kFnNetworkAccess));
        EXPECT_FALSE(rights.HasFunction(kFnStopServer));
        EXPECT_FALSE(rights.HasChannels(0, 0));
    }

    RunSteps({
        {{"-DeleteUser", "desk"}, "", kUsersDone, ""},
        {{"/DELETEUSER", "desk"}, "", kUsersNoSuchUser, "no user"},
    });
    EXPECT_EQ(Server({"-ListUsers"}).out, "Supervisor\tadministrator\n");
}

}  // namespace
}  // namespace zorv::test
