// SPDX-License-Identifier: MIT
// One measurement without a window: starts the worker as the window's Start
// does, prints the window's report while it runs and at the end, and writes
// the results for scripts.
#pragma once

#include "metricsserver.h"
#include "metricstext.h"
#include "pictureoutput.h"
#include "rtthread.h"
#include "runcontrol.h"
#include "runoptions.h"
#include "runrecord.h"

#include "resultfile.h"

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

    // The exit status of a run that went as asked but crossed a threshold.
    static constexpr int ThresholdCrossed = 3;

    explicit HeadlessRun(const RunOptions &options);
    ~HeadlessRun();

    // Measures until the duration has passed or a stop request (Ctrl-C)
    // arrives, printing the report to out; errors go to err, one line each.
    // Returns the exit status. StopRequests::watch must have been called.
    int exec(QTextStream &out, QTextStream &err);

    // The record's thresholds judged on its deviation figures: a line on err
    // for each one crossed, naming it and the figure, or one line saying all
    // were met. False when one was crossed.
    static bool judge(const RunRecord &record, QTextStream &err);

    // --require-rt: whether the worker would be granted the realtime policy
    // these options ask for; one line on err when not.
    static bool realtimeGranted(const RunOptions &options, QTextStream &err);

    // --serve: a server for render listening where the options say, said
    // on err; null, with one line on err, when the address cannot be had.
    static std::unique_ptr<MetricsServer> serve(const RunOptions &options,
                                                MetricsServer::Render render, QTextStream &err);

private:
    // The steps of exec: everything that can fail before the run; the run
    // until its end, with the reports along the way; the record of what was
    // asked and measured, with the deviation figures and the thresholds to
    // judge them by; the final report, and on err how the worker ran; what
    // is written after.
    bool prepare(QTextStream &err);
    void measure(QTextStream &report, QTextStream &err);
    void completeRecord();
    void printFinalReport(QTextStream &report, QTextStream &err);
    bool writeResults(QTextStream &out, QTextStream &err);

    // --serve: listens before the run, and stops once it has ended.
    bool startServing(QTextStream &err);
    void stopServing();

    // The report; the final one adds summary after the table.
    void printReport(QTextStream &out, double elapsedSeconds,
                     const QString &summary = QString()) const;
    // A result file (ResultFile), none for an empty path.
    static bool openOutput(std::unique_ptr<ResultFile::File> &file, const QString &path,
                           QTextStream &err);
    // Whether standard output failed (closed, a reader gone, a full disk):
    // said once on err; the reports stop there, the files are still written.
    bool outputLost(QTextStream &stream, QTextStream &err);
    // Every kept interval, in µs with three decimals, one per line, written
    // a chunk at a time.
    void writeIntervals(QIODevice &file) const;

    RunOptions options;
    RtThread worker;
    RunControl control;
    RunRecord result;
    SpikeReport spikes; // at the run's end
    std::vector<double> intervals;
    std::vector<double> arrivals; // beside intervals, when datagrams can be the clock
    std::unique_ptr<ResultFile::File> jsonFile;
    std::unique_ptr<ResultFile::File> intervalsFile;
    PictureOutput picture;
    MetricsText metrics; // read in the server's thread only
    std::unique_ptr<MetricsServer> server;
    Ending ending = EndedByDuration;
    bool standardOutputLost = false;
};
