// SPDX-License-Identifier: MIT
// vantrel-cli --serve scraped by a real Prometheus (Debian's package), both
// on loopback in the test's own network namespace: after a few scrapes,
// Prometheus's own query API puts the median interval in the period's bin.
// Skips (exit 77) where Prometheus is not installed.
#include "cliprocess.h"
#include "httpclient.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <signal.h>

namespace {

// The first value of an instant query's answer, or NaN.
double queryValue(quint16 port, const QString &promql, QString *raw = nullptr)
{
    // HTTP/1.0: the answer comes whole, and the connection closes after it.
    const QByteArray request =
        "GET /api/v1/query?query=" + QUrl::toPercentEncoding(promql) + " HTTP/1.0\r\n\r\n";
    const HttpAnswer answer = httpExchange(port, request);
    if (raw)
        *raw = QString::fromUtf8(answer.headers + "\n" + answer.body);
    const QJsonArray result = QJsonDocument::fromJson(answer.body)["data"]["result"].toArray();
    if (answer.status != 200 || result.isEmpty())
        return qQNaN();
    return result.first()["value"].toArray().at(1).toString().toDouble();
}

quint16 freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

} // namespace

class TestPrometheus : public QObject
{
    Q_OBJECT

public:
    bool missing = false; // skipped: tells CTest so through the exit status

private slots:
    void medianLandsInThePeriodsBin()
    {
        const QString prometheus = QStandardPaths::findExecutable("prometheus");
        if (prometheus.isEmpty()) {
            missing = true;
            QSKIP("Prometheus is not installed (Debian package prometheus; scripts/setup.sh "
                  "installs it)");
        }

        QProcess cli;
        startCli(cli, {"-m", "2", "-p", "2", "--serve", "127.0.0.1:0"});
        QString said;
        const QRegularExpression serving("serving metrics at http://127\\.0\\.0\\.1:(\\d+)/");
        QTRY_VERIFY_WITH_TIMEOUT(
            serving.match(said += QString::fromUtf8(cli.readAllStandardError())).hasMatch(), 5000);
        const QString exporter = "127.0.0.1:" + serving.match(said).captured(1);

        QTemporaryDir dir;
        QFile config(dir.filePath("prometheus.yml"));
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write("global:\n"
                     "  scrape_interval: 1s\n"
                     "  evaluation_interval: 1s\n"
                     "scrape_configs:\n"
                     "  - job_name: vantrel\n"
                     "    static_configs:\n"
                     "      - targets: ['" +
                     exporter.toUtf8() + "']\n");
        config.close();
        const quint16 api = freePort();
        QVERIFY(api != 0);
        QProcess server;
        server.setProcessChannelMode(QProcess::MergedChannels);
        server.start(prometheus,
                     {"--config.file=" + config.fileName(),
                      "--storage.tsdb.path=" + dir.filePath("data"),
                      QString("--web.listen-address=127.0.0.1:%1").arg(api), "--log.level=warn"});
        QVERIFY2(server.waitForStarted(5000), qPrintable(server.errorString()));

        // A few scrapes: five samples of the tick counter in the last minute.
        QString raw;
        QTRY_VERIFY2_WITH_TIMEOUT(
            queryValue(api, "count_over_time(vantrel_ticks_total[1m])", &raw) >= 5,
            qPrintable(raw + server.readAll()), 30000);
        QCOMPARE(queryValue(api, "up{job=\"vantrel\"}"), 1.0);

        const double median = queryValue(
            api, "histogram_quantile(0.5, vantrel_interval_seconds_bucket{job=\"vantrel\"})", &raw);
        qInfo("histogram_quantile(0.5, ...) = %.6f s", median);
        QVERIFY2(median >= 0.00195 && median <= 0.00205, qPrintable(raw));
        // The info metric's labels arrived whole.
        QCOMPARE(queryValue(api,
                            "vantrel_run_info{clock_mode=\"Win32 Periodic\","
                            "period_ms=\"2\",thread_level=\"Time Critical\"}"),
                 1.0);

        server.terminate();
        QVERIFY(server.waitForFinished(10000));
        ::kill(pid_t(cli.processId()), SIGINT);
        const CliResult run = finishCli(cli, 8000);
        QCOMPARE(run.exitCode, 0);
        QVERIFY(run.out.contains("Actual Rate"));
    }
};

// A skip exits 77, which CTest shows as skipped rather than passed.
int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    TestPrometheus test;
    const int failures = QTest::qExec(&test, argc, argv);
    return failures == 0 && test.missing ? 77 : failures;
}
#include "tst_prometheus.moc"
