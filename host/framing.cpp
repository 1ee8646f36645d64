#include "framing.h"

#include <algorithm>
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

namespace {

// The shortest RTU frame: device id, function code, CRC.
constexpr std::size_t kMinRtuFrame = 4;

int HexValue(std::uint8_t c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

bool WriteAssembler::AsciiText::ValidFrame() const { return digits >= 4 && digits % 2 == 0 && sum == 0; }

bool WriteAssembler::AsciiText::Take(std::uint8_t byte)
{
    int nibble = HexValue(byte);
    if (nibble >= 0) {
        AddDigit(nibble);
        return true;
    }
    if (byte != '\r') return false;
    cr = true;
    return true;
}

void WriteAssembler::AsciiText::AddDigit(int nibble)
{
    if (digits % 2 == 0)
        high = std::uint8_t(nibble);
    else
        sum = std::uint8_t(sum + high * 16 + nibble);
    ++digits;
}

void WriteAssembler::Add(const std::uint8_t *data, std::size_t size, std::uint64_t nowMicros)
{
    if (size == 0) return;
    if (nowMicros - lastMicros_ >= silence_) {
        // The line was quiet: that ends an RTU frame and a run of dropped bytes. ASCII allows
        // pauses; the spot is kept in case the text never completes.
        if (mode_ == Mode::Discard) {
            mode_ = Mode::None;
        } else if (mode_ == Mode::Rtu) {
            Cut(run_.size());
            ResetRun();
        } else if (mode_ == Mode::Ascii) {
            gap_ = run_.size();
        }
    }
    for (std::size_t i = 0; i < size; ++i) Push(data[i], nowMicros);
    lastMicros_ = nowMicros;
}

void WriteAssembler::Push(std::uint8_t byte, std::uint64_t now)
{
    if (mode_ == Mode::Discard) {
        ++dropped_;
        return;
    }
    if (run_.empty()) {
        BeginRun(byte, now);
        return;
    }
    if (run_.size() == kMaxHeldFrame) {
        dropped_ += run_.size() + 1;
        ResetRun();
        mode_ = Mode::Discard;
        return;
    }
    std::size_t at = run_.size();
    run_.push_back(byte);
    crc_ = ModbusCrc16Update(crc_, byte);
    for (std::size_t k = 0; k < startCount_; ++k) {
        starts_[k].crc = ModbusCrc16Update(starts_[k].crc, byte);
        if (starts_[k].crc == 0) starts_[k].zeroEnd = run_.size();
    }
    if (mode_ == Mode::Ascii)
        PushAscii(byte, at, now);
    else
        PushRtu(byte, at);
}

void WriteAssembler::BeginRun(std::uint8_t byte, std::uint64_t now)
{
    ResetRun();
    run_.push_back(byte);
    crc_ = ModbusCrc16Update(0xFFFF, byte);
    firstMicros_ = now;
    if (byte == ':') {
        mode_ = Mode::Ascii;
        text_.Start(0);
    } else {
        mode_ = Mode::Rtu;
    }
}

void WriteAssembler::PushAscii(std::uint8_t byte, std::size_t at, std::uint64_t now)
{
    if (byte == ':') {
        // A new ASCII frame: the unfinished one goes alone.
        Emit(0, at);
        BeginRun(byte, now);
        return;
    }
    if (text_.cr) {
        if (byte == '\n' && text_.ValidFrame()) {
            Emit(0, run_.size());
            ResetRun();
        } else {
            // CR LF closing text that is no frame ends it after the LF; a CR followed by
            // anything else ends it before that byte.
            Break(byte == '\n' ? at + 1 : at);
        }
        return;
    }
    if (!text_.Take(byte)) Break(at);
}

// The unfinished ASCII text is [0, at). The RTU frame that may follow starts at `at` or one
// byte earlier (a device id that is a digit, CR or LF passed as text), or where the bytes
// arrived after a silence. A lone ':' may also be an RTU frame's device id 58: every public
// function code is outside the hexadecimal digits, so such a frame breaks the text at 1. Each
// candidate keeps its own running CRC from here on.
void WriteAssembler::Break(std::size_t at)
{
    mode_ = Mode::Rtu;
    text_ = AsciiText{};
    breakAt_ = at;
    startCount_ = 0;
    for (std::size_t start : {at - 1, gap_, at}) {
        if (start > at || (start == 0 && at != 1)) continue;
        bool seen = false;
        for (std::size_t k = 0; k < startCount_; ++k) seen = seen || starts_[k].at == start;
        if (seen) continue;
        std::uint16_t crc = 0xFFFF;
        for (std::size_t i = start; i < run_.size(); ++i) crc = ModbusCrc16Update(crc, run_[i]);
        starts_[startCount_++] = Start{start, crc, crc == 0 ? run_.size() : 0};
    }
}

// RTU bytes: a ':' may begin an ASCII frame, which, once complete, ends what came before it.
void WriteAssembler::PushRtu(std::uint8_t byte, std::size_t at)
{
    if (byte == ':') {
        text_.Start(at);
        return;
    }
    if (!text_.active) return;
    if (text_.cr) {
        if (byte == '\n' && text_.ValidFrame()) {
            std::size_t colon = text_.colon;
            Cut(colon);
            Emit(colon, run_.size());
            ResetRun();
        } else {
            text_.active = false;
        }
        return;
    }
    if (!text_.Take(byte)) text_.active = false;
}

// A whole RTU frame is held: its CRC checks from the run's start or, after unfinished ASCII
// text, from one of the candidate starts.
bool WriteAssembler::Complete() const
{
    if (mode_ != Mode::Rtu) return false;
    if (breakAt_ == 0) return run_.size() >= kMinRtuFrame && crc_ == 0;
    for (std::size_t k = 0; k < startCount_; ++k)
        if (starts_[k].zeroEnd == run_.size() && run_.size() - starts_[k].at >= kMinRtuFrame) return true;
    return false;
}

void WriteAssembler::Cut(std::size_t end)
{
    std::size_t split = 0;
    if (breakAt_ != 0) {
        split = breakAt_;
        for (std::size_t k = 0; k < startCount_; ++k) {
            if (starts_[k].zeroEnd == end && end - starts_[k].at >= kMinRtuFrame) {
                split = starts_[k].at;
                break;
            }
        }
    }
    if (split > 0 && split < end) {
        Emit(0, split);
        Emit(split, end);
    } else {
        Emit(0, end);
    }
}

void WriteAssembler::Emit(std::size_t from, std::size_t to)
{
    if (from >= to) return;
    ready_.emplace_back(run_.begin() + std::ptrdiff_t(from), run_.begin() + std::ptrdiff_t(to));
    readyBytes_ += to - from;
}

void WriteAssembler::ResetRun()
{
    run_.clear();
    mode_ = Mode::None;
    crc_ = 0xFFFF;
    text_ = AsciiText{};
    gap_ = 0;
    breakAt_ = 0;
    startCount_ = 0;
}

void WriteAssembler::Settle(std::uint64_t now)
{
    switch (mode_) {
    case Mode::None: break;
    case Mode::Discard:
        if (now - lastMicros_ >= silence_) mode_ = Mode::None;
        break;
    case Mode::Ascii:
        if (now - firstMicros_ >= kAsciiFrameTimeoutMicros) {
            Cut(run_.size());
            ResetRun();
        }
        break;
    case Mode::Rtu:
        if (Complete() || now - lastMicros_ >= silence_) {
            Cut(run_.size());
            ResetRun();
        }
        break;
    }
}

bool WriteAssembler::Take(std::uint64_t nowMicros, std::vector<std::uint8_t> *chunk)
{
    if (ready_.empty()) Settle(nowMicros);
    if (ready_.empty()) return false;
    *chunk = std::move(ready_.front());
    ready_.pop_front();
    readyBytes_ -= chunk->size();
    return true;
}

void WriteAssembler::Flush()
{
    if (mode_ == Mode::Discard) {
        mode_ = Mode::None;
    } else if (!run_.empty()) {
        Cut(run_.size());
        ResetRun();
    }
}

void WriteAssembler::Clear()
{
    ready_.clear();
    readyBytes_ = 0;
    ResetRun();
}

std::uint64_t WriteAssembler::Deadline() const
{
    if (!ready_.empty() || Complete()) return 0;
    switch (mode_) {
    case Mode::None: return std::numeric_limits<std::uint64_t>::max();
    case Mode::Ascii: return firstMicros_ + kAsciiFrameTimeoutMicros;
    case Mode::Rtu:
    case Mode::Discard: return lastMicros_ + silence_;
    }
    return std::numeric_limits<std::uint64_t>::max();
}

}  // namespace quorvel
