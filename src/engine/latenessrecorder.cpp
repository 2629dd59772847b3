// SPDX-License-Identifier: MIT
#include "latenessrecorder.h"

#include <limits>

void LatenessRecorder::reset()
{
    deadlines = LatenessStatistics::NoDeadlines;
    put(published, int(LatenessStatistics::NoDeadlines));
    for (auto &bin : histogram)
        put(bin, quint64(0));
    put(overruns, quint64(0));
    put(minNs, std::numeric_limits<qint64>::max());
    put(maxNs, std::numeric_limits<qint64>::min());
    put(sumNs, qint64(0));
}

void LatenessRecorder::startGrid(double origin, int periodMs)
{
    if (periodMs <= 0)
        return;
    deadlines = LatenessStatistics::GridDeadlines;
    put(published, deadlines);
    periodNs = qint64(periodMs) * 1000000;
    originNs = toNs(origin);
    takenNs = originNs;
    nextNs = -1;
    passedOver = 0;
}

void LatenessRecorder::startAfterTicks(int periodMs)
{
    if (periodMs <= 0)
        return;
    deadlines = LatenessStatistics::TickDeadlines;
    put(published, deadlines);
    periodNs = qint64(periodMs) * 1000000;
    previousNs = -1;
}

// The grid's first tick, after the warm-up: it is taken to be for the
// latest deadline not after it, since the warm-up's waits took the ones
// before. Once per run, so a division is no cost.
void LatenessRecorder::firstGridTick(qint64 nowNs)
{
    const qint64 since = std::max<qint64>(0, nowNs - originNs);
    nextNs = originNs + since / periodNs * periodNs;
    takenNs = nextNs - periodNs;
    passedOver = 0;
}

LatenessStatistics LatenessRecorder::statistics() const
{
    LatenessStatistics now;
    now.deadlines = loadRelaxed(published);
    for (int i = 0; i < LatenessStatistics::Bins; ++i)
        now.bins[size_t(i)] = loadRelaxed(histogram[i]);
    // The count is the bins' sum, so that every rank falls in a bin.
    now.wakeUps = 0;
    for (const quint64 count : now.bins)
        now.wakeUps += count;
    now.overruns = loadRelaxed(overruns);
    // Read after the bins; the first wake-up's extremes may still be on
    // their way then, and are 0 until they come.
    const qint64 least = loadRelaxed(minNs);
    const qint64 most = loadRelaxed(maxNs);
    if (least <= most) {
        now.minLateness = double(least) * 1e-9;
        now.maxLateness = double(most) * 1e-9;
    }
    now.sumLateness = double(loadRelaxed(sumNs)) * 1e-9;
    return now;
}
