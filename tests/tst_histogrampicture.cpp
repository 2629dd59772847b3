// SPDX-License-Identifier: MIT
// The picture painted from known statistics: bars where the bins are, on a
// log scale from a count of 1 to 10^9, two runs side by side, nothing but
// axes for an empty run, and the labels a reader needs (read back from the
// SVG, which keeps text as text).
#include "histogrampicture.h"

#include <QBuffer>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QTest>

namespace {

const QSize Size(HistogramPicture::FileWidth, HistogramPicture::FileHeight);

// A run of these bins; with no period by default, so that no period mark
// crosses the bars.
RunRecord runOf(const QList<QPair<int, quint64>> &bins, double longest = 0.0, int periodMs = 0)
{
    RunRecord record;
    record.settings.clockMode = MsleepMode;
    record.settings.periodMs = periodMs;
    for (const auto &[bin, count] : bins)
        record.statistics.bins[size_t(bin)] = count;
    record.statistics.maxInterval = longest;
    record.statistics.tickCount = record.statistics.counted() + 11;
    return record;
}

QImage paint(const QList<PictureRun> &runs, QSize size = Size)
{
    QImage image(size, QImage::Format_RGB32);
    QPainter painter(&image);
    HistogramPicture(runs).paint(painter, image.rect(), QGuiApplication::palette());
    return image;
}

QString svgOf(const QList<PictureRun> &runs)
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    QString error;
    if (!HistogramPicture(runs).write(&buffer, "svg", QGuiApplication::palette(), &error))
        return "failed: " + error;
    return QString::fromUtf8(buffer.data());
}

// A bar: the columns a run's colour fills without a break, and the
// highest pixel row it reaches.
struct Bar
{
    int left, right, top;
    int centre() const { return (left + right) / 2; }
};

// The interval axis: the row with the most pixels in the text's colour.
int axisRow(const QImage &image)
{
    const QColor text = QGuiApplication::palette().color(QPalette::Text);
    int best = 0;
    int most = 0;
    for (int y = 0; y < image.height(); ++y) {
        int n = 0;
        for (int x = 0; x < image.width(); ++x)
            n += image.pixel(x, y) == text.rgb();
        if (n > most) {
            most = n;
            best = y;
        }
    }
    return best;
}

// The bars of one colour standing on the axis, left to right, each as high
// as its colour goes up without a break from the axis. A column whose foot
// is another colour is no bar.
QList<Bar> barsOf(const QImage &image, const QColor &colour)
{
    QList<Bar> bars;
    const int foot = axisRow(image) - 1;
    for (int x = 0; x < image.width(); ++x) {
        int top = foot + 1;
        while (top > 0 && image.pixel(x, top - 1) == colour.rgb())
            --top;
        if (top > foot)
            continue;
        if (!bars.isEmpty() && bars.last().right == x - 1 && bars.last().top == top)
            bars.last().right = x;
        else
            bars << Bar{x, x, top};
    }
    return bars;
}

QColor colourOf(int run)
{
    return HistogramPicture::runColour(QGuiApplication::palette(), run).rgb();
}

} // namespace

class TestHistogramPicture : public QObject
{
    Q_OBJECT

private slots:
    // Bins 10 and 20 on the interval axis, the overflow bar apart at the
    // right; a count of 1 still a bar, lower than 1000's; the period of
    // 3 ms dashed as far right of bin 20 as bin 20 is of bin 10.
    void barsStandWhereTheirBinsAre()
    {
        const QImage image = paint({{"", runOf({{10, 1000}, {20, 1}, {299, 5}}, 0.0521, 3)}});
        const QList<Bar> bars = barsOf(image, colourOf(0));
        QCOMPARE(bars.size(), 3);
        QVERIFY(bars[0].centre() < bars[1].centre());
        // Bin 20 is twice as far from 0 ms as bin 10: the axis starts at
        // the legend's width, so compare the step between them.
        const int binStep = (bars[1].centre() - bars[0].centre()) / 10;
        QVERIFY2(binStep > 10, qPrintable(QString::number(binStep)));
        QVERIFY(bars[2].left > image.width() * 9 / 10);
        QVERIFY(bars[0].top < bars[1].top);
        QVERIFY2(axisRow(image) - bars[1].top >= 10, "a count of 1 is a bar to see");
        QVERIFY(bars[2].top < bars[1].top && bars[2].top > bars[0].top);

        const QColor text = QGuiApplication::palette().color(QPalette::Text);
        const int periodX = 2 * bars[1].centre() - bars[0].centre();
        const int axis = axisRow(image);
        int dashed = 0;
        for (int y = bars[0].top; y < axis; ++y) {
            bool near = false;
            for (int x = periodX - 2; x <= periodX + 2; ++x)
                near = near || image.pixel(x, y) == text.rgb();
            dashed += near;
        }
        const int height = axis - bars[0].top;
        QVERIFY2(dashed > height / 4 && dashed < height, qPrintable(QString::number(dashed)));
    }

