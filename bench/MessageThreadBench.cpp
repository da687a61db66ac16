// Posting to the server's message ring: devices post from their time-critical
// reading threads, so a post must stay cheap whether or not the ring has room.
#include <benchmark/benchmark.h>

#include <atomic>

#include "core/MessageThread.h"

namespace {

class CCountingThread final : public zorv::CMessageThread {
public:
    CCountingThread() : CMessageThread(200, -1) {}
    ~CCountingThread() override { Stop(); }
    std::atomic<int64_t> m_handled{0};

protected:
    void OnMessage(int32_t, int32_t, int32_t, int32_t) override { ++m_handled; }
};

void BM_PostAndHandle(benchmark::State& state) {
    CCountingThread thread;
    thread.Start();
    int64_t refused = 0;
    for (auto _ : state) {
        if (!thread.Post(7, 0, 1, 0)) {
            ++refused;
        }
    }
    thread.Stop();
    state.counters["refused"] = static_cast<double>(refused);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PostAndHandle)->UseRealTime();

void BM_PostRefused(benchmark::State& state) {
    // Without a started worker every post is refused: the cost of a refusal.
    CCountingThread thread;
    for (auto _ : state) {
        benchmark::DoNotOptimize(thread.Post(7, 0, 1, 0));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PostRefused);

}  // namespace
