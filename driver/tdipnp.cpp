// The link lifecycle: the port's connection thread, which makes TCP links on demand, the send
// used by the gateway, the disconnects, the transport's receive and disconnect indications,
// and the registration with the transport's Plug and Play notifications.
//
// Locks: ConnectMutex guards every socket request, each connection's Socket and
// NeedConnection, the pending request and ExitThread; socket requests wait for the transport,
// so they run at PASSIVE_LEVEL under that mutex and never under a spin lock. It is a kernel
// mutex, not a fast mutex: ZwCreateFile, ZwClose and IoGetDeviceObjectPointer need
// PASSIVE_LEVEL and the I/O manager's completion APCs, which a fast mutex's APC_LEVEL blocks.
// The receive indication runs at DISPATCH_LEVEL under DeviceLock and never takes
// ConnectMutex; no path holds one of the two while taking the other.

#include "quorvel.h"

#include <tdikrnl.h>

KSTART_ROUTINE ConnectThread;
IO_WORKITEM_ROUTINE KivraTdiWorkerRoutine;

NTSTATUS NTAPI KivraTdiDisconnectEventHandler(PVOID TdiEventContext, CONNECTION_CONTEXT ConnectionContext,
                                              LONG DisconnectDataLength, PVOID DisconnectData,
                                              LONG DisconnectInformationLength, PVOID DisconnectInformation,
                                              ULONG DisconnectFlags);
NTSTATUS NTAPI KivraTdiReceiveEventHandler(PVOID TdiEventContext, CONNECTION_CONTEXT ConnectionContext,
                                           ULONG ReceiveFlags, ULONG BytesIndicated, ULONG BytesAvailable,
                                           ULONG *BytesTaken, PVOID Tsdu, PIRP *IoRequestPacket);

static const WCHAR TcpDeviceName[] = WIDE("\\Device\\Tcp");

#define CONNECT_THREAD_PRIORITY 15

// One disconnect indication, carried to the delayed work queue. The socket is only a name
// here: by the time the work runs it may have been closed and its memory reused, so the work
// looks for a connection that still holds this very socket (pointer and serial) before it
// touches anything.
typedef struct _LINK_DISCONNECT_WORK {
    PIO_WORKITEM WorkItem;
    PTDI_SOCKET Socket;
    ULONG Serial;
} LINK_DISCONNECT_WORK, *PLINK_DISCONNECT_WORK;

// Under ConnectMutex.
static VOID ReleasePendingRequest(PDEVICE_EXTENSION Extension)
{
    if (Extension->PendingData != NULL) {
        ExFreePoolWithTag(Extension->PendingData, QUORVEL_TAG);
        Extension->PendingData = NULL;
        Extension->PendingLength = 0;
    }
    Extension->PendingConnection = NULL;
}

// A connect attempt failed: the request built for that connection is lost; one built for
// another flagged connection waits for that connection's attempt. Under ConnectMutex. TRUE,
// with the lost request's serial, when one was lost.
static BOOLEAN DropPendingRequestOf(PDEVICE_EXTENSION Extension, PETH_CONNECTION Connection, PLONG LostSerial)
{
    if (Extension->PendingConnection != Connection) return FALSE;
    BOOLEAN lost = Extension->PendingData != NULL ? TRUE : FALSE;
    if (lost) {
        *LostSerial = Extension->PendingSerial;
        CountDrop(Extension, Connection, DropLinkDown);
        MonitorDrop(Extension, DropLinkDown, Connection, Extension->PendingData, Extension->PendingLength);
    }
    ReleasePendingRequest(Extension);
    return lost;
}

// The port's receive step, run under DeviceLock at DISPATCH_LEVEL whenever a reply waits in
// the UART's receive FIFO. Until the open has pointed the receive target at the ring (PortOpen
// is set last, under this lock) there is nowhere safe to store a character: the reply is
// dropped, as a closed line drops what arrives.
VOID RunReceiveStep(PDEVICE_EXTENSION Extension)
{
    if (Extension->Uart.RxCount == 0) return;
    if (!Extension->PortOpen) {
        Extension->Uart.RxCount = 0;
        return;
    }
    ReceiveCharacters(Extension);
}

