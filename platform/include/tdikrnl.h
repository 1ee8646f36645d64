// Transport Driver Interface, kernel side: the internal device-control requests a client
// sends to a transport, the request records placed in the stack location, the event
// handlers a transport calls, the TdiBuild* helpers, and the TDI Plug and Play
// registration.
#pragma once

#include "tdi.h"
#include "wdm.h"

#ifdef __cplusplus
extern "C" {
#endif

#ifndef IO_NETWORK_INCREMENT
#define IO_NETWORK_INCREMENT 2
#endif

// Minor functions of IRP_MJ_INTERNAL_DEVICE_CONTROL
#define TDI_ASSOCIATE_ADDRESS 0x01
#define TDI_DISASSOCIATE_ADDRESS 0x02
#define TDI_CONNECT 0x03
#define TDI_LISTEN 0x04
#define TDI_ACCEPT 0x05
#define TDI_DISCONNECT 0x06
#define TDI_SEND 0x07
#define TDI_RECEIVE 0x08
#define TDI_SEND_DATAGRAM 0x09
#define TDI_RECEIVE_DATAGRAM 0x0A
#define TDI_SET_EVENT_HANDLER 0x0B
#define TDI_QUERY_INFORMATION 0x0C
#define TDI_SET_INFORMATION 0x0D
#define TDI_ACTION 0x0E

// What a file object opened on a transport is (its FsContext2).
#define TDI_TRANSPORT_ADDRESS_FILE 1
#define TDI_CONNECTION_FILE 2
#define TDI_CONTROL_CHANNEL_FILE 3

// Event types beyond the user-mode list
#define TDI_EVENT_CHAINED_RECEIVE 7
#define TDI_EVENT_CHAINED_RECEIVE_DATAGRAM 8
#define TDI_EVENT_CHAINED_RECEIVE_EXPEDITED 9
#define TDI_EVENT_ERROR_EX 10

// Request records, overlaid on IO_STACK_LOCATION.Parameters.
typedef struct _TDI_REQUEST_KERNEL {
    ULONG_PTR RequestFlags;
    PTDI_CONNECTION_INFORMATION RequestConnectionInformation;
    PTDI_CONNECTION_INFORMATION ReturnConnectionInformation;
    PVOID RequestSpecific;  // connect and disconnect: PLARGE_INTEGER time-out, or NULL
} TDI_REQUEST_KERNEL, *PTDI_REQUEST_KERNEL;

typedef TDI_REQUEST_KERNEL TDI_REQUEST_KERNEL_CONNECT, *PTDI_REQUEST_KERNEL_CONNECT;
typedef TDI_REQUEST_KERNEL TDI_REQUEST_KERNEL_DISCONNECT, *PTDI_REQUEST_KERNEL_DISCONNECT;
typedef TDI_REQUEST_KERNEL TDI_REQUEST_KERNEL_LISTEN, *PTDI_REQUEST_KERNEL_LISTEN;
typedef TDI_REQUEST_KERNEL TDI_REQUEST_KERNEL_DISASSOCIATE, *PTDI_REQUEST_KERNEL_DISASSOCIATE;

typedef struct _TDI_REQUEST_KERNEL_ASSOCIATE {
    HANDLE AddressHandle;
} TDI_REQUEST_KERNEL_ASSOCIATE, *PTDI_REQUEST_KERNEL_ASSOCIATE;

typedef struct _TDI_REQUEST_KERNEL_ACCEPT {
    PTDI_CONNECTION_INFORMATION RequestConnectionInformation;
    PTDI_CONNECTION_INFORMATION ReturnConnectionInformation;
} TDI_REQUEST_KERNEL_ACCEPT, *PTDI_REQUEST_KERNEL_ACCEPT;

typedef struct _TDI_REQUEST_KERNEL_SEND {
    ULONG SendLength;
    ULONG SendFlags;
} TDI_REQUEST_KERNEL_SEND, *PTDI_REQUEST_KERNEL_SEND;

typedef struct _TDI_REQUEST_KERNEL_RECEIVE {
    ULONG ReceiveLength;
    ULONG ReceiveFlags;
} TDI_REQUEST_KERNEL_RECEIVE, *PTDI_REQUEST_KERNEL_RECEIVE;

typedef struct _TDI_REQUEST_KERNEL_SET_EVENT {
    LONG EventType;
    PVOID EventHandler;  // NULL clears the handler
    PVOID EventContext;
} TDI_REQUEST_KERNEL_SET_EVENT, *PTDI_REQUEST_KERNEL_SET_EVENT;

typedef struct _TDI_REQUEST_KERNEL_QUERY_INFO {
    LONG QueryType;
    PTDI_CONNECTION_INFORMATION RequestConnectionInformation;
} TDI_REQUEST_KERNEL_QUERY_INFORMATION, *PTDI_REQUEST_KERNEL_QUERY_INFORMATION;

// Event handlers. Transports call them at DISPATCH_LEVEL.
typedef NTSTATUS (*PTDI_IND_CONNECT)(PVOID TdiEventContext, LONG RemoteAddressLength, PVOID RemoteAddress,
                                     LONG UserDataLength, PVOID UserData, LONG OptionsLength, PVOID Options,
                                     CONNECTION_CONTEXT *ConnectionContext, PIRP *AcceptIrp);

typedef NTSTATUS (*PTDI_IND_DISCONNECT)(PVOID TdiEventContext, CONNECTION_CONTEXT ConnectionContext,
                                        LONG DisconnectDataLength, PVOID DisconnectData,
                                        LONG DisconnectInformationLength, PVOID DisconnectInformation,
                                        ULONG DisconnectFlags);

typedef NTSTATUS (*PTDI_IND_ERROR)(PVOID TdiEventContext, NTSTATUS Status);
typedef NTSTATUS (*PTDI_IND_ERROR_EX)(PVOID TdiEventContext, NTSTATUS Status, PVOID Buffer);

// BytesIndicated bytes are at Tsdu; BytesAvailable counts everything the transport holds.
// The handler sets *BytesTaken; to take the rest into a TDI_RECEIVE request of its own it
// returns STATUS_MORE_PROCESSING_REQUIRED with that request in *IoRequestPacket.
typedef NTSTATUS (*PTDI_IND_RECEIVE)(PVOID TdiEventContext, CONNECTION_CONTEXT ConnectionContext, ULONG ReceiveFlags,
                                     ULONG BytesIndicated, ULONG BytesAvailable, ULONG *BytesTaken, PVOID Tsdu,
                                     PIRP *IoRequestPacket);

typedef NTSTATUS (*PTDI_IND_RECEIVE_EXPEDITED)(PVOID TdiEventContext, CONNECTION_CONTEXT ConnectionContext,
                                               ULONG ReceiveFlags, ULONG BytesIndicated, ULONG BytesAvailable,
                                               ULONG *BytesTaken, PVOID Tsdu, PIRP *IoRequestPacket);

typedef NTSTATUS (*PTDI_IND_RECEIVE_DATAGRAM)(PVOID TdiEventContext, LONG SourceAddressLength, PVOID SourceAddress,
                                              LONG OptionsLength, PVOID Options, ULONG ReceiveDatagramFlags,
                                              ULONG BytesIndicated, ULONG BytesAvailable, ULONG *BytesTaken, PVOID Tsdu,
                                              PIRP *IoRequestPacket);

typedef NTSTATUS (*PTDI_IND_SEND_POSSIBLE)(PVOID TdiEventContext, PVOID ConnectionContext, ULONG BytesAvailable);

// Request builders: fill the next stack location of an IRP the client allocated.
#define TdiBuildBaseIrp(bIrp, bDevObj, bFileObj, bCompRoutine, bContxt, bIrpSp, bMinor)                          \
    do {                                                                                                         \
        (bIrpSp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;                                                \
        (bIrpSp)->MinorFunction = (bMinor);                                                                      \
        (bIrpSp)->DeviceObject = (bDevObj);                                                                      \
        (bIrpSp)->FileObject = (bFileObj);                                                                       \
        if (bCompRoutine)                                                                                        \
            IoSetCompletionRoutine((bIrp), (PIO_COMPLETION_ROUTINE)(bCompRoutine), (bContxt), TRUE, TRUE, TRUE); \
        else                                                                                                     \
            IoSetCompletionRoutine((bIrp), NULL, NULL, FALSE, FALSE, FALSE);                                     \
    } while (0)

#define TdiBuildAssociateAddress(Irp, DevObj, FileObj, CompRoutine, Contxt, AddrHandle)             \
    do {                                                                                            \
        PIO_STACK_LOCATION _IrpSp = IoGetNextIrpStackLocation(Irp);                                 \
        TdiBuildBaseIrp(Irp, DevObj, FileObj, CompRoutine, Contxt, _IrpSp, TDI_ASSOCIATE_ADDRESS);  \
        ((PTDI_REQUEST_KERNEL_ASSOCIATE)&_IrpSp->Parameters)->AddressHandle = (HANDLE)(AddrHandle); \
    } while (0)

#define TdiBuildDisassociateAddress(Irp, DevObj, FileObj, CompRoutine, Contxt)                        \
    do {                                                                                              \
        PIO_STACK_LOCATION _IrpSp = IoGetNextIrpStackLocation(Irp);                                   \
        TdiBuildBaseIrp(Irp, DevObj, FileObj, CompRoutine, Contxt, _IrpSp, TDI_DISASSOCIATE_ADDRESS); \
    } while (0)

#define TdiBuildConnect(Irp, DevObj, FileObj, CompRoutine, Contxt, Time, RequestConnectionInfo, ReturnConnectionInfo) \
    do {                                                                                                              \
        PIO_STACK_LOCATION _IrpSp = IoGetNextIrpStackLocation(Irp);                                                   \
        PTDI_REQUEST_KERNEL _Request;                                                                                 \
        TdiBuildBaseIrp(Irp, DevObj, FileObj, CompRoutine, Contxt, _IrpSp, TDI_CONNECT);                              \
        _Request = (PTDI_REQUEST_KERNEL)&_IrpSp->Parameters;                                                          \
        _Request->RequestConnectionInformation = (RequestConnectionInfo);                                             \
        _Request->ReturnConnectionInformation = (ReturnConnectionInfo);                                               \
        _Request->RequestSpecific = (PVOID)(Time);                                                                    \
    } while (0)

#define TdiBuildDisconnect(Irp, DevObj, FileObj, CompRoutine, Contxt, Time, Flags, RequestConnectionInfo, \
                           ReturnConnectionInfo)                                                          \
    do {                                                                                                  \
        PIO_STACK_LOCATION _IrpSp = IoGetNextIrpStackLocation(Irp);                                       \
        PTDI_REQUEST_KERNEL _Request;                                                                     \
        TdiBuildBaseIrp(Irp, DevObj, FileObj, CompRoutine, Contxt, _IrpSp, TDI_DISCONNECT);               \
        _Request = (PTDI_REQUEST_KERNEL)&_IrpSp->Parameters;                                              \
        _Request->RequestConnectionInformation = (RequestConnectionInfo);                                 \
        _Request->ReturnConnectionInformation = (ReturnConnectionInfo);                                   \
        _Request->RequestSpecific = (PVOID)(Time);                                                        \
        _Request->RequestFlags = (Flags);                                                                 \
    } while (0)

#define TdiBuildSend(Irp, DevObj, FileObj, CompRoutine, Contxt, MdlAddr, InFlags, SendLen) \
    do {                                                                                   \
        PIO_STACK_LOCATION _IrpSp = IoGetNextIrpStackLocation(Irp);                        \
        PTDI_REQUEST_KERNEL_SEND _Request;                                                 \
        TdiBuildBaseIrp(Irp, DevObj, FileObj, CompRoutine, Contxt, _IrpSp, TDI_SEND);      \
        _Request = (PTDI_REQUEST_KERNEL_SEND)&_IrpSp->Parameters;                          \
        _Request->SendFlags = (InFlags);                                                   \
        _Request->SendLength = (SendLen);                                                  \
        (Irp)->MdlAddress = (MdlAddr);                                                     \
    } while (0)

#define TdiBuildReceive(Irp, DevObj, FileObj, CompRoutine, Contxt, MdlAddr, InFlags, ReceiveLen) \
    do {                                                                                         \
        PIO_STACK_LOCATION _IrpSp = IoGetNextIrpStackLocation(Irp);                              \
        PTDI_REQUEST_KERNEL_RECEIVE _Request;                                                    \
        TdiBuildBaseIrp(Irp, DevObj, FileObj, CompRoutine, Contxt, _IrpSp, TDI_RECEIVE);         \
        _Request = (PTDI_REQUEST_KERNEL_RECEIVE)&_IrpSp->Parameters;                             \
        _Request->ReceiveFlags = (InFlags);                                                      \
        _Request->ReceiveLength = (ReceiveLen);                                                  \
        (Irp)->MdlAddress = (MdlAddr);                                                           \
    } while (0)

#define TdiBuildSetEventHandler(Irp, DevObj, FileObj, CompRoutine, Contxt, InEventType, InEventHandler, \
                                InEventContext)                                                         \
    do {                                                                                                \
        PIO_STACK_LOCATION _IrpSp = IoGetNextIrpStackLocation(Irp);                                     \
        PTDI_REQUEST_KERNEL_SET_EVENT _Request;                                                         \
        TdiBuildBaseIrp(Irp, DevObj, FileObj, CompRoutine, Contxt, _IrpSp, TDI_SET_EVENT_HANDLER);      \
        _Request = (PTDI_REQUEST_KERNEL_SET_EVENT)&_IrpSp->Parameters;                                  \
        _Request->EventType = (InEventType);                                                            \
        _Request->EventHandler = (PVOID)(InEventHandler);                                               \
        _Request->EventContext = (PVOID)(InEventContext);                                               \
    } while (0)

