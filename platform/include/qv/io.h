// Harness side of the I/O manager: the object namespace, device interfaces, physical devices
// for tests, and the requests still in flight. Used by tests and by quorvel-host; the driver
// never includes it.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "wdm.h"

namespace qv {

// Named device objects ("\Device\Tcp", ...), sorted without case.
std::vector<std::string> ListNamedDevices();
// Symbolic links as (link, target): ("\??\COM3", "\Device\QuorvelDevice0").
std::vector<std::pair<std::string, std::string>> ListSymbolicLinks();
// Target of one link, or "" when there is no such link.
std::string SymbolicLinkTarget(const std::string &link);
// Symbolic link names of the enabled interfaces of a class.
std::vector<std::string> ListEnabledInterfaces(const GUID &interfaceClass);

// IRPs allocated and not yet freed (requests in flight, driver-owned IRPs).
size_t OutstandingIrpCount();

// A root-enumerated physical device object with its device node ("ROOT\\PORTS\\0000"), owned by
// the platform's bus driver, which completes what a bus driver completes (start, remove,
// capabilities, power). IoOpenDeviceRegistryKey works on it. Delete it after the devices
// attached to it are gone.
NTSTATUS CreateTestPdo(const std::string &instanceId, PDEVICE_OBJECT *pdo);
void DeleteTestPdo(PDEVICE_OBJECT pdo);

}  // namespace qv
