// SPDX-License-Identifier: MIT
// Why a tick came late: the verdict rules on synthetic spikes (each cause,
// and which wins when several signals are there), the threshold, the bounded
// store, the worker's ring under two threads, the kernel texts the sources
// parse, whether tracing is allowed, and a sampler judging spikes of this
// thread.
#include "platform.h"
#include "spikereport.h"
#include "spikesampler.h"
#include "spikeverdict.h"

#include <QFile>
#include <QTest>

#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <limits>
#include <thread>

Q_DECLARE_METATYPE(SpikeEvidence)
Q_DECLARE_METATYPE(std::vector<platform::TraceRecord>)

namespace {

constexpr qint64 Ms = 1000000;
constexpr qint64 Us = 1000;

// A realtime worker 1 ms late at 10 s, 50 ms after the sampler's snapshot,
// with every signal at its usual level: on its own, unexplained.
SpikeEvidence quietSpike()
{
    SpikeEvidence e;
    e.record.tick = 10000;
    e.record.timeNs = 10000 * Ms;
    e.record.latenessNs = 1 * Ms;
    e.record.intervalNs = 2 * Ms;
    e.before.runDelayNs = 3 * Ms;
    e.before.minorFaults = 100;
    e.before.majorFaults = 0;
    e.record.counters = e.before;
    e.beforeNs = e.record.timeNs - 50 * Ms;
    e.interrupts = 100;
    e.usualInterrupts = 100;
    e.softirqs = 50;
    e.usualSoftirqs = 50;
    e.stealNs = 0;
    e.realtime = true;
    e.timerSlackNs = 50 * Us;
    e.throttle.periodNs = 1000 * Ms;
    e.throttle.runtimeNs = 950 * Ms;
    return e;
}

std::uint32_t bits(std::initializer_list<SpikeCause> causes)
{
    std::uint32_t mask = 1u << int(SpikeCause::Unexplained); // always seen
    for (const SpikeCause cause : causes)
        mask |= 1u << int(cause);
    return mask;
}

// measured: read from the worker's timestamps or the trace, not inferred.
void row(const char *name, const std::function<void(SpikeEvidence &)> &change, SpikeCause cause,
         std::initializer_list<SpikeCause> seen, bool measured = false)
{
    SpikeEvidence e = quietSpike();
    change(e);
    QTest::newRow(name) << e << int(cause) << bits(seen) << measured;
}

void overran(SpikeEvidence &e)
{
    e.previousWakeNs = e.record.timeNs - e.record.latenessNs + 200 * Us;
}
void waited(SpikeEvidence &e, std::int64_t ns)
{
    e.record.counters.runDelayNs += ns;
}
// The trace saw another task on the worker's CPU for this long.
void heldBy(SpikeEvidence &e, std::int64_t ns)
{
    e.trace.traced = true;
    e.trace.culpritPid = 4242;
    e.trace.culpritNs = e.trace.othersNs = ns;
}

// Trace records of the worker's CPU (1) and the one beside it (0).
using platform::TraceKind;
using platform::TraceRecord;
using Trace = std::vector<TraceRecord>;
constexpr std::int32_t Worker = 100;

TraceRecord switched(qint64 ns, int cpu, std::int32_t prev, std::int32_t next, const char *comm,
                     std::int32_t prio = 120)
{
    TraceRecord r;
    r.timeNs = ns;
    r.cpu = cpu;
    r.kind = TraceKind::Switch;
    r.prevPid = prev;
    r.nextPid = next;
    r.nextPrio = prio;
    qstrncpy(r.nextComm, comm, sizeof r.nextComm);
    qstrncpy(r.prevComm, prev == Worker ? "worker" : "prev", sizeof r.prevComm);
    return r;
}
TraceRecord happened(qint64 ns, int cpu, TraceKind kind, std::int32_t pid = Worker)
{
    TraceRecord r;
    r.timeNs = ns;
    r.cpu = cpu;
    r.kind = kind;
    r.nextPid = pid;
    return r;
}

const char *const Interrupts = "           CPU0       CPU1       \n"
                               "  0:         40          0   IO-APIC   2-edge      timer\n"
                               "  1:          9          3   IO-APIC   1-edge      i8042\n"
                               " 24:          1          0  PCI-MSI 65536-edge      virtio0\n"
                               "NMI:          0          0   Non-maskable interrupts\n"
                               "LOC:    1234567     765432   Local timer interrupts\n"
                               "RES:        100        200   Rescheduling interrupts\n"
                               "ERR:          5\n"
                               "MIS:          0\n";
const char *const Softirqs = "                    CPU0       CPU1       \n"
                             "          HI:          1          0\n"
                             "       TIMER:      11421       8292\n"
                             "      NET_TX:          2          1\n"
                             "      NET_RX:        300        400\n"
                             "     TASKLET:          7          1\n"
                             "       SCHED:       5000       4000\n"
                             "         RCU:       9000       8000\n";
// Tracepoint formats as tracefs shows them (headers and print fmt cut):
// this kernel's, and an older one's with a field before the task's.
const char *const SwitchFormat =
    "name: sched_switch\nID: 372\nformat:\n"
    "\tfield:unsigned short common_type;\toffset:0;\tsize:2;\tsigned:0;\n"
    "\tfield:int common_pid;\toffset:4;\tsize:4;\tsigned:1;\n\n"
    "\tfield:char prev_comm[16];\toffset:8;\tsize:16;\tsigned:0;\n"
    "\tfield:pid_t prev_pid;\toffset:24;\tsize:4;\tsigned:1;\n"
    "\tfield:int prev_prio;\toffset:28;\tsize:4;\tsigned:1;\n"
    "\tfield:long prev_state;\toffset:32;\tsize:8;\tsigned:1;\n"
    "\tfield:char next_comm[16];\toffset:40;\tsize:16;\tsigned:0;\n"
    "\tfield:pid_t next_pid;\toffset:56;\tsize:4;\tsigned:1;\n"
    "\tfield:int next_prio;\toffset:60;\tsize:4;\tsigned:1;\n";
const char *const OldWakingFormat =
    "name: sched_waking\nID: 61\nformat:\n"
    "\tfield:unsigned short common_type;\toffset:0;\tsize:2;\tsigned:0;\n"
    "\tfield:int common_lock_depth;\toffset:8;\tsize:4;\tsigned:1;\n\n"
    "\tfield:char comm[16];\toffset:12;\tsize:16;\tsigned:0;\n"
    "\tfield:pid_t pid;\toffset:28;\tsize:4;\tsigned:1;\n"
    "\tfield:int prio;\toffset:32;\tsize:4;\tsigned:1;\n"
    "\tfield:int success;\toffset:36;\tsize:4;\tsigned:1;\n";
const char *const IrqFormat = "name: irq_handler_entry\nID: 225\nformat:\n"
                              "\tfield:unsigned short common_type;\toffset:0;\tsize:2;\tsigned:0;\n"
                              "\tfield:int irq;\toffset:8;\tsize:4;\tsigned:1;\n"
                              "\tfield:__data_loc char[] name;\toffset:12;\tsize:4;\tsigned:0;\n";

const char *const Stat = "cpu  1000 20 300 50000 10 0 5 70 0 0\n"
                         "cpu0 500 10 150 25000 5 0 3 30 0 0\n"
                         "cpu1 500 10 150 25000 5 0 2 40 0 0\n"
                         "intr 12345 40 9\n"
                         "ctxt 999\n";

} // namespace

