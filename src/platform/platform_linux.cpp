// SPDX-License-Identifier: MIT
// Linux side of the OS layer.
#include "platform.h"

#include <linux/sock_diag.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/timerfd.h>

#include <dirent.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <map>
#include <mutex>
#include <new>

struct platform::PeriodicTimer
{
    int fd;
};

namespace platform {
namespace {

constexpr std::int64_t NanosPerSecond = 1000000000;

std::int64_t monotonicNanos()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t(now.tv_sec) * NanosPerSecond + now.tv_nsec;
}

timespec toTimespec(std::int64_t nanos)
{
    timespec ts{};
    ts.tv_sec = time_t(nanos / NanosPerSecond);
    ts.tv_nsec = long(nanos % NanosPerSecond);
    return ts;
}

// Linux has no priority classes, and it ignores a thread priority under
// SCHED_OTHER, so the Windows base priority (1..31) of a thread is recreated
// with the scheduler: the realtime range 16..31 becomes SCHED_FIFO rising to
// the top FIFO priority, base 1 becomes SCHED_IDLE, and bases 2..15 become
// nice values falling from +19 (base 2) through 0 (base 8) to -20 (base 15).
const int niceForBase[16] = {0, 19, 19, 16, 13, 10, 6, 3, 0, -3, -6, -9, -11, -14, -17, -20};

void applyBasePriority(pid_t tid, int base)
{
    sched_param param{};
    if (base >= 16) {
        const int low = sched_get_priority_min(SCHED_FIFO);
        const int high = sched_get_priority_max(SCHED_FIFO);
        param.sched_priority = low + ((base - 16) * (high - low) * 2 + 15) / 30;
        sched_setscheduler(tid, SCHED_FIFO, &param);
    } else if (base == 1) {
        sched_setscheduler(tid, SCHED_IDLE, &param);
    } else {
        // Policy first: nice means nothing to a FIFO thread.
        sched_setscheduler(tid, SCHED_OTHER, &param);
        setpriority(PRIO_PROCESS, id_t(tid), niceForBase[base]);
    }
    // Results ignored: without CAP_SYS_NICE the calls fail and nothing changes.
}

class LinuxOs final : public Os
{
public:
    std::int64_t counterFrequency() override { return NanosPerSecond; }

    std::int64_t counterValue() override { return monotonicNanos(); }

    PeriodicTimer *createPeriodicTimer() override
    {
        const int fd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
        if (fd < 0)
            return nullptr;
        auto *timer = new (std::nothrow) PeriodicTimer{fd};
        if (!timer)
            close(fd);
        return timer;
    }

    bool setPeriodicTimer(PeriodicTimer *timer, int periodMs) override
    {
        if (!timer || periodMs < 0)
            return false;
        // An absolute first expiry of "now" fires at once; a relative zero
        // would disarm the timer instead.
        itimerspec expiries{};
        expiries.it_value = toTimespec(monotonicNanos());
        expiries.it_interval = toTimespec(std::int64_t(periodMs) * 1000000);
        return timerfd_settime(timer->fd, TFD_TIMER_ABSTIME, &expiries, nullptr) == 0;
    }

    void waitPeriodicTimer(PeriodicTimer *timer, std::uint32_t timeoutMs) override
    {
        if (!timer)
            return;
        // poll, then read the expiry count and drop it: expiries that passed
        // while nobody waited are one readable state, so a late caller gets a
        // single immediate return, not one per missed period.
        const bool forever = timeoutMs == UINT32_MAX;
        const std::int64_t deadline = monotonicNanos() + std::int64_t(timeoutMs) * 1000000;
        pollfd pfd{timer->fd, POLLIN, 0};
        for (;;) {
            int waitMs = -1;
            if (!forever) {
                const std::int64_t left = deadline - monotonicNanos();
                waitMs =
                    left <= 0 ? 0 : int(std::min<std::int64_t>((left + 999999) / 1000000, INT_MAX));
            }
            const int ready = poll(&pfd, 1, waitMs);
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready > 0 && (pfd.revents & POLLIN)) {
                std::uint64_t expiries = 0;
                if (read(timer->fd, &expiries, sizeof expiries) < 0) {
                    // nothing to do: the next wait sees the timer again
                }
            }
            return;
        }
    }

    void closePeriodicTimer(PeriodicTimer *timer) override
    {
        if (!timer)
            return;
        close(timer->fd);
        delete timer;
    }

