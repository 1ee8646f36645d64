// Write path: a written frame goes to the gateway at once, in the writer's thread; the write
// request then waits in WriteQueue and is "transmitted" by the emulated UART one character at
// a time, with the serial write timeouts. The same queue orders flushes and XOFF counters.
//
// Holders of the current write (WriteRefs): REF_UART while the transmitter still has
// characters, REF_CANCEL while the cancel routine is set, REF_TOTAL_TIMER while the total timer
// is armed. Each clears only its own bit; the one that clears the last bit completes.
//
// TxQueuedCount rises by a request's length when it is accepted, falls by one for every
// character the transmitter takes, and by what was left unsent when a request ends otherwise.
#include "quorvel.h"

static BOOLEAN IsXoffCounter(PIRP Irp)
{
    return IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_DEVICE_CONTROL;
}

// Characters a write-queue request puts on the line: the write's own, or the XOFF counter's
// single XoffChar.
static ULONG TransmitLength(PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    return stack->MajorFunction == IRP_MJ_WRITE ? stack->Parameters.Write.Length : 1;
}

static VOID ForgetQueuedChars(PDEVICE_EXTENSION Extension, ULONG Count)
{
    Extension->TxQueuedCount -= Count < Extension->TxQueuedCount ? Count : Extension->TxQueuedCount;
}

NTSTATUS NTAPI KivraWriteDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);

    NTSTATUS status = ErrorAbortCheck(extension, Irp);
    if (status != STATUS_SUCCESS) return status;

    Irp->IoStatus.Information = 0;
    // The whole length: a write of 65536 bytes is not empty.
    ULONG length = stack->Parameters.Write.Length;
    if (length == 0) return CompleteRequest(Irp, STATUS_SUCCESS);

    QvTrace(TRACE_LEVEL_VERBOSE, "---- Write begin ----\n");
    QvTrace(TRACE_LEVEL_VERBOSE, "DataLen = %u\n", length);
    // No Modbus frame is longer than 65535 bytes; a longer write is never cut down to a prefix
    // the gateway would take for a frame. It still goes through the queue with its full length.
    if (length <= 0xFFFF) {
        status = ForwardRequest(extension, (PUCHAR)Irp->AssociatedIrp.SystemBuffer, (USHORT)length);
        if (!NT_SUCCESS(status)) return CompleteRequest(Irp, status);
    }
    QvTrace(TRACE_LEVEL_VERBOSE, "---- Write end ----\n");

    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->DeviceLock, &oldIrql);
    extension->TxQueuedCount += length;
    KeReleaseSpinLock(&extension->DeviceLock, oldIrql);
    return QueueStartPacket(&extension->WriteQueue, Irp);
}

NTSTATUS NTAPI KivraFlushDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS status = ErrorAbortCheck(extension, Irp);
    if (status != STATUS_SUCCESS) return status;
    Irp->IoStatus.Information = 0;
    return QueueStartPacket(&extension->WriteQueue, Irp);
}

// Sets an XOFF counter whose character is out counting received characters. Returns the
// request when it was cancelled meanwhile (the caller completes it with STATUS_CANCELLED), else
// NULL. DeviceLock held.
static PIRP StartXoffCounting(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    PSERIAL_XOFF_COUNTER counter = (PSERIAL_XOFF_COUNTER)Irp->AssociatedIrp.SystemBuffer;

    Irp->IoStatus.Information = 0;
    Extension->XoffRefs = 0;
    IoSetCancelRoutine(Irp, XoffCancelRoutine);
    if (ReadUnlocked(&Irp->Cancel) && IoSetCancelRoutine(Irp, NULL) != NULL) return Irp;
    Extension->XoffRefs = REF_CANCEL;
    Extension->XoffCounterIrp = Irp;
    Extension->XoffCountRemaining = (ULONG)counter->Counter;
    Extension->XoffRefs |= REF_UART;
    if (counter->Timeout != 0) {
        KeSetTimer(&Extension->XoffCounterTimer, RelativeTimeFromMs(counter->Timeout), &Extension->XoffTimeoutDpc);
        Extension->XoffRefs |= REF_TOTAL_TIMER;
    }
    return NULL;
}

// XoffCounterIrp has been let go by its last holder: a counter that waited for that starts
// now. Returns a request to complete as cancelled, or NULL. DeviceLock held.
static PIRP StartWaitingXoffCounter(PDEVICE_EXTENSION Extension)
{
    PIRP next = Extension->XoffCounterNext;
    if (next == NULL) return NULL;
    Extension->XoffCounterNext = NULL;
    return StartXoffCounting(Extension, next);
}

VOID TakeXoffFromUart(PDEVICE_EXTENSION Extension)
{
    if (Extension->XoffCountRemaining != 0) {
        Extension->XoffCountRemaining = 0;
        Extension->XoffRefs &= ~REF_UART;
    }
}

