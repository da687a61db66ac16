// The local interface on a D-Bus daemon of the test's own: a change refused
// before Authorization, a change after it stored in the channel settings,
// pushed to a network client and still there after a restart; local
// listening started and stopped over the bus; records offered through the
// database gateway; and the methods the bus shows are the documented ones.
#include <gtest/gtest.h>
#include <sdbus-c++/sdbus-c++.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>

#include "../access/ClientServerFixture.h"
#include "../access/ClientWire.h"
#include "../access/UsersTestSupport.h"
#include "ServerTestSupport.h"
#include "access/ClientServer.h"
#include "access/LocalBus.h"
#include "access/UsersDatabase.h"
#include "platform/Cp1251.h"
#include "platform/CredentialCipher.h"
#include "server/RecordServer.h"
#include "simulation/SimulatedBoardOpener.h"
#include "support/ChildProcess.h"
#include "support/JournalReader.h"
#include "support/LocalListenPeer.h"
#include "support/PrivateBus.h"
#include "support/RecordFiles.h"
#include "support/TempDir.h"

namespace zorv::test {
namespace {

using namespace std::chrono_literals;
using Bytes8 = std::vector<uint8_t>;

std::unique_ptr<CRecordServer> StartServer(const CTempDir& dir, const std::string& bus) {
    std::ofstream(dir.File("ZORV_18.ini"), std::ios::app) << "[LocalInterface]\nBus=" << bus
                                                           << "\n";
    return StartSimulatedServer(dir, OneSimulatedBoard());
}

// A local program: one bus connection, so one client object of the server.
class CLocalClient {
public:
    explicit CLocalClient(const std::string& address)
        : m_connection(sdbus::createSessionBusConnectionWithAddress(address)),
          m_proxy(sdbus::createProxy(*m_connection, kLocalBusName, kLocalObjectPath)) {}

