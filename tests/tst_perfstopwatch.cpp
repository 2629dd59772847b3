// SPDX-License-Identifier: MIT
#include "fakeos.h"
#include "perfstopwatch.h"

#include <QRandomGenerator>
#include <QTest>

#include <limits>

using platform::FakeOs;

class TestPerfStopwatch : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        fake = new FakeOs;
        platform::install(fake);
    }
    void cleanup()
    {
        platform::install(nullptr);
        delete fake;
    }

    void constructionQueriesFrequencyOnceThenCounter()
    {
        fake->setFrequency(1000);
        fake->setCounter(42);
        PerfStopwatch watch;
        QCOMPARE(fake->calls(true), (std::vector<std::string>{"counterFrequency", "counterValue"}));
        QCOMPARE(watch.frequency, 1000);
        QCOMPARE(watch.startCount, 42);
        QVERIFY(!watch.unavailable);
        QCOMPARE(watch.baseSeconds, 0.0);
        QCOMPARE(watch.lastElapsedCounts, 0.0);

        fake->setFrequency(5);
        fake->clearCalls();
        watch.restart();
        QCOMPARE(fake->calls(true), std::vector<std::string>{"counterValue"});
        QCOMPARE(watch.frequency, 1000); // not asked again
    }

    void readingsFollowTheCounter()
    {
        fake->setFrequency(1000);
        fake->setCounter(1000);
        PerfStopwatch watch;
        watch.restart();
        QCOMPARE(watch.elapsedSeconds(), 0.0);
        QCOMPARE(watch.lastElapsedCounts, 0.0);
        fake->setCounter(1250);
        QCOMPARE(watch.elapsedSeconds(), 0.25);
        QCOMPARE(watch.nowCount, 1250);
        QCOMPARE(watch.lastElapsedCounts, 250.0);
    }

    void counterSteppingBackRebases()
    {
        fake->setFrequency(1000);
        fake->setCounter(1000);
        PerfStopwatch watch;
        watch.restart();

        fake->setCounter(3000);
        QCOMPARE(watch.elapsedSeconds(), 2.0);

        fake->setCounter(500); // steps back: same value again, measured on from 500
        QCOMPARE(watch.elapsedSeconds(), 2.0);
        QCOMPARE(watch.startCount, 500);
        QCOMPARE(watch.baseSeconds, 2.0);
        QCOMPARE(watch.lastElapsedCounts, 0.0);

        fake->setCounter(400); // a second step back before any normal reading
        QCOMPARE(watch.elapsedSeconds(), 2.0);
        QCOMPARE(watch.startCount, 400);
        QCOMPARE(watch.baseSeconds, 2.0);

        fake->setCounter(1400);
        QCOMPARE(watch.elapsedSeconds(), 3.0);

        // A restart after a re-base starts a fresh time line.
        fake->setCounter(9000);
        watch.restart();
        QCOMPARE(watch.baseSeconds, 0.0);
        fake->setCounter(9100);
        QCOMPARE(watch.elapsedSeconds(), 0.1);
    }

    void smallStepBackAboveTheStartCountRebasesToo()
    {
        // Still above the start count, but below the previous reading: an
        // unsynchronised counter between cores does this.
        fake->setFrequency(1000);
        fake->setCounter(1000);
        PerfStopwatch watch;
        watch.restart();
        fake->setCounter(3000);
        QCOMPARE(watch.elapsedSeconds(), 2.0);
        fake->setCounter(2500);
        QCOMPARE(watch.elapsedSeconds(), 2.0);
        QCOMPARE(watch.startCount, 2500);
        QCOMPARE(watch.baseSeconds, 2.0);
        fake->setCounter(2600);
        QCOMPARE(watch.elapsedSeconds(), 2.1);
        fake->setCounter(2600); // standing still is not a step back
        QCOMPARE(watch.elapsedSeconds(), 2.1);
        QCOMPARE(watch.startCount, 2500);
    }

    void rebaseRepeatsThePreviousReadingExactly()
    {
        // Frequencies and counts whose quotients are not exact in binary.
        fake->setFrequency(3579545);
        fake->setCounter(0);
        PerfStopwatch watch;
        watch.restart();
        fake->setCounter(1234567);
        const double before = watch.elapsedSeconds();
        fake->setCounter(-77);
        QCOMPARE(watch.elapsedSeconds(), before); // bit for bit, not fuzzy
        QVERIFY(watch.elapsedSeconds() >= before);
    }

    void wrappedCounterStillMeasuresForward()
    {
        fake->setFrequency(1000000000);
        fake->setCounter(std::numeric_limits<qint64>::max() - 499);
        PerfStopwatch watch;
        watch.restart();
        fake->setCounter(std::numeric_limits<qint64>::min() + 500); // 1000 counts later, wrapped
        QCOMPARE(watch.elapsedSeconds(), 1e-6);
    }

    void readingsNeverGoBackwards()
    {
        fake->setFrequency(10000000);
        fake->setCounter(0);
        PerfStopwatch watch;
        watch.restart();
        QRandomGenerator random(1667);
        double previous = watch.elapsedSeconds();
        for (int i = 0; i < 20000; ++i) {
            // Mostly forward, now and then a step back of any size.
            const qint64 step = random.bounded(10) == 0 ? -qint64(random.bounded(5000000))
                                                        : qint64(random.bounded(20000));
            fake->advanceCounter(step);
            const double now = watch.elapsedSeconds();
            QVERIFY2(now >= previous, qPrintable(QString("step %1 went back").arg(i)));
            previous = now;
        }
    }

    void unavailableCounterReadsZero()
    {
        fake->setFrequency(0);
        fake->setCounter(1000);
        PerfStopwatch watch;
        QVERIFY(watch.unavailable);
        watch.nowCount = 777;
        fake->clearCalls();
        fake->setCounter(5000);
        QCOMPARE(watch.elapsedSeconds(), 0.0);
        QCOMPARE(watch.nowCount, 777);      // not written
        QVERIFY(fake->calls(true).empty()); // counter not consulted
        watch.restart();                    // restart still reads it
        QCOMPARE(fake->calls(true), std::vector<std::string>{"counterValue"});
        fake->setCounter(9000);
        QCOMPARE(watch.elapsedSeconds(), 0.0);
        QVERIFY(watch.unavailable);
    }

    void nativeCounterRunsForward()
    {
        platform::install(nullptr);
        PerfStopwatch watch;
        QVERIFY(!watch.unavailable);
        watch.restart();
        const double first = watch.elapsedSeconds();
        QVERIFY(first >= 0.0 && first < 1.0);
        QTest::qSleep(20);
        const double second = watch.elapsedSeconds();
        QVERIFY2(second - first >= 0.019, qPrintable(QString::number(second - first)));
        QVERIFY(second - first < 10.0);
    }

private:
    FakeOs *fake = nullptr;
};

QTEST_GUILESS_MAIN(TestPerfStopwatch)
#include "tst_perfstopwatch.moc"
