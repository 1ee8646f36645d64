// The configurator's platform over quorvel-host's control protocol: a Unix socket
// (<state>/control.sock) or a TCP stream to a loopback port that a bridge forwards to it. The host's
// device information sets belong to the connection. A lost connection fails the call under way; the
// next call connects again, and the handles of the lost sets stay invalid.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "Platform.h"
#include "common/controlproto.h"

namespace plat {

// Where the host answers: a Unix socket path, or a loopback IPv4 address and TCP port.
struct HostEndpoint {
    bool tcp = false;
    std::string path;
    std::array<std::uint8_t, 4> address{};
    std::uint16_t port = 0;

    // "127.0.0.1:5020" or "tcp:127.0.0.1:5020"; only loopback addresses, since the protocol has
    // no authentication of its own. False with the reason (UTF-8) in *error.
    static bool ParseTcp(const std::string &text, HostEndpoint *out, std::string *error);
    std::string Describe() const;
};

class PlatformHost : public IPlatform {
public:
    explicit PlatformHost(std::string socketPath);
    explicit PlatformHost(HostEndpoint endpoint);
    ~PlatformHost() override;
    PlatformHost(const PlatformHost &) = delete;
    PlatformHost &operator=(const PlatformHost &) = delete;

    // Connects to the socket; false with the reason in errorText (UTF-8) when no host answers.
    bool Connect(std::string *errorText);
    bool connected() const { return socket_ != kNoSocket; }
    const std::string &socketPath() const { return endpoint_.path; }

    // How long a request waits for its answer before the connection is given up.
    void SetReplyTimeout(std::chrono::milliseconds timeout) { replyTimeout_ = timeout; }

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
    using Socket = std::intptr_t;  // a SOCKET on Windows, a descriptor elsewhere
    static constexpr Socket kNoSocket = -1;

    template <class Req, class Resp>
    Win32Error Transact(const Req &request, Resp *response, bool mayConnect = true);
    // One request frame out and its answer in, within the reply timeout.
    Win32Error Exchange(const Bytes &frame, Bytes *body);
    Win32Error EnsureConnected();
    Win32Error ConnectedSet(DevSet set, DevSet *hostSet);
    void Drop();
    // The host has closed the connection (an idle session, or a host that went away).
    bool ClosedByHost() const;
    // The host's handle of one of this session's sets; 0 with ERROR_INVALID_HANDLE for a set of a
    // lost session or one never handed out.
    Win32Error HostSet(DevSet set, DevSet *hostSet) const;

    HostEndpoint endpoint_;
    Socket socket_ = kNoSocket;
    bool answeredOnce_ = false;  // this connection has carried an answer
    std::uint64_t session_ = 0;  // counts connections; a set is valid in its own only
    struct SetEntry {
        std::uint64_t session;
        DevSet hostSet;
    };
    std::map<DevSet, SetEntry> sets_;  // handed-out handle -> the host's set
    DevSet nextHandle_ = 1;
    std::chrono::milliseconds replyTimeout_{30000};
};

// The configurator's platform over a TCP stream ("127.0.0.1:PORT", "tcp:" optional); null when the
// text is not a loopback address and port, or when nothing answers there. Behind a bridge the host
// itself may still be missing: the first call then fails with ERROR_PIPE_NOT_CONNECTED.
std::unique_ptr<IPlatform> MakeHostPlatformTcp(const std::string &hostPort);

}  // namespace plat
