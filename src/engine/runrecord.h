// SPDX-License-Identifier: MIT
// What one run was asked for and what it measured, as it is kept and handed
// on: the JSON that vantrel-cli writes.
#pragma once

#include "deviation.h"
#include "machinecontext.h"
#include "platform.h"
#include "runsettings.h"
#include "runstatistics.h"

#include <QJsonObject>
#include <QList>
#include <QString>

struct RunRecord
{
    RunSettings settings;
    double durationSeconds = 0; // asked for; 0: until stopped
    QString ended;              // "duration", "stop request" or "terminated"
    double elapsedSeconds = 0;  // from the start of the run to its stop request
    RunStatistics statistics;
    quint64 keptIntervals = 0;
    platform::ThreadScheduling granted; // what the worker's thread really got

    // How far the intervals strayed from the period, the limits the run was
    // judged by, and the machine it ran on: the "deviation" and "machine"
    // objects of the JSON.
    DeviationSummary deviation;
    QList<Threshold> thresholds;
    MachineContext machine;

    QJsonObject toJson() const;
};
