// SPDX-License-Identifier: MIT
#include "deviation.h"

#include <QJsonArray>
#include <QJsonValue>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <utility>
#include <vector>

namespace {

const double HalfBin = 0.00005; // seconds: bins are 0.1 ms wide, centred on their label

// Nearest rank: the smallest value that at least q of the sorted values do
// not exceed.
quint64 rank(double q, quint64 count)
{
    const double wanted = std::ceil(q * double(count) - 1e-9);
    return quint64(std::clamp(wanted, 1.0, double(count))) - 1;
}

// The most a bin's intervals can lie from the period, in half-bins
// (0.05 ms), counted in whole numbers so that an edge compares exactly. A
// bin i below the overflow holds [(i - 0.5), (i + 0.5)) x 0.1 ms, bin 0
// from 0.
qint64 farthestHalfBins(int bin, int periodMs)
{
    const qint64 period = 20 * qint64(periodMs);
    const qint64 low = bin == 0 ? 0 : 2 * qint64(bin) - 1;
    const qint64 high = 2 * qint64(bin) + 1;
    return std::max(std::llabs(low - period), std::llabs(high - period));
}

// The quantiles of the figures, p50 to max, and the figures themselves.
const double Quantiles[] = {0.5, 0.9, 0.99, 0.999, 1.0};

std::array<double *, 5> figuresOf(DeviationSummary &summary)
{
    return {&summary.p50, &summary.p90, &summary.p99, &summary.p999, &summary.max};
}

// Exact: each figure the deviation of its rank among the kept intervals.
void figuresFromKept(DeviationSummary &summary, const double *kept, quint64 keptCount)
{
    std::vector<double> exact;
    exact.reserve(keptCount);
    for (quint64 i = 0; i < keptCount; ++i)
        exact.push_back(std::fabs(kept[i] - summary.periodSeconds));
    summary.source = DeviationSummary::KeptIntervals;
    summary.count = keptCount;
    const std::array<double *, 5> figures = figuresOf(summary);
    // Each nth_element leaves the values above its rank to its right, so the
    // next, higher rank need only look there.
    auto from = exact.begin();
    for (int i = 0; i < 5; ++i) {
        const auto at = exact.begin() + std::ptrdiff_t(rank(Quantiles[i], keptCount));
        std::nth_element(from, at, exact.end());
        *figures[size_t(i)] = *at;
        from = at;
    }
}

// At most: the bins by how far they can lie from the period, each figure the
// farthest its rank's bin allows. The overflow bin reaches from its lower
// edge to the longest interval it counted.
void figuresFromHistogram(DeviationSummary &summary, const RunStatistics &statistics, int periodMs)
{
    const quint64 counted = statistics.counted();
    summary.source = DeviationSummary::Histogram;
    summary.count = counted;
    std::vector<std::pair<double, quint64>> spans; // (farthest deviation, count)
    for (int i = 0; i < RunStatistics::Bins; ++i) {
        const quint64 count = statistics.bins[size_t(i)];
        if (count == 0)
            continue;
        double farthest = double(farthestHalfBins(i, periodMs)) * HalfBin;
        if (i == RunStatistics::OverflowBin)
            farthest = std::max(std::fabs((i - 0.5) * 0.0001 - summary.periodSeconds),
                                std::fabs(statistics.maxInterval - summary.periodSeconds));
        spans.emplace_back(farthest, count);
    }
    std::sort(spans.begin(), spans.end());
    const std::array<double *, 5> figures = figuresOf(summary);
    quint64 below = 0; // intervals in the spans before the current one
    size_t span = 0;
    for (int i = 0; i < 5; ++i) {
        const quint64 wanted = rank(Quantiles[i], counted);
        while (below + spans[span].second <= wanted) {
            below += spans[span].second;
            ++span;
        }
        *figures[size_t(i)] = spans[span].first;
    }
}

} // namespace

int DeviationSummary::periodBin(int periodMs)
{
    const int bin = 10 * periodMs;
    return periodMs > 0 && bin < RunStatistics::OverflowBin ? bin : -1;
}

