// SPDX-License-Identifier: MIT
// One reading of a run's statistics, taken at one moment: what the report,
// the JSON and every other reader show, so that the rows of one table always
// add up to its total.
#pragma once

#include <QtGlobal>

#include <array>

struct RunStatistics
{
    static constexpr int Bins = 300; // 0.1 ms each
    static constexpr int OverflowBin = Bins - 1;

    std::array<quint64, Bins> bins{}; // bin i: intervals nearest i x 0.1 ms; the last, all longer
    quint64 tickCount = 0;            // ticks since the run started, counted or not
    double meanInterval = 0.0;        // seconds, over the latest complete window of 100 ticks
    double maxInterval = 0.0;         // seconds, the longest interval counted in the overflow bin
    qint64 datagramsDropped = -1;     // by the OS at the worker's full socket; -1: not known
    double floodRate = 0.0;           // datagrams a second, over one second, in a flood; 0: none

    // Whether the worker had to stop draining: datagrams came faster than
    // its share of the processor could take.
    bool flooded() const { return floodRate > 0.0; }

    // Intervals counted in the histogram, all bins together.
    quint64 counted() const
    {
        quint64 total = 0;
        for (const quint64 count : bins)
            total += count;
        return total;
    }

    // The seconds a bin's row is labelled with: i x 0.0001 (a product, not a
    // quotient), or the longest overflow for the last bin.
    double label(int bin) const { return bin == OverflowBin ? maxInterval : double(bin) * 0.0001; }
};
