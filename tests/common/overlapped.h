// Overlapped requests of the file API, waited for with a bound.
#pragma once

#include "platform_test.h"
#include "qv/win32.h"

namespace qvtest {

// GetOverlappedResult that waits at most `timeoutMs` of real time (a timed wait on the event
// would follow the virtual clock): a request that never ends gives FALSE with
// ERROR_IO_INCOMPLETE instead of hanging the test.
inline BOOL OverlappedResult(HANDLE file, OVERLAPPED *overlapped, DWORD *bytes, int timeoutMs = 10000)
{
    WaitUntil([overlapped] { return HasOverlappedIoCompleted(overlapped); }, timeoutMs);
    return GetOverlappedResult(file, overlapped, bytes, FALSE);
}

}  // namespace qvtest