#define TdiBuildQueryInformation(Irp, DevObj, FileObj, CompRoutine, Contxt, QType, MdlAddr)        \
    do {                                                                                           \
        PIO_STACK_LOCATION _IrpSp = IoGetNextIrpStackLocation(Irp);                                \
        PTDI_REQUEST_KERNEL_QUERY_INFORMATION _Request;                                            \
        TdiBuildBaseIrp(Irp, DevObj, FileObj, CompRoutine, Contxt, _IrpSp, TDI_QUERY_INFORMATION); \
        _Request = (PTDI_REQUEST_KERNEL_QUERY_INFORMATION)&_IrpSp->Parameters;                     \
        _Request->RequestConnectionInformation = NULL;                                             \
        _Request->QueryType = (LONG)(QType);                                                       \
        (Irp)->MdlAddress = (MdlAddr);                                                             \
    } while (0)

// An internal device-control IRP for a transport, threaded to the caller (the builders
// above then fill its stack location).
#define TdiBuildInternalDeviceControlIrp(IrpSubFunction, DeviceObject, FileObject, Event, IoStatusBlock) \
    IoBuildDeviceIoControlRequest((IrpSubFunction), (DeviceObject), NULL, 0, NULL, 0, TRUE, (Event), (IoStatusBlock))

