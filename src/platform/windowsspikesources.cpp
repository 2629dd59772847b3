// SPDX-License-Identifier: MIT
// Windows: the spike sources an ordinary process may read. The worker's own
// reads (OwnThreadCounters::read) make two system calls and no allocation;
// everything else runs on the sampler's thread. What Windows keeps none of,
// and what the system at hand leaves unfilled (Wine does, below), is -1.
#include "platform.h"
#include "windowsos.h"

// psapi.h relies on the types windows.h declares. Its GetProcessMemoryInfo
// is kernel32's K32GetProcessMemoryInfo (Windows 7 and later).
#include <psapi.h>

#include <algorithm>

namespace platform {
namespace {

using QuerySystem = LONG(WINAPI *)(ULONG, PVOID, ULONG, PULONG);

QuerySystem querySystem()
{
    static const QuerySystem call = ntdllCall<QuerySystem>("NtQuerySystemInformation");
    return call;
}

// The scheduler's record of one thread (SYSTEM_THREAD_INFORMATION).
struct SystemThread
{
    LARGE_INTEGER kernelTime; // 100 ns units, as all times here
    LARGE_INTEGER userTime;
    LARGE_INTEGER createTime;
    ULONG waitTime;
    PVOID startAddress;
    HANDLE process; // CLIENT_ID
    HANDLE thread;
    LONG priority;
    LONG basePriority;
    ULONG contextSwitches;
    ULONG state;
    ULONG waitReason;
};
// The kernel answers this class only at its exact size.
static_assert(sizeof(SystemThread) == (sizeof(void *) == 8 ? 80 : 64), "the kernel's layout");

// One thread's record, the same the snapshot of every process
// (SystemProcessInformation) holds for it, without that snapshot: Windows 10
// and later; Wine answers STATUS_NOT_IMPLEMENTED.
constexpr ULONG ThreadSystemThreadInformation = 40;
constexpr ULONG SystemProcessorPerformanceInformation = 8;
constexpr ULONG SystemInterruptInformation = 23;

std::int64_t units(const FILETIME &time)
{
    return (std::int64_t(time.dwHighDateTime) << 32) | std::int64_t(time.dwLowDateTime);
}

// Run time and context switches in one call. Kernel and user time advance
// at the clock interrupt (up to 15.6 ms at a time), so run time is coarse;
// QueryThreadCycleTime would be finer, but counts cycles, not time.
bool readSystemThread(HANDLE thread, ThreadCounters &into)
{
    const QueryThread query = queryThread();
    SystemThread record{};
    if (!query ||
        query(thread, ThreadSystemThreadInformation, &record, sizeof record, nullptr) != 0)
        return false;
    into.runNs = (record.kernelTime.QuadPart + record.userTime.QuadPart) * 100;
    // A thread that has run was switched in at least once: 0 is no count.
    if (record.contextSwitches > 0)
        into.timeslices = record.contextSwitches;
    return true;
}

// Asked once, so that a system without the class is not asked at each read.
bool systemThreadAnswered()
{
    static const bool answered = [] {
        ThreadCounters probe;
        return readSystemThread(GetCurrentThread(), probe);
    }();
    return answered;
}

// The same run time without the context switches.
void readThreadTimes(HANDLE thread, ThreadCounters &into)
{
    FILETIME created, exited, kernel, user;
    if (GetThreadTimes(thread, &created, &exited, &kernel, &user))
        into.runNs = (units(kernel) + units(user)) * 100;
}

void readThread(HANDLE thread, bool whole, ThreadCounters &into)
{
    if (!whole || !readSystemThread(thread, into))
        readThreadTimes(thread, into);
}

// Windows counts page faults per process only (PageFaultCount, soft and hard
// together), never per thread. Taken as the worker's all the same: during a
// run it is the process's one busy thread, and the sampler takes the usual
// rate between its snapshots off, so the other threads' steady faults drop
// out; a burst of theirs beside a spike would be blamed on the worker. Hard
// faults are not told apart: majorFaults stays -1. A process that runs has
// faulted its image in, so 0 is no count (Wine keeps none).
void readProcessFaults(ThreadCounters &into)
{
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters) &&
        counters.PageFaultCount > 0)
        into.minorFaults = counters.PageFaultCount;
}

// Masks, and so CPU numbers, cover the first processor group; the per-CPU
// classes below answer the calling thread's group, one entry a CPU.
constexpr int MaxCpus = int(sizeof(DWORD_PTR) * 8);

// SYSTEM_PROCESSOR_PERFORMANCE_INFORMATION
struct ProcessorPerformance
{
    LARGE_INTEGER idleTime;
    LARGE_INTEGER kernelTime;
    LARGE_INTEGER userTime;
    LARGE_INTEGER dpcTime;
    LARGE_INTEGER interruptTime;
    ULONG interruptCount;
};
static_assert(sizeof(ProcessorPerformance) == 48, "the kernel's layout");

// SYSTEM_INTERRUPT_INFORMATION
struct ProcessorInterrupts
{
    ULONG contextSwitches;
    ULONG dpcCount;
    ULONG dpcRate;
    ULONG timeIncrement; // the clock interrupt's period, 100 ns units
    ULONG dpcBypassCount;
    ULONG apcBypassCount;
};
static_assert(sizeof(ProcessorInterrupts) == 24, "the kernel's layout");

