// The server executable answers every command code of docs/protocol.md with
// the size the document gives, checked by a client that knows only the
// document: request and reply sizes from its command table, the streams'
// ends from its text. The server has no devices, so channel commands answer
// 0; the last command, 16, stops it. Storage changes reach the settings file
// at once and the other clients (code 3); the transcoder search runs in the
// server as it is.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstring>
#include <cstdio>
#include <fstream>

#include "../access/ClientWire.h"
#include "access/ClientProtocol.h"
#include "core/Journal.h"
#include "support/ChildProcess.h"
#include "support/JournalReader.h"
#include "support/ProcessPorts.h"
#include "support/TempDir.h"

namespace zorv::test {
namespace {

using namespace std::chrono_literals;

struct DocRow {
    int code;
    unsigned request;
    unsigned reply;
};

std::vector<DocRow> DocumentedCommands() {
    std::ifstream doc(std::string(ZORV_SOURCE_DIR) + "/docs/protocol.md");
    std::vector<DocRow> rows;
    std::string line;
    while (std::getline(doc, line)) {
        DocRow row{};
        char operation[64] = {};
        if (std::sscanf(line.c_str(), "| %d | %63[^|]| %u | %u", &row.code, operation,
                        &row.request, &row.reply) == 4) {
            rows.push_back(row);
        }
    }
    return rows;
}

TEST(ClientCommandsProcessTest, EveryDocumentedCodeAnswersItsSize) {
    const std::vector<DocRow> rows = DocumentedCommands();
    ASSERT_GT(rows.size(), 140u);
    CTempDir dir;
    const std::vector<std::string> env = {"ZORV_REGISTRY=" + dir.File("registry.ini"),
                                          "ZORV_NETWORK_BIND=127.0.0.1"};
    CChildProcess add(BuiltProgram("zorv18server"), {"-AddUser", "admin"}, dir.Path(), env,
                      std::string("secret\n"));
    ASSERT_EQ(add.Wait(60s), 0) << add.Stderr();
    CChildProcess server(BuiltProgram("zorv18server"), {}, dir.Path(), env);
    ASSERT_TRUE(PollUntil(
        [&] { return ProcessPorts(server.Pid(), "/proc/net/tcp", true).size() == 1; }, 20s))
        << server.Stderr();
    const uint16_t port = ProcessPorts(server.Pid(), "/proc/net/tcp", true)[0];

    CTestClient client(port);
    ASSERT_TRUE(client.Connected());
    client.Send(LoginBytes("admin", "secret"));
    ASSERT_EQ(U32At(client.Read(2136), 2), 1u);
    for (const DocRow& row : rows) {
        if (row.code == 1 || row.code == 16) {
            continue;
        }
        SCOPED_TRACE("code " + std::to_string(row.code));
        Bytes request(row.request, 0);
        request[0] = static_cast<uint8_t>(row.code);
        ASSERT_TRUE(client.Send(request));
        // Streams: 35 ends with number 0, 38 with index 0, 58 with the
        // 2-byte end, 150 with fewer than 42 entries; 40 sends one message
        // per alias (none without devices).
        for (int guard = 0; guard < 1000 && row.reply > 0; ++guard) {
            if (row.code == 40) {
                break;
            }
            if (row.code == 58) {
                const Bytes head = client.Read(2);
                ASSERT_EQ(head.size(), 2u);
                if (head[1] == 2) {
                    break;
                }
                ASSERT_EQ(client.Read(row.reply - 2).size(), row.reply - 2);
                continue;
            }
            // A storage change pushes the configuration (code 3, 550 bytes)
            // before its reply.
            Bytes reply = client.Read(2);
            ASSERT_EQ(reply.size(), 2u);
            if (reply[0] == 3 && row.code != 3) {
                ASSERT_EQ(client.Read(548).size(), 548u);
                continue;
            }
            const Bytes rest = client.Read(row.reply - 2);
            ASSERT_EQ(rest.size(), row.reply - 2);
            reply.insert(reply.end(), rest.begin(), rest.end());
            EXPECT_EQ(reply[0], row.code);
            if ((row.code == 35 && U32At(reply, 2) != 0) || (row.code == 38 && reply[1] != 0)) {
                continue;
            }
            break;
        }
        // Nothing more: the next reply is code 2's.
        client.Send({2, 0, 0, 0});
        const Bytes sync = client.Read(442);
        ASSERT_EQ(sync.size(), 442u);
        ASSERT_EQ(sync[0], 2);
    }
    // Last: 16 stops the server, journaled with the user and address.
    const std::string stopText =
        FormatCatalogText(Msg{152}, "admin", "127.0.0.1:" + std::to_string(client.LocalPort()));
    client.Send({16, 0, 0, 0});
    EXPECT_EQ(client.Read(6), (Bytes{16, 0, 1, 0, 0, 0}));
    EXPECT_EQ(server.Wait(30s), 0);
    const std::vector<std::string> texts = JournalTexts(dir.File("ZORV_18.log"));
    EXPECT_NE(std::find(texts.begin(), texts.end(), stopText), texts.end());
}

// A server without devices in its own directory, and a logged-in admin.
class ClientServerProcess {
public:
    explicit ClientServerProcess(const CTempDir& dir)
        : m_env{"ZORV_REGISTRY=" + dir.File("registry.ini"), "ZORV_NETWORK_BIND=127.0.0.1"},
          m_dir(dir) {}
    void AddAdmin() {
        CChildProcess add(BuiltProgram("zorv18server"), {"-AddUser", "admin"}, m_dir.Path(),
                          m_env, std::string("secret\n"));
        ASSERT_EQ(add.Wait(60s), 0) << add.Stderr();
    }
    // Starts the server and logs a client in.
    std::unique_ptr<CTestClient> Start() {
        m_server = std::make_unique<CChildProcess>(BuiltProgram("zorv18server"),
                                                   std::vector<std::string>{}, m_dir.Path(), m_env);
        const bool listening = PollUntil(
            [&] { return ProcessPorts(m_server->Pid(), "/proc/net/tcp", true).size() == 1; }, 20s);
        EXPECT_TRUE(listening) << m_server->Stderr();
        if (!listening) {
            return nullptr;
        }
        auto client =
            std::make_unique<CTestClient>(ProcessPorts(m_server->Pid(), "/proc/net/tcp", true)[0]);
        client->Send(LoginBytes("admin", "secret"));
        EXPECT_EQ(U32At(client->Read(2136), 2), 1u);
        return client;
    }
    // Ends it abruptly: nothing is written at a stop.
    void Kill() {
        m_server->Signal(SIGKILL);
        m_server->Wait(20s);
    }
    ~ClientServerProcess() {
        if (m_server) {
            Kill();
        }
    }

private:
    std::vector<std::string> m_env;
    const CTempDir& m_dir;
    std::unique_ptr<CChildProcess> m_server;
};

Bytes WordsRequest(uint8_t code, std::size_t size, std::initializer_list<uint32_t> words) {
    Bytes b(size, 0);
    b[0] = code;
    std::size_t at = 4;
    for (uint32_t w : words) {
        std::memcpy(b.data() + at, &w, sizeof(w));
        at += 4;
    }
    return b;
}

TEST(ClientCommandsProcessTest, StorageChangesReachTheClientsAndSurviveAnAbruptEnd) {
    CTempDir dir;
    ClientServerProcess process(dir);
    process.AddAdmin();
    auto client = process.Start();
    ASSERT_TRUE(client);
    // Quotas 123 and 77 MB: code 3 is pushed with them, then the status.
    client->Send(WordsRequest(15, 12, {123, 77}));
    const Bytes push = client->Read(550);
    ASSERT_EQ(push.size(), 550u);
    EXPECT_EQ(push[0], 3);
    EXPECT_EQ(U32At(push, 2 + offsetof(tagDvrConfig, Quota)), 123u);
    EXPECT_EQ(U32At(push, 2 + offsetof(tagDvrConfig, Quota) + 4), 77u);
    EXPECT_EQ(client->Read(6), (Bytes{15, 0, 1, 0, 0, 0}));
    // Deletion size, record lengths (a longest below the shortest fails and
    // pushes nothing), deletion by age.
    client->Send(WordsRequest(42, 8, {300}));
    EXPECT_EQ(client->Read(550)[0], 3);
    EXPECT_EQ(client->Read(6), (Bytes{42, 0, 1, 0, 0, 0}));
    client->Send(WordsRequest(43, 16, {600, 300}));
    EXPECT_EQ(client->Read(6), (Bytes{43, 0, 0, 0, 0, 0}));
    client->Send(WordsRequest(43, 16, {5, 1800}));
    EXPECT_EQ(client->Read(550)[0], 3);
    EXPECT_EQ(client->Read(6), (Bytes{43, 0, 1, 0, 0, 0}));
    client->Send(WordsRequest(88, 12, {1, 45}));
    EXPECT_EQ(client->Read(550)[0], 3);
    EXPECT_EQ(client->Read(6), (Bytes{88, 0, 1, 0, 0, 0}));

    process.Kill();
    client = process.Start();
    ASSERT_TRUE(client);
    client->Send({3, 0, 0, 0});
    const Bytes config = client->Read(550);
    ASSERT_EQ(config.size(), 550u);
    const std::size_t quota = 2 + offsetof(tagDvrConfig, Quota);
    EXPECT_EQ(U32At(config, quota), 123u);
    EXPECT_EQ(U32At(config, quota + 4), 77u);
    EXPECT_EQ(U32At(config, 2 + offsetof(tagDvrConfig, DelSize)), 300u);
    EXPECT_EQ(U32At(config, 2 + offsetof(tagDvrConfig, MinSizeFile)), 5u);
    EXPECT_EQ(U32At(config, 2 + offsetof(tagDvrConfig, MaxFileSize)), 1800u);
    client->Send({87, 0, 0, 0});
    EXPECT_EQ(client->Read(10), (Bytes{87, 0, 1, 0, 0, 0, 45, 0, 0, 0}));
}

TEST(ClientCommandsProcessTest, TheTranscoderSearchRunsAndStops) {
    CTempDir dir;
    ClientServerProcess process(dir);
    process.AddAdmin();
    auto client = process.Start();
    ASSERT_TRUE(client);
    struct Step {
        uint8_t code;
        int32_t result;
    } steps[] = {{210, 0}, {218, 0}, {216, 1}, {218, 1}, {217, 1}, {218, 0}, {233, 0}};
    for (const Step& step : steps) {
        SCOPED_TRACE(int(step.code));
        client->Send({step.code, 0, 0, 0});
        const Bytes reply = client->Read(6);
        ASSERT_EQ(reply.size(), 6u);
        EXPECT_EQ(reply[0], step.code);
        EXPECT_EQ(static_cast<int32_t>(U32At(reply, 2)), step.result);
    }
}

}  // namespace
}  // namespace zorv::test
