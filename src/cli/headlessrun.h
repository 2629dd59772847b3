// SPDX-License-Identifier: MIT
// One measurement without a window: starts the worker as the window's Start
// does, prints the window's report while it runs and at the end, and writes
// the results for scripts.
#pragma once

#include "rtthread.h"
#include "runoptions.h"
#include "runrecord.h"

#include <QSaveFile>

#include <memory>
#include <vector>

QT_BEGIN_NAMESPACE
class QTextStream;
QT_END_NAMESPACE

class HeadlessRun
{
public:
    // How the run ended, as --json names it.
    enum Ending { EndedByDuration, EndedByRequest, EndedTerminated };

    explicit HeadlessRun(const RunOptions &options);

    // Measures until the duration has passed or a stop request (Ctrl-C)
    // arrives, printing the report to out; errors go to err, one line each.
    // Returns the exit status. platform::catchStopRequests must have been
    // called before any thread started.
    int exec(QTextStream &out, QTextStream &err);

    // The run as asked for and measured: configuration, ticks, mean, every
    // non-empty bin, the ending and what the worker's thread was granted.
    // Complete after exec.
    const RunRecord &record() const { return result; }

private:
    // The steps of exec: everything that can fail before the run; the run
    // until its end, with the reports along the way; what is written after.
    bool prepare(QTextStream &err);
    void measure(QTextStream &report);
    bool writeResults(QTextStream &out, QTextStream &err);

    void printReport(QTextStream &out, double elapsedSeconds) const;
    // A file for the results: a temporary file beside it, opened before the
    // run and put in its place only once it is whole, so that a run that
    // fails or is killed leaves an earlier result as it was. None for an
    // empty path. Each says why on err when it fails.
    static bool openOutput(std::unique_ptr<QSaveFile> &file, const QString &path, QTextStream &err);
    static bool commitOutput(QSaveFile &file, QTextStream &err);
    // Every kept interval, in µs with three decimals, one per line, written
    // a chunk at a time.
    void writeIntervals(QSaveFile &file) const;

    RunOptions options;
    RtThread worker;
    RunRecord result;
    std::vector<double> intervals;
    std::unique_ptr<QSaveFile> jsonFile;
    std::unique_ptr<QSaveFile> intervalsFile;
    Ending ending = EndedByDuration;
};
