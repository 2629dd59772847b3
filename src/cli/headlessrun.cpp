// SPDX-License-Identifier: MIT
#include "headlessrun.h"

#include "picturetimeline.h"
#include "platform.h"
#include "resultfile.h"
#include "runnotes.h"
#include "statsreport.h"
#include "stoprequests.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QNetworkProxy>
#include <QTextStream>
#include <QUdpSocket>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <new>

namespace {

const char *const EndingNames[] = {"duration", "stop request", "terminated"};

// How often the waiting thread looks whether the worker ended by itself.
const qint64 WatchMs = 200;

// Binds the port as the worker will, so that a port another program holds is
// reported before anything runs. The worker still reports it should the port
// be taken in between.
bool portFree(const QString &bindAddress)
{
    QUdpSocket probe;
    probe.setProxy(QNetworkProxy::NoProxy);
    return probe.bind(RtThread::listenAddress(bindAddress), RtThread::UdpPort);
}

// The window's sentence, and what a program started from a shell can do.
QString portTaken()
{
    return StatsReport::portTakenMessage() +
        " A sender and a receiver on one machine each need an address of their own: "
        "--bind 127.0.0.1 on one, --bind 127.0.0.2 on the other (docs/cli.md).";
}

QString describe(const RunOptions &options)
{
    const RunSettings &settings = options.settings;
    return QString("measuring \"%1\" %2%3, process \"%4\", thread \"%5\", %6")
        .arg(settings.clockModeName(),
             settings.periodMs > 0
                 ? QString("every %1 ms").arg(settings.periodMs)
                 : QString("on datagrams arriving at UDP port %1").arg(RtThread::UdpPort),
             (settings.bindAddress.isEmpty() ? QString()
                                             : ", listening on " + settings.bindAddress) +
                 (settings.send ? ", sending to " + settings.target : QString()),
             settings.processClassName(), settings.threadLevelName(),
             options.durationSeconds > 0 ? QString("for %1 s").arg(options.durationSeconds)
                                         : QString("until Ctrl-C"));
}

// The worker's CPU and direct policy, when asked for, after describe's text.
QString placement(const RunSettings &settings)
{
    return (settings.cpu >= 0 ? QString(", on CPU %1").arg(settings.cpu) : QString()) +
        (settings.directPolicy
             ? QString(", policy %1 priority %2")
                   .arg(QString::fromStdString(platform::policyName(settings.policy)))
                   .arg(settings.policyPriority)
             : QString());
}

} // namespace

HeadlessRun::HeadlessRun(const RunOptions &options)
    : options(options), metrics(options.settings) { }

HeadlessRun::~HeadlessRun()
{
    stopServing();
}

int HeadlessRun::exec(QTextStream &out, QTextStream &err)
{
    // JSON on standard output leaves it to the JSON alone.
    QTextStream &report = options.jsonPath == "-" ? err : out;

    if (!prepare(err))
        return 1;
    err << "vantrel-cli: " << describe(options) << placement(options.settings) << Qt::endl;
    result.machine.begin(options.settings.cpu);
    measure(report, err);
    result.machine.end();
    stopServing();

    if (worker.lastRunEnd == RtThread::RunBindFailed) {
        err << "vantrel-cli: " << portTaken() << Qt::endl;
        return 1;
    }
    if (worker.lastRunEnd == RtThread::RunTerminated)
        ending = EndedTerminated;
    completeRecord();
    // A report nobody reads any more goes nowhere; the files still come.
    QBuffer nowhere;
    nowhere.open(QIODevice::WriteOnly);
    QTextStream discarded(&nowhere);
    const bool reportLost = &report == &out && standardOutputLost;
    printFinalReport(reportLost ? discarded : report, err);
    if (&report == &out)
        outputLost(out, err);

    bool written = writeResults(out, err);
    written = !standardOutputLost && written;
    if (ending == EndedTerminated) {
        err << "vantrel-cli: the worker did not stop within 5 s and was terminated; the figures "
               "end where it stopped"
            << Qt::endl;
        return 1;
    }
    if (worker.keptIntervals() == intervals.size() && !intervals.empty())
        err << "vantrel-cli: only the first " << intervals.size()
            << " intervals fitted in the room set aside; the histogram has them all" << Qt::endl;
    const bool met = judge(result, err);
    if (!written)
        return 1;
    return met ? 0 : ThresholdCrossed;
}

