// Request queues and the control gate.
//
// Each kind of serial request (write, wait-mask, read, purge) runs one at a time through its
// own start-packet queue; later requests wait in arrival order and stay cancellable. Control
// requests that touch the line settings pass the control gate, which lets them run side by
// side but holds them while the device is stopped or powered down and replays them after.
//
// Lock rules: a queue or gate lock is never taken while DeviceLock is held; cancel routines
// release the system cancel spin lock before taking a queue or gate lock; nothing is
// completed while any of these locks is held.

#include "quorvel.h"

static PDEVICE_EXTENSION QueueExtension(PIRP_QUEUE Queue)
{
    return (PDEVICE_EXTENSION)Queue->DeviceObject->DeviceExtension;
}

static VOID CompleteCancelled(PIRP Irp)
{
    Irp->IoStatus.Status = STATUS_CANCELLED;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

// A request that leaves a queue without having been started gives back what its dispatch
// took for it (a new receive ring, characters counted as queued) before it is completed.
static VOID CompleteUnstarted(PIRP_QUEUE Queue, PIRP Irp)
{
    ForgetQueuedRequest(QueueExtension(Queue), Irp);
    CompleteCancelled(Irp);
}

// The port asks for D0 itself when a request arrives while it is powered down. The request
// is already queued or held and marked pending, so the caller sees STATUS_PENDING whatever
// the power request returns.
static VOID RequestPowerUp(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    POWER_STATE state;
    NTSTATUS status;

    if (ReadUnlocked(&extension->DevicePowerState) <= PowerDeviceD0) return;
    state.DeviceState = PowerDeviceD0;
    status = PoRequestPowerIrp(extension->Pdo, IRP_MN_SET_POWER, state, NULL, NULL, NULL);
    if (!NT_SUCCESS(status)) DbgPrint("RequestPowerUp - PoRequestPowerIrp failed %08lx\n", (ULONG)status);
}

// Invokes a cancel routine that the caller has taken back from a live request, exactly as
// the I/O manager does when it cancels a request.
static VOID InvokeCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PDRIVER_CANCEL CancelRoutine)
{
    KIRQL cancelIrql;

    IoAcquireCancelSpinLock(&cancelIrql);
    WriteUnlocked(&Irp->Cancel, (BOOLEAN)TRUE);
    Irp->CancelIrql = cancelIrql;
    CancelRoutine(DeviceObject, Irp);
}

// ===================================================================== queues

VOID QueueInitialize(PIRP_QUEUE Queue, PDRIVER_STARTIO StartIoRoutine, PDEVICE_OBJECT DeviceObject)
{
    ASSERT(StartIoRoutine != NULL);
    Queue->StartIoRoutine = StartIoRoutine;
    Queue->DeviceObject = DeviceObject;
    InitializeListHead(&Queue->PendingList);
    KeInitializeSpinLock(&Queue->QueueLock);
    NAME_DRIVER_LOCK(&Queue->QueueLock, LOCK_NAME_QUEUE);
    Queue->CurrentIrp = NULL;
    KeInitializeEvent(&Queue->IdleEvent, NotificationEvent, FALSE);
    Queue->StallCount = 1;  // nothing starts before the device has been started
    KeInitializeDpc(&Queue->StartDpc, QueueStartDpcRoutine, Queue);
}

NTSTATUS QueueStartPacket(PIRP_QUEUE Queue, PIRP Irp)
{
    KIRQL oldIrql;
    BOOLEAN stalled;

    KeAcquireSpinLock(&Queue->QueueLock, &oldIrql);
    if (Queue->CurrentIrp == NULL && ReadUnlocked(&Queue->StallCount) == 0) {
        IoMarkIrpPending(Irp);
        Queue->CurrentIrp = Irp;
        KeReleaseSpinLockFromDpcLevel(&Queue->QueueLock);
        Queue->StartIoRoutine(Queue->DeviceObject, Irp);
        KeLowerIrql(oldIrql);
        return STATUS_PENDING;
    }

    Irp->Tail.Overlay.DriverContext[0] = Queue;
    InsertTailList(&Queue->PendingList, &Irp->Tail.Overlay.ListEntry);
    (VOID) IoSetCancelRoutine(Irp, QueueCancelRoutine);
    if (ReadUnlocked(&Irp->Cancel) && IoSetCancelRoutine(Irp, NULL) != NULL) {
        RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
        KeReleaseSpinLock(&Queue->QueueLock, oldIrql);
        CompleteUnstarted(Queue, Irp);
        return STATUS_CANCELLED;
    }
    IoMarkIrpPending(Irp);
    stalled = ReadUnlocked(&Queue->StallCount) > 0;
    KeReleaseSpinLock(&Queue->QueueLock, oldIrql);

    if (stalled) RequestPowerUp(Queue->DeviceObject);
    return STATUS_PENDING;
}

