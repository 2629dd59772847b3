// SPDX-License-Identifier: MIT
#include "histogrampicture.h"

#include <QBuffer>
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

// The timeline under the histogram, in box: the longest interval of each
// slot on a log scale, and the ticks per second, over the time of the
// longest run.
void paintTimeline(Canvas &c, const QList<PictureRun> &runs, const QPalette &palette,
                   const QList<int> &periods, const QRectF &box)
{
    const double lh = c.lineHeight();
    const int runCount = int(runs.size());
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
    // At least a third of a decade under the shortest, so that it stands clear of the floor.
    const int lowDecade = int(std::floor(std::log10(shortestMax) - 0.3));
    const int highDecade = std::max(lowDecade + 1, int(std::ceil(std::log10(longestMax) + 1e-9)));
    const double rateTop = atLeast(mostRate * 1.15,
                                   {10, 20, 50, 100, 200, 500, 1000, 1200, 1500, 2000, 5000, 10000,
                                    20000, 50000, 100000, 200000, 500000, 1e6, 1e7});

    const double timelineTop = box.top();
    const double timeAxis = box.bottom() - lh * 2.2;
    const double rateHeight = (timeAxis - timelineTop) * 0.36;
    const double rateTopY = timeAxis - rateHeight;
    const double maxBottom = rateTopY - lh * 1.1;
    const double left = box.left();
    const double right = box.right();
    const Linear tOf{0.0, runSeconds, left, right};
    const Linear mOf{double(lowDecade), double(highDecade), maxBottom, timelineTop};
    const Linear rOf{0.0, rateTop, timeAxis, rateTopY};

    // Grid and labels of both strips.
    const int decades = highDecade - lowDecade;
    const int maxEvery = (maxBottom - timelineTop) / decades >= lh * 1.05 ? 1 : 2;
    for (int d = lowDecade; d <= highDecade; ++d) {
        const double yd = mOf(d);
        c.line(left, yd, right, yd, c.grid);
        if ((d - lowDecade) % maxEvery == 0)
            c.label(QRectF(0, yd - lh / 2, left - lh * 0.3, lh), Qt::AlignRight | Qt::AlignVCenter,
                    decade(d));
    }
    c.line(left, rOf(rateTop), right, rOf(rateTop), c.grid);
    c.label(QRectF(0, rOf(rateTop) - lh / 2, left - lh * 0.3, lh),
            Qt::AlignRight | Qt::AlignVCenter, QString::number(rateTop, 'g', 7) + "/s");
    c.label(QRectF(0, timeAxis - lh / 2, left - lh * 0.3, lh), Qt::AlignRight | Qt::AlignVCenter,
            "0/s");
    const double pad = lh * 0.5;
    c.sideTitle(QRectF(pad, timelineTop, lh * 1.2, maxBottom - timelineTop), "longest");
    c.sideTitle(QRectF(pad, rateTopY, lh * 1.2, timeAxis - rateTopY), "ticks");

    // Each run's slots, gathered into the pixel columns they cover (many
    // to a column on a long run): the longest interval as a step line over
    // a light fill, so that two runs show through each other, and the tick
    // rate as a line, a column's lowest to highest where it holds several.
    // All in whole-pixel rectangles: crisp, and quick for hundreds of slots.
    const int columnCount = std::max(1, int(right - left));
    const double lineWidth = std::max(2.0, std::round(lh / 7.0));
    std::vector<std::vector<Column>> columns;
    for (const PictureRun &run : runs)
        columns.push_back(columnsOf(run.record.timeline, tOf, left, columnCount));
    // The fills: one polygon each, so that an SVG shows no seams in them.
    c.p.setPen(Qt::NoPen);
    for (int r = 0; r < runCount; ++r) {
        QColor fill = HistogramPicture::runColour(palette, r);
        fill.setAlphaF(0.3f);
        QPolygonF outline{QPointF(left, maxBottom)};
        forEachStretch(columns[size_t(r)], [&](int from, int to, const Column &column) {
            const double y = column.longest > 0 ? mOf(std::log10(column.longest)) : maxBottom;
            outline << QPointF(left + from, y) << QPointF(left + to, y);
        });
        outline << QPointF(outline.last().x(), maxBottom);
        c.p.setBrush(fill);
        c.p.drawPolygon(outline);
    }
    c.p.setBrush(Qt::NoBrush);
    for (int r = 0; r < runCount; ++r) {
        const QColor colour = HistogramPicture::runColour(palette, r);
        const double half = lineWidth / 2;
        double lastLongest = maxBottom;
        double lastLow = -1.0; // the previous stretch's rate, as pixel rows
        double lastHigh = -1.0;
        forEachStretch(columns[size_t(r)], [&](int from, int to, const Column &column) {
            const double x0 = left + from;
            const double x1 = left + to;
            const double y = column.longest > 0 ? mOf(std::log10(column.longest)) : maxBottom;
            c.bar(x0 - half, x0 + half, std::min(y, lastLongest) - half,
                  std::max(y, lastLongest) + half, colour);
            if (column.longest > 0)
                c.bar(x0 - half, x1 + half, y - half, y + half, colour);
            lastLongest = y;

            if (column.rateLow < 0) {
                lastLow = lastHigh = -1.0;
                return;
            }
            const double high = rOf(column.rateHigh);
            const double low = rOf(column.rateLow);
            c.bar(x0, x1, high - half, low + half, colour);
            if (lastLow >= 0)
                c.bar(x0 - half, x0 + half, std::min(high, lastHigh) - half,
                      std::max(low, lastLow) + half, colour);
            lastLow = low;
            lastHigh = high;
        });
    }

    // The period in the longest-interval strip, the rate it promises in the
    // tick strip.
    for (const int period : periods) {
        const double ym = mOf(std::log10(period / 1000.0));
        c.line(left, ym, right, ym, c.text, 1.0, Qt::DashLine);
        const double yr = rOf(1000.0 / period);
        c.line(left, yr, right, yr, c.text, 1.0, Qt::DashLine);
    }

    // The time axis, in s, min or h as the run's length asks.
    const double unit = runSeconds > 3 * 3600 ? 3600.0 : runSeconds > 300 ? 60.0 : 1.0;
    const QString unitName = unit == 3600.0 ? "h" : unit == 60.0 ? "min" : "s";
    const double tStep =
        tickStep(runSeconds / unit, (c.width("0000") + lh) * runSeconds / unit / (right - left));
    for (double t = 0.0; t <= runSeconds / unit + tStep * 1e-6; t += tStep) {
        const double x = tOf(t * unit);
        c.line(x, timeAxis, x, timeAxis + lh * 0.25, c.text);
        c.label(QRectF(x - 50, timeAxis + lh * 0.25, 100, lh), Qt::AlignHCenter | Qt::AlignTop,
                number(t, tStep));
    }
    c.line(left, timelineTop, left, maxBottom, c.text);
    c.line(left, maxBottom, right, maxBottom, c.text);
    c.line(left, rateTopY, left, timeAxis, c.text);
    c.line(left, timeAxis, right, timeAxis, c.text);
    // On a long run, slots of more than a second: say how long a step is.
    double slotSeconds = 1.0;
    for (const PictureRun &run : runs)
        slotSeconds = std::max(slotSeconds, run.record.timeline.slotSeconds);
    const QString slotText =
        QString("time in run (%1), a step per %2")
            .arg(unitName,
                 slotSeconds == 1.0 ? QString("second") : QString("%1 s").arg(slotSeconds));
    c.label(QRectF(left, timeAxis + lh * 1.15, right - left, lh), Qt::AlignCenter, slotText);
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

    // Text at least as large as the application's, larger in a large
    // picture, smaller only where the picture is too small for it.
    const QFont appFont = QGuiApplication::font();
    const double appPixels =
        appFont.pixelSize() > 0 ? appFont.pixelSize() : appFont.pointSizeF() * 96.0 / 72.0;
    const double wanted = std::clamp(std::sqrt(W * H) / 55.0, appPixels, 28.0);
    const int fontPixels = int(std::lround(std::max(8.0, std::min({wanted, H / 20.0, W / 40.0}))));
    Canvas c(painter, palette, fontPixels);
    painter.fillRect(QRectF(0, 0, W, H), c.base);

    const int runCount = int(shown.size());
    const double lh = c.lineHeight();
    const double pad = lh * 0.5;

    // The legend: a swatch and a line per run.
    double y = pad;
    for (int r = 0; r < runCount; ++r) {
        const QColor colour = runColour(palette, r);
        c.bar(pad, pad + lh * 0.8, y + lh * 0.2, y + lh * 0.85, colour);
        const QString text =
            c.metrics->elidedText(legendText(shown[r]), Qt::ElideRight, W - 2 * pad - lh * 1.2);
        c.label(QRectF(pad + lh * 1.2, y, W, lh), Qt::AlignLeft | Qt::AlignVCenter, text);
        y += lh * 1.1;
    }

    // What the histogram shows: the bins up to the longest non-empty one
    // below the overflow bin, and the period, on a rounded range.
    double neededMs = 1.0;
    quint64 mostCounted = 0;
    QList<int> periods;
    bool anyOverflow = false;
    for (const PictureRun &run : shown) {
        const RunStatistics &statistics = run.record.statistics;
        for (int i = 0; i < RunStatistics::Bins; ++i) {
            const quint64 n = statistics.bins[size_t(i)];
            mostCounted = std::max(mostCounted, n);
            if (n != 0 && i < RunStatistics::OverflowBin)
                neededMs = std::max(neededMs, (i + 0.5) * BinMs);
        }
        anyOverflow = anyOverflow || statistics.bins[RunStatistics::OverflowBin] != 0;
        const int period = run.record.settings.periodMs;
        if (period > 0 && period < OverflowFromMs && !periods.contains(period)) {
            periods << period;
            neededMs = std::max(neededMs, period * 1.2);
        }
    }
    const double rangeMs =
        atLeast(neededMs, {1, 1.5, 2, 2.5, 3, 4, 5, 6, 8, 10, 12, 15, 20, 25, 30});
    const int topDecade =
        mostCounted > 0 ? std::max(1, int(std::floor(std::log10(double(mostCounted)))) + 1) : 1;

    // Above the plot, a band for the period's and the overflow bar's labels.
    const double bandTop = y + lh * 0.2;
    const int overflowLabels = anyOverflow ? runCount : 0;
    const double plotTop = bandTop + lh * std::max(1, overflowLabels) + lh * 0.3;

    // Below it the tick labels and the axis title; then the timeline, if the
    // picture is tall enough and a run has one.
    bool anyTimeline = false;
    for (const PictureRun &run : shown)
        anyTimeline = anyTimeline || run.record.timeline.used > 0;
    const bool withTimeline = anyTimeline && H >= 300;
    const double axisBlock = lh * 2.3;
    const double timelineBlock = withTimeline ? std::max(lh * 7.5, H * 0.36) : 0.0;
    const double plotBottom = H - pad - axisBlock - timelineBlock;

    // Left: the side title and the widest count label.
    double countLabels = 0;
    for (int d = 0; d <= topDecade; ++d)
        countLabels = std::max(countLabels, c.powerWidth(d));
    const double timelineLabels = c.width("0.01 ms");
    const double plotLeft = pad + lh * 1.3 + std::max(countLabels, timelineLabels) + lh * 0.4;

    // Right: the overflow bar's own panel, set apart from the bins.
    const QString overflowTick = QString::fromUtf8("\u2265%1").arg(OverflowFromMs, 0, 'f', 2);
    const double panelWidth = std::max(c.width(overflowTick) + lh * 0.6, lh * 2.5);
    const double panelRight = W - pad * 2;
    const double panelLeft = panelRight - panelWidth;
    const double plotRight = panelLeft - lh * 0.9;

    if (plotBottom - plotTop < lh * 2 || plotRight - plotLeft < lh * 4) {
        painter.restore();
        return;
    }

    const Linear xOf{0.0, rangeMs, plotLeft, plotRight};
    const Linear yOf{LogFloor, double(topDecade), plotBottom, plotTop};

    // Decades of the count axis: grid lines and labels, every one where
    // they fit, else every second or fifth.
    const double decadeHeight = (plotBottom - plotTop) / (topDecade - LogFloor);
    const int labelEvery = decadeHeight >= lh * 1.1 ? 1 : decadeHeight * 2 >= lh * 1.1 ? 2 : 5;
    for (int d = 0; d <= topDecade; ++d) {
        const double yd = yOf(d);
        c.line(plotLeft, yd, plotRight, yd, c.grid);
        c.line(panelLeft, yd, panelRight, yd, c.grid);
        if (d % labelEvery == 0)
            c.power(plotLeft - lh * 0.3, yd, d);
    }
    c.sideTitle(QRectF(pad, plotTop, lh * 1.2, plotBottom - plotTop), "intervals (log)");

    // The interval axis: ticks in ms.
    const double msPerPixel = rangeMs / (plotRight - plotLeft);
    const double step = tickStep(rangeMs, (c.width("00.0") + lh) * msPerPixel);
    for (double ms = 0.0; ms <= rangeMs + step * 1e-6; ms += step) {
        const double x = xOf(ms);
        c.line(x, plotBottom, x, plotBottom + lh * 0.25, c.text);
        c.label(QRectF(x - 50, plotBottom + lh * 0.25, 100, lh), Qt::AlignHCenter | Qt::AlignTop,
                number(ms, step));
    }
    c.label(QRectF(plotLeft, plotBottom + lh * 1.2, plotRight - plotLeft, lh), Qt::AlignCenter,
            "interval between ticks (ms), 0.1 ms bins");
    c.label(QRectF(panelLeft - lh, plotBottom + lh * 0.25, panelWidth + 2 * lh, lh),
            Qt::AlignHCenter | Qt::AlignTop, overflowTick);
    c.label(QRectF(panelLeft - lh, plotBottom + lh * 1.2, panelWidth + 2 * lh, lh),
            Qt::AlignHCenter | Qt::AlignTop, "longer");

    // The bars: each bin's width shared by the runs, side by side.
    const double binWidth = (plotRight - plotLeft) * BinMs / rangeMs;
    const double gap = binWidth >= 6 ? std::max(1.0, binWidth * 0.12) : 0.0;
    const double share = (binWidth - gap) / std::max(1, runCount);
    for (int r = 0; r < runCount; ++r) {
        const QColor colour = runColour(palette, r);
        const RunStatistics &statistics = shown[r].record.statistics;
        for (int i = 0; i < RunStatistics::OverflowBin; ++i) {
            const quint64 n = statistics.bins[size_t(i)];
            if (n == 0 || (i - 0.5) * BinMs >= rangeMs)
                continue;
            const double left = std::max(plotLeft, xOf((i - 0.5) * BinMs) + gap / 2 + r * share);
            c.bar(left, left + share, yOf(std::log10(double(n))), plotBottom, colour);
        }
        const quint64 over = statistics.bins[RunStatistics::OverflowBin];
        if (over != 0) {
            const double slot = (panelWidth - lh * 0.8) / runCount;
            const double left = panelLeft + lh * 0.4 + r * slot;
            c.bar(left, left + slot, yOf(std::log10(double(over))), plotBottom, colour);
            c.label(QRectF(0, bandTop + r * lh, panelRight, lh), Qt::AlignRight | Qt::AlignVCenter,
                    "longest " + seconds(statistics.maxInterval), colour);
        }
    }

    // The period, dashed across the bins, labelled in the band above.
    for (const int period : periods) {
        const double x = xOf(period);
        c.line(x, plotTop - lh * 0.2, x, plotBottom, c.text, std::max(1.0, lh / 12.0),
               Qt::DashLine);
        const QString text = QString("period %1 ms").arg(period);
        const double w = c.width(text);
        const double left = std::clamp(x - w / 2, plotLeft, plotRight - w);
        c.label(QRectF(left, bandTop, w, lh), Qt::AlignCenter, text);
    }

    // The axes, over the bars' feet.
    c.line(plotLeft, plotTop, plotLeft, plotBottom, c.text);
    c.line(plotLeft, plotBottom, plotRight, plotBottom, c.text);
    c.line(panelLeft, plotBottom, panelRight, plotBottom, c.text);
    // The break between the bins and the overflow panel.
    for (const double x : {plotRight + lh * 0.25, plotRight + lh * 0.5})
        c.line(x - lh * 0.15, plotBottom + lh * 0.2, x + lh * 0.15, plotBottom - lh * 0.2, c.text);

    if (!withTimeline) {
        painter.restore();
        return;
    }

    paintTimeline(
        c, shown, palette, periods,
        QRectF(QPointF(plotLeft, plotBottom + axisBlock + lh * 0.3), QPointF(panelRight, H - pad)));
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
