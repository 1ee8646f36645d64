// The system WMI library: turns IRP_MJ_SYSTEM_CONTROL requests into calls of a driver's WMI
// callbacks, or tells the driver what to do with a request that is not its own.
#pragma once

#include "wdm.h"

typedef enum _WMIENABLEDISABLECONTROL { WmiEventControl, WmiDataBlockControl } WMIENABLEDISABLECONTROL;

typedef enum _SYSCTL_IRP_DISPOSITION {
    IrpProcessed,     // the library or a callback completed the request
    IrpNotCompleted,  // handled, but the caller completes it
    IrpNotWmi,        // not a WMI minor function: the caller handles or forwards it
    IrpForward        // addressed to another device of the stack: forward it
} SYSCTL_IRP_DISPOSITION,
    *PSYSCTL_IRP_DISPOSITION;

typedef struct _WMIGUIDREGINFO {
    LPCGUID Guid;
    ULONG InstanceCount;
    ULONG Flags;
} WMIGUIDREGINFO, *PWMIGUIDREGINFO;

typedef NTSTATUS(NTAPI *PWMI_QUERY_REGINFO)(PDEVICE_OBJECT DeviceObject, PULONG RegFlags, PUNICODE_STRING InstanceName,
                                            PUNICODE_STRING *RegistryPath, PUNICODE_STRING MofResourceName,
                                            PDEVICE_OBJECT *Pdo);
typedef NTSTATUS(NTAPI *PWMI_QUERY_DATABLOCK)(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                              ULONG InstanceIndex, ULONG InstanceCount, PULONG InstanceLengthArray,
                                              ULONG BufferAvail, PUCHAR Buffer);
typedef NTSTATUS(NTAPI *PWMI_SET_DATABLOCK)(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG InstanceIndex,
                                            ULONG BufferSize, PUCHAR Buffer);
typedef NTSTATUS(NTAPI *PWMI_SET_DATAITEM)(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG InstanceIndex,
                                           ULONG DataItemId, ULONG BufferSize, PUCHAR Buffer);
typedef NTSTATUS(NTAPI *PWMI_EXECUTE_METHOD)(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                             ULONG InstanceIndex, ULONG MethodId, ULONG InBufferSize,
                                             ULONG OutBufferSize, PUCHAR Buffer);
typedef NTSTATUS(NTAPI *PWMI_FUNCTION_CONTROL)(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                               WMIENABLEDISABLECONTROL Function, BOOLEAN Enable);

typedef struct _WMILIB_CONTEXT {
    ULONG GuidCount;
    PWMIGUIDREGINFO GuidList;
    PWMI_QUERY_REGINFO QueryWmiRegInfo;
    PWMI_QUERY_DATABLOCK QueryWmiDataBlock;
    PWMI_SET_DATABLOCK SetWmiDataBlock;
    PWMI_SET_DATAITEM SetWmiDataItem;
    PWMI_EXECUTE_METHOD ExecuteWmiMethod;
    PWMI_FUNCTION_CONTROL WmiFunctionControl;
} WMILIB_CONTEXT, *PWMILIB_CONTEXT;

extern "C" {
NTSTATUS NTAPI WmiSystemControl(PWMILIB_CONTEXT WmiLibInfo, PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                PSYSCTL_IRP_DISPOSITION IrpDisposition);
NTSTATUS NTAPI WmiCompleteRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status, ULONG BufferUsed,
                                  CCHAR PriorityBoost);
}
