// Modbus serial framing helpers of the host: CRC-16 and LRC.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorvel {

// CRC-16/MODBUS; appended to a frame low byte first. Over a whole frame, CRC included, it is 0.
std::uint16_t ModbusCrc16(const std::uint8_t *data, std::size_t size);
// One more byte into a running CRC (start with 0xFFFF).
std::uint16_t ModbusCrc16Update(std::uint16_t crc, std::uint8_t byte);

}  // namespace quorvel
