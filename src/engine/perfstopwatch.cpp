#include "engine/perfstopwatch.h"

#include "platform/platform.h"

PerfStopwatch::PerfStopwatch()
    : startCount(0)
    , nowCount(0)
    , frequency(platform::os().counterFrequency())
    , baseSeconds(0.0)
    , lastElapsedCounts(0.0)
    , unavailable(frequency == 0)
{
    startCount = platform::os().counterValue();
}

void PerfStopwatch::restart()
{
    startCount = platform::os().counterValue();
    lastElapsedCounts = 0.0;
    baseSeconds = 0.0;
}

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
