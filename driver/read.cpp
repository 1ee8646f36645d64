// Read path: the receive ring, the receive target, and the reads of ReadQueue with the serial
// read timeouts. While a read waits, the receive side stores characters straight into its
// buffer (the target is the read's buffer and the ring is empty); otherwise into the ring.
//
// Holders of the current read (ReadRefs): REF_UART while the receive side may store into it,
// REF_CANCEL, REF_TOTAL_TIMER, REF_INTERVAL_TIMER. The one that clears the last bit completes.
//
// Read timeouts, with RI/RM/RC the interval, multiplier and constant and N the read's length:
//   RI = MAXULONG, RM = RC = 0          return at once with what the ring holds, even nothing
//   RI = MAXULONG, RC = MAXULONG        no total timer, no early return
//   RI = MAXULONG, RM = MAXULONG        total timer RC; return at once with what the ring
//                                       holds, else wait for one character only
//   RI = MAXULONG, otherwise            total timer N * RM + RC; return at once if the ring
//                                       gave at least one character
//   RI != MAXULONG                      total timer N * RM + RC if RM or RC is nonzero;
//                                       interval timer if RI is nonzero: the read ends when a
//                                       check finds nothing new RI after the last progress
//                                       (the interval runs only from the first character;
//                                       intervals of 20 s or more are checked once a second)
#include "quorvel.h"

// Received characters go to the ring again; it is empty. DeviceLock held.
static VOID PointTargetAtRing(PDEVICE_EXTENSION Extension)
{
    PUCHAR ring = Extension->RxRing;
    Extension->RxTargetBase = ring;
    Extension->RxTargetPos = ring;
    Extension->RxRingReadPos = ring;
    Extension->RxTargetLast = ring != NULL ? ring + Extension->RxRingSize - 1 : NULL;
    Extension->RxRingCount = 0;
}

// Copies what the ring holds, oldest first, into the read, up to what it still needs.
// DeviceLock held; the target is the ring.
static VOID DrainRingToRead(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    ULONG n = Extension->RxRingCount < Extension->ReadRemaining ? Extension->RxRingCount : Extension->ReadRemaining;
    if (n == 0) return;

    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PUCHAR destination =
        (PUCHAR)Irp->AssociatedIrp.SystemBuffer + stack->Parameters.Read.Length - Extension->ReadRemaining;
    PUCHAR ringLast = Extension->RxRing + Extension->RxRingSize - 1;
    ULONG firstRun = (ULONG)(ringLast - Extension->RxRingReadPos + 1);

    if (firstRun > n) {
        RtlCopyMemory(destination, Extension->RxRingReadPos, n);
        Extension->RxRingReadPos += n;
    } else {
        RtlCopyMemory(destination, Extension->RxRingReadPos, firstRun);
        RtlCopyMemory(destination + firstRun, Extension->RxRing, n - firstRun);
        Extension->RxRingReadPos = Extension->RxRing + (n - firstRun);
    }
    Extension->ReadRemaining -= n;
    Extension->RxRingCount -= n;
    Irp->IoStatus.Information += n;
    ReleaseReceiveHolds(Extension);
}

// Takes the read's buffer back from the receive side; Information becomes the characters
// stored so far. Nothing to do when the receive side has filled it (ReadFullDpc drops
// REF_UART). DeviceLock held.
static VOID TakeReadFromUart(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    if (Extension->RxTargetBase == Extension->RxRing) return;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    Irp->IoStatus.Information =
        stack->Parameters.Read.Length - (ULONG)(Extension->RxTargetLast - Extension->RxTargetPos + 1);
    PointTargetAtRing(Extension);
    Extension->ReadRefs &= ~REF_UART;
}

NTSTATUS NTAPI KivraReadDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    NTSTATUS status = ErrorAbortCheck(extension, Irp);
    if (status != STATUS_SUCCESS) return status;

    Irp->IoStatus.Information = 0;
    if (IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length == 0) return CompleteRequest(Irp, STATUS_SUCCESS);
    QvTrace(TRACE_LEVEL_VERBOSE, "---- Read begin ----\n");
    status = QueueStartPacket(&extension->ReadQueue, Irp);
    QvTrace(TRACE_LEVEL_VERBOSE, "---- Read end ----\n");
    return status;
}

