#include "modbusframe.h"

namespace quorvel {

std::uint16_t ModbusCrc16Update(std::uint16_t crc, std::uint8_t byte)
{
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? std::uint16_t((crc >> 1) ^ 0xA001) : std::uint16_t(crc >> 1);
    return crc;
}

std::uint16_t ModbusCrc16(const std::uint8_t *data, std::size_t size)
{
    std::uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < size; ++i) crc = ModbusCrc16Update(crc, data[i]);
    return crc;
}

}  // namespace quorvel
