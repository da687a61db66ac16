// What a client can do to the server before it is trusted, and the sessions
// of users that change: connections of one address that have not logged in
// are bounded, the time to log in counts from the connection's start, three
// refused logins end a connection, refused logins are slowed per address and
// journaled in bursts; a deleted or renamed user's sessions end whatever the
// letter case of its name, and two clients ending each other both finish.
#include <gtest/gtest.h>

#include <thread>

#include "ClientServerFixture.h"
#include "support/ChildProcess.h"

namespace zorv::test {
namespace {

class ClientSessionsTest : public ClientServerTest {
protected:
    // The server as it runs: the login guard's delays and bursts on.
    void RestartAsShipped() { Restart({}); }
    static std::string Address(const CTestClient& client, const char* host = "127.0.0.1") {
        return std::string(host) + ":" + std::to_string(client.LocalPort());
    }
    // Whether the client got the login reply with this grant.
    static bool Answered(CTestClient& client, uint32_t granted) {
        const Bytes reply = client.Read(2136);
        return reply.size() == 2136 && U32At(reply, 2) == granted;
    }
};

// Twenty connections from one address sending wrong logins every 25 s for
// 90 s: the address holds at most four of the twenty places, refused logins
// do not keep them open, and the administrator gets in from another address
// all the while.
TEST_F(ClientSessionsTest, OneAddressCannotHoldEveryPlace) {
    RestartAsShipped();
    std::vector<std::unique_ptr<CTestClient>> attackers(kMaxClients);
    for (int seconds = 0; seconds <= 90; seconds += 25) {
        SCOPED_TRACE("after " + std::to_string(seconds) + " s");
        for (auto& attacker : attackers) {
            if (attacker == nullptr || attacker->DrainClosed()) {
                attacker = Connect(0, "127.0.0.1");
            }
            attacker->Send(LoginBytes("admin", "guess"));
        }
        // Four of the address (the last administrator's connection may
        // still be closing).
        EXPECT_TRUE(PollUntil([&] { return m_server->ConnectionCount() <= 4; }, 5s));
        auto admin = Connect(0, "127.0.0.2");
        admin->Send(LoginBytes("admin", "secret"));
        EXPECT_TRUE(Answered(*admin, 1));
        admin.reset();
        m_clock.Advance(25s);
    }
    m_server->Stop();
    // One line for the first refused connection; the others are counted.
    EXPECT_EQ(m_journal.CountContaining("Connection from 127.0.0.1:"), 1);
    EXPECT_GE(m_journal.CountContaining("Connections refused from 127.0.0.1: "), 1);
}

TEST_F(ClientSessionsTest, TimeToLogInRunsFromTheStartAndThreeRefusalsEndIt) {
    // A refused login is answered but does not restart the 35 s.
    {
        auto client = Connect();
        ASSERT_TRUE(WaitConnections(1));
        m_clock.Advance(20s);
        client->Send(LoginBytes("admin", "wrong"));
        EXPECT_TRUE(Answered(*client, 0));
        m_clock.Advance(14s);
        std::this_thread::sleep_for(100ms);  // several waits of the connection
        EXPECT_FALSE(client->HasData());
        m_clock.Advance(1s);
        EXPECT_EQ(client->Read(6), Notice(0, 1));
        EXPECT_TRUE(client->WaitClosed());
        EXPECT_TRUE(m_journal.WaitFor(Line(1, 140)));
    }
    // The third refused login is the last.
    auto client = Connect();
    for (int attempt = 1; attempt <= 3; ++attempt) {
        client->Send(LoginBytes(attempt == 2 ? "ghost" : "admin", "wrong", 0, 5));
        EXPECT_TRUE(Answered(*client, 0)) << attempt;
    }
    EXPECT_EQ(client->Read(6), Notice(5, 1));
    EXPECT_TRUE(client->WaitClosed());
    EXPECT_TRUE(m_journal.WaitFor(Line(0, 139, 1u, "", Address(*client))));
}

// After a refused login the address's next check waits (1 s, then 2 s, ...);
// other addresses are not slowed. The first refusal is journaled as it
// stands, the others of the burst by one line with their count.
TEST_F(ClientSessionsTest, RefusedLoginsAreSlowedAndJournaledInBursts) {
    RestartAsShipped();
    auto first = Connect(0, "127.0.0.1");
    first->Send(LoginBytes("ghost", "guess"));
    EXPECT_TRUE(Answered(*first, 0));
    EXPECT_TRUE(m_journal.WaitFor(Line(1, 146, "ghost", Address(*first))));

    auto second = Connect(0, "127.0.0.1");
    second->Send(LoginBytes("admin", "guess"));
    auto other = Connect(0, "127.0.0.3");
    other->Send(LoginBytes("admin", "secret"));
    EXPECT_TRUE(Answered(*other, 1));
    EXPECT_FALSE(second->HasData()) << "answered before its turn";
    m_clock.Advance(1s);
    EXPECT_TRUE(Answered(*second, 0));
    EXPECT_EQ(m_journal.Count(Line(1, 146, "admin", Address(*second))), 0);

    m_clock.Advance(61s);
    EXPECT_TRUE(
        m_journal.WaitFor("1 Refused logins from 127.0.0.1: 1 more, not journaled one by one"));
}

// "Clerk" (an administrator) is logged in twice, once as "clerk"; the users
// database knows names whatever their case, and so must the sessions.
TEST_F(ClientSessionsTest, ChangedUsersLoseTheirSessionsWhateverTheCase) {
    enum class Change { kDelete, kRename, kDetach, kDeleteSelf, kRenameSelf };
    struct Case {
        const char* what;
        Change change;
        const char* named;  // how the request names the user
        bool sessionsEnd;
    } cases[] = {
        {"deleted", Change::kDelete, "clerk", true},
        {"renamed", Change::kRename, "CLERK", true},
        {"detached by name and address", Change::kDetach, "clerk", true},
        {"deletes itself", Change::kDeleteSelf, "CLERK", true},
        {"renames itself and goes on", Change::kRenameSelf, "cLeRk", false},
    };
    auto admin = LoggedIn("admin", "secret");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        m_users.DeleteAsOwner("boss");
        ASSERT_TRUE(m_users.AddAsOwner(UserRecord("Clerk", "pw", 1)));
        auto clerk = LoggedIn("Clerk", "pw");
        auto again = LoggedIn("clerk", "pw");
        const bool self = c.change == Change::kDeleteSelf || c.change == Change::kRenameSelf;
        CTestClient& acting = self ? *clerk : *admin;
        Bytes request;
        switch (c.change) {
            case Change::kDelete:
            case Change::kDeleteSelf:
                request = Request(33, 2, {}, 52);
                PutName(request, 4, c.named);
                break;
            case Change::kRename:
            case Change::kRenameSelf:
                request = Request(36, 2, {}, 52);
                PutName(request, 4, c.named);
                PutName(request, 25, "boss");
                break;
            case Change::kDetach: {
                request = Request(39, 2, {}, 52);
                const std::string address = Address(*clerk);
                std::memcpy(request.data() + 4, c.named, std::strlen(c.named));
                std::memcpy(request.data() + 25, address.data(), address.size());
                break;
            }
        }
        acting.Send(request);
        if (c.change != Change::kDetach) {
            EXPECT_EQ(acting.Read(6), (Bytes{request[0], 2, 1, 0, 0, 0}));
        } else {
            EXPECT_EQ(acting.Read(6), (Bytes{39, 2, 1, 0, 0, 0}));
        }
        if (c.change == Change::kDeleteSelf) {
            EXPECT_EQ(clerk->Read(6), Notice(2, 1));
        }
        if (c.sessionsEnd) {
            EXPECT_TRUE(clerk->WaitClosed());
        } else {
            // The acting session follows the new name; the other one ends.
            clerk->Send({38, 0, 0, 0});
            const Bytes users = clerk->Read(50 * 3);
            ASSERT_EQ(users.size(), 150u);
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(users.data()) + 2 + 50), "boss");
        }
        if (c.change != Change::kDetach) {
            EXPECT_TRUE(again->WaitClosed());
        }
        m_users.DeleteAsOwner("Clerk");
    }
    // The administrator went on throughout.
    admin->Send({2, 0, 0, 0});
    EXPECT_EQ(admin->Read(442).size(), 442u);
}

