// Quorvel: the shared header of the driver's files. It holds the per-port state
// (DEVICE_EXTENSION) and the records several files use. Every shared field says which lock
// guards it and at which IRQL it is touched.
#pragma once

#include "portable.h"
#include "lockorder.h"
#include <ntddser.h>
#include <wmilib.h>

// Pool tags
#define QUORVEL_TAG 'vrqQ'

struct _DEVICE_EXTENSION;
typedef struct _DEVICE_EXTENSION DEVICE_EXTENSION, *PDEVICE_EXTENSION;

// ===================================================================== gateway records
// (settings record, connection and device tables, Modbus requests)

// Control requests carrying the Ethernet settings record (the configurator uses these codes).
#define IOCTL_SERIAL_SET_ETHERNET CTL_CODE(FILE_DEVICE_SERIAL_PORT, 10000, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_GET_ETHERNET CTL_CODE(FILE_DEVICE_SERIAL_PORT, 10001, METHOD_BUFFERED, FILE_ANY_ACCESS)

// Control requests carrying the port's options, stored beside the settings record.
#define IOCTL_QUORVEL_SET_OPTIONS CTL_CODE(FILE_DEVICE_SERIAL_PORT, 10002, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_QUORVEL_GET_OPTIONS CTL_CODE(FILE_DEVICE_SERIAL_PORT, 10003, METHOD_BUFFERED, FILE_ANY_ACCESS)

// The port's options: a versioned record of its own, so the settings record keeps its format.
// Flag bits not yet defined must be 0. Little-endian, packed.
#define QUORVEL_OPTIONS_VERSION 1
#define QUORVEL_OPTION_EXCEPTIONS 0x00000001  // answer what cannot be served with exception 0x0A/0x0B
#define QUORVEL_OPTION_FLAGS_KNOWN QUORVEL_OPTION_EXCEPTIONS
// With exceptions on and no response time set, a request is answered 0x0B after this long.
#define QUORVEL_DEFAULT_EXCEPTION_MS 1000

// Reads the port's gateway counters (QUORVEL_COUNTERS, then one QUORVEL_LINK_COUNTERS per link).
#define IOCTL_QUORVEL_GET_COUNTERS CTL_CODE(FILE_DEVICE_SERIAL_PORT, 10004, METHOD_BUFFERED, FILE_ANY_ACCESS)

// 10005 and 10006 (IOCTL_QUORVEL_MONITOR_START/READ, below) start and read the port's monitor
// ring, on a monitor handle only.

// Why the gateway dropped a request or a reply; the counters and the monitor both name these.
typedef enum _QUORVEL_DROP_REASON {
    DropNoRoute = 1,          // request: no connection serves its device id
    DropLinkDown = 2,         // request: its link is down or could not be made
    DropConnecting = 3,       // request: its link is still connecting
    DropTooLong = 4,          // request: does not fit an MBAP frame
    DropChecksum = 5,         // application frame: CRC/LRC wrong
    DropUnknownTransaction = 6,  // reply: transaction id not the one awaited (or already answered)
    DropBadLength = 7,        // reply: length, protocol id, unit or function not the request's
    DropLate = 8,             // reply: came after the port's response time
} QUORVEL_DROP_REASON;

#pragma pack(push, 1)
typedef struct _QUORVEL_OPTIONS {
    USHORT size;       // sizeof(QUORVEL_OPTIONS)
    USHORT version;    // QUORVEL_OPTIONS_VERSION
    ULONG flags;       // QUORVEL_OPTION_* bits
    ULONG responseMs;  // a reply later than this after its request is dropped; 0 = no limit
} QUORVEL_OPTIONS, *PQUORVEL_OPTIONS;
#pragma pack(pop)

// The counters record, counted since the port was opened. Little-endian, packed: the header,
// then linkCount entries of linkSize bytes each, in the settings record's order. Readers take
// the sizes from the record, so fields can be added at the end of either part.
#define QUORVEL_COUNTERS_VERSION 1

#pragma pack(push, 1)
typedef struct _QUORVEL_COUNTERS {
    ULONG size;             // whole record, entries included
    USHORT version;         // QUORVEL_COUNTERS_VERSION
    USHORT linkSize;        // sizeof(QUORVEL_LINK_COUNTERS)
    ULONG linkCount;        // entries that follow
    ULONG checksumRejects;  // written frames that are neither RTU nor ASCII (CRC/LRC wrong)
    ULONG noRoute;          // requests for a device id that no connection serves
    ULONG exceptionsSent;   // exception replies placed for the application
} QUORVEL_COUNTERS, *PQUORVEL_COUNTERS;

typedef struct _QUORVEL_LINK_COUNTERS {
    ULONG ip;                    // server address, network order
    USHORT port;                 // server TCP port
    UCHAR raw;                   // nonzero: frames pass unchanged
    UCHAR up;                    // nonzero while the link is connected
    ULONG requestsSent;
    ULONG repliesDelivered;
    ULONG repliesUnknown;        // dropped: transaction id not awaited (or already answered)
    ULONG repliesBadLength;      // dropped: length, protocol, unit or function not the request's
    ULONG repliesLate;           // dropped: after the response time
    ULONG requestsLinkDown;      // dropped: the link was down or could not be made
    ULONG requestsConnecting;    // dropped: a connect was in progress
    ULONG requestsTooLong;       // dropped: does not fit an MBAP frame
    ULONG connects;
    ULONG connectFailures;
    ULONG disconnects;
    LONG lastError;              // NTSTATUS of the last failure, 0 when none
    LONGLONG lastErrorTime;      // system time (100 ns since 1601) of lastError, 0 when none
} QUORVEL_LINK_COUNTERS, *PQUORVEL_LINK_COUNTERS;
#pragma pack(pop)

// The Ethernet settings record: a 10-byte header, then connection entries back to back up to
// the header's size. Little-endian, packed; the address is in network order.
#define ETH_INFO_VERSION 0x0101
#define ETH_INFO_HEADER_SIZE 10
#define ETH_ENTRY_HEADER_SIZE 11

#pragma pack(push, 1)
typedef struct _ETH_INFO_HEADER {
    ULONG size;      // whole record, header included
    USHORT version;  // ETH_INFO_VERSION
    USHORT delay;    // send time limit, ms
    UCHAR rtsMask;   // inputs that follow RTS (0x01 CTS, 0x02 DSR, 0x04 DCD, 0x08 RING)
    UCHAR dtrMask;   // inputs that follow DTR
} ETH_INFO_HEADER, *PETH_INFO_HEADER;

typedef struct _ETH_INFO_ENTRY {
    ULONG size;   // this entry: 11 + number of device ids
    ULONG ip;     // network order
    USHORT port;  // machine order
    UCHAR raw;    // nonzero: frames pass unchanged
    // device ids follow, one byte each
} ETH_INFO_ENTRY, *PETH_INFO_ENTRY;
#pragma pack(pop)

// The driver's copy of the record header. Written at first open (PASSIVE_LEVEL) before the
// connection thread starts; read without a lock afterwards.
typedef struct _ETH_INFO {
    USHORT delay;
    UCHAR rtsMask;
    UCHAR dtrMask;
} ETH_INFO, *PETH_INFO;

// Frame modes of a request and of a connection
#define FRAME_MODE_NONE 0
#define FRAME_MODE_RTU 1
#define FRAME_MODE_ASCII 2

// MBAP: transaction id, protocol id, length (6 bytes), then unit id and protocol data.
#define MBAP_HEADER_SIZE 6
#define MODBUS_MAX_FRAME 65535

// Reassembly of a connection's reply stream: the largest reply kept is the one whose RTU
// frame (content + 2) fills the receive FIFO, i.e. content 4094 bytes plus the 6-byte
// header. Longer replies could not be placed and are skipped whole.
#define ETH_REPLY_BUFFER_SIZE 4100

