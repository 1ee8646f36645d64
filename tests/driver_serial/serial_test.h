// Shared pieces of the serial tests: a fixture that boots the platform and makes a port of the
// driver, and an overlapped request that stays alive until it completes.
#pragma once

#include <gtest/gtest.h>
#include <ntddser.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include "platform_test.h"
#include "qv/platform.h"
#include "qv/win32comm.h"
#include "serial_port.h"

namespace sertest {

// One overlapped request in flight. The OVERLAPPED, the data and the event mask live here until
// the request has completed.
struct Pending {
    // Longer than any timeout a test sets, short of the test's own time limit.
    static constexpr int kBoundMs = 30000;

    OVERLAPPED ov{};
    std::vector<uint8_t> data;
    DWORD mask = 0;

    Pending() { ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }
    // A request still in flight would complete into freed memory: wait for it, and end the
    // test's process if it never completes rather than let it write into the stack later.
    ~Pending()
    {
        if (!HasOverlappedIoCompleted(&ov) && !qvtest::WaitUntil([this] { return Done(); }, kBoundMs)) {
            ADD_FAILURE() << "a request never completed";
            std::abort();
        }
        CloseHandle(ov.hEvent);
    }
    Pending(const Pending &) = delete;
    Pending &operator=(const Pending &) = delete;

    bool Done() { return WaitForSingleObject(ov.hEvent, 0) == WAIT_OBJECT_0; }
    // Polls in real time: the event's own timed wait would follow the virtual clock.
    void Wait()
    {
        ASSERT_TRUE(qvtest::WaitUntil([this] { return Done(); }, kBoundMs)) << "the request did not complete";
    }
    // Status and byte count once completed (waits for it).
    NTSTATUS Status()
    {
        Wait();
        return (NTSTATUS)ov.Internal;
    }
    DWORD Bytes()
    {
        Wait();
        return (DWORD)ov.InternalHigh;
    }
};

class SerialTest : public qvtest::DriverTest {
protected:
    // The port goes before the platform shuts down; a test closes the handles it opened itself.
    void TearDown() override
    {
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
        file = INVALID_HANDLE_VALUE;
        if (port) {
            EXPECT_TRUE(qvtest::WaitUntil([this] { return port->OpenCount() == 0; }));
        }
        port.reset();
        qvtest::DriverTest::TearDown();
    }

    void MakePort(const PortOptions &options = PortOptions()) { port = std::make_unique<Port>(options); }
    // A new port and the test's handle of it in `file`, which TearDown closes.
    void OpenNewPort(const PortOptions &options = PortOptions())
    {
        MakePort(options);
        file = OpenPort();
    }

    // Opens the port for overlapped I/O, as serial applications that wait on events do.
    HANDLE OpenPort(bool overlapped = true)
    {
        HANDLE file = CreateFileW(port->Path().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
        EXPECT_NE(file, INVALID_HANDLE_VALUE);
        return file;
    }

    // A call that returned FALSE: the request is pending, or the driver refused it at once (its
    // status is then in the OVERLAPPED).
    static void ExpectStarted(Pending &request)
    {
        DWORD error = GetLastError();
        ASSERT_TRUE(error == ERROR_IO_PENDING || HasOverlappedIoCompleted(&request.ov)) << "error " << error;
    }

    // Starts a read of `length` bytes; the request is then pending or already complete.
    void StartRead(HANDLE file, Pending &request, DWORD length)
    {
        request.data.assign(length, 0);
        if (!ReadFile(file, request.data.data(), length, nullptr, &request.ov)) ExpectStarted(request);
    }

    void StartWrite(HANDLE file, Pending &request, const std::vector<uint8_t> &bytes)
    {
        request.data = bytes;
        if (!WriteFile(file, request.data.data(), (DWORD)request.data.size(), nullptr, &request.ov)) {
            ExpectStarted(request);
        }
    }

    // Sends an immediate character on the test's handle.
    void StartImmediate(Pending &request, uint8_t c)
    {
        request.data = {c};
        if (!DeviceIoControl(file, IOCTL_SERIAL_IMMEDIATE_CHAR, request.data.data(), 1, nullptr, 0, nullptr,
                             &request.ov)) {
            ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
        }
    }

    void StartWait(HANDLE file, Pending &request)
    {
        if (!WaitCommEvent(file, &request.mask, &request.ov)) ExpectStarted(request);
    }

    // A control request with explicit buffer lengths, waited for; returns the Win32 error the
    // application sees (ERROR_SUCCESS when it succeeded).
    DWORD Ioctl(HANDLE file, DWORD code, const void *input, DWORD inputLength, void *output, DWORD outputLength,
                DWORD *returned = nullptr)
    {
        Pending request;
        DWORD bytes = 0;
        BOOL ok = DeviceIoControl(file, code, const_cast<void *>(input), inputLength, output, outputLength, &bytes,
                                  &request.ov);
        if (!ok && GetLastError() == ERROR_IO_PENDING) {
            request.Wait();
            ok = GetOverlappedResult(file, &request.ov, &bytes, FALSE);
        }
        DWORD error = ok ? (DWORD)ERROR_SUCCESS : GetLastError();
        if (returned) *returned = bytes;
        return error;
    }

    void SetTimeouts(HANDLE file, DWORD interval, DWORD multiplier, DWORD constant, DWORD writeMultiplier = 0,
                     DWORD writeConstant = 0)
    {
        COMMTIMEOUTS timeouts = {interval, multiplier, constant, writeMultiplier, writeConstant};
        ASSERT_TRUE(SetCommTimeouts(file, &timeouts));
    }

    // Read, changed and written back, as an application changes one field of the line.
    template <class Change>
    void ChangeDcb(HANDLE file, Change change)
    {
        DCB dcb = {};
        ASSERT_TRUE(GetCommState(file, &dcb));
        change(dcb);
        ASSERT_TRUE(SetCommState(file, &dcb));
    }
    // What ClearCommError reports; it clears the latched errors, returned in *errors when given.
    COMSTAT ComStat(HANDLE file, DWORD *errors = nullptr)
    {
        DWORD latched = 0;
        COMSTAT stat = {};
        EXPECT_TRUE(ClearCommError(file, &latched, &stat));
        if (errors) *errors = latched;
        return stat;
    }

    // The status an application reads with ClearCommError; reading it clears latched errors.
    SERIAL_STATUS CommStatus(HANDLE file)
    {
        SERIAL_STATUS status = {};
        EXPECT_EQ(Ioctl(file, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, sizeof(status)), ERROR_SUCCESS);
        return status;
    }
    ULONG Transmitted(HANDLE file)
    {
        SERIALPERF_STATS stats = {};
        EXPECT_EQ(Ioctl(file, IOCTL_SERIAL_GET_STATS, nullptr, 0, &stats, sizeof(stats)), ERROR_SUCCESS);
        return stats.TransmittedCount;
    }
    // A request that must end soon; one that does not is cancelled so that the test can go on.
    static bool Ends(HANDLE file, Pending &request)
    {
        if (qvtest::WaitUntil([&] { return request.Done(); })) return true;
        CancelIoEx(file, &request.ov);
        return false;
    }

    void UseVirtualClock() { qv::UseVirtualClock(true); }
    void AdvanceMs(ULONGLONG ms) { qv::AdvanceClock(ms * 10000); }

    std::unique_ptr<Port> port;
    HANDLE file = INVALID_HANDLE_VALUE;
};

}  // namespace sertest
