// Server replies: converted back into the framing of the request, delivered only as the one
// answer to the newest request, reassembled across receive indications, and bounded by the
// receive FIFO.

#include <atomic>
#include <thread>

#include "common/counters.h"
#include "port_fixture.h"

using namespace gwtest;

namespace {

const Bytes kRequest = {0x01, 0x03, 0x00, 0x00, 0x00, 0x0A, 0xC5, 0xCD};
const Bytes kReply = {0x01, 0x00, 0x00, 0x00, 0x00, 0x05, 0x01, 0x03, 0x02, 0x00, 0x2A};
const char *kRtuAnswer = "01 03 02 00 2A 39 9B";

// An MBAP reply with the given transaction id and content.
Bytes Mbap(USHORT id, const Bytes &content, USHORT protocol = 0)
{
    Bytes out = {UCHAR(id & 0xFF),           UCHAR(id >> 8),
                 UCHAR(protocol >> 8),       UCHAR(protocol & 0xFF),
                 UCHAR(content.size() >> 8), UCHAR(content.size() & 0xFF)};
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

class Replies : public GatewayPort {
protected:
    // One connection serving devices 0 and 1; the first request, in the given framing, is out
    // with transaction id 1.
    PETH_CONNECTION OpenWithRequest(UCHAR mode, UCHAR raw = 0)
    {
        EXPECT_EQ(Open(MakeRecord(1000, 0, 0, {{{127, 0, 0, 1}, 502, raw, {0, 1}}})), STATUS_SUCCESS);
        PETH_CONNECTION connection = Connection(1);
        Ask(mode == FRAME_MODE_ASCII ? Text(":01030000000AF2\r\n") : kRequest);
        EXPECT_EQ(AllocateReplyBuffer(connection), STATUS_SUCCESS);  // as the link does when it comes up
        return connection;
    }

    // Writes a request; with no link up it is parked, and taken as the connection thread would.
    void Ask(const Bytes &frame)
    {
        EXPECT_EQ(Write(frame), STATUS_TIMEOUT);
        TakePending();
    }
};

TEST_F(Replies, ConvertedReplyBecomesTheFrameOfTheRequest)
{
    PETH_CONNECTION c = OpenWithRequest(FRAME_MODE_RTU);
    qv::ClearDbgPrint();
    Deliver(c, kReply);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(Hex(replies[0]), kRtuAnswer);
    EXPECT_FALSE(Contains(qv::DbgPrintLines(), "ProcessIncomingData length = 11"));  // verbose only

    Ask(Text(":01030000000AF2\r\n"));
    TraceLevel = TRACE_LEVEL_VERBOSE;
    Deliver(c, Mbap(2, {0x01, 0x03, 0x02, 0x00, 0x2A}));
    TraceLevel = QUORVEL_TRACE_LEVEL;
    EXPECT_TRUE(Contains(qv::DbgPrintLines(), "ProcessIncomingData length = 11"));
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(std::string(replies[1].begin(), replies[1].end()), ":010302002AD0\r\n");

    // An exception reply answers the request too.
    Ask(kRequest);
    Deliver(c, Mbap(3, {0x01, 0x83, 0x02}));
    ASSERT_EQ(replies.size(), 3u);
    EXPECT_EQ(replies[2], RtuFrame({0x01, 0x83, 0x02}));
}

TEST_F(Replies, WithoutTheReceiveStepTheFifoHoldsTheFrame)
{
    PETH_CONNECTION c = OpenWithRequest(FRAME_MODE_RTU);
    PoolBytes data(kReply);
    KIRQL irql;
    KeAcquireSpinLock(&ext->DeviceLock, &irql);
    ProcessIncomingData(ext, c, data.get(), data.size(), NULL);
    KeReleaseSpinLock(&ext->DeviceLock, irql);
    EXPECT_EQ(ext->Uart.RxCount, 7u);
    EXPECT_EQ(Hex(Fifo()), kRtuAnswer);
}

// Data for a converted connection whose link has gone (its reply buffer with it) is dropped,
// as is a reply cut short by the link going down; the next link starts a fresh stream.
TEST_F(Replies, DataWithoutALinkIsDroppedAndTheNextLinkStartsAfresh)
{
    PETH_CONNECTION c = OpenWithRequest(FRAME_MODE_RTU);
    Deliver(c, Bytes(kReply.begin(), kReply.begin() + 5));
    FreeReplyBuffer(c);
    Deliver(c, Bytes(kReply.begin() + 5, kReply.end()));
    Deliver(c, kReply);
    EXPECT_TRUE(replies.empty());
    EXPECT_EQ(ext->Uart.RxCount, 0u);

    ASSERT_EQ(AllocateReplyBuffer(c), STATUS_SUCCESS);
    Deliver(c, kReply);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(Hex(replies[0]), kRtuAnswer);
}

// A request's transaction ends with its first reply: a duplicate, a late reply to an older
// request, or a reply after the application wrote again never reaches the application.
TEST_F(Replies, EachRequestGetsAtMostOneReplyAndOnlyItsOwn)
{
    PETH_CONNECTION c = OpenWithRequest(FRAME_MODE_RTU);
    Deliver(c, Mbap(0x0101, {0x01, 0x03, 0x02, 0x00, 0x2A}));  // id 257: the high byte matters too
    Deliver(c, Mbap(2, {0x01, 0x03, 0x02, 0x00, 0x2A}));
    EXPECT_TRUE(replies.empty());

    Deliver(c, kReply);
    Deliver(c, kReply);  // sent twice
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(Hex(replies[0]), kRtuAnswer);

    // The duplicate of the first reply arriving with the second: only the second's reply counts.
    replies.clear();
    Ask(kRequest);
    Bytes second = Mbap(2, {0x01, 0x03, 0x02, 0x00, 0x2B});
    Bytes block = kReply;
    block.insert(block.end(), second.begin(), second.end());
    block.insert(block.end(), second.begin(), second.end());
    Deliver(c, block);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0], RtuFrame({0x01, 0x03, 0x02, 0x00, 0x2B}));

