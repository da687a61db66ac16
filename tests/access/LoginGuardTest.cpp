// The login guard: the growing delay of a peer's password checks after
// refused logins, and the journal lines of a burst of refusals.
#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "access/LoginGuard.h"
#include "core/Journal.h"

namespace zorv::test {
namespace {

using namespace std::chrono_literals;
using Refusal = CLoginGuard::Refusal;

class CLines final : public IJournal {
public:
    void WriteJournal(int, std::string_view text) override {
        std::lock_guard lock(m_mutex);
        m_lines.emplace_back(text);
    }
    std::vector<std::string> Take() {
        std::lock_guard lock(m_mutex);
        return std::exchange(m_lines, {});
    }

private:
    std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

const CLoginGuard::Time kStart{std::chrono::hours{1}};

TEST(LoginGuardTest, DelayGrowsPerPeerUpToItsLimitAndAGrantForgetsIt) {
    CLines journal;
    CLoginGuard guard(journal, {.delayStart = 1000ms, .delayMax = 8000ms});
    const std::chrono::milliseconds expected[] = {0ms, 1000ms, 2000ms, 4000ms, 8000ms, 8000ms};
    for (int refusals = 0; refusals < 6; ++refusals) {
        EXPECT_EQ(guard.Delay(refusals), expected[refusals]) << refusals;
    }
    EXPECT_EQ(guard.Delay(1000), 8000ms);

    // Checks are at once until a refusal; then each waits the delay after the last turn.
    auto now = kStart;
    EXPECT_EQ(guard.Reserve("10.0.0.1", now), now);
    EXPECT_EQ(guard.Reserve("10.0.0.1", now), now);
    guard.Refused("10.0.0.1", now, Refusal::kLogin);
    EXPECT_EQ(guard.Reserve("10.0.0.1", now), now + 1000ms);
    EXPECT_EQ(guard.Reserve("10.0.0.1", now), now + 2000ms) << "turns are handed out in order";
    guard.Refused("10.0.0.1", now, Refusal::kLogin);
    EXPECT_EQ(guard.Reserve("10.0.0.1", now), now + 3000ms);
    EXPECT_EQ(guard.Reserve("10.0.0.1", now), now + 5000ms) << "two refusals: 2 s apart";
    // Another peer is not slowed.
    EXPECT_EQ(guard.Reserve("10.0.0.2", now), now);

    // A caller that cannot wait is refused until the turn comes.
    EXPECT_FALSE(guard.ReserveNow("10.0.0.1", now + 6000ms));
    EXPECT_TRUE(guard.ReserveNow("10.0.0.1", now + 7000ms));

    guard.Granted("10.0.0.1");
    now += 20s;
    EXPECT_EQ(guard.Reserve("10.0.0.1", now), now);
    EXPECT_EQ(guard.Reserve("10.0.0.1", now), now) << "a granted login forgets the refusals";
}

TEST(LoginGuardTest, RefusalsAreForgottenAfterAQuietTime) {
    CLines journal;
    CLoginGuard guard(journal, {.delayStart = 1000ms, .forgetAfter = 600s});
    guard.Refused("10.0.0.1", kStart, Refusal::kLogin);
    guard.Refused("10.0.0.1", kStart, Refusal::kLogin);
    const auto later = kStart + 600s;
    EXPECT_EQ(guard.Reserve("10.0.0.1", later), later);
}

TEST(LoginGuardTest, ABurstIsJournaledOnceThenCounted) {
    CLines journal;
    CLoginGuard guard(journal, {.burstQuiet = 60s});
    const std::string peer = "10.0.0.1";
    // The first refusal is the caller's to journal, the rest are counted.
    EXPECT_TRUE(guard.Refused(peer, kStart, Refusal::kLogin));
    for (int i = 1; i <= 1000; ++i) {
        EXPECT_FALSE(guard.Refused(peer, kStart + i * 10ms, Refusal::kLogin));
    }
    // Refusals without a check belong to the same burst; connections to one apart.
    EXPECT_FALSE(guard.Refused(peer, kStart + 11s, Refusal::kEarly));
    EXPECT_TRUE(guard.Refused(peer, kStart + 11s, Refusal::kConnection));
    EXPECT_FALSE(guard.Refused(peer, kStart + 12s, Refusal::kConnection));
    guard.Flush(kStart + 30s);
    EXPECT_TRUE(journal.Take().empty()) << "nothing before the burst goes quiet";

    guard.Flush(kStart + 72s);
    EXPECT_EQ(journal.Take(),
              (std::vector<std::string>{
                  "Refused logins from 10.0.0.1: 1001 more, not journaled one by one",
                  "Connections refused from 10.0.0.1: 1 more, not journaled one by one"}));
    // A new burst starts with a journaled refusal again.
    EXPECT_TRUE(guard.Refused(peer, kStart + 200s, Refusal::kLogin));
}

TEST(LoginGuardTest, ALongBurstGetsALineEveryQuietPeriodAndAtTheStop) {
    CLines journal;
    CLoginGuard guard(journal, {.burstQuiet = 60s});
    EXPECT_TRUE(guard.Refused("10.0.0.1", kStart, Refusal::kLogin));
    int lines = 0;
    for (int second = 1; second <= 300; ++second) {
        guard.Refused("10.0.0.1", kStart + std::chrono::seconds(second), Refusal::kLogin);
        guard.Flush(kStart + std::chrono::seconds(second));
        lines += static_cast<int>(journal.Take().size());
    }
    EXPECT_EQ(lines, 5);
    // The refusal at 300 s came after that line, 301 s's after it.
    guard.Refused("10.0.0.1", kStart + 301s, Refusal::kLogin);
    guard.FlushAll();
    EXPECT_EQ(journal.Take(),
              (std::vector<std::string>{
                  "Refused logins from 10.0.0.1: 2 more, not journaled one by one"}));
}

TEST(LoginGuardTest, ThePeersRememberedAreBounded) {
    CLines journal;
    CLoginGuard guard(journal, {.maxPeers = 4});
    for (int i = 0; i < 10; ++i) {
        const std::string peer = "10.0.0." + std::to_string(i);
        EXPECT_TRUE(guard.Refused(peer, kStart + std::chrono::seconds(i), Refusal::kLogin));
        guard.Refused(peer, kStart + std::chrono::seconds(i), Refusal::kLogin);
    }
    // Each peer that made room had its count journaled first.
    EXPECT_EQ(journal.Take().size(), 6u);
}

}  // namespace
}  // namespace zorv::test
