// SPDX-License-Identifier: MIT
// Cost of one tick's accounting (stopwatch reading and statistics) beside a
// bare read of the counter, in one run. Goal: at most 1.5 x the bare read.
#include "platform.h"
#include "rtthread.h"

#include <benchmark/benchmark.h>

#include <QUdpSocket>

#ifdef Q_OS_UNIX
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <new>
#include <string>

// Every allocation in the process is counted, to show that a tick makes none.
static std::atomic<long> allocations{0};

void *operator new(std::size_t size)
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void *p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void *p) noexcept
{
    std::free(p);
}
void operator delete(void *p, std::size_t) noexcept
{
    std::free(p);
}

namespace {

// The tick slots are protected; the benchmark calls them as run() would.
class BenchThread : public RtThread
{
public:
    using RtThread::runTimerTick;
    using RtThread::udpRead;
};

void bareClockGettime(benchmark::State &state)
{
    timespec now{};
    for (auto _ : state) {
        clock_gettime(CLOCK_MONOTONIC, &now);
        benchmark::DoNotOptimize(now);
    }
}

void osLayerCounterRead(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(platform::os().counterValue());
}

void stopwatchReading(benchmark::State &state)
{
    PerfStopwatch stopwatch;
    stopwatch.restart();
    for (auto _ : state)
        benchmark::DoNotOptimize(stopwatch.elapsedSeconds());
}

// One tick through a slot as the worker's loop calls it: no socket, so the
// tick's accounting alone.
template <void (RtThread::*slot)()>
void tick(benchmark::State &state)
{
    BenchThread worker;
    worker.stopwatch.restart();
    const long before = allocations.load();
    for (auto _ : state)
        (worker.*slot)();
    state.counters["allocs/tick"] =
        double(allocations.load() - before) / double(state.iterations());
    benchmark::DoNotOptimize(worker.statistics().tickCount);
}

// A timer tick that also sends its datagram, to loopback only.
void sendingTimerTick(benchmark::State &state)
{
    BenchThread worker;
    QUdpSocket socket;
    worker.udpSocket = &socket;
    worker.sendAddress = QStringLiteral("127.0.0.1");
    worker.sendUdp = true;
    worker.stopwatch.restart();
    const long before = allocations.load();
    for (auto _ : state)
        worker.runTimerTick();
    state.counters["allocs/tick"] =
        double(allocations.load() - before) / double(state.iterations());
    worker.udpSocket = nullptr;
}

#ifdef Q_OS_UNIX
// A receive tick that drains one 64-byte datagram, sent just before by a
// plain POSIX socket (which allocates nothing) to an ephemeral loopback port.
void receiveTickOneDatagram(benchmark::State &state)
{
    BenchThread worker;
    QUdpSocket socket;
    if (!socket.bind(QHostAddress::LocalHost, 0)) {
        state.SkipWithError("cannot bind a loopback port");
        return;
    }
    worker.udpSocket = &socket;
    const int sender = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(socket.localPort());
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const char payload[64] = {};
    worker.stopwatch.restart();
    const long before = allocations.load();
    for (auto _ : state) {
        ::sendto(sender, payload, sizeof payload, 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
        worker.udpRead();
    }
    state.counters["allocs/tick"] =
        double(allocations.load() - before) / double(state.iterations());
    worker.udpSocket = nullptr;
    ::close(sender);
}
BENCHMARK(receiveTickOneDatagram);
#endif

BENCHMARK(bareClockGettime);
BENCHMARK(osLayerCounterRead);
BENCHMARK(stopwatchReading);
BENCHMARK_TEMPLATE(tick, &BenchThread::runTimerTick)->Name("timerTick");
BENCHMARK_TEMPLATE(tick, &BenchThread::udpRead)->Name("receiveTickWithoutDatagrams");
BENCHMARK(sendingTimerTick);

// Keeps each benchmark's time per iteration (the median when repeated) to
// print the ratios at the end.
class RatioReporter : public benchmark::ConsoleReporter
{
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs) {
            const std::string &name = run.run_name.function_name;
            if (run.error_occurred)
                continue;
            // A median comes after its repetitions and replaces them.
            if ((run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") ||
                run.run_type == Run::RT_Iteration)
                nanos[name] = run.GetAdjustedRealTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> nanos;
};

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const std::map<std::string, double> &t = reporter.nanos;
    const auto has = [&](const char *name) { return t.count(name) != 0; };
    if (has("bareClockGettime") && has("timerTick")) {
        const double bare = t.at("bareClockGettime");
        std::printf("\nper tick, against a bare counter read (%.1f ns):\n", bare);
        for (const char *name :
             {"osLayerCounterRead", "stopwatchReading", "timerTick", "receiveTickWithoutDatagrams",
              "receiveTickOneDatagram", "sendingTimerTick"}) {
            if (has(name))
                std::printf("  %-28s %7.1f ns  %5.2f x\n", name, t.at(name), t.at(name) / bare);
        }
        const double ratio = t.at("timerTick") / bare;
        std::printf("goal: timerTick at most 1.50 x the bare read: %s (%.2f x)\n",
                    ratio <= 1.5 ? "met" : "NOT met", ratio);
    }
    return 0;
}
