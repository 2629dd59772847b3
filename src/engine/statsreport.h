// SPDX-License-Identifier: MIT
// The text of a run's report: the mean interval, and the histogram table with
// a row per non-empty bin. Every value is right-aligned in 10 characters, so
// the table reads as columns in a fixed-pitch font. The window shows it; any
// other program that reports a run prints the same text.
#pragma once

#include "latenessstatistics.h"
#include "runstatistics.h"

#include <QString>

struct DeviationSummary;

class StatsReport
{
public:
    // "    0.0010": the mean interval in seconds, 4 decimals, no line end.
    static QString meanInterval(double seconds);

    // The header line alone, and one row of the table; bin 299's row ends in
    // " max". A total of 0 counts as 1.
    static QString header();
    static QString row(int bin, double label, quint64 count, quint64 total);

    // The header and a row per non-empty bin, each labelled as
    // RunStatistics::label says; the percentages are of the bins' total.
    static QString histogramTable(const RunStatistics &statistics);

    // The report as vantrel-cli prints it: "After 5.0 s, 5012 ticks", a line
    // with the mean interval after "Actual Rate", then the table.
    static QString runReport(double elapsedSeconds, const RunStatistics &statistics);

    // The report at the end of a run, as vantrel-cli prints it and the
    // window saves it: the report, the deviation's lines, an empty line,
    // and the receive stamps' summary; then, for a timed clock, the
    // lateness section.
    static QString finalReport(double elapsedSeconds, const RunStatistics &statistics,
                               const DeviationSummary &deviation,
                               const LatenessStatistics *lateness = nullptr);

    // The timed clocks' lateness after their deadlines: the wake-ups, min,
    // mean and max, p50 to p99.9 from the 1 us bins, and the overruns.
    // Empty for a clock without deadlines.
    static QString latenessSection(const LatenessStatistics &lateness);
    // The same in one line, for a report printed during the run.
    static QString latenessLine(const LatenessStatistics &lateness);
    // A lateness in us: whole for a bin's floor, to 0.1 us otherwise; "10 ms
    // or more" for the overflow bin's floor.
    static QString latenessMicros(double seconds);

    // A few lines on the kernel's receive stamps, for after the table:
    // arrival intervals and the receiver's lateness; or
    // one line saying why there are none. Empty when no datagram arrived.
    static QString receiveTimingSummary(const ReceiveTiming &timing);

    // What the window says when the worker could not bind its port.
    static QString portTakenMessage();

    // What a flooded run says once, beside its report: the rate, and how
    // many datagrams the OS dropped. Ticks in a flood time the worker's
    // draining, not the sender. Empty for a run that was not flooded.
    static QString floodMessage(const RunStatistics &statistics);
};