// --require-rt: the policy and priority the worker will ask for, tried
// before anything runs.
bool HeadlessRun::realtimeGranted(const RunOptions &options, QTextStream &err)
{
    const RunSettings &settings = options.settings;
    platform::Policy policy = settings.policy;
    int priority = settings.policyPriority;
    if (!settings.directPolicy) {
        const platform::ThreadScheduling asked =
            platform::requestedScheduling(settings.processClass, settings.threadLevel);
        policy = asked.policy == "SCHED_RR" ? platform::Policy::RoundRobin : platform::Policy::Fifo;
        priority = asked.priority;
    }
    const platform::Outcome outcome = platform::realtimeWouldBeGranted(policy, priority);
    if (!outcome.granted)
        err << "vantrel-cli: --require-rt: " << QString::fromStdString(outcome.detail)
            << "; nothing was measured" << Qt::endl;
    return outcome.granted;
}

bool HeadlessRun::prepare(QTextStream &err)
{
    if (options.requireRealtime && !realtimeGranted(options, err))
        return false;
    if (!portFree(options.settings.bindAddress)) {
        err << "vantrel-cli: " << portTaken() << Qt::endl;
        return false;
    }
    // Files that cannot be written, and room that cannot be had, are found
    // out now rather than after the run.
    if (!openOutput(jsonFile, options.jsonPath == "-" ? QString() : options.jsonPath, err) ||
        !openOutput(intervalsFile, options.intervalsPath, err) || !picture.prepare(options, err))
        return false;
    // Datagrams are ticks in "QTimer Event" and at period 0; there, each
    // kept interval gets the kernel's arrival interval beside it.
    const RunSettings &settings = options.settings;
    const bool receives = settings.clockMode == RtThread::TimerEventMode || settings.periodMs == 0;
    try {
        intervals.assign(options.intervalCapacity(), 0.0);
        if (receives)
            arrivals.assign(intervals.size(), 0.0);
    } catch (const std::bad_alloc &) {
        err << "vantrel-cli: no memory for " << options.intervalCapacity()
            << " intervals; shorten --duration" << Qt::endl;
        return false;
    }
    worker.keepIntervals(intervals.data(), intervals.size(),
                         arrivals.empty() ? nullptr : arrivals.data());
    return !options.serve || startServing(err);
}

bool HeadlessRun::outputLost(QTextStream &stream, QTextStream &err)
{
    if (!standardOutputLost && stream.status() != QTextStream::Ok) {
        standardOutputLost = true;
        const QFileDevice *device = qobject_cast<const QFileDevice *>(stream.device());
        err << "vantrel-cli: could not write to standard output"
            << (device && !device->errorString().isEmpty() ? ": " + device->errorString()
                                                           : QString())
            << "; nothing more is printed there, the result files are still written" << Qt::endl;
    }
    return standardOutputLost;
}

bool HeadlessRun::startServing(QTextStream &err)
{
    // Runs in the server's thread: reads the same snapshot the report does,
    // and the granted scheduling once the worker has published it.
    const auto render = [this] {
        platform::ThreadScheduling granted;
        const bool known = worker.grantedScheduling(&granted);
        const LatenessStatistics lateness = worker.lateness();
        return metrics.render(worker.statistics(), worker.timeline(), known ? &granted : nullptr,
                              &lateness) +
            metrics.renderSpikes(worker.spikes());
    };
    server = serve(options, render, err);
    return server != nullptr;
}

std::unique_ptr<MetricsServer> HeadlessRun::serve(const RunOptions &options,
                                                  MetricsServer::Render render, QTextStream &err)
{
    auto server = std::make_unique<MetricsServer>(std::move(render), MetricsText::contentType());
    QString why;
    if (!server->start(options.serveAddress, options.servePort, &why)) {
        err << "vantrel-cli: cannot serve metrics on " << options.serveAddress.toString()
            << " port " << options.servePort << ": " << why << Qt::endl;
        return nullptr;
    }
    err << "vantrel-cli: serving metrics at " << server->url() << Qt::endl;
    return server;
}

void HeadlessRun::stopServing()
{
    if (server)
        server->stop();
    server.reset();
}

