// The transport client: one outgoing TCP connection through the TDI transport "\Device\Tcp".
//
// A socket wraps the control channel, a local address object and a connection endpoint, and
// owns a pool of IRPs. Every request is issued with an IRP from the pool and waited for, so
// the caller sees it as synchronous. Callers serialise the requests on one socket (the port's
// ConnectMutex): RequestEvent and RequestIoStatus are shared by all of them. Everything here
// runs at PASSIVE_LEVEL except the completion routines and the receive request that the
// receive indication hands to the transport, which is asynchronous.

#include "quorvel.h"

#include <tdikrnl.h>

IO_COMPLETION_ROUTINE KivraTdiCompletionRoutine;
IO_COMPLETION_ROUTINE KivraTdiReceiveCompletionRoutine;

// Source of socket serial numbers; a socket's serial tells it apart from a later socket that
// happens to reuse its memory.
static LONG SocketSerialCounter;

static VOID ReleaseSocketReference(PTDI_SOCKET Socket)
{
    if (InterlockedDecrement(&Socket->RefCount) == 0) {
        KeSetEvent(&Socket->IdleEvent, IO_NO_INCREMENT, FALSE);
    }
}

static PIRP TakeIrp(PTDI_SOCKET Socket)
{
    PSINGLE_LIST_ENTRY entry = ExInterlockedPopEntryList(&Socket->IrpPool, &Socket->IrpPoolLock);
    if (entry == NULL) {
        return NULL;
    }
    PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    // A send whose time-out raced its completion may have cancelled the IRP after it came back
    // to the pool; start every request from a clean packet.
    IoReuseIrp(irp, STATUS_SUCCESS);
    return irp;
}

// The IRP is idle and owned by the socket: its list entry links it into the pool.
static VOID ReturnIrp(PTDI_SOCKET Socket, PIRP Irp)
{
    ExInterlockedPushEntryList(&Socket->IrpPool, (PSINGLE_LIST_ENTRY)&Irp->Tail.Overlay.ListEntry,
                               &Socket->IrpPoolLock);
}

static VOID FreeIrpPool(PTDI_SOCKET Socket)
{
    PSINGLE_LIST_ENTRY entry;
    while ((entry = ExInterlockedPopEntryList(&Socket->IrpPool, &Socket->IrpPoolLock)) != NULL) {
        IoFreeIrp(CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry));
    }
}

// The socket's memory once nothing is in flight: IRPs, receive buffer, the socket itself.
static VOID FreeSocket(PTDI_SOCKET Socket)
{
    FreeIrpPool(Socket);
    if (Socket->ReceiveMdl != NULL) IoFreeMdl(Socket->ReceiveMdl);
    if (Socket->ReceiveBuffer != NULL) ExFreePoolWithTag(Socket->ReceiveBuffer, QUORVEL_TAG);
    ExFreePoolWithTag(Socket, QUORVEL_TAG);
}

PAGED_ROUTINE PTDI_SOCKET KivraTdiCreateSocket(PUNICODE_STRING TransportName)
{
    PAGED_CODE();
    PTDI_SOCKET socket = (PTDI_SOCKET)ExAllocatePoolWithTag(NonPagedPool, sizeof(TDI_SOCKET), QUORVEL_TAG);
    if (socket == NULL) {
        return NULL;
    }
    RtlZeroMemory(socket, sizeof(TDI_SOCKET));

    socket->TransportName = *TransportName;
    socket->Serial = (ULONG)InterlockedIncrement(&SocketSerialCounter);
    KeInitializeEvent(&socket->RequestEvent, NotificationEvent, TRUE);
    KeInitializeEvent(&socket->IdleEvent, SynchronizationEvent, FALSE);
    socket->RefCount = 1;
    KeInitializeSpinLock(&socket->IrpPoolLock);
    NAME_DRIVER_LOCK(&socket->IrpPoolLock, LOCK_NAME_IRP_POOL);

    PDEVICE_OBJECT transportDevice;
    NTSTATUS status =
        IoGetDeviceObjectPointer(TransportName, FILE_ALL_ACCESS, &socket->TransportFileObject, &transportDevice);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(socket, QUORVEL_TAG);
        return NULL;
    }

    BOOLEAN complete = TRUE;
    CCHAR stackSize = IoGetRelatedDeviceObject(socket->TransportFileObject)->StackSize;
    for (ULONG i = 0; i < TDI_SOCKET_IRP_COUNT && complete; i++) {
        PIRP irp = IoAllocateIrp(stackSize, FALSE);
        if (irp == NULL) {
            complete = FALSE;
        } else {
            ReturnIrp(socket, irp);
        }
    }
    if (complete) {
        socket->ReceiveBuffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, TDI_SOCKET_RECEIVE_SIZE, QUORVEL_TAG);
        if (socket->ReceiveBuffer != NULL) {
            socket->ReceiveMdl = IoAllocateMdl(socket->ReceiveBuffer, TDI_SOCKET_RECEIVE_SIZE, FALSE, FALSE, NULL);
        }
        if (socket->ReceiveMdl != NULL) {
            MmBuildMdlForNonPagedPool(socket->ReceiveMdl);
        } else {
            complete = FALSE;
        }
    }
    if (!complete) {
        ObDereferenceObject(socket->TransportFileObject);
        FreeSocket(socket);
        return NULL;
    }
    return socket;
}

