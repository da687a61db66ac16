// The server executable answers every command code of docs/protocol.md with
// the size the document gives, checked by a client that knows only the
// document: request and reply sizes from its command table, the streams'
// ends from its text. The server has no devices, so channel commands answer
// 0; the last command, 16, stops it.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "../access/ClientWire.h"
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
            const Bytes reply = client.Read(row.reply);
            ASSERT_EQ(reply.size(), row.reply);
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

}  // namespace
}  // namespace zorv::test
