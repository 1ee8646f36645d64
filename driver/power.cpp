// Power requests of a port: system power changes become device power changes; the queues are
// held while the port is below D0. Requests arrive at PASSIVE_LEVEL or DISPATCH_LEVEL; the steps
// that may wait run directly below DISPATCH_LEVEL, otherwise in PowerWorkItem.
#include "quorvel.h"

VOID HoldAllQueues(PDEVICE_EXTENSION Extension)
{
    ULONG i;

    // The current read, write or XOFF counter stays current and keeps its timers: a virtual
    // port has no hardware to quiesce, and its receive path keeps working.
    GateStall(&Extension->ControlGate);
    for (i = 0; i < SERIAL_QUEUE_COUNT; i++) {
        PIRP_QUEUE queue = Extension->AllQueues[i];
        KIRQL oldIrql;

        KeAcquireSpinLock(&queue->QueueLock, &oldIrql);
        InterlockedIncrement(&queue->StallCount);
        KeReleaseSpinLock(&queue->QueueLock, oldIrql);
    }
    GateWaitIdle(&Extension->ControlGate);
}

static NTSTATUS PassPowerOn(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    NTSTATUS status;

    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    status = PoCallDriver(Extension->LowerDeviceObject, Irp);
    ReleaseIoReference(Extension);
    return status;
}

// Back in D0: the transmitter may have been acknowledged without acting while powered down.
static VOID ResumeQueues(PDEVICE_EXTENSION Extension)
{
    KIRQL oldIrql;

    if (Extension->PowerStalledQueues) {
        Extension->PowerStalledQueues = FALSE;
        RestartAllQueues(Extension);
    }
    KeAcquireSpinLock(&Extension->DeviceLock, &oldIrql);
    if (Extension->PortOpen) KickIfIdle(Extension);
    KeReleaseSpinLock(&Extension->DeviceLock, oldIrql);
}

static VOID PowerDownStep(PDEVICE_EXTENSION Extension)
{
    PIRP irp = Extension->PendingDevicePowerIrp;
    PIO_STACK_LOCATION irpSp;

    ASSERT(irp != NULL);
    Extension->PendingDevicePowerIrp = NULL;
    irpSp = IoGetCurrentIrpStackLocation(irp);
    if (!Extension->PowerStalledQueues) {
        Extension->PowerStalledQueues = TRUE;
        HoldAllQueues(Extension);
    }
    if (irpSp->MinorFunction == IRP_MN_SET_POWER) {
        PoSetPowerState(Extension->DeviceObject, DevicePowerState, irpSp->Parameters.Power.State);
        WriteUnlocked(&Extension->DevicePowerState, irpSp->Parameters.Power.State.DeviceState);
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    PassPowerOn(Extension, irp);
}

static VOID BackInD0Step(PDEVICE_EXTENSION Extension)
{
    PIRP irp = Extension->PendingDevicePowerIrp;

    ResumeQueues(Extension);
    ASSERT(irp != NULL);
    Extension->PendingDevicePowerIrp = NULL;
    irp->IoStatus.Status = STATUS_SUCCESS;
    PassPowerOn(Extension, irp);
}

static VOID PoweredUpStep(PDEVICE_EXTENSION Extension)
{
    PIRP irp = Extension->PendingDevicePowerIrp;
    PIO_STACK_LOCATION irpSp;

    ASSERT(irp != NULL);
    Extension->PendingDevicePowerIrp = NULL;
    irpSp = IoGetCurrentIrpStackLocation(irp);
    PoSetPowerState(Extension->DeviceObject, DevicePowerState, irpSp->Parameters.Power.State);
    WriteUnlocked(&Extension->DevicePowerState, irpSp->Parameters.Power.State.DeviceState);
    ResumeQueues(Extension);
    PoStartNextPowerIrp(irp);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    ReleaseIoReference(Extension);
}

// Runs the step PendingDevicePowerIrp calls for.
static VOID RunPowerStep(PDEVICE_EXTENSION Extension)
{
    PIO_STACK_LOCATION irpSp = IoGetCurrentIrpStackLocation(Extension->PendingDevicePowerIrp);
    DEVICE_POWER_STATE target = irpSp->Parameters.Power.State.DeviceState;
    DEVICE_POWER_STATE current = ReadUnlocked(&Extension->DevicePowerState);

    if (irpSp->MinorFunction == IRP_MN_SET_POWER && target < current)
        PoweredUpStep(Extension);
    else if (irpSp->MinorFunction == IRP_MN_SET_POWER && target == current)
        BackInD0Step(Extension);
    else
        PowerDownStep(Extension);
}

static PAGED_ROUTINE VOID NTAPI PowerWorkRoutine(PDEVICE_OBJECT DeviceObject, PVOID Context)
{
    PAGED_CODE();
    (VOID) DeviceObject;
    RunPowerStep((PDEVICE_EXTENSION)Context);
}

static VOID RunOrQueuePowerStep(PDEVICE_EXTENSION Extension)
{
    if (KeGetCurrentIrql() < DISPATCH_LEVEL)
        RunPowerStep(Extension);
    else
        IoQueueWorkItem(Extension->PowerWorkItem, PowerWorkRoutine, DelayedWorkQueue, Extension);
}

static NTSTATUS NTAPI DevicePoweredUp(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)Context;

    (VOID) DeviceObject;
    if (!NT_SUCCESS(Irp->IoStatus.Status)) {
        PoStartNextPowerIrp(Irp);
        ReleaseIoReference(extension);
        return STATUS_SUCCESS;
    }
    extension->PendingDevicePowerIrp = Irp;
    RunOrQueuePowerStep(extension);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

static VOID NTAPI DevicePowerDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                  PVOID Context, PIO_STATUS_BLOCK IoStatus)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)Context;
    PIRP systemIrp = extension->PendingSystemPowerIrp;
    PIO_STACK_LOCATION irpSp = IoGetCurrentIrpStackLocation(systemIrp);

    (VOID) DeviceObject;
    (VOID) PowerState;
    if (MinorFunction == IRP_MN_SET_POWER) {
        systemIrp->IoStatus.Status = STATUS_SUCCESS;
        extension->SystemPowerState = irpSp->Parameters.Power.State.SystemState;
    } else {
        systemIrp->IoStatus.Status = IoStatus->Status;
    }
    extension->PendingSystemPowerIrp = NULL;
    PoStartNextPowerIrp(systemIrp);
    IoCompleteRequest(systemIrp, IO_NO_INCREMENT);
    ReleaseIoReference(extension);
}

