// A port's options as the driver's options requests carry them: a 12-byte versioned record
// kept beside the settings record, never inside it, and never in a settings file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorvel {

inline constexpr std::uint32_t IOCTL_QUORVEL_SET_OPTIONS = 0x001B9C48;
inline constexpr std::uint32_t IOCTL_QUORVEL_GET_OPTIONS = 0x001B9C4C;
inline constexpr std::uint16_t kPortOptionsVersion = 1;
inline constexpr std::size_t kPortOptionsSize = 12;
// Flag: answer a request that cannot be served with a Modbus exception (0x0A, 0x0B) instead of
// silence.
inline constexpr std::uint32_t kPortOptionExceptions = 0x00000001;
// The longest response time quorvelctl accepts: an hour.
inline constexpr std::uint32_t kMaxResponseMs = 3600000;

struct PortOptions {
    std::uint32_t flags = 0;       // bits the driver defines; unknown ones are kept as read
    std::uint32_t responseMs = 0;  // 0: no limit
};

std::vector<std::uint8_t> EncodePortOptions(const PortOptions &options);
// False for a record of another size or version.
bool DecodePortOptions(const std::vector<std::uint8_t> &bytes, PortOptions *options);

// Takes every "--response-ms N" out of `set`'s arguments; the last one counts. False, with an
// error, for a missing or bad value.
bool TakeResponseMs(std::vector<std::string> *args, std::optional<std::uint32_t> *responseMs, std::string *error);

// Takes every "--exceptions on|off" out of `set`'s arguments; the last one counts. False, with an
// error, for a missing or bad value.
bool TakeExceptions(std::vector<std::string> *args, std::optional<bool> *exceptions, std::string *error);

}  // namespace quorvel
