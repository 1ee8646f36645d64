// The few Windows types and constants that the configurator's portable code and the host's
// control socket share, with the Windows layouts and values.
#pragma once

#include <cstdint>
#include <string>

namespace quorvel {

using Win32Error = std::uint32_t;

// GUID in its in-memory layout.
struct Guid {
    std::uint32_t d1 = 0;
    std::uint16_t d2 = 0;
    std::uint16_t d3 = 0;
    std::uint8_t d4[8] = {};
    friend bool operator==(const Guid &, const Guid &) = default;
};

// Registry form: braces, upper-case hexadecimal.
std::string GuidToString(const Guid &guid);

inline constexpr Guid kPortsClassGuid = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
inline constexpr Guid kNetClassGuid = {0x4D36E972, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

// A device information set: an HDEVINFO on Windows, a handle of the host's session otherwise.
using DevSet = std::uint64_t;
inline constexpr DevSet kNoDevSet = ~std::uint64_t(0);

// SP_DEVINFO_DATA without its cbSize.
struct DevData {
    Guid classGuid;
    std::uint32_t devInst = 0;
    std::uint64_t reserved = 0;
};

inline constexpr char16_t QUORVEL_HARDWARE_ID[] = u"*QuorvelDevice";

// Working buffer of property, registry-value and filter-list reads and writes.
inline constexpr std::uint32_t kPropertyBufferSize = 32768;

}  // namespace quorvel

// The Windows constants the configurator uses, under their Windows names and at global scope as
// the system headers have them. On Windows they come from those headers, and the list checks
// that its values agree with them.
#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
// Order matters: winsock2 before windows, windows before the rest.
#include <winsock2.h>

#include <windows.h>

#include <newdev.h>
#include <setupapi.h>
#define QV_WIN32_CONST(name, value) static_assert(name == value, #name);
#else
#define QV_WIN32_CONST(name, value) inline constexpr std::uint32_t name = value;
#endif
#include "common/win32consts.inc"
#undef QV_WIN32_CONST
