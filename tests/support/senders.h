// SPDX-License-Identifier: MIT
// Datagrams for the worker's receive clocks: to 127.0.0.1 one at a time or
// paced by a timer, and as fast as one thread can, to loopback or to a host
// in a network namespace of the test's own.
#pragma once

#include "rtthread.h"

#include <QByteArray>
#include <QTimer>
#include <QUdpSocket>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

// One datagram to 127.0.0.1 at the port; true when the whole of it was sent.
bool sendDatagram(const QByteArray &payload = QByteArray(RtThread::DatagramSize, '\0'),
                  quint16 port = RtThread::UdpPort);

// Sends a datagram every 2 ms, letting events run in between, until done()
// holds or timeoutMs have passed; returns done(). Datagrams sent before a
// worker has bound are lost, so a test sends until it sees what it needs.
bool sendUntil(const std::function<bool()> &done, int timeoutMs = 20000);

// A datagram every periodMs from the event loop, while it lives.
class DatagramFeed
{
public:
    explicit DatagramFeed(int periodMs);

private:
    QUdpSocket socket;
    QTimer timer;
};

#ifdef Q_OS_LINUX
// count datagrams of 64 bytes, the gaps between them in turn from gapsMs,
// each due at an absolute time from the first; returns how many were sent.
// Blocks the calling thread while it sends.
int sendWithGaps(const std::vector<int> &gapsMs, int count);

// 64-byte datagrams as fast as one thread can, at normal scheduling, from
// construction until stop() or `count` datagrams: to 127.0.0.1, or to `to`
// (IPv4 or IPv6) from inside the network namespace `netns` (a name `ip netns`
// made, for a host of the test's own); on the CPU given, or wherever the
// scheduler puts it (-1).
class DatagramFlood
{
public:
    explicit DatagramFlood(int cpu = -1, const QHostAddress &to = QHostAddress::LocalHost,
                           const QString &netns = QString(), qint64 count = -1);
    ~DatagramFlood() { stop(); }

    // Waits for the sender to end (stops it first when unbounded); returns
    // the datagrams it sent.
    qint64 stop();

    // Datagrams sent so far, and whether the namespace could be entered.
    qint64 sentSoFar() const { return sent; }
    bool failed() const { return entryFailed; }

private:
    void send(int cpu, const QHostAddress &to, const QString &netns, qint64 count);

    const bool bounded;
    std::atomic<bool> running{true};
    std::atomic<qint64> sent{0};
    std::atomic<bool> entryFailed{false};
    std::thread thread;
};
#endif
