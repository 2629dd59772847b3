// SPDX-License-Identifier: MIT
#include "percpurun.h"

#include "headlessrun.h"
#include "metricstext.h"
#include "resultfile.h"
#include "statsreport.h"
#include "stoprequests.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTextStream>

#include <cmath>
#include <limits>
#include <new>

PerCpuRun::PerCpuRun(const RunOptions &options) : options(options)
{
    for (int cpu : options.cpus) {
        Worker worker;
        worker.cpu = cpu;
        worker.thread = std::make_unique<RtThread>();
        workers.push_back(std::move(worker));
    }
}

PerCpuRun::~PerCpuRun()
{
    for (Worker &worker : workers)
        worker.thread->stopRun();
    control.restore();
}

QString PerCpuRun::summaryLine(int cpu, const RunRecord &record, const LatenessStatistics &lateness)
{
    const auto us = [](double seconds) { return QString::number(seconds * 1e6, 'f', 1); };
    const double share = record.deviation.periodBinShare;
    return QString("CPU %1: %2 ticks, %3 in the period's bin, lateness p50 %4 us, p99 %5 us, "
                   "max %6 us, %7 overruns")
        .arg(cpu)
        .arg(record.statistics.tickCount)
        .arg(std::isnan(share) ? QString("-") : QString::number(share, 'f', 2) + " %")
        .arg(us(lateness.percentile(500)), us(lateness.percentile(990)), us(lateness.maxLateness))
        .arg(lateness.overruns);
}

