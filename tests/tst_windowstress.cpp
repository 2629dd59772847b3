// SPDX-License-Identifier: MIT
// The window given what it should survive: malformed targets with "Send UDP"
// ticked, datagrams of every size, a loopback flood, a worker that ignores
// its stop request, and a close in the middle of a run. Runs in a network
// namespace of its own with only loopback, so a malformed target can never
// reach a real network.
#include "fakeos.h"
#include "probes.h"
#include "senders.h"
#include "windowdriver.h"

#include <QCheckBox>
#include <QElapsedTimer>
#include <QProcess>
#include <QStatusBar>
#include <QTest>
#include <QTextEdit>

#if defined(__SANITIZE_ADDRESS__)
const bool underAddressSanitizer = true; // its quarantine holds freed memory
#else
const bool underAddressSanitizer = false;
#endif

namespace {

// Typed key by key; QTest::keyClicks takes Latin-1 only.
void type(QWidget *widget, const QString &text)
{
    for (const QChar c : text)
        QTest::sendKeyEvent(QTest::Click, widget, Qt::Key_unknown, QString(c), Qt::NoModifier);
}

quint64 ticks(const Qt_Vantrel_App &window)
{
    return window.worker().statistics().tickCount;
}

} // namespace

class TestWindowStress : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (!onlyLoopback())
            QSKIP("types malformed targets only where loopback is the sole interface; "
                  "run through run-in-own-netns.sh");
    }
    void init() { QTRY_VERIFY2(portIsFree(), "port 1667 is held by something else"); }
    void cleanup() { platform::install(nullptr); }

    // Typed into the form with "Send UDP" ticked: the run ticks and nothing
    // is sent, not even a try that finds no route, and the status bar says
    // why, once. The any-address and broadcast addresses are well formed and
    // refused all the same. 127.0.0.1 shows that a send would be seen.
    void malformedTargetsSendNothing_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<bool>("sends");
        const QStringList malformed{"",
                                    "   ",
                                    "abc",
                                    "1.2.3",
                                    "1",
                                    "0x7f.1",
                                    "010.0.0.1",
                                    "256.1.1.1",
                                    "1.2.3.4.5",
                                    "::1",
                                    "fe80::1%eth0",
                                    QString("127.0.0.1").repeated(34).left(300),
                                    QString::fromUtf8("адрес ١٢٧.٠.٠.١ 127.0.0.1")};
        for (const QString &target : malformed)
            QTest::addRow("\"%s\"", qPrintable(target.left(20))) << target << false;
        for (const char *refused : {"0.0.0.0", "255.255.255.255", "127.255.255.255"})
            QTest::addRow("%s", refused) << QString(refused) << false;
        QTest::newRow("loopback, well formed") << "127.0.0.1" << true;
    }
    void malformedTargetsSendNothing()
    {
        QFETCH(QString, target);
        QFETCH(bool, sends);
        Qt_Vantrel_App window;
        const Form ui(window);
        window.show();
        ui.sendIpAddr->clear();
        type(ui.sendIpAddr, target);
        QCOMPARE(ui.sendIpAddr->text(), target);
        ui.sendUDP->setChecked(true);

        const qint64 sendsBefore = udpSendsSeen();
        start(window, runOf(2, 1));
        QTRY_VERIFY(ticks(window) >= 100);
        // Unticked and ticked again mid-run: still said only once.
        ui.sendUDP->setChecked(false);
        ui.sendUDP->setChecked(true);
        QTRY_VERIFY(ticks(window) >= 200);
        ui.stopButton->click();
        QCOMPARE(window.worker().lastRunEnd.load(), int(RtThread::RunStopped));
        const qint64 seen = udpSendsSeen() - sendsBefore;
        const QStringList said = window.notes().filter("Nothing is sent: ");
        if (sends) {
            QVERIFY2(seen >= 90, qPrintable(QString::number(seen)));
            QVERIFY(said.isEmpty());
        } else {
            QCOMPARE(seen, 0);
            QCOMPARE(said.size(), 1);
        }
    }

    // Each arriving datagram, however small or large, is one tick and leaves
    // nothing in the socket.
    void everyDatagramSizeIsDrained_data()
    {
        QTest::addColumn<int>("mode");
        QTest::newRow("QTimer Event") << 0;
        QTest::newRow("Qt msleep") << 1;
    }
    void everyDatagramSizeIsDrained()
    {
        QFETCH(int, mode);
        Qt_Vantrel_App window;
        const Form ui(window);
        start(window, runOf(mode, 0));
        QTRY_VERIFY(portInUse());
        for (const int size : {0, 1, 65507}) {
            const quint64 before = ticks(window);
            QVERIFY(sendDatagram(QByteArray(size, 'x')));
            QTRY_COMPARE(ticks(window), before + 1);
            QTRY_COMPARE(portReceiveQueue(), 0);
        }
        ui.stopButton->click();
        QCOMPARE(ticks(window), quint64(3));
        QCOMPARE(window.worker().lastRunEnd.load(), int(RtThread::RunStopped));
    }

    // Ten seconds of datagrams as fast as loopback takes them, with the
    // window's own priorities: the report keeps refreshing, memory stays
    // flat, and Stop, made while the flood goes on, ends the run by request.
    void floodLeavesTheWindowResponsive_data()
    {
        QTest::addColumn<int>("mode");
        QTest::newRow("QTimer Event") << 0;
        QTest::newRow("Qt msleep") << 1;
    }
    void floodLeavesTheWindowResponsive()
    {
        QFETCH(int, mode);
        Qt_Vantrel_App window;
        const Form ui(window);
        window.show();
        QElapsedTimer clock;
        clock.start();
        QList<qint64> refreshes;
        connect(ui.textEdit, &QTextEdit::textChanged, [&] { refreshes << clock.elapsed(); });

        start(window, defaultRun(mode, 0));
        QTRY_VERIFY(portInUse());
        // The flood's thread first: where the run locks memory, a new
        // thread's whole stack is resident from its start.
        DatagramFlood flood;
        const qint64 residentBefore = residentKb();
        const qint64 floodStart = clock.elapsed();
        while (clock.elapsed() - floodStart < 10000)
            QTest::qWait(20); // the window's own event loop runs meanwhile
        const qint64 residentAfter = residentKb();

        const qint64 stopStart = clock.elapsed();
        ui.stopButton->click();
        const qint64 stopMs = clock.elapsed() - stopStart;
        const qint64 sent = flood.stop();

        qint64 longestGap = 0;
        int refreshesInFlood = 0;
        for (int i = 1; i < refreshes.size(); ++i) {
            if (refreshes[i] < floodStart || refreshes[i] > stopStart)
                continue;
            longestGap =
                std::max(longestGap, refreshes[i] - std::max(refreshes[i - 1], floodStart));
            ++refreshesInFlood;
        }
        qInfo("%lld datagrams sent in 10 s, %llu ticks; longest gap between refreshes %lld ms; "
              "Stop %lld ms; resident %lld kB before, %lld kB after",
              sent, ticks(window), longestGap, stopMs, residentBefore, residentAfter);

        QVERIFY2(sent > 10000, "the flood never got going");
        QVERIFY(ticks(window) >= 100);
        QVERIFY(refreshesInFlood > 30);
        QVERIFY2(longestGap <= 300, qPrintable(QString::number(longestGap)));
        QCOMPARE(window.worker().lastRunEnd.load(), int(RtThread::RunStopped));
        QVERIFY(inIdleState(window));
        if (!underAddressSanitizer)
            QVERIFY2(residentAfter - residentBefore < 8 * 1024,
                     qPrintable(QString::number(residentAfter - residentBefore)));
    }

    // A worker whose waits never return (the fake OS's hang) is terminated:
    // the window unlocks after about 6 s, and the next Start binds the port
    // and runs.
    void terminatedWorkerUnlocksTheWindow()
    {
        platform::FakeOs fake;
        fake.setWaitsHang(true);
        platform::install(&fake);
        Qt_Vantrel_App window;
        const Form ui(window);
        start(window, runOf(2, 1));
        QTRY_VERIFY(portInUse());

        QElapsedTimer clock;
        clock.start();
        ui.stopButton->click();
        const qint64 stopMs = clock.elapsed();
        qInfo("Stop of a worker that ignores it: %lld ms", stopMs);
        QVERIFY2(stopMs >= 4900 && stopMs < 6500, qPrintable(QString::number(stopMs)));
        QCOMPARE(window.worker().lastRunEnd.load(), int(RtThread::RunTerminated));
        QVERIFY(inIdleState(window));
        QVERIFY(portIsFree());

        fake.setWaitsHang(false);
        platform::install(nullptr);
        start(window, runOf(2, 1));
        QTRY_VERIFY(ticks(window) >= 20);
        ui.stopButton->click();
        QCOMPARE(window.worker().lastRunEnd.load(), int(RtThread::RunStopped));
    }

    // The program as a person runs it, closed mid-run: the process ends
    // within about 6 s, with exit status 0; a worker that outlives its
    // termination ends it too, with status 1, never with Qt's abort.
    void closingMidRunEndsTheProcess_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<bool>("stuck");
        QTest::newRow("QTimer Event") << 0 << false;
        QTest::newRow("Qt msleep") << 1 << false;
        QTest::newRow("Win32 Periodic") << 2 << false;
        QTest::newRow("a worker that outlives termination") << 2 << true;
    }
    void closingMidRunEndsTheProcess()
    {
        QFETCH(int, mode);
        QFETCH(bool, stuck);
        QProcess program;
        qint64 endedAt = 0; // both clocks are the monotonic one
        connect(&program, &QProcess::finished, [&endedAt] {
            QElapsedTimer now;
            now.start();
            endedAt = now.msecsSinceReference();
        });
        QStringList arguments{QString::number(mode), "1"};
        if (stuck)
            arguments << "stuck";
        program.start(CLOSING_WINDOW, arguments);
        QVERIFY(program.waitForStarted());
        QByteArray said;
        QTRY_VERIFY_WITH_TIMEOUT((said += program.readAllStandardOutput()).contains('\n'), 15000);
        QVERIFY2(said.startsWith("closing at "), said.constData());
        const qint64 closedAt = said.mid(11).trimmed().toLongLong();

        QTRY_VERIFY_WITH_TIMEOUT(endedAt > 0, 15000);
        const qint64 exitMs = endedAt - closedAt;
        qInfo("exited %lld ms after the close", exitMs);
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), stuck ? 1 : 0);
        QCOMPARE(program.readAllStandardError().contains("did not end, even when terminated"),
                 stuck);
        QVERIFY2(exitMs < 7000, qPrintable(QString::number(exitMs)));
    }
};

QTEST_MAIN(TestWindowStress)
#include "tst_windowstress.moc"
