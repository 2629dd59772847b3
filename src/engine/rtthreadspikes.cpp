// SPDX-License-Identifier: MIT
// The worker's side of the spikes: its own counters' reader, the record of a
// spike from the tick's rare branch, and the sampler that judges them.
#include "rtthread.h"

#include "platform.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>

// The worker at its run's start: its own counters' reader, made here since
// it reads the thread that makes it, and the facts the sampler asks for.
void RtThread::startSpikeWatch()
{
    faultPages = qEnvironmentVariableIntValue("VANTREL_TEST_FAULT_PAGES");
    faultEveryTicks =
        faultPages > 0 ? std::max(1, qEnvironmentVariableIntValue("VANTREL_TEST_FAULT_EVERY")) : 0;
    faultCountdown = faultEveryTicks;
    if (const int slack = qEnvironmentVariableIntValue("VANTREL_TEST_TIMER_SLACK_NS"); slack > 0)
        platform::setCurrentThreadTimerSlackNs(slack);
    ownCounters = std::make_unique<platform::OwnThreadCounters>();
    watchStartNs.store(spikeClockNs() - qint64(stopwatch.elapsedSeconds() * 1e9),
                       std::memory_order_relaxed);
    watchThreadId = platform::currentThreadId();
    watchSlackNs = platform::currentThreadTimerSlackNs();
    watchCpu = platform::pinnedCpu();
    platform::ThreadScheduling now;
    watchRealtime =
        grantedScheduling(&now) && (now.policy == "SCHED_FIFO" || now.policy == "SCHED_RR");
    watchReady.store(true, std::memory_order_release);
}

// The rare branch of a tick: the record first, the worker's own counters
// read once after it. The time is taken anew on the sampler's clock.
void RtThread::noteSpike(double now, qint64 lateNs, double intervalSeconds)
{
    SpikeRecord *slot = spikeRing.claim();
    if (!slot)
        return;
    slot->tick = ticks.ticks();
    slot->timeNs = spikeClockNs() - qint64((stopwatch.elapsedSeconds() - now) * 1e9);
    slot->intervalNs = qint64(intervalSeconds * 1e9);
    // A receive wake-up has no deadline: its interval stands for lateness.
    slot->latenessNs = lateNs == LatenessRecorder::NoLateness ? slot->intervalNs : lateNs;
    slot->counters = ownCounters ? ownCounters->read() : platform::ThreadCounters();
    spikeRing.publish();
}

// On the thread that starts the run (normal priority): the sampler waits
// there for the worker's facts, then publishes the threshold after each
// snapshot from the lateness so far.
void RtThread::startSpikeSampler()
{
    watchReady.store(false, std::memory_order_relaxed);
    spikeAboveNs.store(spikeGivenNs > 0 ? spikeGivenNs : NoSpikes, std::memory_order_relaxed);
    intervalAboveNs.store(spikeGivenNs > 0 ? spikeGivenNs : NoSpikes, std::memory_order_relaxed);
    SpikeSampler::Settings wanted;
    const int period = clockPeriodMs();
    wanted.tickPeriodNs = period > 0 ? qint64(period) * 1000000 : 0;
    const auto median = [this] {
        const LatenessStatistics now = lateness();
        return now.wakeUps > 0 ? qint64(now.percentile(500) * 1e9) : qint64(-1);
    };
    wanted.medianLatenessNs = median;
    // The kernel stamps its trace on CLOCK_MONOTONIC, the native counter's
    // clock; a test's fake counter is not.
    if (!runSettings.trace)
        wanted.noTrace = "not asked for: vantrel-cli --trace, or \"Trace the scheduler\" in the "
                          "window's menu";
    else if (&platform::os() != &platform::nativeOs())
        wanted.noTrace = "not asked for (the run's clock is not the kernel's)";
    else
        wanted.noTrace.clear();
    wanted.fromWorker = [this](SpikeSampler::Settings &into) {
        if (!watchReady.load(std::memory_order_acquire))
            return false;
        into.workerThreadId = watchThreadId;
        into.timerSlackNs = watchSlackNs;
        into.cpu = watchCpu;
        into.realtime = watchRealtime;
        return true;
    };
    wanted.everySnapshot = [this, median] {
        if (spikeGivenNs > 0)
            return;
        const qint64 usual = median();
        if (usual >= 0)
            spikeAboveNs.store(spikeThresholdNs(usual), std::memory_order_relaxed);
    };
    spikeSampler.start(wanted);
}

SpikeReport RtThread::spikes() const
{
    SpikeReport report;
    report.store = spikeSampler.store();
    report.sources = spikeSampler.sources();
    const qint64 above = spikeAboveNs.load(std::memory_order_relaxed);
    report.thresholdNs = above == NoSpikes ? -1 : above;
    report.given = spikeGivenNs > 0;
    report.dropped = spikeRing.dropped();
    report.samplerOffCpu = spikeSampler.offMeasuredCpu();
    report.startNs = watchStartNs.load(std::memory_order_relaxed);
    return report;
}

// Test knob: page faults on the worker, as a run that touches fresh memory
// would take. 64 MiB is above the largest size the C library serves from
// its heap, so each allocation is mapped anew and each touched page faults.
void RtThread::touchFreshMemory()
{
    if (--faultCountdown > 0)
        return;
    faultCountdown = faultEveryTicks;
    const std::size_t page = 4096;
    const std::size_t size = std::size_t(64) << 20;
    const std::size_t pages = std::min<std::size_t>(std::size_t(faultPages), size / page);
    std::unique_ptr<volatile char[]> fresh(new volatile char[size]);
    for (std::size_t i = 0; i < pages; ++i)
        fresh[i * page] = 1;
}
