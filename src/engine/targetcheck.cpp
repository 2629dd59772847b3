// SPDX-License-Identifier: MIT
#include "targetcheck.h"

#include "dottedquad.h"

#include <QHostAddress>
#include <QNetworkInterface>

QList<quint32> localBroadcastAddresses()
{
    QList<quint32> found;
    const auto add = [&found](quint32 address) {
        if (!found.contains(address))
            found << address;
    };
    for (const QNetworkInterface &interface : QNetworkInterface::allInterfaces()) {
        for (const QNetworkAddressEntry &entry : interface.addressEntries()) {
            if (entry.ip().protocol() != QAbstractSocket::IPv4Protocol)
                continue;
            if (entry.broadcast().protocol() == QAbstractSocket::IPv4Protocol)
                add(entry.broadcast().toIPv4Address());
            // Linux adds a broadcast route for every subnet wider than two
            // addresses, whether or not the interface names its broadcast.
            const int prefix = entry.prefixLength();
            if (prefix >= 0 && prefix < 31)
                add(entry.ip().toIPv4Address() | (0xFFFFFFFFu >> prefix));
        }
    }
    return found;
}

bool isRefusedTarget(quint32 address, const quint32 *broadcasts, int count)
{
    if (address == 0 || address == 0xFFFFFFFFu)
        return true;
    for (int i = 0; i < count; ++i) {
        if (broadcasts[i] == address)
            return true;
    }
    return false;
}

QString targetProblem(const QString &target)
{
    quint32 address = 0;
    if (!parseDottedQuad(target, &address))
        return "\"" + target + "\" is not an IPv4 address in dotted-quad form (e.g. 127.0.0.1)";
    const QString dotted = QHostAddress(address).toString();
    if (address == 0)
        return dotted + " is the any-address, not one host";
    const QList<quint32> broadcasts = localBroadcastAddresses();
    if (isRefusedTarget(address, broadcasts.constData(), int(broadcasts.size())))
        return dotted + " is a broadcast address, not one host";
    return {};
}

QString refusedTargetReason(const QString &target)
{
    const QString problem = targetProblem(target);
    return problem.isEmpty() ? problem : "Nothing is sent: " + problem + ".";
}
