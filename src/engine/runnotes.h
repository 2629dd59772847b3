// SPDX-License-Identifier: MIT
// What a run could not do as it was asked, each in one plain sentence for
// the person who asked: priorities the OS did not grant, a class kept from
// the program's own threads, a clock that never started, a target nothing is
// sent to. Empty where there is nothing to say.
#pragma once

#include "platform.h"
#include "runsettings.h"

#include <QString>

namespace RunNotes {

// The scheduling the settings ask for against what the worker was granted.
QString priorities(const RunSettings &settings, const platform::ThreadScheduling &granted);

// The process class went to the worker alone (RunControl::classLeftOut).
QString classLeftOut(const RunSettings &settings);

// The settings give the worker no clock, so it ended at once.
QString noClock(const RunSettings &settings);

// Send UDP is asked for, but the target is not one anything is sent to.
QString unsendableTarget(const RunSettings &settings);

} // namespace RunNotes
