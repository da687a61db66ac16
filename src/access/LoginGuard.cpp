#include "access/LoginGuard.h"

#include <algorithm>

#include "core/Journal.h"

namespace zorv {
namespace {

// Logins refused with or without a check are one burst.
int Index(CLoginGuard::Refusal kind) {
    return kind == CLoginGuard::Refusal::kConnection ? 1 : 0;
}

}  // namespace

CLoginGuard::CLoginGuard(IJournal& journal, LoginGuardOptions options)
    : m_journal(journal), m_options(options) {}

std::chrono::milliseconds CLoginGuard::Delay(int refusals) const {
    if (refusals <= 0) {
        return std::chrono::milliseconds{0};
    }
    // Doubling beyond the limit gives the limit; 2^20 steps are far past it.
    const int doublings = std::min(refusals - 1, 20);
    return std::min(m_options.delayStart * (int64_t{1} << doublings), m_options.delayMax);
}

CLoginGuard::Peer& CLoginGuard::Find(const std::string& name, Time now, std::vector<Line>& lines) {
    auto found = m_peers.find(name);
    if (found == m_peers.end()) {
        if (m_peers.size() >= m_options.maxPeers && !m_peers.empty()) {
            auto oldest = std::min_element(
                m_peers.begin(), m_peers.end(),
                [](const auto& a, const auto& b) { return a.second.lastSeen < b.second.lastSeen; });
            Collect(oldest->first, oldest->second, now, true, lines);
            m_peers.erase(oldest);
        }
        found = m_peers.emplace(name, Peer{}).first;
    }
    Peer& peer = found->second;
    peer.lastSeen = now;
    if (peer.refusals > 0 && now - peer.lastRefusal >= m_options.forgetAfter) {
        peer.refusals = 0;
    }
    return peer;
}

CLoginGuard::Time CLoginGuard::Reserve(const std::string& name, Time now) {
    std::vector<Line> lines;
    Time turn;
    {
        CMutexLock lock(m_lock);
        Peer& peer = Find(name, now, lines);
        turn = std::max(now, peer.nextTurn);
        peer.nextTurn = turn + Delay(peer.refusals);
    }
    Write(lines);
    return turn;
}

bool CLoginGuard::ReserveNow(const std::string& name, Time now) {
    std::vector<Line> lines;
    bool ready = false;
    {
        CMutexLock lock(m_lock);
        Peer& peer = Find(name, now, lines);
        ready = now >= peer.nextTurn;
        if (ready) {
            peer.nextTurn = now + Delay(peer.refusals);
        }
    }
    Write(lines);
    return ready;
}

void CLoginGuard::Granted(const std::string& name) {
    CMutexLock lock(m_lock);
    if (auto found = m_peers.find(name); found != m_peers.end()) {
        found->second.refusals = 0;
    }
}

bool CLoginGuard::Refused(const std::string& name, Time now, Refusal kind) {
    std::vector<Line> lines;
    bool journal = false;
    {
        CMutexLock lock(m_lock);
        Peer& peer = Find(name, now, lines);
        if (kind == Refusal::kLogin) {
            ++peer.refusals;
            peer.lastRefusal = now;
            peer.nextTurn = std::max(peer.nextTurn, now + Delay(peer.refusals));
        }
        // A burst that went quiet is reported before the next one starts.
        Collect(name, peer, now, false, lines);
        Burst& burst = peer.bursts[Index(kind)];
        if (!burst.active) {
            burst = Burst{true, 0, now, now};
            journal = true;
        } else {
            ++burst.unjournaled;
            burst.last = now;
        }
    }
    Write(lines);
    return journal;
}

void CLoginGuard::Collect(const std::string& name, Peer& peer, Time now, bool all,
                          std::vector<Line>& lines) {
    for (const Refusal kind : {Refusal::kLogin, Refusal::kConnection}) {  // one per burst
        Burst& burst = peer.bursts[Index(kind)];
        if (!burst.active) {
            continue;
        }
        const bool quiet = all || now - burst.last >= m_options.burstQuiet;
        const bool due = quiet || now - burst.lastLine >= m_options.burstQuiet;
        if (due && burst.unjournaled > 0) {
            lines.push_back({name, kind, burst.unjournaled});
            burst.unjournaled = 0;
            burst.lastLine = now;
        }
        if (quiet) {
            burst.active = false;
        }
    }
}

void CLoginGuard::Flush(Time now) {
    std::vector<Line> lines;
    {
        CMutexLock lock(m_lock);
        for (auto it = m_peers.begin(); it != m_peers.end();) {
            Collect(it->first, it->second, now, false, lines);
            const Peer& peer = it->second;
            const bool idle = !peer.bursts[0].active && !peer.bursts[1].active &&
                              now - peer.lastSeen >= m_options.forgetAfter && peer.nextTurn <= now;
            it = idle ? m_peers.erase(it) : std::next(it);
        }
    }
    Write(lines);
}

void CLoginGuard::FlushAll() {
    std::vector<Line> lines;
    {
        CMutexLock lock(m_lock);
        for (auto& [name, peer] : m_peers) {
            Collect(name, peer, peer.lastSeen, true, lines);
        }
    }
    Write(lines);
}

void CLoginGuard::Write(const std::vector<Line>& lines) {
    for (const Line& line : lines) {
        m_journal.FormatJournal(kJournalError,
                                line.kind == Refusal::kLogin
                                    ? "Refused logins from %s: %u more, not journaled one by one"
                                    : "Connections refused from %s: %u more, not journaled one "
                                      "by one",
                                line.peer, line.count);
    }
}

}  // namespace zorv
