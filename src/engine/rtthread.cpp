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
#include <cstdio>
#include <cstdlib>

namespace {

const int WarmUpWaits = 10;

const char datagram[RtThread::DatagramSize] = {};

} // namespace

RtThread::RtThread(QObject *parent) : QThread(parent)
{
    resetStatistics();
}

RtThread::~RtThread()
{
    stopRun();
    if (isRunning()) {
        // Qt 6 aborts the process when a QThread is destroyed while its
        // thread still runs. A worker that outlived its termination leaves
        // one way out that loses nothing already written: ending the process
        // here, as a run cut short.
        std::fputs("vantrel: the measuring thread did not end, even when terminated; the "
                   "program ends without it\n",
                   stderr);
        std::fflush(nullptr);
        std::_Exit(1);
    }
}

void RtThread::setSettings(const RunSettings &settings)
{
    runSettings = settings;
    sendUdp = settings.send;
}

void RtThread::resetStatistics()
{
    ticks.reset();
    stamps.reset();
    latenessRecorder.reset();
    put(socketDrops, qint64(-1));
    put(floodRate, 0.0);
    grantedKnown.store(false, std::memory_order_relaxed);
    granted = platform::ThreadScheduling();
    pinOutcome = platform::Outcome();
    policyOutcome = platform::Outcome();
}

bool RtThread::grantedScheduling(platform::ThreadScheduling *scheduling) const
{
    if (!grantedKnown.load(std::memory_order_acquire))
        return false;
    *scheduling = granted;
    return true;
}

bool RtThread::grantedPlacement(platform::Outcome *pinned, platform::Outcome *policy) const
{
    if (!grantedKnown.load(std::memory_order_acquire))
        return false;
    *pinned = pinOutcome;
    *policy = policyOutcome;
    return true;
}