VOID AcquireConnectMutex(PDEVICE_EXTENSION Extension)
{
    KeWaitForSingleObject(&Extension->ConnectMutex, Executive, KernelMode, FALSE, NULL);
}

// FALSE at once when another thread holds the mutex.
BOOLEAN TryToAcquireConnectMutex(PDEVICE_EXTENSION Extension)
{
    LARGE_INTEGER noWait;
    noWait.QuadPart = 0;
    return KeWaitForSingleObject(&Extension->ConnectMutex, Executive, KernelMode, FALSE, &noWait) == STATUS_SUCCESS;
}

VOID ReleaseConnectMutex(PDEVICE_EXTENSION Extension) { KeReleaseMutex(&Extension->ConnectMutex, FALSE); }

PAGED_ROUTINE NTSTATUS ConnectToLinkServer(PDEVICE_OBJECT DeviceObject)
{
    PAGED_CODE();
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    DbgPrint("ConnectToLinkServer - Start\n");

    // ConnectMutex and ConnectEvent were initialised once, when the device was created: a
    // disconnect work item of the previous open may still hold the mutex.
    KeClearEvent(&extension->ConnectEvent);
    AcquireConnectMutex(extension);
    extension->ExitThread = FALSE;
    ReleaseConnectMutex(extension);

    // The open runs in the opening program's context: without OBJ_KERNEL_HANDLE the handle
    // would go to that program's handle table.
    OBJECT_ATTRIBUTES threadAttributes;
    InitializeObjectAttributes(&threadAttributes, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
    HANDLE threadHandle;
    NTSTATUS status = PsCreateSystemThread(&threadHandle, THREAD_ALL_ACCESS, &threadAttributes, NULL, NULL,
                                           ConnectThread, DeviceObject);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    PVOID threadObject;
    status = ObReferenceObjectByHandle(threadHandle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &threadObject, NULL);
    ZwClose(threadHandle);
    if (!NT_SUCCESS(status)) {
        extension->ConnectThreadObject = NULL;
        StopConnectThread(DeviceObject);
        return status;
    }
    extension->ConnectThreadObject = threadObject;

    DbgPrint("ConnectToLinkServer - End\n");
    return STATUS_SUCCESS;
}

PAGED_ROUTINE VOID StopConnectThread(PDEVICE_OBJECT DeviceObject)
{
    PAGED_CODE();
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    DbgPrint("StopConnectThread - begin\n");

    // Waits for a connect attempt in progress to end.
    AcquireConnectMutex(extension);
    DisconnectAllConnections(extension);
    KeSetEvent(&extension->ConnectEvent, IO_NO_INCREMENT, FALSE);
    extension->ExitThread = TRUE;
    ReleasePendingRequest(extension);
    ReleaseConnectMutex(extension);

    PVOID threadObject = extension->ConnectThreadObject;
    if (threadObject != NULL) {
        KeWaitForSingleObject(threadObject, Executive, KernelMode, FALSE, NULL);
        ObDereferenceObject(threadObject);
        extension->ConnectThreadObject = NULL;
    }
    DbgPrint("StopConnectThread - end\n");
}

// One connect attempt for Connection, and the send of the request parked for it. Under
// ConnectMutex, in the connection thread. Every failure loses the request built for this
// connection; the next request for it starts a new attempt. TRUE, with its serial, when the
// request was lost.
static PAGED_ROUTINE BOOLEAN ConnectAndSend(PDEVICE_OBJECT DeviceObject, PETH_CONNECTION Connection, PLONG LostSerial)
{
    PAGED_CODE();
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    DbgPrint("ConnectThread - KivraTdiCreateSocket\n");
    UNICODE_STRING transportName;
    RtlInitUnicodeString(&transportName, TcpDeviceName);
    PTDI_SOCKET socket = KivraTdiCreateSocket(&transportName);
    if (socket == NULL) {
        CountConnect(Connection, STATUS_INSUFFICIENT_RESOURCES);
        return DropPendingRequestOf(extension, Connection, LostSerial);
    }
    // The reply buffer is in place before anything can be indicated on the link.
    if (!NT_SUCCESS(AllocateReplyBuffer(Connection))) {
        CountConnect(Connection, STATUS_INSUFFICIENT_RESOURCES);
        KivraTdiCloseSocket(socket);
        return DropPendingRequestOf(extension, Connection, LostSerial);
    }
    socket->DeviceObject = DeviceObject;
    socket->Context = Connection;

    // Any local address and port.
    TA_IP_ADDRESS localAddress;
    RtlZeroMemory(&localAddress, sizeof(localAddress));
    localAddress.TAAddressCount = 1;
    localAddress.Address[0].AddressLength = TDI_ADDRESS_LENGTH_IP;
    localAddress.Address[0].AddressType = TDI_ADDRESS_TYPE_IP;

    DbgPrint("ConnectThread - KivraTdiOpenAddress\n");
    NTSTATUS status = KivraTdiOpenAddress(socket, (PTRANSPORT_ADDRESS)&localAddress);
    if (NT_SUCCESS(status)) {
        DbgPrint("ConnectThread - TDI_EVENT_DISCONNECT\n");
        status = KivraTdiSetEventHandler(socket, TDI_EVENT_DISCONNECT, (PVOID)KivraTdiDisconnectEventHandler, socket);
    }
    if (NT_SUCCESS(status)) {
        DbgPrint("ConnectThread - TDI_EVENT_RECEIVE\n");
        status = KivraTdiSetEventHandler(socket, TDI_EVENT_RECEIVE, (PVOID)KivraTdiReceiveEventHandler, socket);
    }
    if (NT_SUCCESS(status)) {
        DbgPrint("ConnectThread - KivraTdiOpenConnection\n");
        status = KivraTdiOpenConnection(socket);
    }
    if (NT_SUCCESS(status)) {
        DbgPrint("ConnectThread - KivraTdiAssociateAddress\n");
        status = KivraTdiAssociateAddress(socket);
    }
    if (NT_SUCCESS(status)) {
        // The port goes out in network order; the address is stored in it already.
        TA_IP_ADDRESS remoteAddress;
        RtlZeroMemory(&remoteAddress, sizeof(remoteAddress));
        remoteAddress.TAAddressCount = 1;
        remoteAddress.Address[0].AddressLength = TDI_ADDRESS_LENGTH_IP;
        remoteAddress.Address[0].AddressType = TDI_ADDRESS_TYPE_IP;
        remoteAddress.Address[0].Address[0].sin_port = (USHORT)((Connection->port >> 8) | (Connection->port << 8));
        remoteAddress.Address[0].Address[0].in_addr = Connection->ip;

        TDI_CONNECTION_INFORMATION requestInformation;
        RtlZeroMemory(&requestInformation, sizeof(requestInformation));
        requestInformation.RemoteAddressLength = sizeof(remoteAddress);
        requestInformation.RemoteAddress = &remoteAddress;

        DbgPrint("ConnectThread - KivraTdiConnect\n");
        status = KivraTdiConnect(socket, &requestInformation, NULL);
        if (!NT_SUCCESS(status)) {
            DbgPrint("ConnectThread - KivraTdiConnect - Failed\n");
        }
    }
    CountConnect(Connection, status);
    if (!NT_SUCCESS(status)) {
        KivraTdiCloseSocket(socket);
        FreeReplyBuffer(Connection);
        return DropPendingRequestOf(extension, Connection, LostSerial);
    }

    Connection->Socket = socket;
    // Only the request built for this connection goes out here; one built for another
    // flagged connection waits for that connection's turn.
    BOOLEAN lost = FALSE;
    if (extension->PendingData != NULL && extension->PendingConnection == Connection) {
        DbgPrint("ConnectThread - Sending Data\n");
        // Recorded before the send: the reply may be placed before the send returns.
        MonitorEvent(extension, MonitorSent, FRAME_MODE_NONE, Connection, extension->PendingData,
                     extension->PendingLength);
        if (SendDataToLinkServer(Connection, extension->PendingData, extension->PendingLength) != STATUS_SUCCESS) {
            lost = DropPendingRequestOf(extension, Connection, LostSerial);
        }
        ReleasePendingRequest(extension);
    }
    return lost;
}

PAGED_ROUTINE VOID NTAPI ConnectThread(PVOID StartContext)
{
    PAGED_CODE();
    PDEVICE_OBJECT deviceObject = (PDEVICE_OBJECT)StartContext;
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)deviceObject->DeviceExtension;

    DbgPrint("ConnectThread - start\n");
    KeSetPriorityThread(KeGetCurrentThread(), CONNECT_THREAD_PRIORITY);

    for (;;) {
        DbgPrint("ConnectThread - KeWaitForSingleObject\n");
        KeWaitForSingleObject(&extension->ConnectEvent, Executive, KernelMode, FALSE, NULL);

        DbgPrint("ConnectThread - AcquireConnectMutex\n");
        AcquireConnectMutex(extension);
        if (extension->ExitThread) {
            DbgPrint("ConnectThread - devExt->ExitThread == TRUE\n");
            extension->ExitThread = FALSE;
            ReleasePendingRequest(extension);
            ReleaseConnectMutex(extension);
            DbgPrint("PsTerminateSystemThread\n");
            PsTerminateSystemThread(STATUS_SUCCESS);
        }

        PETH_CONNECTION connection = GetNeedConnection(extension);
        if (connection == NULL) {
            ReleasePendingRequest(extension);
            ReleaseConnectMutex(extension);
            continue;
        }

        // Each flag buys one attempt; a failed attempt does not set it again.
        connection->NeedConnection = 0;
        LONG lostSerial = 0;
        BOOLEAN lost = ConnectAndSend(deviceObject, connection, &lostSerial);

        // Another connection flagged meanwhile (or before) is served next, without waiting
        // for an unrelated write. The mutex is let go in between, so a close waits for one
        // attempt only.
        if (GetNeedConnection(extension) != NULL) {
            KeSetEvent(&extension->ConnectEvent, IO_NO_INCREMENT, FALSE);
        }
        ReleaseConnectMutex(extension);
        // Outside the mutex: the answer goes through DeviceLock.
        if (lost) AnswerTransaction(extension, connection, lostSerial, MODBUS_EXCEPTION_TARGET_FAILED);
    }
}

