// SPDX-License-Identifier: MIT
// The one window: settings on the left, the live report on the right. It owns
// the worker for its whole life and reuses it for every run.
#pragma once

#include "rtthread.h"
#include "runcontrol.h"
#include "runsettings.h"

#include <QMainWindow>
#include <QStringList>
#include <QTimer>

class RunPictures;

QT_BEGIN_NAMESPACE
class QAction;
class QActionGroup;
class QLabel;
QT_END_NAMESPACE

QT_BEGIN_NAMESPACE
namespace Ui {
class Qt_Vantrel_AppClass;
}
QT_END_NAMESPACE

class Qt_Vantrel_App : public QMainWindow
{
    Q_OBJECT

public:
    explicit Qt_Vantrel_App(QWidget *parent = nullptr);
    ~Qt_Vantrel_App() override;

    // Writes these statistics into the report area: the mean interval and
    // the table. The 100 ms refresh shows the worker's this way.
    void showReport(const RunStatistics &statistics);

    // What this run could not do as asked, a sentence each, in the status
    // bar under the form; empty when it did all of it.
    QStringList notes() const { return said; }

    // The worker, to read: its statistics and how its last run ended.
    const RtThread &worker() const { return rtThread; }
    // True while a run's report refreshes.
    bool refreshing() const { return displayTimer.isActive(); }

private slots:
    void runDisplay();

private:
    // The form's slots keep the names of their widgets, but are plain
    // functions connected by pointer in the constructor, not by name: a
    // widget renamed in the form then fails the build instead of silently
    // losing its slot.
    void on_stopButton_clicked();
    void on_startButton_clicked();
    void on_sendUDP_stateChanged(int);

    void setRunSettingsEnabled(bool enabled);
    RunSettings settingsFromForm() const;
    void say(const QString &note); // once per run; nothing for an empty note
    void noteWhatTheRunCouldNotDo();
    void addConditionChoices();

    // Declared in the order they are built; destroyed the other way round.
    Ui::Qt_Vantrel_AppClass *ui;
    RtThread rtThread;
    QTimer displayTimer;
    RunPictures *pictures; // the picture, saving and comparing, around the report
    RunControl runControl;
    RunSettings running;      // what the latest Start asked for
    QLabel *notesLabel;       // in the status bar
    QStringList said;         // this run's notes
    bool grantNoted;          // the worker's granted scheduling was looked at
    bool endNoted;            // the worker's ending by itself was dealt with
    bool floodNoted;          // the run's flood was said
    bool placementNoted;      // the worker's CPU was looked at
    QActionGroup *cpuChoices; // "Measuring CPU": Any, CPU 0, CPU 1 ...; data: the CPU, -1 any
    QAction *holdPowerStates; // "Hold power states (PM QoS)"
    QAction *traceScheduler;  // "Trace the scheduler ..."
    // Which sources name the spikes' causes was said.
    bool sourcesNoted = false;
    // The report's view is at its bottom: left there by the reader, or by
    // the latest refresh; rewritingReport while a refresh rewrites it.
    bool reportFollowsEnd = true;
    bool rewritingReport = false;
};
