// Work items, MDLs, power requests, device interfaces and the registry keys of a device.
#include <sys/mman.h>

#include <thread>

#include "cm/cm.h"
#include "io_test_support.h"
#include "qv/io.h"
#include "qv/registry.h"
#include "qv/win32.h"

using namespace iotest;

namespace {

const GUID kComPortInterface = {0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

class ServicesTest : public IoTest {};

struct WorkState {
    KEVENT Release;  // the routine waits for it
    KEVENT Ran;
    std::atomic<int> Runs{0};
    KIRQL Irql = 0xFF;
    PDEVICE_OBJECT Device = nullptr;
    ULONG Marker = 0;
    PIO_WORKITEM Item = nullptr;
    std::thread::id Thread;
};

void WorkRoutine(PDEVICE_OBJECT device, PVOID context)
{
    auto *w = static_cast<WorkState *>(context);
    KeWaitForSingleObject(&w->Release, Executive, KernelMode, FALSE, nullptr);
    w->Irql = KeGetCurrentIrql();
    w->Device = device;
    w->Thread = std::this_thread::get_id();
    // The device may be deleted by now; its memory is still there.
    w->Marker = static_cast<TestExtension *>(device->DeviceExtension)->Marker;
    IoFreeWorkItem(w->Item);  // allowed from inside its own routine
    w->Runs++;
    KeSetEvent(&w->Ran, IO_NO_INCREMENT, FALSE);
}

TEST_F(ServicesTest, AWorkItemRunsAtPassiveLevelAndKeepsItsDeviceAlive)
{
    TestDevice port;
    PDEVICE_OBJECT device = CreateDevice(LoadDriver(u"\\Driver\\QvWork"), u"\\Device\\QvWork", port);
    WorkState w;
    KeInitializeEvent(&w.Release, NotificationEvent, FALSE);
    KeInitializeEvent(&w.Ran, NotificationEvent, FALSE);
    w.Item = IoAllocateWorkItem(device);
    ASSERT_NE(w.Item, nullptr);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);  // queued from DPC level, as a disconnect indication does
    IoQueueWorkItem(w.Item, WorkRoutine, DelayedWorkQueue, &w);
    KeLowerIrql(old);
    DeleteDevice(device);  // while the item is queued
    KeSetEvent(&w.Release, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&w.Ran, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(w.Runs.load(), 1);
    EXPECT_EQ(w.Irql, PASSIVE_LEVEL);
    EXPECT_EQ(w.Device, device);
    EXPECT_EQ(w.Marker, 0x51564456u);
    EXPECT_NE(w.Thread, std::this_thread::get_id());

    qv::InjectFault("IoAllocateWorkItem", 1);
    TestDevice other;
    PDEVICE_OBJECT second = CreateDevice(LoadDriver(u"\\Driver\\QvWork2"), u"", other);
    EXPECT_EQ(IoAllocateWorkItem(second), nullptr);
    PIO_WORKITEM item = IoAllocateWorkItem(second);
    ASSERT_NE(item, nullptr);
    IoFreeWorkItem(item);
}

// What MmProbeAndLockPages raised for `mdl`; STATUS_SUCCESS when it locked the pages.
NTSTATUS ProbeAndLock(PMDL mdl)
{
    NTSTATUS raised = STATUS_SUCCESS;
    __try {
        MmProbeAndLockPages(mdl, KernelMode, IoReadAccess);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        raised = GetExceptionCode();
    }
    return raised;
}

TEST_F(ServicesTest, ProbingAnMdlLocksAGoodBufferAndRaisesForABadOne)
{
    char buffer[100] = "payload";
    PMDL mdl = IoAllocateMdl(buffer + 1, 50, FALSE, FALSE, nullptr);
    ASSERT_NE(mdl, nullptr);
    EXPECT_EQ(MmGetMdlByteCount(mdl), 50u);
    EXPECT_EQ(MmGetMdlVirtualAddress(mdl), buffer + 1);
    EXPECT_EQ(ProbeAndLock(mdl), STATUS_SUCCESS);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), buffer + 1);
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);

    // A page the process cannot read.
    void *page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(page, MAP_FAILED);
    mdl = IoAllocateMdl(page, 16, FALSE, FALSE, nullptr);
    EXPECT_EQ(ProbeAndLock(mdl), STATUS_ACCESS_VIOLATION);
    EXPECT_FALSE(mdl->MdlFlags & MDL_PAGES_LOCKED);
    IoFreeMdl(mdl);
    munmap(page, 4096);

    // Injected: the n-th probe raises, the n-th allocation fails.
    mdl = IoAllocateMdl(buffer, 10, FALSE, FALSE, nullptr);
    qv::InjectFault("MmProbeAndLockPages", 1);
    EXPECT_EQ(ProbeAndLock(mdl), STATUS_ACCESS_VIOLATION);
    IoFreeMdl(mdl);
    qv::InjectFault("IoAllocateMdl", 2);
    PMDL first = IoAllocateMdl(buffer, 10, FALSE, FALSE, nullptr);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(IoAllocateMdl(buffer, 10, FALSE, FALSE, nullptr), nullptr);
    IoFreeMdl(first);
}