    template <typename... Out, typename... In>
    std::tuple<Out...> Call(const std::string& method, const In&... in) {
        std::tuple<Out...> out;
        std::apply(
            [&](auto&... results) {
                m_proxy->callMethod(method)
                    .onInterface(kLocalInterfaceName)
                    .withArguments(in...)
                    .storeResultsTo(results...);
            },
            out);
        return out;
    }
    int32_t Err(const std::string& method, const auto&... in) {
        return std::get<0>(Call<int32_t>(method, in...));
    }
    bool Authorize(std::string_view name, std::string_view password) {
        tagUserID user{};
        std::memcpy(user.UserName, name.data(), std::min<std::size_t>(name.size(), 20));
        std::memcpy(user.Password, password.data(), std::min<std::size_t>(password.size(), 20));
        ApplyCredentialCipher(user.UserName, sizeof(user.UserName));
        const auto* p = reinterpret_cast<const uint8_t*>(&user);
        const auto [granted, account] =
            Call<int32_t, Bytes8>("Authorization", Bytes8(p, p + sizeof(user)));
        EXPECT_EQ(account.size(), sizeof(tagUserAccountRecord));
        return granted == 1;
    }
    sdbus::IConnection& Connection() { return *m_connection; }

private:
    std::unique_ptr<sdbus::IConnection> m_connection;
    std::unique_ptr<sdbus::IProxy> m_proxy;
};

// Whether the journal (windows-1251) holds the text within a few seconds.
bool JournalHas(const std::string& journal, const std::string& utf8) {
    const std::string text = Utf8ToCp1251(utf8);
    return PollUntil(
        [&] {
            for (const std::string& line : JournalTexts(journal)) {
                if (line.find(text) != std::string::npos) {
                    return true;
                }
            }
            return false;
        },
        5s);
}

bool JournalHas(const CRecordServer& server, const std::string& utf8) {
    return JournalHas(server.JournalPath(), utf8);
}

TEST(LocalBusTest, ChangesAreRefusedThenStoredPushedAndKeptOverARestart) {
    CPrivateBus bus;
    ASSERT_TRUE(bus.Running());
    CTempDir dir;
    {
        auto server = StartServer(dir, bus.Address());
        ASSERT_TRUE(server->Users().AddAsOwner(UserRecord("admin", "secret", 1)));
        ASSERT_TRUE(server->Users().AddAsOwner(UserRecord("nobody", "pw", 0)));
        CTestClient watcher(server->Clients().Port());
        watcher.Send(LoginBytes("admin", "secret"));
        ASSERT_EQ(U32At(watcher.Read(2136), 2), 1u);

        CLocalClient local(bus.Address());
        EXPECT_EQ(local.Err("SetChannelTreshold", 0, 1, 2, 1234u), -1) << "before Authorization";
        EXPECT_TRUE(JournalHas(*server,
                               "Локальный пользователь  - попытка изменения порога срабатывания "
                               "для каналов 2-3! Отказано - нет прав!"));
        EXPECT_FALSE(local.Authorize("nobody", "pw")) << "no local access bit";
        EXPECT_TRUE(JournalHas(*server, "Пользователю nobody отказано в локальном доступе!"));
        EXPECT_FALSE(local.Authorize("admin", "wrong"));
        // After refused logins the account waits a little before the next check.
        ASSERT_TRUE(PollUntil([&] { return local.Authorize("admin", "secret"); }, 10s));
        EXPECT_TRUE(JournalHas(*server, "Пользователю admin локальный доступ разрешен!"));

        EXPECT_EQ(local.Err("SetChannelTreshold", 0, 1, 2, 1234u), 1);
        EXPECT_TRUE(JournalHas(*server, "Локальный пользователь admin - установил порог "
                                        "срабатывания 1234 для каналов 2-3!"));
        for (uint32_t channel : {1u, 2u}) {
            const Bytes push = watcher.Read(46);
            EXPECT_EQ(push[0], 6);
            EXPECT_EQ(U32At(push, 2), channel);
            EXPECT_EQ(U32At(push, 6 + offsetof(tagChanelParam, Treshold)) & 0xFFFF, 1234u);
        }
        EXPECT_EQ(local.Err("SetChannelTreshold", 5, 0, 0, 10u), 0) << "no device 5";
        // A storage change: stored at once and pushed (code 3) to the client.
        EXPECT_EQ(local.Err("SetQuota", 700u, 800u), 1);
        EXPECT_TRUE(JournalHas(*server, "Локальный пользователь admin - изменил пороги удаления!"));
        const Bytes config = watcher.Read(550);
        EXPECT_EQ(config[0], 3);
        EXPECT_EQ(U32At(config, 2 + offsetof(tagDvrConfig, Quota)), 700u);
        // The second record directory, made when missing.
        EXPECT_EQ(local.Err("SetPath", 1, dir.File("second")), 1);
        EXPECT_TRUE(std::filesystem::is_directory(dir.File("second")));
        EXPECT_EQ(local.Err("SetPath", 1, std::string("relative")), 0);
        EXPECT_EQ(server->RecordDirectory(1), dir.File("second"));
        EXPECT_EQ(local.Err("SetChannelAruK", 0, 0, 0, 7u), 1) << "accepted, nothing changes";

        // A client object ends with its connection: a new one starts unauthorized.
        CLocalClient other(bus.Address());
        EXPECT_EQ(other.Err("SetChannelEnable", 0, 0, 0, 0), -1);
    }
    {
        auto server = StartServer(dir, bus.Address());
        CLocalClient local(bus.Address());
        const auto [param, err] = local.Call<Bytes8, int32_t>("GetChanelParam", 0, 2);
        ASSERT_EQ(err, 1);
        ASSERT_EQ(param.size(), sizeof(tagChanelParam));
        EXPECT_EQ(param[offsetof(tagChanelParam, Treshold)] |
                      param[offsetof(tagChanelParam, Treshold) + 1] << 8,
                  1234);
        const auto [config] = local.Call<Bytes8>("GetDvrConfig");
        ASSERT_EQ(config.size(), sizeof(tagDvrConfig));
        uint32_t quota[2] = {};
        std::memcpy(quota, config.data() + offsetof(tagDvrConfig, Quota), sizeof(quota));
        EXPECT_EQ(quota[0], 700u);
        EXPECT_EQ(quota[1], 800u);
    }
}

class CNoListening final : public ILocalListenControl {
public:
    int ChangeLink(int, int, int, uint16_t, bool) override { return 2; }
};

// The client objects of one local account are bounded, so that it cannot
// lock the others out; those that never log in end after 35 s. A refused
// login leaves no name behind, and repeated refusals make the account wait.
TEST(LocalBusTest, SessionsAreBoundedAndEndWithoutALogin) {
    CPrivateBus bus;
    ASSERT_TRUE(bus.Running());
    CTempDir dir;
    CRecordingJournal journal;
    CUsersDatabase users(journal);
    ASSERT_TRUE(users.Initialise(dir.Path(), "ZORV"));
    ASSERT_TRUE(users.AddAsOwner(UserRecord("local", "pw", 1)));
    CFakeData data;
    CManualClock clock;
    CClientServer clients(journal, users, data, clock);
    CNoListening listening;
    CLocalInterface local(clients, listening, nullptr);
    CLocalBus localBus(local, journal, clock);
    ASSERT_TRUE(localBus.Start(bus.Address()));

    // Every test process calls as root: one account.
    std::vector<std::unique_ptr<CLocalClient>> sessions;
    const auto open = [&] {
        auto client = std::make_unique<CLocalClient>(bus.Address());
        client->Call<Bytes8>("GetStateDvr");
        sessions.push_back(std::move(client));
    };
    for (std::size_t i = 0; i < CLocalBus::kMaxSessionsPerUser; ++i) {
        ASSERT_NO_THROW(open()) << i;
    }
    try {
        open();
        ADD_FAILURE() << "a session beyond the account's bound";
    } catch (const sdbus::Error& e) {
        EXPECT_EQ(e.getName(), "org.freedesktop.DBus.Error.LimitsExceeded");
    }

    // A refused login names nobody in later refusals, and the next check waits.
    CLocalClient& first = *sessions.front();
    EXPECT_FALSE(first.Authorize("ghost", "pw"));
    EXPECT_EQ(first.Err("SetChannelTreshold", 0, 0, 0, 100u), -1);
    EXPECT_EQ(journal.CountContaining(Utf8ToCp1251("Локальный пользователь ghost")), 0);
    EXPECT_EQ(journal.CountContaining(Utf8ToCp1251("Локальный пользователь  - попытка")), 1);
    EXPECT_FALSE(first.Authorize("local", "pw")) << "before its turn";
    clock.Advance(1s);
    EXPECT_TRUE(first.Authorize("local", "pw"));

    // The 35 s end the fifteen that did not log in (their clients still
    // connected); the logged-in one stays.
    clock.Advance(35s);
    for (std::size_t i = 1; i < CLocalBus::kMaxSessionsPerUser; ++i) {
        ASSERT_TRUE(PollUntil(
            [&] {
                try {
                    open();
                    return true;
                } catch (const sdbus::Error&) {
                    return false;
                }
            },
            5s))
            << i;
    }
    EXPECT_THROW(open(), sdbus::Error);
    EXPECT_NE(first.Err("SetChannelTreshold", 0, 0, 0, 100u), -1) << "still logged in";
    localBus.Stop();
}

// Directories a test asks the server for which must never be made: any of
// them that appears all the same (the server at fault) is removed again, if
// empty, when the test ends.
class CMustNotAppear {
public:
    explicit CMustNotAppear(std::vector<std::string> paths) {
        for (std::string& path : paths) {
            if (!std::filesystem::exists(path)) {
                m_paths.push_back(std::move(path));
            }
        }
    }
    ~CMustNotAppear() {
        for (const std::string& path : m_paths) {
            std::error_code ignored;
            if (std::filesystem::exists(path, ignored)) {
                ADD_FAILURE() << path << " was made";
                std::filesystem::remove(path, ignored);
            }
        }
    }
    CMustNotAppear(const CMustNotAppear&) = delete;
    CMustNotAppear& operator=(const CMustNotAppear&) = delete;

private:
    std::vector<std::string> m_paths;
};

// SetPath keeps the storage right but never makes a system directory a
// record directory: it answers 0 and journals why, and the directory in
// force stays. One in the settings file gives way to the default directory.
TEST(LocalBusTest, SystemDirectoriesAreNoRecordDirectories) {
    const CMustNotAppear guard({"/etc/x", "/etc/zorv", "/usr/local/rec"});
    CPrivateBus bus;
    ASSERT_TRUE(bus.Running());
    CTempDir dir;
    std::ofstream(dir.File("ZORV_18.ini")) << "[Path]\nDirectory2=/srv/../etc/zorv\n";
    auto server = StartServer(dir, bus.Address());
    EXPECT_EQ(server->RecordDirectory(1), dir.File("DvrFiles"));
    EXPECT_TRUE(JournalHas(*server,
                           "Record directory /srv/../etc/zorv of the settings refused: "
                           "it is, holds or lies in the system directory /etc"));
    ASSERT_TRUE(server->Users().AddAsOwner(UserRecord("admin", "secret", 1)));
    CLocalClient local(bus.Address());
    ASSERT_TRUE(local.Authorize("admin", "secret"));
    std::filesystem::create_directory_symlink("/etc", dir.File("etc-link"));
    const std::string before = server->RecordDirectory(0);
    const struct {
        std::string path;
        const char* system;
    } refused[] = {
        {"/", "/"},
        {"/etc", "/etc"},
        {"/etc/x", "/etc"},
        {"/usr/local/rec", "/usr"},
        {"/srv/../etc", "/etc"},
        {dir.File("etc-link"), "/etc"},
        {dir.File("etc-link") + "/zorv", "/etc"},
        {"/proc/self", "/proc"},
    };
    for (const auto& r : refused) {
        EXPECT_EQ(local.Err("SetPath", 0, r.path), 0) << r.path;
        EXPECT_TRUE(JournalHas(*server, "Record directory " + r.path +
                                            " refused: it is, holds or lies in the system "
                                            "directory " +
                                            r.system))
            << r.path;
        EXPECT_EQ(server->RecordDirectory(0), before) << r.path;
    }
    EXPECT_EQ(local.Err("SetPath", 0, dir.File("records")), 1);
    EXPECT_EQ(server->RecordDirectory(0), dir.File("records"));
}

TEST(LocalBusTest, ListeningGatewayAndPipe) {
    CPrivateBus bus;
    ASSERT_TRUE(bus.Running());
    CTempDir dir;
    auto server = StartServer(dir, bus.Address());
    ASSERT_TRUE(server->Users().AddAsOwner(UserRecord("admin", "secret", 1)));
    CLocalClient local(bus.Address());

    const uint16_t port = 5100;
    EXPECT_EQ(local.Err("listenChannel", 0, 0, port, 1), 3) << "not authorized";
    ASSERT_TRUE(local.Authorize("admin", "secret"));
    EXPECT_EQ(local.Err("listenChannel", 0, 0, port, 1), 2) << "no socket yet";
    EXPECT_EQ(local.Err("listenChannel", 0, 0, port, 0), 0) << "a stop without a link";
    CLocalListenPeer peer(server->LocalListening().RunDirectory(), port);
    ASSERT_TRUE(peer.Ok());
    EXPECT_EQ(local.Err("listenChannel", 0, 0, port, 1), 0);
    EXPECT_EQ(local.Err("lineMonitorChannel", 0, 0, port, 1), 0);
    EXPECT_TRUE(PollUntil([&] { return !peer.Closed().empty(); }, 5s))
        << "the line monitor on the same port ends the listen link";
    EXPECT_EQ(local.Err("lineMonitorChannel", 0, 0, port, 0), 0);

    // The database gateway: a record file under the record root is appended,
    // one with a file elsewhere is refused.
    auto gateway = sdbus::createProxy(local.Connection(), kLocalBusName, kDbGatewayPath);
    tagDB_Record record{};
    record.year = 2026;
    record.mon = 12;
    record.day = 11;
    record.hour = 5;
    record.Format = kFormatPcm;
    const std::string root = server->RecordDirectory(0);
    const std::string offered = root + "/20261211.zr18/" + RecordName(2026, 12, 11, 5, 0, 0);
    WriteRecordFile(offered, 4096);
    SetText(record.namefile, offered);
    const auto offer = [&](const tagDB_Record& r) {
        const auto* p = reinterpret_cast<const uint8_t*>(&r);
        int32_t err = -9;
        gateway->callMethod("addDataBaseRecord")
            .onInterface(kDbGatewayInterfaceName)
            .withArguments(Bytes8(p, p + sizeof(r)))
            .storeResultsTo(err);
        return err;
    };
    EXPECT_EQ(offer(record), 1);
    EXPECT_TRUE(PollUntil([&] { return RecordRows(dir.File("ZORV.dbf")) == 1; }, 10s));
    tagDB_Record outside = record;
    SetText(outside.namefile, "/etc/passwd");
    EXPECT_EQ(offer(outside), 0);
    tagDB_Record badFormat = record;
    badFormat.Format = 77;
    SetText(badFormat.namefile, root + "/" + RecordName(2026, 12, 11, 5, 0, 1));
    WriteRecordFile(GetText(badFormat.namefile), 4096);
    EXPECT_EQ(offer(badFormat), 0);

    // The pipe of GetReadHandlePipe: none for a process that does not exist.
    const auto [pipe, handle] = local.Call<sdbus::UnixFd, int32_t>("GetReadHandlePipe", 0x7FFFFFF0);
    EXPECT_EQ(handle, -1);
    const auto [pipe2, handle2] =
        local.Call<sdbus::UnixFd, int32_t>("GetReadHandlePipe", static_cast<int32_t>(::getpid()));
    EXPECT_EQ(handle2, 1);
    EXPECT_TRUE(pipe2.isValid());
    local.Call<>("ClosePipe");

    // A method of an operation the server lacks answers Err 0.
    const auto [reply, err] = local.Call<Bytes8, int32_t>("StartArchiver", Bytes8{});
    EXPECT_TRUE(reply.empty());
    EXPECT_EQ(err, 0);

    // A bus that goes away ends the local interface, not the server.
    bus.Stop();
    EXPECT_TRUE(PollUntil(
        [&] {
            for (const std::string& line : JournalTexts(server->JournalPath())) {
                if (line.find("Local interface lost its bus") != std::string::npos) {
                    return true;
                }
            }
            return false;
        },
        10s));
    EXPECT_EQ(server->State(), SS_RUNNING);
}

// Every method once through the bus as an administrator, with zero numbers
// and records of their exact size: each answers (no D-Bus error, no hang)
// with an Err of its convention. (ShutDown stops the process: the process
// test below calls it.)
TEST(LocalBusTest, EveryMethodAnswersThroughTheBus) {
    CPrivateBus bus;
    ASSERT_TRUE(bus.Running());
    CTempDir dir;
    auto server = StartServer(dir, bus.Address());
    ASSERT_TRUE(server->Users().AddAsOwner(UserRecord("admin", "secret", 1)));
    CLocalClient local(bus.Address());
    ASSERT_TRUE(local.Authorize("admin", "secret"));
    auto proxy = sdbus::createProxy(local.Connection(), kLocalBusName, kLocalObjectPath);
    const std::map<std::string, std::size_t> recordSizes = {
        {"Authorization", sizeof(tagUserID)}, {"DetachUser", sizeof(ClientAtr)},
        {"SetTlfParam", sizeof(LineParams)}};
    for (const LocalMethod& method : LocalMethods()) {
        if (std::string(method.name) == "ShutDown") {
            continue;
        }
        SCOPED_TRACE(method.name);
        auto call = proxy->createMethodCall(kLocalInterfaceName, method.name);
        for (std::string_view in = method.in; !in.empty();) {
            if (in.substr(0, 2) == "ay") {
                const auto size = recordSizes.find(method.name);
                call << Bytes8(size != recordSizes.end() ? size->second : 0, 0);
                in.remove_prefix(2);
                continue;
            }
            switch (in.front()) {
                case 'i': call << int32_t{0}; break;
                case 'u': call << uint32_t{0}; break;
                case 'q': call << uint16_t{0}; break;
                case 's': call << std::string(); break;
                default: FAIL() << "signature " << method.in;
            }
            in.remove_prefix(1);
        }
        sdbus::MethodReply reply;
        ASSERT_NO_THROW(reply = proxy->callMethod(call));
        std::optional<int32_t> err;
        for (std::string_view out = method.out; !out.empty();) {
            if (out.substr(0, 2) == "ay") {
                Bytes8 bytes;
                reply >> bytes;
                out.remove_prefix(2);
                continue;
            }
            if (out.front() == 'i') {
                int32_t value = 0;
                reply >> value;
                err = value;
            } else if (out.front() == 'u') {
                uint32_t value = 0;
                reply >> value;
            } else if (out.front() == 'q') {
                uint16_t value = 0;
                reply >> value;
            } else if (out.front() == 'h') {
                sdbus::UnixFd fd;
                reply >> fd;
            }
            out.remove_prefix(1);
        }
        if (err && std::string(method.out).back() == 'i') {
            EXPECT_GE(*err, -1);
            EXPECT_LE(*err, 4);
        }
    }
    EXPECT_EQ(server->State(), SS_RUNNING);
}

// The unmodified server publishes itself on the bus its settings name, and
// ShutDown over the bus stops it as the service stop does.
TEST(LocalBusTest, ServerExecutableStopsOnShutDown) {
    CPrivateBus bus;
    ASSERT_TRUE(bus.Running());
    CTempDir dir;
    std::ofstream(dir.File("ZORV_18.ini")) << "[LocalInterface]\nBus=" << bus.Address() << "\n";
    const std::vector<std::string> env = {"ZORV_REGISTRY=" + dir.File("registry.ini")};
    CChildProcess add(BuiltProgram("zorv18server"), {"-AddUser", "admin"}, dir.Path(), env,
                      std::string("secret\n"));
    ASSERT_EQ(add.Wait(30s), 0);
    CChildProcess server(BuiltProgram("zorv18server"), {}, dir.Path(), env);
    auto connection = sdbus::createSessionBusConnectionWithAddress(bus.Address());
    ASSERT_TRUE(PollUntil(
        [&] {
            std::vector<std::string> names;
            auto daemon = sdbus::createProxy(*connection, "org.freedesktop.DBus",
                                             "/org/freedesktop/DBus");
            daemon->callMethod("ListNames").onInterface("org.freedesktop.DBus").storeResultsTo(names);
            return std::find(names.begin(), names.end(), kLocalBusName) != names.end();
        },
        30s));
    CLocalClient local(bus.Address());
    EXPECT_EQ(local.Err("ShutDown"), -1) << "before Authorization";
    ASSERT_TRUE(local.Authorize("admin", "secret"));
    EXPECT_EQ(local.Err("ShutDown"), 1);
    EXPECT_EQ(server.Wait(30s), 0);
    EXPECT_TRUE(JournalHas(dir.File("ZORV_18.log"), "Локальный пользователь admin - ВЫКЛЮЧИЛ СЕРВЕР ЗАПИСИ!"));
}

// The methods of an interface in an introspection document, one line each:
// name, then each argument's direction, type and name.
std::vector<std::string> MethodsOf(const std::string& xml, const std::string& interface) {
    const std::size_t start = xml.find("<interface name=\"" + interface + "\"");
    const std::size_t end = xml.find("</interface>", start);
    std::vector<std::string> methods;
    if (start == std::string::npos || end == std::string::npos) {
        return methods;
    }
    const std::string body = xml.substr(start, end - start);
    // The value of attribute name in a tag's text ("" when absent).
    const auto attribute = [](std::string_view tag, const std::string& name) {
        const std::size_t at = tag.find(name + "=\"");
        if (at == std::string_view::npos) {
            return std::string();
        }
        const std::size_t from = at + name.size() + 2;
        return std::string(tag.substr(from, tag.find('"', from) - from));
    };
    for (std::size_t at = body.find("<method "); at != std::string::npos;
         at = body.find("<method ", at + 1)) {
        const std::size_t tagEnd = body.find('>', at);
        const std::string_view tag(body.data() + at, tagEnd - at);
        std::string line = attribute(tag, "name");
        if (tag.back() != '/') {
            const std::size_t close = body.find("</method>", tagEnd);
            for (std::size_t a = body.find("<arg ", tagEnd); a < close; a = body.find("<arg ", a + 1)) {
                const std::string_view arg(body.data() + a, body.find('>', a) - a);
                const std::string direction = attribute(arg, "direction");
                line += " " + (direction.empty() ? std::string("in") : direction) + ":" +
                        attribute(arg, "type") + ":" + attribute(arg, "name");
            }
        }
        methods.push_back(line);
    }
    return methods;
}

TEST(LocalBusTest, TheBusShowsTheDocumentedMethods) {
    CPrivateBus bus;
    ASSERT_TRUE(bus.Running());
    CTempDir dir;
    auto server = StartServer(dir, bus.Address());
    auto connection = sdbus::createSessionBusConnectionWithAddress(bus.Address());
    std::ifstream in(std::string(ZORV_SOURCE_DIR) + "/docs/local-interface.xml");
    std::stringstream documented;
    documented << in.rdbuf();
    for (const auto& [path, interface] :
         {std::pair{kLocalObjectPath, kLocalInterfaceName},
          std::pair{kDbGatewayPath, kDbGatewayInterfaceName}}) {
        auto proxy = sdbus::createProxy(*connection, kLocalBusName, path);
        std::string xml;
        proxy->callMethod("Introspect")
            .onInterface("org.freedesktop.DBus.Introspectable")
            .storeResultsTo(xml);
        // The bus lists the methods by name; the document in the
        // interface's order.
        std::vector<std::string> shown = MethodsOf(xml, interface);
        const std::vector<std::string> inOrder = MethodsOf(documented.str(), interface);
        std::vector<std::string> sorted = inOrder;
        std::sort(shown.begin(), shown.end());
        std::sort(sorted.begin(), sorted.end());
        EXPECT_EQ(shown, sorted) << interface;
        if (std::string(interface) == kLocalInterfaceName) {
            ASSERT_EQ(inOrder.size(), LocalMethods().size());
            for (std::size_t i = 0; i < inOrder.size(); ++i) {
                EXPECT_EQ(inOrder[i].substr(0, inOrder[i].find(' ')), LocalMethods()[i].name)
                    << "method " << i << " in its place";
            }
        }
    }
}

}  // namespace
}  // namespace zorv::test
