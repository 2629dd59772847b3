// SPDX-License-Identifier: MIT
#include "qt_vantrel_app.h"

#include "fixedpitch.h"
#include "runconditions.h"
#include "runnotes.h"
#include "runpictures.h"
#include "statsreport.h"
#include "ui_qt_vantrel_app.h"

#include <QAbstractTextDocumentLayout>
#include <QAction>
#include <QActionGroup>
#include <QCheckBox>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QScrollBar>
#include <QStatusBar>

namespace {

// What a fresh window's report area says until the first Start.
const char *const FirstRunHint = "Start measures. Right mouse button: picture, Save Run.";

} // namespace

Qt_Vantrel_App::Qt_Vantrel_App(QWidget *parent)
    : QMainWindow(parent, Qt::WindowFlags())
    , ui(new Ui::Qt_Vantrel_AppClass)
    , rtThread(nullptr)
    , displayTimer(nullptr)
    , pictures(nullptr)
    , notesLabel(new QLabel)
    , grantNoted(true)
    , endNoted(true)
    , floodNoted(true)
    , placementNoted(true)
    , cpuChoices(nullptr)
    , holdPowerStates(nullptr)
    , traceScheduler(nullptr)
{
    ui->setupUi(this);
    // The form asks for "Courier New"; where fontconfig maps that to a
    // proportional font the report's columns would not line up.
    ui->textEdit->setFont(fixedPitch(ui->textEdit->font()));
    // A row of the table is one line, however narrow the area: a wrapped
    // " max" would read as a row of its own.
    ui->textEdit->setLineWrapMode(QTextEdit::NoWrap);
    // The scroll range may grow after a refresh has set the view (a layout
    // finished later, a scroll bar that appeared): a view that followed the
    // end goes on following it, and one the reader moved stays.
    QScrollBar *vertical = ui->textEdit->verticalScrollBar();
    connect(vertical, &QScrollBar::valueChanged, this, [this, vertical](int value) {
        if (!rewritingReport)
            reportFollowsEnd = value >= vertical->maximum();
    });
    connect(vertical, &QScrollBar::rangeChanged, this, [this, vertical](int, int maximum) {
        if (!rewritingReport && reportFollowsEnd)
            vertical->setValue(maximum);
    });

    // Each list's index is the number of the setting it names.
    const RunSettings defaults;
    ui->clockMode->clear();
    ui->clockMode->addItems(RunSettings::clockModeNames());

    ui->threadLevel->clear();
    ui->threadLevel->addItems(RunSettings::threadLevelNames());
    ui->threadLevel->setCurrentIndex(int(defaults.threadLevel));

    ui->processLevel->clear();
    ui->processLevel->addItems(RunSettings::processClassNames());
    ui->processLevel->setCurrentIndex(int(defaults.processClass));
    // The form's range already; one constant for it, shared with vantrel-cli.
    ui->clockRate->setMaximum(RunSettings::MaxPeriodMs);

    ui->textEdit->clear();
    ui->textEdit->setPlaceholderText(FirstRunHint);
    setRunSettingsEnabled(true);

    connect(&displayTimer, &QTimer::timeout, this, &Qt_Vantrel_App::runDisplay);
    connect(ui->startButton, &QPushButton::clicked, this, &Qt_Vantrel_App::on_startButton_clicked);
    connect(ui->stopButton, &QPushButton::clicked, this, &Qt_Vantrel_App::on_stopButton_clicked);
    connect(ui->sendUDP, &QCheckBox::stateChanged, this, &Qt_Vantrel_App::on_sendUDP_stateChanged);

    // A status bar under the form says what a run could not do; it shows
    // only while there is something to say.
    notesLabel->setWordWrap(true);
    statusBar()->addWidget(notesLabel, 1);
    statusBar()->hide();

    // runDisplay refreshes the picture after the report.
    pictures = new RunPictures(this, ui->textEdit, rtThread);
    pictures->setObjectName("runPictures");
    addConditionChoices();
}

