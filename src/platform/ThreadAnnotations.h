// Clang thread-safety annotations.
//
// Fields shared between threads are declared GUARDED_BY(their lock) and the
// functions that expect a lock held are declared REQUIRES(it); clang's
// -Wthread-safety then checks every access at compile time. Other compilers
// see empty macros. Use them with the annotated CMutex of platform/Mutex.h:
// std::mutex itself carries no annotations in libstdc++.
#pragma once

#if defined(__clang__)
#define ZORV_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define ZORV_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) ZORV_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY ZORV_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) ZORV_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) ZORV_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) ZORV_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) ZORV_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) ZORV_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) ZORV_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) ZORV_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) ZORV_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) ZORV_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) ZORV_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) ZORV_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) ZORV_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) ZORV_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) ZORV_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS ZORV_THREAD_ANNOTATION(no_thread_safety_analysis)
