#include "simdata.h"

#include <cstring>

#include "modbusframe.h"

namespace quorvel::sim {

std::size_t RtuRequestLength(const std::uint8_t *data, std::size_t size)
{
    if (size < 2) return kNeedMore;
    std::size_t length;
    switch (data[1]) {
    case 0x01:
    case 0x02:
    case 0x03:
    case 0x04:
    case 0x05:
    case 0x06: length = 8; break;
    case 0x07:
    case 0x0B:
    case 0x0C:
    case 0x11: length = 4; break;
    case 0x0F:
    case 0x10:
        if (size < 7) return kNeedMore;
        length = 9 + std::size_t(data[6]);
        break;
    case 0x16: length = 10; break;
    case 0x17:
        if (size < 11) return kNeedMore;
        length = 13 + std::size_t(data[10]);
        break;
    default: return kBadFrame;
    }
    return size < length ? kNeedMore : length;
}

bool RtuCrcValid(const std::uint8_t *frame, std::size_t size)
{
    if (size < 4) return false;
    std::uint16_t crc = ModbusCrc16(frame, size - 2);
    return frame[size - 2] == (crc & 0xFF) && frame[size - 1] == (crc >> 8);
}

std::vector<std::uint8_t> RtuToTcp(const std::uint8_t *frame, std::size_t size, std::uint16_t transaction)
{
    std::size_t body = size - 2;  // unit id and PDU
    std::vector<std::uint8_t> adu(6 + body);
    adu[0] = std::uint8_t(transaction >> 8);
    adu[1] = std::uint8_t(transaction);
    adu[4] = std::uint8_t(body >> 8);
    adu[5] = std::uint8_t(body);
    std::memcpy(adu.data() + 6, frame, body);
    return adu;
}

std::vector<std::uint8_t> TcpToRtu(const std::uint8_t *adu, std::size_t size)
{
    if (size < 7) return {};
    std::vector<std::uint8_t> frame(size - 6 + 2);
    std::memcpy(frame.data(), adu + 6, size - 6);
    std::uint16_t crc = ModbusCrc16(frame.data(), size - 6);
    frame[size - 6] = std::uint8_t(crc & 0xFF);
    frame[size - 5] = std::uint8_t(crc >> 8);
    return frame;
}

}  // namespace quorvel::sim
