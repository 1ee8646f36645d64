// Modem lines and flow control: the DTR and RTS outputs, the inputs the wiring derives from
// them, the output handshakes that hold the transmitter while an input is low, the input
// handshakes that lower DTR or RTS or send XOFF as the receive ring fills, XON/XOFF holds
// and the break state. None of it reaches the TCP side; the application sees line states,
// hold reasons, events and the timing of its writes.
//
// Every routine here runs with DeviceLock held.

#include "quorvel.h"

VOID RaiseDtr(PDEVICE_EXTENSION Extension)
{
    VuartWriteMcr(&Extension->Uart, (UCHAR)(VuartReadMcr(&Extension->Uart) | UART_MCR_DTR));
}

VOID LowerDtr(PDEVICE_EXTENSION Extension)
{
    VuartWriteMcr(&Extension->Uart, (UCHAR)(VuartReadMcr(&Extension->Uart) & ~UART_MCR_DTR));
}

VOID RaiseRts(PDEVICE_EXTENSION Extension)
{
    VuartWriteMcr(&Extension->Uart, (UCHAR)(VuartReadMcr(&Extension->Uart) | UART_MCR_RTS));
}

VOID LowerRts(PDEVICE_EXTENSION Extension)
{
    VuartWriteMcr(&Extension->Uart, (UCHAR)(VuartReadMcr(&Extension->Uart) & ~UART_MCR_RTS));
}

// A character in flight brings the next turn by itself; an idle transmitter needs a kick, but
// only when the holds let something through.
VOID KickIfIdle(PDEVICE_EXTENSION Extension)
{
    if (Extension->HoldingEmpty && TransmitterHasWork(Extension)) VuartKickTransmitter(&Extension->Uart);
}

VOID RequestFlowChar(PDEVICE_EXTENSION Extension, BOOLEAN Xon)
{
    // A later request replaces one not sent yet. A flow character held back by a hold goes out
    // at the kick that ends the hold, since it counts as work there.
    Extension->XonToSend = Xon;
    Extension->XoffToSend = !Xon;
    KickIfIdle(Extension);
}

// The ring counts as near full for a new setting when the free places are XoffLimit or fewer.
static BOOLEAN RingAtXoffLimit(PDEVICE_EXTENSION Extension, LONG XoffLimit)
{
    return (LONGLONG)Extension->RxRingCount >= (LONGLONG)Extension->RxRingSize - XoffLimit;
}

// Handshake mode of one output (DTR or RTS) under a new setting: the line is lowered while
// the ring is near full and raised when it drains.
static VOID ApplyOutputHandshake(PDEVICE_EXTENSION Extension, PSERIAL_HANDFLOW NewHandFlow, ULONG HoldBit,
                                 VOID (*Raise)(PDEVICE_EXTENSION), VOID (*Lower)(PDEVICE_EXTENSION))
{
    if (RingAtXoffLimit(Extension, NewHandFlow->XoffLimit)) {
        Extension->RxHoldReasons |= HoldBit;
        Lower(Extension);
    } else if (Extension->RxHoldReasons & HoldBit) {
        // At or below XonLimit the line stays low until ReleaseReceiveHolds.
        if ((LONGLONG)Extension->RxRingCount > NewHandFlow->XonLimit) {
            Extension->RxHoldReasons &= ~HoldBit;
            Raise(Extension);
        }
    } else {
        Raise(Extension);
    }
}