// Start routine of ReadQueue (DISPATCH_LEVEL): reads and set-queue-size requests.
VOID NTAPI ReadStartIo(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    KIRQL oldIrql;

    if (stack->MajorFunction != IRP_MJ_READ) {
        ResizeRxRing(extension, Irp);
        QueueStartNextPacket(&extension->ReadQueue);
        CompleteRequest(Irp, STATUS_SUCCESS);
        return;
    }

    KeAcquireSpinLock(&extension->DeviceLock, &oldIrql);
    ULONG length = stack->Parameters.Read.Length;
    extension->ReadRemaining = length;
    ULONG ri = extension->Timeouts.ReadIntervalTimeout;
    ULONG rm = extension->Timeouts.ReadTotalTimeoutMultiplier;
    ULONG rc = extension->Timeouts.ReadTotalTimeoutConstant;

    BOOLEAN useInterval = ri != 0 && ri != MAXULONG;
    if (useInterval) {
        extension->ReadIntervalTime = (LONGLONG)UInt32x32To64(ri, 10000);
        extension->IntervalRecheckTime = extension->ReadIntervalTime >= extension->IntervalCutOver
                                             ? extension->LongIntervalRecheck
                                             : -extension->ReadIntervalTime;
    }

    BOOLEAN returnAtOnce = FALSE;  // with whatever the ring holds
    BOOLEAN returnEarly = FALSE;   // as soon as the ring gave at least one character
    BOOLEAN oneCharOnly = FALSE;   // nothing in the ring: wait for a single character
    BOOLEAN useTotal = FALSE;
    ULONGLONG totalMs = 0;
    if (ri == MAXULONG) {
        if (rm == 0 && rc == 0) {
            returnAtOnce = TRUE;
        } else if (rc == MAXULONG) {
            // no total timer, no early return
        } else if (rm == MAXULONG) {
            useTotal = returnEarly = oneCharOnly = TRUE;
            totalMs = rc;
        } else {
            useTotal = returnEarly = TRUE;
            totalMs = UInt32x32To64(length, rm) + rc;
        }
    } else if (rm != 0 || rc != 0) {
        useTotal = TRUE;
        totalMs = UInt32x32To64(length, rm) + rc;
    }

    DrainRingToRead(extension, Irp);

    if (returnAtOnce || extension->ReadRemaining == 0 || (returnEarly && Irp->IoStatus.Information != 0)) {
        KeReleaseSpinLock(&extension->DeviceLock, oldIrql);
        QueueStartNextPacket(&extension->ReadQueue);
        CompleteRequest(Irp, STATUS_SUCCESS);
        return;
    }
    if (oneCharOnly) {
        extension->ReadRemaining = 1;
        stack->Parameters.Read.Length = 1;
    }

    extension->ReadRefs = 0;
    IoSetCancelRoutine(Irp, ReadCancelRoutine);
    if (ReadUnlocked(&Irp->Cancel) && IoSetCancelRoutine(Irp, NULL) != NULL) {
        // Characters already copied from the ring stay reported: they have left the ring.
        KeReleaseSpinLock(&extension->DeviceLock, oldIrql);
        QueueStartNextPacket(&extension->ReadQueue);
        CompleteRequest(Irp, STATUS_CANCELLED);
        return;
    }
    extension->ReadRefs = REF_CANCEL;

    PUCHAR base = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
    extension->RxTargetBase = base;
    extension->RxTargetPos = base + Irp->IoStatus.Information;
    extension->RxTargetLast = base + stack->Parameters.Read.Length - 1;
    extension->ReadRefs |= REF_UART;
    extension->ReadProgressMark = Irp->IoStatus.Information > 0x7FFFFFFF ? 0x7FFFFFFF : (LONG)Irp->IoStatus.Information;
    extension->ReadCharsSinceCheck = 0;

    if (useInterval) {
        LARGE_INTEGER now, due;
        KeQuerySystemTime(&now);
        extension->LastReadTime = now.QuadPart;
        due.QuadPart = extension->IntervalRecheckTime;
        KeSetTimer(&extension->ReadIntervalTimer, due, &extension->ReadIntervalDpc);
        extension->ReadRefs |= REF_INTERVAL_TIMER;
    }
    if (useTotal) {
        KeSetTimer(&extension->ReadTotalTimer, RelativeTimeFromMs(totalMs), &extension->ReadTotalTimeoutDpc);
        extension->ReadRefs |= REF_TOTAL_TIMER;
    }
    KeReleaseSpinLock(&extension->DeviceLock, oldIrql);
}

