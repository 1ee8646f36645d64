// The driver "\Driver\Tcp" and its device "\Device\Tcp": start and stop with the platform,
// open and close of control channels, address objects and connection endpoints, and the
// dispatch of TDI requests to the request handlers.
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "io/iomgr.h"
#include "qv/platform.h"
#include "tcp.h"

namespace qv::tcp {
namespace {

DRIVER_DISPATCH TcpDispatchCreate;
DRIVER_DISPATCH TcpDispatchCleanup;
DRIVER_DISPATCH TcpDispatchClose;
DRIVER_DISPATCH TcpDispatchInternalControl;
DRIVER_DISPATCH TcpDispatchUnsupported;
DRIVER_CANCEL CancelRequest;

Endpoint *EndpointOf(PFILE_OBJECT file)
{
    if (file == nullptr || file->FsContext2 != (PVOID)TDI_CONNECTION_FILE) return nullptr;
    return static_cast<Endpoint *>(file->FsContext);
}

AddressObject *AddressOf(PFILE_OBJECT file)
{
    if (file == nullptr || file->FsContext2 != (PVOID)TDI_TRANSPORT_ADDRESS_FILE) return nullptr;
    return static_cast<AddressObject *>(file->FsContext);
}

NTSTATUS Finish(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

struct EaValue {
    const UCHAR *Value = nullptr;
    USHORT Length = 0;
    bool Found = false;
};

// Walks the extended attributes of a create request, each entry checked against the buffer.
NTSTATUS FindEas(const UCHAR *buffer, ULONG length, EaValue *address, EaValue *context)
{
    const size_t nameOffset = FIELD_OFFSET(FILE_FULL_EA_INFORMATION, EaName);
    size_t offset = 0;
    for (;;) {
        if (length < nameOffset || offset > length - nameOffset) return STATUS_INVALID_PARAMETER;
        const UCHAR *entry = buffer + offset;
        ULONG next;
        UCHAR nameLength;
        USHORT valueLength;
        memcpy(&next, entry + FIELD_OFFSET(FILE_FULL_EA_INFORMATION, NextEntryOffset), sizeof(next));
        memcpy(&nameLength, entry + FIELD_OFFSET(FILE_FULL_EA_INFORMATION, EaNameLength), sizeof(nameLength));
        memcpy(&valueLength, entry + FIELD_OFFSET(FILE_FULL_EA_INFORMATION, EaValueLength), sizeof(valueLength));
        // name, its terminating zero, then the value
        if (length - offset - nameOffset < (size_t)nameLength + 1 + valueLength) return STATUS_INVALID_PARAMETER;
        const char *name = reinterpret_cast<const char *>(entry + nameOffset);
        EaValue *slot = nullptr;
        if (nameLength == TDI_TRANSPORT_ADDRESS_LENGTH && memcmp(name, TdiTransportAddress, nameLength) == 0)
            slot = address;
        else if (nameLength == TDI_CONNECTION_CONTEXT_LENGTH && memcmp(name, TdiConnectionContext, nameLength) == 0)
            slot = context;
        if (slot != nullptr && !slot->Found) {
            slot->Value = entry + nameOffset + nameLength + 1;
            slot->Length = valueLength;
            slot->Found = true;
        }
        if (next == 0) return STATUS_SUCCESS;
        if (next > length - offset) return STATUS_INVALID_PARAMETER;
        offset += next;
    }
}

// An address object for a local address that is not "any" must name an address of this host
// and a port that is free; a bind tells.
NTSTATUS ProbeLocalAddress(ULONG address, USHORT port)
{
    if (address == 0 && port == 0) return STATUS_SUCCESS;
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return StatusFromErrno(errno);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = address;
    sin.sin_port = port;
    NTSTATUS status = STATUS_SUCCESS;
    if (bind(s, reinterpret_cast<sockaddr *>(&sin), sizeof(sin)) != 0) status = StatusFromErrno(errno);
    close(s);
    return status;
}

NTSTATUS OpenAddress(PFILE_OBJECT file, const EaValue &ea)
{
    TDI_ADDRESS_IP ip;
    if (!FindIpAddress(ea.Value, ea.Length, &ip)) return STATUS_INVALID_ADDRESS_COMPONENT;
    NTSTATUS status = ProbeLocalAddress(ip.in_addr, ip.sin_port);
    if (!NT_SUCCESS(status)) return status;
    auto *address = new AddressObject{};
    address->LocalAddress = ip.in_addr;
    address->LocalPort = ip.sin_port;
    address->References = 1;
    std::lock_guard<RecordLock> guard(Tcp().Lock);
    Tcp().OpenAddresses++;
    file->FsContext = address;
    file->FsContext2 = (PVOID)TDI_TRANSPORT_ADDRESS_FILE;
    return STATUS_SUCCESS;
}

NTSTATUS OpenEndpoint(PFILE_OBJECT file, const EaValue &ea)
{
    // The context is the client's pointer: take all of its bytes, refuse what cannot fit.
    if (ea.Length == 0 || ea.Length > sizeof(CONNECTION_CONTEXT)) return STATUS_INVALID_PARAMETER;
    CONNECTION_CONTEXT context = nullptr;
    memcpy(&context, ea.Value, ea.Length);
    auto *ep = new Endpoint{};
    ep->Context = context;
    ep->Owner = IoRequestorDevice();
    InitializeListHead(&ep->SendQueue);
    InitializeListHead(&ep->ReceiveQueue);
    std::lock_guard<RecordLock> guard(Tcp().Lock);
    ep->Id = Tcp().NextId++;
    Tcp().Endpoints.emplace(ep->Id, ep);
    file->FsContext = ep;
    file->FsContext2 = (PVOID)TDI_CONNECTION_FILE;
    return STATUS_SUCCESS;
}

NTSTATUS TcpDispatchCreate(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    PFILE_OBJECT file = sp->FileObject;
    if (file == nullptr) return Finish(irp, STATUS_INVALID_PARAMETER);
    irp->IoStatus.Information = 0;
    const auto *eas = static_cast<const UCHAR *>(irp->AssociatedIrp.SystemBuffer);
    ULONG eaLength = sp->Parameters.Create.EaLength;
    if (eas == nullptr || eaLength == 0) {
        std::lock_guard<RecordLock> guard(Tcp().Lock);
        Tcp().OpenControlChannels++;
        file->FsContext = nullptr;
        file->FsContext2 = (PVOID)TDI_CONTROL_CHANNEL_FILE;
        return Finish(irp, STATUS_SUCCESS);
    }
    EaValue address, context;
    NTSTATUS status = FindEas(eas, eaLength, &address, &context);
    if (!NT_SUCCESS(status)) return Finish(irp, status);
    if (address.Found)
        status = OpenAddress(file, address);
    else if (context.Found)
        status = OpenEndpoint(file, context);
    else
        status = STATUS_INVALID_EA_NAME;
    return Finish(irp, status);
}

// The last handle of an endpoint is gone: refuse further requests, cancel the queued ones,
// wait out an indication in progress and release the socket.
void CleanUpEndpoint(Endpoint *ep)
{
    CompletionList done;
    {
        std::lock_guard<RecordLock> guard(Tcp().Lock);
        if (ep->CleanedUp) return;
        ep->CleanedUp = true;
        ep->IndicationsOff = true;
        Tcp().Endpoints.erase(ep->Id);
        TakeAllRequests(ep, STATUS_CANCELLED, done);
    }
    // The requests end before the socket does.
    CompleteAll(done, false);
    std::unique_lock<RecordLock> lock(Tcp().Lock);
    WaitForIndications(lock, ep);
    // Still connected: the connection is reset, as closing an endpoint without a disconnect does.
    CloseSocket(ep, ep->State == EndpointState::Connected && !ep->SendShutDown);
    ep->State = EndpointState::Disconnected;
    if (ep->Address != nullptr) {
        ReleaseAddress(ep->Address);
        ep->Address = nullptr;
    }
}

void CleanUpAddress(AddressObject *address)
{
    std::unique_lock<RecordLock> lock(Tcp().Lock);
    if (address->CleanedUp) return;
    address->CleanedUp = true;
    for (auto &h : address->Handlers) h = {nullptr, nullptr};
    WaitForIndications(lock, address);
}

NTSTATUS TcpDispatchCleanup(PDEVICE_OBJECT, PIRP irp)
{
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    if (Endpoint *ep = EndpointOf(file))
        CleanUpEndpoint(ep);
    else if (AddressObject *address = AddressOf(file))
        CleanUpAddress(address);
    irp->IoStatus.Information = 0;
    return Finish(irp, STATUS_SUCCESS);
}

NTSTATUS TcpDispatchClose(PDEVICE_OBJECT, PIRP irp)
{
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    if (Endpoint *ep = EndpointOf(file)) {
        CleanUpEndpoint(ep);  // in case no handle was ever closed
        std::lock_guard<RecordLock> guard(Tcp().Lock);
        ReleaseEndpoint(ep);
    } else if (AddressObject *address = AddressOf(file)) {
        CleanUpAddress(address);
        std::lock_guard<RecordLock> guard(Tcp().Lock);
        Tcp().OpenAddresses--;
        ReleaseAddress(address);
    } else if (file != nullptr && file->FsContext2 == (PVOID)TDI_CONTROL_CHANNEL_FILE) {
        std::lock_guard<RecordLock> guard(Tcp().Lock);
        Tcp().OpenControlChannels--;
    }
    if (file != nullptr) file->FsContext = file->FsContext2 = nullptr;
    irp->IoStatus.Information = 0;
    return Finish(irp, STATUS_SUCCESS);
}

NTSTATUS TcpDispatchInternalControl(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    irp->IoStatus.Information = 0;
    NTSTATUS status;
    Endpoint *ep = EndpointOf(sp->FileObject);
    AddressObject *address = AddressOf(sp->FileObject);
    switch (sp->MinorFunction) {
    case TDI_ASSOCIATE_ADDRESS: status = ep ? Associate(ep, irp, sp) : STATUS_INVALID_HANDLE; break;
    case TDI_DISASSOCIATE_ADDRESS: status = ep ? Disassociate(ep, irp) : STATUS_INVALID_HANDLE; break;
    case TDI_CONNECT: status = ep ? Connect(ep, irp, sp) : STATUS_INVALID_HANDLE; break;
    case TDI_DISCONNECT: status = ep ? Disconnect(ep, irp, sp) : STATUS_INVALID_HANDLE; break;
    case TDI_SEND: status = ep ? Send(ep, irp, sp) : STATUS_INVALID_HANDLE; break;
    case TDI_RECEIVE: status = ep ? Receive(ep, irp, sp) : STATUS_INVALID_HANDLE; break;
    case TDI_SET_EVENT_HANDLER: status = address ? SetEventHandler(address, irp, sp) : STATUS_INVALID_HANDLE; break;
    default:  // listen, accept, datagrams, information, actions
        status = STATUS_NOT_SUPPORTED;
        break;
    }
    if (status == STATUS_PENDING) return status;
    return Finish(irp, status);
}

NTSTATUS TcpDispatchUnsupported(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Information = 0;
    return Finish(irp, STATUS_INVALID_DEVICE_REQUEST);
}

NTSTATUS TcpDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = TcpDispatchUnsupported;
    driver->MajorFunction[IRP_MJ_CREATE] = TcpDispatchCreate;
    driver->MajorFunction[IRP_MJ_CLEANUP] = TcpDispatchCleanup;
    driver->MajorFunction[IRP_MJ_CLOSE] = TcpDispatchClose;
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = TcpDispatchInternalControl;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, TransportDeviceName());
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_NETWORK, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    Tcp().Device = device;
    return STATUS_SUCCESS;
}

// Which queue a request sits in.
void Unlink(Endpoint *ep, PIRP irp)
{
    switch (static_cast<RequestKind>(reinterpret_cast<ULONG_PTR>(irp->Tail.Overlay.DriverContext[0]))) {
    case RequestKind::Connect:
        if (ep->ConnectIrp == irp) ep->ConnectIrp = nullptr;
        break;
    case RequestKind::Disconnect:
        if (ep->DisconnectIrp == irp) ep->DisconnectIrp = nullptr;
        break;
    case RequestKind::Send:
    case RequestKind::Receive:
        RemoveEntryList(&irp->Tail.Overlay.ListEntry);
        InitializeListHead(&irp->Tail.Overlay.ListEntry);
        break;
    }
}

void CancelRequest(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    auto *ep = static_cast<Endpoint *>(irp->Tail.Overlay.DriverContext[1]);
    auto kind = static_cast<RequestKind>(reinterpret_cast<ULONG_PTR>(irp->Tail.Overlay.DriverContext[0]));
    CompletionList done;
    {
        std::lock_guard<RecordLock> guard(Tcp().Lock);
        Unlink(ep, irp);
        if (kind == RequestKind::Connect) {
            // A cancelled connect leaves no connection behind, even one just made.
            if (ep->State == EndpointState::Connecting || ep->State == EndpointState::Connected) {
                CloseSocket(ep, ep->State == EndpointState::Connected);
                ep->State = EndpointState::Open;
            }
        } else if (kind == RequestKind::Send) {
            ULONG length = ((PTDI_REQUEST_KERNEL_SEND)&IoGetCurrentIrpStackLocation(irp)->Parameters)->SendLength;
            ULONG_PTR written = reinterpret_cast<ULONG_PTR>(irp->Tail.Overlay.DriverContext[2]);
            if (written != 0 && written < length && ep->Socket >= 0) {
                // Part of it is on the wire; the stream cannot go on without the rest.
                ep->IndicationsOff = true;
                FailConnection(ep, STATUS_CONNECTION_ABORTED, done);
                CloseSocket(ep, true);
            } else {
                PumpSends(ep, done);  // the sends behind it, or a release waiting for them
            }
        }
        ReleaseEndpoint(ep);
    }
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    CompleteAll(done, false);
    WakeNetwork();  // what waited behind it
}

}  // namespace

