// Plug and Play and WMI requests of a port, and the I/O references that removal waits for.
// Plug and Play requests arrive one at a time at PASSIVE_LEVEL.
#include "quorvel.h"

static NTSTATUS CompletePnp(PDEVICE_EXTENSION Extension, PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    ReleaseIoReference(Extension);
    return Status;
}

static NTSTATUS PassDown(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    NTSTATUS status;

    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(Irp);
    status = IoCallDriver(Extension->LowerDeviceObject, Irp);
    ReleaseIoReference(Extension);
    return status;
}

static NTSTATUS Forward(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    NTSTATUS status;

    IoSkipCurrentIrpStackLocation(Irp);
    status = IoCallDriver(Extension->LowerDeviceObject, Irp);
    ReleaseIoReference(Extension);
    return status;
}

BOOLEAN AcquireIoReference(PDEVICE_EXTENSION Extension)
{
    LONG count = InterlockedIncrement(&Extension->OutstandingIo);

    ASSERT(count > 0);
    (VOID) count;
    if (ReadUnlocked(&Extension->PnpState) == PnpRemoved) {
        ReleaseIoReference(Extension);
        return FALSE;
    }
    return TRUE;
}

VOID ReleaseIoReference(PDEVICE_EXTENSION Extension)
{
    LONG count = InterlockedDecrement(&Extension->OutstandingIo);

    ASSERT(count >= 0);
    if (count == 0) KeSetEvent(&Extension->RemoveEvent, IO_NO_INCREMENT, FALSE);
}

PAGED_ROUTINE VOID ReleaseAndWaitForRemove(PDEVICE_EXTENSION Extension)
{
    PAGED_CODE();
    WriteUnlocked(&Extension->PnpState, (ULONG)PnpRemoved);
    ReleaseIoReference(Extension);
    KeWaitForSingleObject(&Extension->RemoveEvent, Executive, KernelMode, FALSE, NULL);
}

static NTSTATUS NTAPI ForwardAndWaitCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    (VOID) DeviceObject;
    if (Irp->PendingReturned) KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

PAGED_ROUTINE NTSTATUS ForwardAndWait(PDEVICE_OBJECT LowerDevice, PIRP Irp)
{
    PAGED_CODE();
    KEVENT event;
    NTSTATUS status;

    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, ForwardAndWaitCompletion, &event, TRUE, TRUE, TRUE);
    status = IoCallDriver(LowerDevice, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = Irp->IoStatus.Status;
    }
    return status;
}

PAGED_ROUTINE NTSTATUS QueryCapabilities(PDEVICE_EXTENSION Extension)
{
    PAGED_CODE();
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;
    PDEVICE_OBJECT top;
    PIO_STACK_LOCATION irpSp;
    PIRP irp;
    NTSTATUS status;

    RtlZeroMemory(&Extension->Capabilities, sizeof(DEVICE_CAPABILITIES));
    Extension->Capabilities.Size = sizeof(DEVICE_CAPABILITIES);
    Extension->Capabilities.Version = 1;
    Extension->Capabilities.Address = 0xFFFFFFFF;
    Extension->Capabilities.UINumber = 0xFFFFFFFF;

    KeInitializeEvent(&event, NotificationEvent, FALSE);
    top = IoGetAttachedDeviceReference(Extension->DeviceObject);
    irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, top, NULL, 0, NULL, &event, &ioStatus);
    if (irp == NULL) {
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irpSp = IoGetNextIrpStackLocation(irp);
    irpSp->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
    irpSp->Parameters.DeviceCapabilities.Capabilities = &Extension->Capabilities;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;

    status = IoCallDriver(top, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = ioStatus.Status;
    }
    ObDereferenceObject(top);
    return status;
}

// Waits until no queue has a current request and no control request is inside the gate.
// Takes the queue locks, so it stays out of line from its pageable caller.
static DECLSPEC_NOINLINE VOID WaitForQueuesIdle(PDEVICE_EXTENSION Extension)
{
    ULONG i;

    for (i = 0; i < SERIAL_QUEUE_COUNT; i++) {
        PIRP_QUEUE queue = Extension->AllQueues[i];
        KIRQL oldIrql;
        BOOLEAN busy;

        KeAcquireSpinLock(&queue->QueueLock, &oldIrql);
        busy = queue->CurrentIrp != NULL;
        if (busy) KeClearEvent(&queue->IdleEvent);
        KeReleaseSpinLock(&queue->QueueLock, oldIrql);
        if (busy) KeWaitForSingleObject(&queue->IdleEvent, Executive, KernelMode, FALSE, NULL);
    }
    GateWaitIdle(&Extension->ControlGate);
}