    // Any later write ends the transaction, even one that goes nowhere (device 9 is unserved)
    // or is no frame at all.
    for (const Bytes &other : {RtuFrame({0x09, 0x03, 0x00, 0x00, 0x00, 0x01}), Text("hello")}) {
        replies.clear();
        Ask(kRequest);
        USHORT id = c->TransactionId;
        EXPECT_EQ(Write(other), STATUS_SUCCESS);
        Deliver(c, Mbap(id, {0x01, 0x03, 0x02, 0x00, 0x2A}));
        EXPECT_TRUE(replies.empty()) << Hex(other);
    }

    // Counted as what they were: every reply that was not delivered answered no open request.
    EXPECT_EQ(c->Counters.repliesDelivered, 2u);
    EXPECT_EQ(c->Counters.repliesUnknown, 7u);
    EXPECT_EQ(c->Counters.repliesBadLength + c->Counters.repliesLate, 0u);
    EXPECT_EQ(ext->NoRouteDrops, 1);
    EXPECT_EQ(ext->ChecksumRejects, 1);
}

TEST_F(Replies, RepliesThatDoNotAnswerTheRequestAreDroppedAndEndIt)
{
    PETH_CONNECTION c = OpenWithRequest(FRAME_MODE_RTU);
    struct Case {
        const char *what;
        Bytes content;
        USHORT protocol;
    } cases[] = {
        {"length 0", {}, 0},
        {"length 1", {0x01}, 0},
        {"length 2", {0x01, 0x03}, 0},
        {"protocol id 1", {0x01, 0x03, 0x02, 0x00, 0x2A}, 1},
        {"another unit", {0x02, 0x03, 0x02, 0x00, 0x2A}, 0},
        {"another function", {0x01, 0x04, 0x02, 0x00, 0x2A}, 0},
        {"another function's exception", {0x01, 0x84, 0x02}, 0},
        {"cut: byte count 2, one byte", {0x01, 0x03, 0x02, 0x00}, 0},
        {"padded", {0x01, 0x03, 0x02, 0x00, 0x2A, 0x00}, 0},
        {"exception with data", {0x01, 0x83, 0x02, 0x00}, 0},
    };
    for (const Case &k : cases) {
        Ask(kRequest);
        USHORT id = c->TransactionId;
        Deliver(c, Mbap(id, k.content, k.protocol));
        // The server answered wrongly: its next word on this request is not trusted either.
        Deliver(c, Mbap(id, {0x01, 0x03, 0x02, 0x00, 0x2A}));
        EXPECT_TRUE(replies.empty()) << k.what << ": " << Hex(replies.empty() ? Bytes{} : replies[0]);
        replies.clear();
    }

    // A reply whose MBAP length is shorter than its PDU: the rest is read as the next header,
    // and nothing valid comes of either.
    Ask(kRequest);
    Bytes cut = Mbap(c->TransactionId, {0x01, 0x03, 0x02, 0x00, 0x2A});
    cut[5] = 3;
    Deliver(c, cut);
    EXPECT_TRUE(replies.empty());
    EXPECT_EQ(c->Counters.repliesBadLength, 11u);
    EXPECT_EQ(c->Counters.repliesUnknown, 10u) << "each second word came after its request was over";
}

