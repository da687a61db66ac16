// Mutexes that clang's thread-safety analysis understands.
//
// CMutex and CRecursiveMutex wrap the standard mutexes with capability
// annotations; CMutexLock holds one for a scope, and CUniqueLock does the
// same where a condition variable must wait on it. Fields are then declared
// GUARDED_BY(m_lock) and checked at compile time in the clang build.
#pragma once

#include <condition_variable>
#include <mutex>
#include <shared_mutex>

#include "platform/ThreadAnnotations.h"

namespace zorv {

class CAPABILITY("mutex") CMutex {
public:
    CMutex() = default;
    CMutex(const CMutex&) = delete;
    CMutex& operator=(const CMutex&) = delete;

    void lock() ACQUIRE() { m_mutex.lock(); }
    void unlock() RELEASE() { m_mutex.unlock(); }
    bool try_lock() TRY_ACQUIRE(true) { return m_mutex.try_lock(); }

    // For condition variables (see CUniqueLock).
    std::mutex& Native() { return m_mutex; }

private:
    std::mutex m_mutex;
};

class CAPABILITY("mutex") CRecursiveMutex {
public:
    CRecursiveMutex() = default;
    CRecursiveMutex(const CRecursiveMutex&) = delete;
    CRecursiveMutex& operator=(const CRecursiveMutex&) = delete;

    void lock() ACQUIRE() { m_mutex.lock(); }
    void unlock() RELEASE() { m_mutex.unlock(); }
    bool try_lock() TRY_ACQUIRE(true) { return m_mutex.try_lock(); }

private:
    std::recursive_mutex m_mutex;
};

// Many readers or one writer.
class CAPABILITY("shared mutex") CSharedMutex {
public:
    CSharedMutex() = default;
    CSharedMutex(const CSharedMutex&) = delete;
    CSharedMutex& operator=(const CSharedMutex&) = delete;

    void lock() ACQUIRE() { m_mutex.lock(); }
    void unlock() RELEASE() { m_mutex.unlock(); }
    void lock_shared() ACQUIRE_SHARED() { m_mutex.lock_shared(); }
    void unlock_shared() RELEASE_SHARED() { m_mutex.unlock_shared(); }

private:
    std::shared_mutex m_mutex;
};

// Holds a CSharedMutex for reading for the scope.
class SCOPED_CAPABILITY CSharedLock {
public:
    explicit CSharedLock(CSharedMutex& mutex) ACQUIRE_SHARED(mutex) : m_mutex(mutex) {
        m_mutex.lock_shared();
    }
    ~CSharedLock() RELEASE() { m_mutex.unlock_shared(); }
    CSharedLock(const CSharedLock&) = delete;
    CSharedLock& operator=(const CSharedLock&) = delete;

private:
    CSharedMutex& m_mutex;
};

// Holds a mutex for the scope.
template <typename M>
class SCOPED_CAPABILITY CScopedLock {
public:
    explicit CScopedLock(M& mutex) ACQUIRE(mutex) : m_mutex(mutex) { m_mutex.lock(); }
    ~CScopedLock() RELEASE() { m_mutex.unlock(); }
    CScopedLock(const CScopedLock&) = delete;
    CScopedLock& operator=(const CScopedLock&) = delete;

private:
    M& m_mutex;
};

using CMutexLock = CScopedLock<CMutex>;
using CRecursiveLock = CScopedLock<CRecursiveMutex>;

// Holds a CMutex for the scope and lets a condition variable wait on it
// (the wait releases and retakes the mutex; the analysis sees it held
// throughout, which is what the code after the wait may rely on).
class SCOPED_CAPABILITY CUniqueLock {
public:
    explicit CUniqueLock(CMutex& mutex) ACQUIRE(mutex) : m_lock(mutex.Native()) {}
    ~CUniqueLock() RELEASE() {}
    CUniqueLock(const CUniqueLock&) = delete;
    CUniqueLock& operator=(const CUniqueLock&) = delete;

    std::unique_lock<std::mutex>& Native() { return m_lock; }
    // Lets go of the mutex inside the scope, and takes it again.
    void Unlock() RELEASE() { m_lock.unlock(); }
    void Lock() ACQUIRE() { m_lock.lock(); }

private:
    std::unique_lock<std::mutex> m_lock;
};

}  // namespace zorv
