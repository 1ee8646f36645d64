// The link end to end: requests written to a port reach real Modbus servers on 127.0.0.1
// through the connection thread and the transport client, and their replies come back through
// the receive indication in the framing of the request.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <thread>

#include <tdi.h>

#include "link_fixture.h"
#include "qv/tdi.h"

NTSTATUS NTAPI KivraTdiReceiveEventHandler(PVOID TdiEventContext, CONNECTION_CONTEXT ConnectionContext,
                                           ULONG ReceiveFlags, ULONG BytesIndicated, ULONG BytesAvailable,
                                           ULONG *BytesTaken, PVOID Tsdu, PIRP *IoRequestPacket);

namespace {

using qvtest::AsciiFrame;
using qvtest::MakeRecord;
using qvtest::RtuFrame;
using Bytes = std::vector<UCHAR>;

const Bytes kReadOneRegister = {0x01, 0x03, 0x00, 0x00, 0x00, 0x01};
// The reply to it from a server whose register 0 holds 0x2A, with its CRC low byte first.
const Bytes kRtuReply = {0x01, 0x03, 0x02, 0x00, 0x2A, 0x39, 0x9B};

// The lengths the gateway was handed, in order.
std::vector<std::string> ReceivedBlocks()
{
    std::vector<std::string> blocks;
    for (const std::string &line : qv::DbgPrintLines())
        if (line.rfind("ProcessIncomingData length = ", 0) == 0) blocks.push_back(line.substr(29));
    return blocks;
}

int CountLines(const std::string &text)
{
    std::vector<std::string> lines = qv::DbgPrintLines();
    return int(std::count(lines.begin(), lines.end(), text));
}

// Index of the first line equal to text, or -1.
int LineIndex(const std::string &text)
{
    std::vector<std::string> lines = qv::DbgPrintLines();
    auto it = std::find(lines.begin(), lines.end(), text);
    return it == lines.end() ? -1 : int(it - lines.begin());
}

// Waits until a connect has reached the transport and is held there.
bool WaitConnecting()
{
    return qvtest::WaitUntil([] {
        for (const qv::TdiEndpointInfo &endpoint : qv::TdiListEndpoints()) {
            if (endpoint.State == qv::TdiEndpointState::Connecting) return true;
        }
        return false;
    });
}

class LinkTest : public linktest::PlatformFixture {
protected:
    void TearDown() override
    {
        port_.reset();
        qv::TdiSetSettings(qv::TdiSettings{});
        linktest::PlatformFixture::TearDown();
    }

    linktest::TestPort &Port()
    {
        if (!port_) port_ = std::make_unique<linktest::TestPort>();
        return *port_;
    }

    // The first request of an open port: parked until the thread has connected, then answered.
    void FirstRequestAnswered()
    {
        EXPECT_EQ(Port().Write(RtuFrame(kReadOneRegister)), STATUS_TIMEOUT);
        EXPECT_EQ(Port().Reply(), kRtuReply);
        Port().Settle();
    }

