// SPDX-License-Identifier: MIT
#include "spikeverdict.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::int64_t MinimumThresholdNs = 100000;

// Growth of a counter between two readings beyond its usual rate over that
// time; NaN when either reading is missing.
double excess(std::int64_t before, std::int64_t after, double usualPerSecond, std::int64_t ns)
{
    if (before < 0 || after < 0)
        return NAN;
    return double(after - before) - usualPerSecond * double(std::max<std::int64_t>(ns, 0)) / 1e9;
}

// Well above the usual count, and enough more to have taken a good part of
// the lateness: a 100 ms window's few extra interrupts never explain a
// spike of many milliseconds.
bool burst(std::int64_t count, double usual, std::int64_t latenessNs, const SpikeRules &rules)
{
    const double more = double(count) - usual;
    return count >= 0 && double(count) > rules.interruptFactor * usual &&
        more >= double(rules.interruptExcess) &&
        more * double(rules.interruptCostNs) >= rules.runDelayShare * double(latenessNs);
}

} // namespace

const char *spikeCauseKey(SpikeCause cause)
{
    switch (cause) {
    case SpikeCause::FollowOn:
        return "follow_on";
    case SpikeCause::Interrupts:
        return "interrupts";
    case SpikeCause::OtherTask:
        return "other_task";
    case SpikeCause::RealtimeThrottling:
        return "rt_throttling";
    case SpikeCause::PageFaults:
        return "page_faults";
    case SpikeCause::TimerSlack:
        return "timer_slack";
    case SpikeCause::HostSteal:
        return "host_steal";
    case SpikeCause::Unexplained:
        break;
    }
    return "unexplained";
}

const char *spikeCauseText(SpikeCause cause)
{
    switch (cause) {
    case SpikeCause::FollowOn:
        return "follow-on of an earlier overrun";
    case SpikeCause::Interrupts:
        return "interrupts or softirqs on the CPU";
    case SpikeCause::OtherTask:
        return "another task held the CPU";
    case SpikeCause::RealtimeThrottling:
        return "realtime throttling";
    case SpikeCause::PageFaults:
        return "page faults";
    case SpikeCause::TimerSlack:
        return "timer slack";
    case SpikeCause::HostSteal:
        return "host steal";
    case SpikeCause::Unexplained:
        break;
    }
    return "unexplained (interrupts off, SMI or the host)";
}

SpikeVerdict judgeSpike(const SpikeEvidence &evidence, const SpikeRules &rules)
{
    const SpikeRecord &spike = evidence.record;
    const std::int64_t sinceBefore = spike.timeNs - evidence.beforeNs;
    SpikeVerdict verdict;
    auto mark = [&verdict](SpikeCause cause) { verdict.seen |= 1u << int(cause); };

    // The worker's own timestamps show it: no inference.
    const std::int64_t deadline = spike.timeNs - spike.latenessNs;
    if (evidence.previousWakeNs >= 0 && deadline <= evidence.previousWakeNs)
        mark(SpikeCause::FollowOn);

    // The trace, when there, is the closer witness: time spent, not counts.
    const SpikeTrace &trace = evidence.trace;
    const double share = rules.runDelayShare * double(spike.latenessNs);
    std::uint32_t measured = 1u << int(SpikeCause::FollowOn);
    if (trace.traced && trace.irqNs >= 0 &&
        double(trace.irqNs + std::max<std::int64_t>(trace.softirqNs, 0)) >= share) {
        mark(SpikeCause::Interrupts);
        measured |= 1u << int(SpikeCause::Interrupts);
    }
    if (trace.traced && trace.culpritPid >= 0 && double(trace.othersNs) >= share) {
        mark(SpikeCause::OtherTask);
        measured |= 1u << int(SpikeCause::OtherTask);
    }

    // Counts over 100 ms only hint; handlers' time in the window, when
    // traced, is the answer.
    const bool handlersTraced = trace.traced && trace.irqNs >= 0;
    if (!handlersTraced &&
        (burst(evidence.interrupts, evidence.usualInterrupts, spike.latenessNs, rules) ||
         burst(evidence.softirqs, evidence.usualSoftirqs, spike.latenessNs, rules)))
        mark(SpikeCause::Interrupts);

    // Run-delay grows only while the worker is runnable and not running: an
    // idle CPU waking late adds none.
    double usualWait =
        evidence.runDelayPerSecond * double(std::max<std::int64_t>(sinceBefore, 0)) / 1e9;
    if (evidence.ticksSinceBefore >= 0 && evidence.usualLatenessNs >= 0)
        usualWait = std::min(usualWait,
                             double(evidence.ticksSinceBefore) * double(evidence.usualLatenessNs));
    const double waited =
        excess(evidence.before.runDelayNs, spike.counters.runDelayNs, 0, 0) - usualWait;
    if (waited >= rules.runDelayShare * double(spike.latenessNs)) {
        const platform::RealtimeThrottle &throttle = evidence.throttle;
        const double gap = double(throttle.periodNs - throttle.runtimeNs);
        if (evidence.realtime && throttle.runtimeNs >= 0 && gap > 0 &&
            std::abs(waited - gap) <= rules.throttleTolerance * gap)
            mark(SpikeCause::RealtimeThrottling);
        else if (!trace.traced) // a trace that saw no other task is believed
            mark(SpikeCause::OtherTask);
    }

    const double minor = excess(evidence.before.minorFaults, spike.counters.minorFaults,
                                evidence.minorFaultsPerSecond, sinceBefore);
    const double major = excess(evidence.before.majorFaults, spike.counters.majorFaults, 0, 0);
    if (major >= 1 || minor >= double(rules.minorFaults))
        mark(SpikeCause::PageFaults);

    // The kernel ignores slack for realtime threads.
    if (!evidence.realtime && evidence.timerSlackNs >= 0 &&
        double(evidence.timerSlackNs) >= rules.slackShare * double(spike.latenessNs))
        mark(SpikeCause::TimerSlack);

    if (evidence.stealNs > 0)
        mark(SpikeCause::HostSteal);

    mark(SpikeCause::Unexplained);
    for (int cause = 0; cause < SpikeCauseCount; ++cause) {
        if (verdict.saw(SpikeCause(cause))) {
            verdict.cause = SpikeCause(cause);
            break;
        }
    }
    verdict.measured = (measured >> int(verdict.cause)) & 1u;
    return verdict;
}

