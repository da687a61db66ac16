// The system bus policy that "-Service" installs, enforced by a bus daemon
// configured like the system bus on the unmodified server executable: an
// account of no standing reaches the reads and introspection only, and is
// refused by the bus itself everything that changes state (the login, the
// changes, listening, the record gateway); members of the service's group
// reach every method (the interface's Authorization then decides what a
// change may do).
#include <grp.h>
#include <gtest/gtest.h>
#include <sdbus-c++/sdbus-c++.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "core/LocalBusNames.h"
#include "core/ProductNames.h"
#include "support/ChildProcess.h"
#include "support/Files.h"
#include "support/PrivateBus.h"
#include "support/TempDir.h"

namespace zorv::test {
namespace {

using namespace std::chrono_literals;

// The unprivileged account the calls are made as.
constexpr uid_t kNobody = 65534;

// A group id that no group of the machine has (the daemon's copy of
// /etc/group gets the service's group with it).
gid_t FreeGroupId() {
    gid_t id = 4242;
    while (::getgrgid(id) != nullptr) {
        ++id;
    }
    return id;
}

struct Answer {
    std::optional<int> status;
    std::string text;  // dbus-send's standard output and error
    bool RefusedByTheBus() const {
        return text.find("org.freedesktop.DBus.Error.AccessDenied") != std::string::npos &&
               text.find("Rejected send message") != std::string::npos;
    }
};

// One call with dbus-send as kNobody, with group among its groups or none.
Answer CallAsNobody(const CTempDir& dir, const std::string& address,
                    const std::optional<gid_t>& group, const std::string& path,
                    const std::string& method, const std::vector<std::string>& args) {
    std::vector<std::string> command = {
        "--reuid=" + std::to_string(kNobody),
        "--regid=" + std::to_string(kNobody),
        group ? "--groups=" + std::to_string(*group) : std::string("--clear-groups"),
        "/usr/bin/dbus-send",
        "--bus=" + address,
        "--print-reply",
        std::string("--dest=") + kLocalBusName,
        path,
        method};
    command.insert(command.end(), args.begin(), args.end());
    CChildProcess call("/usr/bin/setpriv", command, dir.Path(), {});
    Answer answer;
    answer.status = call.Wait(30s);
    answer.text = call.Stdout() + call.Stderr();
    return answer;
}

bool NameOnBus(const std::string& address) {
    auto connection = sdbus::createSessionBusConnectionWithAddress(address);
    auto daemon = sdbus::createProxy(*connection, "org.freedesktop.DBus", "/org/freedesktop/DBus");
    std::vector<std::string> names;
    daemon->callMethod("ListNames").onInterface("org.freedesktop.DBus").storeResultsTo(names);
    return std::find(names.begin(), names.end(), kLocalBusName) != names.end();
}

TEST(LocalBusPolicyTest, ChangesAreForRootAndTheServiceGroupOnly) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root: the calls are made as uid " << kNobody
                     << ", the bus runs with a group of its own";
    }
    CTempDir dir;
    {
        // The test bus needs a mount namespace of its own (see CSystemLikeBus).
        CChildProcess probe("/usr/bin/unshare", {"--mount", "--propagation", "private", "/bin/true"},
                            dir.Path(), {});
        if (probe.Wait(10s) != 0) {
            GTEST_SKIP() << "this machine gives no mount namespace (unshare --mount failed)";
        }
    }
    // The installation writes the policy into the test's directory; its
    // groupadd is a stand-in (no group is made on the machine).
    const std::string groupadd = dir.File("groupadd");
    WriteBytes(groupadd, "#!/bin/sh\nexit 0\n");
    std::filesystem::permissions(groupadd, std::filesystem::perms::owner_all);
    CChildProcess install(
        BuiltProgram("zorv18server"), {"-Service"}, dir.Path(),
        {"ZORV_REGISTRY=" + dir.File("registry.ini"), "ZORV_UNIT_DIR=" + dir.File("units"),
         "ZORV_DBUS_POLICY_DIR=" + dir.File("dbus"), "ZORV_GROUPADD=" + groupadd});
    ASSERT_EQ(install.Wait(30s), 0) << install.Stderr();