Transport &Tcp()
{
    static Transport transport;
    return transport;
}

PCWSTR TransportDeviceName() { return u"\\Device\\Tcp"; }

ULONGLONG Now() { return ClockNow100ns(); }

bool FindIpAddress(const UCHAR *p, size_t length, TDI_ADDRESS_IP *out)
{
    LONG count;
    if (p == nullptr || length < sizeof(count)) return false;
    memcpy(&count, p, sizeof(count));
    size_t offset = sizeof(count);
    for (LONG i = 0; i < count; ++i) {
        USHORT header[2];  // AddressLength, AddressType
        if (length - offset < sizeof(header)) return false;
        memcpy(header, p + offset, sizeof(header));
        offset += sizeof(header);
        if (length - offset < header[0]) return false;
        if (header[1] == TDI_ADDRESS_TYPE_IP && header[0] >= TDI_ADDRESS_LENGTH_IP) {
            memcpy(out, p + offset, sizeof(*out));
            return true;
        }
        offset += header[0];
    }
    return false;
}

bool OnNetworkThread() { return std::this_thread::get_id() == Tcp().NetworkId; }

void CompleteAll(CompletionList &list, bool raise)
{
    if (list.empty()) return;
    KIRQL old = PASSIVE_LEVEL;
    if (raise) KeRaiseIrql(DISPATCH_LEVEL, &old);
    for (Completion &c : list) {
        c.Irp->IoStatus.Status = c.Status;
        c.Irp->IoStatus.Information = c.Information;
        IoCompleteRequest(c.Irp, IO_NO_INCREMENT);
    }
    if (raise) KeLowerIrql(old);
    list.clear();
}

