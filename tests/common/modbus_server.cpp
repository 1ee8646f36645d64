#include "modbus_server.h"

#include <arpa/inet.h>
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace qvtest {

ModbusServer::ModbusServer(bool closeAfterReply) : closeAfterReply_(closeAfterReply)
{
    modbus_t *ctx = modbus_new_tcp("127.0.0.1", 0);
    modbus_mapping_t *mapping = modbus_mapping_new(0, 0, kRegisters, 0);
    if (ctx == nullptr || mapping == nullptr) throw std::runtime_error("libmodbus context");
    context_ = ctx;
    mapping_ = mapping;
    for (int i = 0; i < kRegisters; i++) mapping->tab_registers[i] = uint16_t(kFirstValue + i);

    listenFd_ = modbus_tcp_listen(ctx, 4);
    if (listenFd_ < 0) throw std::runtime_error("modbus_tcp_listen on 127.0.0.1");
    sockaddr_in address{};
    socklen_t length = sizeof(address);
    getsockname(listenFd_, (sockaddr *)&address, &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
}

ModbusServer::~ModbusServer()
{
    // Shutting the sockets down ends the blocking accept and receive of the server thread.
    stop_ = true;
    shutdown(listenFd_, SHUT_RDWR);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (clientFd_ >= 0) shutdown(clientFd_, SHUT_RDWR);
    }
    thread_.join();
    close(listenFd_);
    modbus_mapping_free((modbus_mapping_t *)mapping_);
    modbus_free((modbus_t *)context_);
}

std::vector<std::vector<uint8_t>> ModbusServer::RequestLog()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
}

void ModbusServer::Serve()
{
    modbus_t *ctx = (modbus_t *)context_;
    uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
    while (!stop_) {
        int fd = accept(listenFd_, nullptr, nullptr);
        if (fd < 0) break;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stop_) {
                close(fd);
                break;
            }
            clientFd_ = fd;
        }
        connections_++;
        modbus_set_socket(ctx, fd);
        for (;;) {
            int rc = modbus_receive(ctx, query);
            if (rc == 0) continue;  // a request for another unit: libmodbus ignores it
            if (rc < 0) break;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                log_.emplace_back(query, query + rc);
            }
            requests_++;
            modbus_reply(ctx, query, rc, (modbus_mapping_t *)mapping_);
            if (closeAfterReply_) break;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        close(fd);
        clientFd_ = -1;
    }
}

uint16_t RefusingPort()
{
    static int fd = -1;
    if (fd < 0) {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, (sockaddr *)&address, sizeof(address));
    }
    sockaddr_in address{};
    socklen_t length = sizeof(address);
    getsockname(fd, (sockaddr *)&address, &length);
    return ntohs(address.sin_port);
}

}  // namespace qvtest
