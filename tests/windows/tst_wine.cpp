// SPDX-License-Identifier: MIT
// The Windows build under Wine, from the Linux side: the OS-layer driver,
// vantrel-cli.exe in each clock and over UDP both ways, and vantrel.exe on a
// virtual display. Wine runs the real Win32, Winsock and Qt-for-Windows code
// paths; its scheduler and timers are Linux's, so no figure here speaks for
// Windows' timing, and every bound is loose.
//
// One CTest per case, each in a network namespace of its own. Wine's server
// makes the Windows programs' sockets, so run-under-wine.sh starts it inside
// that namespace too. The folders come from the environment:
// VANTREL_WINDOWS_DRIVERS (os-driver-<arch>.exe), VANTREL_WINDOWS_PROGRAMS
// (the laid-out Windows build), VANTREL_WINE_PREFIX (shared by the cases).
#include "cliprocess.h"
#include "rtthread.h"
#include "senders.h"
#include "statsreport.h"
#include "twohosts.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUdpSocket>

#include <cstdio>

#include <signal.h>
#include <unistd.h>

namespace {

QString drivers()
{
    return qEnvironmentVariable("VANTREL_WINDOWS_DRIVERS");
}
QString programs()
{
    return qEnvironmentVariable("VANTREL_WINDOWS_PROGRAMS");
}

// A Windows program under run-under-wine.sh, in a named network namespace
// when one is given. Ended with SIGTERM when dropped, which ends Wine's
// server and every program it runs: SIGKILL would end only the script.
class WindowsProgram
{
public:
    WindowsProgram(const QString &exe, const QStringList &arguments,
                   const QString &netns = QString(), const QString &display = QString())
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        if (!display.isEmpty())
            environment.insert("VANTREL_WINE_DISPLAY", display);
        process.setProcessEnvironment(environment);
        QStringList command{"bash", RUN_UNDER_WINE, exe};
        if (!netns.isEmpty())
            command = QStringList{"ip", "netns", "exec", netns} + command;
        const QString program = command.takeFirst();
        process.start(program, command + arguments);
    }
    ~WindowsProgram()
    {
        if (process.state() != QProcess::NotRunning) {
            process.terminate();
            process.waitForFinished(15000);
        }
    }
    // Waits in the event loop, so that senders and receivers in this
    // process keep their pace (QTest::qWait would sleep 10 ms at a time);
    // ends the program when it takes too long.
    CliResult finish(int timeoutMs)
    {
        if (process.state() != QProcess::NotRunning) {
            QEventLoop loop;
            QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
            QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
            loop.exec();
        }
        CliResult result;
        result.finished = process.state() == QProcess::NotRunning;
        if (!result.finished) {
            process.terminate();
            process.waitForFinished(15000);
        }
        result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        result.out = QString::fromUtf8(process.readAllStandardOutput()).remove('\r');
        result.err = QString::fromUtf8(process.readAllStandardError()).remove('\r');
        return result;
    }
    void interrupt() { ::kill(pid_t(process.processId()), SIGINT); }

    QProcess process;
};

// Runs a host program; its standard output, or empty when it failed.
QString run(const QString &program, const QStringList &arguments, int timeoutMs = 20000,
            const QString &display = QString())
{
    QProcess process;
    if (!display.isEmpty()) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("DISPLAY", display);
        process.setProcessEnvironment(environment);
    }
    process.start(program, arguments);
    const CliResult result = finishCli(process, timeoutMs);
    if (result.exitCode != 0)
        qWarning("%s %s: %s", qPrintable(program), qPrintable(arguments.join(' ')),
                 qPrintable(result.err.trimmed()));
    return result.exitCode == 0 ? result.out : QString();
}

QJsonObject parseJson(const QString &text)
{
    QJsonParseError error;
    const QJsonObject object = QJsonDocument::fromJson(text.toUtf8(), &error).object();
    if (error.error != QJsonParseError::NoError)
        qWarning("not JSON: %s", qPrintable(error.errorString()));
    return object;
}

