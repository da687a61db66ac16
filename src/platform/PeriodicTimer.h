// Periodic timers.
//
// IPeriodicTimer runs a callback every period on a thread of its own until it
// is stopped; Wake makes one extra call happen at once. CPeriodicTimer is the
// real one; CManualTimer runs the callback only when a test calls Fire, on the
// test's thread, so timer-driven logic is tested without waiting.
//
// Start, Stop, Wake and LowerPriority may be called from any thread except the
// timer's own callback (Stop from the callback would wait for itself).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/Mutex.h"

namespace zorv {

class IPeriodicTimer {
public:
    using Callback = std::function<void()>;

    virtual ~IPeriodicTimer() = default;

    // Starts calling callback every period (first call one period from now).
    // False when already running or the thread could not be made.
    virtual bool Start(std::chrono::milliseconds period, Callback callback) = 0;
    // Stops and waits for a running callback to return. Idempotent.
    virtual void Stop() = 0;
    // Runs the callback once more at once (the period restarts after it).
    virtual void Wake() = 0;
    // Lowers the timer thread's scheduling priority by one step; best effort.
    virtual void LowerPriority() = 0;
    virtual bool IsRunning() const = 0;
};

class CPeriodicTimer final : public IPeriodicTimer {
public:
    CPeriodicTimer() = default;
    ~CPeriodicTimer() override;
    CPeriodicTimer(const CPeriodicTimer&) = delete;
    CPeriodicTimer& operator=(const CPeriodicTimer&) = delete;

    bool Start(std::chrono::milliseconds period, Callback callback) override;
    void Stop() override;
    void Wake() override;
    void LowerPriority() override;
    bool IsRunning() const override;

private:
    void Run();

    CMutex m_lock;
    std::condition_variable m_wakeup;
    bool m_stop GUARDED_BY(m_lock) = false;
    bool m_wake GUARDED_BY(m_lock) = false;
    bool m_lowerPriority GUARDED_BY(m_lock) = false;
    std::chrono::milliseconds m_period{0};
    Callback m_callback;
    std::thread m_thread;
    std::atomic<bool> m_running{false};
};

class CManualTimer final : public IPeriodicTimer {
public:
    bool Start(std::chrono::milliseconds period, Callback callback) override;
    void Stop() override;
    void Wake() override;
    void LowerPriority() override { ++m_lowered; }
    bool IsRunning() const override { return m_running; }

    // Runs the callback once when started; returns whether it ran.
    bool Fire();

    // Test knobs and observations.
    bool m_failStart = false;
    int m_lowered = 0;
    int m_wakes = 0;
    std::chrono::milliseconds m_period{0};

private:
    Callback m_callback;
    bool m_running = false;
};

}  // namespace zorv
