// SPDX-License-Identifier: MIT
// Driving the window as a person would: settings, Start, and the two states
// Start and Stop move it between.
#pragma once

#include "qt_vantrel_app.h"
#include "runsettings.h"
#include "ui_qt_vantrel_app.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>

// A run of this clock and period with the given priorities, by default the
// normal ones, which any user may have.
inline RunSettings runOf(int mode, int periodMs,
                         platform::ProcessClass processClass = platform::ProcessClass::Normal,
                         platform::ThreadLevel threadLevel = platform::ThreadLevel::Normal)
{
    RunSettings settings;
    settings.clockMode = RtThread::ClockMode(mode);
    settings.periodMs = periodMs;
    settings.processClass = processClass;
    settings.threadLevel = threadLevel;
    return settings;
}

// A run of this clock and period at the window's default priorities.
inline RunSettings defaultRun(int mode, int periodMs)
{
    RunSettings settings;
    settings.clockMode = RtThread::ClockMode(mode);
    settings.periodMs = periodMs;
    return settings;
}

// Chooses the clock, the period and the priorities in the form, then Start.
inline void start(Qt_Vantrel_App &window, const RunSettings &settings)
{
    window.ui->clockMode->setCurrentIndex(settings.clockMode);
    window.ui->clockRate->setValue(settings.periodMs);
    window.ui->processLevel->setCurrentIndex(int(settings.processClass));
    window.ui->threadLevel->setCurrentIndex(int(settings.threadLevel));
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
