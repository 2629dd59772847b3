// SPDX-License-Identifier: MIT
#include "runrecord.h"

#include <QJsonArray>

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

// The histogram's bins, labelled as the report's table labels them.
QJsonArray binsJson(const RunStatistics &statistics)
{
    QJsonArray bins;
    for (int i = 0; i < RunStatistics::Bins; ++i) {
        const quint64 count = statistics.bins[size_t(i)];
        if (count != 0)
            bins.append(QJsonObject{
                {"bin", i}, {"seconds", statistics.label(i)}, {"count", qint64(count)}});
    }
    return bins;
}

// The kernel's arrival intervals, the last bin labelled with the longest.
QJsonArray arrivalBinsJson(const ReceiveTiming &receive)
{
    QJsonArray arrivalBins;
    for (int i = 0; i < ReceiveTiming::ArrivalBins; ++i) {
        const quint64 count = receive.arrival[size_t(i)];
        if (count != 0)
            arrivalBins.append(QJsonObject{
                {"bin", i},
                {"seconds",
                 i == ReceiveTiming::ArrivalOverflowBin ? receive.maxArrival : double(i) * 0.0001},
                {"count", qint64(count)}});
    }
    return arrivalBins;
}

QJsonArray latenessBinsJson(const ReceiveTiming &receive)
{
    QJsonArray latenessBins;
    for (int i = 0; i < ReceiveTiming::LatenessBins; ++i) {
        const quint64 count = receive.lateness[size_t(i)];
        if (count != 0)
            latenessBins.append(QJsonObject{{"micros", i}, {"count", qint64(count)}});
    }
    return latenessBins;
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

} // namespace

QJsonObject RunRecord::toJson() const
{
    return QJsonObject{
        {"configuration", configurationJson(settings, durationSeconds)},
        {"ended", ended},
        {"elapsedSeconds", elapsedSeconds},
        {"tickCount", qint64(statistics.tickCount)},
        {"countedIntervals", qint64(statistics.counted())},
        {"meanInterval", statistics.meanInterval},
        {"maxInterval", statistics.maxInterval},
        {"bins", binsJson(statistics)},
        {"keptIntervals", qint64(keptIntervals)},
        {"receiveTiming", receiveTimingJson(statistics.receive)},
        {"asked",
         scheduling(platform::requestedScheduling(settings.processClass, settings.threadLevel))},
        {"worker", scheduling(granted)},
        {"deviation", deviation.toJson(thresholds)},
        {"machine", machine.toJson()},
        {"datagramsDropped",
         statistics.datagramsDropped < 0 ? QJsonValue() : QJsonValue(statistics.datagramsDropped)},
        {"floodRate", statistics.flooded() ? QJsonValue(statistics.floodRate) : QJsonValue()},
        {"timeline", timelineJson()},
    };
}
