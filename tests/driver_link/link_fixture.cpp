#include "link_fixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

namespace linktest {

// ------------------------------------------------------------------- libmodbus server

LibmodbusServer::LibmodbusServer(bool closeAfterReply) : closeAfterReply_(closeAfterReply)
{
    modbus_t *ctx = modbus_new_tcp("127.0.0.1", 0);
    context_ = ctx;
    modbus_mapping_t *mapping = modbus_mapping_new(0, 0, 100, 0);
    mapping_ = mapping;
    for (int i = 0; i < 100; i++) mapping->tab_registers[i] = uint16_t(0x2A + i);

    listenFd_ = modbus_tcp_listen(ctx, 4);
    EXPECT_GE(listenFd_, 0);
    sockaddr_in address{};
    socklen_t length = sizeof(address);
    getsockname(listenFd_, (sockaddr *)&address, &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
}

LibmodbusServer::~LibmodbusServer()
{
    stop_ = true;
    shutdown(listenFd_, SHUT_RDWR);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (clientFd_ >= 0) shutdown(clientFd_, SHUT_RDWR);
    }
    thread_.join();
    close(listenFd_);
    modbus_mapping_free((modbus_mapping_t *)mapping_);
    modbus_free((modbus_t *)context_);
}

std::vector<std::vector<UCHAR>> LibmodbusServer::RequestLog()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
}

void LibmodbusServer::Serve()
{
    modbus_t *ctx = (modbus_t *)context_;
    uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
    while (!stop_) {
        int fd = accept(listenFd_, nullptr, nullptr);
        if (fd < 0) break;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stop_) {
                close(fd);
                break;
            }
            clientFd_ = fd;
        }
        connections_++;
        modbus_set_socket(ctx, fd);
        for (;;) {
            int rc = modbus_receive(ctx, query);
            if (rc == 0) continue;  // a request for another unit: libmodbus ignores it
            if (rc < 0) break;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                log_.emplace_back(query, query + rc);
            }
            requests_++;
            modbus_reply(ctx, query, rc, (modbus_mapping_t *)mapping_);
            if (closeAfterReply_) break;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        close(fd);
        clientFd_ = -1;
    }
}

// ------------------------------------------------------------------- pymodbus peer

PymodbusServer::PymodbusServer(const char *framer)
{
    int toChild[2], fromChild[2];
    EXPECT_EQ(pipe2(toChild, O_CLOEXEC), 0);
    EXPECT_EQ(pipe2(fromChild, O_CLOEXEC), 0);
    pid_ = fork();
    if (pid_ == 0) {
        dup2(toChild[0], 0);
        dup2(fromChild[1], 1);
        execl("/usr/bin/python3", "python3", LINK_PEER_SCRIPT, "--framer", framer, (char *)nullptr);
        _exit(127);
    }
    close(toChild[0]);
    close(fromChild[1]);
    stdinFd_ = toChild[1];

    std::string line;
    char c;
    while (read(fromChild[0], &c, 1) == 1 && c != '\n') line += c;
    close(fromChild[0]);
    unsigned port = 0;
    EXPECT_EQ(sscanf(line.c_str(), "PORT %u", &port), 1) << "peer said: " << line;
    port_ = USHORT(port);
}

PymodbusServer::~PymodbusServer()
{
    if (stdinFd_ >= 0) close(stdinFd_);  // the peer ends when its input closes
    if (pid_ > 0) {
        int status;
        waitpid(pid_, &status, 0);
    }
}

USHORT UnusedPort()
{
    // Bound but never listened on: the system refuses connects to it.
    static int fd = -1;
    if (fd < 0) {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, (sockaddr *)&address, sizeof(address));
    }
    sockaddr_in address{};
    socklen_t length = sizeof(address);
    getsockname(fd, (sockaddr *)&address, &length);
    return ntohs(address.sin_port);
}

