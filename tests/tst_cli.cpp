// SPDX-License-Identifier: MIT
// vantrel-cli from the outside: what it refuses, what it prints and writes,
// and how it stops. Runs inside a network namespace of its own: some
// arguments are malformed addresses, and the only target is loopback.
#include "cliprocess.h"
#include "probes.h"
#include "rtthread.h"
#include "statsreport.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QJsonObject readJson(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).object();
}

// The table as the window would show it for these bins.
QString tableOf(const QJsonArray &bins)
{
    quint64 total = 0;
    for (const QJsonValue &bin : bins)
        total += quint64(bin["count"].toInteger());
    QString table = StatsReport::header();
    for (const QJsonValue &bin : bins)
        table += StatsReport::row(bin["bin"].toInt(), bin["seconds"].toDouble(),
                                  quint64(bin["count"].toInteger()), total);
    return table;
}

} // namespace

class TestCli : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;

private slots:
    void helpNamesEveryOptionWithAnExample()
    {
        const CliResult run = runCli({"--help"});
        QCOMPARE(run.exitCode, 0);
        QVERIFY(run.err.isEmpty());
        QVERIFY(run.out.startsWith("Usage: vantrel-cli [options]\n"));
        for (const char *option :
             {"--mode", "--period", "--target", "--send", "--bind", "--process", "--thread",
              "--duration", "--print", "--json", "--intervals"})
            QVERIFY2(run.out.contains(option), option);
        QVERIFY(run.out.contains("Examples:\n  vantrel-cli "));
    }

    void refusesBadArgumentsBeforeMeasuring_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("saying");
        QTest::newRow("unknown option") << QStringList{"--fast"} << "Unknown option 'fast'";
        QTest::newRow("stray argument") << QStringList{"2"} << "unexpected argument \"2\"";
        QTest::newRow("mode 3") << QStringList{"-m", "3"} << "unknown clock mode \"3\"";
        QTest::newRow("mode by wrong name") << QStringList{"-m", "Win32"} << "clock mode";
        QTest::newRow("negative period") << QStringList{"-p", "-1"} << "--period";
        QTest::newRow("period with unit") << QStringList{"-p", "1ms"} << "--period";
        QTest::newRow("period beyond the window's")
            << QStringList{"-p", "101"} << "--period takes whole milliseconds, 0 to 100";
        QTest::newRow("process level") << QStringList{"--process", "Turbo"} << "process level";
        QTest::newRow("thread level 7") << QStringList{"--thread", "7"} << "thread level";
        QTest::newRow("negative duration") << QStringList{"-d", "-1"} << "--duration";
        QTest::newRow("duration nan") << QStringList{"-d", "nan"} << "--duration";
        QTest::newRow("print interval") << QStringList{"--print", "soon"} << "--print";
        QTest::newRow("print too often") << QStringList{"--print", "0.05"} << "0.1 or more";
        QTest::newRow("send without target") << QStringList{"--send"} << "--send needs --target";
        QTest::newRow("short form") << QStringList{"-s", "-t", "1.2.3"} << "not an IPv4 address";
        QTest::newRow("field over 255") << QStringList{"-s", "-t", "256.1.1.1"} << "not an IPv4";
        QTest::newRow("IPv6") << QStringList{"-s", "-t", "::1"} << "not an IPv4 address";
        QTest::newRow("empty target") << QStringList{"-s", "-t", ""} << "not an IPv4 address";
        const QStringList badTargets{"   ",
                                     "abc",
                                     "1",
                                     "0x7f.1",
                                     "010.0.0.1",
                                     "1.2.3.4.5",
                                     "fe80::1%eth0",
                                     QString(300, 'a'),
                                     QString::fromUtf8("адрес ١٢٧.٠.٠.١")};
        for (const QString &target : badTargets)
            QTest::addRow("target \"%s\"", qPrintable(target.left(20)))
                << QStringList{"-t", target, "-s"} << "\"" + target + "\" is not an IPv4 address";
        QTest::newRow("any-address target")
            << QStringList{"-s", "-t", "0.0.0.0"} << "target 0.0.0.0 is the any-address";
        for (const char *broadcast : {"255.255.255.255", "127.255.255.255"})
            QTest::addRow("broadcast %s", broadcast)
                << QStringList{"-s", "-t", broadcast}
                << QString("target %1 is a broadcast address").arg(broadcast);
        QTest::newRow("bind elsewhere")
            << QStringList{"--bind", "192.0.2.1"} << "--bind takes one of this machine's";
        QTest::newRow("bind to a name") << QStringList{"--bind", "localhost"} << "--bind takes";
        // One file named twice, by its name, by another spelling and by a
        // hard link, existing or not yet.
        const QString json = dir.filePath("twice.json");
        QTest::newRow("same file twice")
            << QStringList{"-d", "1", "--json", json, "--intervals", json} << "the same file";
        QTest::newRow("same file, another spelling")
            << QStringList{"-d",
                           "1",
                           "--json",
                           json,
                           "--intervals",
                           dir.path() + "/./../" + QFileInfo(dir.path()).fileName() + "/twice.json"}
            << "the same file";
        const QString original = dir.filePath("linked.txt");
        const QString link = dir.filePath("link.txt");
        QFile(original).open(QIODevice::WriteOnly);
        QVERIFY(::link(QFile::encodeName(original), QFile::encodeName(link)) == 0);
        QTest::newRow("hard link")
            << QStringList{"-d", "1", "--json", original, "--intervals", link} << "the same file";
        QTest::newRow("periodic without period")
            << QStringList{"-m", "2", "-p", "0"} << "\"Win32 Periodic\" needs a period";
        QTest::newRow("send on arriving datagrams")
            << QStringList{"-p", "0", "-s", "-t", "127.0.0.1"} << "--send needs a period";
        QTest::newRow("intervals without duration")
            << QStringList{"--intervals", "x.txt"} << "--intervals needs --duration";
        QTest::newRow("intervals beyond the room")
            << QStringList{"-p", "0", "-d", "1000", "--intervals", "x.txt"} << "50,000,000";
    }
    void refusesBadArgumentsBeforeMeasuring()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, saying);
        const CliResult run = runCli(arguments);
        QCOMPARE(run.exitCode, 2);
        QVERIFY(run.out.isEmpty());
        // One line, and no run began.
        QVERIFY2(run.err.startsWith("vantrel-cli: ") && run.err.count('\n') == 1,
                 qPrintable(run.err));
        QVERIFY2(run.err.contains(saying), qPrintable(run.err));
        QVERIFY(!run.err.contains("measuring"));
    }

    void takenPortIsOneLineAndNothingRuns()
    {
        QUdpSocket holder;
        QVERIFY(holder.bind(RtThread::UdpPort));
        const CliResult run =
            runCli({"-m", "2", "-p", "1", "-d", "1", "--json", dir.filePath("taken.json")});
        QCOMPARE(run.exitCode, 1);
        QVERIFY(run.out.isEmpty());
        QCOMPARE(run.err, "vantrel-cli: " + StatsReport::portTakenMessage() + "\n");
        QVERIFY(!QFile::exists(dir.filePath("taken.json")));
    }

    // Run as root, a result written through a link or onto a device could
    // replace a system file: refused like a file that cannot be written.
    void unwritableFileIsFoundBeforeTheRun_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("saying");
        QTest::newRow("missing folder") << dir.filePath("missing-folder/out.txt") << "";
        const QString link = dir.filePath("symlink.json");
        QFile::link(dir.filePath("elsewhere.json"), link);
        QTest::newRow("symbolic link") << link << "it is a symbolic link";
        QTest::newRow("device") << "/dev/null"
                                << "not a regular file";
        QTest::newRow("folder") << dir.path() << "not a regular file";
    }
    void unwritableFileIsFoundBeforeTheRun()
    {
        QFETCH(QString, path);
        QFETCH(QString, saying);
        for (const char *option : {"--json", "--intervals"}) {
            const CliResult run = runCli({"-d", "30", option, path});
            QCOMPARE(run.exitCode, 1);
            QVERIFY2(run.err.startsWith("vantrel-cli: cannot write " + path + ": ") &&
                         run.err.count('\n') == 1 && run.err.contains(saying),
                     qPrintable(run.err));
            QVERIFY(run.out.isEmpty());
        }
        QVERIFY(!QFile::exists(dir.filePath("elsewhere.json")));
    }

    // Results are renamed into place only once the run is over: a run killed
    // midway leaves the earlier results exactly as they were.
    void killedRunLeavesEarlierResults()
    {
        const QString json = dir.filePath("earlier.json");
        const QString kept = dir.filePath("earlier.txt");
        for (const QString &path : {json, kept}) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("earlier result\n");
        }
        QProcess process;
        startCli(process, {"-m", "2", "-p", "1", "-d", "30", "--json", json, "--intervals", kept});
        QByteArray said;
        QTRY_VERIFY_WITH_TIMEOUT((said += process.readAllStandardError()).contains("measuring"),
                                 5000);
        process.kill();
        QVERIFY(process.waitForFinished(5000));
        for (const QString &path : {json, kept}) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadOnly));
            QCOMPARE(file.readAll(), QByteArray("earlier result\n"));
        }
    }

    // The printed table is the window's text for the bins the JSON lists,
    // and the JSON adds up.
    void reportAndJsonTellTheSameRun()
    {
        const QString json = dir.filePath("run.json");
        const QString kept = dir.filePath("intervals.txt");
        const CliResult run =
            runCli({"--mode", "win32 periodic", "-p", "2", "-d", "1.5", "--process", "3",
                    "--thread", "Time Critical", "--json", json, "--intervals", kept});
        QCOMPARE(run.exitCode, 0);
        QVERIFY2(run.err.startsWith("vantrel-cli: measuring \"Win32 Periodic\" every 2 ms"),
                 qPrintable(run.err));

        const QJsonObject results = readJson(json);
        const QJsonObject configuration = results["configuration"].toObject();
        QCOMPARE(configuration["clockMode"].toInt(), 2);
        QCOMPARE(configuration["periodMs"].toInt(), 2);
        QCOMPARE(configuration["processLevel"].toString(), "Realtime");
        QCOMPARE(configuration["send"].toBool(), false);
        QCOMPARE(results["ended"].toString(), "duration");

        // 750 ticks due; loose, the machine is shared. The first 11 are
        // never counted.
        const qint64 ticks = results["tickCount"].toInteger();
        QVERIFY2(ticks > 300 && ticks < 800, qPrintable(QString::number(ticks)));
        const QJsonArray bins = results["bins"].toArray();
        qint64 counted = 0;
        qint64 peak = 0;
        int peakBin = -1;
        for (const QJsonValue &bin : bins) {
            counted += bin["count"].toInteger();
            if (bin["count"].toInteger() > peak) {
                peak = bin["count"].toInteger();
                peakBin = bin["bin"].toInt();
            }
        }
        QCOMPARE(counted, ticks - 11);
        QCOMPARE(results["countedIntervals"].toInteger(), counted);
        QCOMPARE(peakBin, 20);
        QVERIFY(qAbs(results["meanInterval"].toDouble() - 0.002) < 0.0005);

        const QString finalReport = run.out.mid(run.out.lastIndexOf("After "));
        QVERIFY2(finalReport.contains(QString(" s, %1 ticks\n").arg(ticks)),
                 qPrintable(finalReport));
        QVERIFY(finalReport.contains(
            "Actual Rate" + StatsReport::meanInterval(results["meanInterval"].toDouble())));
        QVERIFY2(finalReport.contains(tableOf(bins)), qPrintable(finalReport));

        // Every counted interval, in microseconds.
        QFile file(kept);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = file.readAll().trimmed().split('\n');
        QCOMPARE(qint64(lines.size()), counted);
        QCOMPARE(results["keptIntervals"].toInteger(), counted);
        int inPeakBin = 0;
        for (const QByteArray &line : lines)
            inPeakBin += int(line.toDouble() / 100.0 + 0.5) == 20;
        QCOMPARE(qint64(inPeakBin), peak);

#ifdef Q_OS_LINUX
        const QJsonObject worker = results["worker"].toObject();
        const QString granted =
            worker["policy"].toString() + " " + QString::number(worker["priority"].toInt());
        QCOMPARE(granted, fifoPermitted() ? "SCHED_FIFO 99" : "SCHED_OTHER 0");
#endif
    }

    void jsonAloneOnStandardOutput()
    {
        const CliResult run = runCli({"-m", "Qt msleep", "-p", "3", "-d", "0.5", "--json", "-"});
        QCOMPARE(run.exitCode, 0);
        QJsonParseError error;
        const QJsonObject results = QJsonDocument::fromJson(run.out.toUtf8(), &error).object();
        QCOMPARE(error.error, QJsonParseError::NoError);
        QCOMPARE(results["configuration"]["clockModeName"].toString(), "Qt msleep");
        QVERIFY(results["tickCount"].toInteger() > 0);
        QVERIFY(run.err.contains("Actual Rate"));
    }

