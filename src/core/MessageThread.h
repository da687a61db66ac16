// The message-thread base class of the server object.
//
// One worker thread takes messages from a ring of fixed capacity and hands
// them, one at a time and in posting order, to OnMessage under the handler
// lock. Any thread may Post; Post never waits for a handler and drops the
// message (returning false) when the ring is full. Start queues message 1;
// Stop queues message 2, after which the worker ends without handling what is
// queued behind it.
//
// Lock order: the handler lock may be held while the ring lock is taken
// (posting from a handler); never the other way round.
//
// A derived class must call Stop() in its own destructor: the base destructor
// runs when the derived handlers no longer exist.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "core/ServerMessage.h"
#include "platform/AutoResetEvent.h"
#include "platform/Mutex.h"

namespace zorv {

class CMessageThread {
public:
    // capacity: ring size (the server uses 200); waitTimeoutMs: -1 waits without
    // limit, otherwise OnTimeout runs after each idle wait of that length.
    CMessageThread(int32_t capacity, int32_t waitTimeoutMs);
    virtual ~CMessageThread();
    CMessageThread(const CMessageThread&) = delete;
    CMessageThread& operator=(const CMessageThread&) = delete;

    // Allocates the ring, starts the worker and posts message 1. False (and
    // nothing left behind) when any of it fails or it is already started.
    bool Start();
    // Queues a message; false when the ring is full or not allocated.
    bool Post(int32_t code, int32_t a = 0, int32_t b = 0, int32_t c = 0);
    // Forgets every queued message.
    void ClearQueue();
    // Queues message 2 (emptying a full ring first so it always gets in) and
    // waits for the worker to end. When the worker has not ended within the
    // stop wait (10 s), the queue is cleared, message 2 posted again and the
    // wait goes on without limit. Then the ring is released. Idempotent.
    void Stop();

    int32_t Capacity() const { return m_capacity; }
    // Messages waiting; for tests and diagnostics.
    int32_t QueuedCount() const;

protected:
    virtual void OnMessage(int32_t code, int32_t a, int32_t b, int32_t c) = 0;
    virtual void OnTimeout() {}

    // The lock held while a message is handled; other threads that must not
    // overlap a handler (none in the server's own design) may take it.
    std::recursive_mutex& HandlerLock() { return m_handlerLock; }

    // Only for tests: how long Stop waits before its second post.
    void SetStopWait(std::chrono::milliseconds wait) { m_stopWait = wait; }

private:
    void Run();
    bool PostLocked(const ServerMessage& message) REQUIRES(m_ringLock);
    void ClearLocked() REQUIRES(m_ringLock);
    bool TakeNext(ServerMessage& out);

    // Constant after construction
    const int32_t m_capacity;
    const int32_t m_waitTimeoutMs;
    std::chrono::milliseconds m_stopWait{10000};

    mutable CMutex m_ringLock;
    std::vector<ServerMessage> m_ring GUARDED_BY(m_ringLock);
    int32_t m_allocated GUARDED_BY(m_ringLock) = 0;
    int32_t m_count GUARDED_BY(m_ringLock) = 0;
    int32_t m_writeIndex GUARDED_BY(m_ringLock) = 0;
    int32_t m_readIndex GUARDED_BY(m_ringLock) = 0;

    std::recursive_mutex m_handlerLock;
    std::unique_ptr<CAutoResetEvent> m_wake;
    std::thread m_worker;

    // Set by the worker when it ends, so Stop can wait with a time limit.
    CMutex m_exitLock;
    std::condition_variable m_exitSignal;
    bool m_exited GUARDED_BY(m_exitLock) = false;
};

}  // namespace zorv