int PerCpuRun::exec(QTextStream &out, QTextStream &err)
{
    QTextStream &report = options.jsonPath == "-" ? err : out;
    if (options.requireRealtime && !HeadlessRun::realtimeGranted(options, err))
        return 1;
    std::unique_ptr<ResultFile::File> jsonFile;
    if (!options.jsonPath.isEmpty() && options.jsonPath != "-" &&
        !ResultFile::open(jsonFile, options.jsonPath, err))
        return 1;
    try {
        for (Worker &worker : workers)
            worker.intervals.assign(options.intervalCapacity(), 0.0);
    } catch (const std::bad_alloc &) {
        err << "vantrel-cli: no memory for the intervals of every CPU; shorten --duration"
            << Qt::endl;
        return 1;
    }

    if (options.serve) {
        // In the server's thread, as HeadlessRun's: each worker's snapshot.
        server = HeadlessRun::serve(
            options,
            [this] {
                QList<QByteArray> each;
                for (const Worker &worker : workers) {
                    RunSettings settings = options.settings;
                    settings.cpu = worker.cpu;
                    const MetricsText metrics(settings, worker.cpu);
                    platform::ThreadScheduling granted;
                    const bool known = worker.thread->grantedScheduling(&granted);
                    const LatenessStatistics lateness = worker.thread->lateness();
                    each << metrics.render(worker.thread->statistics(), worker.thread->timeline(),
                                           known ? &granted : nullptr, &lateness) +
                            metrics.renderSpikes(worker.thread->spikes());
                }
                return MetricsText::merge(each);
            },
            err);
        if (!server)
            return 1;
    }

    QStringList cpuNames;
    for (const Worker &worker : workers)
        cpuNames << QString::number(worker.cpu);
    err << "vantrel-cli: measuring \"" << options.settings.clockModeName() << "\" every "
        << options.settings.periodMs << " ms on CPUs " << cpuNames.join(", ")
        << ", one worker each, "
        << (options.durationSeconds > 0 ? QString("for %1 s").arg(options.durationSeconds)
                                        : QString("until Ctrl-C"))
        << Qt::endl;

    QElapsedTimer clock;
    clock.start();
    StopRequests::measuring();
    bool first = true;
    for (Worker &worker : workers) {
        RunSettings settings = options.settings;
        settings.cpu = worker.cpu;
        settings.listens = false;
        settings.send = false;
        worker.thread->keepIntervals(worker.intervals.data(), worker.intervals.size());
        worker.record.machine.begin(worker.cpu);
        if (first) {
            // The process class, memory lock and power states once, for all.
            control.start(*worker.thread, settings);
            first = false;
        } else {
            worker.thread->setSettings(settings);
            worker.thread->moveToThread(worker.thread.get());
            worker.thread->startRun(QThread::Priority(int(settings.threadLevel)));
        }
    }
    RunConditions held{options.settings, {}, control.memoryLocked(), control.powerStatesHeld(), {}};
    for (const QString &note : held.notes())
        err << "vantrel-cli: " << note << Qt::endl;

    const qint64 deadline =
        options.durationSeconds > 0 ? qint64(std::llround(options.durationSeconds * 1000)) : -1;
    QString ended = "duration";
    for (;;) {
        const qint64 now = clock.elapsed();
        if (deadline >= 0 && now >= deadline)
            break;
        const qint64 wait = deadline >= 0 ? std::min<qint64>(200, deadline - now) : 200;
        if (StopRequests::waitFor(std::uint32_t(std::max<qint64>(0, wait)))) {
            ended = "stop request";
            break;
        }
    }
    StopRequests::measured();
    const double elapsed = double(clock.elapsed()) / 1000.0;
    // Every worker asked to stop at once, then each waited for: one after
    // another, the last would tick on while the first wound down.
    for (Worker &worker : workers) {
        worker.thread->stopRequested = true;
        worker.thread->quit();
    }
    for (Worker &worker : workers)
        worker.thread->stopRun();
    control.restore();
    if (server)
        server->stop();

    QStringList summary;
    QJsonArray perCpu;
    bool terminated = false;
    for (Worker &worker : workers) {
        RtThread &thread = *worker.thread;
        RunRecord &record = worker.record;
        record.machine.end();
        record.settings = options.settings;
        record.settings.cpu = worker.cpu;
        record.settings.listens = false;
        record.durationSeconds = options.durationSeconds;
        record.elapsedSeconds = elapsed;
        terminated = terminated || thread.lastRunEnd == RtThread::RunTerminated;
        record.ended = thread.lastRunEnd == RtThread::RunTerminated ? "terminated" : ended;
        record.statistics = thread.statistics();
        record.timeline = thread.timeline();
        thread.grantedScheduling(&record.granted);
        record.conditions = held;
        record.conditions.asked = record.settings;
        thread.grantedPlacement(&record.conditions.pinned, &record.conditions.policy);
        record.complete(worker.intervals.data(), thread.keptIntervals(), options.thresholds);

        report << "CPU " << worker.cpu << ":\n"
               << StatsReport::finalReport(record.elapsedSeconds, record.statistics,
                                           record.deviation)
               << Qt::endl;
        for (const QString &note : record.conditions.notes())
            if (!held.notes().contains(note))
                err << "vantrel-cli: CPU " << worker.cpu << ": " << note << Qt::endl;
        summary << summaryLine(worker.cpu, record, thread.lateness());
        QJsonObject one = record.toJson();
        one.insert("cpu", worker.cpu);
        perCpu.append(one);
    }
    report << "Per CPU:\n  " << summary.join("\n  ") << Qt::endl;
    const platform::ThreadScheduling &granted = workers.front().record.granted;
    err << "vantrel-cli: the workers ran " << QString::fromStdString(granted.policy)
        << ", priority " << granted.priority << ", nice " << granted.nice << Qt::endl;

    const QByteArray json = QJsonDocument(QJsonObject{{"perCpu", perCpu}}).toJson();
    bool written = true;
    if (options.jsonPath == "-") {
        out << json << Qt::flush;
        written = out.status() == QTextStream::Ok;
    } else if (jsonFile) {
        jsonFile->write(json);
        written = ResultFile::commit(*jsonFile, err);
    }
    if (terminated) {
        err << "vantrel-cli: a worker did not stop within 5 s and was terminated; the figures "
               "end where it stopped"
            << Qt::endl;
        return 1;
    }
    const bool met = judgeWorst(err);
    if (!written)
        return 1;
    return met ? 0 : HeadlessRun::ThresholdCrossed;
}

// Each threshold on the figure of the CPU that did worst by it.
bool PerCpuRun::judgeWorst(QTextStream &err) const
{
    bool met = true;
    for (const Threshold &threshold : options.thresholds) {
        const Worker *worst = nullptr;
        double worstFigure = 0;
        for (const Worker &worker : workers) {
            const double figure = threshold.figure(worker.record.deviation);
            const bool worse = threshold.kind == Threshold::PeriodBinShare ? figure < worstFigure
                                                                           : figure > worstFigure;
            if (!worst || std::isnan(figure) || worse) {
                worst = &worker;
                worstFigure = std::isnan(figure) ? worstFigure : figure;
                if (std::isnan(figure))
                    break; // nothing counted crosses every threshold
            }
        }
        RunRecord judged = worst->record;
        judged.thresholds = {threshold};
        err << "vantrel-cli: CPU " << worst->cpu << " did worst by "
            << RunOptions::optionText(threshold) << Qt::endl;
        met = HeadlessRun::judge(judged, err) && met;
    }
    return met;
}
