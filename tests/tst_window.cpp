// SPDX-License-Identifier: MIT
// The window, offscreen: the form as built, run control against the recording
// OS layer, the report drawn from known statistics, and real short runs.
#include "dottedquad.h"
#include "fakeos.h"
#include "fixedpitch.h"
#include "probes.h"
#include "qt_vantrel_app.h"
#include "runpictures.h"
#include "senders.h"
#include "statsreport.h"
#include "windowdriver.h"

#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFontInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QSpinBox>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextEdit>
#include <QTextLayout>
#include <QUdpSocket>

#include <memory>
#include <optional>

using platform::FakeOs;

namespace {

// The calls the window and the worker make about priority and timer
// resolution, leaving out the clock's own.
QStringList priorityCalls(const FakeOs &fake)
{
    QStringList calls;
    for (const std::string &call : fake.calls()) {
        const QString text = QString::fromStdString(call);
        if (text.startsWith("set") && !text.startsWith("setPeriodicTimer"))
            calls << text;
        else if (text.contains("TimerResolution") || text == "restoreScheduling")
            calls << text;
    }
    return calls;
}

void refresh(Qt_Vantrel_App &window)
{
    QVERIFY(QMetaObject::invokeMethod(&window, "runDisplay", Qt::DirectConnection));
}

quint64 ticks(const Qt_Vantrel_App &window)
{
    return window.worker().statistics().tickCount;
}

QStringList items(const QComboBox *list)
{
    QStringList texts;
    for (int i = 0; i < list->count(); ++i)
        texts << list->itemText(i);
    return texts;
}

} // namespace

class TestWindow : public QObject
{
    Q_OBJECT

private slots:
    void init() { QTRY_VERIFY2(portIsFree(), "port 1667 is held by something else"); }
    void cleanup() { platform::install(nullptr); }

