// SPDX-License-Identifier: MIT
#include "histogrampicture.h"

#include "deviation.h"

#include <QFile>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QImage>
#include <QLocale>
#include <QPainter>
#include <QPolygonF>
#ifdef VANTREL_WITH_SVG
#include <QSvgGenerator>
#endif

#include <algorithm>
#include <cmath>
#include <memory>
#include <optional>
#include <vector>

namespace {

const double BinMs = 0.1;
const double OverflowFromMs = 29.85; // the last bin takes every interval from here on
// The count axis starts half a decade under 1, so that a bin of one interval
// still shows as a bar.
const double LogFloor = -0.5;

struct Linear
{
    double from0, from1, to0, to1;
    double operator()(double value) const
    {
        return to0 + (value - from0) * (to1 - to0) / (from1 - from0);
    }
};

// The first of the steps at least this large, or the last.
double atLeast(double value, std::initializer_list<double> steps)
{
    for (const double step : steps) {
        if (step >= value)
            return step;
    }
    return *(steps.end() - 1);
}

// A tick step for an axis of this length, so that labels of this width
// (in the axis's units) stay apart: 1, 2 or 5 times a power of ten.
double tickStep(double length, double labelLength)
{
    const double wanted = std::max(labelLength, length / 12.0);
    const double decade = std::pow(10.0, std::floor(std::log10(wanted)));
    for (const double factor : {1.0, 2.0, 5.0, 10.0}) {
        if (factor * decade >= wanted)
            return factor * decade;
    }
    return 10.0 * decade;
}

QString number(double value, double step)
{
    const int decimals = step >= 1.0 ? 0 : int(std::ceil(-std::log10(step) - 1e-9));
    return QString::number(value, 'f', decimals);
}

QString seconds(double value)
{
    if (value < 1.0) {
        const double ms = value * 1000.0;
        return QString::number(ms, 'f', ms < 10.0 ? 2 : 1) + " ms";
    }
    return QString::number(value, 'f', value < 100.0 ? 2 : 0) + " s";
}

// 10^d seconds: "0.1 ms", "1 ms", "10 s".
QString decade(int d)
{
    return d < 0 ? QString::number(std::pow(10.0, d + 3), 'g', 12) + " ms"
                 : QString::number(std::pow(10.0, d), 'g', 12) + " s";
}

QString count(quint64 value)
{
    return QLocale(QLocale::English).toString(qulonglong(value));
}

// The longest counted interval of a run: exact from the overflow row's label
// or the timeline; from the highest bin's label otherwise.
double longest(const RunRecord &record)
{
    const RunStatistics &statistics = record.statistics;
    if (statistics.bins[RunStatistics::OverflowBin] != 0)
        return statistics.maxInterval;
    double most = 0.0;
    for (int i = 0; i < record.timeline.used; ++i)
        most = std::max(most, record.timeline.slot[size_t(i)].maxInterval);
    if (most > 0.0)
        return most;
    for (int i = RunStatistics::OverflowBin - 1; i >= 0; --i) {
        if (statistics.bins[size_t(i)] != 0)
            return statistics.label(i);
    }
    return 0.0;
}

QString legendText(const PictureRun &run)
{
    const RunRecord &record = run.record;
    const RunSettings &settings = record.settings;
    QString text = run.name.isEmpty() ? QString() : run.name + ": ";
    text += settings.periodMs > 0
        ? QString("\"%1\" every %2 ms").arg(settings.clockModeName()).arg(settings.periodMs)
        : QString("\"%1\" on arriving datagrams").arg(settings.clockModeName());
    text += QString(", %1 / %2").arg(settings.processClassName(), settings.threadLevelName());
    if (!record.granted.policy.empty())
        text += QString(" (%1 %2)")
                    .arg(QString::fromStdString(record.granted.policy))
                    .arg(record.granted.priority);
    const quint64 counted = record.statistics.counted();
    text += QString(": %1 intervals").arg(count(counted));
    if (counted != 0)
        text += ", longest " + seconds(longest(record));
    return text;
}

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

QColor mix(const QColor &a, const QColor &b, double share)
{
    return QColor::fromRgbF(float(a.redF() * (1 - share) + b.redF() * share),
                            float(a.greenF() * (1 - share) + b.greenF() * share),
                            float(a.blueF() * (1 - share) + b.blueF() * share));
}

// Everything a part of the picture needs: the painter, the colours, the
// font's measures.
class Canvas
{
public:
    Canvas(QPainter &painter, const QPalette &palette, int fontPixels)
        : p(painter)
        , text(palette.color(QPalette::Text))
        , base(palette.color(QPalette::Base))
        , grid(mix(base, text, 0.14))
        , font(QGuiApplication::font())
    {
        font.setPixelSize(fontPixels);
        small = font;
        small.setPixelSize(std::max(7, int(std::lround(fontPixels * 0.72))));
        p.setFont(font);
        metrics = std::make_unique<QFontMetricsF>(font, p.device());
        smallMetrics = std::make_unique<QFontMetricsF>(small, p.device());
    }