void HeadlessRun::completeRecord()
{
    result.settings = options.settings;
    result.durationSeconds = options.durationSeconds;
    result.ended = EndingNames[ending];
    worker.grantedScheduling(&result.granted);
    result.conditions.asked = options.settings;
    worker.grantedPlacement(&result.conditions.pinned, &result.conditions.policy);
    result.complete(intervals.data(), worker.keptIntervals(), options.thresholds);
}

void HeadlessRun::printFinalReport(QTextStream &report, QTextStream &err)
{
    report << StatsReport::finalReport(result.elapsedSeconds, result.statistics, result.deviation,
                                       &result.lateness)
           << spikes.section() << Qt::flush;
    // Said once, after the final report, with the whole run's figures.
    const QString flood = StatsReport::floodMessage(result.statistics);
    if (!flood.isEmpty())
        err << "vantrel-cli: " << flood << Qt::endl;
    // What was asked for is not always granted: without the right to raise
    // priority the run went on at the normal one.
    const platform::ThreadScheduling &granted = result.granted;
    err << "vantrel-cli: the worker ran " << QString::fromStdString(granted.policy) << ", priority "
        << granted.priority << ", nice " << granted.nice << Qt::endl;
    // The CPU and the policy, as the worker was granted them.
    RunConditions placement = result.conditions;
    placement.memory = placement.power = platform::Outcome();
    for (const QString &note : placement.notes())
        err << "vantrel-cli: " << note << Qt::endl;
    for (const QString &note :
         {options.settings.directPolicy ? QString()
                                        : RunNotes::priorities(options.settings, granted),
          control.classLeftOut() ? RunNotes::classLeftOut(options.settings) : QString()}) {
        if (!note.isEmpty())
            err << "vantrel-cli: " << note << Qt::endl;
    }
}

bool HeadlessRun::judge(const RunRecord &record, QTextStream &err)
{
    if (record.thresholds.isEmpty())
        return true;
    const DeviationSummary &deviation = record.deviation;
    const auto us = [](double seconds) { return QString::number(seconds * 1e6, 'f', 1) + " us"; };
    const QString basis = deviation.source == DeviationSummary::KeptIntervals
        ? QString("exact, %1 intervals").arg(deviation.count)
        : QString("at most, from the histogram's 0.1 ms bins, %1 intervals").arg(deviation.count);
    QStringList met;
    bool allMet = true;
    for (const Threshold &threshold : record.thresholds) {
        const double value = threshold.figure(deviation);
        QString figure;
        if (deviation.source == DeviationSummary::NoIntervals)
            figure = "no interval was counted";
        else if (threshold.kind == Threshold::PeriodBinShare)
            figure =
                QString::number(value, 'f', 4) + " % of the intervals were in the period's bin";
        else
            figure = QString("%1 of |interval - period| was %2 (%3)")
                         .arg(threshold.kind == Threshold::MaxDeviation ? "the longest"
                                                                        : "the 99th percentile",
                              us(value), basis);
        if (threshold.crossedBy(deviation)) {
            err << "vantrel-cli: threshold crossed: " << RunOptions::optionText(threshold) << ": "
                << figure << Qt::endl;
            allMet = false;
        } else {
            met << RunOptions::optionText(threshold) + " (" +
                    (threshold.kind == Threshold::PeriodBinShare
                         ? QString::number(value, 'f', 4) + " %"
                         : threshold.figureName() + " " + us(value)) +
                    ")";
        }
    }
    if (allMet)
        err << "vantrel-cli: thresholds met (" << basis << "): " << met.join(", ") << Qt::endl;
    return allMet;
}