struct PowerSeen {
    std::atomic<int> Calls{0};
    UCHAR Minor = 0xFF;
    POWER_STATE State = {};
    NTSTATUS Status = STATUS_PENDING;
    PDEVICE_OBJECT Device = nullptr;
    KEVENT Done;
};

void PowerCallback(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID context, PIO_STATUS_BLOCK iosb)
{
    auto *seen = static_cast<PowerSeen *>(context);
    seen->Minor = minor;
    seen->State = state;
    seen->Status = iosb->Status;
    seen->Device = device;
    seen->Calls++;
    KeSetEvent(&seen->Done, IO_NO_INCREMENT, FALSE);
}

TEST_F(ServicesTest, PoRequestPowerIrpReachesTheStackAndCallsBack)
{
    PDEVICE_OBJECT pdo;
    ASSERT_EQ(qv::CreateTestPdo("ROOT\\PORTS\\0007", &pdo), STATUS_SUCCESS);
    TestDevice fdo;
    std::vector<std::pair<UCHAR, DEVICE_POWER_STATE>> received;
    fdo.Handlers[IRP_MJ_POWER] = [&](PDEVICE_OBJECT device, PIRP irp) {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        EXPECT_EQ(sp->Parameters.Power.Type, DevicePowerState);
        received.emplace_back(sp->MinorFunction, sp->Parameters.Power.State.DeviceState);
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(BehaviourOf(device)->Lower, irp);
    };
    PDEVICE_OBJECT function = CreateDevice(LoadDriver(u"\\Driver\\QvPower"), u"", fdo);
    Attach(function, pdo);

    for (UCHAR minor : {(UCHAR)IRP_MN_QUERY_POWER, (UCHAR)IRP_MN_SET_POWER}) {
        PowerSeen seen;
        KeInitializeEvent(&seen.Done, NotificationEvent, FALSE);
        POWER_STATE state;
        state.DeviceState = PowerDeviceD3;
        EXPECT_EQ(PoRequestPowerIrp(pdo, minor, state, PowerCallback, &seen, nullptr), STATUS_PENDING);
        KeWaitForSingleObject(&seen.Done, Executive, KernelMode, FALSE, nullptr);
        EXPECT_EQ(seen.Calls.load(), 1);
        EXPECT_EQ(seen.Minor, minor);
        EXPECT_EQ(seen.State.DeviceState, PowerDeviceD3);
        EXPECT_EQ(seen.Status, STATUS_SUCCESS);
        EXPECT_EQ(seen.Device, pdo);
    }
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[1], std::make_pair((UCHAR)IRP_MN_SET_POWER, PowerDeviceD3));
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    EXPECT_EQ(PoSetPowerState(pdo, DevicePowerState, d0).DeviceState, PowerDeviceD3);  // set by the bus driver

    // Without a callback (a queue asking for D0) the request still goes through.
    EXPECT_EQ(PoRequestPowerIrp(pdo, IRP_MN_SET_POWER, d0, nullptr, nullptr, nullptr), STATUS_PENDING);
    EXPECT_EQ(received.size(), 3u);
    DeleteDevice(function);
    qv::DeleteTestPdo(pdo);
    EXPECT_EQ(qv::OutstandingIrpCount(), 0u);
}

