// SPDX-License-Identifier: MIT
#include "drainbudget.h"

#include <algorithm>

void DrainBudget::start(double now, double cpuSeconds, quint64 arrived)
{
    lastNow = now;
    lastCpu = cpuSeconds;
    lastArrived = arrived;
    tokens = CpuShare * WindowSeconds;
    nextSample = now + SampleSeconds;
    paused = false;
    floodSeconds = 0.0;
    floodArrivals = 0;
}

// A leaky bucket: the share flows in with time, up to a second's worth, and
// what the thread used flows out. An empty bucket is a flood: the pause lets
// the share flow back in for what was overspent.
double DrainBudget::sample(double now, double cpuSeconds, quint64 arrived)
{
    const double elapsed = now - lastNow;
    if (cpuSeconds >= 0.0 && lastCpu >= 0.0)
        tokens = std::min(CpuShare * WindowSeconds,
                          tokens + CpuShare * elapsed - (cpuSeconds - lastCpu));
    const bool pausing = cpuSeconds >= 0.0 && tokens < 0.0;

    // The stretch that ends in a pause, and the one that holds it, saw the
    // flood's rate.
    if ((pausing || paused) && elapsed > 0.0 && arrived >= lastArrived) {
        floodSeconds += elapsed;
        floodArrivals += arrived - lastArrived;
    }

    lastNow = now;
    lastCpu = cpuSeconds;
    lastArrived = arrived;
    paused = pausing;
    if (!pausing) {
        nextSample = now + SampleSeconds;
        return 0.0;
    }
    const double pause = std::clamp(-tokens / CpuShare, ShortestPause, LongestPause);
    // The next sample comes with the first drain after the pause.
    nextSample = now + pause;
    return pause;
}
