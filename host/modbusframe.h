// Modbus serial framing helpers of the host: CRC-16 and LRC.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorvel {

// CRC-16/MODBUS; appended to a frame low byte first.
std::uint16_t ModbusCrc16(const std::uint8_t *data, std::size_t size);

}  // namespace quorvel
