// SPDX-License-Identifier: MIT
// The worker on real time: each clock source ticks, the stop protocol ends
// each run, and every way a run can end is recorded. Bounds are loose: these
// machines are shared and noisy.
#include "fakeos.h"
#include "probes.h"
#include "rtthread.h"
#include "senders.h"
#include "statsreport.h"

#include <QElapsedTimer>
#include <QNetworkProxy>
#include <QTest>
#include <QUdpSocket>

#include <atomic>
#include <memory>
#include <thread>

#ifdef Q_OS_LINUX
#include <sched.h>
#endif

using platform::FakeOs;

namespace {

// Counted ticks after n ticks that all came through udpRead.
quint64 receiveGateCounts(quint64 n)
{
    return 89 * (n / 100) + (n % 100 > 11 ? n % 100 - 11 : 0);
}

quint64 ticks(const RtThread &worker)
{
    return worker.statistics().tickCount;
}

// What the run control does: configure, move into its own thread, start.
void start(RtThread &worker, int mode, int periodMs,
           QThread::Priority priority = QThread::InheritPriority, int cpu = -1)
{
    RunSettings settings;
    settings.clockMode = ClockMode(mode);
    settings.periodMs = periodMs;
    settings.cpu = cpu;
    worker.setSettings(settings);
    worker.moveToThread(&worker);
    worker.startRun(priority);
}

qint64 timedStop(RtThread &worker)
{
    QElapsedTimer clock;
    clock.start();
    worker.stopRun();
    return clock.elapsed();
}

// Sends datagrams to the worker's port until it has counted `count` ticks.
bool sendUntilTicked(const RtThread &worker, quint64 count)
{
    return sendUntil([&] { return ticks(worker) >= count; });
}

} // namespace

class TestRtThread : public QObject
{
    Q_OBJECT

private slots:
    void init() { QTRY_VERIFY2(portIsFree(), "port 1667 is held by something else"); }

