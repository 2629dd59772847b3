// SPDX-License-Identifier: MIT
#include "statsreport.h"

#include "rtthread.h"

#include <QIODevice>
#include <QTextStream>

#include <cmath>

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
        .arg(RtThread::UdpPort);
}