// Holder ends the current read from its DPC or cancel routine: takes back the buffer, then lets
// go as LetGoOfRequest does. TRUE when the caller must complete the read. DeviceLock held.
static BOOLEAN LetGoOfRead(PDEVICE_EXTENSION Extension, PIRP Irp, ULONG Holder)
{
    TakeReadFromUart(Extension, Irp);
    return LetGoOfRequest(&Extension->ReadRefs, Holder, Irp, &Extension->ReadTotalTimer, &Extension->ReadIntervalTimer);
}

// Ends one holder of the current read from its DPC (DISPATCH_LEVEL): Holder is the bit it drops,
// EndedMark tells an interval timer DPC already on its way how the read ended. The last holder
// completes the read with Status once DeviceLock is released.
static VOID EndReadHolderFromDpc(PDEVICE_EXTENSION Extension, ULONG Holder, LONG EndedMark, NTSTATUS Status)
{
    KeAcquireSpinLockAtDpcLevel(&Extension->DeviceLock);
    PIRP irp = Extension->ReadQueue.CurrentIrp;
    Extension->ReadProgressMark = EndedMark;
    BOOLEAN done = LetGoOfRead(Extension, irp, Holder);
    KeReleaseSpinLockFromDpcLevel(&Extension->DeviceLock);

    if (done) {
        QueueStartNextPacket(&Extension->ReadQueue);
        CompleteRequest(irp, Status);
    }
}

// The receive side has filled the read's buffer (Information is its full length).
VOID NTAPI ReadFullDpcRoutine(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    EndReadHolderFromDpc((PDEVICE_EXTENSION)DeferredContext, REF_UART, READ_ENDED_FULL, STATUS_SUCCESS);
}

VOID NTAPI ReadTotalTimeoutDpcRoutine(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    EndReadHolderFromDpc((PDEVICE_EXTENSION)DeferredContext, REF_TOTAL_TIMER, READ_ENDED_TOTAL_TIMEOUT,
                         STATUS_TIMEOUT);  // Information: the characters received
}

VOID NTAPI ReadIntervalDpcRoutine(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeferredContext;
    NTSTATUS status = STATUS_PENDING;
    BOOLEAN done = FALSE;
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);

    KeAcquireSpinLockAtDpcLevel(&extension->DeviceLock);
    PIRP irp = extension->ReadQueue.CurrentIrp;
    LONG mark = extension->ReadProgressMark;

    if (mark == READ_ENDED_TOTAL_TIMEOUT) {
        status = STATUS_TIMEOUT;
    } else if (mark == READ_ENDED_FULL) {
        status = STATUS_SUCCESS;
    } else if (mark == READ_ENDED_CANCELLED) {
        status = STATUS_CANCELLED;
    } else if (extension->ReadCharsSinceCheck != 0) {
        // Progress since the last check: the interval starts again from now.
        ULONG seen = extension->ReadCharsSinceCheck;
        extension->ReadProgressMark = seen > 0x7FFFFFFF ? 0x7FFFFFFF : (LONG)seen;
        extension->ReadCharsSinceCheck = 0;
        LARGE_INTEGER now;
        KeQuerySystemTime(&now);
        extension->LastReadTime = now.QuadPart;
    } else if (mark != 0) {
        // Nothing new: the read ends once a whole interval has passed without progress.
        LARGE_INTEGER now;
        KeQuerySystemTime(&now);
        if (now.QuadPart - extension->LastReadTime >= extension->ReadIntervalTime) status = STATUS_TIMEOUT;
    }
    // (mark 0 and nothing new: no character yet; the interval is not measured before the first.)

    if (status == STATUS_PENDING) {
        // The timer is armed again and keeps its REF_INTERVAL_TIMER.
        LARGE_INTEGER due;
        due.QuadPart = extension->IntervalRecheckTime;
        KeSetTimer(&extension->ReadIntervalTimer, due, &extension->ReadIntervalDpc);
    } else {
        done = LetGoOfRead(extension, irp, REF_INTERVAL_TIMER);
    }
    KeReleaseSpinLockFromDpcLevel(&extension->DeviceLock);

    if (done) {
        QueueStartNextPacket(&extension->ReadQueue);
        CompleteRequest(irp, status);
    }
}

