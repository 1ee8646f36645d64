// The port's monitor: monitor handles, the event ring they start and read, and the recording
// of events by the gateway's hooks.

#include "quorvel.h"

static_assert(sizeof(QUORVEL_MONITOR_EVENT) == 32 + QUORVEL_MONITOR_DATA, "the event layout is shared with readers");
static_assert(sizeof(QUORVEL_MONITOR_READ_HEADER) == 24, "the read header layout is shared with readers");
static_assert((QUORVEL_MONITOR_SLOTS & (QUORVEL_MONITOR_SLOTS - 1)) == 0,
              "sequence numbers wrap at 2^32 onto the same slots only for a power of two");

VOID MonitorInitialize(PDEVICE_EXTENSION Extension)
{
    KeInitializeSpinLock(&Extension->MonitorLock);
    NAME_DRIVER_LOCK(&Extension->MonitorLock, LOCK_NAME_MONITOR);
    Extension->MonitorRing = NULL;
    Extension->MonitorReaders = 0;
    Extension->MonitorOn = 0;
}

BOOLEAN IsMonitorHandle(PFILE_OBJECT FileObject)
{
    // Only a monitor handle's open sets FsContext; the port's own handle leaves it NULL.
    return FileObject != NULL && FileObject->FsContext != NULL ? TRUE : FALSE;
}

PAGED_ROUTINE BOOLEAN MonitorCreate(PDEVICE_EXTENSION Extension, PFILE_OBJECT FileObject, NTSTATUS *Status)
{
    PAGED_CODE();
    UNICODE_STRING monitorName;
    RtlInitUnicodeString(&monitorName, QUORVEL_MONITOR_NAME);
    if (FileObject == NULL || FileObject->FileName.Length == 0 ||
        !RtlEqualUnicodeString(&FileObject->FileName, &monitorName, TRUE))
        return FALSE;

    if (ReadUnlocked(&Extension->PnpState) != PnpStarted) {
        *Status = STATUS_NO_SUCH_DEVICE;
        return TRUE;
    }
    PMONITOR_HANDLE handle = (PMONITOR_HANDLE)ExAllocatePoolWithTag(NonPagedPool, sizeof(MONITOR_HANDLE), QUORVEL_TAG);
    if (handle == NULL) {
        *Status = STATUS_INSUFFICIENT_RESOURCES;
        return TRUE;
    }
    RtlZeroMemory(handle, sizeof(*handle));
    FileObject->FsContext = handle;
    *Status = STATUS_SUCCESS;
    return TRUE;
}

static PMONITOR_RING NewRing(VOID)
{
    PMONITOR_RING ring = (PMONITOR_RING)ExAllocatePoolWithTag(NonPagedPool, sizeof(MONITOR_RING), QUORVEL_TAG);
    if (ring == NULL) return NULL;
    RtlZeroMemory(ring, sizeof(*ring));
    LARGE_INTEGER frequency;
    LARGE_INTEGER counter = KeQueryPerformanceCounter(&frequency);
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    ring->NextSequence = 1;
    ring->StartTime = now.QuadPart;
    ring->StartCounter = counter.QuadPart;
    ring->Frequency = frequency.QuadPart > 0 ? frequency.QuadPart : 1;
    return ring;
}

