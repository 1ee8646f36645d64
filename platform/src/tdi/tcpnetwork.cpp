// The transport's network thread: waits on every socket with epoll, finishes connects, writes
// queued sends, reads received blocks, keeps the transport's timers (held and timed-out
// connects, held sends), and delivers the receive and disconnect indications at DISPATCH_LEVEL.
// It is the only thread that touches an endpoint's received bytes.
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "qv/platform.h"
#include "tcp.h"
#include "verifier.h"

namespace qv::tcp {
namespace {

size_t Available(const Endpoint *ep) { return ep->Rx.size() - ep->RxStart; }

void Consume(Endpoint *ep, size_t n)
{
    ep->RxStart += n;
    ep->RxBuffered -= n;
    if (ep->RxStart == ep->Rx.size()) {
        ep->Rx.clear();
        ep->RxStart = 0;
    }
}

// Moves the next held piece in once everything before it has been taken.
void PromoteHeld(Endpoint *ep)
{
    if (Available(ep) == 0 && !ep->RxHeld.empty()) {
        ep->Rx = std::move(ep->RxHeld.front());
        ep->RxStart = 0;
        ep->RxHeld.pop_front();
    }
}

void DropReceived(Endpoint *ep)
{
    ep->Rx.clear();
    ep->RxStart = 0;
    ep->RxHeld.clear();
    ep->MergeBuffer.clear();
    ep->MergeRemaining = 0;
    ep->RxBuffered = 0;
}

// Adds bytes to what waits for the client: after earlier held pieces, else behind any bytes
// not yet taken.
void Append(Endpoint *ep, const UCHAR *data, size_t n, bool separate)
{
    if (n == 0) return;
    if (separate || !ep->RxHeld.empty())
        ep->RxHeld.emplace_back(data, data + n);
    else
        ep->Rx.insert(ep->Rx.end(), data, data + n);
    PromoteHeld(ep);
}

// One block read from the socket, shaped by the split and merge switches (lock held).
void AcceptBlock(Endpoint *ep, const UCHAR *data, size_t n)
{
    Switches &sw = Tcp().Switch;
    ep->RxBuffered += n;
    if (ep->MergeRemaining == 0 && sw.MergeBlocks > 0) {
        ep->MergeRemaining = sw.MergeBlocks;
        sw.MergeBlocks = 0;
    }
    if (ep->MergeRemaining > 0) {
        ep->MergeBuffer.insert(ep->MergeBuffer.end(), data, data + n);
        if (--ep->MergeRemaining > 0) return;
        std::vector<UCHAR> merged;
        merged.swap(ep->MergeBuffer);
        Append(ep, merged.data(), merged.size(), false);
        return;
    }
    if (sw.SplitArmed) {
        sw.SplitArmed = false;
        size_t start = 0;
        for (ULONG offset : sw.SplitOffsets) {
            if (offset <= start || offset >= n) continue;
            Append(ep, data + start, offset - start, start != 0);
            start = offset;
        }
        Append(ep, data + start, n - start, start != 0);
        return;
    }
    Append(ep, data, n, false);
}

void FlushMerge(Endpoint *ep)
{
    if (ep->MergeBuffer.empty()) return;
    std::vector<UCHAR> merged;
    merged.swap(ep->MergeBuffer);
    ep->MergeRemaining = 0;
    Append(ep, merged.data(), merged.size(), false);
}

// Reads one block (lock held).
void ReadBlock(Endpoint *ep, CompletionList &out)
{
    static thread_local std::vector<UCHAR> block(kReadBlock);
    ssize_t n;
    do {
        n = recv(ep->Socket, block.data(), block.size(), MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
        if (ep->IndicationsOff) return;  // disconnected by this side: read and dropped
        AcceptBlock(ep, block.data(), (size_t)n);
    } else if (n == 0) {
        ep->PeerClosed = true;  // still writable until this side disconnects
        FlushMerge(ep);
    } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
        // A reset: what was received and not taken is lost, as with any TCP.
        ep->PeerReset = true;
        DropReceived(ep);
        FailConnection(ep, StatusFromErrno(errno), out);
        CloseSocket(ep, false);
    }
}

// Posted TDI_RECEIVE requests are filled before anything is indicated (lock held).
bool FillReceive(Endpoint *ep, CompletionList &out)
{
    PIRP irp = CONTAINING_RECORD(ep->ReceiveQueue.Flink, IRP, Tail.Overlay.ListEntry);
    if (irp->Cancel) return false;
    auto *request = (PTDI_REQUEST_KERNEL_RECEIVE)&IoGetCurrentIrpStackLocation(irp)->Parameters;
    size_t want = std::min<size_t>(request->ReceiveLength, Available(ep));
    size_t copied = 0;
    for (PMDL mdl = irp->MdlAddress; mdl != nullptr && copied < want; mdl = mdl->Next) {
        auto *va = static_cast<UCHAR *>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
        if (va == nullptr) break;
        size_t take = std::min<size_t>(MmGetMdlByteCount(mdl), want - copied);
        memcpy(va, ep->Rx.data() + ep->RxStart + copied, take);
        copied += take;
    }
    if (!TakeRequest(ep, irp)) return false;
    Consume(ep, copied);
    ep->AwaitingReceive = false;  // the client has what it asked for: indications resume
    out.push_back({irp, STATUS_SUCCESS, copied});
    return true;
}

// What a receive handler returned, held to the TDI receive contract (lock held). Returns the
// bytes to count as taken; sets AwaitingReceive when the client left bytes; `handed` is
// cleared unless it is a receive request for this endpoint that the transport must run.
size_t CheckReceiveResult(Endpoint *ep, NTSTATUS status, ULONG indicated, ULONG taken, PIRP &handed,
                          CompletionList &out)
{
    const char *routine = "ClientEventReceive";
    if (taken > indicated) {
        VerifierViolation(routine, "BytesTaken %u exceeds BytesIndicated %u", taken, indicated);
        taken = indicated;
    }
    PIRP irp = handed;
    handed = nullptr;
    bool irpExpected = false;
    switch (status) {
    case STATUS_SUCCESS:
        if (taken < indicated) ep->AwaitingReceive = true;
        break;
    case STATUS_DATA_NOT_ACCEPTED:
        if (taken != 0)
            VerifierViolation(routine, "returned STATUS_DATA_NOT_ACCEPTED after taking %u of %u bytes", taken,
                              indicated);
        taken = 0;
        ep->AwaitingReceive = true;
        break;
    case STATUS_MORE_PROCESSING_REQUIRED:
        irpExpected = true;
        ep->AwaitingReceive = true;
        if (irp == nullptr)
            VerifierViolation(routine, "returned STATUS_MORE_PROCESSING_REQUIRED without a receive IRP");
        break;
    default:
        VerifierViolation(routine,
                          "returned status 0x%08X (only STATUS_SUCCESS, STATUS_DATA_NOT_ACCEPTED or "
                          "STATUS_MORE_PROCESSING_REQUIRED)",
                          (unsigned)status);
        if (taken < indicated) ep->AwaitingReceive = true;
        break;
    }
    if (irp == nullptr) return taken;
    if (!irpExpected) {
        VerifierViolation(routine,
                          "returned IRP %p with status 0x%08X: only STATUS_MORE_PROCESSING_REQUIRED hands one over",
                          irp, (unsigned)status);
    } else {
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        if (next->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL && next->MinorFunction == TDI_RECEIVE &&
            next->FileObject != nullptr && next->FileObject->FsContext == ep &&
            next->FileObject->FsContext2 == (PVOID)TDI_CONNECTION_FILE) {
            handed = irp;
            return taken;
        }
        VerifierViolation(routine,
                          "IRP %p handed over is not a TDI_RECEIVE on this connection endpoint (major %u, minor %u)",
                          irp, next->MajorFunction, next->MinorFunction);
    }
    // Not ours to run: it goes back to its owner failed, as a transport rejects a bad request.
    IoSetNextIrpStackLocation(irp);
    out.push_back({irp, STATUS_INVALID_PARAMETER, 0});
    return taken;
}

void BeginIndication(Endpoint *ep, AddressObject *address)
{
    ep->Indicating = true;
    address->Indications++;
    address->References++;
}

void EndIndication(Endpoint *ep, AddressObject *address)
{
    ep->Indicating = false;
    address->Indications--;
    ReleaseAddress(address);
    if (Tcp().IndicationWaiters != 0) Tcp().IndicationDone.notify_all();
}

// Offers what the endpoint holds to the client: posted receives first, then the receive
// handler, piece after piece while it takes all it is shown, then the disconnect once
// everything has gone. A handler that leaves bytes hears nothing more until a receive request
// of its own has been filled. The caller holds a reference on the endpoint.
void Deliver(Endpoint *ep)
{
    for (;;) {
        CompletionList done;
        std::unique_lock<RecordLock> lock(Tcp().Lock);
        if (ep->CleanedUp || ep->IndicationsOff) return;
        PromoteHeld(ep);
        const size_t available = Available(ep);
        const bool ended = ep->PeerClosed || ep->PeerReset;
        if (!IsListEmpty(&ep->ReceiveQueue)) {
            if (available > 0) {
                bool filled = FillReceive(ep, done);
                UpdatePoll(ep);
                lock.unlock();
                CompleteAll(done, true);
                if (filled) continue;
                return;
            }
            if (ended && ep->RxBuffered.load() == 0) {
                TakeReceives(ep, ep->PeerReset ? STATUS_CONNECTION_RESET : STATUS_GRACEFUL_DISCONNECT, done);
                lock.unlock();
                CompleteAll(done, true);
            }
            return;
        }
        AddressObject *address = ep->Address;
        if (address == nullptr || address->CleanedUp) return;
        if (available > 0) {
            if (ep->AwaitingReceive) return;
            auto handler = (PTDI_IND_RECEIVE)address->Handlers[TDI_EVENT_RECEIVE].Handler;
            PVOID context = address->Handlers[TDI_EVENT_RECEIVE].Context;
            if (handler == nullptr) return;
            ULONG indicated = (ULONG)std::min<size_t>(available, Tcp().Settings.IndicationSize);
            ULONG flags = TDI_RECEIVE_NORMAL | TDI_RECEIVE_AT_DISPATCH_LEVEL;
            if (indicated == available) flags |= TDI_RECEIVE_ENTIRE_MESSAGE;
            UCHAR *data = ep->Rx.data() + ep->RxStart;
            BeginIndication(ep, address);
            lock.unlock();

            ULONG taken = 0;
            PIRP handed = nullptr;
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            NTSTATUS status = handler(context, ep->Context, flags, indicated, (ULONG)available, &taken, data, &handed);
            KeLowerIrql(old);

            lock.lock();
            EndIndication(ep, address);
            Consume(ep, CheckReceiveResult(ep, status, indicated, taken, handed, done));
            UpdatePoll(ep);
            lock.unlock();
            CompleteAll(done, true);
            if (handed != nullptr) {
                // The receive request for the bytes not taken goes through the transport's own
                // dispatch, as if the client had sent it, and is filled before anything else.
                IoCallDriver(Tcp().Device, handed);
            }
            continue;
        }
        if (ended && ep->RxBuffered.load() == 0 && !ep->DisconnectIndicated) {
            ep->DisconnectIndicated = true;
            auto handler = (PTDI_IND_DISCONNECT)address->Handlers[TDI_EVENT_DISCONNECT].Handler;
            PVOID context = address->Handlers[TDI_EVENT_DISCONNECT].Context;
            if (handler == nullptr) return;
            ULONG flags = ep->PeerReset ? TDI_DISCONNECT_ABORT : TDI_DISCONNECT_RELEASE;
            BeginIndication(ep, address);
            lock.unlock();
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            handler(context, ep->Context, 0, nullptr, 0, nullptr, flags);
            KeLowerIrql(old);
            lock.lock();
            EndIndication(ep, address);
        }
        return;
    }
}

bool WantsDelivery(const Endpoint *ep)
{
    if (ep->CleanedUp || ep->IndicationsOff || ep->Indicating) return false;
    if (ep->AwaitingReceive && IsListEmpty(&ep->ReceiveQueue)) return false;
    return ep->RxBuffered.load() > 0 || !IsListEmpty(&ep->ReceiveQueue) ||
           ((ep->PeerClosed || ep->PeerReset) && !ep->DisconnectIndicated);
}

// The endpoints with something to deliver, each with a reference (lock held).
void CollectDeliveries(std::vector<Endpoint *> &ready)
{
    for (auto &entry : Tcp().Endpoints) {
        if (WantsDelivery(entry.second)) {
            entry.second->References++;
            ready.push_back(entry.second);
        }
    }
}

void DeliverEach(std::vector<Endpoint *> &ready)
{
    for (Endpoint *ep : ready) {
        Deliver(ep);
        std::lock_guard<RecordLock> guard(Tcp().Lock);
        ReleaseEndpoint(ep);
    }
    ready.clear();
}

void ServiceSocket(uint64_t id, uint32_t events)
{
    CompletionList done;
    Endpoint *ep;
    {
        std::lock_guard<RecordLock> guard(Tcp().Lock);
        auto it = Tcp().Endpoints.find(id);
        if (it == Tcp().Endpoints.end()) return;
        ep = it->second;
        if (ep->CleanedUp || ep->Socket < 0) return;
        ep->References++;
        if (ep->State == EndpointState::Connecting) {
            if (ep->ConnectStarted && (events & (EPOLLOUT | EPOLLERR | EPOLLHUP))) ConnectFinished(ep, done);
        } else {
            if (events & (EPOLLOUT | EPOLLERR)) PumpSends(ep, done);
            if ((events & (EPOLLIN | EPOLLHUP | EPOLLERR)) && ep->Socket >= 0 && !ep->PeerClosed && !ep->PeerReset)
                ReadBlock(ep, done);
        }
        UpdatePoll(ep);
    }
    CompleteAll(done, true);
    Deliver(ep);
    std::lock_guard<RecordLock> guard(Tcp().Lock);
    ReleaseEndpoint(ep);
}

// Held and timed-out connects, held sends (lock held).
void RunTimers(CompletionList &out)
{
    ULONGLONG now = Now();
    for (auto &entry : Tcp().Endpoints) {
        Endpoint *ep = entry.second;
        if (ep->CleanedUp) continue;
        if (ep->State == EndpointState::Connecting) {
            if (!ep->ConnectStarted && now >= ep->ConnectStartAt) {
                if (NT_SUCCESS(ep->ConnectHeldResult)) {
                    StartConnect(ep, out);
                } else {
                    ep->State = EndpointState::Open;
                    if (PIRP irp = ep->ConnectIrp; irp != nullptr && TakeRequest(ep, irp))
                        out.push_back({irp, ep->ConnectHeldResult, 0});
                }
            } else if (ep->ConnectStarted && now >= ep->ConnectDeadline) {
                CloseSocket(ep, false);
                ep->State = EndpointState::Open;
                if (PIRP irp = ep->ConnectIrp; irp != nullptr && TakeRequest(ep, irp))
                    out.push_back({irp, STATUS_IO_TIMEOUT, 0});
            }
        } else if (ULONGLONG held = SendHeldUntil(ep);
                   ep->State == EndpointState::Connected && held != 0 && now >= held) {
            PumpSends(ep, out);
        }
    }
}

// Milliseconds until the next timer falls due, or -1 (lock held).
int NextTimeout()
{
    ULONGLONG now = Now(), next = ~0ULL;
    for (auto &entry : Tcp().Endpoints) {
        const Endpoint *ep = entry.second;
        if (ep->CleanedUp) continue;
        if (ep->State == EndpointState::Connecting)
            next = std::min(next, ep->ConnectStarted ? ep->ConnectDeadline : ep->ConnectStartAt);
        if (ULONGLONG held = SendHeldUntil(ep); held != 0) next = std::min(next, held);
    }
    auto ms = [](ULONGLONG from, ULONGLONG to) {
        return to <= from ? 0 : (int)std::min<ULONGLONG>((to - from + 9999) / 10000, 60000);
    };
    int timeout = -1;
    if (next != ~0ULL) {
        // The virtual clock moves only when a test advances it: look again soon.
        timeout = VirtualClockInUse() ? (next <= now ? 0 : 5) : ms(now, next);
    }
    return timeout;
}

void NetworkThread()
{
    pthread_setname_np(pthread_self(), "qv-network");
    Tcp().NetworkId = std::this_thread::get_id();
    epoll_event events[32];
    std::vector<Endpoint *> ready;
    int timeout;
    {
        std::lock_guard<RecordLock> guard(Tcp().Lock);
        if (Tcp().Stopping) return;
        timeout = NextTimeout();
    }
    for (;;) {
        int n = epoll_wait(Tcp().Epoll, events, 32, timeout);
        for (int i = 0; i < n; ++i) {
            if (events[i].data.u64 == 0) {
                uint64_t count;
                while (read(Tcp().Wake, &count, sizeof(count)) > 0) {
                }
                continue;
            }
            ServiceSocket(events[i].data.u64, events[i].events);
        }
        // Timers, deliveries and the next time-out in one turn of the lock. Whatever sets a
        // connect or a held send going after this wakes the thread, so the time-out cannot be
        // stale for long.
        CompletionList done;
        {
            std::lock_guard<RecordLock> guard(Tcp().Lock);
            if (Tcp().Stopping) return;
            RunTimers(done);
            CollectDeliveries(ready);
            timeout = NextTimeout();
        }
        CompleteAll(done, true);
        DeliverEach(ready);
    }
}

}  // namespace

void WakeNetwork()
{
    uint64_t one = 1;
    if (Tcp().Wake >= 0) (void)!write(Tcp().Wake, &one, sizeof(one));
}

NTSTATUS StartNetwork()
{
    Transport &t = Tcp();
    t.Epoll = epoll_create1(EPOLL_CLOEXEC);
    t.Wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (t.Epoll < 0 || t.Wake < 0) {
        NTSTATUS status = StatusFromErrno(errno);
        StopNetwork();
        return status;
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = 0;  // endpoint ids start at 1
    epoll_ctl(t.Epoll, EPOLL_CTL_ADD, t.Wake, &ev);
    {
        std::lock_guard<RecordLock> guard(t.Lock);
        t.Stopping = false;
    }
    t.Network = std::thread(NetworkThread);
    t.NetworkId = t.Network.get_id();
    return STATUS_SUCCESS;
}

void StopNetwork()
{
    Transport &t = Tcp();
    if (t.Network.joinable()) {
        {
            std::lock_guard<RecordLock> guard(t.Lock);
            t.Stopping = true;
        }
        WakeNetwork();
        t.Network.join();
    }
    t.NetworkId = std::thread::id();
    if (t.Epoll >= 0) close(t.Epoll);
    if (t.Wake >= 0) close(t.Wake);
    t.Epoll = t.Wake = -1;
}

}  // namespace qv::tcp
