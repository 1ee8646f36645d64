// The TCP transport as a TDI client sees it: the open sequence of a link, requests and their
// completion, the receive and disconnect indications, cancellation, close, and the test switches.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "modbus_server.h"
#include "platform_test.h"
#include "qv/tdi.h"
#include "tdi_client.h"

using namespace tditest;

namespace qv {
NTSTATUS IoCreateDriver(PCWSTR driverName, PDRIVER_INITIALIZE init, PDRIVER_OBJECT *out);
void IoUnloadDriver(PDRIVER_OBJECT driver);
}  // namespace qv

namespace {

// A pointer-sized context with bits set in both halves, so that a truncated copy shows.
CONNECTION_CONTEXT WideContext()
{
    return reinterpret_cast<CONNECTION_CONTEXT>(sizeof(void *) == 8 ? (uintptr_t)0x7EDCBA9876543210ULL
                                                                    : (uintptr_t)0x76543210U);
}

int OpenDescriptors() { return int(qvtest::DirectoryNames("/proc/self/fd").size()); }

class TransportTest : public qvtest::PlatformTest {
protected:
    void TearDown() override
    {
        client.Close();
        qv::UseVirtualClock(false);
        qv::TdiSetSettings(qv::TdiSettings{});
        qvtest::PlatformTest::TearDown();
    }

    // Links `client` to the peer with `recorder` as both handlers' context.
    void LinkTo(TdiClient &client, Peer &peer, Recorder &recorder)
    {
        ASSERT_EQ(client.Link(kLoopback, peer.Port(), (PVOID)RecordReceive, (PVOID)RecordDisconnect, &recorder),
                  STATUS_SUCCESS);
        ASSERT_TRUE(peer.Accept());
    }
    // The fixture's client linked to its peer, both handlers recording into `recorder`.
    void LinkUp() { LinkTo(client, peer, recorder); }

