// The configurator's platform over quorvel-host's control socket (<state>/control.sock).
// One connection per program run; the host's device information sets belong to it. A connection
// the host closed for idling while it held no sets is opened again at the next call.
#pragma once

#include <string>

#include "Platform.h"
#include "common/controlproto.h"

namespace plat {

class PlatformHost : public IPlatform {
public:
    explicit PlatformHost(std::string socketPath);
    ~PlatformHost() override;
    PlatformHost(const PlatformHost &) = delete;
    PlatformHost &operator=(const PlatformHost &) = delete;

    // Connects to the socket; false with the reason in errorText (UTF-8) when no host answers.
    bool Connect(std::string *errorText);
    bool connected() const { return fd_ >= 0; }
    const std::string &socketPath() const { return path_; }

    // The default socket of a state directory.
    static std::string SocketPathFor(const std::string &stateDir);

    Win32Error GetClassDevs(const Guid *cls, std::uint32_t flags, DevSet *out) override;
    Win32Error EnumDeviceInfo(DevSet set, std::uint32_t index, DevData *out) override;
    void DestroyDeviceInfoList(DevSet set) override;
    Win32Error GetClassDescription(const Guid &cls, U16 *out) override;
    Win32Error GetDeviceRegistryProperty(DevSet set, const DevData &dev, std::uint32_t property,
                                         std::uint32_t bufferSize, Bytes *data, std::uint32_t *needed) override;
    Win32Error SetDeviceRegistryProperty(DevSet set, const DevData &dev, std::uint32_t property,
                                         const Bytes &data) override;
    Win32Error QueryClassValue(const Guid &cls, const U16 &name, std::uint32_t bufferSize, Bytes *data) override;
    Win32Error SetClassMultiSz(const Guid &cls, const U16 &name, const Bytes &data) override;
    bool ClassIcon(const Guid &cls, Icon16 *out) override;
    Win32Error PortIoControl(const U16 &portName, std::uint32_t ioctl, const Bytes &input, std::uint32_t outputSize,
                             Bytes *output, std::uint32_t *information) override;
    bool ResolveHostV4(const std::string &host, std::array<std::uint8_t, 4> *out) override;
    Win32Error InstallDevice(const U16 &infPath, const U16 &hardwareId) override;
    Win32Error RemoveDevice(DevSet set, const DevData &dev) override;
    Win32Error InstallFilterService(const U16 &filePath, U16 *serviceName) override;
    Win32Error LoadVersionInfo(const U16 &file, Bytes *blob) override;
    bool QueryVersionValue(const Bytes &blob, const U16 &subBlock, Bytes *value) override;
    Win32Error ShellOpen(const U16 &url) override;
    U16 SystemMessage(Win32Error code) override;

private:
    template <class Req, class Resp>
    Win32Error Transact(const Req &request, Resp *response);
    void Drop();
    // The host has closed the connection (an idle session).
    bool ClosedByHost() const;

    std::string path_;
    int fd_ = -1;
    int liveSets_ = 0;  // device sets made on this connection and not destroyed
};

}  // namespace plat
