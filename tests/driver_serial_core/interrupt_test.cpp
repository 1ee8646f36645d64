// Emulated interrupt processing, modem lines and flow control on an open port: replies
// delivered to the receive side as the transport's indication delivers them, writes and
// immediate characters taken by the emulated transmitter.
#include <memory>

#include "serial_port.h"

namespace sctest {
namespace {

using Bytes = std::vector<UCHAR>;

class InterruptTest : public SerialPort {
protected:
    std::unique_ptr<Request> Ioctl(ULONG code, const Bytes &in, ULONG outLength, NTSTATUS *status = nullptr)
    {
        std::unique_ptr<Request> r(Request::Control(device, code, ULONG(in.size()), outLength));
        if (!in.empty()) std::memcpy(r->Buffer<UCHAR>(), in.data(), in.size());
        NTSTATUS s = r->Send();
        if (status != nullptr) *status = s;
        Settle();
        return r;
    }
    static Bytes Ulong(ULONG value) { return Bytes((UCHAR *)&value, (UCHAR *)&value + 4); }

    // A wait-on-mask posted after the mask is set.
    std::unique_ptr<Request> WaitFor(ULONG mask)
    {
        EXPECT_EQ(STATUS_SUCCESS, Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, Ulong(mask), 0)->Status());
        return Ioctl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    }

    std::unique_ptr<Request> Write(const Bytes &data)
    {
        std::unique_ptr<Request> r(Request::Write(device, data));
        EXPECT_EQ(STATUS_PENDING, StartWrite(*r));
        return r;
    }

    std::unique_ptr<Request> Read(ULONG length)
    {
        std::unique_ptr<Request> r(Request::Read(device, length));
        EXPECT_EQ(STATUS_PENDING, StartRead(*r));
        Settle();
        return r;
    }

    static Bytes Filler(size_t count, UCHAR value = 'a') { return Bytes(count, value); }

    // Delivers count characters in replies no larger than the receive FIFO.
    void ReceiveMany(size_t count)
    {
        while (count > 0) {
            size_t n = count < 1000 ? count : 1000;
            Receive(Filler(n));
            count -= n;
        }
    }
};

// ------------------------------------------------------------------ receive side

TEST_F(InterruptTest, AReplyWithNoReadGoesToTheRingAndWakesAWaitOnce)
{
    Open();
    auto wait = WaitFor(SERIAL_EV_RXCHAR);
    EXPECT_FALSE(wait->Done());
    Receive({1, 3, 2, 0x12, 0x34, 0x35, 0x36});
    EXPECT_EQ(7u, RingCount());
    EXPECT_EQ(7u, Stats().ReceivedCount);
    ASSERT_EQ(1, wait->Completions());
    EXPECT_EQ(STATUS_SUCCESS, wait->Status());
    EXPECT_EQ(ULONG(SERIAL_EV_RXCHAR), *wait->Buffer<ULONG>());

    // The characters after the first were recorded for the next wait, which returns at once.
    auto next = WaitFor(SERIAL_EV_RXCHAR);
    ASSERT_EQ(1, next->Completions());
    EXPECT_EQ(ULONG(SERIAL_EV_RXCHAR), *next->Buffer<ULONG>());

    // Event character and any character on the same one: reported together.
    Locked([&] { ext->SpecialChars.EventChar = 0x7E; });
    auto both = WaitFor(SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG);
    Receive({0x7E});
    EXPECT_EQ(ULONG(SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG), *both->Buffer<ULONG>());
}

TEST_F(InterruptTest, ANewMaskEndsAWaitWhoseEventIsStillOnItsWay)
{
    Open();
    auto wait = WaitFor(SERIAL_EV_RXCHAR);
    std::unique_ptr<Request> setMask(Request::Control(device, IOCTL_SERIAL_SET_WAIT_MASK, 4, 0));
    *setMask->Buffer<ULONG>() = SERIAL_EV_CTS;

    // At DISPATCH_LEVEL the completion DPC that the event queues cannot run before the new mask.
    KIRQL oldIrql;
    KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
    KeAcquireSpinLockAtDpcLevel(&ext->DeviceLock);
    ext->Uart.RxFifo[0] = 'e';
    ext->Uart.RxCount = 1;
    ReceiveCharacters(ext);
    KeReleaseSpinLockFromDpcLevel(&ext->DeviceLock);
    setMask->Send();
    int endedWithTheMask = wait->Completions();
    KeLowerIrql(oldIrql);
    Settle();

    EXPECT_EQ(1, endedWithTheMask);
    ASSERT_EQ(1, wait->Completions());
    EXPECT_EQ(STATUS_SUCCESS, wait->Status());
    EXPECT_EQ(ULONG(SERIAL_EV_RXCHAR), *wait->Buffer<ULONG>());  // the event came first
    EXPECT_EQ(sizeof(ULONG), wait->Information());
    ASSERT_EQ(1, setMask->Completions());
    auto next = Ioctl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    EXPECT_FALSE(next->Done());  // accepted
    EXPECT_EQ(STATUS_SUCCESS, Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, Ulong(0), 0)->Status());
    ASSERT_EQ(1, next->Completions());
    EXPECT_EQ(0u, *next->Buffer<ULONG>());
}

