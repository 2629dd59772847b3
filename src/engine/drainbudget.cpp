// SPDX-License-Identifier: MIT
#include "drainbudget.h"

#include <algorithm>

void DrainBudget::start(double now, double cpuSeconds, quint64 arrived)
{
    oldest = 0;
    count = 0;
    if (cpuSeconds >= 0.0) {
        readings[0] = {now, cpuSeconds, arrived};
        count = 1;
    }
    nextSample = now + SampleSeconds;
    floodPeak = 0.0;
}

double DrainBudget::sample(double now, double cpuSeconds, quint64 arrived)
{
    if (cpuSeconds < 0.0) {
        nextSample = now + SampleSeconds;
        return 0.0;
    }
    if (count == 0) {
        readings[0] = {now, cpuSeconds, arrived}; // a budget never started begins here
        oldest = 0;
        count = 1;
    }
    // Readings older than the newest one a window old are no longer needed.
    while (count > 1 && readings[size_t((oldest + 1) % Readings)].now <= now - WindowSeconds) {
        oldest = (oldest + 1) % Readings;
        --count;
    }
    const Reading &base = readings[size_t(oldest)];
    // Time before the first reading counts as idle: a burst may take a
    // second's share at once.
    const double share = (cpuSeconds - base.cpu) / std::max(now - base.now, WindowSeconds);
    const bool pausing = share > CpuShare;
    if (pausing && now - base.now >= SampleSeconds && arrived >= base.arrived)
        floodPeak = std::max(floodPeak, double(arrived - base.arrived) / (now - base.now));

    const Reading &newest = readings[size_t((oldest + count - 1) % Readings)];
    if (now - newest.now >= SampleSeconds) {
        if (count == Readings) { // cannot happen with readings SampleSeconds apart
            oldest = (oldest + 1) % Readings;
            --count;
        }
        readings[size_t((oldest + count) % Readings)] = {now, cpuSeconds, arrived};
        ++count;
    }

    // During a flood the next sample comes with the first drain after the
    // pause.
    nextSample = now + (pausing ? PauseSeconds : SampleSeconds);
    return pausing ? PauseSeconds : 0.0;
}
