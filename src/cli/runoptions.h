// SPDX-License-Identifier: MIT
// One measurement as the command line asks for it: the window's settings, and
// what only a program without a window needs (how long, how often to print,
// where to write the results).
#pragma once

#include "deviation.h"
#include "runsettings.h"

#include <QHostAddress>
#include <QList>
#include <QString>
#include <QStringList>

QT_BEGIN_NAMESPACE
class QCommandLineOption;
class QCommandLineParser;
QT_END_NAMESPACE

class RunOptions
{
public:
    enum Outcome {
        Measure,     // the options are sound: run
        Draw,        // --from: draw saved runs, measure nothing
        ShowHelp,    // --help
        ShowVersion, // --version
        Refused      // error() says why, in one line
    };

    RunSettings settings;       // the window's defaults; nothing is sent unless asked
    double durationSeconds = 0; // 0: until Ctrl-C
    double printSeconds = 0;    // 0: only the final report
    QString jsonPath;           // empty: no JSON; "-": standard output
    QString intervalsPath;      // empty: intervals are not kept
    QString plotPath;           // empty: no picture; else a .png or .svg file
    QString fromPath;           // a saved run (--json) to draw instead of measuring
    QString comparePath;        // a saved run to draw beside the other
    // --spike-above; 0: ten times the median lateness, over 100 us.
    double spikeAboveSeconds = 0;

    // Whether a picture is asked for: the program then needs Qt Gui.
    bool drawsPicture() const { return !plotPath.isEmpty(); }

    // Limits the run is judged by at its end (--fail-above, --fail-p99,
    // --fail-share), in the order given.
    QList<Threshold> thresholds;
    // --serve: where the Prometheus text is served while the run goes on.
    bool serve = false;
    QHostAddress serveAddress; // loopback unless told otherwise
    quint16 servePort = 0;     // 0: any free port, said when listening

    // arguments[0] is the program's name, as QCoreApplication::arguments().
    Outcome parse(const QStringList &arguments);
    QString error() const { return errorText; }

    // The --help text: usage, every option, the choices and examples.
    static QString helpText();

    // A threshold as its option reads, e.g. "--fail-p99 40us".
    static QString optionText(const Threshold &threshold);

    // How many intervals a run of these options can keep at most, and the
    // most a program may ask for.
    quint64 intervalCapacity() const;
    static constexpr quint64 MaxKeptIntervals = 50000000; // 400 MB of doubles
    // Kept for thresholds alone (no --intervals), so that their figures are
    // exact: runs that would keep more are judged on the histogram.
    static constexpr quint64 MaxKeptForThresholds = 10000000; // 80 MB

    // Lines for standard error before the run: options that do less than
    // they might seem to, not errors.
    QStringList notes;

    // One row of the option table: --help, the reading and the refusal of
    // measuring options beside --from all come from it.
    struct Option
    {
        QStringList names;
        QString help;
        QString valueName;                         // empty: a switch
        bool measures;                             // only a measurement uses it
        bool (RunOptions::*read)(const QString &); // null: --help, --version
    };
    static const QList<Option> &options();
    // The table as the parser takes it.
    static QList<QCommandLineOption> parserOptions();

    // The shortest --print interval: a 300-row table ten times a second is
    // already more than a person reads.
    static constexpr double ShortestPrintSeconds = 0.1;

    // --require-rt: the run ends before measuring unless the worker would be
    // granted the realtime policy asked for.
    bool requireRealtime = false;
    // --cpus: one worker per CPU at once, none with a socket; empty: one
    // worker as usual.
    QList<int> cpus;

private:
    // Each option's value on its own, in the table's order, then the
    // options together.
    bool readMode(const QString &value);
    bool readPeriod(const QString &value);
    bool readTarget(const QString &value);
    bool readSend(const QString &value);
    bool readBind(const QString &value);
    bool readProcess(const QString &value);
    bool readThread(const QString &value);
    bool readDuration(const QString &value);
    bool readPrint(const QString &value);
    bool readJson(const QString &value);
    bool readIntervals(const QString &value);
    bool readPlot(const QString &value);
    bool readFrom(const QString &value);
    bool readCompare(const QString &value);
    bool readFailAbove(const QString &value);
    bool readFailP99(const QString &value);
    bool readFailShare(const QString &value);
    bool readServe(const QString &value);
    bool readSpikeAbove(const QString &value);
    // runconditionoptions.cpp: the CPU, memory, power states and policy.
    bool readCpu(const QString &value);
    bool readNoMlock(const QString &value);
    bool readTrace(const QString &value);
    bool readPmQos(const QString &value);
    bool readPolicy(const QString &value);
    bool readPriority(const QString &value);
    bool readRequireRt(const QString &value);
    bool readCpus(const QString &value);
    bool validateConditions();
    bool readDeviationLimit(const char *option, Threshold::Kind kind, const QString &value);
    bool fileName(const char *option, const QString &value, QString *path);
    bool drawsAlone(const QCommandLineParser &parser);
    bool validate();
    bool noSharedFiles();
    // A choice from one of the window's lists, by number or by name.
    template <typename Choice>
    bool pick(const QString &value, const char *what, const QStringList &names, Choice *picked);
    bool refuse(const QString &why);
    quint64 roomForIntervals() const;
    double intervalsPerSecond() const;

    QString errorText;
    bool levelGiven = false;    // --process or --thread
    bool priorityGiven = false; // --priority
    bool bindGiven = false;     // --bind
};
