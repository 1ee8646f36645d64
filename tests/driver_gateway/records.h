// Builders of settings records and byte strings for the gateway tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "quorvel.h"

namespace gwtest {

using Bytes = std::vector<uint8_t>;

struct Entry {
    uint8_t ip[4];  // dotted order
    uint16_t port;
    uint8_t raw;
    Bytes ids;
};

inline void PutLe(Bytes &out, uint32_t value, int width)
{
    for (int i = 0; i < width; i++) out.push_back(uint8_t(value >> (8 * i)));
}

// A record as the configurator builds it: size first, then the header, then the entries.
inline Bytes BuildRecord(uint16_t delay, uint8_t rtsMask, uint8_t dtrMask, const std::vector<Entry> &entries,
                         uint16_t version = 0x0101)
{
    uint32_t size = 10;
    for (const Entry &e : entries) size += 11 + uint32_t(e.ids.size());
    Bytes out;
    PutLe(out, size, 4);
    PutLe(out, version, 2);
    PutLe(out, delay, 2);
    out.push_back(rtsMask);
    out.push_back(dtrMask);
    for (const Entry &e : entries) {
        PutLe(out, 11 + uint32_t(e.ids.size()), 4);
        out.insert(out.end(), e.ip, e.ip + 4);
        PutLe(out, e.port, 2);
        out.push_back(e.raw);
        out.insert(out.end(), e.ids.begin(), e.ids.end());
    }
    return out;
}

inline Bytes WithCrc(Bytes content)
{
    USHORT crc = CalcCrc16(content.data(), ULONG(content.size()), 0xFFFF);
    content.push_back(UCHAR(crc & 0xFF));
    content.push_back(UCHAR(crc >> 8));
    return content;
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

}  // namespace gwtest
