// SPDX-License-Identifier: MIT
// The timed clocks' lateness under the histogram and timeline: the wake-ups
// after their deadline in 1 us bins, on a log scale of counts, with each
// run's p50, p99, max and overruns.
#pragma once

#include "histogrampicture.h"
#include "picturecanvas.h"

#include <QRectF>

namespace picture {

// Whether any run has a lateness to draw: a timed clock with wake-ups.
bool anyLateness(const QList<PictureRun> &runs);

// The panel's height in a picture of height H, or 0 where it has no room.
double latenessHeight(const Canvas &c, const QList<PictureRun> &runs, double H);

// In box: each run's lateness bins, the overflow bin (10 ms or more) in a
// slot of its own at the right, and a line of figures per run.
void paintLateness(Canvas &c, const QList<PictureRun> &runs, const QPalette &palette,
                   const QRectF &box);

} // namespace picture
