// SPDX-License-Identifier: MIT
#include "headlessrun.h"

#include "platform.h"
#include "runcontrol.h"
#include "statsreport.h"

#include <QElapsedTimer>
#include <QFileInfo>
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
    return probe.bind(bindAddress.isEmpty() ? QHostAddress(QHostAddress::AnyIPv4)
                                            : QHostAddress(bindAddress),
                      RtThread::UdpPort);
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

} // namespace

HeadlessRun::HeadlessRun(const RunOptions &options) : options(options) { }

int HeadlessRun::exec(QTextStream &out, QTextStream &err)
{
    // JSON on standard output leaves it to the JSON alone.
    QTextStream &report = options.jsonPath == "-" ? err : out;

    if (!prepare(err))
        return 1;
    err << "vantrel-cli: " << describe(options) << Qt::endl;
    measure(report);

    if (worker.lastRunEnd == RtThread::RunBindFailed) {
        err << "vantrel-cli: " << StatsReport::portTakenMessage() << Qt::endl;
        return 1;
    }
    if (worker.lastRunEnd == RtThread::RunTerminated)
        ending = EndedTerminated;
    result.settings = options.settings;
    result.durationSeconds = options.durationSeconds;
    result.ended = EndingNames[ending];
    result.keptIntervals = worker.keptIntervals();
    result.granted = worker.grantedScheduling;

    printReport(report, result.elapsedSeconds);
    // Said once, after the final report, with the whole run's figures.
    const QString flood = StatsReport::floodMessage(result.statistics);
    if (!flood.isEmpty())
        err << "vantrel-cli: " << flood << Qt::endl;
    // What was asked for is not always granted: without the right to raise
    // priority the run went on at the normal one.
    const platform::ThreadScheduling &granted = result.granted;
    err << "vantrel-cli: the worker ran " << QString::fromStdString(granted.policy) << ", priority "
        << granted.priority << ", nice " << granted.nice << Qt::endl;

    const bool written = writeResults(out, err);
    if (ending == EndedTerminated) {
        err << "vantrel-cli: the worker did not stop within 5 s and was terminated; the figures "
               "end where it stopped"
            << Qt::endl;
        return 1;
    }
    if (worker.keptIntervals() == intervals.size() && !intervals.empty())
        err << "vantrel-cli: only the first " << intervals.size()
            << " intervals fitted in the room set aside; the histogram has them all" << Qt::endl;
    return written ? 0 : 1;
}

bool HeadlessRun::prepare(QTextStream &err)
{
    if (!portFree(options.settings.bindAddress)) {
        err << "vantrel-cli: " << StatsReport::portTakenMessage() << Qt::endl;
        return false;
    }
    // Files that cannot be written, and room that cannot be had, are found
    // out now rather than after the run.
    if (!openOutput(jsonFile, options.jsonPath == "-" ? QString() : options.jsonPath, err) ||
        !openOutput(intervalsFile, options.intervalsPath, err))
        return false;
    try {
        intervals.assign(options.intervalCapacity(), 0.0);
    } catch (const std::bad_alloc &) {
        err << "vantrel-cli: no memory for " << options.intervalCapacity()
            << " intervals; shorten --duration" << Qt::endl;
        return false;
    }
    worker.keepIntervals(intervals.data(), intervals.size());
    return true;
}

void HeadlessRun::measure(QTextStream &report)
{
    QElapsedTimer clock;
    clock.start();
    RunControl::start(worker, options.settings);

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
        if (printEvery > 0 && now >= nextPrint) {
            printReport(report, double(now) / 1000.0);
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
        if (platform::waitForStopRequest(std::uint32_t(std::max<qint64>(0, wake - now)))) {
            ending = EndedByRequest;
            break;
        }
    }

    // Measured time ends here; the stop protocol may take a while longer.
    result.elapsedSeconds = double(clock.elapsed()) / 1000.0;
    RunControl::stop(worker);
    result.statistics = worker.statistics();
}

bool HeadlessRun::writeResults(QTextStream &out, QTextStream &err)
{
    bool written = true;
    if (options.jsonPath == "-")
        out << QJsonDocument(result.toJson()).toJson() << Qt::flush;
    else if (jsonFile) {
        jsonFile->write(QJsonDocument(result.toJson()).toJson());
        written = commitOutput(*jsonFile, err);
    }
    if (intervalsFile) {
        writeIntervals(*intervalsFile);
        written = commitOutput(*intervalsFile, err) && written;
    }
    return written;
}

void HeadlessRun::printReport(QTextStream &out, double elapsedSeconds) const
{
    const RunStatistics statistics = worker.statistics();
    out << "After " << QString::number(elapsedSeconds, 'f', 1) << " s, " << statistics.tickCount
        << " ticks" << Qt::endl;
    out << "Actual Rate" << StatsReport::meanInterval(statistics.meanInterval) << Qt::endl;
    out << StatsReport::histogramTable(statistics) << Qt::endl;
}

bool HeadlessRun::openOutput(std::unique_ptr<QSaveFile> &file, const QString &path,
                             QTextStream &err)
{
    if (path.isEmpty())
        return true;
    // QSaveFile renames over the target a link points to, and over a device
    // or a pipe as well; run as root, that could replace a system file.
    const QFileInfo target(path);
    QString why;
    if (target.isSymLink())
        why = "it is a symbolic link; name the file itself";
    else if (target.exists() && !target.isFile())
        why = "it is not a regular file";
    if (why.isEmpty()) {
        file = std::make_unique<QSaveFile>(path);
        if (file->open(QIODevice::WriteOnly))
            return true;
        why = file->errorString();
        file.reset();
    }
    err << "vantrel-cli: cannot write " << path << ": " << why << Qt::endl;
    return false;
}

bool HeadlessRun::commitOutput(QSaveFile &file, QTextStream &err)
{
    if (file.commit())
        return true;
    err << "vantrel-cli: could not write " << file.fileName() << ": " << file.errorString()
        << Qt::endl;
    return false;
}

void HeadlessRun::writeIntervals(QSaveFile &file) const
{
    // "12345.678\n" takes a dozen characters; a chunk of 64 KiB holds some
    // five thousand lines.
    char chunk[65536];
    const std::size_t longestLine = 64;
    std::size_t used = 0;
    const quint64 kept = worker.keptIntervals();
    for (quint64 i = 0; i < kept; ++i) {
        if (used + longestLine > sizeof chunk) {
            file.write(chunk, qint64(used)); // a failure stays with the file: commit reports it
            used = 0;
        }
        char *const start = chunk + used;
        char *const limit = start + longestLine - 1;
        const double micros = intervals[i] * 1e6;
        auto written = std::to_chars(start, limit, micros, std::chars_format::fixed, 3);
        if (written.ec != std::errc()) // too long for fixed notation: shortest form instead
            written = std::to_chars(start, limit, micros);
        char *end = written.ptr;
        *end++ = '\n';
        used = std::size_t(end - chunk);
    }
    file.write(chunk, qint64(used));
}
