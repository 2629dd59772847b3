// SPDX-License-Identifier: MIT
// Linux side of the OS layer.
#include "platform.h"

#include "cpufacts.h"
#include "linuxscheduling.h"

#include <linux/capability.h>
#include <linux/sock_diag.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/utsname.h>

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <sstream>
#include <system_error>
#include <thread>
#include <vector>

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

using linuxsched::KernelScheduling;

// The kernel's view of a thread; the reset-on-fork flag is not a policy.
KernelScheduling readScheduling(pid_t tid)
{
    KernelScheduling now;
    now.policy = sched_getscheduler(tid);
    if (now.policy >= 0)
        now.policy &= ~SCHED_RESET_ON_FORK;
    sched_param param{};
    if (sched_getparam(tid, &param) == 0)
        now.priority = param.sched_priority;
    // -1 is a valid nice value, so errno tells a failure apart.
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, id_t(tid));
    if (errno == 0)
        now.nice = nice;
    return now;
}

// Results ignored: a refused call leaves the thread as it was, and the
// granted scheduling is read back where it matters.
void applyScheduling(pid_t tid, const KernelScheduling &target, bool resetOnFork)
{
    if (target.policy == linuxsched::KeepPolicy)
        return;
    sched_param param{};
    param.sched_priority = target.priority;
    // SCHED_RESET_ON_FORK: threads and processes the thread starts begin at
    // SCHED_OTHER and nice 0 at the most, not at its realtime priority.
    const int flags = resetOnFork && target.policy == SCHED_FIFO ? SCHED_RESET_ON_FORK : 0;
    sched_setscheduler(tid, target.policy | flags, &param);
    // Nice means nothing to a FIFO thread; SCHED_OTHER takes it after the
    // policy, and a thread put back gets its own again.
    if (target.policy != SCHED_FIFO && target.policy != SCHED_RR)
        setpriority(PRIO_PROCESS, id_t(tid), target.nice);
}

std::vector<pid_t> threadsOfThisProcess()
{
    std::vector<pid_t> threads;
    if (DIR *tasks = opendir("/proc/self/task")) {
        while (dirent *entry = readdir(tasks)) {
            char *end = nullptr;
            const long tid = std::strtol(entry->d_name, &end, 10);
            if (tid > 0 && *end == '\0')
                threads.push_back(pid_t(tid));
        }
        closedir(tasks);
    }
    return threads;
}

bool holdsCapability(int capability)
{
    // Capabilities held in a user namespace of its own (a rootless
    // container, unshare --map-root-user) do not count with the scheduler,
    // which checks them against the initial namespace: there uid_map maps
    // all of 0..2^32-1 onto itself.
    if (FILE *map = std::fopen("/proc/self/uid_map", "r")) {
        unsigned long inside = 1, outside = 1, count = 0;
        const int read = std::fscanf(map, "%lu %lu %lu", &inside, &outside, &count);
        std::fclose(map);
        if (read == 3 && !(inside == 0 && outside == 0 && count == 4294967295UL))
            return false;
    }
    // capget(2) without libcap (CAP_SYS_NICE is bit 23 of the first word).
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capget, &header, data) != 0)
        return false;
    return (data[CAP_TO_INDEX(capability)].effective & CAP_TO_MASK(capability)) != 0;
}

