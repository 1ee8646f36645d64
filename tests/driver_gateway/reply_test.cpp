// Server replies: converted back into the framing of the request, checked against the
// transaction id, reassembled across receive indications, and bounded by the receive FIFO.

#include <atomic>
#include <thread>

#include "port_fixture.h"

using namespace gwtest;

namespace {

const Bytes kReply = {0x01, 0x00, 0x00, 0x00, 0x00, 0x05, 0x01, 0x03, 0x02, 0x00, 0x2A};

// An MBAP reply with the given transaction id and content.
Bytes Mbap(USHORT id, const Bytes &content)
{
    Bytes out = {UCHAR(id & 0xFF), UCHAR(id >> 8), 0, 0, UCHAR(content.size() >> 8), UCHAR(content.size() & 0xFF)};
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

class Replies : public GatewayPort {
protected:
    // One converted connection serving device 1, last request in the given framing, id 1.
    PETH_CONNECTION OpenConverted(UCHAR mode, UCHAR raw = 0)
    {
        EXPECT_EQ(Open(BuildRecord(1000, 0, 0, {{{127, 0, 0, 1}, 502, raw, {1}}})), STATUS_SUCCESS);
        PETH_CONNECTION connection = Connection(1);
        connection->TransactionId = 1;
        connection->Mode = mode;
        EXPECT_EQ(AllocateReplyBuffer(connection), STATUS_SUCCESS);  // as the link does when it comes up
        return connection;
    }
};

TEST_F(Replies, ConvertedReplyBecomesTheFrameOfTheRequest)
{
    PETH_CONNECTION c = OpenConverted(FRAME_MODE_RTU);
    qv::ClearDbgPrint();
    Deliver(c, kReply);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(Hex(replies[0]), "01 03 02 00 2A 39 9B");
    EXPECT_TRUE(Contains(qv::DbgPrintLines(), "ProcessIncomingData length = 11"));

    c->Mode = FRAME_MODE_ASCII;
    Deliver(c, kReply);
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(std::string(replies[1].begin(), replies[1].end()), ":010302002AD0\r\n");

    // Before any request was routed the mode is 0, which frames as ASCII.
    c->Mode = FRAME_MODE_NONE;
    Deliver(c, kReply);
    ASSERT_EQ(replies.size(), 3u);
    EXPECT_EQ(replies[2], replies[1]);
}

TEST_F(Replies, WithoutTheReceiveStepTheFifoHoldsTheFrame)
{
    PETH_CONNECTION c = OpenConverted(FRAME_MODE_RTU);
    PoolBytes data(kReply);
    KIRQL irql;
    KeAcquireSpinLock(&ext->DeviceLock, &irql);
    ProcessIncomingData(ext, c, data.get(), data.size(), NULL);
    KeReleaseSpinLock(&ext->DeviceLock, irql);
    EXPECT_EQ(ext->Uart.RxCount, 7u);
    EXPECT_EQ(Hex(Fifo()), "01 03 02 00 2A 39 9B");
}

// Data for a converted connection whose link has gone (its reply buffer with it) is dropped,
// as is a reply cut short by the link going down; the next link starts a fresh stream.
TEST_F(Replies, DataWithoutALinkIsDroppedAndTheNextLinkStartsAfresh)
{
    PETH_CONNECTION c = OpenConverted(FRAME_MODE_RTU);
    Deliver(c, Bytes(kReply.begin(), kReply.begin() + 5));
    FreeReplyBuffer(c);
    Deliver(c, Bytes(kReply.begin() + 5, kReply.end()));
    Deliver(c, kReply);
    EXPECT_TRUE(replies.empty());
    EXPECT_EQ(ext->Uart.RxCount, 0u);

    ASSERT_EQ(AllocateReplyBuffer(c), STATUS_SUCCESS);
    Deliver(c, kReply);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(Hex(replies[0]), "01 03 02 00 2A 39 9B");

    // A raw connection reassembles nothing and needs no buffer.
    FreeReplyBuffer(c);
    c->raw = 1;
    ASSERT_EQ(AllocateReplyBuffer(c), STATUS_SUCCESS);
    EXPECT_EQ(c->ReplyBuffer, nullptr);
}

TEST_F(Replies, ReplyToAnotherTransactionLeavesTheFifoAlone)
{
    PETH_CONNECTION c = OpenConverted(FRAME_MODE_RTU);
    ext->Uart.RxFifo[0] = 0x55;
    ext->Uart.RxCount = 1;
    Bytes late = kReply;
    late[0] = 0x02;
    Deliver(c, late);
    Deliver(c, Mbap(0x0100, {0x01, 0x03, 0x02, 0x00, 0x2A}));  // id 256: high byte matters too
    EXPECT_TRUE(replies.empty());
    EXPECT_EQ(Hex(Fifo()), "55");

    // The stream stays in step: the right reply right after is placed.
    Deliver(c, kReply);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(Hex(replies[0]), "01 03 02 00 2A 39 9B");
}

TEST_F(Replies, SplitAndMergedRepliesAreReassembled)
{
    PETH_CONNECTION c = OpenConverted(FRAME_MODE_RTU);

    // Split inside the header, then inside the content.
    Deliver(c, Bytes(kReply.begin(), kReply.begin() + 2));
    Deliver(c, Bytes(kReply.begin() + 2, kReply.begin() + 7));
    EXPECT_TRUE(replies.empty());
    Deliver(c, Bytes(kReply.begin() + 7, kReply.end()));
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(Hex(replies[0]), "01 03 02 00 2A 39 9B");

    // Byte by byte.
    replies.clear();
    for (UCHAR b : kReply) Deliver(c, Bytes{b});
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(Hex(replies[0]), "01 03 02 00 2A 39 9B");

    // Two replies and the start of a third in one block; each reaches the receive step in turn.
    replies.clear();
    Bytes second = Mbap(1, {0x01, 0x03, 0x02, 0x00, 0x2B});
    Bytes block = kReply;
    block.insert(block.end(), second.begin(), second.end());
    block.insert(block.end(), kReply.begin(), kReply.begin() + 8);
    Deliver(c, block);
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(Hex(replies[0]), "01 03 02 00 2A 39 9B");
    EXPECT_EQ(Hex(replies[1]), Hex(WithCrc({0x01, 0x03, 0x02, 0x00, 0x2B})));
    Deliver(c, Bytes(kReply.begin() + 8, kReply.end()));
    ASSERT_EQ(replies.size(), 3u);
    EXPECT_EQ(replies[2], replies[0]);

    // A reply with an empty content is complete with its header.
    replies.clear();
    Deliver(c, Mbap(1, {}));
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(Hex(replies[0]), "FF FF");
}

TEST_F(Replies, ANewRequestForgetsAPartReply)
{
    PETH_CONNECTION c = OpenConverted(FRAME_MODE_RTU);
    Deliver(c, Bytes{0x01, 0x00, 0x00, 0x00});  // fewer than 6 bytes: nothing is read as a length
    EXPECT_TRUE(replies.empty());
    AcquireConnectMutex(ext);
    ResetReplyStream(c);
    ReleaseConnectMutex(ext);
    Deliver(c, kReply);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(Hex(replies[0]), "01 03 02 00 2A 39 9B");
}

TEST_F(Replies, HostileLengthsAreSkippedWholeAndTheStreamRecovers)
{
    PETH_CONNECTION c = OpenConverted(FRAME_MODE_RTU);
    ext->Uart.RxCount = 3;

    // L = 65535: would wrap L + 6 and L + 2 at 16 bits. Its 65535 bytes are skipped, in pieces.
    Bytes hostile = {0x01, 0x00, 0x00, 0x00, 0xFF, 0xFF};
    hostile.resize(hostile.size() + 1000, 0x01);
    Deliver(c, hostile);
    EXPECT_EQ(ext->Uart.RxCount, 0u);
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
    EXPECT_EQ(Hex(replies[0]), "01 03 02 00 2A 39 9B");
}

TEST_F(Replies, FramesThatWouldNotFitTheFifoAreDropped)
{
    PETH_CONNECTION c = OpenConverted(FRAME_MODE_RTU);

    // RTU: content 4094 gives a 4096-byte frame, exactly the FIFO; 4095 is one too many.
    Bytes content(4094, 0x33);
    Deliver(c, Mbap(1, content));
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0], WithCrc(content));
    content.push_back(0x33);
    Deliver(c, Mbap(1, content));
    EXPECT_EQ(replies.size(), 1u);