// Takes the oldest waiting request whose cancellation is not already running and starts
// it. Entered with QueueLock held at DISPATCH_LEVEL, CurrentIrp NULL; releases the lock and
// returns at OldIrql.
static VOID QueueStartNextLocked(PIRP_QUEUE Queue, KIRQL OldIrql)
{
    PLIST_ENTRY entry;
    PIRP next = NULL;

    if (IsListEmpty(&Queue->PendingList) || ReadUnlocked(&Queue->StallCount) > 0) {
        KeSetEvent(&Queue->IdleEvent, IO_NO_INCREMENT, FALSE);
        KeReleaseSpinLock(&Queue->QueueLock, OldIrql);
        return;
    }
    for (entry = Queue->PendingList.Flink; entry != &Queue->PendingList; entry = entry->Flink) {
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        // A request whose cancel routine is gone is being cancelled; its routine unlinks it.
        if (IoSetCancelRoutine(irp, NULL) != NULL) {
            RemoveEntryList(entry);
            next = irp;
            break;
        }
    }
    if (next == NULL) {
        KeSetEvent(&Queue->IdleEvent, IO_NO_INCREMENT, FALSE);
        KeReleaseSpinLock(&Queue->QueueLock, OldIrql);
        return;
    }

    Queue->CurrentIrp = next;
    if (!IsListEmpty(&Queue->PendingList)) {
        // More wait: start from the DPC so that requests finishing inside their start routine
        // do not nest start routine within start routine.
        KeReleaseSpinLock(&Queue->QueueLock, OldIrql);
        KeInsertQueueDpc(&Queue->StartDpc, NULL, NULL);
        return;
    }
    KeReleaseSpinLockFromDpcLevel(&Queue->QueueLock);
    Queue->StartIoRoutine(Queue->DeviceObject, next);
    KeLowerIrql(OldIrql);
}

VOID QueueStartNextPacket(PIRP_QUEUE Queue)
{
    KIRQL oldIrql;

    KeAcquireSpinLock(&Queue->QueueLock, &oldIrql);
    Queue->CurrentIrp = NULL;
    QueueStartNextLocked(Queue, oldIrql);
}

VOID QueueStartDpcRoutine(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2)
{
    PIRP_QUEUE queue = (PIRP_QUEUE)DeferredContext;
    PIRP irp;

    (VOID) Dpc;
    (VOID) SystemArgument1;
    (VOID) SystemArgument2;
    KeAcquireSpinLockAtDpcLevel(&queue->QueueLock);
    irp = queue->CurrentIrp;
    KeReleaseSpinLockFromDpcLevel(&queue->QueueLock);
    if (irp != NULL) queue->StartIoRoutine(queue->DeviceObject, irp);
}

VOID QueueCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    KIRQL cancelIrql = Irp->CancelIrql;
    PIRP_QUEUE queue;

    (VOID) DeviceObject;
    IoReleaseCancelSpinLock(DISPATCH_LEVEL);
    queue = (PIRP_QUEUE)Irp->Tail.Overlay.DriverContext[0];
    ASSERT(queue != NULL);
    if (queue == NULL) {
        KeLowerIrql(cancelIrql);
        CompleteCancelled(Irp);
        return;
    }
    KeAcquireSpinLockAtDpcLevel(&queue->QueueLock);
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&queue->QueueLock, cancelIrql);
    CompleteUnstarted(queue, Irp);
}

VOID QueueStallAndWait(PIRP_QUEUE Queue)
{
    KIRQL oldIrql;
    BOOLEAN busy;

    KeAcquireSpinLock(&Queue->QueueLock, &oldIrql);
    InterlockedIncrement(&Queue->StallCount);
    busy = Queue->CurrentIrp != NULL;
    if (busy) KeClearEvent(&Queue->IdleEvent);
    KeReleaseSpinLock(&Queue->QueueLock, oldIrql);
    if (busy) KeWaitForSingleObject(&Queue->IdleEvent, Executive, KernelMode, FALSE, NULL);
}

