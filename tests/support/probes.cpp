// SPDX-License-Identifier: MIT
#include "probes.h"

#include "rtthread.h"

#include <QNetworkInterface>

#include <algorithm>
#include <cstdint>

#ifdef Q_OS_LINUX
#include <QByteArray>
#include <QDir>
#include <QFile>

#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

bool onlyLoopback()
{
    const auto interfaces = QNetworkInterface::allInterfaces();
    return std::all_of(interfaces.begin(), interfaces.end(), [](const QNetworkInterface &i) {
        return i.type() == QNetworkInterface::Loopback;
    });
}

#ifdef Q_OS_LINUX
namespace {

QList<QByteArray> fileLines(const char *path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll().split('\n') : QList<QByteArray>();
}

} // namespace

qint64 portReceiveQueue()
{
    const QByteArray port =
        ":" + QByteArray::number(RtThread::UdpPort, 16).toUpper().rightJustified(4, '0');
    for (const char *table : {"/proc/net/udp", "/proc/net/udp6"}) {
        for (const QByteArray &line : fileLines(table)) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            if (fields.size() > 4 && fields[1].endsWith(port))
                return fields[4].split(':').value(1).toLongLong(nullptr, 16);
        }
    }
    return -1;
}

pid_t workerTid()
{
    const QStringList tasks = QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &task : tasks) {
        QFile comm("/proc/self/task/" + task + "/comm");
        if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == "RtThread")
            return pid_t(task.toInt());
    }
    return 0;
}

bool fifoPermitted()
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

namespace {

qint64 statusKb(const QByteArray &key)
{
    for (const QByteArray &line : fileLines("/proc/self/status")) {
        if (line.startsWith(key))
            return line.mid(key.size()).simplified().split(' ').value(0).toLongLong();
    }
    return -1;
}

} // namespace

bool memoryLockPermitted()
{
    static const bool permitted = [] {
        rlimit limit{};
        bool capable = false;
        // CapEff is a hex mask; CAP_IPC_LOCK is bit 14.
        for (const QByteArray &line : fileLines("/proc/self/status")) {
            if (line.startsWith("CapEff:"))
                capable = (line.mid(7).trimmed().toULongLong(nullptr, 16) >> 14) & 1u;
        }
        if (getrlimit(RLIMIT_MEMLOCK, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY && !capable)
            return false;
        // Rights are not the whole answer (a sandbox may refuse, or memory
        // run short): a child asks the kernel itself.
        const pid_t child = fork();
        if (child == 0)
            _exit(mlockall(MCL_CURRENT | MCL_FUTURE) == 0 ? 0 : 1);
        int status = 0;
        return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
            WEXITSTATUS(status) == 0;
    }();
    return permitted;
}

bool powerStateHoldPermitted()
{
    // Held while open; the request ends with the close.
    const int device = open("/dev/cpu_dma_latency", O_WRONLY | O_CLOEXEC);
    if (device < 0)
        return false;
    const std::int32_t microseconds = 0;
    const bool written = write(device, &microseconds, sizeof microseconds) == sizeof microseconds;
    close(device);
    return written;
}

qint64 lockedKb()
{
    return statusKb("VmLck:");
}

platform::ThreadScheduling threadScheduling(pid_t tid)
{
    platform::ThreadScheduling seen;
    const int policy = sched_getscheduler(tid);
    switch (policy < 0 ? policy : policy & ~SCHED_RESET_ON_FORK) {
    case SCHED_FIFO:
        seen.policy = "SCHED_FIFO";
        break;
    case SCHED_OTHER:
        seen.policy = "SCHED_OTHER";
        break;
    case SCHED_IDLE:
        seen.policy = "SCHED_IDLE";
        break;
    default:
        seen.policy = "other";
        break;
    }
    sched_param param{};
    sched_getparam(tid, &param);
    seen.priority = param.sched_priority;
    seen.nice = getpriority(PRIO_PROCESS, id_t(tid));
    return seen;
}

bool resetsOnFork(pid_t tid)
{
    const int policy = sched_getscheduler(tid);
    return policy >= 0 && (policy & SCHED_RESET_ON_FORK) != 0;
}

QString scheduling(pid_t tid)
{
    const platform::ThreadScheduling seen = threadScheduling(tid);
    if (seen.policy == "SCHED_FIFO")
        return QString("FIFO %1").arg(seen.priority);
    if (seen.policy == "SCHED_OTHER")
        return QString("OTHER nice %1").arg(seen.nice);
    if (seen.policy == "SCHED_IDLE")
        return "IDLE";
    return "other policy";
}

QString topFifo()
{
    return QString("FIFO %1").arg(sched_get_priority_max(SCHED_FIFO));
}

qint64 udpSendsSeen()
{
    qint64 total = 0;
    // "Ip: names..." then "Ip: values..."
    const QList<QByteArray> lines = fileLines("/proc/net/snmp");
    for (int i = 0; i + 1 < lines.size(); i += 2) {
        const QList<QByteArray> names = lines[i].simplified().split(' ');
        const QList<QByteArray> values = lines[i + 1].simplified().split(' ');
        for (int k = 0; k < names.size() && k < values.size(); ++k) {
            const QByteArray key = names[0] + names[k];
            if (key == "Ip:OutNoRoutes" || key == "Udp:OutDatagrams")
                total += values[k].toLongLong();
        }
    }
    // "Name value" lines
    for (const QByteArray &line : fileLines("/proc/net/snmp6")) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() == 2 &&
            (fields[0] == "Ip6OutNoRoutes" || fields[0] == "Udp6OutDatagrams"))
            total += fields[1].toLongLong();
    }
    return total;
}

qint64 residentKb()
{
    return statusKb("VmRSS:");
}
#endif
