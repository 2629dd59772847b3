// SPDX-License-Identifier: MIT
#include "picturehistogram.h"

#include "deviation.h"

#include <algorithm>

namespace picture {

namespace {

// Bin count n as the % of the run's intervals.
double shareOf(const RunStatistics &statistics, quint64 n)
{
    const quint64 counted = statistics.counted();
    return counted > 0 ? 100.0 * double(n) / double(counted) : 0.0;
}

// A decade of the share axis: "100%", "1%", "0.01%".
QString percent(int d)
{
    return QString::number(std::pow(10.0, d), 'g', 12) + "%";
}

// What the histogram shows of the runs: the bins up to the longest
// non-empty one below the overflow bin, and the periods, on a rounded range;
// counts up to a power of ten. Runs compared side by side are drawn as
// shares of each run's intervals, so that a long run and a short one show
// comparable shapes.
struct HistogramScope
{
    double rangeMs = 1.0;
    bool shares = false;     // % of each run's intervals, not counts
    int lowDecade = 0;       // the lowest labelled decade
    double floor = LogFloor; // the axis's foot, half a decade under it
    int topDecade = 1;
    QList<int> periods; // those below the overflow bin, each once
    bool anyOverflow = false;
    bool anyTimeline = false;
};

HistogramScope scopeOf(const QList<PictureRun> &runs)
{
    HistogramScope scope;
    scope.shares = runs.size() > 1;
    double neededMs = 1.0;
    quint64 mostCounted = 0;
    quint64 longestRun = 0; // the most intervals of a run
    double mostShare = 0.0;
    for (const PictureRun &run : runs) {
        const RunStatistics &statistics = run.record.statistics;
        longestRun = std::max(longestRun, statistics.counted());
        for (int i = 0; i < RunStatistics::Bins; ++i) {
            const quint64 n = statistics.bins[size_t(i)];
            mostCounted = std::max(mostCounted, n);
            mostShare = std::max(mostShare, shareOf(statistics, n));
            if (n != 0 && i < RunStatistics::OverflowBin)
                neededMs = std::max(neededMs, (i + 0.5) * BinMs);
        }
        scope.anyOverflow = scope.anyOverflow || statistics.bins[RunStatistics::OverflowBin] != 0;
        scope.anyTimeline = scope.anyTimeline || run.record.timeline.used > 0;
        const int period = run.record.settings.periodMs;
        if (DeviationSummary::periodBin(period) >= 0 && !scope.periods.contains(period)) {
            scope.periods << period;
            neededMs = std::max(neededMs, period * 1.2);
        }
    }
    scope.rangeMs = atLeast(neededMs, {1, 1.5, 2, 2.5, 3, 4, 5, 6, 8, 10, 12, 15, 20, 25, 30});
    if (scope.shares && longestRun > 0) {
        // Down to one interval of the longest run, up to the largest share.
        scope.lowDecade = int(std::floor(std::log10(100.0 / double(longestRun))));
        scope.floor = scope.lowDecade + LogFloor;
        scope.topDecade = std::max(scope.lowDecade + 1,
                                   std::min(2, int(std::ceil(std::log10(mostShare) - 1e-9))));
    } else {
        scope.shares = false;
        scope.topDecade =
            mostCounted > 0 ? std::max(1, int(std::floor(std::log10(double(mostCounted)))) + 1) : 1;
    }
    return scope;
}

// Where the histogram's parts lie, in pixels.
struct HistogramLayout
{
    HistogramScope scope;
    double lh, pad;
    int runCount;
    double bandTop; // the labels of the periods and the overflow bars
    double plotLeft, plotTop, plotRight, plotBottom;
    QString overflowTick; // the overflow bar's panel, right of the bins
    double panelWidth, panelLeft, panelRight;
    bool withTimeline;
    QRectF timelineBox;
    Linear xOf, yOf;