    // The form as built, found by the object names a person's tools and
    // these tests know it by.
    void formBuildsItsTree()
    {
        Qt_Vantrel_App window;
        const Form ui(window);
        QCOMPARE(window.objectName(), QString("Qt_Vantrel_AppClass"));
        QCOMPARE(window.windowTitle(), QString("Qt Vantrel"));
        QCOMPARE(window.size(), QSize(613, 425));
        QCOMPARE(window.centralWidget(), named<QWidget>(window, "centralWidget"));
        auto *gridLayout = named<QGridLayout>(window, "gridLayout");
        auto *gridLayout1 = named<QGridLayout>(window, "gridLayout1");
        auto *groupBox = named<QGroupBox>(window, "groupBox");
        const auto label = [&](const char *name) { return named<QLabel>(window, name)->text(); };

        struct Placed
        {
            const char *name;
            const char *className;
            QGridLayout *grid;
            int row, column, rowSpan, columnSpan;
        };
        const QList<Placed> placed = {
            {"centralWidget", "QWidget", nullptr, 0, 0, 0, 0},
            {"gridLayout", "QGridLayout", nullptr, 0, 0, 0, 0},
            {"textEdit", "QTextEdit", gridLayout, 0, 1, 2, 1},
            {"groupBox", "QGroupBox", gridLayout, 0, 0, 1, 1},
            {"gridLayout1", "QGridLayout", nullptr, 0, 0, 0, 0},
            {"label", "QLabel", gridLayout1, 0, 0, 1, 2},
            {"clockRate", "QSpinBox", gridLayout1, 0, 2, 1, 1},
            {"processLevel", "QComboBox", gridLayout1, 4, 1, 1, 2},
            {"label_3", "QLabel", gridLayout1, 4, 0, 1, 1},
            {"label_5", "QLabel", gridLayout1, 5, 0, 1, 1},
            {"threadLevel", "QComboBox", gridLayout1, 5, 1, 1, 2},
            {"label_6", "QLabel", gridLayout1, 1, 0, 1, 1},
            {"clockMode", "QComboBox", gridLayout1, 1, 1, 1, 2},
            {"stopButton", "QPushButton", gridLayout1, 6, 1, 1, 2},
            {"startButton", "QPushButton", gridLayout1, 6, 0, 1, 1},
            {"label_2", "QLabel", gridLayout1, 3, 0, 1, 1},
            {"actualRate", "QLineEdit", gridLayout1, 3, 1, 1, 2},
            {"sendUDP", "QCheckBox", gridLayout1, 2, 0, 1, 1},
            {"sendIpAddr", "QLineEdit", gridLayout1, 2, 1, 1, 2},
        };
        QCOMPARE(placed.size(), 19);
        for (const Placed &p : placed) {
            const QList<QObject *> found = window.findChildren<QObject *>(p.name);
            QVERIFY2(found.size() == 1, p.name);
            QObject *object = found[0];
            QCOMPARE(object->metaObject()->className(), p.className);
            if (!p.grid)
                continue;
            int row, column, rowSpan, columnSpan;
            p.grid->getItemPosition(p.grid->indexOf(static_cast<QWidget *>(object)), &row, &column,
                                    &rowSpan, &columnSpan);
            QVERIFY2(row == p.row && column == p.column && rowSpan == p.rowSpan &&
                         columnSpan == p.columnSpan,
                     p.name);
            QCOMPARE(object->parent(), p.grid->parentWidget());
        }
        QCOMPARE(window.centralWidget()->layout(), gridLayout);
        QCOMPARE(groupBox->layout(), gridLayout1);
        for (QGridLayout *grid : {gridLayout, gridLayout1}) {
            QCOMPARE(grid->spacing(), 6);
            QCOMPARE(grid->contentsMargins(), QMargins(11, 11, 11, 11));
        }

        // The controls were made in this order, which is also the focus order.
        QStringList made;
        for (QObject *child : groupBox->children()) {
            if (child->isWidgetType())
                made << child->objectName();
        }
        QCOMPARE(made,
                 QStringList({"label", "clockRate", "processLevel", "label_3", "label_5",
                              "threadLevel", "label_6", "clockMode", "stopButton", "startButton",
                              "label_2", "actualRate", "sendUDP", "sendIpAddr"}));

        // The spacer is nameless, under the group box.
        QSpacerItem *spacer = gridLayout->itemAtPosition(1, 0)->spacerItem();
        QVERIFY(spacer);
        QCOMPARE(spacer->sizeHint(), QSize(20, 331));
        QCOMPARE(spacer->sizePolicy().horizontalPolicy(), QSizePolicy::Minimum);
        QCOMPARE(spacer->sizePolicy().verticalPolicy(), QSizePolicy::Expanding);

        QCOMPARE(groupBox->title(), QString("Control Vantrel"));
        QCOMPARE(label("label"), QString("Clock Rate (msec)"));
        QCOMPARE(label("label_3"), QString("Process Level"));
        QCOMPARE(label("label_5"), QString("Thread Level"));
        QCOMPARE(label("label_6"), QString("Clock Mode"));
        QCOMPARE(label("label_2"), QString("Actual Rate"));
        QCOMPARE(ui.startButton->text(), QString("Start"));
        QCOMPARE(ui.stopButton->text(), QString("Stop"));
        QCOMPARE(ui.sendUDP->text(), QString("Send UDP"));

        QCOMPARE(ui.textEdit->sizePolicy().horizontalPolicy(), QSizePolicy::MinimumExpanding);
        QCOMPARE(ui.textEdit->sizePolicy().verticalPolicy(), QSizePolicy::Expanding);
        QCOMPARE(ui.textEdit->minimumSize(), QSize(340, 0));
        QVERIFY(ui.textEdit->isReadOnly());
        QVERIFY(ui.actualRate->isReadOnly());
        for (Qt::Alignment alignment :
             {ui.clockRate->alignment(), ui.actualRate->alignment(), ui.sendIpAddr->alignment()})
            QCOMPARE(alignment, Qt::Alignment(Qt::AlignRight));
        QCOMPARE(ui.clockRate->minimum(), 0);
        QCOMPARE(ui.clockRate->maximum(), 100);
    }

    void freshWindowIsIdle()
    {
        Qt_Vantrel_App window;
        const Form ui(window);
        QVERIFY(inIdleState(window));
        QCOMPARE(items(ui.clockMode), QStringList({"QTimer Event", "Qt msleep", "Win32 Periodic"}));
        QCOMPARE(
            items(ui.threadLevel),
            QStringList({"Idle", "Lowest", "Low", "Normal", "High", "Highest", "Time Critical"}));
        QCOMPARE(items(ui.processLevel), QStringList({"Idle", "Normal", "High", "Realtime"}));
        QCOMPARE(ui.clockMode->currentText(), QString("QTimer Event"));
        QCOMPARE(ui.threadLevel->currentText(), QString("Time Critical"));
        QCOMPARE(ui.processLevel->currentText(), QString("Realtime"));
        QCOMPARE(ui.clockRate->value(), 1);
        QVERIFY(!ui.sendUDP->isChecked() && ui.sendUDP->isEnabled());
        QVERIFY(ui.actualRate->text().isEmpty() && ui.actualRate->isEnabled());
        QVERIFY(ui.textEdit->toPlainText().isEmpty());
        // Until the first run the empty report says what to do.
        const QString hint = ui.textEdit->placeholderText();
        QVERIFY2(hint.contains("Start") &&
                     hint.contains("right mouse button", Qt::CaseInsensitive) &&
                     hint.contains("picture") && hint.contains("Save"),
                 qPrintable(hint));

        // The default target is a private address, so a slip can never reach
        // the internet.
        quint32 target = 0;
        QVERIFY(parseDottedQuad(ui.sendIpAddr->text(), &target));
        QVERIFY((target >> 24) == 10 || (target >> 20) == 0xAC1 || (target >> 16) == 0xC0A8);

        // The report's columns need a fixed-pitch face, whatever the machine
        // makes of the font the form asks for.
        QVERIFY(QFontInfo(ui.textEdit->font()).fixedPitch());
        QCOMPARE(ui.textEdit->font().pointSize(), 12);
        // The second: a system fixed font that is not fixed pitch either, as
        // under Wine without Courier New.
        const QFont proportional("Liberation Sans", 12);
        for (const QFont &fallback :
             {fixedPitch(proportional), fixedPitch(proportional, proportional)}) {
            QVERIFY(QFontInfo(fallback).fixedPitch());
            QCOMPARE(fallback.pointSize(), 12);
        }
    }

