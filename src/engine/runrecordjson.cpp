// SPDX-License-Identifier: MIT
// The reading side of RunRecord's JSON: a saved run comes back with the same
// bins, or not at all.
#include "runrecord.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>

#include <array>
#include <cmath>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// JSON numbers are doubles: a count is whole, not negative, and no larger
// than a double holds exactly (2^53).
const double LargestWhole = 9007199254740992.0;

// The longest a run can last: the timeline's slots start at 1 s and double
// at every merge; at 2^21 s a slot its 512 slots hold 2^30 s, some 34 years,
// beyond --duration's limit of 1e9 s. Any length in a saved run beyond that
// is not one the program wrote.
const double LongestSlot = 2097152.0; // 2^21 s
const double LongestRun = LongestSlot * RunTimeline::Slots;

// A run's clock may tick on after the stop request that ends its measured
// time, while the worker stops (5 s at most before it is terminated).
const double StopSlack = 10.0;

// Reads the fields of one JSON object; the first that fails keeps its reason
// and makes every later read fail too, so a reader checks once at the end.
class Fields
{
public:
    Fields(const QJsonObject &object, QString where, QString *error)
        : object(object), where(std::move(where)), error(error)
    {
    }

    bool ok() const { return error->isEmpty(); }

    bool fail(const QString &why)
    {
        if (ok())
            *error = why;
        return false;
    }

    bool has(const char *name) const { return object.contains(QLatin1String(name)); }

    // A whole number in [low, high]; absent is a failure unless optional.
    bool whole(const char *name, double low, double high, double *out, bool optional = false)
    {
        if (!ok())
            return false;
        if (!has(name))
            return optional || fail(missing(name));
        const QJsonValue value = object.value(QLatin1String(name));
        const double number = value.toDouble(std::nan(""));
        if (!value.isDouble() || number != std::floor(number) || number < low || number > high)
            return fail(QString("%1 is not a whole number from %2 to %3")
                            .arg(quoted(name))
                            .arg(low, 0, 'f', 0)
                            .arg(high, 0, 'f', 0));
        *out = number;
        return true;
    }

    // Seconds: a finite number from 0 to the longest a run can last.
    bool seconds(const char *name, double *out, bool optional = false)
    {
        if (!ok())
            return false;
        if (!has(name))
            return optional || fail(missing(name));
        const QJsonValue value = object.value(QLatin1String(name));
        const double number = value.toDouble(-1.0);
        if (!value.isDouble() || !std::isfinite(number) || number < 0)
            return fail(QString("%1 is not a number of seconds, 0 or more").arg(quoted(name)));
        if (number > LongestRun)
            return fail(QString("%1 is %2 s, longer than a run can last (%3 s)")
                            .arg(quoted(name))
                            .arg(number, 0, 'g', 6)
                            .arg(LongestRun, 0, 'f', 0));
        *out = number;
        return true;
    }

    // One of the given names; absent keeps the default.
    bool choice(const char *name, const QStringList &names, int *out)
    {
        if (!ok() || !has(name))
            return ok();
        const int index = names.indexOf(object.value(QLatin1String(name)).toString());
        if (index < 0)
            return fail(QString("%1 is none of \"%2\"").arg(quoted(name), names.join("\", \"")));
        *out = index;
        return true;
    }

    QString text(const char *name) const { return object.value(QLatin1String(name)).toString(); }
    QJsonValue value(const char *name) const { return object.value(QLatin1String(name)); }

    QString quoted(const char *name) const { return where + "\"" + QLatin1String(name) + "\""; }
    QString missing(const char *name) const { return quoted(name) + " is missing"; }

private:
    const QJsonObject &object;
    QString where; // "configuration: ", or empty at the top
    QString *error;
};

