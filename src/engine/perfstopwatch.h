// Seconds since the last restart, from the OS's high-resolution counter.
// Readings never go backwards: when the counter comes out below the count of
// the previous reading, the stopwatch re-bases on the new count and carries
// the time already measured forward.
#pragma once

#include <QtGlobal>

struct PerfStopwatch
{
    PerfStopwatch();

    void restart();
    double elapsedSeconds();

    qint64 startCount;        // count at the last restart or re-base
    qint64 nowCount;          // count of the latest reading
    qint64 frequency;         // counts per second, taken once at construction
    double baseSeconds;       // time carried forward by re-bases
    double lastElapsedCounts; // nowCount - startCount of the latest reading that did not re-base
    bool unavailable;         // no high-resolution counter: every reading is 0.0
};
