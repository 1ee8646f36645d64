// A Windows serial Modbus master on the port: open, configure, write a request, wait for the
// reply's first character, read the reply, against a libmodbus Modbus TCP server on 127.0.0.1.
#include <arpa/inet.h>
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "serial_test.h"

namespace sertest {
namespace {

// Holding register i holds 0x2A + i; one client at a time.
class ModbusServer {
public:
    ModbusServer()
    {
        context_ = modbus_new_tcp("127.0.0.1", 0);
        mapping_ = modbus_mapping_new(0, 0, 16, 0);
        for (int i = 0; i < 16; i++) mapping_->tab_registers[i] = (uint16_t)(0x2A + i);
        listen_ = modbus_tcp_listen(context_, 1);
        sockaddr_in address{};
        socklen_t length = sizeof(address);
        getsockname(listen_, (sockaddr *)&address, &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~ModbusServer()
    {
        stop_ = true;
        shutdown(listen_, SHUT_RDWR);
        int client = client_.exchange(-1);
        if (client >= 0) shutdown(client, SHUT_RDWR);
        thread_.join();
        close(listen_);
        modbus_mapping_free(mapping_);
        modbus_free(context_);
    }
    uint16_t Port() const { return port_; }
    int Requests() const { return requests_.load(); }

private:
    void Serve()
    {
        uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
        while (!stop_) {
            int fd = accept(listen_, nullptr, nullptr);
            if (fd < 0) return;
            client_ = fd;
            modbus_set_socket(context_, fd);
            for (;;) {
                int rc = modbus_receive(context_, query);
                if (rc < 0) break;
                if (rc > 0) {
                    requests_++;
                    modbus_reply(context_, query, rc, mapping_);
                }
            }
            if (client_.exchange(-1) >= 0) close(fd);
        }
    }

    modbus_t *context_ = nullptr;
    modbus_mapping_t *mapping_ = nullptr;
    int listen_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> client_{-1};
    std::atomic<int> requests_{0};
    std::thread thread_;
};

class ModbusMaster : public SerialTest {
protected:
    void SetUp() override
    {
        SerialTest::SetUp();
        PortOptions options;
        options.Record = MakeRecord(2000, 0, 0, {{server.Port(), false, {1}}});
        MakePort(options);
        file = OpenPort();

        DCB dcb = {};
        ASSERT_TRUE(GetCommState(file, &dcb));
        dcb.BaudRate = CBR_9600;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        ASSERT_TRUE(SetCommState(file, &dcb));
        // The reply ends when the line stays quiet for 100 ms after its last character.
        SetTimeouts(file, 100, 0, 10000, 0, 1000);
        ASSERT_TRUE(SetCommMask(file, EV_RXCHAR));
    }
    void TearDown() override
    {
        CloseHandle(file);
        SerialTest::TearDown();
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
    HANDLE file = INVALID_HANDLE_VALUE;
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
