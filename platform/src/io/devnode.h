// Device nodes: what the PnP manager knows of a physical device object. Minimal for now: the
// instance id and the two registry keys of the device; the PnP manager extends it.
#pragma once

#include <string>

#include "wdm.h"

struct DeviceNode {
    std::string InstanceId;        // "ROOT\\PORTS\\0000"
    PDEVICE_OBJECT Pdo = nullptr;  // owned by the platform's bus driver
    std::u16string DeviceKeyPath;  // ...\Enum\<instance>\Device Parameters
    std::u16string DriverKeyPath;  // ...\Control\Class\{4D36E978-...}\<nnnn>
};

namespace qv {

// Creates a root-enumerated physical device object with its node and registry keys; the driver
// key number is kept in the device's Enum key ("Driver") so that it survives restarts.
NTSTATUS CreatePhysicalDevice(const std::string &instanceId, PDEVICE_OBJECT *pdo);
void DeletePhysicalDevice(PDEVICE_OBJECT pdo);
DeviceNode *IoGetDeviceNode(PDEVICE_OBJECT pdo);

}  // namespace qv
