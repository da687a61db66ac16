#include "platform/ThreadPriority.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace zorv {
namespace {

// Nice values are per thread on Linux when addressed by thread id.
bool AddNice(int step) {
    const pid_t tid = static_cast<pid_t>(::syscall(SYS_gettid));
    errno = 0;
    const int current = ::getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
    if (current == -1 && errno != 0) {
        return false;
    }
    return ::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), current + step) == 0;
}

}  // namespace

bool SetCurrentThreadTimeCritical() {
    sched_param param{};
    param.sched_priority = sched_get_priority_max(SCHED_FIFO) - 1;
    return pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
}

bool LowerCurrentThreadPriority() { return AddNice(1); }

bool SetCurrentThreadBelowNormal() { return AddNice(5); }

bool SetCurrentThreadLowest() {
    const pid_t tid = static_cast<pid_t>(::syscall(SYS_gettid));
    return ::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), 19) == 0;
}

}  // namespace zorv
