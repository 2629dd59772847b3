// SPDX-License-Identifier: MIT
// The one window: settings on the left, the live report on the right. It owns
// the worker for its whole life and reuses it for every run.
#pragma once

#include "rtthread.h"
#include "runsettings.h"

#include <QMainWindow>
#include <QTimer>

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

    // Open like the worker's statistics: tests and benchmarks reach the widgets,
    // the worker and the timer as the slots do. Declared in the order they
    // are built; destroyed the other way round.
    Ui::Qt_Vantrel_AppClass *ui;
    RtThread rtThread;
    QTimer displayTimer;

private slots:
    void runDisplay();
    void on_stopButton_clicked();
    void on_startButton_clicked();
    void on_sendUDP_stateChanged(int);

private:
    void setRunSettingsEnabled(bool enabled);
    RunSettings settingsFromForm() const;
    // Says, once per run, why a ticked "Send UDP" sends nothing.
    void sayIfTargetRefused();

    bool portMessageShown;   // the port-taken sentence is said once per run
    bool targetMessageShown; // and so is the refused target's
    bool floodMessageShown;  // and the flood's
};