VOID QueueRestart(PIRP_QUEUE Queue)
{
    KIRQL oldIrql;

    if (InterlockedDecrement(&Queue->StallCount) != 0) return;
    KeAcquireSpinLock(&Queue->QueueLock, &oldIrql);
    if (Queue->CurrentIrp != NULL) {
        // Its owner starts the next one when it is done.
        KeReleaseSpinLock(&Queue->QueueLock, oldIrql);
        return;
    }
    QueueStartNextLocked(Queue, oldIrql);
}

// Unlinks the waiting requests of a file object (every one when FileObject is NULL) whose
// cancel routine can be taken back, and moves them to Collected in queue order.
static VOID CollectRequests(PLIST_ENTRY List, PFILE_OBJECT FileObject, PLIST_ENTRY Collected)
{
    PLIST_ENTRY entry = List->Flink;

    while (entry != List) {
        PLIST_ENTRY following = entry->Flink;
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if ((FileObject == NULL || IoGetCurrentIrpStackLocation(irp)->FileObject == FileObject) &&
            IoSetCancelRoutine(irp, NULL) != NULL) {
            RemoveEntryList(entry);
            InsertTailList(Collected, entry);
        }
        entry = following;
    }
}

VOID QueueCleanup(PIRP_QUEUE Queue, PFILE_OBJECT FileObject)
{
    LIST_ENTRY collected;
    KIRQL oldIrql;

    InitializeListHead(&collected);
    KeAcquireSpinLock(&Queue->QueueLock, &oldIrql);
    CollectRequests(&Queue->PendingList, FileObject, &collected);
    KeReleaseSpinLock(&Queue->QueueLock, oldIrql);

    while (!IsListEmpty(&collected)) {
        PLIST_ENTRY entry = RemoveHeadList(&collected);
        CompleteUnstarted(Queue, CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry));
    }
}

// ===================================================================== control gate

VOID GateInitialize(PIRP_GATE Gate, PDEVICE_OBJECT DeviceObject)
{
    Gate->DeviceObject = DeviceObject;
    KeInitializeEvent(&Gate->IdleEvent, NotificationEvent, FALSE);
    InitializeListHead(&Gate->HeldList);
    KeInitializeSpinLock(&Gate->GateLock);
    NAME_DRIVER_LOCK(&Gate->GateLock, LOCK_NAME_GATE);
    Gate->StallCount = 1;
    Gate->ActiveCount = 0;
    Gate->AbortStatus = STATUS_SUCCESS;
    Gate->ReplayIrp = NULL;
}

NTSTATUS GateEnter(PIRP_GATE Gate, PIRP Irp)
{
    KIRQL oldIrql;
    NTSTATUS status;

    KeAcquireSpinLock(&Gate->GateLock, &oldIrql);
    if (Gate->AbortStatus != STATUS_SUCCESS) {
        status = Gate->AbortStatus;
        KeReleaseSpinLock(&Gate->GateLock, oldIrql);
        Irp->IoStatus.Status = status;
        Irp->IoStatus.Information = 0;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }
    if (Gate->StallCount > 0) {
        if (Irp != Gate->ReplayIrp) {
            Irp->Tail.Overlay.DriverContext[0] = Gate;
            InsertTailList(&Gate->HeldList, &Irp->Tail.Overlay.ListEntry);
            (VOID) IoSetCancelRoutine(Irp, GateCancelRoutine);
            if (ReadUnlocked(&Irp->Cancel) && IoSetCancelRoutine(Irp, NULL) != NULL) {
                RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
                KeReleaseSpinLock(&Gate->GateLock, oldIrql);
                CompleteCancelled(Irp);
                return STATUS_CANCELLED;
            }
            IoMarkIrpPending(Irp);
            KeReleaseSpinLock(&Gate->GateLock, oldIrql);
            RequestPowerUp(Gate->DeviceObject);
            return STATUS_PENDING;
        }
        Gate->ReplayIrp = NULL;  // the replay of a held request is admitted
    }
    Gate->ActiveCount++;
    KeReleaseSpinLock(&Gate->GateLock, oldIrql);
    return STATUS_SUCCESS;
}

VOID GateLeave(PIRP_GATE Gate)
{
    KIRQL oldIrql;

    KeAcquireSpinLock(&Gate->GateLock, &oldIrql);
    if (--Gate->ActiveCount == 0) KeSetEvent(&Gate->IdleEvent, IO_NO_INCREMENT, FALSE);
    KeReleaseSpinLock(&Gate->GateLock, oldIrql);
}

