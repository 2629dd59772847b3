// SPDX-License-Identifier: MIT
// How far a run's intervals strayed from its period, |interval - period|, as
// percentiles: the figures a run is judged by (thresholds) and compared by.
// One computation for the report, the JSON and the thresholds alike.
#pragma once

#include "runstatistics.h"

#include <QJsonObject>
#include <QList>
#include <QString>

struct Threshold;

struct DeviationSummary
{
    enum Source {
        NoIntervals,  // nothing counted: no figure
        Histogram,    // from the 0.1 ms bins: each figure the most its bin allows
        KeptIntervals // exact: every counted interval was kept
    };

    Source source = NoIntervals;
    double periodSeconds = 0; // 0: datagrams were the clock; the figures are the intervals
    quint64 count = 0;        // intervals the figures are of
    // Seconds. pN: the smallest deviation that N % of the intervals do not
    // exceed (nearest rank).
    double p50 = 0;
    double p90 = 0;
    double p99 = 0;
    double p999 = 0;
    double max = 0;
    // Share of the counted intervals in the period's 0.1 ms bin, in %, from
    // the histogram (which counts every interval); -1 when the period has no
    // bin of its own (period 0, or 30 ms and more: the overflow bin).
    double periodBinShare = -1;

    // Exact from kept[0, keptCount) when that holds every counted interval
    // of the statistics, from the histogram otherwise.
    static DeviationSummary of(const RunStatistics &statistics, int periodMs,
                               const double *kept = nullptr, quint64 keptCount = 0);

    // The bin of a period, or -1 when it has none of its own.
    static int periodBin(int periodMs);

    QString sourceName() const; // "kept intervals", "histogram" or "none"
    // The report's lines after the table, each ending in a newline.
    QString text() const;
    // The figures, and each threshold with the figure it was judged on.
    QJsonObject toJson(const QList<Threshold> &thresholds = {}) const;
};

// A limit a run is judged by. Deviations cross it by going above, the
// period's share by going below; a run with no counted interval crosses
// every limit, since it shows nothing.
struct Threshold
{
    enum Kind { MaxDeviation, P99Deviation, PeriodBinShare };

    Kind kind = MaxDeviation;
    double limit = 0; // seconds; % for PeriodBinShare

    // The figure it is judged on: seconds or %; NaN when there is none.
    double figure(const DeviationSummary &deviation) const;
    bool crossedBy(const DeviationSummary &deviation) const;
    // The figure's name in DeviationSummary::toJson: "max", "p99", "periodBinShare".
    QString figureName() const;
    QJsonObject toJson(const DeviationSummary &deviation) const;
};
