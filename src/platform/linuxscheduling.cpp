// SPDX-License-Identifier: MIT
#include "linuxscheduling.h"

#include <sched.h>

#include <algorithm>

namespace platform {
namespace linuxsched {

namespace {
const int niceForBase[16] = {0, 19, 19, 16, 13, 10, 6, 3, 0, -3, -6, -9, -11, -14, -17, -20};
}

KernelScheduling schedulingForBase(int base, const SchedulingLimits &limits, int currentNice)
{
    if (base >= 16) {
        const int low = sched_get_priority_min(SCHED_FIFO);
        const int high = sched_get_priority_max(SCHED_FIFO);
        int priority = low + ((base - 16) * (high - low) * 2 + 15) / 30;
        if (!limits.privileged) {
            // RLIMIT_RTPRIO caps the priority an unprivileged thread may set;
            // at 0 it may not use a realtime policy at all.
            if (limits.realtimeCeiling < low)
                return {KeepPolicy, 0, currentNice};
            priority = std::min(priority, limits.realtimeCeiling);
        }
        return {SCHED_FIFO, priority, currentNice};
    }
    if (base <= 1)
        return {SCHED_IDLE, 0, currentNice};
    int nice = niceForBase[base];
    // Raising nice is always allowed; lowering it only down to what
    // RLIMIT_NICE allows (20 - limit).
    if (!limits.privileged)
        nice = std::max(nice, std::min(currentNice, limits.niceFloor));
    return {SCHED_OTHER, 0, nice};
}

PolicyRequest schedulingForPolicy(int policy, int priority, const SchedulingLimits &limits,
                                  int currentNice)
{
    const std::string name = describe({policy, 0, 0}).policy;
    if (policy == SCHED_FIFO || policy == SCHED_RR) {
        const int low = sched_get_priority_min(policy);
        const int high = sched_get_priority_max(policy);
        if (priority < low || priority > high)
            return {{KeepPolicy, 0, currentNice},
                    name + " takes a priority from " + std::to_string(low) + " to " +
                        std::to_string(high)};
        if (limits.privileged)
            return {{policy, priority, currentNice}, std::string()};
        // As for the classes: RLIMIT_RTPRIO caps the priority, and at 0 no
        // realtime policy may be set at all.
        if (limits.realtimeCeiling < low)
            return {{KeepPolicy, 0, currentNice},
                    "no realtime policy: no CAP_SYS_NICE and RLIMIT_RTPRIO is 0"};
        if (priority > limits.realtimeCeiling)
            return {{policy, limits.realtimeCeiling, currentNice},
                    "priority " + std::to_string(priority) + " lowered to " +
                        std::to_string(limits.realtimeCeiling) +
                        ": no CAP_SYS_NICE and RLIMIT_RTPRIO is " +
                        std::to_string(limits.realtimeCeiling)};
        return {{policy, priority, currentNice}, std::string()};
    }
    if (policy != SCHED_OTHER && policy != SCHED_BATCH && policy != SCHED_IDLE)
        return {{KeepPolicy, 0, currentNice}, "not a policy this layer sets"};
    if (priority != 0)
        return {{KeepPolicy, 0, currentNice}, name + " takes priority 0"};
    // These policies keep the thread's nice value; none of them needs a
    // right to be entered.
    return {{policy, 0, currentNice}, std::string()};
}

bool mayReturn(const SchedulingLimits &limits, const KernelScheduling &from,
               const KernelScheduling &to)
{
    if (limits.privileged || to.policy == KeepPolicy)
        return true;
    switch (from.policy) {
    case SCHED_FIFO:
    case SCHED_RR:
        // Back to a realtime priority: within the limit, or down from above.
        return (to.policy == from.policy && to.priority >= from.priority) ||
            from.priority <= limits.realtimeCeiling;
    case SCHED_IDLE:
        return true;
    default:
        // The kernel lets a thread leave SCHED_IDLE only where RLIMIT_NICE
        // would let it set the nice value it has; a realtime policy keeps
        // the nice value for the way back; a raised nice value comes back
        // down only as far as the limit allows.
        if (to.policy == SCHED_IDLE)
            return to.nice >= limits.niceFloor;
        if (to.policy != SCHED_OTHER && to.policy != SCHED_BATCH)
            return true;
        return to.nice <= from.nice || from.nice >= limits.niceFloor;
    }
}

ThreadScheduling describe(const KernelScheduling &scheduling)
{
    ThreadScheduling described;
    switch (scheduling.policy) {
    case SCHED_FIFO:
        described.policy = "SCHED_FIFO";
        break;
    case SCHED_RR:
        described.policy = "SCHED_RR";
        break;
    case SCHED_OTHER:
        described.policy = "SCHED_OTHER";
        break;
    case SCHED_BATCH:
        described.policy = "SCHED_BATCH";
        break;
    case SCHED_IDLE:
        described.policy = "SCHED_IDLE";
        break;
    default:
        described.policy =
            scheduling.policy < 0 ? "unknown" : "policy " + std::to_string(scheduling.policy);
        break;
    }
    described.priority = scheduling.priority;
    described.nice = scheduling.nice;
    return described;
}

} // namespace linuxsched
} // namespace platform