TEST_F(Replies, BroadcastIsForwardedButNeverAnswered)
{
    PETH_CONNECTION c = OpenWithRequest(FRAME_MODE_RTU);
    Bytes broadcast = RtuFrame({0x00, 0x06, 0x00, 0x01, 0x00, 0x05});
    EXPECT_EQ(Write(broadcast), STATUS_TIMEOUT);
    EXPECT_EQ(Hex(Pending()), "02 00 00 00 00 06 00 06 00 01 00 05");
    TakePending();
    Deliver(c, Mbap(2, {0x00, 0x06, 0x00, 0x01, 0x00, 0x05}));
    Deliver(c, kReply);  // nor does the request before it get its answer now
    EXPECT_TRUE(replies.empty());
}

TEST_F(Replies, AReplyLaterThanTheResponseTimeIsDropped)
{
    ext->ResponseMs = 30;
    PETH_CONNECTION c = OpenWithRequest(FRAME_MODE_RTU);
    ULONGLONG sent = KeQueryInterruptTime();
    ASSERT_TRUE(qvtest::WaitUntil([&] { return KeQueryInterruptTime() - sent > 40 * 10000; }, 5000));
    Deliver(c, kReply);
    EXPECT_TRUE(replies.empty());
    Deliver(c, kReply);
    EXPECT_EQ(c->Counters.repliesLate, 2u) << "late, however often it comes";

    // Within the limit it is delivered.
    ext->ResponseMs = 60000;
    Ask(kRequest);
    Deliver(c, Mbap(2, {0x01, 0x03, 0x02, 0x00, 0x2A}));
    EXPECT_EQ(replies.size(), 1u);
}

TEST_F(Replies, SplitRepliesAreReassembled)
{
    PETH_CONNECTION c = OpenWithRequest(FRAME_MODE_RTU);

    // Split inside the header, then inside the content.
    Deliver(c, Bytes(kReply.begin(), kReply.begin() + 2));
    Deliver(c, Bytes(kReply.begin() + 2, kReply.begin() + 7));
    EXPECT_TRUE(replies.empty());
    Deliver(c, Bytes(kReply.begin() + 7, kReply.end()));
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(Hex(replies[0]), kRtuAnswer);

    // Byte by byte.
    replies.clear();
    Ask(kRequest);
    for (UCHAR b : Mbap(2, {0x01, 0x03, 0x02, 0x00, 0x2A})) Deliver(c, Bytes{b});
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(Hex(replies[0]), kRtuAnswer);

    // A new request forgets a part reply: what follows is read from a fresh header.
    replies.clear();
    Ask(kRequest);
    Deliver(c, Bytes{0x03, 0x00, 0x00, 0x00});
    Ask(kRequest);
    Deliver(c, Mbap(4, {0x01, 0x03, 0x02, 0x00, 0x2A}));
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(Hex(replies[0]), kRtuAnswer);
}

