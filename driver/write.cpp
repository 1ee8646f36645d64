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

static VOID CompleteRequest(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
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
    if (length == 0) {
        CompleteRequest(Irp, STATUS_SUCCESS);
        return STATUS_SUCCESS;
    }

    DbgPrint("---- Write begin ----\n");
    DbgPrint("DataLen = %u\n", length);
    // No Modbus frame is longer than 65535 bytes; a longer write is never cut down to a prefix
    // the gateway would take for a frame. It still goes through the queue with its full length.
    if (length <= 0xFFFF) {
        status = ForwardRequest(extension, (PUCHAR)Irp->AssociatedIrp.SystemBuffer, (USHORT)length);
        if (!NT_SUCCESS(status)) {
            CompleteRequest(Irp, status);
            return status;
        }
    }
    DbgPrint("---- Write end ----\n");

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
// request when it was cancelled meanwhile (the caller completes it), else NULL. DeviceLock held.
static PIRP StartXoffCounting(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    PSERIAL_XOFF_COUNTER counter = (PSERIAL_XOFF_COUNTER)Irp->AssociatedIrp.SystemBuffer;

    Irp->IoStatus.Information = 0;
    Extension->XoffRefs = 0;
    IoSetCancelRoutine(Irp, XoffCancelRoutine);
    if (ReadUnlocked(&Irp->Cancel) && IoSetCancelRoutine(Irp, NULL) != NULL) {
        Irp->IoStatus.Status = STATUS_CANCELLED;
        return Irp;
    }
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

// The XOFF counter's reference bits (DeviceLock held). Each helper clears a bit only when its
// holder could still be stopped; a timer or cancel routine already on its way keeps its bit.
static VOID StopXoffTimer(PDEVICE_EXTENSION Extension)
{
    if ((Extension->XoffRefs & REF_TOTAL_TIMER) && KeCancelTimer(&Extension->XoffCounterTimer)) {
        Extension->XoffRefs &= ~REF_TOTAL_TIMER;
    }
}

static VOID TakeBackXoffCancel(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    if ((Extension->XoffRefs & REF_CANCEL) && IoSetCancelRoutine(Irp, NULL) != NULL) {
        Extension->XoffRefs &= ~REF_CANCEL;
    }
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
    PIRP irp = Extension->XoffCounterIrp;
    if (irp != NULL) {
        TakeXoffFromUart(Extension);
        StopXoffTimer(Extension);
        TakeBackXoffCancel(Extension, irp);  // the counter's own, not that of the request that ends it
        if (Extension->XoffRefs == 0) {
            Extension->XoffCounterIrp = NULL;
            ended = irp;
        }
    }
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
    extension->WriteRefs &= ~REF_UART;
    if ((extension->WriteRefs & REF_CANCEL) && IoSetCancelRoutine(irp, NULL) != NULL) {
        extension->WriteRefs &= ~REF_CANCEL;
    }
    if ((extension->WriteRefs & REF_TOTAL_TIMER) && KeCancelTimer(&extension->WriteTotalTimer)) {
        extension->WriteRefs &= ~REF_TOTAL_TIMER;
    }
    if (extension->WriteRefs != 0) {
        // The cancel routine or the timer, already running, completes it.
        KeReleaseSpinLockFromDpcLevel(&extension->DeviceLock);
        return;
    }

    if (!IsXoffCounter(irp)) {
        irp->IoStatus.Status = STATUS_SUCCESS;  // Information, the full length, set by the transmitter
        complete = irp;
    } else if (extension->XoffCounterIrp != NULL) {
        // The previous counter's last holder is still running; this one starts when it is gone.
        extension->XoffCounterNext = irp;
    } else {
        cancelled = StartXoffCounting(extension, irp);
    }
    KeReleaseSpinLockFromDpcLevel(&extension->DeviceLock);

    QueueStartNextPacket(&extension->WriteQueue);
    if (complete != NULL) IoCompleteRequest(complete, IO_NO_INCREMENT);
    if (cancelled != NULL) IoCompleteRequest(cancelled, IO_NO_INCREMENT);
}

VOID NTAPI WriteTimeoutDpcRoutine(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeferredContext;
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);

    KeAcquireSpinLockAtDpcLevel(&extension->DeviceLock);
    PIRP irp = extension->WriteQueue.CurrentIrp;
    extension->WriteRefs &= ~REF_TOTAL_TIMER;
    if ((extension->WriteRefs & REF_CANCEL) && IoSetCancelRoutine(irp, NULL) != NULL) {
        extension->WriteRefs &= ~REF_CANCEL;
    }
    TakeWriteFromUart(extension, irp);
    BOOLEAN done = extension->WriteRefs == 0;
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
    extension->WriteRefs &= ~REF_CANCEL;
    if ((extension->WriteRefs & REF_TOTAL_TIMER) && KeCancelTimer(&extension->WriteTotalTimer)) {
        extension->WriteRefs &= ~REF_TOTAL_TIMER;
    }
    TakeWriteFromUart(extension, Irp);
    BOOLEAN done = extension->WriteRefs == 0;
    KeReleaseSpinLock(&extension->DeviceLock, cancelIrql);

    if (done) {
        QueueStartNextPacket(&extension->WriteQueue);
        CompleteRequest(Irp, STATUS_CANCELLED);  // Information: the characters transmitted
    }
}

// Ends one holder of the XOFF counter from its DPC (DISPATCH_LEVEL): Holder is the bit it drops,
// EndOtherHolder the helper for the holder that is pointless now. The last holder completes
// the counter with Status, and a waiting counter found cancelled as it starts, once DeviceLock
// is released.
static VOID EndXoffHolderFromDpc(PDEVICE_EXTENSION Extension, ULONG Holder, VOID (*EndOtherHolder)(PDEVICE_EXTENSION),
                                 NTSTATUS Status)
{
    PIRP complete = NULL;
    PIRP cancelled = NULL;

    KeAcquireSpinLockAtDpcLevel(&Extension->DeviceLock);
    PIRP irp = Extension->XoffCounterIrp;
    if (irp != NULL) {
        Extension->XoffRefs &= ~Holder;
        TakeBackXoffCancel(Extension, irp);
        EndOtherHolder(Extension);
        if (Extension->XoffRefs == 0) {
            Extension->XoffCounterIrp = NULL;
            complete = irp;
            cancelled = StartWaitingXoffCounter(Extension);
        }
    }
    KeReleaseSpinLockFromDpcLevel(&Extension->DeviceLock);

    if (complete != NULL) {
        complete->IoStatus.Information = 0;
        CompleteRequest(complete, Status);
    }
    if (cancelled != NULL) IoCompleteRequest(cancelled, IO_NO_INCREMENT);
}

// The receive side has counted the XOFF counter down to zero.
VOID NTAPI XoffCountedDpcRoutine(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    EndXoffHolderFromDpc((PDEVICE_EXTENSION)DeferredContext, REF_UART, StopXoffTimer, STATUS_SUCCESS);
}

VOID NTAPI XoffTimeoutDpcRoutine(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    EndXoffHolderFromDpc((PDEVICE_EXTENSION)DeferredContext, REF_TOTAL_TIMER, TakeXoffFromUart,
                         STATUS_SERIAL_COUNTER_TIMEOUT);
}

VOID NTAPI XoffCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    KIRQL cancelIrql = Irp->CancelIrql;
    BOOLEAN taken = FALSE;
    PIRP cancelled = NULL;

    IoReleaseCancelSpinLock(DISPATCH_LEVEL);
    KeAcquireSpinLockAtDpcLevel(&extension->DeviceLock);
    extension->XoffRefs &= ~REF_CANCEL;
    StopXoffTimer(extension);
    TakeXoffFromUart(extension);
    if (extension->XoffRefs == 0) {
        extension->XoffCounterIrp = NULL;
        taken = TRUE;
        cancelled = StartWaitingXoffCounter(extension);
    }
    KeReleaseSpinLock(&extension->DeviceLock, cancelIrql);

    if (taken) {
        Irp->IoStatus.Information = 0;
        CompleteRequest(Irp, STATUS_CANCELLED);
    }
    if (cancelled != NULL) IoCompleteRequest(cancelled, IO_NO_INCREMENT);
}
