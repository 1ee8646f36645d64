// The driver's ports opened as a Modbus master opens them: 9600 8N1, a request written, the
// reply read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "driver_port.h"
#include "modbus_server.h"

namespace frametest {

using qvtest::ModbusServer;

// Read holding register 0 of unit 1, and the test server's reply (register 0 holds 0x2A).
const std::vector<uint8_t> kRtuRequest = {0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A};
const std::vector<uint8_t> kRtuReply = {0x01, 0x03, 0x02, 0x00, 0x2A, 0x39, 0x9B};

// A record with one connection, converted to Modbus TCP, to a server on 127.0.0.1.
inline std::vector<uint8_t> MakeRecord(uint16_t tcpPort, uint8_t rtsMask, std::vector<uint8_t> deviceIds = {1})
{
    return qvtest::MakeRecord(2000, rtsMask, 0, {{tcpPort, false, deviceIds}});
}

class FrameTest : public qvtest::DriverTest {
protected:
    // 9600 8N1, reads end when full or after `totalMs`.
    void Configure(HANDLE file, DWORD totalMs);
    // Writes the request and reads `replyLength` bytes.
    std::vector<uint8_t> Transact(HANDLE file, const std::vector<uint8_t> &request, size_t replyLength);
};

}  // namespace frametest
