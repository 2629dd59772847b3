// SPDX-License-Identifier: MIT
// One reading of the timed clocks' lateness: each timer tick's wake-up minus
// its deadline, in bins of 1 us, and the deadlines that passed without a
// tick of their own. Beside the interval table, never instead of it.
#pragma once

#include <QtGlobal>

#include <algorithm>
#include <array>

struct LatenessStatistics
{
    // Early ticks (a relative deadline met before its time, or the clocks
    // disagreeing) keep their sign: 1 ms of early bins is plenty for that,
    // and bin 0 also takes anything earlier. Late ones get 10 ms of bins,
    // then the overflow bin.
    static constexpr int EarlyBins = 1000;    // from -1 ms up to 0
    static constexpr int LateBins = 10000;    // from 0 up to 10 ms
    static constexpr int ZeroBin = EarlyBins; // 0 up to 1 us late
    static constexpr int Bins = EarlyBins + LateBins + 1;
    static constexpr int OverflowBin = Bins - 1; // 10 ms late and more

    enum Deadlines {
        NoDeadlines,   // no timer tick yet, or a clock without a period
        GridDeadlines, // "Win32 Periodic": a fixed grid from the timer's start
        TickDeadlines  // "Qt msleep", "QTimer Event": the previous tick plus the period
    };

    int deadlines = NoDeadlines;
    // bin i: wake-ups (i - ZeroBin) to (i - ZeroBin + 1) us after their deadline
    std::array<quint64, Bins> bins{};
    quint64 wakeUps = 0;      // ticks in the bins
    quint64 overruns = 0;     // grid deadlines that passed with no tick of their own
    double minLateness = 0.0; // seconds, exact; negative: early
    double maxLateness = 0.0;
    double sumLateness = 0.0;

    double meanLateness() const { return wakeUps ? sumLateness / double(wakeUps) : 0.0; }

    // The lateness of the wake-up at perMille thousandths of the ranks,
    // exact to its bin: the bin's floor in seconds (10 ms for the overflow
    // bin: "10 ms or more"; the exact minimum for the first bin, which has no
    // floor). 0 without wake-ups. p50, p90, p99 and p99.9 are 500, 900, 990
    // and 999.
    double percentile(int perMille) const
    {
        if (wakeUps == 0)
            return 0.0;
        // The rank, rounded up in whole numbers: no share lands beside a bin.
        const quint64 rank = std::max<quint64>(1, (wakeUps * quint64(perMille) + 999) / 1000);
        quint64 seen = 0;
        for (int i = 0; i < Bins; ++i) {
            seen += bins[size_t(i)];
            if (seen >= rank)
                return binFloor(i);
        }
        return 0.0; // not reached: the bins hold wakeUps
    }

    double binFloor(int bin) const
    {
        if (bin == 0)
            return minLateness;
        return double(bin - ZeroBin) * 1e-6;
    }
};
