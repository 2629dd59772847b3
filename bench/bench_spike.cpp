// SPDX-License-Identifier: MIT
// What a spike costs the worker (its own counters, read once, and the ring)
// and what the sampler costs: one snapshot, one verdict and, with
// --sampler-seconds=N, its CPU share over N seconds of snapshots every
// 100 ms, from its thread's schedstat run time.
#include "platform.h"
#include "spikesampler.h"
#include "spikeverdict.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

namespace {

// The worker's read at a spike: schedstat through the kept descriptor and
// getrusage(RUSAGE_THREAD).
void ownCounters(benchmark::State &state)
{
    platform::OwnThreadCounters own;
    for (auto _ : state)
        benchmark::DoNotOptimize(own.read());
}

// Its two halves, and schedstat opened at every read instead.
void schedstatKeptDescriptor(benchmark::State &state)
{
    const int fd = open("/proc/thread-self/schedstat", O_RDONLY | O_CLOEXEC);
    char text[128];
    for (auto _ : state)
        benchmark::DoNotOptimize(pread(fd, text, sizeof text, 0));
    close(fd);
}

void schedstatOpenedEachTime(benchmark::State &state)
{
    char text[128];
    for (auto _ : state) {
        const int fd = open("/proc/thread-self/schedstat", O_RDONLY | O_CLOEXEC);
        benchmark::DoNotOptimize(read(fd, text, sizeof text));
        close(fd);
    }
}

void getrusageThread(benchmark::State &state)
{
    rusage usage{};
    for (auto _ : state) {
        getrusage(RUSAGE_THREAD, &usage);
        benchmark::DoNotOptimize(usage.ru_minflt);
    }
}

void timerSlack(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(platform::currentThreadTimerSlackNs());
}

// The producer's side of a spike: a slot claimed, filled and published;
// popped at once so that the ring never fills.
void ringPushPop(benchmark::State &state)
{
    SpikeRing ring(256);
    SpikeRecord out;
    std::uint64_t tick = 0;
    for (auto _ : state) {
        if (SpikeRecord *slot = ring.claim()) {
            slot->tick = ++tick;
            ring.publish();
        }
        ring.pop(out);
    }
    benchmark::DoNotOptimize(out.tick);
}

// The sampler's work every 100 ms: one CPU's sources (arg: the CPU, -1 all)
// and the worker's counters by thread id.
void samplerSnapshot(benchmark::State &state)
{
    const int cpu = int(state.range(0));
    const std::int64_t tid = platform::currentThreadId();
    for (auto _ : state) {
        benchmark::DoNotOptimize(platform::cpuCounters(cpu));
        benchmark::DoNotOptimize(platform::threadCounters(tid));
    }
}

void verdict(benchmark::State &state)
{
    SpikeEvidence evidence;
    evidence.record.timeNs = 10000000000;
    evidence.record.latenessNs = 1000000;
    evidence.before.runDelayNs = evidence.record.counters.runDelayNs = 5;
    for (auto _ : state)
        benchmark::DoNotOptimize(judgeSpike(evidence));
}

BENCHMARK(ownCounters);
BENCHMARK(schedstatKeptDescriptor);
BENCHMARK(schedstatOpenedEachTime);
BENCHMARK(getrusageThread);
BENCHMARK(timerSlack);
BENCHMARK(ringPushPop);
BENCHMARK(samplerSnapshot)->Arg(0)->Arg(-1);
BENCHMARK(verdict);

std::int64_t runNanos(std::int64_t tid)
{
    return platform::threadCounters(tid).runNs;
}

// A sampler at 100 ms for `seconds`, watching this thread and CPU 0 (the
// run pinned there), with a spike now and then; prints its CPU share.
int samplerShare(int seconds)
{
    SpikeRing ring(256);
    SpikeSampler sampler(ring);
    SpikeSampler::Settings settings;
    settings.cpu = 0;
    settings.workerThreadId = platform::currentThreadId();
    sampler.start(settings);
    while (sampler.threadId() < 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const std::int64_t tid = sampler.threadId();
    const std::int64_t startRun = runNanos(tid);
    const auto start = std::chrono::steady_clock::now();
    platform::OwnThreadCounters own;
    for (int second = 0; second < seconds; ++second) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        SpikeRecord spike;
        spike.tick = std::uint64_t(second);
        spike.latenessNs = 200000;
        spike.counters = own.read();
        spike.timeNs = spikeClockNs();
        ring.push(spike);
    }
    const std::int64_t endRun = runNanos(tid);
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    sampler.stop();
    const double cpu = double(endRun - startRun) / 1e9;
    std::printf("sampler: %d s at 100 ms, off CPU 0: %s; ran %.3f ms in %.1f s = %.4f %% of a CPU"
                " (%.1f us a snapshot); %llu spikes judged\n",
                seconds, sampler.offMeasuredCpu() ? "yes" : "no", cpu * 1e3, wall,
                100.0 * cpu / wall, cpu * 1e6 / (wall * 10.0),
                static_cast<unsigned long long>(sampler.store().total()));
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    const char *const flag = "--sampler-seconds=";
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], flag, std::strlen(flag)) == 0)
            return samplerShare(std::atoi(argv[i] + std::strlen(flag)));
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
