// The frame codec, the settings record walk and the address text: pure routines, checked on
// the worked examples and on the inputs that used to break them.

#include <gtest/gtest.h>

#include <memory>

#include "quorvel.h"
#include "records.h"

using qvtest::Bytes;
using qvtest::Hex;
using qvtest::Text;

namespace {

// A heap copy of exactly the given bytes, so that AddressSanitizer sees any read past them.
struct Exact {
    explicit Exact(const Bytes &b) : size(b.size()), data(new uint8_t[b.size() ? b.size() : 1])
    {
        std::copy(b.begin(), b.end(), data.get());
    }
    size_t size;
    std::unique_ptr<uint8_t[]> data;
    PUCHAR get() { return data.get(); }
};

Bytes RtuRequest() { return {0x01, 0x03, 0x00, 0x00, 0x00, 0x0A, 0xC5, 0xCD}; }

TEST(Codec, CrcMatchesTheModbusCheckValues)
{
    Bytes check = Text("123456789");
    EXPECT_EQ(CalcCrc16(check.data(), ULONG(check.size()), 0xFFFF), 0x4B37);
    Bytes pdu = {0x01, 0x03, 0x00, 0x00, 0x00, 0x0A};
    EXPECT_EQ(CalcCrc16(pdu.data(), ULONG(pdu.size()), 0xFFFF), 0xCDC5);
    EXPECT_EQ(CalcCrc16(pdu.data(), 0, 0xFFFF), 0xFFFF);
}

TEST(Codec, RtuRecognitionNeedsLengthAndCrc)
{
    Exact good(RtuRequest());
    EXPECT_TRUE(IsRtuFrame(good.get(), ULONG(good.size)));
    Exact swapped(Bytes{0x01, 0x03, 0x00, 0x00, 0x00, 0x0A, 0xCD, 0xC5});
    EXPECT_FALSE(IsRtuFrame(swapped.get(), ULONG(swapped.size)));

    // Short requests with a correct CRC are refused for their length alone.
    Exact four(qvtest::RtuFrame({0x01, 0x07}));
    EXPECT_FALSE(IsRtuFrame(four.get(), 4));
    Exact seven(qvtest::RtuFrame({0x01, 0x06, 0x00, 0x01, 0x00}));
    EXPECT_FALSE(IsRtuFrame(seven.get(), 7));
}

TEST(Codec, RtuFrameOfMaximumLengthIsRecognised)
{
    Bytes content(65533);
    for (size_t i = 0; i < content.size(); i++) content[i] = uint8_t(i * 7);
    Exact frame(qvtest::RtuFrame(content));
    EXPECT_TRUE(IsRtuFrame(frame.get(), 65535));
    frame.get()[100] ^= 1;
    EXPECT_FALSE(IsRtuFrame(frame.get(), 65535));
}

TEST(Codec, AsciiRecognitionAndDecoding)
{
    const Bytes expected = {0x01, 0x03, 0x00, 0x00, 0x00, 0x0A};
    struct Case {
        const char *text;
        bool accepted;
    } cases[] = {
        {":01030000000AF2\r\n", true},
        {":01030000000af2\r\n", true},   // lower-case digits
        {"?01030000000AF2\r\n", false},  // no colon
        {":01030000000AF2XY", false},    // no CR LF
        {":01030000000AF2\n\r", false},
        {":01030000000AF3\r\n", false},  // wrong LRC
        {":0103000000\r\n", false},
        {":01030000000AF\r\n", false},  // odd digit count
        // Non-hex characters that would count as 0 and still balance the LRC.
        {":02030\xbc\x07p\x0b"
         "0520005A4\r\n",
         false},
        {":G10100FE\r\n", false},
        {":010300 0000AF2\r\n", false},
    };
    for (const Case &c : cases) {
        Exact frame(Text(c.text));
        EXPECT_EQ(bool(IsAsciiFrame(frame.get(), ULONG(frame.size))), c.accepted) << c.text;
        if (!c.accepted) continue;
        UCHAR content[16];
        ULONG n = DecodeAsciiFrame(frame.get(), ULONG(frame.size), content, sizeof(content));
        EXPECT_EQ(Bytes(content, content + n), expected) << c.text;
    }

    Exact tooShort(Text(":00\r\n0"));
    EXPECT_FALSE(IsAsciiFrame(tooShort.get(), 6));
    Exact shortest(Text(":0000\r\n"));
    EXPECT_TRUE(IsAsciiFrame(shortest.get(), 7));

    // The decoder refuses a buffer too small for the content rather than overrun it.
    Exact frame(Text(":01030000000AF2\r\n"));
    UCHAR small[5];
    EXPECT_EQ(DecodeAsciiFrame(frame.get(), ULONG(frame.size), small, sizeof(small)), 0u);
}

TEST(Codec, EncodersBuildTheReplyFrames)
{
    const Bytes content = {0x01, 0x03, 0x02, 0x00, 0x2A};
    UCHAR frame[64];

    ULONG n = EncodeRtuFrame(content.data(), ULONG(content.size()), frame, sizeof(frame));
    EXPECT_EQ(Hex(frame, n), "01 03 02 00 2A 39 9B");

    n = EncodeAsciiFrame(content.data(), ULONG(content.size()), frame, sizeof(frame));
    EXPECT_EQ(std::string((char *)frame, n), ":010302002AD0\r\n");
    EXPECT_TRUE(IsAsciiFrame(frame, n));

    // Exactly fitting buffers are enough; one byte less is refused without writing.
    UCHAR exact[7];
    EXPECT_EQ(EncodeRtuFrame(content.data(), 5, exact, 7), 7u);
    UCHAR guard[16];
    std::fill(std::begin(guard), std::end(guard), 0xEE);
    EXPECT_EQ(EncodeRtuFrame(content.data(), 5, guard, 6), 0u);
    EXPECT_EQ(EncodeAsciiFrame(content.data(), 5, guard, 14), 0u);
    for (UCHAR b : guard) EXPECT_EQ(b, 0xEE);

    // An ASCII frame must stay within 65535 bytes: content up to 32765.
    Bytes large(32766, 0x11);
    std::vector<UCHAR> out(70000);
    EXPECT_EQ(EncodeAsciiFrame(large.data(), 32766, out.data(), ULONG(out.size())), 0u);
    EXPECT_EQ(EncodeAsciiFrame(large.data(), 32765, out.data(), ULONG(out.size())), 65535u);
    EXPECT_EQ(EncodeRtuFrame(large.data(), 65534, out.data(), ULONG(out.size())), 0u);
}

TEST(Codec, StrayDigitsAndOddLengths)
{
    EXPECT_EQ(HexCharToNibble('G'), 0);
    EXPECT_EQ(HexCharToNibble('f'), 15);
    EXPECT_EQ(NibbleToHexChar(0x1A), 'A');

    Bytes three = {0xA, 0xB, 0xC};
    SwapBytePairs(three.data(), 3);
    EXPECT_EQ(three, (Bytes{0xB, 0xA, 0xC}));
}

TEST(SettingsRecord, WorkedExampleWalksToOneConnection)
{
    Bytes record = qvtest::MakeRecord(10000, 0x01, 0x00, {{{192, 168, 0, 10}, 502, 0, {1, 2}}});
    ASSERT_EQ(Hex(record), "17 00 00 00 01 01 10 27 01 00 0D 00 00 00 C0 A8 00 0A F6 01 00 01 02");
    Exact exact(record);
    PETH_INFO_HEADER header = (PETH_INFO_HEADER)exact.get();
    EXPECT_TRUE(EthInfoIsWellFormed(header));
    EXPECT_EQ(header->delay, 10000);
    EXPECT_EQ(header->rtsMask, 0x01);

    ULONG offset = ETH_INFO_HEADER_SIZE;
    PETH_INFO_ENTRY entry = EthInfoNextEntry(header, &offset);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(offset, 23u);
    EXPECT_EQ(Hex((PUCHAR)&entry->ip, 4), "C0 A8 00 0A");
    EXPECT_EQ(entry->port, 502);
    EXPECT_EQ(entry->raw, 0);
    EXPECT_EQ(Hex((PUCHAR)entry + ETH_ENTRY_HEADER_SIZE, entry->size - ETH_ENTRY_HEADER_SIZE), "01 02");
    EXPECT_EQ(EthInfoNextEntry(header, &offset), nullptr);
    EXPECT_EQ(offset, 23u);
}

TEST(SettingsRecord, MalformedRecordsAreRefusedWithoutReadingPastThem)
{
    // A header alone is a valid record with no connections.
    Exact empty(qvtest::MakeRecord(0, 0, 0, {}));
    EXPECT_TRUE(EthInfoIsWellFormed((PETH_INFO_HEADER)empty.get()));

    Exact oldVersion(qvtest::MakeRecord(0, 0, 0, {}, 0x0100));
    EXPECT_FALSE(EthInfoIsWellFormed((PETH_INFO_HEADER)oldVersion.get()));

    // An entry of size 0 must stop the walk, not loop on it.
    Bytes zero = qvtest::MakeRecord(0, 0, 0, {{{10, 0, 0, 1}, 502, 0, {}}});
    zero[10] = 0;
    Exact zeroExact(zero);
    ULONG offset = ETH_INFO_HEADER_SIZE;
    EXPECT_EQ(EthInfoNextEntry((PETH_INFO_HEADER)zeroExact.get(), &offset), nullptr);
    EXPECT_EQ(offset, ULONG(ETH_INFO_HEADER_SIZE));
    EXPECT_FALSE(EthInfoIsWellFormed((PETH_INFO_HEADER)zeroExact.get()));

    // Sizes between 1 and 10 as well.
    zero[10] = 10;
    Exact tenExact(zero);
    EXPECT_FALSE(EthInfoIsWellFormed((PETH_INFO_HEADER)tenExact.get()));

    // An entry that claims more than the record holds.
    Bytes past = qvtest::MakeRecord(0, 0, 0, {{{10, 0, 0, 1}, 502, 0, {1, 2}}});
    past[10] = 200;
    Exact pastExact(past);
    EXPECT_FALSE(EthInfoIsWellFormed((PETH_INFO_HEADER)pastExact.get()));
    past[10] = 0xFF, past[11] = 0xFF, past[12] = 0xFF, past[13] = 0xFF;  // wraps if added blindly
    Exact hugeExact(past);
    EXPECT_FALSE(EthInfoIsWellFormed((PETH_INFO_HEADER)hugeExact.get()));

    // A record whose last entry is cut inside its 11-byte head: the head is not read.
    Bytes cut = qvtest::MakeRecord(0, 0, 0, {{{10, 0, 0, 1}, 502, 0, {1}}, {{10, 0, 0, 2}, 502, 0, {2}}});
    cut.resize(12 + 10 + 5);
    cut[0] = uint8_t(cut.size());
    Exact cutExact(cut);
    EXPECT_FALSE(EthInfoIsWellFormed((PETH_INFO_HEADER)cutExact.get()));

    // The second entry's ids are still walked when the first has none.
    Exact noIds(qvtest::MakeRecord(0, 0, 0, {{{10, 0, 0, 1}, 502, 0, {}}, {{10, 0, 0, 2}, 503, 1, {7}}}));
    EXPECT_TRUE(EthInfoIsWellFormed((PETH_INFO_HEADER)noIds.get()));
}

TEST(AddressText, DottedDecimalNeedsSixteenCharacters)
{
    const UCHAR a[4] = {0xC0, 0xA8, 0x00, 0x0A}, b[4] = {0x0A, 0x00, 0x00, 0x01}, c[4] = {255, 255, 255, 255};
    ULONG address;
    char text[20];

    memcpy(&address, a, 4);
    ASSERT_TRUE(IpToText(address, text, sizeof(text)));
    EXPECT_STREQ(text, "192.168.0.10");
    memcpy(&address, b, 4);
    ASSERT_TRUE(IpToText(address, text, sizeof(text)));
    EXPECT_STREQ(text, "10.0.0.1");
    memcpy(&address, c, 4);
    char exact[16];
    ASSERT_TRUE(IpToText(address, exact, sizeof(exact)));
    EXPECT_STREQ(exact, "255.255.255.255");

    char small[15];
    memset(small, 'x', sizeof(small));
    EXPECT_FALSE(IpToText(address, small, sizeof(small)));
    for (char ch : small) EXPECT_EQ(ch, 'x');
}

}  // namespace