std::vector<UCHAR> MakeRecord(USHORT delayMs, const std::vector<ConnectionEntry> &connections)
{
    std::vector<UCHAR> record(10, 0);
    auto put16 = [](std::vector<UCHAR> &to, size_t at, USHORT v) {
        to[at] = UCHAR(v);
        to[at + 1] = UCHAR(v >> 8);
    };
    auto put32 = [](std::vector<UCHAR> &to, size_t at, ULONG v) {
        for (int i = 0; i < 4; i++) to[at + i] = UCHAR(v >> (8 * i));
    };
    put16(record, 4, 0x0101);
    put16(record, 6, delayMs);
    for (const ConnectionEntry &entry : connections) {
        size_t at = record.size();
        record.resize(at + 11 + entry.DeviceIds.size());
        put32(record, at, ULONG(11 + entry.DeviceIds.size()));
        record[at + 4] = 127;  // 127.0.0.1, network order
        record[at + 5] = 0;
        record[at + 6] = 0;
        record[at + 7] = 1;
        put16(record, at + 8, entry.Port);
        record[at + 10] = entry.Raw ? 1 : 0;
        for (size_t i = 0; i < entry.DeviceIds.size(); i++) record[at + 11 + i] = entry.DeviceIds[i];
    }
    put32(record, 0, ULONG(record.size()));
    return record;
}

std::vector<std::string> Violations()
{
    std::vector<std::string> violations;
    for (const std::string &finding : qv::VerifierFindings()) {
        if (finding.rfind("violation:", 0) == 0) violations.push_back(finding);
    }
    return violations;
}

std::vector<UCHAR> RtuFrame(std::vector<UCHAR> content)
{
    USHORT crc = 0xFFFF;
    for (UCHAR b : content) {
        crc ^= b;
        for (int i = 0; i < 8; i++) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    content.push_back(UCHAR(crc & 0xFF));
    content.push_back(UCHAR(crc >> 8));
    return content;
}

std::vector<UCHAR> AsciiFrame(const std::vector<UCHAR> &content)
{
    static const char hex[] = "0123456789ABCDEF";
    std::vector<UCHAR> frame{':'};
    UCHAR lrc = 0;
    for (UCHAR b : content) {
        frame.push_back(hex[b >> 4]);
        frame.push_back(hex[b & 15]);
        lrc = UCHAR(lrc + b);
    }
    lrc = UCHAR(-lrc);
    frame.push_back(hex[lrc >> 4]);
    frame.push_back(hex[lrc & 15]);
    frame.push_back('\r');
    frame.push_back('\n');
    return frame;
}

}  // namespace linktest

// ------------------------------------------------------------------- the port

namespace qv {
// The I/O manager's own way to make a driver object (the platform's loader uses it).
NTSTATUS IoCreateDriver(PCWSTR driverName, PDRIVER_INITIALIZE init, PDRIVER_OBJECT *out);
void IoUnloadDriver(PDRIVER_OBJECT driver);
}  // namespace qv

namespace linktest {
namespace {

NTSTATUS TestDriverEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }

VOID TestDriverUnload(PDRIVER_OBJECT) {}

// 8 data bits, no parity, 1 stop bit: what the set-line-control request stores for it.
const UCHAR kLine8N1 = 0x03;

}  // namespace

TestPort::TestPort()
{
    static std::atomic<int> instances{0};
    std::u16string name = u"\\Driver\\QvLinkTest";
    for (char c : std::to_string(instances++)) name += char16_t(c);
    NTSTATUS status = qv::IoCreateDriver((PCWSTR)name.c_str(), TestDriverEntry, &driver_);
    EXPECT_EQ(status, STATUS_SUCCESS);
    if (!NT_SUCCESS(status)) return;
    driver_->DriverUnload = TestDriverUnload;
    status = IoCreateDevice(driver_, sizeof(DEVICE_EXTENSION), NULL, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &device_);
    EXPECT_EQ(status, STATUS_SUCCESS);
    if (!NT_SUCCESS(status)) return;

    // What add-device and device start leave.
    PDEVICE_EXTENSION extension = Extension();
    RtlZeroMemory(extension, sizeof(DEVICE_EXTENSION));
    extension->DeviceObject = device_;
    InitializeSerialCore(extension);
    GatewayInitialize(extension);
    InitializeSerialData(extension);
    extension->DevicePowerState = PowerDeviceD0;
    status = VuartInitialize(&extension->Uart, extension);
    EXPECT_EQ(status, STATUS_SUCCESS);
    started_ = true;

    qv::VerifierForbidNestings(QuorvelForbiddenNesting);
}

