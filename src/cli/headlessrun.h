// One measurement without a window: starts the worker as the window's Start
// does, prints the window's report while it runs and at the end, and writes
// the results for scripts.
#pragma once

#include "cli/runoptions.h"
#include "engine/rtthread.h"

#include <QJsonObject>

#include <vector>

QT_BEGIN_NAMESPACE
class QTextStream;
QT_END_NAMESPACE

class HeadlessRun
{
public:
    // How the run ended, as --json names it.
    enum Ending { EndedByDuration, EndedByRequest, EndedPortTaken, EndedTerminated };

    explicit HeadlessRun(const RunOptions &options);

    // Measures until the duration has passed or a stop request (Ctrl-C)
    // arrives, printing the report to out; errors go to err, one line each.
    // Returns the exit status. platform::catchStopRequests must have been
    // called before any thread started.
    int exec(QTextStream &out, QTextStream &err);

    // The final statistics: configuration, ticks, mean, every non-empty bin,
    // the ending and what the worker's thread was granted. Valid after exec.
    QJsonObject results() const;

private:
    void printReport(QTextStream &out, double elapsedSeconds) const;
    bool writeFile(const QString &path, const QByteArray &data, QTextStream &err) const;
    QByteArray intervalsText() const;

    RunOptions options;
    RtThread worker;
    std::vector<double> intervals;
    Ending ending = EndedByDuration;
    double elapsed = 0; // seconds from the start of the run to the stop
};
