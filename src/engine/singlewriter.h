// SPDX-License-Identifier: MIT
// The worker is its statistics' one writer: a relaxed store is a plain store
// that a reader in another thread can never see half-written, and a relaxed
// load costs no more than a plain one.
#pragma once

#include <atomic>

template <typename T>
inline void put(std::atomic<T> &value, T newValue)
{
    value.store(newValue, std::memory_order_relaxed);
}

template <typename T>
inline T loadRelaxed(const std::atomic<T> &value)
{
    return value.load(std::memory_order_relaxed);
}

// One more in a count that only its writer changes.
template <typename T>
inline void bump(std::atomic<T> &value, T by = T(1))
{
    put(value, loadRelaxed(value) + by);
}

// Nearest 0.1 ms, a half going up, the last of `bins` for the rest;
// compared as a double first so that no interval, however long, overflows
// the conversion.
inline int tenthMsBin(double seconds, int bins)
{
    const double scaled = seconds * 10000.0 + 0.5;
    if (scaled >= double(bins))
        return bins - 1;
    return scaled >= 1.0 ? int(scaled) : 0;
}