// Walks the list without its spin lock: it does not change shape while the port is open,
// and the disconnects wait for the transport. Under ConnectMutex. No reply buffer outlives it.
PAGED_ROUTINE VOID DisconnectAllConnections(PDEVICE_EXTENSION Extension)
{
    PAGED_CODE();
    for (PSINGLE_LIST_ENTRY link = Extension->ConnectionList.Next; link != NULL; link = link->Next) {
        PETH_CONNECTION connection = CONTAINING_RECORD(link, ETH_CONNECTION, Link);
        DisconnectFromLinkServer(connection, FALSE);
        FreeReplyBuffer(connection);
    }
}

// Ends the connection's link, if any. A graceful release for the port's close and for a
// disconnect the server started; an abort after a failed send, so that the writer never waits
// for a peer that stopped answering. Under ConnectMutex.
PAGED_ROUTINE VOID DisconnectFromLinkServer(PETH_CONNECTION Connection, BOOLEAN Abort)
{
    PAGED_CODE();
    PTDI_SOCKET socket = Connection->Socket;
    if (socket == NULL) {
        return;
    }
    DbgPrint("DisconnectFromLinkServer\n");

    // No indication may arrive for a socket being closed.
    KivraTdiSetEventHandler(socket, TDI_EVENT_DISCONNECT, NULL, NULL);
    KivraTdiSetEventHandler(socket, TDI_EVENT_RECEIVE, NULL, NULL);
    KivraTdiDisconnect(socket, Abort, NULL, NULL);
    // Closing waits for a receive request still out; after it nothing reads the reply buffer.
    KivraTdiCloseSocket(socket);
    Connection->Socket = NULL;
    FreeReplyBuffer(Connection);
}

