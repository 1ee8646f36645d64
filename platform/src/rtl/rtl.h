// Runtime library internals shared by DbgPrint and the string routines.
#pragma once

#include <stdarg.h>

#include <string>

#include "wdm.h"

namespace qv {

// Formats with the kernel's printf rules (%ld is 32 bits, %I64d 64 bits, %wZ a UNICODE_STRING,
// %ws/%S wide strings, %p pointer-width upper-case hex). Writes at most `capacity` characters,
// without a terminator; returns the full length of the output.
size_t FormatV(char *buffer, size_t capacity, const char *format, va_list args);

// UTF-16 (WCHAR) to UTF-8; `count` characters.
std::string WideToUtf8(const WCHAR *text, size_t count);

void DbgPrintStartup(bool toStderr, bool capture);
void DbgPrintShutdown();

}  // namespace qv
