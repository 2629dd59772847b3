// Starting and stopping a run the way every Vantrel program does it: what it
// asks of the OS layer around the worker, and the names of the choices it
// offers. The window and the command line share it, so one run setting means
// the same in both.
#pragma once

#include <QStringList>

class RtThread;

class RunControl
{
public:
    // The choices by index: clock modes (RtThread::ClockMode), thread levels
    // (QThread::Priority, Idle to TimeCritical) and process levels
    // (platform::ProcessClass, Idle to Realtime).
    static QStringList clockModeNames();
    static QStringList threadLevelNames();
    static QStringList processLevelNames();

    // Sets the process class (an index out of range leaves it alone), puts
    // the calling thread at the Normal level, asks for a finer system timer
    // when the worker sleeps for a few milliseconds, and starts the worker in
    // its own thread at the thread level's priority (out of range: inherited).
    static void start(RtThread &worker, int processIndex, int threadIndex);

    // The stop protocol, then undoes what start asked of the OS.
    static void stop(RtThread &worker);

private:
    static bool raisesTimerResolution(const RtThread &worker);
};
