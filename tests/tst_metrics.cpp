// SPDX-License-Identifier: MIT
// What --serve gives Prometheus: the text of a scrape from known statistics,
// and the HTTP server that hands it out, on loopback: what it answers, what
// it refuses, a burst of connections, a client that never asks.
#include "httpclient.h"
#include "metricsserver.h"
#include "metricstext.h"

#include <QRegularExpression>
#include <QTcpSocket>
#include <QTest>

#include <memory>
#include <vector>

namespace {

RunSettings periodicAt(int periodMs)
{
    RunSettings settings;
    settings.clockMode = WaitableTimerMode;
    settings.periodMs = periodMs;
    return settings;
}

// The value of the one sample line that starts with this series.
QByteArray sample(const QByteArray &text, const QByteArray &series)
{
    for (const QByteArray &line : text.split('\n')) {
        if (line.startsWith(series + ' '))
            return line.mid(series.size() + 1);
    }
    return "absent";
}

const QByteArray Labels = "{clock_mode=\"Win32 Periodic\",period_ms=\"2\"";

} // namespace

class TestMetrics : public QObject
{
    Q_OBJECT

private slots:
    // Edges depend on the period alone: every bin within 0.25 ms of it,
    // wider steps beyond, and 29.85 ms, where the overflow bin begins.
    void edgesHugThePeriod_data()
    {
        QTest::addColumn<int>("periodMs");
        QTest::addColumn<QList<int>>("bins");
        QTest::newRow("datagrams as the clock")
            << 0 << QList<int>{0, 1, 2, 4, 9, 19, 49, 99, 199, 298};
        QTest::newRow("2 ms") << 2 << QList<int>{0,  10, 15, 17, 18, 19,  20,  21,
                                                 22, 24, 29, 39, 69, 119, 219, 298};
        QTest::newRow("29 ms") << 29 << QList<int>{90,  190, 240, 270, 280, 285, 287,
                                                   288, 289, 290, 291, 292, 294, 298};
        QTest::newRow("100 ms: all in the overflow bin")
            << 100 << QList<int>{99, 199, 249, 279, 289, 294, 296, 297, 298};
    }
    void edgesHugThePeriod()
    {
        QFETCH(int, periodMs);
        QFETCH(QList<int>, bins);
        QCOMPARE(MetricsText::edgeBins(periodMs), bins);
    }

