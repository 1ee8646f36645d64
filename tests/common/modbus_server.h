// A libmodbus Modbus TCP server on 127.0.0.1 in a thread of its own: the real peer of the tests
// that send requests through the port or the transport.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace qvtest {

// Holding register i (0..99) holds 0x2A + i, for every unit id. One client at a time; with
// `closeAfterReply` the server closes each connection after its first reply.
class ModbusServer {
public:
    explicit ModbusServer(bool closeAfterReply = false);
    ~ModbusServer();
    ModbusServer(const ModbusServer &) = delete;
    ModbusServer &operator=(const ModbusServer &) = delete;

    uint16_t Port() const { return port_; }
    int Requests() const { return requests_.load(); }
    int Connections() const { return connections_.load(); }
    // Raw bytes of every request answered, in order.
    std::vector<std::vector<uint8_t>> RequestLog();

    static constexpr int kRegisters = 100;
    static constexpr uint16_t kFirstValue = 0x2A;

private:
    void Serve();

    void *context_ = nullptr;  // modbus_t
    void *mapping_ = nullptr;  // modbus_mapping_t
    int listenFd_ = -1;
    uint16_t port_ = 0;
    bool closeAfterReply_;
    std::atomic<bool> stop_{false};
    std::atomic<int> requests_{0}, connections_{0};
    std::mutex mutex_;
    int clientFd_ = -1;                      // guarded by mutex_
    std::vector<std::vector<uint8_t>> log_;  // guarded by mutex_
    std::thread thread_;
};

// A loopback port that refuses connects: bound, never listened on.
uint16_t RefusingPort();

}  // namespace qvtest
