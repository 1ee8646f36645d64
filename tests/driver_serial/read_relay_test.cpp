// The host's relay of a port's received bytes to a program's terminal (here a pipe): in order
// and whole while the terminal is full, reads that return at once retried rather than spun, and
// a stop that takes back the read waiting at the port.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "readrelay.h"
#include "serial_test.h"

namespace sertest {
namespace {

class ReadRelay : public SerialTest {
protected:
    void SetUp() override
    {
        SerialTest::SetUp();
        OpenNewPort();
        // The bridge's settings: 8 data bits, reads that return the first character or after a second.
        ChangeDcb(file, [](DCB &dcb) {
            dcb.ByteSize = 8;
            dcb.Parity = NOPARITY;
        });
        SetTimeouts(file, MAXDWORD, MAXDWORD, 1000);
        ASSERT_EQ(pipe2(terminal, O_NONBLOCK | O_CLOEXEC), 0);
        fcntl(terminal[1], F_SETPIPE_SZ, 4096);  // full after one page
        wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        ASSERT_EQ(relay.Start(file, terminal[1], wake), STATUS_SUCCESS);
        // The bridge thread's part: service the relay whenever it asks.
        owner = std::thread([this] {
            while (!stop) {
                bool writable = false;
                int ms = relay.Service(&writable);
                pollfd fds[2] = {{wake, POLLIN, 0}, {terminal[1], short(writable ? POLLOUT : 0), 0}};
                poll(fds, 2, ms < 0 || ms > 50 ? 50 : ms);
                uint64_t count;
                (void)!read(wake, &count, sizeof(count));
            }
        });
    }
    void TearDown() override
    {
        StopRelay();
        for (int fd : {terminal[0], terminal[1], wake}) close(fd);
        SerialTest::TearDown();
    }
    void StopRelay()
    {
        if (!owner.joinable()) return;
        stop = true;
        owner.join();
        relay.Stop();
    }
    // Reads the terminal until `count` bytes came (or the bound passed).
    std::vector<uint8_t> ReadTerminal(size_t count)
    {
        std::vector<uint8_t> got;
        qvtest::WaitUntil([&] {
            uint8_t chunk[4096];
            ssize_t n;
            while ((n = read(terminal[0], chunk, sizeof(chunk))) > 0) got.insert(got.end(), chunk, chunk + n);
            return got.size() >= count;
        });
        return got;
    }

    quorvel::PortReadRelay relay;
    int terminal[2] = {-1, -1};
    int wake = -1;
    std::atomic<bool> stop{false};
    std::thread owner;
};

TEST_F(ReadRelay, BytesReachTheTerminalInOrderAndNoneIsLostWhileItIsFull)
{
    const std::vector<uint8_t> reply = {1, 3, 10, 3, 0xE8, 3, 0xE9, 3, 0xEA, 3, 0xEB, 3, 0xEC, 0x2A, 0x8F};
    port->Receive(reply);
    EXPECT_EQ(ReadTerminal(reply.size()), reply);

    // More than twice what the terminal holds, while nobody reads it: the relay's buffer and then
    // the port's ring keep the rest (each chunk goes once the ring has room for it).
    std::vector<uint8_t> stream(10000);
    for (size_t i = 0; i < stream.size(); ++i) stream[i] = uint8_t(i * 7 + i / 251);
    for (size_t at = 0; at < stream.size(); at += 400) {
        ASSERT_TRUE(qvtest::WaitUntil([&] { return port->RingCount() + 400 <= port->RingSize(); }));
        port->Receive(std::vector<uint8_t>(stream.begin() + at, stream.begin() + std::min(at + 400, stream.size())));
    }
    std::vector<uint8_t> got = ReadTerminal(stream.size());
    ASSERT_EQ(got.size(), stream.size());
    EXPECT_TRUE(got == stream) << "bytes reordered, lost or doubled";

    // Stopped with its read waiting at the port: the read is taken back and the port's next
    // bytes go to whoever reads next.
    StopRelay();
    port->Receive({7, 8, 9});
    Pending read;
    StartRead(file, read, 16);
    ASSERT_EQ(read.Bytes(), 3u);
    EXPECT_EQ(std::vector<uint8_t>(read.data.begin(), read.data.begin() + 3), (std::vector<uint8_t>{7, 8, 9}));
}

TEST_F(ReadRelay, ReadsThatReturnAtOnceAreRetriedAndStillDeliver)
{
    // Someone sets timeouts under which a read returns at once, even with nothing.
    SetTimeouts(file, MAXDWORD, 0, 0);
    port->Receive({0x11});  // ends the read that waited under the old timeouts
    EXPECT_EQ(ReadTerminal(1), (std::vector<uint8_t>{0x11}));
    for (uint8_t b = 0x20; b < 0x25; ++b) {
        port->Receive({b, uint8_t(b + 0x40)});
        EXPECT_EQ(ReadTerminal(2), (std::vector<uint8_t>{b, uint8_t(b + 0x40)}));
    }
}

}  // namespace
}  // namespace sertest
