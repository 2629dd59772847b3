// SPDX-License-Identifier: MIT
// Two hosts on one machine: two network namespaces joined by a veth pair,
// named after this process so that parallel runs never meet. Each end has an
// IPv4 and an IPv6 address; nothing sent between them leaves the pair.
// Making them needs root.
#pragma once

#include <QString>
#include <QStringList>

class TwoHosts
{
public:
    static const QString ReceiverAddress; // 10.166.7.1/24
    static const QString SenderAddress;   // 10.166.7.2/24
    static const QString ReceiverAddress6;
    static const QString SenderAddress6;

    TwoHosts();
    ~TwoHosts() { remove(); }

    // Makes both hosts; empty on success, else why they could not be made
    // (and nothing is left behind).
    QString make();
    void remove();

    // The namespaces' names, for `ip netns exec` and /var/run/netns.
    const QString receiver;
    const QString sender;

private:
    bool made = false;
};
