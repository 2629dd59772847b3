// SPDX-License-Identifier: MIT
// |interval - period| percentiles and the thresholds judged on them: from
// hand-set histograms, and from a worker run on the fake OS whose every
// interval is known, judged as vantrel-cli judges a run.
#include "deviation.h"
#include "fakeos.h"
#include "headlessrun.h"
#include "runcontrol.h"
#include "runrecord.h"

#include <QJsonArray>
#include <QTest>

#include <cmath>
#include <utility>
#include <vector>

using platform::FakeOs;

namespace {

using Bins = QList<QPair<int, qint64>>;

RunStatistics histogram(const Bins &bins, double maxInterval = 0)
{
    RunStatistics statistics;
    for (const auto &bin : bins)
        statistics.bins[size_t(bin.first)] = quint64(bin.second);
    statistics.maxInterval = maxInterval;
    return statistics;
}

// The fake run's intervals, in nanoseconds, after the 11 the histogram
// leaves out: 1000 around a 2 ms period, so that every figure is known.
// Sorted deviations: 850 x 0, 100 x 10 us, 40 x 30 us, 8 x 100 us, one of
// 400 us and one of 800 us (the early tick, 1.2 ms).
std::vector<std::int64_t> scriptedIntervals()
{
    std::vector<std::int64_t> intervals;
    const std::pair<int, std::int64_t> groups[] = {{850, 2000000}, {100, 2010000}, {40, 1970000},
                                                   {8, 2100000},   {1, 2400000},   {1, 1200000}};
    for (const auto &group : groups)
        intervals.insert(intervals.end(), size_t(group.first), group.second);
    return intervals;
}

} // namespace

class TestDeviation : public QObject
{
    Q_OBJECT

private:
    // The fake run's statistics and its kept intervals, taken once.
    RunStatistics fakeRun;
    std::vector<double> kept;

    static void compareUs(double seconds, double expectedUs, const char *what)
    {
        QVERIFY2(std::fabs(seconds * 1e6 - expectedUs) < 1e-6,
                 qPrintable(QString("%1: %2 us, expected %3 us")
                                .arg(what)
                                .arg(seconds * 1e6, 0, 'f', 9)
                                .arg(expectedUs)));
    }

private slots:
    // "Win32 Periodic" at 2 ms on the fake OS: no warm-up time, 11 ticks
    // the histogram leaves out, then the script; its waits then hang, so
    // the statistics hold still until they are read.
    void initTestCase()
    {
        std::vector<std::int64_t> waits(10, 0);
        waits.insert(waits.end(), 11, 2000000);
        const std::vector<std::int64_t> intervals = scriptedIntervals();
        waits.insert(waits.end(), intervals.begin(), intervals.end());
        FakeOs fake;
        fake.scriptWaits(waits);
        platform::install(&fake);
        {
            RtThread worker;
            // Room for the script's intervals alone: the ticks after the
            // waits are let go below are not kept.
            kept.assign(intervals.size(), 0.0);
            worker.keepIntervals(kept.data(), kept.size());
            RunSettings settings;
            settings.clockMode = RtThread::WaitableTimerMode;
            settings.periodMs = 2;
            RunControl control;
            control.start(worker, settings);
            // Not QTRY: the waits must be let go even when the ticks never come.
            const bool ticked =
                QTest::qWaitFor([&] { return worker.statistics().tickCount >= 1011; }, 10000);
            Q_UNUSED(ticked); // the count is compared below
            fakeRun = worker.statistics();
            fake.setWaitsHang(false);
            control.stop(worker);
        }
        platform::install(nullptr);
        QCOMPARE(fakeRun.tickCount, quint64(1011));
        QCOMPARE(fakeRun.counted(), quint64(1000));
    }

