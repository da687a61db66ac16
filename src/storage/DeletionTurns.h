// Long deletions of a record table work in batches and let the callers that
// want the table go first between two batches. A mutex does not hand itself
// over: a deletion that takes the table lock again at once, batch after
// batch, held the record writer up for seconds.
//
// Every other operation of the table holds a CUse while it waits for the
// table lock and works; the deletion calls LetOthersIn, without the lock,
// before each batch. Thread safety: any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <thread>

namespace zorv {

class CDeletionTurns {
public:
    class CUse {
    public:
        explicit CUse(CDeletionTurns& turns) : m_turns(turns) { ++m_turns.m_users; }
        ~CUse() { --m_turns.m_users; }
        CUse(const CUse&) = delete;
        CUse& operator=(const CUse&) = delete;

    private:
        CDeletionTurns& m_turns;
    };

    // Waits while other operations want or use the table, at most 100 ms, so
    // that a steady stream of them cannot stop the deletion either.
    void LetOthersIn() const {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
        while (m_users.load() > 0 && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    }

private:
    std::atomic<int> m_users{0};
};

}  // namespace zorv
