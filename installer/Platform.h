// Every Windows call of the configurator, behind one interface. Each call returns the Win32
// code of the call that failed (0 on success), captured where it failed: nothing reads a
// thread's last error later. Implementations: PlatformWin32 (SetupAPI, newdev, advapi32,
// kernel32) and PlatformHost (quorvel-host's control socket). No Qt here.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "common/wintypes.h"

namespace plat {

using quorvel::DevData;
using quorvel::DevSet;
using quorvel::Guid;
using quorvel::kNoDevSet;
using quorvel::Win32Error;
using Bytes = std::vector<std::uint8_t>;
using U16 = std::u16string;

// A 16x16 icon, ARGB32 rows top to bottom.
struct Icon16 {
    std::array<std::uint32_t, 256> argb{};
};

class IPlatform {
public:
    virtual ~IPlatform() = default;

    // Device information sets (SetupDiGetClassDevsW, SetupDiEnumDeviceInfo,
    // SetupDiDestroyDeviceInfoList). cls null: every class. EnumDeviceInfo past the end: 259.
    virtual Win32Error GetClassDevs(const Guid *cls, std::uint32_t flags, DevSet *out) = 0;
    virtual Win32Error EnumDeviceInfo(DevSet set, std::uint32_t index, DevData *out) = 0;
    virtual void DestroyDeviceInfoList(DevSet set) = 0;

    // SetupDiGetClassDescriptionW.
    virtual Win32Error GetClassDescription(const Guid &cls, U16 *out) = 0;

    // SetupDiGetDeviceRegistryPropertyW: at most bufferSize bytes into *data; *needed is the
    // value's full size (also with 122 when bufferSize is too small).
    virtual Win32Error GetDeviceRegistryProperty(DevSet set, const DevData &dev, std::uint32_t property,
                                                 std::uint32_t bufferSize, Bytes *data, std::uint32_t *needed) = 0;
    // SetupDiSetDeviceRegistryPropertyW; empty data deletes the property.
    virtual Win32Error SetDeviceRegistryProperty(DevSet set, const DevData &dev, std::uint32_t property,
                                                 const Bytes &data) = 0;

    // A value of the class key: SetupDiOpenClassRegKey(KEY_READ), RegQueryValueExW, RegCloseKey.
    virtual Win32Error QueryClassValue(const Guid &cls, const U16 &name, std::uint32_t bufferSize, Bytes *data) = 0;
    // SetupDiOpenClassRegKey(KEY_ALL_ACCESS), RegSetValueExW(REG_MULTI_SZ), RegCloseKey.
    virtual Win32Error SetClassMultiSz(const Guid &cls, const U16 &name, const Bytes &data) = 0;

    // The setup class's small icon (SetupDiGetClassImageList and friends); false when none.
    virtual bool ClassIcon(const Guid &cls, Icon16 *out) = 0;

    // One exchange with a port: CreateFileW("\\.\" + portName), one DeviceIoControl, CloseHandle.
    // *information is the returned byte count (the needed length with 122 from the driver).
    virtual Win32Error PortIoControl(const U16 &portName, std::uint32_t ioctl, const Bytes &input,
                                     std::uint32_t outputSize, Bytes *output, std::uint32_t *information) = 0;

    // Host-name lookup (gethostbyname / getaddrinfo): the first IPv4 address, bytes in wire order.
    virtual bool ResolveHostV4(const std::string &host, std::array<std::uint8_t, 4> *out) = 0;

    // Creates a root-enumerated Ports-class device with the given hardware id and installs the INF
    // on it (SetupDiGetINFClassW ... UpdateDriverForPlugAndPlayDevicesW). A failure after the device
    // was registered removes it again; the code is that of the step that failed.
    virtual Win32Error InstallDevice(const U16 &infPath, const U16 &hardwareId) = 0;
    // SetupDiCallClassInstaller(DIF_REMOVE).
    virtual Win32Error RemoveDevice(DevSet set, const DevData &dev) = 0;
    // Copies a filter driver into the system's drivers folder and registers it as a demand-start
    // kernel-driver service in "PNP Filter"; an existing service is not an error. *serviceName is
    // the file name without its extension.
    virtual Win32Error InstallFilterService(const U16 &filePath, U16 *serviceName) = 0;

    // The program's version resource (GetFileVersionInfoSizeW / GetFileVersionInfoW) and one value
    // of it (VerQueryValueW, e.g. "\StringFileInfo\041904e3\ProductName").
    virtual Win32Error LoadVersionInfo(const U16 &file, Bytes *blob) = 0;
    virtual bool QueryVersionValue(const Bytes &blob, const U16 &subBlock, Bytes *value) = 0;

    // ShellExecuteW "open" of a URL (mail or web link).
    virtual Win32Error ShellOpen(const U16 &url) = 0;

    // The system's message text for a code (FormatMessageW, or the host table), never empty.
    virtual U16 SystemMessage(Win32Error code) = 0;
};

}  // namespace plat
