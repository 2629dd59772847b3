// SPDX-License-Identifier: MIT
#include "runrecord.h"

#include <QJsonArray>

#include <algorithm>
#include <array>
#include <cmath>

namespace {

QJsonObject scheduling(const platform::ThreadScheduling &scheduling)
{
    return QJsonObject{{"policy", QString::fromStdString(scheduling.policy)},
                       {"priority", scheduling.priority},
                       {"nice", scheduling.nice}};
}

// What the run was asked for.
QJsonObject configurationJson(const RunSettings &settings, double durationSeconds)
{
    return QJsonObject{
        {"clockMode", int(settings.clockMode)},
        {"clockModeName", settings.clockModeName()},
        {"periodMs", settings.periodMs},
        {"target", settings.target.isEmpty() ? QJsonValue() : QJsonValue(settings.target)},
        {"send", settings.send},
        {"bind", settings.bindAddress.isEmpty() ? QJsonValue() : QJsonValue(settings.bindAddress)},
        {"processLevel", settings.processClassName()},
        {"threadLevel", settings.threadLevelName()},
        {"durationSeconds", durationSeconds},
    };
}

// An entry(i, count) for each bin i that counted anything.
template <size_t N, typename Entry>
QJsonArray nonEmptyBins(const std::array<quint64, N> &counts, Entry entry)
{
    QJsonArray bins;
    for (size_t i = 0; i < N; ++i) {
        if (counts[i] != 0)
            bins.append(entry(int(i), qint64(counts[i])));
    }
    return bins;
}

// The histogram's bins, labelled as the report's table labels them.
QJsonArray binsJson(const RunStatistics &statistics)
{
    return nonEmptyBins(statistics.bins, [&](int i, qint64 count) {
        return QJsonObject{{"bin", i}, {"seconds", statistics.label(i)}, {"count", count}};
    });
}

// The kernel's arrival intervals, the last bin labelled with the longest.
QJsonArray arrivalBinsJson(const ReceiveTiming &receive)
{
    return nonEmptyBins(receive.arrival, [&](int i, qint64 count) {
        const double seconds =
            i == ReceiveTiming::ArrivalOverflowBin ? receive.maxArrival : double(i) * 0.0001;
        return QJsonObject{{"bin", i}, {"seconds", seconds}, {"count", count}};
    });
}

QJsonArray latenessBinsJson(const ReceiveTiming &receive)
{
    return nonEmptyBins(receive.lateness, [](int i, qint64 count) {
        return QJsonObject{{"micros", i}, {"count", count}};
    });
}

QJsonObject receiveTimingJson(const ReceiveTiming &receive)
{
    static const char *const stampNames[] = {"not asked", "on", "refused"};
    const quint64 arrivals = receive.arrivals();
    return QJsonObject{
        {"stamps", stampNames[qBound(0, receive.stamps, 2)]},
        {"stampedDatagrams", qint64(receive.stampedDatagrams)},
        {"unstampedDatagrams", qint64(receive.unstampedDatagrams)},
        {"arrivalIntervals", qint64(arrivals)},
        {"meanArrivalInterval", arrivals ? receive.arrivalSum / double(arrivals) : 0.0},
        {"maxArrivalInterval", receive.maxArrival},
        {"arrivalBins", arrivalBinsJson(receive)},
        {"wakeUps", qint64(receive.wakeUps())},
        {"maxLateness", receive.maxLateness},
        {"latenessBins", latenessBinsJson(receive)},
        // Whole seconds and nanoseconds apart: the offset in nanoseconds is
        // beyond what a JSON number (a double) holds exactly.
        {"clockOffset",
         QJsonObject{{"seconds", receive.clockOffsetNs / 1000000000},
                     {"nanoseconds", receive.clockOffsetNs % 1000000000}}},
    };
}

// The slot length, then the ticks and the longest interval of each slot used.
QJsonObject timelineJson(const RunTimeline &timeline)
{
    QJsonArray ticks;
    QJsonArray longest;
    for (int i = 0; i < timeline.used; ++i) {
        ticks.append(qint64(timeline.slot[size_t(i)].ticks));
        longest.append(timeline.slot[size_t(i)].maxInterval);
    }
    return QJsonObject{
        {"slotSeconds", timeline.slotSeconds},
        {"lastTick", timeline.lastTick},
        {"ticks", ticks},
        {"maxInterval", longest},
    };
}

// The lateness: its figures in seconds, and its non-empty 1 us bins by
// their floor in us; the first bin also holds anything earlier, the last
// (10000 us) anything later.
QJsonObject latenessJson(const LatenessStatistics &lateness)
{
    // Whole nanoseconds, as measured: 3.3e-05, not 3.2999999999999996e-05.
    const auto ns = [](double seconds) { return std::round(seconds * 1e9) / 1e9; };
    const QJsonArray bins = nonEmptyBins(lateness.bins, [](int i, qint64 count) {
        return QJsonObject{{"micros", i - LatenessStatistics::ZeroBin}, {"count", count}};
    });
    return QJsonObject{
        {"deadlines",
         lateness.deadlines == LatenessStatistics::GridDeadlines ? "grid" : "previous tick"},
        {"wakeUps", qint64(lateness.wakeUps)},
        {"overruns", qint64(lateness.overruns)},
        {"minSeconds", ns(lateness.minLateness)},
        {"meanSeconds", lateness.meanLateness()},
        {"maxSeconds", ns(lateness.maxLateness)},
        {"p50Seconds", ns(lateness.percentile(500))},
        {"p90Seconds", ns(lateness.percentile(900))},
        {"p99Seconds", ns(lateness.percentile(990))},
        {"p999Seconds", ns(lateness.percentile(999))},
        {"bins", bins},
    };
}

} // namespace

