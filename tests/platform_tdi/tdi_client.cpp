#include "tdi_client.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "platform_test.h"

namespace tditest {
namespace {

constexpr ULONG kTag = 0x54644974;  // "tIdT"

bool PollFor(int fd, short events, int ms)
{
    pollfd p{fd, events, 0};
    return poll(&p, 1, ms) > 0;
}

}  // namespace

// ---------------------------------------------------------------- Request

Request::Request(PDEVICE_OBJECT device, const void *data, ULONG length)
{
    irp_ = IoAllocateIrp(device->StackSize, FALSE);
    if (length > 0) {
        buffer_ = ExAllocatePoolWithTag(NonPagedPool, length, kTag);
        if (data != nullptr)
            memcpy(buffer_, data, length);
        else
            memset(buffer_, 0, length);
        mdl_ = IoAllocateMdl(buffer_, length, FALSE, FALSE, nullptr);
        MmBuildMdlForNonPagedPool(mdl_);
    }
}

Request::~Request()
{
    if (!done_.load() && irp_ != nullptr) {
        IoCancelIrp(irp_);
        if (!Wait(10000)) return;  // still owned by the transport: leaked, and the test fails
    }
    if (irp_ != nullptr) IoFreeIrp(irp_);
    if (mdl_ != nullptr) IoFreeMdl(mdl_);
    if (buffer_ != nullptr) ExFreePoolWithTag(buffer_, kTag);
}

PVOID Request::Storage(size_t bytes)
{
    storage_.assign(bytes, 0);
    return storage_.data();
}

NTSTATUS Request::Call(PDEVICE_OBJECT device)
{
    call_ = IoCallDriver(device, irp_);
    return call_;
}

NTSTATUS Request::Completed(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto *request = static_cast<Request *>(context);
    request->status_ = irp->IoStatus.Status;
    request->information_ = irp->IoStatus.Information;
    request->done_.store(true);              // last: the waiter may free the request at once
    return STATUS_MORE_PROCESSING_REQUIRED;  // the IRP is ours
}

bool Request::Wait(int ms)
{
    // Real time, whatever the platform clock does.
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done_.load()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// ---------------------------------------------------------------- TdiClient

NTSTATUS TdiClient::OpenTransport()
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\Tcp");
    return IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &transportFile_, &device_);
}

