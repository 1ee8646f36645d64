// Driver and device objects, device stacks, and the object namespace the I/O manager keeps:
// "\Driver\..." and "\Device\..." names, symbolic links ("\??\COM3") and device interfaces.
#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "cm/cm.h"
#include "io/devnode.h"
#include "io/iomgr.h"
#include "io/irp.h"
#include "ob/object.h"
#include "qv/io.h"
#include "qv/platform.h"
#include "verifier.h"

namespace qv {

namespace {

struct NameEntry {
    enum Kind { Device, Link, Driver } Type;
    std::u16string Name;    // as created
    std::u16string Target;  // links
    PDEVICE_OBJECT DeviceObject = nullptr;
};

struct Interface {
    GUID Class;
    PDEVICE_OBJECT Pdo;
    std::u16string Link;
    bool Enabled;
};

// The I/O database lock: the namespace, interfaces, driver device lists and stack links.
// A leaf lock, never held while driver code runs.
RecordLock gDbLock;
std::map<std::u16string, NameEntry> gNames;  // by upcased name
std::vector<Interface> gInterfaces;
std::vector<PDRIVER_OBJECT> gDrivers;
ULONG gAutoName;

struct DriverBody {
    DRIVER_OBJECT Driver;
    DRIVER_EXTENSION Extension;
    WCHAR Strings[1];  // driver name, then the service key path
};

std::set<PDEVICE_OBJECT> gDevices;  // device objects not freed yet; under gDbLock

void DeviceDelete(void *body)
{
    auto *device = static_cast<PDEVICE_OBJECT>(body);
    delete IoDevicePrivate(device);
    device->DeviceObjectExtension = nullptr;
    std::lock_guard<RecordLock> guard(gDbLock);
    gDevices.erase(device);
}

void DriverDelete(void *) {}

_OBJECT_TYPE gDeviceType = {"Device", DeviceDelete, nullptr};
_OBJECT_TYPE gDriverType = {"Driver", DriverDelete, nullptr};

std::u16string NormalizeName(const std::u16string &name)
{
    static const std::u16string dos = u"\\DosDevices\\", global = u"\\GLOBAL??\\";
    if (UpcaseName(name.substr(0, dos.size())) == UpcaseName(dos)) return u"\\??\\" + name.substr(dos.size());
    if (UpcaseName(name.substr(0, global.size())) == UpcaseName(global)) return u"\\??\\" + name.substr(global.size());
    return name;
}

NTSTATUS InsertNameLocked(const NameEntry &entry)
{
    std::u16string key = UpcaseName(entry.Name);
    if (gNames.count(key)) return STATUS_OBJECT_NAME_COLLISION;
    gNames.emplace(key, entry);
    return STATUS_SUCCESS;
}

NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

std::u16string GuidText(const GUID &g)
{
    char buf[64];
    snprintf(buf, sizeof buf, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", (unsigned)g.Data1, g.Data2, g.Data3,
             g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return Utf16(buf);
}

NTSTATUS CopyToUnicodeString(const std::u16string &text, PUNICODE_STRING out)
{
    size_t bytes = (text.size() + 1) * sizeof(WCHAR);
    auto *buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes, 0x66496f49 /* "IoIf" */));
    if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
    memcpy(buffer, text.c_str(), bytes);
    out->Buffer = buffer;
    out->Length = (USHORT)(text.size() * sizeof(WCHAR));
    out->MaximumLength = (USHORT)bytes;
    return STATUS_SUCCESS;
}

void CheckPassive(const char *routine) { VerifyIrql(routine); }

}  // namespace

DeviceObjectPrivate *IoDevicePrivate(PDEVICE_OBJECT device)
{
    return static_cast<DeviceObjectPrivate *>(device->DeviceObjectExtension);
}

PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT device)
{
    std::lock_guard<RecordLock> guard(gDbLock);
    while (device->AttachedDevice) device = device->AttachedDevice;
    return device;
}

PDEVICE_OBJECT IoGetLowerDevice(PDEVICE_OBJECT device)
{
    std::lock_guard<RecordLock> guard(gDbLock);
    return IoDevicePrivate(device)->AttachedTo;
}

