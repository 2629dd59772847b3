// SPDX-License-Identifier: MIT
// A run's JSON read back: what was saved comes back the same, fields a later
// version adds are left aside, and a file that is not a run is refused with
// its reason.
#include "runrecord.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <functional>
#include <future>
#include <thread>
#include <vector>

#include <sys/stat.h>

namespace {

RunRecord sample()
{
    RunRecord record;
    record.settings.clockMode = WaitableTimerMode;
    record.settings.periodMs = 3;
    record.settings.target = "127.0.0.1";
    record.settings.send = true;
    record.settings.processClass = platform::ProcessClass::High;
    record.settings.threadLevel = platform::ThreadLevel::Highest;
    record.durationSeconds = 10;
    record.ended = "stop request";
    record.elapsedSeconds = 9.8;
    record.statistics.bins[0] = 5;
    record.statistics.bins[30] = 1000000000; // 10^9: still exact in JSON's doubles
    record.statistics.bins[31] = 1;
    record.statistics.bins[RunStatistics::OverflowBin] = 3;
    record.statistics.maxInterval = 0.0521;
    record.statistics.meanInterval = 0.003;
    record.statistics.tickCount = 1000000020;
    record.keptIntervals = 12;
    record.granted = {"SCHED_FIFO", 99, 0};
    record.timeline.slotSeconds = 2;
    record.timeline.used = 3;
    record.timeline.lastTick = 5.5;
    record.timeline.slot[0] = {600, 0.0031};
    record.timeline.slot[1] = {999999170, 0.0521}; // the slots hold every tick
    record.timeline.slot[2] = {250, 0.0};
    // 16 wake-ups, so that the mean read back is the mean written.
    record.lateness.deadlines = LatenessStatistics::GridDeadlines;
    record.lateness.bins[LatenessStatistics::ZeroBin - 2] = 1;
    record.lateness.bins[LatenessStatistics::ZeroBin + 4] = 13;
    record.lateness.bins[LatenessStatistics::OverflowBin] = 2;
    record.lateness.wakeUps = 16;
    record.lateness.overruns = 4;
    record.lateness.minLateness = -1.5e-6;
    record.lateness.maxLateness = 0.0123;
    record.lateness.sumLateness = 0.0256;
    return record;
}

QJsonObject sampleJson()
{
    return sample().toJson();
}

} // namespace

using Change = std::function<void(QJsonObject &)>;
Q_DECLARE_METATYPE(Change)

class TestRunRecord : public QObject
{
    Q_OBJECT

private slots:
    // Saved as text and read back: every field the same, and fields this
    // version does not know (a later one's) left aside.
    void savedRunComesBackTheSame()
    {
        QJsonObject json = sampleJson();
        json["percentiles"] = QJsonObject{{"p99", 0.0011}};
        json["machine"] = QJsonObject{{"kernel", "6.1"}, {"cpus", 2}};
        QJsonObject configuration = json["configuration"].toObject();
        configuration["lateness"] = true;
        json["configuration"] = configuration;

        QString error;
        const std::optional<RunRecord> read =
            RunRecord::fromJson(QJsonDocument(json).toJson(), &error);
        QVERIFY2(read, qPrintable(error));
        const RunRecord saved = sample();
        QCOMPARE(read->statistics.bins, saved.statistics.bins);
        QCOMPARE(read->statistics.tickCount, saved.statistics.tickCount);
        QCOMPARE(read->statistics.maxInterval, saved.statistics.maxInterval);
        QCOMPARE(read->statistics.meanInterval, saved.statistics.meanInterval);
        QCOMPARE(int(read->settings.clockMode), int(saved.settings.clockMode));
        QCOMPARE(read->settings.periodMs, saved.settings.periodMs);
        QCOMPARE(read->settings.target, saved.settings.target);
        QCOMPARE(read->settings.send, saved.settings.send);
        QCOMPARE(read->settings.processClass, saved.settings.processClass);
        QCOMPARE(read->settings.threadLevel, saved.settings.threadLevel);
        QCOMPARE(read->durationSeconds, saved.durationSeconds);
        QCOMPARE(read->ended, saved.ended);
        QCOMPARE(read->elapsedSeconds, saved.elapsedSeconds);
        QCOMPARE(read->keptIntervals, saved.keptIntervals);
        QCOMPARE(read->granted.policy, saved.granted.policy);
        QCOMPARE(read->granted.priority, saved.granted.priority);
        QCOMPARE(read->timeline.used, 3);
        QCOMPARE(read->timeline.slotSeconds, 2.0);
        QCOMPARE(read->timeline.lastTick, 5.5);
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(read->timeline.slot[size_t(i)].ticks, saved.timeline.slot[size_t(i)].ticks);
            QCOMPARE(read->timeline.slot[size_t(i)].maxInterval,
                     saved.timeline.slot[size_t(i)].maxInterval);
        }
        QCOMPARE(read->lateness.bins, saved.lateness.bins);
        QCOMPARE(read->lateness.deadlines, int(LatenessStatistics::GridDeadlines));
        QCOMPARE(read->lateness.overruns, 4u);
        QCOMPARE(read->lateness.minLateness, -1.5e-6);
        QCOMPARE(read->lateness.meanLateness(), 0.0016);
        const QJsonObject lateness = json["lateness"].toObject();
        QCOMPARE(lateness["bins"].toArray().first().toObject(),
                 (QJsonObject{{"micros", -2}, {"count", 1}}));
        QCOMPARE(lateness["p50Seconds"].toDouble(), 4e-6);
        // Written again, the same JSON.
        QCOMPARE(read->toJson(), sampleJson());

