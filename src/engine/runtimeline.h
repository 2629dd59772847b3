// SPDX-License-Identifier: MIT
// When in a run the long intervals came: per slot of the run's time (a second
// at first) the ticks and the longest counted interval, in a store of fixed
// size. A run longer than the store merges neighbouring slots in pairs, so
// each slot then covers 2, 4, 8 ... seconds and the whole run always fits.
#pragma once

#include <QtGlobal>

#include <array>

struct RunTimeline
{
    static constexpr int Slots = 512; // a day of run fits at 256 s a slot

    struct Slot
    {
        quint64 ticks = 0;        // ticks in the slot, counted or not
        double maxInterval = 0.0; // seconds, the longest interval the histogram counted in it
    };

    std::array<Slot, Slots> slot{};
    int used = 0;             // slots that hold time so far, the open (latest) one included
    double slotSeconds = 1.0; // each slot's length: 1 s, doubled at every merge
    double lastTick = 0.0;    // seconds from the run's start to its latest tick

    // Seconds from the start of the run to the end of slot i's time.
    double slotEnd(int i) const { return double(i + 1) * slotSeconds; }
    // The seconds of the run the open slot has seen: up to the latest tick.
    double openSeconds() const
    {
        return used > 0 ? lastTick - double(used - 1) * slotSeconds : 0.0;
    }
};
