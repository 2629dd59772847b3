// SPDX-License-Identifier: MIT
// The report's font must be fixed pitch for its columns to line up.
#pragma once

#include <QFont>
#include <QFontDatabase>

// The given font if it resolves to a fixed-pitch face here, else the system's
// fixed-pitch font, else the first installed fixed-pitch family that writes
// Latin; the latter two at the wanted point size. systemFixed is a parameter
// only so that tests can hand in a system font that is not fixed pitch.
QFont fixedPitch(const QFont &wanted,
                 const QFont &systemFixed = QFontDatabase::systemFont(QFontDatabase::FixedFont));
