// SPDX-License-Identifier: MIT
// Seconds since the last restart, from the OS's high-resolution counter.
// Readings never go backwards: when the counter comes out below the count of
// the previous reading, the stopwatch re-bases on the new count and carries
// the time already measured forward.
#pragma once

#include "platform.h"

#include <QtGlobal>

struct PerfStopwatch
{
    PerfStopwatch();

    void restart();
    inline double elapsedSeconds(); // every tick's first step: kept inline

    qint64 startCount;        // count at the last restart or re-base
    qint64 nowCount;          // count of the latest reading
    qint64 frequency;         // counts per second, taken once at construction
    double baseSeconds;       // time carried forward by re-bases
    double lastElapsedCounts; // nowCount - startCount of the latest reading that did not re-base
    bool unavailable;         // no high-resolution counter: every reading is 0.0
};

double PerfStopwatch::elapsedSeconds()
{
    if (unavailable)
        return 0.0;
    nowCount = platform::os().counterValue();
    // Difference modulo 2^64, read as signed: a wrapped counter still gives
    // the true distance.
    const double diff = double(qint64(quint64(nowCount) - quint64(startCount)));
    // A count below the previous reading's, not only one below the start
    // count, is a step back: otherwise a small step back (as between the
    // cores of a machine whose counter is not synchronised) would give a
    // reading below the one before it, and a tick a negative interval.
    if (diff >= lastElapsedCounts) {
        lastElapsedCounts = diff;
        return diff / double(frequency) + baseSeconds;
    }
    // Stepped back: repeat the previous reading's value exactly (same
    // operands, same order) and measure on from the new count.
    startCount = nowCount;
    baseSeconds = lastElapsedCounts / double(frequency) + baseSeconds;
    lastElapsedCounts = 0.0;
    return baseSeconds;
}
