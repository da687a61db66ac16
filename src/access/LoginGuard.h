// What the server remembers of the logins refused to one peer (a network
// address, or a local account): the growing delay before the peer's next
// password check, and the journal lines of a burst of refusals.
//
// Delays: after n refused logins of a peer (each within forgetAfter of the
// one before), its next password check waits delayStart × 2^(n−1), at most
// delayMax; turns are handed out in order, each at least that delay after
// the one before, so the checks of one peer never run side by side and a
// peer that keeps guessing gets slower and slower. A granted login forgets
// the peer's refusals.
//
// Journal: the first refusal of a burst is journaled in full by the caller
// (Refused answers true); the refusals after it are only counted, and one
// line with their number is journaled when the burst has been quiet for
// burstQuiet, and at least every burstQuiet while it lasts. A flood of wrong
// logins so writes a few lines a minute and cannot rotate the journal's
// history away. Refused connections (too many from one address) are counted
// the same way, apart.
//
// At most maxPeers peers are remembered; the one quiet the longest makes
// room (its count is journaled first).
//
// Thread safety: every method may be called from any thread. m_lock guards
// the peers and is held for a few instructions; journal lines are written
// after it is released.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/Mutex.h"

namespace zorv {

class IJournal;

struct LoginGuardOptions {
    std::chrono::milliseconds delayStart{1000};
    std::chrono::milliseconds delayMax{30000};
    std::chrono::seconds burstQuiet{60};
    std::chrono::seconds forgetAfter{600};
    std::size_t maxPeers = 4096;
};

class CLoginGuard {
public:
    using Time = IClock::SteadyTime;
    // kLogin: a password check that failed (the delay grows); kEarly: a login
    // refused before its turn, unchecked; kConnection: a connection refused.
    enum class Refusal { kLogin, kEarly, kConnection };

    CLoginGuard(IJournal& journal, LoginGuardOptions options = {});
    CLoginGuard(const CLoginGuard&) = delete;
    CLoginGuard& operator=(const CLoginGuard&) = delete;

    // Reserves the peer's next password check: the time at which it may run
    // (now, or later after refusals).
    Time Reserve(const std::string& peer, Time now);
    // Reserves the check only when its turn is now: for a caller that cannot
    // wait (the local interface answers its clients one at a time); false
    // when the peer must wait. An attempt refused so is journaled as a
    // refusal of kind kEarly (counted in the peer's login burst, no longer
    // delay).
    bool ReserveNow(const std::string& peer, Time now);
    // A granted login: the peer's refusals are forgotten.
    void Granted(const std::string& peer);
    // A refusal: true when the caller journals it in full (the first of the
    // peer's burst), false when it is counted for the burst's line.
    bool Refused(const std::string& peer, Time now, Refusal kind);
    // Journals the counts of the bursts that went quiet or are due a line.
    void Flush(Time now);
    // Journals every count held (at the stop).
    void FlushAll();

    // The delay after n refusals (for the tests and the benchmark).
    std::chrono::milliseconds Delay(int refusals) const;

private:
    struct Burst {
        bool active = false;
        uint32_t unjournaled = 0;
        Time last{};      // the last refusal
        Time lastLine{};  // the last line journaled for this burst
    };
    struct Peer {
        int refusals = 0;  // logins refused, for the delay
        Time lastRefusal{};
        Time nextTurn{};
        Time lastSeen{};
        Burst bursts[2];  // by Refusal
    };
    struct Line {
        std::string peer;
        Refusal kind;
        uint32_t count;
    };

    Peer& Find(const std::string& peer, Time now, std::vector<Line>& lines) REQUIRES(m_lock);
    // Ends or reports the bursts of one peer; all: whatever their age.
    void Collect(const std::string& name, Peer& peer, Time now, bool all, std::vector<Line>& lines)
        REQUIRES(m_lock);
    void Write(const std::vector<Line>& lines);

    // Constant after construction
    IJournal& m_journal;
    const LoginGuardOptions m_options;

    CMutex m_lock;
    std::map<std::string, Peer> m_peers GUARDED_BY(m_lock);
};

}  // namespace zorv
