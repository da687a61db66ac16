// zorv18ctl: a command-line client of the recording server.
//
//   zorv18ctl [--host H] [--port P] --user U [--json] status
//   zorv18ctl [--host H] [--port P] --user U [--json] [--seconds N] watch
//   zorv18ctl [--host H] [--port P] --user U journal
//   zorv18ctl [--host H] [--port P] --user U [--json] users
//   zorv18ctl [--broadcast A] [--announce-port P] [--wait MS] [--json] find
//   zorv18ctl [--host H] [--port P] --user U set DEVICE CHANNEL[-LAST] KEY VALUE
//   zorv18ctl [--host H] [--port P] --user U shutdown
//   zorv18ctl [--host H] [--port P] --user U [--json] user list|count|show|add|modify|delete|rename
//   zorv18ctl --user U listen DEVICE CHANNEL [--bus B] [--port N] [--play] [--seconds N] [--run-dir DIR]
//   zorv18ctl [--host H] [--port P] --user U quota MB1 MB2 | [--json] paths
//   zorv18ctl [--host H] [--port P] --user U transcoder list|add|remove|start|stop|search
//   zorv18ctl [--host H] [--port P] --user U monitor start|stop DEVICE CHANNEL
//
// Options stand before the command word; the words after it are the
// command's. The password comes from $ZORV_PASSWORD, else from the terminal
// (not echoed), else one line of standard input. Exit codes: CtlCommon.h.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "CtlCommands.h"
#include "CtlConnection.h"
#include "CtlStatus.h"
#include "access/AnnounceResponder.h"
#include "access/ClientProtocol.h"

namespace zorv::ctl {
namespace {

struct Options {
    std::string host = "127.0.0.1";
    uint16_t port = 1040;
    std::string user;
    bool json = false;
    int seconds = 0;  // watch: 0 until interrupted
    std::string broadcast = "255.255.255.255";
    uint16_t announcePort = 2048;
    int waitMs = 2000;
    std::string command;
    Args args;  // the words after the command
};

volatile std::sig_atomic_t g_stop = 0;

void OnSignal(int) {
    g_stop = 1;
}

int Usage() {
    std::cerr
        << "usage: zorv18ctl [--host H] [--port P] --user U [--json] status\n"
           "       zorv18ctl [--host H] [--port P] --user U [--json] [--seconds N] watch\n"
           "       zorv18ctl [--host H] [--port P] --user U journal\n"
           "       zorv18ctl [--host H] [--port P] --user U [--json] users\n"
           "       zorv18ctl [--broadcast ADDRESS] [--announce-port P] [--wait MS] [--json] "
           "find\n"
           "       zorv18ctl [--host H] [--port P] --user U set DEVICE CHANNEL[-LAST] KEY "
           "VALUE\n"
           "           KEY: enable on|off, activation level|line|level2|1-3, ton 0-50 (0.1 s),\n"
           "           toff 0-100 (s), threshold 0-32768, rate 8000|16000|32000,\n"
           "           stereo on|off (CHANNEL-LAST = MASTER-SLAVE), compression on|off\n"
           "       zorv18ctl [--host H] [--port P] --user U shutdown\n"
           "       zorv18ctl [--host H] [--port P] --user U [--json] user list | count | "
           "show NAME\n"
           "       zorv18ctl [--host H] [--port P] --user U user add|modify NAME [--admin] "
           "[--no-admin]\n"
           "           [--functions BITS] [--channels LIST] [--full-name T] "
           "[--description T] [--password]\n"
           "       zorv18ctl [--host H] [--port P] --user U user delete NAME | rename NAME "
           "NEWNAME\n"
           "       zorv18ctl --user U listen DEVICE CHANNEL [--bus B] [--port N] [--play] [--seconds N] "
           "[--run-dir DIR]\n"
           "       zorv18ctl [--host H] [--port P] --user U quota MB1 MB2\n"
           "       zorv18ctl [--host H] [--port P] --user U [--json] paths\n"
           "       zorv18ctl [--host H] [--port P] --user U transcoder list | start SERIAL | "
           "stop SERIAL | remove SERIAL\n"
           "       zorv18ctl [--host H] [--port P] --user U transcoder add SERIAL ADDRESS "
           "PORT CHANNELS [--position N]\n"
           "           [--class 1|2] [--data-port N]\n"
           "       zorv18ctl [--host H] [--port P] --user U transcoder search "
           "start|stop|state\n"
           "       zorv18ctl [--host H] [--port P] --user U monitor start|stop DEVICE "
           "CHANNEL\n"
           "The new user's password is taken from ZORV_NEW_PASSWORD or asked for.\n"
           "The password is taken from ZORV_PASSWORD or asked for.\n";
    return kUsage;
}

bool ParseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        long number = 0;
        if (arg == "--json") {
            o.json = true;
        } else if (arg == "--host" && hasValue) {
            o.host = argv[++i];
        } else if (arg == "--user" && hasValue) {
            o.user = argv[++i];
        } else if (arg == "--broadcast" && hasValue) {
            o.broadcast = argv[++i];
        } else if (arg == "--port" && hasValue && ParseNumber(argv[++i], 1, 65535, number)) {
            o.port = static_cast<uint16_t>(number);
        } else if (arg == "--announce-port" && hasValue &&
                   ParseNumber(argv[++i], 1, 65535, number)) {
            o.announcePort = static_cast<uint16_t>(number);
        } else if (arg == "--seconds" && hasValue && ParseNumber(argv[++i], 0, 1 << 30, number)) {
            o.seconds = static_cast<int>(number);
        } else if (arg == "--wait" && hasValue && ParseNumber(argv[++i], 0, 600000, number)) {
            o.waitMs = static_cast<int>(number);
        } else if (o.command.empty() && !arg.empty() && arg[0] != '-') {
            o.command = arg;
            // The reads and find take options after their word as well;
            // every other command has words of its own.
            if (o.command != "status" && o.command != "watch" && o.command != "journal" &&
                o.command != "users" && o.command != "find") {
                o.args.assign(argv + i + 1, argv + argc);
                break;
            }
        } else {
            std::cerr << "zorv18ctl: unexpected argument " << arg << "\n";
            return false;
        }
    }
    return !o.command.empty();
}

