// Driving the window as a person would: settings, Start, and the two states
// Start and Stop move it between.
#pragma once

#include "app/qt_vantrel_app.h"
#include "ui_qt_vantrel_app.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>

// The four settings a run is chosen by; the priorities default to the form's.
struct Settings
{
    int mode = 0;
    int periodMs = 1;
    int threadLevel = 6;
    int processLevel = 3;
};

inline void start(Qt_Vantrel_App &window, const Settings &settings)
{
    window.ui->clockMode->setCurrentIndex(settings.mode);
    window.ui->clockRate->setValue(settings.periodMs);
    window.ui->threadLevel->setCurrentIndex(settings.threadLevel);
    window.ui->processLevel->setCurrentIndex(settings.processLevel);
    window.ui->startButton->click();
}

// Settings locked, Stop enabled, the report refreshing.
inline bool inRunningState(const Qt_Vantrel_App &window)
{
    const Ui::Qt_Vantrel_AppClass &ui = *window.ui;
    const bool settingsLocked = !ui.startButton->isEnabled() && !ui.clockMode->isEnabled() &&
        !ui.sendIpAddr->isEnabled() && !ui.clockRate->isEnabled() && !ui.threadLevel->isEnabled() &&
        !ui.processLevel->isEnabled();
    return settingsLocked && ui.stopButton->isEnabled() && window.displayTimer.isActive();
}

// The reverse: settings open, Stop disabled, no refresh.
inline bool inIdleState(const Qt_Vantrel_App &window)
{
    const Ui::Qt_Vantrel_AppClass &ui = *window.ui;
    const bool settingsOpen = ui.startButton->isEnabled() && ui.clockMode->isEnabled() &&
        ui.sendIpAddr->isEnabled() && ui.clockRate->isEnabled() && ui.threadLevel->isEnabled() &&
        ui.processLevel->isEnabled();
    return settingsOpen && !ui.stopButton->isEnabled() && !window.displayTimer.isActive();
}
