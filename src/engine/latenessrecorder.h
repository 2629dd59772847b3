// SPDX-License-Identifier: MIT
// The timed clocks' lateness, tick by tick: each timer tick's wake-up minus
// its deadline, binned by 1 us, and the grid deadlines no tick came for.
// Fed the tick's stopwatch reading by the worker, its one writer; read as a
// LatenessStatistics from another thread. No thread of its own.
#pragma once

#include "latenessstatistics.h"
#include "singlewriter.h"

#include <QtGlobal>

#include <algorithm>
#include <atomic>
#include <limits>

class LatenessRecorder
{
public:
    LatenessRecorder() { reset(); }
    LatenessRecorder(const LatenessRecorder &) = delete;
    LatenessRecorder &operator=(const LatenessRecorder &) = delete;

    // Every figure zero, and no deadlines until a start below.
    void reset();
    // A periodic timer armed at stopwatch reading origin: its deadlines lie
    // on origin + k x period. The reading is taken before the timer is
    // armed, so the grid is never later than the timer's own.
    void startGrid(double origin, int periodMs);
    // A clock that waits one period from each tick: the deadline is the
    // previous timer tick plus the period; the first tick has none.
    void startAfterTicks(int periodMs);

    // A timer tick at stopwatch reading now; counted: whether the
    // histogram counted it, so that both leave out the same start-up.
    // Returns the tick's lateness in ns, NoLateness for a tick without a
    // deadline.
    static constexpr qint64 NoLateness = std::numeric_limits<qint64>::min();
    inline qint64 countWakeUp(double now, bool counted);

    LatenessStatistics statistics() const;

private:
    static qint64 toNs(double seconds) { return qint64(seconds * 1e9 + 0.5); }
    void countLateness(qint64 lateNs);
    void firstGridTick(qint64 nowNs);

    // The writer's own: which deadlines, the period, and where the grid
    // stands: the deadline the latest tick took, the next one due, and
    // deadlines passed over that a catching-up tick may still take.
    int deadlines = LatenessStatistics::NoDeadlines;
    qint64 periodNs = 0;
    qint64 originNs = 0;
    qint64 takenNs = 0;
    qint64 nextNs = -1; // -1: no tick on the grid yet
    qint64 passedOver = 0;
    qint64 previousNs = -1; // the previous timer tick, for deadlines after ticks

    std::atomic<int> published{LatenessStatistics::NoDeadlines};
    std::atomic<quint64> histogram[LatenessStatistics::Bins];
    std::atomic<quint64> overruns{0};
    // Start beyond every lateness, so that the first sets both; no count
    // of its own: the bins' sum is the count.
    std::atomic<qint64> minNs{std::numeric_limits<qint64>::max()};
    std::atomic<qint64> maxNs{std::numeric_limits<qint64>::min()};
    std::atomic<qint64> sumNs{0};
};

// The grid: a tick takes the next deadline and its lateness is measured
// from it, however late; deadlines that also passed before the tick are
// overruns, and the next deadline is the first still ahead. A tick that
// comes before that next deadline while deadlines were passed over is a
// timer catching up (one that returns once per deadline, late ones at
// once): it takes the earliest passed over, which is then no overrun.
Q_ALWAYS_INLINE qint64 LatenessRecorder::countWakeUp(double now, bool counted)
{
    if (deadlines == LatenessStatistics::NoDeadlines)
        return NoLateness;
    const qint64 nowNs = toNs(now);
    qint64 lateNs;
    if (deadlines == LatenessStatistics::GridDeadlines) {
        if (Q_UNLIKELY(nextNs < 0))
            firstGridTick(nowNs);
        if (Q_UNLIKELY(nowNs < nextNs && passedOver > 0)) {
            takenNs += periodNs;
            --passedOver;
            if (counted && loadRelaxed(overruns) > 0)
                put(overruns, loadRelaxed(overruns) - 1);
        } else {
            takenNs = nextNs;
            passedOver = 0;
        }
        lateNs = nowNs - takenNs;
        nextNs = std::max(nextNs, takenNs + periodNs);
        if (Q_UNLIKELY(nowNs >= nextNs)) {
            const qint64 missed = (nowNs - nextNs) / periodNs + 1;
            nextNs += missed * periodNs;
            passedOver = missed;
            if (counted)
                bump(overruns, quint64(missed));
        }
    } else {
        const qint64 previous = previousNs;
        previousNs = nowNs;
        if (Q_UNLIKELY(previous < 0))
            return NoLateness;
        lateNs = nowNs - (previous + periodNs);
    }
    if (counted)
        countLateness(lateNs);
    return lateNs;
}

Q_ALWAYS_INLINE void LatenessRecorder::countLateness(qint64 lateNs)
{
    // Whole us from the first bin's floor, so that early ticks round down
    // as late ones do; one unsigned compare tells both ends apart.
    constexpr qint64 span = qint64(LatenessStatistics::OverflowBin) * 1000;
    const qint64 fromFloor = lateNs + qint64(LatenessStatistics::ZeroBin) * 1000;
    const int bin = Q_LIKELY(quint64(fromFloor) < quint64(span))
        ? int(fromFloor / 1000)
        : (fromFloor < 0 ? 0 : LatenessStatistics::OverflowBin);
    bump(histogram[bin]);
    if (Q_UNLIKELY(lateNs < loadRelaxed(minNs)))
        put(minNs, lateNs);
    if (Q_UNLIKELY(lateNs > loadRelaxed(maxNs)))
        put(maxNs, lateNs);
    put(sumNs, loadRelaxed(sumNs) + lateNs);
}
