// SPDX-License-Identifier: MIT
#include "fixedpitch.h"

#include <QFontInfo>
#include <QStringList>

QFont fixedPitch(const QFont &wanted, const QFont &systemFixed)
{
    if (QFontInfo(wanted).fixedPitch())
        return wanted;
    QFont fixed = systemFixed;
    // The system's fixed font can be no fixed-pitch face at all: under Wine
    // without Courier New it is a name mapped to whatever family the host
    // lists first, and fontconfig's "monospace" can be Noto Sans Mono, whose
    // few wide glyphs keep it from counting as fixed pitch.
    if (!QFontInfo(fixed).fixedPitch()) {
        for (const QString &family : QFontDatabase::families(QFontDatabase::Latin)) {
            if (QFontDatabase::isFixedPitch(family)) {
                fixed = QFont(family);
                break;
            }
        }
    }
    if (wanted.pointSize() > 0)
        fixed.setPointSize(wanted.pointSize());
    return fixed;
}
