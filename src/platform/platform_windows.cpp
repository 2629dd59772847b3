// SPDX-License-Identifier: MIT
// The OS layer on Windows: Win32 and the multimedia timer API (winmm).
#include "platform.h"

#include "cpufacts.h"
#include "windowsos.h"

// mmsystem.h relies on the types windows.h declares, so it comes second.
#include <mmsystem.h>

#include <mutex>

namespace platform {

// Here a periodic timer is the waitable timer's HANDLE itself, so nothing is
// allocated; the struct is never defined, only pointed at.

namespace {

HANDLE toHandle(PeriodicTimer *timer)
{
    return reinterpret_cast<HANDLE>(timer);
}

// In ProcessClass order: Idle, Normal, High, Realtime.
const DWORD classes[4] = {
    IDLE_PRIORITY_CLASS,
    NORMAL_PRIORITY_CLASS,
    HIGH_PRIORITY_CLASS,
    REALTIME_PRIORITY_CLASS,
};

// In ThreadLevel order, Idle to TimeCritical. Idle and TimeCritical pin the
// thread to the bottom or top of its class's range.
const int levels[7] = {
    THREAD_PRIORITY_IDLE,          THREAD_PRIORITY_LOWEST,       THREAD_PRIORITY_BELOW_NORMAL,
    THREAD_PRIORITY_NORMAL,        THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_HIGHEST,
    THREAD_PRIORITY_TIME_CRITICAL,
};

std::string className(DWORD priorityClass)
{
    switch (priorityClass) {
    case IDLE_PRIORITY_CLASS:
        return "IDLE_PRIORITY_CLASS";
    case BELOW_NORMAL_PRIORITY_CLASS:
        return "BELOW_NORMAL_PRIORITY_CLASS";
    case NORMAL_PRIORITY_CLASS:
        return "NORMAL_PRIORITY_CLASS";
    case ABOVE_NORMAL_PRIORITY_CLASS:
        return "ABOVE_NORMAL_PRIORITY_CLASS";
    case HIGH_PRIORITY_CLASS:
        return "HIGH_PRIORITY_CLASS";
    case REALTIME_PRIORITY_CLASS:
        return "REALTIME_PRIORITY_CLASS";
    default:
        return "unknown";
    }
}

class WindowsOs final : public Os
{
public:
    std::int64_t counterFrequency() override
    {
        // Zeroed first: the frequency is 0 when the machine has no counter,
        // and a failed call then also reads as 0.
        LARGE_INTEGER frequency;
        frequency.QuadPart = 0;
        QueryPerformanceFrequency(&frequency);
        return frequency.QuadPart;
    }

    std::int64_t counterValue() override
    {
        LARGE_INTEGER value;
        value.QuadPart = 0;
        QueryPerformanceCounter(&value);
        return value.QuadPart;
    }

    PeriodicTimer *createPeriodicTimer() override
    {
        // Manual reset FALSE makes a synchronization timer: each expiry
        // releases one wait, and expiries that pass while it is still
        // signalled merge into one. Failure returns NULL, not
        // INVALID_HANDLE_VALUE.
        HANDLE handle = CreateWaitableTimerW(nullptr, FALSE, nullptr);
        return reinterpret_cast<PeriodicTimer *>(handle);
    }

    bool setPeriodicTimer(PeriodicTimer *timer, int periodMs) override
    {
        // A positive due time is absolute, in 100 ns units since 1601; 0 is
        // therefore long past and the first expiry happens at once.
        LARGE_INTEGER due;
        due.QuadPart = 0;
        return SetWaitableTimer(toHandle(timer), &due, periodMs, nullptr, nullptr, TRUE) != 0;
    }

    void waitPeriodicTimer(PeriodicTimer *timer, std::uint32_t timeoutMs) override
    {
        WaitForSingleObject(toHandle(timer), timeoutMs);
    }

    void closePeriodicTimer(PeriodicTimer *timer) override { CloseHandle(toHandle(timer)); }

