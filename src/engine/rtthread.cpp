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
#include <limits>

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

// Nearest 0.1 ms, a half going up, the last of `bins` for the rest;
// compared as a double first so that no interval, however long, overflows
// the conversion.
inline int tenthMsBin(double seconds, int bins)
{
    const double scaled = seconds * 10000.0 + 0.5;
    if (scaled >= double(bins))
        return bins - 1;
    return scaled >= 1.0 ? int(scaled) : 0;
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
    , grantedKnown(false)
    , stampState(ReceiveTiming::StampsNotAsked)
    , stampedCount(0)
    , unstampedCount(0)
    , arrivalSum(0.0)
    , maxArrival(0.0)
    , maxLateness(0.0)
    , clockOffset(0)
    , previousStampNs(0)
    , hasPreviousStamp(false)
    , awaitingFirstStamp(false)
    , wakeStampNs(0)
    , keptBeforeWakeUp(0)
    , openSlot(0)
    , slotSeconds(1.0)
    , openSlotStartTicks(0)
    , openSlotMax(0.0)
    , timelineGeneration(0)
    , openSlotEnd(1.0)
    , startPriority(InheritPriority)
    , periodicTimer(nullptr)
    , datagramsRead(0)
    , drainPaused(false)
    , resumeTimer(nullptr)
    , broadcastTargets{}
    , broadcastTargetCount(0)
    , intervalLog(nullptr)
    , arrivalLog(nullptr)
    , intervalCapacity(0)
    , keptCount(0)
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
    put(stampState, int(ReceiveTiming::StampsNotAsked));
    put(stampedCount, quint64(0));
    put(unstampedCount, quint64(0));
    for (auto &bin : arrivalHistogram)
        put(bin, quint64(0));
    put(arrivalSum, 0.0);
    put(maxArrival, 0.0);
    for (auto &bin : latenessHistogram)
        put(bin, quint64(0));
    put(maxLateness, 0.0);
    put(clockOffset, qint64(0));
    hasPreviousStamp = false;
    for (int i = 0; i < RunTimeline::Slots; ++i) {
        put(slotTicks[i], quint64(0));
        put(slotMax[i], 0.0);
    }
    put(openSlot, 0);
    put(slotSeconds, 1.0);
    put(openSlotStartTicks, quint64(0));
    put(openSlotMax, 0.0);
    put(timelineGeneration, quint32(0));
    openSlotEnd = 1.0;
    put(socketDrops, qint64(-1));
    put(floodRate, 0.0);
    keptCount = 0;
    grantedKnown.store(false, std::memory_order_relaxed);
    granted = platform::ThreadScheduling();
}

bool RtThread::grantedScheduling(platform::ThreadScheduling *scheduling) const
{
    if (!grantedKnown.load(std::memory_order_acquire))
        return false;
    *scheduling = granted;
    return true;
}

RunStatistics RtThread::statistics() const
{
    RunStatistics now;
    for (int i = 0; i < RunStatistics::Bins; ++i)
        now.bins[size_t(i)] = loadRelaxed(histogram[i]);
    now.tickCount = loadRelaxed(tickCount);
    now.meanInterval = loadRelaxed(averagePeriod);
    now.maxInterval = loadRelaxed(maxInterval);
    ReceiveTiming &receive = now.receive;
    receive.stamps = loadRelaxed(stampState);
    receive.stampedDatagrams = loadRelaxed(stampedCount);
    receive.unstampedDatagrams = loadRelaxed(unstampedCount);
    for (int i = 0; i < ReceiveTiming::ArrivalBins; ++i)
        receive.arrival[size_t(i)] = loadRelaxed(arrivalHistogram[i]);
    receive.arrivalSum = loadRelaxed(arrivalSum);
    receive.maxArrival = loadRelaxed(maxArrival);
    for (int i = 0; i < ReceiveTiming::LatenessBins; ++i)
        receive.lateness[size_t(i)] = loadRelaxed(latenessHistogram[i]);
    receive.maxLateness = loadRelaxed(maxLateness);
    receive.clockOffsetNs = loadRelaxed(clockOffset);
    now.datagramsDropped = loadRelaxed(socketDrops);
    now.floodRate = loadRelaxed(floodRate);
    return now;
}

RunTimeline RtThread::timeline() const
{
    RunTimeline now;
    // A slot closes once a second at most and in microseconds: a reading
    // that met one is taken again. A worker terminated while closing a slot
    // leaves the generation odd for good, so the tries are bounded; the
    // last one is kept then.
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const quint32 generation = timelineGeneration.load(std::memory_order_acquire);
        if (generation & 1u) {
            QThread::yieldCurrentThread();
            continue;
        }
        const int open = loadRelaxed(openSlot);
        for (int i = 0; i < open; ++i)
            now.slot[size_t(i)] = {loadRelaxed(slotTicks[i]), loadRelaxed(slotMax[i])};
        const quint64 ticks = loadRelaxed(tickCount);
        const quint64 openStart = loadRelaxed(openSlotStartTicks);
        now.slot[size_t(open)] = {ticks > openStart ? ticks - openStart : 0,
                                  loadRelaxed(openSlotMax)};
        now.used = ticks > 0 ? open + 1 : 0;
        now.slotSeconds = loadRelaxed(slotSeconds);
        now.lastTick = ticks > 0 ? loadRelaxed(lastTickTime) : 0.0;
        std::atomic_thread_fence(std::memory_order_acquire);
        if (timelineGeneration.load(std::memory_order_relaxed) == generation)
            break;
    }
    return now;
}