NTSTATUS IoLookupDevice(const std::u16string &nameIn, PDEVICE_OBJECT *device, std::u16string *remaining)
{
    std::u16string name = NormalizeName(nameIn);
    std::lock_guard<RecordLock> guard(gDbLock);
    for (int depth = 0; depth < 16; ++depth) {
        std::u16string up = UpcaseName(name);
        std::u16string rest;
        auto it = gNames.find(up);
        while (it == gNames.end()) {
            size_t cut = up.find_last_of(u'\\');
            if (cut == 0 || cut == std::u16string::npos) return STATUS_OBJECT_NAME_NOT_FOUND;
            rest = name.substr(cut) + rest;
            up.resize(cut);
            name.resize(cut);
            it = gNames.find(up);
        }
        const NameEntry &e = it->second;
        if (e.Type == NameEntry::Link) {
            name = NormalizeName(e.Target) + rest;
            continue;
        }
        if (e.Type != NameEntry::Device) return STATUS_OBJECT_TYPE_MISMATCH;
        ObfReferenceObject(e.DeviceObject);
        *device = e.DeviceObject;
        if (remaining) *remaining = rest;
        return STATUS_SUCCESS;
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;  // a loop of links
}

NTSTATUS IoCreateDriver(PCWSTR driverName, PDRIVER_INITIALIZE init, PDRIVER_OBJECT *out)
{
    std::u16string name = driverName ? driverName : u"";
    static const std::u16string prefix = u"\\Driver\\";
    if (UpcaseName(name.substr(0, prefix.size())) != UpcaseName(prefix) || name.size() == prefix.size())
        return STATUS_OBJECT_NAME_INVALID;
    std::u16string service = name.substr(prefix.size());
    std::u16string registryPath = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + service;
    size_t chars = name.size() + 1 + registryPath.size() + 1;
    auto *body = static_cast<DriverBody *>(ObCreateObject(&gDriverType, sizeof(DriverBody) + chars * sizeof(WCHAR)));
    if (!body) return STATUS_INSUFFICIENT_RESOURCES;
    PDRIVER_OBJECT driver = &body->Driver;
    driver->Type = 4;
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverExtension = &body->Extension;
    body->Extension.DriverObject = driver;
    WCHAR *names = body->Strings;
    memcpy(names, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
    WCHAR *path = names + name.size() + 1;
    memcpy(path, registryPath.c_str(), (registryPath.size() + 1) * sizeof(WCHAR));
    driver->DriverName.Buffer = names;
    driver->DriverName.Length = (USHORT)(name.size() * sizeof(WCHAR));
    driver->DriverName.MaximumLength = driver->DriverName.Length + sizeof(WCHAR);
    body->Extension.ServiceKeyName.Buffer = names + prefix.size();
    body->Extension.ServiceKeyName.Length = (USHORT)(service.size() * sizeof(WCHAR));
    body->Extension.ServiceKeyName.MaximumLength = body->Extension.ServiceKeyName.Length;
    driver->DriverInit = init;
    for (auto &f : driver->MajorFunction) f = InvalidDeviceRequest;
    {
        std::lock_guard<RecordLock> guard(gDbLock);
        NTSTATUS status = InsertNameLocked(NameEntry{NameEntry::Driver, name, u"", nullptr});
        if (!NT_SUCCESS(status)) {
            ObfDereferenceObject(body);
            return status;
        }
        gDrivers.push_back(driver);
    }
    HANDLE key;
    if (NT_SUCCESS(CmOpenKeyByPath(registryPath, true, false, &key))) ZwClose(key);
    UNICODE_STRING registry;
    registry.Buffer = path;
    registry.Length = (USHORT)(registryPath.size() * sizeof(WCHAR));
    registry.MaximumLength = registry.Length + sizeof(WCHAR);
    NTSTATUS status = init ? init(driver, &registry) : STATUS_SUCCESS;
    if (!NT_SUCCESS(status)) {
        {
            std::lock_guard<RecordLock> guard(gDbLock);
            gNames.erase(UpcaseName(name));
            gDrivers.erase(std::find(gDrivers.begin(), gDrivers.end(), driver));
        }
        if (driver->DeviceObject)
            VerifierViolation("IoCreateDriver", "driver entry of %s failed but left its devices", Utf8(name).c_str());
        else
            ObfDereferenceObject(body);
        return status;
    }
    *out = driver;
    return STATUS_SUCCESS;
}

void IoUnloadDriver(PDRIVER_OBJECT driver)
{
    std::string name = Utf8(FromUnicodeString(&driver->DriverName));
    if (driver->DriverUnload) driver->DriverUnload(driver);
    std::lock_guard<RecordLock> guard(gDbLock);
    gNames.erase(UpcaseName(FromUnicodeString(&driver->DriverName)));
    gDrivers.erase(std::find(gDrivers.begin(), gDrivers.end(), driver));
    if (driver->DeviceObject) {
        // Its devices keep pointing at it: keep the object.
        VerifierViolation("IoUnloadDriver", "driver %s unloaded with devices still present", name.c_str());
        return;
    }
    ObfDereferenceObject(driver);
}

void NamespaceShutdown(std::vector<std::string> &leaks)
{
    std::vector<PDRIVER_OBJECT> drivers;
    {
        std::lock_guard<RecordLock> guard(gDbLock);
        for (auto &entry : gNames)
            if (entry.second.Type == NameEntry::Device)
                leaks.push_back("io: device " + Utf8(entry.second.Name) + " was never deleted");
        for (PDRIVER_OBJECT d : gDrivers) {
            for (PDEVICE_OBJECT dev = d->DeviceObject; dev; dev = dev->NextDevice)
                if (IoDevicePrivate(dev)->Name.empty())
                    leaks.push_back("io: an unnamed device of " + Utf8(FromUnicodeString(&d->DriverName)) +
                                    " was never deleted");
            // Drivers still loaded at shutdown (the transport's) go without their unload routine;
            // their devices are reported above.
            if (!d->DeviceObject) drivers.push_back(d);
        }
        // Devices still referenced (by leaked files, say) go with the object manager's memory.
        for (PDEVICE_OBJECT dev : gDevices) {
            delete IoDevicePrivate(dev);
            dev->DeviceObjectExtension = nullptr;
        }
        gDevices.clear();
        gNames.clear();
        gInterfaces.clear();
        gDrivers.clear();
        gAutoName = 0;
    }
    for (PDRIVER_OBJECT d : drivers) ObfDereferenceObject(d);
}

// ---------------------------------------------------------------- harness listings

std::vector<std::string> ListNamedDevices()
{
    std::vector<std::string> out;
    std::lock_guard<RecordLock> guard(gDbLock);
    for (auto &entry : gNames)
        if (entry.second.Type == NameEntry::Device) out.push_back(Utf8(entry.second.Name));
    return out;
}

std::vector<std::pair<std::string, std::string>> ListSymbolicLinks()
{
    std::vector<std::pair<std::string, std::string>> out;
    std::lock_guard<RecordLock> guard(gDbLock);
    for (auto &entry : gNames)
        if (entry.second.Type == NameEntry::Link) out.emplace_back(Utf8(entry.second.Name), Utf8(entry.second.Target));
    return out;
}

std::string SymbolicLinkTarget(const std::string &link)
{
    std::lock_guard<RecordLock> guard(gDbLock);
    auto it = gNames.find(UpcaseName(NormalizeName(Utf16(link))));
    if (it == gNames.end() || it->second.Type != NameEntry::Link) return std::string();
    return Utf8(it->second.Target);
}

std::vector<std::string> ListEnabledInterfaces(const GUID &interfaceClass)
{
    std::vector<std::string> out;
    std::lock_guard<RecordLock> guard(gDbLock);
    for (auto &i : gInterfaces)
        if (i.Enabled && IsEqualGUID(&i.Class, &interfaceClass)) out.push_back(Utf8(i.Link));
    return out;
}

}  // namespace qv

using namespace qv;

// ---------------------------------------------------------------- device objects

extern "C" NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                                   ULONG DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                   PDEVICE_OBJECT *DeviceObject)
{
    CheckPassive("IoCreateDevice");
    std::u16string name = FromUnicodeString(DeviceName);
    size_t head = (sizeof(DEVICE_OBJECT) + 15) & ~(size_t)15;
    auto *device = static_cast<PDEVICE_OBJECT>(ObCreateObject(&gDeviceType, head + DeviceExtensionSize));
    if (!device) return STATUS_INSUFFICIENT_RESOURCES;
    auto *priv = new DeviceObjectPrivate;
    priv->Device = device;
    device->DeviceObjectExtension = priv;
    {
        std::unique_lock<RecordLock> guard(gDbLock);
        if (name.empty() && (DeviceCharacteristics & FILE_AUTOGENERATED_DEVICE_NAME)) {
            char buf[32];
            snprintf(buf, sizeof buf, "\\Device\\%08X", (unsigned)++gAutoName);
            name = Utf16(buf);
        }
        if (!name.empty()) {
            NTSTATUS status = InsertNameLocked(NameEntry{NameEntry::Device, name, u"", device});
            if (!NT_SUCCESS(status)) {
                guard.unlock();
                ObfDereferenceObject(device);
                return status;
            }
        }
        priv->Name = name;
        gDevices.insert(device);
        device->Type = 3;
        device->Size = (USHORT)(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
        device->DriverObject = DriverObject;
        device->Flags =
            DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0) | (name.empty() ? 0 : DO_DEVICE_HAS_NAME);
        device->Characteristics = DeviceCharacteristics & ~FILE_AUTOGENERATED_DEVICE_NAME;
        device->DeviceExtension = DeviceExtensionSize ? reinterpret_cast<PCHAR>(device) + head : nullptr;
        device->DeviceType = DeviceType;
        device->StackSize = 1;
        device->NextDevice = DriverObject->DeviceObject;
        DriverObject->DeviceObject = device;
    }
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

extern "C" void IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
    QV_VERIFY_IRQL("IoDeleteDevice");
    DeviceObjectPrivate *priv = IoDevicePrivate(DeviceObject);
    {
        std::lock_guard<RecordLock> guard(gDbLock);
        if (priv->Deleted) {
            VerifierViolation("IoDeleteDevice", "device %p deleted twice", DeviceObject);
            return;
        }
    }
    IoCheckPendingIrpsOnDelete(DeviceObject);
    std::unique_lock<RecordLock> guard(gDbLock);
    if (DeviceObject->AttachedDevice)
        VerifierWarning("IoDeleteDevice", "device %p deleted while device %p is still attached to it", DeviceObject,
                        DeviceObject->AttachedDevice);
    if (priv->AttachedTo)
        VerifierWarning("IoDeleteDevice", "device %p deleted without IoDetachDevice from %p", DeviceObject,
                        priv->AttachedTo);
    priv->Deleted = true;
    if (!priv->Name.empty()) gNames.erase(UpcaseName(priv->Name));
    for (auto it = gInterfaces.begin(); it != gInterfaces.end();) {
        if (it->Pdo == DeviceObject) {
            if (it->Enabled) gNames.erase(UpcaseName(it->Link));
            it = gInterfaces.erase(it);
        } else {
            ++it;
        }
    }
    PDEVICE_OBJECT *link = &DeviceObject->DriverObject->DeviceObject;
    while (*link && *link != DeviceObject) link = &(*link)->NextDevice;
    if (*link) *link = DeviceObject->NextDevice;
    DeviceObject->NextDevice = nullptr;
    guard.unlock();
    // Memory stays until the last reference (file objects, work items) is gone.
    ObfDereferenceObject(DeviceObject);
}