    // What a bin of n intervals stands for on the count axis.
    double height(const RunStatistics &statistics, quint64 n) const
    {
        return scope.shares ? shareOf(statistics, n) : double(n);
    }
};

// The layout of the picture below the legend, or nothing where the picture
// is too small for a plot.
std::optional<HistogramLayout> histogramLayout(const Canvas &c, const QList<PictureRun> &runs,
                                               QSizeF size, double legendBottom)
{
    const double W = size.width();
    const double H = size.height();
    HistogramLayout g;
    g.scope = scopeOf(runs);
    g.lh = c.lineHeight();
    g.pad = g.lh * 0.5;
    g.runCount = int(runs.size());
    const double lh = g.lh;

    // Above the plot, a band for the period's and the overflow bar's labels.
    g.bandTop = legendBottom + lh * 0.2;
    const int overflowLabels = g.scope.anyOverflow ? g.runCount : 0;
    g.plotTop = g.bandTop + lh * std::max(1, overflowLabels) + lh * 0.3;

    // Below it the tick labels and the axis title; then the timeline, if the
    // picture is tall enough and a run has one.
    g.withTimeline = g.scope.anyTimeline && H >= 300;
    const double axisBlock = lh * 2.3;
    const double timelineBlock = g.withTimeline ? std::max(lh * 7.5, H * 0.36) : 0.0;
    g.plotBottom = H - g.pad - axisBlock - timelineBlock;

    // Left: the side title and the widest count label.
    double countLabels = 0;
    for (int d = g.scope.lowDecade; d <= g.scope.topDecade; ++d)
        countLabels = std::max(countLabels, g.scope.shares ? c.width(percent(d)) : c.powerWidth(d));
    const double timelineLabels = c.width("0.01 ms");
    g.plotLeft = g.pad + lh * 1.3 + std::max(countLabels, timelineLabels) + lh * 0.4;

    // Right: the overflow bar's own panel, set apart from the bins.
    g.overflowTick = QString::fromUtf8("\u2265%1").arg(OverflowFromMs, 0, 'f', 2);
    g.panelWidth = std::max(c.width(g.overflowTick) + lh * 0.6, lh * 2.5);
    g.panelRight = W - g.pad * 2;
    g.panelLeft = g.panelRight - g.panelWidth;
    g.plotRight = g.panelLeft - lh * 0.9;

    if (g.plotBottom - g.plotTop < lh * 2 || g.plotRight - g.plotLeft < lh * 4)
        return std::nullopt;
    g.timelineBox = QRectF(QPointF(g.plotLeft, g.plotBottom + axisBlock + lh * 0.3),
                           QPointF(g.panelRight, H - g.pad));
    g.xOf = {0.0, g.scope.rangeMs, g.plotLeft, g.plotRight};
    g.yOf = {g.scope.floor, double(g.scope.topDecade), g.plotBottom, g.plotTop};
    return g;
}

// Decades of the count axis: grid lines and labels, every one where they
// fit, else every second or fifth.
void paintCountAxis(Canvas &c, const HistogramLayout &g)
{
    const double lh = g.lh;
    const double decadeHeight = (g.plotBottom - g.plotTop) / (g.scope.topDecade - g.scope.floor);
    const int labelEvery = decadeHeight >= lh * 1.1 ? 1 : decadeHeight * 2 >= lh * 1.1 ? 2 : 5;
    for (int d = g.scope.lowDecade; d <= g.scope.topDecade; ++d) {
        const double yd = g.yOf(d);
        c.line(g.plotLeft, yd, g.plotRight, yd, c.grid);
        c.line(g.panelLeft, yd, g.panelRight, yd, c.grid);
        if ((d - g.scope.lowDecade) % labelEvery != 0)
            continue;
        if (g.scope.shares)
            c.label(QRectF(0, yd - lh / 2, g.plotLeft - lh * 0.3, lh),
                    Qt::AlignRight | Qt::AlignVCenter, percent(d));
        else
            c.power(g.plotLeft - lh * 0.3, yd, d);
    }
    c.sideTitle(QRectF(g.pad, g.plotTop, lh * 1.2, g.plotBottom - g.plotTop),
                g.scope.shares ? "% of each run's intervals (log)" : "intervals (log)");
}

// The interval axis: ticks in ms, and the overflow panel's label.
void paintIntervalAxis(Canvas &c, const HistogramLayout &g)
{
    const double lh = g.lh;
    const double msPerPixel = g.scope.rangeMs / (g.plotRight - g.plotLeft);
    const double step = tickStep(g.scope.rangeMs, (c.width("00.0") + lh) * msPerPixel);
    axisTicks(c, g.plotBottom, g.scope.rangeMs, step, g.xOf);
    c.label(QRectF(g.plotLeft, g.plotBottom + lh * 1.2, g.plotRight - g.plotLeft, lh),
            Qt::AlignCenter, "interval between ticks (ms), 0.1 ms bins");
    const double panelLabelLeft = g.panelLeft - lh;
    const double panelLabelWidth = g.panelWidth + 2 * lh;
    c.label(QRectF(panelLabelLeft, g.plotBottom + lh * 0.25, panelLabelWidth, lh),
            Qt::AlignHCenter | Qt::AlignTop, g.overflowTick);
    c.label(QRectF(panelLabelLeft, g.plotBottom + lh * 1.2, panelLabelWidth, lh),
            Qt::AlignHCenter | Qt::AlignTop, "longer");
}

// The bars: each bin's width shared by the runs, side by side; the overflow
// bars in their panel, each labelled with its run's longest interval.
void paintBars(Canvas &c, const QList<PictureRun> &runs, const QPalette &palette,
               const HistogramLayout &g)
{
    const double lh = g.lh;
    const double binWidth = (g.plotRight - g.plotLeft) * BinMs / g.scope.rangeMs;
    const double gap = binWidth >= 6 ? std::max(1.0, binWidth * 0.12) : 0.0;
    const double share = (binWidth - gap) / std::max(1, g.runCount);
    for (int r = 0; r < g.runCount; ++r) {
        const QColor colour = HistogramPicture::runColour(palette, r);
        const RunStatistics &statistics = runs[r].record.statistics;
        for (int i = 0; i < RunStatistics::OverflowBin; ++i) {
            const quint64 n = statistics.bins[size_t(i)];
            if (n == 0 || (i - 0.5) * BinMs >= g.scope.rangeMs)
                continue;
            const double left =
                std::max(g.plotLeft, g.xOf((i - 0.5) * BinMs) + gap / 2 + r * share);
            c.bar(left, left + share, g.yOf(std::log10(g.height(statistics, n))), g.plotBottom,
                  colour);
        }
        const quint64 over = statistics.bins[RunStatistics::OverflowBin];
        if (over != 0) {
            const double slot = (g.panelWidth - lh * 0.8) / g.runCount;
            const double left = g.panelLeft + lh * 0.4 + r * slot;
            c.bar(left, left + slot, g.yOf(std::log10(g.height(statistics, over))), g.plotBottom,
                  colour);
            c.label(QRectF(0, g.bandTop + r * lh, g.panelRight, lh),
                    Qt::AlignRight | Qt::AlignVCenter, "longest " + seconds(statistics.maxInterval),
                    colour);
        }
    }
}

// The period, dashed across the bins, labelled in the band above.
void paintPeriods(Canvas &c, const HistogramLayout &g)
{
    const double lh = g.lh;
    for (const int period : g.scope.periods) {
        const double x = g.xOf(period);
        c.line(x, g.plotTop - lh * 0.2, x, g.plotBottom, c.text, std::max(1.0, lh / 12.0),
               Qt::DashLine);
        const QString text = QString("period %1 ms").arg(period);
        const double w = c.width(text);
        const double left = std::clamp(x - w / 2, g.plotLeft, g.plotRight - w);
        c.label(QRectF(left, g.bandTop, w, lh), Qt::AlignCenter, text);
    }
}

// The axes, over the bars' feet, and the break between the bins and the
// overflow panel.
void paintAxes(Canvas &c, const HistogramLayout &g)
{
    const double lh = g.lh;
    c.line(g.plotLeft, g.plotTop, g.plotLeft, g.plotBottom, c.text);
    c.line(g.plotLeft, g.plotBottom, g.plotRight, g.plotBottom, c.text);
    c.line(g.panelLeft, g.plotBottom, g.panelRight, g.plotBottom, c.text);
    for (const double x : {g.plotRight + lh * 0.25, g.plotRight + lh * 0.5})
        c.line(x - lh * 0.15, g.plotBottom + lh * 0.2, x + lh * 0.15, g.plotBottom - lh * 0.2,
               c.text);
}

} // namespace

std::optional<TimelinePlace> paintHistogram(Canvas &c, const QList<PictureRun> &runs,
                                            const QPalette &palette, QSizeF size,
                                            double legendBottom)
{
    const std::optional<HistogramLayout> layout = histogramLayout(c, runs, size, legendBottom);
    if (!layout)
        return std::nullopt;
    paintCountAxis(c, *layout);
    paintIntervalAxis(c, *layout);
    paintBars(c, runs, palette, *layout);
    paintPeriods(c, *layout);
    paintAxes(c, *layout);
    if (!layout->withTimeline)
        return std::nullopt;
    return TimelinePlace{layout->timelineBox, layout->scope.periods};
}

} // namespace picture