    // Known statistics, scraped three times: cumulative buckets at the
    // edges, the overflow as +Inf, and the longest interval of the last
    // 10 s, the same for a second scraper and gone once the run moves on.
    void scrapeOfKnownStatistics()
    {
        const MetricsText metrics(periodicAt(2));
        // 14 s of run: the 52.1 ms interval in the slot of 3-4 s, 2.1 ms
        // ones in the slots of 4-5 s and 13-14 s.
        RunTimeline timeline;
        timeline.used = 14;
        timeline.lastTick = 13.5;
        timeline.slot[3] = {500, 0.0521};
        timeline.slot[4] = {500, 0.0021};
        timeline.slot[13] = {250, 0.0021};
        RunStatistics statistics;
        statistics.bins[19] = 5;
        statistics.bins[20] = 90;
        statistics.bins[21] = 4;
        statistics.bins[299] = 1;
        statistics.maxInterval = 0.0521;
        statistics.tickCount = 111;
        statistics.meanInterval = 0.002;

        // Lateness: one wake-up 2 us early, then 0.5, 1.5, 7, 150 and 12000 us late.
        LatenessStatistics lateness;
        lateness.deadlines = LatenessStatistics::GridDeadlines;
        for (const int bin : {-2, 0, 1, 7, 150})
            lateness.bins[size_t(LatenessStatistics::ZeroBin + bin)] = 1;
        lateness.bins[LatenessStatistics::OverflowBin] = 1;
        lateness.wakeUps = 6;
        lateness.overruns = 2;
        lateness.sumLateness = 0.0121575;

        const QByteArray first = metrics.render(statistics, timeline, nullptr, &lateness);
        const QByteArray late = "vantrel_lateness_seconds_bucket" + Labels + ",le=\"";
        const QList<std::pair<const char *, const char *>> cumulative{
            {"0.000001", "2"}, {"0.000002", "3"}, {"0.000005", "3"}, {"0.00001", "4"},
            {"0.00002", "4"},  {"0.00005", "4"},  {"0.0001", "4"},   {"0.0002", "5"},
            {"0.0005", "5"},   {"0.001", "5"},    {"0.002", "5"},    {"0.005", "5"},
            {"0.01", "5"},     {"+Inf", "6"}};
        for (const auto &[edge, below] : cumulative)
            QCOMPARE(sample(first, late + edge + "\"}"), QByteArray(below));
        QCOMPARE(first.count(late), cumulative.size());
        QCOMPARE(sample(first, "vantrel_lateness_seconds_count" + Labels + "}"), "6");
        QCOMPARE(sample(first, "vantrel_lateness_seconds_sum" + Labels + "}"), "0.0121575");
        QCOMPARE(sample(first, "vantrel_overruns_total" + Labels + "}"), "2");
        const QByteArray bucket = "vantrel_interval_seconds_bucket" + Labels + ",le=\"";
        QCOMPARE(sample(first, bucket + "0.00185\"}"), "0");
        QCOMPARE(sample(first, bucket + "0.00195\"}"), "5");
        QCOMPARE(sample(first, bucket + "0.00205\"}"), "95");
        QCOMPARE(sample(first, bucket + "0.00215\"}"), "99");
        QCOMPARE(sample(first, bucket + "0.02985\"}"), "99");
        QCOMPARE(sample(first, bucket + "+Inf\"}"), "100");
        QCOMPARE(sample(first, "vantrel_interval_seconds_count" + Labels + "}"), "100");
        // The table's labels: 5 x 1.9 ms + 90 x 2.0 + 4 x 2.1 + the longest.
        QVERIFY(qAbs(sample(first, "vantrel_interval_seconds_sum" + Labels + "}").toDouble() -
                     0.25) < 1e-12);
        QCOMPARE(sample(first, "vantrel_ticks_total" + Labels + "}"), "111");
        QCOMPARE(sample(first, "vantrel_mean_interval_seconds" + Labels + "}"), "0.002");
        QCOMPARE(sample(first, "vantrel_longest_interval_seconds" + Labels + "}"), "0.0521");
        QVERIFY(!first.contains("vantrel_run_info")); // the worker has not said yet

        // Every sample line is one series and one number.
        const QRegularExpression line(
            "^vantrel_[a-z_]+\\{([a-z_]+=\"[^\"\\\\\n]*\",?)+\\} (-?[0-9.e+-]+|NaN|\\+Inf)$");
        for (const QByteArray &text : first.trimmed().split('\n'))
            QVERIFY2(text.startsWith("# HELP ") || text.startsWith("# TYPE ") ||
                         line.match(QString::fromUtf8(text)).hasMatch(),
                     text.constData());

        const platform::ThreadScheduling granted{"SCHED_FIFO", 99, 0};
        const QByteArray second = metrics.render(statistics, timeline, &granted);
        QCOMPARE(sample(second, "vantrel_longest_interval_seconds" + Labels + "}"), "0.0521");
        // No lateness, or a clock without deadlines: none of its series.
        QVERIFY(!second.contains("vantrel_lateness") && !second.contains("vantrel_overruns"));
        const LatenessStatistics untimed;
        QCOMPARE(metrics.render(statistics, timeline, &granted, &untimed), second);
        QVERIFY(second.contains("vantrel_run_info" + Labels +
                                ",clock_mode_number=\"2\",process_level=\"Realtime\","
                                "thread_level=\"Time Critical\",send=\"false\",target=\"\","
                                "policy=\"SCHED_FIFO\",priority=\"99\",nice=\"0\",cpu=\"any\",version=\""));

        // Spikes: a series for every cause, zero or counted.
        SpikeReport spikes;
        spikes.store.add(JudgedSpike{SpikeRecord(), SpikeVerdict{SpikeCause::PageFaults}, {}});
        spikes.store.add(JudgedSpike{SpikeRecord(), SpikeVerdict{SpikeCause::PageFaults}, {}});
        const QByteArray spikeText = metrics.renderSpikes(spikes);
        QCOMPARE(sample(spikeText, "vantrel_spikes_total" + Labels + ",cause=\"page_faults\"}"),
                 "2");
        QCOMPARE(sample(spikeText, "vantrel_spikes_total" + Labels + ",cause=\"unexplained\"}"),
                 "0");
        QCOMPARE(spikeText.count("vantrel_spikes_total{"), SpikeCauseCount);

        // The window ends at the latest tick: a slot is in it while it ends
        // after the window's start, so at 14 s the slot of 3-4 s is out,
        // and at 24.5 s every slot in it is empty.
        const auto longestAt = [&](double lastTick) {
            RunTimeline later = timeline;
            later.lastTick = lastTick;
            later.used = int(lastTick) + 1;
            return sample(metrics.render(statistics, later, &granted),
                          "vantrel_longest_interval_seconds" + Labels + "}");
        };
        QCOMPARE(longestAt(13.99), "0.0521");
        QCOMPARE(longestAt(14.0), "0.0021");
        QCOMPARE(longestAt(14.99), "0.0021");
        QCOMPARE(longestAt(24.5), "NaN");

        // --cpus: two workers in one scrape, every series labelled with its
        // CPU, each family's HELP and TYPE once with all its samples after.
        QCOMPARE(MetricsText::merge({first}), first);
        RunStatistics other = statistics;
        other.tickCount = 222;
        QList<QByteArray> each;
        for (const int cpu : {0, 1}) {
            const MetricsText worker(periodicAt(2), cpu);
            each << worker.render(cpu ? other : statistics, timeline, &granted, &lateness) +
                    worker.renderSpikes(spikes);
        }
        const QByteArray both = MetricsText::merge(each);
        QCOMPARE(sample(both, "vantrel_ticks_total" + Labels + ",cpu=\"0\"}"), "111");
        QCOMPARE(sample(both, "vantrel_ticks_total" + Labels + ",cpu=\"1\"}"), "222");
        QCOMPARE(sample(both, "vantrel_overruns_total" + Labels + ",cpu=\"1\"}"), "2");
        QCOMPARE(
            sample(both, "vantrel_spikes_total" + Labels + ",cpu=\"1\",cause=\"page_faults\"}"),
            "2");
        QByteArray family;
        QList<QByteArray> families;
        int samples = 0;
        for (const QByteArray &text : both.trimmed().split('\n')) {
            if (text.startsWith("# HELP ")) {
                family = text.split(' ')[2];
                QVERIFY2(!families.contains(family), family.constData());
                families << family;
            } else if (text.startsWith("# TYPE ")) {
                QCOMPARE(text.split(' ')[2], family);
            } else {
                ++samples;
                QVERIFY2(text.startsWith(family) && line.match(QString::fromUtf8(text)).hasMatch(),
                         text.constData());
                // Its CPU once: the info metric leaves the CPU to this label.
                QCOMPARE(text.count("cpu="), 1);
            }
        }
        QCOMPARE(families.size(), 8);
        QCOMPARE(samples, 2 * (each[0].count('\n') - 2 * families.size()));
        QVERIFY(both.contains("vantrel_run_info" + Labels + ",cpu=\"1\",clock_mode_number=\"2\","));
    }