NTSTATUS TdiClient::OpenObject(const char *eaName, const void *value, USHORT valueLength, HANDLE *handle,
                               PFILE_OBJECT *file)
{
    const UCHAR nameLength = (UCHAR)strlen(eaName);
    const ULONG size = FIELD_OFFSET(FILE_FULL_EA_INFORMATION, EaName) + nameLength + 1 + valueLength;
    auto *ea = static_cast<PFILE_FULL_EA_INFORMATION>(ExAllocatePoolWithTag(NonPagedPool, size, kTag));
    if (ea == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    memset(ea, 0, size);
    ea->EaNameLength = nameLength;
    ea->EaValueLength = valueLength;
    memcpy(ea->EaName, eaName, nameLength + 1);
    memcpy(ea->EaName + nameLength + 1, value, valueLength);

    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\Tcp");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb;
    NTSTATUS status =
        ZwCreateFile(handle, GENERIC_READ | GENERIC_WRITE, &attributes, &iosb, nullptr, FILE_ATTRIBUTE_NORMAL,
                     FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN_IF, 0, ea, size);
    ExFreePoolWithTag(ea, kTag);
    if (!NT_SUCCESS(status)) return status;
    PVOID object = nullptr;
    status = ObReferenceObjectByHandle(*handle, GENERIC_READ | GENERIC_WRITE, *IoFileObjectType, KernelMode, &object,
                                       nullptr);
    if (!NT_SUCCESS(status)) {
        ZwClose(*handle);
        *handle = nullptr;
        return status;
    }
    *file = static_cast<PFILE_OBJECT>(object);
    return STATUS_SUCCESS;
}

NTSTATUS TdiClient::OpenAddress(ULONG address, USHORT port)
{
    TA_IP_ADDRESS local{};
    local.TAAddressCount = 1;
    local.Address[0].AddressLength = TDI_ADDRESS_LENGTH_IP;
    local.Address[0].AddressType = TDI_ADDRESS_TYPE_IP;
    local.Address[0].Address[0].sin_port = htons(port);
    local.Address[0].Address[0].in_addr = htonl(address);
    return OpenObject(TdiTransportAddress, &local, sizeof(local), &addressHandle_, &addressFile_);
}

NTSTATUS TdiClient::OpenConnection(CONNECTION_CONTEXT context)
{
    return OpenObject(TdiConnectionContext, &context, sizeof(context), &connectionHandle_, &connectionFile_);
}

NTSTATUS TdiClient::Run(Request &request)
{
    NTSTATUS called = request.Call(device_);
    if (!request.Wait()) return STATUS_TIMEOUT;  // never completed: the caller's expectation fails
    if (called != STATUS_PENDING) {
        EXPECT_EQ(called, request.Status()) << "returned and completed statuses differ";
    }
    return request.Status();
}

NTSTATUS TdiClient::Associate()
{
    Request request(device_);
    TdiBuildAssociateAddress(request.Irp(), device_, connectionFile_, Request::Completed, &request, addressHandle_);
    return Run(request);
}

NTSTATUS TdiClient::Disassociate()
{
    Request request(device_);
    TdiBuildDisassociateAddress(request.Irp(), device_, connectionFile_, Request::Completed, &request);
    return Run(request);
}

NTSTATUS TdiClient::SetEventHandler(LONG type, PVOID handler, PVOID context)
{
    Request request(device_);
    TdiBuildSetEventHandler(request.Irp(), device_, addressFile_, Request::Completed, &request, type, handler, context);
    return Run(request);
}

std::unique_ptr<Request> TdiClient::StartConnect(ULONG address, USHORT port, PLARGE_INTEGER timeout)
{
    auto request = std::make_unique<Request>(device_);
    auto *storage = static_cast<UCHAR *>(request->Storage(sizeof(TDI_CONNECTION_INFORMATION) + sizeof(TA_IP_ADDRESS)));
    auto *info = reinterpret_cast<PTDI_CONNECTION_INFORMATION>(storage);
    auto *remote = reinterpret_cast<PTA_IP_ADDRESS>(storage + sizeof(TDI_CONNECTION_INFORMATION));
    remote->TAAddressCount = 1;
    remote->Address[0].AddressLength = TDI_ADDRESS_LENGTH_IP;
    remote->Address[0].AddressType = TDI_ADDRESS_TYPE_IP;
    remote->Address[0].Address[0].sin_port = htons(port);
    remote->Address[0].Address[0].in_addr = htonl(address);
    info->RemoteAddressLength = sizeof(TA_IP_ADDRESS);
    info->RemoteAddress = remote;
    TdiBuildConnect(request->Irp(), device_, connectionFile_, Request::Completed, request.get(), timeout, info,
                    nullptr);
    request->Call(device_);
    return request;
}

NTSTATUS TdiClient::Connect(ULONG address, USHORT port)
{
    auto request = StartConnect(address, port);
    if (!request->Wait()) return STATUS_TIMEOUT;
    return request->Status();
}

std::unique_ptr<Request> TdiClient::StartSend(const void *data, ULONG length)
{
    auto request = std::make_unique<Request>(device_, data, length);
    TdiBuildSend(request->Irp(), device_, connectionFile_, Request::Completed, request.get(), request->Mdl(), 0,
                 length);
    request->Call(device_);
    return request;
}

NTSTATUS TdiClient::Send(const void *data, ULONG length)
{
    auto request = StartSend(data, length);
    if (!request->Wait()) return STATUS_TIMEOUT;
    if (request->CallStatus() != STATUS_PENDING) {
        EXPECT_EQ(request->CallStatus(), request->Status());
    }
    if (NT_SUCCESS(request->Status())) {
        EXPECT_EQ(request->Information(), length);
    }
    return request->Status();
}

std::unique_ptr<Request> TdiClient::StartReceive(ULONG length)
{
    auto request = std::make_unique<Request>(device_, nullptr, length);
    TdiBuildReceive(request->Irp(), device_, connectionFile_, Request::Completed, request.get(), request->Mdl(),
                    TDI_RECEIVE_NORMAL, length);
    request->Call(device_);
    return request;
}

NTSTATUS TdiClient::Disconnect(ULONG flags)
{
    Request request(device_);
    TdiBuildDisconnect(request.Irp(), device_, connectionFile_, Request::Completed, &request, nullptr, flags, nullptr,
                       nullptr);
    return Run(request);
}

NTSTATUS TdiClient::OpenAssociated(CONNECTION_CONTEXT context)
{
    NTSTATUS status = OpenTransport();
    if (NT_SUCCESS(status)) status = OpenAddress();
    if (NT_SUCCESS(status)) status = OpenConnection(context);
    if (NT_SUCCESS(status)) status = Associate();
    return status;
}

NTSTATUS TdiClient::Link(ULONG address, USHORT port, PVOID receiveHandler, PVOID disconnectHandler, PVOID context)
{
    NTSTATUS status = OpenTransport();
    if (NT_SUCCESS(status)) status = OpenAddress();
    if (NT_SUCCESS(status) && disconnectHandler != nullptr)
        status = SetEventHandler(TDI_EVENT_DISCONNECT, disconnectHandler, context);
    if (NT_SUCCESS(status) && receiveHandler != nullptr)
        status = SetEventHandler(TDI_EVENT_RECEIVE, receiveHandler, context);
    if (NT_SUCCESS(status)) status = OpenConnection(context);
    if (NT_SUCCESS(status)) status = Associate();
    if (NT_SUCCESS(status)) status = Connect(address, port);
    return status;
}

void TdiClient::Close()
{
    if (addressFile_ != nullptr)
        for (LONG type = TDI_EVENT_CONNECT; type <= TDI_EVENT_ERROR_EX; ++type) SetEventHandler(type, nullptr, nullptr);
    if (connectionHandle_ != nullptr) ZwClose(connectionHandle_);
    if (connectionFile_ != nullptr) ObDereferenceObject(connectionFile_);
    if (addressHandle_ != nullptr) ZwClose(addressHandle_);
    if (addressFile_ != nullptr) ObDereferenceObject(addressFile_);
    if (transportFile_ != nullptr) ObDereferenceObject(transportFile_);
    connectionHandle_ = addressHandle_ = nullptr;
    connectionFile_ = addressFile_ = transportFile_ = nullptr;
    device_ = nullptr;
}

void TdiClient::CloseConnection()
{
    if (connectionHandle_ != nullptr) ZwClose(connectionHandle_);
    if (connectionFile_ != nullptr) ObDereferenceObject(connectionFile_);
    connectionHandle_ = nullptr;
    connectionFile_ = nullptr;
}

// ---------------------------------------------------------------- Recorder

bool Recorder::WaitBytes(size_t n, int ms)
{
    std::unique_lock<std::mutex> lock(Lock);
    return Changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return Data.size() >= n; });
}

