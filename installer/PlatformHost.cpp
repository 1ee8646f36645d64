#include "PlatformHost.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/filterservice.h"
#include "common/multisz.h"
#include "common/sysmsg.h"
#include "common/version.h"

extern char **environ;

namespace plat {

using namespace quorvel;
using namespace quorvel::ctl;

namespace {

// The program's own version resource, kept as key/value pairs (UTF-16 sub-block, raw value).
Bytes BuiltInVersionBlob()
{
    Writer w;
    auto add = [&w](const char16_t *key, Bytes value) {
        w(U16(key));
        w(value);
    };
    auto text = [](const char *utf8) {
        U16 s = Utf8ToUtf16(utf8);
        Bytes b;
        for (char16_t c : s) {
            b.push_back(static_cast<std::uint8_t>(c));
            b.push_back(static_cast<std::uint8_t>(c >> 8));
        }
        b.push_back(0);
        b.push_back(0);
        return b;
    };
    add(u"\\VarFileInfo\\Translation", Bytes{0x19, 0x04, 0xE3, 0x04});
    add(u"\\StringFileInfo\\041904e3\\ProductName", text("Конфигуратор порта Quorvel"));
    add(u"\\StringFileInfo\\041904e3\\FileVersion", text(QUORVEL_VERSION));
    add(u"\\StringFileInfo\\041904e3\\FileDescription", text("Конфигуратор порта Quorvel"));
    return std::move(w.bytes());
}

// Never more than the caller's buffer, whatever the other side sent.
void AssignAtMost(Bytes *out, const Bytes &in, std::uint32_t limit)
{
    out->assign(in.begin(), in.begin() + std::min<std::size_t>(in.size(), limit));
}

}  // namespace

PlatformHost::PlatformHost(std::string socketPath) : path_(std::move(socketPath)) {}

PlatformHost::~PlatformHost() { Drop(); }

std::string PlatformHost::SocketPathFor(const std::string &stateDir) { return stateDir + "/control.sock"; }

bool PlatformHost::Connect(std::string *errorText)
{
    Drop();
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path_.size() >= sizeof addr.sun_path) {
        if (errorText) *errorText = "путь к сокету слишком длинный: " + path_;
        return false;
    }
    std::memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        if (errorText) *errorText = std::strerror(errno);
        return false;
    }
    if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        int err = errno;
        ::close(fd);
        if (errorText) *errorText = path_ + ": " + std::strerror(err);
        return false;
    }
    fd_ = fd;
    return true;
}

void PlatformHost::Drop()
{
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    liveSets_ = 0;  // the host frees a session's sets with it
}

