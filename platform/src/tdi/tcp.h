// The TCP transport "\Device\Tcp": address objects and connection endpoints over non-blocking
// BSD sockets, driven by TDI internal device-control requests, with one network thread that
// completes pending requests and delivers the event indications.
//
// Locking: one transport lock (Tcp().Lock) guards every field below that is not marked
// otherwise, every socket call on an endpoint's descriptor, and the request queues. It is
// never held while a client's code runs: requests are completed and indications delivered
// after it is released. It may be taken at any IRQL up to DISPATCH_LEVEL and is held only for
// non-blocking work.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "ke/ke.h"
#include "qv/tdi.h"
#include "tdikrnl.h"

namespace qv::tcp {

constexpr int kEventTypes = TDI_EVENT_ERROR_EX + 1;
// Received bytes held for the client before the socket is no longer read.
constexpr size_t kReceiveBufferLimit = 256 * 1024;
// Largest single read from a socket: one received block.
constexpr size_t kReadBlock = 64 * 1024;

// What a queued request is, kept in Tail.Overlay.DriverContext[0] while the transport owns it.
enum class RequestKind : ULONG_PTR { Connect = 1, Send, Receive, Disconnect };

struct AddressObject {
    ULONG LocalAddress;  // network byte order; 0 = any
    USHORT LocalPort;    // network byte order; 0 = any
    struct {
        PVOID Handler;
        PVOID Context;
    } Handlers[kEventTypes];
    int Indications;  // indications running on endpoints of this address
    bool CleanedUp;   // the last handle is closed: no handler is called again
    int References;   // the file object's, one per associated endpoint
};

enum class EndpointState {
    Open,        // created or associated, no socket connected
    Connecting,  // ConnectIrp pending
    Connected,
    Disconnected,  // released or aborted by this side, reset, or failed
};

struct Endpoint {
    uint64_t Id;                 // key in the endpoint table and in the epoll data
    CONNECTION_CONTEXT Context;  // the client's, from the "ConnectionContext" attribute
    PDEVICE_OBJECT Owner;        // for the listing
    AddressObject *Address;      // associated address (holds a reference), or null
    int Socket = -1;
    EndpointState State = EndpointState::Open;
    sockaddr_in Remote{};
    sockaddr_in Local{};
    bool CleanedUp = false;       // last handle closed: out of the table, requests refused
    bool Indicating = false;      // the network thread is in one of the client's handlers
    bool IndicationsOff = false;  // disconnected by this side: no further indications
    bool PeerClosed = false;      // end of stream read
    bool PeerReset = false;       // reset or socket error read
    bool DisconnectIndicated = false;
    bool SendShutDown = false;  // shutdown(SHUT_WR) done
    uint32_t PollMask = 0;      // events the socket is registered for (0 = not registered)
    int References = 1;         // the file object's; one per queued request; the network thread's

    // Connect
    PIRP ConnectIrp = nullptr;
    bool ConnectStarted = false;     // the socket's connect() has been issued
    ULONGLONG ConnectStartAt = 0;    // held connect: when to start (or fail)
    NTSTATUS ConnectHeldResult = 0;  // held connect: failure to report, or success to go on
    ULONGLONG ConnectTimeout = 0;    // 100 ns units, from the socket's connect()
    ULONGLONG ConnectDeadline = 0;   // interrupt time at which the connect times out

    // Send: queued TDI_SEND requests in order. A queued send keeps the bytes already written
    // in DriverContext[2] and, when the hold switch caught it, the time before which it is not
    // written in DriverContext[3]; the sends behind it wait for it.
    LIST_ENTRY SendQueue;
    PIRP DisconnectIrp = nullptr;  // a release waiting for the queued sends
    // A send being written outside the lock (by the thread that sent it) to WritingSocket; it
    // is ahead of everything queued. A socket closed meanwhile is closed by that thread.
    bool Writing = false;
    int WritingSocket = -1;
    int CloseAfterWrite = -1;