bool Recorder::WaitDisconnects(size_t n, int ms)
{
    std::unique_lock<std::mutex> lock(Lock);
    return Changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return DisconnectFlags.size() >= n; });
}

std::string Recorder::Text()
{
    std::lock_guard<std::mutex> guard(Lock);
    return std::string(Data.begin(), Data.end());
}

NTSTATUS RecordReceive(PVOID eventContext, CONNECTION_CONTEXT connection, ULONG, ULONG indicated, ULONG available,
                       ULONG *taken, PVOID data, PIRP *irp)
{
    auto *r = static_cast<Recorder *>(eventContext);
    if (r->Forbidden.load()) r->CalledWhenForbidden++;
    r->Inside = true;
    // Bounded, so that a test that fails while holding it still ends.
    qvtest::WaitUntil([r] { return !r->Hold.load(); }, 30000);
    std::lock_guard<std::mutex> guard(r->Lock);
    r->Inside = false;
    r->Irqls.push_back(KeGetCurrentIrql());
    r->Contexts.push_back(connection);
    r->Indicated.push_back(indicated);
    r->Available.push_back(available);
    ULONG take = indicated;
    if (r->PartialTakes > 0) {
        take = std::min(indicated, r->TakeAtMost);
        r->PartialTakes--;
    }
    const auto *bytes = static_cast<const UCHAR *>(data);
    r->Data.insert(r->Data.end(), bytes, bytes + take);
    *taken = take;
    *irp = nullptr;
    r->Changed.notify_all();
    return take == indicated ? STATUS_SUCCESS : r->PartialStatus;
}

