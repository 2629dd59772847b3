// SPDX-License-Identifier: MIT
// Tick accounting on a hand-driven counter: every interval is exact, so bins,
// gates and means can be checked tick by tick.
#include "drainbudget.h"
#include "fakeos.h"
#include "latenessrecorder.h"
#include "rtthread.h"
#include "runcontrol.h"
#include "statsreport.h"
#include "tickrecorder.h"

#include <QNetworkDatagram>
#include <QTest>
#include <QUdpSocket>

#include <algorithm>
#include <cmath>

using platform::FakeOs;

namespace {
const qint64 CountsPerSecond = 1000000000;
// What a bin edge row ticks through.
enum Via { Worker, Recorder, Lateness };
} // namespace

class TestTickAccounting : public QObject
{
    Q_OBJECT

private:
    FakeOs *fake = nullptr;
    RtThread *worker = nullptr;

    // A fresh worker: statistics zero, the stopwatch started on the counter
    // as it stands, so the first tick's interval is the counter's step. No
    // thread runs; the test ticks.
    void beginRun()
    {
        delete worker;
        worker = new RtThread;
    }

    RunStatistics stats() const { return worker->statistics(); }

    void timerTick(double interval)
    {
        fake->advanceCounter(std::llround(interval * CountsPerSecond));
        QMetaObject::invokeMethod(worker, "runTimerTick", Qt::DirectConnection);
    }
    void receiveTick(double interval)
    {
        fake->advanceCounter(std::llround(interval * CountsPerSecond));
        QMetaObject::invokeMethod(worker, "udpRead", Qt::DirectConnection);
    }

    // The bin a counted timer tick of this interval lands in, or -1.
    int binOf(double interval)
    {
        const RunStatistics before = stats();
        timerTick(interval);
        const RunStatistics after = stats();
        for (int bin = 0; bin < RunStatistics::Bins; ++bin) {
            if (after.bins[size_t(bin)] != before.bins[size_t(bin)])
                return bin;
        }
        return -1;
    }

    void skipTimerGate()
    {
        for (int i = 0; i < 11; ++i)
            timerTick(0.001);
    }

private slots:
    void init()
    {
        fake = new FakeOs;
        fake->setFrequency(CountsPerSecond);
        platform::install(fake);
        beginRun();
    }
    void cleanup()
    {
        delete worker;
        worker = nullptr;
        platform::install(nullptr);
        delete fake;
    }