class TestSpikeVerdict : public QObject
{
    Q_OBJECT

private slots:
    void namesTheCause_data()
    {
        QTest::addColumn<SpikeEvidence>("evidence");
        QTest::addColumn<int>("cause");
        QTest::addColumn<std::uint32_t>("seen");
        QTest::addColumn<bool>("measured");
        using C = SpikeCause;
        const auto nothing = [](SpikeEvidence &) {};
        row("nothing seen", nothing, C::Unexplained, {});
        // Each cause alone.
        row("deadline passed during the spike before", overran, C::FollowOn, {C::FollowOn}, true);
        row("spike before ended before the deadline",
            [](SpikeEvidence &e) { e.previousWakeNs = e.record.timeNs - 5 * Ms; }, C::Unexplained,
            {});
        row("interrupt burst", [](SpikeEvidence &e) { e.interrupts = 400; }, C::Interrupts,
            {C::Interrupts});
        row("softirq burst", [](SpikeEvidence &e) { e.softirqs = 200; }, C::Interrupts,
            {C::Interrupts});
        row("too few more for a long spike",
            [](SpikeEvidence &e) { e.record.latenessNs = 48 * Ms, e.interrupts = 400; },
            C::Unexplained, {});
        row("interrupts at their usual rate", [](SpikeEvidence &e) { e.interrupts = 150; },
            C::Unexplained, {});
        row("twice a tiny usual count",
            [](SpikeEvidence &e) { e.usualInterrupts = 2, e.interrupts = 10; }, C::Unexplained, {});
        row("runnable for most of the lateness", [](SpikeEvidence &e) { waited(e, 900 * Us); },
            C::OtherTask, {C::OtherTask});
        row("runnable for under half of it", [](SpikeEvidence &e) { waited(e, 400 * Us); },
            C::Unexplained, {});
        // 10 ms a second usual: 500 us of the 900 were the usual wake-ups.
        row("usual run-delay taken off",
            [](SpikeEvidence &e) { e.runDelayPerSecond = 10e6, waited(e, 900 * Us); },
            C::Unexplained, {});
        // Another task keeps the CPU busy: half of every second waited, but
        // the three ticks since the spike before were 20 us late at most.
        row("busy CPU, ticks since the spike before",
            [](SpikeEvidence &e) {
                e.runDelayPerSecond = 500e6, e.ticksSinceBefore = 3, e.usualLatenessNs = 20 * Us;
                waited(e, 900 * Us);
            },
            C::OtherTask, {C::OtherTask});
        row("busy CPU, median lateness unknown",
            [](SpikeEvidence &e) {
                e.runDelayPerSecond = 500e6, e.ticksSinceBefore = 3, waited(e, 900 * Us);
            },
            C::Unexplained, {});
        row("waited the realtime throttle's gap",
            [](SpikeEvidence &e) { e.record.latenessNs = 48 * Ms, waited(e, 47 * Ms); },
            C::RealtimeThrottling, {C::RealtimeThrottling});
        row("that long at normal priority",
            [](SpikeEvidence &e) {
                e.realtime = false, e.record.latenessNs = 48 * Ms, waited(e, 47 * Ms);
            },
            C::OtherTask, {C::OtherTask});
        row("no throttle set",
            [](SpikeEvidence &e) {
                e.throttle.runtimeNs = -1, e.record.latenessNs = 48 * Ms, waited(e, 47 * Ms);
            },
            C::OtherTask, {C::OtherTask});
        row("fresh memory touched", [](SpikeEvidence &e) { e.record.counters.minorFaults += 200; },
            C::PageFaults, {C::PageFaults});
        row("one major fault", [](SpikeEvidence &e) { e.record.counters.majorFaults += 1; },
            C::PageFaults, {C::PageFaults});
        row("a few minor faults", [](SpikeEvidence &e) { e.record.counters.minorFaults += 3; },
            C::Unexplained, {});
        row("slack covers the lateness",
            [](SpikeEvidence &e) {
                e.realtime = false, e.timerSlackNs = 400 * Us, e.record.latenessNs = 450 * Us;
            },
            C::TimerSlack, {C::TimerSlack});
        row("slack of a realtime worker",
            [](SpikeEvidence &e) { e.timerSlackNs = 400 * Us, e.record.latenessNs = 450 * Us; },
            C::Unexplained, {});
        row("default slack, 1 ms late", [](SpikeEvidence &e) { e.realtime = false; },
            C::Unexplained, {});
        row("host steal", [](SpikeEvidence &e) { e.stealNs = 10 * Ms; }, C::HostSteal,
            {C::HostSteal});
        // No source, as on Windows: nothing to go on.
        row("no counters",
            [](SpikeEvidence &e) {
                e.before = platform::ThreadCounters();
                e.record.counters = e.before;
                e.interrupts = e.softirqs = e.stealNs = -1;
                e.timerSlackNs = -1;
                e.realtime = false;
            },
            C::Unexplained, {});
        // Ties: the earlier rule names the cause, every signal stays seen.
        row(
            "follow-on and run-delay", [](SpikeEvidence &e) { overran(e), waited(e, Ms); },
            C::FollowOn, {C::FollowOn, C::OtherTask}, true);
        row("interrupts and run-delay", [](SpikeEvidence &e) { e.interrupts = 400, waited(e, Ms); },
            C::Interrupts, {C::Interrupts, C::OtherTask});
        row("run-delay and faults",
            [](SpikeEvidence &e) { waited(e, Ms), e.record.counters.majorFaults += 2; },
            C::OtherTask, {C::OtherTask, C::PageFaults});
        row("faults and slack",
            [](SpikeEvidence &e) {
                e.realtime = false, e.timerSlackNs = 2 * Ms, e.record.counters.minorFaults += 50;
            },
            C::PageFaults, {C::PageFaults, C::TimerSlack});
        row("slack and steal",
            [](SpikeEvidence &e) {
                e.realtime = false, e.timerSlackNs = 2 * Ms, e.stealNs = 10 * Ms;
            },
            C::TimerSlack, {C::TimerSlack, C::HostSteal});
        row(
            "every signal",
            [](SpikeEvidence &e) {
                overran(e), e.interrupts = 400, waited(e, Ms), e.realtime = false;
                e.record.counters.majorFaults += 1, e.timerSlackNs = 2 * Ms, e.stealNs = Ms;
            },
            C::FollowOn,
            {C::FollowOn, C::Interrupts, C::OtherTask, C::PageFaults, C::TimerSlack, C::HostSteal},
            true);
        // Traced: what the kernel recorded, measured; its silence is believed.
        row(
            "traced: a task held the CPU", [](SpikeEvidence &e) { heldBy(e, 900 * Us); },
            C::OtherTask, {C::OtherTask}, true);
        row("traced: a task held it briefly", [](SpikeEvidence &e) { heldBy(e, 100 * Us); },
            C::Unexplained, {});
        row("traced: nobody ran, yet run-delay grew",
            [](SpikeEvidence &e) { e.trace.traced = true, waited(e, 900 * Us); }, C::Unexplained,
            {});
        row("traced: brief task, run-delay grew",
            [](SpikeEvidence &e) { heldBy(e, 100 * Us), waited(e, 900 * Us); }, C::Unexplained, {});
        row("traced: throttled, nobody ran",
            [](SpikeEvidence &e) {
                e.trace.traced = true, e.record.latenessNs = 48 * Ms, waited(e, 47 * Ms);
            },
            C::RealtimeThrottling, {C::RealtimeThrottling});
        row(
            "traced: interrupt handlers for most of it",
            [](SpikeEvidence &e) {
                e.trace.traced = true, e.trace.irqNs = 300 * Us, e.trace.softirqNs = 300 * Us;
            },
            C::Interrupts, {C::Interrupts}, true);
        row("traced: handlers idle, counts burst",
            [](SpikeEvidence &e) {
                e.trace.traced = true, e.trace.irqNs = e.trace.softirqNs = 0, e.interrupts = 400;
            },
            C::Unexplained, {});
        row("traced: interrupts not traced, counts burst",
            [](SpikeEvidence &e) { e.trace.traced = true, e.interrupts = 400; }, C::Interrupts,
            {C::Interrupts});
        row(
            "traced: follow-on before the culprit",
            [](SpikeEvidence &e) { overran(e), heldBy(e, Ms); }, C::FollowOn,
            {C::FollowOn, C::OtherTask}, true);
        row(
            "traced: interrupts before the culprit",
            [](SpikeEvidence &e) { heldBy(e, Ms), e.trace.irqNs = 700 * Us; }, C::Interrupts,
            {C::Interrupts, C::OtherTask}, true);
    }
    void namesTheCause()
    {
        QFETCH(SpikeEvidence, evidence);
        QFETCH(int, cause);
        QFETCH(std::uint32_t, seen);
        QFETCH(bool, measured);
        const SpikeVerdict verdict = judgeSpike(evidence);
        QCOMPARE(spikeCauseKey(verdict.cause), spikeCauseKey(SpikeCause(cause)));
        QCOMPARE(verdict.seen, seen);
        QCOMPARE(verdict.measured, measured);
    }