TEST_F(Replies, HostileLengthsAreSkippedWholeAndTheStreamRecovers)
{
    PETH_CONNECTION c = OpenWithRequest(FRAME_MODE_RTU);

    // L = 65535 on a stray id: would wrap L + 6 and L + 2 at 16 bits. Its 65535 bytes are
    // skipped, in pieces, and the reply after them still answers the request.
    Bytes hostile = {0x07, 0x00, 0x00, 0x00, 0xFF, 0xFF};
    hostile.resize(hostile.size() + 1000, 0x01);
    Deliver(c, hostile);
    ULONG left = 65535 - 1000;
    while (left != 0) {
        ULONG n = std::min<ULONG>(left, 30000);
        Bytes chunk(n, 0x01);
        if (n == left) chunk.insert(chunk.end(), kReply.begin(), kReply.end());
        Deliver(c, chunk);
        left -= n;
    }
    EXPECT_TRUE(Fifo().empty());
    ASSERT_EQ(replies.size(), 1u) << "only the reply after the hostile one";
    EXPECT_EQ(Hex(replies[0]), kRtuAnswer);

    // With the request's own id it ends the request.
    replies.clear();
    Ask(kRequest);
    Bytes own = {0x02, 0x00, 0x00, 0x00, 0xFF, 0xFF};
    own.resize(own.size() + 65535, 0x01);
    own.insert(own.end(), kReply.begin(), kReply.end());
    Deliver(c, own);
    EXPECT_TRUE(replies.empty());
}

TEST_F(Replies, FramesThatWouldNotFitAreDroppedNeverCut)
{
    PETH_CONNECTION c = OpenWithRequest(FRAME_MODE_RTU);
    // Function 0x41 carries no length of its own, so any content answers it.
    const Bytes open = RtuFrame({0x01, 0x41, 0x00, 0x00, 0x00, 0x00});
    auto content = [](size_t n) {
        Bytes b(n, 0x33);
        b[0] = 0x01;
        b[1] = 0x41;
        return b;
    };

    // RTU: content 4094 gives a 4096-byte frame, exactly the FIFO; 4095 is one too many.
    Ask(open);
    Deliver(c, Mbap(c->TransactionId, content(4094)));
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0], RtuFrame(content(4094)));
    Ask(open);
    Deliver(c, Mbap(c->TransactionId, content(4095)));
    EXPECT_EQ(replies.size(), 1u);

    // ASCII: 2L + 5 bytes, so content 2045 fits and 2046 does not.
    replies.clear();
    const Bytes asciiOpen = Text(":014100000000BE\r\n");
    Ask(asciiOpen);
    Deliver(c, Mbap(c->TransactionId, content(2046)));
    EXPECT_TRUE(replies.empty());
    Ask(asciiOpen);
    Deliver(c, Mbap(c->TransactionId, content(2045)));
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].size(), 4095u);

    // A receive ring smaller than the frame: dropped, not cut to a frame that looks whole.
    replies.clear();
    ext->RxRingSize = 5;
    Ask(kRequest);
    Deliver(c, Mbap(c->TransactionId, {0x01, 0x03, 0x02, 0x00, 0x2A}));
    EXPECT_TRUE(replies.empty());
    EXPECT_EQ(ext->Uart.RxCount, 0u);

    // No ring, no FIFO (a closed or stopped port): nothing is placed, nothing breaks.
    ext->RxRingSize = 0;
    Ask(kRequest);
    Deliver(c, Mbap(c->TransactionId, {0x01, 0x03, 0x02, 0x00, 0x2A}));
    PUCHAR fifo = ext->Uart.RxFifo;
    ext->Uart.RxFifo = NULL;
    ext->RxRingSize = 4096;
    Ask(kRequest);
    Deliver(c, Mbap(c->TransactionId, {0x01, 0x03, 0x02, 0x00, 0x2A}));
    ext->Uart.RxFifo = fifo;
    EXPECT_TRUE(replies.empty());
}

