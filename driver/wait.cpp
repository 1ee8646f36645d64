// Wait-on-mask: the events of interest (SET_WAIT_MASK), the events seen since the last report
// (EventHistory), and the one pending WAIT_ON_MASK they are reported into. Event sources only
// write the result and queue WaitCompleteDpc; completion happens outside DeviceLock.
#include "quorvel.h"

// Writes the recorded events into the pending wait, once. DeviceLock held.
VOID ReportEvents(PDEVICE_EXTENSION Extension)
{
    if (Extension->WaitResultLocation == NULL || Extension->EventHistory == 0) return;
    *Extension->WaitResultLocation = Extension->EventHistory;
    Extension->WaitResultLocation = NULL;
    Extension->EventHistory = 0;
    Extension->WaitIrp->IoStatus.Information = sizeof(ULONG);
    KeInsertQueueDpc(&Extension->WaitCompleteDpc, NULL, NULL);
}

// Raises SERIAL_EV_TXEMPTY when nothing is left to send. DeviceLock held.
VOID CheckTransmitEmpty(PDEVICE_EXTENSION Extension)
{
    if ((Extension->WaitMask & SERIAL_EV_TXEMPTY) && Extension->TxQueuedCount == 0) {
        Extension->EventHistory |= SERIAL_EV_TXEMPTY;
        ReportEvents(Extension);
    }
}

// Ends the pending wait with no events if no result has been written yet; the event sources
// then let go of it. DeviceLock held.
VOID TakeWaitFromEvents(PDEVICE_EXTENSION Extension)
{
    if (Extension->WaitResultLocation == NULL) return;
    *Extension->WaitResultLocation = 0;
    Extension->WaitResultLocation = NULL;
    Extension->WaitIrp->IoStatus.Information = sizeof(ULONG);
    Extension->WaitRefs &= ~REF_UART;
}

// Holder lets go of WaitIrp; the last one takes it (WaitIrp becomes NULL) and gets it back to
// complete once DeviceLock is released. NULL while another holder has it. DeviceLock held.
static PIRP LetGoOfWait(PDEVICE_EXTENSION Extension, PIRP Irp, ULONG Holder)
{
    if (!LetGoOfRequest(&Extension->WaitRefs, Holder, Irp, NULL, NULL)) return NULL;
    Extension->WaitIrp = NULL;
    return Irp;
}

// Ends the pending wait inside the set-wait-mask request, so that when the caller hears that
// the new mask is set the old wait has completed and a new WAIT_ON_MASK is accepted. Returns the
// wait to complete (after DeviceLock is released), or NULL when another holder still has it.
// DeviceLock held.
static PIRP EndWaitForNewMask(PDEVICE_EXTENSION Extension)
{
    PIRP irp = Extension->WaitIrp;
    if (irp == NULL) return NULL;
    TakeWaitFromEvents(Extension);  // no result yet: the wait ends with no events
    // A result already written: its completion DPC is taken back unless it is running now.
    if ((Extension->WaitRefs & REF_UART) && KeRemoveQueueDpc(&Extension->WaitCompleteDpc)) {
        Extension->WaitRefs &= ~REF_UART;
    }
    return LetGoOfWait(Extension, irp, 0);
}

static VOID SetWaitMask(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    ULONG newMask = *(PULONG)Irp->AssociatedIrp.SystemBuffer;
    KIRQL oldIrql;

    KeAcquireSpinLock(&Extension->DeviceLock, &oldIrql);
    PIRP ended = EndWaitForNewMask(Extension);
    Extension->WaitMask = newMask;
    Extension->EventHistory &= newMask;
    KeReleaseSpinLock(&Extension->DeviceLock, oldIrql);

    QueueStartNextPacket(&Extension->MaskQueue);
    // The old wait first: its caller learns of it before this request's caller goes on.
    if (ended != NULL) CompleteRequest(ended, STATUS_SUCCESS);  // result and Information written above
    Irp->IoStatus.Information = 0;
    CompleteRequest(Irp, STATUS_SUCCESS);
}

