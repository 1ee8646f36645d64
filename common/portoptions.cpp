// Encoding of a port's options record and quorvelctl's --response-ms.
#include "common/portoptions.h"

namespace quorvel {

namespace {

void Put(std::vector<std::uint8_t> &out, std::uint32_t value, int width)
{
    for (int i = 0; i < width; i++) out.push_back(std::uint8_t(value >> (8 * i)));
}

std::uint32_t Get(const std::vector<std::uint8_t> &in, std::size_t at, int width)
{
    std::uint32_t value = 0;
    for (int i = 0; i < width; i++) value |= std::uint32_t(in[at + i]) << (8 * i);
    return value;
}

}  // namespace

std::vector<std::uint8_t> EncodePortOptions(const PortOptions &options)
{
    std::vector<std::uint8_t> out;
    Put(out, kPortOptionsSize, 2);
    Put(out, kPortOptionsVersion, 2);
    Put(out, options.flags, 4);
    Put(out, options.responseMs, 4);
    return out;
}

bool DecodePortOptions(const std::vector<std::uint8_t> &bytes, PortOptions *options)
{
    if (bytes.size() != kPortOptionsSize || Get(bytes, 0, 2) != kPortOptionsSize ||
        Get(bytes, 2, 2) != kPortOptionsVersion)
        return false;
    options->flags = Get(bytes, 4, 4);
    options->responseMs = Get(bytes, 8, 4);
    return true;
}

bool TakeResponseMs(std::vector<std::string> *args, std::optional<std::uint32_t> *responseMs, std::string *error)
{
    std::vector<std::string> rest;
    for (std::size_t i = 0; i < args->size(); ++i) {
        if ((*args)[i] != "--response-ms") {
            rest.push_back((*args)[i]);
            continue;
        }
        const std::string value = i + 1 < args->size() ? (*args)[++i] : "";
        bool digits = !value.empty() && value.size() <= 7;
        for (char c : value) digits = digits && c >= '0' && c <= '9';
        unsigned long ms = digits ? std::stoul(value) : 0;
        if (!digits || ms > kMaxResponseMs) {
            *error = "--response-ms " + value + ": milliseconds from 0 (no limit) to " + std::to_string(kMaxResponseMs);
            return false;
        }
        *responseMs = std::uint32_t(ms);
    }
    *args = std::move(rest);
    return true;
}

bool TakeExceptions(std::vector<std::string> *args, std::optional<bool> *exceptions, std::string *error)
{
    std::vector<std::string> rest;
    for (std::size_t i = 0; i < args->size(); ++i) {
        if ((*args)[i] != "--exceptions") {
            rest.push_back((*args)[i]);
            continue;
        }
        const std::string value = i + 1 < args->size() ? (*args)[++i] : "";
        if (value != "on" && value != "off") {
            *error = "--exceptions " + value + ": on or off";
            return false;
        }
        *exceptions = value == "on";
    }
    *args = std::move(rest);
    return true;
}

}  // namespace quorvel