    // Through the worker's slot, and (recorder rows) straight into a tick
    // recorder with no worker and no thread, fed the same readings; the
    // lateness rows feed a lateness recorder whose deadline is the previous
    // tick plus 1 ms, interval being the lateness and bin its bin.
    void binEdges_data()
    {
        QTest::addColumn<double>("interval");
        QTest::addColumn<int>("bin");
        QTest::addColumn<int>("via");
        QTest::newRow("zero") << 0.0 << 0 << int(Worker);
        QTest::newRow("just under 0.05 ms") << 0.0000499 << 0 << int(Worker);
        QTest::newRow("0.05 ms") << 0.0000501 << 1 << int(Worker);
        QTest::newRow("1.04 ms") << 0.00104 << 10 << int(Worker);
        QTest::newRow("just under a half") << 0.0010499 << 10 << int(Worker);
        QTest::newRow("just over a half") << 0.0010501 << 11 << int(Worker);
        QTest::newRow("1.07 ms") << 0.00107 << 11 << int(Worker);
        QTest::newRow("29.8 ms") << 0.0298 << 298 << int(Worker);
        QTest::newRow("29.9 ms") << 0.0299 << 299 << int(Worker);
        QTest::newRow("30.5 ms") << 0.0305 << 299 << int(Worker);
        QTest::newRow("three hours") << 3 * 3600.0 << 299 << int(Worker);
        QTest::newRow("recorder: zero") << 0.0 << 0 << int(Recorder);
        QTest::newRow("recorder: just under a half") << 0.0010499 << 10 << int(Recorder);
        QTest::newRow("recorder: just over a half") << 0.0010501 << 11 << int(Recorder);
        QTest::newRow("recorder: 29.9 ms") << 0.0299 << 299 << int(Recorder);
        QTest::newRow("recorder: three hours") << 3 * 3600.0 << 299 << int(Recorder);
        const int zero = LatenessStatistics::ZeroBin;
        QTest::newRow("lateness: on time") << 0.0 << zero << int(Lateness);
        QTest::newRow("lateness: 0.999 us") << 0.000000999 << zero << int(Lateness);
        QTest::newRow("lateness: 1 us") << 0.000001 << zero + 1 << int(Lateness);
        QTest::newRow("lateness: 0.5 us early") << -0.0000005 << zero - 1 << int(Lateness);
        QTest::newRow("lateness: 999.999 us early") << -0.000999999 << 0 << int(Lateness);
        QTest::newRow("lateness: 1 ms early") << -0.001 << 0 << int(Lateness);
        QTest::newRow("lateness: 9.999 ms")
            << 0.009999 << LatenessStatistics::OverflowBin - 1 << int(Lateness);
        QTest::newRow("lateness: 10 ms")
            << 0.010 << LatenessStatistics::OverflowBin << int(Lateness);
    }
    void binEdges()
    {
        QFETCH(double, interval);
        QFETCH(int, bin);
        QFETCH(int, via);
        if (via == Worker) {
            skipTimerGate();
            QCOMPARE(binOf(interval), bin);
            return;
        }
        qint64 count = 0;
        const auto reading = [&](double step) {
            count += std::llround(step * CountsPerSecond);
            return double(count) / double(CountsPerSecond);
        };
        if (via == Lateness) {
            LatenessRecorder late;
            late.startAfterTicks(1);
            late.countWakeUp(reading(5.0), true); // no deadline before the first tick
            late.countWakeUp(reading(0.001 + interval), true);
            const LatenessStatistics seen = late.statistics();
            QCOMPARE(seen.wakeUps, quint64(1));
            QCOMPARE(seen.bins[size_t(bin)], quint64(1));
            QVERIFY(qAbs(seen.minLateness - interval) < 1e-12);
            QVERIFY(qAbs(seen.maxLateness - interval) < 1e-12);
            QCOMPARE(seen.overruns, quint64(0));
            return;
        }
        TickRecorder ticks;
        ticks.start(reading(0.0));
        for (int i = 0; i < 11; ++i)
            QVERIFY(!ticks.countTick(reading(0.001), TickRecorder::TimerGate));
        QVERIFY(ticks.countTick(reading(interval), TickRecorder::TimerGate));
        const RunStatistics seen = ticks.statistics();
        QCOMPARE(seen.counted(), quint64(1));
        QCOMPARE(seen.bins[size_t(bin)], quint64(1));
        QCOMPARE(seen.maxInterval, bin == RunStatistics::OverflowBin ? interval : 0.0);
        QCOMPARE(seen.tickCount, quint64(12));
        // Every tick is in the timeline, the latest in its open slot.
        const RunTimeline timeline = ticks.timeline();
        QCOMPARE(timeline.used, int(timeline.lastTick / timeline.slotSeconds) + 1);
        quint64 inSlots = 0;
        for (int i = 0; i < timeline.used; ++i)
            inSlots += timeline.slot[size_t(i)].ticks;
        QCOMPARE(inSlots, quint64(12));
    }

    void keptIntervalsAreTheCountedOnesUntilFull()
    {
        double kept[4] = {-1, -1, -1, -1};
        worker->keepIntervals(kept, 3);
        skipTimerGate(); // counts nothing, keeps nothing
        QCOMPARE(worker->keptIntervals(), quint64(0));
        timerTick(0.0011);
        receiveTick(0.0305);
        timerTick(0.0000001);
        timerTick(0.002); // no room left
        QCOMPARE(worker->keptIntervals(), quint64(3));
        QVERIFY(qAbs(kept[0] - 0.0011) < 1e-12);
        QVERIFY(qAbs(kept[1] - 0.0305) < 1e-12);
        QVERIFY(qAbs(kept[2] - 0.0000001) < 1e-12);
        QCOMPARE(kept[3], -1.0);
        QCOMPARE(stats().counted(), quint64(4));
    }

