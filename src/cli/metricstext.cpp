// SPDX-License-Identifier: MIT
#include "metricstext.h"

#include "vantrelversion.h"

#include <QHash>
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

// A metric's HELP and TYPE lines.
void describe(QTextStream &out, const char *name, const char *type, const char *help)
{
    out << "# HELP " << name << ' ' << help << '\n' << "# TYPE " << name << ' ' << type << '\n';
}

// A metric of one series: its HELP and TYPE lines, and its value.
template <typename Value>
void writeMetric(QTextStream &out, const char *name, const char *type, const char *help,
                 const QString &labels, const Value &value)
{
    describe(out, name, type, help);
    out << name << '{' << labels << "} " << value << '\n';
}

// The intervals as a histogram: the count at or below each edge, then all,
// their sum and their count.
void writeHistogram(QTextStream &out, const QString &labels, const QList<int> &edges,
                    const RunStatistics &now)
{
    const quint64 counted = now.counted();
    describe(out, "vantrel_interval_seconds", "histogram",
             "Intervals between ticks, counted as the report's table counts them (0.1 ms bins, "
             "gathered at these edges).");
    quint64 below = 0;
    double sum = 0;
    int bin = 0;
    for (const int edge : edges) {
        for (; bin <= edge; ++bin)
            below += now.bins[size_t(bin)];
        out << "vantrel_interval_seconds_bucket{" << labels << ",le=\""
            << QString::number(MetricsText::edgeSeconds(edge), 'f', 5) << "\"} " << below << '\n';
    }
    for (int i = 0; i < RunStatistics::Bins; ++i)
        sum += double(now.bins[size_t(i)]) * now.label(i);
    out << "vantrel_interval_seconds_bucket{" << labels << ",le=\"+Inf\"} " << counted << '\n'
        << "vantrel_interval_seconds_sum{" << labels << "} " << number(sum) << '\n'
        << "vantrel_interval_seconds_count{" << labels << "} " << counted << '\n';
}

// The lateness as a histogram in seconds. A bin of 1 us goes below every
// edge above its floor: exact to the bin. Early wake-ups fall in the first.
void writeLateness(QTextStream &out, const QString &labels, const LatenessStatistics &lateness)
{
    describe(out, "vantrel_lateness_seconds", "histogram",
             "Timer wake-ups after their deadline, from 1 us bins: a bucket counts those less "
             "than its edge; early ones are in every bucket.");
    quint64 below = 0;
    int bin = 0;
    for (const int edge : MetricsText::latenessEdgesMicros()) {
        for (; bin < LatenessStatistics::ZeroBin + edge; ++bin)
            below += lateness.bins[size_t(bin)];
        // Written out, "0.0001" rather than "1e-04": as a tuner reads them.
        QString le = QString::number(edge / 1e6, 'f', 6);
        while (le.endsWith('0'))
            le.chop(1);
        out << "vantrel_lateness_seconds_bucket{" << labels << ",le=\"" << le << "\"} " << below
            << '\n';
    }
    out << "vantrel_lateness_seconds_bucket{" << labels << ",le=\"+Inf\"} " << lateness.wakeUps
        << '\n'
        << "vantrel_lateness_seconds_sum{" << labels << "} " << number(lateness.sumLateness) << '\n'
        << "vantrel_lateness_seconds_count{" << labels << "} " << lateness.wakeUps << '\n';
    writeMetric(out, "vantrel_overruns_total", "counter",
                "Timer deadlines that passed without a tick of their own.", labels,
                lateness.overruns);
}

// The info metric's labels beyond the clock mode and the period: the rest of
// the configuration, the scheduling granted, the program's version. The CPU
// asked for is left to the series' own cpu label when it has one: a label
// name twice is refused by a scraper.
QString infoLabels(const RunSettings &settings, const platform::ThreadScheduling &granted,
                   bool cpuLabelled)
{
    QString text;
    QTextStream out(&text);
    out << ",clock_mode_number=\"" << int(settings.clockMode) << "\",process_level=\""
        << escaped(settings.processClassName()) << "\",thread_level=\""
        << escaped(settings.threadLevelName()) << "\",send=\"" << (settings.send ? "true" : "false")
        << "\",target=\"" << escaped(settings.target) << "\",policy=\""
        << escaped(QString::fromStdString(granted.policy)) << "\",priority=\"" << granted.priority
        << "\",nice=\"" << granted.nice << '"';
    if (!cpuLabelled)
        out << ",cpu=\"" << (settings.cpu >= 0 ? QString::number(settings.cpu) : QString("any"))
            << '"';
    out << ",version=\"" << VantrelVersion << '"';
    out.flush();
    return text;
}

} // namespace