TEST_F(ServicesTest, DeviceInterfacesAreListedWhileEnabledAndLeadToTheStack)
{
    PDEVICE_OBJECT pdo;
    ASSERT_EQ(qv::CreateTestPdo("ROOT\\PORTS\\0000", &pdo), STATUS_SUCCESS);
    EXPECT_EQ(qv::CreateTestPdo("root\\ports\\0000", &pdo), STATUS_OBJECT_NAME_COLLISION);
    TestDevice fdo;
    fdo.Handlers[IRP_MJ_CREATE] = Succeed(fdo, IRP_MJ_CREATE);
    PDEVICE_OBJECT function = CreateDevice(LoadDriver(u"\\Driver\\QvIface"), u"", fdo);
    Attach(function, pdo);

    UNICODE_STRING link = {};
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kComPortInterface, nullptr, &link), STATUS_SUCCESS);
    std::u16string text(link.Buffer, link.Length / sizeof(WCHAR));
    EXPECT_EQ(text, u"\\??\\ROOT#PORTS#0000#{86e0d1e0-8089-11d0-9ce4-08003e301f73}");
    EXPECT_TRUE(qv::ListEnabledInterfaces(kComPortInterface).empty());
    UNICODE_STRING notRegistered = {};
    EXPECT_EQ(IoRegisterDeviceInterface(function, &kComPortInterface, nullptr, &notRegistered),
              STATUS_INVALID_DEVICE_REQUEST);  // only physical device objects have interfaces

    Name name(text);
    ASSERT_EQ(IoSetDeviceInterfaceState(&name, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&name, TRUE), STATUS_OBJECT_NAME_EXISTS);
    EXPECT_EQ(qv::ListEnabledInterfaces(kComPortInterface), std::vector<std::string>{qv::Utf8(text)});

    HANDLE h = CreateFileW(u"\\\\?\\ROOT#PORTS#0000#{86e0d1e0-8089-11d0-9ce4-08003e301f73}", GENERIC_READ, 0, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(fdo.Creates.load(), 1);  // the top of the physical device's stack
    CloseHandle(h);

    ASSERT_EQ(IoSetDeviceInterfaceState(&name, FALSE), STATUS_SUCCESS);
    EXPECT_TRUE(qv::ListEnabledInterfaces(kComPortInterface).empty());
    EXPECT_EQ(IoSetDeviceInterfaceState(&name, FALSE), STATUS_OBJECT_NAME_NOT_FOUND);
    RtlFreeUnicodeString(&link);
    DeleteDevice(function);
    qv::DeleteTestPdo(pdo);
}

TEST_F(ServicesTest, DeviceAndDriverKeysOfAPhysicalDeviceAreKeptAcrossRestarts)
{
    const UCHAR record[] = {0x0A, 0x00, 0x01, 0x01, 0x64, 0x00, 0x03, 0x00, 0x00, 0x00};
    const char16_t portName[] = u"COM11";
    for (int boot = 0; boot < 2; ++boot) {
        PDEVICE_OBJECT pdo;
        ASSERT_EQ(qv::CreateTestPdo("ROOT\\PORTS\\0003", &pdo), STATUS_SUCCESS);
        HANDLE deviceKey, driverKey;
        ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &deviceKey), STATUS_SUCCESS);
        ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &driverKey), STATUS_SUCCESS);
        Name portValue(u"PortName"), ethernet(u"ETHERNET2");
        if (boot == 0) {
            ASSERT_EQ(ZwSetValueKey(deviceKey, &portValue, 0, REG_SZ, (PVOID)portName, sizeof portName),
                      STATUS_SUCCESS);
            ASSERT_EQ(ZwSetValueKey(driverKey, &ethernet, 0, REG_BINARY, (PVOID)record, sizeof record), STATUS_SUCCESS);
        } else {
            UCHAR buffer[64];
            ULONG result;
            ASSERT_EQ(ZwQueryValueKey(driverKey, &ethernet, KeyValuePartialInformation, buffer, sizeof buffer, &result),
                      STATUS_SUCCESS);
            auto *info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
            EXPECT_EQ(info->DataLength, sizeof record);
            EXPECT_EQ(memcmp(info->Data, record, sizeof record), 0);
            std::string name;
            EXPECT_TRUE(qv::RegistryReadString(
                "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\ROOT\\PORTS\\0003\\Device Parameters",
                "PortName", &name));
            EXPECT_EQ(name, "COM11");
        }
        ZwClose(deviceKey);
        ZwClose(driverKey);
        std::vector<std::string> classKeys = qv::RegistrySubkeys(
            "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E978-E325-11CE-BFC1-08002BE10318}");
        EXPECT_EQ(classKeys, std::vector<std::string>{"0000"});
        // Only physical device objects have these keys.
        TestDevice other;
        PDEVICE_OBJECT plain = CreateDevice(LoadDriver(boot ? u"\\Driver\\QvKeys1" : u"\\Driver\\QvKeys0"), u"", other);
        HANDLE none;
        EXPECT_EQ(IoOpenDeviceRegistryKey(plain, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &none),
                  STATUS_INVALID_DEVICE_REQUEST);
        DeleteDevice(plain);
        qv::DeleteTestPdo(pdo);
        if (boot == 0) RebootWithoutDrivers();
    }
}

}  // namespace