    void overflowRowTakesItsLongestCountedInterval()
    {
        skipTimerGate();
        timerTick(0.0299); // counted in the overflow bin
        QCOMPARE(stats().maxInterval, 0.0299);
        timerTick(0.0305);
        QCOMPARE(stats().maxInterval, 0.0305);
        timerTick(0.0299); // shorter: the label stays
        timerTick(0.001);
        QCOMPARE(stats().maxInterval, 0.0305);
        timerTick(3 * 3600.0);
        QCOMPARE(stats().maxInterval, 3 * 3600.0);
        QCOMPARE(stats().bins[299], quint64(4));
    }

    void uncountedTicksNeverLabelTheOverflowRow()
    {
        // At a 50 ms period the first interval spans the warm-up, about
        // 550 ms; it is left out of the histogram and must not become the
        // overflow row's label.
        timerTick(0.55);
        for (int i = 0; i < 200; ++i)
            timerTick(0.050);
        QCOMPARE(stats().maxInterval, 0.050);
        QCOMPARE(stats().bins[299], quint64(200 - 10));

        // Same on the receive side: the first ticks of every window are
        // outside the histogram.
        beginRun();
        for (int i = 0; i < 250; ++i)
            receiveTick(i % 100 == 5 ? 2.0 : 0.001);
        QCOMPARE(stats().maxInterval, 0.0);
        QCOMPARE(stats().bins[299], quint64(0));
    }

    void timerGateLeavesOutTheFirstElevenTicksOfARun()
    {
        for (int i = 0; i < 11; ++i)
            timerTick(0.001);
        QCOMPARE(stats().counted(), quint64(0));
        timerTick(0.001);
        QCOMPARE(stats().counted(), quint64(1));
        for (int i = 12; i < 250; ++i)
            timerTick(0.001);
        QCOMPARE(stats().counted(), quint64(239));
        QCOMPARE(stats().bins[10], quint64(239));
        QCOMPARE(stats().tickCount, quint64(250));
    }

    void receiveGateLeavesOutTheFirstElevenTicksOfEveryWindow()
    {
        const QList<QPair<int, quint64>> expected = {{100, 89}, {111, 89}, {112, 90}, {250, 217}};
        int ticks = 0;
        for (const auto &[after, counted] : expected) {
            for (; ticks < after; ++ticks)
                receiveTick(0.002);
            QCOMPARE(stats().counted(), counted);
        }
        QCOMPARE(stats().bins[20], quint64(217));
    }

    void interleavedTicksMeasureFromEitherKind()
    {
        skipTimerGate();
        timerTick(0.001);
        receiveTick(0.0004); // receive gate: windowTickCount is 12, above 10
        timerTick(0.0006);
        QCOMPARE(stats().bins[4], quint64(1));
        QCOMPARE(stats().bins[6], quint64(1));
        QCOMPARE(stats().tickCount, quint64(14));
    }

    void meanIsTakenOverWindowsOfAHundredTicks()
    {
        timerTick(0.011); // the warm-up span belongs to the first window
        for (int i = 1; i < 99; ++i)
            timerTick(0.001);
        QCOMPARE(stats().meanInterval, 0.0);
        timerTick(0.001);
        QVERIFY(qFuzzyCompare(stats().meanInterval, 0.0011));
        for (int i = 100; i < 199; ++i)
            timerTick(0.002);
        QVERIFY(qFuzzyCompare(stats().meanInterval, 0.0011));
        timerTick(0.002);
        QVERIFY(qFuzzyCompare(stats().meanInterval, 0.002));
    }

    void counterWithoutFrequencyCountsEverythingInBinZero()
    {
        fake->setFrequency(0);
        RtThread blind;
        for (int i = 0; i < 150; ++i) {
            fake->advanceCounter(1000000);
            QMetaObject::invokeMethod(&blind, "runTimerTick", Qt::DirectConnection);
        }
        const RunStatistics seen = blind.statistics();
        QCOMPARE(seen.bins[0], quint64(139));
        QCOMPARE(seen.meanInterval, 0.0);
        QCOMPARE(seen.maxInterval, 0.0);
    }

    void counterSteppingBackGivesAZeroInterval()
    {
        skipTimerGate();
        timerTick(0.001);
        fake->advanceCounter(-500000);
        QCOMPARE(binOf(0.0), 0);
        QCOMPARE(stats().bins[0], quint64(1));
    }