    std::unique_ptr<linktest::TestPort> port_;
};

// The open runs in the opening program's context: the connection thread's handle must still be
// a kernel handle, and the socket requests run at PASSIVE_LEVEL under ConnectMutex.
TEST_F(LinkTest, FirstRequestFromAProgramGoesThroughThePendingSlotKernelClean)
{
    qvtest::ModbusServer server;
    qv::ProgramScope scope(qv::CreateProgram("modbus client"));
    ASSERT_EQ(Port().Open(MakeRecord(1000, 0, 0, {{server.Port(), false, {1}}})), STATUS_SUCCESS);

    // No link yet: the request waits for the connection thread, which connects and sends it.
    FirstRequestAnswered();
    EXPECT_EQ(CountLines("ConnectThread - Sending Data"), 1);
    ASSERT_EQ(server.RequestLog().size(), 1u);
    EXPECT_EQ(server.RequestLog()[0], (Bytes{0x01, 0x00, 0x00, 0x00, 0x00, 0x06, 0x01, 0x03, 0x00, 0x00, 0x00, 0x01}));

    // The link stays up: the next request is sent at once.
    EXPECT_EQ(Port().Write(RtuFrame(kReadOneRegister)), STATUS_SUCCESS);
    EXPECT_EQ(Port().Reply(), kRtuReply);
    EXPECT_EQ(server.Connections(), 1);
    EXPECT_EQ(server.RequestLog()[1][0], 0x02);  // next transaction id
    Port().Close();
    EXPECT_EQ(linktest::Violations(), std::vector<std::string>{});
}

TEST_F(LinkTest, AsciiRequestToPymodbusComesBackAsAscii)
{
    linktest::PymodbusServer server("tcp");
    ASSERT_EQ(Port().Open(MakeRecord(1000, 0, 0, {{server.Port(), false, {1}}})), STATUS_SUCCESS);

    EXPECT_EQ(Port().Write(AsciiFrame(kReadOneRegister)), STATUS_TIMEOUT);
    std::string reply;
    for (UCHAR c : Port().Reply()) reply += char(c);
    EXPECT_EQ(reply, ":010302002AD0\r\n");
    Port().Settle();

    EXPECT_EQ(Port().Write(AsciiFrame({0x01, 0x03, 0x00, 0x01, 0x00, 0x02})), STATUS_SUCCESS);
    reply.clear();
    for (UCHAR c : Port().Reply()) reply += char(c);
    Bytes expected = AsciiFrame({0x01, 0x03, 0x04, 0x00, 0x2B, 0x00, 0x2C});
    EXPECT_EQ(reply, std::string(expected.begin(), expected.end()));
}

TEST_F(LinkTest, RawConnectionPassesFramesBothWaysUnchanged)
{
    linktest::PymodbusServer server("rtu");  // RTU frames over TCP
    ASSERT_EQ(Port().Open(MakeRecord(1000, 0, 0, {{server.Port(), true, {1}}})), STATUS_SUCCESS);

    FirstRequestAnswered();
    EXPECT_EQ(Port().Write(RtuFrame({0x01, 0x03, 0x00, 0x02, 0x00, 0x01})), STATUS_SUCCESS);
    EXPECT_EQ(Port().Reply(), RtuFrame({0x01, 0x03, 0x02, 0x00, 0x2C}));
}

TEST_F(LinkTest, TwoConnectionsRoutedByDeviceId)
{
    qvtest::ModbusServer first;
    linktest::PymodbusServer second("tcp");
    ASSERT_EQ(Port().Open(MakeRecord(1000, 0, 0, {{first.Port(), false, {1, 3}}, {second.Port(), false, {2}}})),
              STATUS_SUCCESS);

    FirstRequestAnswered();
    EXPECT_EQ(Port().Write(RtuFrame({0x02, 0x03, 0x00, 0x00, 0x00, 0x01})), STATUS_TIMEOUT);
    EXPECT_EQ(Port().Reply(), RtuFrame({0x02, 0x03, 0x02, 0x00, 0x2A}));
    Port().Settle();
    EXPECT_EQ(Port().Write(RtuFrame({0x03, 0x03, 0x00, 0x00, 0x00, 0x01})), STATUS_SUCCESS);
    EXPECT_EQ(Port().Reply(), RtuFrame({0x03, 0x03, 0x02, 0x00, 0x2A}));

    // Device 2 never reached the first server.
    std::vector<Bytes> log = first.RequestLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0][6], 0x01);
    EXPECT_EQ(log[1][6], 0x03);
    EXPECT_TRUE(Port().LinkUp(Port().ConnectionOf(1)));
    EXPECT_TRUE(Port().LinkUp(Port().ConnectionOf(2)));
}