    const std::string groupName = CProductNames("ZORV").ServiceGroup();
    const group* existing = ::getgrnam(groupName.c_str());
    const gid_t groupId = existing != nullptr ? existing->gr_gid : FreeGroupId();
    CSystemLikeBus bus(dir.File("dbus"), {{groupName, groupId}});
    ASSERT_TRUE(bus.Running()) << bus.Log();

    // The unmodified server, as root with a simulated board, publishes itself
    // on that bus.
    const std::string work = dir.File("work");
    std::filesystem::create_directories(work);
    std::ofstream(work + "/ZORV_18.ini") << "[LocalInterface]\nBus=" << bus.Address() << "\n";
    CChildProcess server(
        BuiltProgram("zorv18server"), {}, work,
        {"ZORV_REGISTRY=" + work + "/registry.ini",
         std::string("ZORV_BOARD_SCENARIO=") + ZORV_SOURCE_DIR + "/tools/scenarios/demo.ini"});
    ASSERT_TRUE(PollUntil([&] { return NameOnBus(bus.Address()); }, 30s))
        << server.Stderr() << bus.Log();

    struct Case {
        const char* what;
        bool member;  // the caller is in the service's group
        const char* path;
        const char* method;
        std::vector<std::string> args;
        const char* answer;  // in the server's answer; nullptr: refused by the bus
    };
    const std::string local = std::string(kLocalInterfaceName) + ".";
    const std::string gateway = std::string(kDbGatewayInterfaceName) + ".addDataBaseRecord";
    const std::vector<std::string> threshold = {"int32:0", "int32:1", "int32:2", "uint32:1234"};
    const Case cases[] = {
        {"a read", false, kLocalObjectPath, "GetStateDvr", {}, "array of bytes"},
        {"a read of a channel",
         false,
         kLocalObjectPath,
         "GetChanelParam",
         {"int32:0", "int32:1"},
         "int32 1"},
        {"introspection", false, kLocalObjectPath, nullptr, {}, "ILocalInterface"},
        {"a change", false, kLocalObjectPath, "SetChannelTreshold", threshold, nullptr},
        {"the login", false, kLocalObjectPath, "Authorization", {"array:byte:0"}, nullptr},
        {"listening",
         false,
         kLocalObjectPath,
         "listenChannel",
         {"int32:0", "int32:0", "uint16:5000", "int32:1"},
         nullptr},
        {"the record gateway", false, kDbGatewayPath, nullptr, {"array:byte:0"}, nullptr},
        // The group reaches the server, which then answers for itself.
        {"a read by the group", true, kLocalObjectPath, "GetStateDvr", {}, "array of bytes"},
        {"a change by the group", true, kLocalObjectPath, "SetChannelTreshold", threshold,
         "int32 -1"},
        {"the login by the group",
         true,
         kLocalObjectPath,
         "Authorization",
         {"array:byte:0"},
         "User must be"},
        {"the record gateway by the group",
         true,
         kDbGatewayPath,
         nullptr,
         {"array:byte:0"},
         "int32 0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string method = c.method != nullptr ? local + c.method
                                   : std::string(c.path) == kDbGatewayPath
                                       ? gateway
                                       : "org.freedesktop.DBus.Introspectable.Introspect";
        const Answer answer = CallAsNobody(dir, bus.Address(),
                                           c.member ? std::optional<gid_t>(groupId) : std::nullopt,
                                           c.path, method, c.args);
        if (c.answer == nullptr) {
            EXPECT_TRUE(answer.RefusedByTheBus()) << answer.text;
            EXPECT_NE(answer.status, 0);
        } else {
            EXPECT_FALSE(answer.RefusedByTheBus()) << answer.text;
            EXPECT_NE(answer.text.find(c.answer), std::string::npos) << answer.text;
        }
    }
    EXPECT_TRUE(server.Running()) << server.Stderr();
}

}  // namespace
}  // namespace zorv::test
