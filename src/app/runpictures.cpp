// SPDX-License-Identifier: MIT
#include "runpictures.h"

#include "picturetimeline.h"

#include "rtthread.h"
#include "statsreport.h"

#include <QAction>
#include <QFileDialog>
#include <QFileInfo>
#include <QJsonDocument>
#include <QMainWindow>
#include <QMenu>
#include <QMessageBox>
#include <QSaveFile>
#include <QTextEdit>

RunPictures::RunPictures(QMainWindow *window, QTextEdit *report, RtThread &worker)
    : QObject(window), window(window), report(report), worker(worker)
{
    const auto action = [&](const char *name, const QString &text, const QKeySequence &keys,
                            auto slot) {
        QAction *made = new QAction(text, this);
        made->setObjectName(name);
        made->setShortcut(keys);
        made->setShortcutContext(Qt::WindowShortcut);
        connect(made, &QAction::triggered, this, slot);
        window->addAction(made);
        return made;
    };
    showAction = action("showHistogramAction", "Histogram Picture",
                        QKeySequence(Qt::CTRL | Qt::Key_H), [this] { showView(); });
    saveAction =
        action("saveRunAction", "Save Run...", QKeySequence::Save, &RunPictures::saveWithDialog);
    compareAction = action("compareRunAction", "Compare with Saved Run...", QKeySequence::Open,
                           &RunPictures::compareWithDialog);
    clearAction = action("clearComparisonAction", "Clear Comparison", QKeySequence(),
                         &RunPictures::clearComparison);
    spikesAction = action("showSpikesAction", "Spikes and Their Causes",
                          QKeySequence(Qt::CTRL | Qt::Key_K), [this] { showSpikes(); });
    saveAction->setEnabled(false);
    clearAction->setEnabled(false);

    report->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(report, &QWidget::customContextMenuRequested, this, &RunPictures::showMenu);
}

void RunPictures::runStarted(const RunSettings &startedWith)
{
    settings = startedWith;
    sinceStart.start();
    running = true;
    saveAction->setEnabled(true);
    refresh();
}

void RunPictures::runHeld(const platform::Outcome &memory, const platform::Outcome &power)
{
    memoryHeld = memory;
    powerHeld = power;
}

void RunPictures::runStopped()
{
    if (running)
        stoppedAfter = double(sinceStart.elapsed()) / 1000.0;
    running = false;
    refresh();
}

RunRecord RunPictures::record() const
{
    return sinceStart.isValid() ? recordOf(worker.statistics(), worker.timeline()) : RunRecord();
}

RunRecord RunPictures::recordOf(const RunStatistics &statistics, const RunTimeline &timeline) const
{
    RunRecord live;
    live.statistics = statistics;
    live.timeline = timeline;
    // Read with the statistics, once per refresh, as they are.
    live.lateness = worker.lateness();
    if (!sinceStart.isValid())
        return live;
    live.settings = settings;
    live.elapsedSeconds = running ? double(sinceStart.elapsed()) / 1000.0 : stoppedAfter;
    // What the worker was granted is published by its thread before its
    // first tick.
    worker.grantedScheduling(&live.granted);
    live.conditions.asked = settings;
    live.conditions.memory = memoryHeld;
    live.conditions.power = powerHeld;
    worker.grantedPlacement(&live.conditions.pinned, &live.conditions.policy);
    if (worker.isRunning())
        live.ended = "running";
    else
        live.ended = worker.lastRunEnd == RtThread::RunTerminated ? "terminated" : "stop request";
    return live;
}

QList<PictureRun> RunPictures::runsFor(RunRecord live) const
{
    // Appended rather than listed: a list's initializer would copy the run.
    QList<PictureRun> runs;
    runs.reserve(2);
    runs.append(PictureRun{"this run", std::move(live),
                           sinceStart.isValid() ? picture::pictureSpikes(worker.spikes())
                                                : QList<PictureSpike>()});
    if (compared)
        runs.append(*compared);
    return runs;
}

HistogramView *RunPictures::showView()
{
    if (!shownView)
        shownView = new HistogramView(window);
    shownView->setRuns(runsFor(record()));
    shownView->show();
    shownView->raise();
    shownView->activateWindow();
    return shownView;
}

SpikeList *RunPictures::showSpikes()
{
    if (!shownSpikes)
        shownSpikes = new SpikeList(window);
    shownSpikes->follow(worker.spikes());
    shownSpikes->show();
    shownSpikes->raise();
    shownSpikes->activateWindow();
    return shownSpikes;
}

