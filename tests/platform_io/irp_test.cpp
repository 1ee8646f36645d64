// IRPs down a device stack: completion order, handing an IRP back, invoke flags, pending
// propagation, and cancellation racing completion.
#include <atomic>
#include <thread>

#include "io_test_support.h"
#include "overlapped.h"
#include "qv/io.h"
#include "qv/win32.h"

using namespace iotest;

namespace {

constexpr ULONG kIoctlEcho = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);

class IrpTest : public IoTest {};

struct Trace {
    std::mutex Lock;
    std::vector<std::string> Events;
    void Add(const std::string &e)
    {
        std::lock_guard<std::mutex> guard(Lock);
        Events.push_back(e);
    }
};

struct FilterContext {
    Trace *Log;
    std::string Name;
    bool HandBack = false;  // return STATUS_MORE_PROCESSING_REQUIRED and keep the IRP
    PIRP Kept = nullptr;
    bool SawPendingReturned = false;
};

NTSTATUS FilterCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    auto *f = static_cast<FilterContext *>(context);
    f->Log->Add(f->Name);
    f->SawPendingReturned = irp->PendingReturned;
    if (f->HandBack) {
        f->HandBack = false;
        f->Kept = irp;
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
}

Handler FilterWithCompletion(FilterContext &f)
{
    return [&f](PDEVICE_OBJECT device, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, FilterCompletion, &f, TRUE, TRUE, TRUE);
        return IoCallDriver(BehaviourOf(device)->Lower, irp);
    };
}

