// SPDX-License-Identifier: MIT
// The options for the conditions of a run: the worker's CPU, memory, power
// states and a policy set directly.
#include "runoptions.h"

#include "platform.h"

namespace {

bool realtime(platform::Policy policy)
{
    return policy == platform::Policy::Fifo || policy == platform::Policy::RoundRobin;
}

} // namespace

bool RunOptions::readCpu(const QString &value)
{
    const platform::CpuList allowed = platform::allowedCpus();
    bool ok = false;
    const int cpu = value.trimmed().toInt(&ok, 10);
    const platform::CpuListParse parsed =
        platform::parseCpuList(value.trimmed().toStdString(), allowed);
    if (ok && cpu >= 0 && !parsed.error.empty())
        return refuse("--cpu: " + QString::fromStdString(parsed.error));
    if (!ok || cpu < 0 || parsed.cpus.size() != 1)
        return refuse(QString("--cpu takes one CPU this process may use (%1), not \"%2\"")
                          .arg(QString::fromStdString(platform::formatCpuList(allowed)), value));
    settings.cpu = parsed.cpus.front();
    return true;
}

bool RunOptions::readCpus(const QString &value)
{
    const platform::CpuList allowed = platform::allowedCpus();
    const platform::CpuListParse parsed =
        platform::parseCpuList(value.trimmed().toStdString(), allowed);
    if (parsed.cpus.empty())
        return refuse(
            "--cpus takes a list of CPUs this process may use (" +
            QString::fromStdString(platform::formatCpuList(allowed)) + ", or all), not \"" + value +
            "\"" +
            (parsed.error.empty() ? QString() : ": " + QString::fromStdString(parsed.error)));
    cpus = QList<int>(parsed.cpus.begin(), parsed.cpus.end());
    return true;
}

bool RunOptions::readNoMlock(const QString &)
{
    settings.lockMemory = false;
    return true;
}

bool RunOptions::readTrace(const QString &)
{
    settings.trace = true;
    return true;
}

bool RunOptions::readPmQos(const QString &value)
{
    const QString given = value.trimmed();
    if (given.compare("off", Qt::CaseInsensitive) == 0) {
        settings.pmQosUs = -1;
        return true;
    }
    bool ok = false;
    const int us = given.toInt(&ok, 10);
    if (!ok || us < 0 || us > 2000000000)
        return refuse("--pm-qos takes off or whole microseconds, 0 or more (0: the shallowest "
                      "idle states only), not \"" +
                      value + "\"");
    settings.pmQosUs = us;
    return true;
}

bool RunOptions::readPolicy(const QString &value)
{
#ifdef Q_OS_WIN
    Q_UNUSED(value);
    return refuse("--policy sets a Linux scheduling policy; Windows has none: give --process "
                  "and --thread");
#else
    if (!platform::parsePolicy(value.trimmed().toLower().toStdString(), settings.policy))
        return refuse("--policy takes fifo, rr, other, batch or idle, not \"" + value + "\"");
    settings.directPolicy = true;
    return true;
#endif
}

bool RunOptions::readPriority(const QString &value)
{
    bool ok = false;
    settings.policyPriority = value.trimmed().toInt(&ok, 10);
    if (!ok || settings.policyPriority < 0 || settings.policyPriority > 99)
        return refuse("--priority takes a whole number, 0 to 99, not \"" + value + "\"");
    priorityGiven = true;
    return true;
}

bool RunOptions::readRequireRt(const QString &)
{
    requireRealtime = true;
    return true;
}

bool RunOptions::validateConditions()
{
    if (settings.directPolicy && levelGiven)
        return refuse("--policy sets the worker's scheduling directly; leave out --process and "
                      "--thread");
    if (priorityGiven && !settings.directPolicy)
        return refuse("--priority is the priority of --policy; give --policy too");
    if (settings.directPolicy) {
        const bool rt = realtime(settings.policy);
        if (!priorityGiven)
            settings.policyPriority = rt ? 99 : 0;
        if (rt && settings.policyPriority < 1)
            return refuse("--policy fifo and rr take a --priority of 1 to 99");
        if (!rt && settings.policyPriority != 0)
            return refuse(QString("--policy %1 takes --priority 0 only")
                              .arg(QString::fromStdString(platform::policyName(settings.policy))));
    }
    if (!cpus.isEmpty()) {
        if (settings.periodMs == 0)
            return refuse("--cpus needs a timed clock: with period 0 arriving datagrams are the "
                          "clock, and no worker of --cpus listens");
        if (settings.send || bindGiven)
            return refuse("--cpus runs workers that neither listen nor send; leave out --send "
                          "and --bind");
        if (settings.cpu >= 0)
            return refuse("--cpus pins each worker to its own CPU; leave out --cpu");
        if (!intervalsPath.isEmpty() || !plotPath.isEmpty())
            return refuse("--cpus writes its reports, --json and --serve only; leave out "
                          "--intervals and --plot");
    }
    if (requireRealtime) {
        const std::string asked =
            platform::requestedScheduling(settings.processClass, settings.threadLevel).policy;
        const bool asksRealtime = settings.directPolicy
            ? realtime(settings.policy)
            : asked == "SCHED_FIFO" || asked == "SCHED_RR";
        if (!asksRealtime)
            return refuse("--require-rt needs a realtime policy asked for: --policy fifo or rr, "
                          "or a --process and --thread that ask for one");
    }
    return true;
}
