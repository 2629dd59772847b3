// SPDX-License-Identifier: MIT
// Starting and stopping a run the way every Vantrel program does it: what it
// asks of the OS layer around the worker, and putting the OS back afterwards.
// The window and the command line share it, so one run setting means the
// same in both.
#pragma once

#include "platform.h"
#include "runsettings.h"

class RtThread;

class RunControl
{
public:
    // Gives the worker the settings' clock, period and target, sets the
    // process class, puts the calling thread at the Normal level, asks for a
    // finer system timer when the worker sleeps for a few milliseconds, and
    // starts the worker in its own thread at the settings' thread level.
    // Memory locked and power states held, as the settings ask, until
    // restore.
    void start(RtThread &worker, const RunSettings &settings);

    // Puts the OS back as start found it: the system timer, the memory lock,
    // the power-state hold and every thread's scheduling. The timer only once per start; a second
    // call puts the scheduling back again and does nothing else.
    void restore();

    // The stop protocol, then restore.
    void stop(RtThread &worker);

    // Whether start left the class out for the program's own threads,
    // because this user could not have put them back afterwards.
    bool classLeftOut() const { return leftOut; }

    // What the latest start was granted of the memory lock and the
    // power-state hold; an empty detail for what it did not ask for.
    const platform::Outcome &memoryLocked() const { return memory; }
    const platform::Outcome &powerStatesHeld() const { return power; }

private:
    std::uint32_t timerPeriodMs = 0; // the finer system timer asked for; 0: none
    bool timerRaised = false;
    bool leftOut = false;
    platform::MemoryLock memoryLock;
    platform::PowerStateHold powerHold;
    platform::Outcome memory;
    platform::Outcome power;
};
