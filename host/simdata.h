// quorvel-sim's data and its RTU-over-TCP framing: pure functions, shared with the tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorvel::sim {

inline constexpr int kAddresses = 10000;

inline std::uint16_t HoldingRegister(int unit, int address) { return std::uint16_t((unit * 1000 + address) & 0xFFFF); }
inline std::uint16_t InputRegister(int unit, int address)
{
    return std::uint16_t((unit * 1000 + address + 500) & 0xFFFF);
}
inline std::uint8_t Coil(int address) { return address % 3 == 0 ? 1 : 0; }
inline std::uint8_t DiscreteInput(int address) { return address % 2 == 1 ? 1 : 0; }

inline constexpr std::size_t kNeedMore = 0;
inline constexpr std::size_t kBadFrame = ~std::size_t(0);

// Length of the RTU request at the front of `data` (address, PDU, CRC) judged from its function
// code; kNeedMore while it is incomplete, kBadFrame for a function code it cannot size.
std::size_t RtuRequestLength(const std::uint8_t *data, std::size_t size);
bool RtuCrcValid(const std::uint8_t *frame, std::size_t size);
// RTU request (with CRC) -> Modbus TCP request with the given transaction id.
std::vector<std::uint8_t> RtuToTcp(const std::uint8_t *frame, std::size_t size, std::uint16_t transaction);
// Modbus TCP reply -> RTU reply with its CRC.
std::vector<std::uint8_t> TcpToRtu(const std::uint8_t *adu, std::size_t size);

}  // namespace quorvel::sim
