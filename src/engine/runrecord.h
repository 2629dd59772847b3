// SPDX-License-Identifier: MIT
// What one run was asked for and what it measured, as it is kept and handed
// on: the JSON that vantrel-cli writes.
#pragma once

#include "deviation.h"
#include "latenessstatistics.h"
#include "machinecontext.h"
#include "platform.h"
#include "runconditions.h"
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
    QString ended; // "duration", "stop request", "terminated"; "running" when saved mid-run
    double elapsedSeconds = 0; // from the start of the run to its stop request
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
    // The CPU, memory, power states and policy of the run, asked and granted.
    RunConditions conditions;

    // When in the run its ticks and long intervals came.
    RunTimeline timeline;

    // The timed clocks' lateness after their deadlines: the "lateness"
    // object, absent for a clock without deadlines.
    LatenessStatistics lateness;

    // Fills in what follows from the rest, as every writer of the JSON
    // must: the kept count, the deviation from the statistics and the
    // period (exact when kept holds every counted interval, from the
    // histogram otherwise), and the thresholds to judge it by. vantrel-cli
    // and the window's Save Run both call it, so their files hold the same.
    void complete(const double *kept = nullptr, quint64 keptCount = 0,
                  const QList<Threshold> &thresholds = {});

    // The longest counted interval of the run, from the timeline's slots
    // and the overflow's longest; -1 when unknown (nothing counted, or a run
    // saved without a timeline). Unlike statistics.maxInterval, not 0 when
    // nothing overflowed.
    double longestInterval() const;

    QJsonObject toJson() const;

    // A record from the JSON that toJson writes (runrecordjson.cpp), or
    // nothing and, in *error, why not, in one sentence. Fields it does not
    // know are left aside; one it needs that is missing or out of range
    // refuses the whole file.
    static std::optional<RunRecord> fromJson(const QByteArray &text, QString *error);
    static std::optional<RunRecord> fromJson(const QJsonObject &json, QString *error);
    // The same from a file; one that cannot be read says so too. Only a
    // regular file is read (a device or a pipe is refused before it can block
    // or fill the memory), and no more than one byte past LargestFile,
    // whatever its size says. vantrel-cli and the window both read with it.
    static std::optional<RunRecord> readFile(const QString &path, QString *error);
    static constexpr qint64 LargestFile = 64 * 1024 * 1024; // a saved run is some tens of kB
};
