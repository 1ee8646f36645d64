// Writes, flushes, XOFF counters and immediate characters through the emulated transmitter,
// with flow control holding it and the write timeouts on the virtual clock.
#include <ntddser.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "serial_test.h"

namespace sertest {
namespace {

const std::vector<uint8_t> kReadHolding = {0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A};

class WritePath : public SerialTest {
protected:
    void Open(const PortOptions &options = PortOptions())
    {
        UseVirtualClock();
        OpenNewPort(options);
    }
    // CTS handshake on, RTS off: with CTS wired to RTS the transmitter is held.
    void HoldByCts()
    {
        ChangeDcb(file, [](DCB &dcb) {
            dcb.fOutxCtsFlow = 1;
            dcb.fRtsControl = RTS_CONTROL_DISABLE;
        });
    }
    SERIALPERF_STATS Stats()
    {
        SERIALPERF_STATS stats = {};
        EXPECT_EQ(Ioctl(file, IOCTL_SERIAL_GET_STATS, nullptr, 0, &stats, sizeof(stats)), ERROR_SUCCESS);
        return stats;
    }
    void StartXoffCounter(Pending &request, LONG counter, ULONG timeoutMs)
    {
        SERIAL_XOFF_COUNTER xoff = {timeoutMs, counter, 0x13};
        request.data.assign((uint8_t *)&xoff, (uint8_t *)&xoff + sizeof(xoff));
        if (!DeviceIoControl(file, IOCTL_SERIAL_XOFF_COUNTER, request.data.data(), sizeof(xoff), nullptr, 0, nullptr,
                             &request.ov)) {
            ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
        }
    }
};

TEST_F(WritePath, WriteCompletesWithItsLengthAndEmptiesTheTransmitter)
{
    Open();
    ASSERT_TRUE(SetCommMask(file, EV_TXEMPTY));
    Pending wait, write;
    StartWait(file, wait);
    StartWrite(file, write, kReadHolding);
    EXPECT_EQ(write.Status(), STATUS_SUCCESS);
    EXPECT_EQ(write.Bytes(), 8u);
    EXPECT_EQ(wait.Status(), STATUS_SUCCESS);
    EXPECT_EQ(wait.mask, (DWORD)EV_TXEMPTY);
    EXPECT_EQ(Stats().TransmittedCount, 8u);
    EXPECT_EQ(port->TxQueuedCount(), 0u);

    Pending empty, huge;
    StartWrite(file, empty, {});
    EXPECT_EQ(empty.Status(), STATUS_SUCCESS);
    StartWrite(file, huge, std::vector<uint8_t>(65536, 0x55));  // the low 16 bits of its length are 0
    EXPECT_EQ(huge.Status(), STATUS_SUCCESS);
    EXPECT_EQ(huge.Bytes(), 65536u);
    EXPECT_EQ(Stats().TransmittedCount, 8u + 65536u);
}

TEST_F(WritePath, CtsHandshakeHoldsAWriteUntilCtsRises)
{
    PortOptions options;
    options.RtsMask = 0x01;  // CTS follows RTS
    Open(options);
    HoldByCts();
    Pending write;
    StartWrite(file, write, kReadHolding);
    AdvanceMs(1000);
    EXPECT_FALSE(write.Done());
    EXPECT_TRUE(ComStat(file).fCtsHold);
    EXPECT_EQ(ComStat(file).cbOutQue, 8u);

    ChangeDcb(file, [](DCB &dcb) { dcb.fRtsControl = RTS_CONTROL_ENABLE; });
    EXPECT_EQ(write.Status(), STATUS_SUCCESS);
    EXPECT_EQ(write.Bytes(), 8u);
    EXPECT_FALSE(ComStat(file).fCtsHold);
    EXPECT_EQ(ComStat(file).cbOutQue, 0u);
}

TEST_F(WritePath, TotalTimeoutEndsAHeldWrite)
{
    Open();  // nothing wired: CTS stays low for good
    HoldByCts();
    SetTimeouts(file, 0, 0, 0, 0, 100);
    Pending write;
    StartWrite(file, write, kReadHolding);
    AdvanceMs(99);
    EXPECT_FALSE(write.Done());
    AdvanceMs(1);
    EXPECT_EQ(write.Status(), STATUS_TIMEOUT);
    EXPECT_EQ(write.Bytes(), 0u);
    EXPECT_EQ(port->TxQueuedCount(), 0u);
}

TEST_F(WritePath, FlushAndCancelFollowQueueOrder)
{
    Open();
    ASSERT_TRUE(SetCommBreak(file));  // the break holds the transmitter
    Pending first, second;
    StartWrite(file, first, kReadHolding);
    StartWrite(file, second, {1, 2, 3});
    EXPECT_EQ(port->TxQueuedCount(), 11u);

    // The flush returns once both writes have gone out (their completions may still be on their
    // way to the application).
    std::atomic<ULONG> sentAtFlush{0};
    std::thread flusher([&] {
        EXPECT_TRUE(FlushFileBuffers(file));
        sentAtFlush = Stats().TransmittedCount;
    });
    ASSERT_TRUE(ClearCommBreak(file));
    flusher.join();
    EXPECT_EQ(sentAtFlush, 11u);
    EXPECT_EQ(first.Status(), STATUS_SUCCESS);
    EXPECT_EQ(second.Bytes(), 3u);

    // Cancelled while current or waiting: nothing was sent.
    ASSERT_TRUE(SetCommBreak(file));
    Pending current, waiting;
    StartWrite(file, current, kReadHolding);
    StartWrite(file, waiting, kReadHolding);
    ASSERT_TRUE(CancelIo(file));
    EXPECT_EQ(current.Status(), STATUS_CANCELLED);
    EXPECT_EQ(current.Bytes(), 0u);
    EXPECT_EQ(waiting.Status(), STATUS_CANCELLED);
    EXPECT_EQ(port->TxQueuedCount(), 0u);
    ASSERT_TRUE(ClearCommBreak(file));
}

TEST_F(WritePath, HeldXoffCounterIsOneCharacterOfTheOutputQueue)
{
    Open();
    ASSERT_TRUE(SetCommBreak(file));
    // An output buffer on the counter must not change what it counts for.
    SERIAL_XOFF_COUNTER xoff = {0, 5, 0x13};
    Pending counter, write;
    counter.data.assign(100, 0);
    std::memcpy(counter.data.data(), &xoff, sizeof(xoff));
    ASSERT_FALSE(DeviceIoControl(file, IOCTL_SERIAL_XOFF_COUNTER, counter.data.data(), sizeof(xoff),
                                 counter.data.data(), (DWORD)counter.data.size(), nullptr, &counter.ov));
    ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
    StartWrite(file, write, {1, 2, 3});
    EXPECT_EQ(ComStat(file).cbOutQue, 4u);

    ASSERT_TRUE(ClearCommBreak(file));
    EXPECT_EQ(counter.Status(), STATUS_SERIAL_MORE_WRITES);
    EXPECT_EQ(write.Status(), STATUS_SUCCESS);
    EXPECT_EQ(ComStat(file).cbOutQue, 0u);
}

// Totals past what 32 bits, or 64 bits of 100 ns, can hold mean "practically never", not "now".
TEST_F(WritePath, LargeWriteTimeoutsDoNotWrap)
{
    Open();
    ASSERT_TRUE(SetCommBreak(file));
    SetTimeouts(file, 0, 0, 0, 1, MAXDWORD);  // 1 + MAXDWORD wraps to 0 in 32 bits
    Pending write, immediate;
    StartWrite(file, write, {1});
    StartImmediate(immediate, 'i');
    AdvanceMs(24ull * 3600 * 1000);
    EXPECT_FALSE(write.Done());
    EXPECT_FALSE(immediate.Done());
    ASSERT_TRUE(CancelIo(file));
    EXPECT_EQ(write.Status(), STATUS_CANCELLED);
    EXPECT_EQ(immediate.Status(), STATUS_CANCELLED);

    SetTimeouts(file, 0, 0, 0, MAXDWORD, 1);  // 1 MiB * MAXDWORD ms overflows 64 bits of 100 ns
    Pending large;
    StartWrite(file, large, std::vector<uint8_t>((1 << 20) + 1, 0x55));
    AdvanceMs(24ull * 3600 * 1000);
    EXPECT_FALSE(large.Done());
    ASSERT_TRUE(CancelIo(file));
    EXPECT_EQ(large.Status(), STATUS_CANCELLED);
    EXPECT_EQ(port->TxQueuedCount(), 0u);
    ASSERT_TRUE(ClearCommBreak(file));
}

TEST_F(WritePath, XoffCounterCountsReceivedCharacters)
{
    Open();
    Pending counted;
    StartXoffCounter(counted, 3, 0);
    ASSERT_TRUE(qvtest::WaitUntil([&] { return port->XoffCounterPending(); }));
    port->Receive({1, 2});
    EXPECT_FALSE(counted.Done());
    port->Receive({3});
    EXPECT_EQ(counted.Status(), STATUS_SUCCESS);

    // The next write ends a counting counter.
    Pending ended, write;
    StartXoffCounter(ended, 100, 0);
    ASSERT_TRUE(qvtest::WaitUntil([&] { return port->XoffCounterPending(); }));
    StartWrite(file, write, kReadHolding);
    EXPECT_EQ(ended.Status(), STATUS_SERIAL_MORE_WRITES);
    EXPECT_EQ(write.Status(), STATUS_SUCCESS);

    Pending timed;
    StartXoffCounter(timed, 100, 250);
    ASSERT_TRUE(qvtest::WaitUntil([&] { return port->XoffCounterPending(); }));
    AdvanceMs(249);
    EXPECT_FALSE(timed.Done());
    AdvanceMs(1);
    EXPECT_EQ(timed.Status(), STATUS_SERIAL_COUNTER_TIMEOUT);
    EXPECT_EQ(Stats().TransmittedCount, 8u + 3u);  // three XoffChars and the write
}

TEST_F(WritePath, ImmediateCharacter)
{
    Open();
    EXPECT_TRUE(TransmitCommChar(file, 'A'));
    EXPECT_EQ(Stats().TransmittedCount, 1u);

    // An XOFF hold lets it pass.
    ASSERT_TRUE(EscapeCommFunction(file, SETXOFF));
    EXPECT_TRUE(TransmitCommChar(file, 'B'));
    ASSERT_TRUE(EscapeCommFunction(file, SETXON));

    // Held by CTS: ends by the write timeout of one character; a second one meanwhile is refused.
    HoldByCts();
    SetTimeouts(file, 0, 0, 0, 10, 40);
    Pending held;
    StartImmediate(held, 'C');
    EXPECT_TRUE(ComStat(file).fTxim);
    EXPECT_FALSE(TransmitCommChar(file, 'D'));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    AdvanceMs(49);
    EXPECT_FALSE(held.Done());
    AdvanceMs(1);
    EXPECT_EQ(held.Status(), STATUS_TIMEOUT);
    EXPECT_EQ(port->TxQueuedCount(), 0u);
    EXPECT_FALSE(ComStat(file).fTxim);
    EXPECT_EQ(Stats().TransmittedCount, 2u);  // 'A' and 'B'
}

// Under error abort an overrun cancels the requests in progress and refuses new ones until the
// application has read the error.
TEST_F(WritePath, LatchedErrorUnderErrorAbortRefusesRequestsUntilRead)
{
    Open();
    ChangeDcb(file, [](DCB &dcb) { dcb.fAbortOnError = 1; });
    SetTimeouts(file, 0, 0, 0);
    ASSERT_TRUE(SetCommBreak(file));
    Pending held;
    StartWrite(file, held, kReadHolding);
    port->Receive(4097, 'q');  // overrun with no read waiting
    EXPECT_EQ(held.Status(), STATUS_CANCELLED);
    DWORD errors = 0;
    ComStat(file, &errors);
    EXPECT_EQ(errors, (DWORD)CE_RXOVER);
    ASSERT_TRUE(ClearCommBreak(file));
    ASSERT_TRUE(PurgeComm(file, PURGE_RXCLEAR));

    Pending pendingRead;
    StartRead(file, pendingRead, 8192);
    port->Receive(8192 + 4096 + 1, 'q');  // fills the read, then the ring, then overruns
    EXPECT_EQ(pendingRead.Status(), STATUS_SUCCESS);
    Pending read;
    StartRead(file, read, 1);
    EXPECT_EQ(read.Status(), STATUS_CANCELLED);
    Pending write;
    StartWrite(file, write, kReadHolding);
    EXPECT_EQ(write.Status(), STATUS_CANCELLED);
    EXPECT_FALSE(FlushFileBuffers(file));
    EXPECT_FALSE(SetCommMask(file, EV_RXCHAR));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_OPERATION_ABORTED);

    ComStat(file, &errors);
    EXPECT_EQ(errors, (DWORD)CE_RXOVER);
    Pending again;
    StartRead(file, again, 1);
    EXPECT_EQ(again.Status(), STATUS_SUCCESS);
}

}  // namespace
}  // namespace sertest
