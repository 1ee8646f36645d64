// quorvel-wincheck: a console check of the configurator's Win32 platform. Lists the present
// ports, marks the driver's ports and prints the settings record each of them returns.
// Usage: quorvel-wincheck [COMn]   (with a port name: only that port's exchange)
#include <cstdio>
#include <cstring>
#include <string>

#include "PlatformWin32.h"
#include "common/ethrecord.h"
#include "common/multisz.h"

namespace {

std::string Utf8(const std::u16string &s) { return quorvel::Utf16ToUtf8(s); }

std::u16string FirstString(plat::IPlatform &p, plat::DevSet set, const plat::DevData &dev, std::uint32_t property)
{
    plat::Bytes data;
    std::uint32_t needed = 0;
    p.GetDeviceRegistryProperty(set, dev, property, 0, &data, &needed);
    if (needed > quorvel::kPropertyBufferSize) needed = quorvel::kPropertyBufferSize;
    if (p.GetDeviceRegistryProperty(set, dev, property, needed, &data, &needed) != ERROR_SUCCESS) return {};
    return quorvel::DecodeFirstString(data.data(), data.size());
}

void PrintRecord(const plat::Bytes &bytes)
{
    quorvel::EthRecord record;
    quorvel::EthParseError error = quorvel::ParseEthRecord(bytes.data(), bytes.size(), &record);
    if (error != quorvel::EthParseError::None) {
        std::printf("    record of %u bytes refused (%d)\n", unsigned(bytes.size()), int(error));
        return;
    }
    std::printf("    delay %u ms, rts 0x%02X, dtr 0x%02X\n", unsigned(record.delay), unsigned(record.rtsMask),
                unsigned(record.dtrMask));
    for (const quorvel::EthEntry &e : record.entries) {
        std::uint8_t ip[4];
        std::memcpy(ip, &e.ip, 4);
        std::printf("    %u.%u.%u.%u:%u%s ids", ip[0], ip[1], ip[2], ip[3], unsigned(e.port),
                    e.raw ? "" : " Modbus TCP");
        for (std::uint8_t id : e.ids) std::printf(" %u", unsigned(id));
        std::printf("\n");
    }
}

int Exchange(plat::IPlatform &p, const std::u16string &port)
{
    plat::Bytes out;
    std::uint32_t information = 0;
    quorvel::Win32Error err =
        p.PortIoControl(port, quorvel::IOCTL_SERIAL_GET_ETHERNET, {}, quorvel::kEthReadBufferSize, &out, &information);
    if (err != ERROR_SUCCESS) {
        std::printf("    %s: %s\n", Utf8(port).c_str(), Utf8(p.SystemMessage(err)).c_str());
        return 1;
    }
    PrintRecord(out);
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    plat::PlatformWin32 platform;
    std::printf("SP_DEVINFO_DATA %u bytes, SP_CLASSIMAGELIST_DATA %u bytes\n", unsigned(sizeof(SP_DEVINFO_DATA)),
                unsigned(sizeof(SP_CLASSIMAGELIST_DATA)));
    if (argc > 1) return Exchange(platform, quorvel::Utf8ToUtf16(argv[1]));

    plat::DevSet set = plat::kNoDevSet;
    quorvel::Win32Error err = platform.GetClassDevs(&quorvel::kPortsClassGuid, DIGCF_PRESENT, &set);
    if (err != ERROR_SUCCESS) {
        std::printf("SetupDiGetClassDevsW: %s\n", Utf8(platform.SystemMessage(err)).c_str());
        return 1;
    }
    std::u16string description;
    platform.GetClassDescription(quorvel::kPortsClassGuid, &description);
    std::printf("%s\n", Utf8(description).c_str());
    for (std::uint32_t i = 0;; ++i) {
        plat::DevData dev;
        if (platform.EnumDeviceInfo(set, i, &dev) != ERROR_SUCCESS) break;
        std::u16string name = FirstString(platform, set, dev, SPDRP_FRIENDLYNAME);
        if (name.empty()) name = FirstString(platform, set, dev, SPDRP_DEVICEDESC);
        std::u16string hwid = FirstString(platform, set, dev, SPDRP_HARDWAREID);
        bool ours = _wcsicmp(reinterpret_cast<const wchar_t *>(hwid.c_str()),
                             reinterpret_cast<const wchar_t *>(quorvel::QUORVEL_HARDWARE_ID)) == 0;
        std::printf("  %s%s\n", Utf8(name).c_str(), ours ? "  [Quorvel]" : "");
        std::size_t open = name.find(u"(COM");
        std::size_t close = open == std::u16string::npos ? open : name.find(u')', open);
        if (ours && close != std::u16string::npos) Exchange(platform, name.substr(open + 1, close - open - 1));
    }
    platform.DestroyDeviceInfoList(set);
    return 0;
}
