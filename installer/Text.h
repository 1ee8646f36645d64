// The configurator's strings: UTF-8 std::string everywhere above the platform, which speaks
// UTF-16. A view converts at its own edge.
#pragma once

#include <string>
#include <vector>

using StringList = std::vector<std::string>;

// Ill-formed input becomes U+FFFD; nothing is dropped silently.
std::u16string Utf16(const std::string &utf8);
std::string Utf8(const std::u16string &utf16);

// Without the blanks (space, tab, CR, LF, VT, FF) at either end.
std::string Trim(const std::string &text);
// Equal when they differ only in the letter case of Latin or Cyrillic letters.
bool EqualNoCase(const std::string &a, const std::string &b);
std::string Join(const StringList &parts, const std::string &separator);
// "%1".."%9" replaced by the arguments, each once at most, in one pass.
std::string Arg(const std::string &format, const StringList &args);

// A decimal integer with an optional sign, blanks around it allowed; false when it is not one or
// does not fit in a long long.
bool ParseInteger(const std::string &text, long long *value);
