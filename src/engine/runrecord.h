// SPDX-License-Identifier: MIT
// What one run was asked for and what it measured, as it is kept and handed
// on: the JSON that vantrel-cli writes.
#pragma once

#include "platform.h"
#include "runsettings.h"
#include "runstatistics.h"

#include <QJsonObject>
#include <QString>

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

    QJsonObject toJson() const;
};