    // Counts of 1, 10^3, 10^6 and 10^9: tops evenly spaced, each three
    // decades above the last, and 10^9 within the picture.
    void countsOnALogScale()
    {
        const QImage image =
            paint({{"", runOf({{5, 1}, {10, 1000}, {15, 1000000}, {20, 1000000000}}, 0.0, 0)}});
        const QList<Bar> bars = barsOf(image, colourOf(0));
        QCOMPARE(bars.size(), 4);
        const int threeDecades = bars[0].top - bars[1].top;
        QVERIFY(threeDecades > 20);
        QVERIFY(qAbs(bars[1].top - bars[2].top - threeDecades) <= 2);
        QVERIFY(qAbs(bars[2].top - bars[3].top - threeDecades) <= 2);
        QVERIFY(bars[3].top > 0);
    }

    // The same bins of two runs: the first run's half left of the second's,
    // each as high as its share of its own run's intervals.
    void twoRunsStandSideBySide()
    {
        const QImage image = paint(
            {{"before", runOf({{10, 500}, {12, 4}})}, {"after", runOf({{10, 900}, {11, 900}})}});
        const QList<Bar> first = barsOf(image, colourOf(0));
        const QList<Bar> second = barsOf(image, colourOf(1));
        QCOMPARE(first.size(), 2);
        QCOMPARE(second.size(), 2);
        QVERIFY(first[0].right < second[0].left);
        QVERIFY(second[0].right < second[1].left && second[1].right < first[1].left);
        QVERIFY(first[0].top < second[0].top); // 500 of 504 over 900 of 1800
    }

