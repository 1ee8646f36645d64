// Device nodes, stacks with filters, removal and power flows, persistence and WMILIB, driven
// through test drivers that pass everything down and record what reaches them.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "platform_test.h"
#include "qv/io.h"
#include "qv/pnp.h"
#include "qv/registry.h"
#include "wmilib.h"

namespace {

std::mutex gLogLock;
std::vector<std::string> gLog;  // "<driver> <major> <minor>"
std::atomic<bool> gRefuseQueryRemove{false}, gRefuseQueryPower{false};
std::atomic<int> gUnloads{0}, gDataBlockQueries{0};
std::atomic<int> gPowerAbovePassive{0};  // power requests that reached a pageable device above PASSIVE_LEVEL
// What the function device does at its removal: queue a slow work item, or keep a reference.
std::atomic<bool> gWorkAtRemove{false}, gReferenceAtRemove{false};
std::atomic<int> gWorkRun{0};

void NTAPI SlowWork(PDEVICE_OBJECT, PVOID context)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ++gWorkRun;
    IoFreeWorkItem(static_cast<PIO_WORKITEM>(context));
}

void Log(const char *driver, PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    std::lock_guard<std::mutex> guard(gLogLock);
    gLog.push_back(std::string(driver) + " " + std::to_string(sp->MajorFunction) + " " +
                   std::to_string(sp->MinorFunction));
}

struct TestExtension {
    PDEVICE_OBJECT Lower;
    const char *Name;
    WMILIB_CONTEXT Wmi;
};

const GUID kBlock = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
WMIGUIDREGINFO gGuids[] = {{&kBlock, 1, 0}};

NTSTATUS NTAPI QueryBlock(PDEVICE_OBJECT device, PIRP irp, ULONG, ULONG, ULONG, PULONG, ULONG avail, PUCHAR buffer)
{
    ++gDataBlockQueries;
    if (avail < 4) return WmiCompleteRequest(device, irp, STATUS_BUFFER_TOO_SMALL, 4, IO_NO_INCREMENT);
    buffer[0] = 0x5A;
    return WmiCompleteRequest(device, irp, STATUS_SUCCESS, 4, IO_NO_INCREMENT);
}

