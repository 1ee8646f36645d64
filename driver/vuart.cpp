// The virtual UART: a software 16550 register file in place of the hardware a serial driver
// talks to. Received replies arrive in RxFifo from the gateway; transmitted characters are
// discarded (the data went to the server when the write was dispatched); the DTR and RTS
// outputs drive the CTS, DSR, DCD and RI inputs through the port's wiring masks. An
// interrupt is a queued DPC (EmulatedInterruptDpc).
//
// Every register operation runs under DeviceLock.

#include "quorvel.h"

PAGED_ROUTINE NTSTATUS VuartInitialize(PVUART Uart, PDEVICE_EXTENSION Extension)
{
    PAGED_CODE();
    // Device start, PASSIVE_LEVEL: nothing else touches the UART yet.
    RtlZeroMemory(Uart, sizeof(VUART));
    Uart->Owner = Extension;
    Uart->RxFifo = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, VUART_RX_FIFO_SIZE, QUORVEL_TAG);
    if (Uart->RxFifo == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    KeInitializeDpc(&Uart->InterruptDpc, EmulatedInterruptDpc, Extension);
    return STATUS_SUCCESS;
}

VOID VuartFree(PVUART Uart)
{
    PUCHAR fifo;
    KIRQL oldIrql;

    if (Uart->Owner == NULL) return;  // never initialised
    // Cleared under the lock: a receive indication still on its way finds no FIFO rather
    // than freed memory.
    KeAcquireSpinLock(&Uart->Owner->DeviceLock, &oldIrql);
    fifo = Uart->RxFifo;
    Uart->RxFifo = NULL;
    Uart->RxCount = 0;
    KeReleaseSpinLock(&Uart->Owner->DeviceLock, oldIrql);
    if (fifo != NULL) ExFreePoolWithTag(fifo, QUORVEL_TAG);
}

VOID VuartRaiseInterrupt(PVUART Uart)
{
    if ((Uart->TxEmptyPending && (Uart->Ier & UART_IER_THRE)) ||
        (Uart->ModemStatusPending && (Uart->Ier & UART_IER_MS))) {
        KeInsertQueueDpc(&Uart->InterruptDpc, NULL, NULL);
    }
}

VOID VuartWriteThr(PVUART Uart, UCHAR Character)
{
    // Nothing goes on a wire: the character only takes its turn in the transmitter.
    (VOID) Character;
    Uart->TxEmptyPending = TRUE;
    VuartRaiseInterrupt(Uart);
}

VOID VuartKickTransmitter(PVUART Uart)
{
    Uart->TxEmptyPending = TRUE;
    VuartRaiseInterrupt(Uart);
}

UCHAR VuartReadRbr(PVUART Uart)
{
    UCHAR character;

    if (Uart->RxCount == 0 || Uart->RxFifo == NULL) return 0;
    character = Uart->RxFifo[0];
    Uart->RxCount--;
    // The FIFO always starts at its first byte; replies are short, so the move is cheap.
    RtlMoveMemory(Uart->RxFifo, Uart->RxFifo + 1, Uart->RxCount);
    return character;
}

UCHAR VuartReadIir(PVUART Uart)
{
    if (Uart->TxEmptyPending) {
        Uart->TxEmptyPending = FALSE;
        return UART_IIR_THRE;
    }
    if (Uart->ModemStatusPending) return UART_IIR_MS;  // pending until the MSR is read
    return UART_IIR_NO_INTERRUPT;
}

UCHAR VuartReadLsr(PVUART Uart)
{
    // A virtual line has no overrun, parity, framing or break errors.
    UCHAR lsr = UART_LSR_THRE | UART_LSR_TEMT;
    if (Uart->RxCount > 0) lsr |= UART_LSR_DR;
    return lsr;
}

UCHAR VuartReadMsr(PVUART Uart)
{
    UCHAR msr = Uart->Msr;
    Uart->Msr &= (UCHAR)~UART_MSR_DELTAS;
    Uart->ModemStatusPending = FALSE;
    return msr;
}

UCHAR VuartReadMcr(PVUART Uart) { return Uart->Mcr; }

// One input of one output's wiring: an input already at the required level is left alone.
static VOID VuartApplyWiring(PVUART Uart, UCHAR Value, UCHAR OutputBit, UCHAR Mask, UCHAR WireBit, UCHAR StateBit,
                             UCHAR ChangeBit)
{
    if ((Mask & WireBit) == 0) return;
    if ((Value & OutputBit) != 0) {
        if ((Uart->Msr & StateBit) == 0) {
            Uart->Msr |= StateBit | ChangeBit;
            Uart->ModemStatusPending = TRUE;
        }
    } else if ((Uart->Msr & StateBit) != 0) {
        Uart->Msr = (UCHAR)((Uart->Msr & ~StateBit) | ChangeBit);
        Uart->ModemStatusPending = TRUE;
    }
}

static VOID VuartApplyOutput(PVUART Uart, UCHAR Value, UCHAR OutputBit, UCHAR Mask)
{
    VuartApplyWiring(Uart, Value, OutputBit, Mask, WIRE_CTS, UART_MSR_CTS, UART_MSR_DCTS);
    VuartApplyWiring(Uart, Value, OutputBit, Mask, WIRE_DSR, UART_MSR_DSR, UART_MSR_DDSR);
    VuartApplyWiring(Uart, Value, OutputBit, Mask, WIRE_DCD, UART_MSR_DCD, UART_MSR_DDCD);
    VuartApplyWiring(Uart, Value, OutputBit, Mask, WIRE_RING, UART_MSR_RI, UART_MSR_TERI);
}

VOID VuartWriteMcr(PVUART Uart, UCHAR Value)
{
    // RTS first, then DTR: an input wired to both ends up following DTR.
    VuartApplyOutput(Uart, Value, UART_MCR_RTS, Uart->Owner->EthInfo.rtsMask);
    VuartApplyOutput(Uart, Value, UART_MCR_DTR, Uart->Owner->EthInfo.dtrMask);
    Uart->Mcr = Value;
    VuartRaiseInterrupt(Uart);
}

UCHAR VuartReadLcr(PVUART Uart) { return Uart->Lcr; }

VOID VuartWriteLcr(PVUART Uart, UCHAR Value) { Uart->Lcr = Value; }

VOID VuartWriteIer(PVUART Uart, UCHAR Value)
{
    Uart->Ier = Value;
    VuartRaiseInterrupt(Uart);
}
