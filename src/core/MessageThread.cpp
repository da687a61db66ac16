#include "core/MessageThread.h"

#include <system_error>

#include "core/CodedException.h"

namespace zorv {

CMessageThread::CMessageThread(int32_t capacity, int32_t waitTimeoutMs)
    : m_capacity(capacity > 0 ? capacity : 1), m_waitTimeoutMs(waitTimeoutMs) {}

CMessageThread::~CMessageThread() {
    Stop();
}

bool CMessageThread::Start() {
    {
        CMutexLock lock(m_ringLock);
        if (m_allocated != 0) {
            return false;
        }
        try {
            m_ring.assign(static_cast<size_t>(m_capacity), ServerMessage{});
            m_wake = std::make_unique<CAutoResetEvent>();
        } catch (const std::exception&) {
            m_ring.clear();
            m_wake.reset();
            return false;
        }
        m_allocated = m_capacity;
        ClearLocked();
    }
    {
        CMutexLock lock(m_exitLock);
        m_exited = false;
    }
    try {
        m_worker = std::thread(&CMessageThread::Run, this);
    } catch (const std::system_error&) {
        CMutexLock lock(m_ringLock);
        m_ring.clear();
        m_wake.reset();
        m_allocated = 0;
        return false;
    }
    Post(kMsgStart);
    return true;
}

bool CMessageThread::Post(int32_t code, int32_t a, int32_t b, int32_t c) {
    CMutexLock lock(m_ringLock);
    return PostLocked(ServerMessage{code, a, b, c});
}

bool CMessageThread::PostLocked(const ServerMessage& message) {
    if (m_allocated == 0 || m_count >= m_allocated) {
        return false;
    }
    if (m_writeIndex >= m_allocated) {
        m_writeIndex = 0;
    }
    m_ring[static_cast<size_t>(m_writeIndex)] = message;
    ++m_writeIndex;
    ++m_count;
    m_wake->Set();
    return true;
}

void CMessageThread::ClearQueue() {
    CMutexLock lock(m_ringLock);
    ClearLocked();
}

void CMessageThread::ClearLocked() {
    m_count = 0;
    m_writeIndex = 0;
    m_readIndex = 0;
}

int32_t CMessageThread::QueuedCount() const {
    CMutexLock lock(m_ringLock);
    return m_count;
}

void CMessageThread::Stop() {
    {
        CMutexLock lock(m_ringLock);
        if (m_allocated == 0) {
            return;
        }
        if (m_count >= m_allocated) {
            ClearLocked();
        }
        PostLocked(ServerMessage{kMsgStop, 0, 0, 0});
    }
    if (m_worker.get_id() == std::this_thread::get_id()) {
        // Stop from inside a handler: the worker ends after this message.
        m_worker.detach();
        return;
    }
    {
        CUniqueLock lock(m_exitLock);
        const auto deadline = std::chrono::steady_clock::now() + m_stopWait;
        while (!m_exited &&
               m_exitSignal.wait_until(lock.Native(), deadline) == std::cv_status::no_timeout) {
        }
        if (!m_exited) {
            lock.Unlock();
            {
                CMutexLock ringLock(m_ringLock);
                ClearLocked();
                PostLocked(ServerMessage{kMsgStop, 0, 0, 0});
            }
            lock.Lock();
            while (!m_exited) {
                m_exitSignal.wait(lock.Native());
            }
        }
    }
    if (m_worker.joinable()) {
        m_worker.join();
    }
    CMutexLock lock(m_ringLock);
    m_wake.reset();
    ClearLocked();
    m_ring.clear();
    m_ring.shrink_to_fit();
    m_allocated = 0;
}

bool CMessageThread::TakeNext(ServerMessage& out) {
    CMutexLock lock(m_ringLock);
    if (m_count == 0) {
        return false;
    }
    if (m_readIndex >= m_allocated) {
        m_readIndex = 0;
    }
    out = m_ring[static_cast<size_t>(m_readIndex)];
    ++m_readIndex;
    --m_count;
    return true;
}

void CMessageThread::Run() {
    const auto timeout = std::chrono::milliseconds{m_waitTimeoutMs < 0 ? -1 : m_waitTimeoutMs};
    bool stopped = false;
    while (!stopped) {
        if (!m_wake->Wait(timeout)) {
            OnTimeout();
            continue;
        }
        ServerMessage message;
        while (!stopped && TakeNext(message)) {
            std::lock_guard handler(m_handlerLock);
            try {
                OnMessage(message.code, message.a, message.b, message.c);
            } catch (...) {
                Post(kMsgException, CurrentExceptionCode(), message.code, 0);
            }
            stopped = message.code == kMsgStop;
        }
    }
    CMutexLock lock(m_exitLock);
    m_exited = true;
    m_exitSignal.notify_all();
}

}  // namespace zorv