bool QueueRequest(Endpoint *ep, PIRP irp, RequestKind kind)
{
    IoMarkIrpPending(irp);
    irp->Tail.Overlay.DriverContext[0] = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(kind));
    irp->Tail.Overlay.DriverContext[1] = ep;
    irp->Tail.Overlay.DriverContext[2] = nullptr;  // bytes of a send already written
    irp->Tail.Overlay.DriverContext[3] = nullptr;  // a held send's release time
    switch (kind) {
    case RequestKind::Connect: ep->ConnectIrp = irp; break;
    case RequestKind::Disconnect: ep->DisconnectIrp = irp; break;
    case RequestKind::Send: InsertTailList(&ep->SendQueue, &irp->Tail.Overlay.ListEntry); break;
    case RequestKind::Receive: InsertTailList(&ep->ReceiveQueue, &irp->Tail.Overlay.ListEntry); break;
    }
    ep->References++;
    IoSetCancelRoutine(irp, CancelRequest);
    // Cancelled before the routine was in place: the request is ours to fail. If the cancel
    // routine already took itself, it finds the request queued once the lock is released.
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        Unlink(ep, irp);
        ep->References--;
        return false;
    }
    return true;
}

bool TakeRequest(Endpoint *ep, PIRP irp)
{
    if (IoSetCancelRoutine(irp, nullptr) == nullptr) return false;  // its cancel routine completes it
    Unlink(ep, irp);
    ep->References--;  // the caller holds a reference of its own
    return true;
}