RunStatistics RtThread::statistics() const
{
    RunStatistics now = ticks.statistics();
    now.receive = stamps.timing();
    now.datagramsDropped = loadRelaxed(socketDrops);
    now.floodRate = loadRelaxed(floodRate);
    return now;
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
    // The sampler's flags are reset before the worker may set them.
    startSpikeSampler();
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
    // A worker that outlived its termination would only be waited for again.
    if (!isRunning() || lastRunEnd == RunTerminated) {
        spikeSampler.stop();
        return;
    }
    // Datagrams that keep arriving would keep a drain from ever returning to
    // the event loop or the stop flag; udpRead looks at this between them.
    requestInterruption();
    switch (clockMode()) {
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
    if (wait(5000)) {
        spikeSampler.stop();
        return;
    }
    spikeSampler.stop();
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
    applyStartPriority();
    if (runSettings.listens) {
        udpSocket = new QUdpSocket;
        // Datagrams go straight to the target. Asking for a system proxy
        // would also start a resolver thread that inherits this thread's
        // realtime priority.
        udpSocket->setProxy(QNetworkProxy::NoProxy);
        if (!bindSocket()) {
            closeSocket();
            lastRunEnd = RunBindFailed;
            exit(1);
            return;
        }
    }
    startMeasuring();
    startSpikeWatch();
    const RunEnd end = runClock();
    publishSocketDrops();
    closeSocket();
    lastRunEnd = end;
}

// Linux does not apply QThread's start priority; the OS layer does it here,
// for every OS alike. The CPU, a direct policy and the memory's first touch
// come here too: once, in the worker's own thread, before its first tick.
void RtThread::applyStartPriority()
{
    if (runSettings.cpu >= 0)
        pinOutcome = platform::pinCurrentThread(runSettings.cpu);
    if (startPriority >= IdlePriority && startPriority <= TimeCriticalPriority)
        platform::os().setRunThreadLevel(platform::ThreadLevel(int(startPriority)));
    if (runSettings.directPolicy)
        policyOutcome =
            platform::setCurrentThreadPolicy(runSettings.policy, runSettings.policyPriority);
    if (runSettings.lockMemory)
        prefaultMemory();
    granted = platform::os().currentThreadScheduling();
    grantedKnown.store(true, std::memory_order_release);
}

// Pages of the kept intervals and of the stack exist before the first tick,
// so that no tick waits on a page fault (and, locked, they stay).
void RtThread::prefaultMemory()
{
    const std::size_t bytes = std::size_t(keptCapacity) * sizeof(double);
    if (keptBuffer)
        platform::prefault({keptBuffer, bytes});
    if (keptArrivals)
        platform::prefault({keptArrivals, bytes});
    // Well within the smallest stack a QThread gets (Qt's default is the
    // OS's, 8 MiB on Linux, 1 MiB on Windows).
    platform::prefaultStack(256 * 1024);
}

// The kernel's receive stamps, the stopwatch and the drain budget, from the
// run's start.
void RtThread::startMeasuring()
{
    if (udpSocket)
        stamps.setStamps(platform::os().enableReceiveStamps(udpSocket->socketDescriptor())
                             ? ReceiveTiming::StampsOn
                             : ReceiveTiming::StampsRefused);

    stopwatch.restart();
    ticks.start(stopwatch.elapsedSeconds());
    datagramsRead = 0;
    drainPaused = false;
    const std::int64_t cpu = platform::os().currentThreadCpuTime();
    drainBudget.start(ticks.lastTick(), cpu < 0 ? -1.0 : double(cpu) * 1e-9, 0);
}

// The chosen clock until the stop request; RunHadNoClock for a mode and
// period that have none.
RtThread::RunEnd RtThread::runClock()
{
    const int period = clockPeriodMs();
    switch (clockMode()) {
    case TimerEventMode:
        runEventLoopClock(period);
        return RunStopped;
    case MsleepMode:
        if (period > 0)
            runSleepClock(period);
        else if (udpSocket)
            runReceiveLoop();
        else
            return RunHadNoClock;
        return RunStopped;
    case WaitableTimerMode:
        if (period <= 0)
            return RunHadNoClock;
        runPeriodicTimerClock(period);
        return RunStopped;
    default:
        return RunHadNoClock;
    }
}

void RtThread::closeSocket()
{
    if (!udpSocket)
        return;
    udpSocket->close();
    delete udpSocket;
    udpSocket = nullptr;
}

// IPv4 only: Qt 6's bind(port) would listen on IPv6 as well, where no peer
// of this tool sends from. A function of its own, so that run() keeps no
// object to destroy: a terminated worker unwinds through run() without
// returning, and a clean-up there would run on a stack already given up.
bool RtThread::bindSocket()
{
    return udpSocket->bind(listenAddress(runSettings.bindAddress), UdpPort);
}

QHostAddress RtThread::listenAddress(const QString &bindAddress)
{
    return bindAddress.isEmpty() ? QHostAddress(QHostAddress::AnyIPv4) : QHostAddress(bindAddress);
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
    if (udpSocket)
        connect(udpSocket, SIGNAL(readyRead()), this, SLOT(udpRead()), Qt::AutoConnection);
    connect(resumeTimer, SIGNAL(timeout()), this, SLOT(resumeDraining()), Qt::AutoConnection);
    if (periodMs > 0) {
        latenessRecorder.startAfterTicks(periodMs);
        clockTimer->start(periodMs);
    }
    exec();
    if (periodMs > 0)
        clockTimer->stop();
    resumeTimer->stop();
    msleep(500);
    disconnect(clockTimer, nullptr, this, nullptr);
    if (udpSocket)
        disconnect(udpSocket, nullptr, this, nullptr);
    disconnect(resumeTimer, nullptr, this, nullptr);
    delete clockTimer;
    clockTimer = nullptr;
    delete resumeTimer;
    resumeTimer = nullptr;
}

void RtThread::runSleepClock(int periodMs)
{
    latenessRecorder.startAfterTicks(periodMs);
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
        const double pause = wakeUp();
        if (pause <= 0.0)
            continue;
        // Over budget: the socket is left to the kernel for a moment, the
        // stop flag still looked at every few milliseconds.
        const double resumeAt = stopwatch.elapsedSeconds() + pause;
        for (double left = resumeAt - stopwatch.elapsedSeconds(); left > 0 && !stopRequested;
             left = resumeAt - stopwatch.elapsedSeconds())
            usleep(ulong(std::ceil(std::min(left, 0.01) * 1e6)));
    }
}

void RtThread::runPeriodicTimerClock(int periodMs)
{
    platform::Os &os = platform::os();
    platform::PeriodicTimer *timer = os.createPeriodicTimer();
    // Read before the timer is armed, so that the deadlines counted from it
    // are never later than the timer's own.
    const double origin = stopwatch.elapsedSeconds();
    if (timer && !os.setPeriodicTimer(timer, periodMs)) {
        os.closePeriodicTimer(timer);
        timer = nullptr;
    }
    // Without a timer the waits are sleeps of a period from each tick.
    if (timer)
        latenessRecorder.startGrid(origin, periodMs);
    else
        latenessRecorder.startAfterTicks(periodMs);
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
        if (Q_UNLIKELY(faultEveryTicks > 0))
            touchFreshMemory();
        runTimerTick();
    }

    if (timer) {
        periodicTimer = nullptr;
        os.closePeriodicTimer(timer);
    }
}

