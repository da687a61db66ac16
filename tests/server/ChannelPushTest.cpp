// A channel change made through the server's channel setters reaches every
// logged-in client as pushed code-6 messages.
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

TEST(ChannelPushTest, ChangedChannelsArePushedToEveryLoggedInClient) {
    ::setenv("ZORV_NETWORK_BIND", "127.0.0.1", 1);  // free loopback ports
    CTempDir dir;
    const auto owner = StartSimulatedServer(dir, OneSimulatedBoard());
    CRecordServer& server = *owner;
    ASSERT_EQ(server.State(), SS_RUNNING);
    ASSERT_TRUE(server.Users().AddAsOwner(UserRecord("admin", "secret", 1)));
    ASSERT_NE(server.Clients().Port(), 0);

    std::vector<std::unique_ptr<CTestClient>> clients;
    for (int i = 0; i < 2; ++i) {
        clients.push_back(std::make_unique<CTestClient>(server.Clients().Port()));
        clients.back()->Send(LoginBytes("admin", "secret"));
        ASSERT_EQ(U32At(clients.back()->Read(2136), 2), 1u);
    }
    ASSERT_NE(server.SetChannelTreshold(0, 1, 2, 1234), 0);
    for (auto& client : clients) {
        for (uint32_t channel : {1u, 2u}) {
            const Bytes push = client->Read(46);
            ASSERT_EQ(push.size(), 46u);
            EXPECT_EQ(push[0], 6);
            EXPECT_EQ(push[1], 0);
            EXPECT_EQ(U32At(push, 2), channel);
            EXPECT_EQ(U32At(push, 6 + offsetof(tagChanelParam, Treshold)), 1234u);
        }
    }
    server.Stop();
}

}  // namespace
}  // namespace zorv::test