    // The timeline, second by second: the ticks of each, and the longest
    // interval the histogram counted in it, attributed to the second its
    // tick came in; seconds without a tick stay empty.
    void timelineKeepsEachSecondsTicksAndLongest()
    {
        timerTick(0.55); // the warm-up span: a tick, but never a longest
        for (int i = 0; i < 10; ++i)
            timerTick(0.001);
        for (int i = 0; i < 100; ++i) // counted from here; to 0.666 s
            timerTick(i == 50 ? 0.007 : 0.001);
        for (int i = 0; i < 400; ++i) // the 334th lands at 1.000 s, the last at 1.066 s
            timerTick(0.001);
        timerTick(0.0305); // 1.0965 s
        timerTick(2.2);    // 3.2965 s: second 2 has no tick
        const RunTimeline seen = worker->timeline();
        QCOMPARE(seen.used, 4);
        QCOMPARE(seen.slotSeconds, 1.0);
        QCOMPARE(seen.slot[0].ticks, quint64(1 + 10 + 100 + 333));
        QCOMPARE(seen.slot[0].maxInterval, 0.007);
        QCOMPARE(seen.slot[1].ticks, quint64(67 + 1));
        QCOMPARE(seen.slot[1].maxInterval, 0.0305);
        QCOMPARE(seen.slot[2].ticks, quint64(0));
        QCOMPARE(seen.slot[2].maxInterval, 0.0);
        QCOMPARE(seen.slot[3].ticks, quint64(1));
        QCOMPARE(seen.slot[3].maxInterval, 2.2);
        QVERIFY(qAbs(seen.lastTick - 3.2965) < 1e-9);
        QVERIFY(qAbs(seen.openSeconds() - 0.2965) < 1e-9);
        QCOMPARE(stats().maxInterval, 2.2); // the overflow label, through the same compare
    }

    // A day of simulated run, two ticks a second with two long intervals:
    // the store keeps its 512 slots, merged to 256 s each, and loses no
    // tick and neither long interval.
    void timelineOfADayStaysInItsStore()
    {
        const int seconds = 24 * 3600;
        const int spikeAt = 5 * 3600; // a 3 s interval ends five hours in
        for (int second = 0; second < seconds; ++second) {
            timerTick(second == spikeAt ? 3.0 : 0.5);
            timerTick(second == seconds - 10 ? 0.7 : 0.5);
        }
        const RunTimeline seen = worker->timeline();
        QCOMPARE(seen.slotSeconds, 256.0);
        QVERIFY(seen.used <= RunTimeline::Slots);
        QVERIFY(seen.slotEnd(seen.used - 1) >= seen.lastTick);
        quint64 ticks = 0;
        for (int i = 0; i < seen.used; ++i) {
            const RunTimeline::Slot &slot = seen.slot[size_t(i)];
            ticks += slot.ticks;
            const bool spike =
                seen.slotEnd(i - 1) < spikeAt + 3.0 && spikeAt + 3.0 <= seen.slotEnd(i);
            const double expected = spike ? 3.0 : i == seen.used - 1 ? 0.7 : 0.5;
            // Differences of readings a day from the start: exact to about 1e-11 s.
            QVERIFY2(qAbs(slot.maxInterval - expected) < 1e-9,
                     qPrintable(QString("%1: %2").arg(i).arg(slot.maxInterval)));
        }
        QCOMPARE(ticks, stats().tickCount);
        QCOMPARE(stats().tickCount, quint64(2 * seconds));
    }

