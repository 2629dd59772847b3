// SPDX-License-Identifier: MIT
// Target addresses: only a plain dotted quad is ever sent to. The sending
// cases feed malformed addresses to the worker, so they run only where
// loopback is the sole interface (run-in-own-netns.sh sets that up).
#include "dottedquad.h"
#include "probes.h"
#include "rtthread.h"
#include "targetcheck.h"

#include <QNetworkDatagram>
#include <QTest>
#include <QUdpSocket>

class TestDottedQuad : public QObject
{
    Q_OBJECT

private:
    // Sends one tick's datagram to the text given, then one to 127.0.0.1;
    // returns the destinations that arrived (loopback keeps the order, so the
    // second arriving means the first had its chance).
    QList<QHostAddress> sendThenMark(const QString &target)
    {
        QUdpSocket receiver;
        receiver.bind(QHostAddress::Any, RtThread::UdpPort); // IPv4 and IPv6
        [&] {
            QVERIFY2(receiver.state() == QAbstractSocket::BoundState,
                     qPrintable(receiver.errorString()));
        }();

        RtThread worker;
        worker.learnBroadcastTargets();
        QUdpSocket sender;
        worker.udpSocket = &sender;
        RunSettings settings;
        settings.send = true;
        for (const QString &address : {target, QStringLiteral("127.0.0.1")}) {
            settings.target = address;
            worker.setSettings(settings);
            QMetaObject::invokeMethod(&worker, "runTimerTick", Qt::DirectConnection);
        }
        worker.udpSocket = nullptr;

        QList<QHostAddress> arrived;
        const QHostAddress mark(QStringLiteral("127.0.0.1"));
        for (int waited = 0; (arrived.isEmpty() || arrived.last() != mark) && waited < 5000;
             waited += 10) {
            while (receiver.hasPendingDatagrams()) {
                QHostAddress to = receiver.receiveDatagram().destinationAddress();
                bool mapped = false;
                const quint32 ip4 = to.toIPv4Address(&mapped);
                arrived << (mapped ? QHostAddress(ip4) : to);
            }
            if (arrived.isEmpty() || arrived.last() != mark)
                QTest::qWait(10);
        }
        return arrived;
    }

private slots:
    void parsing_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QString>("address"); // dotted, when valid

        QTest::newRow("plain") << "192.168.1.20" << true << "192.168.1.20";
        QTest::newRow("ends of the range") << "0.0.0.0" << true << "0.0.0.0";
        QTest::newRow("all ones") << "255.255.255.255" << true << "255.255.255.255";
        QTest::newRow("surrounding spaces") << "  10.1.2.3 " << true << "10.1.2.3";
        QTest::newRow("tab and newline") << "\t10.1.2.3\n" << true << "10.1.2.3";