// In the report's context menu, for the next Start: the CPU the worker is
// pinned to, and whether power states are held for the run.
void Qt_Vantrel_App::addConditionChoices()
{
    QMenu *cpuMenu = new QMenu("Measuring CPU", this);
    cpuMenu->setObjectName("measuringCpuMenu");
    cpuChoices = new QActionGroup(this);
    const auto choice = [&](const QString &text, int cpu) {
        QAction *made = cpuMenu->addAction(text);
        made->setCheckable(true);
        made->setData(cpu);
        cpuChoices->addAction(made);
        return made;
    };
    choice("Any", -1)->setChecked(true);
    for (int cpu : platform::allowedCpus())
        choice(QString("CPU %1").arg(cpu), cpu);
    holdPowerStates = new QAction("Hold power states (PM QoS)", this);
    holdPowerStates->setObjectName("holdPowerStatesAction");
    holdPowerStates->setCheckable(true);
    holdPowerStates->setChecked(RunSettings().pmQosUs >= 0);
    traceScheduler = new QAction("Trace the scheduler (names who held the CPU; root)", this);
    traceScheduler->setObjectName("traceSchedulerAction");
    traceScheduler->setCheckable(true);
    traceScheduler->setChecked(RunSettings().trace);
    pictures->addMenuEntries({cpuMenu->menuAction(), holdPowerStates, traceScheduler});
}

// A run still going on is stopped as Stop would, so the OS is given back
// too; the form object goes next, then the members.
Qt_Vantrel_App::~Qt_Vantrel_App()
{
    if (ui->stopButton->isEnabled())
        runControl.stop(rtThread);
    delete ui;
}

void Qt_Vantrel_App::setRunSettingsEnabled(bool enabled)
{
    ui->startButton->setEnabled(enabled);
    ui->clockMode->setEnabled(enabled);
    ui->sendIpAddr->setEnabled(enabled);
    ui->clockRate->setEnabled(enabled);
    ui->threadLevel->setEnabled(enabled);
    ui->processLevel->setEnabled(enabled);
    ui->stopButton->setEnabled(!enabled);
}

RunSettings Qt_Vantrel_App::settingsFromForm() const
{
    RunSettings settings;
    settings.clockMode = RtThread::ClockMode(ui->clockMode->currentIndex());
    // The value, not the text: the text holds the locale's own digits.
    settings.periodMs = ui->clockRate->value();
    settings.target = ui->sendIpAddr->text();
    settings.send = ui->sendUDP->isChecked();
    settings.processClass = platform::ProcessClass(ui->processLevel->currentIndex());
    settings.threadLevel = platform::ThreadLevel(ui->threadLevel->currentIndex());
    settings.cpu = cpuChoices->checkedAction() ? cpuChoices->checkedAction()->data().toInt() : -1;
    settings.pmQosUs = holdPowerStates->isChecked() ? 0 : -1;
    settings.trace = traceScheduler->isChecked();
    return settings;
}

void Qt_Vantrel_App::say(const QString &note)
{
    if (note.isEmpty() || said.contains(note))
        return;
    said << note;
    notesLabel->setText(said.join('\n'));
    statusBar()->show();
}

void Qt_Vantrel_App::on_startButton_clicked()
{
    setRunSettingsEnabled(false);
    running = settingsFromForm();
    said.clear();
    notesLabel->clear();
    statusBar()->hide();
    runControl.start(rtThread, running);
    pictures->runStarted(running);
    pictures->runHeld(runControl.memoryLocked(), runControl.powerStatesHeld());
    if (runControl.classLeftOut())
        say(RunNotes::classLeftOut(running));
    for (const QString &note :
         RunConditions{running, {}, runControl.memoryLocked(), runControl.powerStatesHeld(), {}}
             .notes())
        say(note);
    say(RunNotes::unsendableTarget(running));
    grantNoted = false;
    endNoted = false;
    floodNoted = false;
    placementNoted = running.cpu < 0;
    sourcesNoted = false;

    ui->textEdit->setPlaceholderText(QString()); // the hint is for the first run only
    ui->textEdit->clear();
    // The last run's mean would otherwise stand until the first refresh.
    ui->actualRate->clear();
    displayTimer.start(100);
}

