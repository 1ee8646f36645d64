// What the platform's two bus drivers answer alike for their physical device objects: the PnP
// manager's root bus, and the bus that owns the devices CreatePhysicalDevice makes. Each bus keeps
// its own dispatch routines, its own pool tags and logging, and completes the requests itself.
#pragma once

#include "wdm.h"

namespace qv {

// IRP_MN_QUERY_CAPABILITIES: no bus address or UI number, a silent install, D0 while the system
// works and D3 in every sleep state, no wake. STATUS_INVALID_PARAMETER for a structure of another
// version or a smaller size, which is then left untouched.
NTSTATUS BusFillCapabilities(PDEVICE_CAPABILITIES caps);

// IRP_MN_QUERY_DEVICE_RELATIONS: TargetDeviceRelation is answered with the device itself,
// referenced, in a paged pool block tagged `poolTag` that the requester frees. Returns the status
// to complete with; other relation types keep the status the request came with.
NTSTATUS BusQueryDeviceRelations(PDEVICE_OBJECT pdo, PIRP irp, ULONG poolTag);

// IRP_MJ_POWER: set and query succeed, wait-wake is not supported, other requests keep their
// status. A set records the new state on the device (a system state only if `recordSystemState`),
// then the next power request is started and the status stored in the request, which the caller
// completes.
NTSTATUS BusAnswerPower(PDEVICE_OBJECT pdo, PIRP irp, bool recordSystemState);

}  // namespace qv
