// The Win32 file API over the I/O manager: opens through the "\??" links, synchronous and
// overlapped requests with METHOD_BUFFERED copying, waits, events and cancellation.
// As on Windows, a request that ends with any success status (STATUS_TIMEOUT included) succeeds
// with its byte count; a failure sets the thread's last error from the status.
#include <sched.h>

#include <new>
#include <string>

#include "io/iomgr.h"
#include "ob/object.h"
#include "ps/program.h"
#include "qv/win32.h"
#include "verifier.h"
#include "wdm.h"

namespace qv {

namespace {

thread_local DWORD tLastError;

_OBJECT_TYPE gEventType = {"Event", nullptr, nullptr};

// One request of the API. Lives on the caller's stack when the caller waits for it, otherwise
// on the heap until its completion.
struct Win32Request {
    LPOVERLAPPED Overlapped;
    PKEVENT OverlappedEvent;  // body of the event object of Overlapped->hEvent, referenced
    bool CallerWaits;
    KEVENT Done;
    NTSTATUS Status;
    ULONG_PTR Information;
};

void RequestCompleted(void *context, NTSTATUS status, ULONG_PTR information)
{
    auto *r = static_cast<Win32Request *>(context);
    if (r->Overlapped) {
        r->Overlapped->InternalHigh = information;
        __atomic_store_n(&r->Overlapped->Internal, (ULONG_PTR)(ULONG)status, __ATOMIC_RELEASE);
    }
    if (r->OverlappedEvent) {
        KeSetEvent(r->OverlappedEvent, IO_NO_INCREMENT, FALSE);
        ObfDereferenceObject(r->OverlappedEvent);
    }
    if (r->CallerWaits) {
        r->Status = status;
        r->Information = information;
        KeSetEvent(&r->Done, IO_NO_INCREMENT, FALSE);  // the caller may return at once: r is gone
    } else {
        delete r;
    }
}

bool MatchOverlapped(void *completionContext, void *argument)
{
    return static_cast<Win32Request *>(completionContext)->Overlapped == argument;
}

BOOL Fail(DWORD error)
{
    tLastError = error;
    return FALSE;
}

BOOL FailStatus(NTSTATUS status) { return Fail(RtlNtStatusToDosError(status)); }

PFILE_OBJECT ReferenceFile(HANDLE handle)
{
    PVOID object = nullptr;
    if (!NT_SUCCESS(ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, UserMode, &object, nullptr)))
        return nullptr;
    return static_cast<PFILE_OBJECT>(object);
}

BOOL Finish(NTSTATUS status, ULONG_PTR information, LPDWORD transferred, UCHAR major)
{
    if (NT_SUCCESS(status)) {
        if (transferred) *transferred = (DWORD)information;
        return TRUE;
    }
    if (major == IRP_MJ_READ && status == STATUS_END_OF_FILE) {
        if (transferred) *transferred = 0;
        return TRUE;
    }
    if (NT_WARNING(status) && transferred) *transferred = (DWORD)information;
    return FailStatus(status);
}

// Sends one request on an open file. `forceWait` makes even an overlapped handle wait, as
// FlushFileBuffers does.
BOOL Issue(HANDLE handle, UCHAR major, ULONG code, PVOID in, ULONG inLength, PVOID out, ULONG outLength,
           LPDWORD transferred, LPOVERLAPPED overlapped, bool forceWait)
{
    Win32Call call;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        VerifierViolation("Win32 API", "file request issued at IRQL %d", KeGetCurrentIrql());
    PFILE_OBJECT file = ReferenceFile(handle);
    if (!file) return Fail(ERROR_INVALID_HANDLE);
    bool synchronous = IoFileIsSynchronous(file);
    bool waits = synchronous || forceWait;
    if (!waits && !overlapped) {
        ObfDereferenceObject(file);
        return Fail(ERROR_INVALID_PARAMETER);
    }
    // A synchronous file serves one request at a time: a second thread's call waits here until
    // the first has finished.
    struct Release {
        PFILE_OBJECT File;
        ~Release()
        {
            if (!File) return;
            IoReleaseSynchronousFile(File);
            ObfDereferenceObject(File);
        }
    } release{nullptr};
    if (synchronous) {
        ObfReferenceObject(file);  // kept until the file is let go, whatever the request does
        IoAcquireSynchronousFile(file);
        release.File = file;
    }
    if (transferred) *transferred = 0;
    Win32Request local = {};
    Win32Request *r = waits ? &local : new (std::nothrow) Win32Request{};
    if (!r) {
        ObfDereferenceObject(file);
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    r->CallerWaits = waits;
    KeInitializeEvent(&r->Done, NotificationEvent, FALSE);
    if (overlapped && !forceWait) {
        r->Overlapped = overlapped;
        overlapped->InternalHigh = 0;
        __atomic_store_n(&overlapped->Internal, (ULONG_PTR)STATUS_PENDING, __ATOMIC_RELEASE);
        if (overlapped->hEvent) {
            PVOID event = nullptr;
            if (!NT_SUCCESS(ObReferenceObjectByHandle(overlapped->hEvent, 0, &gEventType, UserMode, &event, nullptr))) {
                if (!waits) delete r;
                ObfDereferenceObject(file);
                return Fail(ERROR_INVALID_HANDLE);
            }
            r->OverlappedEvent = static_cast<PKEVENT>(event);
            KeClearEvent(r->OverlappedEvent);
        }
    }
    IoUserRequest request;
    request.File = file;
    request.MajorFunction = major;
    request.IoControlCode = code;
    request.InputBuffer = in;
    request.InputLength = inLength;
    request.OutputBuffer = out;
    request.OutputLength = outLength;
    request.Completion = RequestCompleted;
    request.CompletionContext = r;
    bool sent;
    NTSTATUS status = IoSendUserRequest(request, &sent);
    ObfDereferenceObject(file);  // the request holds its own reference
    if (!sent) {
        if (r->OverlappedEvent) ObfDereferenceObject(r->OverlappedEvent);
        if (overlapped) __atomic_store_n(&overlapped->Internal, (ULONG_PTR)(ULONG)status, __ATOMIC_RELEASE);
        if (!waits) delete r;
        return FailStatus(STATUS_INSUFFICIENT_RESOURCES);
    }
    if (waits) {
        // Also when the dispatch routine did not return STATUS_PENDING: the end of a request
        // completed at DISPATCH_LEVEL is finished on a worker thread.
        KeWaitForSingleObject(&r->Done, UserRequest, UserMode, FALSE, nullptr);
        return Finish(r->Status, r->Information, transferred, major);
    }
    if (status == STATUS_PENDING) return Fail(ERROR_IO_PENDING);
    if (!NT_SUCCESS(status)) return FailStatus(status);
    // Completed at once: its results reach the OVERLAPPED when its completion has run (maybe
    // by this thread).
    TakeThreadFinishes(CurrentThreadState());
    while (!HasOverlappedIoCompleted(overlapped)) sched_yield();
    return Finish((NTSTATUS)(ULONG)overlapped->Internal, overlapped->InternalHigh, transferred, major);
}

std::u16string NtPathOf(LPCWSTR name)
{
    std::u16string n = name;
    if (n.rfind(u"\\\\.\\", 0) == 0 || n.rfind(u"\\\\?\\", 0) == 0) return u"\\??\\" + n.substr(4);
    if (!n.empty() && n[0] == u'\\') return n;
    if (n.find(u'\\') == std::u16string::npos && !n.empty()) return u"\\??\\" + n;  // "COM3"
    return std::u16string();
}

}  // namespace

}  // namespace qv

