// SPDX-License-Identifier: MIT
// A small HTTP server for Prometheus: answers GET /metrics, and nothing
// else, from a thread of its own with its own event loop, so that no request
// ever waits on the measurement or the measurement on a request. That thread
// keeps the OS's normal scheduling even when the run raises the process.
#pragma once

#include <QHostAddress>
#include <QString>
#include <QThread>

#include <atomic>
#include <functional>

class MetricsServer
{
public:
    // Called in the server's thread for every GET /metrics: the body.
    using Render = std::function<QByteArray()>;

    static constexpr int MaxConnections = 512; // more wait in the listen queue
    static constexpr int IdleMs = 5000;        // a connection that has not asked by then is closed
    static constexpr int MaxRequestBytes = 8192; // request line and headers together

    explicit MetricsServer(Render render, const char *contentType);
    ~MetricsServer();

    // Starts the thread and listens; false, with the reason in error, when
    // the address cannot be had (the thread is then stopped again).
    bool start(const QHostAddress &address, quint16 port, QString *error);
    void stop();

    quint16 port() const { return listeningPort; }
    QString url() const;

    // Connections open now, and GET /metrics answered so far.
    int openConnections() const { return open.load(std::memory_order_relaxed); }
    quint64 answered() const { return served.load(std::memory_order_relaxed); }

private:
    class Listener;
    friend class Listener;

    Render render;
    QByteArray contentType;
    QThread thread;
    Listener *listener = nullptr;
    QHostAddress listeningAddress;
    quint16 listeningPort = 0;
    std::atomic<int> open{0};
    std::atomic<quint64> served{0};
};