bool readConfiguration(const QJsonObject &json, RunRecord &record, QString *error)
{
    Fields fields(json, "configuration: ", error);
    RunSettings &settings = record.settings;
    double mode = 0;
    double period = 0;
    fields.whole("clockMode", 0, RunSettings::clockModeNames().size() - 1, &mode);
    fields.whole("periodMs", 0, RunSettings::MaxPeriodMs, &period);
    int processClass = int(settings.processClass);
    int threadLevel = int(settings.threadLevel);
    fields.choice("processLevel", RunSettings::processClassNames(), &processClass);
    fields.choice("threadLevel", RunSettings::threadLevelNames(), &threadLevel);
    fields.seconds("durationSeconds", &record.durationSeconds, true);
    if (!fields.ok())
        return false;
    // As the options and the window refuse it: this clock needs a period.
    if (int(mode) == WaitableTimerMode && period == 0)
        return fields.fail(QString("configuration: \"periodMs\" is 0, which clock mode \"%1\" "
                                   "does not allow: it needs 1 ms or more")
                               .arg(RunSettings::clockModeNames().at(int(mode))));
    settings.clockMode = ClockMode(int(mode));
    settings.periodMs = int(period);
    settings.processClass = platform::ProcessClass(processClass);
    settings.threadLevel = platform::ThreadLevel(threadLevel);
    settings.target = fields.text("target");
    settings.send = fields.value("send").toBool();
    return true;
}

bool readBins(const QJsonArray &bins, RunStatistics &statistics, QString *error)
{
    std::array<bool, RunStatistics::Bins> seen{};
    for (int i = 0; i < bins.size(); ++i) {
        if (!bins[i].isObject()) {
            *error = QString("\"bins\": entry %1 is not an object").arg(i + 1);
            return false;
        }
        const QJsonObject entry = bins[i].toObject();
        Fields fields(entry, QString("\"bins\" entry %1: ").arg(i + 1), error);
        double bin = 0;
        double count = 0;
        if (!fields.whole("bin", 0, RunStatistics::OverflowBin, &bin) ||
            !fields.whole("count", 0, LargestWhole, &count))
            return false;
        if (seen[size_t(bin)]) {
            *error = QString("\"bins\": bin %1 appears twice").arg(int(bin));
            return false;
        }
        seen[size_t(bin)] = true;
        statistics.bins[size_t(bin)] = quint64(count);
    }
    return true;
}

bool readTimeline(const QJsonObject &json, RunTimeline &timeline, QString *error)
{
    Fields fields(json, "timeline: ", error);
    double span = 0;
    if (!fields.seconds("slotSeconds", &span) || !fields.seconds("lastTick", &timeline.lastTick))
        return false;
    const QJsonArray ticks = fields.value("ticks").toArray();
    const QJsonArray longest = fields.value("maxInterval").toArray();
    // The worker's slots start at 1 s and double at every merge.
    int exponent = 0;
    if (span <= 0)
        return fields.fail("timeline: \"slotSeconds\" is not above 0");
    if (std::frexp(span, &exponent) != 0.5 || span < 1 || span > LongestSlot)
        return fields.fail(QString("timeline: \"slotSeconds\" is %1, not a slot the run's "
                                   "timeline has: 1 s doubled, at most %2 s")
                               .arg(span, 0, 'g', 6)
                               .arg(LongestSlot, 0, 'f', 0));
    if (ticks.size() != longest.size() || ticks.size() > RunTimeline::Slots)
        return fields.fail(QString("timeline: \"ticks\" and \"maxInterval\" are not two lists "
                                   "of the same length, at most %1")
                               .arg(RunTimeline::Slots));
    timeline.slotSeconds = span;
    timeline.used = int(ticks.size());
    // The latest tick lies in the open slot, the last one; a reading taken
    // during a run may see that slot opened a moment before the tick's time.
    const double lastSlotStart = double(std::max(timeline.used - 2, 0)) * span;
    if (timeline.used == 0
            ? timeline.lastTick != 0
            : timeline.lastTick < lastSlotStart || timeline.lastTick > double(timeline.used) * span)
        return fields.fail(QString("timeline: \"lastTick\" %1 s does not fall in its last slot "
                                   "(%2 slots of %3 s)")
                               .arg(timeline.lastTick, 0, 'g', 6)
                               .arg(timeline.used)
                               .arg(span, 0, 'g', 6));
    for (int i = 0; i < timeline.used; ++i) {
        const double count = ticks[i].toDouble(-1.0);
        const double seconds = longest[i].toDouble(-1.0);
        if (count < 0 || count > LargestWhole || count != std::floor(count) ||
            !std::isfinite(seconds) || seconds < 0)
            return fields.fail(QString("timeline: slot %1 is not a whole count of ticks and a "
                                       "number of seconds")
                                   .arg(i + 1));
        // An interval ends at a tick, so none is longer than the run so far.
        if (seconds > timeline.lastTick + span)
            return fields.fail(QString("timeline: slot %1's longest interval, %2 s, is longer "
                                       "than the run (\"lastTick\" %3 s)")
                                   .arg(i + 1)
                                   .arg(seconds, 0, 'g', 6)
                                   .arg(timeline.lastTick, 0, 'g', 6));
        timeline.slot[size_t(i)] = {quint64(count), seconds};
    }
    return true;
}