// Surprise removal and removal: every request of the port ends (nothing waits for data that
// will never come), the gateway stops before the FIFO goes, and the port is stopped. Once.
static PAGED_ROUTINE VOID EndPortForRemoval(PDEVICE_EXTENSION Extension)
{
    PAGED_CODE();
    if (Extension->QueuesAborted) return;
    Extension->QueuesAborted = TRUE;

    HoldAllQueues(Extension);
    GateAbort(&Extension->ControlGate, STATUS_NO_SUCH_DEVICE);
    CleanupFileRequests(Extension, NULL);
    WaitForQueuesIdle(Extension);

    KeWaitForSingleObject(&Extension->OpenCloseLock, Executive, KernelMode, FALSE, NULL);
    if (Extension->OpenCount != 0) StopConnectThread(Extension->DeviceObject);
    KivraStopDevice(Extension);
    KeSetEvent(&Extension->OpenCloseLock, IO_NO_INCREMENT, FALSE);
}

// Agrees to a query-stop or query-remove of a closed port. An open port refuses: its reads
// may wait for data that never comes, and its gateway uses the FIFO that a stop frees.
static PAGED_ROUTINE NTSTATUS QueryStopOrRemove(PDEVICE_EXTENSION Extension, PIRP Irp, ULONG NewState)
{
    PAGED_CODE();
    KeWaitForSingleObject(&Extension->OpenCloseLock, Executive, KernelMode, FALSE, NULL);
    if (Extension->OpenCount != 0) {
        KeSetEvent(&Extension->OpenCloseLock, IO_NO_INCREMENT, FALSE);
        return CompletePnp(Extension, Irp, STATUS_DEVICE_BUSY);
    }
    Extension->PreviousPnpState = Extension->PnpState;
    WriteUnlocked(&Extension->PnpState, NewState);
    KeSetEvent(&Extension->OpenCloseLock, IO_NO_INCREMENT, FALSE);
    StallAllQueues(Extension);
    return PassDown(Extension, Irp);
}

static PAGED_ROUTINE NTSTATUS CancelStopOrRemove(PDEVICE_EXTENSION Extension, PIRP Irp, ULONG PendingState,
                                                 PCSTR Failure)
{
    PAGED_CODE();
    UNREFERENCED_PARAMETER(Failure);  // a free build compiles ASSERTMSG out
    NTSTATUS status;

    if (Extension->PnpState != PendingState) return CompletePnp(Extension, Irp, STATUS_SUCCESS);
    status = ForwardAndWait(Extension->LowerDeviceObject, Irp);
    if (NT_SUCCESS(status)) {
        WriteUnlocked(&Extension->PnpState, Extension->PreviousPnpState);
        RestartAllQueues(Extension);
    } else {
        ASSERTMSG(Failure, FALSE);
    }
    return CompletePnp(Extension, Irp, status);
}

static PAGED_ROUTINE NTSTATUS StartPort(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    PAGED_CODE();
    POWER_STATE powerState;
    NTSTATUS status;

    status = ForwardAndWait(Extension->LowerDeviceObject, Irp);
    if (!NT_SUCCESS(status)) return CompletePnp(Extension, Irp, status);

    WriteUnlocked(&Extension->DevicePowerState, PowerDeviceD0);
    powerState.DeviceState = PowerDeviceD0;
    PoSetPowerState(Extension->DeviceObject, DevicePowerState, powerState);

    status = QueryCapabilities(Extension);
    if (NT_SUCCESS(status)) status = KivraStartDevice(Extension, Irp);
    if (!NT_SUCCESS(status)) {
        KivraStopDevice(Extension);
        return CompletePnp(Extension, Irp, status);
    }
    WriteUnlocked(&Extension->PnpState, (ULONG)PnpStarted);
    RestartAllQueues(Extension);
    return CompletePnp(Extension, Irp, status);
}

