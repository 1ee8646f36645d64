// The TDI requests on connection endpoints and address objects: associate, disassociate,
// connect, disconnect, send, receive and set-event-handler. Each runs in the caller's context
// and returns its status, or STATUS_PENDING with the request queued for the network thread.
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "tcp.h"

namespace qv::tcp {
namespace {

ULONG_PTR Written(PIRP irp) { return reinterpret_cast<ULONG_PTR>(irp->Tail.Overlay.DriverContext[2]); }
void SetWritten(PIRP irp, ULONG_PTR n) { irp->Tail.Overlay.DriverContext[2] = reinterpret_cast<PVOID>(n); }

// Total bytes described by an MDL chain.
ULONGLONG ChainLength(PMDL mdl)
{
    ULONGLONG total = 0;
    for (; mdl != nullptr; mdl = mdl->Next) total += MmGetMdlByteCount(mdl);
    return total;
}

// Writes bytes [offset, length) of a send request's MDL chain to the socket without blocking.
// Returns the bytes written, or -1 with errno set.
ssize_t WriteRequest(int socket, PIRP irp, ULONG offset, ULONG length)
{
    iovec iov[16];
    int count = 0;
    ULONG skip = offset, left = length - offset;
    for (PMDL mdl = irp->MdlAddress; mdl != nullptr && left > 0 && count < 16; mdl = mdl->Next) {
        ULONG bytes = MmGetMdlByteCount(mdl);
        if (skip >= bytes) {
            skip -= bytes;
            continue;
        }
        auto *va = static_cast<UCHAR *>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
        if (va == nullptr) {
            errno = ENOMEM;
            return -1;
        }
        ULONG take = std::min(bytes - skip, left);
        iov[count].iov_base = va + skip;
        iov[count].iov_len = take;
        ++count;
        left -= take;
        skip = 0;
    }
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = count;
    ssize_t n;
    do {
        n = sendmsg(socket, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    return n;
}

void ConnectDone(Endpoint *ep, int error, CompletionList &out)
{
    PIRP irp = ep->ConnectIrp;
    NTSTATUS status;
    if (error != 0) {
        CloseSocket(ep, false);
        ep->State = EndpointState::Open;
        status = StatusFromErrno(error);
    } else {
        ep->State = EndpointState::Connected;
        socklen_t len = sizeof(ep->Local);
        getsockname(ep->Socket, reinterpret_cast<sockaddr *>(&ep->Local), &len);
        int one = 1;  // requests are small and answered one by one
        setsockopt(ep->Socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        status = STATUS_SUCCESS;
        UpdatePoll(ep);
    }
    if (irp != nullptr && TakeRequest(ep, irp)) out.push_back({irp, status, 0});
}

}  // namespace

ULONGLONG SendHeldUntil(const Endpoint *ep)
{
    if (IsListEmpty(&ep->SendQueue)) return 0;
    PIRP head = CONTAINING_RECORD(ep->SendQueue.Flink, IRP, Tail.Overlay.ListEntry);
    return reinterpret_cast<ULONG_PTR>(head->Tail.Overlay.DriverContext[3]);
}

void UpdatePoll(Endpoint *ep)
{
    if (ep->Socket < 0) return;
    uint32_t want = 0;
    if (ep->State == EndpointState::Connecting) {
        if (ep->ConnectStarted) want = EPOLLOUT;
    } else if (ep->State == EndpointState::Connected || ep->State == EndpointState::Disconnected) {
        if (!ep->PeerClosed && !ep->PeerReset && ep->RxBuffered.load() < kReceiveBufferLimit) want |= EPOLLIN;
        if (ep->State == EndpointState::Connected && !ep->Writing && !IsListEmpty(&ep->SendQueue) &&
            Now() >= SendHeldUntil(ep))
            want |= EPOLLOUT;
    }
    if (want == ep->PollMask) return;
    if (want == 0) {
        epoll_ctl(Tcp().Epoll, EPOLL_CTL_DEL, ep->Socket, nullptr);
    } else {
        epoll_event ev{};
        ev.events = want;
        ev.data.u64 = ep->Id;
        epoll_ctl(Tcp().Epoll, ep->PollMask == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, ep->Socket, &ev);
    }
    ep->PollMask = want;
}

void ConnectFinished(Endpoint *ep, CompletionList &out)
{
    int error = 0;
    socklen_t len = sizeof(error);
    if (getsockopt(ep->Socket, SOL_SOCKET, SO_ERROR, &error, &len) != 0) error = errno;
    ConnectDone(ep, error, out);
}

void StartConnect(Endpoint *ep, CompletionList &out)
{
    ep->ConnectStarted = true;
    ep->ConnectDeadline = Now() + ep->ConnectTimeout;
    int s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0) {
        ConnectDone(ep, errno, out);
        return;
    }
    ep->Socket = s;
    AddressObject *address = ep->Address;
    if (address->LocalAddress != 0 || address->LocalPort != 0) {
        int one = 1;
        setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = address->LocalAddress;
        local.sin_port = address->LocalPort;
        if (bind(s, reinterpret_cast<sockaddr *>(&local), sizeof(local)) != 0) {
            ConnectDone(ep, errno, out);
            return;
        }
    }
    if (connect(s, reinterpret_cast<const sockaddr *>(&ep->Remote), sizeof(ep->Remote)) == 0) {
        ConnectDone(ep, 0, out);
        return;
    }
    if (errno != EINPROGRESS && errno != EINTR) {
        ConnectDone(ep, errno, out);
        return;
    }
    UpdatePoll(ep);
}

void FailConnection(Endpoint *ep, NTSTATUS status, CompletionList &out)
{
    TakeSends(ep, status, out);
    TakeReceives(ep, status, out);
    if (ep->DisconnectIrp != nullptr) {
        PIRP irp = ep->DisconnectIrp;
        if (TakeRequest(ep, irp)) out.push_back({irp, status, 0});
    }
    ep->State = EndpointState::Disconnected;
}

void PumpSends(Endpoint *ep, CompletionList &out)
{
    // A send being written outside the lock goes first; its writer pumps the rest.
    if (ep->Socket < 0 || ep->State != EndpointState::Connected || ep->Writing) return;
    while (!IsListEmpty(&ep->SendQueue)) {
        PIRP irp = CONTAINING_RECORD(ep->SendQueue.Flink, IRP, Tail.Overlay.ListEntry);
        if (irp->Cancel) break;  // its cancel routine is on the way
        if (Now() < SendHeldUntil(ep)) break;
        ULONG length = ((PTDI_REQUEST_KERNEL_SEND)&IoGetCurrentIrpStackLocation(irp)->Parameters)->SendLength;
        ULONG_PTR written = Written(irp);
        if (written < length) {
            ssize_t n = WriteRequest(ep->Socket, irp, (ULONG)written, length);
            if (n < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK) break;
                ep->PeerReset = true;
                FailConnection(ep, StatusFromErrno(errno), out);
                UpdatePoll(ep);
                return;
            }
            written += (ULONG_PTR)n;
            SetWritten(irp, written);
            if (written < length) break;
        }
        if (!TakeRequest(ep, irp)) break;
        out.push_back({irp, STATUS_SUCCESS, length});
    }
    if (IsListEmpty(&ep->SendQueue) && ep->DisconnectIrp != nullptr) {
        // The release waited for the queued data; now the end of stream can follow it.
        shutdown(ep->Socket, SHUT_WR);
        ep->SendShutDown = true;
        ep->State = EndpointState::Disconnected;
        PIRP irp = ep->DisconnectIrp;
        if (TakeRequest(ep, irp)) out.push_back({irp, STATUS_SUCCESS, 0});
    }
    UpdatePoll(ep);
}

NTSTATUS Associate(Endpoint *ep, PIRP, PIO_STACK_LOCATION sp)
{
    auto *request = (PTDI_REQUEST_KERNEL_ASSOCIATE)&sp->Parameters;
    PVOID object = nullptr;
    NTSTATUS status =
        ObReferenceObjectByHandle(request->AddressHandle, 0, *IoFileObjectType, KernelMode, &object, nullptr);
    if (!NT_SUCCESS(status)) return status;
    auto *file = static_cast<PFILE_OBJECT>(object);
    AddressObject *address = nullptr;
    if (file->DeviceObject == Tcp().Device && file->FsContext2 == (PVOID)TDI_TRANSPORT_ADDRESS_FILE)
        address = static_cast<AddressObject *>(file->FsContext);
    {
        std::lock_guard<RecordLock> guard(Tcp().Lock);
        if (address == nullptr || address->CleanedUp)
            status = STATUS_INVALID_HANDLE;
        else if (ep->CleanedUp)
            status = STATUS_INVALID_CONNECTION;
        else if (ep->Address != nullptr)
            status = STATUS_ADDRESS_ALREADY_ASSOCIATED;
        else {
            ep->Address = address;
            address->References++;
            status = STATUS_SUCCESS;
        }
    }
    ObDereferenceObject(file);
    return status;
}

NTSTATUS Disassociate(Endpoint *ep, PIRP)
{
    std::lock_guard<RecordLock> guard(Tcp().Lock);
    if (ep->Address == nullptr) return STATUS_ADDRESS_NOT_ASSOCIATED;
    if (ep->State == EndpointState::Connecting || ep->State == EndpointState::Connected)
        return STATUS_CONNECTION_ACTIVE;
    ReleaseAddress(ep->Address);
    ep->Address = nullptr;
    return STATUS_SUCCESS;
}

NTSTATUS Connect(Endpoint *ep, PIRP irp, PIO_STACK_LOCATION sp)
{
    auto *request = (PTDI_REQUEST_KERNEL_CONNECT)&sp->Parameters;
    PTDI_CONNECTION_INFORMATION info = request->RequestConnectionInformation;
    if (info == nullptr || info->RemoteAddress == nullptr || info->RemoteAddressLength <= 0)
        return STATUS_INVALID_PARAMETER;
    TDI_ADDRESS_IP ip;
    if (!FindIpAddress(static_cast<const UCHAR *>(info->RemoteAddress), (size_t)info->RemoteAddressLength, &ip) ||
        ip.in_addr == 0 || ip.sin_port == 0)
        return STATUS_INVALID_ADDRESS_COMPONENT;

    CompletionList done;
    {
        std::lock_guard<RecordLock> guard(Tcp().Lock);
        if (ep->CleanedUp) return STATUS_INVALID_CONNECTION;
        if (ep->Address == nullptr) return STATUS_ADDRESS_NOT_ASSOCIATED;
        if (ep->State == EndpointState::Connecting || ep->State == EndpointState::Connected)
            return STATUS_CONNECTION_ACTIVE;
        // One connection per endpoint: a disconnected one is closed and a new one opened.
        if (ep->State == EndpointState::Disconnected) return STATUS_INVALID_CONNECTION;

        ULONGLONG timeout = (ULONGLONG)Tcp().Settings.ConnectTimeoutMs * 10000;
        if (request->RequestSpecific != nullptr) {
            // A relative time-out of the caller's shortens ours.
            LONGLONG t = static_cast<PLARGE_INTEGER>(request->RequestSpecific)->QuadPart;
            if (t < 0 && (ULONGLONG)-t < timeout) timeout = (ULONGLONG)-t;
        }
        ep->Remote = sockaddr_in{};
        ep->Remote.sin_family = AF_INET;
        ep->Remote.sin_addr.s_addr = ip.in_addr;
        ep->Remote.sin_port = ip.sin_port;
        ep->ConnectTimeout = timeout;
        if (!QueueRequest(ep, irp, RequestKind::Connect)) {
            done.push_back({irp, STATUS_CANCELLED, 0});
        } else {
            ep->State = EndpointState::Connecting;
            ep->ConnectStarted = false;
            Switches &sw = Tcp().Switch;
            if (sw.ConnectHoldArmed) {
                sw.ConnectHoldArmed = false;
                ep->ConnectStartAt = Now() + (ULONGLONG)sw.ConnectHoldMs * 10000;
                ep->ConnectHeldResult = sw.ConnectHoldResult;
            } else {
                StartConnect(ep, done);
            }
        }
    }
    CompleteAll(done, false);
    WakeNetwork();
    return STATUS_PENDING;
}

NTSTATUS Disconnect(Endpoint *ep, PIRP irp, PIO_STACK_LOCATION sp)
{
    auto *request = (PTDI_REQUEST_KERNEL_DISCONNECT)&sp->Parameters;
    const bool abortive = (request->RequestFlags & TDI_DISCONNECT_ABORT) != 0;
    CompletionList done;
    NTSTATUS status = STATUS_SUCCESS;
    {
        std::lock_guard<RecordLock> guard(Tcp().Lock);
        if (ep->CleanedUp) return STATUS_INVALID_CONNECTION;
        switch (ep->State) {
        case EndpointState::Open: return STATUS_INVALID_CONNECTION;
        case EndpointState::Connecting:
            // Ends the attempt: the connect request is cancelled.
            if (PIRP connect = ep->ConnectIrp; connect != nullptr && TakeRequest(ep, connect))
                done.push_back({connect, STATUS_CANCELLED, 0});
            CloseSocket(ep, false);
            ep->State = EndpointState::Open;
            break;
        case EndpointState::Disconnected:
            if (abortive) CloseSocket(ep, true);
            break;
        case EndpointState::Connected:
            ep->IndicationsOff = true;
            TakeReceives(ep, STATUS_CANCELLED, done);
            if (abortive) {
                TakeSends(ep, STATUS_CANCELLED, done);
                CloseSocket(ep, true);
                ep->State = EndpointState::Disconnected;
            } else if (ep->DisconnectIrp != nullptr) {
                status = STATUS_INVALID_DEVICE_STATE;  // a release is already waiting
            } else if (IsListEmpty(&ep->SendQueue) && !ep->Writing) {
                shutdown(ep->Socket, SHUT_WR);
                ep->SendShutDown = true;
                ep->State = EndpointState::Disconnected;
                UpdatePoll(ep);
            } else if (!QueueRequest(ep, irp, RequestKind::Disconnect)) {
                done.push_back({irp, STATUS_CANCELLED, 0});
                status = STATUS_PENDING;
            } else {
                status = STATUS_PENDING;  // completes once the queued sends are written
            }
            break;
        }
    }
    CompleteAll(done, false);
    return status;
}

NTSTATUS Send(Endpoint *ep, PIRP irp, PIO_STACK_LOCATION sp)
{
    auto *request = (PTDI_REQUEST_KERNEL_SEND)&sp->Parameters;
    const ULONG length = request->SendLength;
    CompletionList done;
    NTSTATUS status = STATUS_PENDING;
    bool held = false;
    {
        std::unique_lock<RecordLock> lock(Tcp().Lock);
        if (ep->CleanedUp) return STATUS_INVALID_CONNECTION;
        if (ep->State != EndpointState::Connected || ep->DisconnectIrp != nullptr || ep->IndicationsOff)
            return ep->PeerReset ? STATUS_CONNECTION_RESET : STATUS_INVALID_CONNECTION;
        if (length == 0) return STATUS_SUCCESS;
        if (ChainLength(irp->MdlAddress) < length) return STATUS_INVALID_PARAMETER;

        Switches &sw = Tcp().Switch;
        ULONGLONG heldUntil = 0;
        if (sw.SendHoldArmed) {
            sw.SendHoldArmed = false;
            heldUntil = Now() + (ULONGLONG)sw.SendHoldMs * 10000;
            held = true;
        }
        ULONG written = 0;
        if (IsListEmpty(&ep->SendQueue) && !held && !ep->Writing) {
            // The socket takes it at once, or the rest waits in the queue. The write (through
            // loopback, the peer's receive path too) runs outside the transport lock so that
            // the network thread and other connections do not wait for it; the sends that come
            // meanwhile queue behind it.
            const int socket = ep->Socket;
            ep->Writing = true;
            ep->WritingSocket = socket;
            ep->References++;
            lock.unlock();
            ssize_t n = WriteRequest(socket, irp, 0, length);
            const int error = errno;
            lock.lock();
            ep->Writing = false;
            if (ep->CloseAfterWrite >= 0) {
                close(ep->CloseAfterWrite);
                ep->CloseAfterWrite = -1;
            }
            const bool closed = ep->Socket != socket || ep->State != EndpointState::Connected;
            if (n == (ssize_t)length) {
                irp->IoStatus.Information = length;
                status = STATUS_SUCCESS;
            } else if (closed) {
                // Aborted or reset while it was being written.
                status = ep->PeerReset ? STATUS_CONNECTION_RESET : STATUS_CONNECTION_ABORTED;
            } else if (n < 0 && error != EAGAIN && error != EWOULDBLOCK) {
                status = StatusFromErrno(error);
                ep->PeerReset = true;
                FailConnection(ep, status, done);
            } else {
                written = n > 0 ? (ULONG)n : 0;
                // Ahead of the sends queued while it was written.
                if (!QueueRequest(ep, irp, RequestKind::Send)) {
                    done.push_back({irp, STATUS_CANCELLED, 0});
                } else {
                    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
                    InsertHeadList(&ep->SendQueue, &irp->Tail.Overlay.ListEntry);
                    SetWritten(irp, written);
                }
            }
            if (!closed) PumpSends(ep, done);
            UpdatePoll(ep);
            ReleaseEndpoint(ep);
            lock.unlock();
            CompleteAll(done, false);
            return status;
        }
        if (!QueueRequest(ep, irp, RequestKind::Send)) {
            done.push_back({irp, STATUS_CANCELLED, 0});
        } else {
            SetWritten(irp, written);
            irp->Tail.Overlay.DriverContext[3] = reinterpret_cast<PVOID>((ULONG_PTR)heldUntil);
            UpdatePoll(ep);
        }
    }
    CompleteAll(done, false);
    if (held) WakeNetwork();
    return status;
}

NTSTATUS Receive(Endpoint *ep, PIRP irp, PIO_STACK_LOCATION)
{
    CompletionList done;
    {
        std::lock_guard<RecordLock> guard(Tcp().Lock);
        if (ep->CleanedUp || ep->IndicationsOff) return STATUS_INVALID_CONNECTION;
        if (ep->State != EndpointState::Connected && ep->RxBuffered.load() == 0)
            return ep->PeerReset ? STATUS_CONNECTION_RESET : STATUS_INVALID_CONNECTION;
        if (!QueueRequest(ep, irp, RequestKind::Receive)) done.push_back({irp, STATUS_CANCELLED, 0});
    }
    CompleteAll(done, false);
    WakeNetwork();
    return STATUS_PENDING;
}

NTSTATUS SetEventHandler(AddressObject *address, PIRP, PIO_STACK_LOCATION sp)
{
    auto *request = (PTDI_REQUEST_KERNEL_SET_EVENT)&sp->Parameters;
    if (request->EventType < 0 || request->EventType >= kEventTypes) return STATUS_INVALID_PARAMETER;
    {
        std::unique_lock<RecordLock> lock(Tcp().Lock);
        if (address->CleanedUp) return STATUS_ADDRESS_CLOSED;
        auto &slot = address->Handlers[request->EventType];
        slot.Handler = request->EventHandler;
        slot.Context = request->EventHandler != nullptr ? request->EventContext : nullptr;
        // Once a clearing request completes, the handler is not running and is not called again.
        if (request->EventHandler == nullptr) WaitForIndications(lock, address);
    }
    if (request->EventHandler != nullptr) WakeNetwork();  // data may be waiting for it
    return STATUS_SUCCESS;
}

}  // namespace qv::tcp