// Ticks a second and the mean interval of a run, as "<rate>/s, mean <ms> ms".
QString rateOf(const QJsonObject &results)
{
    return QString("%1 ticks in %2 s, mean %3 ms")
        .arg(results["tickCount"].toInteger())
        .arg(results["elapsedSeconds"].toDouble(), 0, 'f', 1)
        .arg(results["meanInterval"].toDouble() * 1000, 0, 'f', 4);
}

// Ticks at 2 ms, as loosely as Wine on a shared machine needs: no faster
// than asked (at most 520 a second, a mean of 1.8 ms or more) and not
// stalled (10 a second or more, a mean of 100 ms or less). Wine's timers are
// Linux's and its waits go through its server, so under load each wake-up
// comes late: a clock that waits relative to the last tick adds that to its
// period (with a load of 9 on 2 cores the periodic timer's mean was 2.5 ms,
// the other two clocks' 4 to 7 ms). How late says nothing about Windows.
bool ticksLikeTwoMilliseconds(const QJsonObject &results)
{
    const double rate =
        double(results["tickCount"].toInteger()) / results["elapsedSeconds"].toDouble();
    const double meanMs = results["meanInterval"].toDouble() * 1000;
    return rate >= 10 && rate <= 520 && meanMs >= 1.8 && meanMs <= 100;
}

} // namespace

class TestWine : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;