void Qt_Vantrel_App::on_stopButton_clicked()
{
    displayTimer.stop();
    runControl.stop(rtThread);
    pictures->runStopped();
    setRunSettingsEnabled(true);
}

void Qt_Vantrel_App::on_sendUDP_stateChanged(int)
{
    rtThread.sendUdp = ui->sendUDP->isChecked();
    if (displayTimer.isActive()) {
        running.send = rtThread.sendUdp;
        say(RunNotes::unsendableTarget(running));
    }
}

void Qt_Vantrel_App::noteWhatTheRunCouldNotDo()
{
    platform::ThreadScheduling granted;
    if (!grantNoted && rtThread.grantedScheduling(&granted)) {
        grantNoted = true;
        say(RunNotes::priorities(running, granted));
    }
    platform::Outcome pinned;
    platform::Outcome policy;
    if (!placementNoted && rtThread.grantedPlacement(&pinned, &policy)) {
        placementNoted = true;
        RunConditions placement{running, pinned, {}, {}, policy};
        say(pinned.granted ? QString("The worker measures on CPU %1.").arg(running.cpu)
                           : placement.notes().value(0));
    }
    if (!sourcesNoted) {
        const SpikeReport spikes = rtThread.spikes();
        if (spikes.sources.known) {
            sourcesNoted = true;
            say(spikes.sourcesText());
        }
    }
    if (endNoted || rtThread.isRunning())
        return;
    // A worker that ended by itself measured nothing more: say why, and give
    // the OS back at once rather than at a Stop that may be hours away.
    switch (rtThread.lastRunEnd) {
    case RtThread::RunBindFailed:
        // A run that could not bind its port measured nothing: its report's
        // line is all there is to say of it, no sentence about priorities.
        grantNoted = true;
        said.clear();
        notesLabel->clear();
        statusBar()->hide();
        ui->textEdit->insertPlainText(StatsReport::portTakenMessage());
        break;
    case RtThread::RunHadNoClock:
        say(RunNotes::noClock(running));
        break;
    default:
        return; // stopped: Stop gives the OS back
    }
    endNoted = true;
    runControl.restore();
}

void Qt_Vantrel_App::runDisplay()
{
    noteWhatTheRunCouldNotDo();
    if (!rtThread.isRunning()) {
        pictures->refresh();
        return;
    }
    // One reading for the report and the picture after it.
    const RunStatistics statistics = rtThread.statistics();
    showReport(statistics);
    // Said once, at the first refresh that finds it: the rate it names is
    // the highest yet, which may still grow.
    if (!floodNoted && statistics.flooded()) {
        floodNoted = true;
        say(StatsReport::floodMessage(statistics));
    }
    pictures->refresh(&statistics);
}

void Qt_Vantrel_App::showReport(const RunStatistics &statistics)
{
    ui->actualRate->setText(StatsReport::meanInterval(statistics.meanInterval));

    // One insertion of the whole table leaves the same text and cursor as a
    // row at a time, and lays the document out once instead of 301 times.
    // The view follows the end while it is at the bottom; scrolled away, it
    // keeps its place, as a terminal does.
    QScrollBar *vertical = ui->textEdit->verticalScrollBar();
    QScrollBar *horizontal = ui->textEdit->horizontalScrollBar();
    const bool following = reportFollowsEnd;
    const int top = vertical->value();
    const int left = horizontal->value();
    rewritingReport = true;
    ui->textEdit->clear();
    ui->textEdit->insertPlainText(StatsReport::histogramTable(statistics));
    ui->textEdit->moveCursor(QTextCursor::End, QTextCursor::MoveAnchor);
    // The layout of a long table may finish later, moving the bottom after
    // the cursor was brought into view: finish it, so that the scroll
    // range is the table's.
    ui->textEdit->document()->documentLayout()->documentSize();
    vertical->setValue(following ? vertical->maximum() : top);
    horizontal->setValue(left);
    rewritingReport = false;
}