void RtThread::keepIntervals(double *buffer, quint64 capacity, double *arrivals)
{
    intervalLog = buffer;
    intervalCapacity = buffer ? capacity : 0;
    // NaN until a stamped datagram says otherwise: nothing on the tick path.
    arrivalLog = buffer ? arrivals : nullptr;
    if (arrivalLog)
        std::fill(arrivalLog, arrivalLog + intervalCapacity,
                  std::numeric_limits<double>::quiet_NaN());
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
    // A worker that outlived its termination would only be waited for again.
    if (!isRunning() || lastRunEnd == RunTerminated)
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
    applyStartPriority();
    udpSocket = new QUdpSocket;
    // Datagrams go straight to the target. Asking for a system proxy would
    // also start a resolver thread that inherits this thread's realtime
    // priority.
    udpSocket->setProxy(QNetworkProxy::NoProxy);
    if (!bindSocket()) {
        closeSocket();
        lastRunEnd = RunBindFailed;
        exit(1);
        return;
    }
    startMeasuring();
    const RunEnd end = runClock();
    publishSocketDrops();
    closeSocket();
    lastRunEnd = end;
}

// Linux does not apply QThread's start priority; the OS layer does it here,
// for every OS alike.
void RtThread::applyStartPriority()
{
    if (startPriority >= IdlePriority && startPriority <= TimeCriticalPriority)
        platform::os().setRunThreadLevel(platform::ThreadLevel(int(startPriority)));
    granted = platform::os().currentThreadScheduling();
    grantedKnown.store(true, std::memory_order_release);
}

// The kernel's receive stamps, the stopwatch and the drain budget, from the
// run's start.
void RtThread::startMeasuring()
{
    put(stampState,
        int(platform::os().enableReceiveStamps(udpSocket->socketDescriptor())
                ? ReceiveTiming::StampsOn
                : ReceiveTiming::StampsRefused));

    stopwatch.restart();
    put(lastTickTime, stopwatch.elapsedSeconds());
    datagramsRead = 0;
    drainPaused = false;
    const std::int64_t cpu = platform::os().currentThreadCpuTime();
    drainBudget.start(loadRelaxed(lastTickTime), cpu < 0 ? -1.0 : double(cpu) * 1e-9, 0);
}

