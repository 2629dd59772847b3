// SPDX-License-Identifier: MIT
#include "spikesampler.h"

#include <algorithm>
#include <chrono>

namespace {

// Trace records are kept this long: a spike is judged at the snapshot after
// it, and who held the CPU at its deadline may have come long before.
constexpr std::int64_t TraceKeptNs = 2000000000;
// And never more than this many (about 5 MB).
constexpr std::size_t TraceKeptRecords = 65536;

// Growth between two readings, -1 when either is missing.
std::int64_t growth(std::int64_t before, std::int64_t after)
{
    return before >= 0 && after >= before ? after - before : -1;
}

// The value a given share of them stay under (0.5: the median).
double quantile(std::vector<double> &values, double share)
{
    if (values.empty())
        return 0;
    const auto at = values.begin() + std::ptrdiff_t(double(values.size() - 1) * share + 0.5);
    std::nth_element(values.begin(), at, values.end());
    return *at;
}

double median(std::vector<double> &values)
{
    return quantile(values, 0.5);
}

// The worker's own waits and faults come in bursts (a task that runs
// every 200 ms fills half the windows): their usual rate is that of the
// quieter windows, or the bursts would be written off as usual.
double quietRate(std::vector<double> &values)
{
    return quantile(values, 0.25);
}

} // namespace

SpikeSampler::SpikeSampler(SpikeRing &ring) : ring(ring) { }

SpikeSampler::~SpikeSampler()
{
    stop();
}

void SpikeSampler::start(const Settings &wanted)
{
    stop();
    settings = wanted;
    settings.historySnapshots = std::max(settings.historySnapshots, 3);
    settings.periodMs = std::max(settings.periodMs, 1);
    throttle = platform::realtimeThrottle();
    history.assign(std::size_t(settings.historySnapshots), Snapshot());
    newest = 0;
    snapshots = 0;
    pending.clear();
    pending.reserve(ring.capacity());
    hasPrevious = false;
    {
        std::lock_guard<std::mutex> hold(storeLock);
        judged.clear();
        found = SpikeSources();
    }
    stopping = false;
    thread = std::thread([this] { run(); });
}

void SpikeSampler::stop()
{
    if (!thread.joinable())
        return;
    {
        std::lock_guard<std::mutex> hold(stopLock);
        stopping = true;
    }
    stopSignal.notify_all();
    thread.join();
}

SpikeStore SpikeSampler::store() const
{
    std::lock_guard<std::mutex> hold(storeLock);
    return judged;
}

SpikeSources SpikeSampler::sources() const
{
    std::lock_guard<std::mutex> hold(storeLock);
    return found;
}

void SpikeSampler::run()
{
    ownThreadId = platform::currentThreadId();
    const auto period = std::chrono::milliseconds(settings.periodMs);
    // The worker's own facts come once its thread has started.
    while (settings.fromWorker && !settings.fromWorker(settings)) {
        std::unique_lock<std::mutex> hold(stopLock);
        if (stopSignal.wait_for(hold, period, [this] { return stopping; }))
            return;
    }
    if (settings.cpu >= 0)
        avoiding = platform::avoidCpu(settings.cpu);
    openTrace();
    auto due = std::chrono::steady_clock::now();
    for (;;) {
        takeSnapshot();
        drainTrace();
        if (snapshots == 1)
            noteSources();
        if (settings.everySnapshot)
            settings.everySnapshot();
        judgeReady(false);
        due += period;
        std::unique_lock<std::mutex> hold(stopLock);
        if (stopSignal.wait_until(hold, due, [this] { return stopping; }))
            break;
    }
    takeSnapshot();
    drainTrace();
    judgeReady(true);
    trace.close();
    std::lock_guard<std::mutex> hold(storeLock);
    found.traceLost = trace.lost();
}