    // Start and Stop, as the OS layer sees them: the process class, the GUI
    // thread at Normal, the worker's own level, and the timer resolution only
    // for short sleeps.
    void startAndStopCallTheOs_data()
    {
        QTest::addColumn<RunSettings>("settings");
        QTest::addColumn<QStringList>("atStart"); // the worker's own level last
        QTest::addColumn<QStringList>("atStop");
        QTest::addColumn<QLocale>("locale");
        using platform::ProcessClass;
        using platform::ThreadLevel;
        const auto run = [](const char *name, RunSettings settings, const char *processClass,
                            const char *workerLevel, const char *resolution) {
            QStringList atStart = {QString("setProcessClass(%1)").arg(processClass),
                                   "setCurrentThreadLevel(Normal)"};
            QStringList atStop;
            if (*resolution) {
                atStart << QString("beginTimerResolution(%1)").arg(resolution);
                atStop << QString("endTimerResolution(%1)").arg(resolution);
            }
            atStart << QString("setRunThreadLevel(%1)").arg(workerLevel);
            atStop << "restoreScheduling";
            QTest::newRow(name) << settings << atStart << atStop << QLocale::c();
            // The period is the number shown, also in a locale's own digits.
            if (settings.periodMs == 9)
                QTest::addRow("%s, Arabic-Indic digits", name)
                    << settings << atStart << atStop << QLocale(QLocale::Arabic, QLocale::Egypt);
        };
        run("defaults, periodic 1 ms",
            runOf(2, 1, ProcessClass::Realtime, ThreadLevel::TimeCritical), "Realtime",
            "TimeCritical", "");
        run("sleep 1 ms", runOf(1, 1), "Normal", "Normal", "1");
        run("sleep 9 ms", runOf(1, 9, ProcessClass::High, ThreadLevel::Low), "High", "Low", "9");
        run("sleep 10 ms", runOf(1, 10, ProcessClass::Idle, ThreadLevel::Idle), "Idle", "Idle", "");
        run("sleep 0 ms, receive-driven", runOf(1, 0, ProcessClass::Realtime, ThreadLevel::Lowest),
            "Realtime", "Lowest", "0");
        run("event timer 1 ms", runOf(0, 1, ProcessClass::Normal, ThreadLevel::High), "Normal",
            "High", "");
        run("periodic 5 ms", runOf(2, 5, ProcessClass::High, ThreadLevel::Highest), "High",
            "Highest", "");
    }
    void startAndStopCallTheOs()
    {
        QFETCH(RunSettings, settings);
        QFETCH(QStringList, atStart);
        QFETCH(QStringList, atStop);
        QFETCH(QLocale, locale);
        const QLocale before;
        QLocale::setDefault(locale);
        auto restore = qScopeGuard([&before] { QLocale::setDefault(before); });
        FakeOs fake;
        platform::install(&fake);
        Qt_Vantrel_App window;
        const Form ui(window);
        ui.clockRate->setValue(settings.periodMs);
        QCOMPARE(ui.clockRate->text(), locale.toString(settings.periodMs));

        start(window, settings);
        QVERIFY(inRunningState(window));
        QCOMPARE(window.worker().clockMode(), int(settings.clockMode));
        QCOMPARE(window.worker().clockPeriodMs(), settings.periodMs);
        QVERIFY(window.worker().thread() == &window.worker()); // moved into its own thread
        QTRY_COMPARE(priorityCalls(fake), atStart);

        ui.stopButton->click();
        QCOMPARE(priorityCalls(fake), atStart + atStop);
        QVERIFY(inIdleState(window));
        QVERIFY(!window.worker().isRunning());
        QCOMPARE(window.worker().lastRunEnd.load(), int(RtThread::RunStopped));
    }

