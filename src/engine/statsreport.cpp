// SPDX-License-Identifier: MIT
#include "statsreport.h"

#include "deviation.h"
#include "runsettings.h"

#include <QIODevice>
#include <QStringList>
#include <QTextStream>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

void setUp(QTextStream &out)
{
    out.setFieldWidth(10);
    out.setRealNumberPrecision(4);
    out.setRealNumberNotation(QTextStream::FixedNotation);
}

// Qt::endl is padded like any other element: nine spaces, then the newline.
void writeHeader(QTextStream &out)
{
    out << "Seconds"
        << "Count"
        << "%" << Qt::endl;
}

void writeRow(QTextStream &out, int bin, double label, quint64 count, quint64 total)
{
    const double percent = double(count) * 100.0 / double(total ? total : 1);
    out << label << count << percent;
    if (bin == RunStatistics::OverflowBin)
        out << " max";
    out << Qt::endl;
}

// The kernel's arrival intervals: how many, their mean and the shares of
// the fullest bins, at most four, most first. Empty when there are none.
QString arrivalLine(const ReceiveTiming &timing)
{
    const quint64 arrivals = timing.arrivals();
    if (!arrivals)
        return QString();
    std::vector<int> order;
    for (int i = 0; i < ReceiveTiming::ArrivalBins; ++i) {
        if (timing.arrival[size_t(i)])
            order.push_back(i);
    }
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
        return timing.arrival[size_t(a)] > timing.arrival[size_t(b)];
    });
    order.resize(std::min<size_t>(order.size(), 4));
    QStringList shares;
    for (const int bin : order) {
        const QString label = bin == ReceiveTiming::ArrivalOverflowBin
            ? QStringLiteral("over 29.9 ms")
            : QString::number(bin / 10.0, 'f', 1) + QStringLiteral(" ms");
        shares << QStringLiteral("%1 %2 %").arg(label).arg(
            100.0 * double(timing.arrival[size_t(bin)]) / double(arrivals), 0, 'f', 1);
    }
    return QStringLiteral("Arrival intervals (kernel): %1, mean %2 ms; %3\n")
        .arg(arrivals)
        .arg(timing.arrivalSum * 1000.0 / double(arrivals), 0, 'f', 4)
        .arg(shares.join(", "));
}

// A lateness bin as the report names it: its floor in us, or past the last.
QString latenessText(int bin)
{
    return bin == ReceiveTiming::LatenessOverflowBin ? QStringLiteral("over 1 ms")
                                                     : QStringLiteral("%1 us").arg(bin);
}

// The first lateness bin by which this share of the wake-ups is reached.
int latenessPercentile(const ReceiveTiming &timing, quint64 wakeUps, double share)
{
    quint64 seen = 0;
    for (int i = 0; i < ReceiveTiming::LatenessBins; ++i) {
        seen += timing.lateness[size_t(i)];
        if (double(seen) >= share * double(wakeUps))
            return i;
    }
    return ReceiveTiming::LatenessOverflowBin;
}

// The largest lateness: the highest bin's floor, or exact past the last.
QString latenessMax(const ReceiveTiming &timing)
{
    int last = ReceiveTiming::LatenessOverflowBin;
    while (last > 0 && timing.lateness[size_t(last)] == 0)
        --last;
    return last == ReceiveTiming::LatenessOverflowBin
        ? QStringLiteral("%1 us").arg(timing.maxLateness * 1e6, 0, 'f', 0)
        : latenessText(last);
}

// The receiver's lateness at its wake-ups. Empty when no wake-up was
// stamped. The clocks' offset is for the JSON: a reader has no use for it.
QString latenessLines(const ReceiveTiming &timing)
{
    const quint64 wakeUps = timing.wakeUps();
    if (!wakeUps)
        return QString();
    const QString p50 = latenessText(latenessPercentile(timing, wakeUps, 0.5));
    const QString p99 = latenessText(latenessPercentile(timing, wakeUps, 0.99));
    return QStringLiteral("Receiver lateness (wake-up after the first datagram's stamp): "
                          "%1 wake-ups, p50 %2, p99 %3, max %4\n")
        .arg(wakeUps)
        .arg(p50, p99, latenessMax(timing));
}

} // namespace

QString StatsReport::meanInterval(double seconds)
{
    QString text;
    QTextStream out(&text, QIODevice::ReadWrite);
    setUp(out);
    out << seconds;
    return text;
}

QString StatsReport::header()
{
    QString text;
    QTextStream out(&text, QIODevice::ReadWrite);
    setUp(out);
    writeHeader(out);
    return text;
}

QString StatsReport::row(int bin, double label, quint64 count, quint64 total)
{
    QString text;
    QTextStream out(&text, QIODevice::ReadWrite);
    setUp(out);
    writeRow(out, bin, label, count, total);
    return text;
}

QString StatsReport::histogramTable(const RunStatistics &statistics)
{
    QString text;
    // A full table: 301 lines of at most 50 characters.
    text.reserve(301 * 50);
    QTextStream out(&text, QIODevice::ReadWrite);
    setUp(out);
    writeHeader(out);
    const quint64 total = statistics.counted();
    for (int i = 0; i < RunStatistics::Bins; ++i) {
        const quint64 count = statistics.bins[size_t(i)];
        if (count != 0)
            writeRow(out, i, statistics.label(i), count, total);
    }
    return text;
}

