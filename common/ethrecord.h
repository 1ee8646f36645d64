// The Ethernet settings record of a port: the binary form the driver stores and returns through
// its two Ethernet control requests. Plain C++ (no Qt), shared by the configurator and quorvelctl.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quorvel {

inline constexpr std::uint16_t kEthRecordVersion = 0x0101;
inline constexpr std::uint32_t kEthHeaderSize = 10;
inline constexpr std::uint32_t kEthEntryHeaderSize = 11;
// Only the four modem inputs exist; the upper bits of a mask are always written as 0.
inline constexpr std::uint8_t kEthMaskBits = 0x0F;
// Output buffer the configurator gives IOCTL_SERIAL_GET_ETHERNET.
inline constexpr std::uint32_t kEthReadBufferSize = 32768;
// Largest record that still fits a settings file (32768 bytes less its 18-byte header), and so
// the largest record the configurator sends.
inline constexpr std::uint32_t kEthMaxAppliedSize = 32750;
// The send time limit (delay) a port may store, in ms: with 0 a connect could never succeed.
inline constexpr std::uint16_t kEthMinDelay = 1;
inline constexpr std::uint16_t kEthMaxDelay = 65535;
constexpr bool EthDelayValid(long long ms) { return ms >= kEthMinDelay && ms <= kEthMaxDelay; }

inline constexpr std::uint32_t IOCTL_SERIAL_SET_ETHERNET = 0x001B9C40;
inline constexpr std::uint32_t IOCTL_SERIAL_GET_ETHERNET = 0x001B9C44;

// Mask bits of the modem inputs that follow RTS or DTR.
inline constexpr std::uint8_t kLineCts = 0x01;
inline constexpr std::uint8_t kLineDsr = 0x02;
inline constexpr std::uint8_t kLineDcd = 0x04;
inline constexpr std::uint8_t kLineRing = 0x08;

struct EthEntry {
    std::uint32_t ip = 0;  // the four address bytes in wire order, copied as they are
    std::uint16_t port = 0;
    bool raw = true;
    std::vector<std::uint8_t> ids;
};

struct EthRecord {
    std::uint16_t delay = 10000;
    std::uint8_t rtsMask = 0;
    std::uint8_t dtrMask = 0;
    std::vector<EthEntry> entries;
};

// Bytes an entry or a record needs; 0 when a record would not fit its 32-bit size field.
std::uint32_t EthEntrySize(const EthEntry &entry);
std::uint32_t EthRecordSize(const EthRecord &record);

// Two-pass build: with capacity below the needed size, sets capacity to that size, writes
// nothing and returns false; otherwise writes the bytes, sets capacity to their count and
// returns true. buffer may be null when capacity is 0.
bool BuildEthEntry(const EthEntry &entry, std::uint8_t *buffer, std::uint32_t &capacity);
bool BuildEthRecord(const EthRecord &record, std::uint8_t *buffer, std::uint32_t &capacity);
std::vector<std::uint8_t> BuildEthRecord(const EthRecord &record);

enum class EthParseError {
    None,
    TooShort,      // fewer than 10 bytes
    SizeMismatch,  // the size field differs from the length
    BadVersion,    // version is not 0x0101
    BadEntry,      // an entry shorter than 11 bytes or running past the record
};

// Accepts a record only when it is well formed throughout; on refusal *out is left untouched.
EthParseError ParseEthRecord(const std::uint8_t *buffer, std::size_t length, EthRecord *out);

// Why a record is not one to store on a port, in English for quorvelctl; "" when it is. Beyond
// the parse: a delay of 0, a mask bit other than the four lines, no connection, a raw byte other
// than 0 or 1, TCP port 0, the address 0.0.0.0 or 255.255.255.255, a device id outside 1..247 or
// served twice (by two connections, or twice by one), a record larger than a settings file holds.
// `quorvelctl set` and `load` both refuse through it.
std::string EthRecordProblem(const std::uint8_t *buffer, std::size_t length);

}  // namespace quorvel
