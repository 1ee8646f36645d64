#include "common/ethrecord.h"

#include <cstring>
#include <limits>

namespace quorvel {
namespace {

void PutU16(std::uint8_t *p, std::uint16_t v)
{
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

void PutU32(std::uint8_t *p, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint16_t GetU16(const std::uint8_t *p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

std::uint32_t GetU32(const std::uint8_t *p)
{
    return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) | (std::uint32_t(p[3]) << 24);
}

std::uint64_t EntrySize64(const EthEntry &entry) { return kEthEntryHeaderSize + std::uint64_t(entry.ids.size()); }

std::uint64_t RecordSize64(const EthRecord &record)
{
    std::uint64_t size = kEthHeaderSize;
    for (const EthEntry &e : record.entries) size += EntrySize64(e);
    return size;
}

void WriteEntry(const EthEntry &entry, std::uint8_t *p)
{
    PutU32(p, static_cast<std::uint32_t>(EntrySize64(entry)));
    std::memcpy(p + 4, &entry.ip, 4);
    PutU16(p + 8, entry.port);
    p[10] = entry.raw ? 1 : 0;
    if (!entry.ids.empty()) std::memcpy(p + kEthEntryHeaderSize, entry.ids.data(), entry.ids.size());
}

}  // namespace

std::uint32_t EthEntrySize(const EthEntry &entry)
{
    std::uint64_t size = EntrySize64(entry);
    return size > std::numeric_limits<std::uint32_t>::max() ? 0 : static_cast<std::uint32_t>(size);
}

std::uint32_t EthRecordSize(const EthRecord &record)
{
    std::uint64_t size = RecordSize64(record);
    return size > std::numeric_limits<std::uint32_t>::max() ? 0 : static_cast<std::uint32_t>(size);
}

bool BuildEthEntry(const EthEntry &entry, std::uint8_t *buffer, std::uint32_t &capacity)
{
    std::uint32_t needed = EthEntrySize(entry);
    if (needed == 0 || buffer == nullptr || capacity < needed) {
        capacity = needed;
        return false;
    }
    capacity = needed;
    WriteEntry(entry, buffer);
    return true;
}

bool BuildEthRecord(const EthRecord &record, std::uint8_t *buffer, std::uint32_t &capacity)
{
    std::uint32_t needed = EthRecordSize(record);
    if (needed == 0 || buffer == nullptr || capacity < needed) {
        capacity = needed;
        return false;
    }
    capacity = needed;
    PutU32(buffer, needed);
    PutU16(buffer + 4, kEthRecordVersion);
    PutU16(buffer + 6, record.delay);
    buffer[8] = record.rtsMask & kEthMaskBits;
    buffer[9] = record.dtrMask & kEthMaskBits;
    std::uint8_t *p = buffer + kEthHeaderSize;
    for (const EthEntry &e : record.entries) {
        WriteEntry(e, p);
        p += EntrySize64(e);
    }
    return true;
}

std::vector<std::uint8_t> BuildEthRecord(const EthRecord &record)
{
    std::uint32_t size = 0;
    BuildEthRecord(record, nullptr, size);
    std::vector<std::uint8_t> bytes(size);
    if (size == 0 || !BuildEthRecord(record, bytes.data(), size)) bytes.clear();
    return bytes;
}

EthParseError ParseEthRecord(const std::uint8_t *buffer, std::size_t length, EthRecord *out)
{
    if (buffer == nullptr || length < kEthHeaderSize) return EthParseError::TooShort;
    if (GetU32(buffer) != length) return EthParseError::SizeMismatch;
    if (GetU16(buffer + 4) != kEthRecordVersion) return EthParseError::BadVersion;

    EthRecord record;
    record.delay = GetU16(buffer + 6);
    record.rtsMask = buffer[8];
    record.dtrMask = buffer[9];
    std::size_t offset = kEthHeaderSize;
    while (offset < length) {
        const std::uint8_t *p = buffer + offset;
        std::size_t remaining = length - offset;
        if (remaining < kEthEntryHeaderSize) return EthParseError::BadEntry;
        std::uint32_t size = GetU32(p);
        // A size below the entry header would loop or overlap; past the end would read beyond the record.
        if (size < kEthEntryHeaderSize || size > remaining) return EthParseError::BadEntry;
        EthEntry entry;
        std::memcpy(&entry.ip, p + 4, 4);
        entry.port = GetU16(p + 8);
        entry.raw = p[10] != 0;
        entry.ids.assign(p + kEthEntryHeaderSize, p + size);
        record.entries.push_back(std::move(entry));
        offset += size;
    }
    *out = std::move(record);
    return EthParseError::None;
}

std::string EthRecordProblem(const std::uint8_t *buffer, std::size_t length)
{
    EthRecord record;
    switch (ParseEthRecord(buffer, length, &record)) {
    case EthParseError::None: break;
    case EthParseError::TooShort: return "the settings record is shorter than its 10-byte header";
    case EthParseError::SizeMismatch: return "the settings record's size field differs from its length";
    case EthParseError::BadVersion: return "the settings record is not of version 1.1";
    case EthParseError::BadEntry: return "a connection entry of the settings record is damaged";
    }
    if (length > kEthMaxAppliedSize) return "the settings are too large";
    if (!EthDelayValid(record.delay))
        return "the connect timeout (delay) is " + std::to_string(record.delay) + " ms; it must be " +
               std::to_string(kEthMinDelay) + " to " + std::to_string(kEthMaxDelay);
    if ((record.rtsMask | record.dtrMask) & ~kEthMaskBits)
        return "an RTS or DTR mask has bits other than cts, dsr, dcd and ring";
    if (record.entries.empty()) return "the settings have no connection";
    bool served[256] = {};
    std::size_t offset = kEthHeaderSize;
    for (std::size_t i = 0; i < record.entries.size(); ++i) {
        const EthEntry &e = record.entries[i];
        std::string which = "connection " + std::to_string(i + 1) + ": ";
        // The parsed form keeps raw as a bool; the stored byte must be 0 or 1.
        if (buffer[offset + 10] > 1) return which + "the raw flag is " + std::to_string(buffer[offset + 10]);
        offset += EntrySize64(e);
        std::uint8_t ip[4];
        std::memcpy(ip, &e.ip, 4);
        bool zero = (ip[0] | ip[1] | ip[2] | ip[3]) == 0, ones = (ip[0] & ip[1] & ip[2] & ip[3]) == 0xFF;
        if (zero || ones)
            return which + "the address " + std::string(zero ? "0.0.0.0" : "255.255.255.255") + " is no server";
        if (e.port == 0) return which + "TCP port 0";
        for (std::uint8_t id : e.ids) {
            if (id == 0 || id > 247) return which + "device id " + std::to_string(id) + " is outside 1 to 247";
            if (served[id]) return "device id " + std::to_string(id) + " is served twice";
            served[id] = true;
        }
    }
    return std::string();
}

}  // namespace quorvel