// The first reader's start makes the ring; the handle reads from the events that follow.
static NTSTATUS MonitorStart(PDEVICE_EXTENSION Extension, PMONITOR_HANDLE Handle)
{
    PMONITOR_RING fresh = NULL;
    KIRQL irql;
    for (;;) {
        KeAcquireSpinLock(&Extension->MonitorLock, &irql);
        if (Handle->Started) break;
        if (Extension->MonitorRing == NULL && fresh != NULL) {
            Extension->MonitorRing = fresh;
            fresh = NULL;
            WriteUnlocked(&Extension->MonitorOn, (LONG)1);
        }
        if (Extension->MonitorRing != NULL) {
            Handle->Started = TRUE;
            Handle->NextSequence = Extension->MonitorRing->NextSequence;
            Extension->MonitorReaders++;
            break;
        }
        // No ring yet: made outside the lock, then tried again.
        KeReleaseSpinLock(&Extension->MonitorLock, irql);
        fresh = NewRing();
        if (fresh == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    }
    KeReleaseSpinLock(&Extension->MonitorLock, irql);
    if (fresh != NULL) ExFreePoolWithTag(fresh, QUORVEL_TAG);  // another reader's start won
    return STATUS_SUCCESS;
}

// The last reader's stop frees the ring and turns the hooks off.
static VOID MonitorStop(PDEVICE_EXTENSION Extension, PMONITOR_HANDLE Handle)
{
    PMONITOR_RING old = NULL;
    KIRQL irql;
    KeAcquireSpinLock(&Extension->MonitorLock, &irql);
    if (Handle->Started) {
        Handle->Started = FALSE;
        if (--Extension->MonitorReaders == 0) {
            old = Extension->MonitorRing;
            Extension->MonitorRing = NULL;
            WriteUnlocked(&Extension->MonitorOn, (LONG)0);
        }
    }
    KeReleaseSpinLock(&Extension->MonitorLock, irql);
    if (old != NULL) ExFreePoolWithTag(old, QUORVEL_TAG);
}

VOID MonitorCleanup(PDEVICE_EXTENSION Extension, PFILE_OBJECT FileObject)
{
    if (IsMonitorHandle(FileObject)) MonitorStop(Extension, (PMONITOR_HANDLE)FileObject->FsContext);
}

VOID MonitorClose(PFILE_OBJECT FileObject)
{
    if (!IsMonitorHandle(FileObject)) return;
    PMONITOR_HANDLE handle = (PMONITOR_HANDLE)FileObject->FsContext;
    ASSERT(!handle->Started);  // cleanup came first
    FileObject->FsContext = NULL;
    ExFreePoolWithTag(handle, QUORVEL_TAG);
}

// Copies the handle's unread events (as many as fit) after the header; returns the bytes filled.
static ULONG ReadEvents(PDEVICE_EXTENSION Extension, PMONITOR_HANDLE Handle, PUCHAR Buffer, ULONG Length)
{
    PQUORVEL_MONITOR_READ_HEADER header = (PQUORVEL_MONITOR_READ_HEADER)Buffer;
    ULONG room = (Length - sizeof(*header)) / sizeof(QUORVEL_MONITOR_EVENT);
    PQUORVEL_MONITOR_EVENT out = (PQUORVEL_MONITOR_EVENT)(Buffer + sizeof(*header));
    ULONG count = 0;
    KIRQL irql;

    RtlZeroMemory(header, sizeof(*header));
    header->Size = sizeof(*header);
    header->EventSize = sizeof(QUORVEL_MONITOR_EVENT);
    KeAcquireSpinLock(&Extension->MonitorLock, &irql);
    PMONITOR_RING ring = Extension->MonitorRing;
    if (ring != NULL) {
        // Differences, not comparisons: the sequence wraps at 2^32.
        ULONG unread = ring->NextSequence - Handle->NextSequence;
        if (unread > QUORVEL_MONITOR_SLOTS) {
            header->Lost = unread - QUORVEL_MONITOR_SLOTS;
            Handle->NextSequence += header->Lost;
            unread = QUORVEL_MONITOR_SLOTS;
        }
        count = unread < room ? unread : room;
        for (ULONG i = 0; i < count; i++) {
            RtlCopyMemory(&out[i], &ring->Slots[(Handle->NextSequence + i) % QUORVEL_MONITOR_SLOTS],
                          sizeof(QUORVEL_MONITOR_EVENT));
        }
        Handle->NextSequence += count;
        header->StartTime = ring->StartTime;
    }
    header->Count = count;
    KeReleaseSpinLock(&Extension->MonitorLock, irql);
    return sizeof(*header) + count * sizeof(QUORVEL_MONITOR_EVENT);
}

NTSTATUS MonitorIoControl(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    PUCHAR buffer = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
    ULONG state = ReadUnlocked(&Extension->PnpState);
    NTSTATUS status;
    ULONG information = 0;

    if (!IsMonitorHandle(stack->FileObject)) {
        status = STATUS_INVALID_DEVICE_REQUEST;  // the monitor is read through a monitor handle only
    } else if (state == PnpRemoved || state == PnpSurpriseRemoved) {
        status = STATUS_DELETE_PENDING;
    } else {
        PMONITOR_HANDLE handle = (PMONITOR_HANDLE)stack->FileObject->FsContext;
        switch (code) {
        case IOCTL_QUORVEL_MONITOR_START: {
            // One ULONG: nonzero starts this handle's monitor, 0 stops it. Either twice is harmless.
            if (inputLength < sizeof(ULONG) || buffer == NULL) {
                status = STATUS_BUFFER_TOO_SMALL;
                break;
            }
            ULONG on;
            RtlCopyMemory(&on, buffer, sizeof(on));
            if (on != 0) {
                status = MonitorStart(Extension, handle);
            } else {
                MonitorStop(Extension, handle);
                status = STATUS_SUCCESS;
            }
            break;
        }
        case IOCTL_QUORVEL_MONITOR_READ: {
            BOOLEAN started;
            KIRQL irql;
            KeAcquireSpinLock(&Extension->MonitorLock, &irql);
            started = handle->Started;
            KeReleaseSpinLock(&Extension->MonitorLock, irql);
            if (!started) {
                status = STATUS_INVALID_DEVICE_STATE;
            } else if (buffer == NULL ||
                       outputLength < sizeof(QUORVEL_MONITOR_READ_HEADER) + sizeof(QUORVEL_MONITOR_EVENT)) {
                status = STATUS_BUFFER_TOO_SMALL;
            } else {
                information = ReadEvents(Extension, handle, buffer, outputLength);
                status = STATUS_SUCCESS;
            }
            break;
        }
        default: status = STATUS_INVALID_DEVICE_REQUEST; break;  // a monitor handle carries nothing else
        }
    }
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

// 100 ns units since the ring's start, without overflowing for a fast counter.
static ULONGLONG SinceStart(PMONITOR_RING Ring, LONGLONG Counter)
{
    ULONGLONG elapsed = Counter > Ring->StartCounter ? (ULONGLONG)(Counter - Ring->StartCounter) : 0;
    ULONGLONG frequency = (ULONGLONG)Ring->Frequency;
    return elapsed / frequency * 10000000ULL + elapsed % frequency * 10000000ULL / frequency;
}

VOID MonitorRecord(PDEVICE_EXTENSION Extension, UCHAR Kind, UCHAR Reason, UCHAR Mode, PETH_CONNECTION Connection,
                   const UCHAR *Data, ULONG Length)
{
    LARGE_INTEGER counter = KeQueryPerformanceCounter(NULL);
    ULONG stored = Data == NULL ? 0 : Length < QUORVEL_MONITOR_DATA ? Length : QUORVEL_MONITOR_DATA;
    KIRQL irql;
    KeAcquireSpinLock(&Extension->MonitorLock, &irql);
    PMONITOR_RING ring = Extension->MonitorRing;
    if (ring != NULL) {
        // The oldest event gives way.
        PQUORVEL_MONITOR_EVENT event = &ring->Slots[ring->NextSequence % QUORVEL_MONITOR_SLOTS];
        event->Sequence = ring->NextSequence++;
        event->Kind = Kind;
        event->Mode = Mode;
        event->Reason = Reason;
        event->Time = SinceStart(ring, counter.QuadPart);
        if (Connection != NULL) {
            event->Raw = Connection->raw != 0 ? 1 : 0;
            event->ServerIp = Connection->ip;
            event->ServerPort = Connection->port;
            event->TransactionId = ReadUnlocked(&Connection->TransactionId);
        } else {
            event->Raw = 0;
            event->ServerIp = 0;
            event->ServerPort = 0;
            event->TransactionId = 0;
        }
        event->Length = Length;
        event->Stored = (USHORT)stored;
        event->Reserved = 0;
        if (stored != 0) RtlCopyMemory(event->Data, Data, stored);
    }
    KeReleaseSpinLock(&Extension->MonitorLock, irql);
}
