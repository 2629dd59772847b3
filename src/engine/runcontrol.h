// SPDX-License-Identifier: MIT
// Starting and stopping a run the way every Vantrel program does it: what it
// asks of the OS layer around the worker. The window and the command line
// share it, so one run setting means the same in both.
#pragma once

#include "runsettings.h"

class RtThread;

class RunControl
{
public:
    // Gives the worker the settings' clock, period and target, sets the
    // process class, puts the calling thread at the Normal level, asks for a
    // finer system timer when the worker sleeps for a few milliseconds, and
    // starts the worker in its own thread at the settings' thread level.
    static void start(RtThread &worker, const RunSettings &settings);

    // The stop protocol, then undoes what start asked of the OS.
    static void stop(RtThread &worker);

private:
    static bool raisesTimerResolution(const RtThread &worker);
};
