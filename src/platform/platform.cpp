// SPDX-License-Identifier: MIT
#include "platform.h"

namespace platform {

std::atomic<Os *> detail::installedLayer{&nativeOs()};

Os::~Os() = default;

Os *install(Os *layer)
{
    Os *const native = &nativeOs();
    Os *const previous =
        detail::installedLayer.exchange(layer ? layer : native, std::memory_order_acq_rel);
    return previous == native ? nullptr : previous;
}

int windowsBasePriority(ProcessClass processClass, ThreadLevel level)
{
    // Windows' "Scheduling Priorities" table: a class gives a base, the level
    // moves up to two steps around it; Idle and Time Critical pin the ends of
    // the class's range (1 and 15, or 16 and 31 in the realtime class).
    static const int table[4][7] = {
        //  Idle Lowest Below Normal Above Highest TimeCrit
        {1, 2, 3, 4, 5, 6, 15},       // Idle class
        {1, 6, 7, 8, 9, 10, 15},      // Normal class
        {1, 11, 12, 13, 14, 15, 15},  // High class
        {16, 22, 23, 24, 25, 26, 31}, // Realtime class
    };
    return table[static_cast<int>(processClass)][static_cast<int>(level)];
}

} // namespace platform
