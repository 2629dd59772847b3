// SPDX-License-Identifier: MIT
// The OS layer: every call into the operating system that the measurement
// needs, behind one small interface. Plain C++, no Qt.
//
// One implementation per OS (platform_windows.cpp, platform_linux.cpp, picked
// by CMake) and, under tests/, a recording fake. The engine reaches the
// layer through os(); tests swap the fake in with install().
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

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

// A periodic timer; opaque, each OS defines its own.
struct PeriodicTimer;

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

    // Relative sleep, the wait used when no periodic timer could be set up.
    virtual void sleepMs(std::uint32_t ms) = 0;

    // Priority class of the whole process; every thread keeps its own level.
    virtual void setProcessClass(ProcessClass processClass) = 0;
    // Level of the calling thread within the process's class.
    virtual void setCurrentThreadLevel(ThreadLevel level) = 0;
    // What the calling thread was granted: a refused request leaves less
    // than was asked for.
    virtual ThreadScheduling currentThreadScheduling() = 0;

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

// The scheduler's base priority, 1 to 31, that Windows gives a thread of this
// level in a process of this class.
int windowsBasePriority(ProcessClass processClass, ThreadLevel level);

} // namespace platform
