// A port's gateway counters as the driver's counters request returns them (since the port was
// opened): the decoder, and the texts quorvelctl and the metrics endpoint print them with.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quorvel {

inline constexpr std::uint32_t IOCTL_QUORVEL_GET_COUNTERS = 0x001B9C50;
inline constexpr std::uint16_t kCountersVersion = 1;
inline constexpr std::size_t kCountersHeaderSize = 24;
inline constexpr std::size_t kLinkCountersSize = 64;

struct LinkCounters {
    std::uint32_t ip = 0;  // network order, as in the settings record
    std::uint16_t port = 0;
    bool raw = false, up = false;
    std::uint32_t requestsSent = 0, repliesDelivered = 0;
    std::uint32_t repliesUnknown = 0, repliesBadLength = 0, repliesLate = 0;
    std::uint32_t requestsLinkDown = 0, requestsConnecting = 0, requestsTooLong = 0;
    std::uint32_t connects = 0, connectFailures = 0, disconnects = 0;
    std::uint32_t lastError = 0;     // NTSTATUS, 0 when none
    std::int64_t lastErrorTime = 0;  // Windows system time (100 ns since 1601), 0 when none
};

struct PortCounters {
    std::uint32_t checksumRejects = 0, noRoute = 0, exceptionsSent = 0;
    std::vector<LinkCounters> links;
};

// False for a record of another version, or whose sizes do not add up to its length. Entries
// longer than this decoder knows are read for the fields it knows.
bool DecodeCounters(const std::vector<std::uint8_t> &bytes, PortCounters *counters);

// "a.b.c.d:port"
std::string LinkName(const LinkCounters &link);
// The last error's name where it is a known one, else its hex code; "" when none.
std::string LinkErrorText(std::uint32_t status);
// Seconds since 1970 of a Windows system time; 0 for 0.
std::int64_t UnixSeconds(std::int64_t systemTime);

}  // namespace quorvel