// A raw connection's bytes carry no header: they are gathered until they make a whole frame
// in the request's framing, with a valid CRC or LRC, that answers the request.
TEST_F(Replies, RawRepliesMustBeWholeValidFramesAnsweringTheRequest)
{
    PETH_CONNECTION c = OpenWithRequest(FRAME_MODE_RTU, 1);
    const Bytes answer = RtuFrame({0x01, 0x03, 0x02, 0x00, 0x2A});
    for (UCHAR b : answer) Deliver(c, Bytes{b});
    Deliver(c, answer);  // the same frame again: the request already has its reply
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0], answer);

    Bytes badCrc = answer;
    badCrc.back() ^= 1;
    Bytes otherUnit = RtuFrame({0x02, 0x03, 0x02, 0x00, 0x2A});
    for (const Bytes &wrong : {badCrc, otherUnit, RtuFrame({0x01, 0x03, 0x02, 0x00}), Bytes{0x02, 0x00, 0x13}}) {
        replies.clear();
        Ask(kRequest);
        Deliver(c, wrong);
        Deliver(c, answer);  // after a wrong answer the request gets nothing more
        EXPECT_TRUE(replies.empty()) << Hex(wrong);
    }

    // A frame followed by more in the same block: the frame alone is placed.
    replies.clear();
    Ask(kRequest);
    Bytes merged = answer;
    merged.insert(merged.end(), answer.begin(), answer.end());
    Deliver(c, merged);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0], answer);

    // ASCII: gathered up to LF; the colon, hex digits and LRC are checked.
    replies.clear();
    const std::string asciiAnswer = ":010302002AD0\r\n";
    Ask(Text(":01030000000AF2\r\n"));
    Deliver(c, Text(asciiAnswer.substr(0, 6)));
    Deliver(c, Text(asciiAnswer.substr(6)));
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(std::string(replies[0].begin(), replies[0].end()), asciiAnswer);
    replies.clear();
    Ask(Text(":01030000000AF2\r\n"));
    Deliver(c, Text(":010302002AD1\r\n"));
    EXPECT_TRUE(replies.empty());
}

// Requests and replies on one connection at once: the send path forgets part replies under
// ConnectMutex while the indication gathers them under DeviceLock. Whatever interleaving
// happens, only whole, valid frames reach the receive step (run under ThreadSanitizer).
TEST_F(Replies, RequestsRacingRepliesPlaceOnlyWholeFrames)
{
    PETH_CONNECTION c = OpenWithRequest(FRAME_MODE_RTU);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        const Bytes request = {0x01, 0x03, 0x00, 0x00, 0x00, 0x0A, 0xC5, 0xCD};
        PoolBytes data(request);
        for (int i = 0; i < 2000; i++) {
            ForwardRequest(ext, data.get(), data.size());
            if (i % 16 == 0) TakePending();
        }
        done = true;
    });
    int rounds = 0;
    while (!done.load() || rounds < 100) {
        USHORT id = ReadUnlocked(&c->TransactionId);
        Bytes reply = Mbap(id, {0x01, 0x03, 0x02, UCHAR(rounds), 0x2A});
        size_t cut = size_t(rounds % int(reply.size()));
        Deliver(c, Bytes(reply.begin(), reply.begin() + cut));
        Deliver(c, Bytes(reply.begin() + cut, reply.end()));
        rounds++;
    }
    writer.join();
    // A reply cut by a reset may leave its tail to be read as a header, so the content is not
    // checked here; the frames must still be whole and within the FIFO.
    EXPECT_FALSE(replies.empty());
    for (const Bytes &frame : replies) {
        ASSERT_GE(frame.size(), 2u);
        ASSERT_LE(frame.size(), size_t(VUART_RX_FIFO_SIZE));
        EXPECT_EQ(CalcCrc16(frame.data(), ULONG(frame.size()), 0xFFFF), 0) << "a whole frame checks to 0";
    }
    TakePending();
}

}  // namespace

// With exceptions on, the response timer answers a request whose reply has not come (0x0B, in
// RTU here) and ends its transaction: the reply that comes afterwards is dropped as late, and
// a request answered in time is never answered twice.
TEST_F(Replies, ResponseTimerAnswersTheLateRequestOnceAndItsReplyIsDropped)
{
    ext->Exceptions = TRUE;
    ext->ResponseMs = 600000;
    PETH_CONNECTION c = OpenWithRequest(FRAME_MODE_RTU);
    Deliver(c, kReply);
    ASSERT_EQ(replies.size(), 1u);

    ext->ResponseMs = 20;
    Ask(kRequest);
    ASSERT_TRUE(qvtest::WaitUntil([&] { return ReadUnlocked(&ext->ExceptionsSent) == 1; }, 10000));
    KIRQL irql;
    KeAcquireSpinLock(&ext->DeviceLock, &irql);  // the timer's DPC placed it under this lock
    Bytes placed(ext->Uart.RxFifo, ext->Uart.RxFifo + 5);
    KeReleaseSpinLock(&ext->DeviceLock, irql);
    EXPECT_EQ(placed, RtuFrame({0x01, 0x83, 0x0B}));
    Deliver(c, Mbap(2, {0x01, 0x03, 0x02, 0x00, 0x2A}));
    EXPECT_EQ(replies.size(), 1u) << "the reply after its exception is not delivered";
    EXPECT_EQ(c->Counters.repliesLate, 1u);
    EXPECT_EQ(c->Counters.repliesDelivered, 1u);
    EXPECT_EQ(ReadUnlocked(&ext->ExceptionsSent), 1) << "one late request, one exception";
}