    // A periodic clock of 0 ms ends the worker at once: the window says why
    // and gives the OS back at once, but stays in its running state until
    // Stop, which then skips the stop protocol.
    void stopAfterTheWorkerEndedByItself()
    {
        FakeOs fake;
        platform::install(&fake);
        Qt_Vantrel_App window;
        const Form ui(window);
        start(window, defaultRun(2, 0));
        QTRY_VERIFY(window.notes().contains(
            "Nothing was measured: \"Win32 Periodic\" needs a period of 1 ms or more."));
        QCOMPARE(window.worker().lastRunEnd.load(), int(RtThread::RunHadNoClock));
        QCOMPARE(priorityCalls(fake).filter("restoreScheduling").size(), 1);
        QVERIFY(inRunningState(window));

        fake.clearCalls();
        ui.stopButton->click();
        QCOMPARE(window.worker().lastRunEnd.load(), int(RtThread::RunHadNoClock));
        QCOMPARE(priorityCalls(fake), QStringList({"restoreScheduling"}));
        QVERIFY(inIdleState(window));
    }

    void secondStartRunsAfresh()
    {
        FakeOs fake;
        platform::install(&fake);
        Qt_Vantrel_App window;
        const Form ui(window);
        // A first run at 25 ms of simulated time leaves a mark no 1 ms tick
        // could make: it must be gone when the next run starts.
        start(window, runOf(2, 25));
        QTRY_VERIFY(ticks(window) >= 50);
        QVERIFY(window.worker().statistics().bins[250] > 0);
        ui.stopButton->click();
        ui.textEdit->setPlainText("last report");

        ui.clockRate->setValue(1);
        ui.startButton->click();
        QCOMPARE(window.worker().statistics().bins[250], quint64(0));
        QVERIFY(ui.textEdit->toPlainText().isEmpty());
        QVERIFY(ui.textEdit->placeholderText().isEmpty()); // the hint was for the first run
        QVERIFY(inRunningState(window));
        QTRY_VERIFY(ticks(window) >= 50);
        QVERIFY(window.worker().statistics().bins[10] > 0);
        ui.stopButton->click();
        QCOMPARE(window.worker().lastRunEnd.load(), int(RtThread::RunStopped));
    }

#ifdef Q_OS_LINUX
    // The worker's datagrams to 127.0.0.1 land in its own socket, which a
    // periodic clock never reads: the queue grows only while Send UDP is on.
    void sendUdpToggledDuringARun()
    {
        FakeOs fake;
        platform::install(&fake);
        Qt_Vantrel_App window;
        const Form ui(window);
        ui.sendIpAddr->setText("127.0.0.1");
        start(window, runOf(2, 2));
        QTRY_VERIFY(ticks(window) >= 30);
        QCOMPARE(portReceiveQueue(), qint64(0));

        ui.sendUDP->setChecked(true);
        QTRY_VERIFY(portReceiveQueue() > 0);
        ui.sendUDP->setChecked(false);
        // One tick may still be on its way; after it the queue stays still.
        const quint64 toggled = ticks(window);
        QTRY_VERIFY(ticks(window) > toggled + 1);
        const qint64 queued = portReceiveQueue();
        const quint64 later = ticks(window);
        QTRY_VERIFY(ticks(window) > later + 20);
        QCOMPARE(portReceiveQueue(), queued);
        QVERIFY(inRunningState(window));
        ui.stopButton->click();
    }
#endif

