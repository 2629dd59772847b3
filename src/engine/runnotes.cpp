// SPDX-License-Identifier: MIT
#include "runnotes.h"

#include "targetcheck.h"

namespace {

// "SCHED_FIFO 99", "SCHED_OTHER, nice -20", "REALTIME_PRIORITY_CLASS,
// priority 15": a scheduling as the sentences name it.
QString describe(const platform::ThreadScheduling &scheduling)
{
    const QString policy = QString::fromStdString(scheduling.policy);
    if (policy == "SCHED_FIFO" || policy == "SCHED_RR")
        return QString("%1 %2").arg(policy).arg(scheduling.priority);
    if (policy == "SCHED_IDLE")
        return policy;
    if (policy.startsWith("SCHED_"))
        return QString("%1, nice %2").arg(policy).arg(scheduling.nice);
    return QString("%1, priority %2").arg(policy).arg(scheduling.priority);
}

} // namespace

namespace RunNotes {

QString priorities(const RunSettings &settings, const platform::ThreadScheduling &granted)
{
    const platform::ThreadScheduling asked =
        platform::requestedScheduling(settings.processClass, settings.threadLevel);
    // A nice value only counts under a policy that uses it.
    const bool niceCounts = asked.policy == "SCHED_OTHER" || asked.policy == "SCHED_BATCH";
    if (granted.policy == asked.policy && granted.priority == asked.priority &&
        (!niceCounts || granted.nice == asked.nice))
        return {};
    return QString("Process level \"%1\" with thread level \"%2\" asks for %3, but the "
                   "measuring thread was granted %4; to get it, %5.")
        .arg(settings.processClassName(), settings.threadLevelName(), describe(asked),
             describe(granted), QString::fromStdString(platform::priorityAdvice()));
}

QString classLeftOut(const RunSettings &settings)
{
    return QString("Process level \"%1\" was given to the measuring thread only: this user could "
                   "not have put the program's other threads back afterwards.")
        .arg(settings.processClassName());
}

QString noClock(const RunSettings &settings)
{
    return QString("Nothing was measured: \"%1\" needs a period of 1 ms or more.")
        .arg(settings.clockModeName());
}

QString unsendableTarget(const RunSettings &settings)
{
    return settings.send ? refusedTargetReason(settings.target) : QString();
}

} // namespace RunNotes