    void sendsFollowTheSendFlagTickByTick()
    {
        QUdpSocket receiver;
        QVERIFY2(receiver.bind(QHostAddress::LocalHost, RtThread::UdpPort),
                 qPrintable(receiver.errorString()));
        QUdpSocket sender;
        worker->udpSocket = &sender;
        RunSettings settings;
        settings.target = "127.0.0.1";
        worker->setSettings(settings);

        worker->sendUdp = false;
        for (int i = 0; i < 5; ++i)
            timerTick(0.001);
        worker->sendUdp = true;
        for (int i = 0; i < 3; ++i)
            timerTick(0.001);
        worker->sendUdp = false;
        timerTick(0.001);
        worker->sendUdp = true;
        timerTick(0.001);

        // Loopback delivers in order: once the last datagram is in, every
        // earlier one is too.
        int received = 0;
        QTRY_VERIFY(receiver.hasPendingDatagrams());
        while (receiver.hasPendingDatagrams()) {
            const QNetworkDatagram datagram = receiver.receiveDatagram();
            QCOMPARE(datagram.data().size(), RtThread::DatagramSize);
            ++received;
            if (received < 4)
                QTRY_VERIFY(receiver.hasPendingDatagrams());
        }
        QCOMPARE(received, 4);
        QCOMPARE(stats().tickCount, quint64(10)); // sent or not, each tick counts

        // No socket: the tick counts and nothing is sent.
        worker->udpSocket = nullptr;
        timerTick(0.001);
        QCOMPARE(stats().tickCount, quint64(11));
    }

    void receiveTickDrainsEveryPendingDatagram()
    {
        QUdpSocket socket;
        QVERIFY(socket.bind(QHostAddress::LocalHost, 0));
        worker->udpSocket = &socket;

        receiveTick(0.001); // nothing pending: still a tick
        QCOMPARE(stats().tickCount, quint64(1));

        QUdpSocket sender;
        const QByteArray largest(65507, 'x'); // the largest IPv4 datagram
        QCOMPARE(sender.writeDatagram(QByteArray(), QHostAddress::LocalHost, socket.localPort()),
                 qint64(0));
        QCOMPARE(sender.writeDatagram(largest, QHostAddress::LocalHost, socket.localPort()),
                 qint64(largest.size()));
        QCOMPARE(
            sender.writeDatagram(QByteArray(64, '\0'), QHostAddress::LocalHost, socket.localPort()),
            qint64(64));
        QTRY_VERIFY(socket.hasPendingDatagrams());

        receiveTick(0.001);
        QCOMPARE(stats().tickCount, quint64(2)); // three datagrams, one tick
        QVERIFY(!socket.hasPendingDatagrams());

        // A wake-up drains at most DatagramsPerWakeUp; the rest wait for the
        // next, so a socket that never empties still lets the worker go.
        // Loopback queues each datagram before its send returns.
        socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 1 << 20);
        for (int i = 0; i < DrainBudget::DatagramsPerWakeUp + 44; ++i)
            QCOMPARE(sender.writeDatagram(QByteArray(64, '\0'), QHostAddress::LocalHost,
                                          socket.localPort()),
                     qint64(64));
        receiveTick(0.001);
        QCOMPARE(stats().tickCount, quint64(3));
        int left = 0;
        for (; socket.hasPendingDatagrams(); ++left)
            socket.readDatagram(nullptr, 0);
        QCOMPARE(left, 44);