        QTest::newRow("leading zero") << "010.0.0.1" << false << "";
        QTest::newRow("zero-padded") << "192.168.001.010" << false << "";
        QTest::newRow("many zeros") << "0000000000127.0.0.1" << false << "";
        QTest::newRow("zero field") << "10.0.00.1" << false << "";
        QTest::newRow("empty") << "" << false << "";
        QTest::newRow("spaces only") << "   " << false << "";
        QTest::newRow("three parts") << "1.2.3" << false << "";
        QTest::newRow("one number") << "1" << false << "";
        QTest::newRow("short loopback") << "127.1" << false << "";
        QTest::newRow("five parts") << "1.2.3.4.5" << false << "";
        QTest::newRow("256") << "256.0.0.1" << false << "";
        QTest::newRow("huge") << "99999999999999999999.0.0.1" << false << "";
        QTest::newRow("sign") << "+1.2.3.4" << false << "";
        QTest::newRow("minus") << "1.2.3.-4" << false << "";
        QTest::newRow("empty part") << "1..2.3" << false << "";
        QTest::newRow("trailing dot") << "1.2.3.4." << false << "";
        QTest::newRow("leading dot") << ".1.2.3.4" << false << "";
        QTest::newRow("inner space") << "1. 2.3.4" << false << "";
        QTest::newRow("trailing text") << "1.2.3.4 x" << false << "";
        QTest::newRow("hex") << "0x7f.0.0.1" << false << "";
        QTest::newRow("short hex") << "0x7f.1" << false << "";
        QTest::newRow("scoped IPv6") << "fe80::1%eth0" << false << "";
        QTest::newRow("300 characters") << QString(300, '1') << false << "";
        QTest::newRow("300 characters of dotted quads")
            << QString("1.2.3.4").repeated(43) << false << "";
        QTest::newRow("exponent") << "1e2.0.0.1" << false << "";
        QTest::newRow("full-width digits") << QString::fromUtf8("１.２.３.４") << false << "";
        QTest::newRow("Arabic-Indic digits") << QString::fromUtf8("١٢٧.٠.٠.١") << false << "";
        QTest::newRow("IPv6 loopback") << "::1" << false << "";
        QTest::newRow("IPv4-mapped IPv6") << "::ffff:127.0.0.1" << false << "";
        QTest::newRow("host name") << "localhost" << false << "";
    }
    void parsing()
    {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QFETCH(QString, address);
        quint32 parsed = 0xdeadbeef;
        QCOMPARE(parseDottedQuad(text, &parsed), valid);
        if (valid)
            QCOMPARE(QHostAddress(parsed).toString(), address);
        else
            QCOMPARE(parsed, 0xdeadbeefu); // untouched
    }

    void sendsOnlyToWellFormedTargets_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("arrivesAt"); // empty: nothing may arrive

        // Each malformed text below is one a lenient reader turns into a
        // loopback address, so a wrong send would be seen here.
        QTest::newRow("short loopback") << "127.1"
                                        << "";
        QTest::newRow("IPv6 loopback") << "::1"
                                       << "";
        QTest::newRow("IPv4-mapped") << "::ffff:127.0.0.1"
                                     << "";
        QTest::newRow("hex") << "0x7f.0.0.1"
                             << "";
        QTest::newRow("octal-looking but short") << "0177.1"
                                                 << "";
        QTest::newRow("host name") << "localhost"
                                   << "";
        QTest::newRow("empty") << ""
                               << "";

        QTest::newRow("spaces around") << " 127.0.0.2 "
                                       << "127.0.0.2";
        QTest::newRow("leading zeros") << "127.000.000.010"
                                       << "";

        // Well formed but refused: Linux delivers 0.0.0.0 to this host, and
        // loopback's 127.0.0.0/8 has its broadcast address, which arrives
        // here as any broadcast would arrive at every host of a network.
        QTest::newRow("any-address") << "0.0.0.0"
                                     << "";
        QTest::newRow("loopback broadcast") << "127.255.255.255"
                                            << "";
        QTest::newRow("all ones") << "255.255.255.255"
                                  << "";
    }

    // What the window and vantrel-cli say about a target: nothing for one
    // that is sent to, else why not. Loopback is 127.0.0.0/8 everywhere.
    void refusedTargetsSayWhy_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("reason"); // a part of it; empty: sent to
        QTest::newRow("loopback") << "127.0.0.1"
                                  << "";
        QTest::newRow("multicast group") << "239.1.2.3"
                                         << "";
        QTest::newRow("malformed") << "1.2.3"
                                   << "\"1.2.3\" is not an IPv4 address";
        QTest::newRow("any-address") << "0.0.0.0"
                                     << "0.0.0.0 is the any-address";
        QTest::newRow("all ones") << " 255.255.255.255"
                                  << "255.255.255.255 is a broadcast address";
        QTest::newRow("loopback broadcast") << "127.255.255.255"
                                            << "127.255.255.255 is a broadcast address";
    }
    void refusedTargetsSayWhy()
    {
        QFETCH(QString, target);
        QFETCH(QString, reason);
        const QString sentence = refusedTargetReason(target);
        if (reason.isEmpty()) {
            QVERIFY2(sentence.isEmpty(), qPrintable(sentence));
            return;
        }
        QVERIFY2(sentence.startsWith("Nothing is sent: ") && sentence.endsWith('.') &&
                     sentence.contains(reason),
                 qPrintable(sentence));
    }
    void sendsOnlyToWellFormedTargets()
    {
        if (!onlyLoopback())
            QSKIP("sends to malformed addresses only where loopback is the sole interface; "
                  "run through run-in-own-netns.sh");
        QFETCH(QString, target);
        QFETCH(QString, arrivesAt);

        const QList<QHostAddress> arrived = sendThenMark(target);
        QList<QHostAddress> expected;
        if (!arrivesAt.isEmpty())
            expected << QHostAddress(arrivesAt);
        expected << QHostAddress(QStringLiteral("127.0.0.1"));
        QCOMPARE(arrived, expected);
    }
};

QTEST_GUILESS_MAIN(TestDottedQuad)
#include "tst_dottedquad.moc"