    // What a run could not do as asked is said under the form, once each,
    // and nothing is said when it did all of it. The fake OS plays the
    // scheduler's limits.
    void notesSayWhatTheRunCouldNotDo_data()
    {
        using platform::ProcessClass;
        using platform::ThreadLevel;
        QTest::addColumn<int>("rtprio"); // -1: privileged
        QTest::addColumn<RunSettings>("settings");
        QTest::addColumn<QStringList>("saying"); // a part of each note, in order
        RunSettings sending = runOf(2, 1);
        sending.target = "abc";
        sending.send = true;
        QTest::newRow("all granted") << -1 << defaultRun(2, 1) << QStringList();
        QTest::newRow("no realtime limit")
            << 0 << defaultRun(2, 1)
            << QStringList{"Process level \"Realtime\" with thread level \"Time Critical\" asks "
                           "for SCHED_FIFO 99, but the measuring thread was granted SCHED_OTHER, "
                           "nice 0; to get it, run it with CAP_SYS_NICE"};
        QTest::newRow("rtprio 95")
            << 95 << defaultRun(2, 1) << QStringList{"granted SCHED_FIFO 95; to get it"};
        QTest::newRow("a lower class")
            << 0 << runOf(2, 1, ProcessClass::Idle, ThreadLevel::Normal)
            << QStringList{"Process level \"Idle\" was given to the measuring thread only"};
        QTest::newRow("a target nothing is sent to")
            << -1 << sending
            << QStringList{"Nothing is sent: \"abc\" is not an IPv4 address in dotted-quad form"};
        QTest::newRow("no clock") << -1 << defaultRun(2, 0)
                                  << QStringList{"Nothing was measured: \"Win32 Periodic\" needs "
                                                 "a period of 1 ms or more."};
    }
    void notesSayWhatTheRunCouldNotDo()
    {
        QFETCH(int, rtprio);
        QFETCH(RunSettings, settings);
        QFETCH(QStringList, saying);
        FakeOs fake;
        platform::SchedulingLimits limits;
        limits.privileged = rtprio < 0;
        limits.realtimeCeiling = std::max(rtprio, 0);
        fake.setSchedulingLimits(limits);
        platform::install(&fake);
        Qt_Vantrel_App window;
        const Form ui(window);
        window.show();
        ui.sendIpAddr->setText(settings.target.isEmpty() ? "127.0.0.1" : settings.target);
        ui.sendUDP->setChecked(settings.send);
        start(window, settings);

        // A refresh has looked at what the worker was granted, or the worker
        // has ended and been looked at.
        QTRY_VERIFY(!ui.actualRate->text().isEmpty() ||
                    window.notes().filter("Nothing was measured").size() == 1);
        // Memory and power states are the real OS's: held, or said, as this
        // user may (probed apart from the program). Besides these, the note
        // of the spikes' sources, once the sampler has read them.
        const auto held = [&] {
            return window.notes().filter(QRegularExpression("memory not locked|power states not "
                                                            "held"));
        };
        const qsizetype refused =
            (memoryLockPermitted() ? 0 : 1) + (powerStateHoldPermitted() ? 0 : 1);
        const auto runNotes = [&] {
            QStringList notes = window.notes();
            notes.removeIf([](const QString &note) { return note.startsWith("spike causes"); });
            for (const QString &note : held())
                notes.removeOne(note);
            return notes;
        };
        QCOMPARE(held().size(), refused);
        const QStringList notes = runNotes();
        QCOMPARE(notes.size(), saying.size());
        for (int i = 0; i < saying.size(); ++i)
            QVERIFY2(notes[i].contains(saying[i]), qPrintable(notes[i]));
        if (!saying.isEmpty() || refused > 0)
            QVERIFY(window.statusBar()->isVisible());
        QTRY_COMPARE(window.notes().filter("spike causes from").size(), 1);
        ui.stopButton->click();
        ui.startButton->click(); // said again in a new run, not twice
        QTRY_COMPARE(runNotes().size(), saying.size());
        QTRY_COMPARE(held().size(), refused);
        ui.stopButton->click();
    }

#ifdef Q_OS_LINUX
    // An "Idle" run and then a "Realtime" one on the real kernel: each Stop
    // puts the window's own thread back where it was, so no run is measured
    // at an earlier one's priority. Without the right to raise priority the
    // lower class goes to the measuring thread only, and the window says so.
    void everyStopPutsTheSchedulingBack()
    {
        const QString before = scheduling(0);
        const bool privileged = platform::os().schedulingLimits().privileged;
        Qt_Vantrel_App window;
        const Form ui(window);
        start(window, runOf(2, 1, platform::ProcessClass::Idle, platform::ThreadLevel::Normal));
        QTRY_VERIFY(ticks(window) >= 5);
        QCOMPARE(scheduling(workerTid()), QString("OTHER nice 13"));
        QCOMPARE(scheduling(0), privileged ? QString("OTHER nice 13") : before);
        QCOMPARE(window.notes().filter("given to the measuring thread only").size(),
                 privileged ? 0 : 1);
        ui.stopButton->click();
        QCOMPARE(scheduling(0), before);

        start(window, defaultRun(2, 1));
        QTRY_VERIFY(ticks(window) >= 5);
        const pid_t worker = workerTid();
        if (fifoPermitted()) {
            QCOMPARE(scheduling(worker), topFifo());
            QVERIFY(resetsOnFork(worker)); // its children start without it
        } else {
            QCOMPARE(scheduling(worker), before);
            QTRY_COMPARE(window.notes().filter("asks for SCHED_FIFO 99").size(), 1);
        }
        ui.stopButton->click();
        QCOMPARE(scheduling(0), before);
    }
#endif

