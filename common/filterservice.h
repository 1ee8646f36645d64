// Names and ownership rules of filter-driver services, shared by every platform that installs
// filters (the Win32 one here, quorvel-host on Linux). Plain C++, no Qt.
#pragma once

#include <cstdint>
#include <string>

namespace quorvel {

inline constexpr char16_t kFilterLoadOrderGroup[] = u"PNP Filter";
inline constexpr std::uint32_t kServiceKernelDriver = 1;  // SERVICE_KERNEL_DRIVER

// The part of a path after its last '\' or '/'.
std::u16string FilterFileName(const std::u16string &path);
// The file name without its extension (from the last dot): "myfilt.sys" gives "myfilt".
std::u16string FilterServiceName(const std::u16string &fileName);
// Where the filter file goes: <windows>\System32\Drivers\<file name>.
std::u16string FilterTargetPath(const std::u16string &windowsDirectory, const std::u16string &fileName);

// What an existing service of the filter's name is configured as.
struct ServiceConfig {
    std::uint32_t type = 0;
    std::u16string loadOrderGroup;
    std::u16string imagePath;  // as stored: full, "\SystemRoot\...", "\??\..." or relative to the Windows folder
};

// An existing service may be reused only when it is this filter's own: a kernel driver in
// "PNP Filter" whose image is the target file. Anything else belongs to someone else.
bool IsOwnFilterService(const ServiceConfig &config, const std::u16string &targetPath,
                        const std::u16string &windowsDirectory);

// Letter case folded for ASCII only, '/' read as '\': the way Windows compares these paths.
bool SamePathText(const std::u16string &a, const std::u16string &b);

}  // namespace quorvel
