// Opening devices by name and link, the life of a file object, and the user-mode file API's
// statuses, buffers and overlapped requests.
#include <algorithm>
#include <cstring>
#include <thread>

#include "io_test_support.h"
#include "qv/io.h"
#include "qv/win32.h"

using namespace iotest;

namespace {

constexpr ULONG kIoctlBuffered = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS);

class FileTest : public IoTest {
protected:
    // A device "\Device\QvPort" with create, cleanup and close counted.
    PDEVICE_OBJECT MakePort(TestDevice &port, const std::u16string &name = u"\\Device\\QvPort")
    {
        port.Handlers[IRP_MJ_CREATE] = Succeed(port, IRP_MJ_CREATE);
        port.Handlers[IRP_MJ_CLEANUP] = Succeed(port, IRP_MJ_CLEANUP);
        port.Handlers[IRP_MJ_CLOSE] = Succeed(port, IRP_MJ_CLOSE);
        return CreateDevice(LoadDriver(u"\\Driver\\QvPort"), name, port);
    }
    NTSTATUS Open(const std::u16string &path, HANDLE *handle, PVOID ea = nullptr, ULONG eaLength = 0, ULONG options = 0)
    {
        Name name(path);
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
        IO_STATUS_BLOCK iosb;
        return ZwCreateFile(handle, GENERIC_READ | GENERIC_WRITE, &oa, &iosb, nullptr, FILE_ATTRIBUTE_NORMAL,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN_IF, options, ea, eaLength);
    }
};

