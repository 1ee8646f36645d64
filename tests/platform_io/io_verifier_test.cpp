// The I/O manager's verifier checks, each provoked by a deliberately wrong driver.
#include <functional>
#include <thread>

#include "io_test_support.h"
#include "overlapped.h"
#include "qv/io.h"
#include "qv/win32.h"

using namespace iotest;

namespace {

// Every test here breaks an I/O rule on purpose.
class IoVerifierTest : public IoTest {
    qv::ExpectedVerifierFindings expected_;

protected:
    // The wrong driver's device; each test sets the handlers it breaks a rule in.
    void SetUp() override
    {
        IoTest::SetUp();
        for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE})
            device.Handlers[major] = Succeed(device, major);
        dev = CreateDevice(LoadDriver(u"\\Driver\\QvWrong"), u"\\Device\\QvWrong", device);
    }
    HANDLE OpenDevice(bool overlapped = false)
    {
        HANDLE h = CreateFileW(u"\\Device\\QvWrong", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
        EXPECT_NE(h, INVALID_HANDLE_VALUE);
        return h;
    }

    // A handler that keeps its request pending in `kept`, marked pending or (wrongly) not.
    Handler Keep(bool mark = true)
    {
        return [this, mark](PDEVICE_OBJECT, PIRP irp) {
            if (mark) IoMarkIrpPending(irp);
            kept = irp;
            return STATUS_PENDING;
        };
    }

    TestDevice device;
    PDEVICE_OBJECT dev = nullptr;
    std::atomic<PIRP> kept{nullptr};
};

void NoCancel(PDEVICE_OBJECT, PIRP irp) { IoReleaseCancelSpinLock(irp->CancelIrql); }

TEST_F(IoVerifierTest, AnIrpCompletedTwiceIsReported)
{
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
    device.Handlers[IRP_MJ_READ] = Keep(/*mark=*/false);
    HANDLE h = OpenDevice(/*overlapped=*/true);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    OVERLAPPED ov = {};
    char buffer[4];
    DWORD n;
    EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, &n, &ov));
    ExpectFinding("returned STATUS_PENDING for IRP");  // "... without IoMarkIrpPending"
    Complete(kept.load(), STATUS_SUCCESS, 0);
    EXPECT_TRUE(qvtest::OverlappedResult(h, &ov, &n));
    CloseHandle(h);

    // Marked properly, the same flow is quiet.
    device.Handlers[IRP_MJ_READ] = Keep();
    h = OpenDevice(/*overlapped=*/true);
    EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, &n, &ov));
    Complete(kept.load(), STATUS_SUCCESS, 0);
    EXPECT_TRUE(qvtest::OverlappedResult(h, &ov, &n));
    CloseHandle(h);
    EXPECT_TRUE(qv::VerifierFindings().empty());
}

TEST_F(IoVerifierTest, DeletingADeviceWithAPendingIrpIsReported)
{
    device.Handlers[IRP_MJ_READ] = Keep();
    HANDLE h = OpenDevice(/*overlapped=*/true);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    OVERLAPPED ov = {};
    char buffer[4];
    DWORD n;
    EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, &n, &ov));
    DeleteDevice(dev);
    ExpectFinding("still pending");
    Complete(kept.load(), STATUS_CANCELLED, 0);
    EXPECT_FALSE(qvtest::OverlappedResult(h, &ov, &n));
    CloseHandle(h);
}

TEST_F(IoVerifierTest, DeletingADeviceWhoseExtensionHoldsAnArmedTimerIsReported)
{
    auto *ext = static_cast<TestExtension *>(dev->DeviceExtension);
    KeInitializeTimer(&ext->Timer);
    KeSetTimer(&ext->Timer, qvtest::Due(qvtest::RelativeMs(3600 * 1000)), nullptr);
    DeleteDevice(dev);
    ExpectFinding("freed while it holds an armed timer");
}

