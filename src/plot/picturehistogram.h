// SPDX-License-Identifier: MIT
// The histogram of the runs: the bins on a log scale of counts, the period
// marked, the overflow bars in a panel of their own.
#pragma once

#include "histogrampicture.h"
#include "picturecanvas.h"

#include <QRectF>
#include <QSizeF>

#include <optional>

namespace picture {

// Where the timeline goes under the histogram, and the periods it marks.
struct TimelinePlace
{
    QRectF box;
    QList<int> periods;
};

// Paints the histogram below the legend in a picture of this size; returns
// the timeline's place, or nothing where the picture has no room for it or
// no run has one.
std::optional<TimelinePlace> paintHistogram(Canvas &c, const QList<PictureRun> &runs,
                                            const QPalette &palette, QSizeF size,
                                            double legendBottom);

} // namespace picture
