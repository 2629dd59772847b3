// SPDX-License-Identifier: MIT
// The Linux OS layer against the real kernel: counter, periodic timer and
// its grid, receive stamps, scheduler mapping of the Windows priorities and
// policies set directly, timer slack, CPU pinning, memory locking, the
// power-state hold; and the machine's timing setup read from kernel texts.
#include "linuxscheduling.h"
#include "machinecontext.h"
#include "platform.h"
#include "probes.h"
#include "spikeverdict.h"

#include <linux/capability.h>
#include <sys/syscall.h>

#include <QElapsedTimer>
#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <fcntl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <functional>
#include <mutex>
#include <sched.h>
#include <signal.h>
#include <thread>
#include <unistd.h>
#include <vector>

using platform::ProcessClass;
using platform::ThreadLevel;

namespace {

platform::Os &os()
{
    return platform::nativeOs();
}

// One number that orders every scheduling a thread can have: SCHED_IDLE
// lowest, then SCHED_OTHER by nice, then SCHED_FIFO by priority.
int rank(pid_t tid)
{
    const platform::ThreadScheduling seen = threadScheduling(tid);
    if (seen.policy == "SCHED_IDLE")
        return -100;
    if (seen.policy == "SCHED_FIFO")
        return 100 + seen.priority;
    return -seen.nice;
}

// A thread that runs what it is given, so levels can be set on it.
class Helper
{
public:
    Helper() : thread([this] { loop(); })
    {
        run([this] { tid = gettid(); });
    }
    ~Helper()
    {
        run({});
        thread.join();
    }
    void run(std::function<void()> job)
    {
        std::unique_lock<std::mutex> lock(mutex);
        pending = std::move(job);
        hasJob = true;
        cv.notify_all();
        cv.wait(lock, [this] { return !hasJob; });
    }
    pid_t tid = 0;

private:
    void loop()
    {
        for (;;) {
            std::unique_lock<std::mutex> lock(mutex);
            cv.wait(lock, [this] { return hasJob; });
            std::function<void()> job = std::move(pending);
            if (job)
                job();
            hasJob = false;
            cv.notify_all();
            if (!job)
                return;
        }
    }
    std::mutex mutex;
    std::condition_variable cv;
    std::function<void()> pending;
    bool hasJob = false;
    std::thread thread;
};

// Capabilities belong to a thread: this one loses CAP_SYS_NICE for the rest
// of its life, as if an ordinary user ran it.
void dropCapSysNice()
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    syscall(SYS_capget, &header, data);
    data[CAP_TO_INDEX(CAP_SYS_NICE)].effective &= ~CAP_TO_MASK(CAP_SYS_NICE);
    syscall(SYS_capset, &header, data);
}

} // namespace

class TestPlatform : public QObject
{
    Q_OBJECT

private slots:
    void counterIsNanosecondsAndMonotonic()
    {
        QCOMPARE(os().counterFrequency(), std::int64_t(1000000000));
        std::int64_t previous = os().counterValue();
        for (int i = 0; i < 100000; ++i) {
            const std::int64_t now = os().counterValue();
            QVERIFY(now >= previous);
            previous = now;
        }
        QElapsedTimer clock;
        clock.start();
        const std::int64_t start = os().counterValue();
        QTest::qSleep(50);
        const double counted = double(os().counterValue() - start) / 1e6;
        QVERIFY2(counted >= 49.0 && counted <= clock.elapsed() + 1.0,
                 qPrintable(QString::number(counted)));
    }

    void periodicTimerFiresAtOnceThenEveryPeriod()
    {
        platform::PeriodicTimer *timer = os().createPeriodicTimer();
        QVERIFY(timer);
        QVERIFY(os().setPeriodicTimer(timer, 100));
        QElapsedTimer clock;
        clock.start();
        os().waitPeriodicTimer(timer, 1000);
        QVERIFY2(clock.elapsed() < 50, "the first expiry is due at once");
        os().waitPeriodicTimer(timer, 1000);
        QVERIFY2(clock.elapsed() >= 95 && clock.elapsed() < 900,
                 qPrintable(QString::number(clock.elapsed())));

        // Missed expiries merge: one immediate return, then the next period.
        QTest::qSleep(350); // about three expiries pass unwaited
        clock.restart();
        os().waitPeriodicTimer(timer, 1000);
        QVERIFY2(clock.elapsed() < 40, qPrintable(QString::number(clock.elapsed())));
        os().waitPeriodicTimer(timer, 1000);
        QVERIFY2(clock.elapsed() >= 10, "a second immediate return: expiries did not merge");
        os().closePeriodicTimer(timer);
    }

    void periodicTimerWaitEndsAtTheTimeOut()
    {
        platform::PeriodicTimer *timer = os().createPeriodicTimer();
        QVERIFY(timer);
        QVERIFY(os().setPeriodicTimer(timer, 60000));
        os().waitPeriodicTimer(timer, 1000); // the immediate first expiry
        QElapsedTimer clock;
        clock.start();
        os().waitPeriodicTimer(timer, 80);
        QVERIFY2(clock.elapsed() >= 79 && clock.elapsed() < 2000,
                 qPrintable(QString::number(clock.elapsed())));
        QVERIFY(!os().setPeriodicTimer(timer, -1));
        os().closePeriodicTimer(timer);
    }

