// What the pseudo-terminal bridge sends to the port, and when: whole Modbus frames go at once as
// one write; a frame written in pieces is held until it is complete (RTU: the 3.5-character
// silence; ASCII: CR LF or one second). Pure code; the bridge supplies the clock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorvel {

// Characters on the wire: start bit, data bits, parity bit, stop bits (1.5 counted as 2).
unsigned BitsPerCharacter(unsigned dataBits, bool parity, unsigned stopBits);
// The RTU inter-frame silence, 3.5 characters at the baud rate, never below 1 ms.
std::uint64_t RtuSilenceMicros(std::uint32_t baud, unsigned bitsPerCharacter);

inline constexpr std::uint64_t kAsciiFrameTimeoutMicros = 1000000;

class WriteAssembler {
public:
    void Add(const std::uint8_t *data, std::size_t size, std::uint64_t nowMicros);
    // The next chunk to write, if one is due at nowMicros.
    bool Take(std::uint64_t nowMicros, std::uint64_t silenceMicros, std::vector<std::uint8_t> *chunk);
    // Everything held, for a closing port.
    std::vector<std::uint8_t> TakeAll();
    // When Take will next have something without new bytes; UINT64_MAX when never.
    std::uint64_t Deadline(std::uint64_t silenceMicros) const;
    bool Empty() const { return pending_.empty(); }

private:
    bool AsciiPending() const;
    std::vector<std::uint8_t> pending_;
    std::uint64_t firstMicros_ = 0;  // arrival of pending_[0]
    std::uint64_t lastMicros_ = 0;   // arrival of the last byte
};

}  // namespace quorvel
