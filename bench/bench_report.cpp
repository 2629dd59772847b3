// The cost of one report refresh with all 300 bins filled: the window's
// refresh (the table inserted once) beside the same text inserted a row at a
// time, 301 insertions, measured alternately in one run. Offscreen unless a
// platform is given.
#include "app/qt_vantrel_app.h"
#include "engine/statsreport.h"
#include "ui_qt_vantrel_app.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QSpinBox>
#include <QTextEdit>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

// The report as a row at a time would draw it.
void refreshRowByRow(Qt_Vantrel_App &window)
{
    const RtThread &worker = window.rtThread;
    window.ui->actualRate->setText(StatsReport::meanInterval(worker.averagePeriod));
    QTextEdit *text = window.ui->textEdit;
    text->clear();
    text->insertPlainText(StatsReport::header());
    quint64 total = 0;
    for (const auto &bin : worker.histogram)
        total += bin;
    for (int i = 0; i < RtThread::HistogramBins; ++i) {
        const double label = i == RtThread::OverflowBin ? worker.maxInterval.load() : i * 0.0001;
        text->insertPlainText(StatsReport::row(i, label, worker.histogram[i], total));
    }
    text->moveCursor(QTextCursor::End, QTextCursor::MoveAnchor);
}

void refreshOnce(Qt_Vantrel_App &window)
{
    QMetaObject::invokeMethod(&window, "runDisplay", Qt::DirectConnection);
}

struct Timing
{
    std::vector<double> call;       // the refresh alone
    std::vector<double> withEvents; // and the layout and painting that follow it
};

void measure(Qt_Vantrel_App &window, void (*refresh)(Qt_Vantrel_App &), Timing &timing)
{
    QElapsedTimer clock;
    clock.start();
    refresh(window);
    const double call = clock.nsecsElapsed() / 1e6;
    QCoreApplication::processEvents();
    timing.call.push_back(call);
    timing.withEvents.push_back(clock.nsecsElapsed() / 1e6);
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100;

    Qt_Vantrel_App window;
    window.show();
    // A receive-driven worker that no datagram reaches: it runs, so the
    // window refreshes, and it keeps the statistics written here.
    window.ui->clockMode->setCurrentIndex(RtThread::MsleepMode);
    window.ui->clockRate->setValue(0);
    window.ui->threadLevel->setCurrentIndex(QThread::NormalPriority);
    window.ui->processLevel->setCurrentIndex(1);
    window.ui->startButton->click();
    QElapsedTimer wait;
    wait.start();
    while (!window.rtThread.isRunning() && wait.elapsed() < 2000)
        QCoreApplication::processEvents();
    window.displayTimer.stop();
    if (!window.rtThread.isRunning()) {
        std::fprintf(stderr, "bench_report: the worker did not start (port %d taken?)\n",
                     RtThread::UdpPort);
        return 1;
    }
    for (int i = 0; i < RtThread::HistogramBins; ++i)
        window.rtThread.histogram[i] = quint64(1000 + i);
    window.rtThread.maxInterval = 0.0523;
    window.rtThread.averagePeriod = 0.001;

    refreshRowByRow(window);
    const QString byRows = window.ui->textEdit->toPlainText();
    const int byRowsCursor = window.ui->textEdit->textCursor().position();
    refreshOnce(window);
    const bool identical = window.ui->textEdit->toPlainText() == byRows &&
        window.ui->textEdit->textCursor().position() == byRowsCursor;

    Timing rows, once;
    for (int i = 0; i < 5; ++i) {
        refreshRowByRow(window);
        refreshOnce(window);
    }
    for (int i = 0; i < rounds; ++i) {
        measure(window, refreshRowByRow, rows);
        measure(window, refreshOnce, once);
    }
    window.ui->stopButton->click();

    std::printf("report refresh, 300 bins filled, %d rounds, medians in ms\n", rounds);
    std::printf("%-34s %10s %18s\n", "", "refresh", "refresh + events");
    std::printf("%-34s %10.2f %18.2f\n", "row at a time (301 insertions)", median(rows.call),
                median(rows.withEvents));
    std::printf("%-34s %10.2f %18.2f\n", "window: one insertion", median(once.call),
                median(once.withEvents));
    std::printf("%-34s %10.2f %18.2f   (goal: at most 0.50)\n", "ratio",
                median(once.call) / median(rows.call),
                median(once.withEvents) / median(rows.withEvents));
    std::printf("same text and cursor: %s\n", identical ? "yes" : "NO");
    return identical ? 0 : 1;
}