// One configured TCP connection of an open port. Made at first open, freed at close.
typedef struct _ETH_CONNECTION {
    struct _TDI_SOCKET *Socket;  // open link or NULL; guarded by ConnectMutex (PASSIVE_LEVEL)
    ULONG ip;                    // server address, network order; fixed while open
    USHORT port;                 // server TCP port, machine order; fixed while open
    USHORT TransactionId;        // last MBAP transaction id; advanced under ConnectMutex, read
                                 // unlocked by the receive indication (DISPATCH_LEVEL)
    UCHAR Mode;                  // FRAME_MODE_* of the current transaction; ReplyLock
    UCHAR raw;                   // nonzero: frames pass unchanged; fixed while open
    UCHAR NeedConnection;        // the connection thread is to connect it; guarded by ConnectMutex
    SINGLE_LIST_ENTRY Link;      // in ConnectionList

    // Reply stream of a converted connection, reassembled by MBAP length. Guarded by
    // ReplyLock, taken at DISPATCH_LEVEL under DeviceLock by the receive indication and under
    // ConnectMutex by the send path; it nests inside both and takes nothing itself.
    KSPIN_LOCK ReplyLock;
    ULONG ReplyLength;  // bytes held in ReplyBuffer
    ULONG ReplySkip;    // bytes still to discard of a reply too long to place
    // ETH_REPLY_BUFFER_SIZE bytes of non-paged pool, owned by the link: allocated by the
    // connection thread before it connects the connection, freed once the link's socket
    // is closed (or at the port's close), NULL otherwise. The pointer is set and cleared under
    // ReplyLock (never with DeviceLock, which must not nest in ConnectMutex) and read under
    // ReplyLock by the receive indication at DISPATCH_LEVEL inside DeviceLock; data for a
    // connection without it is dropped.
    PUCHAR ReplyBuffer;

    // The transaction waiting for its reply: started by the write path under ConnectMutex,
    // ended by the delivery of its reply (or a malformed one) at DISPATCH_LEVEL. ReplyLock.
    BOOLEAN Awaiting;      // a request went out and no reply to it has been delivered
    UCHAR AwaitUnit;       // its unit id and function code: a reply must echo both
    UCHAR AwaitFunction;
    LONG AwaitSerial;      // the port's RequestSerial when it was written
    BOOLEAN TimedOut;      // the transaction ended for its response time: its reply is late
    ULONGLONG AwaitSince;  // interrupt time (100 ns) when it was written

    // What the link has done since the port was opened. The counts are interlocked, bumped at
    // any IRQL up to DISPATCH_LEVEL; lastError and lastErrorTime change together under
    // ReplyLock. ip, port, raw and up are filled only in a copy handed out.
    QUORVEL_LINK_COUNTERS Counters;
} ETH_CONNECTION, *PETH_CONNECTION;

// One device id of an entry, pointing at the connection that serves it.
typedef struct _ETH_DEVICE {
    UCHAR DeviceId;
    PETH_CONNECTION Connection;  // not owned
    SINGLE_LIST_ENTRY Link;      // in DeviceList
} ETH_DEVICE, *PETH_DEVICE;

// The working record of one written frame; lives for one ForwardRequest.
typedef struct _MODBUS_REQUEST {
    UCHAR DeviceId;      // first byte of the decoded content
    UCHAR Mode;          // FRAME_MODE_*
    USHORT DataLength;   // decoded content length
    PUCHAR Data;         // decoded content (device id, function, data); owned, non-paged
    USHORT FrameLength;  // written frame length
    PUCHAR Frame;        // written frame; the write request's buffer, not owned
} MODBUS_REQUEST, *PMODBUS_REQUEST;

// Called by ProcessIncomingData, under DeviceLock at DISPATCH_LEVEL, each time a reply has
// been placed in Uart.RxFifo: the receive step drains the FIFO before the next reply of the
// same indication is examined.
typedef VOID (*PREPLY_PLACED_ROUTINE)(PDEVICE_EXTENSION Extension);
// ---- end gateway records

// ===================================================================== monitor records
// The port's monitor: a ring of what the port carried, read through a handle opened on the
// port's name followed by "\Monitor" (the port's single-open rule does not count such
// handles, so a monitor works while an application holds the port).
#define IOCTL_QUORVEL_MONITOR_START CTL_CODE(FILE_DEVICE_SERIAL_PORT, 10005, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_QUORVEL_MONITOR_READ CTL_CODE(FILE_DEVICE_SERIAL_PORT, 10006, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define QUORVEL_MONITOR_NAME WIDE("\\Monitor")

// What an event records. The request's way is Written, then Sent, Parked (waiting for its
// link; Sent follows once connected) or Dropped; the reply's is Received, then Placed or Dropped.
typedef enum _QUORVEL_MONITOR_KIND {
    MonitorWritten = 1,   // the application wrote a frame; Mode says RTU, ASCII or neither
    MonitorSent = 2,      // a request went to its server: MBAP request, or the frame on a raw link
    MonitorParked = 3,    // a request waits for its link to be made
    MonitorReceived = 4,  // a whole reply (or what could not become one) came from a server
    MonitorPlaced = 5,    // a frame was placed for the application to read
    MonitorDropped = 6,   // Reason says why; Data is what was dropped
} QUORVEL_MONITOR_KIND;

// At most this many bytes of a frame are kept; Length keeps its full length. Enough for every
// RTU frame (256) and MBAP message (260).
#define QUORVEL_MONITOR_DATA 264
#define QUORVEL_MONITOR_SLOTS 256

#pragma pack(push, 1)
typedef struct _QUORVEL_MONITOR_EVENT {
    ULONG Sequence;        // 1, 2, ... from the ring's start; a gap is events lost
    UCHAR Kind;            // QUORVEL_MONITOR_KIND
    UCHAR Mode;            // FRAME_MODE_* of the application's frame, when known
    UCHAR Reason;          // QUORVEL_DROP_REASON of MonitorDropped, else 0
    UCHAR Raw;             // the connection is raw
    ULONGLONG Time;        // 100 ns since the ring's start
    ULONG ServerIp;        // the connection's server, network order; 0 when none
    USHORT ServerPort;     // machine order
    USHORT TransactionId;  // the connection's last transaction id when the event was recorded
    ULONG Length;          // the frame's full length
    USHORT Stored;         // bytes in Data
    USHORT Reserved;
    UCHAR Data[QUORVEL_MONITOR_DATA];
} QUORVEL_MONITOR_EVENT, *PQUORVEL_MONITOR_EVENT;

// IOCTL_QUORVEL_MONITOR_READ's output: this header, then Count events, oldest first. The
// handle's own position moves past them.
typedef struct _QUORVEL_MONITOR_READ_HEADER {
    USHORT Size;       // sizeof(QUORVEL_MONITOR_READ_HEADER)
    USHORT EventSize;  // sizeof(QUORVEL_MONITOR_EVENT)
    ULONG Count;       // events that follow
    ULONG Lost;        // events overwritten before this handle read them
    ULONG Reserved;
    LONGLONG StartTime;  // system time (100 ns since 1601) of the ring's start
} QUORVEL_MONITOR_READ_HEADER, *PQUORVEL_MONITOR_READ_HEADER;
#pragma pack(pop)

// The ring: non-paged, allocated when the first handle starts the monitor, freed when the last
// one stops. Guarded by the port's MonitorLock.
typedef struct _MONITOR_RING {
    ULONG NextSequence;                                  // sequence of the next event; the first is 1
    LONGLONG StartTime;                                  // system time at the start
    LONGLONG StartCounter;                               // performance counter at the start
    LONGLONG Frequency;                                  // its ticks per second
    QUORVEL_MONITOR_EVENT Slots[QUORVEL_MONITOR_SLOTS];  // event n in Slots[n % SLOTS]
} MONITOR_RING, *PMONITOR_RING;

// A monitor handle's state, in its file object's FsContext (non-paged; made at its open,
// freed at its close). Guarded by the port's MonitorLock.
typedef struct _MONITOR_HANDLE {
    BOOLEAN Started;     // this handle counts among the port's readers
    ULONG NextSequence;  // the next event this handle reads
} MONITOR_HANDLE, *PMONITOR_HANDLE;
// ---- end monitor records

// ===================================================================== transport client records
#define TDI_SOCKET_IRP_COUNT 8  // requests that can be in flight on one socket

