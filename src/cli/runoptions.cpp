// SPDX-License-Identifier: MIT
#include "runoptions.h"

#include "dottedquad.h"
#include "rtthread.h"
#include "histogrampicture.h"
#include "targetcheck.h"

#include <QCommandLineParser>
#include <QHostAddress>
#include <QNetworkInterface>
#include <QRegularExpression>

#include <cmath>
#include <filesystem>
#include <system_error>

namespace {

// Intervals a receive-driven run is allowed for per second when none are
// promised: well above what loopback delivers to one socket.
const double ReceiveRateAllowance = 200000.0;

// The shortest --print interval: a 300-row table ten times a second is
// already more than a person reads.
const double ShortestPrintSeconds = 0.1;

// "\"Idle\", \"Normal\", \"High\" or \"Realtime\"", optionally numbered.
QString orList(const QStringList &names, bool numbered = false)
{
    QStringList quoted;
    for (int i = 0; i < names.size(); ++i)
        quoted << (numbered ? QString("%1 \"%2\"").arg(i).arg(names[i]) : "\"" + names[i] + "\"");
    const QString last = quoted.takeLast();
    return quoted.join(", ") + " or " + last;
}

// --process or --thread: a level by name or number.
QCommandLineOption levelOption(const QString &name, const QString &what, const QStringList &names,
                               const QString &byDefault)
{
    return {name,
            QString("%1: %2 (or 0-%3). Default: %4.")
                .arg(what, orList(names))
                .arg(names.size() - 1)
                .arg(byDefault),
            "level"};
}

// The options a group at a time, in the order --help lists them.
QList<QCommandLineOption> clockOptions(const RunSettings &defaults)
{
    return {
        {{"m", "mode"},
         QString("Clock to measure: %1 (number or name). Default: %2.")
             .arg(orList(RunSettings::clockModeNames(), true))
             .arg(int(defaults.clockMode)),
         "mode"},
        {{"p", "period"},
         QString("Clock period in whole milliseconds, 0 to %1 as in the window. 0 in \"%2\" or "
                 "\"%3\" makes datagrams arriving on UDP port %4 the clock. Default: %5.")
             .arg(RunSettings::MaxPeriodMs)
             .arg(RunSettings::clockModeNames().at(RtThread::TimerEventMode),
                  RunSettings::clockModeNames().at(RtThread::MsleepMode))
             .arg(RtThread::UdpPort)
             .arg(defaults.periodMs),
         "ms"},
    };
}

QList<QCommandLineOption> networkOptions()
{
    return {
        {{"t", "target"}, "IPv4 address (dotted quad) that --send sends to.", "address"},
        {{"s", "send"}, "Send a datagram to --target at every tick."},
        {"bind",
         QString("Listen on UDP port %1 of this one local IPv4 address (dotted quad) only. "
                 "Default: every local IPv4 address.")
             .arg(RtThread::UdpPort),
         "address"},
    };
}

QList<QCommandLineOption> priorityOptions(const RunSettings &defaults)
{
    return {
        levelOption("process", "Process level", RunSettings::processClassNames(),
                    defaults.processClassName()),
        levelOption("thread", "Worker thread level", RunSettings::threadLevelNames(),
                    defaults.threadLevelName()),
    };
}

QList<QCommandLineOption> timingOptions()
{
    return {
        {{"d", "duration"},
         "Stop after this many seconds. Default: 0, run until Ctrl-C.",
         "seconds"},
        {"print",
         QString("Also print the report every this many seconds (%1 or more), timed from the "
                 "end of the last. Default: 0, only at the end.")
             .arg(ShortestPrintSeconds),
         "seconds"},
    };
}

QList<QCommandLineOption> outputOptions()
{
    return {
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

QList<QCommandLineOption> thresholdOptions()
{
    return {
        {"fail-above",
         "Exit with status 3 when the longest |interval - period| is above this: a time with "
         "its unit, us, ms or s (e.g. 150us).",
         "time"},
        {"fail-p99",
         "Exit with status 3 when the 99th percentile of |interval - period| is above this "
         "(e.g. 40us).",
         "time"},
        {"fail-share",
         "Exit with status 3 when less than this share of the intervals, in %, fall in the "
         "period's 0.1 ms bin (e.g. 99.5).",
         "percent"},
    };
}

QCommandLineOption serveOption()
{
    return {"serve",
            "While measuring, serve the statistics in Prometheus's text format at "
            "http://ADDRESS:PORT/metrics. ADDRESS is 127.0.0.1 unless given; PORT 0 takes a free "
            "port and says which.",
            "address:port"};
}

QList<QCommandLineOption> optionList()
{
    const RunSettings defaults;
    QList<QCommandLineOption> options{{{"h", "help"}, "Show this help."},
                                      {{"v", "version"}, "Show the version."}};
    options << clockOptions(defaults) << networkOptions() << priorityOptions(defaults)
            << timingOptions() << outputOptions() << thresholdOptions() << serveOption();
    return options;
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

// A time with its unit, "150us", "0.2 ms", "1s", as seconds.
bool timeWithUnit(const QString &text, double *value)
{
    static const QRegularExpression form(
        QStringLiteral("^\\s*(\\d+(?:\\.\\d*)?|\\.\\d+)\\s*(us|\\x{00B5}s|ms|s)\\s*$"));
    const QRegularExpressionMatch match = form.match(text);
    if (!match.hasMatch())
        return false;
    const QString unit = match.captured(2);
    const double perSecond = unit == "s" ? 1.0 : unit == "ms" ? 1e3 : 1e6;
    const double parsed = match.captured(1).toDouble() / perSecond;
    if (!std::isfinite(parsed) || parsed > 1e9)
        return false;
    *value = parsed;
    return true;
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

// Whether two paths name one file: the same device and inode once it exists;
// before, the same name in the same directory.
bool sameFile(const QString &first, const QString &second)
{
    namespace fs = std::filesystem;
    const fs::path a = fs::absolute(first.toStdString());
    const fs::path b = fs::absolute(second.toStdString());
    std::error_code error;
    if (fs::exists(a, error) || fs::exists(b, error))
        return fs::equivalent(a, b, error);
    return a.filename() == b.filename() && fs::equivalent(a.parent_path(), b.parent_path(), error);
}

// Whether text is an IPv4 address of one of this machine's interfaces.
bool localAddress(const QString &text)
{
    quint32 address = 0;
    if (!parseDottedQuad(text, &address))
        return false;
    return QNetworkInterface::allAddresses().contains(QHostAddress(address));
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
        return refuse("--plot draws a " + HistogramPicture::fileEndings() + " picture, not \"" +
                      plotPath + "\"");
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
    return readClock(parser) && readPriorities(parser) && readTiming(parser) &&
        readNetwork(parser) && readThresholds(parser) && readServe(parser) &&
        readResultFiles(parser);
}

template <typename Choice>
bool RunOptions::pick(const QCommandLineParser &parser, const char *option, const char *what,
                      const QStringList &names, Choice *picked)
{
    if (!parser.isSet(option))
        return true;
    const int index = choice(parser.value(option), names);
    if (index == -1)
        return refuse(QString("unknown %1 \"%2\"; give %3 or 0-%4")
                          .arg(what, parser.value(option), "\"" + names.join("\", \"") + "\"")
                          .arg(names.size() - 1));
    *picked = Choice(index);
    return true;
}

bool RunOptions::readClock(const QCommandLineParser &parser)
{
    if (!pick(parser, "mode", "clock mode", RunSettings::clockModeNames(), &settings.clockMode))
        return false;

    if (parser.isSet("period")) {
        bool ok = false;
        settings.periodMs = parser.value("period").trimmed().toInt(&ok, 10);
        if (!ok || settings.periodMs < 0 || settings.periodMs > RunSettings::MaxPeriodMs)
            return refuse(QString("--period takes whole milliseconds, 0 to %1, not \"%2\"")
                              .arg(RunSettings::MaxPeriodMs)
                              .arg(parser.value("period")));
    }
    return true;
}

bool RunOptions::readPriorities(const QCommandLineParser &parser)
{
    return pick(parser, "process", "process level", RunSettings::processClassNames(),
                &settings.processClass) &&
        pick(parser, "thread", "thread level", RunSettings::threadLevelNames(),
             &settings.threadLevel);
}

bool RunOptions::readTiming(const QCommandLineParser &parser)
{
    if (parser.isSet("duration") && !seconds(parser.value("duration"), &durationSeconds))
        return refuse("--duration takes seconds, 0 or more, not \"" + parser.value("duration") +
                      "\"");
    if (parser.isSet("print") &&
        (!seconds(parser.value("print"), &printSeconds) ||
         (printSeconds > 0 && printSeconds < ShortestPrintSeconds)))
        return refuse(QString("--print takes seconds, %1 or more (0: only at the end), not \"%2\"")
                          .arg(ShortestPrintSeconds)
                          .arg(parser.value("print")));
    return true;
}

bool RunOptions::readNetwork(const QCommandLineParser &parser)
{
    settings.send = parser.isSet("send");
    if (parser.isSet("target")) {
        const QString target = parser.value("target");
        const QString problem = targetProblem(target);
        if (!problem.isEmpty())
            return refuse("target " + problem);
        settings.target = target.trimmed();
    }
    if (parser.isSet("bind")) {
        const QString address = parser.value("bind");
        if (!localAddress(address))
            return refuse("--bind takes one of this machine's IPv4 addresses, in dotted-quad "
                          "form (e.g. 127.0.0.1), not \"" +
                          address + "\"");
        settings.bindAddress = address.trimmed();
    }
    return true;
}

bool RunOptions::readResultFiles(const QCommandLineParser &parser)
{
    jsonPath = parser.value("json");
    if (parser.isSet("json") && jsonPath.isEmpty())
        return refuse("--json needs a file name, or - for standard output");
    intervalsPath = parser.value("intervals");
    if (parser.isSet("intervals") && (intervalsPath.isEmpty() || intervalsPath == "-"))
        return refuse("--intervals needs a file name");
    return true;
}

bool RunOptions::readThresholds(const QCommandLineParser &parser)
{
    const struct
    {
        const char *option;
        Threshold::Kind kind;
    } deviations[] = {{"fail-above", Threshold::MaxDeviation},
                      {"fail-p99", Threshold::P99Deviation}};
    for (const auto &deviation : deviations) {
        if (!parser.isSet(deviation.option))
            continue;
        Threshold threshold;
        threshold.kind = deviation.kind;
        if (!timeWithUnit(parser.value(deviation.option), &threshold.limit))
            return refuse(QString("--%1 takes a time with its unit, us, ms or s (e.g. 150us), "
                                  "not \"%2\"")
                              .arg(deviation.option, parser.value(deviation.option)));
        thresholds << threshold;
    }
    if (parser.isSet("fail-share")) {
        QString text = parser.value("fail-share").trimmed();
        if (text.endsWith('%'))
            text.chop(1);
        bool ok = false;
        Threshold threshold;
        threshold.kind = Threshold::PeriodBinShare;
        threshold.limit = text.trimmed().toDouble(&ok);
        if (!ok || !(threshold.limit >= 0 && threshold.limit <= 100))
            return refuse("--fail-share takes a share in %, 0 to 100 (e.g. 99.5), not \"" +
                          parser.value("fail-share") + "\"");
        thresholds << threshold;
    }
    return true;
}

// "ADDRESS:PORT", ":PORT" or "PORT"; ADDRESS a dotted quad, an IPv6 address
// in brackets or "localhost".
bool RunOptions::readServe(const QCommandLineParser &parser)
{
    serve = parser.isSet("serve");
    if (!serve)
        return true;
    const QString given = parser.value("serve").trimmed();
    const auto refused = [&]() {
        return refuse("--serve takes ADDRESS:PORT, e.g. 127.0.0.1:9667 or [::1]:9667 (PORT "
                      "alone serves on loopback), not \"" +
                      parser.value("serve") + "\"");
    };
    const int colon = given.lastIndexOf(':');
    QString host = colon >= 0 ? given.left(colon) : QString();
    const QString portText = colon >= 0 ? given.mid(colon + 1) : given;
    bool ok = false;
    const uint port = portText.toUInt(&ok, 10);
    if (!ok || port > 65535)
        return refused();
    servePort = quint16(port);

    quint32 ipv4 = 0;
    if (host.isEmpty() || host.compare("localhost", Qt::CaseInsensitive) == 0) {
        serveAddress = QHostAddress(QHostAddress::LocalHost);
    } else if (parseDottedQuad(host, &ipv4)) {
        serveAddress = QHostAddress(ipv4);
    } else if (host.startsWith('[') && host.endsWith(']') &&
               serveAddress.setAddress(host.mid(1, host.size() - 2)) &&
               serveAddress.protocol() == QAbstractSocket::IPv6Protocol) {
        serveAddress.setScopeId(QString()); // an interface's scope is not an address to serve on
    } else {
        return refused();
    }
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
    for (const Threshold &threshold : thresholds) {
        if (threshold.kind == Threshold::PeriodBinShare &&
            DeviationSummary::periodBin(settings.periodMs) < 0)
            return refuse("--fail-share needs a period of 1 to 29 ms: the share is of the "
                          "period's own 0.1 ms bin, and period 0 has none, nor does 30 ms or "
                          "more (the overflow bin)");
        // Judged on the histogram, a deviation is known to its 0.1 ms bin:
        // at most 50 us for the period's own. Finer needs every interval.
        if (threshold.kind != Threshold::PeriodBinShare && threshold.limit < 50e-6 - 1e-12 &&
            intervalCapacity() == 0)
            return refuse(
                optionText(threshold) +
                " is finer than the histogram's 0.1 ms bins, and this run cannot "
                "keep every interval to judge it exactly; give 50us or more, or a "
                "--duration of at most " +
                QString::number(std::floor((MaxKeptForThresholds - 1000) / intervalsPerSecond())) +
                " s");
    }
    if (!jsonPath.isEmpty() && jsonPath != "-" && !intervalsPath.isEmpty() &&
        sameFile(jsonPath, intervalsPath))
        return refuse("--json and --intervals name the same file, " + intervalsPath +
                      "; each needs its own");
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
    if (durationSeconds <= 0)
        return 0;
    const quint64 room = roomForIntervals();
    if (!intervalsPath.isEmpty())
        return room;
    // Thresholds are judged on exact figures when every interval fits.
    return !thresholds.isEmpty() && room <= MaxKeptForThresholds ? room : 0;
}

quint64 RunOptions::roomForIntervals() const
{
    return quint64(std::ceil(durationSeconds * intervalsPerSecond())) + 1000;
}

// Twice the ticks the period promises, for late starts and bursts, or the
// receive allowance when arriving datagrams are the clock.
double RunOptions::intervalsPerSecond() const
{
    return settings.periodMs > 0 ? 2000.0 / settings.periodMs : ReceiveRateAllowance;
}

QString RunOptions::optionText(const Threshold &threshold)
{
    if (threshold.kind == Threshold::PeriodBinShare)
        return "--fail-share " + QString::number(threshold.limit, 'g', 12);
    // In the largest unit that keeps it at 1 or more: 150us, 2.5ms, 1s.
    const double limit = threshold.limit;
    const QString time = limit >= 1 ? QString::number(limit, 'g', 12) + "s"
        : limit >= 1e-3             ? QString::number(limit * 1e3, 'g', 12) + "ms"
                                    : QString::number(limit * 1e6, 'g', 12) + "us";
    return (threshold.kind == Threshold::MaxDeviation ? "--fail-above " : "--fail-p99 ") + time;
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
        "  vantrel-cli -m 2 -p 1 -d 60 --fail-above 150us --fail-p99 40us\n"
        "      A minute of a 1 ms periodic timer as a CI gate: exit status 3, and a line\n"
        "      naming the threshold and the figure, when either limit is crossed.\n"
        "  vantrel-cli -m 2 -p 1 --serve 127.0.0.1:9667\n"
        "      Measure until Ctrl-C while Prometheus scrapes http://127.0.0.1:9667/metrics.\n"
        "\n"
        "Exit status: 0 when the run ended as asked (duration or Ctrl-C), 1 when it could\n"
        "not run or was cut short, 2 for bad options, 3 when it ran as asked but crossed\n"
        "a --fail-above, --fail-p99 or --fail-share threshold.\n");
    return text;
}