    void timedClocksTickAndStop_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<qint64>("minStopMs");
        QTest::addColumn<int>("cpu"); // pinned to it; -1: any
        const int last = platform::allowedCpus().empty() ? -1 : platform::allowedCpus().back();
        QTest::newRow("event loop timer") << int(RtThread::TimerEventMode) << qint64(500) << -1;
        QTest::newRow("sleep loop") << int(RtThread::MsleepMode) << qint64(0) << -1;
        QTest::newRow("periodic timer") << int(RtThread::WaitableTimerMode) << qint64(0) << -1;
        QTest::newRow("periodic timer, pinned")
            << int(RtThread::WaitableTimerMode) << qint64(0) << last;
        QTest::newRow("sleep loop, pinned") << int(RtThread::MsleepMode) << qint64(0) << last;
    }
    void timedClocksTickAndStop()
    {
        QFETCH(int, mode);
        QFETCH(qint64, minStopMs);
        QFETCH(int, cpu);
        RtThread worker;
        start(worker, mode, 2, QThread::InheritPriority, cpu);
        QTRY_VERIFY_WITH_TIMEOUT(ticks(worker) >= 150, 15000);
        QVERIFY(worker.isRunning());
        platform::Outcome pinned;
        platform::Outcome policy;
        QVERIFY(worker.grantedPlacement(&pinned, &policy));
        QCOMPARE(pinned.granted, cpu >= 0);
#ifdef Q_OS_LINUX
        // The kernel's own word on the worker's thread.
        cpu_set_t set;
        CPU_ZERO(&set);
        QCOMPARE(sched_getaffinity(workerTid(), sizeof set, &set), 0);
        if (cpu >= 0) {
            QCOMPARE(CPU_COUNT(&set), 1);
            QVERIFY(CPU_ISSET(cpu, &set));
        } else {
            QCOMPARE(CPU_COUNT(&set), int(platform::allowedCpus().size()));
        }
#endif

        const qint64 stopMs = timedStop(worker);
        QVERIFY2(stopMs >= minStopMs && stopMs < 5000, qPrintable(QString::number(stopMs)));
        QVERIFY(!worker.isRunning());
        QCOMPARE(worker.lastRunEnd.load(), int(RtThread::RunStopped));
        QVERIFY(worker.udpSocket == nullptr);
        QVERIFY(worker.clockTimer == nullptr);

        // The statistics stay after the stop. A 2 ms clock on a busy machine
        // may be late, but not by orders of magnitude.
        const RunStatistics after = worker.statistics();
        const double mean = after.meanInterval;
        QVERIFY2(mean > 0.0015 && mean < 0.05, qPrintable(QString::number(mean)));
        QCOMPARE(after.counted(), after.tickCount - 11);
        const auto peakBin =
            std::max_element(after.bins.begin(), after.bins.end()) - after.bins.begin();
        QVERIFY2(peakBin >= 15 && peakBin <= 40, qPrintable(QString::number(peakBin)));
    }

    void arrivingDatagramsDriveTheReceiveModes_data()
    {
        QTest::addColumn<int>("mode");
        QTest::newRow("event loop") << int(RtThread::TimerEventMode);
        QTest::newRow("receive loop") << int(RtThread::MsleepMode);
    }
    void arrivingDatagramsDriveTheReceiveModes()
    {
        QFETCH(int, mode);
        RtThread worker;
        start(worker, mode, 0);
#ifdef Q_OS_LINUX
        // The worker listens on IPv4 only: datagrams to the port over IPv6
        // find no socket and are no ticks.
        QTRY_VERIFY(portInUse());
        QUdpSocket sender6;
        sender6.setProxy(QNetworkProxy::NoProxy);
        for (int i = 0; i < 5; ++i)
            sender6.writeDatagram(QByteArray(RtThread::DatagramSize, '\0'),
                                  QHostAddress::LocalHostIPv6, RtThread::UdpPort);
        QTest::qWait(100);
        QCOMPARE(ticks(worker), quint64(0));
#endif
        // Datagrams sent before the worker has bound are lost; it keeps on
        // sending until enough have ticked.
        QVERIFY(sendUntilTicked(worker, 230));
        timedStop(worker);
        QCOMPARE(worker.lastRunEnd.load(), int(RtThread::RunStopped));
        // Every tick came through udpRead, so its gate decides the count.
        const RunStatistics after = worker.statistics();
        QCOMPARE(after.counted(), receiveGateCounts(after.tickCount));
        QVERIFY(after.meanInterval > 0.0);
    }

    void eventLoopCountsTimerAndDatagramsTogether()
    {
        RtThread worker;
        start(worker, RtThread::TimerEventMode, 100);
        QTRY_VERIFY(ticks(worker) >= 2); // the timer alone: ten a second
        QElapsedTimer clock;
        clock.start();
        QVERIFY(sendUntilTicked(worker, 80));
        const qint64 elapsed = clock.elapsed();
        timedStop(worker);
        // Far more ticks than a 100 ms timer gives in that time.
        QVERIFY2(ticks(worker) > quint64(elapsed / 100 + 20),
                 qPrintable(QString("%1 ticks in %2 ms").arg(ticks(worker)).arg(elapsed)));
    }

    void configurationsWithoutAClockEndAtOnce_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("period");
        QTest::newRow("periodic timer, period 0") << int(RtThread::WaitableTimerMode) << 0;
        QTest::newRow("periodic timer, negative") << int(RtThread::WaitableTimerMode) << -5;
        QTest::newRow("unknown mode") << 7 << 2;
        QTest::newRow("negative mode") << -1 << 2;
    }
    void configurationsWithoutAClockEndAtOnce()
    {
        QFETCH(int, mode);
        QFETCH(int, period);
        RtThread worker;
        start(worker, mode, period);
        QTRY_VERIFY_WITH_TIMEOUT(!worker.isRunning(), 3000);
        QCOMPARE(worker.lastRunEnd.load(), int(RtThread::RunHadNoClock));
        QCOMPARE(ticks(worker), quint64(0));
        QVERIFY(worker.udpSocket == nullptr);
        QVERIFY(timedStop(worker) < 100); // nothing left to stop
        QVERIFY(portIsFree());
    }

    void stopDuringWarmUpEndsWithoutATick_data()
    {
        QTest::addColumn<int>("mode");
        QTest::newRow("sleep loop") << int(RtThread::MsleepMode);
        QTest::newRow("periodic timer") << int(RtThread::WaitableTimerMode);
    }
    void stopDuringWarmUpEndsWithoutATick()
    {
        QFETCH(int, mode);
        RtThread worker;
        start(worker, mode, 100); // ten waits of 100 ms before the first tick
        const qint64 stopMs = timedStop(worker);
        // The warm-up runs out (its first wait may return at once).
        QVERIFY2(stopMs >= 700 && stopMs < 5000, qPrintable(QString::number(stopMs)));
        QCOMPARE(ticks(worker), quint64(0));
        QCOMPARE(worker.lastRunEnd.load(), int(RtThread::RunStopped));
    }