// Holder (0 when ending a counter from outside) lets go of XoffCounterIrp; when no holder is
// left the counter is taken (XoffCounterIrp becomes NULL) and TRUE tells the caller to complete
// it. DeviceLock held.
static BOOLEAN LetGoOfXoffCounter(PDEVICE_EXTENSION Extension, PIRP Irp, ULONG Holder)
{
    TakeXoffFromUart(Extension);
    if (!LetGoOfRequest(&Extension->XoffRefs, Holder, Irp, &Extension->XoffCounterTimer, NULL)) return FALSE;
    Extension->XoffCounterIrp = NULL;
    return TRUE;
}

VOID EndCountingXoff(PDEVICE_EXTENSION Extension, NTSTATUS Status)
{
    PIRP ended = NULL;
    PIRP waiting = NULL;
    KIRQL oldIrql;

    KeAcquireSpinLock(&Extension->DeviceLock, &oldIrql);
    // A counter that has not started counting yet is ended as well.
    waiting = Extension->XoffCounterNext;
    Extension->XoffCounterNext = NULL;
    // The counter's own cancel routine is taken back, not that of the request that ends it.
    PIRP irp = Extension->XoffCounterIrp;
    if (irp != NULL && LetGoOfXoffCounter(Extension, irp, 0)) ended = irp;
    KeReleaseSpinLock(&Extension->DeviceLock, oldIrql);

    if (ended != NULL) {
        ended->IoStatus.Information = 0;
        CompleteRequest(ended, Status);
    }
    if (waiting != NULL) {
        waiting->IoStatus.Information = 0;
        CompleteRequest(waiting, Status);
    }
}

// Start routine of WriteQueue (DISPATCH_LEVEL).
VOID NTAPI WriteStartIo(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    KIRQL oldIrql;

    // Everything queued before the flush has completed.
    if (stack->MajorFunction == IRP_MJ_FLUSH_BUFFERS) {
        QueueStartNextPacket(&extension->WriteQueue);
        Irp->IoStatus.Information = 0;
        CompleteRequest(Irp, STATUS_SUCCESS);
        return;
    }

    // A new write or XOFF counter ends the counter still counting.
    EndCountingXoff(extension, STATUS_SERIAL_MORE_WRITES);

    BOOLEAN xoffCounter = IsXoffCounter(Irp);
    ULONG length = TransmitLength(Irp);

    KeAcquireSpinLock(&extension->DeviceLock, &oldIrql);
    SERIAL_TIMEOUTS timeouts = extension->Timeouts;
    BOOLEAN useTimer = timeouts.WriteTotalTimeoutMultiplier != 0 || timeouts.WriteTotalTimeoutConstant != 0;
    LARGE_INTEGER due = RelativeTimeFromMs(UInt32x32To64(length, timeouts.WriteTotalTimeoutMultiplier) +
                                           timeouts.WriteTotalTimeoutConstant);

    extension->WriteRefs = 0;
    IoSetCancelRoutine(Irp, WriteCancelRoutine);
    if (ReadUnlocked(&Irp->Cancel) && IoSetCancelRoutine(Irp, NULL) != NULL) {
        ForgetQueuedChars(extension, length);
        KeReleaseSpinLock(&extension->DeviceLock, oldIrql);
        Irp->IoStatus.Information = 0;
        QueueStartNextPacket(&extension->WriteQueue);
        CompleteRequest(Irp, STATUS_CANCELLED);
        return;
    }
    extension->WriteRefs = REF_CANCEL;
    if (useTimer) {
        KeSetTimer(&extension->WriteTotalTimer, due, &extension->WriteTimeoutDpc);
        extension->WriteRefs |= REF_TOTAL_TIMER;
    }

    extension->TxRemaining = length;
    if (xoffCounter) {
        extension->TxNextChar = &((PSERIAL_XOFF_COUNTER)Irp->AssociatedIrp.SystemBuffer)->XoffChar;
    } else {
        extension->TxNextChar = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
    }
    extension->WriteRefs |= REF_UART;

    KickIfIdle(extension);
    if ((extension->HandFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_TRANSMIT_TOGGLE) {
        RaiseRts(extension);
    }
    KeReleaseSpinLock(&extension->DeviceLock, oldIrql);
}

// Takes the rest of the current write away from the transmitter (timeout, cancel). Nothing to
// do once the last character is out: WriteSentDpc is on its way and drops REF_UART itself.
VOID TakeWriteFromUart(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    if (Extension->TxRemaining == 0) return;
    Irp->IoStatus.Information = IsXoffCounter(Irp) ? 0 : TransmitLength(Irp) - Extension->TxRemaining;
    ForgetQueuedChars(Extension, Extension->TxRemaining);
    Extension->TxRemaining = 0;
    Extension->WriteRefs &= ~REF_UART;
}

// The transmitter has sent the current request's last character.
VOID NTAPI WriteSentDpcRoutine(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeferredContext;
    PIRP complete = NULL;
    PIRP cancelled = NULL;
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);

    KeAcquireSpinLockAtDpcLevel(&extension->DeviceLock);
    PIRP irp = extension->WriteQueue.CurrentIrp;
    if (!LetGoOfRequest(&extension->WriteRefs, REF_UART, irp, &extension->WriteTotalTimer, NULL)) {
        // The cancel routine or the timer, already running, completes it.
        KeReleaseSpinLockFromDpcLevel(&extension->DeviceLock);
        return;
    }

    if (!IsXoffCounter(irp)) {
        complete = irp;
    } else if (extension->XoffCounterIrp != NULL) {
        // The previous counter's last holder is still running; this one starts when it is gone.
        extension->XoffCounterNext = irp;
    } else {
        cancelled = StartXoffCounting(extension, irp);
    }
    KeReleaseSpinLockFromDpcLevel(&extension->DeviceLock);

    QueueStartNextPacket(&extension->WriteQueue);
    if (complete != NULL)
        CompleteRequest(complete, STATUS_SUCCESS);  // Information, the full length, set by the transmitter
    if (cancelled != NULL) CompleteRequest(cancelled, STATUS_CANCELLED);
}