SchedulingLimits readLimits()
{
    SchedulingLimits limits;
    limits.privileged = holdsCapability(CAP_SYS_NICE);
    const int fifoMax = sched_get_priority_max(SCHED_FIFO);
    rlimit limit{};
    // The kernel checks the soft limits.
    if (getrlimit(RLIMIT_RTPRIO, &limit) == 0)
        limits.realtimeCeiling = limit.rlim_cur == RLIM_INFINITY
            ? fifoMax
            : int(std::min<rlim_t>(limit.rlim_cur, rlim_t(fifoMax)));
    if (getrlimit(RLIMIT_NICE, &limit) == 0)
        limits.niceFloor =
            limit.rlim_cur == RLIM_INFINITY ? -20 : 20 - int(std::min<rlim_t>(limit.rlim_cur, 40));
    return limits;
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

    bool setProcessClass(ProcessClass processClass) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        rememberOriginals();
        currentClass = processClass;
        // A class covers every thread of the process; each keeps its level.
        std::map<pid_t, ThreadLevel> alive;
        std::set<pid_t> aliveRuns;
        std::set<pid_t> stillNormal;
        bool whole = true;
        const SchedulingLimits limits = readLimits(); // the same for every thread
        for (const pid_t tid : threadsOfThisProcess()) {
            if (normalThreads.count(tid) != 0) {
                stillNormal.insert(tid);
                continue;
            }
            const auto known = levels.find(tid);
            const ThreadLevel level = known == levels.end() ? ThreadLevel::Normal : known->second;
            if (known != levels.end())
                alive.insert(*known);
            const bool ofARun = runThreads.count(tid) != 0;
            if (ofARun)
                aliveRuns.insert(tid);
            whole = apply(tid, windowsBasePriority(processClass, level), ofARun, limits) && whole;
        }
        levels.swap(alive); // forget threads that have ended
        runThreads.swap(aliveRuns);
        normalThreads.swap(stillNormal);
        return whole;
    }

    bool setCurrentThreadLevel(ThreadLevel level) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        rememberOriginals();
        const pid_t tid = gettid();
        normalThreads.erase(tid); // a reused thread id: the level wins
        levels[tid] = level;
        return apply(tid, windowsBasePriority(currentClass, level), false, readLimits());
    }

    void setRunThreadLevel(ThreadLevel level) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        rememberOriginals();
        const pid_t tid = gettid();
        normalThreads.erase(tid);
        levels[tid] = level;
        runThreads.insert(tid);
        apply(tid, windowsBasePriority(currentClass, level), true, readLimits());
    }

    void restoreScheduling() override
    {
        std::lock_guard<std::mutex> lock(mutex);
        currentClass = ProcessClass::Normal;
        if (!baseline)
            return; // nothing was ever changed
        std::map<pid_t, ThreadLevel> runs;
        for (const pid_t tid : threadsOfThisProcess()) {
            if (runThreads.count(tid) != 0) {
                runs[tid] = levels[tid];
                continue;
            }
            if (normalThreads.count(tid) != 0)
                continue;
            applyScheduling(tid, originalOf(tid), false);
        }
        levels.swap(runs);
    }

    // SCHED_OTHER at nice 0, base 8's scheduling, and left out when a class
    // is applied to every thread. Lowering a policy needs no privilege.
    void keepCurrentThreadNormal() override
    {
        std::lock_guard<std::mutex> lock(mutex);
        const pid_t tid = gettid();
        normalThreads.insert(tid);
        applyScheduling(tid, {SCHED_OTHER, 0, 0}, false);
    }

    // A policy set directly; the thread then keeps it whatever class the
    // process is given, as a thread kept normal does.
    Outcome setOwnPolicy(int policy, int priority)
    {
        std::lock_guard<std::mutex> lock(mutex);
        const pid_t tid = gettid();
        const KernelScheduling before = readScheduling(tid);
        const linuxsched::PolicyRequest request =
            linuxsched::schedulingForPolicy(policy, priority, readLimits(), before.nice);
        const ThreadScheduling asked = linuxsched::describe({policy, priority, 0});
        const std::string askedText = asked.policy + " " + std::to_string(priority);
        Outcome outcome;
        if (request.target.policy == linuxsched::KeepPolicy) {
            outcome.detail = askedText + " refused: " + request.shortfall;
            return outcome;
        }
        sched_param param{};
        param.sched_priority = request.target.priority;
        // As for a run's thread: what it starts begins without its realtime
        // policy.
        const bool realtime = policy == SCHED_FIFO || policy == SCHED_RR;
        if (sched_setscheduler(tid, policy | (realtime ? SCHED_RESET_ON_FORK : 0), &param) != 0) {
            outcome.detail = askedText + " refused: " + std::strerror(errno);
            return outcome;
        }
        normalThreads.insert(tid);
        levels.erase(tid);
        const KernelScheduling now = readScheduling(tid);
        const ThreadScheduling granted = linuxsched::describe(now);
        outcome.granted = now.policy == policy && now.priority == priority;
        outcome.detail = granted.policy + " " + std::to_string(granted.priority);
        if (!request.shortfall.empty())
            outcome.detail += " (" + request.shortfall + ")";
        return outcome;
    }

    ThreadScheduling currentThreadScheduling() override
    {
        return linuxsched::describe(readScheduling(gettid()));
    }

    SchedulingLimits schedulingLimits() override { return readLimits(); }

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

    // At the first change, how every thread was scheduled: what a restore
    // puts it back to. A thread started later began as the calling thread
    // was then.
    void rememberOriginals()
    {
        if (baseline)
            return;
        for (const pid_t tid : threadsOfThisProcess())
            originals[tid] = readScheduling(tid);
        baseline = readScheduling(gettid());
    }

    KernelScheduling originalOf(pid_t tid) const
    {
        const auto original = originals.find(tid);
        return original == originals.end() ? *baseline : original->second;
    }

    // Gives the thread what its base asks for, within the limits. For a
    // thread that outlives the run, a change it could not come back from is
    // left out: false then.
    bool apply(pid_t tid, int base, bool ofARun, const SchedulingLimits &limits)
    {
        const KernelScheduling target =
            linuxsched::schedulingForBase(base, limits, readScheduling(tid).nice);
        if (!ofARun && !linuxsched::mayReturn(limits, originalOf(tid), target))
            return false;
        applyScheduling(tid, target, ofARun);
        return true;
    }

    std::mutex mutex;
    ProcessClass currentClass = ProcessClass::Normal;
    std::map<pid_t, ThreadLevel> levels; // threads whose level was set; the rest are Normal
    std::set<pid_t> runThreads;          // threads that end with their run
    std::map<pid_t, KernelScheduling> originals;
    std::optional<KernelScheduling> baseline;
    std::set<pid_t> normalThreads; // left alone by classes: kept normal, or set directly
};

} // namespace