VOID NTAPI ReadCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    KIRQL cancelIrql = Irp->CancelIrql;

    IoReleaseCancelSpinLock(DISPATCH_LEVEL);
    KeAcquireSpinLockAtDpcLevel(&extension->DeviceLock);
    extension->ReadProgressMark = READ_ENDED_CANCELLED;
    BOOLEAN done = LetGoOfRead(extension, Irp, REF_CANCEL);
    KeReleaseSpinLock(&extension->DeviceLock, cancelIrql);

    if (done) {
        QueueStartNextPacket(&extension->ReadQueue);
        CompleteRequest(Irp, STATUS_CANCELLED);  // Information: the characters received so far
    }
}

// Moves the ring into the larger buffer the set-queue-size dispatch allocated. The ring never
// shrinks; the flow-control limits and the 80%-full mark follow the new size.
VOID ResizeRxRing(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PUCHAR newRing = (PUCHAR)stack->Parameters.DeviceIoControl.Type3InputBuffer;
    PUCHAR unused = newRing;
    ULONG inSize = ((PSERIAL_QUEUE_SIZE)Irp->AssociatedIrp.SystemBuffer)->InSize;
    KIRQL oldIrql;

    stack->Parameters.DeviceIoControl.Type3InputBuffer = NULL;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    if (newRing == NULL) return;

    KeAcquireSpinLock(&Extension->DeviceLock, &oldIrql);
    // Reads and resizes share ReadQueue, so the target is the ring here.
    if (inSize > Extension->RxRingSize && Extension->RxRing != NULL && Extension->RxTargetBase == Extension->RxRing) {
        PUCHAR oldRing = Extension->RxRing;
        ULONG count = Extension->RxRingCount;
        ULONG firstRun = (ULONG)(oldRing + Extension->RxRingSize - Extension->RxRingReadPos);
        if (count <= firstRun) {
            RtlCopyMemory(newRing, Extension->RxRingReadPos, count);
        } else {
            RtlCopyMemory(newRing, Extension->RxRingReadPos, firstRun);
            RtlCopyMemory(newRing + firstRun, oldRing, count - firstRun);
        }
        Extension->RxRing = newRing;
        Extension->RxTargetBase = newRing;
        Extension->RxRingReadPos = newRing;
        Extension->RxTargetLast = newRing + inSize - 1;
        Extension->RxRingSize = inSize;
        Extension->RxTargetPos = newRing + count;
        Extension->HandFlow.XoffLimit = (LONG)(inSize >> 3);
        Extension->HandFlow.XonLimit = (LONG)(inSize >> 1);
        Extension->RxRingHighMark = (inSize / 4) * 3 + inSize / 16;
        ReleaseReceiveHolds(Extension);
        unused = oldRing;
    }
    KeReleaseSpinLock(&Extension->DeviceLock, oldIrql);

    ExFreePoolWithTag(unused, QUORVEL_TAG);
}
