// The Plug and Play manager: device nodes of the root bus kept in the persistent registry, the
// COM name database, device stacks built from the registered drivers (function driver and the
// filters the class and the node list), and the Plug and Play and power requests sent to them,
// one at a time at PASSIVE_LEVEL.
//
// Differences from Windows, on purpose: a filter listed for the class or a node whose service is
// not a registered platform driver is reported (a verifier warning) and skipped, where Windows
// would fail the start; drivers are never paged; there is no hardware profile.
#include "qv/pnp.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "cm/cm.h"
#include "io/busdriver.h"
#include "io/devnode.h"
#include "io/iomgr.h"
#include "ke/ke.h"
#include "ob/object.h"
#include "qv/platform.h"
#include "qv/registry.h"
#include "verifier.h"

namespace qv {

namespace {

const std::string kEnumRoot = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\";
const std::string kRootPorts = "ROOT\\PORTS";
const std::string kPortsGuid = "{4D36E978-E325-11CE-BFC1-08002BE10318}";
const std::string kClassRoot = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\";
const std::string kComDbKey = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter";
const char kComDbValue[] = "ComDB";
const size_t kComDbBytes = 32;                     // COM1..COM256
const NTSTATUS kNotFound = (NTSTATUS)0xC0000034L;  // STATUS_OBJECT_NAME_NOT_FOUND

std::string Upcase(std::string s)
{
    for (auto &c : s)
        if (c >= 'a' && c <= 'z') c = (char)(c - 'a' + 'A');
    return s;
}

// ---------------------------------------------------------------- registered drivers

std::mutex &RegisteredLock()
{
    static std::mutex lock;
    return lock;
}
std::map<std::string, std::pair<std::string, PDRIVER_INITIALIZE>> &Registered()
{
    static auto *drivers = new std::map<std::string, std::pair<std::string, PDRIVER_INITIALIZE>>;
    return *drivers;
}

PDRIVER_INITIALIZE RegisteredEntry(const std::string &service)
{
    std::lock_guard<std::mutex> guard(RegisteredLock());
    auto it = Registered().find(Upcase(service));
    return it == Registered().end() ? nullptr : it->second.second;
}

// ---------------------------------------------------------------- live state

struct LoadedDriver {
    std::string Service;
    PDRIVER_OBJECT Driver = nullptr;
    int Stacks = 0;                        // stacks holding one of its devices
    std::vector<PDEVICE_OBJECT> Retained;  // removed devices whose memory handles may still hold
};

struct StackEntry {
    std::string Service;
    PDEVICE_OBJECT Device;
};

struct PnpNode : DeviceNode {
    std::vector<StackEntry> Stack;  // devices above the physical device object, bottom first
    bool Started = false;
};

// Guards the maps below and serialises the Plug and Play operations.
std::recursive_mutex gPnpLock;
std::map<std::string, PnpNode *> gNodes;      // nodes with a physical device object, by upcased id
std::map<std::string, LoadedDriver> gLoaded;  // by upcased service
PDRIVER_OBJECT gRootBus;
SYSTEM_POWER_STATE gSystemPower = PowerSystemWorking;

// Bus behaviour and the requests it saw, by upcased instance id; touched at DISPATCH_LEVEL.
std::mutex gBusLock;
std::map<std::string, PnpBusKnobs> gKnobs;
std::map<std::string, std::vector<std::string>> gBusLog;

PnpNode *NodeOf(PDEVICE_OBJECT pdo) { return static_cast<PnpNode *>(IoDevicePrivate(pdo)->Node); }

void BusLog(PnpNode *node, const std::string &entry)
{
    std::lock_guard<std::mutex> guard(gBusLock);
    gBusLog[Upcase(node->InstanceId)].push_back(entry);
}

PnpBusKnobs KnobsOf(PnpNode *node)
{
    std::lock_guard<std::mutex> guard(gBusLock);
    auto it = gKnobs.find(Upcase(node->InstanceId));
    return it == gKnobs.end() ? PnpBusKnobs() : it->second;
}

// ---------------------------------------------------------------- the root bus driver

NTSTATUS FillCapabilities(PDEVICE_CAPABILITIES caps)
{
    NTSTATUS status = BusFillCapabilities(caps);
    if (!NT_SUCCESS(status)) return status;
    caps->SurpriseRemovalOK = 1;
    caps->Removable = 0;
    caps->DeviceD1 = 0;
    caps->DeviceD2 = 0;
    caps->DeviceState[PowerSystemUnspecified] = PowerDeviceUnspecified;
    caps->D1Latency = caps->D2Latency = 0;
    caps->D3Latency = 100;
    return STATUS_SUCCESS;
}

// A pool MULTI_SZ of one string, as the bus answers IRP_MN_QUERY_ID.
PWCHAR PoolMultiSz(const std::string &text)
{
    std::u16string w = Utf16(text);
    auto *buffer = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, (w.size() + 2) * sizeof(WCHAR), 'IpnP'));
    if (!buffer) return nullptr;
    std::copy(w.begin(), w.end(), buffer);
    buffer[w.size()] = 0;
    buffer[w.size() + 1] = 0;
    return buffer;
}