bool PlatformHost::ClosedByHost() const
{
    pollfd p{fd_, POLLIN | POLLRDHUP, 0};
    if (::poll(&p, 1, 0) <= 0) return false;
    char c;
    return (p.revents & (POLLHUP | POLLRDHUP | POLLERR)) || ::recv(fd_, &c, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

template <class Req, class Resp>
Win32Error PlatformHost::Transact(const Req &request, Resp *response)
{
    // The host closes a session that stays idle and holds no device sets; nothing is lost then,
    // so the next call opens a new one.
    if (fd_ >= 0 && liveSets_ == 0 && ClosedByHost() && !Connect(nullptr)) return ERROR_BROKEN_PIPE;
    if (fd_ < 0) return ERROR_BROKEN_PIPE;
    Bytes body;
    if (!SendFrame(fd_, EncodeRequest(request)) || !ReceiveFrame(fd_, &body)) {
        Drop();
        return ERROR_BROKEN_PIPE;
    }
    ResponseHeader header;
    if (!DecodeResponseHeader(body, &header) || header.op != Req::kOp) {
        // Out of step with the host: nothing later on this connection can be trusted.
        Drop();
        return ERROR_INVALID_DATA;
    }
    if (header.version != kProtocolVersion) return header.error != 0 ? header.error : ERROR_REVISION_MISMATCH;
    Resp decoded;
    if (!DecodeFields(body, kResponseHeaderSize, &decoded)) {
        // An error answer may come without fields (an unknown operation, say).
        if (header.error != 0 && body.size() == kResponseHeaderSize) return header.error;
        Drop();
        return ERROR_INVALID_DATA;
    }
    *response = std::move(decoded);
    return header.error;
}

Win32Error PlatformHost::GetClassDevs(const Guid *cls, std::uint32_t flags, DevSet *out)
{
    GetClassDevsRequest req;
    req.hasClass = cls != nullptr;
    if (cls) req.classGuid = *cls;
    req.flags = flags;
    GetClassDevsResponse resp;
    Win32Error err = Transact(req, &resp);
    *out = err == 0 ? resp.set : kNoDevSet;
    if (err == 0) ++liveSets_;
    return err;
}

Win32Error PlatformHost::EnumDeviceInfo(DevSet set, std::uint32_t index, DevData *out)
{
    EnumDeviceInfoRequest req;
    req.set = set;
    req.index = index;
    EnumDeviceInfoResponse resp;
    Win32Error err = Transact(req, &resp);
    if (err == 0) *out = resp.device;
    return err;
}

void PlatformHost::DestroyDeviceInfoList(DevSet set)
{
    if (set == kNoDevSet) return;
    DestroyDeviceInfoListRequest req;
    req.set = set;
    Empty resp;
    if (Transact(req, &resp) == 0 && liveSets_ > 0) --liveSets_;
}

Win32Error PlatformHost::GetClassDescription(const Guid &cls, U16 *out)
{
    GetClassDescriptionRequest req;
    req.classGuid = cls;
    TextResponse resp;
    Win32Error err = Transact(req, &resp);
    *out = err == 0 ? resp.text : U16();
    return err;
}

Win32Error PlatformHost::GetDeviceRegistryProperty(DevSet set, const DevData &dev, std::uint32_t property,
                                                   std::uint32_t bufferSize, Bytes *data, std::uint32_t *needed)
{
    GetDeviceRegistryPropertyRequest req;
    req.set = set;
    req.device = dev;
    req.property = property;
    req.bufferSize = bufferSize;
    DataResponse resp;
    Win32Error err = Transact(req, &resp);
    if (needed) *needed = resp.needed;
    data->clear();
    if (err == 0) AssignAtMost(data, resp.data, bufferSize);
    return err;
}

Win32Error PlatformHost::SetDeviceRegistryProperty(DevSet set, const DevData &dev, std::uint32_t property,
                                                   const Bytes &data)
{
    SetDeviceRegistryPropertyRequest req;
    req.set = set;
    req.device = dev;
    req.property = property;
    req.data = data;
    Empty resp;
    return Transact(req, &resp);
}

Win32Error PlatformHost::QueryClassValue(const Guid &cls, const U16 &name, std::uint32_t bufferSize, Bytes *data)
{
    QueryClassValueRequest req;
    req.classGuid = cls;
    req.name = name;
    req.bufferSize = bufferSize;
    DataResponse resp;
    Win32Error err = Transact(req, &resp);
    data->clear();
    if (err == 0) AssignAtMost(data, resp.data, bufferSize);
    return err;
}

Win32Error PlatformHost::SetClassMultiSz(const Guid &cls, const U16 &name, const Bytes &data)
{
    SetClassMultiSzRequest req;
    req.classGuid = cls;
    req.name = name;
    req.data = data;
    Empty resp;
    return Transact(req, &resp);
}

bool PlatformHost::ClassIcon(const Guid &, Icon16 *)
{
    // The host has no class image list; the window falls back to its own icons.
    return false;
}

Win32Error PlatformHost::PortIoControl(const U16 &portName, std::uint32_t ioctl, const Bytes &input,
                                       std::uint32_t outputSize, Bytes *output, std::uint32_t *information)
{
    PortIoControlRequest req;
    req.portName = portName;
    req.ioctl = ioctl;
    req.input = input;
    req.outputSize = outputSize;
    PortIoControlResponse resp;
    Win32Error err = Transact(req, &resp);
    if (information) *information = resp.information;
    if (output) {
        output->clear();
        if (err == 0) AssignAtMost(output, resp.output, outputSize);
    }
    return err;
}

bool PlatformHost::ResolveHostV4(const std::string &host, std::array<std::uint8_t, 4> *out)
{
    if (host.empty()) return false;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *result = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0 || result == nullptr) return false;
    const auto *sin = reinterpret_cast<const sockaddr_in *>(result->ai_addr);
    std::memcpy(out->data(), &sin->sin_addr, 4);
    ::freeaddrinfo(result);
    return true;
}

Win32Error PlatformHost::InstallDevice(const U16 &infPath, const U16 &hardwareId)
{
    InstallDeviceRequest req;
    req.infPath = infPath;
    req.hardwareId = hardwareId;
    Empty resp;
    return Transact(req, &resp);
}

Win32Error PlatformHost::RemoveDevice(DevSet set, const DevData &dev)
{
    RemoveDeviceRequest req;
    req.set = set;
    req.device = dev;
    Empty resp;
    return Transact(req, &resp);
}

Win32Error PlatformHost::InstallFilterService(const U16 &filePath, U16 *serviceName)
{
    // The file is read here, with the user's own rights; the host gets its name and bytes.
    *serviceName = U16();
    InstallFilterServiceRequest req;
    req.fileName = FilterFileName(filePath);
    std::string path = Utf16ToUtf8(filePath);
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == EACCES || errno == EPERM ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return ERROR_FILE_NOT_FOUND;
    }
    // One byte more than allowed tells a file that is too large.
    req.content.resize(kMaxFilterFileSize + 1);
    std::size_t got = 0;
    while (got < req.content.size()) {
        ssize_t n = ::read(fd, req.content.data() + got, req.content.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ::close(fd);
            return ERROR_ACCESS_DENIED;
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    if (got > kMaxFilterFileSize) return ERROR_FILE_TOO_LARGE;
    req.content.resize(got);
    TextResponse resp;
    Win32Error err = Transact(req, &resp);
    *serviceName = err == 0 ? resp.text : U16();
    return err;
}

Win32Error PlatformHost::LoadVersionInfo(const U16 &, Bytes *blob)
{
    *blob = BuiltInVersionBlob();
    return ERROR_SUCCESS;
}

bool PlatformHost::QueryVersionValue(const Bytes &blob, const U16 &subBlock, Bytes *value)
{
    Reader r(blob.data(), blob.size());
    while (r.ok() && !r.AtEnd()) {
        U16 key;
        Bytes data;
        r(key);
        r(data);
        if (r.ok() && key == subBlock) {
            *value = std::move(data);
            return true;
        }
    }
    return false;
}

Win32Error PlatformHost::ShellOpen(const U16 &url)
{
    std::string target = Utf16ToUtf8(url);
    char opener[] = "xdg-open";
    char *argv[] = {opener, target.data(), nullptr};
    pid_t pid = 0;
    if (::posix_spawnp(&pid, opener, nullptr, nullptr, argv, environ) != 0) return ERROR_FILE_NOT_FOUND;
    // xdg-open hands the link to the desktop and returns; reap it so no zombie is left.
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return ERROR_SUCCESS;
}

U16 PlatformHost::SystemMessage(Win32Error code) { return Utf8ToUtf16(HostSystemMessage(code)); }

}  // namespace plat
