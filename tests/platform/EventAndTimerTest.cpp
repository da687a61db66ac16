#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/AutoResetEvent.h"
#include "platform/PeriodicTimer.h"
#include "support/ChildProcess.h"

namespace zorv::test {
namespace {

using namespace std::chrono_literals;

TEST(AutoResetEventTest, OneSetReleasesOneWait) {
    CAutoResetEvent event;
    EXPECT_FALSE(event.Wait(0ms));
    event.Set();
    event.Set();  // setting a set event changes nothing
    EXPECT_TRUE(event.Wait(0ms));
    EXPECT_FALSE(event.Wait(10ms));  // reset by the successful wait

    std::thread setter([&] { event.Set(); });
    EXPECT_TRUE(event.Wait());  // without limit
    setter.join();
    EXPECT_FALSE(event.TryReset());
}

TEST(PeriodicTimerTest, TicksUntilStoppedAndWakesAtOnce) {
    std::atomic<int> ticks{0};
    CPeriodicTimer timer;
    ASSERT_TRUE(timer.Start(5ms, [&] { ++ticks; }));
    EXPECT_FALSE(timer.Start(5ms, [] {}));  // already running
    EXPECT_TRUE(PollUntil([&] { return ticks.load() >= 3; }, 5s));
    timer.Stop();
    const int stopped = ticks.load();
    std::this_thread::sleep_for(20ms);  // no tick may come after Stop
    EXPECT_EQ(ticks.load(), stopped);
    EXPECT_FALSE(timer.IsRunning());

    std::atomic<int> woken{0};
    ASSERT_TRUE(timer.Start(std::chrono::hours(1), [&] { ++woken; }));
    timer.LowerPriority();  // best effort; must not tick
    timer.Wake();
    EXPECT_TRUE(PollUntil([&] { return woken.load() == 1; }, 5s));
    timer.Stop();
    EXPECT_EQ(woken.load(), 1);
}

}  // namespace
}  // namespace zorv::test