void SpikeSampler::openTrace()
{
    traced.clear();
    traceState = platform::traceAccess(settings.cpu);
    if (!traceState.allowed)
        return;
    if (!settings.noTrace.empty()) {
        traceState.reason = settings.noTrace;
        return;
    }
    // The worker's CPU when pinned; else every CPU it may run on.
    const platform::CpuList cpus =
        settings.cpu >= 0 ? platform::CpuList{settings.cpu} : platform::allowedCpus();
    if (!trace.open(cpus, settings.workerThreadId))
        traceState = {false, trace.whyNot()};
    traced.reserve(TraceKeptRecords);
}

void SpikeSampler::drainTrace()
{
    if (!trace.isOpen())
        return;
    drained.clear();
    trace.drain(drained);
    const auto byTime = [](const platform::TraceRecord &a, const platform::TraceRecord &b) {
        return a.timeNs < b.timeNs;
    };
    // Each CPU's ring is in order; together they interleave.
    std::stable_sort(drained.begin(), drained.end(), byTime);
    if (drained.size() > TraceKeptRecords)
        drained.erase(drained.begin(), drained.end() - std::ptrdiff_t(TraceKeptRecords));
    // Room made first, so that the kept records never outgrow their bound.
    const std::size_t over = traced.size() + drained.size();
    if (over > TraceKeptRecords)
        traced.erase(traced.begin(), traced.begin() + std::ptrdiff_t(over - TraceKeptRecords));
    const std::size_t old = traced.size();
    traced.insert(traced.end(), drained.begin(), drained.end());
    std::inplace_merge(traced.begin(), traced.begin() + std::ptrdiff_t(old), traced.end(), byTime);
    const std::int64_t keepFrom = traced.empty() ? 0 : traced.back().timeNs - TraceKeptNs;
    auto cut = std::lower_bound(
        traced.begin(), traced.end(), keepFrom,
        [](const platform::TraceRecord &record, std::int64_t ns) { return record.timeNs < ns; });
    traced.erase(traced.begin(), cut);
    std::lock_guard<std::mutex> hold(storeLock);
    found.traceLost = trace.lost();
}

void SpikeSampler::takeSnapshot()
{
    Snapshot now;
    now.cpu = platform::cpuCounters(settings.cpu);
    if (settings.workerThreadId >= 0)
        now.worker = platform::threadCounters(settings.workerThreadId);
    now.ns = settings.clock();
    newest = snapshots == 0 ? 0 : (newest + 1) % history.size();
    history[newest] = now;
    snapshots = std::min(snapshots + 1, history.size());
}

void SpikeSampler::noteSources()
{
    const Snapshot &first = snapshotAt(0);
    SpikeSources now;
    now.known = true;
    now.runDelay = first.worker.runDelayNs >= 0;
    now.faults = first.worker.minorFaults >= 0;
    now.interrupts = first.cpu.interrupts >= 0;
    now.softirqs = first.cpu.softirqs >= 0;
    now.steal = first.cpu.stealNs >= 0;
    now.timerSlack = settings.timerSlackNs >= 0;
    now.traced = trace.isOpen();
    now.traceInterrupts = trace.interrupts();
    now.traceAllowed = traceState.allowed;
    now.traceWhyNot = now.traced ? std::string() : traceState.reason;
    now.traceLost = trace.lost();
    std::lock_guard<std::mutex> hold(storeLock);
    found = now;
}

const SpikeSampler::Snapshot &SpikeSampler::snapshotAt(std::size_t age) const
{
    return history[(newest + history.size() - age) % history.size()];
}

void SpikeSampler::judgeReady(bool all)
{
    // The ring is in time order; a spike waits for the snapshot after it.
    SpikeRecord spike;
    while (pending.size() < pending.capacity() && ring.pop(spike))
        pending.push_back(spike);
    std::size_t done = 0;
    for (; done < pending.size(); ++done) {
        const SpikeRecord &next = pending[done];
        if (!all && (snapshots == 0 || next.timeNs > snapshotAt(0).ns))
            break;
        const SpikeEvidence evidence = evidenceFor(next);
        JudgedSpike verdict{next, judgeSpike(evidence, settings.rules), evidence.trace};
        previous = next;
        hasPrevious = true;
        std::lock_guard<std::mutex> hold(storeLock);
        judged.add(verdict);
    }
    pending.erase(pending.begin(), pending.begin() + std::ptrdiff_t(done));
}