VOID NTAPI WriteTimeoutDpcRoutine(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeferredContext;
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);

    KeAcquireSpinLockAtDpcLevel(&extension->DeviceLock);
    PIRP irp = extension->WriteQueue.CurrentIrp;
    TakeWriteFromUart(extension, irp);
    BOOLEAN done = LetGoOfRequest(&extension->WriteRefs, REF_TOTAL_TIMER, irp, &extension->WriteTotalTimer, NULL);
    KeReleaseSpinLockFromDpcLevel(&extension->DeviceLock);

    if (done) {
        QueueStartNextPacket(&extension->WriteQueue);
        CompleteRequest(irp, STATUS_TIMEOUT);  // Information: the characters transmitted
    }
}

VOID NTAPI WriteCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    KIRQL cancelIrql = Irp->CancelIrql;

    IoReleaseCancelSpinLock(DISPATCH_LEVEL);
    KeAcquireSpinLockAtDpcLevel(&extension->DeviceLock);
    TakeWriteFromUart(extension, Irp);
    BOOLEAN done = LetGoOfRequest(&extension->WriteRefs, REF_CANCEL, Irp, &extension->WriteTotalTimer, NULL);
    KeReleaseSpinLock(&extension->DeviceLock, cancelIrql);

    if (done) {
        QueueStartNextPacket(&extension->WriteQueue);
        CompleteRequest(Irp, STATUS_CANCELLED);  // Information: the characters transmitted
    }
}

// Ends one holder of the XOFF counter from its DPC (DISPATCH_LEVEL): Holder is the bit it drops.
// The last holder completes the counter with Status, and a waiting counter found cancelled as
// it starts, once DeviceLock is released.
static VOID EndXoffHolderFromDpc(PDEVICE_EXTENSION Extension, ULONG Holder, NTSTATUS Status)
{
    PIRP complete = NULL;
    PIRP cancelled = NULL;

    KeAcquireSpinLockAtDpcLevel(&Extension->DeviceLock);
    PIRP irp = Extension->XoffCounterIrp;
    if (irp != NULL && LetGoOfXoffCounter(Extension, irp, Holder)) {
        complete = irp;
        cancelled = StartWaitingXoffCounter(Extension);
    }
    KeReleaseSpinLockFromDpcLevel(&Extension->DeviceLock);

    if (complete != NULL) {
        complete->IoStatus.Information = 0;
        CompleteRequest(complete, Status);
    }
    if (cancelled != NULL) CompleteRequest(cancelled, STATUS_CANCELLED);
}

// The receive side has counted the XOFF counter down to zero.
VOID NTAPI XoffCountedDpcRoutine(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    EndXoffHolderFromDpc((PDEVICE_EXTENSION)DeferredContext, REF_UART, STATUS_SUCCESS);
}

VOID NTAPI XoffTimeoutDpcRoutine(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    EndXoffHolderFromDpc((PDEVICE_EXTENSION)DeferredContext, REF_TOTAL_TIMER, STATUS_SERIAL_COUNTER_TIMEOUT);
}

VOID NTAPI XoffCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    KIRQL cancelIrql = Irp->CancelIrql;
    BOOLEAN taken = FALSE;
    PIRP cancelled = NULL;

    IoReleaseCancelSpinLock(DISPATCH_LEVEL);
    KeAcquireSpinLockAtDpcLevel(&extension->DeviceLock);
    if (LetGoOfXoffCounter(extension, Irp, REF_CANCEL)) {
        taken = TRUE;
        cancelled = StartWaitingXoffCounter(extension);
    }
    KeReleaseSpinLock(&extension->DeviceLock, cancelIrql);

    if (taken) {
        Irp->IoStatus.Information = 0;
        CompleteRequest(Irp, STATUS_CANCELLED);
    }
    if (cancelled != NULL) CompleteRequest(cancelled, STATUS_CANCELLED);
}
