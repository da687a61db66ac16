#include <gtest/gtest.h>

#include <chrono>

#include "platform/Clock.h"

namespace zorv {
namespace {

using namespace std::chrono_literals;

// A virtual clock moves by exactly what a sleeper asks for, wall and steady
// time alike, and never backwards.
TEST(ManualClockTest, SleepsMoveTimeInsteadOfWaiting) {
    struct Case {
        const char* name;
        std::chrono::milliseconds sleep;        // SleepFor, when nonzero
        std::chrono::milliseconds untilOffset;  // WaitUntil(now + offset), when nonzero
        std::chrono::milliseconds expectedMove;
    };
    const Case cases[] = {
        {"sleep", 250ms, 0ms, 250ms},
        {"negative sleep", -5ms, 0ms, 0ms},
        {"wait until later", 0ms, 1500ms, 1500ms},
        {"wait until past", 0ms, -20ms, 0ms},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CManualClock clock;
        const auto wall = clock.Now();
        const auto steady = clock.SteadyNow();
        if (c.sleep != 0ms) clock.SleepFor(c.sleep);
        if (c.untilOffset != 0ms) clock.WaitUntil(steady + c.untilOffset);
        EXPECT_EQ(clock.Now() - wall, c.expectedMove);
        EXPECT_EQ(clock.SteadyNow() - steady, c.expectedMove);
    }
}

TEST(SystemClockTest, WaitUntilReturnsAfterTheDeadline) {
    IClock& clock = SystemClock();
    const auto deadline = clock.SteadyNow() + 20ms;
    clock.WaitUntil(deadline);
    EXPECT_GE(clock.SteadyNow(), deadline);
}

}  // namespace
}  // namespace zorv
