// SPDX-License-Identifier: MIT
// The Linux OS layer against the real kernel: counter, periodic timer and
// its grid, receive stamps, scheduler mapping of the Windows priorities,
// timer slack.
#include "linuxscheduling.h"
#include "platform.h"
#include "probes.h"

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

#include <algorithm>
#include <condition_variable>
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
    void schedulingWithinTheLimits_data()
    {
        QTest::addColumn<int>("rtprio"); // -1: privileged
        QTest::addColumn<int>("niceFloor");
        QTest::addColumn<int>("base");
        QTest::addColumn<QString>("asked");
        QTest::addColumn<bool>("undoable");
        const int top = sched_get_priority_max(SCHED_FIFO);
        const QString topFifo = QString("SCHED_FIFO %1").arg(top);
        QTest::newRow("privileged, Time Critical") << -1 << 20 << 31 << topFifo << true;
        QTest::newRow("rtprio 0") << 0 << 20 << 31 << "keep" << true;
        QTest::newRow("rtprio 1") << 1 << 20 << 31 << "SCHED_FIFO 1" << true;
        QTest::newRow("rtprio 50") << 50 << 20 << 31 << "SCHED_FIFO 50" << true;
        QTest::newRow("rtprio 50, Normal") << 50 << 20 << 24 << "SCHED_FIFO 50" << true;
        QTest::newRow("rtprio 95") << 95 << 20 << 31 << "SCHED_FIFO 95" << true;
        QTest::newRow("rtprio 95, Normal") << 95 << 20 << 24 << "SCHED_FIFO 53" << true;
        QTest::newRow("rtprio 99") << 99 << 20 << 31 << "SCHED_FIFO 99" << true;
        QTest::newRow("rtprio unlimited") << top << 20 << 31 << topFifo << true;
        QTest::newRow("nice limit 0, -20 asked") << 0 << 20 << 15 << "SCHED_OTHER nice 0" << true;
        QTest::newRow("nice limit 30") << 0 << -10 << 15 << "SCHED_OTHER nice -10" << true;
        QTest::newRow("nice limit 40") << 0 << -20 << 15 << "SCHED_OTHER nice -20" << true;
        QTest::newRow("nice 13, limit 0") << 0 << 20 << 4 << "SCHED_OTHER nice 13" << false;
        QTest::newRow("nice 13, limit 20") << 0 << 0 << 4 << "SCHED_OTHER nice 13" << true;
        QTest::newRow("privileged, nice 13") << -1 << 20 << 4 << "SCHED_OTHER nice 13" << true;
        QTest::newRow("idle, limit 0") << 0 << 20 << 1 << "SCHED_IDLE nice 0" << false;
        QTest::newRow("idle, limit 20") << 0 << 0 << 1 << "SCHED_IDLE nice 0" << true;
    }
    void schedulingWithinTheLimits()
    {
        QFETCH(int, rtprio);
        QFETCH(int, niceFloor);
        QFETCH(int, base);
        QFETCH(QString, asked);
        QFETCH(bool, undoable);
        platform::SchedulingLimits limits;
        limits.privileged = rtprio < 0;
        limits.realtimeCeiling = std::max(rtprio, 0);
        limits.niceFloor = niceFloor;
        namespace ls = platform::linuxsched;
        const ls::KernelScheduling target = ls::schedulingForBase(base, limits, 0);
        const platform::ThreadScheduling named = ls::describe(target);
        const QString seen = target.policy == ls::KeepPolicy ? QString("keep")
            : target.policy == SCHED_FIFO
            ? QString("SCHED_FIFO %1").arg(named.priority)
            : QString("%1 nice %2").arg(QString::fromStdString(named.policy)).arg(named.nice);
        QCOMPARE(seen, asked);
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
        QCOMPARE(scheduling(0), before);
        run.run([] { os().restoreScheduling(); });
        QCOMPARE(scheduling(0), before);
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