    // Receive. Rx/RxStart/RxHeld/Merge* are touched by the network thread only (and freed with
    // the endpoint); the queue of TDI_RECEIVE requests is under the lock.
    LIST_ENTRY ReceiveQueue;
    std::vector<UCHAR> Rx;  // received and not yet taken, from RxStart
    size_t RxStart = 0;
    std::deque<std::vector<UCHAR>> RxHeld;  // split pieces that have not "arrived" yet
    ULONG MergeRemaining = 0;
    std::vector<UCHAR> MergeBuffer;
    std::atomic<size_t> RxBuffered{0};  // bytes in Rx, RxHeld and MergeBuffer (read under the lock)
    // The receive handler left bytes (took part, or refused them): nothing more is indicated
    // until a TDI_RECEIVE of the client's has been filled.
    bool AwaitingReceive = false;
};

struct Switches {
    std::vector<ULONG> SplitOffsets;
    bool SplitArmed = false;
    ULONG MergeBlocks = 0;
    bool SendHoldArmed = false;
    ULONG SendHoldMs = 0;
    bool ConnectHoldArmed = false;
    ULONG ConnectHoldMs = 0;
    NTSTATUS ConnectHoldResult = 0;
};

struct Transport {
    RecordLock Lock;
    std::condition_variable_any IndicationDone;  // an indication ended (waits for Indicating to clear)
    int IndicationWaiters = 0;                    // threads in WaitForIndications
    PDRIVER_OBJECT Driver = nullptr;
    PDEVICE_OBJECT Device = nullptr;
    int Epoll = -1;
    int Wake = -1;  // eventfd that makes the network thread look again
    std::thread Network;
    std::atomic<std::thread::id> NetworkId{};
    bool Stopping = false;
    std::unordered_map<uint64_t, Endpoint *> Endpoints;
    uint64_t NextId = 1;
    int OpenAddresses = 0;
    int OpenControlChannels = 0;
    TdiSettings Settings;
    Switches Switch;
};
Transport &Tcp();
// "\Device\Tcp"
PCWSTR TransportDeviceName();

// A request to be completed once the lock is released.
struct Completion {
    PIRP Irp;
    NTSTATUS Status;
    ULONG_PTR Information;
};
using CompletionList = std::vector<Completion>;
// Completes each request, at DISPATCH_LEVEL when `raise` is set.
void CompleteAll(CompletionList &list, bool raise);

// Request queues (lock held). Queue marks the request pending and gives it a cancel routine;
// it returns false, having done neither, if the request was cancelled before it could be
// queued. Take removes a request so that the caller may complete it, unless its cancel routine
// has already claimed it (then false, and the cancel routine completes it).
bool QueueRequest(Endpoint *ep, PIRP irp, RequestKind kind);
bool TakeRequest(Endpoint *ep, PIRP irp);
// Takes every queued request of the endpoint for completion with `status`.
void TakeAllRequests(Endpoint *ep, NTSTATUS status, CompletionList &out);
void TakeSends(Endpoint *ep, NTSTATUS status, CompletionList &out);
void TakeReceives(Endpoint *ep, NTSTATUS status, CompletionList &out);

void ReleaseEndpoint(Endpoint *ep);             // lock held; frees at zero
void ReleaseAddress(AddressObject *address);    // lock held; frees at zero
void WakeNetwork();                             // any lock state
void UpdatePoll(Endpoint *ep);                  // lock held: registers what the state needs
void CloseSocket(Endpoint *ep, bool abortive);  // lock held
bool OnNetworkThread();
// Waits until no indication runs on the endpoint, or on any endpoint of the address (lock
// held through `lock`). Does not wait on the network thread itself.
void WaitForIndications(std::unique_lock<RecordLock> &lock, Endpoint *ep);
void WaitForIndications(std::unique_lock<RecordLock> &lock, AddressObject *address);

// Request handlers (dispatch of IRP_MJ_INTERNAL_DEVICE_CONTROL).
NTSTATUS Associate(Endpoint *ep, PIRP irp, PIO_STACK_LOCATION sp);
NTSTATUS Disassociate(Endpoint *ep, PIRP irp);
NTSTATUS Connect(Endpoint *ep, PIRP irp, PIO_STACK_LOCATION sp);
NTSTATUS Disconnect(Endpoint *ep, PIRP irp, PIO_STACK_LOCATION sp);
NTSTATUS Send(Endpoint *ep, PIRP irp, PIO_STACK_LOCATION sp);
NTSTATUS Receive(Endpoint *ep, PIRP irp, PIO_STACK_LOCATION sp);
NTSTATUS SetEventHandler(AddressObject *address, PIRP irp, PIO_STACK_LOCATION sp);
// Starts the socket connect of an endpoint whose connect request is queued (lock held). On a
// failure that ends the request it is taken and added to `out`.
void StartConnect(Endpoint *ep, CompletionList &out);
// The socket of a connecting endpoint reported an outcome (lock held).
void ConnectFinished(Endpoint *ep, CompletionList &out);
// Time before which the first queued send may not be written, or 0 (lock held).
ULONGLONG SendHeldUntil(const Endpoint *ep);
// Writes queued sends while the socket takes them (lock held).
void PumpSends(Endpoint *ep, CompletionList &out);
// Ends the connection after a failure (lock held): fails the queued requests.
void FailConnection(Endpoint *ep, NTSTATUS status, CompletionList &out);

// Frees the Plug and Play registrations left open, reporting each.
void PnpRegistrationsShutdown(std::vector<std::string> &leaks);

// Network thread.
NTSTATUS StartNetwork();
void StopNetwork();

// The first IPv4 entry of a TRANSPORT_ADDRESS of `length` bytes, read without trusting its
// counts beyond the buffer.
bool FindIpAddress(const UCHAR *p, size_t length, TDI_ADDRESS_IP *out);

// Socket errors as NTSTATUS values; never success.
NTSTATUS StatusFromErrno(int error);

// Interrupt time now, 100 ns units (platform clock).
ULONGLONG Now();

}  // namespace qv::tcp
