// The client server over loopback, with a client built from the wire
// description (ClientWire.h): login, the gate, reassembly, the connection
// limit, time-outs on a manual clock, disconnect notices, pushes and the
// read commands.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>

#include "ClientServerFixture.h"

namespace zorv::test {
namespace {

TEST_F(ClientServerTest, LoginGrantedRefusedOrUnknown) {
    struct Case {
        const char* name;
        const char* password;
        uint32_t granted;
        int kind;
        int text;
    } cases[] = {
        {"admin", "secret", 1, 0, 145}, {"operator", "pw", 1, 0, 145},
        {"local", "pw", 0, 1, 144},     // no network right
        {"ghost", "pw", 0, 1, 146},     // not a user
        {"admin", "wrong", 0, 1, 146},  // wrong password
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto client = Connect();
        client->Send(LoginBytes(c.name, c.password, 0, 7));
        const Bytes reply = client->Read(2136);
        ASSERT_EQ(reply.size(), 2136u);
        EXPECT_EQ(reply[0], 1);
        EXPECT_EQ(reply[1], 7);
        EXPECT_EQ(U32At(reply, 2), c.granted);
        if (c.granted == 1) {
            // The account record, enciphered as stored.
            tagUserAccountRecord record;
            std::memcpy(&record, reply.data() + 6, sizeof(record));
            EXPECT_EQ(FieldText(Deciphered(record).UserName), c.name);
        }
        const std::string address = "127.0.0.1:" + std::to_string(client->LocalPort());
        const std::string line =
            c.text == 146 ? Line(c.kind, c.text, c.name, address) : Line(c.kind, c.text, c.name);
        EXPECT_TRUE(m_journal.WaitFor(line)) << line;
    }
    // A refused client stays connected but may only log in again.
    auto client = Connect();
    client->Send(LoginBytes("local", "pw"));
    ASSERT_EQ(client->Read(2136).size(), 2136u);
    client->Send(LoginBytes("admin", "secret"));
    EXPECT_EQ(U32At(client->Read(2136), 2), 1u);
}

TEST_F(ClientServerTest, CommandBeforeLoginDisconnectsWithReasonOne) {
    auto client = Connect();
    const std::string address = "127.0.0.1:" + std::to_string(client->LocalPort());
    client->Send({3, 9, 0, 0});
    EXPECT_EQ(client->Read(6), Notice(9, 1));
    EXPECT_TRUE(client->WaitClosed());
    EXPECT_TRUE(m_journal.WaitFor(Line(1, 143, "", address)));
    EXPECT_TRUE(m_journal.WaitFor(Line(0, 139, 1u, "", address)));
}

TEST_F(ClientServerTest, LoginReassembledFromAnySplit) {
    const std::vector<std::vector<std::size_t>> splits = {{52},       {30, 22}, {10, 10, 32},
                                                          {1, 1, 50}, {1, 51},  {51, 1}};
    for (const auto& split : splits) {
        auto client = Connect();
        const Bytes login = LoginBytes("admin", "secret");
        std::size_t at = 0;
        for (std::size_t piece : split) {
            client->Send(Bytes(login.begin() + at, login.begin() + at + piece));
            at += piece;
            std::this_thread::sleep_for(5ms);  // let the pieces arrive apart
        }
        const Bytes reply = client->Read(2136);
        ASSERT_EQ(reply.size(), 2136u);
        EXPECT_EQ(U32At(reply, 2), 1u);
        // Exactly one reply: the next reply is the next command's.
        client->Send({3, 4, 0, 0});
        const Bytes next = client->Read(550);
        ASSERT_EQ(next.size(), 550u);
        EXPECT_EQ(next[0], 3);
        EXPECT_EQ(next[1], 4);
    }
    EXPECT_EQ(m_journal.Count(Line(0, 145, "admin")), static_cast<int>(splits.size()));
}

TEST_F(ClientServerTest, TwoCommandsInOneBlockAnswerInOrder) {
    auto client = LoggedIn();
    client->Send({3, 1, 0, 0, 6, 1, 2, 0});
    const Bytes first = client->Read(550);
    ASSERT_EQ(first.size(), 550u);
    EXPECT_EQ(first[0], 3);
    EXPECT_EQ(U32At(first, 2), 2u);               // DeviceCount
    EXPECT_EQ(first[2 + 4 + 260 + 260 + 4], 77);  // Quota[1]
    const Bytes second = client->Read(46);
    ASSERT_EQ(second.size(), 46u);
    EXPECT_EQ(second[0], 6);
    EXPECT_EQ(second[1], 1);
    EXPECT_EQ(U32At(second, 2), 2u);          // channel
    EXPECT_EQ(U32At(second, 6 + 20), 1012u);  // Treshold of device 1 channel 2
}

TEST_F(ClientServerTest, BadIndexAndUnknownCodeConsumeFourBytes) {
    auto client = Connect();
    // Before login: a login with index 100 is 4 bytes and nothing else; the
    // 48 bytes behind it would be a bad command, so they are not sent.
    client->Send({1, 100, 0, 0});
    client->Send(LoginBytes("admin", "secret"));
    EXPECT_EQ(U32At(client->Read(2136), 2), 1u);
    // After login: index 100 on a known 52-byte code, an unknown code, then a
    // real command: only the last one answers.
    client->Send({1, 100, 0, 0, 14, 0, 0, 0, 99, 0, 0, 0, 3, 2, 0, 0});
    const Bytes reply = client->Read(550);
    ASSERT_EQ(reply.size(), 550u);
    EXPECT_EQ(reply[0], 3);
    EXPECT_EQ(reply[1], 2);
    EXPECT_FALSE(client->HasData());
}

TEST_F(ClientServerTest, TwentyFirstConnectionClosedUntilOneEnds) {
    ClientServerOptions options = ProtocolOptions();
    options.maxPendingPerAddress = 0;  // all 20 from one address
    Restart(options);
    std::vector<std::unique_ptr<CTestClient>> clients;
    for (std::size_t i = 0; i < kMaxClients; ++i) {
        clients.push_back(Connect());
    }
    ASSERT_TRUE(WaitConnections(kMaxClients));
    auto extra = Connect();  // the kernel accepts; the server closes it
    EXPECT_TRUE(extra->WaitClosed());
    EXPECT_TRUE(m_journal.WaitFor(Line(0, 137)));

    clients.front()->Close();
    ASSERT_TRUE(WaitConnections(kMaxClients - 1));
    auto next = Connect();
    next->Send(LoginBytes("admin", "secret"));
    EXPECT_EQ(U32At(next->Read(2136), 2), 1u);
}

TEST_F(ClientServerTest, IdleLimitsByUserIdOnTheClock) {
    struct Case {
        const char* what;
        bool login;
        uint32_t userId;
        std::chrono::seconds quiet;  // still open after this
        std::chrono::seconds limit;  // closed at this (0: never)
        int text;
    } cases[] = {
        {"unauthorized", false, 0, 34s, 35s, 140},
        {"user id 81", true, 81, 64s, 65s, 141},
        {"user id 82", true, 82, 3600s, 0s, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto client = c.login ? LoggedIn("operator", "pw", c.userId) : Connect();
        ASSERT_TRUE(WaitConnections(1));
        m_clock.Advance(c.quiet);
        std::this_thread::sleep_for(100ms);  // several waits of the connection
        EXPECT_FALSE(client->HasData());
        EXPECT_EQ(m_server->ConnectionCount(), 1u);
        if (c.limit == 0s) {
            client->Send({3, 0, 0, 0});
            EXPECT_EQ(client->Read(550).size(), 550u);
        } else {
            m_clock.Advance(c.limit - c.quiet);
            EXPECT_EQ(client->Read(6), Notice(0, 1));
            EXPECT_TRUE(client->WaitClosed());
            EXPECT_TRUE(m_journal.WaitFor(Line(1, c.text)));
        }
        client.reset();
        ASSERT_TRUE(WaitConnections(0));
    }
}

TEST_F(ClientServerTest, PeerCloseJournalsReasonZero) {
    auto client = LoggedIn();
    const std::string address = "127.0.0.1:" + std::to_string(client->LocalPort());
    client->Close();
    EXPECT_TRUE(m_journal.WaitFor(Line(0, 139, 0u, "operator", address)));
    EXPECT_TRUE(WaitConnections(0));
}

TEST_F(ClientServerTest, PushesReachEveryAuthorizedClient) {
    auto a = LoggedIn();
    auto b = LoggedIn("admin", "secret");
    auto stranger = Connect();                  // not logged in: no pushes
    m_server->BroadcastChannelParams(1, 3, 2);  // a range in either order
    m_server->BroadcastDvrConfig();
    for (CTestClient* client : {a.get(), b.get()}) {
        for (uint32_t channel : {2u, 3u}) {
            const Bytes push = client->Read(46);
            ASSERT_EQ(push.size(), 46u);
            EXPECT_EQ(push[0], 6);
            EXPECT_EQ(push[1], 1);
            EXPECT_EQ(U32At(push, 2), channel);
            EXPECT_EQ(U32At(push, 6 + 20), 1010 + channel);
        }
        const Bytes config = client->Read(550);
        ASSERT_EQ(config.size(), 550u);
        EXPECT_EQ(config[0], 3);
    }
    stranger->Send(LoginBytes("admin", "secret"));  // the first bytes it gets
    EXPECT_EQ(stranger->Read(2136)[0], 1);
}

TEST_F(ClientServerTest, ClientThatStopsReadingDoesNotHoldUpTheOthers) {
    ClientServerOptions options = ProtocolOptions();
    options.sendQueueBytes = 16 * 1024;
    options.socketSendBuffer = 4096;
    Restart(options);
    auto stuck = Connect(2048);
    stuck->Send(LoginBytes("operator", "pw"));
    ASSERT_EQ(stuck->Read(2136).size(), 2136u);  // then it never reads again
    const std::string stuckAddress = "127.0.0.1:" + std::to_string(stuck->LocalPort());
    std::vector<std::unique_ptr<CTestClient>> readers;
    for (int i = 0; i < 19; ++i) {
        readers.push_back(LoggedIn());
    }
    constexpr int kRounds = 60;
    constexpr int kPerRound = 100;  // 4600 bytes: well inside a reader's queue
    std::vector<std::atomic<int>> received(readers.size());
    std::atomic<bool> bad{false};
    std::vector<std::thread> threads;
    for (std::size_t r = 0; r < readers.size(); ++r) {
        threads.emplace_back([&, r] {
            for (int n = 0; n < kRounds * kPerRound; ++n) {
                const Bytes push = readers[r]->Read(46);
                if (push.size() != 46 || push[0] != 6 || U32At(push, 6 + 20) != 1000u + n) {
                    bad = true;
                    return;
                }
                received[r] = n + 1;
            }
        });
    }
    for (int round = 0; round < kRounds && !bad; ++round) {
        for (int i = 0; i < kPerRound; ++i) {
            m_data.m_generation = static_cast<uint32_t>(round * kPerRound + i);
            m_server->BroadcastChannelParams(0, 0, 0);
        }
        // Every reader has its round before the next one starts.
        for (std::size_t r = 0; r < readers.size(); ++r) {
            while (received[r] < (round + 1) * kPerRound && !bad) {
                std::this_thread::sleep_for(1ms);
            }
        }
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_FALSE(bad);
    // The stuck client overflowed its queue and was disconnected with reason 2.
    EXPECT_TRUE(m_journal.WaitFor(Line(0, 139, 2u, "operator", stuckAddress)));
    EXPECT_TRUE(WaitConnections(19));
}

TEST_F(ClientServerTest, ServerUsersAndDetach) {
    auto a = LoggedIn("operator", "pw", 81);
    auto b = LoggedIn("admin", "secret", 5);
    auto c = Connect();  // not authorized: not listed
    ASSERT_TRUE(WaitConnections(3));
    b->Send({38, 0, 0, 0});
    for (const auto& [index, name, id, port] : {std::tuple{1, "operator", 81u, a->LocalPort()},
                                                std::tuple{2, "admin", 5u, b->LocalPort()}}) {
        const Bytes message = b->Read(50);
        ASSERT_EQ(message.size(), 50u);
        EXPECT_EQ(message[0], 38);
        EXPECT_EQ(message[1], index);
        EXPECT_STREQ(reinterpret_cast<const char*>(message.data() + 2), name);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(message.data() + 23)),
                  "127.0.0.1:" + std::to_string(port));
        EXPECT_EQ(U32At(message, 46), id);
    }
    const Bytes end = b->Read(50);
    ASSERT_EQ(end.size(), 50u);
    EXPECT_EQ(end[1], 0);

    // Ended by the server: no notice, just the end of the stream.
    m_server->DetachUser("operator", "127.0.0.1:1");  // wrong address: kept
    m_server->DetachUser("operator", "127.0.0.1:" + std::to_string(a->LocalPort()));
    EXPECT_EQ(a->Read(1).size(), 0u);
    m_server->DetachUserByName("admin");
    EXPECT_EQ(b->Read(1).size(), 0u);
    EXPECT_EQ(m_server->GetServerUsers().size(), 0u);
    EXPECT_EQ(m_server->ConnectionCount(), 1u);
}

TEST_F(ClientServerTest, FullAddressHeldAndCutOnlyOnTheWire) {
    CClientConnection connection(*m_server, ACE_SOCK_Stream(), "255.255.255.255:65535");
    const ClientAtr atr = connection.Attributes();
    EXPECT_EQ(std::string(atr.UserAddr), "255.255.255.255:6553");
    const std::string full = "255.255.255.255:65535";
    const std::string wire = "255.255.255.255:6553";
    EXPECT_TRUE(connection.Matches("", &full));
    EXPECT_TRUE(connection.Matches("", &wire));
}

TEST_F(ClientServerTest, ReadCommandsAnswerTheirSizes) {
    struct Case {
        Bytes request;
        std::size_t size;
    } cases[] = {
        {{2, 0, 0, 0}, 442}, {{4, 0, 0, 0}, 34},  {{5, 1, 0, 0}, 38},  {{13, 1, 0, 0}, 1298},
        {{31, 0, 1, 0}, 6},  {{37, 0, 0, 0}, 34}, {{44, 0, 1, 0}, 17}, {{50, 0, 0, 0}, 54},
    };
    auto client = LoggedIn();
    for (const Case& c : cases) {
        client->Send(c.request);
        const Bytes reply = client->Read(c.size);
        ASSERT_EQ(reply.size(), c.size) << int(c.request[0]);
        EXPECT_EQ(reply[0], c.request[0]);
        EXPECT_EQ(reply[1], c.request[1]);
    }
    EXPECT_FALSE(client->HasData());
    client->Send({40, 0, 0, 0});
    const Bytes alias = client->Read(23);
    ASSERT_EQ(alias.size(), 23u);
    EXPECT_EQ(alias[1], 5);
    EXPECT_STREQ(reinterpret_cast<const char*>(alias.data() + 2), "Reception");
}

TEST_F(ClientServerTest, JournalFileInPieces) {
    std::string text = "first line\r\nsecond\r\n" + std::string(300, 'x');
    std::ofstream(m_data.m_journalPath, std::ios::binary) << text;
    auto client = LoggedIn();
    client->Send({58, 0, 0, 0});
    const Bytes first = client->Read(282);
    ASSERT_EQ(first.size(), 282u);
    EXPECT_EQ(first[1], 0);
    EXPECT_EQ(U32At(first, 2), text.size());
    EXPECT_STREQ(reinterpret_cast<const char*>(first.data() + 6), "first line");
    const Bytes second = client->Read(282);
    EXPECT_EQ(second[1], 1);
    EXPECT_STREQ(reinterpret_cast<const char*>(second.data() + 2), "second");
    const Bytes third = client->Read(282);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(third.data() + 2)), std::string(279, 'x'));
    const Bytes fourth = client->Read(282);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(fourth.data() + 2)), std::string(21, 'x'));
    EXPECT_EQ(client->Read(2), (Bytes{58, 2}));

    std::filesystem::remove(m_data.m_journalPath);
    client->Send({58, 0, 0, 0});
    EXPECT_EQ(client->Read(2), (Bytes{58, 2}));
}

}  // namespace
}  // namespace zorv::test
