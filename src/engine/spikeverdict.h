// SPDX-License-Identifier: MIT
// Why a tick came late: the rules that name a spike's cause from what was
// seen around it, pure functions over plain values, and the bounded store of
// the run's judged spikes.
#pragma once

#include "spikering.h"

#include <array>
#include <cstdint>
#include <vector>

// In the order the rules are tried: the first whose signal is there names
// the cause.
enum class SpikeCause : std::uint8_t {
    FollowOn,           // this tick's deadline passed while the tick before was still late
    Interrupts,         // hardware interrupts or softirqs well above their usual rate
    OtherTask,          // the worker was runnable but another task held the CPU
    RealtimeThrottling, // as OtherTask, for about the realtime throttle's gap
    PageFaults,         // the worker faulted on memory
    TimerSlack,         // a normal-priority worker's timer slack covers the lateness
    HostSteal,          // the hypervisor gave the CPU to others
    Unexplained,        // none of the above: interrupts off, SMI, the host...
};
constexpr int SpikeCauseCount = int(SpikeCause::Unexplained) + 1;

// A short key ("other_task") for JSON and metrics labels, and a phrase for
// people.
const char *spikeCauseKey(SpikeCause cause);
const char *spikeCauseText(SpikeCause cause);

// What the kernel's scheduler trace saw of one spike, between its deadline
// and the worker's return to the CPU. Times in ns; -1 where not seen.
struct SpikeTrace
{
    bool traced = false;           // the trace covered the spike
    int cpu = -1;                  // where the worker came back
    std::int64_t wakingNs = -1;    // deadline to the worker's sched_waking
    std::int64_t runningNs = -1;   // sched_waking to the worker on the CPU
    std::int64_t othersNs = 0;     // every other task's time on that CPU in the window
    std::int32_t culpritPid = -1;  // the one of them longest on the CPU; -1: none
    std::int32_t culpritPrio = -1; // the kernel's prio: below 100 realtime (99 - its priority)
    std::int64_t culpritNs = 0;
    char culpritComm[16] = {};
    std::int64_t irqNs = -1; // interrupt handlers on that CPU; -1: not traced
    std::int64_t softirqNs = -1;
};

// The trace's account of a spike: records in time order, the worker's
// thread, its deadline and the wake-up the spike records. Pure.
SpikeTrace attributeSpike(const std::vector<platform::TraceRecord> &records,
                          std::int64_t workerThreadId, std::int64_t deadlineNs, std::int64_t wakeNs,
                          bool interrupts);

// What the sampler saw around one spike. Counts are -1 where the source was
// not available; rates and baselines are the sampler's usual values, scaled
// to the times given.
struct SpikeEvidence
{
    SpikeRecord record;
    std::int64_t previousWakeNs = -1; // the spike before, if any
    // The worker's counters at the sampler's last snapshot before the spike.
    platform::ThreadCounters before;
    std::int64_t beforeNs = 0;
    double runDelayPerSecond = 0;    // the worker's usual run-delay growth, ns a second
    double minorFaultsPerSecond = 0; // and its usual minor faults
    // A second bound on the usual run-delay: each tick under the threshold
    // waited at most about its lateness, so ticks since the earlier reading
    // times the run's median lateness (-1: not known). On a CPU another task
    // keeps busy the usual rate is the cause itself; this bound is not.
    std::int64_t ticksSinceBefore = -1;
    std::int64_t usualLatenessNs = -1;
    // The measured CPU over the snapshot interval holding the spike, and
    // its usual counts over as long.
    std::int64_t interrupts = -1;
    std::int64_t softirqs = -1;
    double usualInterrupts = 0;
    double usualSoftirqs = 0;
    std::int64_t stealNs = -1;
    // The worker's scheduling.
    bool realtime = false;
    std::int64_t timerSlackNs = -1;
    platform::RealtimeThrottle throttle;
    SpikeTrace trace; // what the kernel's trace saw, when the run is traced
};

// How much of a signal counts. First choices, checked by hand against
// injections on a loaded 2-vCPU guest.
struct SpikeRules
{
    double runDelayShare = 0.5;           // of the lateness, grown beyond the usual
    double throttleTolerance = 0.25;      // of the throttle's gap (period - runtime)
    double interruptFactor = 2.0;         // times the usual count...
    std::int64_t interruptExcess = 20;    // ...at least this many more...
    std::int64_t interruptCostNs = 20000; // ...which at this each cover runDelayShare
    std::int64_t minorFaults = 8;         // beyond the usual; any major fault counts
    double slackShare = 0.8;              // of the lateness the slack must cover
};

struct SpikeVerdict
{
    SpikeCause cause = SpikeCause::Unexplained;
    bool measured = false;  // read from records of what happened (timestamps, the trace)
    std::uint32_t seen = 0; // bit per SpikeCause: every signal present, the cause's too
    bool saw(SpikeCause other) const { return (seen >> int(other)) & 1u; }
};

SpikeVerdict judgeSpike(const SpikeEvidence &evidence, const SpikeRules &rules = SpikeRules());

// The lateness above which a tick is a spike: given when above 0, else 10
// times the run's median lateness and at least 100 us.
std::int64_t spikeThresholdNs(std::int64_t medianLatenessNs, std::int64_t givenNs = 0);

struct JudgedSpike
{
    SpikeRecord record;
    SpikeVerdict verdict;
    SpikeTrace trace;
};

// The run's judged spikes, bounded: the newest NewestKept, the WorstKept
// latest, and a count per cause of every spike of the run. Room is made
// once; add() allocates nothing.
class SpikeStore
{
public:
    static constexpr int NewestKept = 1000;
    static constexpr int WorstKept = 50;

    SpikeStore();
    void add(const JudgedSpike &spike);
    void clear();

    std::vector<JudgedSpike> newest() const; // oldest first
    std::vector<JudgedSpike> worst() const;  // latest first; of equal lateness, the earlier
    std::uint64_t count(SpikeCause cause) const { return counts[std::size_t(cause)]; }
    std::uint64_t total() const;

private:
    std::vector<JudgedSpike> ring; // NewestKept slots, next at `next`
    std::size_t next = 0;
    std::size_t filled = 0;
    std::vector<JudgedSpike> heap; // the worst, least late on top
    std::array<std::uint64_t, SpikeCauseCount> counts{};
};