// The data is always the driver's own non-paged buffer, so its descriptor is built, not
// probed, and nothing here can raise. Under ConnectMutex. STATUS_SUCCESS when sent,
// STATUS_TIMEOUT when there is no link or the send failed (the link is then closed).
// clang-format off
PAGED_ROUTINE NTSTATUS SendDataToLinkServer(PETH_CONNECTION Connection, PUCHAR DataToSend, ULONG Length)
{
    PAGED_CODE();
    ASSERT(DataToSend!=NULL);
    // clang-format on
    PTDI_SOCKET socket = Connection->Socket;
    if (socket == NULL) {
        return STATUS_TIMEOUT;  // no link yet: the normal answer for a connection's first request
    }
    QvTrace(TRACE_LEVEL_VERBOSE, "SendDataToLinkServer - %x\n", Length);

    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    PMDL mdl = IoAllocateMdl(DataToSend, Length, FALSE, FALSE, NULL);
    if (mdl != NULL) {
        MmBuildMdlForNonPagedPool(mdl);
        status = KivraTdiSend(socket, 0, mdl, Length);
        IoFreeMdl(mdl);
    }
    if (!NT_SUCCESS(status)) {
        DbgPrint("Data Not Sended!\n");
        CountDisconnect(Connection, status);
        DisconnectFromLinkServer(Connection, TRUE);
        return STATUS_TIMEOUT;
    }
    CountRequestSent(Connection);
    return STATUS_SUCCESS;
}

