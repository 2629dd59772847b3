// SPDX-License-Identifier: MIT
#include "picturetimeline.h"

#include "spikeverdict.h"

#include <QPolygonF>

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

namespace picture {

namespace {

// The run's ticks per second in slot i, or -1 where it cannot be told: the
// open slot until it has seen a fifth of its length.
double tickRate(const RunTimeline &timeline, int i)
{
    const double length = i == timeline.used - 1 ? timeline.openSeconds() : timeline.slotSeconds;
    if (length < 0.2 * timeline.slotSeconds)
        return -1.0;
    return double(timeline.slot[size_t(i)].ticks) / length;
}

double timelineEnd(const RunTimeline &timeline)
{
    if (timeline.used == 0)
        return 0.0;
    return double(timeline.used - 1) * timeline.slotSeconds + std::max(0.0, timeline.openSeconds());
}

// The timeline in one pixel column: the longest interval of the slots it
// covers, and their lowest and highest tick rate (-1: none).
struct Column
{
    double longest = 0.0;
    double rateLow = -1.0;
    double rateHigh = -1.0;
    bool operator==(const Column &o) const
    {
        return longest == o.longest && rateLow == o.rateLow && rateHigh == o.rateHigh;
    }
};

template <typename Map>
std::vector<Column> columnsOf(const RunTimeline &timeline, const Map &xOf, double left, int count)
{
    std::vector<Column> columns(static_cast<size_t>(count));
    for (int i = 0; i < timeline.used; ++i) {
        const double start = i * timeline.slotSeconds;
        const double end = i == timeline.used - 1 ? start + std::max(0.0, timeline.openSeconds())
                                                  : start + timeline.slotSeconds;
        const int from = std::clamp(int(std::floor(xOf(start) - left)), 0, count - 1);
        const int to = std::clamp(int(std::floor(xOf(end) - left)), from + 1, count);
        const double longest = timeline.slot[size_t(i)].maxInterval;
        const double rate = tickRate(timeline, i);
        for (int x = from; x < to; ++x) {
            Column &column = columns[size_t(x)];
            column.longest = std::max(column.longest, longest);
            if (rate >= 0) {
                column.rateLow = column.rateLow < 0 ? rate : std::min(column.rateLow, rate);
                column.rateHigh = std::max(column.rateHigh, rate);
            }
        }
    }
    return columns;
}

// Calls draw(from, to, column) for each stretch of equal columns.
template <typename Draw>
void forEachStretch(const std::vector<Column> &columns, Draw draw)
{
    const int count = int(columns.size());
    for (int from = 0; from < count;) {
        int to = from + 1;
        while (to < count && columns[size_t(to)] == columns[size_t(from)])
            ++to;
        draw(from, to, columns[size_t(from)]);
        from = to;
    }
}

// The timeline's two strips, the longest interval of each slot on a log
// scale over the ticks per second, and the time axis under them: their
// scales, from the runs, and where they lie.
struct TimelineLayout
{
    double lh;
    double runSeconds; // the longest run's time
    int lowDecade, highDecade;
    double rateTop;
    double left, right;
    double timelineTop, maxBottom; // the longest intervals' strip
    double rateTopY, timeAxis;     // the ticks' strip
    Linear tOf, mOf, rOf;