        worker->udpSocket = nullptr;
        receiveTick(0.001);
        QCOMPARE(stats().tickCount, quint64(4));
    }

    // A worker that spends all its time on the receive side (the fake OS's
    // processor time keeps pace with its counter) while the kernel drops 5
    // datagrams every 10 ms: once it has spent its share of the last second,
    // the run is flooded, at the rate the drops came, and counts them.
    void receiveSideBeyondItsBudgetIsAFlood()
    {
        QUdpSocket socket;
        QVERIFY(socket.bind(QHostAddress::LocalHost, 0));
        worker->udpSocket = &socket;
        int ticks = 0;
        for (; ticks < 400 && !stats().flooded(); ++ticks) {
            fake->setThreadCpuTime(qint64(ticks + 1) * 10000000);
            fake->setSocketDrops(5 * (ticks + 1));
            receiveTick(0.010);
        }
        // 0.6 s at full speed is the share of the last second: about 60
        // wake-ups.
        QVERIFY2(ticks > 55 && ticks < 65, qPrintable(QString::number(ticks)));
        QVERIFY2(qAbs(stats().floodRate - 500.0) < 1.0,
                 qPrintable(QString::number(stats().floodRate)));
        QCOMPARE(stats().datagramsDropped, qint64(5 * ticks));
        worker->udpSocket = nullptr;
    }

    // "Win32 Periodic" on the fake OS at 2 ms, with its timer or (sleeps)
    // without one: ten warm-up waits (the first at once, as a periodic
    // timer's) and eleven gated ticks on time, then the row's waits, in us;
    // their ticks' lateness from the deadlines, in us.
    void latenessFromDeadlines_data()
    {
        QTest::addColumn<bool>("timer");
        QTest::addColumn<QList<qint64>>("waitsUs");
        QTest::addColumn<quint64>("overruns");
        QTest::addColumn<QList<double>>("expectedUs"); // min, mean, max, p50, p90, p99, p99.9

        // Deadline D24 missed by 1.5 periods: one overrun (D25), the timer
        // skips it and the next tick is on D26. Then a tick 1.25 periods
        // late (D27) and a timer catching up with the D28 it passed over:
        // that one is no overrun.
        QTest::newRow("periodic grid")
            << true << QList<qint64>{2000, 2003, 1997, 5000, 1000, 4500, 10, 1490} << quint64(1)
            << QList<double>{0, 6013.0 / 8, 3000, 0, 3000, 3000, 3000};
        // From the previous tick: early ticks stay early, and no grid, so
        // a long wait is lateness, never an overrun.
        QTest::newRow("sleeps") << false << QList<qint64>{2000, 2003, 1999, 2000, 7000, 2001}
                                << quint64(0)
                                << QList<double>{-1, 5003.0 / 6, 5000, 0, 5000, 5000, 5000};
        // Waits of 2 ms plus 0 to 999 us, in a shuffled order: the ranks
        // are exact, p50 being the 500th value.
        QList<qint64> spread;
        for (int i = 0; i < 1000; ++i)
            spread << 2000 + (i * 7919) % 1000;
        QTest::newRow("sleeps, 0 to 999 us late")
            << false << spread << quint64(0) << QList<double>{0, 499.5, 999, 499, 899, 989, 998};
    }
    void latenessFromDeadlines()
    {
        QFETCH(bool, timer);
        QFETCH(QList<qint64>, waitsUs);
        QFETCH(quint64, overruns);
        QFETCH(QList<double>, expectedUs);
        std::vector<std::int64_t> waits(1, 0);
        waits.insert(waits.end(), 9 + 11, 2000000);
        for (const qint64 us : waitsUs)
            waits.push_back(us * 1000);
        fake->scriptWaits(waits);
        fake->setTimerCreationFails(!timer);
        RunSettings settings;
        settings.clockMode = WaitableTimerMode;
        settings.periodMs = 2;
        RunControl control;
        control.start(*worker, settings);
        const quint64 ticks = quint64(11 + waitsUs.size());
        const bool ticked = QTest::qWaitFor([&] { return stats().tickCount >= ticks; }, 10000);
        const LatenessStatistics seen = worker->lateness();
        fake->setWaitsHang(false);
        control.stop(*worker);
        QVERIFY2(ticked,
                 worker->lastRunEnd == RtThread::RunBindFailed
                     ? "port 1667 is held by something else"
                     : "the script's ticks did not all come");

        QCOMPARE(
            seen.deadlines,
            int(timer ? LatenessStatistics::GridDeadlines : LatenessStatistics::TickDeadlines));
        QCOMPARE(seen.wakeUps, quint64(waitsUs.size()));
        QCOMPARE(seen.overruns, overruns);
        const QList<double> us = {seen.minLateness * 1e6,     seen.meanLateness() * 1e6,
                                  seen.maxLateness * 1e6,     seen.percentile(500) * 1e6,
                                  seen.percentile(900) * 1e6, seen.percentile(990) * 1e6,
                                  seen.percentile(999) * 1e6};
        for (int i = 0; i < us.size(); ++i)
            QVERIFY2(qAbs(us[i] - expectedUs[i]) < 1e-6,
                     qPrintable(QString("figure %1: %2 us").arg(i).arg(us[i], 0, 'f', 6)));
    }

    // Twenty receive ticks, each draining one datagram whose kernel stamp
    // the fake gives: gaps of 1, 2, 3 and 5 ms between the stamps, and each
    // wake-up a set time after its stamp on the stamp clock (offset O ahead
    // of the counter). Refused stamps leave arrival and lateness empty.
    void receiveTimingFromStamps_data()
    {
        QTest::addColumn<bool>("refused");
        QTest::newRow("stamped") << false;
        QTest::newRow("stamps refused") << true;
    }
    void receiveTimingFromStamps()
    {
        QFETCH(bool, refused);
        QUdpSocket socket;
        QVERIFY(socket.bind(QHostAddress::LocalHost, 0));
        QUdpSocket sender;
        worker->udpSocket = &socket;
        double kept[32];
        double arrivals[32];
        worker->keepIntervals(kept, 32, arrivals);
        fake->setStampsRefused(refused);
        const qint64 offset = 1700000000000000000;
        fake->setStampClockOffset(offset);

        const qint64 gapsNs[4] = {1000000, 2000000, 3000000, 5000000};
        // 0, 3.5 us, just under 1 ms, 1 ms (the overflow bin) and 2.5 ms.
        const qint64 latenessNs[5] = {0, 3500, 999999, 1000000, 2500000};
        qint64 stamp = offset + 5000000000;
        for (int i = 0; i < 20; ++i) {
            if (i > 0)
                stamp += gapsNs[i % 4];
            QCOMPARE(sender.writeDatagram(QByteArray(64, '\0'), QHostAddress::LocalHost,
                                          socket.localPort()),
                     qint64(64));
            QTRY_VERIFY(socket.hasPendingDatagrams());
            fake->scriptStamps({stamp});
            fake->setCounter(stamp - offset + latenessNs[i % 5]);
            QMetaObject::invokeMethod(worker, "udpRead", Qt::DirectConnection);
        }
        QVERIFY(!socket.hasPendingDatagrams());

        const ReceiveTiming timing = stats().receive;
        QCOMPARE(stats().tickCount, quint64(20));
        QCOMPARE(worker->keptIntervals(), quint64(9)); // ticks 11 to 19 pass the gate
        if (refused) {
            QCOMPARE(timing.unstampedDatagrams, quint64(20));
            QCOMPARE(timing.stampedDatagrams + timing.arrivals() + timing.wakeUps(), quint64(0));
            QVERIFY(std::all_of(arrivals, arrivals + 9, [](double a) { return std::isnan(a); }));
            QCOMPARE(StatsReport::receiveTimingSummary(timing),
                     "Kernel receive stamps: none on 20 datagrams (the kernel stamped none of "
                     "them); no arrival intervals or receiver lateness\n");
            return;
        }
        QCOMPARE(timing.stampedDatagrams, quint64(20));
        QCOMPARE(timing.unstampedDatagrams, quint64(0));
        QCOMPARE(timing.arrivals(), quint64(19));
        QCOMPARE(timing.arrival[10], quint64(4));
        QCOMPARE(timing.arrival[20], quint64(5));
        QCOMPARE(timing.arrival[30], quint64(5));
        QCOMPARE(timing.arrival[50], quint64(5));
        QCOMPARE(timing.lateness[0], quint64(4));
        QCOMPARE(timing.lateness[3], quint64(4));
        QCOMPARE(timing.lateness[999], quint64(4));
        QCOMPARE(timing.lateness[ReceiveTiming::LatenessOverflowBin], quint64(8));
        QCOMPARE(timing.wakeUps(), quint64(20));
        QCOMPARE(timing.maxLateness, 0.0025);
        QCOMPARE(timing.clockOffsetNs, offset);
        for (int row = 0; row < 9; ++row)
            QCOMPARE(arrivals[row], double(gapsNs[(11 + row) % 4]) * 1e-9);
        QCOMPARE(StatsReport::receiveTimingSummary(timing),
                 "Kernel receive stamps: 20 datagrams stamped\n"
                 "Arrival intervals (kernel): 19, mean 2.8421 ms; 2.0 ms 26.3 %, 3.0 ms 26.3 %, "
                 "5.0 ms 26.3 %, 1.0 ms 21.1 %\n"
                 "Receiver lateness (wake-up after the first datagram's stamp): 20 wake-ups, "
                 "p50 999 us, p99 over 1 ms, max 2500 us\n");
    }
};

QTEST_GUILESS_MAIN(TestTickAccounting)
#include "tst_tickaccounting.moc"