VOID ApplyHandFlow(PDEVICE_EXTENSION Extension, PSERIAL_HANDFLOW NewHandFlow)
{
    // While the port is being opened every part applies; afterwards only what changed.
    const BOOLEAN all = !Extension->PortOpen;
    const ULONG oldControl = Extension->HandFlow.ControlHandShake;
    const ULONG oldFlow = Extension->HandFlow.FlowReplace;
    const ULONG newControl = NewHandFlow->ControlHandShake;
    const ULONG newFlow = NewHandFlow->FlowReplace;

    if (all || (oldControl & SERIAL_DTR_MASK) != (newControl & SERIAL_DTR_MASK)) {
        switch (newControl & SERIAL_DTR_MASK) {
        case 0:
            Extension->RxHoldReasons &= ~RX_HOLD_DTR;
            LowerDtr(Extension);
            break;
        case SERIAL_DTR_CONTROL:
            Extension->RxHoldReasons &= ~RX_HOLD_DTR;
            RaiseDtr(Extension);
            break;
        case SERIAL_DTR_HANDSHAKE: ApplyOutputHandshake(Extension, NewHandFlow, RX_HOLD_DTR, RaiseDtr, LowerDtr); break;
        default:  // refused by the control request
            break;
        }
    }

    if (all || (oldFlow & SERIAL_RTS_MASK) != (newFlow & SERIAL_RTS_MASK)) {
        switch (newFlow & SERIAL_RTS_MASK) {
        case SERIAL_RTS_HANDSHAKE: ApplyOutputHandshake(Extension, NewHandFlow, RX_HOLD_RTS, RaiseRts, LowerRts); break;
        case SERIAL_RTS_CONTROL:
            Extension->RxHoldReasons &= ~RX_HOLD_RTS;
            RaiseRts(Extension);
            break;
        case SERIAL_TRANSMIT_TOGGLE:  // RTS follows the transmitter
            break;
        default:
            Extension->RxHoldReasons &= ~RX_HOLD_RTS;
            LowerRts(Extension);
            break;
        }
    }

    if (all || (oldFlow & SERIAL_AUTO_RECEIVE) != (newFlow & SERIAL_AUTO_RECEIVE)) {
        if (newFlow & SERIAL_AUTO_RECEIVE) {
            if (RingAtXoffLimit(Extension, NewHandFlow->XoffLimit)) {
                Extension->RxHoldReasons |= RX_HOLD_XOFF;
                RequestFlowChar(Extension, FALSE);
            }
        } else if (Extension->RxHoldReasons & RX_HOLD_XOFF) {
            Extension->RxHoldReasons &= ~RX_HOLD_XOFF;
            RequestFlowChar(Extension, TRUE);
        }
    }

    if (all || (oldFlow & SERIAL_AUTO_TRANSMIT) != (newFlow & SERIAL_AUTO_TRANSMIT)) {
        if (!(newFlow & SERIAL_AUTO_TRANSMIT) && (Extension->TxHoldReasons & TX_HOLD_XOFF)) {
            Extension->TxHoldReasons &= ~TX_HOLD_XOFF;
            RequestFlowChar(Extension, TRUE);
        }
    }

    Extension->HandFlow = *NewHandFlow;
}

// One output handshake: the transmitter is held while the handshake is on and its input low.
static VOID SetTransmitHold(PDEVICE_EXTENSION Extension, BOOLEAN Hold, ULONG HoldBit)
{
    if (Hold)
        Extension->TxHoldReasons |= HoldBit;
    else
        Extension->TxHoldReasons &= ~HoldBit;
}