    // The trace's account of a spike of the worker (deadline 10 ms, woken
    // at 12 ms) on CPU 1: who ran there meanwhile, when the timer woke it,
    // and the interrupt handlers' time.
    void attributesFromTheTrace_data()
    {
        QTest::addColumn<Trace>("trace");
        QTest::addColumn<bool>("interrupts");
        QTest::addColumn<bool>("traced");
        QTest::addColumn<QString>("culprit"); // empty: none
        QTest::addColumn<QList<qint64>>(
            "times"); // us: culprit, others, waking, running, irq, softirq
        const auto asleep = switched(0, 1, Worker, 0, "swapper/1");
        const auto back = switched(11500 * Us, 1, 4242, Worker, "worker", 19);
        const QList<qint64> none{-1, -1, -1, -1, -1, -1};
        QTest::newRow("realtime burster over the deadline")
            << Trace{asleep, switched(9500 * Us, 1, 0, 4242, "burster", 9),
                     happened(10 * Ms, 1, TraceKind::Waking), back}
            << false << true << "burster (pid 4242, realtime 90, 1500.0 us)"
            << QList<qint64>{1500, 1500, 0, 1500, -1, -1};
        QTest::newRow("two tasks: the longer one")
            << Trace{asleep, switched(10200 * Us, 1, 0, 300, "short"),
                     switched(10500 * Us, 1, 300, 4242, "long"),
                     happened(10100 * Us, 0, TraceKind::Waking), back}
            << false << true << "long (pid 4242, nice 0, 1000.0 us)"
            << QList<qint64>{1000, 1300, 100, 1400, -1, -1};
        QTest::newRow("busy on the other CPU only")
            << Trace{asleep, switched(9 * Ms, 0, 0, 4242, "burster", 9),
                     switched(11 * Ms, 1, 0, Worker, "worker", 19)}
            << false << true << QString() << QList<qint64>{-1, 0, -1, -1, -1, -1};
        QTest::newRow("handlers, one open at the deadline")
            << Trace{asleep,
                     happened(9900 * Us, 1, TraceKind::IrqEntry),
                     happened(10200 * Us, 1, TraceKind::IrqExit),
                     happened(10300 * Us, 1, TraceKind::SoftirqEntry),
                     happened(10800 * Us, 1, TraceKind::SoftirqExit),
                     happened(10900 * Us, 0, TraceKind::IrqEntry),
                     happened(11000 * Us, 0, TraceKind::IrqExit),
                     switched(11 * Ms, 1, 0, Worker, "worker", 19)}
            << true << true << QString() << QList<qint64>{-1, 0, -1, -1, 200, 500};
        QTest::newRow("the worker's return not traced")
            << Trace{asleep, switched(9 * Ms, 1, 0, 4242, "burster", 9)} << false << false
            << QString() << none;
        QTest::newRow("trace begun after the deadline")
            << Trace{switched(10500 * Us, 1, 4242, Worker, "worker", 19)} << false << false
            << QString() << none;
    }
    void attributesFromTheTrace()
    {
        QFETCH(Trace, trace);
        QFETCH(bool, interrupts);
        QFETCH(bool, traced);
        QFETCH(QString, culprit);
        QFETCH(QList<qint64>, times);
        const SpikeTrace seen = attributeSpike(trace, Worker, 10 * Ms, 12 * Ms, interrupts);
        QCOMPARE(seen.traced, traced);
        if (!traced)
            return;
        QCOMPARE(seen.cpu, 1);
        QCOMPARE(SpikeReport::culpritText(seen), culprit);
        const auto us = [](std::int64_t ns) { return ns < 0 ? qint64(-1) : qint64(ns / Us); };
        QCOMPARE(us(seen.culpritPid >= 0 ? seen.culpritNs : -1), times[0]);
        QCOMPARE(us(seen.othersNs), times[1]);
        QCOMPARE(us(seen.wakingNs), times[2]);
        QCOMPARE(us(seen.runningNs), times[3]);
        QCOMPARE(us(seen.irqNs), times[4]);
        QCOMPARE(us(seen.softirqNs), times[5]);
    }

