// SPDX-License-Identifier: MIT
#include "machinecontext.h"

#include "vantrelversion.h"

#include <QDateTime>
#include <QJsonValue>
#include <QString>
#include <QSysInfo>

#include <fstream>
#include <sstream>

namespace {

QString text(const std::string &value)
{
    return value.empty() ? QStringLiteral("unknown") : QString::fromStdString(value);
}

// A fact the kernel did not give is null, never a guess.
QJsonValue fact(const std::string &value)
{
    return value.empty() ? QJsonValue() : QJsonValue(QString::fromStdString(value));
}

// A kernel file's first line without its line end; nullopt when it cannot
// be read.
std::optional<std::string> readLine(const std::string &path)
{
    std::ifstream file(path);
    if (!file)
        return std::nullopt;
    std::string line;
    std::getline(file, line);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\r'))
        line.pop_back();
    return line;
}

std::string fileText(const std::string &path)
{
    return readLine(path).value_or(std::string());
}

QJsonValue fact(const std::optional<std::string> &value)
{
    return value ? QJsonValue(QString::fromStdString(*value)) : QJsonValue();
}

} // namespace

Preemption preemptionModel(const std::string &debugfsText, const std::string &unameVersion,
                           const std::string &commandLine)
{
    // A dynamic kernel lists every model and puts the one in force in
    // parentheses.
    const auto open = debugfsText.find('(');
    const auto close = debugfsText.find(')', open);
    if (open != std::string::npos && close != std::string::npos && close > open + 1)
        return {debugfsText.substr(open + 1, close - open - 1), "/sys/kernel/debug/sched/preempt"};
    std::istringstream words(unameVersion);
    bool rt = false, dynamic = false, full = false;
    for (std::string word; words >> word;) {
        rt = rt || word == "PREEMPT_RT";
        dynamic = dynamic || word == "PREEMPT_DYNAMIC";
        full = full || word == "PREEMPT";
    }
    if (rt)
        return {"rt", "uname -v"};
    if (dynamic) {
        // The model is picked at boot; "preempt=" picks another than the
        // built-in default, which the version text does not name.
        std::istringstream options(commandLine);
        for (std::string option; options >> option;) {
            if (option.rfind("preempt=", 0) == 0 && option.size() > 8)
                return {option.substr(8), "preempt= on the kernel command line"};
        }
        return {"dynamic", "uname -v"};
    }
    if (full)
        return {"full", "uname -v"};
    return {};
}

void MachineContext::begin(int measuredCpu)
{
    facts = platform::machineFacts();
    timing = TimingSetup();
    timing.hostname = QSysInfo::machineHostName().toStdString();
    timing.startedUtc = QDateTime::currentDateTimeUtc().toString(Qt::ISODate).toStdString();
    timing.commandLine = fileText("/proc/cmdline");
    const Preemption preemption =
        preemptionModel(fileText("/sys/kernel/debug/sched/preempt"),
                        fileText("/proc/sys/kernel/version"), timing.commandLine);
    timing.preemption = preemption.model;
    timing.preemptionFrom = preemption.from;
    const std::string cpus = "/sys/devices/system/cpu/";
    timing.isolatedCpus = readLine(cpus + "isolated");
    timing.nohzFullCpus = readLine(cpus + "nohz_full");
    // "(null)" is how some kernels write an empty nohz_full.
    if (timing.nohzFullCpus == "(null)")
        timing.nohzFullCpus = std::string();
    timing.governorCpu = measuredCpu >= 0 ? measuredCpu : 0;
    timing.governor =
        fileText(cpus + "cpu" + std::to_string(timing.governorCpu) + "/cpufreq/scaling_governor");
    timing.cpuidleDriver = fileText(cpus + "cpuidle/current_driver");
    timing.rtRuntimeUs = fileText("/proc/sys/kernel/sched_rt_runtime_us");
    stealAtBegin = platform::stealNanos();
    stealSeconds = -1;
}

void MachineContext::end()
{
    const std::int64_t now = platform::stealNanos();
    if (stealAtBegin >= 0 && now >= stealAtBegin)
        stealSeconds = double(now - stealAtBegin) / 1e9;
}

QJsonObject MachineContext::toJson() const
{
    // "yes" or "no" as a boolean; null when neither the CPU nor the OS says.
    QJsonObject hypervisor{{"present",
                            facts.hypervisor == "yes"      ? QJsonValue(true)
                                : facts.hypervisor == "no" ? QJsonValue(false)
                                                           : QJsonValue()}};
    hypervisor["vendor"] = facts.hypervisorVendor.empty()
        ? QJsonValue()
        : QString::fromStdString(facts.hypervisorVendor);
    hypervisor["signature"] = facts.hypervisorSignature.empty()
        ? QJsonValue()
        : QString::fromStdString(facts.hypervisorSignature);
    // A number when the kernel gave one (-1: realtime never throttled).
    bool number = false;
    const qint64 rtRuntimeUs = QString::fromStdString(timing.rtRuntimeUs).toLongLong(&number);
    const QJsonValue rtRuntime = number ? QJsonValue(rtRuntimeUs) : QJsonValue();
    return QJsonObject{
        {"kernel", text(facts.kernel)},
        {"clockSource", text(facts.clockSource)},
        {"availableClockSources", text(facts.availableClockSources)},
        {"cpuModel", text(facts.cpuModel)},
        {"cpuCount", facts.cpuCount},
        {"hypervisor", hypervisor},
        {"stealSeconds", stealSeconds >= 0 ? QJsonValue(stealSeconds) : QJsonValue()},
        {"programVersion", QString::fromLatin1(VantrelVersion)},
        {"hostname", fact(timing.hostname)},
        {"startedUtc", fact(timing.startedUtc)},
        {"kernelCommandLine", fact(timing.commandLine)},
        {"preemption", fact(timing.preemption)},
        {"preemptionFrom", fact(timing.preemptionFrom)},
        {"isolatedCpus", fact(timing.isolatedCpus)},
        {"nohzFullCpus", fact(timing.nohzFullCpus)},
        {"governor", fact(timing.governor)},
        {"governorCpu", timing.governorCpu >= 0 ? QJsonValue(timing.governorCpu) : QJsonValue()},
        {"cpuidleDriver", fact(timing.cpuidleDriver)},
        {"schedRtRuntimeUs", rtRuntime},
    };
}
