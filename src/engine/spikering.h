// SPDX-License-Identifier: MIT
// The worker's long intervals on their way to the sampler: a lock-free ring
// with one producer (the worker) and one consumer (the sampler). Its cells
// are made once; the producer never waits and never allocates, and when the
// ring is full it counts the spike as dropped.
#pragma once

#include "platform.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

// One spike, fixed size. The times are on spikeClockNs's clock, which the
// sampler stamps its snapshots with.
struct SpikeRecord
{
    std::uint64_t tick = 0;
    std::int64_t timeNs = 0;           // the late wake-up
    std::int64_t latenessNs = 0;       // past its deadline
    std::int64_t intervalNs = 0;       // since the tick before
    platform::ThreadCounters counters; // the worker's own, read once after the wake-up
};

// The OS layer's counter in nanoseconds, without overflow for counts of any
// size: the clock of SpikeRecord::timeNs.
inline std::int64_t spikeClockNs()
{
    const std::int64_t frequency = platform::os().counterFrequency();
    const std::int64_t value = platform::os().counterValue();
    if (frequency <= 0)
        return 0;
    return value / frequency * 1000000000 + value % frequency * 1000000000 / frequency;
}

class SpikeRing
{
public:
    // Room for capacity records, rounded up to a power of two.
    explicit SpikeRing(std::size_t capacity = 256)
        : size(roundUp(capacity)), cells(new SpikeRecord[size])
    {
    }

    // Producer: a slot to fill, or null when the ring is full (counted as a
    // drop). publish() hands the filled slot over; nothing else may be
    // claimed in between. The worker fills tick, time, lateness and
    // interval first and only then reads its counters into the slot
    // (platform::OwnThreadCounters, made on the worker at the run's start).
    SpikeRecord *claim()
    {
        const std::uint64_t tail = written.load(std::memory_order_relaxed);
        if (tail - taken.load(std::memory_order_acquire) >= size) {
            dropCount.fetch_add(1, std::memory_order_relaxed);
            return nullptr;
        }
        return &cells[tail & (size - 1)];
    }
    void publish()
    {
        written.store(written.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    }
    bool push(const SpikeRecord &record)
    {
        SpikeRecord *slot = claim();
        if (!slot)
            return false;
        *slot = record;
        publish();
        return true;
    }

    // Consumer: the oldest record not yet taken; false when there is none.
    bool pop(SpikeRecord &into)
    {
        const std::uint64_t head = taken.load(std::memory_order_relaxed);
        if (head == written.load(std::memory_order_acquire))
            return false;
        into = cells[head & (size - 1)];
        taken.store(head + 1, std::memory_order_release);
        return true;
    }

    // Either side: spikes the full ring turned away, and its room.
    std::uint64_t dropped() const { return dropCount.load(std::memory_order_relaxed); }
    std::size_t capacity() const { return size; }

private:
    static std::size_t roundUp(std::size_t wanted)
    {
        std::size_t power = 1;
        while (power < wanted)
            power *= 2;
        return power;
    }

    const std::size_t size;
    const std::unique_ptr<SpikeRecord[]> cells;
    // Each index on its own cache line: the producer writes one, the
    // consumer the other.
    alignas(64) std::atomic<std::uint64_t> written{0};
    alignas(64) std::atomic<std::uint64_t> taken{0};
    alignas(64) std::atomic<std::uint64_t> dropCount{0};
};
