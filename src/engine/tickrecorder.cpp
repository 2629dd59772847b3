// SPDX-License-Identifier: MIT
#include "tickrecorder.h"

#include <QThread>

#include <algorithm>
#include <cmath>
#include <limits>

void TickRecorder::reset()
{
    put(averagePeriod, 0.0);
    put(maxInterval, 0.0);
    put(windowIntervalSum, 0.0);
    put(lastTickTime, 0.0);
    put(windowTickCount, quint64(0));
    put(tickCount, quint64(0));
    for (auto &bin : histogram)
        put(bin, quint64(0));
    for (int i = 0; i < RunTimeline::Slots; ++i) {
        put(slotTicks[i], quint64(0));
        put(slotMax[i], 0.0);
    }
    put(openSlot, 0);
    put(slotSeconds, 1.0);
    put(openSlotStartTicks, quint64(0));
    put(openSlotMax, 0.0);
    put(timelineGeneration, quint32(0));
    openSlotEnd = 1.0;
    keptCount = 0;
}

void TickRecorder::keepIntervals(double *buffer, quint64 capacity, double *arrivals)
{
    intervalLog = buffer;
    intervalCapacity = buffer ? capacity : 0;
    // NaN until a stamped datagram says otherwise: nothing on the tick path.
    arrivalLog = buffer ? arrivals : nullptr;
    if (arrivalLog)
        std::fill(arrivalLog, arrivalLog + intervalCapacity,
                  std::numeric_limits<double>::quiet_NaN());
    keptCount = 0;
}

RunStatistics TickRecorder::statistics() const
{
    RunStatistics now;
    for (int i = 0; i < RunStatistics::Bins; ++i)
        now.bins[size_t(i)] = loadRelaxed(histogram[i]);
    now.tickCount = loadRelaxed(tickCount);
    now.meanInterval = loadRelaxed(averagePeriod);
    now.maxInterval = loadRelaxed(maxInterval);
    return now;
}

RunTimeline TickRecorder::timeline() const
{
    RunTimeline now;
    // A slot closes once a second at most and in microseconds: a reading
    // that met one is taken again. A worker terminated while closing a slot
    // leaves the generation odd for good, so the tries are bounded; the
    // last one is kept then.
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const quint32 generation = timelineGeneration.load(std::memory_order_acquire);
        if (generation & 1u) {
            QThread::yieldCurrentThread();
            continue;
        }
        const int open = loadRelaxed(openSlot);
        for (int i = 0; i < open; ++i)
            now.slot[size_t(i)] = {loadRelaxed(slotTicks[i]), loadRelaxed(slotMax[i])};
        const quint64 ticks = loadRelaxed(tickCount);
        const quint64 openStart = loadRelaxed(openSlotStartTicks);
        now.slot[size_t(open)] = {ticks > openStart ? ticks - openStart : 0,
                                  loadRelaxed(openSlotMax)};
        now.used = ticks > 0 ? open + 1 : 0;
        now.slotSeconds = loadRelaxed(slotSeconds);
        now.lastTick = ticks > 0 ? loadRelaxed(lastTickTime) : 0.0;
        std::atomic_thread_fence(std::memory_order_acquire);
        if (timelineGeneration.load(std::memory_order_relaxed) == generation)
            break;
    }
    return now;
}

// The tick's rarely taken branch: the open slot of the timeline ends before
// now. It is closed, and the slot now falls in opened, with empty slots for
// any time without ticks between them; once the store is full, neighbouring
// slots are merged in pairs until now fits. Kept out of line, so the tick
// itself carries only the compare that leads here.
Q_NEVER_INLINE void TickRecorder::closeTimelineSlot(double now)
{
    if (!std::isfinite(now))
        return;
    const quint32 generation = loadRelaxed(timelineGeneration);
    put(timelineGeneration, generation + 1);
    std::atomic_thread_fence(std::memory_order_release);

    const int open = loadRelaxed(openSlot);
    const quint64 ticks = loadRelaxed(tickCount);
    put(slotTicks[open], ticks - loadRelaxed(openSlotStartTicks));
    put(slotMax[open], loadRelaxed(openSlotMax));

    double span = loadRelaxed(slotSeconds);
    while (now / span >= double(RunTimeline::Slots)) {
        for (int i = 0; i < RunTimeline::Slots / 2; ++i) {
            put(slotTicks[i], loadRelaxed(slotTicks[2 * i]) + loadRelaxed(slotTicks[2 * i + 1]));
            put(slotMax[i], std::max(loadRelaxed(slotMax[2 * i]), loadRelaxed(slotMax[2 * i + 1])));
        }
        for (int i = RunTimeline::Slots / 2; i < RunTimeline::Slots; ++i) {
            put(slotTicks[i], quint64(0));
            put(slotMax[i], 0.0);
        }
        span *= 2.0;
    }
    // Slots between the closed one and this one were never written: empty.
    const int next = int(now / span);
    put(openSlot, next);
    put(slotSeconds, span);
    put(openSlotStartTicks, ticks);
    put(openSlotMax, 0.0);
    openSlotEnd = double(next + 1) * span;

    timelineGeneration.store(generation + 2, std::memory_order_release);
}
