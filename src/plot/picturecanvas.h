// SPDX-License-Identifier: MIT
// What every part of the run's picture draws with: the painter with its
// colours and font, the scales, the numbers and the ticks of an axis.
#pragma once

#include <QColor>
#include <QFont>
#include <QFontMetricsF>
#include <QPainter>
#include <QPalette>
#include <QString>

#include <cmath>
#include <initializer_list>
#include <memory>

namespace picture {

inline const double BinMs = 0.1;
inline const double OverflowFromMs = 29.85; // the last bin takes every interval from here on
// The count axis starts half a decade under 1, so that a bin of one interval
// still shows as a bar.
inline const double LogFloor = -0.5;

struct Linear
{
    double from0, from1, to0, to1;
    double operator()(double value) const
    {
        return to0 + (value - from0) * (to1 - to0) / (from1 - from0);
    }
};

// The first of the steps at least this large, or the last.
double atLeast(double value, std::initializer_list<double> steps);

// A tick step for an axis of this length, so that labels of this width
// (in the axis's units) stay apart: 1, 2 or 5 times a power of ten.
double tickStep(double length, double labelLength);

// value with as many decimals as step needs.
QString number(double value, double step);
// A time, in ms below a second: "1.05 ms", "12.3 s".
QString seconds(double value);
// 10^d seconds: "0.1 ms", "1 ms", "10 s".
QString decade(int d);
// A count with thousands separated: "72,000".
QString count(quint64 value);

QColor mix(const QColor &a, const QColor &b, double share);

// Text at least as large as the application's, larger in a large picture,
// smaller only where the picture is too small for it.
int fontPixels(double W, double H);

// Everything a part of the picture needs: the painter, the colours, the
// font's measures.
class Canvas
{
public:
    Canvas(QPainter &painter, const QPalette &palette, int fontPixels);

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
    // A saved run can hold any value: a step that is not finite or positive,
    // or one too small to move v at this size, would never end the loop.
    if (!std::isfinite(last) || !std::isfinite(step) || step <= 0.0 || last / step > 1000.0)
        return;
    const double lh = c.lineHeight();
    for (double v = 0.0; v <= last + step * 1e-6; v += step) {
        const double x = at(v);
        c.line(x, y, x, y + lh * 0.25, c.text);
        c.label(QRectF(x - 50, y + lh * 0.25, 100, lh), Qt::AlignHCenter | Qt::AlignTop,
                number(v, step));
        if (v + step <= v)
            break;
    }
}

} // namespace picture