TEST_F(IrpTest, CompletionRoutinesRunBottomUpAndMoreProcessingHandsTheIrpBack)
{
    Trace log;
    TestDevice function, lowerFilter, upperFilter;
    function.Handlers[IRP_MJ_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
        log.Add("function");
        auto *buffer = static_cast<UCHAR *>(irp->AssociatedIrp.SystemBuffer);
        buffer[0] = (UCHAR)(buffer[0] + 1);
        return Complete(irp, STATUS_SUCCESS, 1);
    };
    FilterContext lower{&log, "lower filter"}, upper{&log, "upper filter"};
    lowerFilter.Handlers[IRP_MJ_DEVICE_CONTROL] = FilterWithCompletion(lower);
    upperFilter.Handlers[IRP_MJ_DEVICE_CONTROL] = FilterWithCompletion(upper);

    PDEVICE_OBJECT fdo = CreateDevice(LoadDriver(u"\\Driver\\QvFunction"), u"\\Device\\QvFunction", function);
    PDRIVER_OBJECT filters = LoadDriver(u"\\Driver\\QvFilter");
    Attach(CreateDevice(filters, u"", lowerFilter), fdo);
    Attach(CreateDevice(filters, u"", upperFilter), fdo);
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(fdo);
    EXPECT_EQ(top, upperFilter.Self);
    EXPECT_EQ(top->StackSize, 3);

    for (int round = 0; round < 2; ++round) {
        log.Events.clear();
        lower.HandBack = round == 1;
        UCHAR in = 41, out = 0;
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb = {};
        PIRP irp = IoBuildDeviceIoControlRequest(kIoctlEcho, top, &in, 1, &out, 1, FALSE, &done, &iosb);
        ASSERT_NE(irp, nullptr);
        NTSTATUS status = IoCallDriver(top, irp);
        if (round == 0) {
            EXPECT_EQ(status, STATUS_SUCCESS);
            EXPECT_EQ(log.Events, (std::vector<std::string>{"function", "lower filter", "upper filter"}));
        } else {
            // The lower filter kept the IRP: the upper filter has not seen it, the caller not either.
            EXPECT_EQ(log.Events, (std::vector<std::string>{"function", "lower filter"}));
            EXPECT_EQ(KeReadStateEvent(&done), 0);
            ASSERT_EQ(lower.Kept, irp);
            irp->IoStatus.Information = 1;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            EXPECT_EQ(log.Events.back(), "upper filter");
        }
        ASSERT_EQ(KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
        EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
        EXPECT_EQ(iosb.Information, 1u);
        EXPECT_EQ(out, 42);  // buffered output copied back
    }
    ObDereferenceObject(top);
    EXPECT_EQ(qv::OutstandingIrpCount(), 0u);
}

TEST_F(IrpTest, CompletionRoutinesAreCalledOnlyForTheOutcomesTheyAskFor)
{
    qv::ExpectedVerifierFindings expected;  // on purpose: an IRP completed to the top of its own stack
    struct Case {
        NTSTATUS Status;
        bool Cancel;
        BOOLEAN OnSuccess, OnError, OnCancel;
        bool Called;
    } cases[] = {
        {STATUS_SUCCESS, false, TRUE, FALSE, FALSE, true},
        {STATUS_SUCCESS, false, FALSE, TRUE, TRUE, false},
        {STATUS_TIMEOUT, false, TRUE, FALSE, FALSE, true},  // a success code
        {STATUS_INVALID_PARAMETER, false, FALSE, TRUE, FALSE, true},
        {STATUS_INVALID_PARAMETER, false, TRUE, FALSE, TRUE, false},
        {STATUS_CANCELLED, true, FALSE, FALSE, TRUE, true},
    };
    TestDevice device;
    PDEVICE_OBJECT dev = CreateDevice(LoadDriver(u"\\Driver\\QvFlags"), u"", device);
    qv::InjectFault("IoAllocateIrp", 1);
    EXPECT_EQ(IoAllocateIrp(dev->StackSize, FALSE), nullptr);
    // One IRP for every case, reused as a transport client reuses its pool.
    PIRP irp = IoAllocateIrp(dev->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    for (const Case &c : cases) {
        device.Handlers[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
            if (c.Cancel) irp->Cancel = TRUE;
            return Complete(irp, c.Status);
        };
        IoReuseIrp(irp, STATUS_SUCCESS);
        EXPECT_FALSE(irp->Cancel);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        struct Seen {
            bool Called = false;
        } seen;
        IoSetCompletionRoutine(
            irp,
            [](PDEVICE_OBJECT, PIRP, PVOID context) -> NTSTATUS {
                static_cast<Seen *>(context)->Called = true;
                return STATUS_MORE_PROCESSING_REQUIRED;
            },
            &seen, c.OnSuccess, c.OnError, c.OnCancel);
        if (c.Called) {
            EXPECT_EQ(IoCallDriver(dev, irp), c.Status);
            EXPECT_TRUE(seen.Called) << std::hex << c.Status;
        } else {
            // Without its routine the driver-allocated IRP reaches the top of its stack, which the
            // verifier reports: the owner must take it back with STATUS_MORE_PROCESSING_REQUIRED.
            IoCallDriver(dev, irp);
            EXPECT_FALSE(seen.Called) << std::hex << c.Status;
            ExpectFinding("must return STATUS_MORE_PROCESSING_REQUIRED");
        }
    }
    IoFreeIrp(irp);
}

TEST_F(IrpTest, PendingIsPropagatedUpAStackCompletedFromAnotherThread)
{
    Trace log;
    TestDevice function, filter;
    PIRP parked = nullptr;
    function.Handlers[IRP_MJ_READ] = [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        parked = irp;
        return STATUS_PENDING;
    };
    FilterContext f{&log, "filter"};
    filter.Handlers[IRP_MJ_READ] = FilterWithCompletion(f);
    PDEVICE_OBJECT fdo = CreateDevice(LoadDriver(u"\\Driver\\QvPendFunc"), u"\\Device\\QvPend", function);
    Attach(CreateDevice(LoadDriver(u"\\Driver\\QvPendFilter"), u"", filter), fdo);

    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb = {};
    char buffer[4] = {};
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, filter.Self, buffer, sizeof buffer, nullptr, &done, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoCallDriver(filter.Self, irp), STATUS_PENDING);
    ASSERT_EQ(parked, irp);
    std::thread completer([&] {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        memcpy(static_cast<char *>(parked->AssociatedIrp.SystemBuffer), "abcd", 4);
        Complete(parked, STATUS_SUCCESS, 4);
        KeLowerIrql(old);
    });
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    completer.join();
    EXPECT_TRUE(f.SawPendingReturned);
    EXPECT_EQ(iosb.Information, 4u);
    EXPECT_EQ(std::string(buffer, 4), "abcd");
    EXPECT_TRUE(qv::VerifierFindings().empty());
}

// A device that parks one read with a cancel routine; a completer takes it back the way a driver
// does, by exchanging the cancel routine with NULL under the device's lock.
struct ParkingDevice {
    KSPIN_LOCK Lock = 0;
    PIRP Parked = nullptr;  // guarded by Lock
    std::atomic<int> CancelCalls{0}, Completions{0};
};

ParkingDevice *gParking;

void CancelParkedRead(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KIRQL old;
    KeAcquireSpinLock(&gParking->Lock, &old);
    if (gParking->Parked == irp) gParking->Parked = nullptr;
    KeReleaseSpinLock(&gParking->Lock, old);
    gParking->CancelCalls++;
    gParking->Completions++;
    Complete(irp, STATUS_CANCELLED);
}

Handler ParkRead(ParkingDevice &p)
{
    return [&p](PDEVICE_OBJECT, PIRP irp) {
        KIRQL old;
        KeAcquireSpinLock(&p.Lock, &old);
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, CancelParkedRead);
        if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
            KeReleaseSpinLock(&p.Lock, old);
            p.Completions++;
            Complete(irp, STATUS_CANCELLED);
            return STATUS_PENDING;
        }
        p.Parked = irp;
        KeReleaseSpinLock(&p.Lock, old);
        return STATUS_PENDING;
    };
}