SpikeEvidence SpikeSampler::evidenceFor(const SpikeRecord &spike) const
{
    SpikeEvidence evidence;
    evidence.record = spike;
    evidence.previousWakeNs = hasPrevious ? previous.timeNs : -1;
    evidence.realtime = settings.realtime;
    evidence.timerSlackNs = settings.timerSlackNs;
    evidence.throttle = throttle;
    if (trace.isOpen())
        evidence.trace =
            attributeSpike(traced, settings.workerThreadId, spike.timeNs - spike.latenessNs,
                           spike.timeNs, trace.interrupts());

    // The snapshot before the spike (age `before`) and the one after it.
    std::size_t before = 0;
    while (before < snapshots && snapshotAt(before).ns > spike.timeNs)
        ++before;
    if (before == snapshots)
        return evidence; // older than the history: only what the record holds
    const Snapshot &from = snapshotAt(before);
    evidence.before = from.worker;
    evidence.beforeNs = from.ns;
    // The spike before, when later than the snapshot, is the closer reading
    // of the worker's counters: less of the usual growth to take off.
    if (hasPrevious && previous.timeNs > from.ns && previous.counters.runDelayNs >= 0) {
        evidence.before = previous.counters;
        evidence.beforeNs = previous.timeNs;
        evidence.ticksSinceBefore = std::int64_t(spike.tick - previous.tick) - 1;
    } else if (settings.tickPeriodNs > 0) {
        evidence.ticksSinceBefore = (spike.timeNs - from.ns) / settings.tickPeriodNs;
    }
    if (settings.medianLatenessNs)
        evidence.usualLatenessNs = settings.medianLatenessNs();

    // The usual rates, per nanosecond, over every interval but the spike's.
    std::vector<double> runDelay, faults, interrupts, softirqs;
    for (std::size_t age = 0; age + 1 < snapshots; ++age) {
        if (before > 0 && age + 1 == before)
            continue;
        const Snapshot &later = snapshotAt(age);
        const Snapshot &earlier = snapshotAt(age + 1);
        const double ns = double(later.ns - earlier.ns);
        if (ns <= 0)
            continue;
        const auto rate = [ns](std::vector<double> &into, std::int64_t a, std::int64_t b) {
            const std::int64_t grown = growth(a, b);
            if (grown >= 0)
                into.push_back(double(grown) / ns);
        };
        rate(runDelay, earlier.worker.runDelayNs, later.worker.runDelayNs);
        rate(faults, earlier.worker.minorFaults, later.worker.minorFaults);
        rate(interrupts, earlier.cpu.interrupts, later.cpu.interrupts);
        rate(softirqs, earlier.cpu.softirqs, later.cpu.softirqs);
    }
    evidence.runDelayPerSecond = quietRate(runDelay) * 1e9;
    evidence.minorFaultsPerSecond = quietRate(faults) * 1e9;
    if (before == 0)
        return evidence; // judged at the end, with no snapshot after it

    const Snapshot &to = snapshotAt(before - 1);
    const double window = double(to.ns - from.ns);
    evidence.interrupts = growth(from.cpu.interrupts, to.cpu.interrupts);
    evidence.softirqs = growth(from.cpu.softirqs, to.cpu.softirqs);
    evidence.usualInterrupts = median(interrupts) * window;
    evidence.usualSoftirqs = median(softirqs) * window;
    evidence.stealNs = growth(from.cpu.stealNs, to.cpu.stealNs);
    return evidence;
}
