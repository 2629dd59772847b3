// SPDX-License-Identifier: MIT
// The measurement worker: one run from startRun to the stop protocol, ticking
// on the chosen clock into its recorders, whose statistics the window reads
// while the run goes on.
#pragma once

#include "drainbudget.h"
#include "latenessrecorder.h"
#include "perfstopwatch.h"
#include "platform.h"
#include "runsettings.h"
#include "runstatistics.h"
#include "runtimeline.h"
#include "spikereport.h"
#include "spikesampler.h"
#include "stamprecorder.h"
#include "tickrecorder.h"

#include <QString>
#include <QThread>

#include <array>
#include <atomic>
#include <limits>
#include <memory>
#include <vector>

QT_BEGIN_NAMESPACE
class QHostAddress;
class QTimer;
class QUdpSocket;
QT_END_NAMESPACE

class RtThread : public QThread
{
    Q_OBJECT

public:
    // The clock sources and the port, as RunSettings names them.
    using ClockMode = ::ClockMode;
    static constexpr ClockMode TimerEventMode = ::TimerEventMode;
    static constexpr ClockMode MsleepMode = ::MsleepMode;
    static constexpr ClockMode WaitableTimerMode = ::WaitableTimerMode;
    static constexpr quint16 UdpPort = RunSettings::UdpPort;
    static constexpr int DatagramSize = RunSettings::DatagramSize;

    // Why the latest run ended.
    enum RunEnd {
        RunNotEnded,   // no run yet, or the run still goes on
        RunStopped,    // ended by the stop protocol
        RunHadNoClock, // the configuration has no clock, so it ended at once
        RunBindFailed, // UdpPort could not be bound: another program holds it
        RunTerminated  // did not stop in time and was terminated
    };

    // The address the worker listens on at UdpPort: bindAddress, or every
    // local IPv4 address when it is empty.
    static QHostAddress listenAddress(const QString &bindAddress);

    explicit RtThread(QObject *parent = nullptr);
    ~RtThread() override;

    // The clock, period, target and address of the next run, and the send
    // flag as it starts. Set between runs, by the GUI thread.
    void setSettings(const RunSettings &settings);
    const RunSettings &settings() const { return runSettings; }
    int clockMode() const { return runSettings.clockMode; }
    int clockPeriodMs() const { return runSettings.periodMs; }
    const QString &sendAddress() const { return runSettings.target; }

    void startRun(QThread::Priority priority);
    void stopRun();

    // Takes this machine's broadcast addresses as its interfaces have them
    // now, never to be sent to (0.0.0.0 and 255.255.255.255 never are
    // anyway). startRun calls it; the GUI thread's work, not the worker's.
    void learnBroadcastTargets();

    // Keep every counted interval, in seconds, in buffer as well, until
    // capacity are kept; a null buffer keeps none. arrivals, when given, has
    // room for as many: beside each kept interval, the arrival interval of
    // the first datagram that tick drained, by the kernel's stamps, and NaN
    // where it had none. Set between runs; read keptIntervals once the run
    // has ended.
    void keepIntervals(double *buffer, quint64 capacity, double *arrivals = nullptr)
    {
        ticks.keepIntervals(buffer, capacity, arrivals);
        keptBuffer = buffer;
        keptArrivals = arrivals;
        keptCapacity = capacity;
    }
    quint64 keptIntervals() const { return ticks.keptIntervals(); }
    // The kept-interval buffers, for a memory lock that takes regions
    // (Windows); empty when none are kept.
    std::vector<platform::MemoryRegion> keptRegions() const
    {
        std::vector<platform::MemoryRegion> regions;
        const std::size_t bytes = std::size_t(keptCapacity) * sizeof(double);
        for (double *buffer : {keptBuffer, keptArrivals}) {
            if (buffer && bytes > 0)
                regions.push_back({buffer, bytes});
        }
        return regions;
    }

    // The statistics as they are now, read while the worker may tick: every
    // value whole, and the bins of one reading taken together.
    RunStatistics statistics() const;

    // When in the run the ticks and the long intervals came, as it is now:
    // the slots of one reading taken together, the open one up to now.
    RunTimeline timeline() const { return ticks.timeline(); }

    // The timed clocks' lateness from their deadlines, and the overruns, as
    // they are now; read as statistics() is.
    LatenessStatistics lateness() const { return latenessRecorder.statistics(); }

    // The lateness above which a timer tick is a spike (and, when given,
    // the interval above which a receive wake-up is one); 0: ten times the
    // run's median lateness and over 100 us. Set between runs.
    void setSpikeAboveNs(qint64 ns) { spikeGivenNs = ns > 0 ? ns : 0; }
    // The judged spikes so far, with the sources and the threshold; the
    // sampler's copy, read without waiting on the worker.
    SpikeReport spikes() const;

