// SPDX-License-Identifier: MIT
#include "runcontrol.h"

#include "platform.h"
#include "rtthread.h"

// Sleeps of a few milliseconds only wake on time with a finer system timer.
bool RunControl::raisesTimerResolution(const RtThread &worker)
{
    return worker.clockMode == RtThread::MsleepMode && worker.clockPeriodMs < 10;
}

void RunControl::start(RtThread &worker, const RunSettings &settings)
{
    worker.clockMode = settings.clockMode;
    worker.clockPeriodMs = settings.periodMs;
    worker.sendAddress = settings.target;
    worker.sendUdp = settings.send;
    worker.bindAddress = settings.bindAddress;

    platform::Os &os = platform::os();
    os.setProcessClass(settings.processClass);
    os.setCurrentThreadLevel(platform::ThreadLevel::Normal);
    if (raisesTimerResolution(worker))
        os.beginTimerResolution(std::uint32_t(worker.clockPeriodMs));

    // The worker's timer and socket deliver their ticks in its own thread;
    // thread levels are numbered as QThread's priorities.
    worker.moveToThread(&worker);
    worker.startRun(QThread::Priority(int(settings.threadLevel)));
}

void RunControl::stop(RtThread &worker)
{
    worker.stopRun();

    platform::Os &os = platform::os();
    if (raisesTimerResolution(worker))
        os.endTimerResolution(std::uint32_t(worker.clockPeriodMs));
    os.setProcessClass(platform::ProcessClass::Normal);
    os.setCurrentThreadLevel(platform::ThreadLevel::Normal);
}