private slots:
    // The OS-layer driver's checks (tests/windows/driver.cpp), each of which
    // prints "ok" or "FAIL"; the 32-bit one under 32-bit Wine.
    void osLayer_data()
    {
        QTest::addColumn<QString>("arch");
        QTest::newRow("x86_64") << "x86_64";
        QTest::newRow("i686") << "i686";
    }
    void osLayer()
    {
        QFETCH(QString, arch);
        const QString exe = drivers() + "/os-driver-" + arch + ".exe";
        QVERIFY2(QFileInfo::exists(exe), qPrintable(exe));
        WindowsProgram driver(exe, {});
        const CliResult result = driver.finish(120000);
        if (result.exitCode == 77)
            QSKIP(qPrintable(result.out.trimmed()));
        std::fputs(qPrintable(result.out), stdout);
        const int passed =
            int(result.out.count(QRegularExpression("^ok ", QRegularExpression::MultilineOption)));
        const int failed = int(
            result.out.count(QRegularExpression("^FAIL ", QRegularExpression::MultilineOption)));
        qInfo("%s: %d checks passed, %d failed", qPrintable(arch), passed, failed);
        QCOMPARE(failed, 0);
        // Every class and level pair, twice, and the timers: far more than a
        // driver that stopped early would print.
        QVERIFY2(passed >= 100, qPrintable(result.out));
        QCOMPARE(result.exitCode, 0);
        QVERIFY(result.out.contains("passed: 0 failure(s)"));
    }

    // vantrel-cli.exe with the defaults (Realtime, Time Critical) in each
    // clock at 2 ms: Windows' own scheduling names come back, the report is
    // the Linux build's text, and a Ctrl-C ends a run as a stop request.
    void cliClocks_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("ending");
        QTest::newRow("QTimer Event") << 0 << "duration";
        QTest::newRow("Qt msleep") << 1 << "duration";
        QTest::newRow("Win32 Periodic") << 2 << "duration";
        QTest::newRow("Win32 Periodic, Ctrl-C") << 2 << "stop request";
    }
    void cliClocks()
    {
        QFETCH(int, mode);
        QFETCH(QString, ending);
        QStringList arguments{"--mode", QString::number(mode), "--period", "2", "--json", "-"};
        if (ending == "duration")
            arguments << "--duration"
                      << "3";
        WindowsProgram cli(programs() + "/vantrel-cli.exe", arguments);
        if (ending != "duration") {
            QByteArray said;
            QTRY_VERIFY_WITH_TIMEOUT(
                (said += cli.process.readAllStandardError()).contains("until Ctrl-C"), 60000);
            QTest::qWait(3000);
            cli.interrupt();
        }
        CliResult result = cli.finish(60000);
        QVERIFY2(result.exitCode == 0, qPrintable(result.err));

        const QJsonObject results = parseJson(result.out);
        qInfo("%s", qPrintable(rateOf(results)));
        QCOMPARE(results["configuration"]["clockMode"].toInt(), mode);
        QCOMPARE(results["ended"].toString(), ending);
        QVERIFY2(ticksLikeTwoMilliseconds(results), qPrintable(rateOf(results)));

        // Windows' terms: the priority class and THREAD_PRIORITY_TIME_CRITICAL.
        // Windows grants High instead of Realtime without the privilege for it.
        const QJsonObject worker = results["worker"].toObject();
        const QString policy = worker["policy"].toString();
        qInfo("granted %s, priority %d", qPrintable(policy), worker["priority"].toInt());
        QCOMPARE(results["asked"]["policy"].toString(), "REALTIME_PRIORITY_CLASS");
        QVERIFY2(policy == "REALTIME_PRIORITY_CLASS" || policy == "HIGH_PRIORITY_CLASS",
                 qPrintable(policy));
        QCOMPARE(worker["priority"].toInt(), 15);

        const QString finalReport = result.err.mid(result.err.lastIndexOf("After "));
        QVERIFY2(finalReport.contains(
                     "Actual Rate" + StatsReport::meanInterval(results["meanInterval"].toDouble())),
                 qPrintable(finalReport));
        QVERIFY2(finalReport.contains(tableOf(results["bins"].toArray())), qPrintable(finalReport));
    }

    // Datagrams as the clock, and datagrams sent: a Linux sender on
    // loopback, every 2 ms, to vantrel-cli.exe at period 0; and
    // vantrel-cli.exe sending at 2 ms to the Linux vantrel-cli on a second
    // host (two namespaces and a veth pair: both programs hold port 1667, so
    // they cannot share one loopback).
    void datagrams_data()
    {
        QTest::addColumn<bool>("windowsSends");
        QTest::newRow("Linux sends, Windows receives, loopback") << false;
        QTest::newRow("Windows sends, Linux receives, two hosts") << true;
    }
    void datagrams()
    {
        QFETCH(bool, windowsSends);
        if (!windowsSends) {
            DatagramFeed feed(2);
            WindowsProgram cli(
                programs() + "/vantrel-cli.exe",
                {"--mode", "Qt msleep", "--period", "0", "--duration", "3", "--json", "-"});
            const CliResult result = cli.finish(60000);
            QVERIFY2(result.exitCode == 0, qPrintable(result.err));
            const QJsonObject results = parseJson(result.out);
            qInfo("received: %s", qPrintable(rateOf(results)));
            QCOMPARE(results["configuration"]["periodMs"].toInt(), 0);
            // Datagrams that come together are one wake-up, one tick.
            QVERIFY2(ticksLikeTwoMilliseconds(results), qPrintable(rateOf(results)));
            return;
        }

        if (geteuid() != 0)
            QSKIP("needs root to make network namespaces (CI runs it as root)");
        TwoHosts hosts;
        const QString error = hosts.make();
        if (!error.isEmpty())
            QSKIP(qPrintable("cannot make the two hosts here: " + error));
        const QString &rx = hosts.receiver;
        const QString &tx = hosts.sender;
        const QString &rxAddress = TwoHosts::ReceiverAddress;

        const QString json = dir.filePath("linux-receiver.json");
        QProcess receiver;
        startCli(receiver, {"-m", "Qt msleep", "-p", "0", "--json", json}, rx);
        QByteArray said;
        QTRY_VERIFY_WITH_TIMEOUT((said += receiver.readAllStandardError()).contains("measuring"),
                                 5000);
        WindowsProgram sender(programs() + "/vantrel-cli.exe",
                              {"--mode", "Win32 Periodic", "--period", "2", "--duration", "3",
                               "--send", "--target", rxAddress, "--json", "-"},
                              tx);
        const CliResult sent = sender.finish(60000);
        QVERIFY2(sent.exitCode == 0, qPrintable(sent.err));
        QTest::qWait(200);
        ::kill(pid_t(receiver.processId()), SIGINT);
        const CliResult received = finishCli(receiver, 15000);
        QVERIFY2(received.exitCode == 0, qPrintable(said + received.err));

        QFile file(json);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QJsonObject receivedResults = QJsonDocument::fromJson(file.readAll()).object();
        const QJsonObject sentResults = parseJson(sent.out);
        const qint64 ticksSent = sentResults["tickCount"].toInteger();
        const qint64 ticksReceived = receivedResults["tickCount"].toInteger();
        qInfo("sent: %s; received %lld ticks, mean %.4f ms", qPrintable(rateOf(sentResults)),
              ticksReceived, receivedResults["meanInterval"].toDouble() * 1000);
        QVERIFY2(ticksLikeTwoMilliseconds(sentResults), qPrintable(rateOf(sentResults)));
        // One datagram a tick; those that arrive together are one tick there.
        QVERIFY2(ticksReceived <= ticksSent && ticksReceived * 10 >= ticksSent * 8,
                 qPrintable(QString("%1 sent, %2 received").arg(ticksSent).arg(ticksReceived)));
        // Its run began before the sender's: its mean, not its rate.
        const double meanMs = receivedResults["meanInterval"].toDouble() * 1000;
        QVERIFY2(meanMs >= 1.8 && meanMs <= 100, qPrintable(QString::number(meanMs)));
    }

    // vantrel.exe on a virtual display, driven by keyboard as a person would
    // (the form's tab order): "Win32 Periodic" at 2 ms, a screenshot, the
    // report read back through the clipboard; then Start while a Linux
    // socket holds port 1667.
    void window()
    {
        QProcess xvfb;
        // -displayfd: the server picks a free display and says which.
        xvfb.start("Xvfb", {"-displayfd", "1", "-screen", "0", "800x800x24", "-nolisten", "tcp"});
        QTRY_VERIFY_WITH_TIMEOUT(xvfb.canReadLine(), 20000);
        const QString display = ":" + QString::fromLatin1(xvfb.readLine()).trimmed();
        const auto xvfbEnds = qScopeGuard([&xvfb] {
            xvfb.terminate();
            xvfb.waitForFinished(5000);
        });

        WindowsProgram app(programs() + "/vantrel.exe", {}, QString(), display);
        const auto xdotool = [&display](const QStringList &arguments) {
            return run("xdotool", arguments, 60000, display);
        };
        const QString window = xdotool({"search", "--sync", "--name", "^Qt Vantrel$"})
                                   .split('\n', Qt::SkipEmptyParts)
                                   .value(0);
        QVERIFY2(!window.isEmpty(), "the window did not open");
        QTest::qWait(1000); // its first paint
        // X=..., Y=..., WIDTH=..., HEIGHT=...
        QMap<QString, int> geometry;
        for (const QString &line : xdotool({"getwindowgeometry", "--shell", window}).split('\n')) {
            const QStringList pair = line.split('=');
            if (pair.size() == 2)
                geometry[pair[0]] = pair[1].toInt();
        }
        QVERIFY(geometry.value("WIDTH") > 0);
        const auto clickAt = [&](int x, int y) {
            xdotool({"mousemove", QString::number(geometry["X"] + x),
                     QString::number(geometry["Y"] + y), "click", "1"});
        };
        // The report fills the window's right side.
        const auto clickReport = [&] {
            clickAt(geometry["WIDTH"] * 3 / 4, geometry["HEIGHT"] / 2);
        };
        const auto reportText = [&] {
            clickReport();
            xdotool({"key", "ctrl+a", "ctrl+c"});
            QTest::qWait(300);
            return run("xclip", {"-o", "-selection", "clipboard"}, 5000, display).remove('\r');
        };

        // The form's margin takes the click; the report has the focus, and
        // the tab order runs rate, process, thread, mode, (Stop), Start.
        clickAt(20, 10);
        xdotool({"key", "Tab"});
        xdotool({"type", "2"});
        xdotool({"key", "Tab", "Tab", "Tab"});
        xdotool({"type", "W"}); // "Win32 Periodic", by the list's own search
        xdotool({"key", "Tab", "space"});
        QTest::qWait(4000);

        const QString shot = QDir::current().filePath(
            "wine-window-" + qEnvironmentVariable("VANTREL_WINDOWS_ARCH", "x86_64") + ".png");
        run("import", {"-window", "root", shot}, 20000, display);
        QImage image(shot);
        QVERIFY2(!image.isNull(), qPrintable(shot));
        QSet<QRgb> colours;
        for (int y = 0; y < image.height(); y += 2)
            for (int x = 0; x < image.width(); x += 2)
                colours.insert(image.pixel(x, y));
        qInfo("screenshot %s: %lld colours", qPrintable(shot), qint64(colours.size()));
        QVERIFY2(colours.size() > 16, "a blank screen");

        // Every row as the engine writes it, summing to a 2 ms mean.
        QString text;
        QTRY_VERIFY_WITH_TIMEOUT((text = reportText()).startsWith(StatsReport::header()), 20000);
        struct Row
        {
            QString text;
            double seconds;
            quint64 count;
            bool max;
        };
        QList<Row> rows;
        quint64 total = 0;
        for (const QString &line : text.split('\n', Qt::SkipEmptyParts).mid(1)) {
            const QStringList fields = line.split(' ', Qt::SkipEmptyParts);
            QVERIFY2(fields.size() == 3 || (fields.size() == 4 && fields[3] == "max"),
                     qPrintable(line));
            rows.append({line, fields[0].toDouble(), fields[1].toULongLong(), fields.size() == 4});
            total += rows.last().count;
        }
        QVERIFY2(rows.size() > 1, qPrintable(text));
        double sum = 0;
        quint64 counted = 0;
        for (const Row &row : rows) {
            const int bin = row.max ? RunStatistics::OverflowBin : qRound(row.seconds * 10000);
            QCOMPARE(row.text + '\n', StatsReport::row(bin, row.seconds, row.count, total));
            if (!row.max) {
                sum += row.seconds * double(row.count);
                counted += row.count;
            }
        }
        const double mean = sum / double(counted);
        qInfo("read back %lld rows, %llu intervals, mean of the rows %.4f ms", qint64(rows.size()),
              total, mean * 1000);
        QVERIFY2(total > 40 && mean >= 0.0018 && mean <= 0.1, qPrintable(text));

        // Stop is next after the report while the settings are disabled.
        clickReport();
        xdotool({"key", "Tab", "space"});
        QTest::qWait(500);

        QUdpSocket holder;
        QVERIFY(holder.bind(RtThread::UdpPort));
        clickReport();
        xdotool({"key", "Tab", "Tab", "Tab", "Tab", "Tab", "space"});
        QTRY_COMPARE_WITH_TIMEOUT(reportText(), StatsReport::portTakenMessage(), 20000);
    }
};

