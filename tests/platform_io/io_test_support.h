// Small test drivers for the I/O manager tests: a driver whose dispatch routines are set per
// test, devices whose behaviour lives in a TestDevice, and helpers to build names.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "io/iomgr.h"
#include "platform_test.h"
#include "wdm.h"

namespace iotest {

using Handler = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

// Behaviour of one test device; its extension points here.
struct TestDevice {
    Handler Handlers[IRP_MJ_MAXIMUM_FUNCTION + 1];
    PDEVICE_OBJECT Self = nullptr;
    PDEVICE_OBJECT Lower = nullptr;  // the device below, when attached
    std::atomic<int> Creates{0}, Cleanups{0}, Closes{0};
};

struct TestExtension {
    TestDevice *Behaviour;
    ULONG Marker;
    KTIMER Timer;  // for tests of what a device may not take with it when deleted
};

inline TestDevice *BehaviourOf(PDEVICE_OBJECT device)
{
    return static_cast<TestExtension *>(device->DeviceExtension)->Behaviour;
}

inline NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// UNICODE_STRING over an owned UTF-16 copy.
struct Name {
    std::u16string Text;
    UNICODE_STRING String;
    explicit Name(const std::u16string &text) : Text(text)
    {
        String.Buffer = Text.data();
        String.Length = (USHORT)(Text.size() * sizeof(WCHAR));
        String.MaximumLength = String.Length;
    }
    Name(const Name &) = delete;
    PUNICODE_STRING operator&() { return &String; }
};

// A fixture that loads test drivers and removes their devices and the drivers at the end.
class IoTest : public qvtest::PlatformTest {
protected:
    // Majors the next loaded driver handles (bit per IRP_MJ_*); the rest stay unset.
    static constexpr ULONG kAllMajors = 0x0FFFFFFF;
    PDRIVER_OBJECT LoadDriver(const std::u16string &name, ULONG majors = kAllMajors);
    // A device of `driver` with `behaviour`; DO_DEVICE_INITIALIZING cleared unless `initializing`.
    PDEVICE_OBJECT CreateDevice(PDRIVER_OBJECT driver, const std::u16string &name, TestDevice &behaviour,
                                ULONG flags = DO_BUFFERED_IO | DO_POWER_PAGABLE, bool initializing = false);
    // Attaches `upper` over the stack of `lower` (records Lower for pass-down handlers).
    void Attach(PDEVICE_OBJECT upper, PDEVICE_OBJECT lower);
    // Deletes a device now (detaching it first), instead of at the end of the test.
    void DeleteDevice(PDEVICE_OBJECT device);
    void TearDown() override;
    // Removes the test devices and drivers, then reboots on the same state directory.
    void RebootWithoutDrivers();

    // Standard handlers.
    static Handler Succeed(TestDevice &counters, UCHAR major);
    static Handler PassDown();

private:
    void RemoveAll();
    // Test devices and the device each is attached to; the TestDevice objects may be gone by
    // TearDown, so nothing here reads them.
    std::vector<std::pair<PDEVICE_OBJECT, PDEVICE_OBJECT>> devices_;
    std::vector<PDRIVER_OBJECT> drivers_;
};

}  // namespace iotest