namespace {

using platform::TraceKind;
using platform::TraceRecord;

bool earlier(const TraceRecord &a, std::int64_t ns)
{
    return a.timeNs < ns;
}

// Time inside [from, to] of the span [start, end].
std::int64_t overlap(std::int64_t start, std::int64_t end, std::int64_t from, std::int64_t to)
{
    return std::max<std::int64_t>(0, std::min(end, to) - std::max(start, from));
}

struct OnCpu
{
    std::int32_t pid = -1;
    std::int32_t prio = -1;
    const char *comm = "";
    std::int64_t ns = 0;
};

// Interrupt handlers run briefly: an entry this long before the window
// that is still open is not looked for.
constexpr std::int64_t LongestHandlerNs = 10000000;
// How far back the worker's return to the CPU is looked for.
constexpr std::int64_t LongestLookbackNs = 2000000000;

} // namespace

SpikeTrace attributeSpike(const std::vector<platform::TraceRecord> &records,
                          std::int64_t workerThreadId, std::int64_t deadlineNs, std::int64_t wakeNs,
                          bool interrupts)
{
    SpikeTrace trace;
    if (records.empty() || records.front().timeNs > deadlineNs || workerThreadId < 0)
        return trace;
    const auto end = std::upper_bound(
        records.begin(), records.end(), wakeNs,
        [](std::int64_t ns, const TraceRecord &record) { return ns < record.timeNs; });
    if (end == records.begin())
        return trace;
    // The worker's last return to a CPU before its wake-up was stamped.
    auto in = end;
    while (in != records.begin()) {
        --in;
        if (in->timeNs < deadlineNs - LongestLookbackNs)
            return trace;
        if (in->kind == TraceKind::Switch && in->nextPid == workerThreadId)
            break;
    }
    if (in->kind != TraceKind::Switch || in->nextPid != workerThreadId)
        return trace;
    trace.traced = true;
    trace.cpu = in->cpu;
    const std::int64_t runAt = std::max(in->timeNs, deadlineNs);
    const auto first = std::lower_bound(records.begin(), records.end(), deadlineNs, earlier);

    // Who held the CPU at the deadline: the last switch on it before.
    OnCpu current;
    bool known = false;
    for (auto before = first; before != records.begin();) {
        --before;
        if (before->cpu == trace.cpu && before->kind == TraceKind::Switch) {
            current = {before->nextPid, before->nextPrio, before->nextComm, 0};
            known = true;
            break;
        }
    }
    std::vector<OnCpu> ran;
    std::int64_t since = deadlineNs;
    const auto account = [&](std::int64_t until) {
        if (current.pid <= 0 || current.pid == workerThreadId || until <= since)
            return; // pid 0: the CPU's idle task
        auto found = std::find_if(ran.begin(), ran.end(),
                                  [&](const OnCpu &task) { return task.pid == current.pid; });
        if (found == ran.end())
            found = ran.insert(ran.end(), OnCpu{current.pid, current.prio, current.comm, 0});
        found->ns += until - since;
    };
    // The worker's waking on its own CPU, else on another (the timer may
    // fire elsewhere): the last of each in the window.
    std::int64_t wokenHere = -1, wokenElsewhere = -1;
    for (auto at = first; at != records.end() && at->timeNs <= runAt; ++at) {
        if (at->kind == TraceKind::Waking && at->nextPid == workerThreadId)
            (at->cpu == trace.cpu ? wokenHere : wokenElsewhere) = at->timeNs;
        if (at->cpu != trace.cpu || at->kind != TraceKind::Switch)
            continue;
        if (!known)
            current = {at->prevPid, at->prevPrio, at->prevComm, 0};
        account(at->timeNs);
        current = {at->nextPid, at->nextPrio, at->nextComm, 0};
        known = true;
        since = at->timeNs;
    }
    if (const std::int64_t woken = wokenHere >= 0 ? wokenHere : wokenElsewhere; woken >= 0) {
        trace.wakingNs = woken - deadlineNs;
        trace.runningNs = runAt - woken;
    }
    for (const OnCpu &task : ran) {
        trace.othersNs += task.ns;
        if (task.ns > trace.culpritNs) {
            trace.culpritNs = task.ns;
            trace.culpritPid = task.pid;
            trace.culpritPrio = task.prio;
            std::strncpy(trace.culpritComm, task.comm, sizeof trace.culpritComm - 1);
        }
    }

    if (interrupts) {
        trace.irqNs = trace.softirqNs = 0;
        const auto from = std::lower_bound(records.begin(), records.end(),
                                           deadlineNs - LongestHandlerNs, earlier);
        std::int64_t irqSince = -1, softirqSince = -1;
        // A handler's time inside the window, added when it ends.
        const auto ended = [&](std::int64_t &since, std::int64_t &total, std::int64_t at) {
            if (since >= 0)
                total += overlap(since, at, deadlineNs, runAt);
            since = -1;
        };
        for (auto at = from; at != records.end() && at->timeNs <= runAt; ++at) {
            if (at->cpu != trace.cpu)
                continue;
            switch (at->kind) {
            case TraceKind::IrqEntry:
                irqSince = at->timeNs;
                break;
            case TraceKind::IrqExit:
                ended(irqSince, trace.irqNs, at->timeNs);
                break;
            case TraceKind::SoftirqEntry:
                softirqSince = at->timeNs;
                break;
            case TraceKind::SoftirqExit:
                ended(softirqSince, trace.softirqNs, at->timeNs);
                break;
            default:
                break;
            }
        }
        // Still inside a handler when the worker came back.
        ended(irqSince, trace.irqNs, runAt);
        ended(softirqSince, trace.softirqNs, runAt);
    }
    return trace;
}

