// SPDX-License-Identifier: MIT
// The option table, its --help, and the parser's options made from it.
#include "runoptions.h"

#include "rtthread.h"

#include <QCommandLineParser>

namespace {

// Whether an option only a measurement uses: refused beside --from.
constexpr bool Measures = true;
constexpr bool AlsoDraws = false;

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
QString levelHelp(const QString &what, const QStringList &names, const QString &byDefault)
{
    return QString("%1: %2 (or 0-%3). Default: %4.")
        .arg(what, orList(names))
        .arg(names.size() - 1)
        .arg(byDefault);
}

} // namespace

// Every option once: its names, its help, its value's name (none for a
// switch), whether only a measurement uses it, and the step that reads it.
// --help lists them in this order, and they are read in it.
const QList<RunOptions::Option> &RunOptions::options()
{
    static const QList<Option> table = [] {
        const RunSettings defaults;
        const QStringList modes = RunSettings::clockModeNames();
        return QList<Option>{
            {{"h", "help"}, "Show this help.", {}, AlsoDraws, nullptr},
            {{"v", "version"}, "Show the version.", {}, AlsoDraws, nullptr},
            {{"m", "mode"},
             QString("Clock to measure: %1 (number or name). Default: %2.")
                 .arg(orList(modes, true))
                 .arg(int(defaults.clockMode)),
             "mode",
             Measures,
             &RunOptions::readMode},
            {{"p", "period"},
             QString("Clock period in whole milliseconds, 0 to %1 as in the window. 0 in \"%2\" or "
                     "\"%3\" makes datagrams arriving on UDP port %4 the clock. Default: %5.")
                 .arg(RunSettings::MaxPeriodMs)
                 .arg(modes.at(RtThread::TimerEventMode), modes.at(RtThread::MsleepMode))
                 .arg(RtThread::UdpPort)
                 .arg(defaults.periodMs),
             "ms",
             Measures,
             &RunOptions::readPeriod},
            {{"t", "target"},
             "IPv4 address (dotted quad) that --send sends to.",
             "address",
             Measures,
             &RunOptions::readTarget},
            {{"s", "send"},
             "Send a datagram to --target at every tick.",
             {},
             Measures,
             &RunOptions::readSend},
            {{"bind"},
             QString("Listen on UDP port %1 of this one local IPv4 address (dotted quad) only. "
                     "Default: every local IPv4 address.")
                 .arg(RtThread::UdpPort),
             "address",
             Measures,
             &RunOptions::readBind},
            {{"process"},
             levelHelp("Process level", RunSettings::processClassNames(),
                       defaults.processClassName()),
             "level",
             Measures,
             &RunOptions::readProcess},
            {{"thread"},
             levelHelp("Worker thread level", RunSettings::threadLevelNames(),
                       defaults.threadLevelName()),
             "level",
             Measures,
             &RunOptions::readThread},
            {{"cpu"},
             "Pin the worker to this CPU, numbered as the kernel numbers them (one this process "
             "may use). Default: any CPU.",
             "n",
             Measures,
             &RunOptions::readCpu},
            {{"cpus"},
             "Run one worker per CPU of this list at once (e.g. 0,2-3, or all), each pinned to "
             "its CPU: a report per CPU, then a summary line each. Timed clocks only; no worker "
             "listens or sends. Thresholds judge the worst CPU.",
             "list",
             Measures,
             &RunOptions::readCpus},
            {{"no-mlock"},
             "Leave memory unlocked. Default: the process's memory is locked for the run where "
             "it may be (mlockall), and the run says so where it may not.",
             {},
             Measures,
             &RunOptions::readNoMlock},
            {{"trace"},
             "Trace the scheduler where the process may (root or CAP_PERFMON): the kernel's "
             "events on the worker's CPUs name the task that held it at each spike. It adds "
             "a few microseconds to each wake-up. Default: causes inferred, not traced.",
             {},
             Measures,
             &RunOptions::readTrace},
            {{"pm-qos"},
             "Hold the CPUs out of idle states slower to leave than this many microseconds "
             "during the run (/dev/cpu_dma_latency), or off. Default: 0.",
             "off|usec",
             Measures,
             &RunOptions::readPmQos},
            {{"policy"},
             "Set the worker's scheduling policy directly instead of --process and --thread: "
             "fifo, rr, other, batch or idle. Linux only.",
             "policy",
             Measures,
             &RunOptions::readPolicy},
            {{"priority"},
             "The priority of --policy: 1 to 99 for fifo and rr (default 99), 0 for the others.",
             "n",
             Measures,
             &RunOptions::readPriority},
            {{"require-rt"},
             "Exit with status 1 before measuring when the worker would not be granted a "
             "realtime policy at the priority asked for (--policy, or what --process and "
             "--thread ask for).",
             {},
             Measures,
             &RunOptions::readRequireRt},
            {{"d", "duration"},
             "Stop after this many seconds. Default: 0, run until Ctrl-C.",
             "seconds",
             Measures,
             &RunOptions::readDuration},
            {{"print"},
             QString("Also print the report every this many seconds (%1 or more), timed from the "
                     "end of the last. Default: 0, only at the end.")
                 .arg(ShortestPrintSeconds),
             "seconds",
             Measures,
             &RunOptions::readPrint},
            {{"json"},
             "Write the final statistics as JSON to this file (- for standard output; the "
             "text report then goes to standard error).",
             "file",
             Measures,
             &RunOptions::readJson},
            {{"intervals"},
             "Write every counted interval, in microseconds, one per line, to this file. Needs "
             "--duration. When datagrams were stamped by the kernel, a second column gives the "
             "arrival interval of each tick's first datagram by those stamps (- for none).",
             "file",
             Measures,
             &RunOptions::readIntervals},
            {{"plot"},
             "Draw the run's histogram and timeline into this picture at the end, PNG or SVG by "
             "the file's ending (.png, .svg). Needs no display.",
             "file",
             AlsoDraws,
             &RunOptions::readPlot},
            {{"from"},
             "Measure nothing: draw the run saved in this JSON file (from --json) into --plot.",
             "file",
             AlsoDraws,
             &RunOptions::readFrom},
            {{"compare"},
             "Draw the run saved in this JSON file beside the other in --plot, e.g. before and "
             "after tuning.",
             "file",
             AlsoDraws,
             &RunOptions::readCompare},
            {{"fail-above"},
             "Exit with status 3 when the longest |interval - period| is above this: a time with "
             "its unit, us, ms or s (e.g. 150us).",
             "time",
             Measures,
             &RunOptions::readFailAbove},
            {{"fail-p99"},
             "Exit with status 3 when the 99th percentile of |interval - period| is above this "
             "(e.g. 40us).",
             "time",
             Measures,
             &RunOptions::readFailP99},
            {{"fail-share"},
             "Exit with status 3 when less than this share of the intervals, in %, fall in the "
             "period's 0.1 ms bin (e.g. 99.5).",
             "percent",
             Measures,
             &RunOptions::readFailShare},
            {{"spike-above"},
             "Judge a timer tick later than this past its deadline (a receive clock: an "
             "interval longer than this) as a spike and say why it came (e.g. 500us). "
             "Default: ten times the run's median lateness, and over 100us.",
             "time",
             Measures,
             &RunOptions::readSpikeAbove},
            {{"serve"},
             "While measuring, serve the statistics in Prometheus's text format at "
             "http://ADDRESS:PORT/metrics. ADDRESS is 127.0.0.1 unless given; PORT 0 takes a free "
             "port and says which.",
             "address:port",
             Measures,
             &RunOptions::readServe},
        };
    }();
    return table;
}

QList<QCommandLineOption> RunOptions::parserOptions()
{
    QList<QCommandLineOption> list;
    for (const RunOptions::Option &option : RunOptions::options())
        list << (option.valueName.isEmpty()
                     ? QCommandLineOption(option.names, option.help)
                     : QCommandLineOption(option.names, option.help, option.valueName));
    return list;
}

QString RunOptions::helpText()
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Measures how regularly a periodic clock fires on this machine, with no window:\n"
        "the same worker and report as Vantrel's window.");
    parser.addOptions(parserOptions());
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