    // No kernel receive stamps here: every datagram comes unstamped and its
    // size is left to the caller. (Windows 10 2004 and later can stamp
    // received datagrams through the SIO_TIMESTAMPING ioctl and WSARecvMsg;
    // this layer does not use it.)
    bool enableReceiveStamps(std::intptr_t) override { return false; }
    PendingDatagram peekDatagram(std::intptr_t) override { return PendingDatagram(); }
    std::int64_t stampClockNs() override { return 0; }

    void sleepMs(std::uint32_t ms) override { Sleep(ms); }

    bool setProcessClass(ProcessClass processClass) override
    {
        // Without the increase-base-priority privilege Windows quietly grants
        // High instead of Realtime; the call still succeeds. Windows needs
        // no right to go back to Normal, so nothing is ever left out.
        SetPriorityClass(GetCurrentProcess(), classes[static_cast<int>(processClass)]);
        return true;
    }

    bool setCurrentThreadLevel(ThreadLevel level) override
    {
        // GetCurrentThread() is a pseudo-handle meaning "the caller"; it
        // needs no closing.
        SetThreadPriority(GetCurrentThread(), levels[static_cast<int>(level)]);
        return true;
    }

    void setRunThreadLevel(ThreadLevel level) override { setCurrentThreadLevel(level); }

    void restoreScheduling() override
    {
        SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS);
        SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
    }

    // A realtime class raises every thread of the process and no level
    // leaves it; the Normal level is the nearest to "normal".
    void keepCurrentThreadNormal() override
    {
        SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
    }

    ThreadScheduling currentThreadScheduling() override
    {
        ThreadScheduling granted;
        granted.policy = className(GetPriorityClass(GetCurrentProcess()));
        granted.priority = GetThreadPriority(GetCurrentThread());
        return granted;
    }

    SchedulingLimits schedulingLimits() override { return SchedulingLimits(); }

    void beginTimerResolution(std::uint32_t periodMs) override
    {
        // timeBeginPeriod answers TIMERR_NOCANDO for a value outside the
        // supported range and then changes nothing.
        timeBeginPeriod(periodMs);
    }

    void endTimerResolution(std::uint32_t periodMs) override { timeEndPeriod(periodMs); }

    std::int64_t currentThreadCpuTime() override
    {
        // Kernel and user time in 100 ns units, advanced at the clock
        // interrupt: coarse, but exact enough over the second it is read for.
        FILETIME created, exited, kernel, user;
        if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user))
            return -1;
        const auto units = [](const FILETIME &time) {
            return (std::int64_t(time.dwHighDateTime) << 32) | std::int64_t(time.dwLowDateTime);
        };
        return (units(kernel) + units(user)) * 100;
    }

    // Winsock keeps no count of the datagrams it drops for a socket.
    std::int64_t socketDropCount(std::intptr_t) override { return -1; }
};

// Set by the console's control handler, which Windows runs in a thread of
// its own; manual reset, so a request stays seen.
HANDLE stopEvent = nullptr;

BOOL WINAPI onConsoleControl(DWORD type)
{
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT)
        return FALSE; // closing or logging off: Windows' default
    SetEvent(stopEvent);
    return TRUE;
}

} // namespace

Os &nativeOs()
{
    static WindowsOs instance;
    return instance;
}

ThreadScheduling requestedScheduling(ProcessClass processClass, ThreadLevel level)
{
    ThreadScheduling asked;
    asked.policy = className(classes[static_cast<int>(processClass)]);
    asked.priority = levels[static_cast<int>(level)];
    return asked;
}

std::string priorityAdvice()
{
    return "run it as an administrator: Windows grants the Realtime class only with the "
           "increase-scheduling-priority privilege";
}