// A write while the thread connects is dropped; the request parked before goes only to the
// connection it was built for, and its reply is not delivered after the later write.
TEST_F(LinkTest, WriteDuringAConnectIsDropped)
{
    qvtest::ModbusServer first, second;
    ASSERT_EQ(Port().Open(MakeRecord(1000, 0, 0, {{first.Port(), false, {1}}, {second.Port(), false, {2}}})),
              STATUS_SUCCESS);

    qv::UseVirtualClock(true);
    qv::TdiHoldNextConnect(1000, STATUS_SUCCESS);
    EXPECT_EQ(Port().Write(RtuFrame({0x01, 0x03, 0x00, 0x00, 0x00, 0x01})), STATUS_TIMEOUT);
    ASSERT_TRUE(WaitConnecting());
    // The thread holds ConnectMutex for the attempt: this write is dropped.
    EXPECT_EQ(Port().Write(RtuFrame({0x02, 0x03, 0x00, 0x00, 0x00, 0x01})), STATUS_SUCCESS);
    qv::AdvanceClock(1000 * 10000ULL);
    ASSERT_TRUE(qvtest::WaitUntil([&] { return first.Requests() == 1; }, 10000));
    // The program wrote again after it, so the first request's answer is no longer its to read.
    EXPECT_TRUE(Port().Reply(1000).empty());
    EXPECT_EQ(first.Requests(), 1);
    EXPECT_EQ(second.Requests(), 0);
    EXPECT_FALSE(Port().LinkUp(Port().ConnectionOf(2)));
    qv::UseVirtualClock(false);
}

// Both connections flagged when the thread wakes: the request kept for the first goes only to
// the first, and the thread serves the second flag without waiting for another write.
TEST_F(LinkTest, EveryFlaggedConnectionIsServedAndThePendingRequestKeepsItsConnection)
{
    qvtest::ModbusServer first, second;
    ASSERT_EQ(Port().Open(MakeRecord(1000, 0, 0, {{first.Port(), false, {1}}, {second.Port(), false, {2}}})),
              STATUS_SUCCESS);
    PETH_CONNECTION one = Port().ConnectionOf(1), two = Port().ConnectionOf(2);
    PDEVICE_EXTENSION extension = Port().Extension();

    // What two failed sends leave when the thread has not run in between: both flagged, the
    // request of device 1 kept. The thread finds the second connection first.
    Bytes request = {0x01, 0x00, 0x00, 0x00, 0x00, 0x06, 0x01, 0x03, 0x00, 0x00, 0x00, 0x01};
    PUCHAR pending = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, request.size(), QUORVEL_TAG);
    std::copy(request.begin(), request.end(), pending);
    AcquireConnectMutex(extension);
    one->TransactionId = 1;
    one->Mode = 1;
    one->Awaiting = TRUE;  // the request's transaction, as the write path starts it
    one->AwaitUnit = 1;
    one->AwaitFunction = 3;
    one->AwaitSerial = extension->RequestSerial;
    one->NeedConnection = 1;
    two->NeedConnection = 1;
    extension->PendingData = pending;
    extension->PendingLength = ULONG(request.size());
    extension->PendingConnection = one;
    KeSetEvent(&extension->ConnectEvent, IO_NO_INCREMENT, FALSE);
    ReleaseConnectMutex(extension);

    EXPECT_EQ(Port().Reply(), kRtuReply);
    ASSERT_TRUE(Port().WaitLink(two, true));
    EXPECT_TRUE(Port().LinkUp(one));
    EXPECT_EQ(first.Requests(), 1);
    EXPECT_EQ(second.Requests(), 0);
}

TEST_F(LinkTest, ServerClosingAfterReplyMakesTheNextRequestReconnect)
{
    qvtest::ModbusServer server(/*closeAfterReply=*/true);
    ASSERT_EQ(Port().Open(MakeRecord(1000, 0, 0, {{server.Port(), false, {1}}})), STATUS_SUCCESS);
    PETH_CONNECTION connection = Port().ConnectionOf(1);
    EXPECT_EQ(connection->ReplyBuffer, nullptr) << "no link, no reply buffer";

    for (int round = 1; round <= 3; round++) {
        EXPECT_EQ(Port().Write(RtuFrame(kReadOneRegister)), STATUS_TIMEOUT);
        EXPECT_EQ(Port().Reply(), kRtuReply);
        // The disconnect indication's work closes the socket, and the reply buffer goes with it.
        ASSERT_TRUE(Port().WaitLink(connection, false));
        EXPECT_EQ(server.Connections(), round);
        Port().Settle();
        EXPECT_EQ(connection->ReplyBuffer, nullptr);
    }
    EXPECT_TRUE(qv::WaitForDbgPrint("KivraTdiWorkerRoutine - end", 10000));
}

