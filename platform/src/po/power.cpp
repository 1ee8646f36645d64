// Power requests: device power IRPs sent down a device's stack on a driver's request, the
// power state the I/O manager records per device, and PoCallDriver.
#include <new>

#include "io/iomgr.h"
#include "io/irp.h"
#include "qv/platform.h"
#include "verifier.h"

namespace qv {

namespace {

struct PowerRequest {
    PDEVICE_OBJECT Target;  // the device named by the caller
    PDEVICE_OBJECT Top;     // referenced top of its stack
    UCHAR Minor;
    POWER_STATE State;
    PREQUEST_POWER_COMPLETE Callback;
    PVOID Context;
};

// Runs in the context of whoever completed the request, at its IRQL.
NTSTATUS PowerRequestDone(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto *request = static_cast<PowerRequest *>(context);
    if (request->Callback)
        request->Callback(request->Target, request->Minor, request->State, request->Context, &irp->IoStatus);
    ObfDereferenceObject(request->Top);
    delete request;
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

struct PassivePowerCall {
    PDEVICE_OBJECT Device;
    PIRP Irp;
};

void RunPassivePowerCall(void *context)
{
    auto *call = static_cast<PassivePowerCall *>(context);
    IoCallDriver(call->Device, call->Irp);
    delete call;
}

}  // namespace

}  // namespace qv

using namespace qv;

extern "C" NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                      PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP *Irp)
{
    QV_VERIFY_IRQL("PoRequestPowerIrp");
    if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER && MinorFunction != IRP_MN_WAIT_WAKE)
        return STATUS_INVALID_PARAMETER_1;
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(DeviceObject);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    auto *request =
        new (std::nothrow) PowerRequest{DeviceObject, top, MinorFunction, PowerState, CompletionFunction, Context};
    if (!irp || !request) {
        if (irp) IoFreeIrp(irp);
        delete request;
        ObfDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = IRP_MJ_POWER;
    sp->MinorFunction = MinorFunction;
    if (MinorFunction == IRP_MN_WAIT_WAKE) {
        sp->Parameters.Power.State = PowerState;  // the system state to wake from
    } else {
        sp->Parameters.Power.Type = DevicePowerState;
        sp->Parameters.Power.State = PowerState;
    }
    IoSetCompletionRoutine(irp, PowerRequestDone, request, TRUE, TRUE, TRUE);
    if (Irp) *Irp = irp;
    PoCallDriver(top, irp);
    return STATUS_PENDING;
}

extern "C" POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State)
{
    QV_VERIFY_IRQL("PoSetPowerState");
    DeviceObjectPrivate *priv = IoDevicePrivate(DeviceObject);
    POWER_STATE old;
    if (Type == DevicePowerState) {
        old.DeviceState = __atomic_exchange_n(&priv->DevicePower, State.DeviceState, __ATOMIC_ACQ_REL);
    } else {
        old.SystemState = __atomic_exchange_n(&priv->SystemPower, State.SystemState, __ATOMIC_ACQ_REL);
    }
    return old;
}

extern "C" void PoStartNextPowerIrp(PIRP Irp)
{
    QV_VERIFY_IRQL("PoStartNextPowerIrp");
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    if (Irp->CurrentLocation > Irp->StackCount || sp->MajorFunction != IRP_MJ_POWER)
        VerifierViolation("PoStartNextPowerIrp", "IRP %p is not a power request in a driver's hands", Irp);
}

extern "C" NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    QV_VERIFY_IRQL("PoCallDriver");
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    if (next->MajorFunction != IRP_MJ_POWER)
        VerifierViolation("PoCallDriver", "IRP %p is not a power request (major %u)", Irp, next->MajorFunction);
    // A device whose power code may be paged is called at PASSIVE_LEVEL: a request sent to it at
    // a raised IRQL (from a completion routine, say) goes to the power manager's thread, and the
    // sender sees STATUS_PENDING. The others are called at DISPATCH_LEVEL, as Windows does.
    if (DeviceObject->Flags & DO_POWER_PAGABLE) {
        if (KeGetCurrentIrql() == PASSIVE_LEVEL) return IoCallDriver(DeviceObject, Irp);
        auto *call = new (std::nothrow) PassivePowerCall{DeviceObject, Irp};
        if (call == nullptr) {
            VerifierWarning("PoCallDriver", "no memory to defer power IRP %p; sent at IRQL %d", Irp,
                            KeGetCurrentIrql());
            return IoCallDriver(DeviceObject, Irp);
        }
        IoQueuePowerWork(RunPassivePowerCall, call);
        return STATUS_PENDING;
    }
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    NTSTATUS status = IoCallDriver(DeviceObject, Irp);
    KeLowerIrql(old);
    return status;
}
