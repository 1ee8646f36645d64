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
    // ---- end serial
};
