// SPDX-License-Identifier: MIT
#include "qt_vantrel_app.h"

#include "fixedpitch.h"
#include "runcontrol.h"
#include "statsreport.h"
#include "targetcheck.h"
#include "ui_qt_vantrel_app.h"

#include <QStatusBar>

Qt_Vantrel_App::Qt_Vantrel_App(QWidget *parent)
    : QMainWindow(parent, Qt::WindowFlags())
    , ui(new Ui::Qt_Vantrel_AppClass)
    , rtThread(nullptr)
    , displayTimer(nullptr)
    , portMessageShown(false)
    , targetMessageShown(false)
    , floodMessageShown(false)
{
    ui->setupUi(this);
    // The form asks for "Courier New"; where fontconfig maps that to a
    // proportional font the report's columns would not line up.
    ui->textEdit->setFont(fixedPitch(ui->textEdit->font()));

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
    setRunSettingsEnabled(true);

    connect(&displayTimer, SIGNAL(timeout()), this, SLOT(runDisplay()), Qt::AutoConnection);
}

// The form object goes first; the display timer and then the worker follow as
// members, the worker stopping a run that still goes on.
Qt_Vantrel_App::~Qt_Vantrel_App()
{
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
    settings.periodMs = ui->clockRate->text().toInt(nullptr, 10);
    settings.target = ui->sendIpAddr->text();
    settings.send = ui->sendUDP->isChecked();
    settings.processClass = platform::ProcessClass(ui->processLevel->currentIndex());
    settings.threadLevel = platform::ThreadLevel(ui->threadLevel->currentIndex());
    return settings;
}

void Qt_Vantrel_App::on_startButton_clicked()
{
    setRunSettingsEnabled(false);
    RunControl::start(rtThread, settingsFromForm());

    ui->textEdit->clear();
    portMessageShown = false;
    targetMessageShown = false;
    floodMessageShown = false;
    sayIfTargetRefused();
    displayTimer.start(100);
}

void Qt_Vantrel_App::on_stopButton_clicked()
{
    displayTimer.stop();
    RunControl::stop(rtThread);
    setRunSettingsEnabled(true);
}

void Qt_Vantrel_App::on_sendUDP_stateChanged(int)
{
    rtThread.sendUdp = ui->sendUDP->isChecked();
    if (rtThread.isRunning())
        sayIfTargetRefused();
}

// The status bar is made on first use, so the form stays as it was drawn.
void Qt_Vantrel_App::sayIfTargetRefused()
{
    if (targetMessageShown || !ui->sendUDP->isChecked())
        return;
    const QString reason = refusedTargetReason(ui->sendIpAddr->text());
    if (reason.isEmpty())
        return;
    statusBar()->showMessage(reason);
    targetMessageShown = true;
}

void Qt_Vantrel_App::runDisplay()
{
    if (!rtThread.isRunning()) {
        // A worker that could not bind its port ends before its first tick;
        // without a word the window would look as if it measured nothing.
        if (rtThread.lastRunEnd == RtThread::RunBindFailed && !portMessageShown) {
            ui->textEdit->insertPlainText(StatsReport::portTakenMessage());
            portMessageShown = true;
        }
        return;
    }

    const RunStatistics statistics = rtThread.statistics();
    showReport(statistics);
    if (statistics.flooded() && !floodMessageShown) {
        statusBar()->showMessage(StatsReport::floodMessage(statistics));
        floodMessageShown = true;
    }
}

void Qt_Vantrel_App::showReport(const RunStatistics &statistics)
{
    ui->actualRate->setText(StatsReport::meanInterval(statistics.meanInterval));

    // One insertion of the whole table leaves the same text and cursor as a
    // row at a time, and lays the document out once instead of 301 times.
    ui->textEdit->clear();
    ui->textEdit->insertPlainText(StatsReport::histogramTable(statistics));
    ui->textEdit->moveCursor(QTextCursor::End, QTextCursor::MoveAnchor);
}
