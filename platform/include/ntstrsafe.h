// Bounded string formatting of the kernel's safe string library (the subset the driver uses).
#pragma once

#include <stdarg.h>

#include "wdm.h"

#define NTSTRSAFE_MAX_CCH 2147483647
typedef char *NTSTRSAFE_PSTR;
typedef const char *NTSTRSAFE_PCSTR;

#ifdef __cplusplus
extern "C" {
#endif

// Always terminates the output; STATUS_BUFFER_OVERFLOW when it was truncated.
NTSTATUS RtlStringCbVPrintfA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszFormat, va_list argList);
NTSTATUS RtlStringCbPrintfA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszFormat, ...);

#ifdef __cplusplus
}
#endif