#define TdiCompleteRequest(Irp, Status)                 \
    do {                                                \
        (Irp)->IoStatus.Status = (Status);              \
        IoCompleteRequest((Irp), IO_NETWORK_INCREMENT); \
    } while (0)

#define TdiCopyLookaheadData(Destination, Source, Length, ReceiveFlags) RtlCopyMemory(Destination, Source, Length)

// ---------------------------------------------------------------- Plug and Play registration
#define TDI_CURRENT_MAJOR_VERSION 2
#define TDI_CURRENT_MINOR_VERSION 0
#define TDI_CURRENT_VERSION ((TDI_CURRENT_MINOR_VERSION) << 8 | (TDI_CURRENT_MAJOR_VERSION))
#define TDI_VERSION_ONE 0x0001

typedef enum _TDI_PNP_OPCODE {
    TDI_PNP_OP_MIN,
    TDI_PNP_OP_ADD,
    TDI_PNP_OP_DEL,
    TDI_PNP_OP_UPDATE,
    TDI_PNP_OP_PROVIDERREADY,
    TDI_PNP_OP_NETREADY,
    TDI_PNP_OP_ADD_IGNORE_BINDING,
    TDI_PNP_OP_DELETE_IGNORE_BINDING,
    TDI_PNP_OP_MAX
} TDI_PNP_OPCODE;

