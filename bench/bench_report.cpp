// SPDX-License-Identifier: MIT
// The cost of one report refresh with all 300 bins filled: the window's
// refresh (the table inserted once) beside the same text inserted a row at a
// time, 301 insertions, and beside the window's refresh with the histogram
// view open (its picture drawn anew, a full timeline under it), measured in
// turn in one run. Offscreen unless a platform is given.
#include "qt_vantrel_app.h"
#include "runpictures.h"
#include "statsreport.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QTextEdit>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

// Every bin filled, as a long run with a wide spread leaves them.
RunStatistics fullStatistics()
{
    RunStatistics statistics;
    for (int i = 0; i < RunStatistics::Bins; ++i)
        statistics.bins[size_t(i)] = quint64(1000 + i);
    statistics.maxInterval = 0.0523;
    statistics.meanInterval = 0.001;
    return statistics;
}

// Every slot of the timeline used, each with its own longest interval.
RunTimeline fullTimeline()
{
    RunTimeline timeline;
    timeline.used = RunTimeline::Slots;
    timeline.slotSeconds = 2.0;
    for (int i = 0; i < RunTimeline::Slots; ++i)
        timeline.slot[size_t(i)] = {quint64(1900 + i % 100), 0.001 + 0.0001 * (i % 37)};
    timeline.lastTick = RunTimeline::Slots * 2.0 - 1.0;
    return timeline;
}

// The report as a row at a time would draw it.
void refreshRowByRow(Qt_Vantrel_App &window)
{
    const RunStatistics statistics = fullStatistics();
    window.findChild<QLineEdit *>("actualRate")
        ->setText(StatsReport::meanInterval(statistics.meanInterval));
    QTextEdit *text = window.findChild<QTextEdit *>("textEdit");
    text->clear();
    text->insertPlainText(StatsReport::header());
    const quint64 total = statistics.counted();
    for (int i = 0; i < RunStatistics::Bins; ++i)
        text->insertPlainText(
            StatsReport::row(i, statistics.label(i), statistics.bins[size_t(i)], total));
    text->moveCursor(QTextCursor::End, QTextCursor::MoveAnchor);
}

// The window's own refresh: one snapshot, the table inserted once.
void refreshOnce(Qt_Vantrel_App &window)
{
    window.showReport(fullStatistics());
}

// The same, and the histogram view's refresh after it from the same
// snapshot, as runDisplay does; the view paints in the events that follow.
void refreshWithPicture(Qt_Vantrel_App &window)
{
    const RunStatistics statistics = fullStatistics();
    window.showReport(statistics);
    window.findChild<RunPictures *>("runPictures")->refreshWith(statistics, fullTimeline());
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
    refreshRowByRow(window);
    const QString byRows = window.findChild<QTextEdit *>("textEdit")->toPlainText();
    const int byRowsCursor = window.findChild<QTextEdit *>("textEdit")->textCursor().position();
    refreshOnce(window);
    const bool identical = window.findChild<QTextEdit *>("textEdit")->toPlainText() == byRows &&
        window.findChild<QTextEdit *>("textEdit")->textCursor().position() == byRowsCursor;

    // The view stays open throughout; only refreshWithPicture redraws it,
    // as it would be with the view closed otherwise.
    window.findChild<RunPictures *>("runPictures")->showView();
    QCoreApplication::processEvents();
    Timing rows, once, picture;
    for (int i = 0; i < 5; ++i) {
        refreshRowByRow(window);
        refreshOnce(window);
        refreshWithPicture(window);
        QCoreApplication::processEvents();
    }
    for (int i = 0; i < rounds; ++i) {
        measure(window, refreshRowByRow, rows);
        measure(window, refreshOnce, once);
        measure(window, refreshWithPicture, picture);
    }

    std::printf("report refresh, 300 bins filled, %d rounds, medians in ms\n", rounds);
    std::printf("%-34s %10s %18s\n", "", "refresh", "refresh + events");
    std::printf("%-34s %10.2f %18.2f\n", "row at a time (301 insertions)", median(rows.call),
                median(rows.withEvents));
    std::printf("%-34s %10.2f %18.2f\n", "window: one insertion", median(once.call),
                median(once.withEvents));
    std::printf("%-34s %10.2f %18.2f   (goal: at most 0.50)\n", "ratio",
                median(once.call) / median(rows.call),
                median(once.withEvents) / median(rows.withEvents));
    std::printf("%-34s %10.2f %18.2f\n", "window, histogram view open", median(picture.call),
                median(picture.withEvents));
    std::printf("%-34s %10.2f %18.2f   (goal: at most 2.00)\n", "ratio, view open to closed",
                median(picture.call) / median(once.call),
                median(picture.withEvents) / median(once.withEvents));
    std::printf("view: %d x %d pixels\n",
                window.findChild<RunPictures *>("runPictures")->view()->width(),
                window.findChild<RunPictures *>("runPictures")->view()->height());
    std::printf("same text and cursor: %s\n", identical ? "yes" : "NO");
    return identical ? 0 : 1;
}