    // ASCII: 2L + 5 bytes, so content 2045 fits and 2046 does not.
    c->Mode = FRAME_MODE_ASCII;
    replies.clear();
    Deliver(c, Mbap(1, Bytes(2046, 0x44)));
    EXPECT_TRUE(replies.empty());
    Deliver(c, Mbap(1, Bytes(2045, 0x44)));
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].size(), 4095u);

    // A smaller receive ring cuts the frame to its size.
    replies.clear();
    c->Mode = FRAME_MODE_RTU;
    ext->RxRingSize = 5;
    Deliver(c, kReply);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(Hex(replies[0]), "01 03 02 00 2A");

    // No ring, no FIFO (a closed or stopped port): nothing is placed, nothing breaks.
    replies.clear();
    ext->RxRingSize = 0;
    Deliver(c, kReply);
    ExFreePoolWithTag(ext->Uart.RxFifo, GWTEST_TAG);
    ext->Uart.RxFifo = NULL;
    ext->RxRingSize = 4096;
    Deliver(c, kReply);
    EXPECT_TRUE(replies.empty());
}

TEST_F(Replies, RawConnectionPassesEachBlockUnchecked)
{
    PETH_CONNECTION c = OpenConverted(FRAME_MODE_RTU, 1);
    Bytes junk = {0x02, 0x00, 0x13};
    Deliver(c, junk);
    Deliver(c, kReply);
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0], junk);
    EXPECT_EQ(replies[1], kReply);

    // Never more than the FIFO holds, even with a larger ring.
    replies.clear();
    ext->RxRingSize = 8192;
    Bytes big(5000);
    for (size_t i = 0; i < big.size(); i++) big[i] = UCHAR(i);
    Deliver(c, big);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0], Bytes(big.begin(), big.begin() + 4096));
}

// Requests and replies on one connection at once: the send path forgets part replies under
// ConnectMutex while the indication gathers them under DeviceLock. Whatever interleaving
// happens, only whole, valid frames reach the receive step (run under ThreadSanitizer).
TEST_F(Replies, RequestsRacingRepliesPlaceOnlyWholeFrames)
{
    PETH_CONNECTION c = OpenConverted(FRAME_MODE_RTU);
    c->TransactionId = 0;
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
