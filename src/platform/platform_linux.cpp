// SPDX-License-Identifier: MIT
// Linux side of the OS layer.
#include "platform.h"

#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <dirent.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <new>

// A grid of deadlines on CLOCK_MONOTONIC, slept to with clock_nanosleep.
struct platform::PeriodicTimer
{
    platform::PeriodGrid grid;
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

    PeriodicTimer *createPeriodicTimer() override { return new (std::nothrow) PeriodicTimer{}; }

    bool setPeriodicTimer(PeriodicTimer *timer, int periodMs) override
    {
        if (!timer || periodMs < 0)
            return false;
        timer->grid.arm(monotonicNanos(), std::int64_t(periodMs) * 1000000);
        return true;
    }

    // A sleep to an absolute deadline on CLOCK_MONOTONIC (clock_nanosleep
    // with TIMER_ABSTIME) ends at the deadline however late the sleep began,
    // so the wake-ups stay on the grid. A timerfd ends its sleeps on the
    // same grid, but through poll and a read of the expiry count: more work
    // between the expiry and the return, and the wake-ups measured later and
    // more widely spread.
    void waitPeriodicTimer(PeriodicTimer *timer, std::uint32_t timeoutMs) override
    {
        if (!timer)
            return;
        const std::int64_t now = monotonicNanos();
        if (timer->grid.takeDue(now))
            return;
        // UINT32_MAX is Windows' INFINITE; otherwise the time-out ends the
        // wait when it comes before the deadline, which then stays due.
        const bool forever = timeoutMs == UINT32_MAX;
        const std::int64_t timeoutAt = now + std::int64_t(timeoutMs) * 1000000;
        const bool toDeadline =
            !timer->grid.exhausted() && (forever || timer->grid.deadline() <= timeoutAt);
        if (!toDeadline && forever) {
            // Nothing will ever fire: wait as Windows would, for good.
            for (;;)
                pause();
        }
        const timespec until = toTimespec(toDeadline ? timer->grid.deadline() : timeoutAt);
        // A signal wakes the sleep early; sleeping again to the same
        // absolute time loses nothing.
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) { }
        if (toDeadline)
            timer->grid.takeNext();
    }

    void closePeriodicTimer(PeriodicTimer *timer) override { delete timer; }

    // Software receive stamps: the kernel notes CLOCK_REALTIME when a
    // datagram enters the network stack, before any thread runs, and hands
    // it to recvmsg as an SCM_TIMESTAMPNS control message (socket(7)).
    bool enableReceiveStamps(std::intptr_t socket) override
    {
        const int on = 1;
        return setsockopt(int(socket), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) == 0;
    }

    PendingDatagram peekDatagram(std::intptr_t socket) override
    {
        PendingDatagram next;
        char byte = 0;
        iovec data{&byte, 1};
        // Room for the stamp and the other control messages Qt asks for on
        // its UDP sockets (packet information, hop limit); on the stack.
        alignas(cmsghdr) char control[256];
        msghdr message{};
        message.msg_iov = &data;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        // MSG_TRUNC gives the datagram's whole length, MSG_PEEK leaves it in
        // the queue; the stamp comes with a peek as with a read.
        ssize_t size;
        do {
            size = recvmsg(int(socket), &message, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
        } while (size < 0 && errno == EINTR);
        if (size < 0)
            return next;
        next.size = size;
        for (cmsghdr *item = CMSG_FIRSTHDR(&message); item; item = CMSG_NXTHDR(&message, item)) {
            if (item->cmsg_level == SOL_SOCKET && item->cmsg_type == SCM_TIMESTAMPNS) {
                timespec stamp{};
                std::memcpy(&stamp, CMSG_DATA(item), sizeof stamp);
                next.stamped = true;
                next.stampNs = std::int64_t(stamp.tv_sec) * NanosPerSecond + stamp.tv_nsec;
                break;
            }
        }
        return next;
    }

    // The kernel stamps on CLOCK_REALTIME (the counter is CLOCK_MONOTONIC).
    std::int64_t stampClockNs() override
    {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        return std::int64_t(now.tv_sec) * NanosPerSecond + now.tv_nsec;
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