void catchStopRequests()
{
    if (!stopEvent)
        stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

bool waitForStopRequest(std::uint32_t timeoutMs)
{
    if (!stopEvent) {
        Sleep(timeoutMs); // no event could be made: still wait, never spin
        return false;
    }
    return WaitForSingleObject(stopEvent, timeoutMs) == WAIT_OBJECT_0;
}

MachineFacts machineFacts()
{
    MachineFacts facts;
    // GetVersionEx answers what the program's manifest claims to support;
    // ntdll's RtlGetVersion answers the real version.
    facts.kernel = "Windows";
    using RtlGetVersionCall = LONG(WINAPI *)(OSVERSIONINFOW *);
    if (const auto rtlGetVersion = ntdllCall<RtlGetVersionCall>("RtlGetVersion")) {
        OSVERSIONINFOW version{};
        version.dwOSVersionInfoSize = sizeof version;
        if (rtlGetVersion(&version) == 0)
            facts.kernel += " " + std::to_string(version.dwMajorVersion) + "." +
                std::to_string(version.dwMinorVersion) + "." +
                std::to_string(version.dwBuildNumber);
    }
    // Windows picks the counter's hardware itself and says only its rate.
    facts.clockSource =
        "QueryPerformanceCounter at " + std::to_string(nativeOs().counterFrequency()) + " Hz";

    const detail::CpuFacts cpu = detail::cpuFacts();
    facts.cpuModel = cpu.brand.empty() ? "unknown" : cpu.brand;
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    facts.cpuCount = int(system.dwNumberOfProcessors);
    facts.hypervisor = cpu.known ? (cpu.hypervisor ? "yes" : "no") : "unknown";
    facts.hypervisorSignature = cpu.signature;
    facts.hypervisorVendor = detail::hypervisorName(cpu.signature);
    return facts;
}

// Windows keeps no steal time a program can read.
std::int64_t stealNanos()
{
    return -1;
}

// ---- CPUs, memory, power states, policies

namespace {

// Affinity masks cover the first processor group only (64 CPUs, 32 for a
// 32-bit process): the CPUs a program sees unless it asks for groups.
constexpr int MaskBits = int(sizeof(DWORD_PTR) * 8);

CpuList cpusOf(DWORD_PTR mask)
{
    CpuList cpus;
    for (int cpu = 0; cpu < MaskBits; ++cpu) {
        if (mask & (DWORD_PTR(1) << cpu))
            cpus.push_back(cpu);
    }
    return cpus;
}

std::string errorText(DWORD error)
{
    char *text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<char *>(&text), 0, nullptr);
    std::string said = length && text ? std::string(text, length) : std::string("error");
    LocalFree(text);
    while (!said.empty() && (said.back() == '\n' || said.back() == '\r' || said.back() == ' '))
        said.pop_back();
    return said + " (error " + std::to_string(error) + ")";
}

// The working set raised for every holder's regions together.
std::mutex workingSetMutex;

const char *const NoPolicies = "scheduling policies are Linux's; on Windows a thread takes a "
                               "priority class and level instead";

} // namespace

CpuList allowedCpus()
{
    DWORD_PTR process = 0, system = 0;
    return GetProcessAffinityMask(GetCurrentProcess(), &process, &system) ? cpusOf(process)
                                                                          : CpuList();
}

// Win32 has no call that reads a thread's affinity; ntdll's basic
// information about a thread carries it.
CpuList currentThreadCpus()
{
    struct BasicInformation
    {
        LONG exitStatus;
        PVOID teb;
        HANDLE process;
        HANDLE thread;
        ULONG_PTR affinity;
        LONG priority;
        LONG basePriority;
    };
    const QueryThread query = queryThread();
    if (!query)
        return CpuList();
    BasicInformation info{};
    if (query(GetCurrentThread(), 0 /* ThreadBasicInformation */, &info, sizeof info, nullptr) != 0)
        return CpuList();
    return cpusOf(info.affinity);
}

