// The injectable clock.
//
// Components that need the current time or measure ages, countdowns and
// time-outs take an IClock& instead of reading the system clock, so that tests
// drive time with a CManualClock. SystemClock() is the process's real clock.
// Implementations are safe to call from any thread.
#pragma once

#include <chrono>
#include <cstdint>

#include "platform/Mutex.h"

namespace zorv {

// Broken-down local (or UTC) time, as the journal and file names need it.
struct LocalTime {
    int year = 0;    // e.g. 2026
    int month = 0;   // 1..12
    int day = 0;     // 1..31
    int hour = 0;    // 0..23
    int minute = 0;  // 0..59
    int second = 0;  // 0..60
    int millisecond = 0;
    int weekday = 0;  // 0 Sunday .. 6 Saturday
};

class IClock {
public:
    using WallTime = std::chrono::system_clock::time_point;
    using SteadyTime = std::chrono::steady_clock::time_point;

    virtual ~IClock() = default;

    // Calendar time, for time stamps and dates.
    virtual WallTime Now() const = 0;
    // Monotonic time, for intervals and time-outs.
    virtual SteadyTime SteadyNow() const = 0;

    // Waits: the real clock sleeps; a virtual clock moves its time forward
    // by the same amount and returns at once, so that code which polls and
    // pauses runs without real sleeps under a virtual clock. WaitUntil
    // returns at once for a time already past.
    virtual void SleepFor(std::chrono::nanoseconds duration) = 0;
    void WaitUntil(SteadyTime deadline) {
        SteadyTime now = SteadyNow();
        if (deadline > now)
            SleepFor(deadline - now);
    }

    LocalTime Local() const { return ToLocal(Now()); }
    LocalTime Utc() const { return ToUtc(Now()); }

    static LocalTime ToLocal(WallTime t);
    static LocalTime ToUtc(WallTime t);
};

// The real clock of the process.
IClock& SystemClock();

// A clock that only moves when told to (Advance, Set) or when a thread
// sleeps on it (SleepFor moves it forward); for tests.
class CManualClock final : public IClock {
public:
    explicit CManualClock(WallTime start = WallTime{std::chrono::seconds{1'700'000'000}});

    WallTime Now() const override;
    SteadyTime SteadyNow() const override;
    void SleepFor(std::chrono::nanoseconds duration) override;

    void Advance(std::chrono::milliseconds step);
    void Set(WallTime t);

private:
    mutable CMutex m_lock;
    WallTime m_wall GUARDED_BY(m_lock);
    SteadyTime m_steady GUARDED_BY(m_lock);
};

}  // namespace zorv
