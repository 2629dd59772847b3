// SPDX-License-Identifier: MIT
// --cpus: one timed worker per CPU at once, each pinned to its own and none
// with a socket; a report per CPU, a summary line each, one JSON.
#pragma once

#include "metricsserver.h"
#include "rtthread.h"
#include "runcontrol.h"
#include "runoptions.h"
#include "runrecord.h"

#include <memory>
#include <vector>

QT_BEGIN_NAMESPACE
class QTextStream;
QT_END_NAMESPACE

class PerCpuRun
{
public:
    explicit PerCpuRun(const RunOptions &options);
    ~PerCpuRun();

    // As HeadlessRun::exec: measures, prints, writes --json; the exit
    // status, with the thresholds judged on the worst CPU's figures.
    int exec(QTextStream &out, QTextStream &err);

    // The summary line of one CPU's run: CPU, ticks, the share in the
    // period's bin, lateness p50/p99/max and overruns.
    static QString summaryLine(int cpu, const RunRecord &record,
                               const LatenessStatistics &lateness);

private:
    struct Worker
    {
        int cpu = -1;
        std::unique_ptr<RtThread> thread;
        std::vector<double> intervals;
        RunRecord record;
    };

    bool judgeWorst(QTextStream &err) const;

    RunOptions options;
    RunControl control; // the process class, memory lock and power states, for all
    std::vector<Worker> workers;
    std::unique_ptr<MetricsServer> server; // --serve: every worker's series, labelled by CPU
};