int Open(const Options& o, CCtlConnection& connection) {
    if (o.user.empty()) {
        std::cerr << "zorv18ctl: --user is needed\n";
        return kUsage;
    }
    if (!connection.Connect(o.host, o.port)) {
        std::cerr << "zorv18ctl: " << connection.Error() << "\n";
        return kNoConnection;
    }
    std::string password = ReadSecret("ZORV_PASSWORD", "Password: ");
    const LoginResult result = connection.Login(o.user, password);
    std::fill(password.begin(), password.end(), '\0');
    if (result == LoginResult::kRefused) {
        std::cerr << "zorv18ctl: login refused for " << o.user << "\n";
        return kLoginRefused;
    }
    if (result == LoginResult::kFailed) {
        std::cerr << "zorv18ctl: " << connection.Error() << "\n";
        return kNoConnection;
    }
    return 0;
}

std::string Now() {
    const std::time_t t = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&t, &local);
    char text[32];
    std::strftime(text, sizeof(text), "%H:%M:%S", &local);
    return text;
}

void PrintJson(const nlohmann::json& json, int indent = -1) {
    std::cout << json.dump(indent, ' ', false, nlohmann::json::error_handler_t::replace)
              << std::endl;
}

int Status(const Options& o, CCtlConnection& connection) {
    ServerStatus status;
    if (!ReadStatus(connection, status)) {
        return Failed(connection);
    }
    if (o.json) {
        PrintJson(ToJson(status), 2);
    } else {
        PrintStatus(std::cout, status);
    }
    return 0;
}