void RtThread::runTimerTick()
{
    const double now = stopwatch.elapsedSeconds();
    const double previous = ticks.lastTick();
    const qint64 lateNs =
        latenessRecorder.countWakeUp(now, ticks.countTick(now, TickRecorder::TimerGate));
    if (Q_UNLIKELY(lateNs > spikeAboveNs.load(std::memory_order_relaxed)))
        noteSpike(now, lateNs, now - previous);
    if (!sendUdp.load(std::memory_order_relaxed) || !udpSocket)
        return;
    // Only a plain dotted quad that names one host is a target; anything
    // else sends nothing and the tick still counts.
    quint32 target = 0;
    if (!parseDottedQuad(runSettings.target, &target) || refusesTarget(target))
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
    const double pause = wakeUp();
    if (pause > 0.0 && resumeTimer) {
        drainPaused = true;
        resumeTimer->start(int(std::ceil(pause * 1000.0)));
    }
}

// The tick and the drain of one wake-up; returns the pause the budget asks
// for, 0 for none.
double RtThread::wakeUp()
{
    if (drainPaused)
        return 0.0;
    const quint64 keptBefore = ticks.keptIntervals();
    const double previous = ticks.lastTick();
    const double now = stopwatch.elapsedSeconds();
    ticks.countTick(now, TickRecorder::ReceiveGate);
    if (Q_UNLIKELY(qint64((now - previous) * 1e9) >
                   intervalAboveNs.load(std::memory_order_relaxed)))
        noteSpike(now, LatenessRecorder::NoLateness, now - previous);
    if (!udpSocket)
        return 0.0;
    // The stamp clock, read right after the tick's counter reading: both
    // are the wake-up's time, each on its own clock.
    stamps.beginWakeUp(stamps.refused() ? 0 : platform::os().stampClockNs(),
                       ticks.keptIntervals() != keptBefore ? ticks.latestArrivalRow() : nullptr);
    drainSocket();
    return drainBudget.sampleDue(ticks.lastTick()) ? spendBudget() : 0.0;
}

// One datagram: its size and kernel stamp through the OS layer, a look that
// leaves it queued; then Qt's read removes it. Qt's own read must be the one
// that takes it: an unbuffered QUdpSocket arms its next readyRead only there.
bool RtThread::drainOneDatagram()
{
    const platform::PendingDatagram next =
        platform::os().peekDatagram(std::intptr_t(udpSocket->socketDescriptor()));
    // A negative size means neither could tell; read with the whole buffer
    // then, which still removes the datagram.
    const qint64 size = next.size >= 0 ? next.size : udpSocket->pendingDatagramSize();
    const qint64 room = qint64(sizeof scratch);
    const qint64 limit = (size >= 0 && size <= room) ? size : room;
    if (udpSocket->readDatagram(scratch, limit) < 0)
        return false;
    stamps.noteStamp(next, stopwatch);
    return true;
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
    // A datagram that cannot be read stays: leave rather than spin.
    for (int read = 0; read < DrainBudget::DatagramsPerWakeUp && !isInterruptionRequested() &&
         udpSocket->hasPendingDatagrams() && drainOneDatagram();
         ++read)
        ++datagramsRead;
}

// Every SampleSeconds while datagrams arrive: the thread's processor time
// and the socket's drops go to the budget. Returns the pause it asks for.
double RtThread::spendBudget()
{
    platform::Os &os = platform::os();
    const double now = stopwatch.elapsedSeconds();
    const std::int64_t cpu = os.currentThreadCpuTime();
    const qint64 drops = publishSocketDrops();
    const double pause = drainBudget.sample(now, cpu < 0 ? -1.0 : double(cpu) * 1e-9,
                                            datagramsRead + quint64(std::max<qint64>(drops, 0)));
    put(floodRate, drainBudget.floodRate()); // 0 until a pause was needed
    return pause;
}

qint64 RtThread::publishSocketDrops()
{
    if (!udpSocket)
        return -1;
    const qint64 drops = platform::os().socketDropCount(udpSocket->socketDescriptor());
    if (drops >= 0)
        put(socketDrops, drops);
    return drops;
}
