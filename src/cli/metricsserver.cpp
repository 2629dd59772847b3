// SPDX-License-Identifier: MIT
#include "metricsserver.h"

#include "platform.h"

#include <QElapsedTimer>
#include <QHash>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace {

QByteArray response(const QByteArray &status, const QByteArray &type, const QByteArray &body,
                    const QByteArray &extraHeaders = QByteArray())
{
    return "HTTP/1.1 " + status + "\r\nContent-Type: " + type +
        "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n" + extraHeaders +
        "Connection: close\r\n\r\n" + body;
}

QByteArray refusal(const QByteArray &status, const QByteArray &extraHeaders = QByteArray())
{
    return response(status, "text/plain; charset=utf-8",
                    status + ": this server answers GET /metrics only\n", extraHeaders);
}

} // namespace

// Lives in the server's thread: every call below runs there.
class MetricsServer::Listener : public QTcpServer
{
public:
    explicit Listener(MetricsServer &owner) : owner(owner), sweeper(this)
    {
        connect(this, &QTcpServer::newConnection, this, [this] { takeConnections(); });
        // One timer for all connections: a timer each would pile up tens of
        // thousands under a burst, each to be sorted into the event loop.
        connect(&sweeper, &QTimer::timeout, this, [this] { closeIdle(); });
    }

    // In the server's thread, where the listener's timer and sockets live.
    bool listenOn(const QHostAddress &address, quint16 port)
    {
        clock.start();
        sweeper.start(IdleMs / 5);
        setListenBacklogSize(MaxConnections);
        return listen(address, port);
    }

    ~Listener() override
    {
        // The sockets are children; their clean-up must not reach back
        // into members already gone.
        const auto sockets = findChildren<QTcpSocket *>();
        for (QTcpSocket *socket : sockets)
            socket->disconnect(this);
        qDeleteAll(sockets);
        owner.open.fetch_sub(int(sockets.size()), std::memory_order_relaxed);
    }

private:
    void takeConnections()
    {
        while (hasPendingConnections()) {
            QTcpSocket *socket = nextPendingConnection();
            owner.open.fetch_add(1, std::memory_order_relaxed);
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readRequest(socket); });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QObject::destroyed, this, [this, socket] { forget(socket); });
            openedAt.insert(socket, clock.elapsed());
        }
        // Past the limit, further connections wait in the kernel's queue.
        if (owner.openConnections() >= MaxConnections)
            pauseAccepting();
    }

    // Slow or silent clients, and clients that do not read their answer,
    // may not hold a connection for ever.
    void closeIdle()
    {
        const qint64 oldest = clock.elapsed() - IdleMs;
        QList<QTcpSocket *> idle;
        for (auto it = openedAt.cbegin(); it != openedAt.cend(); ++it) {
            if (it.value() <= oldest)
                idle << it.key();
        }
        for (QTcpSocket *socket : idle) {
            openedAt.remove(socket); // once: deleteLater may take a while
            socket->abort();
            socket->deleteLater();
        }
    }

    void forget(QTcpSocket *socket)
    {
        openedAt.remove(socket);
        requests.remove(socket);
        if (owner.open.fetch_sub(1, std::memory_order_relaxed) - 1 < MaxConnections)
            resumeAccepting();
    }

    void readRequest(QTcpSocket *socket)
    {
        QByteArray &request = requests[socket];
        request += socket->read(MaxRequestBytes + 1 - request.size());
        // The request ends at its empty line; the method and the target
        // are all that matter, but answering before the whole request is
        // read would make the close a reset.
        qsizetype end = request.indexOf("\r\n\r\n");
        if (end < 0)
            end = request.indexOf("\n\n");
        if (end < 0) {
            if (request.size() > MaxRequestBytes)
                answer(socket, refusal("431 Request Header Fields Too Large"));
            return;
        }
        const QList<QByteArray> line = request.left(request.indexOf('\n')).trimmed().split(' ');
        if (line.size() != 3 || !line[2].startsWith("HTTP/1."))
            answer(socket, refusal("400 Bad Request"));
        else if (line[0] != "GET")
            answer(socket, refusal("405 Method Not Allowed", "Allow: GET\r\n"));
        else if (line[1] != "/metrics")
            answer(socket, refusal("404 Not Found"));
        else
            answer(socket, response("200 OK", owner.contentType, owner.render()), true);
    }

    void answer(QTcpSocket *socket, const QByteArray &text, bool metrics = false)
    {
        requests.remove(socket);
        socket->readAll(); // read to the end, so far as it came, so that the close is not a reset
        // One answer per connection; later bytes are ignored.
        QObject::disconnect(socket, &QTcpSocket::readyRead, this, nullptr);
        socket->write(text);
        socket->disconnectFromHost(); // closes once the answer is sent
        if (metrics)
            owner.served.fetch_add(1, std::memory_order_relaxed);
    }

    MetricsServer &owner;
    QHash<QTcpSocket *, QByteArray> requests; // what each connection has sent so far
    QHash<QTcpSocket *, qint64> openedAt;     // on clock, in ms
    QElapsedTimer clock;
    QTimer sweeper;
};

MetricsServer::MetricsServer(Render render, const char *contentType)
    : render(std::move(render)), contentType(contentType)
{
}

MetricsServer::~MetricsServer()
{
    stop();
}

bool MetricsServer::start(const QHostAddress &address, quint16 port, QString *error)
{
    stop();
    thread.setObjectName("vantrel-metrics");
    thread.start();
    listener = new Listener(*this);
    listener->moveToThread(&thread);
    bool listening = false;
    QString why;
    QMetaObject::invokeMethod(
        listener,
        [&] {
            // Before any request: this thread answers scrapes, and must
            // never compete with the measurement.
            platform::os().keepCurrentThreadNormal();
            listening = listener->listenOn(address, port);
            why = listener->errorString();
            listeningPort = listener->serverPort();
        },
        Qt::BlockingQueuedConnection);
    if (!listening) {
        if (error)
            *error = why;
        stop();
        return false;
    }
    listeningAddress = address;
    return true;
}

void MetricsServer::stop()
{
    // deleteLater is safe from any thread, and a thread that ends deletes
    // what was left to deleteLater in it: the listener and its connections.
    // (A deleteLater queued as a call could still wait in the queue when
    // the loop quits, and never run.)
    if (listener)
        listener->deleteLater();
    listener = nullptr;
    thread.quit();
    thread.wait();
}

QString MetricsServer::url() const
{
    const QString host = listeningAddress.protocol() == QAbstractSocket::IPv6Protocol
        ? "[" + listeningAddress.toString() + "]"
        : listeningAddress.toString();
    return QString("http://%1:%2/metrics").arg(host).arg(listeningPort);
}
