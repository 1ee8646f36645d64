// The virtual UART's registers and its RTS/DTR wiring. Interrupts stay disabled (IER 0) so
// that the tests read the registers the interrupt processing would otherwise consume.
#include "serial_port.h"

namespace sctest {
namespace {

class VuartTest : public SerialPort {
protected:
    void Wire(UCHAR rtsMask, UCHAR dtrMask)
    {
        ext->EthInfo.rtsMask = rtsMask;
        ext->EthInfo.dtrMask = dtrMask;
    }
    UCHAR WriteMcr(UCHAR value)
    {
        return Locked([&] {
            VuartWriteMcr(&ext->Uart, value);
            return ext->Uart.Msr;
        });
    }
    UCHAR ReadMsr()
    {
        return Locked([&] { return VuartReadMsr(&ext->Uart); });
    }
    PVUART uart() { return &ext->Uart; }
};

TEST_F(VuartTest, InputsFollowTheirWiredOutputWithChangeBitsUntilRead)
{
    Wire(WIRE_CTS, 0);
    EXPECT_EQ(0x11, WriteMcr(UART_MCR_RTS));
    EXPECT_TRUE(uart()->ModemStatusPending);
    EXPECT_EQ(0x11, ReadMsr());
    EXPECT_EQ(0x10, ReadMsr());  // change bits are consumed by the read
    EXPECT_FALSE(uart()->ModemStatusPending);
    WriteMcr(0);
    EXPECT_EQ(0x01, ReadMsr());  // CTS fell: changed, low

    Wire(WIRE_CTS | WIRE_DSR | WIRE_DCD | WIRE_RING, 0);
    EXPECT_EQ(0xFF, WriteMcr(UART_MCR_RTS));
    EXPECT_EQ(0xF0, ReadMsr() & 0xF0);
}

TEST_F(VuartTest, AnInputWiredToBothOutputsFollowsDtr)
{
    Wire(WIRE_CTS, WIRE_CTS);
    EXPECT_EQ(0, WriteMcr(UART_MCR_RTS) & UART_MSR_CTS);  // RTS up, DTR down: low
    // Raised by the RTS step, lowered by the DTR step: the level ends where it started but
    // the change is still reported.
    EXPECT_TRUE(uart()->ModemStatusPending);
    ReadMsr();
    EXPECT_EQ(UART_MSR_CTS, WriteMcr(UART_MCR_RTS | UART_MCR_DTR) & UART_MSR_CTS);
    EXPECT_EQ(0, WriteMcr(UART_MCR_RTS) & UART_MSR_CTS);
}

TEST_F(VuartTest, ALevelThatDoesNotChangeRaisesNothing)
{
    Wire(WIRE_DSR, WIRE_DCD);
    WriteMcr(UART_MCR_RTS | UART_MCR_DTR);
    EXPECT_EQ(UART_MSR_DSR | UART_MSR_DCD | UART_MSR_DDSR | UART_MSR_DDCD, ReadMsr());
    WriteMcr(UART_MCR_RTS | UART_MCR_DTR | 0x08);  // OUT2 only: stored, no effect
    EXPECT_FALSE(uart()->ModemStatusPending);
    EXPECT_EQ(UART_MSR_DSR | UART_MSR_DCD, ReadMsr());
    EXPECT_EQ(UART_MCR_RTS | UART_MCR_DTR | 0x08, Locked([&] { return VuartReadMcr(uart()); }));

    // With the masks cleared the outputs no longer move the inputs.
    Wire(0, 0);
    WriteMcr(0);
    WriteMcr(UART_MCR_RTS | UART_MCR_DTR);
    EXPECT_EQ(UART_MSR_DSR | UART_MSR_DCD, ReadMsr());
}

TEST_F(VuartTest, ReceiveFifoLineStatusAndInterruptIdentification)
{
    Locked([&] {
        EXPECT_EQ(0x60, VuartReadLsr(uart()));
        const UCHAR reply[7] = {1, 3, 2, 0x12, 0x34, 0xB5, 0x33};
        RtlCopyMemory(uart()->RxFifo, reply, sizeof(reply));
        uart()->RxCount = sizeof(reply);
        for (UCHAR expected : reply) {
            EXPECT_EQ(0x61, VuartReadLsr(uart()));
            EXPECT_EQ(expected, VuartReadRbr(uart()));
        }
        EXPECT_EQ(0x60, VuartReadLsr(uart()));
        EXPECT_EQ(0, VuartReadRbr(uart()));  // empty FIFO: 0, nothing changes
        EXPECT_EQ(0u, uart()->RxCount);

        EXPECT_EQ(UART_IIR_NO_INTERRUPT, VuartReadIir(uart()));
        VuartWriteThr(uart(), 'x');
        EXPECT_EQ(UART_IIR_THRE, VuartReadIir(uart()));
        EXPECT_EQ(UART_IIR_NO_INTERRUPT, VuartReadIir(uart()));

        // Modem status is identified until the MSR is read; transmitter empty comes first.
        uart()->ModemStatusPending = TRUE;
        VuartKickTransmitter(uart());
        EXPECT_EQ(UART_IIR_THRE, VuartReadIir(uart()));
        EXPECT_EQ(UART_IIR_MS, VuartReadIir(uart()));
        EXPECT_EQ(UART_IIR_MS, VuartReadIir(uart()));
        VuartReadMsr(uart());
        EXPECT_EQ(UART_IIR_NO_INTERRUPT, VuartReadIir(uart()));
    });
}

}  // namespace
}  // namespace sctest
