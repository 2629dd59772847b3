// SPDX-License-Identifier: MIT
#include "metricstext.h"

#include "vantrelversion.h"

#include <QLocale>
#include <QTextStream>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// Label values escape backslash, double quote and line feed.
QString escaped(QString value)
{
    return value.replace('\\', "\\\\").replace('"', "\\\"").replace('\n', "\\n");
}

QString number(double value)
{
    if (std::isnan(value))
        return QStringLiteral("NaN");
    return QString::number(value, 'g', QLocale::FloatingPointShortest);
}

} // namespace

MetricsText::MetricsText(const RunSettings &settings)
    : labels(QString("clock_mode=\"%1\",period_ms=\"%2\"")
                 .arg(escaped(settings.clockModeName()))
                 .arg(settings.periodMs))
    , settings(settings)
    , edges(edgeBins(settings.periodMs))
{
}

QList<int> MetricsText::edgeBins(int periodMs)
{
    // Steps away from the period's bin p, in bins: the edges below p are
    // the upper edges of bins p-1-k, those above of bins p+k.
    static const int steps[] = {0, 1, 2, 4, 9, 19, 49, 99, 199};
    const int last = RunStatistics::OverflowBin - 1; // ends at 29.85 ms
    const int period = std::min(10 * std::max(periodMs, 0), RunStatistics::OverflowBin);
    QList<int> bins{last};
    for (const int step : steps) {
        if (period - 1 - step >= 0)
            bins << std::min(period - 1 - step, last);
        bins << std::min(period + step, last);
    }
    std::sort(bins.begin(), bins.end());
    bins.erase(std::unique(bins.begin(), bins.end()), bins.end());
    return bins;
}

QByteArray MetricsText::render(const RunStatistics &now, const platform::ThreadScheduling *granted)
{
    QString text;
    QTextStream out(&text);
    const quint64 counted = now.counted();

    out << "# HELP vantrel_interval_seconds Intervals between ticks, counted as the report's "
           "table counts them (0.1 ms bins, gathered at these edges).\n"
        << "# TYPE vantrel_interval_seconds histogram\n";
    quint64 below = 0;
    double sum = 0;
    int bin = 0;
    for (const int edge : edges) {
        for (; bin <= edge; ++bin)
            below += now.bins[size_t(bin)];
        out << "vantrel_interval_seconds_bucket{" << labels << ",le=\""
            << QString::number(edgeSeconds(edge), 'f', 5) << "\"} " << below << '\n';
    }
    for (int i = 0; i < RunStatistics::Bins; ++i)
        sum += double(now.bins[size_t(i)]) * now.label(i);
    out << "vantrel_interval_seconds_bucket{" << labels << ",le=\"+Inf\"} " << counted << '\n'
        << "vantrel_interval_seconds_sum{" << labels << "} " << number(sum) << '\n'
        << "vantrel_interval_seconds_count{" << labels << "} " << counted << '\n';

    out << "# HELP vantrel_ticks_total Ticks since the run started, counted in the histogram "
           "or not.\n"
        << "# TYPE vantrel_ticks_total counter\n"
        << "vantrel_ticks_total{" << labels << "} " << now.tickCount << '\n';

    out << "# HELP vantrel_mean_interval_seconds Mean interval over the latest complete "
           "window of 100 ticks (0 before the first).\n"
        << "# TYPE vantrel_mean_interval_seconds gauge\n"
        << "vantrel_mean_interval_seconds{" << labels << "} " << number(now.meanInterval) << '\n';

    // The highest bin that grew since the previous scrape holds the
    // longest new interval: at most its upper edge, or, in the overflow
    // bin, at most the longest the run has seen (exact when that is new).
    double longest = std::numeric_limits<double>::quiet_NaN();
    for (int i = RunStatistics::OverflowBin; i >= 0; --i) {
        if (now.bins[size_t(i)] > previous.bins[size_t(i)]) {
            longest = i == RunStatistics::OverflowBin ? now.maxInterval : edgeSeconds(i);
            break;
        }
    }
    previous = now;
    out << "# HELP vantrel_longest_interval_seconds Longest interval counted since the "
           "previous scrape, to the upper edge of its 0.1 ms bin (past 29.85 ms: the run's "
           "longest); NaN when none was counted.\n"
        << "# TYPE vantrel_longest_interval_seconds gauge\n"
        << "vantrel_longest_interval_seconds{" << labels << "} " << number(longest) << '\n';

    if (granted) {
        out << "# HELP vantrel_run_info The run's configuration and the scheduling its worker "
               "was granted.\n"
            << "# TYPE vantrel_run_info gauge\n"
            << "vantrel_run_info{" << labels << ",clock_mode_number=\"" << int(settings.clockMode)
            << "\",process_level=\"" << escaped(settings.processClassName()) << "\",thread_level=\""
            << escaped(settings.threadLevelName()) << "\",send=\""
            << (settings.send ? "true" : "false") << "\",target=\"" << escaped(settings.target)
            << "\",policy=\"" << escaped(QString::fromStdString(granted->policy))
            << "\",priority=\"" << granted->priority << "\",nice=\"" << granted->nice
            << "\",version=\"" << VantrelVersion << "\"} 1\n";
    }
    out.flush();
    return text.toUtf8();
}