QString StatsReport::runReport(double elapsedSeconds, const RunStatistics &statistics)
{
    return QString("After %1 s, %2 ticks\nActual Rate%3\n")
               .arg(QString::number(elapsedSeconds, 'f', 1))
               .arg(statistics.tickCount)
               .arg(meanInterval(statistics.meanInterval)) +
        histogramTable(statistics);
}

QString StatsReport::finalReport(double elapsedSeconds, const RunStatistics &statistics,
                                 const DeviationSummary &deviation,
                                 const LatenessStatistics *lateness)
{
    return runReport(elapsedSeconds, statistics) + deviation.text() + '\n' +
        receiveTimingSummary(statistics.receive) +
        (lateness ? latenessSection(*lateness) : QString());
}

QString StatsReport::latenessMicros(double seconds)
{
    if (seconds >= LatenessStatistics::LateBins * 1e-6)
        return QStringLiteral("10 ms or more");
    const double us = seconds * 1e6;
    const bool whole = std::abs(us - std::round(us)) < 1e-6;
    return QString::number(us, 'f', whole ? 0 : 1) + QStringLiteral(" us");
}

QString StatsReport::latenessSection(const LatenessStatistics &lateness)
{
    if (lateness.deadlines == LatenessStatistics::NoDeadlines)
        return QString();
    const QString from = lateness.deadlines == LatenessStatistics::GridDeadlines
        ? QStringLiteral("the timer's grid")
        : QStringLiteral("the previous tick plus the period");
    QString text = QStringLiteral("Lateness after the deadline (%1; 1 us bins): %2 wake-ups\n")
                       .arg(from)
                       .arg(lateness.wakeUps);
    const auto exact = [](double seconds) {
        return QString::number(seconds * 1e6, 'f', 1) + QStringLiteral(" us");
    };
    if (lateness.wakeUps)
        text += QStringLiteral("  min %1, mean %2, max %3\n"
                               "  p50 %4, p90 %5, p99 %6, p99.9 %7\n")
                    .arg(exact(lateness.minLateness), exact(lateness.meanLateness()),
                         exact(lateness.maxLateness), latenessMicros(lateness.percentile(500)),
                         latenessMicros(lateness.percentile(900)),
                         latenessMicros(lateness.percentile(990)),
                         latenessMicros(lateness.percentile(999)));
    return text +
        QStringLiteral("  overruns %1 (deadlines passed without a tick)\n").arg(lateness.overruns);
}

QString StatsReport::latenessLine(const LatenessStatistics &lateness)
{
    if (lateness.deadlines == LatenessStatistics::NoDeadlines)
        return QString();
    if (!lateness.wakeUps)
        return QStringLiteral("Lateness: no wake-up yet, overruns %1\n").arg(lateness.overruns);
    return QStringLiteral("Lateness: p50 %1, p99 %2, max %3 us, overruns %4\n")
        .arg(latenessMicros(lateness.percentile(500)), latenessMicros(lateness.percentile(990)),
             QString::number(lateness.maxLateness * 1e6, 'f', 1))
        .arg(lateness.overruns);
}

QString StatsReport::receiveTimingSummary(const ReceiveTiming &timing)
{
    const quint64 datagrams = timing.stampedDatagrams + timing.unstampedDatagrams;
    if (datagrams == 0)
        return QString();
    if (timing.stampedDatagrams == 0) {
        const QString why = timing.stamps == ReceiveTiming::StampsRefused
            ? QStringLiteral("the kernel refused to stamp them, or this OS offers no stamps")
            : QStringLiteral("the kernel stamped none of them");
        return QStringLiteral("Kernel receive stamps: none on %1 datagrams (%2); no arrival "
                              "intervals or receiver lateness\n")
            .arg(datagrams)
            .arg(why);
    }

    QString text =
        QStringLiteral("Kernel receive stamps: %1 datagrams stamped").arg(timing.stampedDatagrams);
    if (timing.unstampedDatagrams)
        text += QStringLiteral(", %1 without a stamp and left out").arg(timing.unstampedDatagrams);
    text += '\n';
    return text + arrivalLine(timing) + latenessLines(timing);
}

QString StatsReport::floodMessage(const RunStatistics &statistics)
{
    if (!statistics.flooded())
        return {};
    // Three figures: the rate of one second, not a count.
    const double step =
        std::pow(10.0, std::max(0.0, std::floor(std::log10(statistics.floodRate)) - 2));
    QString text = QStringLiteral("The run was flooded at about %1 datagrams a second")
                       .arg(qint64(std::llround(statistics.floodRate / step) * std::llround(step)));
    if (statistics.datagramsDropped >= 0)
        text += QStringLiteral("; the system dropped %1 of them").arg(statistics.datagramsDropped);
    return text + QLatin1Char('.');
}

QString StatsReport::portTakenMessage()
{
    return QStringLiteral("Nothing was measured: UDP port %1 is held by another program, "
                          "perhaps another copy of Vantrel, so the run could not start.")
        .arg(RunSettings::UdpPort);
}
