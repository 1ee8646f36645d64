// Configuration manager internals: the registry hive and the routines the I/O manager and the
// harness use to reach keys by absolute path.
#pragma once

#include <string>

#include "wdm.h"

namespace qv {

// UTF-16 from ASCII/UTF-8 text and back (names in this platform are plain ASCII in practice).
std::u16string Utf16(const std::string &text);
std::string Utf8(const std::u16string &text);
std::u16string FromUnicodeString(PCUNICODE_STRING s);
// Upper-cases ASCII letters: names in the registry and the object namespace compare without case.
std::u16string UpcaseName(const std::u16string &name);

// Opens (or, with `create`, creates every missing component of) an absolute key path such as
// u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\ROOT\\PORTS\\0000". Returns a kernel
// handle the caller closes with ZwClose.
NTSTATUS CmOpenKeyByPath(const std::u16string &path, bool create, bool isVolatile, HANDLE *handle);

}  // namespace qv
