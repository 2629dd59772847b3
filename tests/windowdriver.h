// SPDX-License-Identifier: MIT
// Driving the window as a person would: settings, Start, and the two states
// Start and Stop move it between.
#pragma once

#include "qt_vantrel_app.h"
#include "runsettings.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTextEdit>

// A widget of the window found by its object name, as a person finds it by
// its label; a name the form no longer has ends the test at once.
template <typename Widget>
Widget *named(const QObject &window, const char *name)
{
    Widget *found = window.findChild<Widget *>(QString::fromLatin1(name));
    if (!found)
        qFatal("the window has no %s named %s", Widget::staticMetaObject.className(), name);
    return found;
}

// The form's controls and report, by name.
struct Form
{
    explicit Form(const QObject &window)
        : startButton(named<QPushButton>(window, "startButton"))
        , stopButton(named<QPushButton>(window, "stopButton"))
        , clockMode(named<QComboBox>(window, "clockMode"))
        , clockRate(named<QSpinBox>(window, "clockRate"))
        , threadLevel(named<QComboBox>(window, "threadLevel"))
        , processLevel(named<QComboBox>(window, "processLevel"))
        , sendUDP(named<QCheckBox>(window, "sendUDP"))
        , sendIpAddr(named<QLineEdit>(window, "sendIpAddr"))
        , actualRate(named<QLineEdit>(window, "actualRate"))
        , textEdit(named<QTextEdit>(window, "textEdit"))
    {
    }
    QPushButton *startButton, *stopButton;
    QComboBox *clockMode;
    QSpinBox *clockRate;
    QComboBox *threadLevel, *processLevel;
    QCheckBox *sendUDP;
    QLineEdit *sendIpAddr, *actualRate;
    QTextEdit *textEdit;
};

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
    const Form ui(window);
    ui.clockMode->setCurrentIndex(settings.clockMode);
    ui.clockRate->setValue(settings.periodMs);
    ui.processLevel->setCurrentIndex(int(settings.processClass));
    ui.threadLevel->setCurrentIndex(int(settings.threadLevel));
    ui.startButton->click();
}

// Settings locked, Stop enabled, the report refreshing.
inline bool inRunningState(const Qt_Vantrel_App &window)
{
    const Form ui(window);
    const bool settingsLocked = !ui.startButton->isEnabled() && !ui.clockMode->isEnabled() &&
        !ui.sendIpAddr->isEnabled() && !ui.clockRate->isEnabled() && !ui.threadLevel->isEnabled() &&
        !ui.processLevel->isEnabled();
    return settingsLocked && ui.stopButton->isEnabled() && window.refreshing();
}

// The reverse: settings open, Stop disabled, no refresh.
inline bool inIdleState(const Qt_Vantrel_App &window)
{
    const Form ui(window);
    const bool settingsOpen = ui.startButton->isEnabled() && ui.clockMode->isEnabled() &&
        ui.sendIpAddr->isEnabled() && ui.clockRate->isEnabled() && ui.threadLevel->isEnabled() &&
        ui.processLevel->isEnabled();
    return settingsOpen && !ui.stopButton->isEnabled() && !window.refreshing();
}