TEST_F(LinkTest, UnreachableServerLosesTheRequestAndTheNextWriteTriesAgain)
{
    ASSERT_EQ(Port().Open(MakeRecord(1000, 0, 0, {{qvtest::RefusingPort(), false, {1}}})), STATUS_SUCCESS);
    PETH_CONNECTION connection = Port().ConnectionOf(1);

    for (int attempt = 1; attempt <= 2; attempt++) {
        EXPECT_EQ(Port().Write(RtuFrame(kReadOneRegister)), STATUS_TIMEOUT);
        ASSERT_TRUE(qv::WaitForDbgPrint("ConnectThread - KivraTdiConnect - Failed", 10000));
        qv::ClearDbgPrint();
        // The attempt released the request and left the connection unflagged.
        PDEVICE_EXTENSION extension = Port().Extension();
        AcquireConnectMutex(extension);
        EXPECT_EQ(extension->PendingData, nullptr);
        EXPECT_EQ(connection->NeedConnection, 0);
        EXPECT_EQ(connection->Socket, nullptr);
        ReleaseConnectMutex(extension);
    }
    EXPECT_EQ(Port().BytesWaiting(), 0u);
}

TEST_F(LinkTest, SendHeldPastTheDelayClosesTheLinkAndIsSentAgainAfterReconnect)
{
    qvtest::ModbusServer server;
    ASSERT_EQ(Port().Open(MakeRecord(100, 0, 0, {{server.Port(), false, {1}}})), STATUS_SUCCESS);
    PETH_CONNECTION connection = Port().ConnectionOf(1);
    FirstRequestAnswered();
    qv::ClearDbgPrint();

    // Far longer than the 100 ms limit; the cancel ends it early.
    qv::TdiHoldNextSend(60000);
    EXPECT_EQ(Port().Write(RtuFrame(kReadOneRegister)), STATUS_TIMEOUT);
    EXPECT_GE(LineIndex("Send Time Out"), 0);
    EXPECT_GT(LineIndex("Data Not Sended!"), LineIndex("Send Time Out"));
    EXPECT_GT(LineIndex("DisconnectFromLinkServer"), LineIndex("Data Not Sended!"));

    // The kept request is sent by the thread over a new link.
    EXPECT_EQ(Port().Reply(), kRtuReply);
    EXPECT_TRUE(Port().LinkUp(connection));
    EXPECT_EQ(server.Connections(), 2);
    std::vector<Bytes> log = server.RequestLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[1][0], 0x02);  // the held request, once
}

TEST_F(LinkTest, DescriptorThatCannotBeHadIsAFailedSend)
{
    qvtest::ModbusServer server;
    ASSERT_EQ(Port().Open(MakeRecord(1000, 0, 0, {{server.Port(), false, {1}}})), STATUS_SUCCESS);
    FirstRequestAnswered();

    qv::InjectFault("IoAllocateMdl", 1);
    EXPECT_EQ(Port().Write(RtuFrame(kReadOneRegister)), STATUS_TIMEOUT);
    EXPECT_EQ(CountLines("Data Not Sended!"), 1);
    EXPECT_EQ(Port().Reply(), kRtuReply);  // sent after the reconnect
    EXPECT_EQ(server.Connections(), 2);
}

TEST_F(LinkTest, ClosingWithTheLinkUpEndsItGracefullyAndThePortOpensAgain)
{
    qvtest::ModbusServer server;
    std::vector<UCHAR> record = MakeRecord(1000, 0, 0, {{server.Port(), false, {1}}});
    ASSERT_EQ(Port().Open(record), STATUS_SUCCESS);
    FirstRequestAnswered();
    qv::ClearDbgPrint();

    Port().Close();
    EXPECT_EQ(Port().Extension()->ConnectThreadObject, nullptr);
    EXPECT_EQ(LineIndex("StopConnectThread - begin"), 0);
    EXPECT_GT(LineIndex("DisconnectFromLinkServer"), 0);
    EXPECT_GT(LineIndex("ConnectThread - devExt->ExitThread == TRUE"), LineIndex("DisconnectFromLinkServer"));
    EXPECT_GT(LineIndex("PsTerminateSystemThread"), 0);
    EXPECT_GT(LineIndex("StopConnectThread - end"), LineIndex("PsTerminateSystemThread"));
    EXPECT_TRUE(qv::TdiListEndpoints().empty());

    ASSERT_EQ(Port().Open(record), STATUS_SUCCESS);
    EXPECT_EQ(Port().Write(RtuFrame(kReadOneRegister)), STATUS_TIMEOUT);
    EXPECT_EQ(Port().Reply(), kRtuReply);
    EXPECT_EQ(server.Connections(), 2);
}

