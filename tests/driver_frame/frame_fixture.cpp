#include "frame_fixture.h"

#include <arpa/inet.h>
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "quorvel.h"

namespace frametest {

struct ModbusServer::State {
    modbus_t *context = nullptr;
    modbus_mapping_t *mapping = nullptr;
    int listen = -1;
    std::atomic<bool> stop{false};
    std::atomic<int> client{-1};
    std::thread thread;
};

ModbusServer::ModbusServer() : state_(new State)
{
    state_->context = modbus_new_tcp("127.0.0.1", 0);
    state_->mapping = modbus_mapping_new(0, 0, 16, 0);
    for (int i = 0; i < 16; i++) state_->mapping->tab_registers[i] = (uint16_t)(0x2A + i);
    state_->listen = modbus_tcp_listen(state_->context, 1);
    sockaddr_in address{};
    socklen_t length = sizeof(address);
    getsockname(state_->listen, (sockaddr *)&address, &length);
    port_ = ntohs(address.sin_port);
    state_->thread = std::thread([this] { Serve(); });
}

ModbusServer::~ModbusServer()
{
    state_->stop = true;
    shutdown(state_->listen, SHUT_RDWR);
    int client = state_->client.exchange(-1);
    if (client >= 0) shutdown(client, SHUT_RDWR);
    state_->thread.join();
    close(state_->listen);
    modbus_mapping_free(state_->mapping);
    modbus_free(state_->context);
    delete state_;
}

void ModbusServer::Serve()
{
    uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
    while (!state_->stop) {
        int fd = accept(state_->listen, nullptr, nullptr);
        if (fd < 0) return;
        state_->client = fd;
        modbus_set_socket(state_->context, fd);
        for (;;) {
            int rc = modbus_receive(state_->context, query);
            if (rc < 0) break;
            if (rc > 0) modbus_reply(state_->context, query, rc, state_->mapping);
        }
        if (state_->client.exchange(-1) >= 0) close(fd);
    }
}

std::vector<uint8_t> MakeRecord(uint16_t tcpPort, uint8_t rtsMask, std::vector<uint8_t> deviceIds)
{
    std::vector<uint8_t> r(ETH_INFO_HEADER_SIZE);
    auto put32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; i++) r[at + i] = (uint8_t)(v >> (8 * i));
    };
    uint32_t entrySize = ETH_ENTRY_HEADER_SIZE + (uint32_t)deviceIds.size();
    r.resize(ETH_INFO_HEADER_SIZE + entrySize);
    put32(0, (uint32_t)r.size());
    r[4] = 0x01, r[5] = 0x01;              // version 0x0101
    r[6] = 2000 & 0xFF, r[7] = 2000 >> 8;  // delay, ms
    r[8] = rtsMask;
    r[9] = 0;
    put32(10, entrySize);
    r[14] = 127, r[15] = 0, r[16] = 0, r[17] = 1;  // 127.0.0.1, network order
    r[18] = (uint8_t)tcpPort, r[19] = (uint8_t)(tcpPort >> 8);
    r[20] = 0;  // converted to Modbus TCP
    for (size_t i = 0; i < deviceIds.size(); i++) r[21 + i] = deviceIds[i];
    return r;
}

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING);

void FrameTest::SetUp()
{
    PlatformTest::SetUp();
    qv::VerifierForbidNestings(QuorvelForbiddenNesting);
    qv::PnpRegisterDriver("Quorvel", DriverEntry);
}

std::string FrameTest::AddPort(const std::string &portName)
{
    qv::PnpNodeOptions options;
    options.PortName = portName;
    std::string id;
    NTSTATUS status = qv::PnpCreatePortsNode(options, &id);
    EXPECT_EQ(status, STATUS_SUCCESS) << portName;
    return id;
}

HANDLE FrameTest::Open(const std::string &portName, bool overlapped)
{
    std::u16string path = u"\\\\.\\";
    for (char c : portName) path += (char16_t)c;
    return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
}

void FrameTest::StoreRecord(const std::string &portName, const std::vector<uint8_t> &record)
{
    HANDLE file = Open(portName);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD bytes = 0;
    EXPECT_TRUE(DeviceIoControl(file, IOCTL_SERIAL_SET_ETHERNET, (LPVOID)record.data(), (DWORD)record.size(), nullptr,
                                0, &bytes, nullptr));
    CloseHandle(file);
}

void FrameTest::Configure(HANDLE file, DWORD totalMs)
{
    DCB dcb = {};
    ASSERT_TRUE(GetCommState(file, &dcb));
    dcb.BaudRate = CBR_9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    ASSERT_TRUE(SetCommState(file, &dcb));
    COMMTIMEOUTS timeouts = {};
    timeouts.ReadTotalTimeoutConstant = totalMs;
    timeouts.WriteTotalTimeoutConstant = 10000;
    ASSERT_TRUE(SetCommTimeouts(file, &timeouts));
}

std::vector<uint8_t> FrameTest::Transact(HANDLE file, const std::vector<uint8_t> &request, size_t replyLength)
{
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(file, request.data(), (DWORD)request.size(), &written, nullptr));
    EXPECT_EQ(written, request.size());
    std::vector<uint8_t> reply(replyLength);
    DWORD read = 0;
    EXPECT_TRUE(ReadFile(file, reply.data(), (DWORD)reply.size(), &read, nullptr));
    reply.resize(read);
    return reply;
}

}  // namespace frametest