// The connection of the port that still holds this very socket, or NULL when the socket has
// been closed since (its memory may even belong to a newer socket by now). Under ConnectMutex,
// which keeps every Socket field still; the list lock keeps the list from being released
// under the walk.
static PETH_CONNECTION FindConnectionBySocket(PDEVICE_EXTENSION Extension, PTDI_SOCKET Socket, ULONG Serial)
{
    PETH_CONNECTION found = NULL;
    KIRQL irql;
    KeAcquireSpinLock(&Extension->ConnectionListLock, &irql);
    for (PSINGLE_LIST_ENTRY link = Extension->ConnectionList.Next; link != NULL; link = link->Next) {
        PETH_CONNECTION connection = CONTAINING_RECORD(link, ETH_CONNECTION, Link);
        if (connection->Socket == Socket && Socket->Serial == Serial) {
            found = connection;
            break;
        }
    }
    KeReleaseSpinLock(&Extension->ConnectionListLock, irql);
    return found;
}

NTSTATUS NTAPI KivraTdiDisconnectEventHandler(PVOID TdiEventContext, CONNECTION_CONTEXT ConnectionContext,
                                              LONG DisconnectDataLength, PVOID DisconnectData,
                                              LONG DisconnectInformationLength, PVOID DisconnectInformation,
                                              ULONG DisconnectFlags)
{
    UNREFERENCED_PARAMETER(TdiEventContext);
    UNREFERENCED_PARAMETER(DisconnectDataLength);
    UNREFERENCED_PARAMETER(DisconnectData);
    UNREFERENCED_PARAMETER(DisconnectInformationLength);
    UNREFERENCED_PARAMETER(DisconnectInformation);
    UNREFERENCED_PARAMETER(DisconnectFlags);

    // The socket is alive while its indication runs; the work below only remembers it.
    PTDI_SOCKET socket = (PTDI_SOCKET)ConnectionContext;
    PLINK_DISCONNECT_WORK work =
        (PLINK_DISCONNECT_WORK)ExAllocatePoolWithTag(NonPagedPool, sizeof(LINK_DISCONNECT_WORK), QUORVEL_TAG);
    if (work == NULL) {
        return STATUS_SUCCESS;
    }
    work->Socket = socket;
    work->Serial = socket->Serial;
    work->WorkItem = IoAllocateWorkItem(socket->DeviceObject);
    if (work->WorkItem == NULL) {
        ExFreePoolWithTag(work, QUORVEL_TAG);
        return STATUS_SUCCESS;
    }
    IoQueueWorkItem(work->WorkItem, KivraTdiWorkerRoutine, DelayedWorkQueue, work);
    return STATUS_SUCCESS;
}

