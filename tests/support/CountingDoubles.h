// Doubles for the threaded device tests: a server that counts what is
// posted to it, and a block stage that counts the blocks reaching it. Both
// are safe to call from any thread.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string_view>

#include "core/Server.h"
#include "devices/BlockStages.h"

namespace zorv::test {

class CCountingServer final : public IServer {
public:
    bool Post(int32_t code, int32_t, int32_t, int32_t) override {
        std::lock_guard lock(m_lock);
        ++m_counts[static_cast<std::size_t>(code & 63)];
        return true;
    }
    void WriteJournal(int, std::string_view) override {}
    // Messages posted with code (taken modulo 64).
    int Count(int32_t code) {
        std::lock_guard lock(m_lock);
        return m_counts[static_cast<std::size_t>(code & 63)];
    }

private:
    std::mutex m_lock;
    std::array<int, 64> m_counts{};  // Guarded by m_lock
};

// Counts the blocks that reach a device's channels.
class CBlockCounter final : public IBlockStage {
public:
    void Process(int, int16_t*, std::size_t) override { ++m_blocks; }
    std::atomic<long> m_blocks{0};
};

}  // namespace zorv::test
