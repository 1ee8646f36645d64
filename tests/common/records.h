// Ethernet settings records as the configurator writes them, and Modbus frames, built byte by
// byte so that a test does not trust the code it checks to make its input.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace qvtest {

using Bytes = std::vector<uint8_t>;

// One connection of a record: an IPv4 address in dotted order, a TCP port, the raw flag byte
// (1 sends RTU frames as they are, 0 converts to Modbus TCP) and the device ids it serves.
struct RecordEntry {
    RecordEntry(std::array<uint8_t, 4> ip, uint16_t port, uint8_t raw, Bytes ids)
        : Ip(ip), Port(port), Raw(raw), DeviceIds(std::move(ids))
    {
    }
    // A server on 127.0.0.1.
    RecordEntry(uint16_t port, bool raw, Bytes ids) : RecordEntry({127, 0, 0, 1}, port, raw ? 1 : 0, std::move(ids)) {}

    std::array<uint8_t, 4> Ip;
    uint16_t Port;
    uint8_t Raw;
    Bytes DeviceIds;
};

// The record of the configurator's worked example: delay 10000 ms, CTS following RTS, one
// connection to 192.168.0.10:502 converted to Modbus TCP serving ids 1 and 2. Written out byte
// by byte, so that every writer and reader is checked against the same bytes.
inline const Bytes kWorkedRecord = {0x17, 0x00, 0x00, 0x00, 0x01, 0x01, 0x10, 0x27, 0x01, 0x00, 0x0D, 0x00,
                                    0x00, 0x00, 0xC0, 0xA8, 0x00, 0x0A, 0xF6, 0x01, 0x00, 0x01, 0x02};

inline void PutLe(Bytes &out, uint32_t value, int width)
{
    for (int i = 0; i < width; i++) out.push_back(uint8_t(value >> (8 * i)));
}

// Size first, then version, delay and the two wiring masks, then the entries, each with its own
// size; every number little-endian except the address.
inline Bytes MakeRecord(uint16_t delayMs, uint8_t rtsMask, uint8_t dtrMask, const std::vector<RecordEntry> &entries,
                        uint16_t version = 0x0101)
{
    uint32_t size = 10;
    for (const RecordEntry &e : entries) size += 11 + uint32_t(e.DeviceIds.size());
    Bytes out;
    PutLe(out, size, 4);
    PutLe(out, version, 2);
    PutLe(out, delayMs, 2);
    out.push_back(rtsMask);
    out.push_back(dtrMask);
    for (const RecordEntry &e : entries) {
        PutLe(out, 11 + uint32_t(e.DeviceIds.size()), 4);
        out.insert(out.end(), e.Ip.begin(), e.Ip.end());
        PutLe(out, e.Port, 2);
        out.push_back(e.Raw);
        out.insert(out.end(), e.DeviceIds.begin(), e.DeviceIds.end());
    }
    return out;
}

// An RTU frame: `content` and its CRC, low byte first.
inline Bytes RtuFrame(Bytes content)
{
    uint16_t crc = 0xFFFF;
    for (uint8_t b : content) {
        crc ^= b;
        for (int i = 0; i < 8; i++) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    content.push_back(uint8_t(crc & 0xFF));
    content.push_back(uint8_t(crc >> 8));
    return content;
}

// An ASCII frame: ':' , `content` in upper-case hex, its LRC, CR LF.
inline Bytes AsciiFrame(const Bytes &content)
{
    static const char hex[] = "0123456789ABCDEF";
    Bytes frame{':'};
    uint8_t lrc = 0;
    for (uint8_t b : content) {
        frame.push_back(hex[b >> 4]);
        frame.push_back(hex[b & 15]);
        lrc = uint8_t(lrc + b);
    }
    lrc = uint8_t(-lrc);
    frame.push_back(hex[lrc >> 4]);
    frame.push_back(hex[lrc & 15]);
    frame.push_back('\r');
    frame.push_back('\n');
    return frame;
}

inline Bytes Text(const std::string &s) { return Bytes(s.begin(), s.end()); }

inline std::string Hex(const uint8_t *data, size_t length)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < length; i++) {
        if (i) out += ' ';
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}
inline std::string Hex(const Bytes &b) { return Hex(b.data(), b.size()); }

}  // namespace qvtest
