// Serial control requests (IRP_MJ_DEVICE_CONTROL): one routine per group of requests, the table
// that gives each code its buffer lengths and whether it passes the control gate, the
// error-abort rule, and purge execution.
#include "quorvel.h"

#define COMMPROP_LENGTH 64

// Refuses every request of the port while an error latched under SERIAL_ERROR_ABORT has not
// been read; GET_COMMSTATUS passes so the application can read and clear it.
NTSTATUS ErrorAbortCheck(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    // Two fields written under DeviceLock by the receive side; read them together.
    KIRQL oldIrql;
    KeAcquireSpinLock(&Extension->DeviceLock, &oldIrql);
    BOOLEAN refuse = (Extension->HandFlow.ControlHandShake & SERIAL_ERROR_ABORT) && Extension->LatchedErrors != 0;
    KeReleaseSpinLock(&Extension->DeviceLock, oldIrql);
    if (!refuse) return STATUS_SUCCESS;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL &&
        stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_SERIAL_GET_COMMSTATUS) {
        return STATUS_SUCCESS;
    }
    Irp->IoStatus.Information = 0;
    return CompleteRequest(Irp, STATUS_CANCELLED);
}

// Queued by the receive side when it latches an error under SERIAL_ERROR_ABORT: every read
// and write, waiting or current, is cancelled.
VOID NTAPI ErrorAbortDpcRoutine(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeferredContext;
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    CancelCurrentRequest(extension, &extension->WriteQueue);
    CancelCurrentRequest(extension, &extension->ReadQueue);
}

// Start routine of PurgeQueue (DISPATCH_LEVEL).
VOID NTAPI PurgeStartIo(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    ULONG mask = *(PULONG)Irp->AssociatedIrp.SystemBuffer;
    KIRQL oldIrql;

    if (mask & SERIAL_PURGE_TXABORT) {
        CancelCurrentRequest(extension, &extension->WriteQueue);
        EndCountingXoff(extension, STATUS_SERIAL_MORE_WRITES);
    }
    if (mask & SERIAL_PURGE_RXABORT) {
        CancelCurrentRequest(extension, &extension->ReadQueue);
    }
    if (mask & SERIAL_PURGE_RXCLEAR) {
        // While a read is filled directly the ring is empty already; nothing to clear.
        KeAcquireSpinLock(&extension->DeviceLock, &oldIrql);
        if (extension->RxTargetBase == extension->RxRing && extension->RxRing != NULL) {
            extension->RxTargetPos = extension->RxRing;
            extension->RxRingReadPos = extension->RxRing;
            extension->RxTargetLast = extension->RxRing + extension->RxRingSize - 1;
            extension->RxRingCount = 0;
            ReleaseReceiveHolds(extension);
        }
        KeReleaseSpinLock(&extension->DeviceLock, oldIrql);
    }
    // SERIAL_PURGE_TXCLEAR: the port keeps no transmit buffer.

    QueueStartNextPacket(&extension->PurgeQueue);
    Irp->IoStatus.Information = 0;
    CompleteRequest(Irp, STATUS_SUCCESS);
}

VOID ForgetQueuedRequest(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG unsent = 0;

    if (stack->MajorFunction == IRP_MJ_WRITE) {
        unsent = stack->Parameters.Write.Length;
    } else if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        switch (stack->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_SERIAL_XOFF_COUNTER: unsent = 1; break;
        case IOCTL_SERIAL_SET_QUEUE_SIZE:
            // The new ring allocated by the dispatch never reached ResizeRxRing.
            if (stack->Parameters.DeviceIoControl.Type3InputBuffer != NULL) {
                ExFreePoolWithTag(stack->Parameters.DeviceIoControl.Type3InputBuffer, QUORVEL_TAG);
                stack->Parameters.DeviceIoControl.Type3InputBuffer = NULL;
            }
            break;
        }
    }
    if (unsent != 0) {
        KIRQL oldIrql;
        KeAcquireSpinLock(&Extension->DeviceLock, &oldIrql);
        Extension->TxQueuedCount -= unsent < Extension->TxQueuedCount ? unsent : Extension->TxQueuedCount;
        KeReleaseSpinLock(&Extension->DeviceLock, oldIrql);
    }
}

// The ring's size changes under DeviceLock (open, close, resize); single reads take it too.
static ULONG RingSize(PDEVICE_EXTENSION Extension)
{
    KIRQL oldIrql;
    KeAcquireSpinLock(&Extension->DeviceLock, &oldIrql);
    ULONG size = Extension->RxRingSize;
    KeReleaseSpinLock(&Extension->DeviceLock, oldIrql);
    return size;
}

