// SPDX-License-Identifier: MIT
// The report's text from known statistics, byte for byte: · stands for a
// space in the expected lines below.
#include "statsreport.h"

#include "deviation.h"

#include <QTest>

namespace {

QString dots(const char *line)
{
    return QString::fromUtf8(line).replace(QChar(0xB7), QChar(' '));
}

RunStatistics withBins(std::initializer_list<std::pair<int, quint64>> bins,
                       double maxInterval = 0.0)
{
    RunStatistics statistics;
    for (const auto &[index, count] : bins)
        statistics.bins[size_t(index)] = count;
    statistics.maxInterval = maxInterval;
    return statistics;
}

using LateBins = QList<QPair<int, quint64>>; // us late, count

} // namespace

class TestStatsReport : public QObject
{
    Q_OBJECT

private slots:
    // A 1 ms run: bins 9, 10 and 11 hold 2, 95 and 2 intervals, bin 299 one
    // of 52.1 ms.
    void workedExample()
    {
        const RunStatistics statistics = withBins({{9, 2}, {10, 95}, {11, 2}, {299, 1}}, 0.0521);

        QCOMPARE(StatsReport::histogramTable(statistics),
                 dots("···Seconds·····Count·········%·········\n"
                      "····0.0009·········2····2.0000·········\n"
                      "····0.0010········95···95.0000·········\n"
                      "····0.0011·········2····2.0000·········\n"
                      "····0.0521·········1····1.0000·······max·········\n"));
        QCOMPARE(StatsReport::meanInterval(0.0010012), dots("····0.0010"));
    }

    // What a row at a time would insert adds up to the whole table.
    void tableIsTheHeaderAndItsRows()
    {
        const RunStatistics statistics = withBins({{0, 1}, {1, 2}, {298, 3}, {299, 4}}, 0.25);
        const QString rows = StatsReport::row(0, 0.0, 1, 10) + StatsReport::row(1, 0.0001, 2, 10) +
            StatsReport::row(298, 298 * 0.0001, 3, 10) + StatsReport::row(299, 0.25, 4, 10);
        QCOMPARE(StatsReport::histogramTable(statistics), StatsReport::header() + rows);
        QCOMPARE(rows,
                 dots("····0.0000·········1···10.0000·········\n"
                      "····0.0001·········2···20.0000·········\n"
                      "····0.0298·········3···30.0000·········\n"
                      "····0.2500·········4···40.0000·······max·········\n"));
    }

    void emptyHistogramIsTheHeaderAlone()
    {
        QCOMPARE(StatsReport::histogramTable(RunStatistics()), StatsReport::header());
        QCOMPARE(StatsReport::header(), dots("···Seconds·····Count·········%·········\n"));
        QCOMPARE(StatsReport::meanInterval(0.0), dots("····0.0000"));
    }

    // Bin 299 is labelled with the longest overflow, whatever it is: 0.0000
    // before any, and less than 0.0299 when only intervals just under the
    // overflow were counted there.
    void overflowRowLabel_data()
    {
        QTest::addColumn<double>("maxInterval");
        QTest::addColumn<QString>("row");
        QTest::newRow("none yet") << 0.0
                                  << dots("····0.0000·········1··100.0000·······max·········\n");
        QTest::newRow("under its bin")
            << 0.0123 << dots("····0.0123·········1··100.0000·······max·········\n");
        QTest::newRow("long") << 1234.56789
                              << dots(" 1234.5679·········1··100.0000·······max·········\n");
    }
    void overflowRowLabel()
    {
        QFETCH(double, maxInterval);
        QFETCH(QString, row);
        QCOMPARE(StatsReport::histogramTable(withBins({{299, 1}}, maxInterval)),
                 StatsReport::header() + row);
    }

    void percentages()
    {
        QCOMPARE(StatsReport::histogramTable(withBins({{5, 1}, {6, 2}})).split('\n').at(1),
                 dots("····0.0005·········1···33.3333·········"));

        // Counts of 2^63 and more stay positive in the division.
        const quint64 huge = quint64(1) << 63;
        QCOMPARE(StatsReport::row(7, 0.0007, huge, huge),
                 dots("····0.00079223372036854775808··100.0000·········\n"));
    }

