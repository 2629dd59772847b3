// SPDX-License-Identifier: MIT
#include "rtthread.h"

#include "dottedquad.h"
#include "platform.h"
#include "targetcheck.h"

#include <QHostAddress>
#include <QNetworkProxy>
#include <QTimer>
#include <QUdpSocket>

#include <algorithm>
#include <cmath>

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
    , socketDrops(-1)
    , floodRate(0.0)
    , startPriority(InheritPriority)
    , periodicTimer(nullptr)
    , drainStalled(false)
    , datagramsRead(0)
    , pauseSeconds(0.0)
    , drainPaused(false)
    , resumeTimer(nullptr)
    , broadcastTargets{}
    , broadcastTargetCount(0)
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
    put(socketDrops, qint64(-1));
    put(floodRate, 0.0);
    keptCount = 0;
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
    now.datagramsDropped = loadRelaxed(socketDrops);
    now.floodRate = loadRelaxed(floodRate);
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
    resumeTimer = nullptr;
    udpSocket = nullptr;
    lastRunEnd = RunNotEnded;
    startPriority = priority;
    learnBroadcastTargets();
    start(priority);
}

void RtThread::learnBroadcastTargets()
{
    const QList<quint32> broadcasts = localBroadcastAddresses();
    broadcastTargetCount = int(std::min<qsizetype>(broadcasts.size(), broadcastTargets.size()));
    std::copy_n(broadcasts.begin(), broadcastTargetCount, broadcastTargets.begin());
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
    delete resumeTimer;
    resumeTimer = nullptr;
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

    udpSocket = new QUdpSocket;
    // Datagrams go straight to the target. Asking for a system proxy would
    // also start a resolver thread that inherits this thread's realtime
    // priority.
    udpSocket->setProxy(QNetworkProxy::NoProxy);
    if (!bindSocket()) {
        udpSocket->close();
        delete udpSocket;
        udpSocket = nullptr;
        lastRunEnd = RunBindFailed;
        exit(1);
        return;
    }

    stopwatch.restart();
    put(lastTickTime, stopwatch.elapsedSeconds());
    datagramsRead = 0;
    pauseSeconds = 0.0;
    drainPaused = false;
    const std::int64_t cpu = platform::os().currentThreadCpuTime();
    drainBudget.start(loadRelaxed(lastTickTime), cpu < 0 ? -1.0 : double(cpu) * 1e-9, 0);

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

    publishSocketDrops();
    udpSocket->close();
    delete udpSocket;
    udpSocket = nullptr;
    lastRunEnd = end;
}

// IPv4 only: Qt 6's bind(port) would listen on IPv6 as well, where no peer
// of this tool sends from. A function of its own, so that run() keeps no
// object to destroy: a terminated worker unwinds through run() without
// returning, and a clean-up there would run on a stack already given up.
bool RtThread::bindSocket()
{
    const QHostAddress listenAt =
        bindAddress.isEmpty() ? QHostAddress(QHostAddress::AnyIPv4) : QHostAddress(bindAddress);
    return udpSocket->bind(listenAt, UdpPort);
}

void RtThread::runEventLoopClock(int periodMs)
{
    clockTimer = new QTimer;
    // Qt 6 lets timers of 20 ms and more drift by up to 5 % to batch
    // wake-ups; a timer under test must fire on its period.
    clockTimer->setTimerType(Qt::PreciseTimer);
    resumeTimer = new QTimer;
    resumeTimer->setTimerType(Qt::PreciseTimer);
    resumeTimer->setSingleShot(true);
    connect(clockTimer, SIGNAL(timeout()), this, SLOT(runTimerTick()), Qt::AutoConnection);
    connect(udpSocket, SIGNAL(readyRead()), this, SLOT(udpRead()), Qt::AutoConnection);
    connect(resumeTimer, SIGNAL(timeout()), this, SLOT(resumeDraining()), Qt::AutoConnection);
    if (periodMs > 0)
        clockTimer->start(periodMs);
    exec();
    if (periodMs > 0)
        clockTimer->stop();
    resumeTimer->stop();
    msleep(500);
    disconnect(clockTimer, nullptr, this, nullptr);
    disconnect(udpSocket, nullptr, this, nullptr);
    disconnect(resumeTimer, nullptr, this, nullptr);
    delete clockTimer;
    clockTimer = nullptr;
    delete resumeTimer;
    resumeTimer = nullptr;
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
        // One wake-up, one tick, a bounded drain; datagrams left over wake
        // the next wait at once.
        udpRead();
        // Over budget: the socket is left to the kernel for a moment, the
        // stop flag still looked at every few milliseconds.
        const double resumeAt = stopwatch.elapsedSeconds() + pauseSeconds;
        pauseSeconds = 0.0;
        for (double left = resumeAt - stopwatch.elapsedSeconds(); left > 0 && !stopRequested;
             left = resumeAt - stopwatch.elapsedSeconds())
            usleep(ulong(std::ceil(std::min(left, 0.01) * 1e6)));
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
    // Only a plain dotted quad that names one host is a target; anything
    // else sends nothing and the tick still counts.
    quint32 target = 0;
    if (!parseDottedQuad(sendAddress, &target) || refusesTarget(target))
        return;
    udpSocket->writeDatagram(datagram, DatagramSize, QHostAddress(target), UdpPort);
}