// The counters record as the control request fills it reads back field by field through the
// decoder that quorvelctl and the metrics endpoint use; a short buffer learns the size needed.
TEST_F(Replies, CountersRecordReadsBackThroughTheSharedDecoder)
{
    EXPECT_EQ(Open(MakeRecord(1000, 0, 0, {{{127, 0, 0, 1}, 502, 0, {1}}, {{10, 0, 0, 2}, 1502, 1, {2}}})),
              STATUS_SUCCESS);
    PETH_CONNECTION first = Connection(1), second = Connection(2);
    ULONG *fields = &first->Counters.requestsSent;
    for (ULONG i = 0; i < 11; i++) fields[i] = 100 + i;
    first->Counters.lastError = STATUS_CONNECTION_REFUSED;
    first->Counters.lastErrorTime = 0x01DC000000000000LL;
    second->Counters.disconnects = 7;
    ext->ChecksumRejects = 3;
    ext->NoRouteDrops = 4;
    ext->ExceptionsSent = 5;

    auto request = [&](ULONG outputLength, Bytes *output) {
        IRP irp;
        IO_STACK_LOCATION stack;
        RtlZeroMemory(&irp, sizeof(irp));
        RtlZeroMemory(&stack, sizeof(stack));
        output->assign(outputLength, 0xEE);
        irp.AssociatedIrp.SystemBuffer = output->data();
        stack.Parameters.DeviceIoControl.IoControlCode = IOCTL_QUORVEL_GET_COUNTERS;
        stack.Parameters.DeviceIoControl.OutputBufferLength = outputLength;
        NTSTATUS status = CountersIoctl(ext, &irp, &stack);
        EXPECT_EQ(irp.IoStatus.Status, status);
        output->resize(std::min<size_t>(irp.IoStatus.Information, outputLength));
        return std::make_pair(status, irp.IoStatus.Information);
    };
    Bytes output;
    auto shortOne = request(30, &output);
    EXPECT_EQ(shortOne.first, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(shortOne.second, 24u + 2 * 64u);
    ASSERT_EQ(request(4096, &output).first, STATUS_SUCCESS);

    quorvel::PortCounters decoded;
    ASSERT_TRUE(quorvel::DecodeCounters(output, &decoded));
    EXPECT_EQ(decoded.checksumRejects, 3u);
    EXPECT_EQ(decoded.noRoute, 4u);
    EXPECT_EQ(decoded.exceptionsSent, 5u);
    ASSERT_EQ(decoded.links.size(), 2u);
    const quorvel::LinkCounters &a = decoded.links[0], &b = decoded.links[1];
    EXPECT_EQ(quorvel::LinkName(a), "127.0.0.1:502");
    EXPECT_EQ(quorvel::LinkName(b), "10.0.0.2:1502");
    EXPECT_FALSE(a.raw || a.up);
    EXPECT_TRUE(b.raw);
    const std::uint32_t got[] = {a.requestsSent, a.repliesDelivered, a.repliesUnknown,     a.repliesBadLength,
                                 a.repliesLate,  a.requestsLinkDown, a.requestsConnecting, a.requestsTooLong,
                                 a.connects,     a.connectFailures,  a.disconnects};
    for (ULONG i = 0; i < 11; i++) EXPECT_EQ(got[i], 100 + i) << "field " << i;
    EXPECT_EQ(quorvel::LinkErrorText(a.lastError), "connection refused");
    EXPECT_EQ(a.lastErrorTime, 0x01DC000000000000LL);
    EXPECT_EQ(b.disconnects, 7u);

    // A record whose sizes do not add up, or of another version, is refused whole.
    Bytes cut(output.begin(), output.end() - 1);
    EXPECT_FALSE(quorvel::DecodeCounters(cut, &decoded));
    output[4] = 2;
    EXPECT_FALSE(quorvel::DecodeCounters(output, &decoded));
}