VOID NTAPI KivraTdiWorkerRoutine(PDEVICE_OBJECT DeviceObject, PVOID Context)
{
    PLINK_DISCONNECT_WORK work = (PLINK_DISCONNECT_WORK)Context;
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    DbgPrint("KivraTdiWorkerRoutine - begin\n");

    AcquireConnectMutex(extension);
    PETH_CONNECTION connection = FindConnectionBySocket(extension, work->Socket, work->Serial);
    if (connection != NULL) {
        CountDisconnect(connection, STATUS_CONNECTION_DISCONNECTED);
        DisconnectFromLinkServer(connection, FALSE);
    }
    ReleaseConnectMutex(extension);

    IoFreeWorkItem(work->WorkItem);
    ExFreePoolWithTag(work, QUORVEL_TAG);
    DbgPrint("KivraTdiWorkerRoutine - end\n");
}

VOID KivraTdiReceivedData(PTDI_SOCKET Socket, PUCHAR Data, ULONG Length)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)Socket->DeviceObject->DeviceExtension;
    KIRQL irql;
    KeAcquireSpinLock(&extension->DeviceLock, &irql);
    ProcessIncomingData(extension, Socket->Context, Data, Length, RunReceiveStep);
    RunReceiveStep(extension);
    KeReleaseSpinLock(&extension->DeviceLock, irql);
}