using namespace qv;

extern "C" DWORD GetLastError(void) { return tLastError; }

extern "C" void SetLastError(DWORD dwErrCode) { tLastError = dwErrCode; }

extern "C" HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                              LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                              DWORD dwFlagsAndAttributes, HANDLE hTemplateFile)
{
    Win32Call call;
    if (!lpFileName) {
        Fail(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    std::u16string path = NtPathOf(lpFileName);
    if (path.empty()) {
        Fail(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    ULONG disposition;
    switch (dwCreationDisposition) {
    case CREATE_NEW: disposition = FILE_CREATE; break;
    case CREATE_ALWAYS: disposition = FILE_OVERWRITE_IF; break;
    case OPEN_EXISTING: disposition = FILE_OPEN; break;
    case OPEN_ALWAYS: disposition = FILE_OPEN_IF; break;
    case TRUNCATE_EXISTING: disposition = FILE_OVERWRITE; break;
    default: Fail(ERROR_INVALID_PARAMETER); return INVALID_HANDLE_VALUE;
    }
    bool overlapped = (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0;
    ULONG options = FILE_NON_DIRECTORY_FILE | (overlapped ? 0 : FILE_SYNCHRONOUS_IO_NONALERT);
    HANDLE handle = nullptr;
    IO_STATUS_BLOCK iosb = {};
    NTSTATUS status = IoOpenFile(path, dwDesiredAccess | SYNCHRONIZE, dwShareMode, disposition, options, nullptr, 0,
                                 !overlapped, false, &handle, &iosb);
    if (!NT_SUCCESS(status)) {
        FailStatus(status);
        return INVALID_HANDLE_VALUE;
    }
    tLastError = ERROR_SUCCESS;
    return handle;
}

extern "C" BOOL CloseHandle(HANDLE hObject)
{
    Win32Call call;
    PVOID object = nullptr;
    if (hObject == INVALID_HANDLE_VALUE || !hObject ||
        !NT_SUCCESS(ObReferenceObjectByHandle(hObject, 0, nullptr, UserMode, &object, nullptr)))
        return Fail(ERROR_INVALID_HANDLE);
    ObfDereferenceObject(object);
    NTSTATUS status = ZwClose(hObject);
    return NT_SUCCESS(status) ? TRUE : FailStatus(status);
}

extern "C" BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                         LPOVERLAPPED lpOverlapped)
{
    return Issue(hFile, IRP_MJ_READ, 0, nullptr, 0, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped,
                 false);
}

extern "C" BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                          LPOVERLAPPED lpOverlapped)
{
    return Issue(hFile, IRP_MJ_WRITE, 0, const_cast<LPVOID>(lpBuffer), nNumberOfBytesToWrite, nullptr, 0,
                 lpNumberOfBytesWritten, lpOverlapped, false);
}

extern "C" BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                                LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                                LPOVERLAPPED lpOverlapped)
{
    return Issue(hDevice, IRP_MJ_DEVICE_CONTROL, dwIoControlCode, lpInBuffer, lpInBuffer ? nInBufferSize : 0,
                 lpOutBuffer, lpOutBuffer ? nOutBufferSize : 0, lpBytesReturned, lpOverlapped, false);
}

extern "C" BOOL FlushFileBuffers(HANDLE hFile)
{
    return Issue(hFile, IRP_MJ_FLUSH_BUFFERS, 0, nullptr, 0, nullptr, 0, nullptr, nullptr, true);
}

extern "C" BOOL CancelIo(HANDLE hFile)
{
    Win32Call call;
    PFILE_OBJECT file = ReferenceFile(hFile);
    if (!file) return Fail(ERROR_INVALID_HANDLE);
    IoCancelFileRequests(file, true, nullptr, nullptr);
    ObfDereferenceObject(file);
    return TRUE;
}

extern "C" BOOL CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped)
{
    Win32Call call;
    PFILE_OBJECT file = ReferenceFile(hFile);
    if (!file) return Fail(ERROR_INVALID_HANDLE);
    IoCancelFileRequests(file, false, lpOverlapped ? MatchOverlapped : nullptr, lpOverlapped);
    ObfDereferenceObject(file);
    return TRUE;
}

extern "C" BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                                    BOOL bWait)
{
    Win32Call call;
    if (!HasOverlappedIoCompleted(lpOverlapped)) {
        if (!bWait) return Fail(ERROR_IO_INCOMPLETE);
        HANDLE waitOn = lpOverlapped->hEvent ? lpOverlapped->hEvent : hFile;
        if (WaitForSingleObject(waitOn, INFINITE) == WAIT_FAILED) return FALSE;
        // The event may have been set by another request of the handle: the result is what counts.
        while (!HasOverlappedIoCompleted(lpOverlapped)) sched_yield();
    }
    NTSTATUS status = (NTSTATUS)(ULONG)__atomic_load_n(&lpOverlapped->Internal, __ATOMIC_ACQUIRE);
    return Finish(status, lpOverlapped->InternalHigh, lpNumberOfBytesTransferred, 0);
}

