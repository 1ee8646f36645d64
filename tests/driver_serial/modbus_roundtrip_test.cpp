// A Windows serial Modbus master on the port: open, configure, write a request, wait for the
// reply's first character, read the reply, against a libmodbus Modbus TCP server on 127.0.0.1.
#include <algorithm>

#include "modbus_server.h"
#include "serial_test.h"

namespace sertest {
namespace {

using qvtest::ModbusServer;

class ModbusMaster : public SerialTest {
protected:
    void SetUp() override
    {
        SerialTest::SetUp();
        PortOptions options;
        options.Record = MakeRecord(2000, 0, 0, {{server.Port(), false, {1}}});
        OpenNewPort(options);

        ASSERT_TRUE(qvtest::SetModbusLine(file));
        // The reply ends when the line stays quiet for 100 ms after its last character.
        SetTimeouts(file, 100, 0, 10000, 0, 1000);
        ASSERT_TRUE(SetCommMask(file, EV_RXCHAR));
    }
    std::vector<uint8_t> Transact(const std::vector<uint8_t> &request)
    {
        Pending event, write, read;
        StartWait(file, event);
        StartWrite(file, write, request);
        EXPECT_EQ(write.Status(), STATUS_SUCCESS);
        EXPECT_EQ(write.Bytes(), request.size());
        EXPECT_EQ(event.Status(), STATUS_SUCCESS);
        EXPECT_EQ(event.mask, (DWORD)EV_RXCHAR);
        StartRead(file, read, 256);
        EXPECT_EQ(read.Status(), STATUS_TIMEOUT);  // the interval timeout after the last character
        return std::vector<uint8_t>(read.data.begin(), read.data.begin() + read.Bytes());
    }

    ModbusServer server;
};

TEST_F(ModbusMaster, RtuRoundTrip)
{
    EXPECT_EQ(Transact({0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A}),
              (std::vector<uint8_t>{0x01, 0x03, 0x02, 0x00, 0x2A, 0x39, 0x9B}));
    // Two registers from address 1: 0x002B, 0x002C.
    std::vector<uint8_t> reply = Transact({0x01, 0x03, 0x00, 0x01, 0x00, 0x02, 0x95, 0xCB});
    ASSERT_EQ(reply.size(), 9u);
    EXPECT_EQ(std::vector<uint8_t>(reply.begin(), reply.begin() + 7),
              (std::vector<uint8_t>{0x01, 0x03, 0x04, 0x00, 0x2B, 0x00, 0x2C}));
}

TEST_F(ModbusMaster, AsciiRoundTrip)
{
    std::string request = ":010300000001FB\r\n";
    std::vector<uint8_t> reply = Transact(std::vector<uint8_t>(request.begin(), request.end()));
    EXPECT_EQ(std::string(reply.begin(), reply.end()), ":010302002AD0\r\n");
}

// No frame is longer than 65535 bytes: a longer write whose first bytes happen to be a whole
// request is not a request, and the server never hears of it, although the link is up.
TEST_F(ModbusMaster, WriteLongerThanAnyFrameNeverReachesTheServer)
{
    const std::vector<uint8_t> request = {0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A};
    const std::vector<uint8_t> reply = {0x01, 0x03, 0x02, 0x00, 0x2A, 0x39, 0x9B};
    EXPECT_EQ(Transact(request), reply);
    ASSERT_EQ(server.Requests(), 1);

    for (size_t length : {size_t(65536 + request.size()), size_t(65536)}) {
        std::vector<uint8_t> data(length, 0);
        std::copy(request.begin(), request.end(), data.begin());
        SetTimeouts(file, 100, 0, 10000, 0, 0);  // the characters take what they take
        Pending write;
        StartWrite(file, write, data);
        EXPECT_EQ(write.Status(), STATUS_SUCCESS);
        EXPECT_EQ(write.Bytes(), length);
        SetTimeouts(file, 100, 0, 10000, 0, 1000);
    }
    // Had either gone out, its reply would precede this one and the count would be off.
    EXPECT_EQ(Transact(request), reply);
    EXPECT_EQ(server.Requests(), 2);
    EXPECT_EQ(port->RingCount(), 0u);
}

}  // namespace
}  // namespace sertest
