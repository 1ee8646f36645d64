// Emulated interrupt processing: what a serial driver's interrupt service routine does,
// run at DISPATCH_LEVEL against the virtual UART.
//
// EmulatedInterruptDpc transmits the next character and services modem-status changes;
// ReceiveCharacters moves a server reply from the receive FIFO into the current read or the
// receive ring. The immediate character is carried here from its start to its completion.
//
// Nothing here completes a request under DeviceLock: the transmitter and the receive side
// only queue the DPCs of the requests they finish.

#include "quorvel.h"

// ===================================================================== interrupt service

UCHAR ProcessLineStatus(PDEVICE_EXTENSION Extension)
{
    UCHAR lsr = VuartReadLsr(&Extension->Uart);
    Extension->HoldingEmpty = (lsr & UART_LSR_THRE) != 0;
    return lsr;
}

// Whether TransmitNext would send something under the present holds: XON passes an XOFF hold,
// XOFF and the write's characters pass none, the immediate character passes an XOFF hold. Every
// kick and the service loop ask this, so a character that a released hold lets through is never
// left waiting for a kick that demands that all holds be gone. DeviceLock held.
BOOLEAN TransmitterHasWork(PDEVICE_EXTENSION Extension)
{
    const ULONG holds = Extension->TxHoldReasons;
    if (Extension->XonToSend && (holds & ~TX_HOLD_XOFF) == 0) return TRUE;
    if (Extension->XoffToSend && holds == 0) return TRUE;
    if (Extension->TransmitImmediate && (holds & ~TX_HOLD_XOFF) == 0) return TRUE;
    return holds == 0 && Extension->TxRemaining > 0;
}

VOID EmulatedInterruptDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeferredContext;
    PVUART uart = &extension->Uart;
    UCHAR iir;

    (VOID) Dpc;
    (VOID) SystemArgument1;
    (VOID) SystemArgument2;

    KeAcquireSpinLockAtDpcLevel(&extension->DeviceLock);
    iir = VuartReadIir(uart);
    if (iir & UART_IIR_NO_INTERRUPT) {
        KeReleaseSpinLockFromDpcLevel(&extension->DeviceLock);
        return;
    }

    if (!extension->PortOpen || ReadUnlocked(&extension->DevicePowerState) != PowerDeviceD0) {
        // Closed or powered down: acknowledge what is pending without acting on it.
        do {
            if (iir == UART_IIR_MS)
                VuartReadMsr(uart);
            else if (iir == UART_IIR_THRE)
                extension->HoldingEmpty = TRUE;
            iir = VuartReadIir(uart);
        } while (!(iir & UART_IIR_NO_INTERRUPT));
        KeReleaseSpinLockFromDpcLevel(&extension->DeviceLock);
        return;
    }

    for (;;) {
        while (!(iir & UART_IIR_NO_INTERRUPT)) {
            if (iir == UART_IIR_MS)
                UpdateModemStatus(extension, FALSE);
            else if (iir == UART_IIR_THRE)
                TransmitNext(extension);
            iir = VuartReadIir(uart);
        }
        if ((ProcessLineStatus(extension) & UART_LSR_THRE) && TransmitterHasWork(extension)) {
            TransmitNext(extension);
            iir = VuartReadIir(uart);
            continue;
        }
        break;
    }
    KeReleaseSpinLockFromDpcLevel(&extension->DeviceLock);
}