#ifdef Q_OS_LINUX
    // A sender that keeps the socket from ever emptying: it has a CPU of its
    // own, while the worker, at the lowest priority, shares another with a
    // busy loop. Stop must still end the drain by request, not by
    // termination.
    void stopEndsADrainThatNeverEmpties_data()
    {
        QTest::addColumn<int>("mode");
        QTest::newRow("event loop") << int(RtThread::TimerEventMode);
        QTest::newRow("receive loop") << int(RtThread::MsleepMode);
    }
    void stopEndsADrainThatNeverEmpties()
    {
        QFETCH(int, mode);
        cpu_set_t all;
        QCOMPARE(sched_getaffinity(0, sizeof all, &all), 0);
        if (CPU_COUNT(&all) < 2)
            QSKIP("needs two CPUs");
        int cpus[2] = {-1, -1};
        for (int cpu = 0, found = 0; found < 2; ++cpu) {
            if (CPU_ISSET(cpu, &all))
                cpus[found++] = cpu;
        }
        cpu_set_t first;
        CPU_ZERO(&first);
        CPU_SET(cpus[0], &first);
        QCOMPARE(sched_setaffinity(0, sizeof first, &first), 0); // inherited by the threads below

        RtThread worker;
        start(worker, mode, 0, QThread::IdlePriority);
        QVERIFY(sendUntilTicked(worker, 1));
        std::atomic<bool> going{true};
        std::thread busy([&going] {
            while (going) { }
        });
        DatagramFlood flood(cpus[1]);
        QTRY_VERIFY(portReceiveQueue() > 100000); // full from here on
        const qint64 stopMs = timedStop(worker);
        going = false;
        busy.join();
        flood.stop();
        sched_setaffinity(0, sizeof all, &all);

        qInfo("Stop during the flood: %lld ms", stopMs);
        QVERIFY2(stopMs < 4900, qPrintable(QString::number(stopMs)));
        QCOMPARE(worker.lastRunEnd.load(), int(RtThread::RunStopped));
    }