// Line control register image from SERIAL_LINE_CONTROL; FALSE for a value outside the table.
static BOOLEAN LineControlFromRequest(const SERIAL_LINE_CONTROL *Request, PUCHAR LineControl, PUCHAR DataMask)
{
    static const UCHAR dataMasks[4] = {0x1F, 0x3F, 0x7F, 0xFF};
    // By Parity: none, odd, even, mark, space.
    static const UCHAR parityBits[5] = {
        0x00,
        UART_LCR_PARITY_ENABLE,
        UART_LCR_PARITY_ENABLE | UART_LCR_EVEN_PARITY,
        UART_LCR_PARITY_ENABLE | UART_LCR_STICK_PARITY,
        UART_LCR_PARITY_ENABLE | UART_LCR_EVEN_PARITY | UART_LCR_STICK_PARITY,
    };

    if (Request->WordLength < 5 || Request->WordLength > 8) return FALSE;
    if (Request->Parity > SPACE_PARITY) return FALSE;
    if (Request->StopBits > STOP_BITS_2) return FALSE;
    UCHAR dataBits = (UCHAR)(Request->WordLength - 5);
    UCHAR stopBits = Request->StopBits != STOP_BIT_1 ? UART_LCR_STOP_BITS : 0x00;
    *LineControl = (UCHAR)(dataBits | parityBits[Request->Parity] | stopBits);
    *DataMask = dataMasks[dataBits];
    return TRUE;
}

static VOID LineControlToRequest(UCHAR LineControl, PSERIAL_LINE_CONTROL Request)
{
    Request->WordLength = (UCHAR)((LineControl & UART_LCR_WORD_LENGTH_MASK) + 5);
    switch (LineControl & UART_LCR_PARITY_MASK) {
    case 0x00: Request->Parity = NO_PARITY; break;
    case UART_LCR_PARITY_ENABLE: Request->Parity = ODD_PARITY; break;
    case UART_LCR_PARITY_ENABLE | UART_LCR_EVEN_PARITY: Request->Parity = EVEN_PARITY; break;
    case UART_LCR_PARITY_ENABLE | UART_LCR_STICK_PARITY: Request->Parity = MARK_PARITY; break;
    case UART_LCR_PARITY_MASK: Request->Parity = SPACE_PARITY; break;
    default: Request->Parity = 0; break;  // stick or even parity without PEN: never set by the port
    }
    if (!(LineControl & UART_LCR_STOP_BITS)) {
        Request->StopBits = STOP_BIT_1;
    } else {
        Request->StopBits = Request->WordLength == 5 ? STOP_BITS_1_5 : STOP_BITS_2;
    }
}

// Fills SERIAL_STATUS; reading the status clears the latched errors. DeviceLock held.
static VOID FillCommStatus(PDEVICE_EXTENSION Extension, PSERIAL_STATUS Status)
{
    Status->Errors = Extension->LatchedErrors;
    Extension->LatchedErrors = 0;
    Status->EofReceived = FALSE;
    Status->AmountInInQueue = Extension->RxRingCount;
    // TxQueuedCount already excludes every character the transmitter has taken.
    Status->AmountInOutQueue = Extension->TxQueuedCount;
    Status->WaitForImmediate = Extension->TransmitImmediate;

    ULONG tx = Extension->TxHoldReasons;
    ULONG rx = Extension->RxHoldReasons;
    ULONG hold = 0;
    if (tx & TX_HOLD_CTS) hold |= SERIAL_TX_WAITING_FOR_CTS;
    if (tx & TX_HOLD_DSR) hold |= SERIAL_TX_WAITING_FOR_DSR;
    if (tx & TX_HOLD_DCD) hold |= SERIAL_TX_WAITING_FOR_DCD;
    if (tx & TX_HOLD_XOFF) hold |= SERIAL_TX_WAITING_FOR_XON;
    if (tx & TX_HOLD_BREAK) hold |= SERIAL_TX_WAITING_ON_BREAK;
    if (rx & RX_HOLD_DSR) hold |= SERIAL_RX_WAITING_FOR_DSR;
    if (rx & RX_HOLD_XOFF) hold |= SERIAL_TX_WAITING_XOFF_SENT;
    Status->HoldReasons = hold;
}

