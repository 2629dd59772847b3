// SPDX-License-Identifier: MIT
#include "runrecord.h"

#include <QJsonArray>

QJsonObject RunRecord::toJson() const
{
    const QJsonObject configuration{
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

    QJsonArray bins;
    for (int i = 0; i < RunStatistics::Bins; ++i) {
        const quint64 count = statistics.bins[size_t(i)];
        if (count != 0)
            bins.append(QJsonObject{
                {"bin", i}, {"seconds", statistics.label(i)}, {"count", qint64(count)}});
    }

    return QJsonObject{
        {"configuration", configuration},
        {"ended", ended},
        {"elapsedSeconds", elapsedSeconds},
        {"tickCount", qint64(statistics.tickCount)},
        {"countedIntervals", qint64(statistics.counted())},
        {"meanInterval", statistics.meanInterval},
        {"maxInterval", statistics.maxInterval},
        {"bins", bins},
        {"keptIntervals", qint64(keptIntervals)},
        {"datagramsDropped",
         statistics.datagramsDropped < 0 ? QJsonValue() : QJsonValue(statistics.datagramsDropped)},
        {"floodRate", statistics.flooded() ? QJsonValue(statistics.floodRate) : QJsonValue()},
        {"worker",
         QJsonObject{{"policy", QString::fromStdString(granted.policy)},
                     {"priority", granted.priority},
                     {"nice", granted.nice}}},
    };
}