ULONG UpdateModemStatus(PDEVICE_EXTENSION Extension, BOOLEAN DoingTx)
{
    const ULONG oldTxHold = Extension->TxHoldReasons;
    const UCHAR msr = VuartReadMsr(&Extension->Uart);
    const ULONG controlHandShake = Extension->HandFlow.ControlHandShake;

    if (Extension->EscapeChar != 0 && (msr & UART_MSR_DELTAS)) {
        PutReceivedChar(Extension, Extension->EscapeChar);
        PutReceivedChar(Extension, SERIAL_LSRMST_MST);
        PutReceivedChar(Extension, msr);
    }

    if ((controlHandShake & SERIAL_DSR_SENSITIVITY) && !(msr & UART_MSR_DSR))
        Extension->RxHoldReasons |= RX_HOLD_DSR;
    else
        Extension->RxHoldReasons &= ~RX_HOLD_DSR;

    if (Extension->WaitMask != 0) {
        const ULONG mask = Extension->WaitMask;
        if ((msr & UART_MSR_DCTS) && (mask & SERIAL_EV_CTS)) Extension->EventHistory |= SERIAL_EV_CTS;
        if ((msr & UART_MSR_DDSR) && (mask & SERIAL_EV_DSR)) Extension->EventHistory |= SERIAL_EV_DSR;
        if ((msr & UART_MSR_TERI) && (mask & SERIAL_EV_RING)) Extension->EventHistory |= SERIAL_EV_RING;
        if ((msr & UART_MSR_DDCD) && (mask & SERIAL_EV_RLSD)) Extension->EventHistory |= SERIAL_EV_RLSD;
        ReportEvents(Extension);
    }

    if (controlHandShake & SERIAL_OUT_HANDSHAKEMASK) {
        SetTransmitHold(Extension, (controlHandShake & SERIAL_CTS_HANDSHAKE) && !(msr & UART_MSR_CTS), TX_HOLD_CTS);
        SetTransmitHold(Extension, (controlHandShake & SERIAL_DSR_HANDSHAKE) && !(msr & UART_MSR_DSR), TX_HOLD_DSR);
        SetTransmitHold(Extension, (controlHandShake & SERIAL_DCD_HANDSHAKE) && !(msr & UART_MSR_DCD), TX_HOLD_DCD);
    } else {
        Extension->TxHoldReasons &= ~(TX_HOLD_CTS | TX_HOLD_DSR | TX_HOLD_DCD);
    }
    // The transmitter itself goes on by itself; anyone else resumes what a released hold lets
    // through (an immediate character or XON may go while an XOFF hold remains).
    if (!DoingTx && (oldTxHold & ~Extension->TxHoldReasons) != 0) KickIfIdle(Extension);

    return msr;
}

VOID ReleaseReceiveHolds(PDEVICE_EXTENSION Extension)
{
    if (Extension->RxHoldReasons == 0 || (LONGLONG)Extension->RxRingCount > Extension->HandFlow.XonLimit) return;
    if (Extension->RxHoldReasons & RX_HOLD_DTR) {
        Extension->RxHoldReasons &= ~RX_HOLD_DTR;
        RaiseDtr(Extension);
    }
    if (Extension->RxHoldReasons & RX_HOLD_RTS) {
        Extension->RxHoldReasons &= ~RX_HOLD_RTS;
        RaiseRts(Extension);
    }
    // The XOFF hold itself ends when the XON has gone out.
    if (Extension->RxHoldReasons & RX_HOLD_XOFF) RequestFlowChar(Extension, TRUE);
}

VOID StartBreak(PDEVICE_EXTENSION Extension)
{
    if ((Extension->HandFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_TRANSMIT_TOGGLE) RaiseRts(Extension);
    VuartWriteLcr(&Extension->Uart, (UCHAR)(VuartReadLcr(&Extension->Uart) | UART_LCR_BREAK));
    Extension->TxHoldReasons |= TX_HOLD_BREAK;
}

VOID StopBreak(PDEVICE_EXTENSION Extension)
{
    if (!(Extension->TxHoldReasons & TX_HOLD_BREAK)) return;
    VuartWriteLcr(&Extension->Uart, (UCHAR)(VuartReadLcr(&Extension->Uart) & ~UART_LCR_BREAK));
    Extension->TxHoldReasons &= ~TX_HOLD_BREAK;
    KickIfIdle(Extension);
    // Transmit toggle: with nothing to send, the RTS raised for the break falls again.
    if ((Extension->HandFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_TRANSMIT_TOGGLE && Extension->HoldingEmpty &&
        Extension->TxRemaining == 0 && !Extension->TransmitImmediate) {
        LowerRts(Extension);
    }
}

VOID HoldForXoff(PDEVICE_EXTENSION Extension) { Extension->TxHoldReasons |= TX_HOLD_XOFF; }

VOID ReleaseXoffHold(PDEVICE_EXTENSION Extension)
{
    if (!(Extension->TxHoldReasons & TX_HOLD_XOFF)) return;
    Extension->TxHoldReasons &= ~TX_HOLD_XOFF;
    KickIfIdle(Extension);
}