    // Each bin counts at the farthest its intervals can lie from the
    // period: half a bin for the period's own.
    void fromTheHistogram_data()
    {
        QTest::addColumn<int>("periodMs");
        QTest::addColumn<Bins>("bins");
        QTest::addColumn<double>("maxInterval");
        QTest::addColumn<QList<double>>("expectedUs"); // p50, p90, p99, p99.9, max
        QTest::addColumn<double>("share");
        // The report's first line: at period 0 there is no period to stray
        // from, so the figures are said to be the arrivals' intervals.
        QTest::addColumn<QString>("heading");
        const auto from = [](int periodMs, int intervals) {
            return QString("Deviation |interval - period| from %1 ms (at most, from the "
                           "histogram's 0.1 ms bins, %2 intervals):")
                .arg(periodMs)
                .arg(intervals);
        };

        QTest::newRow("all in the period's bin")
            << 2 << Bins{{20, 1000}} << 0.0 << QList<double>{50, 50, 50, 50, 50} << 100.0
            << from(2, 1000);
        QTest::newRow("either side, and one late")
            << 2 << Bins{{19, 5}, {20, 90}, {21, 4}, {23, 1}} << 0.0
            << QList<double>{50, 50, 150, 350, 350} << 90.0 << from(2, 100);
        QTest::newRow("one in the overflow bin")
            << 1 << Bins{{10, 999}, {299, 1}} << 0.0521 << QList<double>{50, 50, 50, 50, 51100}
            << 99.9 << from(1, 1000);
        QTest::newRow("one at once (bin 0)")
            << 1 << Bins{{0, 1}, {10, 9}} << 0.0 << QList<double>{50, 50, 1000, 1000, 1000} << 90.0
            << from(1, 10);
        QTest::newRow("datagrams as the clock: the intervals themselves")
            << 0 << Bins{{3, 10}, {5, 10}} << 0.0 << QList<double>{350, 550, 550, 550, 550} << -1.0
            << "Intervals between arriving datagrams (at most, from the histogram's 0.1 ms "
               "bins, 20 intervals):";
        QTest::newRow("datagrams as the clock, one in the overflow bin")
            << 0 << Bins{{20, 99}, {299, 1}} << 0.0412
            << QList<double>{2050, 2050, 2050, 41200, 41200} << -1.0
            << "Intervals between arriving datagrams (at most, from the histogram's 0.1 ms "
               "bins, 100 intervals):";
        QTest::newRow("30 ms: every interval overflows")
            << 30 << Bins{{299, 10}} << 0.0303 << QList<double>{300, 300, 300, 300, 300} << -1.0
            << from(30, 10);
    }
    void fromTheHistogram()
    {
        QFETCH(int, periodMs);
        QFETCH(Bins, bins);
        QFETCH(double, maxInterval);
        QFETCH(QList<double>, expectedUs);
        QFETCH(double, share);
        QFETCH(QString, heading);
        const DeviationSummary summary =
            DeviationSummary::of(histogram(bins, maxInterval), periodMs, nullptr, 0);
        QCOMPARE(summary.text().section('\n', 0, 0), heading);
        QCOMPARE(summary.source, DeviationSummary::Histogram);
        QCOMPARE(summary.sourceName(), QString("histogram"));
        compareUs(summary.p50, expectedUs[0], "p50");
        compareUs(summary.p90, expectedUs[1], "p90");
        compareUs(summary.p99, expectedUs[2], "p99");
        compareUs(summary.p999, expectedUs[3], "p99.9");
        compareUs(summary.max, expectedUs[4], "max");
        QVERIFY2(std::fabs(summary.periodBinShare - share) < 1e-9,
                 qPrintable(QString::number(summary.periodBinShare)));
    }

    // The kept intervals give exact figures only when they are all of the
    // counted ones; otherwise the histogram speaks.
    void exactFromTheKeptIntervals()
    {
        const DeviationSummary exact =
            DeviationSummary::of(fakeRun, 2, kept.data(), quint64(kept.size()));
        QCOMPARE(exact.source, DeviationSummary::KeptIntervals);
        QCOMPARE(exact.count, quint64(1000));
        compareUs(exact.p50, 0, "p50");
        compareUs(exact.p90, 10, "p90");
        compareUs(exact.p99, 30, "p99");
        compareUs(exact.p999, 400, "p99.9");
        compareUs(exact.max, 800, "max");
        QVERIFY(std::fabs(exact.periodBinShare - 99.0) < 1e-9);
        QCOMPARE(exact.text(),
                 QString("Deviation |interval - period| from 2 ms (exact, 1000 kept intervals):\n"
                         "  p50 0.0 us, p90 10.0 us, p99 30.0 us, p99.9 400.0 us, max 800.0 us\n"
                         "  99.0000 % in the period's bin\n"));

        const DeviationSummary partial = DeviationSummary::of(fakeRun, 2, kept.data(), 999);
        QCOMPARE(partial.source, DeviationSummary::Histogram);
        compareUs(partial.p99, 50, "p99");
        compareUs(partial.p999, 450, "p99.9");
        compareUs(partial.max, 850, "max");
        QVERIFY(partial.text().contains("at most, from the histogram's 0.1 ms bins, 1000 "));

        const DeviationSummary none = DeviationSummary::of(RunStatistics(), 2, nullptr, 0);
        QCOMPARE(none.source, DeviationSummary::NoIntervals);
        QCOMPARE(none.toJson()["p99"].type(), QJsonValue::Null);
        QCOMPARE(none.text(),
                 QString("Deviation |interval - period| from 2 ms: no interval was "
                         "counted\n"));
        QCOMPARE(DeviationSummary::of(RunStatistics(), 0).text(),
                 QString("Intervals between arriving datagrams: no interval was counted\n"));
    }

