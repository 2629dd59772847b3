// SPDX-License-Identifier: MIT
#include "dottedquad.h"

bool parseDottedQuad(const QString &text, quint32 *address)
{
    const QChar *begin = text.constData();
    const QChar *end = begin + text.size();
    while (begin != end && begin->isSpace())
        ++begin;
    while (end != begin && (end - 1)->isSpace())
        --end;

    quint32 result = 0;
    int fields = 0;
    const QChar *at = begin;
    for (;;) {
        uint field = 0;
        int digits = 0;
        for (; at != end && at->unicode() >= u'0' && at->unicode() <= u'9'; ++at, ++digits) {
            field = field * 10 + (at->unicode() - u'0');
            if (field > 255)
                return false;
        }
        // "010" is 8 to some readers and 10 to others: refuse rather than guess.
        if (digits == 0 || (digits > 1 && *(at - digits) == u'0'))
            return false;
        result = (result << 8) | field;
        if (++fields == 4)
            break;
        if (at == end || *at != u'.')
            return false;
        ++at;
    }
    if (at != end)
        return false;
    *address = result;
    return true;
}