    Peer peer;
    Recorder recorder;
    TdiClient client;
};

// ---------------------------------------------------------------- a Modbus request and its reply

using qvtest::ModbusServer;

TEST_F(TransportTest, ModbusReplyArrivesThroughTheReceiveIndication)
{
    ModbusServer server;
    ASSERT_EQ(client.OpenTransport(), STATUS_SUCCESS);
    ASSERT_EQ(client.OpenAddress(), STATUS_SUCCESS);
    ASSERT_EQ(client.SetEventHandler(TDI_EVENT_DISCONNECT, (PVOID)RecordDisconnect, &recorder), STATUS_SUCCESS);
    ASSERT_EQ(client.SetEventHandler(TDI_EVENT_RECEIVE, (PVOID)RecordReceive, &recorder), STATUS_SUCCESS);
    ASSERT_EQ(client.OpenConnection(WideContext()), STATUS_SUCCESS);
    ASSERT_EQ(client.Associate(), STATUS_SUCCESS);
    ASSERT_EQ(client.Connect(kLoopback, server.Port()), STATUS_SUCCESS);

    std::vector<qv::TdiEndpointInfo> endpoints = qv::TdiListEndpoints();
    ASSERT_EQ(endpoints.size(), 1u);
    EXPECT_EQ(endpoints[0].State, qv::TdiEndpointState::Connected);
    EXPECT_EQ(endpoints[0].RemoteAddress, kLoopback);
    EXPECT_EQ(endpoints[0].RemotePort, server.Port());
    EXPECT_EQ(endpoints[0].LocalAddress, kLoopback);
    EXPECT_NE(endpoints[0].LocalPort, 0);

    // Read holding registers 2 and 3 of unit 1, transaction 0x1234.
    const UCHAR request[] = {0x12, 0x34, 0x00, 0x00, 0x00, 0x06, 0x01, 0x03, 0x00, 0x02, 0x00, 0x02};
    ASSERT_EQ(client.Send(request, sizeof(request)), STATUS_SUCCESS);
    ASSERT_TRUE(recorder.WaitBytes(13));
    const std::vector<UCHAR> reply = {0x12, 0x34, 0x00, 0x00, 0x00, 0x07, 0x01, 0x03, 0x04, 0x00, 0x2C, 0x00, 0x2D};
    std::lock_guard<std::mutex> guard(recorder.Lock);
    EXPECT_EQ(recorder.Data, reply);
    for (KIRQL irql : recorder.Irqls) EXPECT_EQ(irql, DISPATCH_LEVEL);
    for (PVOID context : recorder.Contexts) EXPECT_EQ(context, WideContext());
    EXPECT_TRUE(recorder.DisconnectFlags.empty());
}

TEST_F(TransportTest, GracefulDisconnectEndsTheStreamAndCloseReleasesEverything)
{
    LinkUp();
    ASSERT_EQ(client.Send("hello", 5), STATUS_SUCCESS);
    EXPECT_EQ(peer.Read(5), "hello");
    ASSERT_EQ(client.Disconnect(TDI_DISCONNECT_RELEASE), STATUS_SUCCESS);
    EXPECT_TRUE(peer.WaitClosed());
    // A disconnected endpoint sends nothing more.
    EXPECT_EQ(client.Send("x", 1), STATUS_INVALID_CONNECTION);
    ASSERT_EQ(qv::TdiListEndpoints().size(), 1u);
    EXPECT_EQ(qv::TdiListEndpoints()[0].State, qv::TdiEndpointState::Closing);
    client.Close();
    EXPECT_TRUE(qv::TdiListEndpoints().empty());
    std::lock_guard<std::mutex> guard(recorder.Lock);
    EXPECT_TRUE(recorder.DisconnectFlags.empty()) << "this side's own disconnect is not indicated";
}

// ---------------------------------------------------------------- receive indications

// A client that leaves bytes, by taking part of them or by refusing them, hears nothing more on
// that connection, newer data included, until a receive request of its own has been filled;
// then the indications go on with what is left.
TEST_F(TransportTest, BytesLeftByTheHandlerWaitForTheClientsReceive)
{
    struct Case {
        NTSTATUS Status;
        ULONG Take;
    };
    for (Case c : {Case{STATUS_SUCCESS, 3}, Case{STATUS_DATA_NOT_ACCEPTED, 0}}) {
        SCOPED_TRACE(c.Take);
        Peer peer;
        Recorder recorder;
        recorder.TakeAtMost = c.Take;
        recorder.PartialTakes = 1;
        recorder.PartialStatus = c.Status;
        TdiClient client;
        LinkTo(client, peer, recorder);
        peer.Write("ABCDEFGH");
        ASSERT_TRUE(qvtest::WaitUntil([&] {
            std::lock_guard<std::mutex> guard(recorder.Lock);
            return !recorder.Indicated.empty();
        }));
        peer.Write("IJ");
        auto receive = client.StartReceive(4);
        ASSERT_TRUE(receive->Wait());
        EXPECT_EQ(receive->Status(), STATUS_SUCCESS);
        ASSERT_EQ(receive->Information(), 4u);
        const std::string left = std::string("ABCDEFGH").substr(c.Take);
        EXPECT_EQ(
            std::string(static_cast<const char *>(MmGetSystemAddressForMdlSafe(receive->Mdl(), NormalPagePriority)), 4),
            left.substr(0, 4))
            << "the receive gets the very bytes left";
        ASSERT_TRUE(recorder.WaitBytes(6));
        EXPECT_EQ(recorder.Text(), std::string("ABCDEFGH").substr(0, c.Take) + left.substr(4) + "IJ");
        std::lock_guard<std::mutex> guard(recorder.Lock);
        EXPECT_EQ(recorder.Indicated[0], 8u);
        client.Close();
    }
}

TEST_F(TransportTest, IndicationsAreCutToTheConfiguredSize)
{
    qv::TdiSettings settings;
    settings.IndicationSize = 100;
    ASSERT_EQ(qv::TdiSetSettings(settings), STATUS_SUCCESS);
    settings.IndicationSize = 65536;
    EXPECT_EQ(qv::TdiSetSettings(settings), STATUS_INVALID_PARAMETER);

    LinkUp();
    std::string block(250, 0);
    for (size_t i = 0; i < block.size(); ++i) block[i] = (char)('a' + i % 26);
    peer.Write(block);
    ASSERT_TRUE(recorder.WaitBytes(250));
    EXPECT_EQ(recorder.Text(), block);
    std::lock_guard<std::mutex> guard(recorder.Lock);
    for (size_t i = 0; i < recorder.Indicated.size(); ++i) {
        EXPECT_LE(recorder.Indicated[i], 100u);
        EXPECT_GE(recorder.Available[i], recorder.Indicated[i]);
    }
}

TEST_F(TransportTest, SplitAndMergeSwitchesShapeTheIndications)
{
    LinkUp();

    qv::TdiSplitNextReceive({2, 5});
    peer.Write("ABCDEFGH");
    ASSERT_TRUE(recorder.WaitBytes(8));
    {
        std::lock_guard<std::mutex> guard(recorder.Lock);
        EXPECT_EQ(recorder.Indicated, (std::vector<ULONG>{2, 3, 3}));
        EXPECT_EQ(recorder.Available, (std::vector<ULONG>{2, 3, 3})) << "each piece as if it came alone";
    }

    // Two blocks written apart become one indication (two coalesced by TCP merge with the next).
    qv::TdiMergeNextReceives(2);
    peer.Write("IJ");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    peer.Write("KL");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    peer.Write("MN");
    ASSERT_TRUE(recorder.WaitBytes(14));
    std::lock_guard<std::mutex> guard(recorder.Lock);
    EXPECT_EQ(std::string(recorder.Data.begin(), recorder.Data.end()), "ABCDEFGHIJKLMN");
    ASSERT_GE(recorder.Indicated.size(), 4u);
    EXPECT_GE(recorder.Indicated[3], 4u);
}

TEST_F(TransportTest, PostedReceiveIsFilledBeforeTheHandlerIsCalled)
{
    LinkUp();
    auto receive = client.StartReceive(4);
    EXPECT_EQ(receive->CallStatus(), STATUS_PENDING);
    peer.Write("123456");
    ASSERT_TRUE(receive->Wait());
    EXPECT_EQ(receive->Status(), STATUS_SUCCESS);
    ASSERT_EQ(receive->Information(), 4u);
    EXPECT_EQ(memcmp(MmGetSystemAddressForMdlSafe(receive->Mdl(), NormalPagePriority), "1234", 4), 0);
    ASSERT_TRUE(recorder.WaitBytes(2));
    EXPECT_EQ(recorder.Text(), "56");
}

// A handler that takes two bytes and hands over a receive request for the rest, once; later
// indications it takes whole.
struct Handing {
    Request *Receive = nullptr;
    std::atomic<int> Calls{0};
    std::mutex Lock;
    std::string Later;
};

NTSTATUS HandOverReceive(PVOID eventContext, CONNECTION_CONTEXT, ULONG, ULONG indicated, ULONG, ULONG *taken,
                         PVOID data, PIRP *irp)
{
    auto *handing = static_cast<Handing *>(eventContext);
    if (handing->Calls++ > 0) {
        std::lock_guard<std::mutex> guard(handing->Lock);
        handing->Later.append(static_cast<const char *>(data), indicated);
        *taken = indicated;
        *irp = nullptr;
        return STATUS_SUCCESS;
    }
    *taken = std::min<ULONG>(2, indicated);
    *irp = handing->Receive->Irp();
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(TransportTest, ReceiveHandedBackByTheHandlerTakesTheRest)
{
    Handing handing;
    ASSERT_EQ(client.Link(kLoopback, peer.Port(), (PVOID)HandOverReceive, nullptr, &handing), STATUS_SUCCESS);
    ASSERT_TRUE(peer.Accept());
    Request receive(client.Device(), nullptr, 16);
    TdiBuildReceive(receive.Irp(), client.Device(), client.ConnectionFile(), Request::Completed, &receive,
                    receive.Mdl(), TDI_RECEIVE_NORMAL, 16);
    handing.Receive = &receive;
    peer.Write("abcdefg");
    ASSERT_TRUE(receive.Wait());
    EXPECT_EQ(receive.Status(), STATUS_SUCCESS);
    ASSERT_EQ(receive.Information(), 5u);
    EXPECT_EQ(memcmp(MmGetSystemAddressForMdlSafe(receive.Mdl(), NormalPagePriority), "cdefg", 5), 0);
    EXPECT_EQ(handing.Calls.load(), 1);
    // Once the receive is filled, newer data is indicated again.
    peer.Write("hij");
    ASSERT_TRUE(qvtest::WaitUntil([&] {
        std::lock_guard<std::mutex> guard(handing.Lock);
        return handing.Later.size() >= 3;
    }));
    std::lock_guard<std::mutex> guard(handing.Lock);
    EXPECT_EQ(handing.Later, "hij");
}

// Receive handlers that break the contract, one way each: every one is a violation.
enum class Wrong { RefusedAfterTaking, TookMoreThanShown, NoIrp, IrpWithSuccess, IrpNotAReceive, OtherStatus };

struct WrongHandler {
    Wrong How;
    Request *Irp = nullptr;
    std::atomic<int> Calls{0};
};

NTSTATUS WrongReceive(PVOID eventContext, CONNECTION_CONTEXT, ULONG, ULONG indicated, ULONG, ULONG *taken, PVOID,
                      PIRP *irp)
{
    auto *w = static_cast<WrongHandler *>(eventContext);
    w->Calls++;
    *taken = 0;
    *irp = nullptr;
    switch (w->How) {
    case Wrong::RefusedAfterTaking: *taken = 1; return STATUS_DATA_NOT_ACCEPTED;
    case Wrong::TookMoreThanShown: *taken = indicated + 1; return STATUS_SUCCESS;
    case Wrong::NoIrp: return STATUS_MORE_PROCESSING_REQUIRED;
    case Wrong::IrpWithSuccess: *irp = w->Irp->Irp(); return STATUS_SUCCESS;
    case Wrong::IrpNotAReceive: *irp = w->Irp->Irp(); return STATUS_MORE_PROCESSING_REQUIRED;
    case Wrong::OtherStatus: *taken = indicated; return STATUS_PENDING;
    }
    return STATUS_SUCCESS;
}

TEST_F(TransportTest, ReceiveHandlersThatBreakTheContractAreViolations)
{
    qv::ExpectedVerifierFindings expected;  // on purpose: wrong receive handlers
    const std::pair<Wrong, const char *> cases[] = {
        {Wrong::RefusedAfterTaking, "STATUS_DATA_NOT_ACCEPTED after taking 1 of 3 bytes"},
        {Wrong::TookMoreThanShown, "BytesTaken 4 exceeds BytesIndicated 3"},
        {Wrong::NoIrp, "STATUS_MORE_PROCESSING_REQUIRED without a receive IRP"},
        {Wrong::IrpWithSuccess, "only STATUS_MORE_PROCESSING_REQUIRED hands one over"},
        {Wrong::IrpNotAReceive, "is not a TDI_RECEIVE on this connection endpoint"},
        {Wrong::OtherStatus, "returned status 0x00000103"},
    };
    for (const auto &[how, finding] : cases) {
        SCOPED_TRACE(finding);
        WrongHandler handler{how};
        TdiClient client;
        ASSERT_EQ(client.Link(kLoopback, peer.Port(), (PVOID)WrongReceive, nullptr, &handler), STATUS_SUCCESS);
        ASSERT_TRUE(peer.Accept());
        const bool handsIrp = how == Wrong::IrpWithSuccess || how == Wrong::IrpNotAReceive;
        std::unique_ptr<Request> irp;
        if (handsIrp) {
            irp = std::make_unique<Request>(client.Device(), nullptr, 16);
            Request *r = irp.get();
            if (how == Wrong::IrpNotAReceive)
                TdiBuildSend(r->Irp(), client.Device(), client.ConnectionFile(), Request::Completed, r, r->Mdl(), 0,
                             16);
            else
                TdiBuildReceive(r->Irp(), client.Device(), client.ConnectionFile(), Request::Completed, r, r->Mdl(),
                                TDI_RECEIVE_NORMAL, 16);
            handler.Irp = r;
        }
        peer.Write("abc");
        ASSERT_TRUE(qvtest::WaitUntil([&] {
            for (const std::string &f : qv::VerifierFindings())
                if (f.find(finding) != std::string::npos) return true;
            return false;
        }));
        ExpectFinding(finding);
        if (handsIrp) {
            // Not run: handed back failed, never left with the transport.
            ASSERT_TRUE(irp->Wait());
            EXPECT_EQ(irp->Status(), STATUS_INVALID_PARAMETER);
        }
        client.Close();
        peer.Close();
    }
}

// ---------------------------------------------------------------- connect

TEST_F(TransportTest, ConnectToAClosedPortIsRefusedAndTheEndpointCanTryAgain)
{
    ASSERT_EQ(client.OpenAssociated(&recorder), STATUS_SUCCESS);
    EXPECT_EQ(client.Connect(kLoopback, ClosedPort()), STATUS_CONNECTION_REFUSED);
    ASSERT_EQ(qv::TdiListEndpoints().size(), 1u);
    EXPECT_EQ(qv::TdiListEndpoints()[0].State, qv::TdiEndpointState::Idle);
    EXPECT_EQ(client.Connect(kLoopback, peer.Port()), STATUS_SUCCESS);
    EXPECT_TRUE(peer.Accept());
    EXPECT_EQ(client.Connect(kLoopback, peer.Port()), STATUS_CONNECTION_ACTIVE);
}

TEST_F(TransportTest, HeldConnectCompletesLateOrFailsAsTold)
{
    qv::UseVirtualClock(true);
    ASSERT_EQ(client.OpenAssociated(), STATUS_SUCCESS);

    qv::TdiHoldNextConnect(1000, STATUS_SUCCESS);
    auto connect = client.StartConnect(kLoopback, peer.Port());
    EXPECT_EQ(connect->CallStatus(), STATUS_PENDING);
    qv::AdvanceClock(500 * 10000ULL);
    EXPECT_FALSE(connect->Wait(100)) << "held for 1000 ms, only 500 ms passed";
    ASSERT_EQ(qv::TdiListEndpoints().size(), 1u);
    EXPECT_EQ(qv::TdiListEndpoints()[0].State, qv::TdiEndpointState::Connecting);
    qv::AdvanceClock(500 * 10000ULL);
    ASSERT_TRUE(connect->Wait());
    EXPECT_EQ(connect->Status(), STATUS_SUCCESS);
    EXPECT_TRUE(peer.Accept());
    client.Close();

    TdiClient second;
    ASSERT_EQ(second.OpenAssociated(), STATUS_SUCCESS);
    qv::TdiHoldNextConnect(200, STATUS_HOST_UNREACHABLE);
    connect = second.StartConnect(kLoopback, peer.Port());
    qv::AdvanceClock(200 * 10000ULL);
    ASSERT_TRUE(connect->Wait());
    EXPECT_EQ(connect->Status(), STATUS_HOST_UNREACHABLE);

    qv::TdiFailNextConnect(STATUS_NETWORK_UNREACHABLE);
    EXPECT_EQ(second.Connect(kLoopback, peer.Port()), STATUS_NETWORK_UNREACHABLE);
    EXPECT_FALSE(peer.Accept(100)) << "a failed switch connect never reaches the network";
}

TEST_F(TransportTest, ConnectThatNobodyAnswersTimesOut)
{
    // A listener whose backlog is full drops further connection requests unanswered.
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(kLoopback);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&sin), sizeof(sin)), 0);
    ASSERT_EQ(listen(listener, 0), 0);
    socklen_t len = sizeof(sin);
    getsockname(listener, reinterpret_cast<sockaddr *>(&sin), &len);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        int s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        connect(s, reinterpret_cast<sockaddr *>(&sin), sizeof(sin));
        fillers.push_back(s);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let the backlog fill

    qv::UseVirtualClock(true);
    ASSERT_EQ(client.OpenAssociated(), STATUS_SUCCESS);
    auto connect = client.StartConnect(kLoopback, ntohs(sin.sin_port));
    EXPECT_FALSE(connect->Wait(100));
    qv::AdvanceClock((ULONGLONG)qv::TdiGetSettings().ConnectTimeoutMs * 10000);
    ASSERT_TRUE(connect->Wait());
    EXPECT_EQ(connect->Status(), STATUS_IO_TIMEOUT);
    for (int s : fillers) close(s);
    close(listener);
}