MetricsText::MetricsText(const RunSettings &settings, int cpu)
    : labels(QString("clock_mode=\"%1\",period_ms=\"%2\"")
                 .arg(escaped(settings.clockModeName()))
                 .arg(settings.periodMs) +
             (cpu >= 0 ? QString(",cpu=\"%1\"").arg(cpu) : QString()))
    , cpuLabelled(cpu >= 0)
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

double MetricsText::longestRecent(const RunTimeline &timeline, double seconds)
{
    double longest = 0.0;
    const double from = timeline.lastTick - seconds;
    // From the open slot back to the first that ends before the window.
    for (int i = timeline.used - 1; i >= 0 && timeline.slotEnd(i) > from; --i)
        longest = std::max(longest, timeline.slot[size_t(i)].maxInterval);
    return longest > 0.0 ? longest : std::numeric_limits<double>::quiet_NaN();
}

QByteArray MetricsText::render(const RunStatistics &now, const RunTimeline &timeline,
                               const platform::ThreadScheduling *granted,
                               const LatenessStatistics *lateness) const
{
    QString text;
    QTextStream out(&text);
    writeHistogram(out, labels, edges, now);
    writeMetric(out, "vantrel_ticks_total", "counter",
                "Ticks since the run started, counted in the histogram or not.", labels,
                now.tickCount);
    writeMetric(out, "vantrel_mean_interval_seconds", "gauge",
                "Mean interval over the latest complete window of 100 ticks (0 before the first).",
                labels, number(now.meanInterval));
    writeMetric(out, "vantrel_longest_interval_seconds", "gauge",
                "Longest interval counted in the last 10 s of the run up to its latest tick "
                "(the run's 1 s slots that cover them; slots grow past 512 s of run), the same "
                "for every scraper; NaN when none was counted.",
                labels, number(longestRecent(timeline)));
    if (lateness && lateness->deadlines != LatenessStatistics::NoDeadlines)
        writeLateness(out, labels, *lateness);
    if (granted)
        writeMetric(out, "vantrel_run_info", "gauge",
                    "The run's configuration and the scheduling its worker was granted.",
                    labels + infoLabels(settings, *granted, cpuLabelled), 1);
    out.flush();
    return text.toUtf8();
}

QByteArray MetricsText::renderSpikes(const SpikeReport &spikes) const
{
    QByteArray bytes;
    QTextStream out(&bytes);
    describe(out, "vantrel_spikes_total", "counter",
             "Timer ticks later than the spike threshold, by the cause the sampler judged.");
    for (int i = 0; i < SpikeCauseCount; ++i)
        out << "vantrel_spikes_total{" << labels << ",cause=\"" << spikeCauseKey(SpikeCause(i))
            << "\"} " << spikes.store.count(SpikeCause(i)) << '\n';
    out.flush();
    return bytes;
}

QByteArray MetricsText::merge(const QList<QByteArray> &expositions)
{
    // Each exposition is a run of families: a HELP line, a TYPE line, then
    // the family's samples.
    QList<QByteArray> order;
    QHash<QByteArray, QByteArray> heads;
    QHash<QByteArray, QByteArray> samples;
    for (const QByteArray &exposition : expositions) {
        QByteArray family;
        bool first = false; // the first exposition with this family: its HELP and TYPE
        for (const QByteArray &line : exposition.split('\n')) {
            if (line.isEmpty())
                continue;
            if (line.startsWith("# HELP ")) {
                family = line.mid(7, line.indexOf(' ', 7) - 7);
                first = !heads.contains(family);
                if (first)
                    order << family;
            }
            if (!line.startsWith('#'))
                samples[family] += line + '\n';
            else if (first)
                heads[family] += line + '\n';
        }
    }
    QByteArray merged;
    for (const QByteArray &family : order)
        merged += heads.value(family) + samples.value(family);
    return merged;
}