extern "C" HANDLE CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                               LPCWSTR lpName)
{
    Win32Call call;
    if (lpName) {
        Fail(ERROR_INVALID_PARAMETER);  // named events are not provided
        return nullptr;
    }
    auto *event = static_cast<PKEVENT>(ObCreateObject(&gEventType, sizeof(KEVENT)));
    if (!event) {
        Fail(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    KeInitializeEvent(event, bManualReset ? NotificationEvent : SynchronizationEvent, bInitialState ? TRUE : FALSE);
    HANDLE handle = nullptr;
    NTSTATUS status = ObInsertHandle(event, &handle, false);
    ObfDereferenceObject(event);
    if (!NT_SUCCESS(status)) {
        FailStatus(status);
        return nullptr;
    }
    return handle;
}

extern "C" BOOL SetEvent(HANDLE hEvent)
{
    Win32Call call;
    PVOID event = nullptr;
    if (!NT_SUCCESS(ObReferenceObjectByHandle(hEvent, 0, &gEventType, UserMode, &event, nullptr)))
        return Fail(ERROR_INVALID_HANDLE);
    KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
    ObfDereferenceObject(event);
    return TRUE;
}

extern "C" BOOL ResetEvent(HANDLE hEvent)
{
    Win32Call call;
    PVOID event = nullptr;
    if (!NT_SUCCESS(ObReferenceObjectByHandle(hEvent, 0, &gEventType, UserMode, &event, nullptr)))
        return Fail(ERROR_INVALID_HANDLE);
    KeClearEvent(static_cast<PKEVENT>(event));
    ObfDereferenceObject(event);
    return TRUE;
}

extern "C" DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    Win32Call call;
    PVOID object = nullptr;
    if (!NT_SUCCESS(ObReferenceObjectByHandle(hHandle, SYNCHRONIZE, nullptr, UserMode, &object, nullptr))) {
        Fail(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    POBJECT_TYPE type = ObGetObjectType(object);
    PVOID waitable = object;  // events and threads start with their dispatcher header
    if (type == *IoFileObjectType)
        waitable = IoFileEvent(static_cast<PFILE_OBJECT>(object));
    else if (type != &gEventType && !(PsThreadType && type == *PsThreadType)) {
        ObfDereferenceObject(object);
        Fail(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    LARGE_INTEGER timeout;
    timeout.QuadPart = -(LONGLONG)dwMilliseconds * 10000;
    NTSTATUS status =
        KeWaitForSingleObject(waitable, UserRequest, UserMode, FALSE, dwMilliseconds == INFINITE ? nullptr : &timeout);
    ObfDereferenceObject(object);
    if (status == STATUS_SUCCESS) return WAIT_OBJECT_0;
    if (status == STATUS_TIMEOUT) return WAIT_TIMEOUT;
    Fail(RtlNtStatusToDosError(status));
    return WAIT_FAILED;
}