bool RtThread::refusesTarget(quint32 address) const
{
    return isRefusedTarget(address, broadcastTargets.data(), broadcastTargetCount);
}

// A wake-up on arriving datagrams: one tick, then a bounded drain. While the
// budget pauses the event loop's draining, Qt's notice of more datagrams is
// left unanswered, and Qt sends no other until one is read: the resume timer
// reads again.
void RtThread::udpRead()
{
    if (drainPaused)
        return;
    countTick(ReceiveGate);
    drainStalled = false;
    if (!udpSocket)
        return;
    drainSocket();
    if (!drainBudget.sampleDue(loadRelaxed(lastTickTime)))
        return;
    pauseSeconds = spendBudget();
    if (pauseSeconds > 0.0 && resumeTimer) {
        drainPaused = true;
        resumeTimer->start(int(std::ceil(pauseSeconds * 1000.0)));
        pauseSeconds = 0.0;
    }
}

void RtThread::resumeDraining()
{
    drainPaused = false;
    udpRead();
}

// At most DatagramsPerWakeUp datagrams, so that a socket that never empties
// still lets the worker back to its loop, its stop flag and its budget. Once
// a stop is asked for, what is still pending is left to the teardown, which
// closes the socket anyway.
void RtThread::drainSocket()
{
    for (int read = 0; read < DrainBudget::DatagramsPerWakeUp && !isInterruptionRequested();
         ++read) {
        const ReadOutcome outcome = readOneDatagram();
        if (outcome != DatagramRead) {
            drainStalled = outcome == ReadFailed; // it stays: leave rather than spin
            return;
        }
        ++datagramsRead;
    }
}

// One datagram, whatever its size, into the scratch buffer and gone.
RtThread::ReadOutcome RtThread::readOneDatagram()
{
    if (!udpSocket->hasPendingDatagrams())
        return NothingPending;
    // A negative size means the socket could not tell; read with the whole
    // buffer then, which still removes the datagram.
    const qint64 size = udpSocket->pendingDatagramSize();
    const qint64 room = qint64(sizeof scratch);
    const qint64 limit = (size >= 0 && size <= room) ? size : room;
    return udpSocket->readDatagram(scratch, limit) < 0 ? ReadFailed : DatagramRead;
}

// Every SampleSeconds while datagrams arrive: the thread's processor time
// and the socket's drops go to the budget. Returns the pause it asks for.
double RtThread::spendBudget()
{
    platform::Os &os = platform::os();
    const double now = stopwatch.elapsedSeconds();
    const std::int64_t cpu = os.currentThreadCpuTime();
    const qint64 drops = os.socketDropCount(udpSocket->socketDescriptor());
    if (drops >= 0)
        put(socketDrops, drops);
    const double pause = drainBudget.sample(now, cpu < 0 ? -1.0 : double(cpu) * 1e-9,
                                            datagramsRead + quint64(std::max<qint64>(drops, 0)));
    if (drainBudget.flooded())
        put(floodRate, drainBudget.floodRate());
    return pause;
}

void RtThread::publishSocketDrops()
{
    const qint64 drops = platform::os().socketDropCount(udpSocket->socketDescriptor());
    if (drops >= 0)
        put(socketDrops, drops);
}
