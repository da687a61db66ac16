#include "platform/Clock.h"

#include <ctime>
#include <thread>

namespace zorv {
namespace {

LocalTime FromTm(const std::tm& tm, IClock::WallTime t) {
    LocalTime out;
    out.year = tm.tm_year + 1900;
    out.month = tm.tm_mon + 1;
    out.day = tm.tm_mday;
    out.hour = tm.tm_hour;
    out.minute = tm.tm_min;
    out.second = tm.tm_sec;
    out.weekday = tm.tm_wday;
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()) % 1000;
    out.millisecond = static_cast<int>(ms.count() < 0 ? ms.count() + 1000 : ms.count());
    return out;
}

class CSystemClock final : public IClock {
public:
    WallTime Now() const override { return std::chrono::system_clock::now(); }
    SteadyTime SteadyNow() const override { return std::chrono::steady_clock::now(); }
    void SleepFor(std::chrono::nanoseconds duration) override {
        if (duration > std::chrono::nanoseconds::zero()) std::this_thread::sleep_for(duration);
    }
};

}  // namespace

LocalTime IClock::ToLocal(WallTime t) {
    std::time_t seconds = std::chrono::system_clock::to_time_t(t);
    std::tm tm{};
    localtime_r(&seconds, &tm);
    return FromTm(tm, t);
}

LocalTime IClock::ToUtc(WallTime t) {
    std::time_t seconds = std::chrono::system_clock::to_time_t(t);
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    return FromTm(tm, t);
}

IClock& SystemClock() {
    static CSystemClock clock;
    return clock;
}

CManualClock::CManualClock(WallTime start) : m_wall(start), m_steady(std::chrono::hours{1}) {}

IClock::WallTime CManualClock::Now() const {
    CMutexLock lock(m_lock);
    return m_wall;
}

IClock::SteadyTime CManualClock::SteadyNow() const {
    CMutexLock lock(m_lock);
    return m_steady;
}

void CManualClock::Advance(std::chrono::milliseconds step) {
    CMutexLock lock(m_lock);
    m_wall += step;
    m_steady += step;
}

void CManualClock::SleepFor(std::chrono::nanoseconds duration) {
    if (duration <= std::chrono::nanoseconds::zero()) return;
    CMutexLock lock(m_lock);
    m_wall += std::chrono::duration_cast<WallTime::duration>(duration);
    m_steady += std::chrono::duration_cast<SteadyTime::duration>(duration);
}

void CManualClock::Set(WallTime t) {
    CMutexLock lock(m_lock);
    m_wall = t;
}

}  // namespace zorv