extern "C" PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice)
{
    QV_VERIFY_IRQL("IoAttachDeviceToDeviceStack");
    std::lock_guard<RecordLock> guard(gDbLock);
    PDEVICE_OBJECT top = TargetDevice;
    while (top->AttachedDevice) top = top->AttachedDevice;
    if (IoDevicePrivate(top)->Deleted) return nullptr;
    top->AttachedDevice = SourceDevice;
    IoDevicePrivate(SourceDevice)->AttachedTo = top;
    SourceDevice->StackSize = (CCHAR)(top->StackSize + 1);
    SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    return top;
}

extern "C" void IoDetachDevice(PDEVICE_OBJECT TargetDevice)
{
    QV_VERIFY_IRQL("IoDetachDevice");
    std::lock_guard<RecordLock> guard(gDbLock);
    PDEVICE_OBJECT upper = TargetDevice->AttachedDevice;
    if (!upper) {
        VerifierViolation("IoDetachDevice", "nothing is attached to device %p", TargetDevice);
        return;
    }
    IoDevicePrivate(upper)->AttachedTo = nullptr;
    TargetDevice->AttachedDevice = nullptr;
}

extern "C" PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject)
{
    QV_VERIFY_IRQL("IoGetAttachedDeviceReference");
    PDEVICE_OBJECT top = IoGetAttachedDevice(DeviceObject);
    ObfReferenceObject(top);
    return top;
}

