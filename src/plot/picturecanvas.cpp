// SPDX-License-Identifier: MIT
#include "picturecanvas.h"

#include <QGuiApplication>
#include <QLocale>

#include <algorithm>

namespace picture {

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

QColor mix(const QColor &a, const QColor &b, double share)
{
    return QColor::fromRgbF(float(a.redF() * (1 - share) + b.redF() * share),
                            float(a.greenF() * (1 - share) + b.greenF() * share),
                            float(a.blueF() * (1 - share) + b.blueF() * share));
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

Canvas::Canvas(QPainter &painter, const QPalette &palette, int fontPixels)
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

} // namespace picture