// ---------------------------------------------------------------- disconnect indications

TEST_F(TransportTest, PeerCloseAndResetGiveOneDisconnectIndicationEach)
{
    LinkUp();
    peer.Write("bye");
    peer.Close();
    ASSERT_TRUE(recorder.WaitDisconnects(1));
    {
        std::lock_guard<std::mutex> guard(recorder.Lock);
        EXPECT_EQ(std::string(recorder.Data.begin(), recorder.Data.end()), "bye") << "data before the disconnect";
        EXPECT_EQ(recorder.DisconnectFlags, std::vector<ULONG>{TDI_DISCONNECT_RELEASE});
        EXPECT_EQ(recorder.Irqls.back(), DISPATCH_LEVEL);
        EXPECT_EQ(recorder.Contexts.back(), &recorder);
    }
    EXPECT_EQ(qv::TdiListEndpoints()[0].State, qv::TdiEndpointState::Closing);
    EXPECT_EQ(client.Disconnect(TDI_DISCONNECT_RELEASE), STATUS_SUCCESS);
    client.Close();

    Recorder reset;
    TdiClient second;
    LinkTo(second, peer, reset);
    peer.Reset();
    ASSERT_TRUE(reset.WaitDisconnects(1));
    EXPECT_EQ(second.Send("x", 1), STATUS_CONNECTION_RESET);
    second.Close();
    std::lock_guard<std::mutex> guard(recorder.Lock);
    EXPECT_EQ(recorder.DisconnectFlags.size(), 1u) << "one indication per connection";
    std::lock_guard<std::mutex> guard2(reset.Lock);
    EXPECT_EQ(reset.DisconnectFlags, std::vector<ULONG>{TDI_DISCONNECT_ABORT});
}

