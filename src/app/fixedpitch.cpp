#include "app/fixedpitch.h"

#include <QFontDatabase>
#include <QFontInfo>

QFont fixedPitch(const QFont &wanted)
{
    if (QFontInfo(wanted).fixedPitch())
        return wanted;
    QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    if (wanted.pointSize() > 0)
        fixed.setPointSize(wanted.pointSize());
    return fixed;
}