void RunRecord::complete(const double *kept, quint64 keptCount, const QList<Threshold> &thresholds)
{
    keptIntervals = kept ? keptCount : 0;
    deviation = DeviationSummary::of(statistics, settings.periodMs, kept, keptIntervals);
    this->thresholds = thresholds;
}

double RunRecord::longestInterval() const
{
    if (statistics.counted() == 0)
        return -1.0;
    // Without a timeline the overflow's longest is the longest, if any.
    if (timeline.used == 0)
        return statistics.maxInterval > 0 ? statistics.maxInterval : -1.0;
    double longest = statistics.maxInterval;
    for (int i = 0; i < timeline.used; ++i)
        longest = std::max(longest, timeline.slot[size_t(i)].maxInterval);
    return longest;
}

QJsonObject RunRecord::toJson() const
{
    const double longest = longestInterval();
    QJsonObject json{
        {"configuration", configurationJson(settings, durationSeconds)},
        {"ended", ended},
        {"elapsedSeconds", elapsedSeconds},
        {"tickCount", qint64(statistics.tickCount)},
        {"countedIntervals", qint64(statistics.counted())},
        {"meanInterval", statistics.meanInterval},
        {"maxInterval", statistics.maxInterval},
        {"longestInterval", longest < 0 ? QJsonValue() : QJsonValue(longest)},
        {"bins", binsJson(statistics)},
        {"keptIntervals", qint64(keptIntervals)},
        {"receiveTiming", receiveTimingJson(statistics.receive)},
        {"asked",
         scheduling(platform::requestedScheduling(settings.processClass, settings.threadLevel))},
        {"worker", scheduling(granted)},
        {"conditions", conditions.toJson()},
        {"deviation", deviation.toJson(thresholds)},
        {"machine", machine.toJson()},
        {"datagramsDropped",
         statistics.datagramsDropped < 0 ? QJsonValue() : QJsonValue(statistics.datagramsDropped)},
        {"floodRate", statistics.flooded() ? QJsonValue(statistics.floodRate) : QJsonValue()},
        {"timeline", timelineJson(timeline)},
    };
    if (lateness.deadlines != LatenessStatistics::NoDeadlines)
        json.insert("lateness", latenessJson(lateness));
    return json;
}
