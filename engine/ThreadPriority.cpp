#include "engine/ThreadPriority.h"

#if defined(__linux__)
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace mixora::engine {

#if defined(__linux__)

namespace {

constexpr int kIoprioWhoProcess = 1; // one thread, despite the name
constexpr int kIoprioClassShift = 13;
constexpr int kIoprioClassBestEffort = 2;
constexpr int kIoprioClassIdle = 3;
constexpr int kIoprioLowestLevel = 7;
constexpr int kLowNice = 10;

} // namespace

int currentThreadId() {
    return static_cast<int>(::syscall(SYS_gettid));
}

bool setThreadPriority(ThreadPriority priority, int threadId) {
    const pid_t tid = threadId != 0 ? threadId : currentThreadId();
    // The cores the program as a whole may use.
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    const bool haveCores = sched_getaffinity(::getpid(), sizeof allowed, &allowed) == 0;
    sched_param param{};
    param.sched_priority = 0;
    bool ok = true;
    if (priority == ThreadPriority::Idle) {
        // One core stays free for the decks, the sound and the window: an idle-priority thread
        // still keeps its core busy (a virtual machine's host then runs that core's wake-ups late),
        // and measured beside two playing decks, a thread free to wander made refills late where
        // one kept off the first core did not.
        if (haveCores && CPU_COUNT(&allowed) > 1) {
            for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
                if (CPU_ISSET(cpu, &allowed)) {
                    CPU_CLR(cpu, &allowed);
                    break;
                }
            sched_setaffinity(tid, sizeof allowed, &allowed);
        }
        // SCHED_IDLE runs only when a core would otherwise idle, so a deck's refill never waits
        // for us; nice 19 is the fallback where the policy is refused.
        if (sched_setscheduler(tid, SCHED_IDLE, &param) != 0)
            ok = setpriority(PRIO_PROCESS, static_cast<id_t>(tid), 19) == 0;
        ::syscall(SYS_ioprio_set, kIoprioWhoProcess, tid, kIoprioClassIdle << kIoprioClassShift);
        return ok;
    }
    if (haveCores)
        sched_setaffinity(tid, sizeof allowed, &allowed);
    if (sched_getscheduler(tid) == SCHED_IDLE)
        ok = sched_setscheduler(tid, SCHED_OTHER, &param) == 0;
    // Lowering to nice 10 is always allowed; coming back from 19 is not, unless privileged.
    if (getpriority(PRIO_PROCESS, static_cast<id_t>(tid)) != kLowNice)
        ok = setpriority(PRIO_PROCESS, static_cast<id_t>(tid), kLowNice) == 0 && ok;
    ::syscall(SYS_ioprio_set, kIoprioWhoProcess, tid,
              (kIoprioClassBestEffort << kIoprioClassShift) | kIoprioLowestLevel);
    return ok;
}

#else

int currentThreadId() {
    return 0;
}

bool setThreadPriority(ThreadPriority, int) {
    return false;
}

#endif

} // namespace mixora::engine