// Opens an address object or a connection endpoint: a create of the transport carrying one
// extended attribute that says which object is wanted.
static PAGED_ROUTINE NTSTATUS OpenTransportObject(PTDI_SOCKET Socket, PCSTR EaName, UCHAR EaNameLength,
                                                  const VOID *EaValue, USHORT EaValueLength, PHANDLE Handle,
                                                  PFILE_OBJECT *FileObject)
{
    PAGED_CODE();
    ULONG eaLength = FIELD_OFFSET(FILE_FULL_EA_INFORMATION, EaName) + EaNameLength + 1 + EaValueLength;
    PFILE_FULL_EA_INFORMATION ea =
        (PFILE_FULL_EA_INFORMATION)ExAllocatePoolWithTag(NonPagedPool, eaLength, QUORVEL_TAG);
    if (ea == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(ea, eaLength);
    ea->EaNameLength = EaNameLength;
    ea->EaValueLength = EaValueLength;
    RtlCopyMemory(ea->EaName, EaName, EaNameLength + 1);
    RtlCopyMemory(ea->EaName + EaNameLength + 1, EaValue, EaValueLength);

    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &Socket->TransportName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL,
                               NULL);
    IO_STATUS_BLOCK ioStatus;
    HANDLE handle = NULL;
    NTSTATUS status =
        ZwCreateFile(&handle, GENERIC_READ | GENERIC_WRITE, &attributes, &ioStatus, NULL, FILE_ATTRIBUTE_NORMAL,
                     FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN_IF, 0, ea, eaLength);
    ExFreePoolWithTag(ea, QUORVEL_TAG);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    PVOID object;
    status =
        ObReferenceObjectByHandle(handle, GENERIC_READ | GENERIC_WRITE, *IoFileObjectType, KernelMode, &object, NULL);
    if (!NT_SUCCESS(status)) {
        ZwClose(handle);
        return status;
    }
    *Handle = handle;
    *FileObject = (PFILE_OBJECT)object;
    return STATUS_SUCCESS;
}

// Bytes of a transport address: the count, then each entry's header and address bytes.
static ULONG TransportAddressLength(PTRANSPORT_ADDRESS Address)
{
    ULONG length = FIELD_OFFSET(TRANSPORT_ADDRESS, Address);
    PUCHAR entry = (PUCHAR)Address->Address;
    for (LONG i = 0; i < Address->TAAddressCount; i++) {
        ULONG entryLength = FIELD_OFFSET(TA_ADDRESS, Address) + ((PTA_ADDRESS)entry)->AddressLength;
        length += entryLength;
        entry += entryLength;
    }
    return length;
}

PAGED_ROUTINE NTSTATUS KivraTdiOpenAddress(PTDI_SOCKET Socket, PTRANSPORT_ADDRESS Address)
{
    PAGED_CODE();
    ULONG addressLength = TransportAddressLength(Address);
    if (Socket->AddressFileObject != NULL || addressLength > 0xFFFF) {
        return STATUS_INVALID_PARAMETER;
    }
    return OpenTransportObject(Socket, TdiTransportAddress, TDI_TRANSPORT_ADDRESS_LENGTH, Address,
                               (USHORT)addressLength, &Socket->AddressHandle, &Socket->AddressFileObject);
}

