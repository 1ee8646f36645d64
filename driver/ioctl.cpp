// Serial control requests (IRP_MJ_DEVICE_CONTROL): the serial state of the port, its
// validation and reporting, the error-abort rule, and purge execution.
#include "quorvel.h"

#define COMMPROP_LENGTH 64

// Not in every kit's serial header; the port refuses both.
#ifndef IOCTL_SERIAL_GET_COMMCONFIG
#define IOCTL_SERIAL_GET_COMMCONFIG CTL_CODE(FILE_DEVICE_SERIAL_PORT, 33, METHOD_BUFFERED, FILE_ANY_ACCESS)
#endif
#ifndef IOCTL_SERIAL_SET_COMMCONFIG
#define IOCTL_SERIAL_SET_COMMCONFIG CTL_CODE(FILE_DEVICE_SERIAL_PORT, 34, METHOD_BUFFERED, FILE_ANY_ACCESS)
#endif

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
    Irp->IoStatus.Status = STATUS_CANCELLED;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_CANCELLED;
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
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
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
static BOOLEAN LineControlFromRequest(PSERIAL_LINE_CONTROL Request, PUCHAR LineControl, PUCHAR DataMask)
{
    static const UCHAR dataMasks[4] = {0x1F, 0x3F, 0x7F, 0xFF};
    static const UCHAR parityBits[5] = {0x00, 0x08, 0x18, 0x28, 0x38};

    if (Request->WordLength < 5 || Request->WordLength > 8) return FALSE;
    if (Request->Parity > SPACE_PARITY) return FALSE;
    if (Request->StopBits > STOP_BITS_2) return FALSE;
    UCHAR dataBits = (UCHAR)(Request->WordLength - 5);
    *LineControl = (UCHAR)(dataBits | parityBits[Request->Parity] | (Request->StopBits != STOP_BIT_1 ? 0x04 : 0x00));
    *DataMask = dataMasks[dataBits];
    return TRUE;
}