// ---------------------------------------------------------------- symbolic links

extern "C" NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName)
{
    CheckPassive("IoCreateSymbolicLink");
    if (ShouldInjectFault("IoCreateSymbolicLink")) return STATUS_INSUFFICIENT_RESOURCES;
    std::u16string link = NormalizeName(FromUnicodeString(SymbolicLinkName));
    std::u16string target = FromUnicodeString(DeviceName);
    if (link.empty() || link[0] != u'\\' || target.empty()) return STATUS_OBJECT_NAME_INVALID;
    std::lock_guard<RecordLock> guard(gDbLock);
    return InsertNameLocked(NameEntry{NameEntry::Link, link, target, nullptr});
}

extern "C" NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName)
{
    CheckPassive("IoDeleteSymbolicLink");
    std::u16string key = UpcaseName(NormalizeName(FromUnicodeString(SymbolicLinkName)));
    std::lock_guard<RecordLock> guard(gDbLock);
    auto it = gNames.find(key);
    if (it == gNames.end() || it->second.Type != NameEntry::Link) return STATUS_OBJECT_NAME_NOT_FOUND;
    gNames.erase(it);
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------- device interfaces

extern "C" NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID *InterfaceClassGuid,
                                              PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName)
{
    CheckPassive("IoRegisterDeviceInterface");
    DeviceObjectPrivate *priv = IoDevicePrivate(PhysicalDeviceObject);
    if (!priv->Node) return STATUS_INVALID_DEVICE_REQUEST;  // not a physical device object
    std::u16string instance = Utf16(priv->Node->InstanceId);
    for (auto &c : instance)
        if (c == u'\\') c = u'#';
    std::u16string link = u"\\??\\" + instance + u"#" + GuidText(*InterfaceClassGuid);
    if (ReferenceString && ReferenceString->Length) link += u"\\" + FromUnicodeString(ReferenceString);
    {
        std::lock_guard<RecordLock> guard(gDbLock);
        bool known = false;
        for (auto &i : gInterfaces)
            if (UpcaseName(i.Link) == UpcaseName(link)) known = true;
        if (!known) gInterfaces.push_back(Interface{*InterfaceClassGuid, PhysicalDeviceObject, link, false});
    }
    return CopyToUnicodeString(link, SymbolicLinkName);
}

extern "C" NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable)
{
    CheckPassive("IoSetDeviceInterfaceState");
    std::u16string key = UpcaseName(FromUnicodeString(SymbolicLinkName));
    std::lock_guard<RecordLock> guard(gDbLock);
    for (auto &i : gInterfaces) {
        if (UpcaseName(i.Link) != key) continue;
        if (Enable) {
            if (i.Enabled) return STATUS_OBJECT_NAME_EXISTS;
            // The interface's link names the device, stripped of its reference string.
            std::u16string target = IoDevicePrivate(i.Pdo)->Name;
            NTSTATUS status = InsertNameLocked(NameEntry{NameEntry::Link, i.Link, target, nullptr});
            if (!NT_SUCCESS(status)) return status;
            i.Enabled = true;
        } else {
            if (!i.Enabled) return STATUS_OBJECT_NAME_NOT_FOUND;
            gNames.erase(UpcaseName(i.Link));
            i.Enabled = false;
        }
        return STATUS_SUCCESS;
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}
