// SPDX-License-Identifier: MIT
// What one run was asked for and what it measured, as it is kept and handed
// on: the JSON that vantrel-cli writes.
#pragma once

#include "deviation.h"
#include "machinecontext.h"
#include "platform.h"
#include "runsettings.h"
#include "runstatistics.h"
#include "runtimeline.h"

#include <QJsonObject>
#include <QList>
#include <QString>

#include <optional>

struct RunRecord
{
    RunSettings settings;
    double durationSeconds = 0; // asked for; 0: until stopped
    QString ended;              // "duration", "stop request" or "terminated"
    double elapsedSeconds = 0;  // from the start of the run to its stop request
    RunStatistics statistics;
    quint64 keptIntervals = 0;
    platform::ThreadScheduling granted; // what the worker's thread really got; the JSON
                                        // puts what the settings asked for beside it

    // How far the intervals strayed from the period, the limits the run was
    // judged by, and the machine it ran on: the "deviation" and "machine"
    // objects of the JSON.
    DeviationSummary deviation;
    QList<Threshold> thresholds;
    MachineContext machine;

    // When in the run its ticks and long intervals came.
    RunTimeline timeline;

    QJsonObject toJson() const;

    // A record from the JSON that toJson writes (runrecordjson.cpp), or
    // nothing and, in *error, why not, in one sentence. Fields it does not
    // know are left aside; one it needs that is missing or out of range
    // refuses the whole file.
    static std::optional<RunRecord> fromJson(const QByteArray &text, QString *error);
    static std::optional<RunRecord> fromJson(const QJsonObject &json, QString *error);
    // The same from a file; one that cannot be read says so too.
    static std::optional<RunRecord> readFile(const QString &path, QString *error);
};