static VOID LineControlToRequest(UCHAR LineControl, PSERIAL_LINE_CONTROL Request)
{
    Request->WordLength = (UCHAR)((LineControl & 0x03) + 5);
    switch (LineControl & 0x38) {
    case 0x00: Request->Parity = NO_PARITY; break;
    case 0x08: Request->Parity = ODD_PARITY; break;
    case 0x18: Request->Parity = EVEN_PARITY; break;
    case 0x28: Request->Parity = MARK_PARITY; break;
    case 0x38: Request->Parity = SPACE_PARITY; break;
    default: Request->Parity = 0; break;
    }
    if (!(LineControl & 0x04)) {
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

// SET_HANDFLOW checks that need no port state.
static BOOLEAN HandFlowIsValid(PDEVICE_EXTENSION Extension, PSERIAL_HANDFLOW HandFlow)
{
    if (HandFlow->ControlHandShake & SERIAL_CONTROL_INVALID) return FALSE;
    if (HandFlow->FlowReplace & SERIAL_FLOW_INVALID) return FALSE;
    if ((HandFlow->ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_MASK) return FALSE;
    ULONG ringSize = RingSize(Extension);
    if (HandFlow->XonLimit < 0 || (ULONG)HandFlow->XonLimit > ringSize) return FALSE;
    if (HandFlow->XoffLimit < 0 || (ULONG)HandFlow->XoffLimit > ringSize) return FALSE;
    return TRUE;
}

// Admits a gated request or returns from the dispatch with the gate's status (the request is
// then completed or held by the gate).
#define ENTER_GATE()                                           \
    do {                                                       \
        status = GateEnter(&extension->ControlGate, Irp);      \
        if (!NT_SUCCESS(status) || status == STATUS_PENDING) { \
            return status;                                     \
        }                                                      \
        gated = TRUE;                                          \
    } while (0)

#define NEED_INPUT(Length)                \
    if (inputLength < (Length)) {         \
        status = STATUS_BUFFER_TOO_SMALL; \
        break;                            \
    }

#define NEED_OUTPUT(Length)               \
    if (outputLength < (Length)) {        \
        status = STATUS_BUFFER_TOO_SMALL; \
        break;                            \
    }

NTSTATUS NTAPI KivraIoControlDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
    NTSTATUS status = STATUS_SUCCESS;
    BOOLEAN gated = FALSE;
    KIRQL oldIrql;

    if (IsMonitorHandle(stack->FileObject)) return MonitorIoControl(extension, Irp);
    Irp->IoStatus.Information = 0;
    status = ErrorAbortCheck(extension, Irp);
    if (status != STATUS_SUCCESS) return status;

    switch (code) {
    case IOCTL_SERIAL_SET_BAUD_RATE:
        NEED_INPUT(sizeof(ULONG));
        ENTER_GATE();
        WriteUnlocked(&extension->BaudRate, ((PSERIAL_BAUD_RATE)buffer)->BaudRate);
        break;

    case IOCTL_SERIAL_GET_BAUD_RATE:
        NEED_OUTPUT(sizeof(ULONG));
        ENTER_GATE();
        ((PSERIAL_BAUD_RATE)buffer)->BaudRate = ReadUnlocked(&extension->BaudRate);
        Irp->IoStatus.Information = sizeof(ULONG);
        break;

    case IOCTL_SERIAL_SET_QUEUE_SIZE: {
        NEED_INPUT(sizeof(SERIAL_QUEUE_SIZE));
        ULONG inSize = ((PSERIAL_QUEUE_SIZE)buffer)->InSize;
        if (inSize <= RingSize(extension)) break;  // the ring never shrinks
        // Charged to the caller's quota, so that no program can drain non-paged pool through
        // the port; past the quota the request is refused.
        PVOID newRing = ExAllocatePoolWithQuotaTag((POOL_TYPE)(NonPagedPool | POOL_QUOTA_FAIL_INSTEAD_OF_RAISE), inSize,
                                                   QUORVEL_TAG);
        if (newRing == NULL) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            break;
        }
        stack->Parameters.DeviceIoControl.Type3InputBuffer = newRing;
        return QueueStartPacket(&extension->ReadQueue, Irp);
    }

    case IOCTL_SERIAL_SET_LINE_CONTROL: {
        NEED_INPUT(sizeof(SERIAL_LINE_CONTROL));
        UCHAR lineControl, dataMask;
        if (!LineControlFromRequest((PSERIAL_LINE_CONTROL)buffer, &lineControl, &dataMask)) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        ENTER_GATE();
        KeAcquireSpinLock(&extension->DeviceLock, &oldIrql);
        extension->LineControl = lineControl;
        extension->ValidDataMask = dataMask;
        VuartWriteLcr(&extension->Uart, lineControl);
        KeReleaseSpinLock(&extension->DeviceLock, oldIrql);
        break;
    }

    case IOCTL_SERIAL_GET_LINE_CONTROL: {
        NEED_OUTPUT(sizeof(SERIAL_LINE_CONTROL));
        RtlZeroMemory(buffer, outputLength);
        KeAcquireSpinLock(&extension->DeviceLock, &oldIrql);
        LineControlToRequest(extension->LineControl, (PSERIAL_LINE_CONTROL)buffer);
        KeReleaseSpinLock(&extension->DeviceLock, oldIrql);
        Irp->IoStatus.Information = sizeof(SERIAL_LINE_CONTROL);
        break;
    }

    case IOCTL_SERIAL_SET_BREAK_ON:
    case IOCTL_SERIAL_SET_BREAK_OFF:
        ENTER_GATE();
        KeAcquireSpinLock(&extension->DeviceLock, &oldIrql);
        if (code == IOCTL_SERIAL_SET_BREAK_ON) {
            StartBreak(extension);
        } else {
            StopBreak(extension);
        }
        KeReleaseSpinLock(&extension->DeviceLock, oldIrql);
        break;

    case IOCTL_SERIAL_IMMEDIATE_CHAR: {
        NEED_INPUT(sizeof(UCHAR));
        KeAcquireSpinLock(&extension->DeviceLock, &oldIrql);
        if (extension->ImmediateIrp != NULL) {
            status = STATUS_INVALID_PARAMETER;
        } else {
            extension->ImmediateIrp = Irp;
            extension->TxQueuedCount += 1;
        }
        KeReleaseSpinLock(&extension->DeviceLock, oldIrql);
        if (status != STATUS_SUCCESS) break;
        return StartImmediateChar(extension);
    }

    case IOCTL_SERIAL_SET_TIMEOUTS: {
        NEED_INPUT(sizeof(SERIAL_TIMEOUTS));
        PSERIAL_TIMEOUTS timeouts = (PSERIAL_TIMEOUTS)buffer;
        if (timeouts->ReadIntervalTimeout == MAXULONG && timeouts->ReadTotalTimeoutMultiplier == MAXULONG &&
            timeouts->ReadTotalTimeoutConstant == MAXULONG) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        KeAcquireSpinLock(&extension->DeviceLock, &oldIrql);
        extension->Timeouts = *timeouts;
        KeReleaseSpinLock(&extension->DeviceLock, oldIrql);
        break;
    }

    case IOCTL_SERIAL_GET_TIMEOUTS:
        NEED_OUTPUT(sizeof(SERIAL_TIMEOUTS));
        KeAcquireSpinLock(&extension->DeviceLock, &oldIrql);
        *(PSERIAL_TIMEOUTS)buffer = extension->Timeouts;
        KeReleaseSpinLock(&extension->DeviceLock, oldIrql);
        Irp->IoStatus.Information = sizeof(SERIAL_TIMEOUTS);
        break;

    case IOCTL_SERIAL_SET_DTR:
    case IOCTL_SERIAL_CLR_DTR:
        ENTER_GATE();
        KeAcquireSpinLock(&extension->DeviceLock, &oldIrql);
        if ((extension->HandFlow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE) {
            status = STATUS_INVALID_PARAMETER;
        } else if (code == IOCTL_SERIAL_SET_DTR) {
            RaiseDtr(extension);
        } else {
            LowerDtr(extension);
        }
        KeReleaseSpinLock(&extension->DeviceLock, oldIrql);
        break;

    case IOCTL_SERIAL_SET_RTS:
    case IOCTL_SERIAL_CLR_RTS: {
        ENTER_GATE();
        KeAcquireSpinLock(&extension->DeviceLock, &oldIrql);
        ULONG rtsMode = extension->HandFlow.FlowReplace & SERIAL_RTS_MASK;
        if (rtsMode == SERIAL_RTS_HANDSHAKE || rtsMode == SERIAL_TRANSMIT_TOGGLE) {
            status = STATUS_INVALID_PARAMETER;
        } else if (code == IOCTL_SERIAL_SET_RTS) {
            RaiseRts(extension);
        } else {
            LowerRts(extension);
        }
        KeReleaseSpinLock(&extension->DeviceLock, oldIrql);
        break;
    }

    case IOCTL_SERIAL_RESET_DEVICE: ENTER_GATE(); break;

    case IOCTL_SERIAL_SET_XOFF:
    case IOCTL_SERIAL_SET_XON:
        ENTER_GATE();
        KeAcquireSpinLock(&extension->DeviceLock, &oldIrql);
        if (code == IOCTL_SERIAL_SET_XOFF) {
            HoldForXoff(extension);
        } else {
            ReleaseXoffHold(extension);
        }
        KeReleaseSpinLock(&extension->DeviceLock, oldIrql);
        break;

    case IOCTL_SERIAL_GET_WAIT_MASK:
        NEED_OUTPUT(sizeof(ULONG));
        KeAcquireSpinLock(&extension->DeviceLock, &oldIrql);
        *(PULONG)buffer = extension->WaitMask;
        KeReleaseSpinLock(&extension->DeviceLock, oldIrql);
        Irp->IoStatus.Information = sizeof(ULONG);
        break;

    case IOCTL_SERIAL_SET_WAIT_MASK:
        NEED_INPUT(sizeof(ULONG));
        if (*(PULONG)buffer & ~0x00001FFFu) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        return QueueStartPacket(&extension->MaskQueue, Irp);

    case IOCTL_SERIAL_WAIT_ON_MASK: NEED_OUTPUT(sizeof(ULONG)); return QueueStartPacket(&extension->MaskQueue, Irp);

    case IOCTL_SERIAL_PURGE: {
        NEED_INPUT(sizeof(ULONG));
        ULONG mask = *(PULONG)buffer;
        if (mask == 0 || (mask & ~(ULONG)(SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXCLEAR |
                                          SERIAL_PURGE_RXCLEAR))) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        return QueueStartPacket(&extension->PurgeQueue, Irp);
    }

    case IOCTL_SERIAL_GET_CHARS:
        NEED_OUTPUT(sizeof(SERIAL_CHARS));
        KeAcquireSpinLock(&extension->DeviceLock, &oldIrql);
        *(PSERIAL_CHARS)buffer = extension->SpecialChars;
        KeReleaseSpinLock(&extension->DeviceLock, oldIrql);
        Irp->IoStatus.Information = sizeof(SERIAL_CHARS);
        break;

    case IOCTL_SERIAL_SET_CHARS: {
        NEED_INPUT(sizeof(SERIAL_CHARS));
        PSERIAL_CHARS chars = (PSERIAL_CHARS)buffer;
        KeAcquireSpinLock(&extension->DeviceLock, &oldIrql);
        UCHAR escape = extension->EscapeChar;
        if (escape != 0 && (escape == chars->XonChar || escape == chars->XoffChar)) {
            status = STATUS_INVALID_PARAMETER;
        } else {
            extension->SpecialChars = *chars;
        }
        KeReleaseSpinLock(&extension->DeviceLock, oldIrql);
        break;
    }

    case IOCTL_SERIAL_GET_HANDFLOW:
        NEED_OUTPUT(sizeof(SERIAL_HANDFLOW));
        KeAcquireSpinLock(&extension->DeviceLock, &oldIrql);
        *(PSERIAL_HANDFLOW)buffer = extension->HandFlow;
        KeReleaseSpinLock(&extension->DeviceLock, oldIrql);
        Irp->IoStatus.Information = sizeof(SERIAL_HANDFLOW);
        break;

    case IOCTL_SERIAL_SET_HANDFLOW: {
        NEED_INPUT(sizeof(SERIAL_HANDFLOW));
        SERIAL_HANDFLOW handFlow = *(PSERIAL_HANDFLOW)buffer;
        if (!HandFlowIsValid(extension, &handFlow)) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        ENTER_GATE();
        KeAcquireSpinLock(&extension->DeviceLock, &oldIrql);
        if (extension->EscapeChar != 0 && (handFlow.FlowReplace & SERIAL_ERROR_CHAR)) {
            status = STATUS_INVALID_PARAMETER;
        } else {
            ApplyHandFlow(extension, &handFlow);
            UpdateModemStatus(extension, FALSE);
        }
        KeReleaseSpinLock(&extension->DeviceLock, oldIrql);
        break;
    }

    case IOCTL_SERIAL_GET_MODEMSTATUS:
        NEED_OUTPUT(sizeof(ULONG));
        ENTER_GATE();
        KeAcquireSpinLock(&extension->DeviceLock, &oldIrql);
        *(PULONG)buffer = UpdateModemStatus(extension, FALSE);
        KeReleaseSpinLock(&extension->DeviceLock, oldIrql);
        Irp->IoStatus.Information = sizeof(ULONG);
        break;

    case IOCTL_SERIAL_GET_COMMSTATUS:
        NEED_OUTPUT(sizeof(SERIAL_STATUS));
        KeAcquireSpinLock(&extension->DeviceLock, &oldIrql);
        FillCommStatus(extension, (PSERIAL_STATUS)buffer);
        KeReleaseSpinLock(&extension->DeviceLock, oldIrql);
        Irp->IoStatus.Information = sizeof(SERIAL_STATUS);
        break;

    case IOCTL_SERIAL_XOFF_COUNTER:
        NEED_INPUT(sizeof(SERIAL_XOFF_COUNTER));
        if (((PSERIAL_XOFF_COUNTER)buffer)->Counter <= 0) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        KeAcquireSpinLock(&extension->DeviceLock, &oldIrql);
        extension->TxQueuedCount += 1;  // its XoffChar
        KeReleaseSpinLock(&extension->DeviceLock, oldIrql);
        return QueueStartPacket(&extension->WriteQueue, Irp);

    case IOCTL_SERIAL_GET_PROPERTIES:
        NEED_OUTPUT(COMMPROP_LENGTH);
        FillProperties(RingSize(extension), (PSERIAL_COMMPROP)buffer);
        Irp->IoStatus.Information = COMMPROP_LENGTH;
        break;

    case IOCTL_SERIAL_GET_DTRRTS:
        NEED_OUTPUT(sizeof(ULONG));
        ENTER_GATE();
        KeAcquireSpinLock(&extension->DeviceLock, &oldIrql);
        *(PULONG)buffer = VuartReadMcr(&extension->Uart) & (SERIAL_DTR_STATE | SERIAL_RTS_STATE);
        KeReleaseSpinLock(&extension->DeviceLock, oldIrql);
        Irp->IoStatus.Information = sizeof(ULONG);
        break;

    case IOCTL_SERIAL_LSRMST_INSERT: {
        NEED_INPUT(sizeof(UCHAR));
        UCHAR escape = *(PUCHAR)buffer;
        KeAcquireSpinLock(&extension->DeviceLock, &oldIrql);
        if (escape != 0 && (escape == extension->SpecialChars.XoffChar || escape == extension->SpecialChars.XonChar ||
                            (extension->HandFlow.FlowReplace & SERIAL_ERROR_CHAR))) {
            status = STATUS_INVALID_PARAMETER;
        } else {
            extension->EscapeChar = escape;
        }
        KeReleaseSpinLock(&extension->DeviceLock, oldIrql);
        break;
    }

    case IOCTL_SERIAL_CONFIG_SIZE:
        NEED_OUTPUT(sizeof(ULONG));
        *(PULONG)buffer = 0;
        Irp->IoStatus.Information = sizeof(ULONG);
        break;

    case IOCTL_SERIAL_GET_STATS:
        NEED_OUTPUT(sizeof(SERIALPERF_STATS));
        KeAcquireSpinLock(&extension->DeviceLock, &oldIrql);
        *(PSERIALPERF_STATS)buffer = extension->PerfStats;
        KeReleaseSpinLock(&extension->DeviceLock, oldIrql);
        Irp->IoStatus.Information = sizeof(SERIALPERF_STATS);
        break;

    case IOCTL_SERIAL_CLEAR_STATS:
        KeAcquireSpinLock(&extension->DeviceLock, &oldIrql);
        RtlZeroMemory(&extension->PerfStats, sizeof(extension->PerfStats));
        KeReleaseSpinLock(&extension->DeviceLock, oldIrql);
        break;

    case IOCTL_SERIAL_GET_MODEM_CONTROL:
        NEED_OUTPUT(sizeof(ULONG));
        ENTER_GATE();
        KeAcquireSpinLock(&extension->DeviceLock, &oldIrql);
        *(PULONG)buffer = VuartReadMcr(&extension->Uart);
        KeReleaseSpinLock(&extension->DeviceLock, oldIrql);
        Irp->IoStatus.Information = sizeof(ULONG);
        break;

    case IOCTL_SERIAL_SET_MODEM_CONTROL: {
        NEED_INPUT(sizeof(ULONG));
        ENTER_GATE();
        UCHAR mcr = (UCHAR)(*(PULONG)buffer & 0xFF);
        KeAcquireSpinLock(&extension->DeviceLock, &oldIrql);
        VuartWriteMcr(&extension->Uart, mcr);
        KeReleaseSpinLock(&extension->DeviceLock, oldIrql);
        break;
    }

    case IOCTL_SERIAL_SET_FIFO_CONTROL: break;

    case IOCTL_SERIAL_SET_ETHERNET:
    case IOCTL_SERIAL_GET_ETHERNET:
    case IOCTL_QUORVEL_SET_OPTIONS:
    case IOCTL_QUORVEL_GET_OPTIONS:
        // Sets the status and Information itself (GET answers a short buffer with the size needed).
        status = EthernetIoctl(extension, Irp, stack);
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;

    case IOCTL_QUORVEL_MONITOR_START: return MonitorIoControl(extension, Irp);
    case IOCTL_QUORVEL_MONITOR_READ: return MonitorIoControl(extension, Irp);

    case IOCTL_SERIAL_GET_COMMCONFIG:
    case IOCTL_SERIAL_SET_COMMCONFIG:
    default: status = STATUS_INVALID_PARAMETER; break;
    }

    if (!NT_SUCCESS(status)) Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = status;
    if (gated) GateLeave(&extension->ControlGate);
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}
