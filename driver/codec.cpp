// Modbus serial framing: recognising, decoding and building RTU and ASCII frames.
// Pure functions over caller buffers with explicit lengths: no lock, no allocation, any IRQL.

#include "quorvel.h"

// Every character that is not a hexadecimal digit counts as 0; IsAsciiFrame refuses such
// characters before anything is decoded.
UCHAR HexCharToNibble(UCHAR Char)
{
    if (Char >= '1' && Char <= '9') return (UCHAR)(Char - '0');
    if (Char >= 'A' && Char <= 'F') return (UCHAR)(Char - 'A' + 10);
    if (Char >= 'a' && Char <= 'f') return (UCHAR)(Char - 'a' + 10);
    return 0;
}

UCHAR NibbleToHexChar(UCHAR Value)
{
    Value &= 0x0F;
    return (UCHAR)(Value < 10 ? '0' + Value : 'A' + Value - 10);
}

// Turns 16-bit fields between network and machine order; an odd last byte stays put.
VOID SwapBytePairs(PUCHAR Buffer, ULONG Length)
{
    for (ULONG i = 0; i + 1 < Length; i += 2) {
        UCHAR t = Buffer[i];
        Buffer[i] = Buffer[i + 1];
        Buffer[i + 1] = t;
    }
}

// Modbus CRC-16: reflected polynomial 0xA001, no final XOR, a byte at a time from a table the
// compiler builds (read-only data, so any IRQL).
struct CRC16_TABLE {
    USHORT Entry[256];
};

static constexpr CRC16_TABLE MakeCrc16Table()
{
    CRC16_TABLE table = {};
    for (unsigned i = 0; i < 256; i++) {
        USHORT crc = (USHORT)i;
        for (int bit = 0; bit < 8; bit++) crc = (crc & 1) ? (USHORT)((crc >> 1) ^ 0xA001) : (USHORT)(crc >> 1);
        table.Entry[i] = crc;
    }
    return table;
}

static constexpr CRC16_TABLE Crc16Table = MakeCrc16Table();

USHORT CalcCrc16(const UCHAR *Buffer, ULONG Length, USHORT Initial)
{
    USHORT crc = Initial;
    for (ULONG i = 0; i < Length; i++) crc = (USHORT)((crc >> 8) ^ Crc16Table.Entry[(crc ^ Buffer[i]) & 0xFF]);
    return crc;
}

// LRC over hexadecimal text: two's complement of the 8-bit sum of the byte pairs. With an
// odd count the last pair takes its second digit from the character after the text, so the
// caller must have one more readable character in that case (IsAsciiFrame always does).
UCHAR CalcLrc(const UCHAR *Text, ULONG Count)
{
    UCHAR sum = 0;
    for (ULONG i = 0; i < Count; i += 2) {
        sum = (UCHAR)(sum + HexCharToNibble(Text[i]) * 16 + HexCharToNibble(Text[i + 1]));
    }
    return (UCHAR)(0 - sum);
}

// RTU: at least 8 bytes, the last two the CRC of the rest, low byte first. Shorter requests
// (function 07 and the like) are not forwarded.
BOOLEAN IsRtuFrame(const UCHAR *Frame, ULONG Length)
{
    if (Frame == NULL || Length < 8 || Length > MODBUS_MAX_FRAME) return FALSE;
    USHORT received = (USHORT)(Frame[Length - 2] | (Frame[Length - 1] << 8));
    return CalcCrc16(Frame, Length - 2, 0xFFFF) == received ? TRUE : FALSE;
}

static BOOLEAN IsHexChar(UCHAR Char)
{
    return (Char >= '0' && Char <= '9') || (Char >= 'A' && Char <= 'F') || (Char >= 'a' && Char <= 'f') ? TRUE : FALSE;
}

