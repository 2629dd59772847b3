// SPDX-License-Identifier: MIT
// The OS layer: every call into the operating system that the measurement
// needs, behind one small interface. Plain C++, no Qt.
//
// One implementation per OS (platform_windows.cpp, platform_linux.cpp, picked
// by CMake) and, under tests/, a recording fake. The engine reaches the
// layer through os(); tests swap the fake in with install().
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace platform {

// The four Windows priority classes the window offers.
enum class ProcessClass { Idle, Normal, High, Realtime };

// The seven Windows thread priorities, numbered as QThread::Priority numbers
// them from IdlePriority (0) to TimeCriticalPriority (6); Low and High are
// Windows' "below normal" and "above normal".
enum class ThreadLevel { Idle, Lowest, Low, Normal, High, Highest, TimeCritical };

// How the scheduler really treats a thread, in the OS's own terms. Linux: the
// policy ("SCHED_FIFO", "SCHED_OTHER", ...), its realtime priority (0 outside
// FIFO and RR) and the thread's nice value. Windows: the process's priority
// class ("REALTIME_PRIORITY_CLASS", ...), the thread's priority
// (THREAD_PRIORITY_TIME_CRITICAL is 15) and a nice of 0.
struct ThreadScheduling
{
    std::string policy;
    int priority = 0;
    int nice = 0;
};

// What this process may ask of the scheduler. Linux: CAP_SYS_NICE, else the
// RLIMIT_RTPRIO and RLIMIT_NICE limits; Windows asks for everything and lets
// Windows decide.
struct SchedulingLimits
{
    bool privileged = true;  // any policy and priority, and back again
    int realtimeCeiling = 0; // otherwise the highest realtime priority allowed; 0: none
    int niceFloor = 20;      // otherwise the lowest nice value that may be set
};

// A periodic timer; opaque, each OS defines its own.
struct PeriodicTimer;

// The next datagram waiting on a socket, looked at without taking it: its
// size (-1 when the OS layer cannot tell) and, when the kernel stamped it on
// arrival, that stamp in nanoseconds on the stamp clock (stampClockNs).
struct PendingDatagram
{
    std::int64_t size = -1;
    bool stamped = false;
    std::int64_t stampNs = 0;
};

// The deadlines of a periodic timer: origin, origin + period, origin + 2
// periods, ... on one clock, in its units. Each deadline is computed from the
// origin, never from the previous wake-up, so late wake-ups cannot shift the
// grid. A wait that finds its deadline passed returns at once and takes every
// deadline up to now with it: periods missed while nobody waited give one
// immediate return. Period 0 is a single expiry at the origin.
struct PeriodGrid
{
    std::int64_t origin = 0;
    std::int64_t period = 0;
    std::int64_t taken = 0; // deadlines consumed so far
    bool armed = false;

    void arm(std::int64_t now, std::int64_t newPeriod)
    {
        origin = now;
        period = newPeriod;
        taken = 0;
        armed = true;
    }
    // No deadline left: an unarmed grid, or a single expiry already taken.
    bool exhausted() const { return !armed || (period == 0 && taken > 0); }
    std::int64_t deadline() const { return origin + taken * period; }
    // At the start of a wait: true when the next deadline is due at now,
    // having taken it and every other deadline up to now.
    bool takeDue(std::int64_t now)
    {
        if (exhausted() || now < deadline())
            return false;
        taken = period > 0 ? (now - origin) / period + 1 : 1;
        return true;
    }
    // After sleeping until deadline(): that deadline is taken.
    void takeNext() { ++taken; }
};

class Os
{
public:
    virtual ~Os();

    // High-resolution counter: counts per second (0 when the machine has no
    // such counter) and the current count on the same time base.
    virtual std::int64_t counterFrequency() = 0;
    virtual std::int64_t counterValue() = 0;

    // Periodic timer. create returns null on failure. set arms it with a first
    // expiry at once and then one every periodMs; false on failure. wait
    // returns at the next expiry or after timeoutMs; expiries missed while
    // nobody waited merge into one immediate return.
    virtual PeriodicTimer *createPeriodicTimer() = 0;
    virtual bool setPeriodicTimer(PeriodicTimer *timer, int periodMs) = 0;
    virtual void waitPeriodicTimer(PeriodicTimer *timer, std::uint32_t timeoutMs) = 0;
    virtual void closePeriodicTimer(PeriodicTimer *timer) = 0;

    // Kernel receive stamps on a UDP socket (its descriptor: an int on
    // Linux, a SOCKET on Windows). enable asks the kernel to stamp every
    // datagram the socket receives; false when it refused or cannot. peek
    // tells size and stamp of the next datagram without removing it.
    // stampClockNs reads the clock the stamps are on, in nanoseconds.
    virtual bool enableReceiveStamps(std::intptr_t socket) = 0;
    virtual PendingDatagram peekDatagram(std::intptr_t socket) = 0;
    virtual std::int64_t stampClockNs() = 0;

    // Relative sleep, the wait used when no periodic timer could be set up.
    virtual void sleepMs(std::uint32_t ms) = 0;

    // Priority class of the whole process; every thread keeps its own level.
    // Each thread gets what the limits allow; a change the process could not
    // undo (a lower priority, without the right to raise it again) is left
    // out for every thread but those of a run. False when anything was left
    // out.
    virtual bool setProcessClass(ProcessClass processClass) = 0;
    // Level of the calling thread within the process's class, on the same
    // terms.
    virtual bool setCurrentThreadLevel(ThreadLevel level) = 0;
    // Level of a thread that ends with its run (the worker): whatever the
    // limits allow, undone or not, and nothing realtime for the threads and
    // processes it starts.
    virtual void setRunThreadLevel(ThreadLevel level) = 0;
    // Every thread the layer changed, except those of a run, back to the
    // scheduling it had before the first change (Windows: the normal class,
    // the calling thread at Normal).
    virtual void restoreScheduling() = 0;
    // What the calling thread was granted: a refused request leaves less
    // than was asked for.
    virtual ThreadScheduling currentThreadScheduling() = 0;
    virtual SchedulingLimits schedulingLimits() = 0;
    // The calling thread serves others (e.g. answers network requests) and
    // must never compete with the measurement: it keeps the OS's normal
    // scheduling whatever class the process is given now or later. Windows
    // has no way out of a realtime class; there it takes the Normal level.
    virtual void keepCurrentThreadNormal() = 0;

    // Ask for timer wake-ups of periodMs precision; end undoes a begin with
    // the same value. A refused request changes nothing.
    virtual void beginTimerResolution(std::uint32_t periodMs) = 0;
    virtual void endTimerResolution(std::uint32_t periodMs) = 0;

    // Processor time the calling thread has used so far, user and kernel
    // together, in nanoseconds; -1 when the OS cannot tell.
    virtual std::int64_t currentThreadCpuTime() = 0;

    // Datagrams the OS dropped for this socket (a native descriptor or
    // SOCKET) because its receive queue was full, since it was opened; -1
    // where the OS keeps no such count.
    virtual std::int64_t socketDropCount(std::intptr_t socket) = 0;
};

namespace detail {
extern std::atomic<Os *> installedLayer;
}

// This OS's own layer, defined by the per-OS file.
Os &nativeOs();

// The layer in use: the native one unless a test installed another. Inline:
// the counter is read through here at every tick.
inline Os &os()
{
    Os *layer = detail::installedLayer.load(std::memory_order_acquire);
    return layer ? *layer : nativeOs(); // null only before static initialisation
}

// Installs a layer (null restores the native one) and returns the one it
// replaced, or null if that was the native one.
Os *install(Os *layer);

// Ctrl-C and termination requests, for a program without a window. Call
// catchStopRequests once, before any other thread starts; from then on a
// request no longer ends the process, and waitForStopRequest returns true
// once one has arrived (false when timeoutMs pass first).
void catchStopRequests();
bool waitForStopRequest(std::uint32_t timeoutMs);

// Where a result was measured, as the OS and the CPU say it: a figure from a
// virtual machine, or with a fallback clock source, means something else.
// What the OS cannot tell stays "unknown" (text) or 0 (count).
struct MachineFacts
{
    std::string kernel;                // Linux: uname's system, release, version
    std::string clockSource;           // Linux: the clocksource in use (tsc, kvm-clock, hpet...)
    std::string availableClockSources; // Linux: the ones it could fall back to
    std::string cpuModel;
    int cpuCount = 0;                // logical CPUs online
    std::string hypervisor;          // "yes", "no" or "unknown"
    std::string hypervisorVendor;    // e.g. "KVM", when the CPU or the OS names it
    std::string hypervisorSignature; // the CPU's own 12 bytes (cpuid 0x40000000)
};
MachineFacts machineFacts();

// CPU time the hypervisor gave to others while this machine's CPUs were
// ready to run ("steal"), summed over all CPUs, in nanoseconds since boot;
// -1 where the OS does not count it. Two readings give a run's share.
std::int64_t stealNanos();

// The scheduler's base priority, 1 to 31, that Windows gives a thread of this
// level in a process of this class.
int windowsBasePriority(ProcessClass processClass, ThreadLevel level);

// What this OS's layer asks the scheduler for, for a thread of this level in
// a process of this class, before any limit: what the granted scheduling is
// measured against. Defined by the per-OS file.
ThreadScheduling requestedScheduling(ProcessClass processClass, ThreadLevel level);

// How a user gets the priorities this OS refused, in a sentence's second
// half. Defined by the per-OS file.
std::string priorityAdvice();

// What the OS granted for a request that may be refused: granted or not,
// and in words what was done or why not (the OS's error, the limit).
struct Outcome
{
    bool granted = false;
    std::string detail;
};

// ---- CPUs

// CPU numbers as the OS counts them, ascending.
using CpuList = std::vector<int>;

// "0,2-3" for {0, 2, 3}: the kernel's own list format (cpuset(7)).
std::string formatCpuList(const CpuList &cpus);

// A CPU list as a user writes it ("0", "0,2-3", "all") within the CPUs the
// process may use: the CPUs, or empty with the reason in error. "all" is
// every allowed CPU. Pure.
struct CpuListParse
{
    CpuList cpus;
    std::string error;
};
CpuListParse parseCpuList(const std::string &text, const CpuList &allowed);

// The CPUs this process may run on (Linux: its affinity as it started,
// before any thread was pinned; Windows: the process's affinity mask).
// Empty when the OS does not say.
CpuList allowedCpus();
// The CPUs the calling thread may run on now.
CpuList currentThreadCpus();
// Pins the calling thread to one CPU; refused, with the reason, for a CPU
// the process may not use.
Outcome pinCurrentThread(int cpu);

// ---- Memory

// A stretch of memory the measurement touches on the tick path.
struct MemoryRegion
{
    void *start = nullptr;
    std::size_t bytes = 0;
};

// Gives every thread started from now on a stack of 1 MiB, ample for every
// thread here. Call it first in main: on Linux locked memory (below) keeps
// each thread's whole stack resident, and the default of 8 MiB per thread
// would be locked in full.
void useSmallThreadStacks();

// Keeps the process's memory in RAM while held, so that no tick waits for a
// page to come back. Linux: all of it, present and future (mlockall), and
// only where the process may lock without limit (CAP_IPC_LOCK, or an
// unlimited RLIMIT_MEMLOCK): under a finite limit every later allocation
// past it would fail. Windows: the given regions (VirtualLock), with the
// working set raised to hold them. release (also the destructor) unlocks.
class MemoryLock
{
public:
    MemoryLock() = default;
    MemoryLock(const MemoryLock &) = delete;
    MemoryLock &operator=(const MemoryLock &) = delete;
    ~MemoryLock() { release(); }

    const Outcome &acquire(const std::vector<MemoryRegion> &regions = {});
    void release();
    bool held() const { return outcome.granted; }
    const Outcome &result() const { return outcome; }

private:
    Outcome outcome;
    std::vector<MemoryRegion> locked;
    std::size_t raisedBy = 0;
};

// The OS's page size in bytes.
std::size_t pageSize();
// Writes every page of a region once (each byte written back as it was), so
// its pages exist before the first tick rather than at a page fault on it.
void prefault(const MemoryRegion &region);
// The same for the calling thread's stack, this many bytes below the
// caller's frame; the thread's stack must have that much room left.
void prefaultStack(std::size_t bytes);

// ---- Power states

// Holds the CPUs out of idle states slower to leave than the given latency
// while held. Linux: a request on /dev/cpu_dma_latency, which the kernel
// keeps as long as the descriptor stays open (PM QoS); Windows has none and
// says so. release (also the destructor) closes it.
class PowerStateHold
{
public:
    PowerStateHold() = default;
    PowerStateHold(const PowerStateHold &) = delete;
    PowerStateHold &operator=(const PowerStateHold &) = delete;
    ~PowerStateHold() { release(); }

    // latencyUs: 0 keeps every CPU in its shallowest state.
    const Outcome &acquire(std::int32_t latencyUs = 0);
    void release();
    bool held() const { return outcome.granted; }
    const Outcome &result() const { return outcome; }

private:
    Outcome outcome;
    std::intptr_t handle = -1;
};

// ---- Scheduling policies (Linux)

enum class Policy { Fifo, RoundRobin, Other, Batch, Idle };

// "fifo", "rr", "other", "batch", "idle"; false for anything else.
bool parsePolicy(const std::string &text, Policy &policy);
// The name the kernel documents: "SCHED_FIFO" ...
std::string policyName(Policy policy);

// Sets the calling thread's policy and priority directly (priority 1..99
// for fifo and rr, 0 for the others), within the limits the layer applies
// to priority classes: a realtime priority above RLIMIT_RTPRIO comes down to
// it, and none at all leaves the thread as it was. A class set afterwards
// leaves the thread alone. The outcome says what the kernel granted.
// Windows has no policies: refused.
Outcome setCurrentThreadPolicy(Policy policy, int priority);
// Whether a thread of this process would be granted this realtime policy at
// this priority, asked of the limits and tried on a thread that ends at
// once; nothing else changes.
Outcome realtimeWouldBeGranted(Policy policy, int priority);

} // namespace platform

