// SPDX-License-Identifier: MIT
#include "spikereport.h"

#include <QJsonArray>
#include <QStringList>

namespace {

QString micros(qint64 ns)
{
    return QString::number(double(ns) / 1000.0, 'f', 1) + " us";
}

QJsonObject spikeJson(const JudgedSpike &spike, double seconds)
{
    return QJsonObject{{"tick", double(spike.record.tick)},
                       {"seconds", seconds},
                       {"latenessSeconds", double(spike.record.latenessNs) / 1e9},
                       {"intervalSeconds", double(spike.record.intervalNs) / 1e9},
                       {"cause", spikeCauseKey(spike.verdict.cause)},
                       {"measured", spike.verdict.measured}};
}

} // namespace

QString SpikeReport::sourcesText() const
{
    if (!sources.known)
        return "spike causes: the sources are not read yet";
    QStringList used;
    const struct
    {
        bool on;
        const char *name;
    } all[] = {{sources.runDelay, "run-delay"},    {sources.faults, "page faults"},
               {sources.interrupts, "interrupts"}, {sources.softirqs, "softirqs"},
               {sources.steal, "steal"},           {sources.timerSlack, "timer slack"}};
    for (const auto &source : all)
        if (source.on)
            used << source.name;
    QString text = "spike causes from " + (used.isEmpty() ? QString("no source") : used.join(", "));
    text += sources.traceAllowed
        ? QString("; the kernel's scheduler trace is readable but not used yet")
        : QString("; inferred, not traced: the kernel's scheduler trace would name the task "
                  "that held the CPU (%1)")
              .arg(QString::fromStdString(sources.traceWhyNot));
    return text;
}

QString SpikeReport::countsLine() const
{
    QStringList counts;
    for (int i = 0; i < SpikeCauseCount; ++i)
        if (const quint64 n = store.count(SpikeCause(i)))
            counts << QString("%1 %2").arg(spikeCauseKey(SpikeCause(i))).arg(n);
    return QString("spikes: %1%2")
        .arg(store.total())
        .arg(counts.isEmpty() ? QString() : " (" + counts.join(", ") + ")");
}

QString SpikeReport::section(int worst) const
{
    QString text = "\nWhy the long intervals came\n";
    text += thresholdNs < 0 ? QString("  spike threshold: not known (no lateness measured)\n")
                            : QString("  spike threshold: lateness over %1%2\n")
                                  .arg(micros(thresholdNs), given ? " (--spike-above)" : "");
    text += "  " + sourcesText() + "\n";
    if (store.total() == 0) {
        text += "  no spikes\n";
        return text;
    }
    text += QString("  %1 spikes%2\n")
                .arg(store.total())
                .arg(dropped ? QString(", %1 more not judged (the ring was full)").arg(dropped)
                             : QString());
    for (int i = 0; i < SpikeCauseCount; ++i)
        if (const quint64 n = store.count(SpikeCause(i)))
            text += QString("  %1  %2\n").arg(n, 8).arg(spikeCauseText(SpikeCause(i)));
    const std::vector<JudgedSpike> worstKept = store.worst();
    text += QString("  the %1 worst:\n").arg(std::min<int>(worst, int(worstKept.size())));
    text += "      time s    lateness    interval  cause\n";
    for (int i = 0; i < worst && i < int(worstKept.size()); ++i) {
        const JudgedSpike &spike = worstKept[size_t(i)];
        text += QString("  %1  %2  %3  %4, %5\n")
                    .arg(secondsIn(spike.record), 10, 'f', 3)
                    .arg(micros(spike.record.latenessNs), 10)
                    .arg(micros(spike.record.intervalNs), 10)
                    .arg(spikeCauseText(spike.verdict.cause),
                         spike.verdict.measured ? "measured" : "inferred");
    }
    return text;
}

QJsonObject SpikeReport::toJson() const
{
    QJsonObject counts;
    for (int i = 0; i < SpikeCauseCount; ++i)
        counts.insert(spikeCauseKey(SpikeCause(i)), double(store.count(SpikeCause(i))));
    QJsonArray newest, worstKept;
    for (const JudgedSpike &spike : store.newest())
        newest.append(spikeJson(spike, secondsIn(spike.record)));
    for (const JudgedSpike &spike : store.worst())
        worstKept.append(spikeJson(spike, secondsIn(spike.record)));
    const QJsonObject available{{"runDelay", sources.runDelay},
                                {"pageFaults", sources.faults},
                                {"interrupts", sources.interrupts},
                                {"softirqs", sources.softirqs},
                                {"steal", sources.steal},
                                {"timerSlack", sources.timerSlack},
                                {"trace", sources.traceAllowed},
                                {"traceWhyNot", QString::fromStdString(sources.traceWhyNot)}};
    // The cause keys stay snake_case: the metrics' cause label uses the same.
    // startClockSeconds + seconds places a spike on the spikes' clock.
    return QJsonObject{{"thresholdSeconds", thresholdNs < 0 ? -1.0 : double(thresholdNs) / 1e9},
                       {"thresholdGiven", given},
                       {"startClockSeconds", double(startNs) / 1e9},
                       {"total", double(store.total())},
                       {"dropped", double(dropped)},
                       {"counts", counts},
                       {"sources", available},
                       {"newest", newest},
                       {"worst", worstKept}};
}