// Prints every pushed message and every change of a line's state, record or
// number, polling the channel states twice a second.
int Watch(const Options& o, CCtlConnection& connection) {
    const auto onPush = [&](const Message& m) {
        if (o.json) {
            nlohmann::json json = PushToJson(m);
            json["time"] = Now();
            PrintJson(json);
        } else {
            std::cout << Now() << "  " << DescribePush(m) << std::endl;
        }
    };
    std::vector<DeviceView> devices;
    if (!ReadDevices(connection, devices, onPush)) {
        return Failed(connection);
    }
    const auto report = [&](const DeviceView& d, const ChannelView& c) {
        if (o.json) {
            nlohmann::json json = ToJson(d, c);
            json["event"] = "line";
            json["time"] = Now();
            PrintJson(json);
        } else {
            std::cout << Now() << "  " << DescribeChannel(d, c) << std::endl;
        }
    };
    for (const DeviceView& d : devices) {
        for (const ChannelView& c : d.channels) {
            report(d, c);
        }
    }
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::seconds(o.seconds);
    auto nextPoll = Clock::now() + std::chrono::milliseconds(500);
    while (g_stop == 0 && (o.seconds == 0 || Clock::now() < end)) {
        const auto wait =
            std::chrono::duration_cast<std::chrono::milliseconds>(nextPoll - Clock::now());
        if (wait.count() > 0) {
            if (std::optional<Message> m = connection.Next(static_cast<int>(wait.count()))) {
                onPush(*m);
                continue;
            }
            if (!connection.Error().empty()) {
                return g_stop != 0 ? 0 : Failed(connection);
            }
            continue;
        }
        nextPoll = Clock::now() + std::chrono::milliseconds(500);
        for (DeviceView& d : devices) {
            const DeviceView before = d;
            if (!ReadChannels(connection, d, false, onPush)) {
                return g_stop != 0 ? 0 : Failed(connection);
            }
            for (std::size_t i = 0; i < d.channels.size(); ++i) {
                ChannelView& c = d.channels[i];
                c.enabled = before.channels[i].enabled;
                c.sampleRate = before.channels[i].sampleRate;
                c.alias = before.channels[i].alias;
                if (!c.SameLine(before.channels[i])) {
                    report(d, c);
                }
            }
        }
    }
    return 0;
}

int Journal(CCtlConnection& connection) {
    if (!connection.Request(static_cast<uint8_t>(ClientCode::kReadJournal), 0)) {
        return Failed(connection);
    }
    std::string line;
    for (;;) {
        const std::optional<Message> m =
            connection.Reply(static_cast<uint8_t>(ClientCode::kReadJournal));
        if (!m) {
            return Failed(connection);
        }
        if (m->index == 2) {
            break;
        }
        const std::size_t at = m->index == 0 ? 6 : 2;
        const std::size_t room = m->index == 0 ? kJournalFirstText : kJournalNextText;
        line += TextField(m->bytes.data() + at, room);
        // A message that is not full ended at a line's end.
        if (std::memchr(m->bytes.data() + at, 0, room) != nullptr) {
            std::cout << line << "\n";
            line.clear();
        }
    }
    if (!line.empty()) {
        std::cout << line << "\n";
    }
    std::cout.flush();
    return 0;
}

int Users(const Options& o, CCtlConnection& connection) {
    std::vector<ClientView> clients;
    if (!ReadClients(connection, clients)) {
        return Failed(connection);
    }
    if (o.json) {
        nlohmann::json json = nlohmann::json::array();
        for (const ClientView& c : clients) {
            json.push_back(ToJson(c));
        }
        PrintJson(json, 2);
        return 0;
    }
    if (clients.empty()) {
        std::cout << "no client is logged in\n";
    }
    for (const ClientView& c : clients) {
        std::cout << c.name << "\t" << c.address << "\tuser id " << c.userId << "\n";
    }
    return 0;
}

