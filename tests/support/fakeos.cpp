// SPDX-License-Identifier: MIT
#include "fakeos.h"

#include "linuxscheduling.h"

#include <pthread.h>
#include <sched.h>

#include <chrono>
#include <thread>

namespace platform {

namespace {

const char *toString(ProcessClass processClass)
{
    static const char *const names[] = {"Idle", "Normal", "High", "Realtime"};
    return names[static_cast<int>(processClass)];
}

const char *toString(ThreadLevel level)
{
    static const char *const names[] = {"Idle", "Lowest",  "Low",         "Normal",
                                        "High", "Highest", "TimeCritical"};
    return names[static_cast<int>(level)];
}

// The level each thread last set for itself.
thread_local ThreadLevel ownLevel = ThreadLevel::Normal;

} // namespace

void FakeOs::setSchedulingLimits(const SchedulingLimits &newLimits)
{
    std::lock_guard<std::mutex> lock(mutex);
    limits = newLimits;
}

std::vector<std::string> FakeOs::calls(bool withCounterReads) const
{
    std::lock_guard<std::mutex> lock(mutex);
    if (withCounterReads)
        return log;
    std::vector<std::string> filtered;
    for (const std::string &call : log) {
        if (call != "counterValue")
            filtered.push_back(call);
    }
    return filtered;
}

void FakeOs::clearCalls()
{
    std::lock_guard<std::mutex> lock(mutex);
    log.clear();
}

void FakeOs::record(std::string call)
{
    std::lock_guard<std::mutex> lock(mutex);
    log.push_back(std::move(call));
}

void FakeOs::scriptWaits(std::vector<std::int64_t> counts)
{
    std::lock_guard<std::mutex> lock(mutex);
    script.assign(counts.begin(), counts.end());
    scripted = true;
}

// Simulated time moves the counter by the time waited, or by the script's
// next step; a short real pause keeps a waiting loop from spinning while a
// test waits to stop it. The mutex is not held while hanging: a hanging
// thread may be terminated.
void FakeOs::passTime(std::int64_t ms)
{
    std::int64_t counts = ms * frequency.load() / 1000;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (scripted && script.empty()) {
            scripted = false;
            waitsHang.store(true);
        } else if (scripted) {
            counts = script.front();
            script.pop_front();
        }
    }
    if (waitsHang.load() && hangOutlives.load()) {
        // Termination cancels a thread at its next cancellation point; with
        // cancellation off it has none.
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    }
    while (waitsHang.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    value.fetch_add(counts);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

std::int64_t FakeOs::counterFrequency()
{
    record("counterFrequency");
    return frequency.load();
}

std::int64_t FakeOs::counterValue()
{
    record("counterValue");
    return value.load();
}

PeriodicTimer *FakeOs::createPeriodicTimer()
{
    record("createPeriodicTimer");
    return creationFails.load() ? nullptr : reinterpret_cast<PeriodicTimer *>(&timerToken);
}

bool FakeOs::setPeriodicTimer(PeriodicTimer *, int periodMs)
{
    record("setPeriodicTimer(" + std::to_string(periodMs) + ")");
    if (armingFails.load())
        return false;
    armedPeriodMs.store(periodMs);
    return true;
}

void FakeOs::waitPeriodicTimer(PeriodicTimer *, std::uint32_t timeoutMs)
{
    record("waitPeriodicTimer(" + std::to_string(timeoutMs) + ")");
    passTime(armedPeriodMs.load());
}

void FakeOs::closePeriodicTimer(PeriodicTimer *)
{
    record("closePeriodicTimer");
}

void FakeOs::scriptStamps(std::vector<std::int64_t> stampsNs)
{
    std::lock_guard<std::mutex> lock(mutex);
    stamps.assign(stampsNs.begin(), stampsNs.end());
}

bool FakeOs::enableReceiveStamps(std::intptr_t)
{
    return !stampsRefused.load();
}

PendingDatagram FakeOs::peekDatagram(std::intptr_t socket)
{
    PendingDatagram next = nativeOs().peekDatagram(socket);
    next.stamped = false;
    std::lock_guard<std::mutex> lock(mutex);
    if (next.size >= 0 && !stampsRefused.load() && !stamps.empty()) {
        next.stamped = true;
        next.stampNs = stamps.front();
        stamps.pop_front();
    }
    return next;
}

std::int64_t FakeOs::stampClockNs()
{
    return value.load() * 1000000000 / frequency.load() + stampOffset.load();
}

void FakeOs::sleepMs(std::uint32_t ms)
{
    record("sleepMs(" + std::to_string(ms) + ")");
    passTime(ms);
}

// A thread at nice 0 under SCHED_OTHER, as a process starts, asked for this
// class: whether it could come back, as the Linux layer decides it.
bool FakeOs::setProcessClass(ProcessClass newClass)
{
    record(std::string("setProcessClass(") + toString(newClass) + ")");
    std::lock_guard<std::mutex> lock(mutex);
    processClass = newClass;
    const linuxsched::KernelScheduling start{SCHED_OTHER, 0, 0};
    return linuxsched::mayReturn(
        limits, start,
        linuxsched::schedulingForBase(windowsBasePriority(newClass, ThreadLevel::Normal), limits,
                                      0));
}

bool FakeOs::setCurrentThreadLevel(ThreadLevel level)
{
    record(std::string("setCurrentThreadLevel(") + toString(level) + ")");
    ownLevel = level;
    return true;
}

void FakeOs::keepCurrentThreadNormal()
{
    record("keepCurrentThreadNormal");
}

void FakeOs::setRunThreadLevel(ThreadLevel level)
{
    record(std::string("setRunThreadLevel(") + toString(level) + ")");
    ownLevel = level;
}

void FakeOs::restoreScheduling()
{
    record("restoreScheduling");
    std::lock_guard<std::mutex> lock(mutex);
    processClass = ProcessClass::Normal;
}

// A thread that starts at SCHED_OTHER and nice 0 keeps that where the limits
// allow it nothing of what it asked for.
ThreadScheduling FakeOs::currentThreadScheduling()
{
    std::lock_guard<std::mutex> lock(mutex);
    linuxsched::KernelScheduling granted =
        linuxsched::schedulingForBase(windowsBasePriority(processClass, ownLevel), limits, 0);
    if (granted.policy == linuxsched::KeepPolicy)
        granted = {SCHED_OTHER, 0, 0};
    return linuxsched::describe(granted);
}

SchedulingLimits FakeOs::schedulingLimits()
{
    std::lock_guard<std::mutex> lock(mutex);
    return limits;
}

void FakeOs::beginTimerResolution(std::uint32_t periodMs)
{
    record("beginTimerResolution(" + std::to_string(periodMs) + ")");
}

void FakeOs::endTimerResolution(std::uint32_t periodMs)
{
    record("endTimerResolution(" + std::to_string(periodMs) + ")");
}

} // namespace platform
