// Harness side of the Plug and Play manager: the function drivers it may load, the device nodes
// of the root bus (kept in the persistent registry), and the requests a host or a test sends to
// them. Used by quorvel-host and tests; the driver never includes it.
//
// Every operation runs one Plug and Play request at a time at PASSIVE_LEVEL, as Windows does, and
// must be called from a kernel thread of the platform (any test or host thread after boot).
#pragma once

#include <string>
#include <vector>

#include "wdm.h"

namespace qv {

// Drivers the manager can load, by service name ("Quorvel"). Kept for the life of the process,
// across platform reboots. A registered filter driver is loaded into the stacks that list it.
void PnpRegisterDriver(const std::string &service, PDRIVER_INITIALIZE entry);
void PnpUnregisterDriver(const std::string &service);

// A Ports-class device node on the root bus.
struct PnpNodeOptions {
    std::string HardwareId = "*QuorvelDevice";
    std::string Service = "Quorvel";
    std::string DeviceDescription = "Quorvel Virtual Serial Port";
    std::string PortName;  // "" = the lowest free COM name
    std::vector<std::string> UpperFilters, LowerFilters;
    bool Start = true;  // load the driver, AddDevice and IRP_MN_START_DEVICE
};

struct PnpNodeInfo {
    std::string InstanceId;  // "ROOT\\PORTS\\0000"
    std::string HardwareId, Service, DeviceDescription, FriendlyName, PortName;
    std::string DeviceKey, DriverKey;  // registry paths
    bool HasDevice = false;            // a physical device object exists (this boot)
    bool Started = false;              // the stack was started and not stopped or removed
    bool Loaded = false;               // a function driver is attached
};

// Creates the node and its registry keys, claims a COM name (`PortName` in the device key,
// FriendlyName "<description> (COMn)") and, with Start, starts it. A port name already held by
// another node is refused with STATUS_OBJECT_NAME_COLLISION.
NTSTATUS PnpCreatePortsNode(const PnpNodeOptions &options, std::string *instanceId);
// Sends IRP_MN_QUERY_REMOVE_DEVICE and, if agreed, IRP_MN_REMOVE_DEVICE (else
// IRP_MN_CANCEL_REMOVE_DEVICE and the refusal is returned); then deletes the node, its keys and
// its COM name. The driver is unloaded when its last device object is gone.
NTSTATUS PnpRemoveNode(const std::string &instanceId);
// Surprise removal: IRP_MN_SURPRISE_REMOVAL then IRP_MN_REMOVE_DEVICE, no query; the node stays
// in the registry (the device has gone, not been uninstalled).
NTSTATUS PnpSurpriseRemoveNode(const std::string &instanceId);
// Query-stop, stop and start again (a settings change of the node); a refused query-stop is
// cancelled and returned.
NTSTATUS PnpRestartNode(const std::string &instanceId);
// Builds the node's stack (loading drivers as needed) and starts it; for persisted nodes after a
// reboot, or after PnpSurpriseRemoveNode.
NTSTATUS PnpStartNode(const std::string &instanceId);
// Starts every persisted node whose function driver is registered.
void PnpStartPersistedNodes();

// Sends any IRP_MJ_PNP request to the top of the node's stack and waits for it. `prepare`, when
// given, fills the stack location (Parameters) before the request is sent.
struct PnpRequestResult {
    NTSTATUS Status = STATUS_NOT_SUPPORTED;
    ULONG_PTR Information = 0;
};
PnpRequestResult PnpSendRequest(const std::string &instanceId, UCHAR minor,
                                void (*prepare)(PIO_STACK_LOCATION, void *) = nullptr, void *context = nullptr);
// Sends an IRP_MJ_SYSTEM_CONTROL request (ProviderId, DataPath, Buffer as given) and waits.
PnpRequestResult PnpSendSystemControl(const std::string &instanceId, UCHAR minor, ULONG_PTR providerId,
                                      PVOID dataPath = nullptr, PVOID buffer = nullptr, ULONG bufferSize = 0);
// Sends a power request of `type` to the top of the node's stack and waits for its completion.
PnpRequestResult PnpSendPowerRequest(const std::string &instanceId, UCHAR minor, POWER_STATE_TYPE type,
                                     POWER_STATE state);

// System power: query then set every started node (S0 <-> S3 and the like). A refused query
// cancels the transition (a set back to the current state) and is returned.
NTSTATUS PnpSetSystemPower(SYSTEM_POWER_STATE state);
SYSTEM_POWER_STATE PnpSystemPowerState();

std::vector<PnpNodeInfo> PnpListNodes();
bool PnpGetNode(const std::string &instanceId, PnpNodeInfo *info);
PDEVICE_OBJECT PnpPhysicalDevice(const std::string &instanceId);  // not referenced; NULL if none

// Behaviour of the root bus's physical device objects, per node.
struct PnpBusKnobs {
    NTSTATUS StartStatus = STATUS_SUCCESS;   // the bus's answer to IRP_MN_START_DEVICE
    NTSTATUS CancelStatus = STATUS_SUCCESS;  // to IRP_MN_CANCEL_STOP/REMOVE_DEVICE
    bool CompletePowerAtDispatch = false;    // power requests completed at DISPATCH_LEVEL
};
void PnpSetBusKnobs(const std::string &instanceId, const PnpBusKnobs &knobs);
// The requests the bus saw for the node, as "PNP <minor>", "POWER <minor> <type> <state>",
// "WMI <minor>" (oldest first).
std::vector<std::string> PnpBusRequests(const std::string &instanceId);

// Loaded function or filter drivers, by service name.
std::vector<std::string> PnpLoadedDrivers();

}  // namespace qv
