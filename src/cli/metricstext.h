// SPDX-License-Identifier: MIT
// A run's statistics as Prometheus reads them (its text exposition format,
// version 0.0.4): the intervals as a histogram, the ticks, the 100-tick mean
// and the longest interval of the last 10 s, and the run's
// configuration with the scheduling its worker was granted. Every series is
// labelled with the clock mode and the period, and with the CPU when one of
// several workers (--cpus).
#pragma once

#include "latenessstatistics.h"
#include "platform.h"
#include "runsettings.h"
#include "runstatistics.h"
#include "runtimeline.h"
#include "spikereport.h"

#include <QByteArray>
#include <QList>
#include <QString>

class MetricsText
{
public:
    // cpu >= 0 labels every series cpu="N" (after the period): one worker of
    // --cpus, whose expositions merge() joins.
    explicit MetricsText(const RunSettings &settings, int cpu = -1);

    // The histogram's finite edges, as the bins whose upper edge each is:
    // bin b ends at (b + 0.5) x 0.1 ms. They depend on the period alone, so
    // they stay the same from run to run: every 0.1 ms within 0.25 ms of the
    // period, then wider steps to 20 ms away, and always 29.85 ms, where the
    // overflow bin (+Inf) begins.
    static QList<int> edgeBins(int periodMs);
    static double edgeSeconds(int bin) { return double(2 * bin + 1) * 0.00005; }

    // One scrape of these statistics and this timeline. granted is null
    // while the worker has not yet said which scheduling it got; the info
    // metric waits for it. Depends on its arguments alone: every scraper
    // reads the same.
    // lateness, for a timed clock, adds its histogram and the overruns.
    QByteArray render(const RunStatistics &now, const RunTimeline &timeline,
                      const platform::ThreadScheduling *granted,
                      const LatenessStatistics *lateness = nullptr) const;

    // The lateness histogram's finite edges in us, as a tuner reads them.
    static QList<int> latenessEdgesMicros()
    {
        return {1, 2, 5, 10, 20, 50, 100, 200, 500, 1000, 2000, 5000, 10000};
    }

    // The longest counted interval in the timeline's slots that cover the
    // last seconds up to its latest tick: exact, never reset by a reader.
    // NaN when those slots counted none.
    static constexpr double RecentSeconds = 10.0;
    static double longestRecent(const RunTimeline &timeline, double seconds = RecentSeconds);

    // The run's spikes counted per cause, every cause always present.
    QByteArray renderSpikes(const SpikeReport &spikes) const;

    // Several workers' expositions as one: each family's HELP and TYPE
    // once, then its samples from every exposition in their order, so that
    // a family's samples stay together. Families in the order first seen.
    static QByteArray merge(const QList<QByteArray> &expositions);

    static const char *contentType() { return "text/plain; version=0.0.4; charset=utf-8"; }

private:
    QString labels; // clock_mode="...",period_ms="..."[,cpu="..."]
    bool cpuLabelled = false;
    RunSettings settings;
    QList<int> edges;
};
