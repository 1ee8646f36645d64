// Wait-on-mask events, the modem lines through the wiring masks, receive flow control, XON/XOFF
// both ways and purge, as an application sees them.
#include <ntddser.h>

#include "serial_test.h"

namespace sertest {
namespace {

class Events : public SerialTest {
protected:
    void Open(const PortOptions &options = PortOptions()) { OpenNewPort(options); }
    void SetHandFlow(ULONG control, ULONG flow)
    {
        SERIAL_HANDFLOW handFlow = {control, flow, 2048, 512};
        ASSERT_EQ(Ioctl(file, IOCTL_SERIAL_SET_HANDFLOW, &handFlow, sizeof(handFlow), nullptr, 0), ERROR_SUCCESS);
    }
};

TEST_F(Events, WaitOnMaskReportsReceivedCharacters)
{
    Open();
    Pending refused;
    StartWait(file, refused);
    EXPECT_EQ(refused.Status(), STATUS_INVALID_PARAMETER);  // no mask yet

    ASSERT_TRUE(SetCommMask(file, EV_RXCHAR));
    port->Receive({1, 2, 3});
    Pending recorded;
    StartWait(file, recorded);
    EXPECT_EQ(recorded.Status(), STATUS_SUCCESS);
    EXPECT_EQ(recorded.mask, (DWORD)EV_RXCHAR);

    Pending pending, second;
    StartWait(file, pending);
    StartWait(file, second);
    EXPECT_EQ(second.Status(), STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(pending.Done());
    port->Receive({4});
    EXPECT_EQ(pending.Status(), STATUS_SUCCESS);
    EXPECT_EQ(pending.mask, (DWORD)EV_RXCHAR);

    // The event character in the same reply: both events in one report.
    ChangeDcb(file, [](DCB &dcb) { dcb.EvtChar = 0x7E; });
    ASSERT_TRUE(SetCommMask(file, EV_RXCHAR | EV_RXFLAG | EV_ERR | EV_BREAK));
    Pending both;
    StartWait(file, both);
    port->Receive({0x7E, 0x01});
    EXPECT_EQ(both.Status(), STATUS_SUCCESS);
    EXPECT_EQ(both.mask, (DWORD)(EV_RXCHAR | EV_RXFLAG));
}

TEST_F(Events, SetMaskEndsAPendingWaitAndForgetsOtherEvents)
{
    Open();
    ASSERT_TRUE(SetCommMask(file, EV_RXCHAR | EV_CTS));
    Pending wait;
    StartWait(file, wait);
    ASSERT_TRUE(SetCommMask(file, EV_RXCHAR | EV_CTS));
    EXPECT_EQ(wait.Status(), STATUS_SUCCESS);
    EXPECT_EQ(wait.mask, 0u);

    port->Receive({1});                      // recorded, no wait pending
    ASSERT_TRUE(SetCommMask(file, EV_CTS));  // forgets it
    Pending next;
    StartWait(file, next);
    EXPECT_FALSE(next.Done());
    ASSERT_TRUE(CancelIo(file));
    EXPECT_EQ(next.Status(), STATUS_CANCELLED);
}

TEST_F(Events, RtsDrivesCtsThroughTheWiring)
{
    PortOptions options;
    options.RtsMask = 0x03;  // CTS and DSR follow RTS
    Open(options);
    DWORD modem = 0;
    ASSERT_TRUE(GetCommModemStatus(file, &modem));
    EXPECT_EQ(modem, (DWORD)(MS_CTS_ON | MS_DSR_ON));  // RTS raised at open

    ASSERT_TRUE(SetCommMask(file, EV_CTS));
    Pending fall;
    StartWait(file, fall);
    ASSERT_TRUE(EscapeCommFunction(file, CLRRTS));
    EXPECT_EQ(fall.Status(), STATUS_SUCCESS);
    EXPECT_EQ(fall.mask, (DWORD)EV_CTS);
    ASSERT_TRUE(GetCommModemStatus(file, &modem));
    EXPECT_EQ(modem, 0u);

    Pending rise;
    StartWait(file, rise);
    ASSERT_TRUE(EscapeCommFunction(file, SETRTS));
    EXPECT_EQ(rise.Status(), STATUS_SUCCESS);
    EXPECT_EQ(rise.mask, (DWORD)EV_CTS);
    ASSERT_TRUE(GetCommModemStatus(file, &modem));
    EXPECT_EQ(modem, (DWORD)(MS_CTS_ON | MS_DSR_ON));

    // Close drops the outputs, and the wired inputs with them.
    CloseHandle(file);
    file = INVALID_HANDLE_VALUE;
    ASSERT_TRUE(qvtest::WaitUntil([&] { return port->OpenCount() == 0; }));
    EXPECT_EQ(port->ModemControl() & 0x03, 0);
    EXPECT_EQ(port->ModemStatusRegister() & 0x30, 0);
}

TEST_F(Events, RingEightyPercentFullIsReportedOnce)
{
    Open();
    ASSERT_TRUE(SetCommMask(file, EV_RX80FULL));
    Pending wait;
    StartWait(file, wait);
    port->Receive(3327, 'r');
    EXPECT_FALSE(wait.Done());
    port->Receive(1, 'r');
    EXPECT_EQ(wait.Status(), STATUS_SUCCESS);
    EXPECT_EQ(wait.mask, (DWORD)EV_RX80FULL);
    Pending again;
    StartWait(file, again);
    port->Receive(10, 'r');
    EXPECT_FALSE(again.Done());
    ASSERT_TRUE(SetCommMask(file, 0));
    EXPECT_EQ(again.Status(), STATUS_SUCCESS);
    EXPECT_EQ(again.mask, 0u);
}

TEST_F(Events, HandshakesLowerTheLinesAtTheXoffLimit)
{
    Open();
    SetHandFlow(SERIAL_DTR_HANDSHAKE, SERIAL_RTS_HANDSHAKE);
    port->Receive(3583, 'h');
    EXPECT_EQ(port->ModemControl() & 0x03, 0x03);
    port->Receive(1, 'h');  // the 3584th leaves XoffLimit places free
    EXPECT_EQ(port->ModemControl() & 0x03, 0);
    EXPECT_EQ(CommStatus(file).HoldReasons, 0u);  // DTR and RTS holds are not reported

    SetTimeouts(file, MAXDWORD, 0, 0);
    Pending read;
    StartRead(file, read, 1535);  // 2049 left: still above XonLimit
    ASSERT_EQ(read.Bytes(), 1535u);
    EXPECT_EQ(port->ModemControl() & 0x03, 0);
    Pending more;
    StartRead(file, more, 1);
    ASSERT_EQ(more.Bytes(), 1u);
    EXPECT_EQ(port->ModemControl() & 0x03, 0x03);
}

TEST_F(Events, XonXoffBothWays)
{
    Open();
    ULONG before = Transmitted(file);
    SetHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_AUTO_RECEIVE | SERIAL_AUTO_TRANSMIT);
    port->Receive(3584, 'x');
    ASSERT_TRUE(qvtest::WaitUntil([&] { return Transmitted(file) == before + 1; }));  // the port's XOFF
    EXPECT_EQ(CommStatus(file).HoldReasons, (ULONG)(SERIAL_TX_WAITING_XOFF_SENT | SERIAL_TX_WAITING_FOR_XON));
    ASSERT_TRUE(PurgeComm(file, PURGE_RXCLEAR));  // the ring drains: XON goes out
    ASSERT_TRUE(qvtest::WaitUntil([&] { return Transmitted(file) == before + 2; }));
    EXPECT_EQ(CommStatus(file).HoldReasons, 0u);

    // A received XOFF holds a write, the XON releases it; neither is stored.
    port->Receive({0x13});
    Pending write;
    StartWrite(file, write, {1, 2, 3});
    EXPECT_EQ(CommStatus(file).HoldReasons, (ULONG)SERIAL_TX_WAITING_FOR_XON);
    EXPECT_FALSE(write.Done());
    port->Receive({0x11});
    EXPECT_EQ(write.Status(), STATUS_SUCCESS);
    EXPECT_EQ(port->RingCount(), 0u);
}

TEST_F(Events, BreakHoldsWritesAndPurgeAbortsThem)
{
    Open();
    ASSERT_TRUE(SetCommBreak(file));
    Pending held, queued;
    StartWrite(file, held, {1, 2});
    StartWrite(file, queued, {3});
    EXPECT_EQ(CommStatus(file).HoldReasons, (ULONG)SERIAL_TX_WAITING_ON_BREAK);
    EXPECT_EQ(CommStatus(file).AmountInOutQueue, 3u);

    SetTimeouts(file, 0, 0, 0);
    Pending read;
    StartRead(file, read, 5);
    port->Receive({9});
    ASSERT_TRUE(PurgeComm(file, PURGE_TXABORT | PURGE_RXABORT));
    EXPECT_EQ(held.Status(), STATUS_CANCELLED);
    EXPECT_EQ(queued.Status(), STATUS_CANCELLED);
    EXPECT_EQ(read.Status(), STATUS_CANCELLED);
    EXPECT_EQ(read.Bytes(), 1u);
    EXPECT_EQ(CommStatus(file).AmountInOutQueue, 0u);

    // Purging the receive side empties the ring; without a break a write goes out again.
    port->Receive({1, 2, 3});
    ASSERT_TRUE(PurgeComm(file, PURGE_RXCLEAR | PURGE_TXCLEAR));
    EXPECT_EQ(port->RingCount(), 0u);
    ASSERT_TRUE(ClearCommBreak(file));
    Pending write;
    StartWrite(file, write, {4});
    EXPECT_EQ(write.Status(), STATUS_SUCCESS);
}

TEST_F(Events, EscapeCharacterIsDoubledAndModemChangesInserted)
{
    PortOptions options;
    options.RtsMask = 0x01;
    Open(options);
    ChangeDcb(file, [](DCB &dcb) { dcb.ByteSize = 8; });  // 0xFE survives the data mask
    UCHAR escape = 0xFE;
    ASSERT_EQ(Ioctl(file, IOCTL_SERIAL_LSRMST_INSERT, &escape, 1, nullptr, 0), ERROR_SUCCESS);
    port->Receive({0xFE});
    ASSERT_TRUE(EscapeCommFunction(file, CLRRTS));
    // The emulated interrupt inserts the modem status change.
    ASSERT_TRUE(qvtest::WaitUntil([&] { return port->RingCount() == 5; }));
    SetTimeouts(file, MAXDWORD, 0, 0);
    Pending read;
    StartRead(file, read, 16);
    ASSERT_EQ(read.Bytes(), 5u);
    EXPECT_EQ(std::vector<uint8_t>(read.data.begin(), read.data.begin() + 5),
              (std::vector<uint8_t>{0xFE, 0x00, 0xFE, SERIAL_LSRMST_MST, 0x01}));
}

}  // namespace
}  // namespace sertest
