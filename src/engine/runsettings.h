// SPDX-License-Identifier: MIT
// What one run is chosen by, in the window or on the command line: the clock,
// its period, the datagram target and the priorities, with one set of
// defaults and one table of the names both programs show.
#pragma once

#include "platform.h"

#include <QString>
#include <QStringList>

// Clock sources, by their index in the window's list; any int fits, so a
// number read from elsewhere can be held and refused.
enum ClockMode : int { TimerEventMode = 0, MsleepMode = 1, WaitableTimerMode = 2 };

struct RunSettings
{
    // The longest period, the top of the window's spin box.
    static constexpr int MaxPeriodMs = 100;
    // The port the worker listens on and sends to, and its datagrams' size.
    static constexpr quint16 UdpPort = 1667;
    static constexpr int DatagramSize = 64;

    ClockMode clockMode = TimerEventMode;
    int periodMs = 1; // 0 to MaxPeriodMs; 0: arriving datagrams are the clock (modes 0, 1)
    QString target;   // dotted-quad IPv4 address the ticks send to
    bool send = false;
    QString bindAddress; // the local IPv4 address to listen on; empty: every one
    platform::ProcessClass processClass = platform::ProcessClass::Realtime;
    platform::ThreadLevel threadLevel = platform::ThreadLevel::TimeCritical;

    // Where and how the worker runs, beside its level: the CPU it is pinned
    // to (-1: any), memory locked for the run, CPUs held out of idle states
    // slower to leave than pmQosUs (-1: not held; 0, the default, as the
    // field's reference tool holds them), and a policy set directly instead
    // of the level (directPolicy false: none).
    int cpu = -1;
    bool lockMemory = true;
    // The scheduler traced for the spikes' causes, where the process may;
    // off unless asked, since its tracepoints sit on the worker's wake-up.
    bool trace = false;
    int pmQosUs = 0;
    bool directPolicy = false;
    platform::Policy policy = platform::Policy::Fifo;
    int policyPriority = 0;
    // false: the worker has no socket at all, neither binds UdpPort nor
    // sends (one of several timed workers at once, one per CPU).
    bool listens = true;

    // The names of the choices, by their numbers: clock modes, process
    // classes (Idle to Realtime) and thread levels (Idle to Time Critical).
    static const QStringList &clockModeNames();
    static const QStringList &processClassNames();
    static const QStringList &threadLevelNames();

    QString clockModeName() const { return clockModeNames().at(clockMode); }
    QString processClassName() const { return processClassNames().at(int(processClass)); }
    QString threadLevelName() const { return threadLevelNames().at(int(threadLevel)); }
};