#endif

    void takenPortEndsTheRunAndSaysWhy()
    {
        QUdpSocket holder;
        QVERIFY(holder.bind(RtThread::UdpPort));
        RtThread worker;
        start(worker, RtThread::MsleepMode, 1);
        QTRY_VERIFY_WITH_TIMEOUT(!worker.isRunning(), 3000);
        QCOMPARE(worker.lastRunEnd.load(), int(RtThread::RunBindFailed));
        QCOMPARE(ticks(worker), quint64(0));
        QVERIFY(worker.udpSocket == nullptr);

        // Once the port is free the next run binds, and the reason is reset.
        holder.close();
        start(worker, RtThread::MsleepMode, 1);
        QCOMPARE(worker.lastRunEnd.load(), int(RtThread::RunNotEnded));
        QTRY_VERIFY(ticks(worker) >= 20);
        worker.stopRun();
        QCOMPARE(worker.lastRunEnd.load(), int(RtThread::RunStopped));
    }

    void startRunDuringARunStartsAfresh()
    {
        RtThread worker;
        // 40 ms intervals all land in the overflow bin and set its label.
        start(worker, RtThread::MsleepMode, 40);
        QTRY_VERIFY(worker.statistics().maxInterval > 0.0);

        RunSettings faster = worker.settings();
        faster.periodMs = 2;
        worker.setSettings(faster);
        worker.startRun(QThread::InheritPriority); // stops the run, then starts anew
        QVERIFY(worker.isRunning());
        // The warm-up of ten 2 ms sleeps comes before the new first tick.
        const RunStatistics fresh = worker.statistics();
        QVERIFY2(fresh.tickCount < 5, qPrintable(QString::number(fresh.tickCount)));
        QCOMPARE(fresh.maxInterval, 0.0);
        QCOMPARE(fresh.bins[RunStatistics::OverflowBin], quint64(0));
        QVERIFY(!worker.stopRequested);
        QTRY_VERIFY(ticks(worker) >= 20); // not stopped by the old request
        worker.stopRun();
    }

    void destructionDuringARunStopsIt()
    {
        auto worker = std::make_unique<RtThread>();
        start(*worker, RtThread::TimerEventMode, 2);
        QTRY_VERIFY(ticks(*worker) >= 20);
        QElapsedTimer clock;
        clock.start();
        worker.reset();
        QVERIFY(clock.elapsed() < 5000);
        QVERIFY(portIsFree());
    }

    // A run that ignores the stop request is terminated; its socket must not
    // keep the port from the next run.
    void terminatedRunReleasesThePort()
    {
        RtThread worker;
        start(worker, RtThread::MsleepMode, 60000); // warm-up of ten minutes
#ifdef Q_OS_LINUX
        QTRY_VERIFY(portInUse());
#else
        QTest::qWait(500);
#endif

        const qint64 stopMs = timedStop(worker);
        QVERIFY2(stopMs >= 4900 && stopMs < 7000, qPrintable(QString::number(stopMs)));
        QVERIFY(!worker.isRunning());
        QCOMPARE(worker.lastRunEnd.load(), int(RtThread::RunTerminated));
        QVERIFY(worker.udpSocket == nullptr);
        QVERIFY(portIsFree());

        start(worker, RtThread::WaitableTimerMode, 2);
        QTRY_VERIFY(ticks(worker) >= 20);
        worker.stopRun();
        QCOMPARE(worker.lastRunEnd.load(), int(RtThread::RunStopped));
    }

    // The periodic-timer clock on the fake OS: exact calls, simulated time.
    void periodicTimerCalls_data()
    {
        QTest::addColumn<bool>("createFails");
        QTest::addColumn<bool>("armFails");
        QTest::addColumn<QStringList>("setUp");
        QTest::addColumn<QString>("wait");
        QTest::addColumn<bool>("closes");
        QTest::newRow("timer") << false << false
                               << QStringList{"createPeriodicTimer", "setPeriodicTimer(3)"}
                               << "waitPeriodicTimer(30)" << true;
        QTest::newRow("no timer") << true << false << QStringList{"createPeriodicTimer"}
                                  << "sleepMs(3)" << false;
        QTest::newRow("timer not armed")
            << false << true
            << QStringList{"createPeriodicTimer", "setPeriodicTimer(3)", "closePeriodicTimer"}
            << "sleepMs(3)" << false;
    }
    void periodicTimerCalls()
    {
        QFETCH(bool, createFails);
        QFETCH(bool, armFails);
        QFETCH(QStringList, setUp);
        QFETCH(QString, wait);
        QFETCH(bool, closes);

        FakeOs fake;
        fake.setTimerCreationFails(createFails);
        fake.setTimerArmingFails(armFails);
        platform::install(&fake);
        auto restore = qScopeGuard([] { platform::install(nullptr); });
        {
            RtThread worker;
            start(worker, RtThread::WaitableTimerMode, 3, QThread::HighestPriority);
            QTRY_VERIFY(ticks(worker) >= 120);
            worker.stopRun();

            QStringList expected{"setRunThreadLevel(Highest)"};
            expected << setUp;
            for (quint64 i = 0; i < 10 + ticks(worker); ++i)
                expected << wait;
            if (closes)
                expected << "closePeriodicTimer";
            QStringList seen;
            for (const std::string &call : fake.calls())
                seen << QString::fromStdString(call);
            seen.removeFirst(); // the stopwatch's frequency query at construction
            // The spike sampler's clock readings, on its own thread.
            seen.removeIf([](const QString &call) {
                return call == "counterFrequency" || call == "counterValue";
            });
            QCOMPARE(seen, expected);

            // Simulated time: every wait is exactly 3 ms; the first interval
            // spans the warm-up and is left out, so no overflow is labelled.
            const RunStatistics after = worker.statistics();
            QCOMPARE(after.bins[30], after.tickCount - 11);
            QCOMPARE(after.counted(), after.tickCount - 11);
            QCOMPARE(after.maxInterval, 0.0);
            // The first window holds the warm-up span, 33 ms, and 99 of 3 ms;
            // later windows only 3 ms intervals.
            const double mean = after.tickCount < 200 ? 0.0033 : 0.003;
            QVERIFY(qFuzzyCompare(after.meanInterval, mean));
        }
    }

    // The worker's datagrams go straight to their target: a proxy set for the
    // application (here a SOCKS5 one that nothing answers on loopback) is not
    // consulted, and no resolver thread is started at the worker's priority.
    void workerIgnoresProxies()
    {
        QNetworkProxy::setApplicationProxy(
            QNetworkProxy(QNetworkProxy::Socks5Proxy, "127.0.0.1", 1));
        auto restore = qScopeGuard([] { QNetworkProxy::setApplicationProxy(QNetworkProxy()); });
        RtThread worker;
        start(worker, RtThread::MsleepMode, 0);
        QVERIFY(sendUntilTicked(worker, 30));
        QCOMPARE(worker.lastRunEnd.load(), int(RtThread::RunNotEnded));
        worker.stopRun();
    }