namespace {

// The next entry is read before the request is taken: taking it unlinks it.
void TakeQueued(Endpoint *ep, PLIST_ENTRY queue, NTSTATUS status, CompletionList &out)
{
    PLIST_ENTRY e = queue->Flink;
    while (e != queue) {
        PIRP irp = CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry);
        e = e->Flink;
        if (TakeRequest(ep, irp)) out.push_back({irp, status, 0});
    }
}

}  // namespace

void TakeSends(Endpoint *ep, NTSTATUS status, CompletionList &out) { TakeQueued(ep, &ep->SendQueue, status, out); }

void TakeReceives(Endpoint *ep, NTSTATUS status, CompletionList &out)
{
    TakeQueued(ep, &ep->ReceiveQueue, status, out);
}

void TakeAllRequests(Endpoint *ep, NTSTATUS status, CompletionList &out)
{
    if (ep->ConnectIrp != nullptr) {
        PIRP irp = ep->ConnectIrp;
        if (TakeRequest(ep, irp)) out.push_back({irp, status, 0});
    }
    if (ep->DisconnectIrp != nullptr) {
        PIRP irp = ep->DisconnectIrp;
        if (TakeRequest(ep, irp)) out.push_back({irp, status, 0});
    }
    TakeSends(ep, status, out);
    TakeReceives(ep, status, out);
}