TEST_F(InterruptTest, AWaitingReadIsFilledDirectlyAndTheRestGoesToTheRing)
{
    Open();
    auto read = Read(5);
    Receive({10, 11, 12, 13, 14, 15, 16});
    ASSERT_EQ(1, read->Completions());
    EXPECT_EQ(STATUS_SUCCESS, read->Status());
    EXPECT_EQ(5u, read->Information());
    EXPECT_EQ(Bytes({10, 11, 12, 13, 14}), Bytes(read->Buffer<UCHAR>(), read->Buffer<UCHAR>() + 5));
    EXPECT_EQ(Bytes({15, 16}), RingBytes());
}

TEST_F(InterruptTest, ReceivedCharactersAreMaskedStrippedAndEscaped)
{
    Open();
    Receive({0x83});  // 7 data bits after open
    EXPECT_EQ(Bytes({0x03}), RingBytes());

    SetHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_NULL_STRIPPING);
    Receive({0x00, 0x41, 0x00});
    EXPECT_EQ(Bytes({0x03, 0x41}), RingBytes());
    EXPECT_EQ(4u, Stats().ReceivedCount);  // stripped characters are still counted

    Locked([&] {
        ext->ValidDataMask = 0xFF;
        ext->EscapeChar = 0xFE;
    });
    Receive({0xFE, 0x01});
    EXPECT_EQ(Bytes({0x03, 0x41, 0xFE, 0x00, 0x01}), RingBytes());
}

TEST_F(InterruptTest, AModemStatusChangeIsInsertedAfterTheEscapeCharacter)
{
    Open(/*rtsMask=*/WIRE_CTS);
    Locked([&] {
        ext->ValidDataMask = 0xFF;
        ext->EscapeChar = 0xFE;
    });
    Locked([&] { LowerRts(ext); });
    Settle();
    EXPECT_EQ(Bytes({0xFE, SERIAL_LSRMST_MST, UART_MSR_DCTS}), RingBytes());
}

TEST_F(InterruptTest, WiredInputsRiseAtOpenAndTheirChangesWakeAWait)
{
    Open(/*rtsMask=*/WIRE_CTS | WIRE_DSR);
    // The change bits were consumed at open; DTR and RTS are up.
    EXPECT_EQ(ULONG(UART_MSR_CTS | UART_MSR_DSR), Locked([&] { return UpdateModemStatus(ext, FALSE); }));
    EXPECT_EQ(UART_MCR_DTR | UART_MCR_RTS, Mcr() & (UART_MCR_DTR | UART_MCR_RTS));

    auto wait = WaitFor(SERIAL_EV_CTS | SERIAL_EV_RING);
    Locked([&] { LowerRts(ext); });
    Settle();
    ASSERT_EQ(1, wait->Completions());
    EXPECT_EQ(ULONG(SERIAL_EV_CTS), *wait->Buffer<ULONG>());
    EXPECT_EQ(0u, Locked([&] { return UpdateModemStatus(ext, FALSE); }) & UART_MSR_CTS);
}