NTSTATUS RecordDisconnect(PVOID eventContext, CONNECTION_CONTEXT connection, LONG, PVOID, LONG, PVOID, ULONG flags)
{
    auto *r = static_cast<Recorder *>(eventContext);
    if (r->Forbidden.load()) r->CalledWhenForbidden++;
    std::lock_guard<std::mutex> guard(r->Lock);
    r->Irqls.push_back(KeGetCurrentIrql());
    r->Contexts.push_back(connection);
    r->DisconnectFlags.push_back(flags);
    r->Changed.notify_all();
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------- Peer

Peer::Peer()
{
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sin.sin_port = 0;
    bind(listener_, reinterpret_cast<sockaddr *>(&sin), sizeof(sin));
    listen(listener_, 16);
    socklen_t len = sizeof(sin);
    getsockname(listener_, reinterpret_cast<sockaddr *>(&sin), &len);
    port_ = ntohs(sin.sin_port);
}

Peer::~Peer()
{
    Close();
    StopListening();
}

bool Peer::Accept(int ms)
{
    Close();
    if (!PollFor(listener_, POLLIN, ms)) return false;
    connection_ = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    return connection_ >= 0;
}

void Peer::Write(const std::string &bytes)
{
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = send(connection_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return;
        sent += (size_t)n;
    }
}

std::string Peer::Read(size_t n, int ms)
{
    std::string got;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (got.size() < n) {
        int left =
            (int)std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
        if (left <= 0 || !PollFor(connection_, POLLIN, left)) break;
        char buffer[4096];
        ssize_t r = recv(connection_, buffer, std::min(sizeof(buffer), n - got.size()), 0);
        if (r <= 0) break;
        got.append(buffer, (size_t)r);
    }
    return got;
}

bool Peer::WaitClosed(int ms)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        int left =
            (int)std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
        if (left <= 0 || !PollFor(connection_, POLLIN, left)) return false;
        char buffer[4096];
        ssize_t r = recv(connection_, buffer, sizeof(buffer), 0);
        if (r <= 0) return true;
    }
}

void Peer::Close()
{
    if (connection_ >= 0) close(connection_);
    connection_ = -1;
}

void Peer::Reset()
{
    if (connection_ < 0) return;
    linger l{1, 0};
    setsockopt(connection_, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
    Close();
}

void Peer::StopListening()
{
    if (listener_ >= 0) close(listener_);
    listener_ = -1;
}

USHORT ClosedPort()
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr *>(&sin), sizeof(sin));
    socklen_t len = sizeof(sin);
    getsockname(s, reinterpret_cast<sockaddr *>(&sin), &len);
    close(s);
    return ntohs(sin.sin_port);
}

}  // namespace tditest
