// SPDX-License-Identifier: MIT
// The timeline under the histogram: when in the runs the long intervals
// came, and how many ticks each second had.
#pragma once

#include "histogrampicture.h"
#include "picturecanvas.h"
#include "spikereport.h"

#include <QRectF>

namespace picture {

// In box: the longest interval of each slot on a log scale, and the ticks
// per second, over the time of the longest run; the periods dashed.
void paintTimeline(Canvas &c, const QList<PictureRun> &runs, const QPalette &palette,
                   const QList<int> &periods, const QRectF &box);

// The newest judged spikes, as the timeline marks them.
QList<PictureSpike> pictureSpikes(const SpikeReport &spikes);

} // namespace picture
