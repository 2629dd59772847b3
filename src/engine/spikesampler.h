// SPDX-License-Identifier: MIT
// The sampler: a thread at normal priority, off the measured CPU when the
// run is pinned, that snapshots the CPU's and the worker's counters every
// 100 ms, keeps a few seconds of them, drains the worker's spike ring and
// judges each spike from the snapshots around it. All spike analysis runs
// here; the worker only fills the ring.
#pragma once

#include "spikeverdict.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Which of the sampler's sources gave readings in this run, and whether the
// kernel's scheduler trace could be read, and why not.
struct SpikeSources
{
    bool known = false; // false until the sampler's first snapshot of the worker
    bool runDelay = false;
    bool faults = false;
    bool interrupts = false;
    bool softirqs = false;
    bool steal = false;
    bool timerSlack = false;
    bool traceAllowed = false;
    std::string traceWhyNot; // why the run is not traced; empty when it is
    bool traced = false;     // the scheduler trace is on for this run
    bool traceInterrupts = false;
    std::uint64_t traceLost = 0; // records the kernel could not fit in the rings
};

class SpikeSampler
{
public:
    struct Settings
    {
        int cpu = -1;                     // the measured CPU; -1: the run is not pinned
        std::int64_t workerThreadId = -1; // platform::currentThreadId() on the worker
        bool realtime = false;            // the worker runs SCHED_FIFO or RR
        std::int64_t timerSlackNs = -1;   // the worker's, read on the worker
        std::int64_t tickPeriodNs = 0;    // the worker's clock period; 0: not known
        // The run's median lateness so far, asked at each verdict; null or
        // -1: not known.
        std::function<std::int64_t()> medianLatenessNs;
        int periodMs = 100;        // between snapshots
        int historySnapshots = 50; // kept for the usual rates
        SpikeRules rules;
        std::function<std::int64_t()> clock = spikeClockNs; // SpikeRecord::timeNs's clock
        // Asked on the sampler's thread once a period until it returns
        // true: fills what the worker publishes at its start (its thread,
        // CPU, scheduling). Null: the settings are complete already.
        std::function<bool(Settings &)> fromWorker;
        // Called on the sampler's thread after each snapshot.
        std::function<void()> everySnapshot;
        // Why the scheduler is not traced; empty: traced where the process may.
        std::string noTrace = "not asked for";
    };

    explicit SpikeSampler(SpikeRing &ring);
    ~SpikeSampler();

    // Starts the thread; stop() takes a last snapshot, judges every spike
    // left in the ring and joins.
    void start(const Settings &settings);
    void stop();

    // The judged spikes so far, taken together.
    SpikeStore store() const;
    SpikeSources sources() const;
    // The sampler's own thread, once started (for its CPU share), and
    // whether it keeps off the measured CPU.
    std::int64_t threadId() const { return ownThreadId.load(); }
    bool offMeasuredCpu() const { return avoiding.load(); }

private:
    struct Snapshot
    {
        std::int64_t ns = 0;
        platform::CpuCounters cpu;
        platform::ThreadCounters worker;
    };

    void run();
    void openTrace();
    void drainTrace();
    void takeSnapshot();
    void noteSources();
    void judgeReady(bool all);
    SpikeEvidence evidenceFor(const SpikeRecord &spike) const;
    const Snapshot &snapshotAt(std::size_t age) const; // 0: the newest

    SpikeRing &ring;
    Settings settings;
    platform::RealtimeThrottle throttle;
    std::vector<Snapshot> history; // circular, `historySnapshots` long
    std::size_t newest = 0;
    std::size_t snapshots = 0;
    std::vector<SpikeRecord> pending; // drained, awaiting the snapshot after them
    SpikeRecord previous;             // the spike judged last
    bool hasPrevious = false;
    platform::TraceSession trace;
    platform::TraceAccess traceState;
    std::vector<platform::TraceRecord> traced; // in time order, the last TraceKeptNs
    std::vector<platform::TraceRecord> drained;

    mutable std::mutex storeLock;
    SpikeStore judged;
    SpikeSources found; // under storeLock

    std::thread thread;
    std::mutex stopLock;
    std::condition_variable stopSignal;
    bool stopping = false;
    std::atomic<std::int64_t> ownThreadId{-1};
    std::atomic<bool> avoiding{false};
};