static VOID FillProperties(ULONG RingSize, PSERIAL_COMMPROP Properties)
{
    RtlZeroMemory(Properties, COMMPROP_LENGTH);
    Properties->PacketLength = COMMPROP_LENGTH;
    Properties->PacketVersion = 2;
    Properties->ServiceMask = SERIAL_SP_SERIALCOMM;
    Properties->MaxBaud = SERIAL_BAUD_USER;
    Properties->ProvSubType = SERIAL_SP_RS232;
    Properties->ProvCapabilities = SERIAL_PCF_DTRDSR | SERIAL_PCF_RTSCTS | SERIAL_PCF_CD | SERIAL_PCF_PARITY_CHECK |
                                   SERIAL_PCF_XONXOFF | SERIAL_PCF_SETXCHAR | SERIAL_PCF_TOTALTIMEOUTS |
                                   SERIAL_PCF_INTTIMEOUTS;
    Properties->SettableParams = SERIAL_SP_PARITY | SERIAL_SP_BAUD | SERIAL_SP_DATABITS | SERIAL_SP_STOPBITS |
                                 SERIAL_SP_HANDSHAKING | SERIAL_SP_PARITY_CHECK | SERIAL_SP_CARRIER_DETECT;
    Properties->SettableBaud = 0x0007FFFF | SERIAL_BAUD_USER;  // every rate from 75 to 57600 baud
    Properties->SettableData = SERIAL_DATABITS_5 | SERIAL_DATABITS_6 | SERIAL_DATABITS_7 | SERIAL_DATABITS_8;
    Properties->SettableStopParity = SERIAL_STOPBITS_10 | SERIAL_STOPBITS_15 | SERIAL_STOPBITS_20 | SERIAL_PARITY_NONE |
                                     SERIAL_PARITY_ODD | SERIAL_PARITY_EVEN | SERIAL_PARITY_MARK | SERIAL_PARITY_SPACE;
    Properties->CurrentRxQueue = RingSize;
}

// ===================================================================== the requests by group
// One control request as the group routines see it. Buffered I/O: input and output share Buffer;
// the dispatch has checked both lengths against the table before the routine runs.
typedef struct _CONTROL_REQUEST {
    PDEVICE_EXTENSION Extension;
    PIRP Irp;
    PIO_STACK_LOCATION Stack;
    ULONG Code;
    PVOID Buffer;
    ULONG OutputLength;
    BOOLEAN Handed;  // given to a queue or to the immediate character: completed there, not here
} CONTROL_REQUEST, *PCONTROL_REQUEST;

// Returns the request's status. A routine that hands the request on sets Handed and returns the
// status of the call that took it; otherwise the dispatch completes it with the status returned.
typedef NTSTATUS (*CONTROL_ROUTINE)(PCONTROL_REQUEST Request);
// Checks that need no port state, run before the gate: FALSE refuses with STATUS_INVALID_PARAMETER.
typedef BOOLEAN (*CONTROL_CHECK)(PCONTROL_REQUEST Request);

// Answers a GET with Length bytes of Buffer.
static NTSTATUS Answer(PCONTROL_REQUEST Request, ULONG_PTR Length)
{
    Request->Irp->IoStatus.Information = Length;
    return STATUS_SUCCESS;
}

static NTSTATUS HandOn(PCONTROL_REQUEST Request, NTSTATUS Status)
{
    Request->Handed = TRUE;
    return Status;
}

// ---- baud rate, line control, special and escape characters
static BOOLEAN LineControlIsValid(PCONTROL_REQUEST Request)
{
    UCHAR lineControl, dataMask;
    return LineControlFromRequest((PSERIAL_LINE_CONTROL)Request->Buffer, &lineControl, &dataMask);
}

static NTSTATUS LineSettingsRequest(PCONTROL_REQUEST Request)
{
    PDEVICE_EXTENSION extension = Request->Extension;
    NTSTATUS status = STATUS_SUCCESS;
    KIRQL oldIrql;

    switch (Request->Code) {
    case IOCTL_SERIAL_SET_BAUD_RATE:
        WriteUnlocked(&extension->BaudRate, ((PSERIAL_BAUD_RATE)Request->Buffer)->BaudRate);
        return STATUS_SUCCESS;

    case IOCTL_SERIAL_GET_BAUD_RATE:
        ((PSERIAL_BAUD_RATE)Request->Buffer)->BaudRate = ReadUnlocked(&extension->BaudRate);
        return Answer(Request, sizeof(ULONG));

    case IOCTL_SERIAL_SET_LINE_CONTROL: {
        UCHAR lineControl, dataMask;
        // Checked before the gate already; the values are computed again here.
        if (!LineControlFromRequest((PSERIAL_LINE_CONTROL)Request->Buffer, &lineControl, &dataMask)) {
            return STATUS_INVALID_PARAMETER;
        }
        KeAcquireSpinLock(&extension->DeviceLock, &oldIrql);
        extension->LineControl = lineControl;
        extension->ValidDataMask = dataMask;
        VuartWriteLcr(&extension->Uart, lineControl);
        KeReleaseSpinLock(&extension->DeviceLock, oldIrql);
        return STATUS_SUCCESS;
    }

    case IOCTL_SERIAL_GET_LINE_CONTROL:
        RtlZeroMemory(Request->Buffer, Request->OutputLength);
        KeAcquireSpinLock(&extension->DeviceLock, &oldIrql);
        LineControlToRequest(extension->LineControl, (PSERIAL_LINE_CONTROL)Request->Buffer);
        KeReleaseSpinLock(&extension->DeviceLock, oldIrql);
        return Answer(Request, sizeof(SERIAL_LINE_CONTROL));

    case IOCTL_SERIAL_GET_CHARS:
        KeAcquireSpinLock(&extension->DeviceLock, &oldIrql);
        *(PSERIAL_CHARS)Request->Buffer = extension->SpecialChars;
        KeReleaseSpinLock(&extension->DeviceLock, oldIrql);
        return Answer(Request, sizeof(SERIAL_CHARS));

    case IOCTL_SERIAL_SET_CHARS: {
        PSERIAL_CHARS chars = (PSERIAL_CHARS)Request->Buffer;
        KeAcquireSpinLock(&extension->DeviceLock, &oldIrql);
        UCHAR escape = extension->EscapeChar;
        if (escape != 0 && (escape == chars->XonChar || escape == chars->XoffChar)) {
            status = STATUS_INVALID_PARAMETER;
        } else {
            extension->SpecialChars = *chars;
        }
        KeReleaseSpinLock(&extension->DeviceLock, oldIrql);
        return status;
    }

    case IOCTL_SERIAL_LSRMST_INSERT: {
        UCHAR escape = *(PUCHAR)Request->Buffer;
        KeAcquireSpinLock(&extension->DeviceLock, &oldIrql);
        if (escape != 0 && (escape == extension->SpecialChars.XoffChar || escape == extension->SpecialChars.XonChar ||
                            (extension->HandFlow.FlowReplace & SERIAL_ERROR_CHAR))) {
            status = STATUS_INVALID_PARAMETER;
        } else {
            extension->EscapeChar = escape;
        }
        KeReleaseSpinLock(&extension->DeviceLock, oldIrql);
        return status;
    }
    }
    return STATUS_INVALID_PARAMETER;
}

