// Memory routines of the runtime library.
#include <string.h>

#include "wdm.h"

extern "C" {

void RtlCopyMemory(void *Destination, const void *Source, SIZE_T Length)
{
    if (Length) memcpy(Destination, Source, Length);
}

void RtlMoveMemory(void *Destination, const void *Source, SIZE_T Length)
{
    if (Length) memmove(Destination, Source, Length);
}

void RtlZeroMemory(void *Destination, SIZE_T Length)
{
    if (Length) memset(Destination, 0, Length);
}

void RtlFillMemory(void *Destination, SIZE_T Length, UCHAR Fill)
{
    if (Length) memset(Destination, Fill, Length);
}

// Number of leading bytes that match.
SIZE_T RtlCompareMemory(const void *Source1, const void *Source2, SIZE_T Length)
{
    const UCHAR *a = static_cast<const UCHAR *>(Source1);
    const UCHAR *b = static_cast<const UCHAR *>(Source2);
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i]) ++i;
    return i;
}

}  // extern "C"
