// The kernel's printf: argument sizes follow Windows, not the host (LONG is 32 bits on LP64 Linux),
// so the format is parsed here and never handed to the host's vsnprintf.
#include <stdio.h>
#include <string.h>

#include "rtl/rtl.h"

namespace qv {
namespace {

// Bounded output: counts everything, stores what fits.
struct Sink {
    char *Buffer;
    size_t Capacity;
    size_t Length = 0;
    void Put(char c)
    {
        if (Length < Capacity) Buffer[Length] = c;
        ++Length;
    }
    void Put(const char *text, size_t n)
    {
        for (size_t i = 0; i < n; ++i) Put(text[i]);
    }
    void Pad(char c, int n)
    {
        for (int i = 0; i < n; ++i) Put(c);
    }
};

enum class Size { Default, Char, Short, Long32, Long64, Pointer };

struct Spec {
    bool Left = false, Plus = false, Space = false, Alt = false, Zero = false;
    int Width = 0;
    int Precision = -1;
    Size Length = Size::Default;
    bool Wide = false;    // 'l' or 'w' before s/c/Z
    bool Narrow = false;  // 'h' before s/S/c/C
};

void EmitPadded(Sink &out, const Spec &spec, const char *text, size_t n)
{
    int pad = spec.Width > static_cast<int>(n) ? spec.Width - static_cast<int>(n) : 0;
    if (!spec.Left) out.Pad(' ', pad);
    out.Put(text, n);
    if (spec.Left) out.Pad(' ', pad);
}

void EmitString(Sink &out, const Spec &spec, const std::string &text)
{
    size_t n = text.size();
    if (spec.Precision >= 0 && static_cast<size_t>(spec.Precision) < n) n = spec.Precision;
    EmitPadded(out, spec, text.data(), n);
}

void EmitInteger(Sink &out, const Spec &spec, unsigned long long value, bool negative, int base, bool upper)
{
    const char *digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char body[72];
    int n = 0;
    while (value != 0) {
        body[n++] = digits[value % base];
        value /= base;
    }
    // Precision is the minimum digit count; precision 0 with value 0 prints no digits.
    int minDigits = spec.Precision >= 0 ? spec.Precision : 1;
    while (n < minDigits && n < 64) body[n++] = '0';
    char prefix[3] = {0};
    int prefixLen = 0;
    if (negative)
        prefix[prefixLen++] = '-';
    else if (spec.Plus && base == 10)
        prefix[prefixLen++] = '+';
    else if (spec.Space && base == 10)
        prefix[prefixLen++] = ' ';
    bool nonZero = n > 0 && !(n == 1 && body[0] == '0');
    if (spec.Alt && base == 16 && nonZero) {
        prefix[prefixLen++] = '0';
        prefix[prefixLen++] = upper ? 'X' : 'x';
    } else if (spec.Alt && base == 8 && (n == 0 || body[n - 1] != '0')) {
        body[n++] = '0';
    }
    int total = n + prefixLen;
    int pad = spec.Width > total ? spec.Width - total : 0;
    bool zeroPad = spec.Zero && !spec.Left && spec.Precision < 0;
    if (!spec.Left && !zeroPad) out.Pad(' ', pad);
    out.Put(prefix, prefixLen);
    if (zeroPad) out.Pad('0', pad);
    while (n > 0) out.Put(body[--n]);
    if (spec.Left) out.Pad(' ', pad);
}

long long SignedArg(va_list &args, Size size)
{
    switch (size) {
    case Size::Char: return static_cast<signed char>(va_arg(args, int));
    case Size::Short: return static_cast<short>(va_arg(args, int));
    case Size::Long64:
    case Size::Pointer: return va_arg(args, long long);
    default: return va_arg(args, int);
    }
}

unsigned long long UnsignedArg(va_list &args, Size size)
{
    switch (size) {
    case Size::Char: return static_cast<unsigned char>(va_arg(args, unsigned int));
    case Size::Short: return static_cast<unsigned short>(va_arg(args, unsigned int));
    case Size::Long64:
    case Size::Pointer: return va_arg(args, unsigned long long);
    default: return va_arg(args, unsigned int);
    }
}

std::string WideZ(const WCHAR *text)
{
    size_t n = 0;
    while (text[n] != 0) ++n;
    return WideToUtf8(text, n);
}

}  // namespace

std::string WideToUtf8(const WCHAR *text, size_t count)
{
    std::string out;
    for (size_t i = 0; i < count; ++i) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < count && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c < 0xE000) {
            c = '?';
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

size_t FormatV(char *buffer, size_t capacity, const char *format, va_list args)
{
    Sink out{buffer, capacity};
    if (format == nullptr) return 0;
    va_list ap;
    va_copy(ap, args);
    const char *f = format;
    while (*f) {
        if (*f != '%') {
            out.Put(*f++);
            continue;
        }
        const char *start = f++;
        if (*f == '%') {
            out.Put(*f++);
            continue;
        }
        Spec spec;
        for (;; ++f) {
            if (*f == '-')
                spec.Left = true;
            else if (*f == '+')
                spec.Plus = true;
            else if (*f == ' ')
                spec.Space = true;
            else if (*f == '#')
                spec.Alt = true;
            else if (*f == '0')
                spec.Zero = true;
            else
                break;
        }
        if (*f == '*') {
            spec.Width = va_arg(ap, int);
            if (spec.Width < 0) {
                spec.Left = true;
                spec.Width = -spec.Width;
            }
            ++f;
        } else {
            while (*f >= '0' && *f <= '9') spec.Width = spec.Width * 10 + (*f++ - '0');
        }
        if (*f == '.') {
            ++f;
            spec.Precision = 0;
            if (*f == '*') {
                spec.Precision = va_arg(ap, int);
                if (spec.Precision < 0) spec.Precision = -1;
                ++f;
            } else {
                while (*f >= '0' && *f <= '9') spec.Precision = spec.Precision * 10 + (*f++ - '0');
            }
        }
        // Length: Windows sizes. 'l' is 32 bits (and wide for s/c), I64 and ll are 64, I is pointer-sized.
        if (f[0] == 'I' && f[1] == '6' && f[2] == '4') {
            spec.Length = Size::Long64;
            f += 3;
        } else if (f[0] == 'I' && f[1] == '3' && f[2] == '2') {
            spec.Length = Size::Long32;
            f += 3;
        } else if (*f == 'I' || *f == 'z' || *f == 't' || *f == 'j') {
            spec.Length = Size::Pointer;
            ++f;
        } else if (f[0] == 'l' && f[1] == 'l') {
            spec.Length = Size::Long64;
            f += 2;
        } else if (*f == 'l') {
            spec.Length = Size::Long32;
            spec.Wide = true;
            ++f;
        } else if (*f == 'w') {
            spec.Wide = true;
            ++f;
        } else if (f[0] == 'h' && f[1] == 'h') {
            spec.Length = Size::Char;
            spec.Narrow = true;
            f += 2;
        } else if (*f == 'h') {
            spec.Length = Size::Short;
            spec.Narrow = true;
            ++f;
        } else if (*f == 'L') {
            spec.Length = Size::Long64;
            ++f;
        }
        char conv = *f;
        if (conv == 0) {
            out.Put(start, f - start);
            break;
        }
        ++f;
        switch (conv) {
        case 'd':
        case 'i': {
            long long v = SignedArg(ap, spec.Length);
            unsigned long long magnitude = v < 0 ? 0ULL - static_cast<unsigned long long>(v) : v;
            EmitInteger(out, spec, magnitude, v < 0, 10, false);
            break;
        }
        case 'u': EmitInteger(out, spec, UnsignedArg(ap, spec.Length), false, 10, false); break;
        case 'x': EmitInteger(out, spec, UnsignedArg(ap, spec.Length), false, 16, false); break;
        case 'X': EmitInteger(out, spec, UnsignedArg(ap, spec.Length), false, 16, true); break;
        case 'o': EmitInteger(out, spec, UnsignedArg(ap, spec.Length), false, 8, false); break;
        case 'p': {
            Spec p = spec;
            p.Precision = static_cast<int>(sizeof(void *) * 2);
            p.Alt = false;
            EmitInteger(out, p, reinterpret_cast<uintptr_t>(va_arg(ap, void *)), false, 16, true);
            break;
        }
        case 'c':
        case 'C': {
            bool wide = conv == 'C' ? !spec.Narrow : spec.Wide;
            unsigned int c = va_arg(ap, unsigned int);
            std::string text;
            if (wide) {
                WCHAR w = static_cast<WCHAR>(c);
                text = WideToUtf8(&w, 1);
            } else {
                text.assign(1, static_cast<char>(c));
            }
            Spec noPrecision = spec;
            noPrecision.Precision = -1;
            EmitString(out, noPrecision, text);
            break;
        }
        case 's':
        case 'S': {
            bool wide = conv == 'S' ? !spec.Narrow : spec.Wide;
            if (wide) {
                const WCHAR *w = va_arg(ap, const WCHAR *);
                if (w == nullptr) {
                    EmitString(out, spec, "(null)");
                } else if (spec.Precision >= 0) {
                    size_t n = 0;
                    while (n < static_cast<size_t>(spec.Precision) && w[n] != 0) ++n;
                    EmitString(out, spec, WideToUtf8(w, n));
                } else {
                    EmitString(out, spec, WideZ(w));
                }
            } else {
                const char *s = va_arg(ap, const char *);
                if (s == nullptr) s = "(null)";
                size_t n = spec.Precision >= 0 ? strnlen(s, spec.Precision) : strlen(s);
                EmitPadded(out, spec, s, n);
            }
            break;
        }
        case 'Z': {
            if (spec.Wide) {
                const UNICODE_STRING *u = va_arg(ap, const UNICODE_STRING *);
                if (u == nullptr || u->Buffer == nullptr)
                    EmitString(out, spec, "(null)");
                else
                    EmitString(out, spec, WideToUtf8(u->Buffer, u->Length / sizeof(WCHAR)));
            } else {
                const ANSI_STRING *a = va_arg(ap, const ANSI_STRING *);
                if (a == nullptr || a->Buffer == nullptr)
                    EmitString(out, spec, "(null)");
                else
                    EmitString(out, spec, std::string(a->Buffer, a->Length));
            }
            break;
        }
        case 'e':
        case 'E':
        case 'f':
        case 'F':
        case 'g':
        case 'G':
        case 'a':
        case 'A': {
            // Only the flags, width and precision reach the host formatter, with the double it expects.
            double v = va_arg(ap, double);
            char sub[32];
            int n = snprintf(sub, sizeof(sub), "%%%s%s%s%s%s*.*%c", spec.Left ? "-" : "", spec.Plus ? "+" : "",
                             spec.Space ? " " : "", spec.Alt ? "#" : "", spec.Zero ? "0" : "", conv);
            (void)n;
            char text[512];
            int len = snprintf(text, sizeof(text), sub, spec.Width, spec.Precision < 0 ? 6 : spec.Precision, v);
            if (len > static_cast<int>(sizeof(text)) - 1) len = sizeof(text) - 1;
            if (len > 0) out.Put(text, len);
            break;
        }
        case 'n':
            // Never writes through the argument.
            (void)va_arg(ap, void *);
            break;
        default: out.Put(start, f - start); break;
        }
    }
    va_end(ap);
    return out.Length;
}

}  // namespace qv