// What a case needs from the machine; empty when all is there.
QString missingFor(const QStringList &arguments)
{
    if (QStandardPaths::findExecutable("wine64").isEmpty() &&
        !QFileInfo::exists("/usr/lib/wine/wine64"))
        return "wine64 not found (Debian: apt-get install wine64; bash scripts/setup.sh does)";
    if (arguments.contains("osLayer")) {
        if (!QFileInfo::exists(drivers() + "/os-driver-x86_64.exe"))
            return "no OS-layer driver in " + drivers() +
                " (platform_windows_build makes it, with the mingw-w64 compilers)";
        return {};
    }
    if (qEnvironmentVariable("VANTREL_WINDOWS_ARCH") == "i686" &&
        QStandardPaths::findExecutable("wine32").isEmpty() &&
        !QFileInfo::exists("/usr/lib/wine/wine"))
        return "32-bit Wine not found (Debian: dpkg --add-architecture i386; apt-get update; "
               "apt-get install wine32:i386)";
    if (!QFileInfo::exists(programs() + "/vantrel-cli.exe"))
        return "no Windows build in " + programs() +
            " (windows_build makes it where the Qt for mingw-w64 and the compiler are; its "
            "output says which is missing)";
    if (arguments.contains("window")) {
        for (const char *tool : {"Xvfb", "xdotool", "xclip", "import"}) {
            if (QStandardPaths::findExecutable(tool).isEmpty())
                return QString("%1 not found (bash scripts/setup.sh installs it)").arg(tool);
        }
    }
    return {};
}

// A machine without what a case needs skips it with exit status 77, which
// CTest shows as skipped, saying what is missing.
int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QString missing = missingFor(app.arguments());
    if (!missing.isEmpty()) {
        std::printf("SKIP: %s\n", qPrintable(missing));
        return 77;
    }
    TestWine test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_wine.moc"
