// The I/O manager's verifier checks, each provoked by a deliberately wrong driver.
#include "io_test_support.h"
#include "qv/io.h"
#include "qv/win32.h"

using namespace iotest;

namespace {

class IoVerifierTest : public IoTest {
protected:
    PDEVICE_OBJECT MakeDevice(TestDevice &device)
    {
        device.Handlers[IRP_MJ_CREATE] = Succeed(device, IRP_MJ_CREATE);
        device.Handlers[IRP_MJ_CLEANUP] = Succeed(device, IRP_MJ_CLEANUP);
        device.Handlers[IRP_MJ_CLOSE] = Succeed(device, IRP_MJ_CLOSE);
        return CreateDevice(LoadDriver(u"\\Driver\\QvWrong"), u"\\Device\\QvWrong", device);
    }
    HANDLE OpenDevice()
    {
        HANDLE h =
            CreateFileW(u"\\Device\\QvWrong", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(h, INVALID_HANDLE_VALUE);
        return h;
    }
};

void NoCancel(PDEVICE_OBJECT, PIRP irp) { IoReleaseCancelSpinLock(irp->CancelIrql); }

TEST_F(IoVerifierTest, AnIrpCompletedTwiceIsReported)
{
    TestDevice device;
    MakeDevice(device);
    device.Handlers[IRP_MJ_WRITE] = [](PDEVICE_OBJECT, PIRP irp) {
        Complete(irp, STATUS_SUCCESS, 1);
        Complete(irp, STATUS_SUCCESS, 1);
        return STATUS_SUCCESS;
    };
    HANDLE h = OpenDevice();
    DWORD n;
    EXPECT_TRUE(WriteFile(h, "x", 1, &n, nullptr));
    ExpectFinding("completed twice");
    CloseHandle(h);
}

TEST_F(IoVerifierTest, ReturningPendingWithoutMarkingTheIrpIsReported)
{
    TestDevice device;
    MakeDevice(device);
    std::atomic<PIRP> kept{nullptr};
    device.Handlers[IRP_MJ_READ] = [&](PDEVICE_OBJECT, PIRP irp) {
        kept = irp;  // forgets IoMarkIrpPending
        return STATUS_PENDING;
    };
    HANDLE h =
        CreateFileW(u"\\Device\\QvWrong", GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    OVERLAPPED ov = {};
    char buffer[4];
    DWORD n;
    EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, &n, &ov));
    ExpectFinding("returned STATUS_PENDING for IRP");  // "... without IoMarkIrpPending"
    Complete(kept.load(), STATUS_SUCCESS, 0);
    EXPECT_TRUE(GetOverlappedResult(h, &ov, &n, TRUE));
    CloseHandle(h);

    // Marked properly, the same flow is quiet.
    device.Handlers[IRP_MJ_READ] = [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        kept = irp;
        return STATUS_PENDING;
    };
    h = CreateFileW(u"\\Device\\QvWrong", GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, &n, &ov));
    Complete(kept.load(), STATUS_SUCCESS, 0);
    EXPECT_TRUE(GetOverlappedResult(h, &ov, &n, TRUE));
    CloseHandle(h);
    EXPECT_TRUE(qv::VerifierFindings().empty());
}

TEST_F(IoVerifierTest, DeletingADeviceWithAPendingIrpIsReported)
{
    TestDevice device;
    PDEVICE_OBJECT dev = MakeDevice(device);
    std::atomic<PIRP> kept{nullptr};
    device.Handlers[IRP_MJ_READ] = [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        kept = irp;
        return STATUS_PENDING;
    };
    HANDLE h =
        CreateFileW(u"\\Device\\QvWrong", GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    OVERLAPPED ov = {};
    char buffer[4];
    DWORD n;
    EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, &n, &ov));
    DeleteDevice(dev);
    ExpectFinding("still pending");
    Complete(kept.load(), STATUS_CANCELLED, 0);
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, TRUE));
    CloseHandle(h);
}

TEST_F(IoVerifierTest, DeletingADeviceWhoseExtensionHoldsAnArmedTimerIsReported)
{
    TestDevice device;
    PDEVICE_OBJECT dev = MakeDevice(device);
    auto *ext = static_cast<TestExtension *>(dev->DeviceExtension);
    KeInitializeTimer(&ext->Timer);
    LARGE_INTEGER due;
    due.QuadPart = -10000000LL * 3600;
    KeSetTimer(&ext->Timer, due, nullptr);
    DeleteDevice(dev);
    ExpectFinding("freed while it holds an armed timer");
}

TEST_F(IoVerifierTest, CompletingWithACancelRoutineSetOrUnderASpinLockIsReported)
{
    TestDevice device;
    MakeDevice(device);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    device.Handlers[IRP_MJ_WRITE] = [](PDEVICE_OBJECT, PIRP irp) {
        IoSetCancelRoutine(irp, NoCancel);
        return Complete(irp, STATUS_SUCCESS, 1);
    };
    device.Handlers[IRP_MJ_FLUSH_BUFFERS] = [&lock](PDEVICE_OBJECT, PIRP irp) {
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        Complete(irp, STATUS_SUCCESS, 0);
        KeReleaseSpinLock(&lock, old);
        return STATUS_SUCCESS;
    };
    HANDLE h = OpenDevice();
    DWORD n;
    EXPECT_TRUE(WriteFile(h, "x", 1, &n, nullptr));
    ExpectFinding("cancel routine still set");
    EXPECT_TRUE(FlushFileBuffers(h));
    ExpectFinding("spin lock");
    CloseHandle(h);
}

TEST_F(IoVerifierTest, HandlesAndReferencesLeftAtShutdownAreReported)
{
    TestDevice device;
    MakeDevice(device);
    HANDLE h = OpenDevice();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    PIRP irp = IoAllocateIrp(1, FALSE);
    ASSERT_NE(irp, nullptr);
    qv::PlatformReport report = Shutdown();
    EXPECT_FALSE(report.Clean());
    std::string text = report.Text();
    EXPECT_NE(text.find("IRP"), std::string::npos) << text;
    EXPECT_NE(text.find("\\Device\\QvWrong"), std::string::npos) << text;
    EXPECT_NE(text.find("File"), std::string::npos) << text;
}

}  // namespace