    // On the fake run's exact figures, as vantrel-cli judges: a limit
    // equal to the figure holds, the next step past it is crossed, and
    // each crossing is one line naming the option and the figure.
    void thresholdsOnTheFakeRun_data()
    {
        QTest::addColumn<bool>("exact");
        QTest::addColumn<int>("kind");
        QTest::addColumn<double>("limit");
        QTest::addColumn<QString>("line");
        const int above = Threshold::MaxDeviation;
        const int p99 = Threshold::P99Deviation;
        const int share = Threshold::PeriodBinShare;
        const QString crossed = "vantrel-cli: threshold crossed: ";
        const QString met = "vantrel-cli: thresholds met (exact, 1000 intervals): ";
        const QString metOnBins = "vantrel-cli: thresholds met (at most, from the histogram's "
                                  "0.1 ms bins, 1000 intervals): ";
        QTest::newRow("max at the limit")
            << true << above << 800e-6 << met + "--fail-above 800us (max 800.0 us)";
        QTest::newRow("max above") << true << above << 799e-6
                                   << crossed +
                "--fail-above 799us: the longest of |interval - period| was 800.0 us "
                "(exact, 1000 intervals)";
        QTest::newRow("p99 at the limit")
            << true << p99 << 30e-6 << met + "--fail-p99 30us (p99 30.0 us)";
        QTest::newRow("p99 above") << true << p99 << 29.9e-6
                                   << crossed +
                "--fail-p99 29.9us: the 99th percentile of |interval - period| was "
                "30.0 us (exact, 1000 intervals)";
        QTest::newRow("share at the limit")
            << true << share << 99.0 << met + "--fail-share 99 (99.0000 %)";
        QTest::newRow("share below")
            << true << share << 99.5
            << crossed + "--fail-share 99.5: 99.0000 % of the intervals were in the period's bin";
        QTest::newRow("p99 on the histogram") << false << p99 << 40e-6
                                              << crossed +
                "--fail-p99 40us: the 99th percentile of |interval - period| was "
                "50.0 us (at most, from the histogram's 0.1 ms bins, 1000 intervals)";
        QTest::newRow("p99 on the histogram at its bin")
            << false << p99 << 50e-6 << metOnBins + "--fail-p99 50us (p99 50.0 us)";
    }
    void thresholdsOnTheFakeRun()
    {
        QFETCH(bool, exact);
        QFETCH(int, kind);
        QFETCH(double, limit);
        QFETCH(QString, line);
        RunRecord record;
        record.deviation = DeviationSummary::of(fakeRun, 2, exact ? kept.data() : nullptr,
                                                exact ? quint64(kept.size()) : 0);
        record.thresholds << Threshold{Threshold::Kind(kind), limit};
        QString said;
        QTextStream err(&said);
        const bool held = HeadlessRun::judge(record, err);
        err.flush();
        QCOMPARE(said, line + "\n");
        QCOMPARE(held, line.contains("thresholds met"));

        const QJsonObject judged =
            record.toJson()["deviation"].toObject()["thresholds"].toArray().first().toObject();
        QCOMPARE(judged["crossed"].toBool(), !held);
        QCOMPARE(judged["limit"].toDouble(), limit);
    }

    // Nothing counted shows nothing: every limit is crossed, saying so.
    void nothingCountedCrossesEveryLimit()
    {
        RunRecord record;
        record.deviation = DeviationSummary::of(RunStatistics(), 2);
        record.thresholds << Threshold{Threshold::MaxDeviation, 1.0}
                          << Threshold{Threshold::PeriodBinShare, 0.0};
        QString said;
        QTextStream err(&said);
        QVERIFY(!HeadlessRun::judge(record, err));
        err.flush();
        QCOMPARE(said,
                 QString("vantrel-cli: threshold crossed: --fail-above 1s: no interval "
                         "was counted\n"
                         "vantrel-cli: threshold crossed: --fail-share 0: no interval was "
                         "counted\n"));
    }
};

QTEST_GUILESS_MAIN(TestDeviation)
#include "tst_deviation.moc"