TEST_F(ClientSessionsTest, TwoClientsDeletingEachOtherBothFinish) {
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(m_users.AddAsOwner(UserRecord("one", "pw", 1)));
        ASSERT_TRUE(m_users.AddAsOwner(UserRecord("two", "pw", 1)));
        auto one = LoggedIn("one", "pw");
        auto two = LoggedIn("two", "pw");
        Bytes deleteTwo = Request(33, 0, {}, 52);
        PutName(deleteTwo, 4, "two");
        Bytes deleteOne = Request(33, 0, {}, 52);
        PutName(deleteOne, 4, "one");
        std::thread sendOne([&] { one->Send(deleteTwo); });
        two->Send(deleteOne);
        sendOne.join();
        // Each is answered, or ended by the other before its own delete ran;
        // a deleted user's connection ends.
        EXPECT_LE(one->Read(6).size(), 6u);
        EXPECT_LE(two->Read(6).size(), 6u);
        EXPECT_FALSE(m_users.Exists("one") && m_users.Exists("two"));
        if (!m_users.Exists("one")) {
            EXPECT_TRUE(one->WaitClosed());
        }
        if (!m_users.Exists("two")) {
            EXPECT_TRUE(two->WaitClosed());
        }
        m_users.DeleteAsOwner("one");
        m_users.DeleteAsOwner("two");
    }
}

}  // namespace
}  // namespace zorv::test