// ---------------------------------------------------------------- send, cancel, close

TEST_F(TransportTest, HeldSendIsCancelledByIoCancelIrp)
{
    LinkUp();
    qv::TdiHoldNextSend(60000);
    auto held = client.StartSend("lost", 4);
    ASSERT_EQ(held->CallStatus(), STATUS_PENDING);
    EXPECT_FALSE(held->Done());
    EXPECT_TRUE(held->Cancel());
    ASSERT_TRUE(held->Wait());
    EXPECT_EQ(held->Status(), STATUS_CANCELLED);
    EXPECT_EQ(held->Information(), 0u);
    // Nothing of it was written: the connection goes on with the next send.
    ASSERT_EQ(client.Send("ok", 2), STATUS_SUCCESS);
    EXPECT_EQ(peer.Read(2), "ok");
}

TEST_F(TransportTest, SendsQueuedBehindAHeldOneGoOutInOrder)
{
    LinkUp();
    qv::UseVirtualClock(true);
    qv::TdiHoldNextSend(300);
    auto first = client.StartSend("one,", 4);
    auto second = client.StartSend("two", 3);
    EXPECT_EQ(second->CallStatus(), STATUS_PENDING) << "queued behind the held send";
    qv::AdvanceClock(300 * 10000ULL);
    ASSERT_TRUE(first->Wait());
    ASSERT_TRUE(second->Wait());
    EXPECT_EQ(first->Status(), STATUS_SUCCESS);
    EXPECT_EQ(first->Information(), 4u);
    EXPECT_EQ(second->Status(), STATUS_SUCCESS);
    EXPECT_EQ(peer.Read(7), "one,two");
}