    // The height of a column's longest interval; the strip's foot for none.
    double longestY(double longest) const
    {
        return longest > 0 ? mOf(std::log10(longest)) : maxBottom;
    }
};

TimelineLayout timelineLayout(double lh, const QList<PictureRun> &runs, const QRectF &box)
{
    double runSeconds = 1.0;
    double shortestMax = 1e9;
    double longestMax = 0.0;
    double mostRate = 0.0;
    for (const PictureRun &run : runs) {
        const RunTimeline &timeline = run.record.timeline;
        runSeconds = std::max(runSeconds, timelineEnd(timeline));
        for (int i = 0; i < timeline.used; ++i) {
            const double m = timeline.slot[size_t(i)].maxInterval;
            if (m > 0) {
                shortestMax = std::min(shortestMax, m);
                longestMax = std::max(longestMax, m);
            }
            mostRate = std::max(mostRate, tickRate(timeline, i));
        }
        if (run.record.settings.periodMs > 0) {
            mostRate = std::max(mostRate, 1000.0 / run.record.settings.periodMs);
            shortestMax = std::min(shortestMax, run.record.settings.periodMs / 1000.0);
            longestMax = std::max(longestMax, run.record.settings.periodMs / 1000.0);
        }
    }
    if (longestMax <= 0) {
        shortestMax = 0.0001;
        longestMax = 0.01;
    }
    TimelineLayout t;
    t.lh = lh;
    t.runSeconds = runSeconds;
    // At least a third of a decade under the shortest, so that it stands clear of the floor.
    t.lowDecade = int(std::floor(std::log10(shortestMax) - 0.3));
    t.highDecade = std::max(t.lowDecade + 1, int(std::ceil(std::log10(longestMax) + 1e-9)));
    t.rateTop = atLeast(mostRate * 1.15,
                        {10, 20, 50, 100, 200, 500, 1000, 1200, 1500, 2000, 5000, 10000, 20000,
                         50000, 100000, 200000, 500000, 1e6, 1e7});

    t.timelineTop = box.top();
    t.timeAxis = box.bottom() - lh * 2.2;
    const double rateHeight = (t.timeAxis - t.timelineTop) * 0.36;
    t.rateTopY = t.timeAxis - rateHeight;
    t.maxBottom = t.rateTopY - lh * 1.1;
    t.left = box.left();
    t.right = box.right();
    t.tOf = {0.0, runSeconds, t.left, t.right};
    t.mOf = {double(t.lowDecade), double(t.highDecade), t.maxBottom, t.timelineTop};
    t.rOf = {0.0, t.rateTop, t.timeAxis, t.rateTopY};
    return t;
}

// Grid and labels of both strips.
void paintTimelineGrid(Canvas &c, const TimelineLayout &t)
{
    const double lh = t.lh;
    const auto leftLabel = [&](double y, const QString &text) {
        c.label(QRectF(0, y - lh / 2, t.left - lh * 0.3, lh), Qt::AlignRight | Qt::AlignVCenter,
                text);
    };
    const int decades = t.highDecade - t.lowDecade;
    const int maxEvery = (t.maxBottom - t.timelineTop) / decades >= lh * 1.05 ? 1 : 2;
    for (int d = t.lowDecade; d <= t.highDecade; ++d) {
        const double yd = t.mOf(d);
        c.line(t.left, yd, t.right, yd, c.grid);
        if ((d - t.lowDecade) % maxEvery == 0)
            leftLabel(yd, decade(d));
    }
    c.line(t.left, t.rOf(t.rateTop), t.right, t.rOf(t.rateTop), c.grid);
    leftLabel(t.rOf(t.rateTop), QString::number(t.rateTop, 'g', 7) + "/s");
    leftLabel(t.timeAxis, "0/s");
    const double pad = lh * 0.5;
    c.sideTitle(QRectF(pad, t.timelineTop, lh * 1.2, t.maxBottom - t.timelineTop), "longest");
    c.sideTitle(QRectF(pad, t.rateTopY, lh * 1.2, t.timeAxis - t.rateTopY), "ticks");
}

// One run's longest intervals as a light fill: one polygon, so that an SVG
// shows no seams in it.
void paintLongestFill(Canvas &c, const std::vector<Column> &columns, const QColor &fill,
                      const TimelineLayout &t)
{
    QPolygonF outline{QPointF(t.left, t.maxBottom)};
    forEachStretch(columns, [&](int from, int to, const Column &column) {
        const double y = t.longestY(column.longest);
        outline << QPointF(t.left + from, y) << QPointF(t.left + to, y);
    });
    outline << QPointF(outline.last().x(), t.maxBottom);
    c.p.setBrush(fill);
    c.p.drawPolygon(outline);
}

// One run's longest interval as a step line, and its tick rate as a line, a
// column's lowest to highest where it holds several.
void paintRunLines(Canvas &c, const std::vector<Column> &columns, const QColor &colour,
                   double lineWidth, const TimelineLayout &t)
{
    const double half = lineWidth / 2;
    double lastLongest = t.maxBottom;
    double lastLow = -1.0; // the previous stretch's rate, as pixel rows
    double lastHigh = -1.0;
    forEachStretch(columns, [&](int from, int to, const Column &column) {
        const double x0 = t.left + from;
        const double x1 = t.left + to;
        const double y = t.longestY(column.longest);
        c.bar(x0 - half, x0 + half, std::min(y, lastLongest) - half,
              std::max(y, lastLongest) + half, colour);
        if (column.longest > 0)
            c.bar(x0 - half, x1 + half, y - half, y + half, colour);
        lastLongest = y;

        if (column.rateLow < 0) {
            lastLow = lastHigh = -1.0;
            return;
        }
        const double high = t.rOf(column.rateHigh);
        const double low = t.rOf(column.rateLow);
        c.bar(x0, x1, high - half, low + half, colour);
        if (lastLow >= 0)
            c.bar(x0 - half, x0 + half, std::min(high, lastHigh) - half,
                  std::max(low, lastLow) + half, colour);
        lastLow = low;
        lastHigh = high;
    });
}

// Each run's slots, gathered into the pixel columns they cover (many to a
// column on a long run): the longest interval as a step line over a light
// fill, so that two runs show through each other, and the tick rate as a
// line. All in whole-pixel rectangles: crisp, and quick for hundreds of
// slots.
void paintTimelineRuns(Canvas &c, const QList<PictureRun> &runs, const QPalette &palette,
                       const TimelineLayout &t)
{
    const int runCount = int(runs.size());
    const int columnCount = std::max(1, int(t.right - t.left));
    const double lineWidth = std::max(2.0, std::round(t.lh / 7.0));
    std::vector<std::vector<Column>> columns;
    for (const PictureRun &run : runs)
        columns.push_back(columnsOf(run.record.timeline, t.tOf, t.left, columnCount));
    c.p.setPen(Qt::NoPen);
    for (int r = 0; r < runCount; ++r) {
        QColor fill = HistogramPicture::runColour(palette, r);
        fill.setAlphaF(0.3f);
        paintLongestFill(c, columns[size_t(r)], fill, t);
    }
    c.p.setBrush(Qt::NoBrush);
    for (int r = 0; r < runCount; ++r)
        paintRunLines(c, columns[size_t(r)], HistogramPicture::runColour(palette, r), lineWidth, t);
}

// Each run's judged spikes over the longest-interval strip, a mark coloured
// by its cause, and a legend of the causes marked.
QColor causeColour(int cause)
{
    static const QColor colours[SpikeCauseCount] = {
        QColor(120, 120, 120), QColor(230, 140, 0),  QColor(200, 30, 30), QColor(150, 0, 150),
        QColor(0, 150, 70),    QColor(30, 100, 220), QColor(0, 170, 190), QColor(40, 40, 40)};
    return colours[std::clamp(cause, 0, SpikeCauseCount - 1)];
}

void paintSpikeMarks(Canvas &c, const QList<PictureRun> &runs, const TimelineLayout &t)
{
    std::array<bool, SpikeCauseCount> marked{};
    const double r = std::max(2.5, t.lh / 4.0);
    c.p.setPen(Qt::NoPen);
    for (const PictureRun &run : runs) {
        for (const PictureSpike &spike : run.spikes) {
            if (spike.intervalSeconds <= 0)
                continue;
            const int cause = std::clamp(spike.cause, 0, SpikeCauseCount - 1);
            marked[size_t(cause)] = true;
            const double y =
                std::clamp(t.mOf(std::log10(spike.intervalSeconds)), t.timelineTop, t.maxBottom);
            c.p.setBrush(causeColour(cause));
            c.p.drawEllipse(QPointF(t.tOf(spike.seconds), y), r, r);
        }
    }
    // The legend, in the strip's top right corner, one line per cause, on
    // the background so that the marks under it do not cross its text.
    double widest = 0;
    int lines = 0;
    for (int cause = 0; cause < SpikeCauseCount; ++cause) {
        if (marked[size_t(cause)]) {
            widest = std::max(widest, c.width(spikeCauseText(SpikeCause(cause))));
            ++lines;
        }
    }
    if (lines > 0) {
        QColor under = c.base;
        under.setAlphaF(0.85f);
        c.p.fillRect(QRectF(t.right - widest - t.lh * 1.3, t.timelineTop, widest + t.lh * 1.3,
                            t.lh * (lines + 0.4)),
                     under);
    }
    double y = t.timelineTop + t.lh * 0.2;
    for (int cause = 0; cause < SpikeCauseCount; ++cause) {
        if (!marked[size_t(cause)])
            continue;
        const QString name = spikeCauseText(SpikeCause(cause));
        const double w = c.width(name);
        c.p.setPen(Qt::NoPen);
        c.p.setBrush(causeColour(cause));
        c.p.drawEllipse(QPointF(t.right - w - t.lh * 0.9, y + t.lh / 2), r, r);
        c.label(QRectF(t.right - w - t.lh * 0.3, y, w, t.lh), Qt::AlignLeft | Qt::AlignVCenter,
                name);
        y += t.lh;
    }
    c.p.setBrush(Qt::NoBrush);
}

// The time axis, in s, min or h as the run's length asks, and the strips'
// axes.
void paintTimeAxis(Canvas &c, const QList<PictureRun> &runs, const TimelineLayout &t)
{
    const double lh = t.lh;
    const double unit = t.runSeconds > 3 * 3600 ? 3600.0 : t.runSeconds > 300 ? 60.0 : 1.0;
    const QString unitName = unit == 3600.0 ? "h" : unit == 60.0 ? "min" : "s";
    const double tStep = tickStep(
        t.runSeconds / unit, (c.width("0000") + lh) * t.runSeconds / unit / (t.right - t.left));
    axisTicks(c, t.timeAxis, t.runSeconds / unit, tStep,
              [&](double time) { return t.tOf(time * unit); });
    c.line(t.left, t.timelineTop, t.left, t.maxBottom, c.text);
    c.line(t.left, t.maxBottom, t.right, t.maxBottom, c.text);
    c.line(t.left, t.rateTopY, t.left, t.timeAxis, c.text);
    c.line(t.left, t.timeAxis, t.right, t.timeAxis, c.text);
    // On a long run, slots of more than a second: say how long a step is.
    double slotSeconds = 1.0;
    for (const PictureRun &run : runs)
        slotSeconds = std::max(slotSeconds, run.record.timeline.slotSeconds);
    const QString slotText =
        QString("time in run (%1), a step per %2")
            .arg(unitName,
                 slotSeconds == 1.0 ? QString("second") : QString("%1 s").arg(slotSeconds));
    c.label(QRectF(t.left, t.timeAxis + lh * 1.15, t.right - t.left, lh), Qt::AlignCenter,
            slotText);
}

} // namespace

// The timeline under the histogram, in box: the longest interval of each
// slot on a log scale, and the ticks per second, over the time of the
// longest run.
void paintTimeline(Canvas &c, const QList<PictureRun> &runs, const QPalette &palette,
                   const QList<int> &periods, const QRectF &box)
{
    const TimelineLayout t = timelineLayout(c.lineHeight(), runs, box);
    paintTimelineGrid(c, t);
    paintTimelineRuns(c, runs, palette, t);
    // The period in the longest-interval strip, the rate it promises in the
    // tick strip.
    for (const int period : periods) {
        const double ym = t.mOf(std::log10(period / 1000.0));
        c.line(t.left, ym, t.right, ym, c.text, 1.0, Qt::DashLine);
        const double yr = t.rOf(1000.0 / period);
        c.line(t.left, yr, t.right, yr, c.text, 1.0, Qt::DashLine);
    }
    paintTimeAxis(c, runs, t);
    paintSpikeMarks(c, runs, t);
}

QList<PictureSpike> pictureSpikes(const SpikeReport &spikes)
{
    QList<PictureSpike> marks;
    for (const JudgedSpike &spike : spikes.store.newest())
        marks.append(PictureSpike{spikes.secondsIn(spike.record),
                                  double(spike.record.intervalNs) * 1e-9,
                                  int(spike.verdict.cause)});
    return marks;
}

} // namespace picture