    // The grid the Linux timer sleeps to, on hand-set times: 100,000 waits;
    // after each wake-up, exactly at its deadline, the caller is held up by
    // up to 0.9 periods; now and then three more periods pass unwaited.
    void periodGridNeverDrifts_data()
    {
        QTest::addColumn<int>("missEvery"); // waits between missed stretches; 0: none
        QTest::newRow("late, never by a period") << 0;
        QTest::newRow("three periods missed now and then") << 997;
    }
    void periodGridNeverDrifts()
    {
        QFETCH(int, missEvery);
        const std::int64_t period = 1000000;
        const std::int64_t origin = 123456789;
        platform::PeriodGrid grid;
        grid.arm(origin, period);
        std::int64_t now = origin;
        std::uint32_t random = 12345;
        int immediate = 0;
        int missed = 0;
        bool misplaced = false;
        for (int wait = 0; wait < 100000; ++wait) {
            if (grid.takeDue(now)) {
                ++immediate;
                // Every deadline up to now went with it: the next is ahead.
                misplaced |= grid.deadline() <= now || grid.deadline() > now + period;
            } else {
                now = grid.deadline(); // sleeps until it, and wakes on it
                misplaced |= (now - origin) % period != 0;
                grid.takeNext();
                random = random * 1664525u + 1013904223u;
                now += std::int64_t(random >> 8) % (period * 9 / 10);
            }
            if (missEvery && wait % missEvery == missEvery - 1) {
                now += 3 * period;
                ++missed;
            }
        }
        QVERIFY2(!misplaced, "a wake-up or a deadline left the grid");
        // The first expiry is due at once; each missed stretch gives one
        // immediate return that takes three deadlines: after 100,000 waits
        // the grid is exactly where the deadlines taken put it.
        QCOMPARE(immediate, 1 + missed);
        QCOMPARE(grid.taken, std::int64_t(100000 + 2 * missed));
        QCOMPARE(grid.deadline(), origin + grid.taken * period);
    }

    // The same on the real clock, loosely: every wait ends on or after its
    // deadline, and the wake-ups sit just after grid points; a timer that
    // measured each period from its previous wake-up would drift across
    // them.
    void periodicTimerWakesOnItsGrid()
    {
        platform::PeriodicTimer *timer = os().createPeriodicTimer();
        QVERIFY(timer);
        const std::int64_t period = 2000000;
        const std::int64_t before = os().counterValue();
        QVERIFY(os().setPeriodicTimer(timer, 2));
        os().waitPeriodicTimer(timer, 1000);
        std::vector<std::int64_t> phases;
        for (int wait = 1; wait <= 500; ++wait) {
            os().waitPeriodicTimer(timer, 1000);
            const std::int64_t since = os().counterValue() - before;
            QVERIFY2(since >= wait * period, qPrintable(QString("wait %1 early").arg(wait)));
            phases.push_back(since % period);
        }
        os().closePeriodicTimer(timer);
        std::nth_element(phases.begin(), phases.begin() + 250, phases.end());
        QVERIFY2(phases[250] < period / 4, qPrintable(QString::number(phases[250])));
    }