Outcome pinCurrentThread(int cpu)
{
    Outcome outcome;
    const CpuListParse check = parseCpuList(std::to_string(cpu), allowedCpus());
    if (cpu < 0 || cpu >= MaskBits || !check.error.empty()) {
        outcome.detail =
            check.error.empty() ? "CPU " + std::to_string(cpu) + " is no CPU here" : check.error;
        return outcome;
    }
    if (SetThreadAffinityMask(GetCurrentThread(), DWORD_PTR(1) << cpu) == 0) {
        outcome.detail =
            "not pinned to CPU " + std::to_string(cpu) + ": " + errorText(GetLastError());
        return outcome;
    }
    outcome.granted = true;
    outcome.detail = "pinned to CPU " + std::to_string(cpu);
    return outcome;
}

std::size_t pageSize()
{
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    return system.dwPageSize;
}

// Only the given regions are locked here, so a stack's size costs nothing.
void useSmallThreadStacks() { }

// Windows locks no more pages than the minimum working set allows, so the
// minimum (and the maximum with it) is raised by the regions' size first.
const Outcome &MemoryLock::acquire(const std::vector<MemoryRegion> &regions)
{
    if (outcome.granted)
        return outcome;
    outcome = Outcome();
    const std::size_t page = pageSize();
    std::size_t total = 0;
    for (const MemoryRegion &region : regions)
        total += (region.bytes + 2 * page - 1) / page * page; // a region may straddle a page
    if (total == 0) {
        outcome.detail = "not locked: Windows locks named regions only (VirtualLock), and none "
                         "were given";
        return outcome;
    }
    std::lock_guard<std::mutex> lock(workingSetMutex);
    SIZE_T minimum = 0, maximum = 0;
    if (!GetProcessWorkingSetSize(GetCurrentProcess(), &minimum, &maximum) ||
        !SetProcessWorkingSetSize(GetCurrentProcess(), minimum + total, maximum + total)) {
        outcome.detail = "not locked: raising the working set: " + errorText(GetLastError());
        return outcome;
    }
    raisedBy = total;
    for (const MemoryRegion &region : regions) {
        if (region.bytes == 0)
            continue;
        if (!VirtualLock(region.start, region.bytes)) {
            const DWORD error = GetLastError();
            for (const MemoryRegion &done : locked)
                VirtualUnlock(done.start, done.bytes);
            locked.clear();
            SetProcessWorkingSetSize(GetCurrentProcess(), minimum, maximum);
            raisedBy = 0;
            outcome.detail = "not locked: VirtualLock: " + errorText(error);
            return outcome;
        }
        locked.push_back(region);
    }
    outcome.granted = true;
    outcome.detail = "locked (VirtualLock, " + std::to_string(total / 1024) +
        " kB, working set raised by as much)";
    return outcome;
}

void MemoryLock::release()
{
    if (!outcome.granted)
        return;
    for (const MemoryRegion &region : locked)
        VirtualUnlock(region.start, region.bytes);
    locked.clear();
    std::lock_guard<std::mutex> lock(workingSetMutex);
    SIZE_T minimum = 0, maximum = 0;
    if (GetProcessWorkingSetSize(GetCurrentProcess(), &minimum, &maximum) && minimum >= raisedBy &&
        maximum >= raisedBy)
        SetProcessWorkingSetSize(GetCurrentProcess(), minimum - raisedBy, maximum - raisedBy);
    raisedBy = 0;
    outcome = Outcome();
}

const Outcome &PowerStateHold::acquire(std::int32_t)
{
    outcome = Outcome();
    outcome.detail = "not available on Windows: it offers a program no request that keeps the "
                     "CPUs out of deep idle states (Linux's /dev/cpu_dma_latency)";
    return outcome;
}

void PowerStateHold::release()
{
    handle = -1;
    outcome = Outcome();
}

Outcome setCurrentThreadPolicy(Policy, int)
{
    return {false, NoPolicies};
}

Outcome realtimeWouldBeGranted(Policy, int)
{
    return {false, NoPolicies};
}

} // namespace platform
