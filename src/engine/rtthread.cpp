// SPDX-License-Identifier: MIT
#include "rtthread.h"

#include "dottedquad.h"
#include "platform.h"

#include <QHostAddress>
#include <QNetworkProxy>
#include <QTimer>
#include <QUdpSocket>

#include <algorithm>

namespace {

// The worker is the statistics' one writer: a relaxed store is a plain store
// that the GUI thread can never see half-written.
template <typename T>
inline void put(std::atomic<T> &value, T newValue)
{
    value.store(newValue, std::memory_order_relaxed);
}

template <typename T>
inline T loadRelaxed(const std::atomic<T> &value)
{
    return value.load(std::memory_order_relaxed);
}

const int WarmUpWaits = 10;
const int WindowTicks = 100;
const quint64 UncountedTicks = 10; // the gate passes a tick once its counter is above this

const char datagram[RtThread::DatagramSize] = {};

} // namespace

RtThread::RtThread(QObject *parent)
    : QThread(parent)
    , stopRequested(false)
    , clockMode(TimerEventMode)
    , clockPeriodMs(0)
    , sendUdp(false)
    , clockTimer(nullptr)
    , udpSocket(nullptr)
    , lastRunEnd(RunNotEnded)
    , windowTickCount(0)
    , averagePeriod(0.0)
    , maxInterval(0.0)
    , windowIntervalSum(0.0)
    , lastTickTime(0.0)
    , tickCount(0)
    , schedulingPublished(false)
    , startPriority(InheritPriority)
    , periodicTimer(nullptr)
    , drainStalled(false)
    , intervalLog(nullptr)
    , intervalCapacity(0)
    , keptCount(0)
{
    for (auto &bin : histogram)
        put(bin, quint64(0));
}

RtThread::~RtThread()
{
    stopRun();
}

void RtThread::resetStatistics()
{
    put(averagePeriod, 0.0);
    put(maxInterval, 0.0);
    put(windowIntervalSum, 0.0);
    put(lastTickTime, 0.0);
    put(windowTickCount, quint64(0));
    put(tickCount, quint64(0));
    for (auto &bin : histogram)
        put(bin, quint64(0));
    keptCount = 0;
    schedulingPublished.store(false, std::memory_order_relaxed);
    grantedScheduling = platform::ThreadScheduling();
}

RunStatistics RtThread::statistics() const
{
    RunStatistics now;
    for (int i = 0; i < RunStatistics::Bins; ++i)
        now.bins[size_t(i)] = loadRelaxed(histogram[i]);
    now.tickCount = loadRelaxed(tickCount);
    now.meanInterval = loadRelaxed(averagePeriod);
    now.maxInterval = loadRelaxed(maxInterval);
    return now;
}

void RtThread::keepIntervals(double *buffer, quint64 capacity)
{
    intervalLog = buffer;
    intervalCapacity = buffer ? capacity : 0;
    keptCount = 0;
}

void RtThread::startRun(QThread::Priority priority)
{
    if (isRunning())
        stopRun();
    resetStatistics();
    stopRequested = false;
    clockTimer = nullptr;
    udpSocket = nullptr;
    lastRunEnd = RunNotEnded;
    startPriority = priority;
    start(priority);
}

void RtThread::stopRun()
{
    if (!isRunning())
        return;
    // Datagrams that keep arriving would keep a drain from ever returning to
    // the event loop or the stop flag; udpRead looks at this between them.
    requestInterruption();
    switch (clockMode) {
    case TimerEventMode:
        quit();
        break;
    case MsleepMode:
    case WaitableTimerMode:
        stopRequested = true;
        break;
    default:
        break;
    }
    if (wait(5000))
        return;
    terminate();
    if (wait(1000))
        releaseTerminatedRun();
    lastRunEnd = RunTerminated;
}

// A terminated run never reached its teardown. Its thread is gone, so its
// socket, timer and periodic timer are released here; otherwise the socket
// would hold UdpPort until the process ends and no later run could bind it.
void RtThread::releaseTerminatedRun()
{
    delete clockTimer;
    clockTimer = nullptr;
    delete udpSocket;
    udpSocket = nullptr;
    if (periodicTimer) {
        platform::os().closePeriodicTimer(periodicTimer);
        periodicTimer = nullptr;
    }
}

void RtThread::run()
{
    // Linux does not apply QThread's start priority; the OS layer does it
    // here, for every OS alike.
    if (startPriority >= IdlePriority && startPriority <= TimeCriticalPriority)
        platform::os().setCurrentThreadLevel(platform::ThreadLevel(int(startPriority)));
    grantedScheduling = platform::os().currentThreadScheduling();
    schedulingPublished.store(true, std::memory_order_release);

    udpSocket = new QUdpSocket;
    // Datagrams go straight to the target. Asking for a system proxy would
    // also start a resolver thread that inherits this thread's realtime
    // priority.
    udpSocket->setProxy(QNetworkProxy::NoProxy);
    if (!udpSocket->bind(UdpPort)) {
        udpSocket->close();
        delete udpSocket;
        udpSocket = nullptr;
        lastRunEnd = RunBindFailed;
        exit(1);
        return;
    }

    stopwatch.restart();
    put(lastTickTime, stopwatch.elapsedSeconds());

    const int period = clockPeriodMs;
    RunEnd end = RunStopped;
    switch (clockMode) {
    case TimerEventMode:
        runEventLoopClock(period);
        break;
    case MsleepMode:
        if (period > 0)
            runSleepClock(period);
        else
            runReceiveLoop();
        break;
    case WaitableTimerMode:
        if (period > 0)
            runPeriodicTimerClock(period);
        else
            end = RunHadNoClock;
        break;
    default:
        end = RunHadNoClock;
        break;
    }

    udpSocket->close();
    delete udpSocket;
    udpSocket = nullptr;
    lastRunEnd = end;
}