TestPort::~TestPort()
{
    if (open_) Close();
    if (started_) {
        // Queued DPCs of the port must not outlive it.
        KeFlushQueuedDpcs();
        VuartFree(&Extension()->Uart);
    }
    if (device_ != nullptr) IoDeleteDevice(device_);
    if (driver_ != nullptr) qv::IoUnloadDriver(driver_);
}

NTSTATUS TestPort::Open(const std::vector<UCHAR> &record)
{
    PDEVICE_EXTENSION extension = Extension();
    std::vector<UCHAR> copy = record;
    EXPECT_EQ(MakeEthernetLists(extension, copy.data()), STATUS_SUCCESS);
    NTSTATUS status = AllocateRxRing(extension);
    if (NT_SUCCESS(status)) {
        status = ConnectToLinkServer(device_);
        if (!NT_SUCCESS(status)) FreeRxRing(extension);
    }
    if (!NT_SUCCESS(status)) {
        FreeEthernetLists(extension);
        return status;
    }
    SerialOpenPort(extension);
    open_ = true;

    KIRQL irql;
    KeAcquireSpinLock(&extension->DeviceLock, &irql);
    extension->LineControl = kLine8N1;
    extension->ValidDataMask = 0xFF;
    VuartWriteLcr(&extension->Uart, kLine8N1);
    KeReleaseSpinLock(&extension->DeviceLock, irql);
    return STATUS_SUCCESS;
}

void TestPort::Close()
{
    PDEVICE_EXTENSION extension = Extension();
    StopConnectThread(device_);
    FreeEthernetLists(extension);
    SerialClosePort(extension);
    open_ = false;
}

NTSTATUS TestPort::Write(const std::vector<UCHAR> &frame)
{
    std::vector<UCHAR> copy = frame;
    return ForwardRequest(Extension(), copy.data(), ULONG(copy.size()));
}

size_t TestPort::BytesWaiting()
{
    PDEVICE_EXTENSION extension = Extension();
    KIRQL irql;
    KeAcquireSpinLock(&extension->DeviceLock, &irql);
    size_t count = extension->RxRingCount;
    KeReleaseSpinLock(&extension->DeviceLock, irql);
    return count;
}

std::vector<UCHAR> TestPort::Reply(int timeoutMs)
{
    if (!qvtest::WaitUntil([this] { return BytesWaiting() != 0; }, timeoutMs)) return {};

    // Taken oldest first, as a read takes the ring, wrapping at its end.
    PDEVICE_EXTENSION extension = Extension();
    std::vector<UCHAR> reply;
    KIRQL irql;
    KeAcquireSpinLock(&extension->DeviceLock, &irql);
    if (extension->RxRing != NULL && extension->RxTargetBase == extension->RxRing) {
        PUCHAR ringEnd = extension->RxRing + extension->RxRingSize;
        for (ULONG i = 0; i < extension->RxRingCount; i++) {
            reply.push_back(*extension->RxRingReadPos);
            if (++extension->RxRingReadPos == ringEnd) extension->RxRingReadPos = extension->RxRing;
        }
        extension->RxRingCount = 0;
        ReleaseReceiveHolds(extension);
    }
    KeReleaseSpinLock(&extension->DeviceLock, irql);
    return reply;
}

PETH_CONNECTION TestPort::ConnectionOf(UCHAR deviceId) { return FindConnectionByDeviceID(Extension(), deviceId); }

void TestPort::Settle()
{
    PDEVICE_EXTENSION extension = Extension();
    AcquireConnectMutex(extension);
    ReleaseConnectMutex(extension);
}

bool TestPort::LinkUp(PETH_CONNECTION connection)
{
    PDEVICE_EXTENSION extension = Extension();
    AcquireConnectMutex(extension);
    bool up = connection->Socket != NULL;
    ReleaseConnectMutex(extension);
    return up;
}

bool TestPort::WaitLink(PETH_CONNECTION connection, bool up, int timeoutMs)
{
    return qvtest::WaitUntil([&] { return LinkUp(connection) == up; }, timeoutMs);
}

}  // namespace linktest
