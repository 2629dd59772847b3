// SPDX-License-Identifier: MIT
// The report's font must be fixed pitch for its columns to line up.
#pragma once

#include <QFont>

// The given font if it resolves to a fixed-pitch face here, else the system's
// fixed-pitch font at the same point size, or any face that is fixed pitch.
QFont fixedPitch(const QFont &wanted);