// The chosen clock until the stop request; RunHadNoClock for a mode and
// period that have none.
RtThread::RunEnd RtThread::runClock()
{
    const int period = clockPeriodMs;
    switch (clockMode) {
    case TimerEventMode:
        runEventLoopClock(period);
        return RunStopped;
    case MsleepMode:
        if (period > 0)
            runSleepClock(period);
        else
            runReceiveLoop();
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
    return udpSocket->bind(listenAddress(bindAddress), UdpPort);
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

// The tick's rarely taken branch: the open slot of the timeline ends before
// now. It is closed, and the slot now falls in opened, with empty slots for
// any time without ticks between them; once the store is full, neighbouring
// slots are merged in pairs until now fits. Kept out of line, so the tick
// itself carries only the compare that leads here.
Q_NEVER_INLINE void RtThread::closeTimelineSlot(double now)
{
    if (!std::isfinite(now))
        return;
    const quint32 generation = loadRelaxed(timelineGeneration);
    put(timelineGeneration, generation + 1);
    std::atomic_thread_fence(std::memory_order_release);

    const int open = loadRelaxed(openSlot);
    const quint64 ticks = loadRelaxed(tickCount);
    put(slotTicks[open], ticks - loadRelaxed(openSlotStartTicks));
    put(slotMax[open], loadRelaxed(openSlotMax));

    double span = loadRelaxed(slotSeconds);
    while (now / span >= double(RunTimeline::Slots)) {
        for (int i = 0; i < RunTimeline::Slots / 2; ++i) {
            put(slotTicks[i], loadRelaxed(slotTicks[2 * i]) + loadRelaxed(slotTicks[2 * i + 1]));
            put(slotMax[i], std::max(loadRelaxed(slotMax[2 * i]), loadRelaxed(slotMax[2 * i + 1])));
        }
        for (int i = RunTimeline::Slots / 2; i < RunTimeline::Slots; ++i) {
            put(slotTicks[i], quint64(0));
            put(slotMax[i], 0.0);
        }
        span *= 2.0;
    }
    // Slots between the closed one and this one were never written: empty.
    const int next = int(now / span);
    put(openSlot, next);
    put(slotSeconds, span);
    put(openSlotStartTicks, ticks);
    put(openSlotMax, 0.0);
    openSlotEnd = double(next + 1) * span;

    timelineGeneration.store(generation + 2, std::memory_order_release);
}

// Inlined into both slots: one call less on every tick.
Q_ALWAYS_INLINE void RtThread::countTick(Gate gate)
{
    const double now = stopwatch.elapsedSeconds();
    if (Q_UNLIKELY(now >= openSlotEnd))
        closeTimelineSlot(now);
    const double interval = now - loadRelaxed(lastTickTime);
    put(windowIntervalSum, loadRelaxed(windowIntervalSum) + interval);
    put(lastTickTime, now);

    const int bin = tenthMsBin(interval, RunStatistics::Bins);

    // The first ticks of a run (timer) or of each window (receive) wait out
    // the start-up, so the histogram leaves them out.
    const quint64 gateCount =
        gate == TimerGate ? loadRelaxed(tickCount) : loadRelaxed(windowTickCount);
    if (gateCount > UncountedTicks) {
        put(histogram[bin], loadRelaxed(histogram[bin]) + 1);
        // The longest counted interval of the timeline's open slot, and the
        // overflow row's label, the longest interval that row counted: an
        // uncounted tick (the warm-up span) must set neither. An overflow
        // interval not above the slot's longest is not above the label
        // either, since that longest was itself an overflow interval that
        // came through here; so one compare, rarely true, serves both.
        if (Q_UNLIKELY(interval > loadRelaxed(openSlotMax))) {
            put(openSlotMax, interval);
            if (bin == RunStatistics::OverflowBin && interval > loadRelaxed(maxInterval))
                put(maxInterval, interval);
        }
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
    keptBeforeWakeUp = keptCount;
    countTick(ReceiveGate);
    if (!udpSocket)
        return 0.0;
    // The stamp clock, read right after the tick's counter reading: both
    // are the wake-up's time, each on its own clock.
    wakeStampNs =
        loadRelaxed(stampState) == ReceiveTiming::StampsRefused ? 0 : platform::os().stampClockNs();
    awaitingFirstStamp = true;
    drainSocket();
    return drainBudget.sampleDue(loadRelaxed(lastTickTime)) ? spendBudget() : 0.0;
}

Q_ALWAYS_INLINE void RtThread::noteStamp(const platform::PendingDatagram &datagram)
{
    if (!datagram.stamped) {
        put(unstampedCount, loadRelaxed(unstampedCount) + 1);
        return;
    }
    put(stampedCount, loadRelaxed(stampedCount) + 1);

    double arrival = std::numeric_limits<double>::quiet_NaN();
    if (hasPreviousStamp) {
        arrival = double(datagram.stampNs - previousStampNs) * 1e-9;
        // Binned as the ticks are.
        const int bin = tenthMsBin(arrival, ReceiveTiming::ArrivalBins);
        put(arrivalHistogram[bin], loadRelaxed(arrivalHistogram[bin]) + 1);
        put(arrivalSum, loadRelaxed(arrivalSum) + arrival);
        if (bin == ReceiveTiming::ArrivalOverflowBin && arrival > loadRelaxed(maxArrival))
            put(maxArrival, arrival);
    }
    previousStampNs = datagram.stampNs;
    hasPreviousStamp = true;

    if (!awaitingFirstStamp)
        return;
    awaitingFirstStamp = false;
    // The offset: the stamp clock's reading at the wake-up minus the
    // counter's, in nanoseconds. The wake-up on the stamp clock is the
    // counter's reading plus the offset, that is the stamp clock's reading.
    if (!stopwatch.unavailable) {
        const qint64 count = stopwatch.nowCount;
        const qint64 frequency = stopwatch.frequency;
        const qint64 counterNs = frequency == 1000000000
            ? count
            : (count / frequency) * 1000000000 + (count % frequency) * 1000000000 / frequency;
        put(clockOffset, wakeStampNs - counterNs);
    }
    // Never below 0 but by the few ns between the two readings; such a
    // wake-up counts as on time.
    const qint64 lateNs = std::max<qint64>(0, wakeStampNs - datagram.stampNs);
    int bin = int(std::min<qint64>(lateNs / 1000, ReceiveTiming::LatenessOverflowBin));
    put(latenessHistogram[bin], loadRelaxed(latenessHistogram[bin]) + 1);
    if (bin == ReceiveTiming::LatenessOverflowBin &&
        double(lateNs) * 1e-9 > loadRelaxed(maxLateness))
        put(maxLateness, double(lateNs) * 1e-9);
    if (arrivalLog && keptCount != keptBeforeWakeUp)
        arrivalLog[keptCount - 1] = arrival;
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
    noteStamp(next);
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
    const qint64 drops = platform::os().socketDropCount(udpSocket->socketDescriptor());
    if (drops >= 0)
        put(socketDrops, drops);
    return drops;
}