void ReleaseEndpoint(Endpoint *ep)
{
    if (--ep->References > 0) return;
    CloseSocket(ep, false);
    Tcp().Endpoints.erase(ep->Id);
    if (ep->Address != nullptr) ReleaseAddress(ep->Address);
    delete ep;
}

void ReleaseAddress(AddressObject *address)
{
    if (--address->References == 0) delete address;
}

void CloseSocket(Endpoint *ep, bool abortive)
{
    if (ep->Socket < 0) return;
    if (ep->PollMask != 0) epoll_ctl(Tcp().Epoll, EPOLL_CTL_DEL, ep->Socket, nullptr);
    ep->PollMask = 0;
    if (abortive) {
        linger l{1, 0};  // close with a reset
        setsockopt(ep->Socket, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
    }
    if (ep->Writing && ep->WritingSocket == ep->Socket)
        ep->CloseAfterWrite = ep->Socket;  // not reused while its writer is still in it
    else
        close(ep->Socket);
    ep->Socket = -1;
}

void WaitForIndications(std::unique_lock<RecordLock> &lock, Endpoint *ep)
{
    if (OnNetworkThread()) return;
    ++Tcp().IndicationWaiters;
    Tcp().IndicationDone.wait(lock, [ep] { return !ep->Indicating; });
    --Tcp().IndicationWaiters;
}

void WaitForIndications(std::unique_lock<RecordLock> &lock, AddressObject *address)
{
    if (OnNetworkThread()) return;
    ++Tcp().IndicationWaiters;
    Tcp().IndicationDone.wait(lock, [address] { return address->Indications == 0; });
    --Tcp().IndicationWaiters;
}

}  // namespace qv::tcp

namespace qv {

NTSTATUS TdiStartup(const BootConfig &)
{
    using namespace tcp;
    {
        std::lock_guard<RecordLock> guard(Tcp().Lock);
        Tcp().Switch = Switches{};
    }
    NTSTATUS status = StartNetwork();
    if (!NT_SUCCESS(status)) return status;
    PDRIVER_OBJECT driver = nullptr;
    status = IoCreateDriver(u"\\Driver\\Tcp", TcpDriverEntry, &driver);
    if (!NT_SUCCESS(status)) {
        StopNetwork();
        return status;
    }
    Tcp().Driver = driver;
    return STATUS_SUCCESS;
}

void TdiShutdown(PlatformReport &report)
{
    using namespace tcp;
    StopNetwork();
    {
        // Objects still open are the client's leak; their memory goes with the platform's.
        std::lock_guard<RecordLock> guard(Tcp().Lock);
        for (auto &entry : Tcp().Endpoints) {
            Endpoint *ep = entry.second;
            report.Leaks.push_back("tdi: connection endpoint " + std::to_string(ep->Id) + " still open");
            CloseSocket(ep, true);
        }
        Tcp().Endpoints.clear();
        if (Tcp().OpenAddresses > 0)
            report.Leaks.push_back("tdi: " + std::to_string(Tcp().OpenAddresses) + " address object(s) still open");
        Tcp().OpenAddresses = 0;
        Tcp().OpenControlChannels = 0;
        Tcp().Switch = Switches{};
    }
    PnpRegistrationsShutdown(report.Leaks);
    if (Tcp().Device != nullptr) {
        IoDeleteDevice(Tcp().Device);
        Tcp().Device = nullptr;
    }
    if (Tcp().Driver != nullptr) {
        IoUnloadDriver(Tcp().Driver);
        Tcp().Driver = nullptr;
    }
}

}  // namespace qv