    void threshold_data()
    {
        QTest::addColumn<qint64>("median");
        QTest::addColumn<qint64>("given");
        QTest::addColumn<qint64>("threshold");
        QTest::newRow("quiet run: the 100 us floor") << 5 * Us << qint64(0) << 100 * Us;
        QTest::newRow("no lateness yet") << qint64(0) << qint64(0) << 100 * Us;
        QTest::newRow("noisy run: 10 x median") << 30 * Us << qint64(0) << 300 * Us;
        QTest::newRow("given, below the floor") << 30 * Us << 50 * Us << 50 * Us;
        QTest::newRow("given, above") << 30 * Us << 2 * Ms << 2 * Ms;
    }
    void threshold()
    {
        QFETCH(qint64, median);
        QFETCH(qint64, given);
        QFETCH(qint64, threshold);
        QCOMPARE(qint64(spikeThresholdNs(median, given)), threshold);
    }

    // The newest 1000, the 50 latest (earliest first among equals), and a
    // count for every spike of the run.
    void storeKeepsItsBounds()
    {
        SpikeStore store;
        const int total = 3000;
        for (int i = 0; i < total; ++i) {
            JudgedSpike spike;
            spike.record.tick = std::uint64_t(i);
            // Tick 1500 is the latest; 40 more share second place.
            spike.record.latenessNs = i == 1500 ? 9 * Ms : (i % 50 == 0 ? 5 * Ms : i);
            spike.verdict.cause = SpikeCause(i % SpikeCauseCount);
            store.add(spike);
        }
        QCOMPARE(store.total(), std::uint64_t(total));
        QCOMPARE(store.count(SpikeCause::FollowOn), std::uint64_t((total + 7) / 8));
        const auto newest = store.newest();
        QCOMPARE(int(newest.size()), SpikeStore::NewestKept);
        QCOMPARE(newest.front().record.tick, std::uint64_t(total - SpikeStore::NewestKept));
        QCOMPARE(newest.back().record.tick, std::uint64_t(total - 1));
        const auto worst = store.worst();
        QCOMPARE(int(worst.size()), SpikeStore::WorstKept);
        QCOMPARE(worst.front().record.tick, std::uint64_t(1500));
        // 59 ticks of 5 ms besides tick 1500; the 49 earliest stay.
        QCOMPARE(worst[1].record.tick, std::uint64_t(0));
        QCOMPARE(worst.back().record.tick, std::uint64_t(2450));
        store.clear();
        QCOMPARE(store.total(), std::uint64_t(0));
        QVERIFY(store.newest().empty() && store.worst().empty());
    }