    // Written by the GUI thread, read by the worker: the stop request, and
    // the send flag, which the window may change during a run.
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> sendUdp{false};

    QTimer *clockTimer = nullptr;
    QUdpSocket *udpSocket = nullptr;
    PerfStopwatch stopwatch;

    std::atomic<int> lastRunEnd{RunNotEnded}; // a RunEnd; reset by startRun

    // What the scheduler granted the worker's thread once it set its own
    // level, before its first tick; false until then.
    bool grantedScheduling(platform::ThreadScheduling *granted) const;
    // Published with it: the settings' CPU pinning and direct policy as the
    // OS granted them (detail empty for what was not asked).
    bool grantedPlacement(platform::Outcome *pinned, platform::Outcome *policy) const;

protected:
    void run() override;

protected slots:
    void runTimerTick();
    void udpRead();
    void resumeDraining();

protected:
    // Started by the timed clock loops with their deadlines; protected so
    // that the tick's benchmark starts it as a loop would.
    LatenessRecorder latenessRecorder;

private:
    bool drainOneDatagram();
    void resetStatistics();
    // The steps of run: the worker's own priority, the socket, the clock.
    void applyStartPriority();
    void prefaultMemory();
    bool bindSocket();
    void startMeasuring();
    RunEnd runClock();
    void closeSocket();
    void runEventLoopClock(int periodMs);
    void runSleepClock(int periodMs);
    void runReceiveLoop();
    void runPeriodicTimerClock(int periodMs);
    void releaseTerminatedRun();
    bool refusesTarget(quint32 address) const;

    // The receive side of a wake-up: one datagram at a time, at most a
    // bounded number per wake-up, and the processor time it all takes held
    // to the budget.
    double wakeUp();
    void drainSocket();
    double spendBudget();
    qint64 publishSocketDrops();

    RunSettings runSettings; // read by the worker; written only between runs

    // Spikes: the worker's rare branch, what it publishes for the sampler at
    // its start, and the sampler, started and stopped with the run.
    Q_DECL_COLD_FUNCTION void noteSpike(double now, qint64 lateNs, double intervalSeconds);
    void startSpikeWatch();
    void touchFreshMemory();
    void startSpikeSampler();
    static constexpr qint64 NoSpikes = std::numeric_limits<qint64>::max();
    std::atomic<qint64> spikeAboveNs{NoSpikes};    // timer lateness; published by the sampler
    std::atomic<qint64> intervalAboveNs{NoSpikes}; // receive intervals; only when given
    qint64 spikeGivenNs = 0;
    SpikeRing spikeRing;
    SpikeSampler spikeSampler{spikeRing};
    std::unique_ptr<platform::OwnThreadCounters> ownCounters; // made on the worker
    std::atomic<bool> watchReady{false};
    std::int64_t watchThreadId = -1; // published by watchReady
    std::atomic<qint64> watchStartNs{0};
    std::int64_t watchSlackNs = -1;
    int watchCpu = -1;
    bool watchRealtime = false;
    // Test knobs, read from the environment at the run's start: fresh
    // memory touched before every so many periodic-timer ticks, and the
    // worker's timer slack.
    int faultEveryTicks = 0;
    int faultPages = 0;
    int faultCountdown = 0;

    // Written by the worker, read by statistics() in another thread.
    TickRecorder ticks;
    StampRecorder stamps;
    std::atomic<qint64> socketDrops{-1}; // -1: not known
    std::atomic<double> floodRate{0.0};  // 0: never flooded

    platform::ThreadScheduling granted; // published by grantedKnown
    platform::Outcome pinOutcome;       // likewise
    platform::Outcome policyOutcome;    // likewise
    double *keptBuffer = nullptr;       // touched before the first tick
    double *keptArrivals = nullptr;
    quint64 keptCapacity = 0;
    std::atomic<bool> grantedKnown{false};

    QThread::Priority startPriority = InheritPriority;
    platform::PeriodicTimer *periodicTimer = nullptr; // held only for cleanup after a termination
    DrainBudget drainBudget;
    quint64 datagramsRead = 0;
    bool drainPaused = false;      // event loop: wake-ups leave the socket alone until resumeTimer
    QTimer *resumeTimer = nullptr; // event loop only
    // Besides 0.0.0.0 and 255.255.255.255, the local broadcast addresses
    // that startRun found, never sent to.
    std::array<quint32, 32> broadcastTargets{};
    int broadcastTargetCount = 0;
    char scratch[65536]; // discarded datagrams land here
};