NTSTATUS BusPnp(PDEVICE_OBJECT device, PIRP irp)
{
    PnpNode *node = NodeOf(device);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    BusLog(node, "PNP " + std::to_string(sp->MinorFunction));
    PnpBusKnobs knobs = KnobsOf(node);
    switch (sp->MinorFunction) {
    case IRP_MN_START_DEVICE: status = knobs.StartStatus; break;
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE: status = knobs.CancelStatus; break;
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL: status = STATUS_SUCCESS; break;
    case IRP_MN_QUERY_CAPABILITIES: status = FillCapabilities(sp->Parameters.DeviceCapabilities.Capabilities); break;
    case IRP_MN_QUERY_ID: {
        PWCHAR id = nullptr;
        std::string instance = node->InstanceId.substr(node->InstanceId.rfind('\\') + 1);
        std::string hardwareId;
        RegistryReadString(kEnumRoot + node->InstanceId, "HardwareID", &hardwareId);
        switch (sp->Parameters.QueryId.IdType) {
        case BusQueryDeviceID: id = PoolMultiSz(node->InstanceId.substr(0, node->InstanceId.rfind('\\'))); break;
        case BusQueryHardwareIDs: id = PoolMultiSz(hardwareId); break;
        case BusQueryInstanceID: id = PoolMultiSz(instance); break;
        default: break;
        }
        if (id) {
            irp->IoStatus.Information = (ULONG_PTR)id;
            status = STATUS_SUCCESS;
        }
        break;
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS: status = BusQueryDeviceRelations(device, irp, 'RpnP'); break;
    default: break;  // a bus driver leaves what it does not handle as it found it
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS BusPower(PDEVICE_OBJECT device, PIRP irp)
{
    PnpNode *node = NodeOf(device);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    BusLog(node, "POWER " + std::to_string(sp->MinorFunction) + " " + std::to_string(sp->Parameters.Power.Type) + " " +
                     std::to_string((int)sp->Parameters.Power.State.DeviceState));
    NTSTATUS status = BusAnswerPower(device, irp, true);
    if (KnobsOf(node).CompletePowerAtDispatch) {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        KeLowerIrql(old);
    } else {
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
    return status;
}

// Not a WMI provider: the request is completed as it came.
NTSTATUS BusSystemControl(PDEVICE_OBJECT device, PIRP irp)
{
    BusLog(NodeOf(device), "WMI " + std::to_string(IoGetCurrentIrpStackLocation(irp)->MinorFunction));
    NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS BusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->MajorFunction[IRP_MJ_PNP] = BusPnp;
    driver->MajorFunction[IRP_MJ_POWER] = BusPower;
    driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = BusSystemControl;
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------- sending requests

struct Waiter {
    KEVENT Event;
};

NTSTATUS SignalDone(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(&static_cast<Waiter *>(context)->Event, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Builds a request for the top of the node's stack, sends it and waits for its completion.
PnpRequestResult SendToStack(PDEVICE_OBJECT pdo, UCHAR major, UCHAR minor,
                             const std::function<void(PIO_STACK_LOCATION)> &prepare)
{
    PnpRequestResult result;
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    if (!top) {
        result.Status = STATUS_NO_SUCH_DEVICE;
        return result;
    }
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (!irp) {
        ObfDereferenceObject(top);
        result.Status = STATUS_INSUFFICIENT_RESOURCES;
        return result;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = major;
    sp->MinorFunction = minor;
    if (prepare) prepare(sp);
    Waiter waiter;
    KeInitializeEvent(&waiter.Event, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalDone, &waiter, TRUE, TRUE, TRUE);
    if (major == IRP_MJ_POWER)
        PoCallDriver(top, irp);
    else
        IoCallDriver(top, irp);
    KeWaitForSingleObject(&waiter.Event, Executive, KernelMode, FALSE, nullptr);
    result.Status = irp->IoStatus.Status;
    result.Information = irp->IoStatus.Information;
    IoFreeIrp(irp);
    ObfDereferenceObject(top);
    return result;
}

PnpRequestResult SendPnp(PDEVICE_OBJECT pdo, UCHAR minor) { return SendToStack(pdo, IRP_MJ_PNP, minor, nullptr); }

// ---------------------------------------------------------------- registry of nodes

std::string EnumKey(const std::string &instanceId) { return kEnumRoot + instanceId; }
std::string DeviceKey(const std::string &instanceId) { return kEnumRoot + instanceId + "\\Device Parameters"; }

std::vector<std::string> ReadMultiSz(const std::string &key, const std::string &name)
{
    std::vector<std::string> out;
    ULONG type;
    std::vector<UCHAR> data;
    if (!RegistryReadValue(key, name, &type, &data) || (type != REG_MULTI_SZ && type != REG_SZ)) return out;
    std::u16string w((const char16_t *)data.data(), data.size() / sizeof(WCHAR));
    std::u16string item;
    for (char16_t c : w) {
        if (c == 0) {
            if (item.empty()) break;
            out.push_back(Utf8(item));
            item.clear();
        } else {
            item += c;
        }
    }
    if (!item.empty()) out.push_back(Utf8(item));
    return out;
}

NTSTATUS WriteMultiSz(const std::string &key, const std::string &name, const std::vector<std::string> &items)
{
    std::u16string w;
    for (auto &item : items) {
        w += Utf16(item);
        w += u'\0';
    }
    w += u'\0';
    std::vector<UCHAR> data((const UCHAR *)w.data(), (const UCHAR *)w.data() + w.size() * sizeof(WCHAR));
    return RegistryWriteValue(key, name, REG_MULTI_SZ, data);
}

void DeleteKeyTree(const std::string &path)
{
    for (auto &sub : RegistrySubkeys(path)) DeleteKeyTree(path + "\\" + sub);
    HANDLE key;
    if (NT_SUCCESS(CmOpenKeyByPath(Utf16(path), false, false, &key))) {
        ZwDeleteKey(key);
        ZwClose(key);
    }
}

std::vector<UCHAR> ReadComDb()
{
    ULONG type;
    std::vector<UCHAR> data;
    if (!RegistryReadValue(kComDbKey, kComDbValue, &type, &data) || type != REG_BINARY) data.clear();
    data.resize(kComDbBytes, 0);
    return data;
}

// The number n of "COMn" (1..256), or 0 for any other name.
unsigned ComNumber(const std::string &name)
{
    std::string up = Upcase(name);
    if (up.size() < 4 || up.compare(0, 3, "COM") != 0) return 0;
    unsigned n = 0;
    for (size_t i = 3; i < up.size(); ++i) {
        if (up[i] < '0' || up[i] > '9' || n > 1000) return 0;
        n = n * 10 + (unsigned)(up[i] - '0');
    }
    return n >= 1 && n <= kComDbBytes * 8 ? n : 0;
}

std::vector<std::string> PersistedNodeIds()
{
    std::vector<std::string> ids;
    for (auto &sub : RegistrySubkeys(kEnumRoot + kRootPorts)) ids.push_back(kRootPorts + "\\" + sub);
    return ids;
}

// Claims `requested`, or the lowest free COM name when it is empty. Names outside the COM range
// are checked against the other nodes only.
NTSTATUS ClaimPortName(const std::string &requested, std::string *claimed)
{
    std::vector<UCHAR> db = ReadComDb();
    std::string name = requested;
    if (name.empty()) {
        unsigned n = 0;
        for (unsigned i = 0; i < kComDbBytes * 8 && !n; ++i)
            if (!(db[i / 8] & (1u << (i % 8)))) n = i + 1;
        if (!n) return STATUS_INSUFFICIENT_RESOURCES;
        name = "COM" + std::to_string(n);
    }
    for (auto &id : PersistedNodeIds()) {
        std::string other;
        if (RegistryReadString(DeviceKey(id), "PortName", &other) && Upcase(other) == Upcase(name))
            return STATUS_OBJECT_NAME_COLLISION;
    }
    if (unsigned n = ComNumber(name)) {
        if (db[(n - 1) / 8] & (1u << ((n - 1) % 8))) return STATUS_OBJECT_NAME_COLLISION;
        db[(n - 1) / 8] |= (UCHAR)(1u << ((n - 1) % 8));
        NTSTATUS status = RegistryWriteValue(kComDbKey, kComDbValue, REG_BINARY, db);
        if (!NT_SUCCESS(status)) return status;
    }
    *claimed = name;
    return STATUS_SUCCESS;
}

void ReleasePortName(const std::string &name)
{
    unsigned n = ComNumber(name);
    if (!n) return;
    std::vector<UCHAR> db = ReadComDb();
    db[(n - 1) / 8] &= (UCHAR) ~(1u << ((n - 1) % 8));
    RegistryWriteValue(kComDbKey, kComDbValue, REG_BINARY, db);
}

// Finds or assigns the node's driver key: "Driver" in its Enum key names "{class}\nnnn".
NTSTATUS AssignDriverKey(const std::string &instanceId, std::string *driverKey)
{
    std::string value;
    if (RegistryReadString(EnumKey(instanceId), "Driver", &value) && !value.empty()) {
        *driverKey = kClassRoot + value;
        return STATUS_SUCCESS;
    }
    std::vector<std::string> used = RegistrySubkeys(kClassRoot + kPortsGuid);
    for (unsigned n = 0; n < 10000; ++n) {
        char buf[8];
        snprintf(buf, sizeof buf, "%04u", n);
        if (std::find_if(used.begin(), used.end(), [&](const std::string &u) { return Upcase(u) == buf; }) !=
            used.end())
            continue;
        value = kPortsGuid + "\\" + buf;
        NTSTATUS status = RegistryWriteString(EnumKey(instanceId), "Driver", value);
        if (!NT_SUCCESS(status)) return status;
        HANDLE key;
        status = CmOpenKeyByPath(Utf16(kClassRoot + value), true, false, &key);
        if (!NT_SUCCESS(status)) return status;
        ZwClose(key);
        *driverKey = kClassRoot + value;
        return STATUS_SUCCESS;
    }
    return STATUS_INSUFFICIENT_RESOURCES;
}

// ---------------------------------------------------------------- drivers and stacks

NTSTATUS LoadDriver(const std::string &service, PDRIVER_OBJECT *driver)
{
    auto it = gLoaded.find(Upcase(service));
    if (it != gLoaded.end()) {
        *driver = it->second.Driver;
        return STATUS_SUCCESS;
    }
    PDRIVER_INITIALIZE entry = RegisteredEntry(service);
    if (!entry) return kNotFound;
    std::u16string name = u"\\Driver\\" + Utf16(service);
    NTSTATUS status = IoCreateDriver(name.c_str(), entry, driver);
    if (!NT_SUCCESS(status)) return status;
    LoadedDriver &loaded = gLoaded[Upcase(service)];
    loaded.Service = service;
    loaded.Driver = *driver;
    return STATUS_SUCCESS;
}

// Lets go of removed devices that nothing else references any more, and unloads drivers that
// have no device left.
void SweepDrivers(bool force)
{
    for (auto it = gLoaded.begin(); it != gLoaded.end();) {
        LoadedDriver &loaded = it->second;
        for (auto d = loaded.Retained.begin(); d != loaded.Retained.end();) {
            if (force || ObPointerCount(*d) <= 1) {
                ObfDereferenceObject(*d);
                d = loaded.Retained.erase(d);
            } else {
                ++d;
            }
        }
        if (loaded.Stacks == 0 && loaded.Retained.empty() && !loaded.Driver->DeviceObject) {
            IoUnloadDriver(loaded.Driver);
            it = gLoaded.erase(it);
        } else {
            ++it;
        }
    }
}

NTSTATUS CreatePdo(const std::string &instanceId, PnpNode **out)
{
    if (!gRootBus) return STATUS_NO_SUCH_DEVICE;
    std::string driverKey;
    NTSTATUS status = AssignDriverKey(instanceId, &driverKey);
    if (!NT_SUCCESS(status)) return status;
    PDEVICE_OBJECT pdo;
    status = IoCreateDevice(gRootBus, 0, nullptr, FILE_DEVICE_BUS_EXTENDER,
                            FILE_AUTOGENERATED_DEVICE_NAME | FILE_DEVICE_SECURE_OPEN, FALSE, &pdo);
    if (!NT_SUCCESS(status)) return status;
    pdo->Flags |= DO_POWER_PAGABLE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    auto *node = new PnpNode;
    node->InstanceId = instanceId;
    node->Pdo = pdo;
    node->DeviceKeyPath = Utf16(DeviceKey(instanceId));
    node->DriverKeyPath = Utf16(driverKey);
    IoDevicePrivate(pdo)->Node = node;
    gNodes[Upcase(instanceId)] = node;
    *out = node;
    return STATUS_SUCCESS;
}

void DeletePdo(PnpNode *node)
{
    gNodes.erase(Upcase(node->InstanceId));
    if (node->Pdo->AttachedDevice)
        VerifierViolation("PnpManager", "device %p is still attached to the physical device of %s",
                          node->Pdo->AttachedDevice, node->InstanceId.c_str());
    IoDevicePrivate(node->Pdo)->Node = nullptr;
    IoDeleteDevice(node->Pdo);
    delete node;
}

// After IRP_MN_REMOVE_DEVICE: the drivers of the stack give up their place in it; the removed
// devices are kept (referenced before the removal) until handles to them are gone.
void ForgetStack(PnpNode *node, const std::vector<PDEVICE_OBJECT> &referenced)
{
    for (auto &entry : node->Stack) {
        auto it = gLoaded.find(Upcase(entry.Service));
        if (it != gLoaded.end()) it->second.Stacks--;
    }
    for (size_t i = 0; i < referenced.size(); ++i) {
        auto it = gLoaded.find(Upcase(node->Stack[i].Service));
        if (it != gLoaded.end())
            it->second.Retained.push_back(referenced[i]);
        else
            ObfDereferenceObject(referenced[i]);
    }
    node->Stack.clear();
    node->Started = false;
    SweepDrivers(false);
}

std::vector<PDEVICE_OBJECT> ReferenceStack(PnpNode *node)
{
    std::vector<PDEVICE_OBJECT> refs;
    for (auto &entry : node->Stack) {
        ObfReferenceObject(entry.Device);
        refs.push_back(entry.Device);
    }
    return refs;
}

// IRP_MN_REMOVE_DEVICE to the stack, then the bookkeeping of a stack that has gone.
void RemoveStack(PnpNode *node)
{
    std::vector<PDEVICE_OBJECT> refs = ReferenceStack(node);
    SendPnp(node->Pdo, IRP_MN_REMOVE_DEVICE);
    ForgetStack(node, refs);
}

// Loads `service` and lets it add its device above the current top of the node's stack.
NTSTATUS AddToStack(PnpNode *node, const std::string &service, bool required)
{
    PDRIVER_OBJECT driver;
    NTSTATUS status = LoadDriver(service, &driver);
    if (!NT_SUCCESS(status)) {
        if (required) return status;
        VerifierWarning("PnpManager", "filter service %s of %s is not a registered driver; skipped", service.c_str(),
                        node->InstanceId.c_str());
        return STATUS_SUCCESS;
    }
    gLoaded[Upcase(service)].Stacks++;
    PDEVICE_OBJECT before = IoGetAttachedDevice(node->Pdo);
    status = driver->DriverExtension->AddDevice ? driver->DriverExtension->AddDevice(driver, node->Pdo)
                                                : STATUS_INVALID_DEVICE_REQUEST;
    PDEVICE_OBJECT after = IoGetAttachedDevice(node->Pdo);
    if (NT_SUCCESS(status) && after != before) {
        node->Stack.push_back(StackEntry{service, after});
    } else {
        gLoaded[Upcase(service)].Stacks--;
        if (NT_SUCCESS(status) && required) status = STATUS_INVALID_DEVICE_REQUEST;
        SweepDrivers(false);
    }
    return status;
}

NTSTATUS BuildAndStart(PnpNode *node)
{
    std::string enumKey = EnumKey(node->InstanceId);
    std::string service;
    if (!RegistryReadString(enumKey, "Service", &service) || service.empty()) return kNotFound;
    std::string classKey = kClassRoot + kPortsGuid;
    std::vector<std::string> lower = ReadMultiSz(enumKey, "LowerFilters");
    for (auto &s : ReadMultiSz(classKey, "LowerFilters")) lower.push_back(s);
    std::vector<std::string> upper = ReadMultiSz(enumKey, "UpperFilters");
    for (auto &s : ReadMultiSz(classKey, "UpperFilters")) upper.push_back(s);

    NTSTATUS status = STATUS_SUCCESS;
    for (auto &s : lower)
        if (NT_SUCCESS(status)) status = AddToStack(node, s, false);
    if (NT_SUCCESS(status)) status = AddToStack(node, service, true);
    for (auto &s : upper)
        if (NT_SUCCESS(status)) status = AddToStack(node, s, false);
    if (NT_SUCCESS(status)) status = SendPnp(node->Pdo, IRP_MN_START_DEVICE).Status;
    if (!NT_SUCCESS(status)) {
        if (!node->Stack.empty()) RemoveStack(node);
        return status;
    }
    node->Started = true;
    return STATUS_SUCCESS;
}

PnpNode *FindNode(const std::string &instanceId)
{
    auto it = gNodes.find(Upcase(instanceId));
    return it == gNodes.end() ? nullptr : it->second;
}

NTSTATUS StartNodeLocked(const std::string &instanceId)
{
    if (!RegistryKeyExists(EnumKey(instanceId))) return kNotFound;
    PnpNode *node = FindNode(instanceId);
    if (node && node->Started) return STATUS_SUCCESS;
    if (!node) {
        NTSTATUS status = CreatePdo(instanceId, &node);
        if (!NT_SUCCESS(status)) return status;
    }
    if (!node->Stack.empty()) {
        // Stopped: the stack is there, start it again.
        NTSTATUS status = SendPnp(node->Pdo, IRP_MN_START_DEVICE).Status;
        if (NT_SUCCESS(status)) node->Started = true;
        return status;
    }
    return BuildAndStart(node);
}

PnpNodeInfo InfoOf(const std::string &instanceId)
{
    PnpNodeInfo info;
    info.InstanceId = instanceId;
    std::string key = EnumKey(instanceId);
    std::vector<std::string> ids = ReadMultiSz(key, "HardwareID");
    if (!ids.empty()) info.HardwareId = ids[0];
    RegistryReadString(key, "Service", &info.Service);
    RegistryReadString(key, "DeviceDesc", &info.DeviceDescription);
    RegistryReadString(key, "FriendlyName", &info.FriendlyName);
    RegistryReadString(DeviceKey(instanceId), "PortName", &info.PortName);
    info.DeviceKey = DeviceKey(instanceId);
    std::string driver;
    if (RegistryReadString(key, "Driver", &driver)) info.DriverKey = kClassRoot + driver;
    if (PnpNode *node = FindNode(instanceId)) {
        info.HasDevice = true;
        info.Started = node->Started;
        info.Loaded = !node->Stack.empty();
    }
    return info;
}

}  // namespace

// ---------------------------------------------------------------- internal hooks

PDRIVER_OBJECT PnpRootBusDriver() { return gRootBus; }

// ---------------------------------------------------------------- harness API

void PnpRegisterDriver(const std::string &service, PDRIVER_INITIALIZE entry)
{
    std::lock_guard<std::mutex> guard(RegisteredLock());
    Registered()[Upcase(service)] = {service, entry};
}

void PnpUnregisterDriver(const std::string &service)
{
    std::lock_guard<std::mutex> guard(RegisteredLock());
    Registered().erase(Upcase(service));
}

NTSTATUS PnpCreatePortsNode(const PnpNodeOptions &options, std::string *instanceId)
{
    std::lock_guard<std::recursive_mutex> guard(gPnpLock);
    if (!gRootBus) return STATUS_NO_SUCH_DEVICE;
    SweepDrivers(false);
    std::string id;
    for (unsigned n = 0; n < 10000 && id.empty(); ++n) {
        char buf[8];
        snprintf(buf, sizeof buf, "%04u", n);
        std::string candidate = kRootPorts + "\\" + buf;
        if (!RegistryKeyExists(EnumKey(candidate))) id = candidate;
    }
    if (id.empty()) return STATUS_INSUFFICIENT_RESOURCES;
    std::string portName;
    NTSTATUS status = ClaimPortName(options.PortName, &portName);
    if (!NT_SUCCESS(status)) return status;

    std::string key = EnumKey(id);
    std::string classKey = kClassRoot + kPortsGuid;
    std::string friendly = options.DeviceDescription + " (" + portName + ")";
    if (NT_SUCCESS(status)) status = WriteMultiSz(key, "HardwareID", {options.HardwareId});
    if (NT_SUCCESS(status)) status = RegistryWriteString(key, "ClassGUID", kPortsGuid);
    if (NT_SUCCESS(status)) status = RegistryWriteString(key, "Class", "Ports");
    if (NT_SUCCESS(status)) status = RegistryWriteString(key, "Service", options.Service);
    if (NT_SUCCESS(status)) status = RegistryWriteString(key, "DeviceDesc", options.DeviceDescription);
    if (NT_SUCCESS(status)) status = RegistryWriteString(key, "FriendlyName", friendly);
    if (NT_SUCCESS(status) && !options.UpperFilters.empty())
        status = WriteMultiSz(key, "UpperFilters", options.UpperFilters);
    if (NT_SUCCESS(status) && !options.LowerFilters.empty())
        status = WriteMultiSz(key, "LowerFilters", options.LowerFilters);
    if (NT_SUCCESS(status)) status = RegistryWriteString(DeviceKey(id), "PortName", portName);
    if (NT_SUCCESS(status) && !RegistryKeyExists(classKey)) status = RegistryWriteString(classKey, "Class", "Ports");
    std::string driverKey;
    if (NT_SUCCESS(status)) status = AssignDriverKey(id, &driverKey);
    if (!NT_SUCCESS(status)) {
        DeleteKeyTree(key);
        ReleasePortName(portName);
        return status;
    }
    if (instanceId) *instanceId = id;
    if (!options.Start) return STATUS_SUCCESS;
    return StartNodeLocked(id);
}

NTSTATUS PnpStartNode(const std::string &instanceId)
{
    std::lock_guard<std::recursive_mutex> guard(gPnpLock);
    SweepDrivers(false);
    return StartNodeLocked(instanceId);
}

void PnpStartPersistedNodes()
{
    std::lock_guard<std::recursive_mutex> guard(gPnpLock);
    for (auto &id : PersistedNodeIds()) {
        std::string service;
        if (RegistryReadString(EnumKey(id), "Service", &service) && RegisteredEntry(service)) StartNodeLocked(id);
    }
}

NTSTATUS PnpRemoveNode(const std::string &instanceId)
{
    std::lock_guard<std::recursive_mutex> guard(gPnpLock);
    if (!RegistryKeyExists(EnumKey(instanceId))) return kNotFound;
    PnpNode *node = FindNode(instanceId);
    if (node) {
        if (!node->Stack.empty()) {
            NTSTATUS status = SendPnp(node->Pdo, IRP_MN_QUERY_REMOVE_DEVICE).Status;
            if (!NT_SUCCESS(status)) {
                SendPnp(node->Pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
                return status;
            }
            RemoveStack(node);
        }
        DeletePdo(node);
    }
    std::string portName;
    RegistryReadString(DeviceKey(instanceId), "PortName", &portName);
    std::string driver;
    if (RegistryReadString(EnumKey(instanceId), "Driver", &driver) && !driver.empty())
        DeleteKeyTree(kClassRoot + driver);
    DeleteKeyTree(EnumKey(instanceId));
    ReleasePortName(portName);
    {
        std::lock_guard<std::mutex> bus(gBusLock);
        gKnobs.erase(Upcase(instanceId));
        gBusLog.erase(Upcase(instanceId));
    }
    SweepDrivers(false);
    return STATUS_SUCCESS;
}

NTSTATUS PnpSurpriseRemoveNode(const std::string &instanceId)
{
    std::lock_guard<std::recursive_mutex> guard(gPnpLock);
    PnpNode *node = FindNode(instanceId);
    if (!node) return kNotFound;
    if (!node->Stack.empty()) {
        std::vector<PDEVICE_OBJECT> refs = ReferenceStack(node);
        SendPnp(node->Pdo, IRP_MN_SURPRISE_REMOVAL);
        SendPnp(node->Pdo, IRP_MN_REMOVE_DEVICE);
        ForgetStack(node, refs);
    }
    DeletePdo(node);
    SweepDrivers(false);
    return STATUS_SUCCESS;
}

NTSTATUS PnpRestartNode(const std::string &instanceId)
{
    std::lock_guard<std::recursive_mutex> guard(gPnpLock);
    PnpNode *node = FindNode(instanceId);
    if (!node || node->Stack.empty()) return StartNodeLocked(instanceId);
    if (node->Started) {
        NTSTATUS status = SendPnp(node->Pdo, IRP_MN_QUERY_STOP_DEVICE).Status;
        if (!NT_SUCCESS(status)) {
            SendPnp(node->Pdo, IRP_MN_CANCEL_STOP_DEVICE);
            return status;
        }
        SendPnp(node->Pdo, IRP_MN_STOP_DEVICE);
        node->Started = false;
    }
    NTSTATUS status = SendPnp(node->Pdo, IRP_MN_START_DEVICE).Status;
    if (NT_SUCCESS(status)) node->Started = true;
    return status;
}

PnpRequestResult PnpSendRequest(const std::string &instanceId, UCHAR minor, void (*prepare)(PIO_STACK_LOCATION, void *),
                                void *context)
{
    std::lock_guard<std::recursive_mutex> guard(gPnpLock);
    PnpNode *node = FindNode(instanceId);
    if (!node) return PnpRequestResult{STATUS_NO_SUCH_DEVICE, 0};
    return SendToStack(node->Pdo, IRP_MJ_PNP, minor, [&](PIO_STACK_LOCATION sp) {
        if (prepare) prepare(sp, context);
    });
}

PnpRequestResult PnpSendSystemControl(const std::string &instanceId, UCHAR minor, ULONG_PTR providerId, PVOID dataPath,
                                      PVOID buffer, ULONG bufferSize)
{
    std::lock_guard<std::recursive_mutex> guard(gPnpLock);
    PnpNode *node = FindNode(instanceId);
    if (!node) return PnpRequestResult{STATUS_NO_SUCH_DEVICE, 0};
    return SendToStack(node->Pdo, IRP_MJ_SYSTEM_CONTROL, minor, [&](PIO_STACK_LOCATION sp) {
        sp->Parameters.WMI.ProviderId = providerId;
        sp->Parameters.WMI.DataPath = dataPath;
        sp->Parameters.WMI.Buffer = buffer;
        sp->Parameters.WMI.BufferSize = bufferSize;
    });
}

PnpRequestResult PnpSendPowerRequest(const std::string &instanceId, UCHAR minor, POWER_STATE_TYPE type,
                                     POWER_STATE state)
{
    std::lock_guard<std::recursive_mutex> guard(gPnpLock);
    PnpNode *node = FindNode(instanceId);
    if (!node) return PnpRequestResult{STATUS_NO_SUCH_DEVICE, 0};
    return SendToStack(node->Pdo, IRP_MJ_POWER, minor, [&](PIO_STACK_LOCATION sp) {
        sp->Parameters.Power.Type = type;
        sp->Parameters.Power.State = state;
        sp->Parameters.Power.ShutdownType = PowerActionNone;
    });
}

NTSTATUS PnpSetSystemPower(SYSTEM_POWER_STATE state)
{
    std::lock_guard<std::recursive_mutex> guard(gPnpLock);
    std::vector<PnpNode *> started;
    for (auto &entry : gNodes)
        if (entry.second->Started) started.push_back(entry.second);
    POWER_STATE target;
    target.SystemState = state;
    auto send = [&](PnpNode *node, UCHAR minor, POWER_STATE s) {
        return SendToStack(node->Pdo, IRP_MJ_POWER, minor,
                           [&](PIO_STACK_LOCATION sp) {
                               sp->Parameters.Power.Type = SystemPowerState;
                               sp->Parameters.Power.State = s;
                               sp->Parameters.Power.ShutdownType =
                                   state == PowerSystemWorking ? PowerActionNone : PowerActionSleep;
                           })
            .Status;
    };
    if (state != PowerSystemWorking) {
        for (size_t i = 0; i < started.size(); ++i) {
            NTSTATUS status = send(started[i], IRP_MN_QUERY_POWER, target);
            if (!NT_SUCCESS(status)) {
                // The transition is abandoned: those that agreed are told the state stays.
                POWER_STATE current;
                current.SystemState = gSystemPower;
                for (size_t j = 0; j <= i; ++j) send(started[j], IRP_MN_SET_POWER, current);
                return status;
            }
        }
    }
    for (PnpNode *node : started) send(node, IRP_MN_SET_POWER, target);
    gSystemPower = state;
    return STATUS_SUCCESS;
}

SYSTEM_POWER_STATE PnpSystemPowerState()
{
    std::lock_guard<std::recursive_mutex> guard(gPnpLock);
    return gSystemPower;
}

std::vector<PnpNodeInfo> PnpListNodes()
{
    std::lock_guard<std::recursive_mutex> guard(gPnpLock);
    SweepDrivers(false);
    std::vector<PnpNodeInfo> nodes;
    for (auto &id : PersistedNodeIds()) nodes.push_back(InfoOf(id));
    return nodes;
}

bool PnpGetNode(const std::string &instanceId, PnpNodeInfo *info)
{
    std::lock_guard<std::recursive_mutex> guard(gPnpLock);
    if (!RegistryKeyExists(EnumKey(instanceId))) return false;
    *info = InfoOf(instanceId);
    return true;
}

PDEVICE_OBJECT PnpPhysicalDevice(const std::string &instanceId)
{
    std::lock_guard<std::recursive_mutex> guard(gPnpLock);
    PnpNode *node = FindNode(instanceId);
    return node ? node->Pdo : nullptr;
}

void PnpSetBusKnobs(const std::string &instanceId, const PnpBusKnobs &knobs)
{
    std::lock_guard<std::mutex> guard(gBusLock);
    gKnobs[Upcase(instanceId)] = knobs;
}

std::vector<std::string> PnpBusRequests(const std::string &instanceId)
{
    std::lock_guard<std::mutex> guard(gBusLock);
    auto it = gBusLog.find(Upcase(instanceId));
    return it == gBusLog.end() ? std::vector<std::string>() : it->second;
}

std::vector<std::string> PnpLoadedDrivers()
{
    std::lock_guard<std::recursive_mutex> guard(gPnpLock);
    SweepDrivers(false);
    std::vector<std::string> names;
    for (auto &entry : gLoaded) names.push_back(entry.second.Service);
    return names;
}

// ---------------------------------------------------------------- boot and shutdown

NTSTATUS PnpStartup(const BootConfig &)
{
    if (ShouldInjectFault("PnpStartup")) return STATUS_INSUFFICIENT_RESOURCES;
    std::lock_guard<std::recursive_mutex> guard(gPnpLock);
    gSystemPower = PowerSystemWorking;
    {
        std::lock_guard<std::mutex> bus(gBusLock);
        gKnobs.clear();
        gBusLog.clear();
    }
    return IoCreateDriver(u"\\Driver\\Root", BusEntry, &gRootBus);
}

// The system goes down: every stack is removed (as at a shutdown that unloads its drivers), the
// physical devices deleted and the drivers unloaded. Nodes stay in the registry.
void PnpShutdown(PlatformReport &report)
{
    std::unique_lock<std::recursive_mutex> guard(gPnpLock);
    std::vector<PnpNode *> nodes;
    for (auto &entry : gNodes) nodes.push_back(entry.second);
    for (PnpNode *node : nodes) {
        if (!node->Stack.empty()) RemoveStack(node);
        DeletePdo(node);
    }
    // What the removals left to the system runs before the devices are counted: a queued work
    // item holds its device object, and a file object let go at raised IRQL is deleted on a
    // worker thread. Only a reference still held after that is a leak.
    guard.unlock();
    WaitForDpcsIdle();
    WaitForWorkersIdle(10000);
    WaitForDpcsIdle();
    guard.lock();
    for (auto &entry : gLoaded)
        for (PDEVICE_OBJECT device : entry.second.Retained)
            if (ObPointerCount(device) > 1)
                report.Leaks.push_back("pnp: a removed device of " + entry.second.Service +
                                       " is still referenced (an open handle?)");
    SweepDrivers(true);
    for (auto &entry : gLoaded)
        report.Leaks.push_back("pnp: driver " + entry.second.Service + " could not be unloaded");
    gLoaded.clear();
    if (gRootBus) {
        if (!gRootBus->DeviceObject) IoUnloadDriver(gRootBus);
        gRootBus = nullptr;
    }
}

}  // namespace qv