#define TDI_PNP_CONTEXT_TYPE_IF_NAME 0x1
#define TDI_PNP_CONTEXT_TYPE_IF_ADDR 0x2
#define TDI_PNP_CONTEXT_TYPE_PDO 0x3
#define TDI_PNP_CONTEXT_TYPE_FIRST_OR_LAST_IF 0x4

typedef struct _TDI_PNP_CONTEXT {
    USHORT ContextSize;
    USHORT ContextType;
    UCHAR ContextData[1];
} TDI_PNP_CONTEXT, *PTDI_PNP_CONTEXT;

typedef enum _NET_PNP_EVENT_CODE {
    NetEventSetPower,
    NetEventQueryPower,
    NetEventQueryRemoveDevice,
    NetEventCancelRemoveDevice,
    NetEventReconfigure,
    NetEventBindList,
    NetEventBindsComplete,
    NetEventPnPCapabilities,
    NetEventMaximum
} NET_PNP_EVENT_CODE,
    *PNET_PNP_EVENT_CODE;

typedef struct _NET_PNP_EVENT {
    NET_PNP_EVENT_CODE NetEvent;
    PVOID Buffer;
    ULONG BufferLength;
    ULONG_PTR NdisReserved[4];
    ULONG_PTR TransportReserved[4];
    ULONG_PTR TdiReserved[4];
    ULONG_PTR TdiClientReserved[4];
} NET_PNP_EVENT, *PNET_PNP_EVENT;