void RunPictures::refresh(const RunStatistics *statistics)
{
    if (shownSpikes && shownSpikes->isVisible())
        shownSpikes->follow(worker.spikes());
    if (shownView && shownView->isVisible())
        shownView->setRuns(
            runsFor(statistics ? recordOf(*statistics, worker.timeline()) : record()));
}

void RunPictures::refreshWith(const RunStatistics &statistics, const RunTimeline &timeline)
{
    if (shownView && shownView->isVisible())
        shownView->setRuns(runsFor(recordOf(statistics, timeline)));
}

bool RunPictures::saveRun(const QString &path, QString *error) const
{
    // Completed as vantrel-cli completes its record: the window keeps no
    // intervals, so the deviation comes from the histogram. The machine is
    // read now; its steal time was not counted over the run.
    RunRecord live = record();
    live.complete();
    live.machine.begin(settings.cpu);
    const QString ending = QFileInfo(path).suffix().toLower();
    if (ending == "png" || ending == "svg") {
        const HistogramPicture picture(runsFor(live));
        const QSize size = shownView && shownView->isVisible()
            ? shownView->size()
            : QSize(HistogramPicture::FileWidth, HistogramPicture::FileHeight);
        return picture.writeFile(path, report->palette(), error, size);
    }
    // The spikes as vantrel-cli writes and prints them.
    const SpikeReport spikes = worker.spikes();
    QByteArray data;
    if (ending == "json") {
        QJsonObject json = live.toJson();
        json.insert("spikes", spikes.toJson());
        data = QJsonDocument(json).toJson();
    } else if (ending == "txt") {
        data = (StatsReport::finalReport(live.elapsedSeconds, live.statistics, live.deviation,
                                         &live.lateness) +
                spikes.section())
                   .toUtf8();
    } else {
        *error = "a run is saved as .json, .txt, .png or .svg";
        return false;
    }
    // Written whole or not at all: a failed save keeps the earlier file.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size() || !file.commit()) {
        *error = file.errorString();
        return false;
    }
    return true;
}

bool RunPictures::loadComparison(const QString &path, QString *error)
{
    std::optional<RunRecord> loaded = RunRecord::readFile(path, error);
    if (!loaded)
        return false;
    compared = PictureRun{QFileInfo(path).fileName(), std::move(*loaded)};
    clearAction->setEnabled(true);
    refresh();
    return true;
}

void RunPictures::clearComparison()
{
    compared.reset();
    clearAction->setEnabled(false);
    refresh();
}

void RunPictures::showMenu(const QPoint &position)
{
    QMenu *menu = report->createStandardContextMenu();
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->addSeparator();
    menu->addActions({showAction, spikesAction, saveAction, compareAction, clearAction});
    if (!moreEntries.isEmpty()) {
        menu->addSeparator();
        menu->addActions(moreEntries);
    }
    menu->popup(report->viewport()->mapToGlobal(position));
}

void RunPictures::saveWithDialog()
{
    const QString json = "Vantrel run, as vantrel-cli --json writes it (*.json)";
    const QString text = "Report text (*.txt)";
    const QString png = "Histogram picture, PNG (*.png)";
    const QString svg = "Histogram picture, SVG (*.svg)";
    QStringList filters{json, text, png};
    if (!HistogramPicture::fileFormat("run.svg").isEmpty())
        filters << svg; // a build without Qt Svg writes PNG alone
    QString filter = json;
    QString path =
        QFileDialog::getSaveFileName(window, "Save Run", folder, filters.join(";;"), &filter);
    if (path.isEmpty())
        return;
    // A name without an ending takes the chosen filter's.
    if (QFileInfo(path).suffix().isEmpty())
        path += "." + filter.section("*.", 1).section(')', 0, 0);
    folder = QFileInfo(path).absolutePath();
    QString why;
    if (!saveRun(path, &why))
        QMessageBox::warning(window, "Save Run",
                             QString("%1 could not be written: %2").arg(path, why));
}

void RunPictures::compareWithDialog()
{
    const QString path = QFileDialog::getOpenFileName(window, "Compare with Saved Run", folder,
                                                      "Vantrel run (*.json);;All files (*)");
    if (path.isEmpty())
        return;
    folder = QFileInfo(path).absolutePath();
    QString why;
    if (!loadComparison(path, &why)) {
        QMessageBox::warning(window, "Compare with Saved Run",
                             QString("%1 is not drawn: %2.\nThe picture stays as it was.")
                                 .arg(QFileInfo(path).fileName(), why));
        return;
    }
    showView();
}