static NTSTATUS NTAPI SystemPowerDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)Context;
    PIO_STACK_LOCATION irpSp = IoGetCurrentIrpStackLocation(Irp);
    POWER_STATE deviceState;
    NTSTATUS status;

    (VOID) DeviceObject;
    if (!NT_SUCCESS(Irp->IoStatus.Status)) {
        PoStartNextPowerIrp(Irp);
        ReleaseIoReference(extension);
        return STATUS_SUCCESS;
    }

    extension->PendingSystemPowerIrp = Irp;
    deviceState.DeviceState =
        irpSp->Parameters.Power.State.SystemState == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
    status = PoRequestPowerIrp(extension->Pdo, irpSp->MinorFunction, deviceState, DevicePowerDone, extension, NULL);
    if (!NT_SUCCESS(status)) {
        // A query the port could not answer is refused; a set cannot fail and leaves the device
        // state as it is.
        extension->PendingSystemPowerIrp = NULL;
        ASSERT(irpSp->MinorFunction != IRP_MN_SET_POWER);
        Irp->IoStatus.Status = irpSp->MinorFunction == IRP_MN_SET_POWER ? STATUS_SUCCESS : status;
        PoStartNextPowerIrp(Irp);
        ReleaseIoReference(extension);
        return STATUS_SUCCESS;
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

PAGED_ROUTINE NTSTATUS KivraPowerDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION irpSp = IoGetCurrentIrpStackLocation(Irp);
    DEVICE_POWER_STATE target;
    DEVICE_POWER_STATE current;

    LogIrp(Irp);
    if (!AcquireIoReference(extension)) {
        PoStartNextPowerIrp(Irp);
        Irp->IoStatus.Status = STATUS_NO_SUCH_DEVICE;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_NO_SUCH_DEVICE;
    }
    if (ReadUnlocked(&extension->PnpState) == PnpNotStarted) return PassPowerOn(extension, Irp);
    if (irpSp->MinorFunction != IRP_MN_SET_POWER && irpSp->MinorFunction != IRP_MN_QUERY_POWER)
        return PassPowerOn(extension, Irp);

    if (irpSp->Parameters.Power.Type == SystemPowerState) {
        IoMarkIrpPending(Irp);
        IoCopyCurrentIrpStackLocationToNext(Irp);
        IoSetCompletionRoutine(Irp, SystemPowerDone, extension, TRUE, TRUE, TRUE);
        PoCallDriver(extension->LowerDeviceObject, Irp);
        return STATUS_PENDING;
    }

    target = irpSp->Parameters.Power.State.DeviceState;
    current = ReadUnlocked(&extension->DevicePowerState);
    if (irpSp->MinorFunction == IRP_MN_QUERY_POWER) {
        ASSERT(target >= current);
        if (target == current) {
            Irp->IoStatus.Status = STATUS_SUCCESS;
            return PassPowerOn(extension, Irp);
        }
        extension->PendingDevicePowerIrp = Irp;
        IoMarkIrpPending(Irp);
        RunOrQueuePowerStep(extension);
        return STATUS_PENDING;
    }

    if (target > current || (target == current && target == PowerDeviceD0)) {
        // Lower-powered, or a set to D0 while in D0 (an abandoned query for a lower state).
        extension->PendingDevicePowerIrp = Irp;
        IoMarkIrpPending(Irp);
        RunOrQueuePowerStep(extension);
        return STATUS_PENDING;
    }
    if (target == current) {
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return PassPowerOn(extension, Irp);
    }
    IoMarkIrpPending(Irp);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, DevicePoweredUp, extension, TRUE, TRUE, TRUE);
    PoCallDriver(extension->LowerDeviceObject, Irp);
    return STATUS_PENDING;
}
