// SPDX-License-Identifier: MIT
// How the Linux layer turns a Windows base priority into the kernel's
// scheduling, within what the process may ask for. Pure functions of their
// arguments, so that every limit can be tried without having it.
#pragma once

#include "platform.h"

#include <string>

namespace platform {
namespace linuxsched {

// A policy for sched_setscheduler (SCHED_FIFO, SCHED_OTHER, SCHED_IDLE), its
// realtime priority and the nice value; KeepPolicy leaves the thread as it is.
struct KernelScheduling
{
    int policy = 0;
    int priority = 0;
    int nice = 0;
};
constexpr int KeepPolicy = -1;

// Linux has no priority classes, and it ignores a thread priority under
// SCHED_OTHER, so a Windows base priority (1..31) is recreated with the
// scheduler: 16..31 become SCHED_FIFO rising to the top priority, 1 becomes
// SCHED_IDLE, and 2..15 nice values falling from +19 (base 2) through 0
// (base 8) to -20 (base 15). Without the right to raise priority the FIFO
// priority is clamped to the realtime limit (none at all: the thread is left
// as it is), and the nice value to the lowest the nice limit allows, or the
// thread's own if that is lower.
KernelScheduling schedulingForBase(int base, const SchedulingLimits &limits, int currentNice);

// A policy asked for directly (SCHED_FIFO, SCHED_RR, SCHED_OTHER,
// SCHED_BATCH, SCHED_IDLE) at a priority, within the same limits: what to
// ask the kernel for (KeepPolicy when nothing may be), and in words why that
// is less than was asked (empty when it is all of it). A priority outside
// the policy's range (1..99 realtime, 0 otherwise) is refused outright.
struct PolicyRequest
{
    KernelScheduling target;
    std::string shortfall;
};
PolicyRequest schedulingForPolicy(int policy, int priority, const SchedulingLimits &limits,
                                  int currentNice);

// Whether a thread put at `to` could be put back at `from` within the limits.
bool mayReturn(const SchedulingLimits &limits, const KernelScheduling &from,
               const KernelScheduling &to);

// In the layer's report terms: "SCHED_FIFO", its priority, the nice value.
ThreadScheduling describe(const KernelScheduling &scheduling);

} // namespace linuxsched
} // namespace platform
