#include "framing.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "modbusframe.h"

namespace quorvel {

unsigned BitsPerCharacter(unsigned dataBits, bool parity, unsigned stopBits)
{
    return 1 + dataBits + (parity ? 1 : 0) + stopBits;
}

std::uint64_t RtuSilenceMicros(std::uint32_t baud, unsigned bitsPerCharacter)
{
    if (baud == 0) return 1000;
    std::uint64_t micros = (std::uint64_t(bitsPerCharacter) * 3500000 + baud - 1) / baud;
    return std::max<std::uint64_t>(micros, 1000);
}

static bool IsAsciiFrameByte(std::uint8_t c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f') || c == '\r' || c == '\n';
}

// A held chunk that starts with ':' and has only hexadecimal text up to its first CR LF (or its
// end) is an ASCII frame; an RTU frame for device 0x3A soon shows a byte that is not.
bool WriteAssembler::AsciiPending() const
{
    if (pending_.empty() || pending_[0] != ':') return false;
    for (std::size_t i = 1; i < pending_.size(); ++i) {
        if (!IsAsciiFrameByte(pending_[i])) return false;
        if (pending_[i] == '\n' && pending_[i - 1] == '\r') return true;
    }
    return true;
}

void WriteAssembler::Add(const std::uint8_t *data, std::size_t size, std::uint64_t nowMicros)
{
    if (size == 0) return;
    if (pending_.empty()) firstMicros_ = nowMicros;
    pending_.insert(pending_.end(), data, data + size);
    lastMicros_ = nowMicros;
}

bool WriteAssembler::Take(std::uint64_t nowMicros, std::uint64_t silenceMicros, std::vector<std::uint8_t> *chunk)
{
    if (pending_.empty()) return false;
    std::size_t length = 0;
    if (AsciiPending()) {
        // Up to and including the first CR LF, or all of it after a second.
        for (std::size_t i = 1; i + 1 < pending_.size(); ++i) {
            if (pending_[i] == '\r' && pending_[i + 1] == '\n') {
                length = i + 2;
                break;
            }
        }
        if (length == 0 && nowMicros - firstMicros_ >= kAsciiFrameTimeoutMicros) length = pending_.size();
    } else if (pending_.size() >= 4 && ModbusCrc16(pending_.data(), pending_.size()) == 0) {
        length = pending_.size();  // a whole RTU frame: its CRC checks
    } else if (nowMicros - lastMicros_ >= silenceMicros) {
        length = pending_.size();  // the line went quiet: the frame is whatever came
    }
    if (length == 0) return false;
    chunk->assign(pending_.begin(), pending_.begin() + length);
    pending_.erase(pending_.begin(), pending_.begin() + length);
    firstMicros_ = lastMicros_;
    return true;
}

std::vector<std::uint8_t> WriteAssembler::TakeAll()
{
    std::vector<std::uint8_t> all;
    all.swap(pending_);
    return all;
}

std::uint64_t WriteAssembler::Deadline(std::uint64_t silenceMicros) const
{
    if (pending_.empty()) return std::numeric_limits<std::uint64_t>::max();
    if (AsciiPending()) return firstMicros_ + kAsciiFrameTimeoutMicros;
    return lastMicros_ + silenceMicros;
}

}  // namespace quorvel
