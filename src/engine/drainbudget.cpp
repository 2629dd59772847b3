// SPDX-License-Identifier: MIT
#include "drainbudget.h"

#include <algorithm>

void DrainBudget::start(double now, double cpuSeconds, quint64 arrived)
{
    oldest = 0;
    count = 0;
    if (cpuSeconds >= 0.0) {
        readings[0] = {now, cpuSeconds};
        count = 1;
    }
    lastNow = now;
    lastArrived = arrived;
    nextSample = now + SampleSeconds;
    episodeStart = -1.0;
    floodSeconds = 0.0;
    floodArrivals = 0;
}

double DrainBudget::sample(double now, double cpuSeconds, quint64 arrived)
{
    bool pausing = false;
    if (cpuSeconds >= 0.0) {
        if (count == 0) {
            readings[0] = {now, cpuSeconds}; // a budget never started begins here
            oldest = 0;
            count = 1;
        }
        // Older readings than the newest one a window old are no longer
        // needed.
        while (count > 1 && readings[size_t((oldest + 1) % Readings)].now <= now - WindowSeconds) {
            oldest = (oldest + 1) % Readings;
            --count;
        }
        const Reading &base = readings[size_t(oldest)];
        // Time before the first reading counts as idle: a burst may take a
        // second's share at once.
        const double share = (cpuSeconds - base.cpu) / std::max(now - base.now, WindowSeconds);
        pausing = share > CpuShare;

        const Reading &newest = readings[size_t((oldest + count - 1) % Readings)];
        if (now - newest.now >= SampleSeconds) {
            if (count == Readings) { // cannot happen with readings SampleSeconds apart
                oldest = (oldest + 1) % Readings;
                --count;
            }
            readings[size_t((oldest + count) % Readings)] = {now, cpuSeconds};
            ++count;
        }
    }

    // Arrivals are counted over a whole flood: what a wake-up finds waiting
    // arrived before it, and at most a queue's worth lies across either end.
    if (pausing) {
        if (episodeStart < 0.0 || now - episodeEnd > WindowSeconds) {
            if (episodeStart >= 0.0) {
                floodSeconds += episodeEnd - episodeStart;
                floodArrivals += arrivedAtEnd - arrivedAtStart;
            }
            episodeStart = lastNow;
            arrivedAtStart = lastArrived;
        }
        episodeEnd = now;
        arrivedAtEnd = std::max(arrived, arrivedAtStart);
    }
    lastNow = now;
    lastArrived = arrived;

    // During a flood the next sample comes with the first drain after the
    // pause.
    nextSample = now + (pausing ? PauseSeconds : SampleSeconds);
    return pausing ? PauseSeconds : 0.0;
}

double DrainBudget::floodRate() const
{
    if (!flooded())
        return 0.0;
    const double seconds = floodSeconds + (episodeEnd - episodeStart);
    const double arrivals = double(floodArrivals + (arrivedAtEnd - arrivedAtStart));
    return seconds > 0.0 ? arrivals / seconds : 0.0;
}
