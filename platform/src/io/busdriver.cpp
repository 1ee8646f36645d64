// Requests the platform's bus drivers answer alike for their physical device objects.
#include "io/busdriver.h"

namespace qv {

NTSTATUS BusFillCapabilities(PDEVICE_CAPABILITIES caps)
{
    if (!caps || caps->Version != 1 || caps->Size < sizeof(DEVICE_CAPABILITIES)) return STATUS_INVALID_PARAMETER;
    caps->Address = 0xFFFFFFFF;
    caps->UINumber = 0xFFFFFFFF;
    caps->SilentInstall = 1;
    caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
    for (int s = PowerSystemSleeping1; s < POWER_SYSTEM_MAXIMUM; ++s) caps->DeviceState[s] = PowerDeviceD3;
    caps->SystemWake = PowerSystemUnspecified;
    caps->DeviceWake = PowerDeviceUnspecified;
    return STATUS_SUCCESS;
}

NTSTATUS BusQueryDeviceRelations(PDEVICE_OBJECT pdo, PIRP irp, ULONG poolTag)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (sp->Parameters.QueryDeviceRelations.Type != TargetDeviceRelation) return irp->IoStatus.Status;
    auto *relations =
        static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), poolTag));
    if (!relations) return STATUS_INSUFFICIENT_RESOURCES;
    relations->Count = 1;
    relations->Objects[0] = pdo;
    ObfReferenceObject(pdo);
    irp->IoStatus.Information = (ULONG_PTR)relations;
    return STATUS_SUCCESS;
}

NTSTATUS BusAnswerPower(PDEVICE_OBJECT pdo, PIRP irp, bool recordSystemState)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    switch (sp->MinorFunction) {
    case IRP_MN_SET_POWER:
        if (recordSystemState || sp->Parameters.Power.Type == DevicePowerState)
            PoSetPowerState(pdo, sp->Parameters.Power.Type, sp->Parameters.Power.State);
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_POWER: status = STATUS_SUCCESS; break;
    case IRP_MN_WAIT_WAKE: status = STATUS_NOT_SUPPORTED; break;
    default: break;
    }
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = status;
    return status;
}

}  // namespace qv
