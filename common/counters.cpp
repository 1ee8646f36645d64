// Decoding of the driver's counters record.
#include "common/counters.h"

#include <cstdio>

namespace quorvel {

namespace {

std::uint64_t Get(const std::vector<std::uint8_t> &in, std::size_t at, int width)
{
    std::uint64_t value = 0;
    for (int i = 0; i < width; i++) value |= std::uint64_t(in[at + i]) << (8 * i);
    return value;
}

}  // namespace

bool DecodeCounters(const std::vector<std::uint8_t> &bytes, PortCounters *counters)
{
    if (bytes.size() < kCountersHeaderSize) return false;
    std::uint64_t size = Get(bytes, 0, 4), linkSize = Get(bytes, 6, 2), linkCount = Get(bytes, 8, 4);
    if (Get(bytes, 4, 2) != kCountersVersion || size != bytes.size() || linkSize < kLinkCountersSize ||
        kCountersHeaderSize + linkSize * linkCount != size)
        return false;
    PortCounters out;
    out.checksumRejects = std::uint32_t(Get(bytes, 12, 4));
    out.noRoute = std::uint32_t(Get(bytes, 16, 4));
    out.exceptionsSent = std::uint32_t(Get(bytes, 20, 4));
    for (std::uint64_t i = 0; i < linkCount; ++i) {
        std::size_t at = std::size_t(kCountersHeaderSize + i * linkSize);
        LinkCounters l;
        l.ip = std::uint32_t(Get(bytes, at, 4));
        l.port = std::uint16_t(Get(bytes, at + 4, 2));
        l.raw = bytes[at + 6] != 0;
        l.up = bytes[at + 7] != 0;
        std::uint32_t *fields[] = {&l.requestsSent, &l.repliesDelivered, &l.repliesUnknown,     &l.repliesBadLength,
                                   &l.repliesLate,  &l.requestsLinkDown, &l.requestsConnecting, &l.requestsTooLong,
                                   &l.connects,     &l.connectFailures,  &l.disconnects,        &l.lastError};
        std::size_t field = at + 8;
        for (std::uint32_t *f : fields) {
            *f = std::uint32_t(Get(bytes, field, 4));
            field += 4;
        }
        l.lastErrorTime = std::int64_t(Get(bytes, field, 8));
        out.links.push_back(l);
    }
    *counters = std::move(out);
    return true;
}

std::string LinkName(const LinkCounters &link)
{
    const std::uint8_t *b = reinterpret_cast<const std::uint8_t *>(&link.ip);
    return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." + std::to_string(b[3]) +
           ":" + std::to_string(link.port);
}

std::string LinkErrorText(std::uint32_t status)
{
    switch (status) {
    case 0: return "";
    case 0xC0000236: return "connection refused";
    case 0xC000020C: return "disconnected by the server";
    case 0xC000020D: return "reset by the server";
    case 0xC00000B5: return "timed out";
    case 0xC000023C: return "network unreachable";
    case 0xC000023D: return "host unreachable";
    case 0xC000009A: return "out of resources";
    default: {
        char text[16];
        std::snprintf(text, sizeof(text), "0x%08X", status);
        return text;
    }
    }
}

std::int64_t UnixSeconds(std::int64_t systemTime)
{
    // 1601-01-01 to 1970-01-01 in 100 ns units.
    constexpr std::int64_t kEpochDifference = 116444736000000000LL;
    return systemTime == 0 ? 0 : (systemTime - kEpochDifference) / 10000000;
}

}  // namespace quorvel
