// SPDX-License-Identifier: MIT
// The statistics of the ticks: the histogram, the mean over windows of 100
// ticks, the longest overflow, the timeline and the kept intervals. Fed one
// stopwatch reading per tick by the worker, its one writer; read at any time
// from another thread as a whole snapshot. Needs no thread of its own, so it
// is tested by feeding it readings.
#pragma once

#include "runstatistics.h"
#include "runtimeline.h"
#include "singlewriter.h"

#include <QtGlobal>

#include <atomic>

class TickRecorder
{
public:
    // The first ticks of a run (timer) or of each window (receive) wait out
    // the start-up, so the histogram leaves them out.
    enum Gate { TimerGate, ReceiveGate };
    static constexpr int WindowTicks = 100;
    static constexpr quint64 UncountedTicks = 10; // a gate passes a tick once its counter is above

    TickRecorder() { reset(); }
    TickRecorder(const TickRecorder &) = delete;
    TickRecorder &operator=(const TickRecorder &) = delete;

    // Every statistic zero, the kept intervals emptied (their buffers stay).
    void reset();
    // The reading the first tick's interval is measured from.
    void start(double now) { put(lastTickTime, now); }

    // Keep every counted interval, in seconds, in buffer as well, until
    // capacity are kept; a null buffer keeps none. arrivals, when given, has
    // room for as many, NaN until the stamp of a kept tick fills its row.
    void keepIntervals(double *buffer, quint64 capacity, double *arrivals = nullptr);
    quint64 keptIntervals() const { return keptCount; }
    // The arrivals row of the latest kept interval, or null.
    double *latestArrivalRow() const
    {
        return arrivalLog && keptCount > 0 ? arrivalLog + (keptCount - 1) : nullptr;
    }

    // One tick at stopwatch reading now, through gate; returns whether the
    // histogram counted it. The tick path: inline, no call but the rare
    // timeline branch.
    inline bool countTick(double now, Gate gate);

    double lastTick() const { return loadRelaxed(lastTickTime); }
    quint64 ticks() const { return loadRelaxed(tickCount); }

    // The bins, counts, mean and longest overflow as they are now; the
    // receive side's fields are left for the worker to fill.
    RunStatistics statistics() const;
    // The slots of one reading taken together, the open one up to now.
    RunTimeline timeline() const;

private:
    void closeTimelineSlot(double now);

    std::atomic<quint64> windowTickCount{0};
    std::atomic<double> averagePeriod{0.0};
    std::atomic<double> maxInterval{0.0}; // longest interval counted in the overflow bin
    std::atomic<double> windowIntervalSum{0.0};
    std::atomic<double> lastTickTime{0.0};
    std::atomic<quint64> histogram[RunStatistics::Bins];
    std::atomic<quint64> tickCount{0};

    // The timeline: closed slots, written once a second at most (in
    // closeTimelineSlot, the tick's rarely taken branch), and the open one's
    // start and longest interval. timelineGeneration is odd while a slot
    // closes, so that a reader can tell a reading taken across it.
    std::atomic<quint64> slotTicks[RunTimeline::Slots];
    std::atomic<double> slotMax[RunTimeline::Slots];
    std::atomic<int> openSlot{0};
    std::atomic<double> slotSeconds{1.0};
    std::atomic<quint64> openSlotStartTicks{0};
    std::atomic<double> openSlotMax{0.0};
    std::atomic<quint32> timelineGeneration{0};
    double openSlotEnd = 1.0; // the writer's own: when the open slot closes

    double *intervalLog = nullptr; // see keepIntervals
    double *arrivalLog = nullptr;
    quint64 intervalCapacity = 0;
    quint64 keptCount = 0;
};

Q_ALWAYS_INLINE bool TickRecorder::countTick(double now, Gate gate)
{
    if (Q_UNLIKELY(now >= openSlotEnd))
        closeTimelineSlot(now);
    const double interval = now - loadRelaxed(lastTickTime);
    put(windowIntervalSum, loadRelaxed(windowIntervalSum) + interval);
    put(lastTickTime, now);

    const int bin = tenthMsBin(interval, RunStatistics::Bins);

    const quint64 gateCount =
        gate == TimerGate ? loadRelaxed(tickCount) : loadRelaxed(windowTickCount);
    const bool counted = gateCount > UncountedTicks;
    if (counted) {
        put(histogram[bin], loadRelaxed(histogram[bin]) + 1);
        // The longest counted interval of the timeline's open slot, and the
        // overflow row's label, the longest interval that row counted: an
        // uncounted tick (the warm-up span) must set neither. An overflow
        // interval not above the slot's longest is not above the label
        // either, since that longest was itself an overflow interval that
        // came through here; so one compare, rarely true, serves both.
        if (Q_UNLIKELY(interval > loadRelaxed(openSlotMax))) {
            put(openSlotMax, interval);
            if (bin == RunStatistics::OverflowBin && interval > loadRelaxed(maxInterval))
                put(maxInterval, interval);
        }
        if (keptCount < intervalCapacity)
            intervalLog[keptCount++] = interval;
    }

    quint64 inWindow = loadRelaxed(windowTickCount) + 1;
    if (inWindow == WindowTicks) {
        put(averagePeriod, loadRelaxed(windowIntervalSum) / double(inWindow));
        inWindow = 0;
        put(windowIntervalSum, 0.0);
    }
    put(windowTickCount, inWindow);
    put(tickCount, loadRelaxed(tickCount) + 1);
    return counted;
}
