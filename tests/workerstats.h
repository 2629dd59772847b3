// What several tests ask of a worker's statistics.
#pragma once

#include "engine/rtthread.h"

// Intervals counted in the histogram, all bins together.
inline quint64 histogramTotal(const RtThread &worker)
{
    quint64 total = 0;
    for (const auto &bin : worker.histogram)
        total += bin;
    return total;
}