// Receive buffer of a socket: the rest of a block that the transport indicates only in part is
// fetched into it with a TDI_RECEIVE.
#define TDI_SOCKET_RECEIVE_SIZE 4096

// The transport client object of one TCP connection: control channel, local address and
// connection endpoint of "\Device\Tcp", with its own pool of IRPs. Requests on a socket are
// serialised by the port's ConnectMutex (PASSIVE_LEVEL); only the IRP pool, RefCount and
// the events are touched at DISPATCH_LEVEL, by the completion routine.
typedef struct _TDI_SOCKET {
    PDEVICE_OBJECT DeviceObject;          // the port; set by the connection thread after creation
    PETH_CONNECTION Context;              // the connection served; set by the connection thread
    ULONG Serial;                         // unique per socket, so a late disconnect finds its own
    KEVENT IdleEvent;                     // synchronization; set when RefCount drops to 0
    LONG RefCount;                        // creator's reference + one per request in flight; interlocked
    UNICODE_STRING TransportName;         // "\Device\Tcp"
    SINGLE_LIST_ENTRY IrpPool;            // idle IRPs, last-in first-out; guarded by IrpPoolLock
    KSPIN_LOCK IrpPoolLock;               // taken at DISPATCH_LEVEL by completions
    PFILE_OBJECT TransportFileObject;     // control channel, referenced
    PFILE_OBJECT ConnectionFileObject;    // connection endpoint, referenced, or NULL
    HANDLE ConnectionHandle;              // kernel handle of the endpoint, or NULL
    PFILE_OBJECT AddressFileObject;       // local transport address, referenced, or NULL
    HANDLE AddressHandle;                 // kernel handle of the address, or NULL
    KEVENT RequestEvent;                  // notification; cleared before a request, set by its completion
    IO_STATUS_BLOCK RequestIoStatus;      // outcome of the last completed request
    PUCHAR ReceiveBuffer;                 // TDI_SOCKET_RECEIVE_SIZE bytes, non-paged; fixed for the socket's life
    PMDL ReceiveMdl;                      // describes ReceiveBuffer; fixed for the socket's life
    LONG ReceivePosted;                   // 1 while a TDI_RECEIVE into ReceiveBuffer is out; interlocked
} TDI_SOCKET, *PTDI_SOCKET;
// ---- end transport client records

// ===================================================================== serial records
// (IRP_QUEUE, IRP_GATE, VUART)
#define VUART_RX_FIFO_SIZE 4096

// Register bits of the software 16550, named as in the chip's datasheet.
#define UART_IER_RDA 0x01   // received data available (stored only)
#define UART_IER_THRE 0x02  // transmit holding register empty
#define UART_IER_RLS 0x04   // receiver line status (stored only)
#define UART_IER_MS 0x08    // modem status
#define UART_IIR_NO_INTERRUPT 0x01
#define UART_IIR_MS 0x00    // modem status changed
#define UART_IIR_THRE 0x02  // transmit holding register empty
#define UART_LCR_WORD_LENGTH_MASK 0x03  // WLS1:WLS0, data bits - 5
#define UART_LCR_STOP_BITS 0x04         // STB: 1.5 stop bits with 5 data bits, else 2
#define UART_LCR_PARITY_ENABLE 0x08     // PEN
#define UART_LCR_EVEN_PARITY 0x10       // EPS
#define UART_LCR_STICK_PARITY 0x20      // with PEN: mark, or space together with EPS
#define UART_LCR_PARITY_MASK 0x38
#define UART_LCR_BREAK 0x40
#define UART_MCR_DTR 0x01
#define UART_MCR_RTS 0x02
#define UART_LSR_DR 0x01    // data ready
#define UART_LSR_THRE 0x20  // holding register empty
#define UART_LSR_TEMT 0x40  // transmitter empty
#define UART_MSR_DCTS 0x01
#define UART_MSR_DDSR 0x02
#define UART_MSR_TERI 0x04
#define UART_MSR_DDCD 0x08
#define UART_MSR_DELTAS 0x0F
#define UART_MSR_CTS 0x10
#define UART_MSR_DSR 0x20
#define UART_MSR_RI 0x40
#define UART_MSR_DCD 0x80

// Wiring bits of EthInfo.rtsMask / dtrMask: the inputs that follow an output.
#define WIRE_CTS 0x01
#define WIRE_DSR 0x02
#define WIRE_DCD 0x04
#define WIRE_RING 0x08

// Why the transmitter is held (TxHoldReasons) and why reception is held (RxHoldReasons).
#define TX_HOLD_CTS 0x01    // CTS low under CTS handshake
#define TX_HOLD_DSR 0x02    // DSR low under DSR handshake
#define TX_HOLD_DCD 0x04    // DCD low under DCD handshake
#define TX_HOLD_XOFF 0x08   // XOFF received or pretended
#define TX_HOLD_BREAK 0x10  // break on
#define RX_HOLD_DTR 0x01    // DTR lowered by DTR handshake
#define RX_HOLD_XOFF 0x02   // XOFF sent
#define RX_HOLD_RTS 0x04    // RTS lowered by RTS handshake
#define RX_HOLD_DSR 0x08    // DSR low under DSR sensitivity

// The port's software 16550. Guarded by DeviceLock; touched at DISPATCH_LEVEL.
typedef struct _VUART {
    PDEVICE_EXTENSION Owner;  // the port; reaches EthInfo for the wiring masks
    PUCHAR RxFifo;            // VUART_RX_FIFO_SIZE bytes, non-paged; received bytes from its first byte
    ULONG RxCount;            // bytes in RxFifo
    KDPC InterruptDpc;        // the emulated interrupt: EmulatedInterruptDpc, context the extension
    UCHAR Ier;                // interrupt enable: 0 until the first open, 0x0F from then on
    UCHAR Lcr;                // line control image; only UART_LCR_BREAK is ever acted on (by modmflow)
    UCHAR Mcr;                // modem control: DTR, RTS; other bits stored only
    UCHAR Msr;                // modem status: inputs derived from Mcr through the wiring masks
    BOOLEAN TxEmptyPending;   // a transmitter-empty interrupt is pending
    BOOLEAN ModemStatusPending;  // a modem-status interrupt is pending (until the MSR is read)
} VUART, *PVUART;

// A start-packet queue: one request at a time through StartIoRoutine, the rest waiting in
// arrival order, each waiting one cancellable. Lives in the DEVICE_EXTENSION; owns no memory.
typedef struct _IRP_QUEUE {
    PDRIVER_STARTIO StartIoRoutine;  // fixed at QueueInitialize
    PDEVICE_OBJECT DeviceObject;     // fixed at QueueInitialize
    LIST_ENTRY PendingList;          // waiting requests (Tail.Overlay.ListEntry); QueueLock
    KSPIN_LOCK QueueLock;            // taken at or below DISPATCH_LEVEL, never under DeviceLock
    PIRP CurrentIrp;                 // started and not yet passed on by QueueStartNextPacket; QueueLock
    KEVENT IdleEvent;                // notification: set when the queue finds nothing to start
    LONG StallCount;                 // interlocked; > 0 holds new starts; 1 at creation
    KDPC StartDpc;                   // starts the next request when others still wait
} IRP_QUEUE, *PIRP_QUEUE;

// The control gate: admits control requests side by side, holds them while stalled and
// replays them on restart; refuses everything once aborted.
typedef struct _IRP_GATE {
    PDEVICE_OBJECT DeviceObject;  // fixed at GateInitialize
    KEVENT IdleEvent;             // notification: set when the last admitted request leaves
    LIST_ENTRY HeldList;          // held requests, oldest first; GateLock
    KSPIN_LOCK GateLock;          // guards every field below; never taken under DeviceLock
    LONG StallCount;              // > 0 holds new requests; 1 at creation
    LONG ActiveCount;             // admitted requests that have not left
    NTSTATUS AbortStatus;         // 0 while admitting; else every request is refused with it
    PIRP ReplayIrp;               // the held request being re-dispatched now
} IRP_GATE, *PIRP_GATE;