// A finite number of seconds, of either sign (an early wake-up is negative),
// no larger than a run can last.
bool signedSeconds(Fields &fields, const char *name, double *out)
{
    if (!fields.ok())
        return false;
    if (!fields.has(name))
        return fields.fail(fields.missing(name));
    const QJsonValue value = fields.value(name);
    const double number = value.toDouble(std::nan(""));
    if (!value.isDouble() || !std::isfinite(number) || std::abs(number) > LongestRun)
        return fields.fail(QString("%1 is not a number of seconds").arg(fields.quoted(name)));
    *out = number;
    return true;
}

// The "lateness" object: its bins in range and each once, adding up to its
// wake-ups. The percentiles follow from the bins and are not read.
bool readLateness(const QJsonObject &json, LatenessStatistics &lateness, QString *error)
{
    Fields fields(json, "lateness: ", error);
    int kind = 0;
    double wakeUps = 0;
    double overruns = 0;
    double mean = 0;
    fields.choice("deadlines", {"grid", "previous tick"}, &kind);
    if (fields.ok() && !fields.has("deadlines"))
        return fields.fail(fields.missing("deadlines"));
    fields.whole("wakeUps", 0, LargestWhole, &wakeUps);
    fields.whole("overruns", 0, LargestWhole, &overruns);
    signedSeconds(fields, "minSeconds", &lateness.minLateness);
    signedSeconds(fields, "meanSeconds", &mean);
    signedSeconds(fields, "maxSeconds", &lateness.maxLateness);
    if (!fields.ok())
        return false;
    // Only the order: a reading taken during a run may see its sum and its
    // extremes a tick or two after its bins.
    if (lateness.minLateness > lateness.maxLateness)
        return fields.fail("lateness: \"minSeconds\" is above \"maxSeconds\"");
    if (!fields.value("bins").isArray())
        return fields.fail("lateness: \"bins\" is not a list");
    const QJsonArray bins = fields.value("bins").toArray();
    std::array<bool, LatenessStatistics::Bins> seen{};
    quint64 sum = 0;
    for (int i = 0; i < bins.size(); ++i) {
        const QJsonObject entry = bins[i].toObject();
        Fields bin(entry, QString("lateness: \"bins\" entry %1: ").arg(i + 1), error);
        double micros = 0;
        double count = 0;
        if (!bins[i].isObject())
            return bin.fail(QString("lateness: \"bins\" entry %1 is not an object").arg(i + 1));
        if (!bin.whole("micros", -LatenessStatistics::ZeroBin,
                       LatenessStatistics::OverflowBin - LatenessStatistics::ZeroBin, &micros) ||
            !bin.whole("count", 0, LargestWhole, &count))
            return false;
        const size_t at = size_t(int(micros) + LatenessStatistics::ZeroBin);
        if (seen[at])
            return bin.fail(QString("lateness: \"bins\": %1 us appears twice").arg(int(micros)));
        seen[at] = true;
        lateness.bins[at] = quint64(count);
        sum += quint64(count);
    }
    if (sum != quint64(wakeUps))
        return fields.fail(QString("lateness: the bins add up to %1 wake-ups, not the %2 of "
                                   "\"wakeUps\"")
                               .arg(sum)
                               .arg(quint64(wakeUps)));
    lateness.deadlines =
        kind == 0 ? LatenessStatistics::GridDeadlines : LatenessStatistics::TickDeadlines;
    lateness.wakeUps = sum;
    lateness.overruns = quint64(overruns);
    lateness.sumLateness = mean * double(sum);
    return true;
}

