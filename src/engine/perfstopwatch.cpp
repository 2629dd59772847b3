// SPDX-License-Identifier: MIT
#include "perfstopwatch.h"

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
