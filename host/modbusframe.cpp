#include "modbusframe.h"

namespace quorvel {

namespace {

struct Crc16Table {
    std::uint16_t entry[256];
};

constexpr Crc16Table MakeCrc16Table()
{
    Crc16Table table{};
    for (unsigned i = 0; i < 256; ++i) {
        std::uint16_t crc = std::uint16_t(i);
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? std::uint16_t((crc >> 1) ^ 0xA001) : std::uint16_t(crc >> 1);
        table.entry[i] = crc;
    }
    return table;
}

constexpr Crc16Table kCrc16 = MakeCrc16Table();

}  // namespace

// Reflected polynomial 0xA001, a byte at a time from the table.
std::uint16_t ModbusCrc16Update(std::uint16_t crc, std::uint8_t byte)
{
    return std::uint16_t((crc >> 8) ^ kCrc16.entry[(crc ^ byte) & 0xFF]);
}

std::uint16_t ModbusCrc16(const std::uint8_t *data, std::size_t size)
{
    std::uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < size; ++i) crc = ModbusCrc16Update(crc, data[i]);
    return crc;
}

}  // namespace quorvel
