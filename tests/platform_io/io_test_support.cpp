#include "io_test_support.h"

#include <algorithm>

namespace iotest {

namespace {

ULONG gNextMajors;

NTSTATUS TestDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    TestDevice *b = BehaviourOf(device);
    UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    if (b->Handlers[major]) return b->Handlers[major](device, irp);
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS TestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major)
        if (gNextMajors & (1u << major)) driver->MajorFunction[major] = TestDispatch;
    return STATUS_SUCCESS;
}

}  // namespace

PDRIVER_OBJECT IoTest::LoadDriver(const std::u16string &name, ULONG majors)
{
    gNextMajors = majors;
    PDRIVER_OBJECT driver = nullptr;
    NTSTATUS status = qv::IoCreateDriver(name.c_str(), TestDriverEntry, &driver);
    EXPECT_EQ(status, STATUS_SUCCESS);
    if (driver) drivers_.push_back(driver);
    return driver;
}

PDEVICE_OBJECT IoTest::CreateDevice(PDRIVER_OBJECT driver, const std::u16string &name, TestDevice &behaviour,
                                    ULONG flags, bool initializing)
{
    Name deviceName(name);
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(TestExtension), name.empty() ? nullptr : &deviceName,
                                     FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    EXPECT_EQ(status, STATUS_SUCCESS);
    if (!device) return nullptr;
    auto *ext = static_cast<TestExtension *>(device->DeviceExtension);
    ext->Behaviour = &behaviour;
    ext->Marker = 0x51564456;
    behaviour.Self = device;
    device->Flags |= flags;
    if (!initializing) device->Flags &= ~DO_DEVICE_INITIALIZING;
    devices_.emplace_back(device, nullptr);
    return device;
}

void IoTest::Attach(PDEVICE_OBJECT upper, PDEVICE_OBJECT lower)
{
    PDEVICE_OBJECT below = IoAttachDeviceToDeviceStack(upper, lower);
    ASSERT_NE(below, nullptr);
    BehaviourOf(upper)->Lower = below;
    for (auto &d : devices_)
        if (d.first == upper) d.second = below;
}

void IoTest::DeleteDevice(PDEVICE_OBJECT device)
{
    auto it = std::find_if(devices_.begin(), devices_.end(), [&](auto &d) { return d.first == device; });
    ASSERT_NE(it, devices_.end());
    if (it->second) IoDetachDevice(it->second);
    devices_.erase(it);
    IoDeleteDevice(device);
}

void IoTest::RemoveAll()
{
    if (qv::PlatformIsBooted()) {
        while (!devices_.empty()) DeleteDevice(devices_.back().first);
        for (PDRIVER_OBJECT d : drivers_) qv::IoUnloadDriver(d);
    }
    devices_.clear();
    drivers_.clear();
}

void IoTest::RebootWithoutDrivers()
{
    RemoveAll();
    Reboot();
}

void IoTest::TearDown()
{
    RemoveAll();
    qvtest::PlatformTest::TearDown();
}

Handler IoTest::Succeed(TestDevice &counters, UCHAR major)
{
    return [&counters, major](PDEVICE_OBJECT, PIRP irp) {
        if (major == IRP_MJ_CREATE) counters.Creates++;
        if (major == IRP_MJ_CLEANUP) counters.Cleanups++;
        if (major == IRP_MJ_CLOSE) counters.Closes++;
        return Complete(irp, STATUS_SUCCESS);
    };
}

Handler IoTest::PassDown()
{
    return [](PDEVICE_OBJECT device, PIRP irp) {
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(BehaviourOf(device)->Lower, irp);
    };
}

}  // namespace iotest