TEST_F(TransportTest, ClosingWithRequestsInFlightCompletesThemAll)
{
    {
        // A connect held far in the future.
        TdiClient client;
        ASSERT_EQ(client.OpenAssociated(), STATUS_SUCCESS);
        qv::TdiHoldNextConnect(600000, STATUS_SUCCESS);
        auto connect = client.StartConnect(kLoopback, peer.Port());
        ASSERT_EQ(connect->CallStatus(), STATUS_PENDING);
        client.Close();
        ASSERT_TRUE(connect->Wait());
        EXPECT_EQ(connect->Status(), STATUS_CANCELLED);
    }
    // Held sends and a posted receive on a live connection.
    LinkUp();
    qv::TdiHoldNextSend(600000);
    std::vector<std::unique_ptr<Request>> requests;
    for (int i = 0; i < 3; ++i) requests.push_back(client.StartSend("data", 4));
    requests.push_back(client.StartReceive(16));
    for (auto &r : requests) ASSERT_EQ(r->CallStatus(), STATUS_PENDING);
    client.Close();
    for (auto &r : requests) {
        ASSERT_TRUE(r->Wait());
        EXPECT_EQ(r->Status(), STATUS_CANCELLED);
    }
    EXPECT_TRUE(peer.WaitClosed());
    EXPECT_TRUE(qv::TdiListEndpoints().empty());
}

