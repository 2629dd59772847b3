#include "cli/runoptions.h"

#include "engine/dottedquad.h"
#include "engine/rtthread.h"
#include "engine/runcontrol.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cmath>

namespace {

// Intervals a receive-driven run is allowed for per second when none are
// promised: well above what loopback delivers to one socket.
const double ReceiveRateAllowance = 200000.0;

QList<QCommandLineOption> optionList()
{
    return {
        {{"h", "help"}, "Show this help."},
        {{"v", "version"}, "Show the version."},
        {{"m", "mode"},
         "Clock to measure: 0 \"QTimer Event\", 1 \"Qt msleep\" or 2 \"Win32 Periodic\" "
         "(number or name). Default: 0.",
         "mode"},
        {{"p", "period"},
         "Clock period in whole milliseconds. 0 in \"QTimer Event\" or \"Qt msleep\" makes "
         "datagrams arriving on UDP port 1667 the clock. Default: 1.",
         "ms"},
        {{"t", "target"}, "IPv4 address (dotted quad) that --send sends to.", "address"},
        {{"s", "send"}, "Send a datagram to --target at every tick."},
        {"process",
         "Process level: \"Idle\", \"Normal\", \"High\" or \"Realtime\" (or 0-3). "
         "Default: Realtime.",
         "level"},
        {"thread",
         "Worker thread level: \"Idle\", \"Lowest\", \"Low\", \"Normal\", \"High\", "
         "\"Highest\" or \"Time Critical\" (or 0-6). Default: Time Critical.",
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
         "--duration.",
         "file"},
    };
}

// A number, or a name from the list (case and surrounding blanks ignored).
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

QString quotedList(const QStringList &names)
{
    return "\"" + names.join("\", \"") + "\"";
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

    const bool sound = [&]() {
        // A choice from one of the window's lists, by number or by name.
        const auto pick = [&](const char *option, const char *what, const QStringList &names,
                              int *value) {
            if (!parser.isSet(option))
                return true;
            *value = choice(parser.value(option), names);
            if (*value >= 0)
                return true;
            return refuse(QString("unknown %1 \"%2\"; give %3 or 0-%4")
                              .arg(what, parser.value(option), quotedList(names))
                              .arg(names.size() - 1));
        };
        if (!pick("mode", "clock mode", RunControl::clockModeNames(), &clockMode))
            return false;
        if (parser.isSet("period")) {
            bool ok = false;
            periodMs = parser.value("period").trimmed().toInt(&ok, 10);
            if (!ok || periodMs < 0)
                return refuse("--period takes whole milliseconds, 0 or more, not \"" +
                              parser.value("period") + "\"");
        }
        if (!pick("process", "process level", RunControl::processLevelNames(), &processLevel) ||
            !pick("thread", "thread level", RunControl::threadLevelNames(), &threadLevel))
            return false;
        if (parser.isSet("duration") && !seconds(parser.value("duration"), &durationSeconds))
            return refuse("--duration takes seconds, 0 or more, not \"" + parser.value("duration") +
                          "\"");
        if (parser.isSet("print") && !seconds(parser.value("print"), &printSeconds))
            return refuse("--print takes seconds, 0 or more, not \"" + parser.value("print") +
                          "\"");

        send = parser.isSet("send");
        if (parser.isSet("target")) {
            target = parser.value("target");
            quint32 address = 0;
            if (!parseDottedQuad(target, &address))
                return refuse("target \"" + target +
                              "\" is not an IPv4 address in dotted-quad form "
                              "(four numbers 0-255, e.g. 127.0.0.1)");
            target = target.trimmed();
        }
        if (send && target.isEmpty())
            return refuse("--send needs --target, the address to send to");

        if (periodMs == 0 && clockMode == RtThread::WaitableTimerMode)
            return refuse("\"Win32 Periodic\" needs a period of 1 ms or more; arriving datagrams "
                          "are the clock only in \"QTimer Event\" and \"Qt msleep\"");
        if (periodMs == 0 && send)
            return refuse("--send needs a period: with period 0 arriving datagrams are the "
                          "clock, and those ticks send nothing");

        jsonPath = parser.value("json");
        if (parser.isSet("json") && jsonPath.isEmpty())
            return refuse("--json needs a file name, or - for standard output");
        intervalsPath = parser.value("intervals");
        if (parser.isSet("intervals")) {
            if (intervalsPath.isEmpty() || intervalsPath == "-")
                return refuse("--intervals needs a file name");
            if (durationSeconds <= 0)
                return refuse("--intervals needs --duration, so that room for every interval "
                              "can be set aside before the run");
            if (intervalCapacity() > MaxKeptIntervals)
                return refuse("--intervals would keep more than 50,000,000 intervals; "
                              "shorten --duration");
        }
        return true;
    }();
    return sound ? Measure : Refused;
}

quint64 RunOptions::intervalCapacity() const
{
    if (intervalsPath.isEmpty() || durationSeconds <= 0)
        return 0;
    // Twice the ticks the period promises, for late starts and bursts, or
    // the receive allowance when arriving datagrams are the clock.
    const double perSecond = periodMs > 0 ? 2000.0 / periodMs : ReceiveRateAllowance;
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
        "\n"
        "Exit status: 0 when the run ended as asked (duration or Ctrl-C), 1 when it could\n"
        "not run or was cut short, 2 for bad options.\n");
    return text;
}