    // Kernel receive stamps on a loopback socket: the peek tells the size
    // of each datagram, empty and largest too, and its stamp, which lies
    // between the send and the peek, and leaves the datagram queued.
    void receiveStampsComeWithThePeek_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<bool>("enable");
        QTest::newRow("empty, stamped") << 0 << true;
        QTest::newRow("64 bytes, stamped") << 64 << true;
        QTest::newRow("largest, stamped") << 65507 << true;
        QTest::newRow("64 bytes, not asked for") << 64 << false;
    }
    void receiveStampsComeWithThePeek()
    {
        QFETCH(int, size);
        QFETCH(bool, enable);
        const int receiver = socket(AF_INET, SOCK_DGRAM, 0);
        const int sender = socket(AF_INET, SOCK_DGRAM, 0);
        auto closeBoth = qScopeGuard([&] {
            close(receiver);
            close(sender);
        });
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        QVERIFY(bind(receiver, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0);
        QVERIFY(getsockname(receiver, reinterpret_cast<sockaddr *>(&address), &length) == 0);
        if (enable)
            QVERIFY(os().enableReceiveStamps(receiver));
        QCOMPARE(os().peekDatagram(receiver).size, std::int64_t(-1)); // nothing yet

        const std::int64_t sentAt = os().stampClockNs();
        const std::vector<char> payload(size_t(size), 'x');
        QCOMPARE(sendto(sender, payload.data(), payload.size(), 0,
                        reinterpret_cast<sockaddr *>(&address), sizeof address),
                 ssize_t(size));
        pollfd ready{receiver, POLLIN, 0};
        QCOMPARE(poll(&ready, 1, 2000), 1);
        const platform::PendingDatagram next = os().peekDatagram(receiver);
        const std::int64_t peekedAt = os().stampClockNs();
        QCOMPARE(next.size, std::int64_t(size));
        QCOMPARE(next.stamped, enable);
        if (enable) {
            QVERIFY2(next.stampNs >= sentAt && next.stampNs <= peekedAt,
                     qPrintable(
                         QString("%1 outside %2..%3").arg(next.stampNs).arg(sentAt).arg(peekedAt)));
        }
        QCOMPARE(os().peekDatagram(receiver).stampNs, next.stampNs);
        std::vector<char> room(65536);
        QCOMPARE(recv(receiver, room.data(), room.size(), 0), ssize_t(size));
        QCOMPARE(os().peekDatagram(receiver).size, std::int64_t(-1));
    }

    void sleepLastsAtLeastItsTime()
    {
        QElapsedTimer clock;
        clock.start();
        os().sleepMs(30);
        QVERIFY2(clock.elapsed() >= 30 && clock.elapsed() < 2000,
                 qPrintable(QString::number(clock.elapsed())));
    }

    void timerResolutionSetsAndRestoresTheSlack()
    {
        const int original = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
        QVERIFY(original > 1);
        os().beginTimerResolution(0); // refused, as Windows refuses 0
        QCOMPARE(prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0), original);

        os().beginTimerResolution(1);
        QCOMPARE(prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0), 1);
        int inherited = 0;
        std::thread([&] { inherited = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0); }).join();
        QCOMPARE(inherited, 1); // a worker started now wakes on time too
        os().endTimerResolution(1);
        QCOMPARE(prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0), original);
    }

    void prioritiesFollowTheWindowsTable()
    {
        if (!fifoPermitted())
            QSKIP(
                "no permission for SCHED_FIFO and negative nice here (needs CAP_SYS_NICE or root)");
        auto restore = qScopeGuard([] { os().restoreScheduling(); });
        Helper thread;
        const auto scheduling = [&](ProcessClass processClass, ThreadLevel level) {
            os().setProcessClass(processClass);
            thread.run([level] { os().setCurrentThreadLevel(level); });
            return rank(thread.tid);
        };
        const int fifoMax = sched_get_priority_max(SCHED_FIFO);
        const int fifoMin = sched_get_priority_min(SCHED_FIFO);

        QCOMPARE(scheduling(ProcessClass::Realtime, ThreadLevel::TimeCritical), 100 + fifoMax);
        QCOMPARE(scheduling(ProcessClass::Realtime, ThreadLevel::Idle), 100 + fifoMin);
        QCOMPARE(scheduling(ProcessClass::Normal, ThreadLevel::Normal), 0);
        QCOMPARE(scheduling(ProcessClass::Normal, ThreadLevel::Idle), -100);
        QCOMPARE(scheduling(ProcessClass::High, ThreadLevel::Idle), -100);
        QCOMPARE(scheduling(ProcessClass::Idle, ThreadLevel::Lowest), -19);
        QCOMPARE(scheduling(ProcessClass::Normal, ThreadLevel::TimeCritical), 20);
        QCOMPARE(scheduling(ProcessClass::High, ThreadLevel::Highest), 20);
        QCOMPARE(sched_getscheduler(thread.tid), SCHED_OTHER);

        // Higher base priority never schedules lower, across all 28 pairs.
        const ProcessClass classes[] = {ProcessClass::Idle, ProcessClass::Normal,
                                        ProcessClass::High, ProcessClass::Realtime};
        QList<QPair<int, int>> byBase; // (Windows base, rank)
        for (ProcessClass processClass : classes) {
            for (int level = 0; level < 7; ++level) {
                const auto threadLevel = ThreadLevel(level);
                byBase << qMakePair(platform::windowsBasePriority(processClass, threadLevel),
                                    scheduling(processClass, threadLevel));
            }
        }
        std::sort(byBase.begin(), byBase.end());
        for (int i = 1; i < byBase.size(); ++i) {
            QVERIFY2(byBase[i].second >= byBase[i - 1].second,
                     qPrintable(QString("base %1 ranks below base %2")
                                    .arg(byBase[i].first)
                                    .arg(byBase[i - 1].first)));
            if (byBase[i].first == byBase[i - 1].first)
                QCOMPARE(byBase[i].second, byBase[i - 1].second); // same base, same scheduling
        }
    }

    void classChangeKeepsEachThreadsLevel()
    {
        if (!fifoPermitted())
            QSKIP(
                "no permission for SCHED_FIFO and negative nice here (needs CAP_SYS_NICE or root)");
        auto restore = qScopeGuard([] { os().restoreScheduling(); });
        Helper raised;
        Helper untouched;
        os().setProcessClass(ProcessClass::Normal);
        raised.run([] { os().setCurrentThreadLevel(ThreadLevel::Highest); });
        QCOMPARE(rank(raised.tid), 6); // base 10
        QCOMPARE(rank(untouched.tid), 0);

        os().setProcessClass(ProcessClass::Realtime);
        QCOMPARE(sched_getscheduler(raised.tid), SCHED_FIFO);
        QCOMPARE(sched_getscheduler(untouched.tid), SCHED_FIFO);
        QVERIFY(rank(raised.tid) > rank(untouched.tid)); // base 26 over base 24
        QCOMPARE(sched_getscheduler(0), SCHED_FIFO);     // the whole process

        os().setProcessClass(ProcessClass::Normal);
        QCOMPARE(rank(raised.tid), 6);
        QCOMPARE(rank(untouched.tid), 0);
        QCOMPARE(sched_getscheduler(0), SCHED_OTHER);
    }

    void grantedSchedulingIsWhatTheKernelGave()
    {
        Helper thread;
        platform::ThreadScheduling granted;
        const auto grantedAt = [&](ThreadLevel level) {
            thread.run([&] {
                os().setCurrentThreadLevel(level);
                granted = os().currentThreadScheduling();
            });
        };
        thread.run([&] { granted = os().currentThreadScheduling(); });
        QCOMPARE(granted.policy, std::string("SCHED_OTHER"));
        QCOMPARE(granted.nice, getpriority(PRIO_PROCESS, id_t(thread.tid)));
        if (!fifoPermitted())
            QSKIP("the rest needs permission for SCHED_FIFO (CAP_SYS_NICE or root)");
        auto restore = qScopeGuard([] { os().restoreScheduling(); });
        os().setProcessClass(ProcessClass::Realtime);
        grantedAt(ThreadLevel::TimeCritical);
        QCOMPARE(granted.policy, std::string("SCHED_FIFO"));
        QCOMPARE(granted.priority, sched_get_priority_max(SCHED_FIFO));
        os().setProcessClass(ProcessClass::Normal);
        grantedAt(ThreadLevel::Idle);
        QCOMPARE(granted.policy, std::string("SCHED_IDLE"));
        grantedAt(ThreadLevel::Lowest); // base 6: nice 6
        QCOMPARE(granted.policy + " " + std::to_string(granted.priority) + " " +
                     std::to_string(granted.nice),
                 std::string("SCHED_OTHER 0 6"));
    }

    // Without CAP_SYS_NICE the layer asks the kernel for no more than the
    // limits allow, and knows which changes it could not come back from (for
    // a thread at SCHED_OTHER, nice 0).
    //
    // A policy asked for directly ("direct": "fifo 80"; base unused) gets the
    // same limits: there "undoable" reads "granted whole", what a required
    // realtime policy rests on.
    void schedulingWithinTheLimits_data()
    {
        QTest::addColumn<int>("rtprio"); // -1: privileged
        QTest::addColumn<int>("niceFloor");
        QTest::addColumn<int>("base");
        QTest::addColumn<QString>("asked");
        QTest::addColumn<bool>("undoable");
        QTest::addColumn<QString>("direct");
        const int top = sched_get_priority_max(SCHED_FIFO);
        const QString topFifo = QString("SCHED_FIFO %1").arg(top);
        QTest::newRow("privileged, Time Critical")
            << -1 << 20 << 31 << topFifo << true << QString();
        QTest::newRow("rtprio 0") << 0 << 20 << 31 << "keep" << true << QString();
        QTest::newRow("rtprio 1") << 1 << 20 << 31 << "SCHED_FIFO 1" << true << QString();
        QTest::newRow("rtprio 50") << 50 << 20 << 31 << "SCHED_FIFO 50" << true << QString();
        QTest::newRow("rtprio 50, Normal")
            << 50 << 20 << 24 << "SCHED_FIFO 50" << true << QString();
        QTest::newRow("rtprio 95") << 95 << 20 << 31 << "SCHED_FIFO 95" << true << QString();
        QTest::newRow("rtprio 95, Normal")
            << 95 << 20 << 24 << "SCHED_FIFO 53" << true << QString();
        QTest::newRow("rtprio 99") << 99 << 20 << 31 << "SCHED_FIFO 99" << true << QString();
        QTest::newRow("rtprio unlimited") << top << 20 << 31 << topFifo << true << QString();
        QTest::newRow("nice limit 0, -20 asked")
            << 0 << 20 << 15 << "SCHED_OTHER nice 0" << true << QString();
        QTest::newRow("nice limit 30")
            << 0 << -10 << 15 << "SCHED_OTHER nice -10" << true << QString();
        QTest::newRow("nice limit 40")
            << 0 << -20 << 15 << "SCHED_OTHER nice -20" << true << QString();
        QTest::newRow("nice 13, limit 0")
            << 0 << 20 << 4 << "SCHED_OTHER nice 13" << false << QString();
        QTest::newRow("nice 13, limit 20")
            << 0 << 0 << 4 << "SCHED_OTHER nice 13" << true << QString();
        QTest::newRow("privileged, nice 13")
            << -1 << 20 << 4 << "SCHED_OTHER nice 13" << true << QString();
        QTest::newRow("idle, limit 0") << 0 << 20 << 1 << "SCHED_IDLE nice 0" << false << QString();
        QTest::newRow("idle, limit 20") << 0 << 0 << 1 << "SCHED_IDLE nice 0" << true << QString();
        QTest::newRow("direct fifo 80, privileged")
            << -1 << 20 << 0 << "SCHED_FIFO 80" << true << "fifo 80";
        QTest::newRow("direct rr 99, privileged")
            << -1 << 20 << 0 << "SCHED_RR 99" << true << "rr 99";
        QTest::newRow("direct fifo 80, rtprio 50")
            << 50 << 20 << 0 << "SCHED_FIFO 50" << false << "fifo 80";
        QTest::newRow("direct fifo 50, rtprio 50")
            << 50 << 20 << 0 << "SCHED_FIFO 50" << true << "fifo 50";
        QTest::newRow("direct rr 1, rtprio 0") << 0 << 20 << 0 << "keep" << false << "rr 1";
        QTest::newRow("direct fifo 0") << -1 << 20 << 0 << "keep" << false << "fifo 0";
        QTest::newRow("direct fifo 100") << -1 << 20 << 0 << "keep" << false << "fifo 100";
        QTest::newRow("direct batch 0, no right")
            << 0 << 20 << 0 << "SCHED_BATCH nice 0" << true << "batch 0";
        QTest::newRow("direct idle 0, no right")
            << 0 << 20 << 0 << "SCHED_IDLE nice 0" << true << "idle 0";
        QTest::newRow("direct other 5") << -1 << 20 << 0 << "keep" << false << "other 5";
    }
    void schedulingWithinTheLimits()
    {
        QFETCH(int, rtprio);
        QFETCH(int, niceFloor);
        QFETCH(int, base);
        QFETCH(QString, asked);
        QFETCH(bool, undoable);
        QFETCH(QString, direct);
        platform::SchedulingLimits limits;
        limits.privileged = rtprio < 0;
        limits.realtimeCeiling = std::max(rtprio, 0);
        limits.niceFloor = niceFloor;
        namespace ls = platform::linuxsched;
        platform::Policy policy = platform::Policy::Other;
        const QStringList policyAndPriority = direct.split(' ');
        if (!direct.isEmpty())
            QVERIFY(platform::parsePolicy(policyAndPriority[0].toStdString(), policy));
        const int kernelPolicies[] = {SCHED_FIFO, SCHED_RR, SCHED_OTHER, SCHED_BATCH, SCHED_IDLE};
        const ls::PolicyRequest request = ls::schedulingForPolicy(
            kernelPolicies[int(policy)], policyAndPriority.value(1).toInt(), limits, 0);
        if (!direct.isEmpty())
            QCOMPARE(request.shortfall.empty(), undoable);
        const ls::KernelScheduling target =
            direct.isEmpty() ? ls::schedulingForBase(base, limits, 0) : request.target;
        const platform::ThreadScheduling named = ls::describe(target);
        const QString seen = target.policy == ls::KeepPolicy ? QString("keep")
            : target.policy == SCHED_FIFO || target.policy == SCHED_RR
            ? QString("%1 %2").arg(QString::fromStdString(named.policy)).arg(named.priority)
            : QString("%1 nice %2").arg(QString::fromStdString(named.policy)).arg(named.nice);
        QCOMPARE(seen, asked);
        if (direct.isEmpty())
            QCOMPARE(ls::mayReturn(limits, {SCHED_OTHER, 0, 0}, target), undoable);
    }

    // The same on the kernel, for a thread without the right to raise
    // priority and with no rtprio limit (an ordinary user here; as root, the
    // thread drops CAP_SYS_NICE): no realtime at all, a lowering class for
    // the run's own thread only, and the other threads as they were, also
    // after a restore.
    void withoutTheRightOnlyTheRunIsLowered()
    {
        Helper run;
        platform::SchedulingLimits limits;
        run.run([&] {
            dropCapSysNice();
            limits = os().schedulingLimits();
        });
        QVERIFY(!limits.privileged);
        if (limits.realtimeCeiling > 0 || limits.niceFloor <= 0)
            QSKIP("this user has an rtprio or nice limit; the case needs none");
        const QString before = scheduling(0);
        platform::ThreadScheduling granted;
        bool wholeClass = true;
        run.run([&] {
            os().setProcessClass(ProcessClass::Realtime);
            os().setRunThreadLevel(ThreadLevel::TimeCritical);
            granted = os().currentThreadScheduling();
            wholeClass = os().setProcessClass(ProcessClass::Idle);
            os().setRunThreadLevel(ThreadLevel::Normal);
        });
        QCOMPARE(granted.policy, std::string("SCHED_OTHER"));
        QVERIFY(!wholeClass);
        QCOMPARE(scheduling(run.tid), QString("OTHER nice 13"));
        // Asked directly, realtime is refused as well, and said so; the
        // thread stays as it was.
        platform::Outcome direct, wouldBe;
        run.run([&] {
            direct = platform::setCurrentThreadPolicy(platform::Policy::Fifo, 1);
            wouldBe = platform::realtimeWouldBeGranted(platform::Policy::RoundRobin, 1);
        });
        QVERIFY(!direct.granted && !wouldBe.granted);
        QVERIFY2(wouldBe.detail.find("RLIMIT_RTPRIO is 0") != std::string::npos,
                 wouldBe.detail.c_str());
        QCOMPARE(scheduling(run.tid), QString("OTHER nice 13"));
        QCOMPARE(scheduling(0), before);
        run.run([] { os().restoreScheduling(); });
        QCOMPARE(scheduling(0), before);
    }

    // A policy set directly is the kernel's, resets on fork like a run's,
    // and survives class changes, which are for the other threads.
    void policySetDirectlyStays()
    {
        if (!fifoPermitted())
            QSKIP("needs permission for SCHED_FIFO (CAP_SYS_NICE or root)");
        auto restore = qScopeGuard([] { os().restoreScheduling(); });
        Helper thread;
        platform::Outcome outcome;
        thread.run(
            [&] { outcome = platform::setCurrentThreadPolicy(platform::Policy::RoundRobin, 7); });
        QVERIFY2(outcome.granted, outcome.detail.c_str());
        QCOMPARE(sched_getscheduler(thread.tid) & ~SCHED_RESET_ON_FORK, SCHED_RR);
        QVERIFY(resetsOnFork(thread.tid));
        os().setProcessClass(ProcessClass::Realtime);
        os().setProcessClass(ProcessClass::Idle);
        QCOMPARE(threadScheduling(thread.tid).priority, 7);
        QCOMPARE(sched_getscheduler(thread.tid) & ~SCHED_RESET_ON_FORK, SCHED_RR);
        thread.run([&] { outcome = platform::setCurrentThreadPolicy(platform::Policy::Batch, 0); });
        QVERIFY2(outcome.granted, outcome.detail.c_str());
        QCOMPARE(sched_getscheduler(thread.tid), SCHED_BATCH);
        const QString here = scheduling(0);
        QVERIFY(platform::realtimeWouldBeGranted(platform::Policy::Fifo, 99).granted);
        QCOMPARE(scheduling(0), here); // the query changed no thread here
    }

    // A user's CPU list, within the CPUs allowed (here 0-3 and 8), and the
    // kernel's list format back.
    void cpuListsParse_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("cpus"); // formatted back; empty: refused
        QTest::addColumn<QString>("error");
        QTest::newRow("one") << "2"
                             << "2"
                             << "";
        QTest::newRow("list and range") << "0,2-3"
                                        << "0,2-3"
                                        << "";
        QTest::newRow("unordered, repeated") << "3,0,1,3"
                                             << "0-1,3"
                                             << "";
        QTest::newRow("all") << "all"
                             << "0-3,8"
                             << "";
        QTest::newRow("not allowed") << "99"
                                     << ""
                                     << "CPU 99 is not one this process may use (it may use 0-3,8)";
        QTest::newRow("range into a gap") << "3-5"
                                          << ""
                                          << "CPU 4 is not one";
        QTest::newRow("reversed range") << "3-2"
                                        << ""
                                        << "not a CPU list";
        QTest::newRow("empty") << ""
                               << ""
                               << "not a CPU list";
        QTest::newRow("trailing comma") << "1,"
                                        << ""
                                        << "not a CPU list";
        QTest::newRow("sign") << "-1"
                              << ""
                              << "not a CPU list";
        QTest::newRow("word") << "first"
                              << ""
                              << "not a CPU list";
        QTest::newRow("beyond any mask") << "99999999999"
                                         << ""
                                         << "not a CPU list";
    }
    void cpuListsParse()
    {
        QFETCH(QString, text);
        QFETCH(QString, cpus);
        QFETCH(QString, error);
        const platform::CpuListParse parsed =
            platform::parseCpuList(text.toStdString(), {0, 1, 2, 3, 8});
        QCOMPARE(QString::fromStdString(platform::formatCpuList(parsed.cpus)), cpus);
        QVERIFY2(error.isEmpty() == parsed.error.empty() &&
                     QString::fromStdString(parsed.error).contains(error),
                 parsed.error.c_str());
    }

    // Pinned, a thread may run on that CPU only, as sched_getaffinity says;
    // a CPU the process may not use is refused, and the thread stays.
    void pinningIsTheKernelsAffinity()
    {
        cpu_set_t set;
        CPU_ZERO(&set);
        QCOMPARE(sched_getaffinity(getpid(), sizeof set, &set), 0);
        platform::CpuList allowed;
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
            if (CPU_ISSET(cpu, &set))
                allowed.push_back(cpu);
        }
        QCOMPARE(platform::allowedCpus(), allowed);
        Helper thread;
        for (int cpu : allowed) {
            platform::Outcome pinned;
            thread.run([&] { pinned = platform::pinCurrentThread(cpu); });
            QVERIFY2(pinned.granted, pinned.detail.c_str());
            CPU_ZERO(&set);
            QCOMPARE(sched_getaffinity(thread.tid, sizeof set, &set), 0);
            QCOMPARE(CPU_COUNT(&set), 1);
            QVERIFY(CPU_ISSET(cpu, &set));
        }
        // Pinning the main thread does not narrow the process's CPUs either.
        cpu_set_t mainMask;
        QCOMPARE(sched_getaffinity(0, sizeof mainMask, &mainMask), 0);
        QVERIFY(platform::pinCurrentThread(allowed.front()).granted);
        const platform::CpuList whilePinned = platform::allowedCpus();
        sched_setaffinity(0, sizeof mainMask, &mainMask);
        QCOMPARE(whilePinned, allowed);
        platform::Outcome refused;
        platform::CpuList after;
        thread.run([&] {
            refused = platform::pinCurrentThread(99);
            after = platform::currentThreadCpus();
        });
        QVERIFY(!refused.granted);
        QVERIFY2(refused.detail.find("CPU 99 is not one this process may use") != std::string::npos,
                 refused.detail.c_str());
        QCOMPARE(after, platform::CpuList{allowed.back()});
    }

    // Locked where the process may lock without limit, and unlocked when
    // the last holder lets go; otherwise left unlocked and said, with the
    // limit. The prefault helpers touch what they are given.
    void memoryLockedOrSaid()
    {
        QCOMPARE(lockedKb(), qint64(0));
        std::vector<char> buffer(256 * 1024, 'v');
        platform::prefault({buffer.data(), buffer.size()});
        platform::prefaultStack(64 * 1024);
        QCOMPARE(buffer.front() + buffer.back(), 'v' + 'v');
        platform::MemoryLock first, second;
        first.acquire({{buffer.data(), buffer.size()}});
        second.acquire();
#ifdef __SANITIZE_ADDRESS__
        // The address sanitizer answers mlockall itself, with 0 and no lock.
        const bool kernelLocks = false;
#else
        const bool kernelLocks = true;
#endif
        if (memoryLockPermitted()) {
            QVERIFY2(first.held() && second.held(), first.result().detail.c_str());
            QVERIFY(!kernelLocks || lockedKb() >= qint64(buffer.size() / 1024));
            first.release();
            QVERIFY(!kernelLocks || lockedKb() > 0); // the second still holds
            second.release();
            QCOMPARE(lockedKb(), qint64(0));
        } else {
            QVERIFY(!first.held() && !second.held());
            QVERIFY2(first.result().detail.find("RLIMIT_MEMLOCK is") != std::string::npos &&
                         first.result().detail.find("CAP_IPC_LOCK") != std::string::npos,
                     first.result().detail.c_str());
            QCOMPARE(lockedKb(), qint64(0));
        }
    }

    // Held where /dev/cpu_dma_latency may be written: the kernel's target,
    // read back from the device, is at most what was asked (another holder
    // may ask for less). Otherwise said, with how to get it.
    void powerStateHeldOrSaid_data()
    {
        QTest::addColumn<int>("latencyUs");
        QTest::newRow("0 us") << 0;
        QTest::newRow("20 us") << 20;
    }
    void powerStateHeldOrSaid()
    {
        QFETCH(int, latencyUs);
        platform::PowerStateHold hold;
        hold.acquire(latencyUs);
        if (!powerStateHoldPermitted()) {
            QVERIFY(!hold.held());
            QVERIFY2(hold.result().detail.find("Permission denied") != std::string::npos &&
                         hold.result().detail.find("udev rule") != std::string::npos,
                     hold.result().detail.c_str());
            return;
        }
        QVERIFY2(hold.held(), hold.result().detail.c_str());
        const int device = open("/dev/cpu_dma_latency", O_RDONLY | O_CLOEXEC);
        QVERIFY(device >= 0);
        std::int32_t target = -1;
        QCOMPARE(read(device, &target, sizeof target), ssize_t(sizeof target));
        close(device);
        QVERIFY2(target >= 0 && target <= latencyUs, qPrintable(QString::number(target)));
        hold.release();
        QVERIFY(!hold.held());
        QVERIFY(!hold.acquire(-1).granted);
    }

    // The preemption model as the kernel tells it, never guessed.
    void preemptionModelFromTheKernel_data()
    {
        QTest::addColumn<QString>("debugfs");
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("commandLine");
        QTest::addColumn<QString>("model");
        const QString dynamic = "#1 SMP PREEMPT_DYNAMIC Debian 6.1.115-1 (2024-11-01)";
        QTest::newRow("debugfs") << "none voluntary (full) lazy" << dynamic << ""
                                 << "full";
        QTest::newRow("debugfs none") << "(none) voluntary full" << dynamic << ""
                                      << "none";
        QTest::newRow("dynamic, preempt= given") << "" << dynamic << "quiet preempt=none"
                                                 << "none";
        QTest::newRow("dynamic, no more said") << "" << dynamic << "quiet"
                                               << "dynamic";
        QTest::newRow("rt") << ""
                            << "#1 SMP PREEMPT_RT Debian 6.1.115-1"
                            << ""
                            << "rt";
        QTest::newRow("full") << ""
                              << "#1 SMP PREEMPT Fri Jan 1"
                              << ""
                              << "full";
        QTest::newRow("not said") << ""
                                  << "#1 SMP Debian 6.1.115-1"
                                  << "preempt=full"
                                  << "";
        QTest::newRow("nothing readable") << ""
                                          << ""
                                          << ""
                                          << "";
    }
    void preemptionModelFromTheKernel()
    {
        QFETCH(QString, debugfs);
        QFETCH(QString, version);
        QFETCH(QString, commandLine);
        QFETCH(QString, model);
        const Preemption seen = preemptionModel(debugfs.toStdString(), version.toStdString(),
                                                commandLine.toStdString());
        QCOMPARE(QString::fromStdString(seen.model), model);
        QCOMPARE(seen.from.empty(), model.isEmpty());
    }

    // A caught request is data for the waiting thread; it no longer ends the
    // process.
    void stopRequestsAreTakenNotDelivered()
    {
        sigset_t before;
        pthread_sigmask(SIG_SETMASK, nullptr, &before);
        auto restore = qScopeGuard([&] { pthread_sigmask(SIG_SETMASK, &before, nullptr); });
        platform::catchStopRequests();

        QElapsedTimer waited;
        waited.start();
        QVERIFY(!platform::waitForStopRequest(50));
        QVERIFY(waited.elapsed() >= 45);
        for (int signal : {SIGINT, SIGTERM}) {
            raise(signal);
            QVERIFY(platform::waitForStopRequest(1000));
            QVERIFY(!platform::waitForStopRequest(0)); // taken once
        }
    }

    // As root, where the kernel lets it trace: a FIFO-90 thread busy 2 ms
    // every 100 ms on the CPU of a FIFO-80 thread sleeping to 1 ms
    // deadlines. The trace names the burster for most of its bursts (the
    // host may hide a few: half is the bound).
    void traceNamesTheTaskThatHeldTheCpu()
    {
        if (geteuid() != 0)
            QSKIP("needs root");
        const platform::CpuList cpus = platform::allowedCpus();
        if (cpus.empty())
            QSKIP("the CPUs this process may use are not known");
        const int cpu = cpus.back();
        const platform::TraceAccess access = platform::traceAccess(cpu);
        if (!access.allowed)
            QSKIP(access.reason.c_str());
        constexpr qint64 Ms = 1000000;
        const auto now = [] {
            timespec t{};
            clock_gettime(CLOCK_MONOTONIC, &t);
            return qint64(t.tv_sec) * 1000000000 + t.tv_nsec;
        };
        const auto realtime = [cpu](int priority) {
            cpu_set_t one;
            CPU_ZERO(&one);
            CPU_SET(cpu, &one);
            sched_param param{};
            param.sched_priority = priority;
            return sched_setaffinity(0, sizeof one, &one) == 0 &&
                pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
        };
        std::atomic<bool> stop{false}, burst{false};
        std::atomic<int> waiterTid{-1}, ready{0};
        std::atomic<bool> granted{true};
        std::vector<std::pair<qint64, qint64>> late; // deadline, wake-up
        std::vector<qint64> bursts;
        late.reserve(20000);
        bursts.reserve(1000);
        std::thread waiter([&] {
            if (!realtime(80))
                granted = false;
            waiterTid = int(gettid());
            timespec next{};
            clock_gettime(CLOCK_MONOTONIC, &next);
            while (!stop) {
                next.tv_nsec += 1000000;
                if (next.tv_nsec >= 1000000000) {
                    next.tv_nsec -= 1000000000;
                    ++next.tv_sec;
                }
                clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
                const qint64 woke = now();
                const qint64 deadline = qint64(next.tv_sec) * 1000000000 + next.tv_nsec;
                if (woke - deadline > Ms / 4 && late.size() < late.capacity())
                    late.emplace_back(deadline, woke);
            }
        });
        std::thread burster([&] {
            prctl(PR_SET_NAME, "vtburster");
            if (!realtime(90))
                granted = false;
            ++ready;
            while (!stop) {
                if (burst && bursts.size() < bursts.capacity()) {
                    const qint64 start = now();
                    bursts.push_back(start);
                    while (now() - start < 2 * Ms) { }
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(98));
            }
        });
        QTRY_VERIFY(waiterTid > 0 && ready > 0);
        platform::TraceSession session;
        const bool opened = session.open({cpu}, waiterTid);
        std::vector<platform::TraceRecord> records;
        if (opened && granted) {
            burst = true;
            // 3 s of bursts, drained every 100 ms as the sampler does.
            for (int i = 0; i < 30; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                session.drain(records);
            }
        }
        stop = true;
        waiter.join();
        burster.join();
        session.drain(records);
        QVERIFY2(opened, session.whyNot().c_str());
        if (!granted)
            QSKIP("SCHED_FIFO was refused");
        std::stable_sort(records.begin(), records.end(),
                         [](const platform::TraceRecord &a, const platform::TraceRecord &b) {
                             return a.timeNs < b.timeNs;
                         });
        int named = 0;
        for (const qint64 start : bursts) {
            for (const auto &[deadline, woke] : late) {
                if (deadline < start || deadline > start + 2 * Ms)
                    continue;
                const SpikeTrace seen =
                    attributeSpike(records, waiterTid, deadline, woke, session.interrupts());
                if (std::strcmp(seen.culpritComm, "vtburster") == 0) {
                    ++named;
                    break;
                }
            }
        }
        qInfo("trace: %d of %d bursts named the burster; %d late wake-ups, %zu records, %llu "
              "lost",
              named, int(bursts.size()), int(late.size()), records.size(),
              static_cast<unsigned long long>(session.lost()));
        QVERIFY(bursts.size() >= 10);
        QVERIFY2(2 * named >= int(bursts.size()), "the trace named too few bursts");
    }

    void basePriorityTable()
    {
        // Anchors of Windows' table, and the range of each class.
        QCOMPARE(platform::windowsBasePriority(ProcessClass::Normal, ThreadLevel::Normal), 8);
        QCOMPARE(platform::windowsBasePriority(ProcessClass::Realtime, ThreadLevel::TimeCritical),
                 31);
        QCOMPARE(platform::windowsBasePriority(ProcessClass::Realtime, ThreadLevel::Idle), 16);
        QCOMPARE(platform::windowsBasePriority(ProcessClass::High, ThreadLevel::Normal), 13);
        QCOMPARE(platform::windowsBasePriority(ProcessClass::Idle, ThreadLevel::Normal), 4);
        for (ProcessClass processClass :
             {ProcessClass::Idle, ProcessClass::Normal, ProcessClass::High}) {
            QCOMPARE(platform::windowsBasePriority(processClass, ThreadLevel::Idle), 1);
            QCOMPARE(platform::windowsBasePriority(processClass, ThreadLevel::TimeCritical), 15);
        }
    }
};

QTEST_GUILESS_MAIN(TestPlatform)
#include "tst_platform.moc"