// The timeline beside the run's totals: its slots hold every tick, and no
// tick comes long after the run's measured time. A run saved while it went
// on, or whose worker was terminated, read the two at different moments.
bool timelineFitsRun(const RunRecord &record, const QJsonObject &json, QString *error)
{
    if (!json.contains("timeline")) // saved before runs had one
        return true;
    const RunTimeline &timeline = record.timeline;
    quint64 inSlots = 0;
    for (int i = 0; i < timeline.used; ++i)
        inSlots += timeline.slot[size_t(i)].ticks;
    const bool oneReading = record.ended != "running" && record.ended != "terminated";
    if (oneReading && inSlots != record.statistics.tickCount) {
        *error = QString("timeline: the slots hold %1 ticks, not the %2 of \"tickCount\"")
                     .arg(inSlots)
                     .arg(record.statistics.tickCount);
        return false;
    }
    if (json.contains("elapsedSeconds") && timeline.lastTick > record.elapsedSeconds + StopSlack) {
        *error = QString("timeline: \"lastTick\" %1 s is after the run's end "
                         "(\"elapsedSeconds\" %2 s)")
                     .arg(timeline.lastTick, 0, 'g', 6)
                     .arg(record.elapsedSeconds, 0, 'g', 6);
        return false;
    }
    if (timeline.used > 0 &&
        record.statistics.maxInterval > timeline.lastTick + timeline.slotSeconds) {
        *error = QString("\"maxInterval\" %1 s is longer than the run (timeline: \"lastTick\" "
                         "%2 s)")
                     .arg(record.statistics.maxInterval, 0, 'g', 6)
                     .arg(timeline.lastTick, 0, 'g', 6);
        return false;
    }
    return true;
}

} // namespace