#define SERIAL_QUEUE_COUNT 4
// ---- end serial records

struct _DEVICE_EXTENSION {
    // ================================================================= frame (entry, open/close, PnP, power)
    // Set at add-device, fixed afterwards.
    PDEVICE_OBJECT DeviceObject;       // this port's device object
    PDEVICE_OBJECT LowerDeviceObject;  // next device in the stack
    PDEVICE_OBJECT Pdo;                // physical device object: registry keys, interface, power requests
    UNICODE_STRING DeviceName;         // "\Device\QuorvelDevice<n>", 64-byte paged buffer; freed at removal
    LONG OpenCount;                    // open handles (0 or 1); interlocked, PASSIVE_LEVEL
    // Plug and Play (PASSIVE_LEVEL, one request at a time) and power (PASSIVE or DISPATCH_LEVEL)
    LONG OutstandingIo;                // I/O references, 1 for the device itself; interlocked
    KEVENT RemoveEvent;                // notification: set when OutstandingIo falls to 0
    ULONG PnpState;                    // Pnp* below; written by the PnP dispatch, read unlocked elsewhere
    ULONG PreviousPnpState;            // state before a query-stop or query-remove; PnP dispatch only
    BOOLEAN QueuesAborted;             // removal has ended the port's requests; PnP dispatch only
    KEVENT OpenCloseLock;              // synchronization event used as a lock: open, close and the
                                       // removal's teardown of an open port; PASSIVE_LEVEL
    SYSTEM_POWER_STATE SystemPowerState;  // last system state set; power callbacks
    DEVICE_CAPABILITIES Capabilities;     // filled at start; PnP dispatch only
    PIRP PendingSystemPowerIrp;  // system request waiting for its device request; one at a time
    PIRP PendingDevicePowerIrp;  // device request handed to a power step; one at a time
    PIO_WORKITEM PowerWorkItem;  // runs the power steps that wait; allocated at add-device
    ULONG PowerStalledQueues;    // the queues are held for a power transition; power steps only
    WMILIB_CONTEXT WmiLibContext;  // all zero: no data blocks
    // Naming (PASSIVE_LEVEL, PnP dispatch only)
    UNICODE_STRING ComPortName;    // "COM5", paged; from start to stop
    UNICODE_STRING InterfaceName;  // COM-port interface link, or empty
    // ---- end frame

    // ================================================================= gateway
    ETH_INFO EthInfo;                   // record header copy; written at first open, read unlocked
    SINGLE_LIST_ENTRY ConnectionList;   // ETH_CONNECTION items, newest first; built at open, freed at close
    KSPIN_LOCK ConnectionListLock;      // guards ConnectionList walks (any IRQL <= DISPATCH_LEVEL)
    SINGLE_LIST_ENTRY DeviceList;       // ETH_DEVICE items, newest first
    KSPIN_LOCK DeviceListLock;          // guards DeviceList walks
    KMUTEX ConnectMutex;                // socket requests, Socket/NeedConnection, the pending request;
                                        // a kernel mutex, so its holder stays at PASSIVE_LEVEL for the
                                        // Zw and I/O manager calls; never held with DeviceLock
    KEVENT ConnectEvent;                // synchronization event waking the connection thread
    PUCHAR PendingData;                 // built request waiting for the connection thread (non-paged);
                                        // guarded by ConnectMutex
    ULONG PendingLength;                // its length; guarded by ConnectMutex
    PETH_CONNECTION PendingConnection;  // the connection it was built for; guarded by ConnectMutex
    LONG RequestSerial;                 // counts writes; a reply is delivered only to the newest
                                        // request of the port. Interlocked, read at any IRQL
    ULONG ResponseMs;                   // reply time limit, 0 = none; written at first open (PASSIVE),
                                        // read unlocked by the receive indication
    BOOLEAN Exceptions;                 // answer what cannot be served with an exception reply;
                                        // written at first open (PASSIVE), read unlocked
    LONG PendingSerial;                 // RequestSerial of the pending request; ConnectMutex
    KTIMER ResponseTimer;               // runs out when the awaited reply is late (exceptions on)
    KDPC ResponseDpc;                   // ResponseTimer's DPC: answers the late request 0x0B
    PETH_CONNECTION TimedConnection;    // the connection whose transaction ResponseTimer times,
    LONG TimedSerial;                   // and its serial; both DeviceLock, DISPATCH_LEVEL
    LONG ChecksumRejects;               // port counters since open; interlocked, any IRQL
    LONG NoRouteDrops;
    LONG ExceptionsSent;
    // ---- end gateway

    // ================================================================= network link
    PVOID ConnectThreadObject;            // referenced object of the connection thread, or NULL;
                                          // set by open, cleared by StopConnectThread (PASSIVE_LEVEL)
    BOOLEAN ExitThread;                   // asks the connection thread to end; guarded by ConnectMutex
    // ---- end network link

    // ================================================================= monitor
    KSPIN_LOCK MonitorLock;     // MonitorRing, MonitorReaders, every MONITOR_HANDLE of the port;
                                // a leaf, taken at or below DISPATCH_LEVEL
    PMONITOR_RING MonitorRing;  // NULL while no handle has the monitor started; MonitorLock
    ULONG MonitorReaders;       // handles with the monitor started; MonitorLock
    LONG MonitorOn;             // 1 while MonitorRing exists; written under MonitorLock, read
                                // unlocked by every hook, so that an idle monitor costs one read
    // ---- end monitor

    // ================================================================= serial
    KSPIN_LOCK DeviceLock;  // the port's lock: serial state, UART, receive ring, transmit state, events
    VUART Uart;             // guarded by DeviceLock
    ULONG RxRingSize;       // size of the receive ring in bytes; guarded by DeviceLock
    // ---- serial data (serial state, events, write, read). Every field below is guarded by
    // DeviceLock and touched at DISPATCH_LEVEL unless its comment says otherwise.
    BOOLEAN PortOpen;                 // set by open, cleared by close
    ULONG BaudRate;                   // only stored and reported; stored and read without the lock
    SERIAL_CHARS SpecialChars;        // Eof, Error, Break, Event, Xon, Xoff
    SERIAL_HANDFLOW HandFlow;         // handshake and flow control; read without the lock by ErrorAbortCheck
    SERIAL_TIMEOUTS Timeouts;         // read and write timeouts, copied under the lock when a request starts
    UCHAR ValidDataMask;              // mask applied to every received character
    UCHAR EscapeChar;                 // line/modem status insertion escape, 0 = off
    SERIALPERF_STATS PerfStats;       // statistics
    KDPC ErrorAbortDpc;               // queued by the receive side when an error is latched under SERIAL_ERROR_ABORT
    ULONG LatchedErrors;              // SERIAL_ERROR_* since the last GET_COMMSTATUS or open; DeviceLock
    ULONG TxHoldReasons;              // TX_HOLD_* bits
    ULONG RxHoldReasons;              // RX_HOLD_* bits
    UCHAR LineControl;                // LCR image: data bits - 5, stop bits, parity

    ULONG EventHistory;               // SERIAL_EV_* seen since the last report, within WaitMask
    ULONG WaitMask;                   // events of interest; read without the lock by GET_WAIT_MASK
    PIRP WaitIrp;                     // the pending WAIT_ON_MASK, NULL when none
    ULONG WaitRefs;                   // REF_UART | REF_CANCEL holders of WaitIrp
    PULONG WaitResultLocation;        // WaitIrp's system buffer while an event may still be reported into it
    KDPC WaitCompleteDpc;             // completes WaitIrp after a result has been written

