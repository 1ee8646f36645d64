// The dialogs' number fields: a positive decimal integer no larger than the field allows.
#pragma once

#include <string>

#include "Text.h"

// True with *value when text is a decimal integer from 1 to max (blanks around it and a leading
// '+' are accepted). Larger numbers are refused rather than cut to the field's width.
inline bool ParseFieldNumber(const std::string &text, long long max, long long *value)
{
    long long n = 0;
    if (!ParseInteger(text, &n) || n < 1 || n > max) return false;
    *value = n;
    return true;
}