TEST_F(TransportTest, ConnectSendCloseCyclesLeakNothing)
{
    // One warm-up cycle, so that whatever the platform sets up once is counted before.
    auto cycle = [&] {
        Recorder recorder;
        TdiClient client;
        ASSERT_EQ(client.Link(kLoopback, peer.Port(), (PVOID)RecordReceive, (PVOID)RecordDisconnect, &recorder),
                  STATUS_SUCCESS);
        ASSERT_TRUE(peer.Accept());
        ASSERT_EQ(client.Send("ping", 4), STATUS_SUCCESS);
        ASSERT_EQ(peer.Read(4), "ping");
        ASSERT_EQ(client.Disconnect(TDI_DISCONNECT_RELEASE), STATUS_SUCCESS);
        client.Close();
        peer.Close();
    };
    cycle();
    const int descriptors = OpenDescriptors();
    const qv::PoolUsage pool = qv::QueryPoolUsage();
    for (int i = 0; i < 200 && !HasFatalFailure(); ++i) cycle();
    EXPECT_EQ(OpenDescriptors(), descriptors);
    EXPECT_EQ(qv::QueryPoolUsage().Blocks, pool.Blocks);
    EXPECT_EQ(qv::QueryPoolUsage().Bytes, pool.Bytes);
    EXPECT_TRUE(qv::TdiListEndpoints().empty());
    // Handles, objects and IRPs left behind would make the shutdown report unclean.
    qv::PlatformReport report = Shutdown();
    EXPECT_TRUE(report.Clean()) << report.Text();
}

// ---------------------------------------------------------------- handlers

