// The dialogs' number fields: a positive decimal integer no larger than the field allows.
#pragma once

#include <QString>

// True with *value when text is a decimal integer from 1 to max (blanks around it and a leading
// '+' are accepted). Larger numbers are refused rather than cut to the field's width.
inline bool ParseFieldNumber(const QString &text, qlonglong max, qlonglong *value)
{
    bool ok = false;
    qlonglong n = text.trimmed().toLongLong(&ok, 10);
    if (!ok || n < 1 || n > max) return false;
    *value = n;
    return true;
}
