// One measurement as the command line asks for it: the window's settings, and
// what only a program without a window needs (how long, how often to print,
// where to write the results).
#pragma once

#include <QString>
#include <QStringList>

class RunOptions
{
public:
    enum Outcome {
        Measure,     // the options are sound: run
        ShowHelp,    // --help
        ShowVersion, // --version
        Refused      // error() says why, in one line
    };

    // The window's defaults, except that nothing is sent unless asked.
    int clockMode = 0;          // RtThread::ClockMode
    int periodMs = 1;           // 0: arriving datagrams are the clock
    QString target;             // dotted quad; empty when none was given
    bool send = false;          // a datagram to target at every tick
    int processLevel = 3;       // "Realtime"
    int threadLevel = 6;        // "Time Critical"
    double durationSeconds = 0; // 0: until Ctrl-C
    double printSeconds = 0;    // 0: only the final report
    QString jsonPath;           // empty: no JSON; "-": standard output
    QString intervalsPath;      // empty: intervals are not kept

    // arguments[0] is the program's name, as QCoreApplication::arguments().
    Outcome parse(const QStringList &arguments);
    QString error() const { return errorText; }

    // The --help text: usage, every option, the choices and examples.
    static QString helpText();

    // How many intervals a run of these options can keep at most, and the
    // most a program may ask for.
    quint64 intervalCapacity() const;
    static constexpr quint64 MaxKeptIntervals = 50000000; // 400 MB of doubles

private:
    bool refuse(const QString &why);

    QString errorText;
};
