#include <cstdio>
#include <cstdlib>

#include "fuzz.h"

namespace qvfuzz {

namespace {
std::vector<std::string> failures;
std::size_t failedInputs = 0;
bool replay = false;

int Digit(std::uint8_t c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}
}  // namespace

void Fail(const char *file, int line, const std::string &what)
{
    failures.push_back(std::string(file) + ":" + std::to_string(line) + ": " + what);
}

void EndInput()
{
    if (failures.empty()) return;
    for (const std::string &f : failures) std::fprintf(stderr, "invariant broken: %s\n", f.c_str());
    failures.clear();
    ++failedInputs;
    if (!replay) std::abort();
}

std::size_t TakeFailures()
{
    std::size_t n = failedInputs;
    failedInputs = 0;
    return n;
}

void SetReplayMode() { replay = true; }

std::string Hex(const std::uint8_t *data, std::size_t size)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < size && i < 64; ++i) {
        if (i) out += ' ';
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    if (size > 64) out += " ... (" + std::to_string(size) + " bytes)";
    return out;
}

std::uint16_t Crc16(const std::uint8_t *data, std::size_t size)
{
    std::uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? std::uint16_t((crc >> 1) ^ 0xA001) : std::uint16_t(crc >> 1);
    }
    return crc;
}

Bytes RtuFrame(const Bytes &content)
{
    Bytes frame = content;
    std::uint16_t crc = Crc16(content.data(), content.size());
    frame.push_back(std::uint8_t(crc & 0xFF));
    frame.push_back(std::uint8_t(crc >> 8));
    return frame;
}

Bytes AsciiFrame(const Bytes &content, bool lowerCase)
{
    const char *digits = lowerCase ? "0123456789abcdef" : "0123456789ABCDEF";
    Bytes frame = {':'};
    std::uint8_t sum = 0;
    for (std::uint8_t b : content) {
        frame.push_back(std::uint8_t(digits[b >> 4]));
        frame.push_back(std::uint8_t(digits[b & 15]));
        sum = std::uint8_t(sum + b);
    }
    std::uint8_t lrc = std::uint8_t(-sum);
    frame.push_back(std::uint8_t(digits[lrc >> 4]));
    frame.push_back(std::uint8_t(digits[lrc & 15]));
    frame.push_back('\r');
    frame.push_back('\n');
    return frame;
}

bool IsValidRtu(const Bytes &frame) { return frame.size() >= 4 && Crc16(frame.data(), frame.size()) == 0; }

bool IsStrictAscii(const std::uint8_t *frame, std::size_t size)
{
    if (size < 7 || size % 2 == 0 || frame[0] != ':' || frame[size - 2] != '\r' || frame[size - 1] != '\n')
        return false;
    std::uint8_t sum = 0;
    for (std::size_t i = 1; i + 2 < size; i += 2) {
        int high = Digit(frame[i]), low = Digit(frame[i + 1]);
        if (high < 0 || low < 0) return false;
        sum = std::uint8_t(sum + high * 16 + low);
    }
    return sum == 0;
}

Bytes AsciiContent(const Bytes &frame)
{
    Bytes content;
    for (std::size_t i = 1; i + 4 < frame.size(); i += 2)
        content.push_back(std::uint8_t(Digit(frame[i]) * 16 + Digit(frame[i + 1])));
    return content;
}

}  // namespace qvfuzz