// Sends the announcement request to the broadcast address and prints every
// server that answers within the wait.
int Find(const Options& o) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(o.announcePort);
    if (fd < 0 || ::inet_pton(AF_INET, o.broadcast.c_str(), &to.sin_addr) != 1) {
        std::cerr << "zorv18ctl: not an IPv4 address: " << o.broadcast << "\n";
        if (fd >= 0) {
            ::close(fd);
        }
        return kUsage;
    }
    ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof(one));
    std::vector<uint8_t> request = {81, 0, 0, 0};
    request.insert(request.end(), kServiceText, kServiceText + std::strlen(kServiceText) + 1);
    if (::sendto(fd, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&to),
                 sizeof(to)) < 0) {
        std::cerr << "zorv18ctl: cannot send to " << o.broadcast << ": " << std::strerror(errno)
                  << "\n";
        ::close(fd);
        return kNoConnection;
    }
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::milliseconds(o.waitMs);
    nlohmann::json found = nlohmann::json::array();
    std::map<std::string, bool> seen;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            break;
        }
        uint8_t reply[64];
        sockaddr_in from{};
        socklen_t size = sizeof(from);
        const ssize_t got =
            ::recvfrom(fd, reply, sizeof(reply), 0, reinterpret_cast<sockaddr*>(&from), &size);
        AnnounceReply answer{};
        if (got != static_cast<ssize_t>(sizeof(answer))) {
            continue;  // not an answer
        }
        std::memcpy(&answer, reply, sizeof(answer));
        if (answer.Kind != kAnnounceReplyKind) {
            continue;
        }
        char address[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &from.sin_addr, address, sizeof(address));
        const std::string key = std::string(address) + ":" + std::to_string(answer.ServerPort);
        if (seen[key]) {
            continue;
        }
        seen[key] = true;
        const std::string text =
            TextField(reinterpret_cast<const uint8_t*>(answer.Text), sizeof(answer.Text));
        if (o.json) {
            found.push_back({{"address", address}, {"port", answer.ServerPort}, {"service", text}});
        } else {
            std::cout << address << "\tport " << answer.ServerPort << "\t" << text << std::endl;
        }
    }
    ::close(fd);
    if (o.json) {
        PrintJson(found, 2);
    } else if (seen.empty()) {
        std::cout << "no server answered\n";
    }
    return 0;
}

int Run(int argc, char** argv) {
    Options o;
    if (!ParseOptions(argc, argv, o)) {
        return Usage();
    }
    if (o.command == "find") {
        return Find(o);
    }
    if (o.command == "listen") {
        return RunListen(o.args, o.user);
    }
    const Opener open = [&o](CCtlConnection& connection) { return Open(o, connection); };
    if (o.command == "set") {
        return RunSet(o.args, open);
    }
    if (o.command == "shutdown") {
        return RunShutdown(o.args, open);
    }
    if (o.command == "user") {
        return RunUser(o.args, o.json, open);
    }
    if (o.command == "quota") {
        return RunQuota(o.args, open);
    }
    if (o.command == "monitor") {
        return RunMonitor(o.args, open);
    }
    if (o.command == "paths") {
        return RunPaths(o.args, o.json, open);
    }
    if (o.command == "transcoder") {
        return RunTranscoder(o.args, open);
    }
    if (o.command != "status" && o.command != "watch" && o.command != "journal" &&
        o.command != "users") {
        std::cerr << "zorv18ctl: unknown command " << o.command << "\n";
        return Usage();
    }
    CCtlConnection connection;
    if (const int rc = Open(o, connection); rc != 0) {
        return rc;
    }
    if (o.command == "status") {
        return Status(o, connection);
    }
    if (o.command == "watch") {
        struct sigaction action {};
        action.sa_handler = OnSignal;
        ::sigaction(SIGINT, &action, nullptr);
        ::sigaction(SIGTERM, &action, nullptr);
        return Watch(o, connection);
    }
    if (o.command == "journal") {
        return Journal(connection);
    }
    return Users(o, connection);
}

}  // namespace
}  // namespace zorv::ctl

int main(int argc, char** argv) {
    return zorv::ctl::Run(argc, argv);
}