std::int64_t spikeThresholdNs(std::int64_t medianLatenessNs, std::int64_t givenNs)
{
    if (givenNs > 0)
        return givenNs;
    return std::max(10 * medianLatenessNs, MinimumThresholdNs);
}

namespace {

// The heap's order: the least late on top; of equal lateness, the later.
bool lessLate(const JudgedSpike &a, const JudgedSpike &b)
{
    if (a.record.latenessNs != b.record.latenessNs)
        return a.record.latenessNs > b.record.latenessNs;
    return a.record.tick < b.record.tick;
}

} // namespace

SpikeStore::SpikeStore() : ring(NewestKept)
{
    heap.reserve(WorstKept);
}

void SpikeStore::add(const JudgedSpike &spike)
{
    ++counts[std::size_t(spike.verdict.cause)];
    ring[next] = spike;
    next = (next + 1) % ring.size();
    filled = std::min(filled + 1, ring.size());
    if (heap.size() < std::size_t(WorstKept)) {
        heap.push_back(spike);
        std::push_heap(heap.begin(), heap.end(), lessLate);
    } else if (spike.record.latenessNs > heap.front().record.latenessNs) {
        std::pop_heap(heap.begin(), heap.end(), lessLate);
        heap.back() = spike;
        std::push_heap(heap.begin(), heap.end(), lessLate);
    }
}

void SpikeStore::clear()
{
    next = 0;
    filled = 0;
    heap.clear();
    counts.fill(0);
}

std::vector<JudgedSpike> SpikeStore::newest() const
{
    std::vector<JudgedSpike> out;
    out.reserve(filled);
    const std::size_t first = (next + ring.size() - filled) % ring.size();
    for (std::size_t i = 0; i < filled; ++i)
        out.push_back(ring[(first + i) % ring.size()]);
    return out;
}

std::vector<JudgedSpike> SpikeStore::worst() const
{
    std::vector<JudgedSpike> out = heap;
    std::sort_heap(out.begin(), out.end(), lessLate);
    return out;
}

std::uint64_t SpikeStore::total() const
{
    std::uint64_t sum = 0;
    for (const std::uint64_t count : counts)
        sum += count;
    return sum;
}