    KTIMER WriteTotalTimer;           // total timeout of the current write
    ULONG WriteRefs;                  // REF_UART | REF_CANCEL | REF_TOTAL_TIMER holders of the current write
    KDPC WriteSentDpc;                // queued by the transmitter when the current write's last character is out
    KDPC WriteTimeoutDpc;             // WriteTotalTimer's DPC
    PUCHAR TxNextChar;                // next character of the current write
    ULONG TxRemaining;                // characters of the current write not yet transmitted
    ULONG TxQueuedCount;              // characters accepted (writes, XOFF counters, immediate) and not yet sent
    PIRP XoffCounterIrp;              // the XOFF counter now counting received characters, NULL when none
    ULONG XoffRefs;                   // REF_UART | REF_CANCEL | REF_TOTAL_TIMER holders of XoffCounterIrp
    KTIMER XoffCounterTimer;          // XoffCounterIrp's timeout
    KDPC XoffTimeoutDpc;              // XoffCounterTimer's DPC
    KDPC XoffCountedDpc;              // queued by the receive side when the count reaches zero
    ULONG XoffCountRemaining;         // received characters still to be counted
    PIRP XoffCounterNext;             // an XOFF counter whose character is out, waiting for the last holder
                                      // of the previous XoffCounterIrp to let go before it starts counting

    ULONG ReadRefs;                   // REF_UART | REF_CANCEL | REF_TOTAL_TIMER | REF_INTERVAL_TIMER holders of the current read
    KTIMER ReadTotalTimer;            // total timeout of the current read
    KTIMER ReadIntervalTimer;         // interval checks of the current read
    KDPC ReadFullDpc;                 // queued by the receive side when it has filled the current read
    KDPC ReadTotalTimeoutDpc;         // ReadTotalTimer's DPC
    KDPC ReadIntervalDpc;             // ReadIntervalTimer's DPC
    LONGLONG LastReadTime;            // system time (100 ns) of the interval check that last saw progress
    LONGLONG ReadIntervalTime;        // ReadIntervalTimeout in 100 ns units
    LONGLONG IntervalCutOver;         // intervals from this long on are checked once a second; set at add-device
    LONGLONG IntervalRecheckTime;     // relative due time between interval checks
    LONGLONG LongIntervalRecheck;     // relative 1 s; set at add-device
    ULONG RxRingHighMark;             // ring count that raises SERIAL_EV_RX80FULL (13/16 of the ring)
    PUCHAR RxRing;                    // receive ring, non-paged, RxRingSize bytes; allocated at open, freed at close
    PUCHAR RxTargetBase;              // RxRing, or the current read's buffer while characters go straight into it
    PUCHAR RxTargetLast;              // last slot of the current target
    ULONG RxRingCount;                // characters in the ring
    PUCHAR RxRingReadPos;             // oldest character in the ring
    PUCHAR RxTargetPos;               // slot for the next received character
    ULONG ReadRemaining;              // characters the current read still needs
    LONG ReadProgressMark;            // characters seen at the last interval check, or READ_ENDED_* why the read ends
    ULONG ReadCharsSinceCheck;        // characters stored straight into the read since the last interval check
    // ---- end serial data
    // ---- serial core (request queues, emulated interrupt, immediate character)
    IRP_QUEUE WriteQueue;   // writes, flushes, XOFF counters: WriteStartIo
    IRP_QUEUE MaskQueue;    // set-wait-mask, wait-on-mask: MaskStartIo
    IRP_QUEUE ReadQueue;    // reads, set-queue-size: ReadStartIo
    IRP_QUEUE PurgeQueue;   // purges: PurgeStartIo
    PIRP_QUEUE AllQueues[SERIAL_QUEUE_COUNT];  // the four above in this order; fixed at creation
    IRP_GATE ControlGate;   // gated control requests
    DEVICE_POWER_STATE DevicePowerState;  // power state of the port; written by power handling,
                                          // read unlocked by the queues and the emulated interrupt
    PIRP ImmediateIrp;      // the immediate-character request in progress; DeviceLock
    ULONG ImmediateRefs;    // REF_UART | REF_CANCEL | REF_TOTAL_TIMER holders of ImmediateIrp; DeviceLock
    KTIMER ImmediateTotalTimer;  // the immediate character's write timeout
    KDPC ImmediateSentDpc;       // queued by TransmitNext once the character is written
    KDPC ImmediateTimeoutDpc;    // DPC of ImmediateTotalTimer
    UCHAR ImmediateChar;         // the character to send; DeviceLock
    BOOLEAN XonToSend;           // the transmitter sends XonChar next; DeviceLock
    BOOLEAN XoffToSend;          // the transmitter sends XoffChar next; DeviceLock
    BOOLEAN HoldingEmpty;        // emulated holding register empty: a kick is needed; DeviceLock
    BOOLEAN TransmitImmediate;   // ImmediateChar waits to be sent; DeviceLock
    // ---- end serial core
    // ---- end serial
};

// ===================================================================== gateway routines
// Settings record (ethinfo.cpp)
PETH_INFO_ENTRY EthInfoNextEntry(PETH_INFO_HEADER Record, PULONG Offset);
BOOLEAN EthInfoIsWellFormed(PETH_INFO_HEADER Record);
NTSTATUS SetEthernetSettings(PDEVICE_EXTENSION Extension, PUCHAR Record, ULONG Length);
PUCHAR GetEthernetSettings(PDEVICE_EXTENSION Extension);
// IOCTL_SERIAL_SET_ETHERNET / _GET_ETHERNET at PASSIVE_LEVEL: sets Irp->IoStatus (Status and
// Information) and returns the status; the caller completes the request.
NTSTATUS EthernetIoctl(PDEVICE_EXTENSION Extension, PIRP Irp, PIO_STACK_LOCATION IrpSp);
// The stored options, or the defaults when none (or a damaged value) are stored.
VOID GetPortOptions(PDEVICE_EXTENSION Extension, PQUORVEL_OPTIONS Options);
// At first open: takes the stored options into the port. PASSIVE_LEVEL.
VOID LoadPortOptions(PDEVICE_EXTENSION Extension);

// Modbus frame codec (codec.cpp): pure, any IRQL
UCHAR HexCharToNibble(UCHAR Char);
UCHAR NibbleToHexChar(UCHAR Value);
VOID SwapBytePairs(PUCHAR Buffer, ULONG Length);
USHORT CalcCrc16(const UCHAR *Buffer, ULONG Length, USHORT Initial);
UCHAR CalcLrc(const UCHAR *Text, ULONG Count);
BOOLEAN IsRtuFrame(const UCHAR *Frame, ULONG Length);
BOOLEAN IsAsciiFrame(const UCHAR *Frame, ULONG Length);
ULONG DecodeAsciiFrame(const UCHAR *Frame, ULONG Length, PUCHAR Content, ULONG Capacity);
ULONG EncodeRtuFrame(const UCHAR *Content, ULONG Length, PUCHAR Frame, ULONG Capacity);
ULONG EncodeAsciiFrame(const UCHAR *Content, ULONG Length, PUCHAR Frame, ULONG Capacity);
#define MODBUS_LENGTH_OPEN 0xFFFFFFFF
ULONG ReplyContentLength(const UCHAR *Content, ULONG Available);

// Registry values (registry.cpp): PASSIVE_LEVEL
NTSTATUS RegistryWriteValue(HANDLE RegKeyHandle, PCWSTR SubKeyName, PCWSTR ValueName, ULONG ValueType, PVOID Buffer,
                            ULONG BufferLength);
PVOID RegistryReadValue(HANDLE RegKeyHandle, PCWSTR SubKeyName, PCWSTR ValueName, PULONG Length);

// Connection and device tables (ethlist.cpp)
// Once per port, at add-device: list locks, ConnectMutex, ConnectEvent, empty lists and slot.
VOID GatewayInitialize(PDEVICE_EXTENSION Extension);
NTSTATUS MakeEthernetLists(PDEVICE_EXTENSION Extension, PUCHAR Record);
VOID MakeDevicesList(PDEVICE_EXTENSION Extension, PETH_INFO_ENTRY Entry, PETH_CONNECTION Connection);
PETH_CONNECTION FindConnectionByDeviceID(PDEVICE_EXTENSION Extension, UCHAR DeviceId);
PETH_CONNECTION GetNeedConnection(PDEVICE_EXTENSION Extension);
VOID FreeEthernetLists(PDEVICE_EXTENSION Extension);
BOOLEAN IpToText(ULONG Address, PCHAR Buffer, ULONG Length);