        // A run saved before the timeline existed has none.
        json.remove("timeline");
        const std::optional<RunRecord> older = RunRecord::fromJson(json, &error);
        QVERIFY2(older, qPrintable(error));
        QCOMPARE(older->timeline.used, 0);
        QCOMPARE(older->statistics.bins, saved.statistics.bins);
        // Nor, before lateness was measured, a lateness: none is written.
        json.remove("lateness");
        const std::optional<RunRecord> untimed = RunRecord::fromJson(json, &error);
        QVERIFY2(untimed, qPrintable(error));
        QCOMPARE(untimed->lateness.deadlines, int(LatenessStatistics::NoDeadlines));
        QVERIFY(!untimed->toJson().contains("lateness"));
    }

    void refusesWhatIsNotARun_data()
    {
        QTest::addColumn<QString>("path");    // a file read as it is when not empty,
        QTest::addColumn<QByteArray>("text"); // else this text when not empty,
        QTest::addColumn<Change>("change");   // else the sample, changed so
        QTest::addColumn<QString>("saying");
        const QByteArray whole = QJsonDocument(sampleJson()).toJson();
        const Change none = [](QJsonObject &) {};
        const auto file = [&](const char *name, const QString &path, const char *saying) {
            QTest::newRow(name) << path << QByteArray() << none << QString(saying);
        };
        // Files that are not runs, or not files: none may block the reader
        // or fill the memory, whatever their size says.
        QVERIFY(files.isValid());
        const QString fifo = files.filePath("no writer");
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        QFile past(files.filePath("past")), at(files.filePath("at")); // sparse: zeros
        QVERIFY(past.open(QIODevice::WriteOnly) && past.resize(RunRecord::LargestFile + 1));
        QVERIFY(at.open(QIODevice::WriteOnly) && at.resize(RunRecord::LargestFile));
        file("/dev/zero", "/dev/zero", "not a regular file");
        file("/dev/urandom", "/dev/urandom", "not a regular file");
        file("a pipe with no writer", fifo, "not a regular file");
        file("a file past the limit", past.fileName(), "not a Vantrel run: larger than 64 MB");
        file("a file of the limit", at.fileName(), "not JSON: ");

        const auto text = [&](const char *name, const QByteArray &bytes, const char *saying) {
            QTest::newRow(name) << QString() << bytes << none << QString(saying);
        };
        text("empty file", " ", "not JSON: ");
        text("cut short", whole.left(whole.size() / 2), "not JSON: ");
        text("a list", "[1, 2]", "not a Vantrel run: the JSON is not an object");
        text("another program's", R"({"name": "vantrel", "version": "0.1.0"})",
             "not a Vantrel run: it has no");

        const auto changed = [](const char *name, Change change, const char *saying) {
            QTest::newRow(name) << QString() << QByteArray() << change << QString(saying);
        };
        const auto setBin = [](int index, const char *field, QJsonValue value) {
            return [=](QJsonObject &json) {
                QJsonArray bins = json["bins"].toArray();
                QJsonObject bin = bins[index].toObject();
                bin[field] = value;
                bins[index] = bin;
                json["bins"] = bins;
            };
        };
        changed(
            "bins not a list", [](QJsonObject &json) { json["bins"] = 3; }, "no \"configuration\"");
        changed("bin 300", setBin(0, "bin", 300), "\"bin\" is not a whole number from 0 to 299");
        changed("bin as text", setBin(0, "bin", "0"), "entry 1: \"bin\"");
        changed("negative count", setBin(1, "count", -1), "entry 2: \"count\"");
        changed("count of 1.5", setBin(1, "count", 1.5), "entry 2: \"count\"");
        changed("count beyond a double's whole numbers", setBin(1, "count", 1e17), "\"count\"");
        changed("bin twice", setBin(1, "bin", 0), "bin 0 appears twice");
        changed(
            "bin not an object",
            [](QJsonObject &json) {
                QJsonArray bins = json["bins"].toArray();
                bins[2] = 7;
                json["bins"] = bins;
            },
            "entry 3 is not an object");
        changed(
            "counts that do not add up", [](QJsonObject &json) { json["countedIntervals"] = 7; },
            "add up to 1000000009");
        changed(
            "more intervals than ticks", [](QJsonObject &json) { json["tickCount"] = 9; },
            "more intervals than");
        changed(
            "no tick count", [](QJsonObject &json) { json.remove("tickCount"); },
            "\"tickCount\" is missing");
        changed(
            "negative longest", [](QJsonObject &json) { json["maxInterval"] = -0.1; },
            "\"maxInterval\" is not a number of seconds");
        const auto setConfiguration = [](const char *field, QJsonValue value) {
            return [=](QJsonObject &json) {
                QJsonObject configuration = json["configuration"].toObject();
                configuration[field] = value;
                json["configuration"] = configuration;
            };
        };
        changed("clock mode 3", setConfiguration("clockMode", 3), "configuration: \"clockMode\"");
        changed("negative period", setConfiguration("periodMs", -1), "\"periodMs\"");
        changed("process level unknown", setConfiguration("processLevel", "Turbo"),
                "configuration: \"processLevel\" is none of");
        changed(
            "timeline of two lengths",
            [](QJsonObject &json) {
                QJsonObject timeline = json["timeline"].toObject();
                timeline["ticks"] = QJsonArray{1, 2};
                json["timeline"] = timeline;
            },
            "not two lists of the same length");
        changed(
            "timeline slot of no length",
            [](QJsonObject &json) {
                QJsonObject timeline = json["timeline"].toObject();
                timeline["slotSeconds"] = 0;
                json["timeline"] = timeline;
            },
            "\"slotSeconds\" is not above 0");
        changed(
            "timeline not an object", [](QJsonObject &json) { json["timeline"] = "soon"; },
            "\"timeline\" is not an object");

        // Values no run of the program writes: each refused, with its field.
        const auto set = [](const char *field, QJsonValue value) {
            return [=](QJsonObject &json) { json[field] = value; };
        };
        const auto setTimeline = [](const char *field, QJsonValue value) {
            return [=](QJsonObject &json) {
                QJsonObject timeline = json["timeline"].toObject();
                timeline[field] = value;
                json["timeline"] = timeline;
            };
        };
        changed("period of 1e9 ms", setConfiguration("periodMs", 1e9),
                "\"periodMs\" is not a whole number from 0 to 100");
        changed("period of 101 ms", setConfiguration("periodMs", 101), "from 0 to 100");
        changed("period 0 in a mode that needs one", setConfiguration("periodMs", 0),
                "\"periodMs\" is 0, which clock mode \"Win32 Periodic\" does not allow");
        changed("clock mode -1", setConfiguration("clockMode", -1), "\"clockMode\"");
        changed("duration beyond any run", setConfiguration("durationSeconds", 1e300),
                "\"durationSeconds\" is 1e+300 s, longer than a run can last");
        changed("bin -1", setBin(0, "bin", -1), "\"bin\" is not a whole number from 0 to 299");
        changed("bin 1e9", setBin(0, "bin", 1e9), "from 0 to 299");
        changed("counted intervals one short", set("countedIntervals", 1000000008),
                "not the 1000000008 of \"countedIntervals\"");
        changed("kept intervals beyond the counted", set("keptIntervals", 1000000010),
                "\"keptIntervals\" 1000000010 is more than");
        changed("longest interval of 1e307 s", set("maxInterval", 1e307),
                "\"maxInterval\" is 1e+307 s, longer than a run can last");
        changed("longest interval beyond the timeline", set("maxInterval", 60),
                "\"maxInterval\" 60 s is longer than the run");
        changed("elapsed of 1e307 s", set("elapsedSeconds", 1e307), "\"elapsedSeconds\" is");
        changed("mean interval of 1e200 s", set("meanInterval", 1e200), "\"meanInterval\" is");
        changed("last tick at 1e307 s", setTimeline("lastTick", 1e307),
                "timeline: \"lastTick\" is 1e+307 s, longer than a run can last");
        changed("last tick past its slots", setTimeline("lastTick", 6.5),
                "timeline: \"lastTick\" 6.5 s does not fall in its last slot");
        changed("last tick before its slots", setTimeline("lastTick", 1.5),
                "does not fall in its last slot (3 slots of 2 s)");
        changed("slots of 3e306 s", setTimeline("slotSeconds", 3e306),
                "timeline: \"slotSeconds\" is 3e+306 s, longer than a run can last");
        changed("slots of 3 s", setTimeline("slotSeconds", 3),
                "timeline: \"slotSeconds\" is 3, not a slot the run's timeline has");
        changed("slots of half a second", setTimeline("slotSeconds", 0.5),
                "\"slotSeconds\" is 0.5, not a slot");
        changed("slots of 2^22 s", setTimeline("slotSeconds", 4194304), "at most 2097152 s");
        changed("slots of infinite seconds", setTimeline("slotSeconds", "inf"),
                "timeline: \"slotSeconds\" is not a number of seconds");
        changed("slot ticks that do not add up", setTimeline("ticks", QJsonArray{600, 700, 250}),
                "timeline: the slots hold 1550 ticks, not the 1000000020 of \"tickCount\"");
        changed("slot longest of 1e300 s", setTimeline("maxInterval", QJsonArray{0, 1e300, 0}),
                "timeline: slot 2's longest interval, 1e+300 s, is longer than the run");
        changed(
            "no slot with a last tick",
            [&](QJsonObject &json) {
                setTimeline("ticks", QJsonArray{})(json);
                setTimeline("maxInterval", QJsonArray{})(json);
            },
            "\"lastTick\" 5.5 s does not fall in its last slot (0 slots");
        const auto setLateness = [](const char *field, QJsonValue value) {
            return [=](QJsonObject &json) {
                QJsonObject lateness = json["lateness"].toObject();
                lateness[field] = value;
                json["lateness"] = lateness;
            };
        };
        changed("lateness not an object", set("lateness", 3), "\"lateness\" is not an object");
        changed("lateness of no known deadlines", setLateness("deadlines", "sometimes"),
                "lateness: \"deadlines\" is none of");
        changed("lateness wake-ups the bins do not hold", setLateness("wakeUps", 17),
                "lateness: the bins add up to 16 wake-ups, not the 17");
        changed("lateness bin past the overflow",
                setLateness("bins", QJsonArray{QJsonObject{{"micros", 10001}, {"count", 16}}}),
                "lateness: \"bins\" entry 1: \"micros\" is not a whole number from -1000 to "
                "10000");
        changed("lateness bin twice",
                setLateness("bins",
                            QJsonArray{QJsonObject{{"micros", 4}, {"count", 8}},
                                       QJsonObject{{"micros", 4}, {"count", 8}}}),
                "4 us appears twice");
        changed(
            "lateness without its longest",
            [](QJsonObject &json) {
                QJsonObject lateness = json["lateness"].toObject();
                lateness.remove("maxSeconds");
                json["lateness"] = lateness;
            },
            "lateness: \"maxSeconds\" is missing");
        changed(
            "last tick long after the run's end",
            [&](QJsonObject &json) {
                setTimeline("slotSeconds", 32)(json);
                setTimeline("lastTick", 70)(json);
            },
            "timeline: \"lastTick\" 70 s is after the run's end (\"elapsedSeconds\" 9.8 s)");
    }
    void refusesWhatIsNotARun()
    {
        QFETCH(QString, path);
        QFETCH(QByteArray, text);
        QFETCH(Change, change);
        QFETCH(QString, saying);
        if (text.isEmpty()) {
            QJsonObject json = sampleJson();
            change(json);
            text = QJsonDocument(json).toJson();
        }
        QString error = "left from before";
        if (path.isEmpty()) {
            QVERIFY(!RunRecord::fromJson(text, &error));
        } else {
            // Read on a thread of its own, so that a reader that blocks fails
            // here instead of hanging the test.
            std::promise<QString> done;
            std::future<QString> said = done.get_future();
            std::thread([path, done = std::move(done)]() mutable {
                QString why = "left from before";
                done.set_value(RunRecord::readFile(path, &why) ? QString("read as a run") : why);
            }).detach();
            QVERIFY2(said.wait_for(std::chrono::seconds(20)) == std::future_status::ready,
                     "still reading after 20 s");
            error = said.get();
        }
        QVERIFY2(error.contains(saying), qPrintable(error));
    }

    // The window's Save Run and vantrel-cli complete a record the same way:
    // the same fields, each filled, the deviation too, though the window
    // keeps no intervals and saves during a run.
    void windowAndCliWriteTheSameFields()
    {
        // Nothing overflowed: maxInterval, the overflow row's label, is 0,
        // and the run's longest comes from the timeline.
        RunRecord measured = sample();
        measured.statistics.bins[30] = 1000;
        measured.statistics.bins[RunStatistics::OverflowBin] = 0;
        measured.statistics.maxInterval = 0;
        measured.timeline.slot[1].maxInterval = 0.0051;
        std::vector<double> kept(measured.statistics.counted(), 0.003);

        RunRecord cli = measured; // as HeadlessRun completes it
        cli.ended = "duration";
        cli.machine.begin();
        cli.machine.end();
        cli.complete(kept.data(), kept.size(), {Threshold{Threshold::P99Deviation, 50e-6}});
        RunRecord window = measured; // as RunPictures::saveRun completes it
        window.ended = "running";
        window.durationSeconds = 0;
        window.complete();
        window.machine.begin();

        // Every field's path, nested objects' fields too.
        const std::function<QStringList(const QJsonObject &, const QString &)> paths =
            [&](const QJsonObject &json, const QString &prefix) {
                QStringList all;
                for (auto it = json.begin(); it != json.end(); ++it) {
                    all << prefix + it.key();
                    if (it.value().isObject())
                        all << paths(it.value().toObject(), prefix + it.key() + ".");
                }
                return all;
            };
        const QJsonObject fromCli = cli.toJson();
        const QJsonObject fromWindow = window.toJson();
        QCOMPARE(paths(fromWindow, QString()), paths(fromCli, QString()));
        for (const QJsonObject &json : {fromCli, fromWindow}) {
            const QJsonObject deviation = json["deviation"].toObject();
            QCOMPARE(deviation["periodSeconds"].toDouble(), 0.003);
            QVERIFY(deviation["p99"].isDouble());
            QCOMPARE(json["longestInterval"].toDouble(), 0.0051);
            QCOMPARE(json["maxInterval"].toDouble(), 0.0);
        }
        QCOMPARE(fromCli["deviation"]["source"].toString(), QString("kept intervals"));
        QCOMPARE(fromCli["keptIntervals"].toInteger(), qint64(kept.size()));
        QCOMPARE(fromWindow["deviation"]["source"].toString(), QString("histogram"));
        QCOMPARE(fromWindow["keptIntervals"].toInteger(), 0);
    }

    void fileThatCannotBeReadSaysWhy()
    {
        QTemporaryDir dir;
        QString error;
        QVERIFY(!RunRecord::readFile(dir.filePath("none.json"), &error));
        QVERIFY2(error.contains("No such file"), qPrintable(error));
    }

private:
    QTemporaryDir files; // the table's files that are not runs
};

QTEST_GUILESS_MAIN(TestRunRecord)
#include "tst_runrecord.moc"
