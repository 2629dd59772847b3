// SPDX-License-Identifier: MIT
// How much of the worker's processor time arriving datagrams may take. A
// wake-up drains a bounded number of them; and while the worker has spent
// more than a bounded share of one CPU over the last second, it stops
// draining for a moment at a time, so that a flood far above any rate a
// measurement needs costs no more than that share: what piles up meanwhile
// is drained in one go, which costs far less than a wake-up per datagram,
// and what the receive queue cannot hold the kernel drops. Plain arithmetic
// on the times it is given, no allocation: the worker reads the clocks.
#pragma once

#include <QtGlobal>

#include <array>

class DrainBudget
{
public:
    // Datagrams one wake-up drains at most before the worker is back in its
    // loop: a full default receive queue of 64-byte datagrams (Linux keeps
    // 256 of them in its 208 KiB), about half a millisecond of reading.
    static constexpr int DatagramsPerWakeUp = 256;
    // Share of one CPU the worker may spend on the receive side over the
    // last second. Measured on a 2-core VM: 100,000 datagrams a second over
    // loopback take it 25 to 45 %, so a measurement never meets the budget;
    // a flood held to it leaves a busy thread on the same CPU 40 %.
    static constexpr double CpuShare = 0.6;
    static constexpr double WindowSeconds = 1.0;
    // How often, while datagrams arrive, the thread's processor time is read.
    static constexpr double SampleSeconds = 0.01;
    // A moment: short enough that the default receive queue (256 datagrams
    // of 64 bytes) holds all that arrives in it at up to 256,000 a second,
    // so that no rate a measurement uses loses a datagram to a pause. Pauses
    // follow each other until the share is back within the budget.
    static constexpr double PauseSeconds = 0.001;

    // A run begins: the time and the thread's processor time in seconds
    // (negative: unknown), and the datagrams that arrived so far, read or
    // dropped. Before the run the worker counts as idle.
    void start(double now, double cpuSeconds, quint64 arrived);

    bool sampleDue(double now) const { return now >= nextSample; }

    // Takes the processor time used so far; returns how long to stop
    // draining, in seconds (PauseSeconds), or 0 to go on. Without a
    // processor time (negative) it never pauses.
    double sample(double now, double cpuSeconds, quint64 arrived);

    // Whether any pause was needed, and the highest rate, in datagrams a
    // second over the last second, at which datagrams had arrived (read or
    // dropped) when one was.
    bool flooded() const { return floodPeak > 0.0; }
    double floodRate() const { return floodPeak; }

private:
    struct Reading
    {
        double now;
        double cpu;
        quint64 arrived;
    };
    // Readings at least SampleSeconds apart; the oldest one kept is the
    // newest that is WindowSeconds old or more.
    static constexpr int Readings = 128;
    std::array<Reading, Readings> readings{};
    int oldest = 0;
    int count = 0;

    double nextSample = 0.0;
    double floodPeak = 0.0;
};
