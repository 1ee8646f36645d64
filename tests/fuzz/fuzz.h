// Shared by the fuzz targets: invariant checks and a reader that turns fuzz input into values.
// Each target defines LLVMFuzzerTestOneInput; under libFuzzer a failed check aborts at the end of
// the input, under the replay program (the CTest test) it marks the input failed and goes on.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

namespace qvfuzz {

using Bytes = std::vector<std::uint8_t>;

// Records a broken invariant; the input goes on to its end so that locks and memory are
// released as usual.
void Fail(const char *file, int line, const std::string &what);
#define FUZZ_CHECK(condition, what)                                                                    \
    do {                                                                                               \
        if (!(condition)) ::qvfuzz::Fail(__FILE__, __LINE__, std::string(#condition) + ": " + (what)); \
    } while (0)

// Ends one input: prints what failed; aborts under libFuzzer.
void EndInput();
// For the replay program: failures since the last call, and replay mode itself.
std::size_t TakeFailures();
void SetReplayMode();

// For targets that run driver code (fuzz_platform.cpp): boots the platform once, and after each
// input turns verifier violations into failures.
void BootPlatform();
void CheckPlatformAfterInput();

std::string Hex(const std::uint8_t *data, std::size_t size);
inline std::string Hex(const Bytes &b) { return Hex(b.data(), b.size()); }

// Reads values off the front of the input; past its end every read yields zeros.
class Input {
public:
    Input(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}
    bool Empty() const { return pos_ >= size_; }
    std::uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint16_t U16()
    {
        std::uint16_t low = Byte();
        return std::uint16_t(low | (Byte() << 8));
    }
    Bytes Take(std::size_t n)
    {
        n = std::min(n, size_ - std::min(pos_, size_));
        Bytes out(data_ + pos_, data_ + pos_ + n);
        pos_ += n;
        return out;
    }
    Bytes Rest() { return Take(size_); }

private:
    const std::uint8_t *data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// Modbus framing written independently of the code under test.
std::uint16_t Crc16(const std::uint8_t *data, std::size_t size);
Bytes RtuFrame(const Bytes &content);
Bytes AsciiFrame(const Bytes &content, bool lowerCase = false);
// A valid RTU frame: 4 bytes or more, its CRC (low byte first) over the rest.
bool IsValidRtu(const Bytes &frame);
// ':', an even number (4 or more) of hexadecimal digits whose bytes sum to 0 (LRC included), CR LF.
bool IsStrictAscii(const std::uint8_t *frame, std::size_t size);
inline bool IsStrictAscii(const Bytes &frame) { return IsStrictAscii(frame.data(), frame.size()); }
// The content bytes of a strict ASCII frame (LRC excluded).
Bytes AsciiContent(const Bytes &frame);

}  // namespace qvfuzz