    // The worked example, through the window: on the fake OS the periodic
    // clock's waits take the script's times, then hang, so the statistics
    // hold still at the example's: bins 9, 10 and 11 with 2, 95 and 2
    // intervals, bin 299 one of 52.1 ms, a first window averaging 0.0010.
    void reportShowsTheStatistics()
    {
        const std::int64_t ms = 1000000;        // counts at the fake's 1 GHz
        std::vector<std::int64_t> waits(10, 0); // the warm-up: no time at all
        waits.insert(waits.end(), 11, ms);      // the ticks the histogram leaves out
        waits.insert(waits.end(), 2, 9 * ms / 10);
        waits.insert(waits.end(), 95, ms);
        waits.insert(waits.end(), 2, 11 * ms / 10);
        waits.push_back(521 * ms / 10);
        FakeOs fake;
        fake.scriptWaits(waits);
        platform::install(&fake);
        Qt_Vantrel_App window;
        const Form ui(window);
        ui.actualRate->setText("the last run's");
        start(window, runOf(2, 1));
        QVERIFY(ui.actualRate->text().isEmpty()); // until the first refresh

        QTRY_COMPARE(ticks(window), quint64(111));
        ui.textEdit->moveCursor(QTextCursor::Start);
        refresh(window);
        QCOMPARE(ui.textEdit->toPlainText(),
                 QString("   Seconds     Count         %         \n"
                         "    0.0009         2    2.0000         \n"
                         "    0.0010        95   95.0000         \n"
                         "    0.0011         2    2.0000         \n"
                         "    0.0521         1    1.0000       max         \n"));
        QCOMPARE(ui.actualRate->text(), QString("    0.0010"));
        QVERIFY(ui.textEdit->textCursor().atEnd());

        // Stopped, the report stays as it was.
        fake.setWaitsHang(false);
        ui.stopButton->click();
        ui.actualRate->setText("kept");
        const QString last = ui.textEdit->toPlainText();
        refresh(window);
        QCOMPARE(ui.actualRate->text(), QString("kept"));
        QCOMPARE(ui.textEdit->toPlainText(), last);
    }

    // A table longer than the report area, at the default size: each row is
    // one line, " max" included, and the view follows the end only while it
    // is at the bottom; scrolled away, it keeps its place across refreshes.
    void reportKeepsTheReadersPlace()
    {
        const std::int64_t ms = 1000000;
        std::vector<std::int64_t> waits(10, 0);
        waits.insert(waits.end(), 11, ms);
        for (int k = 1; k <= 60; ++k) // 60 rows, 0.1 ms to 6 ms
            waits.push_back(k * ms / 10);
        waits.push_back(1016 * ms / 10); // the overflow row, " max" at its end
        FakeOs fake;
        fake.scriptWaits(waits);
        platform::install(&fake);
        Qt_Vantrel_App window;
        const Form ui(window);
        // Shown at its default size: the form's, or wider where the fonts ask
        // for more (627 px on a fresh machine).
        window.show();
        start(window, runOf(2, 1));
        QTRY_VERIFY(ui.textEdit->toPlainText().contains("max"));
        QScrollBar *bar = ui.textEdit->verticalScrollBar();
        QTRY_VERIFY2(bar->isVisible() && bar->maximum() > 0 && bar->value() == bar->maximum(),
                     qPrintable(QString("visible %1, at %2 of %3")
                                    .arg(bar->isVisible())
                                    .arg(bar->value())
                                    .arg(bar->maximum())));

        QTextDocument *document = ui.textEdit->document();
        QCOMPARE(document->blockCount(), 63); // header, 61 rows, the empty last line
        for (QTextBlock block = document->begin(); block.isValid(); block = block.next())
            QVERIFY2(block.layout()->lineCount() == 1, qPrintable(block.text()));

        int rewrites = 0;
        connect(ui.textEdit, &QTextEdit::textChanged, &window, [&] { ++rewrites; });
        bar->setValue(0); // up to the header
        QTRY_VERIFY(rewrites >= 8);
        QCOMPARE(bar->value(), 0);
        bar->setValue(bar->maximum() / 2);
        const int middle = bar->value();
        rewrites = 0;
        QTRY_VERIFY(rewrites >= 8);
        QCOMPARE(bar->value(), middle);
        fake.setWaitsHang(false);
        ui.stopButton->click();

        // A table that grows: followed from the bottom, not from elsewhere.
        RunStatistics grown = window.worker().statistics();
        for (int i = 100; i < 140; ++i)
            grown.bins[size_t(i)] = 1;
        for (const bool atBottom : {true, false}) {
            window.showReport(window.worker().statistics());
            const int before = atBottom ? bar->maximum() : 0;
            bar->setValue(before);
            window.showReport(grown);
            QVERIFY(bar->maximum() > before);
            QCOMPARE(bar->value(), atBottom ? bar->maximum() : 0);
        }
    }