// Forwarding and replies (gateway.cpp)
NTSTATUS ParseRequest(PMODBUS_REQUEST Request);
VOID FillMbapHeader(PETH_CONNECTION Connection, PUCHAR Buffer, ULONG Length);
NTSTATUS ForwardRequest(PDEVICE_EXTENSION Extension, PUCHAR Frame, ULONG Length);
// Runs at DISPATCH_LEVEL under DeviceLock. Consumes the whole block (returns Length): a
// converted stream is reassembled by MBAP length, so a reply split over several blocks, or
// several replies in one, each reach Uart.RxFifo; ReplyPlaced (may be NULL) runs after each.
ULONG ProcessIncomingData(PDEVICE_EXTENSION Extension, PETH_CONNECTION Connection, PUCHAR Data, ULONG Length,
                          PREPLY_PLACED_ROUTINE ReplyPlaced);
// Exception replies (gateway.cpp). Each places [unit, function | 0x80, Code] in the
// application's framing when exceptions are on and the request is still the port's newest.
// AnswerRequest: a request never started on a connection (no route, connect in progress).
// AnswerTransaction: the connection's transaction of that serial, which it ends. No gateway
// lock held (they take DeviceLock); PASSIVE_LEVEL or DISPATCH_LEVEL.
#define MODBUS_EXCEPTION_PATH_UNAVAILABLE 0x0A
#define MODBUS_EXCEPTION_TARGET_FAILED 0x0B
VOID AnswerRequest(PDEVICE_EXTENSION Extension, PMODBUS_REQUEST Request, LONG Serial, UCHAR Code);
VOID AnswerTransaction(PDEVICE_EXTENSION Extension, PETH_CONNECTION Connection, LONG Serial, UCHAR Code);
KDEFERRED_ROUTINE ResponseTimeoutDpc;
// At close, before the lists are freed. PASSIVE_LEVEL.
VOID StopResponseTimer(PDEVICE_EXTENSION Extension);

// Counters (counters.cpp); any IRQL up to DISPATCH_LEVEL unless said. Link NULL counts for
// the port (no route, checksum).
VOID CountDrop(PDEVICE_EXTENSION Extension, PETH_CONNECTION Link, QUORVEL_DROP_REASON Reason);
VOID CountRequestSent(PETH_CONNECTION Link);
VOID CountReplyDelivered(PETH_CONNECTION Link);
// A connect attempt's outcome; a failure is the link's last error. PASSIVE_LEVEL.
VOID CountConnect(PETH_CONNECTION Link, NTSTATUS Status);
// The link went down; Status is why (0 for the port's own close). PASSIVE_LEVEL.
VOID CountDisconnect(PETH_CONNECTION Link, NTSTATUS Status);
// IOCTL_QUORVEL_GET_COUNTERS at PASSIVE_LEVEL on an open port: sets Irp->IoStatus and returns
// the status; the caller completes the request.
NTSTATUS CountersIoctl(PDEVICE_EXTENSION Extension, PIRP Irp, PIO_STACK_LOCATION IrpSp);

// Forgets a partly received reply; called under ConnectMutex when a request is sent and when
// the link goes down.
VOID ResetReplyStream(PETH_CONNECTION Connection);
// The connection's reply buffer as its link comes up (converted connections reassemble MBAP
// replies in it, raw ones gather their frame) and goes down. PASSIVE_LEVEL, under ConnectMutex or
// at the port's close.
NTSTATUS AllocateReplyBuffer(PETH_CONNECTION Connection);
VOID FreeReplyBuffer(PETH_CONNECTION Connection);
// ---- end gateway routines

// ===================================================================== monitor routines
// (monitor.cpp)
VOID MonitorInitialize(PDEVICE_EXTENSION Extension);  // add-device
// IRP_MJ_CREATE of a name after the device's: TRUE (and *Status set) when it asked for the monitor.
BOOLEAN MonitorCreate(PDEVICE_EXTENSION Extension, PFILE_OBJECT FileObject, NTSTATUS *Status);
BOOLEAN IsMonitorHandle(PFILE_OBJECT FileObject);
// Cleanup stops the handle's monitor (a reader that was killed leaves nothing on); close frees it.
VOID MonitorCleanup(PDEVICE_EXTENSION Extension, PFILE_OBJECT FileObject);
VOID MonitorClose(PFILE_OBJECT FileObject);
// The monitor's control requests, and every other request sent on a monitor handle. Completes it.
NTSTATUS MonitorIoControl(PDEVICE_EXTENSION Extension, PIRP Irp);
// Records one event; at or below DISPATCH_LEVEL, under any of the port's locks.
VOID MonitorRecord(PDEVICE_EXTENSION Extension, UCHAR Kind, UCHAR Reason, UCHAR Mode, PETH_CONNECTION Connection,
                   const UCHAR *Data, ULONG Length);

// The hooks: with the monitor off, one read of a flag.
inline VOID MonitorEvent(PDEVICE_EXTENSION Extension, UCHAR Kind, UCHAR Mode, PETH_CONNECTION Connection,
                         const UCHAR *Data, ULONG Length)
{
    if (ReadUnlocked(&Extension->MonitorOn) != 0) MonitorRecord(Extension, Kind, 0, Mode, Connection, Data, Length);
}
inline VOID MonitorDrop(PDEVICE_EXTENSION Extension, QUORVEL_DROP_REASON Reason, PETH_CONNECTION Connection,
                        const UCHAR *Data, ULONG Length)
{
    if (ReadUnlocked(&Extension->MonitorOn) != 0)
        MonitorRecord(Extension, MonitorDropped, (UCHAR)Reason, 0, Connection, Data, Length);
}
// ---- end monitor routines

// ===================================================================== frame routines
// Plug and Play states of a port
enum {
    PnpNotStarted = 0,
    PnpStarted = 1,
    PnpStopPending = 2,
    PnpStopped = 3,
    PnpRemovePending = 4,
    PnpRemoved = 5,
    PnpSurpriseRemoved = 6
};

// Entry, add-device, open and close (kivra.cpp)
extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_ADD_DEVICE KivraAddDevice;
DRIVER_DISPATCH KivraCreateDispatch;
DRIVER_DISPATCH KivraCleanupDispatch;
DRIVER_DISPATCH KivraCloseDispatch;
DRIVER_UNLOAD KivraUnload;

// Port naming (naming.cpp), PASSIVE_LEVEL
NTSTATUS KivraGetPortName(PDEVICE_EXTENSION Extension, HANDLE DeviceKey, PUNICODE_STRING LinkName,
                          PUNICODE_STRING PortName);
NTSTATUS KivraDoExternalNaming(PDEVICE_EXTENSION Extension);
NTSTATUS KivraUndoExternalNaming(PDEVICE_EXTENSION Extension);
NTSTATUS KivraStartDevice(PDEVICE_EXTENSION Extension, PIRP Irp);
NTSTATUS KivraStopDevice(PDEVICE_EXTENSION Extension);

// Plug and Play and WMI (pnp.cpp)
BOOLEAN AcquireIoReference(PDEVICE_EXTENSION Extension);
VOID ReleaseIoReference(PDEVICE_EXTENSION Extension);
VOID ReleaseAndWaitForRemove(PDEVICE_EXTENSION Extension);
NTSTATUS ForwardAndWait(PDEVICE_OBJECT LowerDevice, PIRP Irp);
NTSTATUS QueryCapabilities(PDEVICE_EXTENSION Extension);
DRIVER_DISPATCH KivraPnpDispatch;
DRIVER_DISPATCH KivraSystemControlDispatch;

// Power (power.cpp)
DRIVER_DISPATCH KivraPowerDispatch;
// Holds new starts and gated control requests without waiting for the current requests.
VOID HoldAllQueues(PDEVICE_EXTENSION Extension);
// ---- end frame routines

