// SPDX-License-Identifier: MIT
// The conditions a run was measured under, beside its clock: the CPU the
// worker was pinned to, memory locked, power states held, a policy set
// directly; each as asked and as the OS granted it, with the reason. The
// "conditions" object of the JSON.
#pragma once

#include "platform.h"
#include "runsettings.h"

#include <QJsonObject>
#include <QStringList>

struct RunConditions
{
    RunSettings asked;        // cpu, lockMemory, pmQosUs, directPolicy, policy, policyPriority
    platform::Outcome pinned; // the worker's own CPU; detail empty when not asked
    platform::Outcome memory; // the process's memory, held by RunControl
    platform::Outcome power;  // /dev/cpu_dma_latency, held by RunControl
    platform::Outcome policy; // the direct policy, set by the worker

    QJsonObject toJson() const;

    // What was asked and not granted, a sentence each with how to get it;
    // empty when everything asked was granted.
    QStringList notes() const;
};