    // Around the report, the form untouched: its context menu and the
    // window's shortcuts; the histogram view following the run; the run
    // saved as JSON, text and picture; the JSON back as the comparison with
    // the same bins; and files that are no run changing nothing.
    void picturesSaveAndCompareTheRun()
    {
        const std::int64_t ms = 1000000;
        std::vector<std::int64_t> waits(10, 0);
        waits.insert(waits.end(), 150, ms);
        waits.push_back(521 * ms / 10);
        FakeOs fake;
        fake.scriptWaits(waits);
        platform::install(&fake);
        Qt_Vantrel_App window;
        const Form ui(window);
        RunPictures &pictures = *named<RunPictures>(window, "runPictures");
        for (const auto &[action, keys] : {std::pair{pictures.showAction, "Ctrl+H"},
                                           {pictures.saveAction, "Ctrl+S"},
                                           {pictures.compareAction, "Ctrl+O"}}) {
            QVERIFY(window.actions().contains(action));
            QCOMPARE(action->shortcut().toString(), QString(keys));
        }
        window.show();
        emit ui.textEdit->customContextMenuRequested(QPoint(20, 20));
        auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        QVERIFY(menu);
        for (QAction *action : {pictures.showAction, pictures.saveAction, pictures.compareAction,
                                pictures.clearAction})
            QVERIFY(menu->actions().contains(action));
        menu->close();
        QVERIFY(!pictures.saveAction->isEnabled()); // no run yet

        start(window, runOf(2, 1));
        pictures.showAction->trigger();
        QVERIFY(pictures.view() && pictures.view()->isVisible());
        const auto shown = [&] { return pictures.view()->picture().runs(); };
        QTRY_COMPARE(shown().at(0).record.statistics.tickCount, quint64(151));
        QCOMPARE(shown().at(0).record.statistics.bins, window.worker().statistics().bins);
        fake.setWaitsHang(false);
        ui.stopButton->click();

        QTemporaryDir dir;
        QString error;
        for (const char *name : {"run.json", "run.txt", "run.png"})
            QVERIFY2(pictures.saveRun(dir.filePath(name), &error), qPrintable(error));
        QVERIFY(!pictures.saveRun(dir.filePath("run.doc"), &error));
        QVERIFY2(error.contains(".json, .txt, .png or .svg"), qPrintable(error));
        QFile text(dir.filePath("run.txt"));
        QVERIFY(text.open(QIODevice::ReadOnly));
        const QString report = QString::fromUtf8(text.readAll());
        window.showReport(window.worker().statistics()); // the window's text for the same figures
        QVERIFY2(report.contains("Actual Rate" + ui.actualRate->text() + "\n" +
                                 ui.textEdit->toPlainText()),
                 qPrintable(report));
        QCOMPARE(QImage(dir.filePath("run.png")).size(), pictures.view()->size());
        // Completed as vantrel-cli completes its record, and its summary in the text.
        QVERIFY2(report.contains("Deviation |interval - period| from 1 ms (at most, from the "
                                 "histogram's 0.1 ms bins, "),
                 qPrintable(report));
        QFile json(dir.filePath("run.json"));
        QVERIFY(json.open(QIODevice::ReadOnly));
        const QJsonObject saved = QJsonDocument::fromJson(json.readAll()).object();
        QCOMPARE(saved["deviation"]["source"].toString(), QString("histogram"));
        QCOMPARE(saved["deviation"]["periodSeconds"].toDouble(), 0.001);
        QCOMPARE(saved["longestInterval"].toDouble(), 0.0521);
        // The spikes as vantrel-cli writes and prints them.
        QVERIFY(saved["spikes"].toObject().contains("counts"));
        QVERIFY(saved["spikes"].toObject().contains("thresholdSeconds"));
        QVERIFY2(report.contains("\nWhy the long intervals came\n"), qPrintable(report));

        QVERIFY2(pictures.loadComparison(dir.filePath("run.json"), &error), qPrintable(error));
        QCOMPARE(pictures.comparison()->record.statistics.bins, window.worker().statistics().bins);
        QCOMPARE(pictures.comparison()->record.statistics.maxInterval, 0.0521);
        QCOMPARE(shown().size(), 2);
        QVERIFY(pictures.clearAction->isEnabled());

        const QList<QPair<QByteArray, QString>> notRuns = {
            {"{\"bins\": [", "not JSON"}, {R"({"name": "other"})", "not a Vantrel run"}};
        for (const auto &[content, saying] : notRuns) {
            QFile bad(dir.filePath("bad.json"));
            QVERIFY(bad.open(QIODevice::WriteOnly) && bad.write(content) == content.size());
            bad.close();
            QVERIFY(!pictures.loadComparison(bad.fileName(), &error));
            QVERIFY2(error.contains(saying), qPrintable(error));
            QCOMPARE(pictures.comparison()->name, QString("run.json"));
            QCOMPARE(shown().at(1).name, QString("run.json"));
        }
        pictures.clearAction->trigger();
        QCOMPARE(shown().size(), 1);
    }

