// SPDX-License-Identifier: MIT
// What asking for a finer timer buys: the mean of 1 ms sleeps through the OS
// layer, before and after beginTimerResolution(1).
#include "platform.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace {

double meanSleepMicros(int sleeps)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < sleeps; ++i)
        platform::os().sleepMs(1);
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / sleeps;
}

} // namespace

int main(int argc, char **argv)
{
    const int sleeps = argc > 1 ? std::atoi(argv[1]) : 2000;
    if (sleeps <= 0) {
        std::fprintf(stderr, "usage: %s [number of 1 ms sleeps, default 2000]\n", argv[0]);
        return 2;
    }
    const double plain = meanSleepMicros(sleeps);
    platform::os().beginTimerResolution(1);
    const double fine = meanSleepMicros(sleeps);
    platform::os().endTimerResolution(1);
    std::printf("mean of %d sleeps of 1 ms: %.1f us as the system is, %.1f us with "
                "beginTimerResolution(1)\n",
                sleeps, plain, fine);
    return 0;
}
