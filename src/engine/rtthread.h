// SPDX-License-Identifier: MIT
// The measurement worker: one run from startRun to the stop protocol, ticking
// on the chosen clock and keeping the interval statistics that the window
// reads while the run goes on.
#pragma once

#include "drainbudget.h"
#include "perfstopwatch.h"
#include "platform.h"
#include "runstatistics.h"
#include "runtimeline.h"

#include <QString>
#include <QThread>

#include <array>
#include <atomic>

QT_BEGIN_NAMESPACE
class QHostAddress;
class QTimer;
class QUdpSocket;
QT_END_NAMESPACE

class RtThread : public QThread
{
    Q_OBJECT

public:
    // Clock sources, by their index in the window's list.
    enum ClockMode { TimerEventMode = 0, MsleepMode = 1, WaitableTimerMode = 2 };

    // Why the latest run ended.
    enum RunEnd {
        RunNotEnded,   // no run yet, or the run still goes on
        RunStopped,    // ended by the stop protocol
        RunHadNoClock, // the configuration has no clock, so it ended at once
        RunBindFailed, // UdpPort could not be bound: another program holds it
        RunTerminated  // did not stop in time and was terminated
    };

    static constexpr quint16 UdpPort = 1667;
    static constexpr int DatagramSize = 64;

    // The address the worker listens on at UdpPort: bindAddress, or every
    // local IPv4 address when it is empty.
    static QHostAddress listenAddress(const QString &bindAddress);

    explicit RtThread(QObject *parent = nullptr);
    ~RtThread() override;

    void startRun(QThread::Priority priority);
    void stopRun();

    // Takes this machine's broadcast addresses as its interfaces have them
    // now, never to be sent to (0.0.0.0 and 255.255.255.255 never are
    // anyway). startRun calls it; the GUI thread's work, not the worker's.
    void learnBroadcastTargets();

    // Keep every counted interval, in seconds, in buffer as well, until
    // capacity are kept; a null buffer keeps none. arrivals, when given, has
    // room for as many: beside each kept interval, the arrival interval of
    // the first datagram that tick drained, by the kernel's stamps, and NaN
    // where it had none. Set between runs; read keptIntervals once the run
    // has ended.
    void keepIntervals(double *buffer, quint64 capacity, double *arrivals = nullptr);
    quint64 keptIntervals() const { return keptCount; }

    // The statistics as they are now, read while the worker may tick: every
    // value whole, and the bins of one reading taken together.
    RunStatistics statistics() const;

    // When in the run the ticks and the long intervals came, as it is now:
    // the slots of one reading taken together, the open one up to now.
    RunTimeline timeline() const;

    // Written by the GUI thread, read by the worker.
    std::atomic<bool> stopRequested;
    int clockMode;
    int clockPeriodMs;
    QString sendAddress;
    std::atomic<bool> sendUdp;
    QString bindAddress; // one local IPv4 address to listen on; empty: all of them

    QTimer *clockTimer;
    QUdpSocket *udpSocket;
    PerfStopwatch stopwatch;

    std::atomic<int> lastRunEnd; // a RunEnd; reset by startRun

    // What the scheduler granted the worker's thread once it set its own
    // level, before its first tick; false until then.
    bool grantedScheduling(platform::ThreadScheduling *granted) const;

protected:
    void run() override;

protected slots:
    void runTimerTick();
    void udpRead();
    void resumeDraining();

private:
    enum Gate { TimerGate, ReceiveGate };
    void countTick(Gate gate);
    bool drainOneDatagram();
    void noteStamp(const platform::PendingDatagram &datagram);
    void resetStatistics();
    // The steps of run: the worker's own priority, the socket, the clock.
    void applyStartPriority();
    bool bindSocket();
    void startMeasuring();
    RunEnd runClock();
    void closeSocket();
    void runEventLoopClock(int periodMs);
    void runSleepClock(int periodMs);
    void runReceiveLoop();
    void runPeriodicTimerClock(int periodMs);
    void releaseTerminatedRun();
    void closeTimelineSlot(double now);
    bool refusesTarget(quint32 address) const;

    // The receive side of a wake-up: one datagram at a time, at most a
    // bounded number per wake-up, and the processor time it all takes held
    // to the budget.
    double wakeUp();
    void drainSocket();
    double spendBudget();
    qint64 publishSocketDrops();

    // Written by the worker at every tick, read by statistics() in another
    // thread. Single writer, so relaxed loads and stores are enough and cost
    // nothing more than plain ones.
    std::atomic<quint64> windowTickCount;
    std::atomic<double> averagePeriod;
    std::atomic<double> maxInterval; // longest interval counted in the overflow bin
    std::atomic<double> windowIntervalSum;
    std::atomic<double> lastTickTime;
    std::atomic<quint64> histogram[RunStatistics::Bins];
    std::atomic<quint64> tickCount;
    std::atomic<qint64> socketDrops; // -1: not known
    std::atomic<double> floodRate;   // 0: never flooded

    platform::ThreadScheduling granted; // published by grantedKnown
    std::atomic<bool> grantedKnown;
    // The kernel's receive stamps (ReceiveTiming), by the same single writer.
    std::atomic<int> stampState;
    std::atomic<quint64> stampedCount;
    std::atomic<quint64> unstampedCount;
    std::atomic<quint64> arrivalHistogram[ReceiveTiming::ArrivalBins];
    std::atomic<double> arrivalSum;
    std::atomic<double> maxArrival;
    std::atomic<quint64> latenessHistogram[ReceiveTiming::LatenessBins];
    std::atomic<double> maxLateness;
    std::atomic<qint64> clockOffset;
    // The worker's own: the previous datagram's stamp, whether the current
    // wake-up still awaits its first stamped datagram, the wake-up on the
    // stamp clock, and how many intervals were kept before it.
    qint64 previousStampNs;
    bool hasPreviousStamp;
    bool awaitingFirstStamp;
    qint64 wakeStampNs;
    quint64 keptBeforeWakeUp;
    // The timeline: closed slots, written once a second at most (in
    // closeTimelineSlot, the tick's rarely taken branch), and the open one's
    // start and longest interval. timelineGeneration is odd while a slot
    // closes, so that a reader can tell a reading taken across it.
    std::atomic<quint64> slotTicks[RunTimeline::Slots];
    std::atomic<double> slotMax[RunTimeline::Slots];
    std::atomic<int> openSlot;
    std::atomic<double> slotSeconds;
    std::atomic<quint64> openSlotStartTicks;
    std::atomic<double> openSlotMax;
    std::atomic<quint32> timelineGeneration;
    double openSlotEnd; // the worker's own: when the open slot closes

    QThread::Priority startPriority;
    platform::PeriodicTimer *periodicTimer; // held only for cleanup after a termination
    DrainBudget drainBudget;
    quint64 datagramsRead;
    bool drainPaused;    // event loop: wake-ups leave the socket alone until resumeTimer
    QTimer *resumeTimer; // event loop only
    // Besides 0.0.0.0 and 255.255.255.255, the local broadcast addresses
    // that startRun found, never sent to.
    std::array<quint32, 32> broadcastTargets;
    int broadcastTargetCount;
    double *intervalLog; // see keepIntervals
    double *arrivalLog;  // see keepIntervals
    quint64 intervalCapacity;
    quint64 keptCount;
    char scratch[65536]; // discarded datagrams land here
};