TEST_F(LinkTest, ClosingDuringAConnectWaitsForTheAttempt)
{
    qvtest::ModbusServer server;
    ASSERT_EQ(Port().Open(MakeRecord(1000, 0, 0, {{server.Port(), false, {1}}})), STATUS_SUCCESS);

    qv::UseVirtualClock(true);
    qv::TdiHoldNextConnect(5000, STATUS_SUCCESS);
    EXPECT_EQ(Port().Write(RtuFrame(kReadOneRegister)), STATUS_TIMEOUT);
    ASSERT_TRUE(WaitConnecting());

    std::thread closer([this] { Port().Close(); });
    ASSERT_TRUE(qv::WaitForDbgPrint("StopConnectThread - begin", 10000));
    EXPECT_EQ(LineIndex("StopConnectThread - end"), -1);  // held by the attempt's ConnectMutex
    qv::AdvanceClock(5000 * 10000ULL);
    closer.join();

    // The attempt finished and sent its request before the close disconnected it.
    EXPECT_GT(LineIndex("DisconnectFromLinkServer"), LineIndex("ConnectThread - Sending Data"));
    EXPECT_GT(LineIndex("StopConnectThread - end"), LineIndex("DisconnectFromLinkServer"));
    EXPECT_EQ(Port().Extension()->ConnectThreadObject, nullptr);
    qv::UseVirtualClock(false);
}

TEST_F(LinkTest, TransportAddressNotificationsAreDumped)
{
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, (PCWSTR)u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Quorvel");
    qv::PoolUsage before = qv::QueryPoolUsageByTag(QUORVEL_TAG);

    qv::InjectFault("TdiRegisterPnPHandlers", 1);
    EXPECT_FALSE(NT_SUCCESS(KivraTdiRegisterPnPHandlers(&path)));
    EXPECT_EQ(qv::QueryPoolUsageByTag(QUORVEL_TAG).Blocks, before.Blocks);

    ASSERT_EQ(KivraTdiRegisterPnPHandlers(&path), STATUS_SUCCESS);
    // The loopback address is announced: 127.0.0.1 as stored, in network order.
    EXPECT_TRUE(qv::WaitForDbgPrint("KIVRA(IRQL 00):     in_addr 100007f", 10000));
    EXPECT_GE(LineIndex("KIVRA(IRQL 00):     TDI_ADDRESS_TYPE_IP"), 0);
    KivraTdiDeregisterPnPHandlers();
    EXPECT_EQ(qv::QueryPoolUsageByTag(QUORVEL_TAG).Blocks, before.Blocks);
}