ThreadScheduling requestedScheduling(ProcessClass processClass, ThreadLevel level)
{
    return linuxsched::describe(linuxsched::schedulingForBase(
        windowsBasePriority(processClass, level), SchedulingLimits(), 0));
}

std::string priorityAdvice()
{
    return "run it with CAP_SYS_NICE (sudo setcap cap_sys_nice+ep on the program), or give this "
           "user a realtime limit in /etc/security/limits.d (e.g. \"@audio - rtprio 99\" and "
           "\"@audio - nice -20\")";
}

// ---- CPUs, memory, power states, policies

namespace {

CpuList cpusOf(const cpu_set_t &set)
{
    CpuList cpus;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &set))
            cpus.push_back(cpu);
    }
    return cpus;
}

CpuList affinityOf(pid_t tid)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    return sched_getaffinity(tid, sizeof set, &set) == 0 ? cpusOf(set) : CpuList();
}

std::string errorText(int error)
{
    return std::string(std::strerror(error)) + " (errno " + std::to_string(error) + ")";
}

int kernelPolicy(Policy policy)
{
    switch (policy) {
    case Policy::Fifo:
        return SCHED_FIFO;
    case Policy::RoundRobin:
        return SCHED_RR;
    case Policy::Other:
        return SCHED_OTHER;
    case Policy::Batch:
        return SCHED_BATCH;
    case Policy::Idle:
        return SCHED_IDLE;
    }
    return -1;
}

// mlockall is the whole process's: several runs at once (one per CPU) share
// it, and the last to release unlocks.
std::mutex memoryLockMutex;
int memoryLockHolders = 0;

// The process's CPUs as it was started (taskset, a cpuset), read before
// main: a thread pinned later, the main thread too, does not narrow them.
const CpuList startingCpus = affinityOf(0);

} // namespace

CpuList allowedCpus()
{
    return startingCpus.empty() ? affinityOf(getpid()) : startingCpus;
}

CpuList currentThreadCpus()
{
    return affinityOf(0);
}

Outcome pinCurrentThread(int cpu)
{
    Outcome outcome;
    const CpuListParse check = parseCpuList(std::to_string(cpu), allowedCpus());
    if (cpu < 0 || !check.error.empty()) {
        outcome.detail = cpu < 0 ? "CPU " + std::to_string(cpu) + " is no CPU" : check.error;
        return outcome;
    }
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    const int error = pthread_setaffinity_np(pthread_self(), sizeof set, &set);
    if (error != 0) {
        outcome.detail = "not pinned to CPU " + std::to_string(cpu) + ": " + errorText(error);
        return outcome;
    }
    outcome.granted = currentThreadCpus() == CpuList{cpu};
    outcome.detail = "pinned to CPU " + std::to_string(cpu);
    return outcome;
}