// At DISPATCH_LEVEL. Everything indicated is taken: the gateway consumes whole blocks, keeping
// a partial reply for the next. When the transport shows only part of what it holds, the rest
// is fetched at once with a receive request, so a reply's tail never waits for newer data;
// without a free IRP the transport indicates the rest itself, as everything shown was taken.
NTSTATUS NTAPI KivraTdiReceiveEventHandler(PVOID TdiEventContext, CONNECTION_CONTEXT ConnectionContext,
                                           ULONG ReceiveFlags, ULONG BytesIndicated, ULONG BytesAvailable,
                                           ULONG *BytesTaken, PVOID Tsdu, PIRP *IoRequestPacket)
{
    UNREFERENCED_PARAMETER(TdiEventContext);
    UNREFERENCED_PARAMETER(ReceiveFlags);

    PTDI_SOCKET socket = (PTDI_SOCKET)ConnectionContext;
    KivraTdiReceivedData(socket, (PUCHAR)Tsdu, BytesIndicated);
    *BytesTaken = BytesIndicated;
    *IoRequestPacket = NULL;

    if (BytesAvailable > BytesIndicated) {
        PIRP irp = KivraTdiBuildReceiveIrp(socket, BytesAvailable - BytesIndicated);
        if (irp != NULL) {
            *IoRequestPacket = irp;
            return STATUS_MORE_PROCESSING_REQUIRED;
        }
    }
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------- transport Plug and Play

// Registration with the transport's notifications; kept from DriverEntry to Unload.
static HANDLE TdiBindingHandle;
// The client name must outlive DriverEntry's copy of the registry path.
static UNICODE_STRING TdiClientName;

static NTSTATUS NTAPI KivraTdiPnPPowerHandler(PUNICODE_STRING DeviceName, PNET_PNP_EVENT PowerEvent,
                                              PTDI_PNP_CONTEXT Context1, PTDI_PNP_CONTEXT Context2)
{
    UNREFERENCED_PARAMETER(DeviceName);
    UNREFERENCED_PARAMETER(PowerEvent);
    UNREFERENCED_PARAMETER(Context1);
    UNREFERENCED_PARAMETER(Context2);
    return STATUS_SUCCESS;
}

static VOID NTAPI KivraTdiBindingHandler(TDI_PNP_OPCODE PnPOpcode, PUNICODE_STRING DeviceName, PWSTR MultiSZBindList)
{
    UNREFERENCED_PARAMETER(PnPOpcode);
    UNREFERENCED_PARAMETER(DeviceName);
    UNREFERENCED_PARAMETER(MultiSZBindList);
}

static VOID NTAPI KivraTdiAddAddressHandler(PTA_ADDRESS Address, PUNICODE_STRING DeviceName, PTDI_PNP_CONTEXT Context)
{
    UNREFERENCED_PARAMETER(DeviceName);
    UNREFERENCED_PARAMETER(Context);
    DumpTdiAddress(Address);
}

static VOID NTAPI KivraTdiDelAddressHandler(PTA_ADDRESS Address, PUNICODE_STRING DeviceName, PTDI_PNP_CONTEXT Context)
{
    UNREFERENCED_PARAMETER(DeviceName);
    UNREFERENCED_PARAMETER(Context);
    DumpTdiAddress(Address);
}

PAGED_ROUTINE NTSTATUS KivraTdiRegisterPnPHandlers(PUNICODE_STRING RegistryPath)
{
    PAGED_CODE();
    TdiClientName.Buffer = (PWCH)ExAllocatePoolWithTag(NonPagedPool, RegistryPath->Length + sizeof(WCHAR), QUORVEL_TAG);
    if (TdiClientName.Buffer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    TdiClientName.Length = RegistryPath->Length;
    TdiClientName.MaximumLength = (USHORT)(RegistryPath->Length + sizeof(WCHAR));
    RtlCopyMemory(TdiClientName.Buffer, RegistryPath->Buffer, RegistryPath->Length);
    TdiClientName.Buffer[RegistryPath->Length / sizeof(WCHAR)] = 0;

    TDI_CLIENT_INTERFACE_INFO info;
    RtlZeroMemory(&info, sizeof(info));
    info.MajorTdiVersion = 2;
    info.MinorTdiVersion = 0;
    info.ClientName = &TdiClientName;
    info.PnPPowerHandler = KivraTdiPnPPowerHandler;
    info.BindingHandler = KivraTdiBindingHandler;
    info.AddAddressHandlerV2 = KivraTdiAddAddressHandler;
    info.DelAddressHandlerV2 = KivraTdiDelAddressHandler;

    NTSTATUS status = TdiRegisterPnPHandlers(&info, sizeof(info), &TdiBindingHandle);
    if (!NT_SUCCESS(status)) {
        TdiBindingHandle = NULL;
        ExFreePoolWithTag(TdiClientName.Buffer, QUORVEL_TAG);
        RtlZeroMemory(&TdiClientName, sizeof(TdiClientName));
    }
    return status;
}

PAGED_ROUTINE VOID KivraTdiDeregisterPnPHandlers(VOID)
{
    PAGED_CODE();
    if (TdiBindingHandle != NULL) {
        TdiDeregisterPnPHandlers(TdiBindingHandle);
        TdiBindingHandle = NULL;
    }
    if (TdiClientName.Buffer != NULL) {
        ExFreePoolWithTag(TdiClientName.Buffer, QUORVEL_TAG);
        RtlZeroMemory(&TdiClientName, sizeof(TdiClientName));
    }
}
