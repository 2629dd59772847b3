// SPDX-License-Identifier: MIT
// The receive side's processor budget on simulated time: a worker that would
// use a given share of its CPU, datagrams arriving at a given rate, and what
// the budget makes of it, millisecond by millisecond.
#include "drainbudget.h"

#include <QTest>

namespace {

struct Outcome
{
    double firstPauseAt = -1;    // seconds; -1: never paused
    double lastSecondsShare = 0; // of one CPU, over the last three seconds
    double floodRate = 0;
};

// Eight simulated seconds. While not paused the worker uses `load` of its CPU;
// datagrams arrive at `rate` throughout, paused or not (the kernel counts the
// ones it drops). cpuKnown false: the OS cannot tell the thread's time.
Outcome simulate(double load, double rate, bool cpuKnown = true)
{
    const double step = 0.0005;
    const double seconds = 8.0;
    const double lastThree = seconds - 3.0;
    DrainBudget budget;
    double cpu = 0, cpuBefore = 0, pausedUntil = 0;
    double arrived = 0;
    Outcome outcome;
    budget.start(0.0, cpuKnown ? 0.0 : -1.0, 0);
    for (double now = step; now <= seconds + 1e-9; now += step) {
        arrived += rate * step;
        if (now < pausedUntil)
            continue;
        cpu += load * step;
        if (!budget.sampleDue(now))
            continue;
        const double pause = budget.sample(now, cpuKnown ? cpu : -1.0, quint64(arrived));
        if (pause > 0) {
            pausedUntil = now + pause;
            if (outcome.firstPauseAt < 0)
                outcome.firstPauseAt = now;
        }
        if (now <= lastThree)
            cpuBefore = cpu;
    }
    outcome.lastSecondsShare = (cpu - cpuBefore) / (seconds - lastThree);
    outcome.floodRate = budget.floodRate();
    return outcome;
}

} // namespace

class TestDrainBudget : public QObject
{
    Q_OBJECT

private slots:
    void holdsTheWorkerToItsShare_data()
    {
        QTest::addColumn<double>("load");
        QTest::addColumn<double>("rate");
        QTest::addColumn<bool>("cpuKnown");
        QTest::addColumn<bool>("pauses");
        // Below the share: a measurement's rate is never touched.
        QTest::newRow("a third of a CPU") << 0.33 << 100000.0 << true << false;
        QTest::newRow("just under the share") << 0.59 << 100000.0 << true << false;
        // A flood that would take the whole CPU: held to the share, and its
        // rate reported.
        QTest::newRow("a whole CPU") << 1.0 << 185000.0 << true << true;
        QTest::newRow("most of a CPU") << 0.8 << 400000.0 << true << true;
        // No processor time from the OS: nothing to hold to, never a pause.
        QTest::newRow("time unknown") << 1.0 << 185000.0 << false << false;
    }
    void holdsTheWorkerToItsShare()
    {
        QFETCH(double, load);
        QFETCH(double, rate);
        QFETCH(bool, cpuKnown);
        QFETCH(bool, pauses);
        const Outcome outcome = simulate(load, rate, cpuKnown);
        qInfo("first pause at %.3f s, share over the last 3 s %.3f, flood rate %.0f/s",
              outcome.firstPauseAt, outcome.lastSecondsShare, outcome.floodRate);
        QCOMPARE(outcome.firstPauseAt >= 0, pauses);
        QCOMPARE(outcome.floodRate > 0, pauses);
        if (!pauses) {
            QVERIFY2(qAbs(outcome.lastSecondsShare - load) < 0.01,
                     qPrintable(QString::number(outcome.lastSecondsShare)));
            return;
        }
        // The time before the run counts as idle: a second's share is spent
        // at `load` before the first pause.
        const double expectedFirst = DrainBudget::CpuShare * DrainBudget::WindowSeconds / load;
        QVERIFY2(qAbs(outcome.firstPauseAt - expectedFirst) < 0.03,
                 qPrintable(QString::number(outcome.firstPauseAt)));
        QVERIFY2(qAbs(outcome.lastSecondsShare - DrainBudget::CpuShare) < 0.02,
                 qPrintable(QString::number(outcome.lastSecondsShare)));
        QVERIFY2(qAbs(outcome.floodRate - rate) < rate * 0.02,
                 qPrintable(QString::number(outcome.floodRate)));
    }
};

QTEST_GUILESS_MAIN(TestDrainBudget)
#include "tst_drainbudget.moc"
