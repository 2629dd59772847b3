#include "engine/runcontrol.h"

#include "engine/rtthread.h"
#include "platform/platform.h"

QStringList RunControl::clockModeNames()
{
    return {"QTimer Event", "Qt msleep", "Win32 Periodic"};
}

QStringList RunControl::threadLevelNames()
{
    return {"Idle", "Lowest", "Low", "Normal", "High", "Highest", "Time Critical"};
}

QStringList RunControl::processLevelNames()
{
    return {"Idle", "Normal", "High", "Realtime"};
}

// Sleeps of a few milliseconds only wake on time with a finer system timer.
bool RunControl::raisesTimerResolution(const RtThread &worker)
{
    return worker.clockMode == RtThread::MsleepMode && worker.clockPeriodMs < 10;
}

void RunControl::start(RtThread &worker, int processIndex, int threadIndex)
{
    const QThread::Priority priority =
        threadIndex >= QThread::IdlePriority && threadIndex <= QThread::TimeCriticalPriority
        ? QThread::Priority(threadIndex)
        : QThread::InheritPriority;

    platform::Os &os = platform::os();
    if (processIndex >= int(platform::ProcessClass::Idle) &&
        processIndex <= int(platform::ProcessClass::Realtime))
        os.setProcessClass(platform::ProcessClass(processIndex));
    os.setCurrentThreadLevel(platform::ThreadLevel::Normal);
    if (raisesTimerResolution(worker))
        os.beginTimerResolution(std::uint32_t(worker.clockPeriodMs));

    // The worker's timer and socket deliver their ticks in its own thread.
    worker.moveToThread(&worker);
    worker.startRun(priority);
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