VOID GateStall(PIRP_GATE Gate)
{
    KIRQL oldIrql;

    KeAcquireSpinLock(&Gate->GateLock, &oldIrql);
    Gate->StallCount++;
    KeReleaseSpinLock(&Gate->GateLock, oldIrql);
}

VOID GateWaitIdle(PIRP_GATE Gate)
{
    KIRQL oldIrql;
    BOOLEAN busy;

    KeAcquireSpinLock(&Gate->GateLock, &oldIrql);
    KeClearEvent(&Gate->IdleEvent);
    busy = Gate->ActiveCount != 0;
    KeReleaseSpinLock(&Gate->GateLock, oldIrql);
    if (busy) KeWaitForSingleObject(&Gate->IdleEvent, Executive, KernelMode, FALSE, NULL);
}

VOID GateRestart(PIRP_GATE Gate)
{
    KIRQL oldIrql;

    KeAcquireSpinLock(&Gate->GateLock, &oldIrql);
    while (Gate->StallCount == 1 && !IsListEmpty(&Gate->HeldList)) {
        PLIST_ENTRY entry = RemoveHeadList(&Gate->HeldList);
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if (IoSetCancelRoutine(irp, NULL) != NULL) {
            PDEVICE_OBJECT deviceObject = Gate->DeviceObject;
            UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
            Gate->ReplayIrp = irp;
            KeReleaseSpinLock(&Gate->GateLock, oldIrql);
            deviceObject->DriverObject->MajorFunction[major](deviceObject, irp);
            KeAcquireSpinLock(&Gate->GateLock, &oldIrql);
            // A replay that never reached GateEnter (refused before it) must not leave its
            // address behind for a later request to match.
            Gate->ReplayIrp = NULL;
        } else {
            // Its cancellation is running and will unlink it: make that harmless.
            InitializeListHead(entry);
        }
    }
    Gate->StallCount--;
    KeReleaseSpinLock(&Gate->GateLock, oldIrql);
}

VOID GateCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    KIRQL cancelIrql = Irp->CancelIrql;
    PIRP_GATE gate;

    (VOID) DeviceObject;
    IoReleaseCancelSpinLock(DISPATCH_LEVEL);
    gate = (PIRP_GATE)Irp->Tail.Overlay.DriverContext[0];
    ASSERT(gate != NULL);
    if (gate != NULL) {
        KeAcquireSpinLockAtDpcLevel(&gate->GateLock);
        RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
        KeReleaseSpinLockFromDpcLevel(&gate->GateLock);
    }
    KeLowerIrql(cancelIrql);
    CompleteCancelled(Irp);
}

VOID GateCleanup(PIRP_GATE Gate, PFILE_OBJECT FileObject)
{
    LIST_ENTRY collected;
    KIRQL oldIrql;

    InitializeListHead(&collected);
    KeAcquireSpinLock(&Gate->GateLock, &oldIrql);
    CollectRequests(&Gate->HeldList, FileObject, &collected);
    KeReleaseSpinLock(&Gate->GateLock, oldIrql);

    while (!IsListEmpty(&collected)) {
        PLIST_ENTRY entry = RemoveHeadList(&collected);
        CompleteCancelled(CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry));
    }
}

VOID GateAbort(PIRP_GATE Gate, NTSTATUS Status)
{
    KIRQL oldIrql;

    KeAcquireSpinLock(&Gate->GateLock, &oldIrql);
    Gate->AbortStatus = Status;
    KeReleaseSpinLock(&Gate->GateLock, oldIrql);
    GateCleanup(Gate, NULL);
}

// ===================================================================== the port's queues

