// SPDX-License-Identifier: MIT
// What the window offers around its report without changing its form: from
// the report's context menu and by shortcut, the live histogram picture, the
// run saved as the JSON vantrel-cli writes, as the report's text or as the
// picture, and a saved run loaded to be drawn beside the live one.
#pragma once

#include "histogramview.h"
#include "runrecord.h"
#include "spikelist.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>

#include <optional>

QT_BEGIN_NAMESPACE
class QAction;
class QMainWindow;
class QTextEdit;
QT_END_NAMESPACE
class RtThread;

class RunPictures : public QObject
{
    Q_OBJECT

public:
    // Adds the actions to window (their shortcuts work anywhere in it) and
    // to report's context menu.
    RunPictures(QMainWindow *window, QTextEdit *report, RtThread &worker);

    // The window's hooks: Start with these settings, and Stop.
    void runStarted(const RunSettings &settings);
    // What the run's start was granted of the memory lock and the power
    // states, for the saved run's conditions.
    void runHeld(const platform::Outcome &memory, const platform::Outcome &power);
    // More entries for the report's context menu, after the picture's.
    void addMenuEntries(const QList<QAction *> &entries) { moreEntries << entries; }
    void runStopped();

    // The run as it stands: the settings it started with, the worker's
    // statistics and timeline, and once it has ended what the worker's
    // thread was granted.
    RunRecord record() const;

    // The view, shown and raised, with the run and any saved one beside it.
    HistogramView *showView();
    HistogramView *view() const { return shownView; }

    // Writes the run by the file name's ending: .json as vantrel-cli's
    // --json, .txt as its printed report, .png or .svg the picture as the
    // view shows it. False, and why in *error, when it cannot.
    bool saveRun(const QString &path, QString *error) const;

    // Loads a saved run to draw beside the live one; a file that is not one
    // changes nothing and says why in *error.
    bool loadComparison(const QString &path, QString *error);
    void clearComparison();
    const std::optional<PictureRun> &comparison() const { return compared; }

    QAction *showAction;
    QAction *saveAction;
    QAction *compareAction;
    QAction *clearAction;
    QAction *spikesAction;

    // The spike list, shown and raised, following the run.
    SpikeList *showSpikes();

    // With the report's refresh: the view, if open, draws the run anew,
    // with these statistics when the report has just read them.
    void refresh(const RunStatistics *statistics = nullptr);

    // The same, with these figures instead of the worker's.
    void refreshWith(const RunStatistics &statistics, const RunTimeline &timeline);

private slots:
    void showMenu(const QPoint &position);
    void saveWithDialog();
    void compareWithDialog();

private:
    RunRecord recordOf(const RunStatistics &statistics, const RunTimeline &timeline) const;
    QList<PictureRun> runsFor(RunRecord live) const;

    QMainWindow *window;
    QTextEdit *report;
    RtThread &worker;
    QPointer<HistogramView> shownView;
    QPointer<SpikeList> shownSpikes;
    std::optional<PictureRun> compared;
    RunSettings settings;
    platform::Outcome memoryHeld;
    platform::Outcome powerHeld;
    QList<QAction *> moreEntries;
    QElapsedTimer sinceStart;  // invalid until the first Start
    double stoppedAfter = 0.0; // seconds from Start to Stop, once stopped
    bool running = false;
    QString folder; // where the file dialogs open
};
