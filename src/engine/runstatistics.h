// SPDX-License-Identifier: MIT
// One reading of a run's statistics, taken at one moment: what the report,
// the JSON and every other reader show, so that the rows of one table always
// add up to its total.
#pragma once

#include <QtGlobal>

#include <array>

// What the kernel's receive stamps tell about the datagrams a run drained,
// beside the ticks and off the report's table. Arrival intervals lie between
// the stamps of successive datagrams: the sender's and the network's
// regularity, as the kernel saw it. Lateness is a wake-up's time minus the
// stamp of the first datagram it drained: how long this machine took to run
// the receiver. The stamps are on their own clock (Linux: CLOCK_REALTIME);
// the wake-up's counter reading is moved onto it by the offset between the
// two clocks, sampled at that wake-up.
struct ReceiveTiming
{
    enum Stamps {
        StampsNotAsked, // no receiving socket yet
        StampsOn,       // the kernel agreed to stamp the socket's datagrams
        StampsRefused   // it did not, or this OS layer has none
    };
    static constexpr int ArrivalBins = 300; // 0.1 ms each, as the ticks' histogram
    static constexpr int ArrivalOverflowBin = ArrivalBins - 1;
    static constexpr int LatenessBins = 1001; // 1 us each up to 1 ms; the last, all later
    static constexpr int LatenessOverflowBin = LatenessBins - 1;

    int stamps = StampsNotAsked;
    quint64 stampedDatagrams = 0;
    quint64 unstampedDatagrams = 0;
    // bin i: intervals nearest i x 0.1 ms; the last, all longer
    std::array<quint64, ArrivalBins> arrival{};
    double arrivalSum = 0.0; // seconds, all arrival intervals
    double maxArrival = 0.0; // seconds, the longest in the overflow bin
    // bin i: wake-ups i to i + 1 us after the first datagram's stamp
    std::array<quint64, LatenessBins> lateness{};
    double maxLateness = 0.0; // seconds, the longest in the overflow bin
    qint64 clockOffsetNs = 0; // stamp clock minus counter clock, at the latest stamped wake-up

    quint64 arrivals() const
    {
        quint64 total = 0;
        for (const quint64 count : arrival)
            total += count;
        return total;
    }
    quint64 wakeUps() const
    {
        quint64 total = 0;
        for (const quint64 count : lateness)
            total += count;
        return total;
    }
};

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
    ReceiveTiming receive;            // from the kernel's stamps on drained datagrams

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