TEST_F(IoVerifierTest, CompletingWithACancelRoutineSetOrUnderASpinLockIsReported)
{
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

namespace {

// A control request built with IoBuildDeviceIoControlRequest finishes through a special kernel
// APC to the thread that built it. Waiting for its event where that APC cannot run (APC_LEVEL,
// a guarded region) hangs on Windows; a kernel mutex blocks only normal APCs and is fine.
TEST_F(IoVerifierTest, WaitingForAnApcCompletedRequestWhereApcsCannotRunIsReported)
{
    PDEVICE_OBJECT target = dev;
    device.Handlers[IRP_MJ_DEVICE_CONTROL] = Keep();
    auto issueAndWait = [&](const std::function<void()> &enter, const std::function<void()> &leave) {
        KEVENT done;
        IO_STATUS_BLOCK iosb = {};
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(0x00220003, target, nullptr, 0, nullptr, 0, FALSE, &done, &iosb);
        ASSERT_NE(irp, nullptr);
        enter();
        ASSERT_EQ(IoCallDriver(target, irp), STATUS_PENDING);
        std::thread completer([&] {
            qvtest::WaitUntil([&] { return qv::WaitersOn(&done) == 1; });
            Complete(kept.exchange(nullptr), STATUS_SUCCESS);
        });
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        completer.join();
        leave();
        EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    };

    FAST_MUTEX fastMutex;
    ExInitializeFastMutex(&fastMutex);
    issueAndWait([&] { ExAcquireFastMutex(&fastMutex); }, [&] { ExReleaseFastMutex(&fastMutex); });
    ExpectFinding("the APC cannot run, so the wait would never end");

    issueAndWait([] { KeEnterGuardedRegion(); }, [] { KeLeaveGuardedRegion(); });
    ExpectFinding("in a guarded region");

    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    issueAndWait([&] { KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr); },
                 [&] { KeReleaseMutex(&mutex, FALSE); });
    issueAndWait([] { KeEnterCriticalRegion(); }, [] { KeLeaveCriticalRegion(); });
    EXPECT_TRUE(qv::VerifierFindings().empty());
}

void Idle(PVOID) {}

// A handle made without OBJ_KERNEL_HANDLE in a program's context (a dispatch routine of its
// request) belongs to that program: kernel-mode use of it, and any use from the system's
// context, are reported.
TEST_F(IoVerifierTest, AProgramsHandleUsedAsAKernelHandleIsReported)
{
    qv::ProgramContext *program = qv::CreateProgram("caller");
    HANDLE userHandle, kernelHandle;
    PVOID object;
    {
        qv::ProgramScope scope(program);
        ASSERT_EQ(PsCreateSystemThread(&userHandle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, Idle, nullptr),
                  STATUS_SUCCESS);
        ASSERT_EQ(ObReferenceObjectByHandle(userHandle, 0, *PsThreadType, KernelMode, &object, nullptr),
                  STATUS_SUCCESS);
        ExpectFinding("user-mode handle");  // "... of caller referenced as a kernel handle"
        ObDereferenceObject(object);

        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
        ASSERT_EQ(PsCreateSystemThread(&kernelHandle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr, Idle, nullptr),
                  STATUS_SUCCESS);
    }
    // From the system's context (a system thread, a work item) only the kernel handle means anything.
    EXPECT_EQ(ObReferenceObjectByHandle(userHandle, 0, *PsThreadType, KernelMode, &object, nullptr),
              STATUS_INVALID_HANDLE);
    ExpectFinding("belongs to caller but is used in the context of System");
    ASSERT_EQ(ObReferenceObjectByHandle(kernelHandle, 0, *PsThreadType, KernelMode, &object, nullptr), STATUS_SUCCESS);
    ObDereferenceObject(object);
    EXPECT_EQ(ZwClose(kernelHandle), STATUS_SUCCESS);
    EXPECT_TRUE(qv::VerifierFindings().empty());
    qv::ProgramScope scope(program);
    EXPECT_EQ(ZwClose(userHandle), STATUS_SUCCESS);
}

// A dispatch routine that marks its IRP pending must return STATUS_PENDING, and must return at
// the IRQL it was called at, with no spin lock held.
TEST_F(IoVerifierTest, DispatchReturnsThatBreakTheContractAreReported)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    device.Handlers[IRP_MJ_WRITE] = [](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        return Complete(irp, STATUS_SUCCESS, 1);
    };
    device.Handlers[IRP_MJ_FLUSH_BUFFERS] = [&](PDEVICE_OBJECT, PIRP irp) {
        Complete(irp, STATUS_SUCCESS);
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        return STATUS_SUCCESS;
    };
    HANDLE h = OpenDevice();
    DWORD n;
    EXPECT_TRUE(WriteFile(h, "x", 1, &n, nullptr));
    ExpectFinding("marked IRP");  // "... pending (IoMarkIrpPending) but returned 0x00000000"
    EXPECT_TRUE(FlushFileBuffers(h));
    KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
    ExpectFinding("returned at IRQL 2 holding 1 spin lock(s); it was called at IRQL 0 holding 0");
    CloseHandle(h);
}

}  // namespace
