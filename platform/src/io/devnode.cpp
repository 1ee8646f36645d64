// Device nodes and the platform's root bus driver, which owns every physical device object and
// answers what a bus driver answers; IoOpenDeviceRegistryKey on those devices.
#include "io/devnode.h"

#include <cstdio>
#include <map>
#include <mutex>

#include "cm/cm.h"
#include "io/busdriver.h"
#include "io/iomgr.h"
#include "qv/io.h"
#include "qv/registry.h"
#include "verifier.h"

namespace qv {

namespace {

const char kEnumKey[] = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\";
const char kPortsClass[] = "{4D36E978-E325-11CE-BFC1-08002BE10318}";
const char kClassKey[] = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\";

std::mutex gNodeLock;                        // guards gNodes and gBus
std::map<std::string, DeviceNode *> gNodes;  // by upcased instance id
PDRIVER_OBJECT gBus;

std::string Upcase(std::string s)
{
    for (auto &c : s)
        if (c >= 'a' && c <= 'z') c = (char)(c - 'a' + 'A');
    return s;
}

NTSTATUS BusPnp(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    switch (sp->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL: status = STATUS_SUCCESS; break;
    case IRP_MN_QUERY_CAPABILITIES: status = BusFillCapabilities(sp->Parameters.DeviceCapabilities.Capabilities); break;
    case IRP_MN_QUERY_DEVICE_RELATIONS: status = BusQueryDeviceRelations(device, irp, 0x6c526f49 /* "IoRl" */); break;
    default: break;  // a bus driver leaves what it does not handle as it found it
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS BusPower(PDEVICE_OBJECT device, PIRP irp)
{
    // Only device power states are recorded on these devices.
    NTSTATUS status = BusAnswerPower(device, irp, false);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS BusCompleteWithStatus(PDEVICE_OBJECT, PIRP irp)
{
    NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS BusSucceed(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS BusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->MajorFunction[IRP_MJ_PNP] = BusPnp;
    driver->MajorFunction[IRP_MJ_POWER] = BusPower;
    driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = BusCompleteWithStatus;
    driver->MajorFunction[IRP_MJ_CREATE] = BusSucceed;
    driver->MajorFunction[IRP_MJ_CLEANUP] = BusSucceed;
    driver->MajorFunction[IRP_MJ_CLOSE] = BusSucceed;
    return STATUS_SUCCESS;
}

// Finds or assigns the node's driver key: "Driver" in its Enum key names "{class}\nnnn".
NTSTATUS AssignDriverKey(const std::string &instanceId, std::string *driverKey)
{
    std::string enumKey = kEnumKey + instanceId;
    std::string value;
    if (RegistryReadString(enumKey, "Driver", &value) && !value.empty()) {
        *driverKey = kClassKey + value;
        return STATUS_SUCCESS;
    }
    std::vector<std::string> used = RegistrySubkeys(std::string(kClassKey) + kPortsClass);
    for (unsigned n = 0; n < 10000; ++n) {
        char buf[8];
        snprintf(buf, sizeof buf, "%04u", n);
        bool taken = false;
        for (auto &u : used)
            if (u == buf) taken = true;
        if (taken) continue;
        value = std::string(kPortsClass) + "\\" + buf;
        NTSTATUS status = RegistryWriteString(enumKey, "Driver", value);
        if (!NT_SUCCESS(status)) return status;
        HANDLE key;
        status = CmOpenKeyByPath(Utf16(kClassKey + value), true, false, &key);
        if (!NT_SUCCESS(status)) return status;
        ZwClose(key);
        *driverKey = kClassKey + value;
        return STATUS_SUCCESS;
    }
    return STATUS_INSUFFICIENT_RESOURCES;
}

}  // namespace

NTSTATUS CreatePhysicalDevice(const std::string &instanceId, PDEVICE_OBJECT *pdo)
{
    if (instanceId.empty() || instanceId.find("\\\\") != std::string::npos) return STATUS_OBJECT_NAME_INVALID;
    std::lock_guard<std::mutex> guard(gNodeLock);
    if (gNodes.count(Upcase(instanceId))) return STATUS_OBJECT_NAME_COLLISION;
    if (!gBus) {
        NTSTATUS status = IoCreateDriver(u"\\Driver\\PnpManager", BusEntry, &gBus);
        if (!NT_SUCCESS(status)) return status;
    }
    std::string driverKey;
    NTSTATUS status = AssignDriverKey(instanceId, &driverKey);
    if (!NT_SUCCESS(status)) return status;
    HANDLE key;
    std::u16string deviceKey = Utf16(kEnumKey + instanceId + "\\Device Parameters");
    status = CmOpenKeyByPath(deviceKey, true, false, &key);
    if (!NT_SUCCESS(status)) return status;
    ZwClose(key);
    PDEVICE_OBJECT device;
    status = IoCreateDevice(gBus, 0, nullptr, FILE_DEVICE_BUS_EXTENDER,
                            FILE_AUTOGENERATED_DEVICE_NAME | FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    device->Flags |= DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    auto *node = new DeviceNode;
    node->InstanceId = instanceId;
    node->Pdo = device;
    node->DeviceKeyPath = deviceKey;
    node->DriverKeyPath = Utf16(driverKey);
    IoDevicePrivate(device)->Node = node;
    gNodes[Upcase(instanceId)] = node;
    *pdo = device;
    return STATUS_SUCCESS;
}

void DeletePhysicalDevice(PDEVICE_OBJECT pdo)
{
    DeviceNode *node = IoGetDeviceNode(pdo);
    if (!node) {
        VerifierViolation("DeletePhysicalDevice", "device %p is not a physical device object", pdo);
        return;
    }
    if (pdo->AttachedDevice)
        VerifierViolation("DeletePhysicalDevice", "device %p still has device %p attached", pdo, pdo->AttachedDevice);
    {
        std::lock_guard<std::mutex> guard(gNodeLock);
        gNodes.erase(Upcase(node->InstanceId));
    }
    IoDevicePrivate(pdo)->Node = nullptr;
    delete node;
    IoDeleteDevice(pdo);
}

DeviceNode *IoGetDeviceNode(PDEVICE_OBJECT pdo) { return pdo ? IoDevicePrivate(pdo)->Node : nullptr; }

NTSTATUS CreateTestPdo(const std::string &instanceId, PDEVICE_OBJECT *pdo)
{
    return CreatePhysicalDevice(instanceId, pdo);
}

void DeleteTestPdo(PDEVICE_OBJECT pdo) { DeletePhysicalDevice(pdo); }

void DevnodeShutdown(std::vector<std::string> &leaks)
{
    std::lock_guard<std::mutex> guard(gNodeLock);
    for (auto &entry : gNodes) {
        leaks.push_back("io: physical device " + entry.second->InstanceId + " was never deleted");
        IoDevicePrivate(entry.second->Pdo)->Node = nullptr;
        delete entry.second;
    }
    gNodes.clear();
    if (gBus && !gBus->DeviceObject) IoUnloadDriver(gBus);
    gBus = nullptr;
}

}  // namespace qv

using namespace qv;

extern "C" NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                            ACCESS_MASK DesiredAccess, PHANDLE DevInstRegKey)
{
    QV_VERIFY_IRQL("IoOpenDeviceRegistryKey");
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        VerifierViolation("IoOpenDeviceRegistryKey", "called at IRQL %d", KeGetCurrentIrql());
    DeviceNode *node = IoGetDeviceNode(DeviceObject);
    if (!node) return STATUS_INVALID_DEVICE_REQUEST;
    switch (DevInstKeyType) {
    case PLUGPLAY_REGKEY_DEVICE: return CmOpenKeyByPath(node->DeviceKeyPath, true, false, DevInstRegKey);
    case PLUGPLAY_REGKEY_DRIVER: return CmOpenKeyByPath(node->DriverKeyPath, true, false, DevInstRegKey);
    default: return STATUS_INVALID_PARAMETER;
    }
}