// The verifier holds the driver's whole lock order, on the locks the driver named itself: the
// port's, and those made while it runs (a connection's ReplyLock at open, a socket's IRP pool
// lock at connect). The nestings the driver uses pass; the ones it forbids are reported.
TEST_F(LinkTest, TheDriversLockOrderIsCheckedOnItsOwnLocks)
{
    qv::ExpectedVerifierFindings expected;  // on purpose: takes the forbidden nestings
    qvtest::ModbusServer server;
    ASSERT_EQ(Port().Open(MakeRecord(1000, 0, 0, {{server.Port(), false, {1}}})), STATUS_SUCCESS);
    FirstRequestAnswered();
    PDEVICE_EXTENSION extension = Port().Extension();
    PETH_CONNECTION connection = Port().ConnectionOf(1);
    ASSERT_NE(connection, nullptr);
    AcquireConnectMutex(extension);
    PTDI_SOCKET socket = connection->Socket;
    ReleaseConnectMutex(extension);
    ASSERT_NE(socket, nullptr);

    KIRQL irql, inner;
    // The receive indication's order, and the send path's.
    KeAcquireSpinLock(&extension->DeviceLock, &irql);
    KeAcquireSpinLockAtDpcLevel(&connection->ReplyLock);
    KeReleaseSpinLockFromDpcLevel(&connection->ReplyLock);
    KeReleaseSpinLock(&extension->DeviceLock, irql);
    AcquireConnectMutex(extension);
    KeAcquireSpinLock(&connection->ReplyLock, &irql);
    KeReleaseSpinLock(&connection->ReplyLock, irql);
    KeAcquireSpinLock(&extension->ConnectionListLock, &irql);
    KeReleaseSpinLock(&extension->ConnectionListLock, irql);
    ReleaseConnectMutex(extension);
    EXPECT_EQ(linktest::Violations(), std::vector<std::string>{});

    AcquireConnectMutex(extension);
    KeAcquireSpinLock(&extension->DeviceLock, &irql);
    KeReleaseSpinLock(&extension->DeviceLock, irql);
    ReleaseConnectMutex(extension);
    ExpectFinding("lock \"DeviceLock\" taken while holding \"ConnectMutex\"");

    KeAcquireSpinLock(&extension->DeviceLock, &irql);
    KeAcquireSpinLock(&extension->ReadQueue.QueueLock, &inner);
    KeReleaseSpinLock(&extension->ReadQueue.QueueLock, inner);
    KeReleaseSpinLock(&extension->DeviceLock, irql);
    ExpectFinding("lock \"QueueLock\" taken while holding \"DeviceLock\"");

    IoAcquireCancelSpinLock(&irql);
    KeAcquireSpinLockAtDpcLevel(&extension->ControlGate.GateLock);
    KeReleaseSpinLockFromDpcLevel(&extension->ControlGate.GateLock);
    IoReleaseCancelSpinLock(irql);
    ExpectFinding("lock \"GateLock\" taken while holding \"CancelSpinLock\"");

    KeAcquireSpinLock(&connection->ReplyLock, &irql);
    KeAcquireSpinLockAtDpcLevel(&extension->DeviceLock);
    KeReleaseSpinLockFromDpcLevel(&extension->DeviceLock);
    KeReleaseSpinLock(&connection->ReplyLock, irql);
    ExpectFinding("lock \"DeviceLock\" taken while holding \"ReplyLock\"");

    KeAcquireSpinLock(&socket->IrpPoolLock, &irql);
    KeAcquireSpinLockAtDpcLevel(&connection->ReplyLock);
    KeReleaseSpinLockFromDpcLevel(&connection->ReplyLock);
    KeReleaseSpinLock(&socket->IrpPoolLock, irql);
    ExpectFinding("lock \"ReplyLock\" taken while holding \"IrpPoolLock\"");
    Port().Close();
}

// A reply that the transport shows a few bytes at a time, holding more than it shows, reaches
// the port whole, and its rest is fetched with one receive request at once rather than left to
// further indications.
TEST_F(LinkTest, ReplyShownInSmallPiecesArrivesWholeWithItsRestFetchedAtOnce)
{
    qv::TdiSettings settings;
    settings.IndicationSize = 2;
    ASSERT_EQ(qv::TdiSetSettings(settings), STATUS_SUCCESS);
    qvtest::ModbusServer server;
    ASSERT_EQ(Port().Open(MakeRecord(1000, 0, 0, {{server.Port(), false, {1}}})), STATUS_SUCCESS);
    // The blocks the gateway is handed show only in its verbose trace; set after driver entry,
    // which reads the level.
    struct VerboseTrace {
        VerboseTrace() { TraceLevel = TRACE_LEVEL_VERBOSE; }
        ~VerboseTrace() { TraceLevel = QUORVEL_TRACE_LEVEL; }
    } verbose;
    qv::ClearDbgPrint();
    const Bytes readTen = {0x01, 0x03, 0x00, 0x00, 0x00, 0x0A};
    Bytes content = {0x01, 0x03, 20};
    for (UCHAR i = 0; i < 10; i++) {
        content.push_back(0);
        content.push_back(UCHAR(0x2A + i));
    }
    const Bytes expected = RtuFrame(content);  // from a 29-byte Modbus TCP reply

    EXPECT_EQ(Port().Write(RtuFrame(readTen)), STATUS_TIMEOUT);
    EXPECT_EQ(Port().Reply(), expected);
    EXPECT_EQ(ReceivedBlocks(), (std::vector<std::string>{"2", "27"}));
    Port().Settle();

    // Pieces that arrive apart, each shown in part.
    qv::TdiSplitNextReceive({3});
    qv::ClearDbgPrint();
    EXPECT_EQ(Port().Write(RtuFrame(readTen)), STATUS_SUCCESS);
    EXPECT_EQ(Port().Reply(), expected);
    EXPECT_EQ(ReceivedBlocks(), (std::vector<std::string>{"2", "1", "2", "24"}));
    EXPECT_EQ(linktest::Violations(), std::vector<std::string>{});
}

