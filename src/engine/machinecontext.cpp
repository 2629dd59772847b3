// SPDX-License-Identifier: MIT
#include "machinecontext.h"

#include "vantrelversion.h"

#include <QJsonValue>
#include <QString>

namespace {

QString text(const std::string &value)
{
    return value.empty() ? QStringLiteral("unknown") : QString::fromStdString(value);
}

} // namespace

void MachineContext::begin()
{
    facts = platform::machineFacts();
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
    return QJsonObject{
        {"kernel", text(facts.kernel)},
        {"clockSource", text(facts.clockSource)},
        {"availableClockSources", text(facts.availableClockSources)},
        {"cpuModel", text(facts.cpuModel)},
        {"cpuCount", facts.cpuCount},
        {"hypervisor", hypervisor},
        {"stealSeconds", stealSeconds >= 0 ? QJsonValue(stealSeconds) : QJsonValue()},
        {"programVersion", QString::fromLatin1(VantrelVersion)},
    };
}