// ---- handshake and flow control
// SET_HANDFLOW checks that need no port state (the ring's size is read under its own lock).
static BOOLEAN HandFlowIsValid(PCONTROL_REQUEST Request)
{
    PSERIAL_HANDFLOW handFlow = (PSERIAL_HANDFLOW)Request->Buffer;
    if (handFlow->ControlHandShake & SERIAL_CONTROL_INVALID) return FALSE;
    if (handFlow->FlowReplace & SERIAL_FLOW_INVALID) return FALSE;
    if ((handFlow->ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_MASK) return FALSE;
    ULONG ringSize = RingSize(Request->Extension);
    if (handFlow->XonLimit < 0 || (ULONG)handFlow->XonLimit > ringSize) return FALSE;
    if (handFlow->XoffLimit < 0 || (ULONG)handFlow->XoffLimit > ringSize) return FALSE;
    return TRUE;
}

static NTSTATUS FlowControlRequest(PCONTROL_REQUEST Request)
{
    PDEVICE_EXTENSION extension = Request->Extension;
    NTSTATUS status = STATUS_SUCCESS;
    KIRQL oldIrql;

    switch (Request->Code) {
    case IOCTL_SERIAL_GET_HANDFLOW:
        KeAcquireSpinLock(&extension->DeviceLock, &oldIrql);
        *(PSERIAL_HANDFLOW)Request->Buffer = extension->HandFlow;
        KeReleaseSpinLock(&extension->DeviceLock, oldIrql);
        return Answer(Request, sizeof(SERIAL_HANDFLOW));

    case IOCTL_SERIAL_SET_HANDFLOW: {
        SERIAL_HANDFLOW handFlow = *(PSERIAL_HANDFLOW)Request->Buffer;
        KeAcquireSpinLock(&extension->DeviceLock, &oldIrql);
        if (extension->EscapeChar != 0 && (handFlow.FlowReplace & SERIAL_ERROR_CHAR)) {
            status = STATUS_INVALID_PARAMETER;
        } else {
            ApplyHandFlow(extension, &handFlow);
            UpdateModemStatus(extension, FALSE);
        }
        KeReleaseSpinLock(&extension->DeviceLock, oldIrql);
        return status;
    }

    case IOCTL_SERIAL_SET_XOFF:
    case IOCTL_SERIAL_SET_XON:
        KeAcquireSpinLock(&extension->DeviceLock, &oldIrql);
        if (Request->Code == IOCTL_SERIAL_SET_XOFF) {
            HoldForXoff(extension);
        } else {
            ReleaseXoffHold(extension);
        }
        KeReleaseSpinLock(&extension->DeviceLock, oldIrql);
        return STATUS_SUCCESS;

    case IOCTL_SERIAL_IMMEDIATE_CHAR:
        KeAcquireSpinLock(&extension->DeviceLock, &oldIrql);
        if (extension->ImmediateIrp != NULL) {
            status = STATUS_INVALID_PARAMETER;
        } else {
            extension->ImmediateIrp = Request->Irp;
            extension->TxQueuedCount += 1;
        }
        KeReleaseSpinLock(&extension->DeviceLock, oldIrql);
        if (status != STATUS_SUCCESS) return status;
        return HandOn(Request, StartImmediateChar(extension));

    case IOCTL_SERIAL_XOFF_COUNTER:
        if (((PSERIAL_XOFF_COUNTER)Request->Buffer)->Counter <= 0) return STATUS_INVALID_PARAMETER;
        KeAcquireSpinLock(&extension->DeviceLock, &oldIrql);
        extension->TxQueuedCount += 1;  // its XoffChar
        KeReleaseSpinLock(&extension->DeviceLock, oldIrql);
        return HandOn(Request, QueueStartPacket(&extension->WriteQueue, Request->Irp));
    }
    return STATUS_INVALID_PARAMETER;
}

// ---- read and write timeouts
static NTSTATUS TimeoutsRequest(PCONTROL_REQUEST Request)
{
    PDEVICE_EXTENSION extension = Request->Extension;
    KIRQL oldIrql;

    switch (Request->Code) {
    case IOCTL_SERIAL_SET_TIMEOUTS: {
        PSERIAL_TIMEOUTS timeouts = (PSERIAL_TIMEOUTS)Request->Buffer;
        if (timeouts->ReadIntervalTimeout == MAXULONG && timeouts->ReadTotalTimeoutMultiplier == MAXULONG &&
            timeouts->ReadTotalTimeoutConstant == MAXULONG) {
            return STATUS_INVALID_PARAMETER;
        }
        KeAcquireSpinLock(&extension->DeviceLock, &oldIrql);
        extension->Timeouts = *timeouts;
        KeReleaseSpinLock(&extension->DeviceLock, oldIrql);
        return STATUS_SUCCESS;
    }

    case IOCTL_SERIAL_GET_TIMEOUTS:
        KeAcquireSpinLock(&extension->DeviceLock, &oldIrql);
        *(PSERIAL_TIMEOUTS)Request->Buffer = extension->Timeouts;
        KeReleaseSpinLock(&extension->DeviceLock, oldIrql);
        return Answer(Request, sizeof(SERIAL_TIMEOUTS));
    }
    return STATUS_INVALID_PARAMETER;
}

// ---- modem lines, break and modem status
static NTSTATUS ModemLinesRequest(PCONTROL_REQUEST Request)
{
    PDEVICE_EXTENSION extension = Request->Extension;
    ULONG code = Request->Code;
    NTSTATUS status = STATUS_SUCCESS;
    KIRQL oldIrql;

    KeAcquireSpinLock(&extension->DeviceLock, &oldIrql);
    switch (code) {
    case IOCTL_SERIAL_SET_DTR:
    case IOCTL_SERIAL_CLR_DTR:
        if ((extension->HandFlow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE) {
            status = STATUS_INVALID_PARAMETER;
        } else if (code == IOCTL_SERIAL_SET_DTR) {
            RaiseDtr(extension);
        } else {
            LowerDtr(extension);
        }
        break;

    case IOCTL_SERIAL_SET_RTS:
    case IOCTL_SERIAL_CLR_RTS: {
        ULONG rtsMode = extension->HandFlow.FlowReplace & SERIAL_RTS_MASK;
        if (rtsMode == SERIAL_RTS_HANDSHAKE || rtsMode == SERIAL_TRANSMIT_TOGGLE) {
            status = STATUS_INVALID_PARAMETER;
        } else if (code == IOCTL_SERIAL_SET_RTS) {
            RaiseRts(extension);
        } else {
            LowerRts(extension);
        }
        break;
    }

    case IOCTL_SERIAL_SET_BREAK_ON: StartBreak(extension); break;
    case IOCTL_SERIAL_SET_BREAK_OFF: StopBreak(extension); break;

    case IOCTL_SERIAL_GET_MODEMSTATUS:
        *(PULONG)Request->Buffer = UpdateModemStatus(extension, FALSE);
        Answer(Request, sizeof(ULONG));
        break;

    case IOCTL_SERIAL_GET_DTRRTS:
        *(PULONG)Request->Buffer = VuartReadMcr(&extension->Uart) & (SERIAL_DTR_STATE | SERIAL_RTS_STATE);
        Answer(Request, sizeof(ULONG));
        break;

    case IOCTL_SERIAL_GET_MODEM_CONTROL:
        *(PULONG)Request->Buffer = VuartReadMcr(&extension->Uart);
        Answer(Request, sizeof(ULONG));
        break;

    case IOCTL_SERIAL_SET_MODEM_CONTROL:
        VuartWriteMcr(&extension->Uart, (UCHAR)(*(PULONG)Request->Buffer & 0xFF));
        break;

    default: status = STATUS_INVALID_PARAMETER; break;
    }
    KeReleaseSpinLock(&extension->DeviceLock, oldIrql);
    return status;
}

// ---- wait-on-mask
static NTSTATUS WaitMaskRequest(PCONTROL_REQUEST Request)
{
    PDEVICE_EXTENSION extension = Request->Extension;
    KIRQL oldIrql;

    switch (Request->Code) {
    case IOCTL_SERIAL_GET_WAIT_MASK:
        KeAcquireSpinLock(&extension->DeviceLock, &oldIrql);
        *(PULONG)Request->Buffer = extension->WaitMask;
        KeReleaseSpinLock(&extension->DeviceLock, oldIrql);
        return Answer(Request, sizeof(ULONG));

    case IOCTL_SERIAL_SET_WAIT_MASK:
        if (*(PULONG)Request->Buffer & ~0x00001FFFu) return STATUS_INVALID_PARAMETER;
        return HandOn(Request, QueueStartPacket(&extension->MaskQueue, Request->Irp));

    case IOCTL_SERIAL_WAIT_ON_MASK: return HandOn(Request, QueueStartPacket(&extension->MaskQueue, Request->Irp));
    }
    return STATUS_INVALID_PARAMETER;
}

// ---- receive queue size, purge, status, statistics and properties
static NTSTATUS QueueStateRequest(PCONTROL_REQUEST Request)
{
    PDEVICE_EXTENSION extension = Request->Extension;
    KIRQL oldIrql;

    switch (Request->Code) {
    case IOCTL_SERIAL_SET_QUEUE_SIZE: {
        ULONG inSize = ((PSERIAL_QUEUE_SIZE)Request->Buffer)->InSize;
        if (inSize <= RingSize(extension)) return STATUS_SUCCESS;  // the ring never shrinks
        // Charged to the caller's quota, so that no program can drain non-paged pool through
        // the port; past the quota the request is refused.
        PVOID newRing = ExAllocatePoolWithQuotaTag((POOL_TYPE)(NonPagedPool | POOL_QUOTA_FAIL_INSTEAD_OF_RAISE), inSize,
                                                   QUORVEL_TAG);
        if (newRing == NULL) return STATUS_INSUFFICIENT_RESOURCES;
        Request->Stack->Parameters.DeviceIoControl.Type3InputBuffer = newRing;
        return HandOn(Request, QueueStartPacket(&extension->ReadQueue, Request->Irp));
    }

    case IOCTL_SERIAL_PURGE: {
        ULONG mask = *(PULONG)Request->Buffer;
        const ULONG known = SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR;
        if (mask == 0 || (mask & ~known)) return STATUS_INVALID_PARAMETER;
        return HandOn(Request, QueueStartPacket(&extension->PurgeQueue, Request->Irp));
    }

    case IOCTL_SERIAL_GET_COMMSTATUS:
        KeAcquireSpinLock(&extension->DeviceLock, &oldIrql);
        FillCommStatus(extension, (PSERIAL_STATUS)Request->Buffer);
        KeReleaseSpinLock(&extension->DeviceLock, oldIrql);
        return Answer(Request, sizeof(SERIAL_STATUS));

    case IOCTL_SERIAL_GET_STATS:
        KeAcquireSpinLock(&extension->DeviceLock, &oldIrql);
        *(PSERIALPERF_STATS)Request->Buffer = extension->PerfStats;
        KeReleaseSpinLock(&extension->DeviceLock, oldIrql);
        return Answer(Request, sizeof(SERIALPERF_STATS));

    case IOCTL_SERIAL_CLEAR_STATS:
        KeAcquireSpinLock(&extension->DeviceLock, &oldIrql);
        RtlZeroMemory(&extension->PerfStats, sizeof(extension->PerfStats));
        KeReleaseSpinLock(&extension->DeviceLock, oldIrql);
        return STATUS_SUCCESS;

    case IOCTL_SERIAL_GET_PROPERTIES:
        FillProperties(RingSize(extension), (PSERIAL_COMMPROP)Request->Buffer);
        return Answer(Request, COMMPROP_LENGTH);

    case IOCTL_SERIAL_CONFIG_SIZE: *(PULONG)Request->Buffer = 0; return Answer(Request, sizeof(ULONG));

    // Accepted for the applications that send them; the port has no FIFO and nothing to reset.
    case IOCTL_SERIAL_SET_FIFO_CONTROL:
    case IOCTL_SERIAL_RESET_DEVICE: return STATUS_SUCCESS;
    }
    return STATUS_INVALID_PARAMETER;
}

// ===================================================================== the dispatch tables
typedef struct _CONTROL_ENTRY {
    ULONG Code;
    ULONG InputLength;   // least accepted, else STATUS_BUFFER_TOO_SMALL
    ULONG OutputLength;  // least accepted, else STATUS_BUFFER_TOO_SMALL
    BOOLEAN Gated;       // passes ControlGate after the length checks and Check
    CONTROL_CHECK Check;
    CONTROL_ROUTINE Routine;
} CONTROL_ENTRY;

// The serial requests the port answers; any other code (GET_COMMCONFIG and SET_COMMCONFIG
// among them) is refused with STATUS_INVALID_PARAMETER. Gated requests are those that touch
// the emulated line or its registers: held while the device is stalled.
static const CONTROL_ENTRY SerialControls[] = {
    {IOCTL_SERIAL_SET_BAUD_RATE, sizeof(ULONG), 0, TRUE, NULL, LineSettingsRequest},
    {IOCTL_SERIAL_GET_BAUD_RATE, 0, sizeof(ULONG), TRUE, NULL, LineSettingsRequest},
    {IOCTL_SERIAL_SET_LINE_CONTROL, sizeof(SERIAL_LINE_CONTROL), 0, TRUE, LineControlIsValid, LineSettingsRequest},
    {IOCTL_SERIAL_GET_LINE_CONTROL, 0, sizeof(SERIAL_LINE_CONTROL), FALSE, NULL, LineSettingsRequest},
    {IOCTL_SERIAL_SET_CHARS, sizeof(SERIAL_CHARS), 0, FALSE, NULL, LineSettingsRequest},
    {IOCTL_SERIAL_GET_CHARS, 0, sizeof(SERIAL_CHARS), FALSE, NULL, LineSettingsRequest},
    {IOCTL_SERIAL_LSRMST_INSERT, sizeof(UCHAR), 0, FALSE, NULL, LineSettingsRequest},

    {IOCTL_SERIAL_SET_HANDFLOW, sizeof(SERIAL_HANDFLOW), 0, TRUE, HandFlowIsValid, FlowControlRequest},
    {IOCTL_SERIAL_GET_HANDFLOW, 0, sizeof(SERIAL_HANDFLOW), FALSE, NULL, FlowControlRequest},
    {IOCTL_SERIAL_SET_XOFF, 0, 0, TRUE, NULL, FlowControlRequest},
    {IOCTL_SERIAL_SET_XON, 0, 0, TRUE, NULL, FlowControlRequest},
    {IOCTL_SERIAL_IMMEDIATE_CHAR, sizeof(UCHAR), 0, FALSE, NULL, FlowControlRequest},
    {IOCTL_SERIAL_XOFF_COUNTER, sizeof(SERIAL_XOFF_COUNTER), 0, FALSE, NULL, FlowControlRequest},

    {IOCTL_SERIAL_SET_TIMEOUTS, sizeof(SERIAL_TIMEOUTS), 0, FALSE, NULL, TimeoutsRequest},
    {IOCTL_SERIAL_GET_TIMEOUTS, 0, sizeof(SERIAL_TIMEOUTS), FALSE, NULL, TimeoutsRequest},

    {IOCTL_SERIAL_SET_DTR, 0, 0, TRUE, NULL, ModemLinesRequest},
    {IOCTL_SERIAL_CLR_DTR, 0, 0, TRUE, NULL, ModemLinesRequest},
    {IOCTL_SERIAL_SET_RTS, 0, 0, TRUE, NULL, ModemLinesRequest},
    {IOCTL_SERIAL_CLR_RTS, 0, 0, TRUE, NULL, ModemLinesRequest},
    {IOCTL_SERIAL_SET_BREAK_ON, 0, 0, TRUE, NULL, ModemLinesRequest},
    {IOCTL_SERIAL_SET_BREAK_OFF, 0, 0, TRUE, NULL, ModemLinesRequest},
    {IOCTL_SERIAL_GET_MODEMSTATUS, 0, sizeof(ULONG), TRUE, NULL, ModemLinesRequest},
    {IOCTL_SERIAL_GET_DTRRTS, 0, sizeof(ULONG), TRUE, NULL, ModemLinesRequest},
    {IOCTL_SERIAL_GET_MODEM_CONTROL, 0, sizeof(ULONG), TRUE, NULL, ModemLinesRequest},
    {IOCTL_SERIAL_SET_MODEM_CONTROL, sizeof(ULONG), 0, TRUE, NULL, ModemLinesRequest},

    {IOCTL_SERIAL_GET_WAIT_MASK, 0, sizeof(ULONG), FALSE, NULL, WaitMaskRequest},
    {IOCTL_SERIAL_SET_WAIT_MASK, sizeof(ULONG), 0, FALSE, NULL, WaitMaskRequest},
    {IOCTL_SERIAL_WAIT_ON_MASK, 0, sizeof(ULONG), FALSE, NULL, WaitMaskRequest},

    {IOCTL_SERIAL_SET_QUEUE_SIZE, sizeof(SERIAL_QUEUE_SIZE), 0, FALSE, NULL, QueueStateRequest},
    {IOCTL_SERIAL_PURGE, sizeof(ULONG), 0, FALSE, NULL, QueueStateRequest},
    {IOCTL_SERIAL_GET_COMMSTATUS, 0, sizeof(SERIAL_STATUS), FALSE, NULL, QueueStateRequest},
    {IOCTL_SERIAL_GET_STATS, 0, sizeof(SERIALPERF_STATS), FALSE, NULL, QueueStateRequest},
    {IOCTL_SERIAL_CLEAR_STATS, 0, 0, FALSE, NULL, QueueStateRequest},
    {IOCTL_SERIAL_GET_PROPERTIES, 0, COMMPROP_LENGTH, FALSE, NULL, QueueStateRequest},
    {IOCTL_SERIAL_CONFIG_SIZE, 0, sizeof(ULONG), FALSE, NULL, QueueStateRequest},
    {IOCTL_SERIAL_SET_FIFO_CONTROL, 0, 0, FALSE, NULL, QueueStateRequest},
    {IOCTL_SERIAL_RESET_DEVICE, 0, 0, TRUE, NULL, QueueStateRequest},
};

// The port's own requests. Each routine checks its buffers, sets IoStatus.Status and
// Information itself (a GET may answer a short buffer with the size it needs) and returns the
// status; the dispatch completes the request. None passes the gate. One line per request.
typedef NTSTATUS (*PRIVATE_CONTROL_ROUTINE)(PDEVICE_EXTENSION Extension, PIRP Irp, PIO_STACK_LOCATION IrpSp);
typedef struct _PRIVATE_CONTROL_ENTRY {
    ULONG Code;
    PRIVATE_CONTROL_ROUTINE Routine;
} PRIVATE_CONTROL_ENTRY;

static const PRIVATE_CONTROL_ENTRY PrivateControls[] = {
    {IOCTL_SERIAL_SET_ETHERNET, EthernetIoctl},
    {IOCTL_SERIAL_GET_ETHERNET, EthernetIoctl},
    {IOCTL_QUORVEL_SET_OPTIONS, EthernetIoctl},
    {IOCTL_QUORVEL_GET_OPTIONS, EthernetIoctl},
    {IOCTL_QUORVEL_GET_COUNTERS, EthernetIoctl},
};

static const CONTROL_ENTRY *FindSerialControl(ULONG Code)
{
    for (ULONG i = 0; i < RTL_NUMBER_OF(SerialControls); i++) {
        if (SerialControls[i].Code == Code) return &SerialControls[i];
    }
    return NULL;
}

static PRIVATE_CONTROL_ROUTINE FindPrivateControl(ULONG Code)
{
    for (ULONG i = 0; i < RTL_NUMBER_OF(PrivateControls); i++) {
        if (PrivateControls[i].Code == Code) return PrivateControls[i].Routine;
    }
    return NULL;
}

// Completes a request the dispatch refuses before its routine runs.
static NTSTATUS RefuseControl(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Information = 0;
    return CompleteRequest(Irp, Status);
}

// A request held by the gate comes back here from the start once the device runs again.
NTSTATUS NTAPI KivraIoControlDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;

    // A monitor handle carries only the monitor's requests, and the port's own handle none of them.
    if (IsMonitorHandle(stack->FileObject)) return MonitorIoControl(extension, Irp);

    Irp->IoStatus.Information = 0;
    NTSTATUS status = ErrorAbortCheck(extension, Irp);
    if (status != STATUS_SUCCESS) return status;
    if (code == IOCTL_QUORVEL_MONITOR_START || code == IOCTL_QUORVEL_MONITOR_READ) return MonitorIoControl(extension, Irp);

    PRIVATE_CONTROL_ROUTINE privateRoutine = FindPrivateControl(code);
    if (privateRoutine != NULL) {
        status = privateRoutine(extension, Irp, stack);
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }

    const CONTROL_ENTRY *entry = FindSerialControl(code);
    if (entry == NULL) return RefuseControl(Irp, STATUS_INVALID_PARAMETER);

    CONTROL_REQUEST request;
    request.Extension = extension;
    request.Irp = Irp;
    request.Stack = stack;
    request.Code = code;
    request.Buffer = Irp->AssociatedIrp.SystemBuffer;
    request.OutputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    request.Handed = FALSE;

    if (stack->Parameters.DeviceIoControl.InputBufferLength < entry->InputLength ||
        request.OutputLength < entry->OutputLength) {
        return RefuseControl(Irp, STATUS_BUFFER_TOO_SMALL);
    }
    if (entry->Check != NULL && !entry->Check(&request)) return RefuseControl(Irp, STATUS_INVALID_PARAMETER);
    if (entry->Gated) {
        // Refused: the gate has completed the request. Pending: the gate holds it.
        status = GateEnter(&extension->ControlGate, Irp);
        if (!NT_SUCCESS(status) || status == STATUS_PENDING) return status;
    }

    status = entry->Routine(&request);
    if (request.Handed) return status;
    if (!NT_SUCCESS(status)) Irp->IoStatus.Information = 0;
    if (entry->Gated) GateLeave(&extension->ControlGate);
    return CompleteRequest(Irp, status);
}