// These tests indicate replies by hand on a connection whose connect to an unused port fails:
// once the connection thread has given the attempt up (and freed the buffer with it), the
// connection gets its reply buffer as a link that came up would.
class ManualIndication : public LinkTest {
protected:
    // Opens the port on a refused server for device 1, `beforeWrite` run on the open port, and
    // parks one request.
    void SetUpLink(bool raw, const std::function<void(PDEVICE_EXTENSION)> &beforeWrite = nullptr)
    {
        ASSERT_EQ(Port().Open(MakeRecord(1000, 0, 0, {{qvtest::RefusingPort(), raw, {1}}})), STATUS_SUCCESS);
        if (beforeWrite) beforeWrite(Port().Extension());
        ASSERT_EQ(Port().Write(RtuFrame(kReadOneRegister)), STATUS_TIMEOUT);
        AwaitGivenUpAttempt();
        socket_.DeviceObject = Port().Device();
        socket_.Context = Port().ConnectionOf(1);
    }

    // The connection thread holds ConnectMutex for its whole attempt and parks requests under it:
    // once it has given the attempt for the parked request up, the connection gets its reply
    // buffer back as a link that came up would.
    void AwaitGivenUpAttempt()
    {
        PDEVICE_EXTENSION extension = Port().Extension();
        ASSERT_TRUE(qvtest::WaitUntil([&] {
            AcquireConnectMutex(extension);
            bool over = extension->PendingData == NULL;
            ReleaseConnectMutex(extension);
            return over;
        }));
        ASSERT_EQ(AllocateReplyBuffer(Port().ConnectionOf(1)), STATUS_SUCCESS);
    }

    // The transport's receive indication at DISPATCH_LEVEL: the count kept in 32 bits, all of it
    // consumed by the gateway, no receive request handed back.
    void Indicate(Bytes data)
    {
        PIRP irp = (PIRP)1;
        ULONG taken = 0;
        KIRQL irql;
        KeRaiseIrql(DISPATCH_LEVEL, &irql);
        NTSTATUS status = KivraTdiReceiveEventHandler(nullptr, &socket_, 0x20, ULONG(data.size()), ULONG(data.size()),
                                                      &taken, data.data(), &irp);
        KeLowerIrql(irql);
        EXPECT_EQ(status, STATUS_SUCCESS);
        EXPECT_EQ(taken, data.size());
        EXPECT_EQ(irp, nullptr);
    }

    TDI_SOCKET socket_{};
};

TEST_F(ManualIndication, LargeBlocksAreTakenWhole)
{
    SetUpLink(/*raw=*/true);
    Bytes block = kRtuReply;
    block.resize(65536 + 100, 0x5A);
    Indicate(block);
    EXPECT_EQ(Port().Reply(), kRtuReply);  // the raw frame alone, not what follows it
}

// Of two replies to one request in one indicated block, the first reaches the ring and the
// second is dropped: a request is answered once.
TEST_F(ManualIndication, OfRepliesSharingOneBlockOnlyTheFirstAnswerReachesTheRing)
{
    SetUpLink(/*raw=*/false);
    ASSERT_EQ(Port().ConnectionOf(1)->TransactionId, 1);
    Bytes block = {0x01, 0x00, 0x00, 0x00, 0x00, 0x05, 0x01, 0x03, 0x02, 0x00, 0x2A,
                   0x01, 0x00, 0x00, 0x00, 0x00, 0x05, 0x01, 0x03, 0x02, 0x00, 0x2C};
    Indicate(block);
    EXPECT_EQ(Port().Reply(), kRtuReply);
    EXPECT_EQ(Port().Extension()->Uart.RxCount, 0u);
}