std::size_t pageSize()
{
    const long size = sysconf(_SC_PAGESIZE);
    return size > 0 ? std::size_t(size) : 4096;
}

const Outcome &MemoryLock::acquire(const std::vector<MemoryRegion> &)
{
    if (outcome.granted)
        return outcome;
    rlimit limit{};
    const bool limited = getrlimit(RLIMIT_MEMLOCK, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY;
    if (limited && !holdsCapability(CAP_IPC_LOCK)) {
        // With MCL_FUTURE under a finite limit, any mapping past the limit
        // fails (mmap, brk and thread stacks with ENOMEM): better unlocked.
        outcome.detail = "not locked: RLIMIT_MEMLOCK is " + std::to_string(limit.rlim_cur / 1024) +
            " kB and the process lacks CAP_IPC_LOCK; run it with CAP_IPC_LOCK (sudo setcap "
            "cap_ipc_lock+ep on the program) or give this user \"memlock unlimited\" in "
            "/etc/security/limits.d";
        return outcome;
    }
    std::lock_guard<std::mutex> lock(memoryLockMutex);
    if (memoryLockHolders == 0 && mlockall(MCL_CURRENT | MCL_FUTURE) != 0) {
        outcome.detail = "not locked: mlockall: " + errorText(errno);
        return outcome;
    }
    ++memoryLockHolders;
    outcome.granted = true;
    outcome.detail = "locked (mlockall, current and future pages)";
    return outcome;
}

void MemoryLock::release()
{
    if (!outcome.granted)
        return;
    std::lock_guard<std::mutex> lock(memoryLockMutex);
    if (--memoryLockHolders == 0)
        munlockall();
    outcome = Outcome();
}

const Outcome &PowerStateHold::acquire(std::int32_t latencyUs)
{
    if (outcome.granted)
        return outcome;
    outcome = Outcome();
    if (latencyUs < 0) {
        outcome.detail = "a latency of " + std::to_string(latencyUs) + " us is none";
        return outcome;
    }
    const char *const device = "/dev/cpu_dma_latency";
    const int fd = open(device, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        outcome.detail = std::string("not held: cannot open ") + device + ": " + errorText(error);
        if (error == EACCES || error == EPERM)
            outcome.detail += "; run as root, or let this user write it (a udev rule such as "
                              "KERNEL==\"cpu_dma_latency\", GROUP=\"audio\", MODE=\"0660\" and "
                              "the user in that group)";
        return outcome;
    }
    // The kernel takes the request as a binary 32-bit value (or hex text)
    // and keeps it until the descriptor is closed.
    const ssize_t written = write(fd, &latencyUs, sizeof latencyUs);
    if (written != ssize_t(sizeof latencyUs)) {
        outcome.detail = std::string("not held: writing ") + device + ": " +
            (written < 0 ? errorText(errno) : "short write");
        close(fd);
        return outcome;
    }
    handle = fd;
    outcome.granted = true;
    outcome.detail = "held at " + std::to_string(latencyUs) + " us (" + device + ")";
    return outcome;
}

void PowerStateHold::release()
{
    if (handle >= 0)
        close(int(handle));
    handle = -1;
    outcome = Outcome();
}

Outcome setCurrentThreadPolicy(Policy policy, int priority)
{
    return static_cast<LinuxOs &>(nativeOs()).setOwnPolicy(kernelPolicy(policy), priority);
}

Outcome realtimeWouldBeGranted(Policy policy, int priority)
{
    Outcome outcome;
    const int asked = kernelPolicy(policy);
    const std::string askedText = policyName(policy) + " " + std::to_string(priority);
    if (asked != SCHED_FIFO && asked != SCHED_RR) {
        outcome.detail = policyName(policy) + " is not a realtime policy";
        return outcome;
    }
    const linuxsched::PolicyRequest request =
        linuxsched::schedulingForPolicy(asked, priority, readLimits(), 0);
    if (!request.shortfall.empty()) {
        outcome.detail = askedText + " would not be granted: " + request.shortfall;
        return outcome;
    }
    // The limits allow it; the kernel may still refuse (a cgroup without
    // realtime time): a thread that ends at once asks for real.
    int error = 0;
    try {
        std::thread([&] {
            sched_param param{};
            param.sched_priority = priority;
            error = sched_setscheduler(0, asked, &param) == 0 ? 0 : errno;
        }).join();
    } catch (const std::system_error &failure) {
        outcome.detail = askedText + " not known: no thread to try it on (" + failure.what() + ")";
        return outcome;
    }
    outcome.granted = error == 0;
    outcome.detail = askedText +
        (error == 0 ? " would be granted" : " would not be granted: " + errorText(error));
    return outcome;
}

namespace {

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

namespace {

// The first line of a file, without its line end; empty if it cannot be read.
std::string firstLine(const std::string &path)
{
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\n'))
        line.pop_back();
    return line;
}

// The value of the first "key : value" line of /proc/cpuinfo with this key.
std::string cpuinfoValue(const std::string &key)
{
    std::ifstream file("/proc/cpuinfo");
    std::string line;
    while (std::getline(file, line)) {
        const auto colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        std::string name = line.substr(0, colon);
        while (!name.empty() && (name.back() == ' ' || name.back() == '\t'))
            name.pop_back();
        if (name == key)
            return line.substr(std::min(line.size(), colon + 2));
    }
    return std::string();
}

} // namespace

MachineFacts machineFacts()
{
    MachineFacts facts;
    utsname names{};
    facts.kernel = uname(&names) == 0
        ? std::string(names.sysname) + " " + names.release + " " + names.version
        : "unknown";

    // The kernel keeps its clocksource devices under this folder (one,
    // clocksource0, on every machine seen); the first that names its
    // current one is the system's.
    facts.clockSource = "unknown";
    const std::string folder = "/sys/devices/system/clocksource/";
    if (DIR *devices = opendir(folder.c_str())) {
        while (dirent *entry = readdir(devices)) {
            if (entry->d_name[0] == '.')
                continue;
            const std::string current = firstLine(folder + entry->d_name + "/current_clocksource");
            if (current.empty())
                continue;
            facts.clockSource = current;
            facts.availableClockSources =
                firstLine(folder + entry->d_name + "/available_clocksource");
            break;
        }
        closedir(devices);
    }

    const detail::CpuFacts cpu = detail::cpuFacts();
    facts.cpuModel = cpuinfoValue("model name");
    if (facts.cpuModel.empty())
        facts.cpuModel = cpu.brand.empty() ? "unknown" : cpu.brand;
    facts.cpuCount = int(std::max(0L, sysconf(_SC_NPROCESSORS_ONLN)));

    // The CPU's hypervisor bit (also /proc/cpuinfo's "hypervisor" flag), or
    // /sys/hypervisor/type, which Xen guests have even without the bit.
    const std::string xenType = firstLine("/sys/hypervisor/type");
    std::istringstream flags(" " + cpuinfoValue("flags") + " ");
    bool flagged = false;
    for (std::string flag; flags >> flag;)
        flagged = flagged || flag == "hypervisor";
    if (cpu.hypervisor || flagged || !xenType.empty())
        facts.hypervisor = "yes";
    else
        facts.hypervisor = cpu.known ? "no" : "unknown";
    facts.hypervisorSignature = cpu.signature;
    facts.hypervisorVendor =
        !cpu.signature.empty() ? detail::hypervisorName(cpu.signature) : xenType;
    return facts;
}

// /proc/stat's first line sums every CPU: "cpu user nice system idle iowait
// irq softirq steal ...", in clock ticks (USER_HZ) since boot.
std::int64_t stealNanos()
{
    std::istringstream line(firstLine("/proc/stat"));
    std::string label;
    line >> label;
    std::int64_t value = 0;
    for (int field = 1; field <= 8 && (line >> value); ++field) {
        if (field == 8) {
            const long ticksPerSecond = sysconf(_SC_CLK_TCK);
            if (label != "cpu" || ticksPerSecond <= 0)
                return -1;
            return value * (NanosPerSecond / ticksPerSecond);
        }
    }
    return -1;
}

} // namespace platform