NTSTATUS Pass(PDEVICE_OBJECT device, PIRP irp)
{
    auto *ext = (TestExtension *)device->DeviceExtension;
    Log(ext->Name, irp);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (sp->MajorFunction == IRP_MJ_POWER) {
        if (KeGetCurrentIrql() != PASSIVE_LEVEL) ++gPowerAbovePassive;
        if (sp->MinorFunction == IRP_MN_QUERY_POWER && gRefuseQueryPower) {
            PoStartNextPowerIrp(irp);
            irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_UNSUCCESSFUL;
        }
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(ext->Lower, irp);
    }
    if (sp->MajorFunction == IRP_MJ_SYSTEM_CONTROL) {
        SYSCTL_IRP_DISPOSITION disposition;
        NTSTATUS status = WmiSystemControl(&ext->Wmi, device, irp, &disposition);
        if (disposition == IrpProcessed) return status;
        if (disposition == IrpNotCompleted) {
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return status;
        }
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(ext->Lower, irp);
    }
    if (sp->MinorFunction == IRP_MN_QUERY_REMOVE_DEVICE && gRefuseQueryRemove && !strcmp(ext->Name, "function")) {
        irp->IoStatus.Status = STATUS_DEVICE_BUSY;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_DEVICE_BUSY;
    }
    if (sp->MinorFunction == IRP_MN_REMOVE_DEVICE) {
        if (!strcmp(ext->Name, "function") && gWorkAtRemove) {
            PIO_WORKITEM item = IoAllocateWorkItem(device);
            IoQueueWorkItem(item, SlowWork, DelayedWorkQueue, item);
        }
        if (!strcmp(ext->Name, "function") && gReferenceAtRemove) ObReferenceObject(device);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IoCallDriver(ext->Lower, irp);
        IoDetachDevice(ext->Lower);
        IoDeleteDevice(device);
        return status;
    }
    if (sp->MinorFunction == IRP_MN_START_DEVICE || sp->MinorFunction == IRP_MN_QUERY_STOP_DEVICE ||
        sp->MinorFunction == IRP_MN_STOP_DEVICE || sp->MinorFunction == IRP_MN_QUERY_REMOVE_DEVICE ||
        sp->MinorFunction == IRP_MN_SURPRISE_REMOVAL)
        irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ext->Lower, irp);
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo, const char *name)
{
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(driver, sizeof(TestExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    auto *ext = (TestExtension *)device->DeviceExtension;
    *ext = TestExtension{};
    ext->Name = name;
    if (!strcmp(name, "function")) {
        ext->Wmi.GuidCount = 1;
        ext->Wmi.GuidList = gGuids;
        ext->Wmi.QueryWmiDataBlock = QueryBlock;
    }
    ext->Lower = IoAttachDeviceToDeviceStack(device, pdo);
    device->Flags |= DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI AddFunction(PDRIVER_OBJECT d, PDEVICE_OBJECT p) { return AddDevice(d, p, "function"); }
NTSTATUS NTAPI AddUpper(PDRIVER_OBJECT d, PDEVICE_OBJECT p) { return AddDevice(d, p, "upper"); }
void NTAPI Unload(PDRIVER_OBJECT) { ++gUnloads; }

NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING, PDRIVER_ADD_DEVICE add)
{
    for (UCHAR major : {IRP_MJ_PNP, IRP_MJ_POWER, IRP_MJ_SYSTEM_CONTROL}) driver->MajorFunction[major] = Pass;
    driver->DriverExtension->AddDevice = add;
    driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}
NTSTATUS NTAPI FunctionEntry(PDRIVER_OBJECT d, PUNICODE_STRING p) { return Entry(d, p, AddFunction); }
NTSTATUS NTAPI UpperEntry(PDRIVER_OBJECT d, PUNICODE_STRING p) { return Entry(d, p, AddUpper); }

class PnpManager : public qvtest::PlatformTest {
protected:
    void SetUp() override
    {
        PlatformTest::SetUp();
        qv::PnpRegisterDriver("TestFunction", FunctionEntry);
        qv::PnpRegisterDriver("TestUpper", UpperEntry);
        gRefuseQueryRemove = false;
        gRefuseQueryPower = false;
        gPowerAbovePassive = 0;
        gWorkAtRemove = gReferenceAtRemove = false;
        gWorkRun = 0;
        gUnloads = 0;
        std::lock_guard<std::mutex> guard(gLogLock);
        gLog.clear();
    }
    std::string Add(qv::PnpNodeOptions options = qv::PnpNodeOptions())
    {
        options.Service = "TestFunction";
        std::string id;
        EXPECT_EQ(qv::PnpCreatePortsNode(options, &id), STATUS_SUCCESS);
        return id;
    }
    std::vector<std::string> Logged()
    {
        std::lock_guard<std::mutex> guard(gLogLock);
        return gLog;
    }
};

TEST_F(PnpManager, StackHoldsRegisteredFiltersInOrderAndSkipsUnknownOnes)
{
    qv::ExpectedVerifierFindings expected;  // on purpose: an unregistered filter is warned of
    qv::PnpNodeOptions options;
    options.UpperFilters = {"TestUpper"};
    options.LowerFilters = {"NoSuchFilter"};
    std::string id = Add(options);
    qv::PnpNodeInfo info;
    ASSERT_TRUE(qv::PnpGetNode(id, &info));
    EXPECT_TRUE(info.Started);
    // The start went through the upper filter first, then the function driver.
    std::vector<std::string> log = Logged();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[0], "upper 27 0");
    EXPECT_EQ(log[1], "function 27 0");
    ExpectFinding("NoSuchFilter");
    auto loaded = qv::PnpLoadedDrivers();
    std::sort(loaded.begin(), loaded.end());
    EXPECT_EQ(loaded, (std::vector<std::string>{"TestFunction", "TestUpper"}));
    ASSERT_EQ(qv::PnpRemoveNode(id), STATUS_SUCCESS);
    EXPECT_TRUE(qv::PnpLoadedDrivers().empty());
    EXPECT_EQ(gUnloads.exchange(0), 2);
}

// At shutdown a removed device is a leak only if something still holds it once the system has
// done what the removals left to it: a work item queued at removal holds its device until it has
// run, a reference the driver took and forgot holds it for good.
TEST_F(PnpManager, RemovedDeviceHeldByItsWorkItemAtShutdownIsNoLeak)
{
    gWorkAtRemove = true;
    Add();
    qv::PlatformReport report = Shutdown();
    EXPECT_EQ(gWorkRun, 1);
    EXPECT_TRUE(report.Clean()) << report.Text();
}

TEST_F(PnpManager, RemovedDeviceStillReferencedAtShutdownIsALeak)
{
    gReferenceAtRemove = true;
    Add();
    qv::PlatformReport report = Shutdown();
    EXPECT_NE(report.Text().find("pnp: a removed device of TestFunction is still referenced"), std::string::npos)
        << report.Text();
}

TEST_F(PnpManager, RefusedQueryRemoveIsCancelledAndTheNodeStays)
{
    std::string id = Add();
    gRefuseQueryRemove = true;
    EXPECT_EQ(qv::PnpRemoveNode(id), STATUS_DEVICE_BUSY);
    std::vector<std::string> log = Logged();
    EXPECT_NE(std::find(log.begin(), log.end(), "function 27 3"), log.end());  // cancel-remove
    qv::PnpNodeInfo info;
    ASSERT_TRUE(qv::PnpGetNode(id, &info));
    EXPECT_TRUE(info.Started);
    gRefuseQueryRemove = false;
    EXPECT_EQ(qv::PnpRemoveNode(id), STATUS_SUCCESS);
    EXPECT_FALSE(qv::PnpGetNode(id, &info));
}

TEST_F(PnpManager, NodesAndNamesSurviveARebootAndStartAgain)
{
    std::string id = Add();
    qv::PnpNodeInfo info;
    ASSERT_TRUE(qv::PnpGetNode(id, &info));
    EXPECT_EQ(info.PortName, "COM1");
    EXPECT_EQ(info.HardwareId, "*QuorvelDevice");
    Reboot();
    ASSERT_TRUE(qv::PnpGetNode(id, &info));
    EXPECT_FALSE(info.HasDevice);
    qv::PnpStartPersistedNodes();
    ASSERT_TRUE(qv::PnpGetNode(id, &info));
    EXPECT_TRUE(info.Started);
    // Its name is still claimed.
    std::string second = Add();
    ASSERT_TRUE(qv::PnpGetNode(second, &info));
    EXPECT_EQ(info.PortName, "COM2");
}

TEST_F(PnpManager, RefusedSystemQueryKeepsTheWorkingState)
{
    std::string id = Add();
    gRefuseQueryPower = true;
    EXPECT_EQ(qv::PnpSetSystemPower(PowerSystemSleeping3), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(qv::PnpSystemPowerState(), PowerSystemWorking);
    gRefuseQueryPower = false;
    EXPECT_EQ(qv::PnpSetSystemPower(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(qv::PnpSetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
    std::vector<std::string> bus = qv::PnpBusRequests(id);
    // Query and set for S3 (state 4), then the set back to S0 (state 1), all system requests.
    EXPECT_NE(std::find(bus.begin(), bus.end(), "POWER 3 0 4"), bus.end());
    EXPECT_NE(std::find(bus.begin(), bus.end(), "POWER 2 0 4"), bus.end());
    EXPECT_EQ(bus.back(), "POWER 2 0 1");
}

VOID NTAPI PowerDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK status)
{
    static_cast<std::atomic<NTSTATUS> *>(context)->store(status->Status);
}

// A device power request sent from DISPATCH_LEVEL (a completion routine's) reaches every
// DO_POWER_PAGABLE device of the stack at PASSIVE_LEVEL, later, from the power manager.
TEST_F(PnpManager, PowerRequestFromDispatchLevelReachesPageableDevicesAtPassiveLevel)
{
    std::string id = Add();
    PDEVICE_OBJECT pdo = qv::PnpPhysicalDevice(id);
    ASSERT_NE(pdo, nullptr);
    std::atomic<NTSTATUS> result{STATUS_PENDING};
    POWER_STATE state;
    state.DeviceState = PowerDeviceD0;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(PoRequestPowerIrp(pdo, IRP_MN_SET_POWER, state, PowerDone, &result, nullptr), STATUS_PENDING);
    KeLowerIrql(old);
    ASSERT_TRUE(qvtest::WaitUntil([&] { return result.load() != STATUS_PENDING; }));
    EXPECT_EQ(result.load(), STATUS_SUCCESS);
    EXPECT_EQ(gPowerAbovePassive.load(), 0);
    std::vector<std::string> log = Logged();
    EXPECT_NE(std::find(log.begin(), log.end(), "function 22 2"), log.end());
}

TEST_F(PnpManager, WmiLibraryDispositions)
{
    std::string id = Add();
    PDEVICE_OBJECT pdo = qv::PnpPhysicalDevice(id);
    ASSERT_NE(pdo, nullptr);
    PDEVICE_OBJECT function = pdo->AttachedDevice;
    UCHAR buffer[8] = {};
    // Addressed to the function device: its data block callback answers.
    qv::PnpRequestResult own = qv::PnpSendSystemControl(id, IRP_MN_QUERY_ALL_DATA, (ULONG_PTR)function, (PVOID)&kBlock,
                                                        buffer, sizeof(buffer));
    EXPECT_EQ(own.Status, STATUS_SUCCESS);
    EXPECT_EQ(own.Information, 4u);
    EXPECT_EQ(buffer[0], 0x5A);
    EXPECT_EQ(gDataBlockQueries.exchange(0), 1);
    // A block it does not have.
    GUID other = kBlock;
    other.Data1++;
    EXPECT_EQ(qv::PnpSendSystemControl(id, IRP_MN_QUERY_ALL_DATA, (ULONG_PTR)function, &other, buffer, 8).Status,
              (NTSTATUS)0xC0000295L);
    // For another device of the stack, or not a WMI minor function: handed down unchanged.
    size_t before = qv::PnpBusRequests(id).size();
    EXPECT_EQ(qv::PnpSendSystemControl(id, IRP_MN_QUERY_ALL_DATA, (ULONG_PTR)pdo).Status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(qv::PnpSendSystemControl(id, IRP_MN_REGINFO_EX, (ULONG_PTR)function).Status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(qv::PnpBusRequests(id).size(), before + 2);
    EXPECT_EQ(gDataBlockQueries.load(), 0);
}

TEST_F(PnpManager, CapabilitiesFromTheBus)
{
    std::string id = Add();
    DEVICE_CAPABILITIES caps = {};
    caps.Size = sizeof(caps);
    caps.Version = 1;
    qv::PnpRequestResult result = qv::PnpSendRequest(
        id, IRP_MN_QUERY_CAPABILITIES,
        [](PIO_STACK_LOCATION sp, void *c) {
            sp->Parameters.DeviceCapabilities.Capabilities = (PDEVICE_CAPABILITIES)c;
        },
        &caps);
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
    EXPECT_EQ(caps.DeviceState[PowerSystemSleeping3], PowerDeviceD3);
    EXPECT_EQ(caps.UINumber, 0xFFFFFFFFu);
    EXPECT_TRUE(caps.SurpriseRemovalOK);
}

}  // namespace
