// The server executable serves clients: a client written from the wire
// description logs in and reads over loopback, and the announcement responder
// answers, on the ports the server got (found through /proc).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include "../access/ClientWire.h"
#include "core/Journal.h"
#include "support/ChildProcess.h"
#include "support/JournalReader.h"
#include "support/ProcessPorts.h"
#include "support/TempDir.h"

namespace zorv::test {
namespace {

using namespace std::chrono_literals;

TEST(ClientProcessTest, ServerExecutableServesClients) {
    CTempDir dir;
    const std::vector<std::string> env = {"ZORV_REGISTRY=" + dir.File("registry.ini"),
                                          "ZORV_NETWORK_BIND=127.0.0.1"};
    CChildProcess add(BuiltProgram("zorv18server"), {"-AddUser", "admin"}, dir.Path(), env,
                      std::string("secret\n"));
    ASSERT_EQ(add.Wait(60s), 0) << add.Stderr();

    CChildProcess server(BuiltProgram("zorv18server"), {}, dir.Path(), env);
    const auto journalHas = [&](const std::string& text) {
        for (const std::string& t : JournalTexts(dir.File("ZORV_18.log"))) {
            if (t == text) {
                return true;
            }
        }
        return false;
    };
    ASSERT_TRUE(PollUntil([&] { return journalHas(CatalogText(Msg{229})); }, 20s))
        << server.Stderr();
    EXPECT_TRUE(journalHas(CatalogText(Msg{98})));
    const std::vector<uint16_t> tcp = ProcessPorts(server.Pid(), "/proc/net/tcp", true);
    ASSERT_EQ(tcp.size(), 1u);
    const std::vector<uint16_t> udp = ProcessPorts(server.Pid(), "/proc/net/udp", false);

    {
        CTestClient client(tcp[0]);
        ASSERT_TRUE(client.Connected());
        client.Send(LoginBytes("admin", "wrong"));
        EXPECT_EQ(U32At(client.Read(2136), 2), 0u);
        client.Send(LoginBytes("admin", "secret"));
        EXPECT_EQ(U32At(client.Read(2136), 2), 1u);
        client.Send({3, 0, 0, 0});
        const Bytes config = client.Read(550);
        ASSERT_EQ(config.size(), 550u);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(config.data() + 6)),
                  dir.File("DvrFiles"));
        EXPECT_TRUE(
            PollUntil([&] { return journalHas(FormatCatalogText(Msg{145}, "admin")); }, 20s));
    }

    // One of the UDP sockets is the responder: it announces the TCP port.
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    std::vector<uint8_t> request = {81, 0, 0, 0};
    const std::string text = "QTS Network System";
    request.insert(request.end(), text.begin(), text.end());
    request.push_back(0);
    for (uint16_t port : udp) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::sendto(fd, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&to),
                 sizeof(to));
    }
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 20000), 1);
    uint8_t reply[64];
    ASSERT_EQ(::recv(fd, reply, sizeof(reply), 0), 28);
    EXPECT_EQ(reply[24] | reply[25] << 8, tcp[0]);
    ::close(fd);

    // A login name with a line end writes one journal line, not a forged one.
    {
        CTestClient client(tcp[0], 0, "127.0.0.7");
        client.Send(LoginBytes("x\r\n01.01.2020 forged", "pw"));
        EXPECT_EQ(U32At(client.Read(2136), 2), 0u);
    }
    const std::string escaped = "x\\x0D\\x0A01.01.2020 forged";
    EXPECT_TRUE(PollUntil(
        [&] {
            for (const std::string& t : JournalTexts(dir.File("ZORV_18.log"))) {
                if (t.find(escaped) != std::string::npos) {
                    return true;
                }
            }
            return false;
        },
        20s));
    for (const std::string& t : JournalTexts(dir.File("ZORV_18.log"))) {
        if (t.find("forged") != std::string::npos) {
            EXPECT_NE(t.find(escaped), std::string::npos) << t;
        }
    }

    server.Signal(SIGTERM);
    EXPECT_EQ(server.Wait(15s), 0);
}

}  // namespace
}  // namespace zorv::test
