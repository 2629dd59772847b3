// SPDX-License-Identifier: MIT
#include "histogrampicture.h"

#include "picturecanvas.h"
#include "picturehistogram.h"
#include "picturelateness.h"
#include "picturetimeline.h"

#include <QFile>
#include <QImage>
#include <QPainter>
#ifdef VANTREL_WITH_SVG
#include <QSvgGenerator>
#endif

#include <algorithm>

using namespace picture;

namespace {

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
    // A timed clock's lateness takes the foot of the picture.
    const double lateness = latenessHeight(c, shown, H);
    if (const std::optional<TimelinePlace> timeline =
            paintHistogram(c, shown, palette, QSizeF(W, H - lateness), legendBottom))
        paintTimeline(c, shown, palette, timeline->periods, timeline->box);
    if (lateness > 0)
        paintLateness(c, shown, palette, QRectF(0, H - lateness, W, lateness));
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
