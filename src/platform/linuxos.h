// SPDX-License-Identifier: MIT
// What the Linux side of the OS layer shares between its files: the Os it
// implements and a few helpers. Not part of the layer's interface.
#pragma once

#include "linuxscheduling.h"
#include "platform.h"

#include <sys/types.h>

#include <cstdint>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>

namespace platform {

constexpr std::int64_t NanosPerSecond = 1000000000;

inline std::int64_t monotonicNanos()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t(now.tv_sec) * NanosPerSecond + now.tv_nsec;
}

inline timespec toTimespec(std::int64_t nanos)
{
    timespec ts{};
    ts.tv_sec = time_t(nanos / NanosPerSecond);
    ts.tv_nsec = long(nanos % NanosPerSecond);
    return ts;
}

// The kernel's text for an errno value, and the value.
inline std::string errorText(int error)
{
    return std::string(std::strerror(error)) + " (errno " + std::to_string(error) + ")";
}

// Whether the process holds a capability where the scheduler checks it.
bool holdsCapability(int capability);

// A file's whole text; empty when it cannot be read.
std::string readWhole(const std::string &path);

// Where tracefs is mounted (or, on older systems, under debugfs); empty
// when neither is.
std::string tracefsRoot();

// One tracepoint as the trace opens it, on one CPU, stamped on
// CLOCK_MONOTONIC; group -1 makes a disabled leader. The descriptor, or -1
// with errno set.
long openTracepoint(std::int64_t id, int cpu, int group);

using linuxsched::KernelScheduling;

// Timers, datagrams and clocks in linuxtimers.cpp; scheduling in
// platform_linux.cpp.
class LinuxOs final : public Os
{
public:
    std::int64_t counterFrequency() override { return NanosPerSecond; }
    std::int64_t counterValue() override { return monotonicNanos(); }
    PeriodicTimer *createPeriodicTimer() override;
    bool setPeriodicTimer(PeriodicTimer *timer, int periodMs) override;
    void waitPeriodicTimer(PeriodicTimer *timer, std::uint32_t timeoutMs) override;
    void closePeriodicTimer(PeriodicTimer *timer) override;
    bool enableReceiveStamps(std::intptr_t socket) override;
    PendingDatagram peekDatagram(std::intptr_t socket) override;
    std::int64_t stampClockNs() override;
    void sleepMs(std::uint32_t ms) override;
    bool setProcessClass(ProcessClass processClass) override;
    bool setCurrentThreadLevel(ThreadLevel level) override;
    void setRunThreadLevel(ThreadLevel level) override;
    void restoreScheduling() override;
    void keepCurrentThreadNormal() override;
    Outcome setOwnPolicy(int policy, int priority);
    ThreadScheduling currentThreadScheduling() override;
    SchedulingLimits schedulingLimits() override;
    void beginTimerResolution(std::uint32_t periodMs) override;
    void endTimerResolution(std::uint32_t periodMs) override;
    std::int64_t currentThreadCpuTime() override;
    std::int64_t socketDropCount(std::intptr_t socket) override;

private:
    static bool accepted(std::uint32_t periodMs) { return periodMs >= 1 && periodMs <= 1000000; }
    void rememberOriginals();
    KernelScheduling originalOf(pid_t tid) const;
    bool apply(pid_t tid, int base, bool ofARun, const SchedulingLimits &limits);
    std::mutex mutex;
    ProcessClass currentClass = ProcessClass::Normal;
    std::map<pid_t, ThreadLevel> levels; // threads whose level was set; the rest are Normal
    std::set<pid_t> runThreads;          // threads that end with their run
    std::map<pid_t, KernelScheduling> originals;
    std::optional<KernelScheduling> baseline;
    std::set<pid_t> normalThreads; // left alone by classes: kept normal, or set directly
};

} // namespace platform