// ASCII: ":", at least one byte as an even run of hexadecimal digits (either case), the LRC of
// those bytes as two more digits, CR LF. A stray character anywhere refuses the frame: counted
// as 0 it could still balance the LRC.
BOOLEAN IsAsciiFrame(const UCHAR *Frame, ULONG Length)
{
    if (Frame == NULL || Length < 7 || Length > MODBUS_MAX_FRAME || (Length & 1) == 0) return FALSE;
    if (Frame[0] != ':' || Frame[Length - 2] != 0x0D || Frame[Length - 1] != 0x0A) return FALSE;
    for (ULONG i = 1; i < Length - 2; i++) {
        if (!IsHexChar(Frame[i])) return FALSE;
    }
    UCHAR received = (UCHAR)(HexCharToNibble(Frame[Length - 4]) * 16 + HexCharToNibble(Frame[Length - 3]));
    return CalcLrc(Frame + 1, Length - 5) == received ? TRUE : FALSE;
}

// Decodes the hexadecimal pairs from position 1 while a pair starts before the LRC. Returns
// the number of content bytes, or 0 when they would not fit Capacity.
ULONG DecodeAsciiFrame(const UCHAR *Frame, ULONG Length, PUCHAR Content, ULONG Capacity)
{
    if (Frame == NULL || Length < 7) return 0;
    ULONG count = 0;
    for (ULONG p = 1; p < Length - 4; p += 2) {
        if (count == Capacity) return 0;
        Content[count++] = (UCHAR)(HexCharToNibble(Frame[p]) * 16 + HexCharToNibble(Frame[p + 1]));
    }
    return count;
}

// Content followed by its CRC, low byte first: Length + 2 bytes. Returns the frame length,
// or 0 when the frame would exceed Capacity or the 65535-byte frame limit.
ULONG EncodeRtuFrame(const UCHAR *Content, ULONG Length, PUCHAR Frame, ULONG Capacity)
{
    ULONG size = Length + 2;
    if (Length > MODBUS_MAX_FRAME - 2 || size > Capacity) return 0;
    RtlCopyMemory(Frame, Content, Length);
    USHORT crc = CalcCrc16(Content, Length, 0xFFFF);
    Frame[Length] = (UCHAR)(crc & 0xFF);
    Frame[Length + 1] = (UCHAR)(crc >> 8);
    return size;
}

// ":" + two upper-case digits per byte + LRC + CR LF: 2 * Length + 5 bytes. Returns the frame
// length, or 0 when it would exceed Capacity or the 65535-byte frame limit.
ULONG EncodeAsciiFrame(const UCHAR *Content, ULONG Length, PUCHAR Frame, ULONG Capacity)
{
    if (Length > (MODBUS_MAX_FRAME - 5) / 2) return 0;
    ULONG size = 2 * Length + 5;
    if (size > Capacity) return 0;
    Frame[0] = ':';
    for (ULONG i = 0; i < Length; i++) {
        Frame[1 + 2 * i] = NibbleToHexChar((UCHAR)(Content[i] >> 4));
        Frame[2 + 2 * i] = NibbleToHexChar((UCHAR)(Content[i] & 0x0F));
    }
    UCHAR lrc = CalcLrc(Frame + 1, size - 5);
    Frame[size - 4] = NibbleToHexChar((UCHAR)(lrc >> 4));
    Frame[size - 3] = NibbleToHexChar((UCHAR)(lrc & 0x0F));
    Frame[size - 2] = 0x0D;
    Frame[size - 1] = 0x0A;
    return size;
}

// The content length (unit id, function code, data) that a reply's own first bytes fix, so a
// reply cut short or padded is told from a whole one. 0: more bytes are needed to tell;
// MODBUS_LENGTH_OPEN: the function's replies carry no length that can be checked.
ULONG ReplyContentLength(const UCHAR *Content, ULONG Available)
{
    if (Content == NULL || Available < 2) return 0;
    UCHAR function = Content[1];
    if (function & 0x80) return 3;  // exception: unit, function, code
    switch (function) {
    case 0x01:  // read coils, discrete inputs, holding and input registers
    case 0x02:
    case 0x03:
    case 0x04:
    case 0x0C:  // comm event log
    case 0x11:  // report server id
    case 0x14:  // read and write file records
    case 0x15:
    case 0x17:  // read/write registers
        return Available < 3 ? 0 : 3 + (ULONG)Content[2];
    case 0x07: return 3;
    case 0x05:  // write single coil or register, multiple coils or registers: echo
    case 0x06:
    case 0x0B:
    case 0x0F:
    case 0x10: return 6;
    case 0x16: return 8;
    default: return MODBUS_LENGTH_OPEN;
    }
}
