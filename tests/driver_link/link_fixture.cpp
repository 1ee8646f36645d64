#include "link_fixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

namespace linktest {

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

    // The peer says its port once it listens; a peer that never does fails the test in seconds.
    std::string line;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (;;) {
        int left = int(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
        pollfd ready = {fromChild[0], POLLIN, 0};
        char c;
        if (left <= 0 || poll(&ready, 1, left) <= 0 || read(fromChild[0], &c, 1) != 1 || c == '\n') break;
        line += c;
    }
    close(fromChild[0]);
    unsigned port = 0;
    EXPECT_EQ(sscanf(line.c_str(), "PORT %u", &port), 1) << "peer said: " << line;
    port_ = USHORT(port);
}

PymodbusServer::~PymodbusServer()
{
    if (stdinFd_ >= 0) close(stdinFd_);  // the peer ends when its input closes
    if (pid_ <= 0) return;
    int status;
    if (!qvtest::WaitUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; })) {
        ADD_FAILURE() << "the pymodbus peer did not end with its input";
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
    }
}

std::vector<std::string> Violations()
{
    std::vector<std::string> violations;
    for (const std::string &finding : qv::VerifierFindings()) {
        if (finding.rfind("violation:", 0) == 0) violations.push_back(finding);
    }
    return violations;
}

}  // namespace linktest

// ------------------------------------------------------------------- the port

namespace linktest {
namespace {

// 8 data bits, no parity, 1 stop bit: what the set-line-control request stores for it.
const UCHAR kLine8N1 = 0x03;

}  // namespace

// The port's start leaves log lines of its own; the test's log begins after them.
TestPort::TestPort() { qv::ClearDbgPrint(); }

TestPort::~TestPort()
{
    if (open_) Close();
}

NTSTATUS TestPort::Open(const std::vector<UCHAR> &record)
{
    PDEVICE_EXTENSION extension = Extension();
    std::vector<UCHAR> copy = record;
    EXPECT_EQ(MakeEthernetLists(extension, copy.data()), STATUS_SUCCESS);
    NTSTATUS status = AllocateRxRing(extension);
    if (NT_SUCCESS(status)) {
        status = ConnectToLinkServer(Device());
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
    StopConnectThread(Device());
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