TEST_F(InterruptTest, AFullRingLosesTheCharacterAndLatchesTheOverrun)
{
    Open();
    SetHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_ERROR_CHAR);
    Locked([&] { ext->SpecialChars.ErrorChar = 'E'; });
    ReceiveMany(4095);
    Receive({'z'});
    EXPECT_EQ(4096u, RingCount());
    EXPECT_EQ(0u, Stats().BufferOverrunErrorCount);

    Receive({'y'});
    EXPECT_EQ(4096u, RingCount());
    EXPECT_EQ(1u, Stats().BufferOverrunErrorCount);
    EXPECT_EQ(ULONG(SERIAL_ERROR_QUEUEOVERRUN), Locked([&] { return ext->LatchedErrors; }));
    EXPECT_EQ('E', RingBytes().back());  // the last stored character became the error character
}

TEST_F(InterruptTest, DsrSensitivityWithNothingDrivingDsrDropsEverything)
{
    Open();
    SetHandFlow(SERIAL_DTR_CONTROL | SERIAL_DSR_SENSITIVITY, SERIAL_RTS_CONTROL);
    Receive({1, 2, 3});
    EXPECT_EQ(0u, RingCount());
    EXPECT_EQ(3u, Stats().ReceivedCount);
}

// ------------------------------------------------------------------ transmitter and flow control

TEST_F(InterruptTest, ReceivedXoffHoldsAndXonResumesAtOnce)
{
    Open();
    SetHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_AUTO_TRANSMIT);
    Receive({0x13});
    EXPECT_EQ(ULONG(TX_HOLD_XOFF), HoldReasons());
    auto write = Write({1, 2, 3});
    EXPECT_FALSE(write->Done());

    Receive({0x11});  // nothing else kicks the transmitter
    EXPECT_EQ(1, write->Completions());
    EXPECT_EQ(0u, HoldReasons());
    EXPECT_EQ(0u, RingCount());  // flow characters are consumed, not stored

    // Turning automatic transmit flow control off releases a received XOFF and sends XON.
    Receive({0x13});
    ULONG sent = Stats().TransmittedCount;
    SetHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL);
    EXPECT_EQ(0u, HoldReasons());
    EXPECT_EQ(sent + 1, Stats().TransmittedCount);
}

TEST_F(InterruptTest, AutomaticReceiveFlowControlSendsXoffNearFullAndXonWhenDrained)
{
    Open();
    SetHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_AUTO_RECEIVE);
    ReceiveMany(3583);
    EXPECT_EQ(0u, Stats().TransmittedCount);
    Receive({'x'});
    EXPECT_EQ(1u, Stats().TransmittedCount);
    EXPECT_EQ(ULONG(TX_HOLD_XOFF), HoldReasons());  // stops after its own XOFF
    EXPECT_EQ(ULONG(RX_HOLD_XOFF), RxHolds());

    Read(1600);  // 1984 left: at or below XonLimit
    EXPECT_EQ(2u, Stats().TransmittedCount);
    EXPECT_EQ(0u, HoldReasons());
    EXPECT_EQ(0u, RxHolds());
}

TEST_F(InterruptTest, WithXoffContinueThePortKeepsSendingAfterItsXoff)
{
    Open();
    SetHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_AUTO_RECEIVE | SERIAL_XOFF_CONTINUE);
    ReceiveMany(3584);
    EXPECT_EQ(0u, HoldReasons());
    EXPECT_EQ(ULONG(RX_HOLD_XOFF), RxHolds());
    auto write = Write({1, 2});
    EXPECT_EQ(1, write->Completions());
}

TEST_F(InterruptTest, DtrHandshakeLowersDtrAtOnceWhenTheRingIsAlreadyNearFull)
{
    Open();
    ReceiveMany(3600);
    EXPECT_EQ(UART_MCR_DTR, Mcr() & UART_MCR_DTR);
    SetHandFlow(SERIAL_DTR_HANDSHAKE, SERIAL_RTS_CONTROL);
    EXPECT_EQ(0, Mcr() & UART_MCR_DTR);
    EXPECT_EQ(ULONG(RX_HOLD_DTR), RxHolds());
}

