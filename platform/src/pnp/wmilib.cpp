// WMILIB: dispatches the system-control requests addressed to a device to its WMI callbacks.
// Differences from Windows: the data buffers are handed to the callbacks as they come (no WNODE
// headers are built or parsed), which is all the drivers here need; a driver that registers no
// data blocks gets its own requests answered with STATUS_WMI_GUID_NOT_FOUND.
#include "wmilib.h"

#include "verifier.h"

namespace {

const NTSTATUS kGuidNotFound = (NTSTATUS)0xC0000295L;  // STATUS_WMI_GUID_NOT_FOUND

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Index of the GUID a data request names, or GuidCount when the device has no such block.
ULONG FindGuid(PWMILIB_CONTEXT context, PVOID dataPath)
{
    if (!dataPath || !context->GuidList) return context->GuidCount;
    for (ULONG i = 0; i < context->GuidCount; ++i)
        if (context->GuidList[i].Guid && IsEqualGUID(context->GuidList[i].Guid, (const GUID *)dataPath)) return i;
    return context->GuidCount;
}

}  // namespace

extern "C" NTSTATUS NTAPI WmiCompleteRequest(PDEVICE_OBJECT, PIRP Irp, NTSTATUS Status, ULONG BufferUsed, CCHAR)
{
    QV_VERIFY_IRQL("WmiCompleteRequest");
    return Complete(Irp, Status, BufferUsed);
}

extern "C" NTSTATUS NTAPI WmiSystemControl(PWMILIB_CONTEXT WmiLibInfo, PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                           PSYSCTL_IRP_DISPOSITION IrpDisposition)
{
    QV_VERIFY_IRQL("WmiSystemControl");
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    if (sp->MajorFunction != IRP_MJ_SYSTEM_CONTROL || sp->MinorFunction > IRP_MN_EXECUTE_METHOD) {
        *IrpDisposition = IrpNotWmi;
        return Irp->IoStatus.Status;
    }
    if (sp->Parameters.WMI.ProviderId != (ULONG_PTR)DeviceObject) {
        *IrpDisposition = IrpForward;
        return Irp->IoStatus.Status;
    }
    *IrpDisposition = IrpProcessed;
    if (sp->MinorFunction == IRP_MN_REGINFO) {
        if (!WmiLibInfo->QueryWmiRegInfo || WmiLibInfo->GuidCount == 0) return Complete(Irp, kGuidNotFound, 0);
        ULONG flags = 0;
        UNICODE_STRING instance = {}, mof = {};
        PUNICODE_STRING registryPath = nullptr;
        PDEVICE_OBJECT pdo = nullptr;
        NTSTATUS status = WmiLibInfo->QueryWmiRegInfo(DeviceObject, &flags, &instance, &registryPath, &mof, &pdo);
        if (instance.Buffer) RtlFreeUnicodeString(&instance);
        return Complete(Irp, status, 0);
    }
    ULONG index = FindGuid(WmiLibInfo, sp->Parameters.WMI.DataPath);
    if (index >= WmiLibInfo->GuidCount) return Complete(Irp, kGuidNotFound, 0);
    PUCHAR buffer = (PUCHAR)sp->Parameters.WMI.Buffer;
    ULONG size = sp->Parameters.WMI.BufferSize;
    switch (sp->MinorFunction) {
    case IRP_MN_QUERY_ALL_DATA:
    case IRP_MN_QUERY_SINGLE_INSTANCE: {
        if (!WmiLibInfo->QueryWmiDataBlock) return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
        ULONG count = sp->MinorFunction == IRP_MN_QUERY_ALL_DATA ? WmiLibInfo->GuidList[index].InstanceCount : 1;
        ULONG lengths[16] = {};
        if (count > 16) count = 16;
        // The callback completes the request (WmiCompleteRequest).
        return WmiLibInfo->QueryWmiDataBlock(DeviceObject, Irp, index, 0, count, lengths, size, buffer);
    }
    case IRP_MN_CHANGE_SINGLE_INSTANCE:
        if (!WmiLibInfo->SetWmiDataBlock) return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
        return WmiLibInfo->SetWmiDataBlock(DeviceObject, Irp, index, 0, size, buffer);
    case IRP_MN_CHANGE_SINGLE_ITEM:
        if (!WmiLibInfo->SetWmiDataItem) return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
        return WmiLibInfo->SetWmiDataItem(DeviceObject, Irp, index, 0, 0, size, buffer);
    case IRP_MN_EXECUTE_METHOD:
        if (!WmiLibInfo->ExecuteWmiMethod) return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
        return WmiLibInfo->ExecuteWmiMethod(DeviceObject, Irp, index, 0, 0, size, size, buffer);
    default: {
        // Enable or disable events (4, 5) or collection (6, 7): the callback does not complete.
        BOOLEAN enable = sp->MinorFunction == IRP_MN_ENABLE_EVENTS || sp->MinorFunction == IRP_MN_ENABLE_COLLECTION;
        WMIENABLEDISABLECONTROL function =
            sp->MinorFunction <= IRP_MN_DISABLE_EVENTS ? WmiEventControl : WmiDataBlockControl;
        NTSTATUS status = STATUS_SUCCESS;
        if (WmiLibInfo->WmiFunctionControl)
            status = WmiLibInfo->WmiFunctionControl(DeviceObject, Irp, index, function, enable);
        return Complete(Irp, status, 0);
    }
    }
}