    // A run that finds the port held says only that: the sentence about
    // priorities of the run before it goes, and none is said of its own.
    void portTakenIsSaidOnce()
    {
        FakeOs fake;
        platform::SchedulingLimits limits;
        limits.privileged = false;
        limits.realtimeCeiling = 0;
        fake.setSchedulingLimits(limits);
        platform::install(&fake);
        Qt_Vantrel_App window;
        const Form ui(window);
        start(window, defaultRun(1, 10));
        QTRY_COMPARE(window.notes().filter("asks for SCHED_FIFO 99").size(), 1);
        ui.stopButton->click();

        QUdpSocket holder;
        QVERIFY(holder.bind(RtThread::UdpPort));
        ui.startButton->click();
        QTRY_COMPARE(ui.textEdit->toPlainText(), StatsReport::portTakenMessage());
        QCOMPARE(window.worker().lastRunEnd.load(), int(RtThread::RunBindFailed));
        refresh(window);
        refresh(window);
        QCOMPARE(ui.textEdit->toPlainText(), StatsReport::portTakenMessage());
        QCOMPARE(window.notes(), QStringList());
        QVERIFY(window.statusBar()->isHidden());
        QVERIFY(inRunningState(window));
        ui.stopButton->click();
        QVERIFY(inIdleState(window));

        // With the port free again the next run measures.
        holder.close();
        ui.startButton->click();
        QTRY_COMPARE(ui.textEdit->toPlainText(), StatsReport::header());
        ui.stopButton->click();
    }

    // Each clock for real, at normal priorities, on a loose bound: the mean
    // of a 2 ms clock on a busy machine is late, not wrong by ten times.
    void realShortRun_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("periodMs");
        QTest::newRow("QTimer Event") << 0 << 2;
        QTest::newRow("Qt msleep") << 1 << 2;
        QTest::newRow("Win32 Periodic") << 2 << 2;
        QTest::newRow("Qt msleep, datagrams from loopback") << 1 << 0;
    }
    void realShortRun()
    {
        QFETCH(int, mode);
        QFETCH(int, periodMs);
        Qt_Vantrel_App window;
        const Form ui(window);
        std::optional<DatagramFeed> feed;
        if (periodMs == 0)
            feed.emplace(2);
        window.show();
        start(window, runOf(mode, periodMs));

        // Two windows of 100 ticks and a report with at least one row.
        QTRY_VERIFY_WITH_TIMEOUT(
            ticks(window) >= 200 && ui.textEdit->toPlainText().count('\n') >= 2, 15000);
        const double mean = ui.actualRate->text().toDouble();
        QVERIFY2(mean >= 0.0015 && mean <= 0.02, qPrintable(ui.actualRate->text()));
        QVERIFY(window.worker().statistics().counted() > 0);
        ui.stopButton->click();
        QCOMPARE(window.worker().lastRunEnd.load(), int(RtThread::RunStopped));
        QVERIFY(inIdleState(window));
    }

    // Closing the window mid-run stops the worker through its destructor,
    // frees the port and gives back the scheduling the run changed.
    void closingDuringARun_data()
    {
        QTest::addColumn<int>("mode");
        QTest::newRow("QTimer Event") << 0;
        QTest::newRow("Qt msleep") << 1;
        QTest::newRow("Win32 Periodic") << 2;
    }
    void closingDuringARun()
    {
        QFETCH(int, mode);
#ifdef Q_OS_LINUX
        const QString before = scheduling(0);
#endif
        auto window = std::make_unique<Qt_Vantrel_App>();
        window->show();
        start(*window, runOf(mode, 2, platform::ProcessClass::Idle));
        QTRY_VERIFY(ticks(*window) >= 20);

        QElapsedTimer clock;
        clock.start();
        window->close();
        window.reset();
        QVERIFY2(clock.elapsed() < 6000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(portIsFree());
#ifdef Q_OS_LINUX
        QCOMPARE(scheduling(0), before);
#endif
    }

#ifdef Q_OS_LINUX
    // With the window's defaults and the permission, the worker runs FIFO at
    // the top priority; Stop brings the GUI thread back to the scheduling it
    // had.
    void defaultsGiveTheWorkerTopFifo()
    {
        if (!fifoPermitted())
            QSKIP("no permission for SCHED_FIFO here (needs CAP_SYS_NICE or root)");
        const QString before = scheduling(0);
        Qt_Vantrel_App window;
        const Form ui(window);
        ui.startButton->click();
        QTRY_VERIFY(ticks(window) >= 5);

        const pid_t tid = workerTid();
        QVERIFY(tid > 0);
        QCOMPARE(scheduling(tid), topFifo());
        QVERIFY(scheduling(0).startsWith("FIFO")); // the GUI thread: Normal in Realtime

        ui.stopButton->click();
        QCOMPARE(scheduling(0), before);
    }
#endif
};

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
