#include "platform/PeriodicTimer.h"

#include <system_error>

#include "platform/ThreadPriority.h"

namespace zorv {

CPeriodicTimer::~CPeriodicTimer() {
    Stop();
}

bool CPeriodicTimer::Start(std::chrono::milliseconds period, Callback callback) {
    if (m_running || period.count() <= 0 || !callback) {
        return false;
    }
    {
        CMutexLock lock(m_lock);
        m_stop = false;
        m_wake = false;
        m_lowerPriority = false;
    }
    m_period = period;
    m_callback = std::move(callback);
    try {
        m_thread = std::thread(&CPeriodicTimer::Run, this);
    } catch (const std::system_error&) {
        return false;
    }
    m_running = true;
    return true;
}

void CPeriodicTimer::Stop() {
    {
        CMutexLock lock(m_lock);
        m_stop = true;
    }
    m_wakeup.notify_all();
    if (m_thread.joinable()) {
        m_thread.join();
    }
    m_running = false;
}

void CPeriodicTimer::Wake() {
    {
        CMutexLock lock(m_lock);
        m_wake = true;
    }
    m_wakeup.notify_all();
}

void CPeriodicTimer::LowerPriority() {
    {
        CMutexLock lock(m_lock);
        m_lowerPriority = true;
    }
    m_wakeup.notify_all();
}

bool CPeriodicTimer::IsRunning() const {
    return m_running;
}

void CPeriodicTimer::Run() {
    auto next = std::chrono::steady_clock::now() + m_period;
    CUniqueLock lock(m_lock);
    for (;;) {
        while (!m_stop && !m_wake && !m_lowerPriority &&
               m_wakeup.wait_until(lock.Native(), next) == std::cv_status::no_timeout) {
        }
        if (m_stop) {
            return;
        }
        if (m_lowerPriority) {
            m_lowerPriority = false;
            LowerCurrentThreadPriority();
            continue;
        }
        const bool woken = m_wake;
        if (!woken && std::chrono::steady_clock::now() < next) {
            continue;
        }
        m_wake = false;
        lock.Unlock();
        m_callback();
        lock.Lock();
        const auto now = std::chrono::steady_clock::now();
        next = woken ? now + m_period : next + m_period;
        if (next < now) {
            next = now + m_period;  // the callback overran: do not catch up in a burst
        }
    }
}

bool CManualTimer::Start(std::chrono::milliseconds period, Callback callback) {
    if (m_failStart || m_running) {
        return false;
    }
    m_period = period;
    m_callback = std::move(callback);
    m_running = true;
    return true;
}

void CManualTimer::Stop() {
    m_running = false;
}

void CManualTimer::Wake() {
    ++m_wakes;
    Fire();
}

bool CManualTimer::Fire() {
    if (!m_running) {
        return false;
    }
    m_callback();
    return true;
}

}  // namespace zorv