#ifdef Q_OS_LINUX
    void sendsToTheTargetOnlyWhenAsked()
    {
        for (const bool send : {false, true}) {
            QProcess process;
            QStringList arguments{"-m", "2",       "-p",  "2",  "-d",
                                  "1",  "--print", "0.3", "-t", "127.0.0.1"};
            if (send)
                arguments << "--send";
            startCli(process, arguments);
            // Its own socket holds the port, so what it sends to loopback
            // waits in that socket's queue, unread. By the first print some
            // 150 ticks have passed.
            QByteArray printed;
            QTRY_VERIFY_WITH_TIMEOUT(
                (printed += process.readAllStandardOutput()).contains("After "), 5000);
            const qint64 queued = portReceiveQueue();
            const CliResult run = finishCli(process, 10000);
            QCOMPARE(run.exitCode, 0);
            QVERIFY2(send ? queued > 0 : queued == 0, qPrintable(QString::number(queued)));
        }
    }

    void stopRequestEndsWithTheFinalReport_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("Ctrl-C") << SIGINT;
        QTest::newRow("SIGTERM") << SIGTERM;
    }
    void stopRequestEndsWithTheFinalReport()
    {
        QFETCH(int, signal);
        const QString json = dir.filePath("stopped.json");
        QProcess process;
        startCli(process, {"-m", "QTimer Event", "-p", "2", "--print", "0.2", "--json", json});
        // Accumulated: QTRY evaluates its condition again after it holds.
        QByteArray printed;
        QTRY_VERIFY_WITH_TIMEOUT((printed += process.readAllStandardOutput()).contains("After "),
                                 5000);
        QElapsedTimer stopping;
        stopping.start();
        ::kill(pid_t(process.processId()), signal);
        const CliResult run = finishCli(process, 8000);
        QVERIFY(run.finished);
        // The event-loop clock lingers half a second after quit.
        QVERIFY2(stopping.elapsed() < 6000, qPrintable(QString::number(stopping.elapsed())));
        QCOMPARE(run.exitCode, 0);
        QVERIFY(run.out.contains("Actual Rate"));
        const QJsonObject results = readJson(json);
        QCOMPARE(results["ended"].toString(), "stop request");
        QVERIFY(results["tickCount"].toInteger() > 0);
        QVERIFY(!portInUse());
    }

    // Reports to a reader slower than they come: datagrams at random gaps
    // of 0 to 30 ms fill most of the table's 300 rows, so each print is
    // larger than the pipe's one page, and a reader taking 20 KB a second
    // makes every print outlast the 0.1 s between prints. Ctrl-C must still
    // end the run, with its final report.
    void stopRequestOutrunsASlowReader()
    {
        const QByteArray fifo = QFile::encodeName(dir.filePath("slow-reader"));
        QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);
        const int reader = ::open(fifo.constData(), O_RDONLY | O_NONBLOCK);
        QVERIFY(reader >= 0);
        auto closeReader = qScopeGuard([reader] { ::close(reader); });
        QCOMPARE(::fcntl(reader, F_SETPIPE_SZ, 4096), 4096);

        const QString json = dir.filePath("slow.json");
        QProcess process;
        process.setStandardOutputFile(QFile::decodeName(fifo));
        startCli(process, {"-m", "1", "-p", "0", "--print", "0.1", "--json", json});
        QVERIFY(process.waitForStarted());
        std::atomic<bool> sending{true};
        std::thread sender([&sending] {
            QUdpSocket socket;
            std::mt19937 random(1667);
            std::uniform_int_distribution<int> gapUs(0, 30000);
            const QByteArray datagram(RtThread::DatagramSize, '\0');
            while (sending) {
                socket.writeDatagram(datagram, QHostAddress::LocalHost, RtThread::UdpPort);
                std::this_thread::sleep_for(std::chrono::microseconds(gapUs(random)));
            }
        });
        auto stopSending = qScopeGuard([&] {
            sending = false;
            sender.join();
        });

        // Read at 20 KB a second until the prints are larger than the page
        // (2,000 ticks fill the table), then Ctrl-C, and read on.
        QByteArray printed;
        char slice[1024];
        const auto readSome = [&] {
            const ssize_t got = ::read(reader, slice, sizeof slice);
            if (got > 0)
                printed.append(slice, got);
            QTest::qWait(50);
        };
        QElapsedTimer clock;
        clock.start();
        while (printed.mid(printed.lastIndexOf("After ")).size() < 6000 && clock.elapsed() < 30000)
            readSome();
        QVERIFY2(clock.elapsed() < 30000, "the table never grew past a page");
        ::kill(pid_t(process.processId()), SIGINT);
        clock.restart();
        while (process.state() != QProcess::NotRunning && clock.elapsed() < 15000)
            readSome();
        for (ssize_t got; (got = ::read(reader, slice, sizeof slice)) > 0;)
            printed.append(slice, got);
        qInfo("ended %lld ms after Ctrl-C, %lld bytes read in all", clock.elapsed(),
              qint64(printed.size()));
        QCOMPARE(process.state(), QProcess::NotRunning);
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
        QCOMPARE(readJson(json)["ended"].toString(), "stop request");
        QVERIFY(printed.mid(printed.lastIndexOf("After ")).contains(" max"));
    }

    // --bind listens on one address: datagrams to another loopback address
    // find no socket and are no ticks.
    void bindListensOnOneAddress()
    {
        const QString json = dir.filePath("bound.json");
        QProcess process;
        startCli(process, {"-m", "1", "-p", "0", "--bind", "127.0.0.1", "--json", json});
        QByteArray said;
        QTRY_VERIFY_WITH_TIMEOUT((said += process.readAllStandardError()).contains("measuring"),
                                 5000);
        QVERIFY2(said.contains("listening on 127.0.0.1"), said.constData());
        QTRY_VERIFY(portInUse());
        QTest::qWait(300); // past the probe vantrel-cli binds before its worker
        QUdpSocket sender;
        const QByteArray datagram(RtThread::DatagramSize, '\0');
        for (int i = 0; i < 20; ++i) {
            sender.writeDatagram(datagram, QHostAddress("127.0.0.2"), RtThread::UdpPort);
            QTest::qWait(5);
        }
        for (int i = 0; i < 20; ++i) {
            sender.writeDatagram(datagram, QHostAddress::LocalHost, RtThread::UdpPort);
            QTest::qWait(5);
        }
        QTest::qWait(200);
        ::kill(pid_t(process.processId()), SIGINT);
        const CliResult run = finishCli(process, 8000);
        QCOMPARE(run.exitCode, 0);
        const QJsonObject results = readJson(json);
        QCOMPARE(results["configuration"]["bind"].toString(), "127.0.0.1");
        const qint64 ticks = results["tickCount"].toInteger();
        QVERIFY2(ticks > 0 && ticks <= 20, qPrintable(QString::number(ticks)));
    }
#endif
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
