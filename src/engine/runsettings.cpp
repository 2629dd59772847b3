// SPDX-License-Identifier: MIT
#include "runsettings.h"

const QStringList &RunSettings::clockModeNames()
{
    static const QStringList names{"QTimer Event", "Qt msleep", "Win32 Periodic"};
    return names;
}

const QStringList &RunSettings::processClassNames()
{
    static const QStringList names{"Idle", "Normal", "High", "Realtime"};
    return names;
}

const QStringList &RunSettings::threadLevelNames()
{
    static const QStringList names{"Idle", "Lowest",  "Low",          "Normal",
                                   "High", "Highest", "Time Critical"};
    return names;
}