    double lineHeight() const { return metrics->height(); }
    double width(const QString &s) const { return metrics->horizontalAdvance(s); }

    // Text in a box, aligned; in the given colour or the text's.
    void label(const QRectF &box, int align, const QString &s, const QColor &colour = QColor())
    {
        p.setPen(colour.isValid() ? colour : text);
        p.setFont(font);
        p.drawText(box, align | Qt::TextDontClip, s);
    }

    // "10" raised to a power, right-aligned at x and centred on y; 1 and 10
    // written out.
    double powerWidth(int exponent) const
    {
        if (exponent == 0 || exponent == 1)
            return width(exponent == 0 ? "1" : "10");
        return width("10") + smallMetrics->horizontalAdvance(QString::number(exponent));
    }
    void power(double right, double y, int exponent)
    {
        const double h = lineHeight();
        if (exponent == 0 || exponent == 1) {
            label(QRectF(right - 100, y - h / 2, 100, h), Qt::AlignRight | Qt::AlignVCenter,
                  exponent == 0 ? "1" : "10");
            return;
        }
        const QString raised = QString::number(exponent);
        const double raisedWidth = smallMetrics->horizontalAdvance(raised);
        label(QRectF(right - raisedWidth - 100, y - h / 2, 100, h),
              Qt::AlignRight | Qt::AlignVCenter, "10");
        p.setFont(small);
        p.setPen(text);
        p.drawText(QRectF(right - raisedWidth, y - h * 0.75, raisedWidth + 2, h * 0.6),
                   Qt::AlignLeft | Qt::AlignVCenter | Qt::TextDontClip, raised);
        p.setFont(font);
    }

    // A title along the left edge of a box, read from below.
    void sideTitle(const QRectF &box, const QString &s)
    {
        p.save();
        p.translate(box.left(), box.bottom());
        p.rotate(-90);
        label(QRectF(0, 0, box.height(), box.width()), Qt::AlignCenter, s);
        p.restore();
    }

    void line(double x0, double y0, double x1, double y1, const QColor &colour, double width = 1.0,
              Qt::PenStyle style = Qt::SolidLine)
    {
        QPen pen(colour, width, style);
        pen.setCapStyle(Qt::FlatCap);
        p.setPen(pen);
        p.drawLine(QPointF(x0, y0), QPointF(x1, y1));
    }

    // A filled bar on whole pixels: crisp edges at any size.
    void bar(double x0, double x1, double top, double bottom, const QColor &colour)
    {
        const int left = int(std::lround(x0));
        const int right = std::max(left + 1, int(std::lround(x1)));
        const int upper = int(std::lround(top));
        const int lower = int(std::lround(bottom));
        if (lower <= upper)
            return;
        p.fillRect(QRect(left, upper, right - left, lower - upper), colour);
    }

