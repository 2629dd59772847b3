// SPDX-License-Identifier: MIT
// The picture of one run, or of two side by side: the histogram of intervals
// on a log scale with the period marked and the overflow bar labelled with
// its longest interval, and under it the timeline of the run, when in it the
// long intervals came; for a timed clock, the lateness after its deadlines
// at the foot. One painter for the screen and for files.
#pragma once

#include "runrecord.h"

#include <QList>
#include <QPalette>
#include <QSize>
#include <QString>

QT_BEGIN_NAMESPACE
class QIODevice;
class QPainter;
class QRect;
QT_END_NAMESPACE

// A judged spike on the timeline: when in the run, how long its interval
// was, and its cause (a SpikeCause's number).
struct PictureSpike
{
    double seconds = 0;
    double intervalSeconds = 0;
    int cause = 0;
};

// One run in the picture, and what its line of the legend calls it.
struct PictureRun
{
    QString name; // e.g. "this run" or a file's name; may be empty
    RunRecord record;
    QList<PictureSpike> spikes = {}; // marked on the timeline by cause
};

class HistogramPicture
{
public:
    // The size of a picture written to a file, in pixels.
    static constexpr int FileWidth = 960;
    static constexpr int FileHeight = 640;

    explicit HistogramPicture(QList<PictureRun> runs = {}) : shown(std::move(runs)) { }

    void setRuns(QList<PictureRun> runs) { shown = std::move(runs); }
    const QList<PictureRun> &runs() const { return shown; }

    // Paints into area, in palette's colours: the legend, the histogram and,
    // where the area is tall enough and a run has one, the timeline.
    void paint(QPainter &painter, const QRect &area, const QPalette &palette) const;

    // The colour run number i is drawn in: the palette's highlight, then
    // hues across the colour wheel from it.
    static QColor runColour(const QPalette &palette, int i);

    // "png" or "svg" for a path ending in .png or .svg (any case), where this
    // build writes that format, else empty.
    static QString fileFormat(const QString &path);
    // The endings fileFormat knows, for a sentence: ".png or .svg".
    static QString fileEndings();

    // The picture in that format (a QGuiApplication must exist): false, and
    // why in *error, when it could not be written.
    bool write(QIODevice *device, const QString &format, const QPalette &palette, QString *error,
               QSize size = QSize(FileWidth, FileHeight)) const;
    bool writeFile(const QString &path, const QPalette &palette, QString *error,
                   QSize size = QSize(FileWidth, FileHeight)) const;

private:
    QList<PictureRun> shown;
};
