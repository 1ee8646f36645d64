// Ports of the real driver: Quorvel's DriverEntry registered with the platform, each port a
// Ports-class node of the PnP manager with its PortName, opened as "\\.\COMn".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform_test.h"
#include "qv/pnp.h"
#include "qv/win32.h"
#include "qv/win32comm.h"

namespace frametest {

// Holding register i holds 0x2A + i; one client at a time, on 127.0.0.1 at a system port.
class ModbusServer {
public:
    ModbusServer();
    ~ModbusServer();
    uint16_t Port() const { return port_; }

private:
    void Serve();
    struct State;
    State *state_;
    uint16_t port_ = 0;
};

std::vector<uint8_t> MakeRecord(uint16_t tcpPort, uint8_t rtsMask, std::vector<uint8_t> deviceIds = {1});

class FrameTest : public qvtest::PlatformTest {
protected:
    void SetUp() override;

    // A started port with this name; returns its instance id.
    std::string AddPort(const std::string &portName);
    HANDLE Open(const std::string &portName, bool overlapped = false);
    // Stores a settings record through a handle of its own (the configurator's way).
    void StoreRecord(const std::string &portName, const std::vector<uint8_t> &record);
    // 9600 8N1, reads end when full or after `totalMs`.
    void Configure(HANDLE file, DWORD totalMs);
    // Writes the request and reads `replyLength` bytes.
    std::vector<uint8_t> Transact(HANDLE file, const std::vector<uint8_t> &request, size_t replyLength);
};

}  // namespace frametest
