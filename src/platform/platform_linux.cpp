// SPDX-License-Identifier: MIT
// Linux side of the OS layer: the scheduling of the process's threads, and
// stop requests. Timers and datagrams, CPUs, memory and power, and the
// machine's facts have files of their own.
#include "linuxos.h"

#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/syscall.h>

#include <dirent.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>
#include <vector>

namespace platform {
namespace {

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

} // namespace

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

namespace {

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
} // namespace

bool LinuxOs::setProcessClass(ProcessClass processClass)
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

bool LinuxOs::setCurrentThreadLevel(ThreadLevel level)
{
    std::lock_guard<std::mutex> lock(mutex);
    rememberOriginals();
    const pid_t tid = gettid();
    normalThreads.erase(tid); // a reused thread id: the level wins
    levels[tid] = level;
    return apply(tid, windowsBasePriority(currentClass, level), false, readLimits());
}

void LinuxOs::setRunThreadLevel(ThreadLevel level)
{
    std::lock_guard<std::mutex> lock(mutex);
    rememberOriginals();
    const pid_t tid = gettid();
    normalThreads.erase(tid);
    levels[tid] = level;
    runThreads.insert(tid);
    apply(tid, windowsBasePriority(currentClass, level), true, readLimits());
}

void LinuxOs::restoreScheduling()
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
void LinuxOs::keepCurrentThreadNormal()
{
    std::lock_guard<std::mutex> lock(mutex);
    const pid_t tid = gettid();
    normalThreads.insert(tid);
    applyScheduling(tid, {SCHED_OTHER, 0, 0}, false);
}

// A policy set directly; the thread then keeps it whatever class the
// process is given, as a thread kept normal does.
Outcome LinuxOs::setOwnPolicy(int policy, int priority)
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

ThreadScheduling LinuxOs::currentThreadScheduling()
{
    return linuxsched::describe(readScheduling(gettid()));
}

SchedulingLimits LinuxOs::schedulingLimits()
{
    return readLimits();
}

// At the first change, how every thread was scheduled: what a restore
// puts it back to. A thread started later began as the calling thread
// was then.
void LinuxOs::rememberOriginals()
{
    if (baseline)
        return;
    for (const pid_t tid : threadsOfThisProcess())
        originals[tid] = readScheduling(tid);
    baseline = readScheduling(gettid());
}

KernelScheduling LinuxOs::originalOf(pid_t tid) const
{
    const auto original = originals.find(tid);
    return original == originals.end() ? *baseline : original->second;
}

// Gives the thread what its base asks for, within the limits. For a
// thread that outlives the run, a change it could not come back from is
// left out: false then.
bool LinuxOs::apply(pid_t tid, int base, bool ofARun, const SchedulingLimits &limits)
{
    const KernelScheduling target =
        linuxsched::schedulingForBase(base, limits, readScheduling(tid).nice);
    if (!ofARun && !linuxsched::mayReturn(limits, originalOf(tid), target))
        return false;
    applyScheduling(tid, target, ofARun);
    return true;
}

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

namespace {

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

} // namespace

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

} // namespace platform
