// SPDX-License-Identifier: MIT
// Which targets the worker sends to: a plain dotted quad that names one
// host. The any-address and broadcast addresses are refused, so that a typo
// never sends a datagram a tick to every host on a network. Multicast groups
// stay allowed: several receivers on one group is a real use.
#pragma once

#include <QList>
#include <QString>

// The broadcast addresses of this machine's IPv4 networks, in host order:
// each subnet's all-ones address (what the kernel routes as broadcast, named
// or not) and any broadcast address an interface names.
QList<quint32> localBroadcastAddresses();

// Whether an address (host order) is refused: 0.0.0.0, 255.255.255.255, or
// one of the count addresses at broadcasts. Allocates nothing.
bool isRefusedTarget(quint32 address, const quint32 *broadcasts, int count);

// Why nothing would be sent to target, as a clause ("\"abc\" is not an IPv4
// address ..."); empty when it would be sent to.
QString targetProblem(const QString &target);

// The same as the window says it: one plain sentence, or empty.
QString refusedTargetReason(const QString &target);
