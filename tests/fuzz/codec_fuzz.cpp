// The driver's frame codec: recognising and decoding a written frame, and building the frames
// of a reply. Buffers are exactly as long as their contents so that any access past them is seen.
#include <memory>

#include "fuzz.h"
#include "quorvel.h"

using namespace qvfuzz;

namespace {

// An exact-size heap copy (size 0 allowed).
std::unique_ptr<UCHAR[]> Copy(const Bytes &b)
{
    std::unique_ptr<UCHAR[]> p(new UCHAR[b.size() ? b.size() : 1]);
    std::copy(b.begin(), b.end(), p.get());
    return p;
}

void CheckRecognition(const Bytes &frame)
{
    auto copy = Copy(frame);
    ULONG n = ULONG(frame.size());
    bool rtu = IsRtuFrame(copy.get(), n) != FALSE;
    bool ascii = IsAsciiFrame(copy.get(), n) != FALSE;
    // RTU requests shorter than 8 bytes are not forwarded.
    FUZZ_CHECK(rtu == (frame.size() >= 8 && IsValidRtu(frame)), Hex(frame));
    FUZZ_CHECK(!ascii || IsStrictAscii(frame), "not an ASCII frame yet accepted: " + Hex(frame));
    if (!ascii) return;

    // Decoding gives the content; one byte less room gives nothing and writes nothing.
    Bytes expected = AsciiContent(frame);
    ULONG capacity = ULONG(expected.size());
    std::unique_ptr<UCHAR[]> content(new UCHAR[capacity ? capacity : 1]);
    ULONG count = DecodeAsciiFrame(copy.get(), n, content.get(), capacity);
    FUZZ_CHECK(count == capacity && Bytes(content.get(), content.get() + count) == expected, Hex(frame));
    if (capacity > 0) {
        std::unique_ptr<UCHAR[]> small(new UCHAR[capacity - 1 ? capacity - 1 : 1]);
        FUZZ_CHECK(DecodeAsciiFrame(copy.get(), n, small.get(), capacity - 1) == 0, Hex(frame));
    }
}

void CheckEncoders(const Bytes &content)
{
    auto copy = Copy(content);
    ULONG n = ULONG(content.size());

    Bytes rtu = RtuFrame(content);
    std::unique_ptr<UCHAR[]> frame(new UCHAR[rtu.size()]);
    FUZZ_CHECK(EncodeRtuFrame(copy.get(), n, frame.get(), ULONG(rtu.size())) == rtu.size(), Hex(content));
    FUZZ_CHECK(Bytes(frame.get(), frame.get() + rtu.size()) == rtu, Hex(content));
    FUZZ_CHECK(EncodeRtuFrame(copy.get(), n, frame.get(), ULONG(rtu.size() - 1)) == 0, Hex(content));

    Bytes ascii = AsciiFrame(content);
    std::unique_ptr<UCHAR[]> text(new UCHAR[ascii.size()]);
    if (ascii.size() > MODBUS_MAX_FRAME) {
        // No frame is longer than 65535 bytes.
        FUZZ_CHECK(EncodeAsciiFrame(copy.get(), n, text.get(), ULONG(ascii.size())) == 0, Hex(content));
        return;
    }
    FUZZ_CHECK(EncodeAsciiFrame(copy.get(), n, text.get(), ULONG(ascii.size())) == ascii.size(), Hex(content));
    FUZZ_CHECK(Bytes(text.get(), text.get() + ascii.size()) == ascii, Hex(content));
    FUZZ_CHECK(EncodeAsciiFrame(copy.get(), n, text.get(), ULONG(ascii.size() - 1)) == 0, Hex(content));

    // What the encoders build, the recognisers take back.
    CheckRecognition(rtu);
    CheckRecognition(ascii);
    CheckRecognition(AsciiFrame(content, true));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) { return 0; }

// The first byte chooses: the rest is a written frame (even), or the content of a reply (odd).
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0 || size > MODBUS_MAX_FRAME - 2) return 0;
    Input in(data, size);
    std::uint8_t choice = in.Byte();
    Bytes rest = in.Rest();
    if (choice % 2 == 0)
        CheckRecognition(rest);
    else
        CheckEncoders(rest);
    EndInput();
    return 0;
}