// ---------------------------------------------------------------------------
// Why a tick came late: the sources a spike's cause is read from. The worker
// reads its own counters once, only at a spike; a sampler thread at normal
// priority reads the per-CPU ones every 100 ms. Linux: linuxspikesources.cpp;
// Windows: windowsspikesources.cpp, which has no run-delay, major faults or
// steal, and counts page faults per process. A value the OS cannot tell is
// -1.
namespace platform {

// One thread's scheduler and fault counters at one moment.
struct ThreadCounters
{
    std::int64_t runNs = -1;      // on the CPU
    std::int64_t runDelayNs = -1; // runnable, but waiting for the CPU
    std::int64_t timeslices = -1;
    std::int64_t minorFaults = -1;
    std::int64_t majorFaults = -1;
};

// The calling thread's counters, read by that thread: its schedstat file is
// opened once here and read again at each read() (one pread and one
// getrusage), so a spike costs two system calls and no allocation. Windows:
// ntdll's record of the thread and the process's memory counters, two calls
// as well.
class OwnThreadCounters
{
public:
    OwnThreadCounters();
    ~OwnThreadCounters();
    OwnThreadCounters(const OwnThreadCounters &) = delete;
    OwnThreadCounters &operator=(const OwnThreadCounters &) = delete;
    // Only on the thread that made this reader.
    ThreadCounters read() const;

private:
    std::intptr_t handle = -1;
};

// Another thread of this process, by its id (the sampler reads the
// worker's between spikes).
ThreadCounters threadCounters(std::int64_t threadId);
// The calling thread's id, as threadCounters takes it; -1 when not known.
std::int64_t currentThreadId();
// The calling thread's timer slack in nanoseconds; -1 when not known.
std::int64_t currentThreadTimerSlackNs();

// Sets it (tests only: a cause of spikes to inject); false when refused.
bool setCurrentThreadTimerSlackNs(std::int64_t ns);

// The realtime throttle: realtime tasks get runtime out of every period;
// runtime -1 is no throttling.
struct RealtimeThrottle
{
    std::int64_t periodNs = -1;
    std::int64_t runtimeNs = -1;
};
RealtimeThrottle realtimeThrottle();

// One CPU's counters since boot (cpu -1: all CPUs together): the time the
// hypervisor gave to others, the hardware interrupts and the softirqs.
struct CpuCounters
{
    std::int64_t stealNs = -1;
    std::int64_t interrupts = -1;
    std::int64_t softirqs = -1;
};
CpuCounters cpuCounters(int cpu);

// The one CPU the calling thread may run on, or -1 when it may use more
// (or the OS does not say).
int pinnedCpu();

// Keeps the calling thread off one CPU (the measured one), on every other
// CPU it may use; false when that leaves none or the OS refused.
bool avoidCpu(int cpu);

// Whether the kernel's scheduler tracepoints can be read through
// perf_event_open on a CPU (-1: any), and why not when they cannot.
struct TraceAccess
{
    bool allowed = false;
    std::string reason; // empty when allowed
};
TraceAccess traceAccess(int cpu);

// The facts traceAccess decides on, and the decision as a pure function.
struct TraceFacts
{
    bool privileged = false; // root, CAP_PERFMON or CAP_SYS_ADMIN in effect
    int paranoid = 2;        // /proc/sys/kernel/perf_event_paranoid; 99: unreadable
    bool tracefsFound = false;
    bool idsReadable = false; // sched_switch and sched_waking ids
    int openErrno = -1;       // of a trial perf_event_open; 0: opened; -1: not tried
};
TraceAccess decideTraceAccess(const TraceFacts &facts);

// ---- The scheduler trace (Linux: linuxtrace.cpp; Windows: not available)

// One record of the kernel's trace, on CLOCK_MONOTONIC (the spikes' clock).
enum class TraceKind : std::uint8_t {
    Switch,   // prev* left the CPU, next* took it
    Waking,   // next* was woken (the task; the CPU is the waker's)
    IrqEntry, // number: the interrupt
    IrqExit,
    SoftirqEntry, // number: the softirq vector
    SoftirqExit,
};
struct TraceRecord
{
    std::int64_t timeNs = 0;
    int cpu = -1;
    TraceKind kind = TraceKind::Switch;
    std::int32_t number = -1;
    std::int32_t prevPid = -1;
    // The kernel's prio: 0-99 realtime (99 - rtprio), 100-139 nice + 120.
    std::int32_t prevPrio = -1;
    std::int64_t prevState = 0;
    std::int32_t nextPid = -1;
    std::int32_t nextPrio = -1;
    char prevComm[16] = {};
    char nextComm[16] = {};
};

// Where a tracepoint's fields lie in its raw record, as its tracefs
// "format" file says. A field not found has offset -1.
struct TraceField
{
    int offset = -1;
    int size = 0;
    bool dataLoc = false; // __data_loc: a 32-bit offset (low half) and length (high)
};
struct TraceFormat
{
    std::int64_t id = -1;
    std::vector<std::pair<std::string, TraceField>> fields;
    TraceField field(const std::string &name) const;
};
namespace tracefs {
// An events/<system>/<name>/format file's text; id -1 when it is not one.
TraceFormat parseFormat(const std::string &text);
// One raw record of a known format into a TraceRecord's fields; false when
// the record is shorter than the fields it needs.
bool decodeRaw(TraceKind kind, const TraceFormat &format, const unsigned char *raw,
               std::size_t size, TraceRecord &into);
} // namespace tracefs

// A trace of the scheduler (and, when the kernel allows, interrupts and
// softirqs) on some CPUs: one ring per CPU, opened, drained and closed by
// one thread (the sampler). Memory is bounded by the rings; records the
// kernel could not fit are counted as lost.
class TraceSession
{
public:
    TraceSession();
    ~TraceSession();
    TraceSession(const TraceSession &) = delete;
    TraceSession &operator=(const TraceSession &) = delete;

