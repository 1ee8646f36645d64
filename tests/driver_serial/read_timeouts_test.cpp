// Reads with the serial read timeouts, on the virtual clock: each case of the published rules,
// characters arriving while a read waits, and cancellation.
#include "serial_test.h"

namespace sertest {
namespace {

class ReadTimeouts : public SerialTest {
protected:
    void SetUp() override
    {
        SerialTest::SetUp();
        UseVirtualClock();
        OpenNewPort();
    }
};

// Reads that complete at once with what the ring held, without waiting for more.
TEST_F(ReadTimeouts, ReadReturnsAtOnceWithWhatTheRingHeld)
{
    struct Case {
        const char *what;
        DWORD interval, multiplier, constant;
        std::vector<uint8_t> ring;
        DWORD length;
    };
    const Case cases[] = {
        {"zero length", 0, 0, 0, {}, 0},
        {"max interval, zero totals, empty ring", MAXDWORD, 0, 0, {}, 16},
        {"max interval, zero totals", MAXDWORD, 0, 0, {0x11, 0x22, 0x33}, 16},
        {"max interval and multiplier", MAXDWORD, MAXDWORD, 500, {7, 8}, 10},
        // With an empty ring it runs to its total: a case of ReadEndsAtItsTimeoutWithWhatCame.
        {"max interval, ordinary totals", MAXDWORD, 10, 100, {1, 2}, 10},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        SetTimeouts(file, c.interval, c.multiplier, c.constant);
        port->Receive(c.ring);
        Pending read;
        StartRead(file, read, c.length);
        EXPECT_EQ(read.Status(), STATUS_SUCCESS);
        ASSERT_EQ(read.Bytes(), c.ring.size());
        EXPECT_EQ(std::vector<uint8_t>(read.data.begin(), read.data.begin() + c.ring.size()), c.ring);
    }
}

TEST_F(ReadTimeouts, NoTimeoutsWaitForTheWholeBuffer)
{
    SetTimeouts(file, 0, 0, 0);
    Pending read;
    StartRead(file, read, 10);
    AdvanceMs(60000);
    port->Receive({1, 2, 3, 4});
    EXPECT_FALSE(read.Done());
    port->Receive({5, 6, 7, 8, 9, 10, 11, 12});
    EXPECT_EQ(read.Status(), STATUS_SUCCESS);
    EXPECT_EQ(read.Bytes(), 10u);
    EXPECT_EQ(read.data, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    EXPECT_EQ(port->RingCount(), 2u);  // the rest of the reply waits in the ring
}

// The first character ends the read; with none it ends at the constant.
TEST_F(ReadTimeouts, MaxIntervalAndMultiplierReturnAtTheFirstCharacter)
{
    SetTimeouts(file, MAXDWORD, MAXDWORD, 500);
    Pending first;
    StartRead(file, first, 10);
    AdvanceMs(499);
    EXPECT_FALSE(first.Done());
    port->Receive({9, 10, 11});
    EXPECT_EQ(first.Status(), STATUS_SUCCESS);
    EXPECT_EQ(first.Bytes(), 1u);
    EXPECT_EQ(first.data[0], 9);
    EXPECT_EQ(port->RingCount(), 2u);
    ASSERT_TRUE(PurgeComm(file, PURGE_RXCLEAR));

    Pending none;
    StartRead(file, none, 10);
    AdvanceMs(499);
    EXPECT_FALSE(none.Done());
    AdvanceMs(1);
    EXPECT_EQ(none.Status(), STATUS_TIMEOUT);
    EXPECT_EQ(none.Bytes(), 0u);
}

// Reads that end by their timeout: not a millisecond early, with every character that came.
TEST_F(ReadTimeouts, ReadEndsAtItsTimeoutWithWhatCame)
{
    struct Case {
        const char *what;
        DWORD interval, multiplier, constant;
        std::vector<uint8_t> before;  // in the ring when the read starts
        ULONG arriveMs;
        std::vector<uint8_t> during;
        ULONG endMs;
    };
    const Case cases[] = {
        // 10 bytes: 10 * 10 + 100 ms; characters arriving do not end it early.
        {"total", 0, 10, 100, {}, 150, {1, 2, 3}, 200},
        // An empty ring: not cut down to one character, it runs to its total.
        {"max interval, ordinary totals", MAXDWORD, 10, 100, {}, 50, {3, 4, 5}, 200},
        // The interval runs from the start: characters the ring supplied have arrived already.
        {"interval after the ring's characters", 50, 0, 0, {1, 2, 3}, 0, {}, 50},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(PurgeComm(file, PURGE_RXCLEAR));
        SetTimeouts(file, c.interval, c.multiplier, c.constant);
        port->Receive(c.before);
        Pending read;
        StartRead(file, read, 10);
        AdvanceMs(c.arriveMs);
        port->Receive(c.during);
        AdvanceMs(c.endMs - c.arriveMs - 1);
        EXPECT_FALSE(read.Done());
        AdvanceMs(1);
        EXPECT_EQ(read.Status(), STATUS_TIMEOUT);
        EXPECT_EQ(read.Bytes(), c.before.size() + c.during.size());
    }
}

TEST_F(ReadTimeouts, MaxIntervalWithMaxConstantWaitsForTheWholeBuffer)
{
    SetTimeouts(file, MAXDWORD, 5, MAXDWORD);
    port->Receive({1, 2});
    Pending read;
    StartRead(file, read, 4);
    AdvanceMs(24ull * 3600 * 1000);
    EXPECT_FALSE(read.Done());
    port->Receive({3, 4});
    EXPECT_EQ(read.Status(), STATUS_SUCCESS);
    EXPECT_EQ(read.data, (std::vector<uint8_t>{1, 2, 3, 4}));
}

// Totals past what 32 bits, or 64 bits of 100 ns, can hold mean "practically never", not "now".
TEST_F(ReadTimeouts, LargeTotalsDoNotWrap)
{
    SetTimeouts(file, 0, 1, MAXDWORD);  // 1 + MAXDWORD wraps to 0 in 32 bits
    Pending sum;
    StartRead(file, sum, 1);
    AdvanceMs(24ull * 3600 * 1000);
    EXPECT_FALSE(sum.Done());
    ASSERT_TRUE(CancelIo(file));
    EXPECT_EQ(sum.Status(), STATUS_CANCELLED);

    SetTimeouts(file, 0, MAXDWORD - 1, 1);  // 1 MiB * (MAXDWORD - 1) ms overflows 64 bits of 100 ns
    Pending product;
    StartRead(file, product, 1 << 20);
    AdvanceMs(24ull * 3600 * 1000);
    EXPECT_FALSE(product.Done());
    ASSERT_TRUE(CancelIo(file));
    EXPECT_EQ(product.Status(), STATUS_CANCELLED);
}

TEST_F(ReadTimeouts, IntervalTimeoutAfterTheLastCharacter)
{
    SetTimeouts(file, 50, 0, 0);
    Pending read;
    StartRead(file, read, 100);
    // No interval before the first character.
    for (int i = 0; i < 20; i++) AdvanceMs(50);
    EXPECT_FALSE(read.Done());

    port->Receive({1, 2, 3, 4, 5});
    AdvanceMs(50);  // this check sees the reply
    AdvanceMs(30);
    port->Receive({6});
    AdvanceMs(20);  // sees the sixth character
    EXPECT_FALSE(read.Done());
    AdvanceMs(50);  // nothing new for a whole interval
    EXPECT_EQ(read.Status(), STATUS_TIMEOUT);
    EXPECT_EQ(read.Bytes(), 6u);
}

TEST_F(ReadTimeouts, LongIntervalsAreCheckedOnceASecond)
{
    SetTimeouts(file, 25000, 0, 0);  // at or above the 20-second cut-over
    Pending read;
    StartRead(file, read, 10);
    AdvanceMs(3000);
    port->Receive({1, 2});
    AdvanceMs(1000);  // the next one-second check sees them
    for (int i = 0; i < 24; i++) {
        AdvanceMs(1000);
        ASSERT_FALSE(read.Done()) << "after " << i + 1 << " s";
    }
    AdvanceMs(1000);  // 25 s after the check that saw progress
    EXPECT_EQ(read.Status(), STATUS_TIMEOUT);
    EXPECT_EQ(read.Bytes(), 2u);
}

TEST_F(ReadTimeouts, RingKeepsCharactersAcrossItsEnd)
{
    SetTimeouts(file, MAXDWORD, 0, 0);
    port->Receive(4090, 'z');
    Pending drain;
    StartRead(file, drain, 4090);
    ASSERT_EQ(drain.Bytes(), 4090u);
    std::vector<uint8_t> reply;
    for (int i = 0; i < 12; i++) reply.push_back((uint8_t)(0x40 + i));
    port->Receive(reply);
    Pending read;
    StartRead(file, read, 12);
    ASSERT_EQ(read.Bytes(), 12u);
    EXPECT_EQ(read.data, reply);
}

TEST_F(ReadTimeouts, CancelledReadsReportWhatTheyHold)
{
    SetTimeouts(file, 0, 0, 0);
    Pending current, waiting;
    StartRead(file, current, 10);
    StartRead(file, waiting, 10);
    port->Receive({1, 2, 3});
    ASSERT_TRUE(CancelIo(file));
    EXPECT_EQ(current.Status(), STATUS_CANCELLED);
    EXPECT_EQ(current.Bytes(), 3u);
    EXPECT_EQ(waiting.Status(), STATUS_CANCELLED);
    EXPECT_EQ(waiting.Bytes(), 0u);

    // The port goes on with the next read.
    Pending next;
    StartRead(file, next, 2);
    port->Receive({4, 5});
    EXPECT_EQ(next.Status(), STATUS_SUCCESS);
    EXPECT_EQ(next.data, (std::vector<uint8_t>{4, 5}));
}

}  // namespace
}  // namespace sertest
