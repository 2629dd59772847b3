// What tests ask of the process around a worker: who holds the port, which
// thread is the worker, what the scheduler allows.
#pragma once

#include "engine/rtthread.h"

#include <QNetworkInterface>
#include <QUdpSocket>

#include <algorithm>

#ifdef Q_OS_LINUX
#include <QByteArray>
#include <QDir>
#include <QFile>

#include <sched.h>
#include <sys/resource.h>
#endif

// Binding a probe socket to find out would race a worker that is about to
// bind; only use it when no run is starting.
inline bool portIsFree()
{
    QUdpSocket probe;
    return probe.bind(RtThread::UdpPort);
}

// Whether loopback is the only interface here: the condition for feeding
// malformed target addresses to anything that sends.
inline bool onlyLoopback()
{
    const auto interfaces = QNetworkInterface::allInterfaces();
    return std::all_of(interfaces.begin(), interfaces.end(), [](const QNetworkInterface &i) {
        return i.type() == QNetworkInterface::Loopback;
    });
}

#ifdef Q_OS_LINUX
// Bytes waiting in the receive queue of whatever socket holds the port, or
// -1 when none does. Asks the kernel's socket tables, which takes the port
// from nobody.
inline qint64 portReceiveQueue()
{
    const QByteArray port =
        ":" + QByteArray::number(RtThread::UdpPort, 16).toUpper().rightJustified(4, '0');
    for (const char *table : {"/proc/net/udp", "/proc/net/udp6"}) {
        QFile file(table);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &line : file.readAll().split('\n')) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            if (fields.size() > 4 && fields[1].endsWith(port))
                return fields[4].split(':').value(1).toLongLong(nullptr, 16);
        }
    }
    return -1;
}

inline bool portInUse()
{
    return portReceiveQueue() >= 0;
}

// The worker's thread, by the name QThread gives it from the class name.
inline pid_t workerTid()
{
    const QStringList tasks = QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &task : tasks) {
        QFile comm("/proc/self/task/" + task + "/comm");
        if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == "RtThread")
            return pid_t(task.toInt());
    }
    return 0;
}

// Whether this process may use SCHED_FIFO (root, or CAP_SYS_NICE).
inline bool fifoPermitted()
{
    sched_param probe{};
    probe.sched_priority = sched_get_priority_min(SCHED_FIFO);
    const int before = sched_getscheduler(0);
    sched_param old{};
    sched_getparam(0, &old);
    if (sched_setscheduler(0, SCHED_FIFO, &probe) != 0)
        return false;
    sched_setscheduler(0, before, &old);
    return true;
}

// How the scheduler runs a thread (0: the calling one): "FIFO 99",
// "OTHER nice -20", "IDLE".
inline QString scheduling(pid_t tid)
{
    sched_param param{};
    sched_getparam(tid, &param);
    switch (sched_getscheduler(tid)) {
    case SCHED_FIFO:
        return QString("FIFO %1").arg(param.sched_priority);
    case SCHED_OTHER:
        return QString("OTHER nice %1").arg(getpriority(PRIO_PROCESS, id_t(tid)));
    case SCHED_IDLE:
        return "IDLE";
    default:
        return "other policy";
    }
}

// UDP sends this network namespace has seen, to any address, over IPv4 and
// IPv6: sent datagrams and those refused for want of a route.
inline qint64 udpSendsSeen()
{
    qint64 total = 0;
    QFile snmp("/proc/net/snmp"); // "Ip: names..." then "Ip: values..."
    if (snmp.open(QIODevice::ReadOnly)) {
        const QList<QByteArray> lines = snmp.readAll().split('\n');
        for (int i = 0; i + 1 < lines.size(); i += 2) {
            const QList<QByteArray> names = lines[i].simplified().split(' ');
            const QList<QByteArray> values = lines[i + 1].simplified().split(' ');
            for (int k = 0; k < names.size() && k < values.size(); ++k) {
                const QByteArray key = names[0] + names[k];
                if (key == "Ip:OutNoRoutes" || key == "Udp:OutDatagrams")
                    total += values[k].toLongLong();
            }
        }
    }
    QFile snmp6("/proc/net/snmp6"); // "Name value" lines
    if (snmp6.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : snmp6.readAll().split('\n')) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            if (fields.size() == 2 &&
                (fields[0] == "Ip6OutNoRoutes" || fields[0] == "Udp6OutDatagrams"))
                total += fields[1].toLongLong();
        }
    }
    return total;
}

// Resident memory of this process, in kB.
inline qint64 residentKb()
{
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).simplified().split(' ').value(0).toLongLong();
    }
    return -1;
}

inline QString topFifo()
{
    return QString("FIFO %1").arg(sched_get_priority_max(SCHED_FIFO));
}
#endif
