// SPDX-License-Identifier: MIT
#include "senders.h"

#include <QElapsedTimer>
#include <QNetworkProxy>
#include <QTest>

#ifdef Q_OS_LINUX
#include <QFile>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#endif

bool sendDatagram(const QByteArray &payload, quint16 port)
{
    QUdpSocket sender;
    sender.setProxy(QNetworkProxy::NoProxy);
    return sender.writeDatagram(payload, QHostAddress::LocalHost, port) == payload.size();
}

bool sendUntil(const std::function<bool()> &done, int timeoutMs)
{
    QUdpSocket sender;
    sender.setProxy(QNetworkProxy::NoProxy);
    const QByteArray payload(RtThread::DatagramSize, '\0');
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < timeoutMs) {
        sender.writeDatagram(payload, QHostAddress::LocalHost, RtThread::UdpPort);
        QTest::qWait(2);
    }
    return done();
}

#ifdef Q_OS_LINUX
int sendWithGaps(const std::vector<int> &gapsMs, int count)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(RtThread::UdpPort);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const char payload[RtThread::DatagramSize] = {};
    timespec due{};
    clock_gettime(CLOCK_MONOTONIC, &due);
    int sent = 0;
    for (int i = 0; i < count; ++i) {
        if (i > 0) {
            due.tv_nsec += long(gapsMs[size_t(i - 1) % gapsMs.size()]) * 1000000;
            due.tv_sec += due.tv_nsec / 1000000000;
            due.tv_nsec %= 1000000000;
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr) == EINTR) { }
        }
        sent += ::sendto(fd, payload, sizeof payload, 0, reinterpret_cast<sockaddr *>(&to),
                         sizeof to) == ssize_t(sizeof payload);
    }
    ::close(fd);
    return sent;
}
#endif

DatagramFeed::DatagramFeed(int periodMs)
{
    socket.setProxy(QNetworkProxy::NoProxy);
    QObject::connect(&timer, &QTimer::timeout, [this] {
        socket.writeDatagram(QByteArray(RtThread::DatagramSize, '\0'), QHostAddress::LocalHost,
                             RtThread::UdpPort);
    });
    timer.start(periodMs);
}

#ifdef Q_OS_LINUX
DatagramFlood::DatagramFlood(int cpu, const QHostAddress &to, const QString &netns, qint64 count)
    : bounded(count >= 0), thread([=] { send(cpu, to, netns, count); })
{
}

qint64 DatagramFlood::stop()
{
    if (thread.joinable()) {
        if (!bounded)
            running = false;
        thread.join();
    }
    return sent;
}

void DatagramFlood::send(int cpu, const QHostAddress &to, const QString &netns, qint64 count)
{
    // Threads started during a run inherit the realtime scheduling that
    // Start gave the process; a sender is an ordinary program.
    const sched_param normal{};
    pthread_setschedparam(pthread_self(), SCHED_OTHER, &normal);
    if (cpu >= 0) {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(cpu, &one);
        sched_setaffinity(0, sizeof one, &one);
    }
    // A thread of its own may change network namespace; the socket belongs
    // to the one it is made in.
    if (!netns.isEmpty()) {
        const int nsFd = ::open(QFile::encodeName("/var/run/netns/" + netns), O_RDONLY | O_CLOEXEC);
        const bool entered = nsFd >= 0 && ::setns(nsFd, CLONE_NEWNET) == 0;
        if (nsFd >= 0)
            ::close(nsFd);
        if (!entered) {
            entryFailed = true;
            return;
        }
    }
    sockaddr_storage address{};
    socklen_t length = 0;
    if (to.protocol() == QAbstractSocket::IPv6Protocol) {
        auto *six = reinterpret_cast<sockaddr_in6 *>(&address);
        six->sin6_family = AF_INET6;
        six->sin6_port = htons(RtThread::UdpPort);
        const Q_IPV6ADDR bytes = to.toIPv6Address();
        std::memcpy(&six->sin6_addr, bytes.c, sizeof bytes.c);
        length = sizeof *six;
    } else {
        auto *four = reinterpret_cast<sockaddr_in *>(&address);
        four->sin_family = AF_INET;
        four->sin_port = htons(RtThread::UdpPort);
        four->sin_addr.s_addr = htonl(to.toIPv4Address());
        length = sizeof *four;
    }
    const int fd = ::socket(address.ss_family, SOCK_DGRAM, 0);
    const char payload[RtThread::DatagramSize] = {};
    while (running && (count < 0 || sent < count)) {
        if (::sendto(fd, payload, sizeof payload, 0, reinterpret_cast<sockaddr *>(&address),
                     length) == qint64(sizeof payload))
            ++sent;
    }
    ::close(fd);
}
#endif
