// SPDX-License-Identifier: MIT
#include "spikereport.h"

#include <QJsonArray>
#include <QStringList>

namespace {

QString micros(qint64 ns)
{
    return QString::number(double(ns) / 1000.0, 'f', 1) + " us";
}

// The kernel's prio: below 100 a realtime task's (99 - its priority), else
// 120 + its nice value.
bool realtimePrio(std::int32_t prio)
{
    return prio >= 0 && prio < 100;
}
int userPriority(std::int32_t prio)
{
    return realtimePrio(prio) ? 99 - prio : prio - 120;
}

QJsonObject spikeJson(const JudgedSpike &spike, double seconds)
{
    QJsonObject json{{"tick", double(spike.record.tick)},
                     {"seconds", seconds},
                     {"latenessSeconds", double(spike.record.latenessNs) / 1e9},
                     {"intervalSeconds", double(spike.record.intervalNs) / 1e9},
                     {"cause", spikeCauseKey(spike.verdict.cause)},
                     {"measured", spike.verdict.measured}};
    const SpikeTrace &trace = spike.trace;
    if (!trace.traced)
        return json;
    const auto seconds_ = [](std::int64_t ns) { return ns < 0 ? -1.0 : double(ns) / 1e9; };
    json.insert("traced", true);
    json.insert("cpu", trace.cpu);
    json.insert("wakingSeconds", seconds_(trace.wakingNs));
    json.insert("runningSeconds", seconds_(trace.runningNs));
    json.insert("othersSeconds", seconds_(trace.othersNs));
    json.insert("irqSeconds", seconds_(trace.irqNs));
    json.insert("softirqSeconds", seconds_(trace.softirqNs));
    if (trace.culpritPid >= 0)
        json.insert("culprit",
                    QJsonObject{{"comm", QString::fromUtf8(trace.culpritComm)},
                                {"pid", trace.culpritPid},
                                {"priority", userPriority(trace.culpritPrio)},
                                {"realtime", realtimePrio(trace.culpritPrio)},
                                {"ranSeconds", seconds_(trace.culpritNs)}});
    return json;
}

// "measured" or "inferred", and who held the CPU when the trace saw one.
QString causeDetail(const JudgedSpike &spike)
{
    QString text = spike.verdict.measured ? "measured" : "inferred";
    const QString culprit = SpikeReport::culpritText(spike.trace);
    if (!culprit.isEmpty() && spike.verdict.cause == SpikeCause::OtherTask)
        text += ": " + culprit;
    else if (!culprit.isEmpty())
        text += "; on the CPU: " + culprit;
    return text;
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
    text += sources.traced
        ? QString("; traced: the kernel's scheduler trace names the task that held the CPU%1")
              .arg(sources.traceInterrupts ? " and times interrupts" : "")
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
                    .arg(spikeCauseText(spike.verdict.cause), causeDetail(spike));
    }
    return text;
}

QString SpikeReport::culpritText(const SpikeTrace &trace)
{
    if (!trace.traced || trace.culpritPid < 0)
        return QString();
    return QString("%1 (pid %2, %3 %4, %5)")
        .arg(QString::fromUtf8(trace.culpritComm))
        .arg(trace.culpritPid)
        .arg(realtimePrio(trace.culpritPrio) ? "realtime" : "nice")
        .arg(userPriority(trace.culpritPrio))
        .arg(micros(trace.culpritNs));
}

QString SpikeReport::causeText(const JudgedSpike &spike)
{
    return QString(spikeCauseText(spike.verdict.cause)) + ", " + causeDetail(spike);
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
                                {"trace", sources.traced},
                                {"traceWhyNot", QString::fromStdString(sources.traceWhyNot)},
                                {"traceInterrupts", sources.traceInterrupts},
                                {"traceLost", double(sources.traceLost)}};
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
