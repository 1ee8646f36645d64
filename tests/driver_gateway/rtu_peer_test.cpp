// libmodbus as the serial master: its RTU requests, written to a pseudo-terminal, go through the
// gateway, and the replies the gateway frames are accepted and decoded by libmodbus.

#include <fcntl.h>
#include <modbus.h>
#include <unistd.h>

#include <thread>

#include "port_fixture.h"

using namespace gwtest;

namespace {

class RtuPeer : public GatewayPort {
protected:
    void SetUp() override
    {
        GatewayPort::SetUp();
        master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        ASSERT_EQ(Open(MakeRecord(1000, 0, 0, {{{127, 0, 0, 1}, 502, 0, {17}}})), STATUS_SUCCESS);
        ASSERT_EQ(AllocateReplyBuffer(Connection(17)), STATUS_SUCCESS);  // the link is up
    }
    void TearDown() override
    {
        if (master >= 0) close(master);
        GatewayPort::TearDown();
    }

    // The port's side: one request in, forwarded, answered by a server holding `registers`.
    void ServeOne(const std::vector<USHORT> &registers)
    {
        Bytes frame;
        UCHAR byte;
        while (frame.size() < 8 && read(master, &byte, 1) == 1) frame.push_back(byte);
        ASSERT_EQ(frame.size(), 8u);
        PoolBytes data(frame);
        ASSERT_EQ(ForwardRequest(ext, data.get(), data.size()), STATUS_TIMEOUT);
        Bytes request = Pending();
        TakePending();
        ASSERT_EQ(request.size(), 12u);
        request_ = request;

        // The server echoes the transaction id and the unit id.
        Bytes content = {request[6], 0x03, UCHAR(2 * registers.size())};
        for (USHORT r : registers) content.insert(content.end(), {UCHAR(r >> 8), UCHAR(r & 0xFF)});
        Bytes reply = {request[0], request[1], 0, 0, 0, UCHAR(content.size())};
        reply.insert(reply.end(), content.begin(), content.end());
        Deliver(Connection(17), reply);
        ASSERT_EQ(replies.size(), 1u);
        ASSERT_EQ(write(master, replies[0].data(), replies[0].size()), ssize_t(replies[0].size()));
    }

    int master = -1;
    Bytes request_;
};

TEST_F(RtuPeer, ReadHoldingRegistersRoundTrip)
{
    modbus_t *ctx = modbus_new_rtu(ptsname(master), 9600, 'N', 8, 1);
    ASSERT_NE(ctx, nullptr);
    modbus_set_slave(ctx, 17);
    modbus_set_response_timeout(ctx, 10, 0);
    ASSERT_EQ(modbus_connect(ctx), 0);

    const std::vector<USHORT> registers = {0x002A, 0xBEEF, 0x0000};
    std::thread port([&] { ServeOne(registers); });
    uint16_t got[3] = {};
    int n = modbus_read_registers(ctx, 0x006B, 3, got);
    port.join();
    modbus_close(ctx);
    modbus_free(ctx);

    ASSERT_EQ(n, 3) << modbus_strerror(errno);
    EXPECT_EQ(std::vector<USHORT>(got, got + 3), registers);
    EXPECT_EQ(Hex(request_), "01 00 00 00 00 06 11 03 00 6B 00 03");
}

}  // namespace
