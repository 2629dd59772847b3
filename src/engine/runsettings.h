// SPDX-License-Identifier: MIT
// What one run is chosen by, in the window or on the command line: the clock,
// its period, the datagram target and the priorities, with one set of
// defaults and one table of the names both programs show.
#pragma once

#include "platform.h"
#include "rtthread.h"

#include <QString>
#include <QStringList>

struct RunSettings
{
    RtThread::ClockMode clockMode = RtThread::TimerEventMode;
    int periodMs = 1; // 0: arriving datagrams are the clock ("QTimer Event", "Qt msleep")
    QString target;   // dotted-quad IPv4 address the ticks send to
    bool send = false;
    platform::ProcessClass processClass = platform::ProcessClass::Realtime;
    platform::ThreadLevel threadLevel = platform::ThreadLevel::TimeCritical;

    // The names of the choices, by their numbers: clock modes, process
    // classes (Idle to Realtime) and thread levels (Idle to Time Critical).
    static const QStringList &clockModeNames();
    static const QStringList &processClassNames();
    static const QStringList &threadLevelNames();

    QString clockModeName() const { return clockModeNames().at(clockMode); }
    QString processClassName() const { return processClassNames().at(int(processClass)); }
    QString threadLevelName() const { return threadLevelNames().at(int(threadLevel)); }
};