#ifdef Q_OS_LINUX
    // A sender with gaps of 1, 2, 3 and 5 ms in turn: the kernel's stamps
    // put the arrival intervals in those bins, whatever the receiver's own
    // wake-ups did, and each wake-up comes after its first datagram's stamp.
    // Where the kernel refuses to stamp (the fake OS), both stay empty and
    // the summary says so in one line.
    void receiveTimingFromAPacedSender_data()
    {
        QTest::addColumn<bool>("refused");
        QTest::newRow("kernel stamps") << false;
        QTest::newRow("stamps refused") << true;
    }
    void receiveTimingFromAPacedSender()
    {
        QFETCH(bool, refused);
        FakeOs fake;
        fake.setStampsRefused(true);
        if (refused)
            platform::install(&fake);
        auto restore = qScopeGuard([] { platform::install(nullptr); });
        RtThread worker;
        start(worker, RtThread::MsleepMode, 0);
        QTRY_VERIFY(portInUse());
        const int count = 200;
        QCOMPARE(sendWithGaps({1, 2, 3, 5}, count), count);
        const auto drained = [&] {
            const ReceiveTiming now = worker.statistics().receive;
            return now.stampedDatagrams + now.unstampedDatagrams;
        };
        QTRY_COMPARE(drained(), quint64(count));
        worker.stopRun();

        const ReceiveTiming timing = worker.statistics().receive;
        const QString summary = StatsReport::receiveTimingSummary(timing);
        if (refused) {
            QCOMPARE(timing.stamps, int(ReceiveTiming::StampsRefused));
            QCOMPARE(timing.unstampedDatagrams, quint64(count));
            QCOMPARE(timing.arrivals() + timing.wakeUps(), quint64(0));
            QCOMPARE(summary.count('\n'), 1);
            QVERIFY2(summary.contains("refused"), qPrintable(summary));
            return;
        }
        QCOMPARE(timing.stamps, int(ReceiveTiming::StampsOn));
        QCOMPARE(timing.stampedDatagrams, quint64(count));
        QCOMPARE(timing.arrivals(), quint64(count - 1));
        // About 50 each; the sender is an ordinary thread on a shared machine.
        for (const int gap : {10, 20, 30, 50}) {
            const quint64 near = timing.arrival[size_t(gap - 1)] + timing.arrival[size_t(gap)] +
                timing.arrival[size_t(gap + 1)];
            QVERIFY2(near >= 30,
                     qPrintable(QString("%1 near bin %2\n%3").arg(near).arg(gap).arg(summary)));
        }
        // One lateness per wake-up that drained a datagram; half of them
        // within a millisecond even here.
        const quint64 wakeUps = timing.wakeUps();
        QVERIFY(wakeUps > 0 && wakeUps <= quint64(count));
        quint64 withinOneMs = 0;
        for (int bin = 0; bin < ReceiveTiming::LatenessOverflowBin; ++bin)
            withinOneMs += timing.lateness[size_t(bin)];
        QVERIFY2(withinOneMs * 2 >= wakeUps, qPrintable(summary));
        QVERIFY(timing.clockOffsetNs != 0);
    }

    // Linux leaves QThread priorities without effect; the OS layer makes the
    // Realtime class with a Time Critical worker SCHED_FIFO at the top.
    void linuxWorkerGetsTheRealtimeScheduler()
    {
        if (!fifoPermitted())
            QSKIP("no permission for SCHED_FIFO here (needs CAP_SYS_NICE or root)");

        RtThread worker;
        platform::os().setProcessClass(platform::ProcessClass::Realtime);
        auto restore = qScopeGuard([] { platform::os().restoreScheduling(); });
        start(worker, RtThread::MsleepMode, 2, QThread::TimeCriticalPriority);
        QTRY_VERIFY(ticks(worker) >= 5);

        const pid_t tid = workerTid();
        QVERIFY(tid > 0);
        QCOMPARE(scheduling(tid), topFifo());

        platform::os().setProcessClass(platform::ProcessClass::Normal);
        QCOMPARE(scheduling(tid), QString("OTHER nice -20")); // Time Critical in Normal: base 15
        worker.stopRun();
    }
#endif
};

QTEST_GUILESS_MAIN(TestRtThread)
#include "tst_rtthread.moc"