static PAGED_ROUTINE NTSTATUS RemovePort(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    PAGED_CODE();
    PDEVICE_OBJECT deviceObject = Extension->DeviceObject;
    NTSTATUS status;

    if (Extension->PnpState != PnpSurpriseRemoved) EndPortForRemoval(Extension);
    WriteUnlocked(&Extension->PnpState, (ULONG)PnpRemoved);
    ReleaseIoReference(Extension);
    ReleaseAndWaitForRemove(Extension);

    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(Irp);
    status = IoCallDriver(Extension->LowerDeviceObject, Irp);

    IoDetachDevice(Extension->LowerDeviceObject);
    if (Extension->DeviceName.Buffer != NULL) ExFreePoolWithTag(Extension->DeviceName.Buffer, QUORVEL_TAG);
    RtlZeroMemory(&Extension->DeviceName, sizeof(UNICODE_STRING));
    IoFreeWorkItem(Extension->PowerWorkItem);
    Extension->PowerWorkItem = NULL;
    // A closed port may still have its interrupt DPC queued from the close (the modem lines
    // dropping); it must run before the extension can go. An open port flushes again at close.
    KeFlushQueuedDpcs();
    // The memory stays until the last handle of the port is closed.
    IoDeleteDevice(deviceObject);
    return status;
}

PAGED_ROUTINE NTSTATUS KivraPnpDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION irpSp = IoGetCurrentIrpStackLocation(Irp);
    PDEVICE_CAPABILITIES capabilities;
    NTSTATUS status;

    LogIrp(Irp);
    if (!AcquireIoReference(extension)) {
        Irp->IoStatus.Status = STATUS_NO_SUCH_DEVICE;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_NO_SUCH_DEVICE;
    }

    switch (irpSp->MinorFunction) {
    case IRP_MN_START_DEVICE: return StartPort(extension, Irp);

    case IRP_MN_QUERY_STOP_DEVICE: return QueryStopOrRemove(extension, Irp, PnpStopPending);

    case IRP_MN_CANCEL_STOP_DEVICE: return CancelStopOrRemove(extension, Irp, PnpStopPending, "Cancel stop failed!");

    case IRP_MN_STOP_DEVICE:
        KivraStopDevice(extension);
        WriteUnlocked(&extension->PnpState, (ULONG)PnpStopped);
        return PassDown(extension, Irp);

    case IRP_MN_QUERY_REMOVE_DEVICE: return QueryStopOrRemove(extension, Irp, PnpRemovePending);

    case IRP_MN_CANCEL_REMOVE_DEVICE:
        return CancelStopOrRemove(extension, Irp, PnpRemovePending, "IRP_MN_CANCEL_REMOVE_DEVICE failed. Fatal error!");

    case IRP_MN_SURPRISE_REMOVAL:
        WriteUnlocked(&extension->PnpState, (ULONG)PnpSurpriseRemoved);
        EndPortForRemoval(extension);
        return PassDown(extension, Irp);

    case IRP_MN_REMOVE_DEVICE: return RemovePort(extension, Irp);

    case IRP_MN_QUERY_CAPABILITIES:
        capabilities = irpSp->Parameters.DeviceCapabilities.Capabilities;
        if (capabilities == NULL || capabilities->Version != 1 || capabilities->Size < sizeof(DEVICE_CAPABILITIES))
            return CompletePnp(extension, Irp, STATUS_INVALID_PARAMETER);
        status = ForwardAndWait(extension->LowerDeviceObject, Irp);
        return CompletePnp(extension, Irp, status);

    default: return Forward(extension, Irp);
    }
}

PAGED_ROUTINE NTSTATUS KivraSystemControlDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    SYSCTL_IRP_DISPOSITION disposition;
    NTSTATUS status;

    LogIrp(Irp);
    if (!AcquireIoReference(extension)) {
        Irp->IoStatus.Status = STATUS_DELETE_PENDING;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_DELETE_PENDING;
    }

    status = WmiSystemControl(&extension->WmiLibContext, DeviceObject, Irp, &disposition);
    switch (disposition) {
    case IrpProcessed: break;
    case IrpNotCompleted: IoCompleteRequest(Irp, IO_NO_INCREMENT); break;
    case IrpNotWmi:
    case IrpForward:
    default:
        IoSkipCurrentIrpStackLocation(Irp);
        status = IoCallDriver(extension->LowerDeviceObject, Irp);
        break;
    }
    ReleaseIoReference(extension);
    return status;
}
