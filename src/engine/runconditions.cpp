// SPDX-License-Identifier: MIT
#include "runconditions.h"

namespace {

QString text(const platform::Outcome &outcome)
{
    return QString::fromStdString(outcome.detail);
}

} // namespace

QJsonObject RunConditions::toJson() const
{
    QJsonObject cpu{{"asked", asked.cpu},
                    {"pinned", asked.cpu >= 0 && pinned.granted},
                    {"reason", asked.cpu >= 0 ? text(pinned) : QString("not asked")}};
    QJsonObject lock{
        {"asked", asked.lockMemory},
        {"locked", asked.lockMemory && memory.granted},
        {"reason", asked.lockMemory ? text(memory) : QString("not asked (--no-mlock)")}};
    const bool powerAsked = asked.pmQosUs >= 0;
    QJsonObject pmQos{{"asked", powerAsked},
                      {"latencyUs", powerAsked ? QJsonValue(asked.pmQosUs) : QJsonValue()},
                      {"held", powerAsked && power.granted},
                      {"reason", powerAsked ? text(power) : QString("not asked (--pm-qos off)")}};
    QJsonObject direct{
        {"asked",
         asked.directPolicy ? QJsonValue(QString::fromStdString(platform::policyName(asked.policy)))
                            : QJsonValue()},
        {"priority", asked.directPolicy ? QJsonValue(asked.policyPriority) : QJsonValue()},
        {"granted", asked.directPolicy && policy.granted},
        {"reason",
         asked.directPolicy ? text(policy) : QString("not asked: the thread level applies")}};
    return QJsonObject{{"cpu", cpu}, {"memoryLock", lock}, {"pmQos", pmQos}, {"policy", direct}};
}

QStringList RunConditions::notes() const
{
    QStringList said;
    if (asked.cpu >= 0 && !pinned.granted && !pinned.detail.empty())
        said << QString("The worker ran on any CPU, not pinned to CPU %1: %2.")
                    .arg(asked.cpu)
                    .arg(text(pinned));
    if (asked.lockMemory && !memory.granted && !memory.detail.empty())
        said << "The run went on with its memory " + text(memory) + ".";
    if (asked.pmQosUs >= 0 && !power.granted && !power.detail.empty())
        said << "The run went on with power states " + text(power) + ".";
    if (asked.directPolicy && !policy.granted && !policy.detail.empty())
        said << "The worker's policy was not set as asked: " + text(policy) + ".";
    return said;
}