typedef void (*TDI_ADD_ADDRESS_HANDLER)(PTA_ADDRESS Address);
typedef void (*TDI_DEL_ADDRESS_HANDLER)(PTA_ADDRESS Address);
typedef void (*TDI_ADD_ADDRESS_HANDLER_V2)(PTA_ADDRESS Address, PUNICODE_STRING DeviceName, PTDI_PNP_CONTEXT Context);
typedef void (*TDI_DEL_ADDRESS_HANDLER_V2)(PTA_ADDRESS Address, PUNICODE_STRING DeviceName, PTDI_PNP_CONTEXT Context);
typedef void (*TDI_BINDING_HANDLER)(TDI_PNP_OPCODE PnPOpcode, PUNICODE_STRING DeviceName, PWSTR MultiSZBindList);
typedef void (*TDI_BIND_HANDLER)(PUNICODE_STRING DeviceName);
typedef void (*TDI_UNBIND_HANDLER)(PUNICODE_STRING DeviceName);
typedef NTSTATUS (*TDI_PNP_POWER_HANDLER)(PUNICODE_STRING DeviceName, PNET_PNP_EVENT PowerEvent,
                                          PTDI_PNP_CONTEXT Context1, PTDI_PNP_CONTEXT Context2);

typedef struct _TDI20_CLIENT_INTERFACE_INFO {
    union {
        struct {
            UCHAR MajorTdiVersion;
            UCHAR MinorTdiVersion;
        };
        USHORT TdiVersion;
    };
    USHORT Unused;
    PUNICODE_STRING ClientName;
    TDI_PNP_POWER_HANDLER PnPPowerHandler;
    union {
        TDI_BINDING_HANDLER BindingHandler;
        struct {
            TDI_BIND_HANDLER BindHandler;
            TDI_UNBIND_HANDLER UnBindHandler;
        };
    };
    union {
        struct {
            TDI_ADD_ADDRESS_HANDLER_V2 AddAddressHandlerV2;
            TDI_DEL_ADDRESS_HANDLER_V2 DelAddressHandlerV2;
        };
        struct {
            TDI_ADD_ADDRESS_HANDLER AddAddressHandler;
            TDI_DEL_ADDRESS_HANDLER DelAddressHandler;
        };
    };
} TDI20_CLIENT_INTERFACE_INFO, *PTDI20_CLIENT_INTERFACE_INFO;

typedef TDI20_CLIENT_INTERFACE_INFO TDI_CLIENT_INTERFACE_INFO;
typedef TDI_CLIENT_INTERFACE_INFO *PTDI_CLIENT_INTERFACE_INFO;

// Registers a client for the transports' binding and address notifications. The
// add-address handler hears of every local IPv4 address, loopback first, before this
// returns. PASSIVE_LEVEL.
NTSTATUS TdiRegisterPnPHandlers(PTDI_CLIENT_INTERFACE_INFO ClientInterfaceInfo, ULONG InterfaceInfoSize,
                                HANDLE *BindingHandle);
// Ends a registration; no notification reaches the client once this returns.
NTSTATUS TdiDeregisterPnPHandlers(HANDLE BindingHandle);

#ifdef __cplusplus
}
#endif