// Sends one character: a pending XON or XOFF first, then the immediate character, then the
// current write's next character, each only as far as the holds allow.
VOID TransmitNext(PDEVICE_EXTENSION Extension)
{
    PVUART uart = &Extension->Uart;

    Extension->HoldingEmpty = TRUE;
    if (Extension->TxRemaining == 0 && !Extension->TransmitImmediate && !Extension->XoffToSend &&
        !Extension->XonToSend) {
        // Transmit toggle: RTS falls once the transmitter has nothing left (a break keeps it).
        if ((Extension->HandFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_TRANSMIT_TOGGLE &&
            (uart->Mcr & UART_MCR_RTS) && !(Extension->TxHoldReasons & TX_HOLD_BREAK)) {
            LowerRts(Extension);
        }
        return;
    }

    if (Extension->HandFlow.ControlHandShake & SERIAL_OUT_HANDSHAKEMASK) UpdateModemStatus(Extension, TRUE);

    if (Extension->XonToSend && (Extension->TxHoldReasons & ~TX_HOLD_XOFF) == 0) {
        Extension->PerfStats.TransmittedCount++;
        VuartWriteThr(uart, Extension->SpecialChars.XonChar);
        Extension->XonToSend = FALSE;
        Extension->HoldingEmpty = FALSE;
        Extension->TxHoldReasons &= ~TX_HOLD_XOFF;
        Extension->RxHoldReasons &= ~RX_HOLD_XOFF;
        return;
    }

    if (Extension->XoffToSend && Extension->TxHoldReasons == 0) {
        Extension->PerfStats.TransmittedCount++;
        VuartWriteThr(uart, Extension->SpecialChars.XoffChar);
        // The port stops sending after its own XOFF unless told to go on.
        if (!(Extension->HandFlow.FlowReplace & SERIAL_XOFF_CONTINUE)) Extension->TxHoldReasons |= TX_HOLD_XOFF;
        Extension->XoffToSend = FALSE;
        Extension->HoldingEmpty = FALSE;
        return;
    }

    // An immediate character passes an XOFF hold, but no other hold.
    if (Extension->TransmitImmediate && (Extension->TxHoldReasons == 0 || Extension->TxHoldReasons == TX_HOLD_XOFF)) {
        Extension->TransmitImmediate = FALSE;
        Extension->PerfStats.TransmittedCount++;
        VuartWriteThr(uart, Extension->ImmediateChar);
        Extension->HoldingEmpty = FALSE;
        KeInsertQueueDpc(&Extension->ImmediateSentDpc, NULL, NULL);
        return;
    }

    if (Extension->TxHoldReasons == 0 && Extension->TxRemaining > 0) {
        Extension->PerfStats.TransmittedCount++;
        VuartWriteThr(uart, *Extension->TxNextChar);
        Extension->HoldingEmpty = FALSE;
        Extension->TxNextChar++;
        Extension->TxRemaining--;
        if (Extension->TxQueuedCount > 0) Extension->TxQueuedCount--;
        if (Extension->TxRemaining == 0) {
            // The current write-queue request cannot end while the transmitter holds it, so
            // it is still current here.
            PIRP irp = Extension->WriteQueue.CurrentIrp;
            ASSERT(irp != NULL);
            if (irp != NULL) {
                PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
                irp->IoStatus.Information = stack->MajorFunction == IRP_MJ_WRITE ? stack->Parameters.Write.Length : 1;
            }
            KeInsertQueueDpc(&Extension->WriteSentDpc, NULL, NULL);
            CheckTransmitEmpty(Extension);
        }
    }
    // Otherwise a hold stops the transmitter until it is released and someone kicks it.
}

// ===================================================================== receive side

VOID ReceiveCharacters(PDEVICE_EXTENSION Extension)
{
    const ULONG flowReplace = Extension->HandFlow.FlowReplace;
    UCHAR character;

    do {
        character = VuartReadRbr(&Extension->Uart);
        Extension->PerfStats.ReceivedCount++;
        character &= Extension->ValidDataMask;

        if (character == 0 && (flowReplace & SERIAL_NULL_STRIPPING)) goto next;

        if ((flowReplace & SERIAL_AUTO_TRANSMIT) &&
            (character == Extension->SpecialChars.XonChar || character == Extension->SpecialChars.XoffChar)) {
            if (character == Extension->SpecialChars.XoffChar) {
                Extension->TxHoldReasons |= TX_HOLD_XOFF;
            } else {
                // XON resumes a held write at once rather than at the transmitter's next turn.
                Extension->TxHoldReasons &= ~TX_HOLD_XOFF;
                KickIfIdle(Extension);
            }
            goto next;
        }

        if (Extension->WaitMask != 0) {
            if (Extension->WaitMask & SERIAL_EV_RXCHAR) Extension->EventHistory |= SERIAL_EV_RXCHAR;
            if ((Extension->WaitMask & SERIAL_EV_RXFLAG) && character == Extension->SpecialChars.EventChar)
                Extension->EventHistory |= SERIAL_EV_RXFLAG;
            ReportEvents(Extension);
        }

        PutReceivedChar(Extension, character);
        // In insertion mode the escape character itself is read as the pair escape, 0.
        if (Extension->EscapeChar != 0 && character == Extension->EscapeChar)
            PutReceivedChar(Extension, SERIAL_LSRMST_ESCAPE);

    next:;
    } while (ProcessLineStatus(Extension) & UART_LSR_DR);
}

static BOOLEAN RingNearFull(PDEVICE_EXTENSION Extension)
{
    // Storing this character would leave XoffLimit or fewer free places.
    return (LONGLONG)Extension->RxRingSize - Extension->HandFlow.XoffLimit <= (LONGLONG)Extension->RxRingCount + 1;
}

VOID PutReceivedChar(PDEVICE_EXTENSION Extension, UCHAR Character)
{
    const ULONG controlHandShake = Extension->HandFlow.ControlHandShake;
    const ULONG flowReplace = Extension->HandFlow.FlowReplace;

    if (controlHandShake & SERIAL_DSR_SENSITIVITY) {
        UpdateModemStatus(Extension, FALSE);
        if (Extension->RxHoldReasons & RX_HOLD_DSR) return;  // dropped without trace
    }

    if (Extension->XoffCountRemaining != 0) {
        if (--Extension->XoffCountRemaining == 0 && Extension->XoffCounterIrp != NULL) {
            Extension->XoffCounterIrp->IoStatus.Status = STATUS_SUCCESS;
            Extension->XoffCounterIrp->IoStatus.Information = 0;
            KeInsertQueueDpc(&Extension->XoffCountedDpc, NULL, NULL);
        }
    }

    if (Extension->RxRing == NULL) return;  // the port is closed: nowhere to put it

    if (Extension->RxTargetBase != Extension->RxRing) {
        // A read is taking characters straight into its buffer.
        Extension->ReadCharsSinceCheck++;
        *Extension->RxTargetPos = Character;
        if (Extension->RxTargetPos == Extension->RxTargetLast) {
            PIRP irp = Extension->ReadQueue.CurrentIrp;
            ASSERT(irp != NULL);
            Extension->RxTargetBase = Extension->RxRing;
            Extension->RxTargetPos = Extension->RxRing;
            Extension->RxRingReadPos = Extension->RxRing;
            Extension->RxTargetLast = Extension->RxRing + Extension->RxRingSize - 1;
            Extension->RxRingCount = 0;
            if (irp != NULL) irp->IoStatus.Information = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
            KeInsertQueueDpc(&Extension->ReadFullDpc, NULL, NULL);
        } else {
            Extension->RxTargetPos++;
        }
        return;
    }

    if (RingNearFull(Extension)) {
        if ((controlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE && !(Extension->RxHoldReasons & RX_HOLD_DTR)) {
            Extension->RxHoldReasons |= RX_HOLD_DTR;
            LowerDtr(Extension);
        }
        if ((flowReplace & SERIAL_RTS_MASK) == SERIAL_RTS_HANDSHAKE && !(Extension->RxHoldReasons & RX_HOLD_RTS)) {
            Extension->RxHoldReasons |= RX_HOLD_RTS;
            LowerRts(Extension);
        }
        if ((flowReplace & SERIAL_AUTO_RECEIVE) && !(Extension->RxHoldReasons & RX_HOLD_XOFF)) {
            Extension->RxHoldReasons |= RX_HOLD_XOFF;
            RequestFlowChar(Extension, FALSE);
        }
    }

    if (Extension->RxRingCount < Extension->RxRingSize) {
        *Extension->RxTargetPos = Character;
        Extension->RxRingCount++;
        if (Extension->RxRingCount == Extension->RxRingHighMark && (Extension->WaitMask & SERIAL_EV_RX80FULL)) {
            Extension->EventHistory |= SERIAL_EV_RX80FULL;
            ReportEvents(Extension);
        }
        if (Extension->RxTargetPos == Extension->RxTargetLast)
            Extension->RxTargetPos = Extension->RxRing;
        else
            Extension->RxTargetPos++;
        return;
    }

    // The ring is full: the character is lost.
    Extension->PerfStats.BufferOverrunErrorCount++;
    Extension->LatchedErrors |= SERIAL_ERROR_QUEUEOVERRUN;
    if (flowReplace & SERIAL_ERROR_CHAR) {
        PUCHAR last = Extension->RxTargetPos == Extension->RxRing ? Extension->RxRing + Extension->RxRingSize - 1
                                                                  : Extension->RxTargetPos - 1;
        *last = Extension->SpecialChars.ErrorChar;
    }
    if (controlHandShake & SERIAL_ERROR_ABORT) KeInsertQueueDpc(&Extension->ErrorAbortDpc, NULL, NULL);
}

// ===================================================================== immediate character

VOID TakeImmediateFromUart(PDEVICE_EXTENSION Extension)
{
    // Once written, the character's ImmediateSentDpc drops REF_UART itself.
    if (Extension->TransmitImmediate) {
        Extension->TransmitImmediate = FALSE;
        Extension->ImmediateRefs &= ~REF_UART;
    }
}

// Under DeviceLock, once the last holder has let go: the request leaves the port.
static PIRP ForgetImmediate(PDEVICE_EXTENSION Extension)
{
    PIRP irp = Extension->ImmediateIrp;
    Extension->ImmediateIrp = NULL;
    if (Extension->TxQueuedCount > 0) Extension->TxQueuedCount--;
    CheckTransmitEmpty(Extension);
    return irp;
}

static VOID CompleteImmediate(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Information = 0;
    CompleteRequest(Irp, Status);
}

NTSTATUS StartImmediateChar(PDEVICE_EXTENSION Extension)
{
    KIRQL oldIrql;
    PIRP irp;
    BOOLEAN useTimer;
    LARGE_INTEGER due;

    KeAcquireSpinLock(&Extension->DeviceLock, &oldIrql);
    irp = Extension->ImmediateIrp;

    // The write timeout of one character; the sum is formed in 64 bits.
    useTimer =
        Extension->Timeouts.WriteTotalTimeoutMultiplier != 0 || Extension->Timeouts.WriteTotalTimeoutConstant != 0;
    due = RelativeTimeFromMs((ULONGLONG)Extension->Timeouts.WriteTotalTimeoutMultiplier +
                             Extension->Timeouts.WriteTotalTimeoutConstant);

    Extension->ImmediateRefs = 0;
    (VOID) IoSetCancelRoutine(irp, ImmediateCancelRoutine);
    if (ReadUnlocked(&irp->Cancel) && IoSetCancelRoutine(irp, NULL) != NULL) {
        Extension->ImmediateIrp = NULL;
        if (Extension->TxQueuedCount > 0) Extension->TxQueuedCount--;
        KeReleaseSpinLock(&Extension->DeviceLock, oldIrql);
        CompleteImmediate(irp, STATUS_CANCELLED);
        return STATUS_CANCELLED;
    }

    Extension->ImmediateRefs |= REF_CANCEL;
    if (useTimer) {
        KeSetTimer(&Extension->ImmediateTotalTimer, due, &Extension->ImmediateTimeoutDpc);
        Extension->ImmediateRefs |= REF_TOTAL_TIMER;
    }
    Extension->TransmitImmediate = TRUE;
    Extension->ImmediateChar = *(PUCHAR)irp->AssociatedIrp.SystemBuffer;
    Extension->ImmediateRefs |= REF_UART;
    IoMarkIrpPending(irp);

    if ((Extension->HandFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_TRANSMIT_TOGGLE) RaiseRts(Extension);
    // Also when a write is stopped by an XOFF that the immediate character may pass.
    KickIfIdle(Extension);

    KeReleaseSpinLock(&Extension->DeviceLock, oldIrql);
    return STATUS_PENDING;
}

// Holder lets go of ImmediateIrp; the last one makes the request leave the port and gets it
// back to complete once DeviceLock is released. NULL while another holder has it. DeviceLock held.
static PIRP LetGoOfImmediate(PDEVICE_EXTENSION Extension, PIRP Irp, ULONG Holder)
{
    TakeImmediateFromUart(Extension);
    if (!LetGoOfRequest(&Extension->ImmediateRefs, Holder, Irp, &Extension->ImmediateTotalTimer, NULL)) return NULL;
    return ForgetImmediate(Extension);
}

// Ends one holder of ImmediateIrp from its DPC (DISPATCH_LEVEL): Holder is the bit it drops. The
// last holder completes the request with Status once DeviceLock is released.
static VOID EndImmediateHolderFromDpc(PDEVICE_EXTENSION Extension, ULONG Holder, NTSTATUS Status)
{
    PIRP done = NULL;

    KeAcquireSpinLockAtDpcLevel(&Extension->DeviceLock);
    PIRP irp = Extension->ImmediateIrp;
    if (irp != NULL) done = LetGoOfImmediate(Extension, irp, Holder);
    KeReleaseSpinLockFromDpcLevel(&Extension->DeviceLock);

    if (done != NULL) CompleteImmediate(done, Status);
}

VOID ImmediateSentDpcRoutine(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2)
{
    (VOID) Dpc;
    (VOID) SystemArgument1;
    (VOID) SystemArgument2;
    EndImmediateHolderFromDpc((PDEVICE_EXTENSION)DeferredContext, REF_UART, STATUS_SUCCESS);
}

VOID ImmediateTimeoutDpcRoutine(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2)
{
    (VOID) Dpc;
    (VOID) SystemArgument1;
    (VOID) SystemArgument2;
    EndImmediateHolderFromDpc((PDEVICE_EXTENSION)DeferredContext, REF_TOTAL_TIMER, STATUS_TIMEOUT);
}

VOID ImmediateCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    KIRQL cancelIrql = Irp->CancelIrql;
    PIRP done = NULL;

    IoReleaseCancelSpinLock(DISPATCH_LEVEL);
    KeAcquireSpinLockAtDpcLevel(&extension->DeviceLock);
    done = LetGoOfImmediate(extension, Irp, REF_CANCEL);
    KeReleaseSpinLock(&extension->DeviceLock, cancelIrql);

    if (done != NULL) CompleteImmediate(done, STATUS_CANCELLED);
}