TEST_F(InterruptTest, BreakStopsWritesUntilItIsTurnedOff)
{
    Open();
    Locked([&] { StopBreak(ext); });  // without a break: nothing
    EXPECT_EQ(0u, HoldReasons());
    Locked([&] { StartBreak(ext); });
    EXPECT_EQ(ULONG(TX_HOLD_BREAK), HoldReasons());
    EXPECT_EQ(UART_LCR_BREAK, Locked([&] { return VuartReadLcr(&ext->Uart); }) & UART_LCR_BREAK);
    auto write = Write({1, 2, 3});
    EXPECT_FALSE(write->Done());

    Locked([&] { StopBreak(ext); });
    Settle();
    EXPECT_EQ(1, write->Completions());
    EXPECT_EQ(0, Locked([&] { return VuartReadLcr(&ext->Uart); }) & UART_LCR_BREAK);
}

TEST_F(InterruptTest, TransmitToggleRaisesRtsWhileSendingAndCountsTheCharacters)
{
    Open();
    SetHandFlow(SERIAL_DTR_CONTROL, 0);  // RTS low
    SetHandFlow(SERIAL_DTR_CONTROL, SERIAL_TRANSMIT_TOGGLE);
    EXPECT_EQ(0, Mcr() & UART_MCR_RTS);

    Locked([&] { HoldForXoff(ext); });
    auto write = Write({1, 2, 3, 4});
    EXPECT_EQ(UART_MCR_RTS, Mcr() & UART_MCR_RTS);  // raised for the pending characters
    Locked([&] { ReleaseXoffHold(ext); });
    Settle();
    EXPECT_EQ(1, write->Completions());
    EXPECT_EQ(4u, Stats().TransmittedCount);
    EXPECT_EQ(0, Mcr() & UART_MCR_RTS);  // dropped once the transmitter is empty
}

// ------------------------------------------------------------------ immediate character

class ImmediateTest : public InterruptTest {
protected:
    void SetUp() override
    {
        InterruptTest::SetUp();
        qv::UseVirtualClock(true);
    }
    std::unique_ptr<Request> Immediate(UCHAR character, NTSTATUS expected = STATUS_PENDING)
    {
        std::unique_ptr<Request> r(Request::Control(device, IOCTL_SERIAL_IMMEDIATE_CHAR, 1, 0));
        EXPECT_EQ(expected, StartImmediate(*r, character));
        return r;
    }
};

TEST_F(ImmediateTest, SentAtOnceWhenTheTransmitterIsIdle)
{
    Open();
    auto wait = WaitFor(SERIAL_EV_TXEMPTY);
    auto immediate = Immediate('!');
    ASSERT_EQ(1, immediate->Completions());
    EXPECT_EQ(STATUS_SUCCESS, immediate->Status());
    EXPECT_EQ(0u, immediate->Information());
    EXPECT_EQ(1u, Stats().TransmittedCount);
    EXPECT_EQ(ULONG(SERIAL_EV_TXEMPTY), *wait->Buffer<ULONG>());
    EXPECT_EQ(0u, Locked([&] { return ext->TxQueuedCount; }));
}

TEST_F(ImmediateTest, PassesAnXoffHoldEvenWhileAWriteIsHeldByIt)
{
    Open();
    Locked([&] { HoldForXoff(ext); });
    auto write = Write({1, 2, 3});
    EXPECT_FALSE(write->Done());

    auto immediate = Immediate('!');
    ASSERT_EQ(1, immediate->Completions());
    EXPECT_EQ(STATUS_SUCCESS, immediate->Status());
    EXPECT_EQ(1u, Stats().TransmittedCount);
    EXPECT_FALSE(write->Done());

    Locked([&] { ReleaseXoffHold(ext); });
    Settle();
    EXPECT_EQ(1, write->Completions());
}

TEST_F(ImmediateTest, ASecondOneIsRefusedAndCancellingTheFirstEndsIt)
{
    Open();
    SetHandFlow(SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_CONTROL);
    auto first = Immediate('1');
    NTSTATUS status;
    auto second = Ioctl(IOCTL_SERIAL_IMMEDIATE_CHAR, {'2'}, 0, &status);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, status);

    EXPECT_TRUE(IoCancelIrp(first->irp()));
    Settle();
    ASSERT_EQ(1, first->Completions());
    EXPECT_EQ(STATUS_CANCELLED, first->Status());
    EXPECT_EQ(nullptr, Locked([&] { return ext->ImmediateIrp; }));
}

}  // namespace
}  // namespace sctest