DeviationSummary DeviationSummary::of(const RunStatistics &statistics, int periodMs,
                                      const double *kept, quint64 keptCount)
{
    DeviationSummary summary;
    summary.periodSeconds = periodMs * 0.001;
    const quint64 counted = statistics.counted();
    if (counted == 0)
        return summary;
    const int bin = periodBin(periodMs);
    if (bin >= 0)
        summary.periodBinShare = double(statistics.bins[size_t(bin)]) * 100.0 / double(counted);
    if (kept && keptCount == counted)
        figuresFromKept(summary, kept, keptCount);
    else
        figuresFromHistogram(summary, statistics, periodMs);
    return summary;
}

QString DeviationSummary::sourceName() const
{
    switch (source) {
    case KeptIntervals:
        return QStringLiteral("kept intervals");
    case Histogram:
        return QStringLiteral("histogram");
    case NoIntervals:
        break;
    }
    return QStringLiteral("none");
}

QString DeviationSummary::text() const
{
    // At period 0 arriving datagrams are the clock: there is no period to
    // stray from, and the figures are the intervals between arrivals.
    const QString from = periodSeconds > 0
        ? QString("Deviation |interval - period| from %1 ms")
              .arg(QString::number(periodSeconds * 1000.0, 'g', 6))
        : QString("Intervals between arriving datagrams");
    if (source == NoIntervals)
        return from + ": no interval was counted\n";
    const QString how = source == KeptIntervals
        ? QString("exact, %1 kept intervals").arg(count)
        : QString("at most, from the histogram's 0.1 ms bins, %1 intervals").arg(count);
    const auto us = [](double seconds) { return QString::number(seconds * 1e6, 'f', 1) + " us"; };
    QString text = from + " (" + how + "):\n";
    text += "  p50 " + us(p50) + ", p90 " + us(p90) + ", p99 " + us(p99) + ", p99.9 " + us(p999) +
        ", max " + us(max) + "\n";
    if (periodBinShare >= 0)
        text += "  " + QString::number(periodBinShare, 'f', 4) + " % in the period's bin\n";
    return text;
}

QJsonObject DeviationSummary::toJson(const QList<Threshold> &thresholds) const
{
    QJsonArray judged;
    for (const Threshold &threshold : thresholds)
        judged.append(threshold.toJson(*this));
    const auto figure = [this](double seconds) {
        return source == NoIntervals ? QJsonValue() : QJsonValue(seconds);
    };
    return QJsonObject{
        {"of", "|interval - period|"},
        {"periodSeconds", periodSeconds},
        {"source", sourceName()},
        {"intervals", qint64(count)},
        {"p50", figure(p50)},
        {"p90", figure(p90)},
        {"p99", figure(p99)},
        {"p99_9", figure(p999)},
        {"max", figure(max)},
        {"periodBinShare", periodBinShare >= 0 ? QJsonValue(periodBinShare) : QJsonValue()},
        {"thresholds", judged},
    };
}

double Threshold::figure(const DeviationSummary &deviation) const
{
    const double none = std::numeric_limits<double>::quiet_NaN();
    if (deviation.source == DeviationSummary::NoIntervals)
        return none;
    switch (kind) {
    case MaxDeviation:
        return deviation.max;
    case P99Deviation:
        return deviation.p99;
    case PeriodBinShare:
        return deviation.periodBinShare >= 0 ? deviation.periodBinShare : none;
    }
    return none;
}

bool Threshold::crossedBy(const DeviationSummary &deviation) const
{
    const double value = figure(deviation);
    if (std::isnan(value))
        return true;
    // A picosecond (or a billionth of a percent) of slack: a limit of 50 us
    // is not crossed by a bin edge that sums to 50.000000000000004 us.
    if (kind == PeriodBinShare)
        return limit - value > 1e-9;
    return value - limit > 1e-12;
}

QString Threshold::figureName() const
{
    switch (kind) {
    case MaxDeviation:
        return QStringLiteral("max");
    case P99Deviation:
        return QStringLiteral("p99");
    case PeriodBinShare:
        return QStringLiteral("periodBinShare");
    }
    return QString();
}

QJsonObject Threshold::toJson(const DeviationSummary &deviation) const
{
    const double value = figure(deviation);
    return QJsonObject{
        {"figure", figureName()},
        {"limit", limit},
        {"value", std::isnan(value) ? QJsonValue() : QJsonValue(value)},
        {"crossed", crossedBy(deviation)},
    };
}
