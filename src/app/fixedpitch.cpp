// SPDX-License-Identifier: MIT
#include "fixedpitch.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QStringList>

QFont fixedPitch(const QFont &wanted)
{
    if (QFontInfo(wanted).fixedPitch())
        return wanted;
    QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    if (wanted.pointSize() > 0)
        fixed.setPointSize(wanted.pointSize());
    if (QFontInfo(fixed).fixedPitch())
        return fixed;
    // fontconfig's "monospace" can be a face with a few wide glyphs (Noto
    // Sans Mono), which it does not call fixed pitch; any face it does will do.
    for (const QString &family : QFontDatabase::families()) {
        if (QFontDatabase::isFixedPitch(family)) {
            fixed.setFamily(family);
            break;
        }
    }
    return fixed;
}