    // Traces these CPUs; wakings only of this thread (-1: of every task).
    // False with the reason in whyNot() when nothing could be opened.
    bool open(const CpuList &cpus, std::int64_t wakingThreadId);
    // Appends every record the rings hold, each CPU's in time order.
    void drain(std::vector<TraceRecord> &into);
    void close();
    bool isOpen() const { return rings != nullptr; }
    // irq and softirq entries and exits are traced too
    bool interrupts() const { return withInterrupts; }
    std::uint64_t lost() const { return lostRecords; }
    const std::string &whyNot() const { return reason; }

private:
    struct Rings;
    std::unique_ptr<Rings> rings;
    std::string reason;
    std::uint64_t lostRecords = 0;
    bool withInterrupts = false;
};

// The kernel's texts, parsed. Pure functions over what the files hold.
namespace procfs {
// /proc/<pid>/task/<tid>/schedstat: run ns, run-delay ns, timeslices.
bool parseSchedstat(const std::string &text, ThreadCounters &into);
// /proc/<pid>/task/<tid>/stat: minor and major faults.
bool parseTaskStatFaults(const std::string &text, ThreadCounters &into);
// /proc/stat: a CPU's steal, in the kernel's clock ticks (cpu -1: the
// "cpu" line of all of them); -1 when that CPU has no line.
std::int64_t stealTicks(const std::string &text, int cpu);
// /proc/interrupts and /proc/softirqs: one CPU's column summed over every
// row that has a count for each CPU (cpu -1: every column); -1 when that CPU
// has no column.
std::int64_t cpuColumnSum(const std::string &text, int cpu);
} // namespace procfs

} // namespace platform