    QPainter &p;
    QColor text, base, grid;
    QFont font, small;
    std::unique_ptr<QFontMetricsF> metrics, smallMetrics;
};

// Ticks under an axis at y, labelled, every step from 0 to last; at(v) is
// the x of value v.
template <typename At>
void axisTicks(Canvas &c, double y, double last, double step, At at)
{
    const double lh = c.lineHeight();
    // A step that is not finite, or tiny beside the axis, would never reach
    // its end: no ticks then rather than a loop without end.
    if (!std::isfinite(step) || !std::isfinite(last) || !(step > 0) || last / step > 500)
        return;
    for (double v = 0.0; v <= last + step * 1e-6; v += step) {
        const double x = at(v);
        c.line(x, y, x, y + lh * 0.25, c.text);
        c.label(QRectF(x - 50, y + lh * 0.25, 100, lh), Qt::AlignHCenter | Qt::AlignTop,
                number(v, step));
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
}

// Text at least as large as the application's, larger in a large picture,
// smaller only where the picture is too small for it.
int fontPixels(double W, double H)
{
    const QFont appFont = QGuiApplication::font();
    const double appPixels =
        appFont.pixelSize() > 0 ? appFont.pixelSize() : appFont.pointSizeF() * 96.0 / 72.0;
    const double wanted = std::clamp(std::sqrt(W * H) / 55.0, appPixels, 28.0);
    return int(std::lround(std::max(8.0, std::min({wanted, H / 20.0, W / 40.0}))));
}

// The legend: a swatch and a line per run. Returns where it ends.
double paintLegend(Canvas &c, const QList<PictureRun> &runs, const QPalette &palette, double W)
{
    const double lh = c.lineHeight();
    const double pad = lh * 0.5;
    double y = pad;
    for (int r = 0; r < int(runs.size()); ++r) {
        const QColor colour = HistogramPicture::runColour(palette, r);
        c.bar(pad, pad + lh * 0.8, y + lh * 0.2, y + lh * 0.85, colour);
        const QString text =
            c.metrics->elidedText(legendText(runs[r]), Qt::ElideRight, W - 2 * pad - lh * 1.2);
        c.label(QRectF(pad + lh * 1.2, y, W, lh), Qt::AlignLeft | Qt::AlignVCenter, text);
        y += lh * 1.1;
    }
    return y;
}

// What the histogram shows of the runs: the bins up to the longest
// non-empty one below the overflow bin, and the periods, on a rounded range;
// counts up to a power of ten.
struct HistogramScope
{
    double rangeMs = 1.0;
    int topDecade = 1;
    QList<int> periods; // those below the overflow bin, each once
    bool anyOverflow = false;
    bool anyTimeline = false;
};

HistogramScope scopeOf(const QList<PictureRun> &runs)
{
    HistogramScope scope;
    double neededMs = 1.0;
    quint64 mostCounted = 0;
    for (const PictureRun &run : runs) {
        const RunStatistics &statistics = run.record.statistics;
        for (int i = 0; i < RunStatistics::Bins; ++i) {
            const quint64 n = statistics.bins[size_t(i)];
            mostCounted = std::max(mostCounted, n);
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
    scope.topDecade =
        mostCounted > 0 ? std::max(1, int(std::floor(std::log10(double(mostCounted)))) + 1) : 1;
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
    for (int d = 0; d <= g.scope.topDecade; ++d)
        countLabels = std::max(countLabels, c.powerWidth(d));
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
    g.yOf = {LogFloor, double(g.scope.topDecade), g.plotBottom, g.plotTop};
    return g;
}

// Decades of the count axis: grid lines and labels, every one where they
// fit, else every second or fifth.
void paintCountAxis(Canvas &c, const HistogramLayout &g)
{
    const double lh = g.lh;
    const double decadeHeight = (g.plotBottom - g.plotTop) / (g.scope.topDecade - LogFloor);
    const int labelEvery = decadeHeight >= lh * 1.1 ? 1 : decadeHeight * 2 >= lh * 1.1 ? 2 : 5;
    for (int d = 0; d <= g.scope.topDecade; ++d) {
        const double yd = g.yOf(d);
        c.line(g.plotLeft, yd, g.plotRight, yd, c.grid);
        c.line(g.panelLeft, yd, g.panelRight, yd, c.grid);
        if (d % labelEvery == 0)
            c.power(g.plotLeft - lh * 0.3, yd, d);
    }
    c.sideTitle(QRectF(g.pad, g.plotTop, lh * 1.2, g.plotBottom - g.plotTop), "intervals (log)");
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
            c.bar(left, left + share, g.yOf(std::log10(double(n))), g.plotBottom, colour);
        }
        const quint64 over = statistics.bins[RunStatistics::OverflowBin];
        if (over != 0) {
            const double slot = (g.panelWidth - lh * 0.8) / g.runCount;
            const double left = g.panelLeft + lh * 0.4 + r * slot;
            c.bar(left, left + slot, g.yOf(std::log10(double(over))), g.plotBottom, colour);
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

QColor HistogramPicture::runColour(const QPalette &palette, int i)
{
    const QColor first = palette.color(QPalette::Highlight).toHsl();
    static const int turns[] = {0, 180, 90, 270};
    const int hue = first.hslHue() < 0 ? 210 : first.hslHue();
    return QColor::fromHsl((hue + turns[i % 4]) % 360, std::max(first.hslSaturation(), 120),
                           std::clamp(first.lightness(), 70, 150));
}

void HistogramPicture::paint(QPainter &painter, const QRect &area, const QPalette &palette) const
{
    const double W = area.width();
    const double H = area.height();
    if (W < 40 || H < 40)
        return;
    painter.save();
    painter.setClipRect(area);
    painter.translate(area.topLeft());
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setRenderHint(QPainter::TextAntialiasing, true);
    Canvas c(painter, palette, fontPixels(W, H));
    painter.fillRect(QRectF(0, 0, W, H), c.base);

    const double legendBottom = paintLegend(c, shown, palette, W);
    const std::optional<HistogramLayout> layout =
        histogramLayout(c, shown, QSizeF(W, H), legendBottom);
    if (layout) {
        paintCountAxis(c, *layout);
        paintIntervalAxis(c, *layout);
        paintBars(c, shown, palette, *layout);
        paintPeriods(c, *layout);
        paintAxes(c, *layout);
        if (layout->withTimeline)
            paintTimeline(c, shown, palette, layout->scope.periods, layout->timelineBox);
    }
    painter.restore();
}

QString HistogramPicture::fileFormat(const QString &path)
{
    const QString lower = path.toLower();
    if (lower.endsWith(".png"))
        return "png";
#ifdef VANTREL_WITH_SVG
    if (lower.endsWith(".svg"))
        return "svg";
#endif
    return QString();
}

QString HistogramPicture::fileEndings()
{
#ifdef VANTREL_WITH_SVG
    return ".png or .svg";
#else
    return ".png";
#endif
}

bool HistogramPicture::write(QIODevice *device, const QString &format, const QPalette &palette,
                             QString *error, QSize size) const
{
#ifdef VANTREL_WITH_SVG
    if (format == "svg") {
        QSvgGenerator svg;
        svg.setOutputDevice(device);
        svg.setSize(size);
        svg.setViewBox(QRect(QPoint(0, 0), size));
        // A pixel of the PNG is a pixel of a screen at 96 dpi.
        svg.setResolution(96);
        svg.setTitle("Vantrel: intervals between ticks");
        QPainter painter;
        if (!painter.begin(&svg)) {
            *error = "cannot draw an SVG there";
            return false;
        }
        paint(painter, QRect(QPoint(0, 0), size), palette);
        painter.end();
        return true;
    }
#endif
    if (format != "png") {
        *error = "pictures are written as " + fileEndings();
        return false;
    }
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(palette.color(QPalette::Base));
    QPainter painter(&image);
    paint(painter, image.rect(), palette);
    painter.end();
    if (!image.save(device, "PNG")) {
        *error = device->errorString().isEmpty() ? "the PNG could not be written"
                                                 : device->errorString();
        return false;
    }
    return true;
}

bool HistogramPicture::writeFile(const QString &path, const QPalette &palette, QString *error,
                                 QSize size) const
{
    const QString format = fileFormat(path);
    if (format.isEmpty()) {
        *error = "pictures are written as " + fileEndings();
        return false;
    }
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        *error = file.errorString();
        return false;
    }
    if (!write(&file, format, palette, error, size))
        return false;
    if (!file.flush()) {
        *error = file.errorString();
        return false;
    }
    return true;
}