// One entry per CPU; how many came back.
template <typename Entry>
int perCpu(ULONG informationClass, Entry (&entries)[MaxCpus])
{
    const QuerySystem query = querySystem();
    ULONG length = 0;
    if (!query || query(informationClass, entries, sizeof entries, &length) != 0)
        return 0;
    return int(std::min<ULONG>(length / sizeof(Entry), MaxCpus));
}

// One CPU's count, or all CPUs' summed (cpu -1); -1 for a CPU not there.
// The counts are 32 bits wide: a sampler's window across a wrap reads as a
// drop, which it skips.
template <typename Entry, typename Count>
std::int64_t countOf(const Entry (&entries)[MaxCpus], int cpus, int cpu, Count count)
{
    if (cpu >= cpus)
        return -1;
    if (cpu >= 0)
        return count(entries[cpu]);
    std::int64_t sum = 0;
    for (int i = 0; i < cpus; ++i)
        sum += count(entries[i]);
    return sum;
}

} // namespace

OwnThreadCounters::OwnThreadCounters()
{
    // Asked here, on the worker's start, rather than at its first spike.
    systemThreadAnswered();
}

OwnThreadCounters::~OwnThreadCounters() = default;

ThreadCounters OwnThreadCounters::read() const
{
    ThreadCounters now;
    readThread(GetCurrentThread(), systemThreadAnswered(), now);
    readProcessFaults(now);
    // Windows keeps no time a thread spent ready but waiting for a CPU that a
    // process may read: only a kernel trace's ReadyThread events show it.
    return now;
}

ThreadCounters threadCounters(std::int64_t threadId)
{
    ThreadCounters now;
    if (threadId <= 0 || threadId > std::int64_t(MAXDWORD))
        return now;
    HANDLE thread = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, DWORD(threadId));
    if (!thread)
        return now;
    // Ids are reused once a thread ends: only one of this process is read.
    if (GetProcessIdOfThread(thread) == GetCurrentProcessId()) {
        readThread(thread, systemThreadAnswered(), now);
        readProcessFaults(now);
    }
    CloseHandle(thread);
    return now;
}

std::int64_t currentThreadId()
{
    return std::int64_t(GetCurrentThreadId());
}

std::int64_t currentThreadTimerSlackNs()
{
    return -1;
}

bool setCurrentThreadTimerSlackNs(std::int64_t)
{
    return false;
}

RealtimeThrottle realtimeThrottle()
{
    return RealtimeThrottle();
}

// Interrupts per CPU from the processor performance counts; DPCs, which run
// above every thread on their CPU as Linux's softirqs do, from the interrupt
// information. Windows keeps no steal time.
CpuCounters cpuCounters(int cpu)
{
    CpuCounters now;
    ProcessorPerformance performance[MaxCpus];
    const int counted = perCpu(SystemProcessorPerformanceInformation, performance);
    // Every CPU takes the clock's interrupt: counts of 0 on all of them are
    // no count (Wine fills the times from /proc/stat and leaves them 0).
    const auto interrupts = [](const ProcessorPerformance &entry) {
        return std::int64_t(entry.interruptCount);
    };
    if (countOf(performance, counted, -1, interrupts) > 0)
        now.interrupts = countOf(performance, counted, cpu, interrupts);

    ProcessorInterrupts dpcs[MaxCpus];
    const int listed = perCpu(SystemInterruptInformation, dpcs);
    // The clock's period is one kernel figure copied into every CPU's entry,
    // at most 15.625 ms: entries that disagree, or say none, are no
    // kernel's reading (Wine fills this class with random bytes).
    bool kernels = listed > 0;
    for (int i = 0; i < listed; ++i)
        kernels = kernels && dpcs[i].timeIncrement == dpcs[0].timeIncrement &&
            dpcs[i].timeIncrement > 0 && dpcs[i].timeIncrement <= 156250;
    const auto dpcCount = [](const ProcessorInterrupts &entry) {
        return std::int64_t(entry.dpcCount);
    };
    if (kernels && countOf(dpcs, listed, -1, dpcCount) > 0)
        now.softirqs = countOf(dpcs, listed, cpu, dpcCount);
    return now;
}

// Read through ntdll (currentThreadCpus), not by setting a mask and putting
// the old one back, which would widen a pinned thread for a moment.
int pinnedCpu()
{
    const CpuList cpus = currentThreadCpus();
    return cpus.size() == 1 ? cpus.front() : -1;
}

// Windows gives a thread only CPUs of its process's mask: that mask without
// the one CPU.
bool avoidCpu(int cpu)
{
    DWORD_PTR process = 0, system = 0;
    if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system))
        return false;
    if (cpu >= 0 && cpu < MaxCpus)
        process &= ~(DWORD_PTR(1) << cpu);
    return process != 0 && SetThreadAffinityMask(GetCurrentThread(), process) != 0;
}

TraceAccess decideTraceAccess(const TraceFacts &facts)
{
    TraceAccess access;
    access.allowed = facts.openErrno == 0;
    if (!access.allowed)
        access.reason = "not available on Windows";
    return access;
}

TraceAccess traceAccess(int)
{
    return decideTraceAccess(TraceFacts());
}

// What an ordinary process may read has no scheduler trace; an
// administrator's kernel trace session would (docs/os-layer.md).
struct TraceSession::Rings
{
};

TraceSession::TraceSession() = default;
TraceSession::~TraceSession() = default;

bool TraceSession::open(const CpuList &, std::int64_t)
{
    reason = "not available on Windows: the scheduler's trace needs an administrator's kernel "
             "trace session";
    return false;
}
void TraceSession::drain(std::vector<TraceRecord> &) { }
void TraceSession::close() { }

} // namespace platform