// Completes the parked read with 2 bytes unless its cancel routine has it.
bool CompleteParked(ParkingDevice &p)
{
    KIRQL old;
    KeAcquireSpinLock(&p.Lock, &old);
    PIRP irp = p.Parked;
    if (!irp || IoSetCancelRoutine(irp, nullptr) == nullptr) {
        KeReleaseSpinLock(&p.Lock, old);
        return false;
    }
    p.Parked = nullptr;
    KeReleaseSpinLock(&p.Lock, old);
    memcpy(irp->AssociatedIrp.SystemBuffer, "ok", 2);
    p.Completions++;
    Complete(irp, STATUS_SUCCESS, 2);
    return true;
}

TEST_F(IrpTest, CancelIoEndsAPendingReadWithOperationAborted)
{
    ParkingDevice parking;
    gParking = &parking;
    TestDevice device;
    device.Handlers[IRP_MJ_READ] = ParkRead(parking);
    CreateDevice(LoadDriver(u"\\Driver\\QvPark"), u"\\Device\\QvPark", device);

    HANDLE h = CreateFileW(u"\\Device\\QvPark", GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    OVERLAPPED ov = {};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    char buffer[8];
    DWORD read = 99;
    EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, &read, &ov));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &read, FALSE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_IO_INCOMPLETE);
    EXPECT_TRUE(CancelIo(h));
    EXPECT_TRUE(qvtest::WaitUntil([&] { return WaitForSingleObject(ov.hEvent, 0) == WAIT_OBJECT_0; }));
    EXPECT_FALSE(qvtest::OverlappedResult(h, &ov, &read));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_OPERATION_ABORTED);
    EXPECT_EQ(read, 0u);
    EXPECT_EQ(parking.CancelCalls.load(), 1);

    // A synchronous handle: the reader blocks until another thread cancels every request, and
    // another thread's request on the same handle waits until the read has ended (all requests on
    // a synchronous file go one at a time); cancelling is not such a request.
    HANDLE sync = CreateFileW(u"\\Device\\QvPark", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(sync, INVALID_HANDLE_VALUE);
    BOOL ok = TRUE;
    DWORD error = 0;
    std::thread reader([&] {
        DWORD n;
        ok = ReadFile(sync, buffer, sizeof buffer, &n, nullptr);
        error = GetLastError();
    });
    ASSERT_TRUE(qvtest::WaitUntil([&] {
        KIRQL old;
        KeAcquireSpinLock(&parking.Lock, &old);
        bool parked = parking.Parked != nullptr;
        KeReleaseSpinLock(&parking.Lock, old);
        return parked;
    }));
    std::atomic<bool> controlDone{false};
    std::thread control([&] {
        DWORD n;
        DeviceIoControl(sync, 0x1234, nullptr, 0, nullptr, 0, &n, nullptr);  // no handler: refused at once
        controlDone = true;
    });
    EXPECT_FALSE(qvtest::WaitUntil([&] { return controlDone.load(); }, 200)) << "it ran beside the read";
    EXPECT_TRUE(CancelIoEx(sync, nullptr));
    reader.join();
    control.join();
    EXPECT_FALSE(ok);
    EXPECT_EQ(error, (DWORD)ERROR_OPERATION_ABORTED);
    EXPECT_EQ(parking.CancelCalls.load(), 2);
    CloseHandle(sync);
    CloseHandle(ov.hEvent);
    CloseHandle(h);
}

TEST_F(IrpTest, CancelRacingCompletionEndsEachReadExactlyOnce)
{
    ParkingDevice parking;
    gParking = &parking;
    TestDevice device;
    device.Handlers[IRP_MJ_READ] = ParkRead(parking);
    CreateDevice(LoadDriver(u"\\Driver\\QvRace"), u"\\Device\\QvRace", device);
    HANDLE h = CreateFileW(u"\\Device\\QvRace", GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    int cancelled = 0, completed = 0;
    for (int i = 0; i < 300; ++i) {
        OVERLAPPED ov = {};
        char buffer[8];
        DWORD n = 0;
        ASSERT_FALSE(ReadFile(h, buffer, sizeof buffer, &n, &ov));
        ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
        int cancelsBefore = parking.CancelCalls.load(), completionsBefore = parking.Completions.load();
        std::atomic<bool> go{false};
        std::thread completer([&] {
            while (!go.load()) {
            }
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            CompleteParked(parking);
            KeLowerIrql(old);
        });
        go = true;
        CancelIo(h);
        completer.join();
        BOOL ok = qvtest::OverlappedResult(h, &ov, &n);
        EXPECT_EQ(parking.Completions.load() - completionsBefore, 1);
        if (ok) {
            ++completed;
            EXPECT_EQ(n, 2u);
            EXPECT_EQ(parking.CancelCalls.load(), cancelsBefore);
        } else {
            ++cancelled;
            EXPECT_EQ(GetLastError(), (DWORD)ERROR_OPERATION_ABORTED);
            EXPECT_EQ(parking.CancelCalls.load() - cancelsBefore, 1);
        }
    }
    EXPECT_EQ(cancelled + completed, 300);
    CloseHandle(h);
    EXPECT_EQ(qv::OutstandingIrpCount(), 0u);
}

}  // namespace
