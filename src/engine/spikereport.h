// SPDX-License-Identifier: MIT
// The run's judged spikes as the surfaces show them: the report's section,
// the counts line, and the JSON object.
#pragma once

#include "spikesampler.h"
#include "spikeverdict.h"

#include <QJsonObject>
#include <QString>

struct SpikeReport
{
    SpikeStore store;
    SpikeSources sources;
    qint64 thresholdNs = -1; // -1: not yet known (no lateness yet)
    bool given = false;      // --spike-above, not the run's median
    quint64 dropped = 0;     // spikes the full ring turned away
    bool samplerOffCpu = false;
    qint64 startNs = 0; // the run's stopwatch zero on the spikes' clock

    // A spike's time in the run, in seconds.
    double secondsIn(const SpikeRecord &record) const
    {
        return double(record.timeNs - startNs) / 1e9; // divided: exact ns print short
    }

    // "Why the long intervals came": counts per cause and the worst ten.
    QString section(int worst = 10) const;
    // One line of counts per cause, for the reports along the way.
    QString countsLine() const;
    // Which sources are used, and what root (the kernel's trace) would add.
    QString sourcesText() const;
    QJsonObject toJson() const;
    // Who held the CPU, from the trace: "burster (pid 4242, realtime 90,
    // 1980.0 us)"; empty when the trace named nobody.
    static QString culpritText(const SpikeTrace &trace);
    // The cause as the report and the window print it, with its culprit.
    static QString causeText(const JudgedSpike &spike);
};