void HeadlessRun::measure(QTextStream &report, QTextStream &err)
{
    QElapsedTimer clock;
    clock.start();
    StopRequests::measuring();
    worker.setSpikeAboveNs(qint64(std::llround(options.spikeAboveSeconds * 1e9)));
    control.start(worker, options.settings);
    // Refused, the run goes on; said once, now.
    result.conditions.memory = control.memoryLocked();
    result.conditions.power = control.powerStatesHeld();
    for (const QString &note :
         RunConditions{options.settings, {}, result.conditions.memory, result.conditions.power, {}}
             .notes())
        err << "vantrel-cli: " << note << Qt::endl;

    const qint64 deadline =
        options.durationSeconds > 0 ? qint64(std::llround(options.durationSeconds * 1000)) : -1;
    const qint64 printEvery = options.printSeconds > 0
        ? std::max<qint64>(1, std::llround(options.printSeconds * 1000))
        : -1;
    qint64 nextPrint = printEvery;
    ending = EndedByDuration;
    // Every pass ends in the stop-request wait, if only for a look: a print
    // that blocks on a slow reader delays a request, never loses it.
    for (;;) {
        qint64 now = clock.elapsed();
        if (deadline >= 0 && now >= deadline)
            break;
        if (printEvery > 0 && now >= nextPrint && !standardOutputLost) {
            printReport(report, double(now) / 1000.0);
            if (&report != &err)
                outputLost(report, err);
            // The next one is due a whole interval after this one ended.
            now = clock.elapsed();
            nextPrint = now + printEvery;
        }
        // A worker that could not bind ends by itself; nothing else does.
        if (worker.isFinished())
            break;
        qint64 wake = now + WatchMs;
        if (deadline >= 0)
            wake = std::min(wake, deadline);
        if (printEvery > 0)
            wake = std::min(wake, nextPrint);
        if (StopRequests::waitFor(std::uint32_t(std::max<qint64>(0, wake - now)))) {
            ending = EndedByRequest;
            break;
        }
    }
    // From here a request ends the program at once.
    StopRequests::measured();

    // Measured time ends here; the stop protocol may take a while longer.
    result.elapsedSeconds = double(clock.elapsed()) / 1000.0;
    control.stop(worker);
    spikes = worker.spikes();
    result.statistics = worker.statistics();
    result.timeline = worker.timeline();
    result.lateness = worker.lateness();
}

bool HeadlessRun::writeResults(QTextStream &out, QTextStream &err)
{
    bool written = true;
    QJsonObject json = result.toJson();
    json.insert("spikes", spikes.toJson());
    if (options.jsonPath == "-") {
        if (!standardOutputLost)
            out << QJsonDocument(json).toJson() << Qt::flush;
        outputLost(out, err);
    } else if (jsonFile) {
        jsonFile->write(QJsonDocument(json).toJson());
        written = ResultFile::commit(*jsonFile, err);
    }
    if (intervalsFile) {
        writeIntervals(*intervalsFile);
        written = ResultFile::commit(*intervalsFile, err) && written;
    }
    return picture.write(result, err, picture::pictureSpikes(spikes)) && written;
}

void HeadlessRun::printReport(QTextStream &out, double elapsedSeconds, const QString &summary) const
{
    out << StatsReport::runReport(elapsedSeconds, worker.statistics())
        << StatsReport::latenessLine(worker.lateness()) << summary;
    if (summary.isEmpty())
        out << worker.spikes().countsLine() << '\n';
    out << Qt::endl;
}

bool HeadlessRun::openOutput(std::unique_ptr<ResultFile::File> &file, const QString &path,
                             QTextStream &err)
{
    return path.isEmpty() || ResultFile::open(file, path, err);
}

void HeadlessRun::writeIntervals(QIODevice &file) const
{
    // "12345.678\n" takes a dozen characters; a chunk of 64 KiB holds some
    // five thousand lines.
    char chunk[65536];
    const std::size_t longestLine = 64;
    std::size_t used = 0;
    const quint64 kept = worker.keptIntervals();
    // A second column once any datagram was stamped: its arrival interval
    // by the kernel's stamps, "-" for a tick without one.
    const bool stamped = !arrivals.empty() && result.statistics.receive.stampedDatagrams > 0;
    const auto put = [](char *start, char *limit, double seconds) {
        const double micros = seconds * 1e6;
        auto written = std::to_chars(start, limit, micros, std::chars_format::fixed, 3);
        if (written.ec != std::errc()) // too long for fixed notation: shortest form instead
            written = std::to_chars(start, limit, micros);
        return written.ptr;
    };
    for (quint64 i = 0; i < kept; ++i) {
        if (used + longestLine > sizeof chunk) {
            file.write(chunk, qint64(used)); // a failure stays with the file: commit reports it
            used = 0;
        }
        char *const start = chunk + used;
        char *const limit = start + longestLine / 2 - 1;
        char *end = put(start, limit, intervals[i]);
        if (stamped) {
            *end++ = ' ';
            if (std::isnan(arrivals[i]))
                *end++ = '-';
            else
                end = put(end, end + longestLine / 2 - 1, arrivals[i]);
        }
        *end++ = '\n';
        used = std::size_t(end - chunk);
    }
    file.write(chunk, qint64(used));
}
