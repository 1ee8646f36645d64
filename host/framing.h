// What the pseudo-terminal bridge sends to the port, and when: whole Modbus frames go at once as
// one write; a frame written in pieces is held until it is complete (RTU: the 3.5-character
// silence; ASCII: CR LF or one second), and what never becomes a frame goes on its own, never
// joined to the frame that follows it. Pure code; the bridge supplies the clock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace quorvel {

// Characters on the wire: start bit, data bits, parity bit, stop bits (1.5 counted as 2).
unsigned BitsPerCharacter(unsigned dataBits, bool parity, unsigned stopBits);
// The RTU inter-frame silence, 3.5 characters at the baud rate, never below 1 ms.
std::uint64_t RtuSilenceMicros(std::uint32_t baud, unsigned bitsPerCharacter);

inline constexpr std::uint64_t kAsciiFrameTimeoutMicros = 1000000;
// The longest frame the port takes in one write; a longer run of bytes is no frame and is dropped.
inline constexpr std::size_t kMaxHeldFrame = 65535;

// Every byte is looked at once when it arrives (running CRC and LRC), so a writer that never
// pauses costs constant time per byte and holds at most kMaxHeldFrame bytes of an unfinished frame.
class WriteAssembler {
public:
    explicit WriteAssembler(std::uint64_t silenceMicros = 1000) : silence_(silenceMicros) {}

    // The RTU silence of the port's current line settings.
    void SetSilence(std::uint64_t micros) { silence_ = micros; }
    void Add(const std::uint8_t *data, std::size_t size, std::uint64_t nowMicros);
    // The next chunk to write, if one is due at nowMicros.
    bool Take(std::uint64_t nowMicros, std::vector<std::uint8_t> *chunk);
    // Ends the unfinished frame as if the line had gone quiet (a closing port); Take returns it.
    void Flush();
    // Forgets everything held (purge, close).
    void Clear();
    // When Take will next have something without new bytes; UINT64_MAX when never.
    std::uint64_t Deadline() const;

    bool Empty() const { return ready_.empty() && run_.empty(); }
    std::size_t Held() const { return readyBytes_ + run_.size(); }
    // Bytes dropped because they ran past kMaxHeldFrame without forming a frame, since creation.
    std::uint64_t Dropped() const { return dropped_; }
    // Past the limit: bytes are dropped until the line goes quiet for the silence.
    bool Discarding() const { return mode_ == Mode::Discard; }

private:
    enum class Mode : std::uint8_t { None, Ascii, Rtu, Discard };

    // ':' followed by hexadecimal text, then CR LF: the LRC is summed as the digits arrive.
    struct AsciiText {
        bool active = false;
        bool cr = false;
        std::size_t colon = 0;  // position of the ':' in run_
        std::size_t digits = 0;
        std::uint8_t sum = 0;
        std::uint8_t high = 0;
        void Start(std::size_t at) { *this = AsciiText{true, false, at, 0, 0, 0}; }
        void AddDigit(int nibble);
        // A hexadecimal digit or the closing CR; false for any other byte, which ends the text.
        bool Take(std::uint8_t byte);
        bool ValidFrame() const;  // at CR LF: an even number of digits (4 or more), LRC matching
    };
    // Where an RTU frame may start after an unfinished ASCII frame, with the CRC from there.
    struct Start {
        std::size_t at;
        std::uint16_t crc;    // over run_ from `at`
        std::size_t zeroEnd;  // the last run_ length at which crc was 0: a whole frame from `at`
    };

    void Push(std::uint8_t byte, std::uint64_t now);
    void BeginRun(std::uint8_t byte, std::uint64_t now);
    void PushAscii(std::uint8_t byte, std::size_t at, std::uint64_t now);
    void PushRtu(std::uint8_t byte, std::size_t at);
    bool Complete() const;
    // The ASCII text of the run ends unfinished before position at: an RTU frame may follow.
    void Break(std::size_t at);
    // The run's first `end` bytes go out: split where the unfinished ASCII text ended.
    void Cut(std::size_t end);
    void Emit(std::size_t from, std::size_t to);
    void Settle(std::uint64_t now);
    void ResetRun();

    std::uint64_t silence_;
    std::deque<std::vector<std::uint8_t>> ready_;  // complete chunks, in order
    std::size_t readyBytes_ = 0;
    std::vector<std::uint8_t> run_;  // the frame being gathered
    Mode mode_ = Mode::None;
    std::uint16_t crc_ = 0xFFFF;  // over run_
    AsciiText text_;
    std::size_t gap_ = 0;      // last position in an ASCII run reached after a silence (0 = none)
    std::size_t breakAt_ = 0;  // where the run's ASCII text ended unfinished (0 = it did not)
    Start starts_[3] = {};     // candidate RTU starts after breakAt_ was set
    std::size_t startCount_ = 0;
    std::uint64_t firstMicros_ = 0;  // arrival of run_[0]
    std::uint64_t lastMicros_ = 0;   // arrival of the last byte
    std::uint64_t dropped_ = 0;
};

}  // namespace quorvel