static VOID WaitOnMask(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    KIRQL oldIrql;

    KeAcquireSpinLock(&Extension->DeviceLock, &oldIrql);
    if (Extension->WaitMask == 0 || Extension->WaitIrp != NULL) {
        status = STATUS_INVALID_PARAMETER;
    } else if (Extension->EventHistory != 0) {
        *(PULONG)Irp->AssociatedIrp.SystemBuffer = Extension->EventHistory;
        Extension->EventHistory = 0;
        status = STATUS_SUCCESS;
        information = sizeof(ULONG);
    } else {
        Extension->WaitRefs = 0;
        IoSetCancelRoutine(Irp, WaitCancelRoutine);
        if (ReadUnlocked(&Irp->Cancel) && IoSetCancelRoutine(Irp, NULL) != NULL) {
            status = STATUS_CANCELLED;
        } else {
            Extension->WaitRefs = REF_CANCEL;
            Extension->WaitIrp = Irp;
            Extension->WaitResultLocation = (PULONG)Irp->AssociatedIrp.SystemBuffer;
            Extension->WaitRefs |= REF_UART;
        }
    }
    KeReleaseSpinLock(&Extension->DeviceLock, oldIrql);

    // A pending wait does not hold the queue: a later SET_WAIT_MASK must be able to end it.
    QueueStartNextPacket(&Extension->MaskQueue);
    if (status != STATUS_PENDING) {
        Irp->IoStatus.Information = information;
        CompleteRequest(Irp, status);
    }
}

// Start routine of MaskQueue (DISPATCH_LEVEL): SET_WAIT_MASK and WAIT_ON_MASK in arrival order.
VOID NTAPI MaskStartIo(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);

    if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_SERIAL_SET_WAIT_MASK) {
        SetWaitMask(extension, Irp);
    } else {
        WaitOnMask(extension, Irp);
    }
}

// Completes the wait once a result has been written, unless its cancel routine still holds it.
VOID NTAPI WaitCompleteDpcRoutine(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeferredContext;
    PIRP complete = NULL;
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);

    KeAcquireSpinLockAtDpcLevel(&extension->DeviceLock);
    PIRP irp = extension->WaitIrp;
    if (irp != NULL) complete = LetGoOfWait(extension, irp, REF_UART);
    KeReleaseSpinLockFromDpcLevel(&extension->DeviceLock);

    if (complete != NULL) CompleteRequest(complete, STATUS_SUCCESS);
}

VOID NTAPI WaitCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    KIRQL cancelIrql = Irp->CancelIrql;

    IoReleaseCancelSpinLock(DISPATCH_LEVEL);
    KeAcquireSpinLockAtDpcLevel(&extension->DeviceLock);
    TakeWaitFromEvents(extension);
    PIRP complete = LetGoOfWait(extension, Irp, REF_CANCEL);
    KeReleaseSpinLock(&extension->DeviceLock, cancelIrql);

    // Otherwise a result was written first and WaitCompleteDpc completes it with success.
    if (complete != NULL) CompleteRequest(complete, STATUS_CANCELLED);
}

// Cleanup of the handle: ends a pending wait by the same holder rules as its cancel routine,
// so a wait whose completion DPC is already queued is left to that DPC.
VOID CleanupWaitOnMask(PDEVICE_EXTENSION Extension)
{
    PIRP complete = NULL;
    KIRQL oldIrql;

    KeAcquireSpinLock(&Extension->DeviceLock, &oldIrql);
    PIRP irp = Extension->WaitIrp;
    if (irp != NULL && TakeBackCancelReference(&Extension->WaitRefs, irp)) {
        TakeWaitFromEvents(Extension);
        complete = LetGoOfWait(Extension, irp, 0);
    }
    KeReleaseSpinLock(&Extension->DeviceLock, oldIrql);

    if (complete != NULL) CompleteRequest(complete, STATUS_CANCELLED);
}