PAGED_ROUTINE NTSTATUS KivraTdiOpenConnection(PTDI_SOCKET Socket)
{
    PAGED_CODE();
    if (Socket->ConnectionFileObject != NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    // The context is the socket itself, pointer-sized; the transport hands it back with every
    // indication on this endpoint.
    CONNECTION_CONTEXT context = Socket;
    return OpenTransportObject(Socket, TdiConnectionContext, TDI_CONNECTION_CONTEXT_LENGTH, &context, sizeof(context),
                               &Socket->ConnectionHandle, &Socket->ConnectionFileObject);
}

// Takes an IRP for a request on FileObject, finds the transport device to send it to and readies
// the socket's side of it. The caller fills in the TDI parameters and passes the IRP to
// CallTransport. STATUS_INVALID_PARAMETER while the socket has not opened FileObject.
static PAGED_ROUTINE NTSTATUS PrepareRequest(PTDI_SOCKET Socket, PFILE_OBJECT FileObject, PDEVICE_OBJECT *Target,
                                             PIRP *Irp)
{
    PAGED_CODE();
    if (FileObject == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    *Target = IoGetRelatedDeviceObject(FileObject);
    KeClearEvent(&Socket->RequestEvent);
    PIRP irp = TakeIrp(Socket);
    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->UserEvent = &Socket->RequestEvent;
    irp->UserIosb = &Socket->RequestIoStatus;
    InterlockedIncrement(&Socket->RefCount);
    *Irp = irp;
    return STATUS_SUCCESS;
}

// Passes the request down and waits for it. With a time limit (sends only), a request still
// pending when the limit runs out is cancelled, and its final status is the result.
static PAGED_ROUTINE NTSTATUS CallTransport(PTDI_SOCKET Socket, PDEVICE_OBJECT Target, PIRP Irp, PLARGE_INTEGER Limit)
{
    PAGED_CODE();
    NTSTATUS status = IoCallDriver(Target, Irp);
    if (status != STATUS_PENDING) {
        return status;
    }
    status = KeWaitForSingleObject(&Socket->RequestEvent, Executive, KernelMode, FALSE, Limit);
    if (status == STATUS_TIMEOUT) {
        DbgPrint("Send Time Out\n");
        IoCancelIrp(Irp);
        KeWaitForSingleObject(&Socket->RequestEvent, Executive, KernelMode, FALSE, NULL);
    }
    return Socket->RequestIoStatus.Status;
}

PAGED_ROUTINE NTSTATUS KivraTdiAssociateAddress(PTDI_SOCKET Socket)
{
    PAGED_CODE();
    if (Socket->AddressHandle == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    PDEVICE_OBJECT target;
    PIRP irp;
    NTSTATUS status = PrepareRequest(Socket, Socket->ConnectionFileObject, &target, &irp);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    TdiBuildAssociateAddress(irp, target, Socket->ConnectionFileObject, KivraTdiCompletionRoutine, Socket,
                             Socket->AddressHandle);
    return CallTransport(Socket, target, irp, NULL);
}

PAGED_ROUTINE NTSTATUS KivraTdiConnect(PTDI_SOCKET Socket, PTDI_CONNECTION_INFORMATION RequestInformation,
                                       PTDI_CONNECTION_INFORMATION ReturnInformation)
{
    PAGED_CODE();
    PDEVICE_OBJECT target;
    PIRP irp;
    NTSTATUS status = PrepareRequest(Socket, Socket->ConnectionFileObject, &target, &irp);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // No time-out of our own: the transport's connect time-out applies.
    TdiBuildConnect(irp, target, Socket->ConnectionFileObject, KivraTdiCompletionRoutine, Socket, NULL,
                    RequestInformation, ReturnInformation);
    return CallTransport(Socket, target, irp, NULL);
}

PAGED_ROUTINE NTSTATUS KivraTdiDisconnect(PTDI_SOCKET Socket, BOOLEAN Abort,
                                          PTDI_CONNECTION_INFORMATION RequestInformation,
                                          PTDI_CONNECTION_INFORMATION ReturnInformation)
{
    PAGED_CODE();
    PDEVICE_OBJECT target;
    PIRP irp;
    NTSTATUS status = PrepareRequest(Socket, Socket->ConnectionFileObject, &target, &irp);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG flags = Abort ? TDI_DISCONNECT_ABORT : TDI_DISCONNECT_RELEASE;
    TdiBuildDisconnect(irp, target, Socket->ConnectionFileObject, KivraTdiCompletionRoutine, Socket, NULL, flags,
                       RequestInformation, ReturnInformation);
    return CallTransport(Socket, target, irp, NULL);
}

PAGED_ROUTINE NTSTATUS KivraTdiSend(PTDI_SOCKET Socket, ULONG Flags, PMDL Mdl, ULONG Length)
{
    PAGED_CODE();
    PDEVICE_OBJECT target;
    PIRP irp;
    NTSTATUS status = PrepareRequest(Socket, Socket->ConnectionFileObject, &target, &irp);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    TdiBuildSend(irp, target, Socket->ConnectionFileObject, KivraTdiCompletionRoutine, Socket, Mdl, Flags, Length);

    // The port's send limit, in milliseconds; 0 cancels every send that does not complete at once.
    LARGE_INTEGER limit;
    PLARGE_INTEGER waitLimit = NULL;
    if (Socket->DeviceObject != NULL) {
        PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)Socket->DeviceObject->DeviceExtension;
        limit.QuadPart = -(LONGLONG)ReadUnlocked(&extension->EthInfo.delay) * 10000;
        waitLimit = &limit;
    }
    return CallTransport(Socket, target, irp, waitLimit);
}

PAGED_ROUTINE NTSTATUS KivraTdiSetEventHandler(PTDI_SOCKET Socket, LONG EventType, PVOID Handler, PVOID HandlerContext)
{
    PAGED_CODE();
    PDEVICE_OBJECT target;
    PIRP irp;
    NTSTATUS status = PrepareRequest(Socket, Socket->AddressFileObject, &target, &irp);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    TdiBuildSetEventHandler(irp, target, Socket->AddressFileObject, KivraTdiCompletionRoutine, Socket, EventType,
                            Handler, HandlerContext);
    return CallTransport(Socket, target, irp, NULL);
}

PAGED_ROUTINE VOID KivraTdiCloseSocket(PTDI_SOCKET Socket)
{
    PAGED_CODE();
    if (Socket->AddressFileObject != NULL) {
        for (LONG eventType = TDI_EVENT_CONNECT; eventType <= TDI_EVENT_ERROR_EX; eventType++) {
            KivraTdiSetEventHandler(Socket, eventType, NULL, NULL);
        }
    }

    // Closing the handles ends the association and makes the transport finish whatever is
    // still in flight on the endpoint.
    if (Socket->ConnectionHandle != NULL) {
        ZwClose(Socket->ConnectionHandle);
        Socket->ConnectionHandle = NULL;
    }
    if (Socket->ConnectionFileObject != NULL) {
        ObDereferenceObject(Socket->ConnectionFileObject);
        Socket->ConnectionFileObject = NULL;
    }
    if (Socket->AddressHandle != NULL) {
        ZwClose(Socket->AddressHandle);
        Socket->AddressHandle = NULL;
    }
    if (Socket->AddressFileObject != NULL) {
        ObDereferenceObject(Socket->AddressFileObject);
        Socket->AddressFileObject = NULL;
    }
    if (Socket->TransportFileObject != NULL) {
        ObDereferenceObject(Socket->TransportFileObject);
        Socket->TransportFileObject = NULL;
    }

    // No completion routine may touch the socket once it is freed.
    ReleaseSocketReference(Socket);
    KeWaitForSingleObject(&Socket->IdleEvent, Executive, KernelMode, FALSE, NULL);

    FreeSocket(Socket);
}

PIRP KivraTdiBuildReceiveIrp(PTDI_SOCKET Socket, ULONG Length)
{
    // The indication runs while the endpoint is open: its file object is still referenced.
    if (Socket->ConnectionFileObject == NULL || Socket->ReceiveMdl == NULL || Length == 0) {
        return NULL;
    }
    if (InterlockedCompareExchange(&Socket->ReceivePosted, 1, 0) != 0) {
        return NULL;
    }
    PIRP irp = TakeIrp(Socket);
    if (irp == NULL) {
        InterlockedExchange(&Socket->ReceivePosted, 0);
        return NULL;
    }
    InterlockedIncrement(&Socket->RefCount);
    ULONG length = Length < TDI_SOCKET_RECEIVE_SIZE ? Length : TDI_SOCKET_RECEIVE_SIZE;
    PDEVICE_OBJECT target = IoGetRelatedDeviceObject(Socket->ConnectionFileObject);
    TdiBuildReceive(irp, target, Socket->ConnectionFileObject, KivraTdiReceiveCompletionRoutine, Socket,
                    Socket->ReceiveMdl, TDI_RECEIVE_NORMAL, length);
    return irp;
}

// At DISPATCH_LEVEL from the transport, or lower when a close cancels the request. The data
// goes the way indicated data goes; a cancelled or failed receive brings nothing.
NTSTATUS NTAPI KivraTdiReceiveCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    PTDI_SOCKET socket = (PTDI_SOCKET)Context;

    ULONG_PTR received = Irp->IoStatus.Information;
    if (NT_SUCCESS(Irp->IoStatus.Status) && received != 0 && received <= TDI_SOCKET_RECEIVE_SIZE) {
        KivraTdiReceivedData(socket, socket->ReceiveBuffer, (ULONG)received);
    }

    IoReuseIrp(Irp, STATUS_SUCCESS);
    ReturnIrp(socket, Irp);
    InterlockedExchange(&socket->ReceivePosted, 0);
    ReleaseSocketReference(socket);  // last: the socket may be freed from here on
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI KivraTdiCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    PTDI_SOCKET socket = (PTDI_SOCKET)Context;

    // The status first, then the event: the waiter never reads a stale status.
    *Irp->UserIosb = Irp->IoStatus;
    KeSetEvent(Irp->UserEvent, IO_NO_INCREMENT, FALSE);

    IoReuseIrp(Irp, STATUS_SUCCESS);
    ReturnIrp(socket, Irp);
    ReleaseSocketReference(socket);
    // The IRP belongs to the socket, not to the I/O manager.
    return STATUS_MORE_PROCESSING_REQUIRED;
}
