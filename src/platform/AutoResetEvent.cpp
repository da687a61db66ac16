#include "platform/AutoResetEvent.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace zorv {

CAutoResetEvent::CAutoResetEvent() : m_fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (m_fd < 0) {
        throw std::system_error(errno, std::generic_category(), "eventfd");
    }
}

CAutoResetEvent::~CAutoResetEvent() { ::close(m_fd); }

void CAutoResetEvent::Set() {
    const uint64_t one = 1;
    // A full counter (never reached in practice) already means "set".
    [[maybe_unused]] ssize_t n = ::write(m_fd, &one, sizeof one);
}

bool CAutoResetEvent::TryReset() {
    uint64_t value = 0;
    return ::read(m_fd, &value, sizeof value) == static_cast<ssize_t>(sizeof value);
}

bool CAutoResetEvent::Wait(std::chrono::milliseconds timeout) {
    using Clock = std::chrono::steady_clock;
    const bool forever = timeout.count() < 0;
    const auto deadline = Clock::now() + (forever ? std::chrono::milliseconds{0} : timeout);
    for (;;) {
        if (TryReset()) {
            return true;
        }
        int waitMs = -1;
        if (!forever) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                return false;
            }
            waitMs = static_cast<int>(left.count());
        }
        pollfd pfd{m_fd, POLLIN, 0};
        const int rc = ::poll(&pfd, 1, waitMs);
        if (rc < 0 && errno != EINTR) {
            return false;
        }
        // Readable, interrupted or timed out: try to take the event again; a
        // second waiter may have taken it first, in which case we wait on.
    }
}

}  // namespace zorv
