// SPDX-License-Identifier: MIT
// What the kernel's receive stamps tell (ReceiveTiming): the arrival
// intervals between datagrams, each wake-up's lateness after the first
// datagram it drained, and the offset between the stamp clock and the
// counter. Written by the worker as it drains, read from another thread.
#pragma once

#include "perfstopwatch.h"
#include "platform.h"
#include "runstatistics.h"

#include <QtGlobal>

#include <atomic>

class StampRecorder
{
public:
    StampRecorder() { reset(); }
    StampRecorder(const StampRecorder &) = delete;
    StampRecorder &operator=(const StampRecorder &) = delete;

    void reset();
    // Whether the kernel agreed to stamp the socket (a ReceiveTiming::Stamps).
    void setStamps(int stamps);
    bool refused() const;

    // A wake-up at wakeStampNs on the stamp clock; arrivalRow, when not
    // null, takes the arrival interval of its first stamped datagram.
    void beginWakeUp(qint64 wakeStampNs, double *arrivalRow)
    {
        wakeNs = wakeStampNs;
        row = arrivalRow;
        awaitingFirstStamp = true;
    }
    // One drained datagram; stopwatch holds the wake-up's counter reading.
    void noteStamp(const platform::PendingDatagram &datagram, const PerfStopwatch &stopwatch);

    ReceiveTiming timing() const;

private:
    std::atomic<int> stampState{ReceiveTiming::StampsNotAsked};
    std::atomic<quint64> stampedCount{0};
    std::atomic<quint64> unstampedCount{0};
    std::atomic<quint64> arrivalHistogram[ReceiveTiming::ArrivalBins];
    std::atomic<double> arrivalSum{0.0};
    std::atomic<double> maxArrival{0.0};
    std::atomic<quint64> latenessHistogram[ReceiveTiming::LatenessBins];
    std::atomic<double> maxLateness{0.0};
    std::atomic<qint64> clockOffset{0};
    // The writer's own: the previous datagram's stamp, whether the current
    // wake-up still awaits its first stamped datagram, the wake-up on the
    // stamp clock, and where that datagram's arrival interval goes.
    qint64 previousStampNs = 0;
    bool hasPreviousStamp = false;
    bool awaitingFirstStamp = false;
    qint64 wakeNs = 0;
    double *row = nullptr;
};
