// Serial state of a port across its life: the defaults set when the device is added, and the
// serial half of open and close (the receive ring, the transmit state, the emulated port).
#include "quorvel.h"

#define RX_RING_SIZE_AT_OPEN 4096

// Sets this file's timers, DPCs and the serial defaults (1200 baud, 7 data bits, even parity,
// 1 stop bit, DTR and RTS on, no flow control, no timeouts). Called once, at add-device, on a
// zero-filled extension.
VOID InitializeSerialData(PDEVICE_EXTENSION Extension)
{
    KeInitializeTimer(&Extension->WriteTotalTimer);
    KeInitializeDpc(&Extension->WriteTimeoutDpc, WriteTimeoutDpcRoutine, Extension);
    KeInitializeDpc(&Extension->WriteSentDpc, WriteSentDpcRoutine, Extension);

    KeInitializeTimer(&Extension->ReadTotalTimer);
    KeInitializeTimer(&Extension->ReadIntervalTimer);
    KeInitializeDpc(&Extension->ReadFullDpc, ReadFullDpcRoutine, Extension);
    KeInitializeDpc(&Extension->ReadTotalTimeoutDpc, ReadTotalTimeoutDpcRoutine, Extension);
    KeInitializeDpc(&Extension->ReadIntervalDpc, ReadIntervalDpcRoutine, Extension);

    KeInitializeTimer(&Extension->XoffCounterTimer);
    KeInitializeDpc(&Extension->XoffTimeoutDpc, XoffTimeoutDpcRoutine, Extension);
    KeInitializeDpc(&Extension->XoffCountedDpc, XoffCountedDpcRoutine, Extension);

    KeInitializeDpc(&Extension->WaitCompleteDpc, WaitCompleteDpcRoutine, Extension);
    KeInitializeDpc(&Extension->ErrorAbortDpc, ErrorAbortDpcRoutine, Extension);

    Extension->SpecialChars.XonChar = 0x11;
    Extension->SpecialChars.XoffChar = 0x13;
    Extension->HandFlow.ControlHandShake = SERIAL_DTR_CONTROL;
    Extension->HandFlow.FlowReplace = SERIAL_RTS_CONTROL;
    Extension->LineControl = 0x1A;  // 7 data bits, even parity, 1 stop bit
    Extension->ValidDataMask = 0x7F;
    Extension->BaudRate = 1200;

    Extension->IntervalCutOver = 200000000;      // 20 s
    Extension->LongIntervalRecheck = -10000000;  // relative 1 s
}

// Allocates the receive ring of a new handle. Nothing else uses the ring while the port is
// closed, so no lock is needed.
NTSTATUS AllocateRxRing(PDEVICE_EXTENSION Extension)
{
    PUCHAR ring = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, RX_RING_SIZE_AT_OPEN, QUORVEL_TAG);
    if (ring == NULL) {
        Extension->RxRingSize = 0;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    KIRQL oldIrql;
    KeAcquireSpinLock(&Extension->DeviceLock, &oldIrql);
    Extension->RxRing = ring;
    Extension->RxRingSize = RX_RING_SIZE_AT_OPEN;
    KeReleaseSpinLock(&Extension->DeviceLock, oldIrql);
    return STATUS_SUCCESS;
}

// Releases the receive ring. The pointers are cleared under the lock so that a late receive
// finds no ring rather than freed memory.
VOID FreeRxRing(PDEVICE_EXTENSION Extension)
{
    KIRQL oldIrql;
    KeAcquireSpinLock(&Extension->DeviceLock, &oldIrql);
    PUCHAR ring = Extension->RxRing;
    Extension->RxRing = NULL;
    Extension->RxRingSize = 0;
    Extension->RxRingCount = 0;
    Extension->RxTargetBase = NULL;
    Extension->RxTargetPos = NULL;
    Extension->RxTargetLast = NULL;
    Extension->RxRingReadPos = NULL;
    KeReleaseSpinLock(&Extension->DeviceLock, oldIrql);
    if (ring != NULL) ExFreePoolWithTag(ring, QUORVEL_TAG);
}

// Open, once the ring exists: resets the receive and transmit state for the new handle and
// opens the emulated port. ApplyHandFlow runs while PortOpen is still FALSE so that every part
// of the handshake settings takes effect (with the defaults: DTR and RTS up).
VOID SerialOpenPort(PDEVICE_EXTENSION Extension)
{
    KIRQL oldIrql;
    KeAcquireSpinLock(&Extension->DeviceLock, &oldIrql);

    ULONG size = Extension->RxRingSize;
    Extension->RxRingCount = 0;
    Extension->RxTargetBase = Extension->RxRing;
    Extension->RxTargetPos = Extension->RxRing;
    Extension->RxRingReadPos = Extension->RxRing;
    Extension->RxTargetLast = Extension->RxRing + size - 1;
    Extension->TxQueuedCount = 0;
    Extension->HandFlow.XoffLimit = (LONG)(size >> 3);
    Extension->HandFlow.XonLimit = (LONG)(size >> 1);
    Extension->RxRingHighMark = (size / 4) * 3 + size / 16;
    Extension->EventHistory = 0;
    Extension->WaitMask = 0;
    Extension->WaitResultLocation = NULL;
    Extension->XonToSend = FALSE;
    Extension->XoffToSend = FALSE;
    Extension->EscapeChar = 0;
    Extension->HoldingEmpty = TRUE;
    // An error latched under SERIAL_ERROR_ABORT belonged to the handle that saw it; left set,
    // it would refuse every request of the new handle until ClearCommError. Its abort, if still
    // queued, would cancel the new handle's first read or write.
    Extension->LatchedErrors = 0;
    KeRemoveQueueDpc(&Extension->ErrorAbortDpc);

    VuartWriteLcr(&Extension->Uart, Extension->LineControl);
    SERIAL_HANDFLOW handFlow = Extension->HandFlow;
    ApplyHandFlow(Extension, &handFlow);
    UpdateModemStatus(Extension, FALSE);
    VuartWriteIer(&Extension->Uart, UART_IER_RDA | UART_IER_THRE | UART_IER_RLS | UART_IER_MS);
    RtlZeroMemory(&Extension->PerfStats, sizeof(Extension->PerfStats));
    Extension->PortOpen = TRUE;

    KeReleaseSpinLock(&Extension->DeviceLock, oldIrql);
}

// Close: drops a break and the modem outputs (the wired inputs fall with them), forgets the
// holds, and releases the ring.
VOID SerialClosePort(PDEVICE_EXTENSION Extension)
{
    KIRQL oldIrql;
    KeAcquireSpinLock(&Extension->DeviceLock, &oldIrql);
    StopBreak(Extension);
    LowerDtr(Extension);
    LowerRts(Extension);
    Extension->RxHoldReasons = 0;
    Extension->TxHoldReasons = 0;
    Extension->PortOpen = FALSE;
    KeReleaseSpinLock(&Extension->DeviceLock, oldIrql);

    FreeRxRing(Extension);
}

LARGE_INTEGER RelativeTimeFromMs(ULONGLONG Milliseconds)
{
    // The largest count of milliseconds whose 100-ns value still fits a signed 64-bit time.
    const ULONGLONG longest = 0x7FFFFFFFFFFFFFFFULL / 10000;
    LARGE_INTEGER due;
    if (Milliseconds > longest) Milliseconds = longest;
    due.QuadPart = -(LONGLONG)(Milliseconds * 10000);
    return due;
}