    // A value wider than its field is written whole and pushes the line on.
    void wideValuesAreNotCut()
    {
        QCOMPARE(StatsReport::row(3, 0.0003, 12345678901ULL, 12345678901ULL),
                 dots("····0.000312345678901··100.0000·········\n"));
        QCOMPARE(StatsReport::meanInterval(123456.0), dots("123456.0000"));
    }

    // The lateness section from known bins: percentiles at their bins'
    // floors, the first bin's at the exact minimum, the overflow's as "10 ms
    // or more"; nothing for a clock without deadlines. The final report ends
    // in it, and a printed report has its line.
    void latenessSection_data()
    {
        QTest::addColumn<int>("deadlines");
        QTest::addColumn<LateBins>("bins");
        QTest::addColumn<QString>("section");
        QTest::addColumn<QString>("line");
        const int grid = LatenessStatistics::GridDeadlines;
        const int overflow = LatenessStatistics::OverflowBin - LatenessStatistics::ZeroBin;
        QTest::newRow("grid")
            << grid << LateBins{{-3, 1}, {4, 499}, {7, 400}, {23, 90}, {812, 9}, {overflow, 1}}
            << QString("Lateness after the deadline (the timer's grid; 1 us bins): 1000 wake-ups\n"
                       "  min -2.5 us, mean 25.0 us, max 12300.0 us\n"
                       "  p50 4 us, p90 7 us, p99 23 us, p99.9 812 us\n"
                       "  overruns 3 (deadlines passed without a tick)\n")
            << QString("Lateness: p50 4 us, p99 23 us, max 12300.0 us, overruns 3\n");
        QTest::newRow("early past the first bin, late past the last")
            << int(LatenessStatistics::TickDeadlines) << LateBins{{-1000, 5}, {5, 3}, {overflow, 2}}
            << QString("Lateness after the deadline (the previous tick plus the period; 1 us "
                       "bins): 10 wake-ups\n"
                       "  min -2.5 us, mean 25.0 us, max 12300.0 us\n"
                       "  p50 -2.5 us, p90 10 ms or more, p99 10 ms or more, p99.9 10 ms or more\n"
                       "  overruns 3 (deadlines passed without a tick)\n")
            << QString("Lateness: p50 -2.5 us, p99 10 ms or more, max 12300.0 us, overruns 3\n");
        QTest::newRow("no wake-up yet")
            << grid << LateBins{}
            << QString("Lateness after the deadline (the timer's grid; 1 us bins): 0 wake-ups\n"
                       "  overruns 3 (deadlines passed without a tick)\n")
            << QString("Lateness: no wake-up yet, overruns 3\n");
        QTest::newRow("no deadlines")
            << int(LatenessStatistics::NoDeadlines) << LateBins{{4, 1}} << QString() << QString();
    }
    void latenessSection()
    {
        QFETCH(int, deadlines);
        QFETCH(LateBins, bins);
        QFETCH(QString, section);
        QFETCH(QString, line);
        LatenessStatistics lateness;
        lateness.deadlines = deadlines;
        for (const auto &[us, count] : bins) {
            lateness.bins[size_t(LatenessStatistics::ZeroBin + us)] = count;
            lateness.wakeUps += count;
        }
        lateness.overruns = 3;
        lateness.minLateness = -2.5e-6;
        lateness.maxLateness = 0.0123;
        lateness.sumLateness = double(lateness.wakeUps) * 25e-6;
        QCOMPARE(StatsReport::latenessSection(lateness), section);
        QCOMPARE(StatsReport::latenessLine(lateness), line);
        const RunStatistics statistics = withBins({{10, 95}});
        const QString report = StatsReport::finalReport(1.0, statistics, DeviationSummary());
        QCOMPARE(StatsReport::finalReport(1.0, statistics, DeviationSummary(), &lateness),
                 report + section);
    }

    void portTakenMessageNamesThePort()
    {
        const QString message = StatsReport::portTakenMessage();
        QVERIFY(message.contains("1667"));
        QVERIFY(message.contains("another program"));
        QCOMPARE(message.count('.'), 1); // one sentence
    }
};

QTEST_GUILESS_MAIN(TestStatsReport)
#include "tst_statsreport.moc"
