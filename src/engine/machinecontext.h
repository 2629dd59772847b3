// SPDX-License-Identifier: MIT
// Where a run was measured: kernel, clock source, CPU, hypervisor, the steal
// time the hypervisor took during the run, and the program's version. A
// figure from a virtual machine, or with a fallback clock source, means
// something else; this says which.
#pragma once

#include "platform.h"

#include <QJsonObject>

#include <optional>
#include <string>

// How the kernel is set up for timing, as it says it in its files; what it
// does not say stays empty. Read in plain files, so on Windows all empty.
struct TimingSetup
{
    std::string hostname;
    std::string startedUtc;     // ISO 8601, e.g. 2026-12-07T23:55:01Z
    std::string commandLine;    // /proc/cmdline
    std::string preemption;     // none, voluntary, full, lazy, rt, dynamic ...
    std::string preemptionFrom; // which file or text said it
    // Kernel list format, e.g. "1-3"; "" when the file says none, nullopt
    // when there is no file (nohz_full: a kernel without it).
    std::optional<std::string> isolatedCpus;
    std::optional<std::string> nohzFullCpus;
    std::string governor; // cpufreq governor of `governorCpu`
    int governorCpu = -1;
    std::string cpuidleDriver; // e.g. intel_idle, haltpoll
    std::string rtRuntimeUs;   // /proc/sys/kernel/sched_rt_runtime_us, -1: no throttling
};

// The preemption model from the scheduler's debugfs file ("none voluntary
// (full)": the one in parentheses), else from the kernel's version text
// (uname -v: PREEMPT_RT, PREEMPT_DYNAMIC, PREEMPT) with a "preempt=" on the
// command line for a dynamic kernel. Empty where neither says. Pure.
struct Preemption
{
    std::string model;
    std::string from;
};
Preemption preemptionModel(const std::string &debugfsText, const std::string &unameVersion,
                           const std::string &commandLine);

struct MachineContext
{
    platform::MachineFacts facts;
    TimingSetup timing;
    double stealSeconds = -1; // during the run, all CPUs together; -1: not counted here

    // Reads the machine and the steal counter as a run begins; end reads
    // the counter again. measuredCpu: the CPU whose frequency governor is
    // read (-1: the first CPU).
    void begin(int measuredCpu = -1);
    void end();

    QJsonObject toJson() const;

private:
    std::int64_t stealAtBegin = -1;
};
