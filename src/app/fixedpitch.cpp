#include "app/fixedpitch.h"

#include <QFontInfo>
#include <QStringList>

QFont fixedPitch(const QFont &wanted, const QFont &systemFixed)
{
    if (QFontInfo(wanted).fixedPitch())
        return wanted;
    QFont fixed = systemFixed;
    // Under Wine without Courier New the system's fixed font is no more than
    // a name, mapped to whatever family the host lists first.
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
