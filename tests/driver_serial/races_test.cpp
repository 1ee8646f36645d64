// Cancellation racing completion and timers, many times over, on the real clock. Each request
// must complete exactly once with one of its legal statuses, and its ending must agree with what
// happened to its characters; where no one cancels, no request may end cancelled. The platform's
// verifier reports a second completion, a completion under a spin lock or leaked pool at shutdown.
#include <ntddser.h>

#include <algorithm>
#include <thread>

#include "serial_test.h"

namespace sertest {
namespace {

const int kRounds = 150;

class Races : public SerialTest {
protected:
    void SetUp() override
    {
        SerialTest::SetUp();
        OpenNewPort();
    }
    static bool OneOf(NTSTATUS status, std::initializer_list<NTSTATUS> legal)
    {
        for (NTSTATUS s : legal)
            if (s == status) return true;
        return false;
    }
};

TEST_F(Races, ReadCancelVersusReceiveVersusTimers)
{
    SetTimeouts(file, 1, 0, 1);
    for (int round = 0; round < kRounds; round++) {
        Pending read;
        StartRead(file, read, 4);
        std::thread sender([&] { port->Receive({1, 2, 3, 4}); });
        bool cancelled = round % 3 != 0;
        if (cancelled) CancelIoEx(file, &read.ov);
        NTSTATUS status = read.Status();
        sender.join();
        if (cancelled) {
            ASSERT_TRUE(OneOf(status, {STATUS_SUCCESS, STATUS_TIMEOUT, STATUS_CANCELLED})) << std::hex << status;
        } else {
            ASSERT_TRUE(OneOf(status, {STATUS_SUCCESS, STATUS_TIMEOUT})) << std::hex << status;
        }
        // Success only with a full buffer; what the read did not take waits in the ring.
        DWORD taken = read.Bytes();
        if (status == STATUS_SUCCESS) {
            ASSERT_EQ(taken, 4u);
        }
        // A cancelled read reports what it took, but as on Windows an error status copies no data
        // back to the caller: only a successful ending's bytes can be checked.
        const std::vector<uint8_t> sent = {1, 2, 3, 4};
        if (!NT_ERROR(status)) {
            ASSERT_TRUE(std::equal(read.data.begin(), read.data.begin() + taken, sent.begin()))
                << "round " << round << ", status " << std::hex << status << std::dec << ", taken " << taken << ": "
                << int(read.data[0]) << " " << int(read.data[1]) << " " << int(read.data[2]) << " "
                << int(read.data[3]);
        }
        ASSERT_EQ(taken + port->RingCount(), 4u);
        ASSERT_TRUE(PurgeComm(file, PURGE_RXABORT | PURGE_RXCLEAR));
    }
}

TEST_F(Races, WriteCancelVersusTransmitterVersusTimer)
{
    SetTimeouts(file, 0, 0, 0, 0, 1);
    ULONG sent = Transmitted(file);
    for (int round = 0; round < kRounds; round++) {
        Pending write, next;
        StartWrite(file, write, std::vector<uint8_t>(64, (uint8_t)round));
        StartWrite(file, next, {1});
        std::thread breaker([&] {
            if (round % 2) PurgeComm(file, PURGE_TXABORT);
        });
        CancelIoEx(file, &write.ov);
        NTSTATUS status = write.Status();
        breaker.join();
        ASSERT_TRUE(OneOf(status, {STATUS_SUCCESS, STATUS_TIMEOUT, STATUS_CANCELLED})) << std::hex << status;
        if (round % 2) {
            ASSERT_TRUE(OneOf(next.Status(), {STATUS_SUCCESS, STATUS_TIMEOUT, STATUS_CANCELLED}));
        } else {
            ASSERT_TRUE(OneOf(next.Status(), {STATUS_SUCCESS, STATUS_TIMEOUT})) << std::hex << next.Status();
        }
        // Success only with every character out, and every character that went out is reported
        // by the write that carried it, whichever way that write ended.
        if (status == STATUS_SUCCESS) {
            ASSERT_EQ(write.Bytes(), 64u);
        }
        if (next.Status() == STATUS_SUCCESS) {
            ASSERT_EQ(next.Bytes(), 1u);
        }
        ASSERT_EQ(Transmitted(file), sent + write.Bytes() + next.Bytes());
        sent = Transmitted(file);
    }
    EXPECT_EQ(port->TxQueuedCount(), 0u);
}

TEST_F(Races, WaitCancelVersusEventVersusNewMask)
{
    for (int round = 0; round < kRounds; round++) {
        ASSERT_TRUE(SetCommMask(file, EV_RXCHAR));
        Pending wait;
        StartWait(file, wait);
        std::thread sender([&] { port->Receive({7}); });
        if (round % 2) {
            CancelIoEx(file, &wait.ov);
        } else {
            ASSERT_TRUE(SetCommMask(file, EV_RXCHAR));
        }
        NTSTATUS status = wait.Status();
        sender.join();
        if (round % 2) {
            // The character or the cancellation: a wait that ends in success reports the event.
            ASSERT_TRUE(OneOf(status, {STATUS_SUCCESS, STATUS_CANCELLED})) << std::hex << status;
            if (status == STATUS_SUCCESS) {
                ASSERT_EQ(wait.mask, (DWORD)EV_RXCHAR);
            }
        } else {
            // The character or the new mask: either way a success, with the event or with none.
            ASSERT_EQ(status, STATUS_SUCCESS);
            ASSERT_TRUE(wait.mask == 0 || wait.mask == (DWORD)EV_RXCHAR) << wait.mask;
        }
        ASSERT_TRUE(PurgeComm(file, PURGE_RXCLEAR));
        ASSERT_TRUE(qvtest::WaitUntil([&] { return !port->WaitPending(); }));
    }
}

TEST_F(Races, XoffCounterAndImmediateCharacterEndings)
{
    SetTimeouts(file, 0, 0, 0, 0, 1);
    for (int round = 0; round < kRounds; round++) {
        SERIAL_XOFF_COUNTER xoff = {1, 1, 0x13};
        Pending counter;
        counter.data.assign((uint8_t *)&xoff, (uint8_t *)&xoff + sizeof(xoff));
        if (!DeviceIoControl(file, IOCTL_SERIAL_XOFF_COUNTER, counter.data.data(), sizeof(xoff), nullptr, 0, nullptr,
                             &counter.ov)) {
            ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
        }
        Pending immediate;
        immediate.data = {'i'};
        if (!DeviceIoControl(file, IOCTL_SERIAL_IMMEDIATE_CHAR, immediate.data.data(), 1, nullptr, 0, nullptr,
                             &immediate.ov)) {
            ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
        }
        std::thread sender([&] { port->Receive({1}); });
        Pending write;
        if (round % 3 == 0) StartWrite(file, write, {2});
        bool cancelled = round % 2;
        if (cancelled) {
            CancelIoEx(file, &counter.ov);
            CancelIoEx(file, &immediate.ov);
        }
        ASSERT_TRUE(OneOf(counter.Status(), {STATUS_SUCCESS, STATUS_SERIAL_COUNTER_TIMEOUT, STATUS_CANCELLED,
                                             STATUS_SERIAL_MORE_WRITES, STATUS_TIMEOUT}))
            << std::hex << counter.Status();
        ASSERT_TRUE(OneOf(immediate.Status(), {STATUS_SUCCESS, STATUS_TIMEOUT, STATUS_CANCELLED}));
        if (!cancelled) {
            ASSERT_NE(counter.Status(), STATUS_CANCELLED);
            ASSERT_NE(immediate.Status(), STATUS_CANCELLED);
        }
        sender.join();
        if (round % 3 == 0) write.Wait();
        ASSERT_TRUE(PurgeComm(file, PURGE_RXCLEAR));
    }
    EXPECT_EQ(port->TxQueuedCount(), 0u);
}

TEST_F(Races, CleanupEndsRequestsInEveryState)
{
    for (int round = 0; round < 20; round++) {
        SetTimeouts(file, 0, 0, 0);
        std::vector<Pending *> started;
        Pending counter, readCurrent, readWaiting, resize, writeCurrent, writeWaiting, wait, immediate;
        SERIAL_XOFF_COUNTER xoff = {0, 100, 0x13};
        counter.data.assign((uint8_t *)&xoff, (uint8_t *)&xoff + sizeof(xoff));
        if (round % 2 == 0) {
            // An XOFF counter counting received characters (a later write would end it).
            ASSERT_FALSE(DeviceIoControl(file, IOCTL_SERIAL_XOFF_COUNTER, counter.data.data(), sizeof(xoff), nullptr, 0,
                                         nullptr, &counter.ov));
            ASSERT_TRUE(qvtest::WaitUntil([&] { return port->XoffCounterPending(); }));
            started.push_back(&counter);
        } else {
            // Under a break: a write being sent, one waiting, an XOFF counter behind them and an
            // immediate character that cannot go out.
            ASSERT_TRUE(SetCommBreak(file));
            StartWrite(file, writeCurrent, {1, 2, 3});
            StartWrite(file, writeWaiting, {4});
            ASSERT_FALSE(DeviceIoControl(file, IOCTL_SERIAL_XOFF_COUNTER, counter.data.data(), sizeof(xoff), nullptr, 0,
                                         nullptr, &counter.ov));
            immediate.data = {'i'};
            ASSERT_FALSE(DeviceIoControl(file, IOCTL_SERIAL_IMMEDIATE_CHAR, immediate.data.data(), 1, nullptr, 0,
                                         nullptr, &immediate.ov));
            started.insert(started.end(), {&writeCurrent, &writeWaiting, &counter, &immediate});
        }
        StartRead(file, readCurrent, 10);
        StartRead(file, readWaiting, 10);
        SERIAL_QUEUE_SIZE size = {65536, 0};  // waits behind the reads with its new ring
        resize.data.assign((uint8_t *)&size, (uint8_t *)&size + sizeof(size));
        ASSERT_FALSE(DeviceIoControl(file, IOCTL_SERIAL_SET_QUEUE_SIZE, resize.data.data(), sizeof(size), nullptr, 0,
                                     nullptr, &resize.ov));
        ASSERT_TRUE(SetCommMask(file, EV_CTS));
        StartWait(file, wait);
        started.insert(started.end(), {&readCurrent, &readWaiting, &resize, &wait});
        if (round % 4 < 2) port->Receive({5, 6});

        CloseHandle(file);
        file = INVALID_HANDLE_VALUE;
        for (Pending *p : started) EXPECT_EQ(p->Status(), STATUS_CANCELLED);
        ASSERT_TRUE(qvtest::WaitUntil([&] { return port->OpenCount() == 0; }));
        EXPECT_EQ(port->RingSize(), 0u);
        EXPECT_EQ(port->TxQueuedCount(), 0u);
        file = OpenPort();
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
    }
}

}  // namespace
}  // namespace sertest