std::optional<RunRecord> RunRecord::fromJson(const QJsonObject &json, QString *error)
{
    QString why;
    QString *const reason = error ? error : &why;
    reason->clear();
    if (!json.value("configuration").isObject() || !json.value("bins").isArray()) {
        *reason = "not a Vantrel run: it has no \"configuration\" object and \"bins\" list";
        return std::nullopt;
    }

    RunRecord record;
    if (!readConfiguration(json.value("configuration").toObject(), record, reason) ||
        !readBins(json.value("bins").toArray(), record.statistics, reason))
        return std::nullopt;

    Fields fields(json, QString(), reason);
    RunStatistics &statistics = record.statistics;
    double ticks = 0;
    double counted = 0;
    double kept = 0;
    fields.whole("tickCount", 0, LargestWhole, &ticks);
    fields.seconds("maxInterval", &statistics.maxInterval);
    fields.seconds("meanInterval", &statistics.meanInterval, true);
    fields.seconds("elapsedSeconds", &record.elapsedSeconds, true);
    fields.whole("keptIntervals", 0, LargestWhole, &kept, true);
    if (fields.whole("countedIntervals", 0, LargestWhole, &counted, true) &&
        fields.has("countedIntervals") && quint64(counted) != statistics.counted())
        fields.fail(QString("the bins add up to %1 intervals, not the %2 of "
                            "\"countedIntervals\"")
                        .arg(statistics.counted())
                        .arg(quint64(counted)));
    if (fields.ok() && statistics.counted() > quint64(ticks))
        fields.fail("the bins count more intervals than \"tickCount\" has ticks");
    if (fields.ok() && quint64(kept) > statistics.counted())
        fields.fail(QString("\"keptIntervals\" %1 is more than the %2 intervals the bins count")
                        .arg(quint64(kept))
                        .arg(statistics.counted()));
    if (fields.ok() && json.contains("timeline")) {
        if (!json.value("timeline").isObject())
            fields.fail("\"timeline\" is not an object");
        else
            readTimeline(json.value("timeline").toObject(), record.timeline, reason);
    }
    // Runs saved before lateness was measured, and untimed clocks, have none.
    if (fields.ok() && json.contains("lateness")) {
        if (!json.value("lateness").isObject())
            fields.fail("\"lateness\" is not an object");
        else
            readLateness(json.value("lateness").toObject(), record.lateness, reason);
    }
    if (!fields.ok())
        return std::nullopt;

    statistics.tickCount = quint64(ticks);
    record.keptIntervals = quint64(kept);
    record.ended = fields.text("ended");
    if (!timelineFitsRun(record, json, reason))
        return std::nullopt;
    const QJsonObject worker = json.value("worker").toObject();
    record.granted.policy = worker.value("policy").toString().toStdString();
    record.granted.priority = worker.value("priority").toInt();
    record.granted.nice = worker.value("nice").toInt();
    return record;
}

std::optional<RunRecord> RunRecord::fromJson(const QByteArray &text, QString *error)
{
    QJsonParseError parsed;
    const QJsonDocument document = QJsonDocument::fromJson(text, &parsed);
    if (parsed.error != QJsonParseError::NoError) {
        if (error)
            *error =
                QString("not JSON: %1 at byte %2").arg(parsed.errorString()).arg(parsed.offset);
        return std::nullopt;
    }
    if (!document.isObject()) {
        if (error)
            *error = "not a Vantrel run: the JSON is not an object";
        return std::nullopt;
    }
    return fromJson(document.object(), error);
}

namespace {

// A saved run's bytes, or false with why not. Only a regular file is read:
// a device or a pipe could block or fill the memory.
bool readSavedText(const QString &path, QByteArray &text, QString &why)
{
    QFile file;
#ifdef Q_OS_UNIX
    // Opened without waiting, so that a pipe with no writer cannot block;
    // the type is then asked of what was opened, not of the name.
    const int descriptor =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) {
        why = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    struct stat status;
    if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(descriptor);
        why = "not a regular file";
        return false;
    }
    if (!file.open(descriptor, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(descriptor);
        why = file.errorString();
        return false;
    }
#else
    if (QFileInfo(path).exists() && !QFileInfo(path).isFile()) {
        why = "not a regular file";
        return false;
    }
    file.setFileName(path);
    if (!file.open(QIODevice::ReadOnly)) {
        why = file.errorString();
        return false;
    }
#endif
    // Whatever the size says (a file may grow while it is read): one byte
    // past the limit is enough to refuse it.
    char chunk[65536];
    while (text.size() <= RunRecord::LargestFile) {
        const qint64 got = file.read(chunk, sizeof chunk);
        if (got < 0) {
            why = file.errorString();
            return false;
        }
        if (got == 0)
            break;
        text.append(chunk, got);
    }
    if (text.size() > RunRecord::LargestFile) {
        why = "not a Vantrel run: larger than 64 MB";
        return false;
    }
    return true;
}

} // namespace

std::optional<RunRecord> RunRecord::readFile(const QString &path, QString *error)
{
    QByteArray text;
    QString why;
    if (!readSavedText(path, text, why)) {
        if (error)
            *error = why;
        return std::nullopt;
    }
    return fromJson(text, error);
}
