// SPDX-License-Identifier: MIT
// How much of the worker's processor time arriving datagrams may take. A
// wake-up drains a bounded number of them; and once the worker has spent
// more than a bounded share of one CPU over about a second, it stops draining
// for a moment, so that a flood far above any rate a measurement needs costs
// no more than that share and the kernel drops the excess. Plain arithmetic
// on the times it is given: the worker reads the clocks.
#pragma once

#include <QtGlobal>

class DrainBudget
{
public:
    // Datagrams one wake-up drains at most before the worker is back in its
    // loop: a full default receive queue of 64-byte datagrams (Linux keeps
    // 256 of them in its 208 KiB), about half a millisecond of reading.
    static constexpr int DatagramsPerWakeUp = 256;
    // Share of one CPU the worker may spend on the receive side, on average.
    static constexpr double CpuShare = 0.6;
    // The share is held over about this long: a full second's share may be
    // spent at once, by a burst, before any pause.
    static constexpr double WindowSeconds = 1.0;
    // How often, while datagrams arrive, the thread's processor time is read.
    static constexpr double SampleSeconds = 0.01;
    // A pause gives back what the worker overspent, within these bounds.
    static constexpr double ShortestPause = 0.001;
    static constexpr double LongestPause = 0.1;

    // A run begins: the time and the thread's processor time in seconds
    // (negative: unknown), and the datagrams that arrived so far, read or
    // dropped.
    void start(double now, double cpuSeconds, quint64 arrived);

    bool sampleDue(double now) const { return now >= nextSample; }

    // Accounts for the processor time used since the last sample; returns
    // how long to stop draining, in seconds, or 0 to go on. Without a
    // processor time (negative) it never pauses.
    double sample(double now, double cpuSeconds, quint64 arrived);

    // Whether any pause was needed, and the mean rate, in datagrams a second,
    // at which datagrams arrived around the pauses.
    bool flooded() const { return floodSeconds > 0.0; }
    double floodRate() const { return flooded() ? double(floodArrivals) / floodSeconds : 0.0; }

private:
    double lastNow = 0.0;
    double lastCpu = -1.0;
    quint64 lastArrived = 0;
    double tokens = CpuShare * WindowSeconds; // processor seconds the worker may still spend
    double nextSample = 0.0;
    bool paused = false; // the latest sample asked for a pause
    double floodSeconds = 0.0;
    quint64 floodArrivals = 0;
};
