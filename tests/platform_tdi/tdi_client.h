// A small TDI client for the transport's tests: the calls a kernel driver makes to reach
// "\Device\Tcp" (open the transport, an address and a connection endpoint, associate, connect,
// send, disconnect, set handlers, close), each request on an IRP of its own; plus plain loopback
// peers to talk to.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ntddk.h"
#include "tdikrnl.h"

namespace tditest {

// One request on the transport. The IRP, its data buffer and MDL belong to it.
class Request {
public:
    Request(PDEVICE_OBJECT device, const void *data = nullptr, ULONG length = 0);
    ~Request();
    Request(const Request &) = delete;
    Request &operator=(const Request &) = delete;

    PIRP Irp() const { return irp_; }
    PMDL Mdl() const { return mdl_; }
    // Sends the built request; returns what IoCallDriver returned.
    NTSTATUS Call(PDEVICE_OBJECT device);
    NTSTATUS CallStatus() const { return call_; }
    // Memory that lives as long as the request (connection information and the like).
    PVOID Storage(size_t bytes);
    static NTSTATUS Completed(PDEVICE_OBJECT, PIRP irp, PVOID context);
    // Waits for the completion routine (at most `ms`); false if it did not run in that time.
    bool Wait(int ms = 10000);
    bool Done() const { return done_.load(); }
    NTSTATUS Status() const { return status_; }
    ULONG_PTR Information() const { return information_; }
    BOOLEAN Cancel() { return IoCancelIrp(irp_); }

private:
    PIRP irp_ = nullptr;
    NTSTATUS call_ = STATUS_PENDING;
    std::vector<UCHAR> storage_;
    PVOID buffer_ = nullptr;
    PMDL mdl_ = nullptr;
    std::atomic<bool> done_{false};
    NTSTATUS status_ = STATUS_PENDING;
    ULONG_PTR information_ = 0;
};

class TdiClient {
public:
    ~TdiClient() { Close(); }

    NTSTATUS OpenTransport();
    // Local address in host byte order; 0 and 0 are "any".
    NTSTATUS OpenAddress(ULONG address = 0, USHORT port = 0);
    NTSTATUS OpenConnection(CONNECTION_CONTEXT context);
    NTSTATUS Associate();
    NTSTATUS Disassociate();
    NTSTATUS SetEventHandler(LONG type, PVOID handler, PVOID context);
    // Remote address and port in host byte order.
    std::unique_ptr<Request> StartConnect(ULONG address, USHORT port, PLARGE_INTEGER timeout = nullptr);
    NTSTATUS Connect(ULONG address, USHORT port);
    std::unique_ptr<Request> StartSend(const void *data, ULONG length);
    NTSTATUS Send(const void *data, ULONG length);
    std::unique_ptr<Request> StartReceive(ULONG length);
    NTSTATUS Disconnect(ULONG flags);
    // Transport, address, endpoint and association: a link up to its connect.
    NTSTATUS OpenAssociated(CONNECTION_CONTEXT context = nullptr);
    // The full open sequence of a link: transport, address, the given handlers, endpoint,
    // association, connect.
    NTSTATUS Link(ULONG address, USHORT port, PVOID receiveHandler, PVOID disconnectHandler, PVOID context);
    // Clears every handler (address open only), closes the handles, drops the file objects.
    void Close();
    // Closes the connection endpoint alone, its handlers left in place.
    void CloseConnection();

    PDEVICE_OBJECT Device() const { return device_; }
    PFILE_OBJECT ConnectionFile() const { return connectionFile_; }

private:
    NTSTATUS OpenObject(const char *eaName, const void *value, USHORT valueLength, HANDLE *handle, PFILE_OBJECT *file);
    NTSTATUS Run(Request &request);

    PFILE_OBJECT transportFile_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    HANDLE addressHandle_ = nullptr;
    PFILE_OBJECT addressFile_ = nullptr;
    HANDLE connectionHandle_ = nullptr;
    PFILE_OBJECT connectionFile_ = nullptr;
};

// What a client's handlers saw. The handlers record at DISPATCH_LEVEL from the transport's thread.
struct Recorder {
    std::mutex Lock;
    std::condition_variable Changed;
    std::vector<UCHAR> Data;             // bytes taken, in order
    std::vector<ULONG> Indicated;        // BytesIndicated of each receive indication
    std::vector<ULONG> Available;        // BytesAvailable of each
    std::vector<KIRQL> Irqls;            // IRQL of each indication, receive and disconnect
    std::vector<PVOID> Contexts;         // connection context of each indication
    std::vector<ULONG> DisconnectFlags;  // one per disconnect indication
    ULONG TakeAtMost = ~0u;              // bytes a receive indication takes (then back to all)
    int PartialTakes = 0;                // indications that still take TakeAtMost
    NTSTATUS PartialStatus = STATUS_SUCCESS;  // returned when fewer bytes were taken than shown
    std::atomic<bool> Forbidden{false};  // set when the handler must no longer run
    std::atomic<int> CalledWhenForbidden{0};
    std::atomic<bool> Hold{false};    // a receive indication stays in the handler while set
    std::atomic<bool> Inside{false};  // a receive indication is in the handler

    // Waits until `n` bytes were taken (or disconnects were seen); false after `ms`.
    bool WaitBytes(size_t n, int ms = 10000);
    bool WaitDisconnects(size_t n, int ms = 10000);
    std::string Text();
};

NTSTATUS RecordReceive(PVOID eventContext, CONNECTION_CONTEXT connection, ULONG flags, ULONG indicated, ULONG available,
                       ULONG *taken, PVOID data, PIRP *irp);
NTSTATUS RecordDisconnect(PVOID eventContext, CONNECTION_CONTEXT connection, LONG dataLength, PVOID data,
                          LONG infoLength, PVOID info, ULONG flags);

// A loopback TCP peer on 127.0.0.1, port chosen by the system. Accepts one connection at a time.
class Peer {
public:
    Peer();
    ~Peer();
    USHORT Port() const { return port_; }
    // Waits for the next connection (false after `ms`).
    bool Accept(int ms = 10000);
    void Write(const std::string &bytes);
    // Reads until `n` bytes came or the stream ended; returns what came.
    std::string Read(size_t n, int ms = 10000);
    // True once the connection ended (end of stream or reset) within `ms`.
    bool WaitClosed(int ms = 10000);
    void Close();  // graceful close of the accepted connection
    void Reset();  // close with a reset
    void StopListening();

private:
    int listener_ = -1;
    int connection_ = -1;
    USHORT port_ = 0;
};

// A port of 127.0.0.1 on which nobody listens.
USHORT ClosedPort();

constexpr ULONG kLoopback = 0x7F000001;

}  // namespace tditest