VOID InitializeSerialCore(PDEVICE_EXTENSION Extension)
{
    PDEVICE_OBJECT deviceObject = Extension->DeviceObject;

    KeInitializeSpinLock(&Extension->DeviceLock);
    NAME_DRIVER_LOCK(&Extension->DeviceLock, LOCK_NAME_DEVICE);
    QueueInitialize(&Extension->WriteQueue, WriteStartIo, deviceObject);
    QueueInitialize(&Extension->MaskQueue, MaskStartIo, deviceObject);
    QueueInitialize(&Extension->ReadQueue, ReadStartIo, deviceObject);
    QueueInitialize(&Extension->PurgeQueue, PurgeStartIo, deviceObject);
    Extension->AllQueues[0] = &Extension->WriteQueue;
    Extension->AllQueues[1] = &Extension->MaskQueue;
    Extension->AllQueues[2] = &Extension->ReadQueue;
    Extension->AllQueues[3] = &Extension->PurgeQueue;
    GateInitialize(&Extension->ControlGate, deviceObject);

    KeInitializeTimer(&Extension->ImmediateTotalTimer);
    KeInitializeDpc(&Extension->ImmediateSentDpc, ImmediateSentDpcRoutine, Extension);
    KeInitializeDpc(&Extension->ImmediateTimeoutDpc, ImmediateTimeoutDpcRoutine, Extension);
}

VOID StallAllQueues(PDEVICE_EXTENSION Extension)
{
    ULONG i;

    GateStall(&Extension->ControlGate);
    for (i = 0; i < SERIAL_QUEUE_COUNT; i++) QueueStallAndWait(Extension->AllQueues[i]);
    GateWaitIdle(&Extension->ControlGate);
}

VOID RestartAllQueues(PDEVICE_EXTENSION Extension)
{
    ULONG i;

    GateRestart(&Extension->ControlGate);
    for (i = 0; i < SERIAL_QUEUE_COUNT; i++) QueueRestart(Extension->AllQueues[i]);
}

VOID CancelCurrentRequest(PDEVICE_EXTENSION Extension, PIRP_QUEUE Queue)
{
    PDRIVER_CANCEL cancelRoutine = NULL;
    KIRQL oldIrql;
    KIRQL cancelIrql;
    PIRP irp;

    QueueCleanup(Queue, NULL);

    // CurrentIrp is read under QueueLock: completers pass the queue on before they complete,
    // so a request seen here is still alive. As the I/O manager does, the request is flagged
    // before its routine is taken back, so that a start routine that has not yet installed
    // its cancel routine sees the cancellation when it does.
    KeAcquireSpinLock(&Queue->QueueLock, &oldIrql);
    irp = Queue->CurrentIrp;
    if (irp != NULL) {
        IoAcquireCancelSpinLock(&cancelIrql);
        WriteUnlocked(&irp->Cancel, (BOOLEAN)TRUE);
        cancelRoutine = IoSetCancelRoutine(irp, NULL);
        IoReleaseCancelSpinLock(cancelIrql);
    }
    KeReleaseSpinLock(&Queue->QueueLock, oldIrql);

    // Holding the cancel reference keeps the request alive until its routine has run.
    if (cancelRoutine != NULL) InvokeCancelRoutine(Extension->DeviceObject, irp, cancelRoutine);
}

// Takes back the cancel routine of a request that lives outside the queues (held by its
// reference bits) and, when that succeeds, cancels it through that routine.
static VOID CancelHeldRequest(PDEVICE_EXTENSION Extension, PIRP *Field)
{
    PDRIVER_CANCEL cancelRoutine = NULL;
    KIRQL oldIrql;
    PIRP irp;

    KeAcquireSpinLock(&Extension->DeviceLock, &oldIrql);
    irp = *Field;
    if (irp != NULL) cancelRoutine = IoSetCancelRoutine(irp, NULL);
    KeReleaseSpinLock(&Extension->DeviceLock, oldIrql);

    // Holding the cancel reference keeps the request alive until its routine has run.
    if (cancelRoutine != NULL) InvokeCancelRoutine(Extension->DeviceObject, irp, cancelRoutine);
}

VOID CleanupFileRequests(PDEVICE_EXTENSION Extension, PFILE_OBJECT FileObject)
{
    ULONG i;

    for (i = 0; i < SERIAL_QUEUE_COUNT; i++) QueueCleanup(Extension->AllQueues[i], FileObject);
    CancelCurrentRequest(Extension, &Extension->WriteQueue);
    CancelCurrentRequest(Extension, &Extension->ReadQueue);

    // The pending wait, a counting XOFF counter and an immediate character live outside the
    // queues. Each ends by its own reference protocol: it completes here only when no DPC
    // still holds it, so a wait whose result is already written completes once, with success.
    CleanupWaitOnMask(Extension);
    EndCountingXoff(Extension, STATUS_CANCELLED);
    CancelHeldRequest(Extension, &Extension->ImmediateIrp);

    GateCleanup(&Extension->ControlGate, FileObject);
}
