// SPDX-License-Identifier: MIT
#include "runcontrol.h"

#include "platform.h"
#include "rtthread.h"

void RunControl::start(RtThread &worker, const RunSettings &settings)
{
    worker.setSettings(settings);

    // Held from here to restore; refused, the run goes on and says so.
    memory = settings.lockMemory ? memoryLock.acquire(worker.keptRegions()) : platform::Outcome();
    power = settings.pmQosUs >= 0 ? powerHold.acquire(settings.pmQosUs) : platform::Outcome();

    platform::Os &os = platform::os();
    leftOut = !os.setProcessClass(settings.processClass);
    leftOut = !os.setCurrentThreadLevel(platform::ThreadLevel::Normal) || leftOut;
    // Sleeps of a few milliseconds only wake on time with a finer system
    // timer.
    timerRaised = settings.clockMode == MsleepMode && settings.periodMs < 10;
    if (timerRaised) {
        timerPeriodMs = std::uint32_t(settings.periodMs);
        os.beginTimerResolution(timerPeriodMs);
    }

    // The worker's timer and socket deliver their ticks in its own thread;
    // thread levels are numbered as QThread's priorities.
    worker.moveToThread(&worker);
    worker.startRun(QThread::Priority(int(settings.threadLevel)));
}

void RunControl::restore()
{
    platform::Os &os = platform::os();
    if (timerRaised) {
        os.endTimerResolution(timerPeriodMs);
        timerRaised = false;
    }
    memoryLock.release();
    powerHold.release();
    os.restoreScheduling();
}

void RunControl::stop(RtThread &worker)
{
    worker.stopRun();
    restore();
}