    // GET /metrics, exactly, is the only request answered; every answer
    // closes its connection.
    void answersGetMetricsAlone_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("status");
        QTest::newRow("GET /metrics") << httpGet("/metrics") << 200;
        QTest::newRow("HTTP/1.0, bare line feeds")
            << QByteArray("GET /metrics HTTP/1.0\n\n") << 200;
        QTest::newRow("another path") << httpGet("/") << 404;
        QTest::newRow("a query") << httpGet("/metrics?x=1") << 404;
        QTest::newRow("HEAD") << QByteArray("HEAD /metrics HTTP/1.1\r\n\r\n") << 405;
        QTest::newRow("POST") << QByteArray("POST /metrics HTTP/1.1\r\nContent-Length: 0\r\n\r\n")
                              << 405;
        QTest::newRow("HTTP/2") << QByteArray("GET /metrics HTTP/2.0\r\n\r\n") << 400;
        QTest::newRow("not HTTP") << QByteArray("hello\r\n\r\n") << 400;
        // One byte past the limit, and no more: a client that keeps sending
        // after its answer gets a reset, not the answer.
        QByteArray endless = "GET /metrics HTTP/1.1\r\nX: ";
        endless += QByteArray(MetricsServer::MaxRequestBytes + 1 - endless.size(), 'x');
        QTest::newRow("headers without end") << endless << 431;
    }
    void answersGetMetricsAlone()
    {
        QFETCH(QByteArray, request);
        QFETCH(int, status);
        MetricsServer server([] { return QByteArray("scrape\n"); }, MetricsText::contentType());
        QVERIFY(server.start(QHostAddress::LocalHost, 0, nullptr));
        const HttpAnswer answer = httpExchange(server.port(), request);
        QCOMPARE(answer.status, status);
        QVERIFY(answer.closed);
        QCOMPARE(answer.body == "scrape\n", status == 200);
        QCOMPARE(server.answered(), quint64(status == 200));
    }

    // 200 connections at once each get their scrape; one that never asks
    // is closed after the idle time; nothing stays open.
    void burstAndSilence()
    {
        MetricsServer server([] { return QByteArray(4000, '#') + "\n"; },
                             MetricsText::contentType());
        QVERIFY(server.start(QHostAddress::LocalHost, 0, nullptr));
        QTcpSocket silent;
        silent.connectToHost(QHostAddress::LocalHost, server.port());
        QVERIFY(silent.waitForConnected(2000));
        QElapsedTimer idle;
        idle.start();

        const int burst = 200;
        std::vector<std::unique_ptr<QTcpSocket>> clients;
        std::vector<QByteArray> answers(burst);
        for (int i = 0; i < burst; ++i) {
            auto client = std::make_unique<QTcpSocket>();
            QTcpSocket *socket = client.get();
            connect(socket, &QTcpSocket::connected, this,
                    [socket] { socket->write(httpGet("/metrics")); });
            connect(socket, &QTcpSocket::readyRead, this,
                    [socket, &answers, i] { answers[size_t(i)] += socket->readAll(); });
            socket->connectToHost(QHostAddress::LocalHost, server.port());
            clients.push_back(std::move(client));
        }
        const auto allClosed = [&] {
            for (const auto &client : clients) {
                if (client->state() != QAbstractSocket::UnconnectedState)
                    return false;
            }
            return true;
        };
        QTRY_VERIFY_WITH_TIMEOUT(allClosed(), 10000);
        for (const QByteArray &answer : answers)
            QVERIFY2(answer.startsWith("HTTP/1.1 200 OK\r\n") && answer.endsWith("#\n"),
                     answer.left(40).constData());
        QCOMPARE(server.answered(), quint64(burst));

        QTRY_COMPARE_WITH_TIMEOUT(silent.state(), QAbstractSocket::UnconnectedState, 8000);
        QVERIFY2(idle.elapsed() >= MetricsServer::IdleMs - 100,
                 qPrintable(QString::number(idle.elapsed())));
        QTRY_COMPARE(server.openConnections(), 0);
    }
};

QTEST_GUILESS_MAIN(TestMetrics)
#include "tst_metrics.moc"
