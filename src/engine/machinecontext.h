// SPDX-License-Identifier: MIT
// Where a run was measured: kernel, clock source, CPU, hypervisor, the steal
// time the hypervisor took during the run, and the program's version. A
// figure from a virtual machine, or with a fallback clock source, means
// something else; this says which.
#pragma once

#include "platform.h"

#include <QJsonObject>

struct MachineContext
{
    platform::MachineFacts facts;
    double stealSeconds = -1; // during the run, all CPUs together; -1: not counted here

    // Reads the machine and the steal counter as a run begins; end reads
    // the counter again.
    void begin();
    void end();

    QJsonObject toJson() const;

private:
    std::int64_t stealAtBegin = -1;
};
