// SPDX-License-Identifier: MIT
#include "fakeos.h"

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

} // namespace

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

void FakeOs::sleepMs(std::uint32_t ms)
{
    record("sleepMs(" + std::to_string(ms) + ")");
    passTime(ms);
}

void FakeOs::setProcessClass(ProcessClass processClass)
{
    record(std::string("setProcessClass(") + toString(processClass) + ")");
}

void FakeOs::setCurrentThreadLevel(ThreadLevel level)
{
    record(std::string("setCurrentThreadLevel(") + toString(level) + ")");
}

void FakeOs::keepCurrentThreadNormal()
{
    record("keepCurrentThreadNormal");
}

ThreadScheduling FakeOs::currentThreadScheduling()
{
    return ThreadScheduling{"fake", 0, 0};
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
