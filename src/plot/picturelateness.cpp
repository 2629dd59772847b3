// SPDX-License-Identifier: MIT
#include "picturelateness.h"

#include "statsreport.h"

#include <algorithm>
#include <vector>

namespace picture {

namespace {

using L = LatenessStatistics;

// The picture's height from which the lateness has a panel.
const double MinimumHeight = 400;

bool hasLateness(const RunRecord &record)
{
    return record.lateness.deadlines != L::NoDeadlines && record.lateness.wakeUps > 0;
}

// What the panel shows: the bins from the earliest to the latest non-empty
// one below the overflow, in us, and the largest count of a bin.
struct LatenessScope
{
    int fromUs = 0;
    int toUs = 10;
    quint64 most = 1;
    bool anyOverflow = false;
};

LatenessScope scopeOf(const QList<PictureRun> &runs)
{
    LatenessScope scope;
    for (const PictureRun &run : runs) {
        if (!hasLateness(run.record))
            continue;
        const L &lateness = run.record.lateness;
        for (int i = 0; i < L::OverflowBin; ++i) {
            const quint64 n = lateness.bins[size_t(i)];
            if (n == 0)
                continue;
            scope.fromUs = std::min(scope.fromUs, i - L::ZeroBin);
            scope.toUs = std::max(scope.toUs, i - L::ZeroBin + 1);
            scope.most = std::max(scope.most, n);
        }
        const quint64 over = lateness.bins[L::OverflowBin];
        scope.anyOverflow = scope.anyOverflow || over != 0;
        scope.most = std::max(scope.most, over);
    }
    return scope;
}

// A run's line of figures.
QString figures(const PictureRun &run)
{
    const L &lateness = run.record.lateness;
    QString text = run.name.isEmpty() ? QString() : run.name + ": ";
    return text +
        QString("p50 %1, p99 %2, max %3 us, overruns %4")
            .arg(StatsReport::latenessMicros(lateness.percentile(500)),
                 StatsReport::latenessMicros(lateness.percentile(990)),
                 QString::number(lateness.maxLateness * 1e6, 'f', 1), count(lateness.overruns));
}

} // namespace

bool anyLateness(const QList<PictureRun> &runs)
{
    return std::any_of(runs.begin(), runs.end(),
                       [](const PictureRun &run) { return hasLateness(run.record); });
}

double latenessHeight(const Canvas &c, const QList<PictureRun> &runs, double H)
{
    const double lh = c.lineHeight();
    const double wanted = std::max(lh * (8.0 + runs.size()), H * 0.3);
    // A small picture is the histogram's alone.
    if (!anyLateness(runs) || H < MinimumHeight || H - wanted < lh * 14)
        return 0.0;
    return wanted;
}

void paintLateness(Canvas &c, const QList<PictureRun> &runs, const QPalette &palette,
                   const QRectF &box)
{
    const LatenessScope scope = scopeOf(runs);
    const double lh = c.lineHeight();
    const double pad = lh * 0.5;

    // The title, then a line of figures per run in its colour.
    double y = box.top() + pad * 0.5;
    c.label(QRectF(pad, y, box.width() - 2 * pad, lh), Qt::AlignLeft | Qt::AlignVCenter,
            "Lateness of the timer's wake-ups after their deadline");
    y += lh;
    for (int r = 0; r < int(runs.size()); ++r) {
        if (!hasLateness(runs[r].record))
            continue;
        c.label(QRectF(pad + lh, y, box.width() - 2 * pad - lh, lh),
                Qt::AlignLeft | Qt::AlignVCenter, figures(runs[r]),
                HistogramPicture::runColour(palette, r));
        y += lh;
    }

    const int topDecade = std::max(1, int(std::floor(std::log10(double(scope.most)))) + 1);
    const double plotLeft = pad + lh * 1.4 + c.powerWidth(topDecade) + lh * 0.4;
    const double panelWidth = scope.anyOverflow ? lh * 3.5 : 0.0;
    const double plotRight = box.right() - pad * 2 - (panelWidth ? panelWidth + lh : 0.0);
    const double plotTop = y + lh * 0.9; // room for the top decade's raised figure
    const double plotBottom = box.bottom() - pad - lh * 2.2;
    if (plotBottom - plotTop < lh * 2 || plotRight - plotLeft < lh * 6)
        return;

    // x in us: a rounded range from the earliest bin to past the latest.
    const double usPerPixel = double(scope.toUs - scope.fromUs) / (plotRight - plotLeft);
    const double step = tickStep(scope.toUs - scope.fromUs, (c.width("-0000") + lh) * usPerPixel);
    const double from = std::floor(scope.fromUs / step) * step;
    const double to = std::max(from + step, std::ceil(scope.toUs / step) * step);
    const Linear xOf{from, to, plotLeft, plotRight};
    const Linear yOf{LogFloor, double(topDecade), plotBottom, plotTop};

    // Decades of counts, and the us axis.
    for (int d = 0; d <= topDecade; ++d) {
        c.line(plotLeft, yOf(d), plotRight, yOf(d), c.grid);
        if (panelWidth)
            c.line(plotRight + lh, yOf(d), plotRight + lh + panelWidth, yOf(d), c.grid);
        c.power(plotLeft - lh * 0.3, yOf(d), d);
    }
    c.sideTitle(QRectF(pad, plotTop, lh * 1.2, plotBottom - plotTop), "wake-ups (log)");
    for (double v = from; v <= to + step * 1e-6 && step > 0; v += step) {
        c.line(xOf(v), plotBottom, xOf(v), plotBottom + lh * 0.25, c.text);
        c.label(QRectF(xOf(v) - 50, plotBottom + lh * 0.25, 100, lh),
                Qt::AlignHCenter | Qt::AlignTop, number(v, step));
    }
    c.label(QRectF(plotLeft, plotBottom + lh * 1.2, plotRight - plotLeft, lh), Qt::AlignCenter,
            "lateness after the deadline (us), 1 us bins; each column its fullest bin");

    // Each run's bins, a column of pixels holding the fullest of its bins;
    // runs drawn over each other, see-through where there are several.
    const int columns = std::max(1, int(std::ceil(plotRight - plotLeft)));
    const bool several = std::count_if(runs.begin(), runs.end(), [](const PictureRun &run) {
                             return hasLateness(run.record);
                         }) > 1;
    for (int r = 0; r < int(runs.size()); ++r) {
        if (!hasLateness(runs[r].record))
            continue;
        const L &lateness = runs[r].record.lateness;
        QColor colour = HistogramPicture::runColour(palette, r);
        if (several)
            colour.setAlpha(150);
        std::vector<quint64> fullest(size_t(columns), 0);
        for (int i = 0; i < L::OverflowBin; ++i) {
            const quint64 n = lateness.bins[size_t(i)];
            if (n == 0)
                continue;
            const int us = i - L::ZeroBin;
            const int left = std::clamp(int(std::floor(xOf(us) - plotLeft)), 0, columns - 1);
            const int right =
                std::clamp(int(std::floor(xOf(us + 1) - plotLeft)), left + 1, columns);
            for (int x = left; x < right; ++x)
                fullest[size_t(x)] = std::max(fullest[size_t(x)], n);
        }
        for (int x = 0; x < columns; ++x) {
            if (fullest[size_t(x)])
                c.bar(plotLeft + x, plotLeft + x + 1, yOf(std::log10(double(fullest[size_t(x)]))),
                      plotBottom, colour);
        }
        const quint64 over = lateness.bins[L::OverflowBin];
        if (over) {
            const double slot = (panelWidth - lh * 0.8) / double(runs.size());
            const double left = plotRight + lh + lh * 0.4 + r * slot;
            c.bar(left, left + slot, yOf(std::log10(double(over))), plotBottom, colour);
        }
        // The p99, dashed in the run's colour.
        const double p99 = lateness.percentile(990) * 1e6;
        if (p99 >= from && p99 <= to)
            c.line(xOf(p99), plotTop, xOf(p99), plotBottom, HistogramPicture::runColour(palette, r),
                   std::max(1.0, lh / 12.0), Qt::DashLine);
    }
    c.line(plotLeft, plotTop, plotLeft, plotBottom, c.text);
    c.line(plotLeft, plotBottom, plotRight, plotBottom, c.text);
    if (panelWidth) {
        c.line(plotRight + lh, plotBottom, plotRight + lh + panelWidth, plotBottom, c.text);
        c.label(QRectF(plotRight + lh * 0.5, plotBottom + lh * 0.25, panelWidth + lh, lh),
                Qt::AlignHCenter | Qt::AlignTop, "10 ms");
        c.label(QRectF(plotRight + lh * 0.5, plotBottom + lh * 1.2, panelWidth + lh, lh),
                Qt::AlignHCenter | Qt::AlignTop, "or more");
    }
}

} // namespace picture
