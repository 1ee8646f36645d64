#include "hostproto.h"

#include "common/multisz.h"

namespace quorvel::hostctl {

std::u16string Utf16(const std::string &text) { return Utf8ToUtf16(text); }
std::string Utf8(const std::u16string &text) { return Utf16ToUtf8(text); }

}  // namespace quorvel::hostctl