    // No interval counted: the axes and their labels, no bar.
    void emptyRunDrawsAxesOnly()
    {
        const QList<PictureRun> runs{{"", RunRecord()}};
        const QImage image = paint(runs);
        // The run's colour is in the legend's swatch, at the left edge, and
        // nowhere else.
        int coloured = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = image.width() / 20; x < image.width(); ++x)
                coloured += image.pixel(x, y) == colourOf(0).rgb();
        }
        QCOMPARE(coloured, 0);
        const QColor text = QGuiApplication::palette().color(QPalette::Text);
        int axisPixels = 0;
        for (int x = 0; x < image.width(); ++x)
            axisPixels += image.pixel(x, image.height() / 2) == text.rgb();
        QVERIFY(axisPixels >= 1);
        const QString svg = svgOf(runs);
        for (const char *label : {"intervals (log)", "interval between ticks (ms)", "0 intervals"})
            QVERIFY2(svg.contains(label), label);
        QVERIFY(!svg.contains("longest"));
        QVERIFY(!svg.contains("% of each run")); // one run: counts
    }

    // The words a reader needs: the period, the overflow bar's longest
    // interval for each run, the legend, and the timeline's axes.
    void labelsSayWhatTheBarsAre()
    {
        RunRecord first = runOf({{10, 900}, {299, 2}}, 0.0521, 1);
        first.timeline.used = 2;
        first.timeline.lastTick = 1.5;
        first.timeline.slot[0] = {600, 0.0012};
        first.timeline.slot[1] = {300, 0.0521};
        first.granted = {"SCHED_FIFO", 99, 0};
        const RunRecord second = runOf({{11, 800}, {299, 1}}, 3.25, 2);
        const QString svg = svgOf({{"fifo.json", first}, {"other.json", second}});
        for (const char *label :
             {"longest 52.1 ms", "longest 3.25 s", "period 1 ms", "period 2 ms",
              "fifo.json: \"Qt msleep\" every 1 ms, Realtime / Time Critical (SCHED_FIFO 99): "
              "902 intervals, longest 52.1 ms",
              "other.json: \"Qt msleep\" every 2 ms", "time in run (s)", "ticks", "\u226529.85",
              "% of each run's intervals (log)", "0.1%", "100%"})
            QVERIFY2(svg.contains(QString::fromUtf8(label).toHtmlEscaped()), label);
    }

    // From a thumbnail to a poster, the bars are drawn; and a saved run whose
    // timeline is too long for a number still paints, and ends. A timed
    // run's lateness takes the picture's foot, its four bars there (4, 7
    // and 150 us, 10 ms or more), beside a saved run that has none; a
    // thumbnail leaves it out.
    void paintsAtAnySize_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<double>("slotSeconds");
        QTest::addColumn<bool>("lateness");
        QTest::newRow("small") << QSize(320, 220) << 1.0 << false;
        QTest::newRow("large") << QSize(2400, 1600) << 1.0 << false;
        QTest::newRow("timeline beyond any number") << Size << 1e308 << false;
        QTest::newRow("lateness left out of a thumbnail") << QSize(320, 220) << 1.0 << true;
        QTest::newRow("lateness at the foot") << Size << 1.0 << true;
        QTest::newRow("lateness at the foot, large") << QSize(2400, 1600) << 1.0 << true;
    }
    void paintsAtAnySize()
    {
        QFETCH(QSize, size);
        QFETCH(double, slotSeconds);
        QFETCH(bool, lateness);
        RunRecord record = runOf({{10, 1000}, {20, 1}, {299, 5}}, 0.0521);
        if (lateness) {
            LatenessStatistics &late = record.lateness;
            late.deadlines = LatenessStatistics::TickDeadlines;
            late.bins[LatenessStatistics::ZeroBin + 4] = 1000;
            late.bins[LatenessStatistics::ZeroBin + 7] = 10;
            late.bins[LatenessStatistics::ZeroBin + 150] = 1;
            late.bins[LatenessStatistics::OverflowBin] = 2;
            late.wakeUps = 1013;
            late.overruns = 3;
            late.minLateness = 4.2e-6;
            late.maxLateness = 0.0123;
        }
        if (slotSeconds == 1.0 && (!lateness || size.height() < 300)) {
            QCOMPARE(barsOf(paint({{"", record}}, size), colourOf(0)).size(), 3);
            if (!lateness)
                QVERIFY(!svgOf({{"", record}}).contains("Lateness"));
            return;
        }
        if (lateness) {
            const QList<PictureRun> runs{{"this run", record}, {"older.json", runOf({{10, 9}})}};
            const QString svg = svgOf(runs);
            QVERIFY(svg.contains("Lateness of the timer's wake-ups after their deadline"));
            QVERIFY(svg.contains("this run: p50 4 us, p99 7 us, max 12300.0 us, overruns 3"));
            QVERIFY(!svg.contains("older.json: p50"));
            QVERIFY(svg.contains("interval between ticks (ms)")); // the histogram still there
            // The panel's bars: stretches of columns in the run's colour at
            // the picture's foot, under its line of figures.
            const QImage image = paint(runs, size);
            int stretches = 0;
            bool inStretch = false;
            for (int x = 0; x < image.width(); ++x) {
                bool coloured = false;
                for (int y = image.height() * 4 / 5; y < image.height() && !coloured; ++y)
                    coloured = image.pixel(x, y) == colourOf(0).rgb();
                stretches += coloured && !inStretch;
                inStretch = coloured;
            }
            QCOMPARE(stretches, 4);
            return;
        }
        record.timeline.used = 3;
        record.timeline.slotSeconds = slotSeconds;
        record.timeline.lastTick = 2.5 * slotSeconds;
        record.timeline.slot[0] = {1000, 0.0012};
        // The time axis is the last thing painted: its caption says it ended.
        QVERIFY(svgOf({{"", record}}).contains("time in run"));
    }
};

QTEST_MAIN(TestHistogramPicture)
#include "tst_histogrampicture.moc"