// A reply indicated while the port is between allocating its ring and opening the emulated
// port (the receive target not yet pointed at the ring) is dropped, not stored through the
// unset target; once the port is open, replies arrive again.
TEST_F(ManualIndication, ReplyBeforeTheReceiveSideIsOpenIsDropped)
{
    SetUpLink(/*raw=*/true, [](PDEVICE_EXTENSION extension) {
        SerialClosePort(extension);
        ASSERT_EQ(AllocateRxRing(extension), STATUS_SUCCESS);
    });
    Indicate(kRtuReply);
    EXPECT_EQ(Port().BytesWaiting(), 0u);
    EXPECT_EQ(Port().Extension()->Uart.RxCount, 0u);

    SerialOpenPort(Port().Extension());
    // A write while the connection thread still tries the first connect is dropped; the next
    // one is parked again and opens the transaction the reply answers, once that attempt too
    // has been given up.
    ASSERT_TRUE(qvtest::WaitUntil([&] { return Port().Write(RtuFrame(kReadOneRegister)) == STATUS_TIMEOUT; }));
    AwaitGivenUpAttempt();
    Indicate(kRtuReply);
    EXPECT_EQ(Port().Reply(), kRtuReply);
}

// No leak of sockets, IRPs, pool or threads over many open / request / close cycles; the
// platform's report at the end of the test checks what is left.
TEST_F(LinkTest, ManyOpenRequestCloseCyclesLeaveNothingBehind)
{
    qvtest::ModbusServer server;
    std::vector<UCHAR> record = MakeRecord(1000, 0, 0, {{server.Port(), false, {1}}});
    Port();  // the device and its UART, made once, before the count
    qv::PoolUsage before = qv::QueryPoolUsageByTag(QUORVEL_TAG);
    for (int cycle = 0; cycle < 500; cycle++) {
        ASSERT_EQ(Port().Open(record), STATUS_SUCCESS);
        ASSERT_EQ(Port().Write(RtuFrame(kReadOneRegister)), STATUS_TIMEOUT);
        ASSERT_EQ(Port().Reply(), kRtuReply) << "cycle " << cycle;
        Port().Close();
        if (cycle % 50 == 0) qv::ClearDbgPrint();
    }
    qv::PoolUsage after = qv::QueryPoolUsageByTag(QUORVEL_TAG);
    EXPECT_EQ(after.Blocks, before.Blocks);
    EXPECT_EQ(after.Bytes, before.Bytes);
    EXPECT_TRUE(qv::TdiListEndpoints().empty());
    EXPECT_EQ(server.Connections(), 500);
}

// A server drop at the same moment as the port's close: the late disconnect work must touch
// neither the closed socket, nor the released tables, nor a newer socket.
TEST_F(LinkTest, ServerDropRacingCloseIsHarmless)
{
    qvtest::ModbusServer server(/*closeAfterReply=*/true);
    std::vector<UCHAR> record = MakeRecord(1000, 0, 0, {{server.Port(), false, {1}}});
    for (int round = 0; round < 200; round++) {
        ASSERT_EQ(Port().Open(record), STATUS_SUCCESS);
        // The previous round's disconnect work may hold ConnectMutex for a moment, and a
        // write meanwhile is dropped (success): write again once it is free.
        NTSTATUS status;
        for (int tries = 0; (status = Port().Write(RtuFrame(kReadOneRegister))) == STATUS_SUCCESS && tries < 100;
             tries++) {
            Port().Settle();
        }
        ASSERT_EQ(status, STATUS_TIMEOUT);
        ASSERT_EQ(Port().Reply(), kRtuReply) << "round " << round;
        Port().Close();  // the server's close and its indication race this
        if (round % 50 == 0) qv::ClearDbgPrint();
    }
    EXPECT_EQ(linktest::Violations(), std::vector<std::string>{});
}

}  // namespace
