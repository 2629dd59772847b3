// SPDX-License-Identifier: MIT
// The OS layer on Windows: Win32 and the multimedia timer API (winmm).
#include "platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// mmsystem.h relies on the types windows.h declares, so it comes second.
#include <mmsystem.h>

namespace platform {

// Here a periodic timer is the waitable timer's HANDLE itself, so nothing is
// allocated; the struct is never defined, only pointed at.

namespace {

HANDLE toHandle(PeriodicTimer *timer)
{
    return reinterpret_cast<HANDLE>(timer);
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

    void sleepMs(std::uint32_t ms) override { Sleep(ms); }

    void setProcessClass(ProcessClass processClass) override
    {
        // In ProcessClass order: Idle, Normal, High, Realtime.
        static const DWORD classes[4] = {
            IDLE_PRIORITY_CLASS,
            NORMAL_PRIORITY_CLASS,
            HIGH_PRIORITY_CLASS,
            REALTIME_PRIORITY_CLASS,
        };
        // Without the increase-base-priority privilege Windows quietly grants
        // High instead of Realtime; the call still succeeds.
        SetPriorityClass(GetCurrentProcess(), classes[static_cast<int>(processClass)]);
    }

    void setCurrentThreadLevel(ThreadLevel level) override
    {
        // In ThreadLevel order, Idle to TimeCritical. Idle and TimeCritical
        // pin the thread to the bottom or top of its class's range.
        static const int levels[7] = {
            THREAD_PRIORITY_IDLE,          THREAD_PRIORITY_LOWEST,
            THREAD_PRIORITY_BELOW_NORMAL,  THREAD_PRIORITY_NORMAL,
            THREAD_PRIORITY_ABOVE_NORMAL,  THREAD_PRIORITY_HIGHEST,
            THREAD_PRIORITY_TIME_CRITICAL,
        };
        // GetCurrentThread() is a pseudo-handle meaning "the caller"; it
        // needs no closing.
        SetThreadPriority(GetCurrentThread(), levels[static_cast<int>(level)]);
    }

    ThreadScheduling currentThreadScheduling() override
    {
        ThreadScheduling granted;
        switch (GetPriorityClass(GetCurrentProcess())) {
        case IDLE_PRIORITY_CLASS:
            granted.policy = "IDLE_PRIORITY_CLASS";
            break;
        case BELOW_NORMAL_PRIORITY_CLASS:
            granted.policy = "BELOW_NORMAL_PRIORITY_CLASS";
            break;
        case NORMAL_PRIORITY_CLASS:
            granted.policy = "NORMAL_PRIORITY_CLASS";
            break;
        case ABOVE_NORMAL_PRIORITY_CLASS:
            granted.policy = "ABOVE_NORMAL_PRIORITY_CLASS";
            break;
        case HIGH_PRIORITY_CLASS:
            granted.policy = "HIGH_PRIORITY_CLASS";
            break;
        case REALTIME_PRIORITY_CLASS:
            granted.policy = "REALTIME_PRIORITY_CLASS";
            break;
        default:
            granted.policy = "unknown";
            break;
        }
        granted.priority = GetThreadPriority(GetCurrentThread());
        return granted;
    }

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

} // namespace platform