    void sleepMs(std::uint32_t ms) override
    {
        // An absolute deadline keeps the sleep whole across signal wake-ups.
        const timespec deadline = toTimespec(monotonicNanos() + std::int64_t(ms) * 1000000);
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) { }
    }

    void setProcessClass(ProcessClass processClass) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        currentClass = processClass;
        // A class covers every thread of the process; each keeps its level.
        std::map<pid_t, ThreadLevel> alive;
        if (DIR *tasks = opendir("/proc/self/task")) {
            while (dirent *entry = readdir(tasks)) {
                char *end = nullptr;
                const long tid = std::strtol(entry->d_name, &end, 10);
                if (tid <= 0 || *end != '\0')
                    continue;
                const auto known = levels.find(pid_t(tid));
                const ThreadLevel level =
                    known == levels.end() ? ThreadLevel::Normal : known->second;
                if (known != levels.end())
                    alive.insert(*known);
                applyBasePriority(pid_t(tid), windowsBasePriority(processClass, level));
            }
            closedir(tasks);
            levels.swap(alive); // forget threads that have ended
        }
    }

    void setCurrentThreadLevel(ThreadLevel level) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        const pid_t tid = gettid();
        levels[tid] = level;
        applyBasePriority(tid, windowsBasePriority(currentClass, level));
    }

    ThreadScheduling currentThreadScheduling() override
    {
        ThreadScheduling granted;
        const pid_t tid = gettid();
        const int policy = sched_getscheduler(tid);
        switch (policy) {
        case SCHED_FIFO:
            granted.policy = "SCHED_FIFO";
            break;
        case SCHED_RR:
            granted.policy = "SCHED_RR";
            break;
        case SCHED_OTHER:
            granted.policy = "SCHED_OTHER";
            break;
        case SCHED_BATCH:
            granted.policy = "SCHED_BATCH";
            break;
        case SCHED_IDLE:
            granted.policy = "SCHED_IDLE";
            break;
        default:
            granted.policy = policy < 0 ? "unknown" : "policy " + std::to_string(policy);
            break;
        }
        sched_param param{};
        if (sched_getparam(tid, &param) == 0)
            granted.priority = param.sched_priority;
        // -1 is a valid nice value, so errno tells a failure apart.
        errno = 0;
        const int nice = getpriority(PRIO_PROCESS, id_t(tid));
        if (errno == 0)
            granted.nice = nice;
        return granted;
    }

    // The closest Linux has to a finer system timer is the timer slack of a
    // thread: the kernel may delay a sleeper's wake-up by up to the slack
    // (50 us by default) to batch wake-ups. A slack of 1 ns wakes sleepers on
    // time; threads created afterwards inherit it, and writing 0 restores the
    // thread's default. Requests outside Windows' accepted range (1 ms up) are
    // refused as Windows refuses them.
    void beginTimerResolution(std::uint32_t periodMs) override
    {
        if (accepted(periodMs))
            prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    }

    void endTimerResolution(std::uint32_t periodMs) override
    {
        if (accepted(periodMs))
            prctl(PR_SET_TIMERSLACK, 0UL, 0UL, 0UL, 0UL);
    }

    std::int64_t currentThreadCpuTime() override
    {
        timespec used{};
        if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used) != 0)
            return -1;
        return std::int64_t(used.tv_sec) * NanosPerSecond + used.tv_nsec;
    }

    // SO_MEMINFO (Linux 4.12) reports the socket's memory figures and, among
    // them, sk_drops: every datagram the kernel discarded for this socket,
    // the ones a full receive queue refused included.
    std::int64_t socketDropCount(std::intptr_t socket) override
    {
        std::uint32_t figures[SK_MEMINFO_VARS] = {};
        socklen_t size = sizeof figures;
        if (getsockopt(int(socket), SOL_SOCKET, SO_MEMINFO, figures, &size) != 0 ||
            size <= SK_MEMINFO_DROPS * sizeof figures[0])
            return -1;
        return figures[SK_MEMINFO_DROPS];
    }

private:
    static bool accepted(std::uint32_t periodMs) { return periodMs >= 1 && periodMs <= 1000000; }

    std::mutex mutex;
    ProcessClass currentClass = ProcessClass::Normal;
    std::map<pid_t, ThreadLevel> levels; // threads whose level was set; the rest are Normal
};

sigset_t stopSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

} // namespace

Os &nativeOs()
{
    static LinuxOs layer;
    return layer;
}

// Threads inherit the signal mask of the thread that creates them, so with
// the signals blocked first no thread ever runs a handler: the worker is
// never interrupted mid-wait, and the waiting thread takes the signal as
// data with sigtimedwait.
void catchStopRequests()
{
    const sigset_t set = stopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

bool waitForStopRequest(std::uint32_t timeoutMs)
{
    const sigset_t set = stopSignals();
    const timespec timeout = toTimespec(std::int64_t(timeoutMs) * 1000000);
    // EAGAIN is the timeout; EINTR (some other signal) counts as one too,
    // and the caller simply waits again.
    return sigtimedwait(&set, nullptr, &timeout) > 0;
}

} // namespace platform