TEST_F(FileTest, ALinkLeadsTheOpenToTheDevicesCreateWithItsOptionsAndEaBuffer)
{
    TestDevice port;
    PDEVICE_OBJECT device = MakePort(port);
    std::string eaSeen;
    ULONG optionsSeen = 0, eaLengthSeen = 0;
    PFILE_OBJECT fileSeen = nullptr;
    port.Handlers[IRP_MJ_CREATE] = [&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        optionsSeen = sp->Parameters.Create.Options;
        eaLengthSeen = sp->Parameters.Create.EaLength;
        if (irp->AssociatedIrp.SystemBuffer)
            eaSeen.assign(static_cast<char *>(irp->AssociatedIrp.SystemBuffer), eaLengthSeen);
        fileSeen = sp->FileObject;
        port.Creates++;
        return Complete(irp, STATUS_SUCCESS);
    };
    Name link(u"\\??\\QVCOM7"), target(u"\\Device\\QvPort");
    qv::InjectFault("IoCreateSymbolicLink", 1);
    EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(qv::SymbolicLinkTarget("\\??\\QVCOM7"), "");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(qv::SymbolicLinkTarget("\\??\\QVCOM7"), "\\Device\\QvPort");

    HANDLE h = CreateFileW(u"\\\\.\\qvcom7", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(port.Creates.load(), 1);
    EXPECT_EQ(optionsSeen >> 24, (ULONG)FILE_OPEN);
    EXPECT_EQ(eaLengthSeen, 0u);
    EXPECT_EQ(fileSeen->DeviceObject, device);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(port.Cleanups.load(), 1);
    EXPECT_EQ(port.Closes.load(), 1);

    // A kernel open through the same link carries its extended attributes and create options.
    UCHAR ea[32] = {};
    auto *info = reinterpret_cast<PFILE_FULL_EA_INFORMATION>(ea);
    info->EaNameLength = 5;
    info->EaValueLength = 4;
    memcpy(info->EaName, "Probe\0abcd", 10);
    ULONG eaLength = (ULONG)(offsetof(FILE_FULL_EA_INFORMATION, EaName) + 5 + 1 + 4);
    ASSERT_EQ(Open(u"\\??\\QVCOM7", &h, ea, eaLength, FILE_DIRECTORY_FILE), STATUS_SUCCESS);
    EXPECT_EQ(eaLengthSeen, eaLength);
    EXPECT_EQ(eaSeen, std::string(reinterpret_cast<char *>(ea), eaLength));
    EXPECT_EQ(optionsSeen & 0xFFFFFF, (ULONG)FILE_DIRECTORY_FILE);
    EXPECT_EQ(optionsSeen >> 24, (ULONG)FILE_OPEN_IF);
    ZwClose(h);

    ASSERT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(CreateFileW(u"\\\\.\\QVCOM7", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
}

TEST_F(FileTest, AFailedOrRefusedOpenGetsNoCleanupOrClose)
{
    TestDevice port;
    MakePort(port);
    port.Handlers[IRP_MJ_CREATE] = [&](PDEVICE_OBJECT, PIRP irp) {
        port.Creates++;
        return Complete(irp, STATUS_ACCESS_DENIED);
    };
    EXPECT_EQ(CreateFileW(u"\\Device\\QvPort", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(port.Creates.load(), 1);
    EXPECT_EQ(port.Cleanups.load() + port.Closes.load(), 0);

    // A device still initializing is not opened at all.
    TestDevice young;
    young.Handlers[IRP_MJ_CREATE] = Succeed(young, IRP_MJ_CREATE);
    CreateDevice(LoadDriver(u"\\Driver\\QvYoung"), u"\\Device\\QvYoung", young, DO_BUFFERED_IO, true);
    HANDLE h;
    EXPECT_EQ(Open(u"\\Device\\QvYoung", &h), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(young.Creates.load(), 0);
}

TEST_F(FileTest, CleanupFollowsTheLastHandleAndCloseTheLastReferenceInEitherOrder)
{
    TestDevice port;
    MakePort(port);
    for (bool handleFirst : {true, false}) {
        port.Cleanups = 0;
        port.Closes = 0;
        HANDLE h;
        ASSERT_EQ(Open(u"\\Device\\QvPort", &h), STATUS_SUCCESS);
        PVOID object = nullptr;
        ASSERT_EQ(ObReferenceObjectByHandle(h, 0, *IoFileObjectType, KernelMode, &object, nullptr), STATUS_SUCCESS);
        if (handleFirst) {
            ZwClose(h);
            EXPECT_EQ(port.Cleanups.load(), 1);
            EXPECT_EQ(port.Closes.load(), 0);
            ObDereferenceObject(object);
        } else {
            ObDereferenceObject(object);
            EXPECT_EQ(port.Cleanups.load() + port.Closes.load(), 0);
            ZwClose(h);
            EXPECT_EQ(port.Cleanups.load(), 1);
        }
        EXPECT_EQ(port.Closes.load(), 1) << "handle first: " << handleFirst;
    }
}

TEST_F(FileTest, IoGetDeviceObjectPointerFindsTheTopOfTheStackOrFailsCleanly)
{
    TestDevice port, filter;
    PDEVICE_OBJECT device = MakePort(port);
    filter.Handlers[IRP_MJ_CREATE] = PassDown();
    filter.Handlers[IRP_MJ_CLEANUP] = PassDown();
    filter.Handlers[IRP_MJ_CLOSE] = PassDown();
    Attach(CreateDevice(LoadDriver(u"\\Driver\\QvPortFilter"), u"", filter), device);

    PFILE_OBJECT file = reinterpret_cast<PFILE_OBJECT>(0x1);
    PDEVICE_OBJECT found = reinterpret_cast<PDEVICE_OBJECT>(0x1);
    Name missing(u"\\Device\\NoSuchDevice");
    EXPECT_EQ(IoGetDeviceObjectPointer(&missing, FILE_ALL_ACCESS, &file, &found), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(file, reinterpret_cast<PFILE_OBJECT>(0x1));
    EXPECT_EQ(found, reinterpret_cast<PDEVICE_OBJECT>(0x1));

    Name name(u"\\Device\\QvPort");
    qv::InjectFault("IoGetDeviceObjectPointer", 1);
    EXPECT_FALSE(NT_SUCCESS(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &found)));
    EXPECT_EQ(port.Creates.load(), 0);

    ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &found), STATUS_SUCCESS);
    EXPECT_EQ(found, filter.Self);
    EXPECT_EQ(IoGetRelatedDeviceObject(file), filter.Self);
    EXPECT_EQ(file->DeviceObject, device);
    EXPECT_EQ(port.Creates.load(), 1);
    EXPECT_EQ(port.Cleanups.load(), 1);  // its handle is already closed
    EXPECT_EQ(port.Closes.load(), 0);
    ObDereferenceObject(file);
    EXPECT_EQ(port.Closes.load(), 1);

    qv::InjectFault("ZwCreateFile", 1);
    HANDLE h;
    EXPECT_EQ(Open(u"\\Device\\QvPort", &h), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(port.Creates.load(), 1);
}

TEST_F(FileTest, SuccessStatusesSucceedAndFailuresBecomeTheirWin32Codes)
{
    TestDevice port;
    MakePort(port);
    NTSTATUS answer = STATUS_SUCCESS;
    port.Handlers[IRP_MJ_READ] = [&](PDEVICE_OBJECT, PIRP irp) {
        memcpy(irp->AssociatedIrp.SystemBuffer, "xyz", 3);
        return Complete(irp, answer, NT_ERROR(answer) ? 0 : 3);
    };
    port.Handlers[IRP_MJ_WRITE] = [&](PDEVICE_OBJECT, PIRP irp) {
        return Complete(irp, answer, IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length);
    };
    HANDLE h = CreateFileW(u"\\Device\\QvPort", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    for (NTSTATUS success :
         {STATUS_SUCCESS, STATUS_TIMEOUT, STATUS_SERIAL_MORE_WRITES, STATUS_SERIAL_COUNTER_TIMEOUT}) {
        answer = success;
        char buffer[8] = {};
        DWORD n = 0;
        EXPECT_TRUE(ReadFile(h, buffer, sizeof buffer, &n, nullptr)) << std::hex << success;
        EXPECT_EQ(n, 3u);
        EXPECT_EQ(std::string(buffer), "xyz");
        EXPECT_TRUE(WriteFile(h, "12345", 5, &n, nullptr));
        EXPECT_EQ(n, 5u);
    }
    struct Failure {
        NTSTATUS Status;
        DWORD Error;
    } failures[] = {
        {STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
        {STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
        {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
        {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
        {STATUS_DEVICE_CONFIGURATION_ERROR, ERROR_INVALID_PARAMETER},
        {STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
        {STATUS_NO_SUCH_DEVICE, ERROR_FILE_NOT_FOUND},
        {STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED},
        {STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
    };
    for (const Failure &f : failures) {
        answer = f.Status;
        char buffer[8] = {};
        DWORD n = 77;
        EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, &n, nullptr));
        EXPECT_EQ(GetLastError(), f.Error) << std::hex << f.Status;
        EXPECT_EQ(n, 0u);
        EXPECT_EQ(buffer[0], 0) << "nothing is copied back for a failed request";
    }
    CloseHandle(h);
}

TEST_F(FileTest, BufferedControlRequestsCopyTheInputInAndInformationBytesBack)
{
    TestDevice port;
    MakePort(port);
    port.Handlers[IRP_MJ_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        auto *buffer = static_cast<UCHAR *>(irp->AssociatedIrp.SystemBuffer);
        ULONG in = sp->Parameters.DeviceIoControl.InputBufferLength;
        ULONG out = sp->Parameters.DeviceIoControl.OutputBufferLength;
        if (out < 4) return Complete(irp, STATUS_BUFFER_TOO_SMALL, 4);
        // Echo the input reversed, then say how many bytes are valid.
        for (ULONG i = 0; i < in / 2; ++i) std::swap(buffer[i], buffer[in - 1 - i]);
        return Complete(irp, STATUS_SUCCESS, in);
    };
    HANDLE h = CreateFileW(u"\\Device\\QvPort", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    UCHAR in[3] = {1, 2, 3};
    UCHAR out[8];
    memset(out, 0xAA, sizeof out);
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(h, kIoctlBuffered, in, sizeof in, out, sizeof out, &returned, nullptr));
    EXPECT_EQ(returned, 3u);
    EXPECT_EQ(out[0], 3);
    EXPECT_EQ(out[2], 1);
    EXPECT_EQ(out[3], 0xAA) << "only Information bytes are copied back";

    memset(out, 0xAA, sizeof out);
    EXPECT_FALSE(DeviceIoControl(h, kIoctlBuffered, in, sizeof in, out, 2, &returned, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(out[0], 0xAA);
    CloseHandle(h);
}

TEST_F(FileTest, MajorFunctionsADriverLeavesUnsetAreInvalidRequests)
{
    TestDevice port;
    port.Handlers[IRP_MJ_CREATE] = Succeed(port, IRP_MJ_CREATE);
    const ULONG majors = (1u << IRP_MJ_CREATE) | (1u << IRP_MJ_CLEANUP) | (1u << IRP_MJ_CLOSE);
    CreateDevice(LoadDriver(u"\\Driver\\QvBare", majors), u"\\Device\\QvBare", port);
    HANDLE h = CreateFileW(u"\\Device\\QvBare", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(FlushFileBuffers(h));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_FUNCTION);
    DWORD n;
    EXPECT_FALSE(DeviceIoControl(h, kIoctlBuffered, nullptr, 0, nullptr, 0, &n, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_FUNCTION);
    CloseHandle(h);
}

TEST_F(FileTest, AnOverlappedWriteCompletedLaterReportsThroughItsEvent)
{
    TestDevice port;
    MakePort(port);
    std::atomic<PIRP> parked{nullptr};
    port.Handlers[IRP_MJ_WRITE] = [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        parked = irp;
        return STATUS_PENDING;
    };
    HANDLE h =
        CreateFileW(u"\\Device\\QvPort", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    OVERLAPPED ov = {};
    ov.hEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    DWORD n = 0;
    EXPECT_FALSE(WriteFile(h, "frame", 5, &n, &ov));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
    EXPECT_FALSE(HasOverlappedIoCompleted(&ov));
    std::thread completer([&] {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        Complete(parked.load(), STATUS_TIMEOUT, 4);
        KeLowerIrql(old);
    });
    EXPECT_TRUE(qvtest::WaitUntil([&] { return WaitForSingleObject(ov.hEvent, 0) == WAIT_OBJECT_0; }));
    completer.join();
    EXPECT_TRUE(GetOverlappedResult(h, &ov, &n, FALSE));
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(WaitForSingleObject(ov.hEvent, 0), (DWORD)WAIT_TIMEOUT);  // auto-reset
    CloseHandle(ov.hEvent);
    CloseHandle(h);
    EXPECT_EQ(port.Closes.load(), 1);
}

TEST_F(FileTest, ADeletedDeviceLivesUntilItsLastReferenceGoes)
{
    TestDevice port;
    PDEVICE_OBJECT device = MakePort(port);
    HANDLE h;
    ASSERT_EQ(Open(u"\\Device\\QvPort", &h), STATUS_SUCCESS);
    DeleteDevice(device);
    std::vector<std::string> names = qv::ListNamedDevices();
    EXPECT_EQ(std::find(names.begin(), names.end(), "\\Device\\QvPort"), names.end());
    HANDLE again;
    EXPECT_EQ(Open(u"\\Device\\QvPort", &again), STATUS_OBJECT_NAME_NOT_FOUND);
    // Still readable through the open file, and still told about cleanup and close.
    EXPECT_EQ(static_cast<TestExtension *>(device->DeviceExtension)->Marker, 0x51564456u);
    ZwClose(h);
    EXPECT_EQ(port.Cleanups.load(), 1);
    EXPECT_EQ(port.Closes.load(), 1);
}

}  // namespace
