// SPDX-License-Identifier: MIT
// One HTTP exchange with a server on this machine, as a scraper makes it:
// connect, send the request as given, read until the server closes.
#pragma once

#include <QByteArray>
#include <QHostAddress>

struct HttpAnswer
{
    bool closed = false; // the server closed the connection after answering
    int status = 0;      // from the status line; 0 when there was none
    QByteArray headers;  // status line and headers
    QByteArray body;
};

HttpAnswer httpExchange(quint16 port, const QByteArray &request, int timeoutMs = 5000,
                        const QHostAddress &address = QHostAddress(QHostAddress::LocalHost));

// "GET <path> HTTP/1.1" with a Host header.
QByteArray httpGet(const QByteArray &path);