TEST_F(TransportTest, ClearedHandlerIsNeverCalledAgain)
{
    Recorder first;
    LinkTo(client, peer, first);
    peer.Write("one");
    ASSERT_TRUE(first.WaitBytes(3));
    ASSERT_EQ(client.SetEventHandler(TDI_EVENT_RECEIVE, nullptr, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(client.SetEventHandler(TDI_EVENT_DISCONNECT, nullptr, nullptr), STATUS_SUCCESS);
    first.Forbidden = true;
    peer.Write("two");
    // Data that arrives meanwhile waits for the next handler.
    Recorder second;
    ASSERT_EQ(client.SetEventHandler(TDI_EVENT_RECEIVE, (PVOID)RecordReceive, &second), STATUS_SUCCESS);
    ASSERT_TRUE(second.WaitBytes(3));
    EXPECT_EQ(second.Text(), "two");
    EXPECT_EQ(first.CalledWhenForbidden.load(), 0);
    EXPECT_EQ(first.Text(), "one");
}

// Clears the receive handler, or closes the endpoint, while an indication is held inside the
// handler: the request may only return once the handler has left.
TEST_F(TransportTest, ClearingAndClosingWaitOutTheRunningIndication)
{
    for (bool closing : {false, true}) {
        Recorder recorder;
        TdiClient client;
        LinkTo(client, peer, recorder);
        recorder.Hold = true;
        peer.Write("held");
        ASSERT_TRUE(qvtest::WaitUntil([&] { return recorder.Inside.load(); }));
        std::atomic<bool> insideAtReturn{true};
        std::thread stopper([&] {
            if (closing)
                client.CloseConnection();
            else
                EXPECT_EQ(client.SetEventHandler(TDI_EVENT_RECEIVE, nullptr, nullptr), STATUS_SUCCESS);
            insideAtReturn = recorder.Inside.load();
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // give a wrong early return its chance
        recorder.Hold = false;
        stopper.join();
        EXPECT_FALSE(insideAtReturn.load()) << (closing ? "close" : "clear") << " returned inside the handler";
        recorder.Forbidden = true;
        peer.Write("more");
        Recorder next;
        if (!closing) {
            ASSERT_EQ(client.SetEventHandler(TDI_EVENT_RECEIVE, (PVOID)RecordReceive, &next), STATUS_SUCCESS);
            ASSERT_TRUE(next.WaitBytes(4));
        }
        client.Close();
        EXPECT_EQ(recorder.CalledWhenForbidden.load(), 0);
        EXPECT_EQ(recorder.Text(), "held");
    }
}

// Odd rounds close the endpoint instead, its handlers left installed on the address.
TEST_F(TransportTest, ClearingOrClosingWhileDataFlowsNeverCallsTheOldHandler)
{
    for (int round = 0; round < 10 && !HasFatalFailure(); ++round) {
        Recorder recorder;
        TdiClient client;
        LinkTo(client, peer, recorder);
        std::atomic<bool> stop{false};
        std::thread writer([&] {
            while (!stop.load()) peer.Write("0123456789");
        });
        EXPECT_TRUE(recorder.WaitBytes(10));
        if (round % 2)
            client.CloseConnection();
        else
            EXPECT_EQ(client.SetEventHandler(TDI_EVENT_RECEIVE, nullptr, nullptr), STATUS_SUCCESS);
        recorder.Forbidden = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        stop = true;
        writer.join();
        client.Close();
        EXPECT_EQ(recorder.CalledWhenForbidden.load(), 0) << "round " << round;
    }
}

// ---------------------------------------------------------------- the endpoint listing

NTSTATUS OwnerDriverEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }
void OwnerDriverUnload(PDRIVER_OBJECT) {}

// An endpoint opened by a driver's work item, or by the system thread a work item starts.
struct OwnerWork {
    TdiClient Client;
    bool ViaThread = false;
    HANDLE Thread = nullptr;
    NTSTATUS Status = STATUS_PENDING;
    std::atomic<bool> Opened{false}, ItemReturned{false};
};

void OpenOwnedEndpoint(PVOID context)
{
    auto *work = static_cast<OwnerWork *>(context);
    NTSTATUS status = work->Client.OpenTransport();
    if (NT_SUCCESS(status)) status = work->Client.OpenAddress();
    if (NT_SUCCESS(status)) status = work->Client.OpenConnection(nullptr);
    work->Status = status;
    work->Opened = true;
}

void OpenFromThread(PVOID context)
{
    OpenOwnedEndpoint(context);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

void OwnerWorkItem(PDEVICE_OBJECT, PVOID context)
{
    auto *work = static_cast<OwnerWork *>(context);
    if (!work->ViaThread) {
        OpenOwnedEndpoint(work);
    } else {
        NTSTATUS status =
            PsCreateSystemThread(&work->Thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, OpenFromThread, work);
        if (!NT_SUCCESS(status)) work->Status = status, work->Opened = true;
    }
    work->ItemReturned = true;
}

// A driver's connection thread is started from its dispatch routine or work item: endpoints it
// opens belong to that device too.
TEST_F(TransportTest, ListingNamesTheDeviceThatOpenedTheEndpoint)
{
    PDRIVER_OBJECT driver = nullptr;
    ASSERT_EQ(qv::IoCreateDriver(u"\\Driver\\TdiOwner", OwnerDriverEntry, &driver), STATUS_SUCCESS);
    driver->DriverUnload = OwnerDriverUnload;
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &device), STATUS_SUCCESS);

    for (bool viaThread : {false, true}) {
        SCOPED_TRACE(viaThread ? "system thread" : "work item");
        OwnerWork work;
        work.ViaThread = viaThread;
        PIO_WORKITEM item = IoAllocateWorkItem(device);
        ASSERT_NE(item, nullptr);
        IoQueueWorkItem(item, OwnerWorkItem, DelayedWorkQueue, &work);
        ASSERT_TRUE(qvtest::WaitUntil([&] { return work.Opened.load() && work.ItemReturned.load(); }));
        IoFreeWorkItem(item);
        EXPECT_EQ(work.Status, STATUS_SUCCESS);

        std::vector<qv::TdiEndpointInfo> endpoints = qv::TdiListEndpoints();
        ASSERT_EQ(endpoints.size(), 1u);
        EXPECT_EQ(endpoints[0].Owner, device);
        EXPECT_EQ(endpoints[0].State, qv::TdiEndpointState::Idle);
        EXPECT_NE(endpoints[0].Text().find("idle"), std::string::npos) << endpoints[0].Text();
        if (work.Thread != nullptr) {
            PVOID thread = nullptr;
            ASSERT_EQ(
                ObReferenceObjectByHandle(work.Thread, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr),
                STATUS_SUCCESS);
            EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
            ObDereferenceObject(thread);
            ZwClose(work.Thread);
        }
        work.Client.Close();
    }
    IoDeleteDevice(device);
    qv::IoUnloadDriver(driver);
}

// ---------------------------------------------------------------- requests out of place, bad input

TEST_F(TransportTest, RequestsOutOfOrderAreRefused)
{
    ASSERT_EQ(client.OpenTransport(), STATUS_SUCCESS);
    ASSERT_EQ(client.OpenAddress(), STATUS_SUCCESS);
    ASSERT_EQ(client.OpenConnection(nullptr), STATUS_SUCCESS);
    EXPECT_EQ(client.Connect(kLoopback, peer.Port()), STATUS_ADDRESS_NOT_ASSOCIATED);
    EXPECT_EQ(client.Disassociate(), STATUS_ADDRESS_NOT_ASSOCIATED);
    ASSERT_EQ(client.Associate(), STATUS_SUCCESS);
    EXPECT_EQ(client.Associate(), STATUS_ADDRESS_ALREADY_ASSOCIATED);
    EXPECT_EQ(client.Send("x", 1), STATUS_INVALID_CONNECTION);
    EXPECT_EQ(client.Disconnect(TDI_DISCONNECT_RELEASE), STATUS_INVALID_CONNECTION);
    EXPECT_EQ(client.SetEventHandler(TDI_EVENT_ERROR_EX + 1, (PVOID)RecordReceive, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(client.Connect(0, peer.Port()), STATUS_INVALID_ADDRESS_COMPONENT);
    ASSERT_EQ(client.Connect(kLoopback, peer.Port()), STATUS_SUCCESS);
    EXPECT_EQ(client.Disassociate(), STATUS_CONNECTION_ACTIVE);

    // Event handlers belong to address objects only.
    Request request(client.Device());
    TdiBuildSetEventHandler(request.Irp(), client.Device(), client.ConnectionFile(), Request::Completed, &request,
                            TDI_EVENT_RECEIVE, RecordReceive, nullptr);
    request.Call(client.Device());
    ASSERT_TRUE(request.Wait());
    EXPECT_EQ(request.Status(), STATUS_INVALID_HANDLE);
}

// Opens "\Device\Tcp" with the given extended-attribute bytes.
NTSTATUS OpenWithEas(std::vector<UCHAR> eas, HANDLE *handle)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\Tcp");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb;
    return ZwCreateFile(handle, GENERIC_READ | GENERIC_WRITE, &attributes, &iosb, nullptr, FILE_ATTRIBUTE_NORMAL,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN_IF, 0, eas.data(), (ULONG)eas.size());
}

std::vector<UCHAR> Ea(const std::string &name, const std::vector<UCHAR> &value, USHORT claimedValueLength)
{
    std::vector<UCHAR> ea(FIELD_OFFSET(FILE_FULL_EA_INFORMATION, EaName) + name.size() + 1 + value.size(), 0);
    auto *header = reinterpret_cast<PFILE_FULL_EA_INFORMATION>(ea.data());
    header->EaNameLength = (UCHAR)name.size();
    header->EaValueLength = claimedValueLength;
    memcpy(header->EaName, name.c_str(), name.size() + 1);
    if (!value.empty()) memcpy(header->EaName + name.size() + 1, value.data(), value.size());
    return ea;
}

TEST_F(TransportTest, MalformedOpensAreRefusedWithoutReadingPastTheirAttributes)
{
    HANDLE handle = nullptr;
    std::vector<UCHAR> context(sizeof(CONNECTION_CONTEXT), 0xAB);
    // A value said to be longer than the buffer.
    EXPECT_EQ(OpenWithEas(Ea(TdiConnectionContext, context, 200), &handle), STATUS_INVALID_PARAMETER);
    // A context longer than a pointer cannot be kept whole.
    std::vector<UCHAR> wide(sizeof(CONNECTION_CONTEXT) + 4, 1);
    EXPECT_EQ(OpenWithEas(Ea(TdiConnectionContext, wide, (USHORT)wide.size()), &handle), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(OpenWithEas(Ea("SomethingElse", context, (USHORT)context.size()), &handle), STATUS_INVALID_EA_NAME);
    // A transport address whose only entry is not IPv4, and one whose count runs past the value.
    std::vector<UCHAR> netbios = {1, 0, 0, 0, 18, 0, TDI_ADDRESS_TYPE_NETBIOS, 0};
    netbios.resize(4 + 4 + 18, 'N');
    EXPECT_EQ(OpenWithEas(Ea(TdiTransportAddress, netbios, (USHORT)netbios.size()), &handle),
              STATUS_INVALID_ADDRESS_COMPONENT);
    std::vector<UCHAR> counted = {5, 0, 0, 0, 14, 0, 7, 0};
    counted.resize(4 + 4 + 14, 0);
    EXPECT_EQ(OpenWithEas(Ea(TdiTransportAddress, counted, (USHORT)counted.size()), &handle),
              STATUS_INVALID_ADDRESS_COMPONENT);
    // A chain whose next entry lies outside the buffer.
    std::vector<UCHAR> chained = Ea("Other", context, (USHORT)context.size());
    reinterpret_cast<PFILE_FULL_EA_INFORMATION>(chained.data())->NextEntryOffset = 4096;
    EXPECT_EQ(OpenWithEas(chained, &handle), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(qv::TdiListEndpoints().empty());
}

}  // namespace
