// A channel setting changed by a client over the network: it is stored in
// the channel settings of the main settings file, pushed (code 6) to every
// logged-in client, and read back after the server restarts.
#include <gtest/gtest.h>

#include <cstdlib>

#include "../access/ClientWire.h"
#include "../access/UsersTestSupport.h"
#include "access/ClientServer.h"
#include "access/UsersDatabase.h"
#include "server/RecordServer.h"
#include "simulation/SimulatedBoardOpener.h"
#include "support/ChildProcess.h"
#include "ServerTestSupport.h"
#include "support/TempDir.h"

namespace zorv::test {
namespace {

using namespace std::chrono_literals;

std::unique_ptr<CRecordServer> StartServer(const CTempDir& dir) {
    auto server = StartSimulatedServer(dir, OneSimulatedBoard());
    EXPECT_NE(server->Clients().Port(), 0);
    return server;
}

std::unique_ptr<CTestClient> LogIn(CRecordServer& server) {
    auto client = std::make_unique<CTestClient>(server.Clients().Port());
    client->Send(LoginBytes("admin", "secret"));
    EXPECT_EQ(U32At(client->Read(2136), 2), 1u);
    return client;
}

uint32_t TresholdIn(const Bytes& message) {
    return U32At(message, 6 + offsetof(tagChanelParam, Treshold)) & 0xFFFF;
}

TEST(ClientChannelCommandsTest, ThresholdPersistsIsPushedAndSurvivesARestart) {
    ::setenv("ZORV_NETWORK_BIND", "127.0.0.1", 1);  // free loopback ports
    CTempDir dir;
    {
        auto server = StartServer(dir);
        ASSERT_TRUE(server->Users().AddAsOwner(UserRecord("admin", "secret", 1)));
        auto changer = LogIn(*server);
        auto watcher = LogIn(*server);
        // Code 12, device 0, channels 1..2, threshold 1234.
        changer->Send({12, 0, 1, 2, 0xD2, 0x04, 0, 0});
        // The pushes are queued while the change runs, before its reply.
        for (CTestClient* client : {changer.get(), watcher.get()}) {
            for (uint32_t channel : {1u, 2u}) {
                const Bytes push = client->Read(46);
                ASSERT_EQ(push.size(), 46u);
                EXPECT_EQ(push[0], 6);
                EXPECT_EQ(U32At(push, 2), channel);
                EXPECT_EQ(TresholdIn(push), 1234u);
            }
        }
        EXPECT_EQ(changer->Read(6), (Bytes{12, 0, 1, 0, 0, 0}));
        server->Stop();
    }
    auto server = StartServer(dir);
    auto client = LogIn(*server);
    for (uint8_t channel : {0, 1, 2, 3}) {
        client->Send({6, 0, channel, 0});
        const Bytes reply = client->Read(46);
        ASSERT_EQ(reply.size(), 46u);
        EXPECT_EQ(TresholdIn(reply) == 1234u, channel == 1 || channel == 2) << int(channel);
    }
    server->Stop();
}

}  // namespace
}  // namespace zorv::test
