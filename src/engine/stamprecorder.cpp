// SPDX-License-Identifier: MIT
#include "stamprecorder.h"

#include "singlewriter.h"

#include <algorithm>
#include <limits>

void StampRecorder::reset()
{
    put(stampState, int(ReceiveTiming::StampsNotAsked));
    put(stampedCount, quint64(0));
    put(unstampedCount, quint64(0));
    for (auto &bin : arrivalHistogram)
        put(bin, quint64(0));
    put(arrivalSum, 0.0);
    put(maxArrival, 0.0);
    for (auto &bin : latenessHistogram)
        put(bin, quint64(0));
    put(maxLateness, 0.0);
    put(clockOffset, qint64(0));
    hasPreviousStamp = false;
    awaitingFirstStamp = false;
    row = nullptr;
}

void StampRecorder::setStamps(int stamps)
{
    put(stampState, stamps);
}

bool StampRecorder::refused() const
{
    return loadRelaxed(stampState) == ReceiveTiming::StampsRefused;
}

void StampRecorder::noteStamp(const platform::PendingDatagram &datagram,
                              const PerfStopwatch &stopwatch)
{
    if (!datagram.stamped) {
        bump(unstampedCount);
        return;
    }
    bump(stampedCount);

    double arrival = std::numeric_limits<double>::quiet_NaN();
    if (hasPreviousStamp) {
        arrival = double(datagram.stampNs - previousStampNs) * 1e-9;
        // Binned as the ticks are.
        const int bin = tenthMsBin(arrival, ReceiveTiming::ArrivalBins);
        bump(arrivalHistogram[bin]);
        put(arrivalSum, loadRelaxed(arrivalSum) + arrival);
        if (bin == ReceiveTiming::ArrivalOverflowBin && arrival > loadRelaxed(maxArrival))
            put(maxArrival, arrival);
    }
    previousStampNs = datagram.stampNs;
    hasPreviousStamp = true;

    if (!awaitingFirstStamp)
        return;
    awaitingFirstStamp = false;
    // The offset: the stamp clock's reading at the wake-up minus the
    // counter's, in nanoseconds. The wake-up on the stamp clock is the
    // counter's reading plus the offset, that is the stamp clock's reading.
    if (!stopwatch.unavailable) {
        const qint64 count = stopwatch.nowCount;
        const qint64 frequency = stopwatch.frequency;
        const qint64 counterNs = frequency == 1000000000
            ? count
            : (count / frequency) * 1000000000 + (count % frequency) * 1000000000 / frequency;
        put(clockOffset, wakeNs - counterNs);
    }
    // Never below 0 but by the few ns between the two readings; such a
    // wake-up counts as on time.
    const qint64 lateNs = std::max<qint64>(0, wakeNs - datagram.stampNs);
    const int bin = int(std::min<qint64>(lateNs / 1000, ReceiveTiming::LatenessOverflowBin));
    bump(latenessHistogram[bin]);
    if (bin == ReceiveTiming::LatenessOverflowBin &&
        double(lateNs) * 1e-9 > loadRelaxed(maxLateness))
        put(maxLateness, double(lateNs) * 1e-9);
    if (row)
        *row = arrival;
}

ReceiveTiming StampRecorder::timing() const
{
    ReceiveTiming receive;
    receive.stamps = loadRelaxed(stampState);
    receive.stampedDatagrams = loadRelaxed(stampedCount);
    receive.unstampedDatagrams = loadRelaxed(unstampedCount);
    for (int i = 0; i < ReceiveTiming::ArrivalBins; ++i)
        receive.arrival[size_t(i)] = loadRelaxed(arrivalHistogram[i]);
    receive.arrivalSum = loadRelaxed(arrivalSum);
    receive.maxArrival = loadRelaxed(maxArrival);
    for (int i = 0; i < ReceiveTiming::LatenessBins; ++i)
        receive.lateness[size_t(i)] = loadRelaxed(latenessHistogram[i]);
    receive.maxLateness = loadRelaxed(maxLateness);
    receive.clockOffsetNs = loadRelaxed(clockOffset);
    return receive;
}