// ===================================================================== serial core routines
// Request queues and the control gate (queue.cpp)
VOID InitializeSerialCore(PDEVICE_EXTENSION Extension);  // add-device: DeviceLock, queues, gate, DPCs
VOID QueueInitialize(PIRP_QUEUE Queue, PDRIVER_STARTIO StartIoRoutine, PDEVICE_OBJECT DeviceObject);
NTSTATUS QueueStartPacket(PIRP_QUEUE Queue, PIRP Irp);
VOID QueueStartNextPacket(PIRP_QUEUE Queue);
VOID QueueStallAndWait(PIRP_QUEUE Queue);
VOID QueueRestart(PIRP_QUEUE Queue);
VOID QueueCleanup(PIRP_QUEUE Queue, PFILE_OBJECT FileObject);
DRIVER_CANCEL QueueCancelRoutine;
KDEFERRED_ROUTINE QueueStartDpcRoutine;
VOID GateInitialize(PIRP_GATE Gate, PDEVICE_OBJECT DeviceObject);
NTSTATUS GateEnter(PIRP_GATE Gate, PIRP Irp);
VOID GateLeave(PIRP_GATE Gate);
VOID GateStall(PIRP_GATE Gate);
VOID GateWaitIdle(PIRP_GATE Gate);
VOID GateRestart(PIRP_GATE Gate);
VOID GateCleanup(PIRP_GATE Gate, PFILE_OBJECT FileObject);
VOID GateAbort(PIRP_GATE Gate, NTSTATUS Status);
DRIVER_CANCEL GateCancelRoutine;
VOID StallAllQueues(PDEVICE_EXTENSION Extension);  // PASSIVE_LEVEL
VOID RestartAllQueues(PDEVICE_EXTENSION Extension);
VOID CancelCurrentRequest(PDEVICE_EXTENSION Extension, PIRP_QUEUE Queue);
VOID CleanupFileRequests(PDEVICE_EXTENSION Extension, PFILE_OBJECT FileObject);

// Virtual UART (vuart.cpp); DeviceLock held except VuartInitialize (device start) and
// VuartFree (device stop; takes DeviceLock itself, never call it with the lock held)
NTSTATUS VuartInitialize(PVUART Uart, PDEVICE_EXTENSION Extension);
VOID VuartFree(PVUART Uart);
VOID VuartRaiseInterrupt(PVUART Uart);
VOID VuartWriteThr(PVUART Uart, UCHAR Character);
VOID VuartKickTransmitter(PVUART Uart);
UCHAR VuartReadRbr(PVUART Uart);
UCHAR VuartReadIir(PVUART Uart);
UCHAR VuartReadLsr(PVUART Uart);
UCHAR VuartReadMsr(PVUART Uart);
UCHAR VuartReadMcr(PVUART Uart);
VOID VuartWriteMcr(PVUART Uart, UCHAR Value);
UCHAR VuartReadLcr(PVUART Uart);
VOID VuartWriteLcr(PVUART Uart, UCHAR Value);
VOID VuartWriteIer(PVUART Uart, UCHAR Value);

// Emulated interrupt processing and the immediate character (event.cpp); DeviceLock held
// except the DPC and cancel routines and StartImmediateChar, which take it themselves
KDEFERRED_ROUTINE EmulatedInterruptDpc;
VOID ReceiveCharacters(PDEVICE_EXTENSION Extension);
VOID PutReceivedChar(PDEVICE_EXTENSION Extension, UCHAR Character);
UCHAR ProcessLineStatus(PDEVICE_EXTENSION Extension);
VOID TransmitNext(PDEVICE_EXTENSION Extension);
BOOLEAN TransmitterHasWork(PDEVICE_EXTENSION Extension);
NTSTATUS StartImmediateChar(PDEVICE_EXTENSION Extension);
VOID TakeImmediateFromUart(PDEVICE_EXTENSION Extension);
DRIVER_CANCEL ImmediateCancelRoutine;
KDEFERRED_ROUTINE ImmediateSentDpcRoutine;
KDEFERRED_ROUTINE ImmediateTimeoutDpcRoutine;

// Modem lines and flow control (modmflow.cpp); DeviceLock held
VOID RaiseDtr(PDEVICE_EXTENSION Extension);
VOID LowerDtr(PDEVICE_EXTENSION Extension);
VOID RaiseRts(PDEVICE_EXTENSION Extension);
VOID LowerRts(PDEVICE_EXTENSION Extension);
VOID ApplyHandFlow(PDEVICE_EXTENSION Extension, PSERIAL_HANDFLOW NewHandFlow);
ULONG UpdateModemStatus(PDEVICE_EXTENSION Extension, BOOLEAN DoingTx);
VOID ReleaseReceiveHolds(PDEVICE_EXTENSION Extension);
VOID RequestFlowChar(PDEVICE_EXTENSION Extension, BOOLEAN Xon);
VOID StartBreak(PDEVICE_EXTENSION Extension);
VOID StopBreak(PDEVICE_EXTENSION Extension);
VOID HoldForXoff(PDEVICE_EXTENSION Extension);
VOID ReleaseXoffHold(PDEVICE_EXTENSION Extension);
VOID KickIfIdle(PDEVICE_EXTENSION Extension);
// ---- end serial core routines

// ===================================================================== serial data routines
// Holders of a request that several parties can finish; whoever clears the last bit completes it.
#define REF_UART 0x01            // the emulated UART (transmitter, receive side, event sources)
#define REF_CANCEL 0x02          // the request's cancel routine is set
#define REF_TOTAL_TIMER 0x04     // the total timer is armed
#define REF_INTERVAL_TIMER 0x08  // the read interval timer is armed

// Completion (complete.cpp). Every request the driver finishes goes through CompleteRequest:
// it sets IoStatus.Status, leaves Information as the caller set it, completes with no priority
// boost and returns Status. Never called with a spin lock held: collect under the lock, release,
// then complete.
NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status);
// Holder (0 for a party that holds no bit, such as a purge) lets go of a request held by the
// reference word *Refs: clears its own bit, stops the total and interval timers it can (either
// may be NULL) and takes back the cancel routine if it can. TRUE when no holder is left: the
// caller has taken the request and must complete it after releasing DeviceLock; FALSE leaves
// it to the holder still running (a timer DPC on its way, a cancel routine, the UART's DPC).
// The UART's own hold is taken back by each kind's Take...FromUart first. DeviceLock held.
BOOLEAN LetGoOfRequest(PULONG Refs, ULONG Holder, PIRP Irp, PKTIMER TotalTimer, PKTIMER IntervalTimer);
// Clears REF_CANCEL when the request's cancel routine is exchanged for NULL while still set;
// TRUE when it was. DeviceLock held.
BOOLEAN TakeBackCancelReference(PULONG Refs, PIRP Irp);

// ReadProgressMark values telling the interval check why the read ends.
#define READ_ENDED_CANCELLED (-1)
#define READ_ENDED_TOTAL_TIMEOUT (-2)
#define READ_ENDED_FULL (-3)

// Open and close (serialopen.cpp), PASSIVE_LEVEL
VOID InitializeSerialData(PDEVICE_EXTENSION Extension);  // add-device: timers, DPCs, serial defaults
NTSTATUS AllocateRxRing(PDEVICE_EXTENSION Extension);    // open: the 4096-byte receive ring
VOID FreeRxRing(PDEVICE_EXTENSION Extension);            // failed open and close
VOID SerialOpenPort(PDEVICE_EXTENSION Extension);        // open: reset receive/transmit state, open the UART
VOID SerialClosePort(PDEVICE_EXTENSION Extension);       // close: drop the lines, release the ring

// Control requests (ioctl.cpp)
DRIVER_DISPATCH KivraIoControlDispatch;
NTSTATUS ErrorAbortCheck(PDEVICE_EXTENSION Extension, PIRP Irp);
KDEFERRED_ROUTINE ErrorAbortDpcRoutine;
DRIVER_STARTIO PurgeStartIo;
// A request leaving a queue without reaching its start routine: gives back what its dispatch
// took for it. No spin lock held; called by the queues just before they complete it.
VOID ForgetQueuedRequest(PDEVICE_EXTENSION Extension, PIRP Irp);

