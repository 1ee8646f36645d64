// REG_MULTI_SZ lists (filter lists, hardware ids) in their UTF-16LE registry form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quorvel {

// Each name followed by a NUL, then one more NUL; an empty list gives no bytes at all.
std::vector<std::uint8_t> EncodeMultiSz(const std::vector<std::u16string> &names);

// Reads names up to the first empty one, never past length; a last name that is not
// NUL-terminated ends at the end of the data.
std::vector<std::u16string> DecodeMultiSz(const std::uint8_t *data, std::size_t length);

// The first string of a REG_SZ or REG_MULTI_SZ value, bounded by length.
std::u16string DecodeFirstString(const std::uint8_t *data, std::size_t length);

// UTF-8 <-> UTF-16 for the Qt-free code (file paths, service names).
std::u16string Utf8ToUtf16(const std::string &text);
std::string Utf16ToUtf8(const std::u16string &text);

}  // namespace quorvel
