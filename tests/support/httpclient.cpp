// SPDX-License-Identifier: MIT
#include "httpclient.h"

#include <QDeadlineTimer>
#include <QTcpSocket>

HttpAnswer httpExchange(quint16 port, const QByteArray &request, int timeoutMs,
                        const QHostAddress &address)
{
    HttpAnswer answer;
    QTcpSocket socket;
    QDeadlineTimer deadline(timeoutMs);
    socket.connectToHost(address, port);
    if (!socket.waitForConnected(int(deadline.remainingTime())))
        return answer;
    socket.write(request);
    QByteArray received;
    while (!deadline.hasExpired()) {
        if (socket.state() == QAbstractSocket::UnconnectedState) {
            answer.closed = true;
            break;
        }
        socket.waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime())));
        received += socket.readAll();
    }
    received += socket.readAll();
    const qsizetype split = received.indexOf("\r\n\r\n");
    answer.headers = split < 0 ? received : received.left(split);
    answer.body = split < 0 ? QByteArray() : received.mid(split + 4);
    const QList<QByteArray> statusLine =
        answer.headers.left(answer.headers.indexOf('\r')).split(' ');
    if (statusLine.size() >= 2 && statusLine[0].startsWith("HTTP/1."))
        answer.status = statusLine[1].toInt();
    return answer;
}

QByteArray httpGet(const QByteArray &path)
{
    return "GET " + path + " HTTP/1.1\r\nHost: localhost\r\n\r\n";
}