    // A full ring turns records away and counts them; it never overwrites.
    void ringCountsDrops()
    {
        SpikeRing ring(5);
        QCOMPARE(int(ring.capacity()), 8);
        for (std::uint64_t tick = 0; tick < 20; ++tick) {
            SpikeRecord record;
            record.tick = tick;
            ring.push(record);
        }
        QCOMPARE(ring.dropped(), std::uint64_t(12));
        SpikeRecord out;
        for (std::uint64_t tick = 0; tick < 8; ++tick) {
            QVERIFY(ring.pop(out));
            QCOMPARE(out.tick, tick);
        }
        QVERIFY(!ring.pop(out));
    }

    // Two threads: every record arrives once and in order, or is counted as
    // dropped.
    void ringAcrossThreads()
    {
        SpikeRing ring(16);
        const std::uint64_t total = 200000;
        std::atomic<bool> done{false};
        std::thread producer([&] {
            for (std::uint64_t tick = 1; tick <= total; ++tick) {
                if (SpikeRecord *slot = ring.claim()) {
                    slot->tick = tick;
                    slot->timeNs = std::int64_t(tick) * 3;
                    ring.publish();
                }
            }
            done = true;
        });
        std::uint64_t received = 0, last = 0;
        bool ordered = true, whole = true;
        SpikeRecord out;
        for (;;) {
            const bool finished = done.load();
            while (ring.pop(out)) {
                ordered = ordered && out.tick > last;
                whole = whole && out.timeNs == std::int64_t(out.tick) * 3;
                last = out.tick;
                ++received;
            }
            if (finished)
                break;
        }
        producer.join();
        QVERIFY(ordered);
        QVERIFY(whole);
        QVERIFY(received > 0);
        QCOMPARE(received + ring.dropped(), total);
    }

