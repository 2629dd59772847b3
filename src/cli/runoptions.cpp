// SPDX-License-Identifier: MIT
#include "runoptions.h"

#include "dottedquad.h"
#include "histogrampicture.h"
#include "resultfile.h"
#include "rtthread.h"
#include "targetcheck.h"

#include <QCommandLineParser>
#include <QHostAddress>
#include <QNetworkInterface>
#include <QRegularExpression>

#include <cmath>

namespace {

// Intervals a receive-driven run is allowed for per second when none are
// promised: well above what loopback delivers to one socket.
const double ReceiveRateAllowance = 200000.0;

// Each option read on its own, then the options together; the table and
// --help are in runoptiontable.cpp.

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

// Whether text is an IPv4 address of one of this machine's interfaces.
bool localAddress(const QString &text)
{
    quint32 address = 0;
    if (!parseDottedQuad(text, &address))
        return false;
    // Every address of 127.0.0.0/8 is this machine's, though interfaces list
    // 127.0.0.1 alone: two copies on one machine each take one.
    return (address >> 24) == 127 ||
        QNetworkInterface::allAddresses().contains(QHostAddress(address));
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
    parser.addOptions(parserOptions());

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
    for (const Option &option : options()) {
        const QString name = option.names.last();
        if (option.read && parser.isSet(name) && !(this->*option.read)(parser.value(name)))
            return Refused;
    }
    if (!drawsAlone(parser) || !validate() || !noSharedFiles())
        return Refused;
    return fromPath.isEmpty() ? Measure : Draw;
}

// --from and --compare draw into --plot; --from measures nothing, so every
// option that only a measurement uses is refused beside it.
bool RunOptions::drawsAlone(const QCommandLineParser &parser)
{
    for (const char *option : {"from", "compare"}) {
        if (parser.isSet(option) && !parser.isSet("plot"))
            return refuse(QString("--%1 needs --plot, the picture to draw into").arg(option));
    }
    if (!parser.isSet("from"))
        return true;
    for (const Option &option : options()) {
        if (option.measures && parser.isSet(option.names.last()))
            return refuse(QString("--from draws a saved run and measures nothing; "
                                  "leave out --%1")
                              .arg(option.names.last()));
    }
    return true;
}

bool RunOptions::fileName(const char *option, const QString &value, QString *path)
{
    if (value.isEmpty() || value == "-")
        return refuse(QString("--%1 needs a file name").arg(option));
    *path = value;
    return true;
}

bool RunOptions::readPlot(const QString &value)
{
    if (!fileName("plot", value, &plotPath))
        return false;
    if (HistogramPicture::fileFormat(plotPath).isEmpty())
        return refuse("--plot draws a " + HistogramPicture::fileEndings() + " picture, not \"" +
                      plotPath + "\"");
    return true;
}

bool RunOptions::readFrom(const QString &value)
{
    return fileName("from", value, &fromPath);
}

bool RunOptions::readCompare(const QString &value)
{
    return fileName("compare", value, &comparePath);
}

// Each result file its own, and none of them a run this one reads.
bool RunOptions::noSharedFiles()
{
    const struct
    {
        const char *option;
        QString path;
        bool written;
    } files[] = {{"json", jsonPath == "-" ? QString() : jsonPath, true},
                 {"intervals", intervalsPath, true},
                 {"plot", plotPath, true},
                 {"from", fromPath, false},
                 {"compare", comparePath, false}};
    for (const auto &first : files) {
        for (const auto &second : files) {
            if (&second <= &first || !(first.written || second.written) || first.path.isEmpty() ||
                second.path.isEmpty() || !ResultFile::sameFile(first.path, second.path))
                continue;
            return refuse(second.written ? QString("--%1 and --%2 name the same file, %3; each "
                                                   "needs its own")
                                               .arg(first.option, second.option, second.path)
                                         : QString("--%1 would write over %2, the run --%3 "
                                                   "reads; name another file")
                                               .arg(first.option, second.path, second.option));
        }
    }
    return true;
}

template <typename Choice>
bool RunOptions::pick(const QString &value, const char *what, const QStringList &names,
                      Choice *picked)
{
    const int index = choice(value, names);
    if (index == -1)
        return refuse(QString("unknown %1 \"%2\"; give %3 or 0-%4")
                          .arg(what, value, "\"" + names.join("\", \"") + "\"")
                          .arg(names.size() - 1));
    *picked = Choice(index);
    return true;
}

bool RunOptions::readMode(const QString &value)
{
    return pick(value, "clock mode", RunSettings::clockModeNames(), &settings.clockMode);
}

bool RunOptions::readPeriod(const QString &value)
{
    bool ok = false;
    settings.periodMs = value.trimmed().toInt(&ok, 10);
    if (!ok || settings.periodMs < 0 || settings.periodMs > RunSettings::MaxPeriodMs)
        return refuse(QString("--period takes whole milliseconds, 0 to %1, not \"%2\"")
                          .arg(RunSettings::MaxPeriodMs)
                          .arg(value));
    return true;
}

bool RunOptions::readProcess(const QString &value)
{
    levelGiven = true;
    return pick(value, "process level", RunSettings::processClassNames(), &settings.processClass);
}

bool RunOptions::readThread(const QString &value)
{
    levelGiven = true;
    return pick(value, "thread level", RunSettings::threadLevelNames(), &settings.threadLevel);
}

bool RunOptions::readDuration(const QString &value)
{
    if (!seconds(value, &durationSeconds))
        return refuse("--duration takes seconds, 0 or more, not \"" + value + "\"");
    return true;
}

bool RunOptions::readPrint(const QString &value)
{
    if (!seconds(value, &printSeconds) || (printSeconds > 0 && printSeconds < ShortestPrintSeconds))
        return refuse(QString("--print takes seconds, %1 or more (0: only at the end), not \"%2\"")
                          .arg(ShortestPrintSeconds)
                          .arg(value));
    return true;
}

bool RunOptions::readTarget(const QString &value)
{
    const QString problem = targetProblem(value);
    if (!problem.isEmpty())
        return refuse("target " + problem);
    settings.target = value.trimmed();
    return true;
}

bool RunOptions::readSend(const QString &)
{
    settings.send = true;
    return true;
}

bool RunOptions::readBind(const QString &value)
{
    if (!localAddress(value))
        return refuse("--bind takes one of this machine's IPv4 addresses, in dotted-quad "
                      "form (e.g. 127.0.0.1), not \"" +
                      value + "\"");
    settings.bindAddress = value.trimmed();
    bindGiven = true;
    return true;
}

bool RunOptions::readJson(const QString &value)
{
    if (value.isEmpty())
        return refuse("--json needs a file name, or - for standard output");
    jsonPath = value;
    return true;
}

bool RunOptions::readIntervals(const QString &value)
{
    if (value.isEmpty() || value == "-")
        return refuse("--intervals needs a file name");
    intervalsPath = value;
    return true;
}

bool RunOptions::readDeviationLimit(const char *option, Threshold::Kind kind, const QString &value)
{
    Threshold threshold;
    threshold.kind = kind;
    if (!timeWithUnit(value, &threshold.limit))
        return refuse(QString("--%1 takes a time with its unit, us, ms or s (e.g. 150us), "
                              "not \"%2\"")
                          .arg(option, value));
    thresholds << threshold;
    return true;
}

bool RunOptions::readFailAbove(const QString &value)
{
    return readDeviationLimit("fail-above", Threshold::MaxDeviation, value);
}

bool RunOptions::readFailP99(const QString &value)
{
    return readDeviationLimit("fail-p99", Threshold::P99Deviation, value);
}

bool RunOptions::readFailShare(const QString &value)
{
    QString text = value.trimmed();
    if (text.endsWith('%'))
        text.chop(1);
    bool ok = false;
    Threshold threshold;
    threshold.kind = Threshold::PeriodBinShare;
    threshold.limit = text.trimmed().toDouble(&ok);
    if (!ok || !(threshold.limit >= 0 && threshold.limit <= 100))
        return refuse("--fail-share takes a share in %, 0 to 100 (e.g. 99.5), not \"" + value +
                      "\"");
    thresholds << threshold;
    return true;
}

bool RunOptions::readSpikeAbove(const QString &value)
{
    if (!timeWithUnit(value, &spikeAboveSeconds) || !(spikeAboveSeconds > 0))
        return refuse("--spike-above takes a time above 0 with its unit, us, ms or s (e.g. "
                      "500us), not \"" +
                      value + "\"");
    return true;
}

// "ADDRESS:PORT", ":PORT" or "PORT"; ADDRESS a dotted quad, an IPv6 address
// in brackets or "localhost".
bool RunOptions::readServe(const QString &value)
{
    serve = true;
    const QString given = value.trimmed();
    const auto refused = [&]() {
        return refuse("--serve takes ADDRESS:PORT, e.g. 127.0.0.1:9667 or [::1]:9667 (PORT "
                      "alone serves on loopback), not \"" +
                      value + "\"");
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
    if (!validateConditions())
        return false;
    if (settings.send && settings.target.isEmpty())
        return refuse("--send needs --target, the address to send to");
    if (!settings.send && !settings.target.isEmpty())
        notes << "nothing is sent without --send";
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
                " s (room for 10,000,000 intervals: twice the ticks the period promises, and "
                "1,000 more)");
    }
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