void RtThread::runEventLoopClock(int periodMs)
{
    clockTimer = new QTimer;
    // Qt 6 lets timers of 20 ms and more drift by up to 5 % to batch
    // wake-ups; a timer under test must fire on its period.
    clockTimer->setTimerType(Qt::PreciseTimer);
    connect(clockTimer, SIGNAL(timeout()), this, SLOT(runTimerTick()), Qt::AutoConnection);
    connect(udpSocket, SIGNAL(readyRead()), this, SLOT(udpRead()), Qt::AutoConnection);
    if (periodMs > 0)
        clockTimer->start(periodMs);
    exec();
    if (periodMs > 0)
        clockTimer->stop();
    msleep(500);
    disconnect(clockTimer, nullptr, this, nullptr);
    disconnect(udpSocket, nullptr, this, nullptr);
    delete clockTimer;
    clockTimer = nullptr;
}

void RtThread::runSleepClock(int periodMs)
{
    for (int i = 0; i < WarmUpWaits; ++i)
        msleep(ulong(periodMs));
    while (!stopRequested) {
        msleep(ulong(periodMs));
        runTimerTick();
    }
}

void RtThread::runReceiveLoop()
{
    while (!stopRequested) {
        if (!udpSocket->waitForReadyRead(100))
            continue;
        // udpRead drains the socket; a datagram it cannot remove, or a stop
        // that leaves datagrams behind, must not keep this loop from the
        // stop flag.
        while (!isInterruptionRequested() && udpSocket->hasPendingDatagrams()) {
            udpRead();
            if (drainStalled)
                break;
        }
    }
}

void RtThread::runPeriodicTimerClock(int periodMs)
{
    platform::Os &os = platform::os();
    platform::PeriodicTimer *timer = os.createPeriodicTimer();
    if (timer && !os.setPeriodicTimer(timer, periodMs)) {
        os.closePeriodicTimer(timer);
        timer = nullptr;
    }
    periodicTimer = timer;
    // Ten periods, kept below the OS's "wait forever".
    const auto timeoutMs = std::uint32_t(std::min<qint64>(10 * qint64(periodMs), 0xFFFFFFFE));
    const auto waitOnce = [&]() {
        if (timer)
            os.waitPeriodicTimer(timer, timeoutMs);
        else
            os.sleepMs(std::uint32_t(periodMs));
    };

    for (int i = 0; i < WarmUpWaits; ++i)
        waitOnce();
    while (!stopRequested) {
        waitOnce();
        runTimerTick();
    }

    if (timer) {
        periodicTimer = nullptr;
        os.closePeriodicTimer(timer);
    }
}

// Inlined into both slots: one call less on every tick.
Q_ALWAYS_INLINE void RtThread::countTick(Gate gate)
{
    const double now = stopwatch.elapsedSeconds();
    const double interval = now - loadRelaxed(lastTickTime);
    put(windowIntervalSum, loadRelaxed(windowIntervalSum) + interval);
    put(lastTickTime, now);

    // Nearest 0.1 ms, a half going up; compared as a double first so that no
    // interval, however long, overflows the conversion.
    const double scaled = interval * 10000.0 + 0.5;
    int bin = 0;
    if (scaled >= double(RunStatistics::Bins))
        bin = RunStatistics::OverflowBin;
    else if (scaled >= 1.0)
        bin = int(scaled);

    // The first ticks of a run (timer) or of each window (receive) wait out
    // the start-up, so the histogram leaves them out.
    const quint64 gateCount =
        gate == TimerGate ? loadRelaxed(tickCount) : loadRelaxed(windowTickCount);
    if (gateCount > UncountedTicks) {
        put(histogram[bin], loadRelaxed(histogram[bin]) + 1);
        // The overflow row is labelled with the longest interval it counted;
        // an uncounted tick (the warm-up span) must not set that label.
        if (bin == RunStatistics::OverflowBin && interval > loadRelaxed(maxInterval))
            put(maxInterval, interval);
        if (keptCount < intervalCapacity)
            intervalLog[keptCount++] = interval;
    }

    quint64 inWindow = loadRelaxed(windowTickCount) + 1;
    if (inWindow == WindowTicks) {
        put(averagePeriod, loadRelaxed(windowIntervalSum) / double(inWindow));
        inWindow = 0;
        put(windowIntervalSum, 0.0);
    }
    put(windowTickCount, inWindow);
    put(tickCount, loadRelaxed(tickCount) + 1);
}

void RtThread::runTimerTick()
{
    countTick(TimerGate);
    if (!sendUdp.load(std::memory_order_relaxed) || !udpSocket)
        return;
    // Only a plain dotted quad is a target; anything else sends nothing and
    // the tick still counts.
    quint32 target = 0;
    if (!parseDottedQuad(sendAddress, &target))
        return;
    udpSocket->writeDatagram(datagram, DatagramSize, QHostAddress(target), UdpPort);
}

void RtThread::udpRead()
{
    countTick(ReceiveGate);
    drainStalled = false;
    if (!udpSocket)
        return;
    // Once a stop is asked for, what is still pending is left to the
    // teardown, which closes the socket anyway.
    while (!isInterruptionRequested() && udpSocket->hasPendingDatagrams()) {
        // A negative size means the socket could not tell; read with the
        // whole buffer then, which still removes the datagram.
        const qint64 size = udpSocket->pendingDatagramSize();
        const qint64 room = qint64(sizeof scratch);
        const qint64 limit = (size >= 0 && size <= room) ? size : room;
        if (udpSocket->readDatagram(scratch, limit) < 0) {
            drainStalled = true; // the datagram stays; leave rather than spin
            break;
        }
    }
}
