// SPDX-License-Identifier: MIT
// A stand-in OS layer for tests: a counter the test sets by hand, timers that
// run on that counter instead of real time, and a log of every call in order.
#pragma once

#include "platform.h"

#include <atomic>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace platform {

class FakeOs final : public Os
{
public:
    // Counter: frequency and value as the test sets them. Starts at
    // 1,000,000,000 counts per second and value 0.
    void setFrequency(std::int64_t countsPerSecond) { frequency.store(countsPerSecond); }
    void setCounter(std::int64_t count) { value.store(count); }
    void advanceCounter(std::int64_t counts) { value.fetch_add(counts); }

    // Make the next timers fail at creation or at arming.
    void setTimerCreationFails(bool fails) { creationFails.store(fails); }
    void setTimerArmingFails(bool fails) { armingFails.store(fails); }

    // While set, every wait and sleep blocks in real time, so a worker in its
    // clock loop never looks at its stop request: the seam for termination.
    void setWaitsHang(bool hang) { waitsHang.store(hang); }
    // While set, a hanging wait does not even end when its thread is
    // terminated: the seam for a worker that outlives its termination.
    void setHangOutlivesTermination(bool outlives) { hangOutlives.store(outlives); }

    // How far the counter moves at each of the next waits and sleeps, in
    // counts, in order. Once they are used up the waits hang as above, so a
    // worker's statistics stay exactly as the script left them until the
    // test lets go with setWaitsHang(false).
    void scriptWaits(std::vector<std::int64_t> counts);

    // The scheduler's limits the fake plays out: what the calling thread is
    // granted, and whether a class is left out, follow the Linux layer's
    // mapping within them. Privileged unless set.
    void setSchedulingLimits(const SchedulingLimits &limits);
    // Receive stamps: the size of a pending datagram comes from the real
    // socket; its stamp, in nanoseconds, from this script, one per datagram
    // looked at (none once it is used up), and the stamp clock lies offset
    // nanoseconds ahead of the counter. Refused stamps make enabling fail
    // and every datagram come unstamped. These calls are not logged.
    void scriptStamps(std::vector<std::int64_t> stampsNs);
    void setStampClockOffset(std::int64_t offsetNs) { stampOffset.store(offsetNs); }
    void setStampsRefused(bool refused) { stampsRefused.store(refused); }
    // What currentThreadCpuTime and socketDropCount answer, in nanoseconds
    // and datagrams; both start at 0. Reads, not logged.
    void setThreadCpuTime(std::int64_t nanoseconds) { cpuTime.store(nanoseconds); }
    void setSocketDrops(std::int64_t drops) { socketDrops.store(drops); }

    // Every call so far, e.g. "setPeriodicTimer(3)"; counter reads
    // ("counterValue") only when asked for, since every tick makes one.
    std::vector<std::string> calls(bool withCounterReads = false) const;
    void clearCalls();

    std::int64_t counterFrequency() override;
    std::int64_t counterValue() override;
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
    ThreadScheduling currentThreadScheduling() override; // reads: not logged
    SchedulingLimits schedulingLimits() override;
    void keepCurrentThreadNormal() override;
    void beginTimerResolution(std::uint32_t periodMs) override;
    void endTimerResolution(std::uint32_t periodMs) override;
    std::int64_t currentThreadCpuTime() override { return cpuTime.load(); }
    std::int64_t socketDropCount(std::intptr_t) override { return socketDrops.load(); }

private:
    void record(std::string call);
    void passTime(std::int64_t ms);

    mutable std::mutex mutex;
    std::vector<std::string> log;
    std::deque<std::int64_t> script; // under mutex
    bool scripted = false;
    std::atomic<std::int64_t> frequency{1000000000};
    std::atomic<std::int64_t> value{0};
    std::atomic<bool> creationFails{false};
    std::atomic<bool> armingFails{false};
    std::atomic<bool> waitsHang{false};
    std::atomic<bool> hangOutlives{false};
    std::atomic<int> armedPeriodMs{0};
    SchedulingLimits limits;                          // under mutex
    ProcessClass processClass = ProcessClass::Normal; // under mutex
    std::deque<std::int64_t> stamps;                  // under mutex
    std::atomic<std::int64_t> stampOffset{0};
    std::atomic<bool> stampsRefused{false};
    std::atomic<std::int64_t> cpuTime{0};
    std::atomic<std::int64_t> socketDrops{0};
    char timerToken = 0; // what the fake's timer handle points at
};

} // namespace platform
