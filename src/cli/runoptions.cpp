// SPDX-License-Identifier: MIT
#include "runoptions.h"

#include "dottedquad.h"
#include "histogrampicture.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cmath>

namespace {

// Intervals a receive-driven run is allowed for per second when none are
// promised: well above what loopback delivers to one socket.
const double ReceiveRateAllowance = 200000.0;

// "\"Idle\", \"Normal\", \"High\" or \"Realtime\"", optionally numbered.
QString orList(const QStringList &names, bool numbered = false)
{
    QStringList quoted;
    for (int i = 0; i < names.size(); ++i)
        quoted << (numbered ? QString("%1 \"%2\"").arg(i).arg(names[i]) : "\"" + names[i] + "\"");
    const QString last = quoted.takeLast();
    return quoted.join(", ") + " or " + last;
}

QList<QCommandLineOption> optionList()
{
    const RunSettings defaults;
    return {
        {{"h", "help"}, "Show this help."},
        {{"v", "version"}, "Show the version."},
        {{"m", "mode"},
         QString("Clock to measure: %1 (number or name). Default: %2.")
             .arg(orList(RunSettings::clockModeNames(), true))
             .arg(int(defaults.clockMode)),
         "mode"},
        {{"p", "period"},
         QString("Clock period in whole milliseconds. 0 in \"%1\" or \"%2\" makes datagrams "
                 "arriving on UDP port %3 the clock. Default: %4.")
             .arg(RunSettings::clockModeNames().at(RtThread::TimerEventMode),
                  RunSettings::clockModeNames().at(RtThread::MsleepMode))
             .arg(RtThread::UdpPort)
             .arg(defaults.periodMs),
         "ms"},
        {{"t", "target"}, "IPv4 address (dotted quad) that --send sends to.", "address"},
        {{"s", "send"}, "Send a datagram to --target at every tick."},
        {"process",
         QString("Process level: %1 (or 0-%2). Default: %3.")
             .arg(orList(RunSettings::processClassNames()))
             .arg(RunSettings::processClassNames().size() - 1)
             .arg(defaults.processClassName()),
         "level"},
        {"thread",
         QString("Worker thread level: %1 (or 0-%2). Default: %3.")
             .arg(orList(RunSettings::threadLevelNames()))
             .arg(RunSettings::threadLevelNames().size() - 1)
             .arg(defaults.threadLevelName()),
         "level"},
        {{"d", "duration"},
         "Stop after this many seconds. Default: 0, run until Ctrl-C.",
         "seconds"},
        {"print", "Also print the report every this many seconds. Default: 0, only at the end.",
         "seconds"},
        {"json",
         "Write the final statistics as JSON to this file (- for standard output; the "
         "text report then goes to standard error).",
         "file"},
        {"intervals",
         "Write every counted interval, in microseconds, one per line, to this file. Needs "
         "--duration. When datagrams were stamped by the kernel, a second column gives the "
         "arrival interval of each tick's first datagram by those stamps (- for none).",
         "file"},
        {"plot",
         "Draw the run's histogram and timeline into this picture at the end, PNG or SVG by "
         "the file's ending (.png, .svg). Needs no display.",
         "file"},
        {"from", "Measure nothing: draw the run saved in this JSON file (from --json) into --plot.",
         "file"},
        {"compare",
         "Draw the run saved in this JSON file beside the other in --plot, e.g. before and "
         "after tuning.",
         "file"},
    };
}

// A number, or a name from the list (case and surrounding blanks ignored);
// -1 for neither.
int choice(const QString &text, const QStringList &names)
{
    const QString wanted = text.trimmed();
    bool isNumber = false;
    const int number = wanted.toInt(&isNumber, 10);
    if (isNumber)
        return number >= 0 && number < names.size() ? number : -1;
    for (int i = 0; i < names.size(); ++i) {
        if (names[i].compare(wanted, Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

bool seconds(const QString &text, double *value)
{
    bool ok = false;
    const double parsed = text.trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(parsed) || parsed < 0 || parsed > 1e9)
        return false;
    *value = parsed;
    return true;
}

} // namespace

bool RunOptions::refuse(const QString &why)
{
    errorText = why;
    return false;
}

RunOptions::Outcome RunOptions::parse(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.addOptions(optionList());

    if (!parser.parse(arguments)) {
        QString why = parser.errorText(); // Qt ends it with a full stop
        if (why.endsWith(QLatin1Char('.')))
            why.chop(1);
        refuse(why);
        return Refused;
    }
    if (parser.isSet("help"))
        return ShowHelp;
    if (parser.isSet("version"))
        return ShowVersion;
    if (!parser.positionalArguments().isEmpty()) {
        refuse("unexpected argument \"" + parser.positionalArguments().first() +
               "\"; options start with - or --");
        return Refused;
    }
    if (!read(parser) || !validate() || !readPictureOptions(parser))
        return Refused;
    return fromPath.isEmpty() ? Measure : Draw;
}

bool RunOptions::readPictureOptions(const QCommandLineParser &parser)
{
    plotPath = parser.value("plot");
    fromPath = parser.value("from");
    comparePath = parser.value("compare");
    for (const char *option : {"plot", "from", "compare"}) {
        if (parser.isSet(option) && (parser.value(option).isEmpty() || parser.value(option) == "-"))
            return refuse(QString("--%1 needs a file name").arg(option));
    }
    if (parser.isSet("plot") && HistogramPicture::fileFormat(plotPath).isEmpty())
        return refuse("--plot draws a .png or .svg picture, not \"" + plotPath + "\"");
    for (const char *option : {"from", "compare"}) {
        if (parser.isSet(option) && !parser.isSet("plot"))
            return refuse(QString("--%1 needs --plot, the picture to draw into").arg(option));
    }
    if (parser.isSet("from")) {
        // Everything that only a measurement uses.
        for (const char *option : {"mode", "period", "target", "send", "process", "thread",
                                   "duration", "print", "json", "intervals"}) {
            if (parser.isSet(option))
                return refuse(QString("--from draws a saved run and measures nothing; "
                                      "leave out --%1")
                                  .arg(option));
        }
    }
    return true;
}

bool RunOptions::read(const QCommandLineParser &parser)
{
    // A choice from one of the window's lists, by number or by name.
    const auto pick = [&](const char *option, const char *what, const QStringList &names) {
        const int picked = parser.isSet(option) ? choice(parser.value(option), names) : -2;
        if (picked == -1)
            refuse(QString("unknown %1 \"%2\"; give %3 or 0-%4")
                       .arg(what, parser.value(option), "\"" + names.join("\", \"") + "\"")
                       .arg(names.size() - 1));
        return picked;
    };
    const int mode = pick("mode", "clock mode", RunSettings::clockModeNames());
    if (mode == -1)
        return false;
    if (mode >= 0)
        settings.clockMode = RtThread::ClockMode(mode);

    if (parser.isSet("period")) {
        bool ok = false;
        settings.periodMs = parser.value("period").trimmed().toInt(&ok, 10);
        if (!ok || settings.periodMs < 0)
            return refuse("--period takes whole milliseconds, 0 or more, not \"" +
                          parser.value("period") + "\"");
    }

    const int process = pick("process", "process level", RunSettings::processClassNames());
    if (process == -1)
        return false;
    if (process >= 0)
        settings.processClass = platform::ProcessClass(process);
    const int thread = pick("thread", "thread level", RunSettings::threadLevelNames());
    if (thread == -1)
        return false;
    if (thread >= 0)
        settings.threadLevel = platform::ThreadLevel(thread);

    if (parser.isSet("duration") && !seconds(parser.value("duration"), &durationSeconds))
        return refuse("--duration takes seconds, 0 or more, not \"" + parser.value("duration") +
                      "\"");
    if (parser.isSet("print") && !seconds(parser.value("print"), &printSeconds))
        return refuse("--print takes seconds, 0 or more, not \"" + parser.value("print") + "\"");

    settings.send = parser.isSet("send");
    if (parser.isSet("target")) {
        const QString target = parser.value("target");
        const QString refused = refusedTargetReason(target);
        if (!refused.isEmpty())
            return refuse("target " + refused);
        settings.target = target.trimmed();
    }

    jsonPath = parser.value("json");
    if (parser.isSet("json") && jsonPath.isEmpty())
        return refuse("--json needs a file name, or - for standard output");
    intervalsPath = parser.value("intervals");
    if (parser.isSet("intervals") && (intervalsPath.isEmpty() || intervalsPath == "-"))
        return refuse("--intervals needs a file name");
    return true;
}

bool RunOptions::validate()
{
    if (settings.send && settings.target.isEmpty())
        return refuse("--send needs --target, the address to send to");
    if (settings.periodMs == 0 && settings.clockMode == RtThread::WaitableTimerMode)
        return refuse("\"Win32 Periodic\" needs a period of 1 ms or more; arriving datagrams "
                      "are the clock only in \"QTimer Event\" and \"Qt msleep\"");
    if (settings.periodMs == 0 && settings.send)
        return refuse("--send needs a period: with period 0 arriving datagrams are the "
                      "clock, and those ticks send nothing");
    if (!intervalsPath.isEmpty()) {
        if (durationSeconds <= 0)
            return refuse("--intervals needs --duration, so that room for every interval "
                          "can be set aside before the run");
        if (intervalCapacity() > MaxKeptIntervals)
            return refuse("--intervals would keep more than 50,000,000 intervals; "
                          "shorten --duration");
    }
    return true;
}

quint64 RunOptions::intervalCapacity() const
{
    if (intervalsPath.isEmpty() || durationSeconds <= 0)
        return 0;
    // Twice the ticks the period promises, for late starts and bursts, or
    // the receive allowance when arriving datagrams are the clock.
    const double perSecond =
        settings.periodMs > 0 ? 2000.0 / settings.periodMs : ReceiveRateAllowance;
    return quint64(std::ceil(durationSeconds * perSecond)) + 1000;
}

QString RunOptions::helpText()
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Measures how regularly a periodic clock fires on this machine, with no window:\n"
        "the same worker and report as Vantrel's window.");
    parser.addOptions(optionList());
    // The parser names the program by the path it was started with.
    QString text = parser.helpText();
    text.replace(0, text.indexOf('\n'), "Usage: vantrel-cli [options]");
    text += QStringLiteral(
        "\nExamples:\n"
        "  vantrel-cli --mode \"Win32 Periodic\" --period 1 --duration 10\n"
        "      Ten seconds of a 1 ms periodic timer at the top realtime priority, then the\n"
        "      report. Without the right to raise priority (root or CAP_SYS_NICE) the\n"
        "      worker runs at the normal priority; --json shows what it was granted.\n"
        "  vantrel-cli --mode \"Qt msleep\" --period 0 --print 5\n"
        "      Time the datagrams arriving on UDP port 1667, a report every 5 s, until\n"
        "      Ctrl-C.\n"
        "  vantrel-cli -m 2 -p 2 --send --target 127.0.0.1 -d 5 --json run.json\n"
        "      Send a datagram every 2 ms to 127.0.0.1 for 5 s; the statistics go to run.json.\n"
        "  vantrel-cli -m 1 -d 60 --json after.json --plot after.png --compare before.json\n"
        "      A minute of \"Qt msleep\" at 1 ms, drawn beside the run saved in before.json.\n"
        "  vantrel-cli --plot run.svg --from run.json\n"
        "      Draw a saved run; nothing is measured.\n"
        "\n"
        "Exit status: 0 when the run ended as asked (duration or Ctrl-C), 1 when it could\n"
        "not run or was cut short, 2 for bad options.\n");
    return text;
}
