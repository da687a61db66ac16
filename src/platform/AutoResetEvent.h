// An auto-reset event on an eventfd.
//
// Set wakes exactly one waiter (or the next one to wait); a successful Wait
// resets the event. The descriptor can be polled together with sockets: it is
// readable while the event is set (the reader that consumes it resets it).
// Safe from any thread.
#pragma once

#include <chrono>

namespace zorv {

class CAutoResetEvent {
public:
    CAutoResetEvent();  // not signalled; throws std::system_error when no eventfd can be made
    ~CAutoResetEvent();
    CAutoResetEvent(const CAutoResetEvent&) = delete;
    CAutoResetEvent& operator=(const CAutoResetEvent&) = delete;

    void Set();
    // Waits until set; a negative time-out waits without limit. True when the
    // event was set (and is now reset), false on time-out.
    bool Wait(std::chrono::milliseconds timeout = std::chrono::milliseconds{-1});
    // Resets the event without waiting; true when it was set.
    bool TryReset();

    int Fd() const { return m_fd; }

private:
    int m_fd;
};

}  // namespace zorv
