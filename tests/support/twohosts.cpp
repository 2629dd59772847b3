// SPDX-License-Identifier: MIT
#include "twohosts.h"

#include <QProcess>

#include <unistd.h>

namespace {

// Runs `ip` with these arguments; the error text, empty on success.
QString ip(const QStringList &arguments)
{
    QProcess process;
    process.start("ip", arguments);
    if (!process.waitForFinished(10000))
        return "ip " + arguments.join(' ') + ": did not finish";
    if (process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
        return {};
    return "ip " + arguments.join(' ') + ": " +
        QString::fromUtf8(process.readAllStandardError()).trimmed();
}

} // namespace

const QString TwoHosts::ReceiverAddress = "10.166.7.1";
const QString TwoHosts::SenderAddress = "10.166.7.2";
const QString TwoHosts::ReceiverAddress6 = "fd00:a6:7::1";
const QString TwoHosts::SenderAddress6 = "fd00:a6:7::2";

TwoHosts::TwoHosts()
    : receiver(QString("vantrel-rx-%1").arg(getpid()))
    , sender(QString("vantrel-tx-%1").arg(getpid()))
{
}

QString TwoHosts::make()
{
    const QString veth = QString("vtr%1").arg(getpid());
    const QString peer = QString("vts%1").arg(getpid());
    const QList<QStringList> steps{
        {"netns", "add", receiver},
        {"netns", "add", sender},
        {"link", "add", veth, "netns", receiver, "type", "veth", "peer", "name", peer, "netns",
         sender},
        {"-n", receiver, "addr", "add", ReceiverAddress + "/24", "dev", veth},
        {"-n", sender, "addr", "add", SenderAddress + "/24", "dev", peer},
        // nodad: usable at once, without duplicate address detection's wait.
        {"-n", receiver, "addr", "add", ReceiverAddress6 + "/64", "dev", veth, "nodad"},
        {"-n", sender, "addr", "add", SenderAddress6 + "/64", "dev", peer, "nodad"},
        {"-n", receiver, "link", "set", veth, "up"},
        {"-n", sender, "link", "set", peer, "up"},
        {"-n", receiver, "link", "set", "lo", "up"},
        {"-n", sender, "link", "set", "lo", "up"},
    };
    made = true;
    for (const QStringList &step : steps) {
        const QString error = ip(step);
        if (!error.isEmpty()) {
            remove();
            return error;
        }
    }
    return {};
}

void TwoHosts::remove()
{
    if (!made)
        return;
    // Deleting a namespace destroys the veth end inside it, and so the pair.
    ip({"netns", "delete", receiver});
    ip({"netns", "delete", sender});
    made = false;
}