// Wait-on-mask and events (wait.cpp); DeviceLock held except the queue, DPC and cancel routines
DRIVER_STARTIO MaskStartIo;
VOID ReportEvents(PDEVICE_EXTENSION Extension);
VOID CheckTransmitEmpty(PDEVICE_EXTENSION Extension);
VOID TakeWaitFromEvents(PDEVICE_EXTENSION Extension);
DRIVER_CANCEL WaitCancelRoutine;
KDEFERRED_ROUTINE WaitCompleteDpcRoutine;
VOID CleanupWaitOnMask(PDEVICE_EXTENSION Extension);  // no lock held: cleanup ends a pending wait

// Write path (write.cpp)
DRIVER_DISPATCH KivraWriteDispatch;
DRIVER_DISPATCH KivraFlushDispatch;
DRIVER_STARTIO WriteStartIo;
VOID TakeWriteFromUart(PDEVICE_EXTENSION Extension, PIRP Irp);  // DeviceLock held
VOID TakeXoffFromUart(PDEVICE_EXTENSION Extension);             // DeviceLock held
// Ends a counting XOFF counter with Status (purge, next write, cleanup); no lock held.
VOID EndCountingXoff(PDEVICE_EXTENSION Extension, NTSTATUS Status);
DRIVER_CANCEL WriteCancelRoutine;
DRIVER_CANCEL XoffCancelRoutine;
KDEFERRED_ROUTINE WriteSentDpcRoutine;
KDEFERRED_ROUTINE WriteTimeoutDpcRoutine;
KDEFERRED_ROUTINE XoffCountedDpcRoutine;
KDEFERRED_ROUTINE XoffTimeoutDpcRoutine;

// Read path (read.cpp)
DRIVER_DISPATCH KivraReadDispatch;
DRIVER_STARTIO ReadStartIo;
VOID ResizeRxRing(PDEVICE_EXTENSION Extension, PIRP Irp);
DRIVER_CANCEL ReadCancelRoutine;
KDEFERRED_ROUTINE ReadFullDpcRoutine;
KDEFERRED_ROUTINE ReadTotalTimeoutDpcRoutine;
KDEFERRED_ROUTINE ReadIntervalDpcRoutine;

// Relative due time (100 ns units, negative) of Milliseconds, clamped to what fits.
LARGE_INTEGER RelativeTimeFromMs(ULONGLONG Milliseconds);
// ---- end serial data routines

// ===================================================================== network link routines
// Transport client (one TCP connection through the TDI transport)
struct _TRANSPORT_ADDRESS;
struct _TDI_CONNECTION_INFORMATION;
PTDI_SOCKET KivraTdiCreateSocket(PUNICODE_STRING TransportName);
NTSTATUS KivraTdiOpenAddress(PTDI_SOCKET Socket, struct _TRANSPORT_ADDRESS *Address);
NTSTATUS KivraTdiOpenConnection(PTDI_SOCKET Socket);
NTSTATUS KivraTdiAssociateAddress(PTDI_SOCKET Socket);
NTSTATUS KivraTdiConnect(PTDI_SOCKET Socket, struct _TDI_CONNECTION_INFORMATION *RequestInformation,
                         struct _TDI_CONNECTION_INFORMATION *ReturnInformation);
NTSTATUS KivraTdiDisconnect(PTDI_SOCKET Socket, BOOLEAN Abort, struct _TDI_CONNECTION_INFORMATION *RequestInformation,
                            struct _TDI_CONNECTION_INFORMATION *ReturnInformation);
NTSTATUS KivraTdiSend(PTDI_SOCKET Socket, ULONG Flags, PMDL Mdl, ULONG Length);
NTSTATUS KivraTdiSetEventHandler(PTDI_SOCKET Socket, LONG EventType, PVOID Handler, PVOID HandlerContext);
VOID KivraTdiCloseSocket(PTDI_SOCKET Socket);
// At DISPATCH_LEVEL, from the receive indication: a TDI_RECEIVE for up to Length bytes into the
// socket's receive buffer, on an IRP of the socket's pool, for the indication to hand to the
// transport; NULL when one is already out or no IRP is free. Its completion passes what was
// received to KivraTdiReceivedData.
PIRP KivraTdiBuildReceiveIrp(PTDI_SOCKET Socket, ULONG Length);

// Link lifecycle (the port's connection thread, sends, transport indications)
VOID AcquireConnectMutex(PDEVICE_EXTENSION Extension);
BOOLEAN TryToAcquireConnectMutex(PDEVICE_EXTENSION Extension);
VOID ReleaseConnectMutex(PDEVICE_EXTENSION Extension);
NTSTATUS ConnectToLinkServer(PDEVICE_OBJECT DeviceObject);
VOID StopConnectThread(PDEVICE_OBJECT DeviceObject);
NTSTATUS SendDataToLinkServer(PETH_CONNECTION Connection, PUCHAR DataToSend, ULONG Length);
VOID DisconnectFromLinkServer(PETH_CONNECTION Connection, BOOLEAN Abort);
VOID DisconnectAllConnections(PDEVICE_EXTENSION Extension);
// Received bytes of the socket's link, from the receive indication or a receive request's
// completion (at most DISPATCH_LEVEL): converted and delivered under DeviceLock.
VOID KivraTdiReceivedData(PTDI_SOCKET Socket, PUCHAR Data, ULONG Length);
// Drains Uart.RxFifo into the read or the ring (or drops it while the port is not open).
// DeviceLock held.
VOID RunReceiveStep(PDEVICE_EXTENSION Extension);
NTSTATUS KivraTdiRegisterPnPHandlers(PUNICODE_STRING RegistryPath);
VOID KivraTdiDeregisterPnPHandlers(VOID);

// Debug log
#define DBG_LEVEL_ERROR 1
#define DBG_LEVEL_WARNING 2
#define DBG_LEVEL_INFO 3
#define DBG_LEVEL_TRACE 4

#define DBG_AREA_GENERAL 0x01
#define DBG_AREA_PNP 0x02
#define DBG_AREA_POWER 0x04
#define DBG_AREA_OPEN_CLOSE 0x10
#define DBG_AREA_WMI 0x20
#define DBG_AREA_IO 0x80

#define DEBUG_LOG_BUFFERS 8
#define DEBUG_LOG_BUFFER_SIZE 1024

// Levels of the plain debug lines, with the values of the kernel's own trace levels. Errors
// print with DbgPrint whatever the level; the per-request lines of the hot paths (read, write,
// the gateway's receive and routing) are TRACE_LEVEL_VERBOSE.
#ifndef TRACE_LEVEL_NONE
#define TRACE_LEVEL_NONE 0
#define TRACE_LEVEL_ERROR 2
#define TRACE_LEVEL_WARNING 3
#define TRACE_LEVEL_INFORMATION 4
#define TRACE_LEVEL_VERBOSE 5
#endif
// The level a build starts with; the service key's Parameters\TraceLevel (REG_DWORD) replaces it
// at driver entry.
#ifndef QUORVEL_TRACE_LEVEL
#define QUORVEL_TRACE_LEVEL TRACE_LEVEL_INFORMATION
#endif
// The highest level QvTrace prints. Written only by driver entry, before any port exists; read
// without a lock at any IRQL.
extern ULONG TraceLevel;
// A DbgPrint line printed only up to TraceLevel; its arguments are not evaluated above it.
#define QvTrace(Level, ...) ((ULONG)(Level) <= TraceLevel ? (VOID)DbgPrint(__VA_ARGS__) : (VOID)0)
VOID LoadTraceLevel(PUNICODE_STRING RegistryPath);  // driver entry, PASSIVE_LEVEL

struct _TA_ADDRESS;
VOID KivraDebugPrint(ULONG Area, ULONG Level, PCSTR Format, ...);
VOID LogIrp(PIRP Irp);
VOID DumpTdiAddress(struct _TA_ADDRESS *Address);
PCSTR IrpMajorName(UCHAR MajorFunction);
PCSTR PnpMinorName(UCHAR MinorFunction);
PCSTR PowerMinorName(UCHAR MinorFunction);
PCSTR SystemPowerStateName(ULONG State);
PCSTR DevicePowerStateName(ULONG State);
PCSTR WmiMinorName(UCHAR MinorFunction);
extern LONG LogBufferBusy[DEBUG_LOG_BUFFERS];
// ---- end network link routines
