// Quorvel: the shared header of the driver's files. It holds the per-port state
// (DEVICE_EXTENSION) and the records several files use. Every shared field says which lock
// guards it and at which IRQL it is touched.
#pragma once

#include "portable.h"

// Pool tags
#define QUORVEL_TAG 'vrqQ'

struct _DEVICE_EXTENSION;
typedef struct _DEVICE_EXTENSION DEVICE_EXTENSION, *PDEVICE_EXTENSION;

// ===================================================================== gateway records
// (settings record, connection and device tables, Modbus requests)
// ---- end gateway records

// ===================================================================== transport client records
// ---- end transport client records

// ===================================================================== serial records
// (IRP_QUEUE, IRP_GATE, VUART)
#define VUART_RX_FIFO_SIZE 4096

// The port's software 16550. Guarded by DeviceLock; touched at DISPATCH_LEVEL.
typedef struct _VUART {
    PDEVICE_EXTENSION Owner;  // the port; reaches EthInfo for the wiring masks
    PUCHAR RxFifo;            // VUART_RX_FIFO_SIZE bytes, non-paged; received bytes from its first byte
    ULONG RxCount;            // bytes in RxFifo
    // ---- further VUART fields (serial emulation)
} VUART, *PVUART;
// ---- end serial records

struct _DEVICE_EXTENSION {
    // ================================================================= frame (entry, open/close, PnP, power)
    PDEVICE_OBJECT DeviceObject;       // this port's device object; set at add-device
    PDEVICE_OBJECT LowerDeviceObject;  // next device in the stack; set at add-device
    PDEVICE_OBJECT Pdo;                // physical device object; set at add-device
    // ---- end frame

    // ================================================================= gateway
    // ---- end gateway

    // ================================================================= network link
    // ---- end network link

    // ================================================================= serial
    KSPIN_LOCK DeviceLock;  // the port's lock: serial state, UART, receive ring, transmit state, events
    VUART Uart;             // guarded by DeviceLock
    ULONG RxRingSize;       // size of the receive ring in bytes; guarded by DeviceLock
    // ---- end serial
};
