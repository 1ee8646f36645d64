// Forwarding written frames: the request built for the server, and the frames that are
// dropped. No link is up here, so every send finds no socket and the request is parked for
// the connection thread, which is where the tests read it.

#include <atomic>
#include <thread>

#include "port_fixture.h"

using namespace gwtest;

namespace {

const Bytes kRtuRequest = {0x01, 0x03, 0x00, 0x00, 0x00, 0x0A, 0xC5, 0xCD};
const std::string kAsciiRequest = ":01030000000AF2\r\n";
const char *kMbapRequest = "01 00 00 00 00 06 01 03 00 00 00 0A";

using Forwarding = GatewayPort;

TEST_F(Forwarding, RtuAndAsciiRequestsBecomeOneMbapRequestParkedForTheirConnection)
{
    ASSERT_EQ(Open(MakeRecord(1000, 0, 0, {{{192, 168, 0, 10}, 502, 0, {1, 2}}})), STATUS_SUCCESS);
    PETH_CONNECTION a = Connection(1);
    EXPECT_EQ(KeReadStateEvent(&ext->ConnectEvent), 0);

    EXPECT_EQ(Write(kRtuRequest), STATUS_TIMEOUT);
    EXPECT_EQ(Hex(Pending()), kMbapRequest);
    EXPECT_EQ(ext->PendingConnection, a);
    EXPECT_EQ(a->NeedConnection, 1);
    EXPECT_EQ(a->Mode, FRAME_MODE_RTU);
    EXPECT_EQ(a->TransactionId, 1);
    EXPECT_NE(KeReadStateEvent(&ext->ConnectEvent), 0) << "the connection thread is woken";
    EXPECT_EQ(GetNeedConnection(ext), a);

    // The same request as ASCII on a fresh connection; the older parked request is replaced.
    a->TransactionId = 0;
    EXPECT_EQ(Write(Text(kAsciiRequest)), STATUS_TIMEOUT);
    EXPECT_EQ(Hex(Pending()), kMbapRequest);
    EXPECT_EQ(a->Mode, FRAME_MODE_ASCII);
}

TEST_F(Forwarding, RawConnectionSendsTheWrittenFrameWhole)
{
    ASSERT_EQ(Open(MakeRecord(1000, 0, 0, {{{127, 0, 0, 1}, 502, 1, {1}}})), STATUS_SUCCESS);
    EXPECT_EQ(Write(kRtuRequest), STATUS_TIMEOUT);
    EXPECT_EQ(Pending(), kRtuRequest);
    EXPECT_EQ(Write(Text(kAsciiRequest)), STATUS_TIMEOUT);
    EXPECT_EQ(Pending(), Text(kAsciiRequest));
    EXPECT_EQ(Connection(1)->TransactionId, 0) << "raw requests carry no transaction id";
}

TEST_F(Forwarding, TransactionIdsRunFromOneAndSkipZeroOnWrap)
{
    ASSERT_EQ(Open(MakeRecord(1000, 0, 0, {{{127, 0, 0, 1}, 502, 0, {1}}})), STATUS_SUCCESS);
    PETH_CONNECTION a = Connection(1);
    Write(kRtuRequest);
    EXPECT_EQ(Hex(Pending()).substr(0, 5), "01 00") << "the first request carries 1";
    a->TransactionId = 65533;
    Write(kRtuRequest);
    EXPECT_EQ(Hex(Pending()).substr(0, 5), "FE FF");
    Write(kRtuRequest);
    EXPECT_EQ(Hex(Pending()).substr(0, 5), "FF FF");
    Write(kRtuRequest);
    EXPECT_EQ(Hex(Pending()).substr(0, 5), "01 00") << "65535 is followed by 1, never 0";
    EXPECT_EQ(a->TransactionId, 1);
}

TEST_F(Forwarding, FramesThatAreNotOneServedRequestSendNothing)
{
    ASSERT_EQ(Open(MakeRecord(1000, 0, 0, {{{127, 0, 0, 1}, 502, 0, {1}}})), STATUS_SUCCESS);
    PETH_CONNECTION a = Connection(1);

    Bytes twoInOne = kRtuRequest;
    twoInOne.insert(twoInOne.end(), kRtuRequest.begin(), kRtuRequest.end());
    Bytes firstHalf(kRtuRequest.begin(), kRtuRequest.begin() + 4);
    Bytes badCrc = kRtuRequest;
    badCrc[7] ^= 0xFF;
    const Bytes dropped[] = {
        RtuFrame({0x09, 0x03, 0x00, 0x00, 0x00, 0x01}),  // device 9 is served by nobody
        Text(":09030000000AEA\r\n"),                     // the same in ASCII
        RtuFrame({0x01, 0x03, 0x00, 0x00}),              // 6 bytes: too short for RTU
        badCrc,
        twoInOne,
        firstHalf,
    };
    for (const Bytes &frame : dropped) {
        EXPECT_EQ(Write(frame), STATUS_SUCCESS) << Hex(frame);
        EXPECT_EQ(ext->PendingData, nullptr) << Hex(frame);
    }
    EXPECT_EQ(a->NeedConnection, 0);
    EXPECT_EQ(a->TransactionId, 0);
    EXPECT_EQ(a->Mode, FRAME_MODE_NONE) << "unrecognised frames leave the reply framing alone";
    EXPECT_EQ(KeReadStateEvent(&ext->ConnectEvent), 0);
}

// With exceptions on, the dropped write is answered 0x0B in its own (ASCII) framing; the
// fixture's port is not open, so the frame placed in the FIFO goes no further.
TEST_F(Forwarding, WriteDuringAConnectIsDroppedAndEndsTheEarlierTransaction)
{
    ASSERT_EQ(Open(MakeRecord(1000, 0, 0, {{{127, 0, 0, 1}, 502, 0, {1}}})), STATUS_SUCCESS);
    ext->Exceptions = TRUE;
    ext->ResponseMs = 600000;
    EXPECT_EQ(Write(kRtuRequest), STATUS_TIMEOUT);
    TakePending();
    std::atomic<int> stage{0};
    std::thread connecting([&] {
        AcquireConnectMutex(ext);
        stage = 1;
        while (stage.load() != 2) std::this_thread::yield();
        ReleaseConnectMutex(ext);
    });
    while (stage.load() != 1) std::this_thread::yield();

    EXPECT_EQ(Write(Text(kAsciiRequest)), STATUS_SUCCESS);
    stage = 2;
    connecting.join();
    EXPECT_EQ(Connection(1)->Counters.requestsConnecting, 1u);
    EXPECT_EQ(ext->ExceptionsSent, 1);
    EXPECT_EQ(std::string(ext->Uart.RxFifo, ext->Uart.RxFifo + 11), ":01830B71\r\n");

    EXPECT_EQ(ext->PendingData, nullptr);
    EXPECT_EQ(Connection(1)->TransactionId, 1);
    // The application wrote again: the earlier request's reply must not be read as the answer.
    Deliver(Connection(1), {0x01, 0x00, 0x00, 0x00, 0x00, 0x05, 0x01, 0x03, 0x02, 0x00, 0x2A});
    EXPECT_TRUE(replies.empty());

    EXPECT_EQ(Write(kRtuRequest), STATUS_TIMEOUT) << "the next write, after the connect, goes through";
}

TEST_F(Forwarding, LongestRtuFrameIsDroppedWhenConvertedAndSentWholeWhenRaw)
{
    ASSERT_EQ(Open(MakeRecord(1000, 0, 0, {{{127, 0, 0, 1}, 502, 0, {1}}, {{127, 0, 0, 2}, 502, 1, {5}}})),
              STATUS_SUCCESS);
    for (UCHAR device : {UCHAR(1), UCHAR(5)}) {
        Bytes content(65533, 0x5A);
        content[0] = device;
        content[1] = 0x10;
        Bytes frame = RtuFrame(content);
        ASSERT_EQ(frame.size(), 65535u);
        NTSTATUS status = Write(frame);
        if (device == 1) {
            // Content + 6 would wrap a 16-bit size; the MBAP length could not carry it anyway.
            EXPECT_EQ(status, STATUS_SUCCESS);
            EXPECT_EQ(ext->PendingData, nullptr);
            EXPECT_EQ(Connection(1)->TransactionId, 0);
            EXPECT_EQ(Connection(1)->Counters.requestsTooLong, 1u);
        } else {
            EXPECT_EQ(status, STATUS_TIMEOUT);
            EXPECT_EQ(Pending(), frame);
        }
    }

    // The largest converted request that fits: content 65529 bytes, sent with length FF F9.
    Bytes content(65529, 0x11);
    content[0] = 1;
    EXPECT_EQ(Write(RtuFrame(content)), STATUS_TIMEOUT);
    ASSERT_EQ(ext->PendingLength, 65535u);
    EXPECT_EQ(Hex(Pending()).substr(0, 17), "01 00 00 00 FF F9");
}

TEST_F(Forwarding, ParkedRequestKeepsTheConnectionItWasBuiltFor)
{
    ASSERT_EQ(Open(MakeRecord(1000, 0, 0, {{{127, 0, 0, 1}, 502, 0, {1}}, {{127, 0, 0, 2}, 502, 0, {2}}})),
              STATUS_SUCCESS);
    PETH_CONNECTION a = Connection(1), b = Connection(2);

    Write(RtuFrame({0x02, 0x03, 0x00, 0x00, 0x00, 0x01}));
    Write(kRtuRequest);
    EXPECT_EQ(a->NeedConnection, 1);
    EXPECT_EQ(b->NeedConnection, 1);
    // The thread serves B first (last entry), but only A's request is kept, and it says so.
    EXPECT_EQ(GetNeedConnection(ext), b);
    EXPECT_EQ(ext->PendingConnection, a);
    EXPECT_EQ(Hex(Pending()), kMbapRequest);

    TakePending();
    // Closing with a request still parked must not leak it.
    Write(kRtuRequest);
    EXPECT_NE(ext->PendingData, nullptr);
    FreeEthernetLists(ext);
    EXPECT_EQ(ext->PendingData, nullptr);
    EXPECT_EQ(ext->PendingConnection, nullptr);
}

TEST_F(Forwarding, NoMemoryFailsTheWriteAndReleasesEverything)
{
    ASSERT_EQ(Open(MakeRecord(1000, 0, 0, {{{127, 0, 0, 1}, 502, 0, {1}}})), STATUS_SUCCESS);
    // Allocation 1 is the test's copy of the frame, 2 the decoded content, 3 the request.
    for (ULONG nth : {2u, 3u}) {
        qv::FailAllocation(nth);
        EXPECT_EQ(Write(kRtuRequest), STATUS_INSUFFICIENT_RESOURCES) << nth;
        EXPECT_EQ(ext->PendingData, nullptr);
    }
    qv::ResetFaults();
    EXPECT_EQ(Write(kRtuRequest), STATUS_TIMEOUT) << "the connect mutex was released";
}

}  // namespace