    void parsesKernelTexts_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("cpu");
        QTest::addColumn<qint64>("value");
        QTest::addColumn<qint64>("second"); // schedstat: timeslices; stat: major faults
        QTest::newRow("interrupts, CPU0")
            << "interrupts" << QByteArray(Interrupts) << 0 << qint64(1234717) << qint64(-1);
        QTest::newRow("interrupts, CPU1")
            << "interrupts" << QByteArray(Interrupts) << 1 << qint64(765635) << qint64(-1);
        QTest::newRow("interrupts, all")
            << "interrupts" << QByteArray(Interrupts) << -1 << qint64(2000352) << qint64(-1);
        QTest::newRow("interrupts, no such CPU")
            << "interrupts" << QByteArray(Interrupts) << 2 << qint64(-1) << qint64(-1);
        // CPU1 offline: the columns are the online CPUs'.
        QTest::newRow("interrupts, CPU2 in the second column")
            << "interrupts" << QByteArray("   CPU0   CPU2\n 0:   7   11  timer\n") << 2
            << qint64(11) << qint64(-1);
        QTest::newRow("interrupts, empty")
            << "interrupts" << QByteArray() << 0 << qint64(-1) << qint64(-1);
        QTest::newRow("softirqs, CPU1")
            << "softirqs" << QByteArray(Softirqs) << 1 << qint64(20694) << qint64(-1);
        QTest::newRow("steal, CPU1") << "stat" << QByteArray(Stat) << 1 << qint64(40) << qint64(-1);
        QTest::newRow("steal, all") << "stat" << QByteArray(Stat) << -1 << qint64(70) << qint64(-1);
        QTest::newRow("steal, no such CPU")
            << "stat" << QByteArray(Stat) << 5 << qint64(-1) << qint64(-1);
        QTest::newRow("steal, a kernel without it")
            << "stat" << QByteArray("cpu  1 2 3 4 5 6 7\n") << -1 << qint64(-1) << qint64(-1);
        QTest::newRow("schedstat") << "schedstat" << QByteArray("2967861 123456 42\n") << 0
                                   << qint64(123456) << qint64(42);
        QTest::newRow("schedstat, empty")
            << "schedstat" << QByteArray() << 0 << qint64(-1) << qint64(-1);
        QTest::newRow("task stat, a name with ') '")
            << "taskstat"
            << QByteArray("1234 (my ) (odd) S 1 1234 1234 0 -1 4194560 77 0 3 0 5 6 0 0 20 0\n")
            << 0 << qint64(77) << qint64(3);
        QTest::newRow("task stat, cut short")
            << "taskstat" << QByteArray("1234 (x) S 1 2 3") << 0 << qint64(-1) << qint64(-1);
        // Tracepoint formats: the id, and a record laid out by the format's
        // offsets decoded back (the task's pid; an interrupt's number).
        QTest::newRow("format, sched_switch")
            << "format" << QByteArray(SwitchFormat) << 0 << qint64(372) << qint64(4242);
        QTest::newRow("format, an older sched_waking")
            << "format" << QByteArray(OldWakingFormat) << 0 << qint64(61) << qint64(4242);
        QTest::newRow("format, irq_handler_entry")
            << "format" << QByteArray(IrqFormat) << 0 << qint64(225) << qint64(4242);
        QTest::newRow("format, not one")
            << "format" << QByteArray("name: x\nID: 5\n") << 0 << qint64(-1) << qint64(-1);
    }
    void parsesKernelTexts()
    {
        QFETCH(QString, source);
        QFETCH(QByteArray, text);
        QFETCH(int, cpu);
        QFETCH(qint64, value);
        QFETCH(qint64, second);
        const std::string kernel = text.toStdString();
        namespace procfs = platform::procfs;
        platform::ThreadCounters counters;
        if (source == "interrupts" || source == "softirqs") {
            QCOMPARE(qint64(procfs::cpuColumnSum(kernel, cpu)), value);
        } else if (source == "stat") {
            QCOMPARE(qint64(procfs::stealTicks(kernel, cpu)), value);
        } else if (source == "schedstat") {
            QCOMPARE(procfs::parseSchedstat(kernel, counters), value >= 0);
            QCOMPARE(qint64(counters.runDelayNs), value);
            QCOMPARE(qint64(counters.timeslices), second);
        } else if (source == "format") {
            const platform::TraceFormat format = platform::tracefs::parseFormat(kernel);
            QCOMPARE(qint64(format.id), value);
            if (value < 0)
                return;
            const bool isSwitch = format.field("next_pid").offset >= 0;
            const bool isIrq = format.field("irq").offset >= 0;
            const auto place = [&](QByteArray &raw, const char *name, const QByteArray &bytes) {
                const platform::TraceField field = format.field(name);
                QVERIFY2(field.offset >= 0 && field.size >= int(bytes.size()), name);
                raw.replace(field.offset, bytes.size(), bytes);
            };
            const std::int32_t pid = std::int32_t(second);
            const QByteArray pidBytes(reinterpret_cast<const char *>(&pid), 4);
            QByteArray raw(80, '\x7f');
            const auto kind = isIrq
                ? platform::TraceKind::IrqEntry
                : (isSwitch ? platform::TraceKind::Switch : platform::TraceKind::Waking);
            if (isIrq) {
                place(raw, "irq", pidBytes);
            } else {
                place(raw, isSwitch ? "next_pid" : "pid", pidBytes);
                place(raw, isSwitch ? "next_comm" : "comm", QByteArray("burster", 8));
            }
            platform::TraceRecord record;
            const auto *bytes = reinterpret_cast<const unsigned char *>(raw.constData());
            QVERIFY(
                platform::tracefs::decodeRaw(kind, format, bytes, std::size_t(raw.size()), record));
            QCOMPARE(qint64(isIrq ? record.number : record.nextPid), second);
            if (!isIrq)
                QCOMPARE(QByteArray(record.nextComm), QByteArray("burster"));
            // Cut before its last field, the record is refused.
            QVERIFY(!platform::tracefs::decodeRaw(kind, format, bytes, 10, record));
        } else {
            QCOMPARE(procfs::parseTaskStatFaults(kernel, counters), value >= 0);
            QCOMPARE(qint64(counters.minorFaults), value);
            QCOMPARE(qint64(counters.majorFaults), second);
        }
    }

    void traceAccess_data()
    {
        QTest::addColumn<bool>("privileged");
        QTest::addColumn<int>("paranoid");
        QTest::addColumn<bool>("tracefs");
        QTest::addColumn<bool>("ids");
        QTest::addColumn<int>("openErrno");
        QTest::addColumn<QString>("reason"); // empty: allowed
        QTest::newRow("root, opened") << true << 2 << true << true << 0 << QString();
        QTest::newRow("ordinary user")
            << false << 2 << true << false << -1
            << "needs root or CAP_PERFMON (kernel.perf_event_paranoid is 2)";
        QTest::newRow("ordinary user, paranoid -1, opened")
            << false << -1 << true << true << 0 << QString();
        QTest::newRow("root, no tracefs")
            << true << 2 << false << false << -1 << "tracefs is not mounted";
        QTest::newRow("root, ids hidden") << true << 2 << true << false << -1 << "not readable";
        QTest::newRow("root, refused")
            << true << 2 << true << true << EACCES << "perf_event_open refused";
    }
    void traceAccess()
    {
        QFETCH(bool, privileged);
        QFETCH(int, paranoid);
        QFETCH(bool, tracefs);
        QFETCH(bool, ids);
        QFETCH(int, openErrno);
        QFETCH(QString, reason);
        platform::TraceFacts facts;
        facts.privileged = privileged;
        facts.paranoid = paranoid;
        facts.tracefsFound = tracefs;
        facts.idsReadable = ids;
        facts.openErrno = openErrno;
        const platform::TraceAccess access = platform::decideTraceAccess(facts);
        QCOMPARE(access.allowed, reason.isEmpty());
        QVERIFY2(QString::fromStdString(access.reason).contains(reason), access.reason.c_str());
        QCOMPARE(access.reason.empty(), reason.isEmpty());
    }

    // The live probe, run as root and as nobody: an ordinary process at the
    // usual paranoid level is told it needs the privilege; a privileged one
    // never is, and when refused it says what else is missing.
    void traceAccessHere()
    {
        const platform::TraceAccess access = platform::traceAccess(0);
        const QString reason = QString::fromStdString(access.reason);
        qInfo("tracing: %s", access.allowed ? "allowed" : access.reason.c_str());
        QCOMPARE(reason.isEmpty(), access.allowed);
        QFile paranoidFile(QStringLiteral("/proc/sys/kernel/perf_event_paranoid"));
        const int paranoid =
            paranoidFile.open(QIODevice::ReadOnly) ? paranoidFile.readAll().trimmed().toInt() : 2;
        if (geteuid() != 0 && paranoid > -1)
            QVERIFY2(reason.contains(QLatin1String("CAP_PERFMON")), access.reason.c_str());
        if (geteuid() == 0)
            QVERIFY2(!reason.contains(QLatin1String("needs root")), access.reason.c_str());
    }

    // A sampler on this thread's real counters, off CPU 0: a spike whose
    // record says the thread waited 20 ms more than the snapshots saw is
    // another task's; one that adds a major fault is page faults.
    void samplerJudgesThisThread()
    {
        SpikeRing ring(8);
        SpikeSampler sampler(ring);
        SpikeSampler::Settings settings;
        const bool pinned = std::thread::hardware_concurrency() > 1;
        settings.cpu = pinned ? 0 : -1;
        settings.workerThreadId = platform::currentThreadId();
        settings.periodMs = 10;
        settings.rules.interruptExcess = std::numeric_limits<std::int64_t>::max() / 4;
        sampler.start(settings);
        QTRY_VERIFY(sampler.threadId() > 0);
        if (pinned) {
            QTRY_VERIFY(sampler.offMeasuredCpu());
            cpu_set_t allowed;
            CPU_ZERO(&allowed);
            QCOMPARE(sched_getaffinity(pid_t(sampler.threadId()), sizeof allowed, &allowed), 0);
            QVERIFY(!CPU_ISSET(0, &allowed));
            QVERIFY(CPU_COUNT(&allowed) > 0);
        }
        platform::OwnThreadCounters own;
        QTest::qWait(50); // a few snapshots for the usual rates

        SpikeRecord spike;
        spike.tick = 1;
        spike.latenessNs = 20 * Ms;
        spike.intervalNs = 21 * Ms;
        spike.counters = own.read();
        spike.timeNs = spikeClockNs();
        QVERIFY(spike.counters.runDelayNs >= 0);
        spike.counters.runDelayNs += 20 * Ms;
        QVERIFY(ring.push(spike));
        QTRY_COMPARE(sampler.store().total(), std::uint64_t(1));

        // The second spike's deadline after the first wake-up: no follow-on.
        const std::int64_t firstWake = spike.timeNs;
        QTRY_VERIFY(spikeClockNs() > firstWake + 60 * Ms);
        spike.tick = 100;
        spike.latenessNs = 50 * Ms;
        spike.counters = own.read();
        spike.timeNs = spikeClockNs();
        spike.counters.majorFaults += 1;
        // A loaded machine may keep this thread waiting for tens of ms: this
        // one's run-delay is left unread.
        spike.counters.runDelayNs = -1;
        QVERIFY(ring.push(spike));
        sampler.stop();

        const SpikeStore store = sampler.store();
        QCOMPARE(store.total(), std::uint64_t(2));
        QCOMPARE(store.count(SpikeCause::OtherTask), std::uint64_t(1));
        QCOMPARE(store.count(SpikeCause::PageFaults), std::uint64_t(1));
        QCOMPARE(store.newest().back().record.tick, std::uint64_t(100));
    }
};

QTEST_GUILESS_MAIN(TestSpikeVerdict)
#include "tst_spikeverdict.moc"
