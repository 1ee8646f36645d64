#include "PlatformHost.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#ifdef _WIN32
// common/wintypes.h has brought in winsock2.h and windows.h.
#include <shellapi.h>
#include <ws2tcpip.h>
#else
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;
#endif

#include "common/filterservice.h"
#include "common/multisz.h"
#include "common/sysmsg.h"
#include "common/version.h"

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

namespace {

using Socket = std::intptr_t;
constexpr Socket kNoSocket = -1;
using Clock = std::chrono::steady_clock;

#ifdef _WIN32
bool NetworkReady()
{
    // Winsock is started once for the program and left running until it exits.
    static const bool ready = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return ready;
}
void CloseSocket(Socket s) { ::closesocket(static_cast<SOCKET>(s)); }
bool WouldBlock() { return WSAGetLastError() == WSAEWOULDBLOCK; }
bool Interrupted() { return WSAGetLastError() == WSAEINTR; }
std::string NetErrorText() { return "ошибка Winsock " + std::to_string(WSAGetLastError()); }

// > 0 ready, 0 time out, < 0 failure.
int WaitReady(Socket s, bool forWrite, int ms)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(static_cast<SOCKET>(s), &set);
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    return ::select(0, forWrite ? nullptr : &set, forWrite ? &set : nullptr, nullptr, &tv);
}
long SendSome(Socket s, const std::uint8_t *p, std::size_t n)
{
    return ::send(static_cast<SOCKET>(s), reinterpret_cast<const char *>(p), int(std::min<std::size_t>(n, 1 << 20)), 0);
}
long ReceiveSome(Socket s, std::uint8_t *p, std::size_t n, bool peek = false)
{
    return ::recv(static_cast<SOCKET>(s), reinterpret_cast<char *>(p), int(std::min<std::size_t>(n, 1 << 20)),
                  peek ? MSG_PEEK : 0);
}
bool SetNonBlocking(Socket s)
{
    u_long on = 1;
    return ::ioctlsocket(static_cast<SOCKET>(s), FIONBIO, &on) == 0;
}
#else
bool NetworkReady() { return true; }
void CloseSocket(Socket s) { ::close(static_cast<int>(s)); }
bool WouldBlock() { return errno == EAGAIN || errno == EWOULDBLOCK; }
bool Interrupted() { return errno == EINTR; }
std::string NetErrorText() { return std::strerror(errno); }

int WaitReady(Socket s, bool forWrite, int ms)
{
    pollfd p{static_cast<int>(s), short(forWrite ? POLLOUT : POLLIN), 0};
    return ::poll(&p, 1, ms);
}
long SendSome(Socket s, const std::uint8_t *p, std::size_t n)
{
    return ::send(static_cast<int>(s), p, n, MSG_NOSIGNAL);
}
long ReceiveSome(Socket s, std::uint8_t *p, std::size_t n, bool peek = false)
{
    return ::recv(static_cast<int>(s), p, n, peek ? MSG_PEEK : 0);
}
bool SetNonBlocking(Socket s)
{
    int flags = ::fcntl(static_cast<int>(s), F_GETFL);
    return flags >= 0 && ::fcntl(static_cast<int>(s), F_SETFL, flags | O_NONBLOCK) == 0;
}
#endif

int MillisecondsLeft(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : int(std::min<long long>(left, 60000));
}

enum class Io { Done, Closed, TimedOut };

// Every byte out or in before the deadline; Closed when the other side went away or failed.
Io SendAll(Socket s, const Bytes &data, Clock::time_point deadline)
{
    std::size_t done = 0;
    while (done < data.size()) {
        long n = SendSome(s, data.data() + done, data.size() - done);
        if (n > 0) {
            done += std::size_t(n);
            continue;
        }
        if (n < 0 && Interrupted()) continue;
        if (n == 0 || !WouldBlock()) return Io::Closed;
        int ready = WaitReady(s, true, MillisecondsLeft(deadline));
        if (ready == 0) return Io::TimedOut;
        if (ready < 0 && !Interrupted()) return Io::Closed;
    }
    return Io::Done;
}

Io ReceiveAll(Socket s, std::uint8_t *p, std::size_t size, Clock::time_point deadline, std::size_t *got)
{
    while (*got < size) {
        long n = ReceiveSome(s, p + *got, size - *got);
        if (n > 0) {
            *got += std::size_t(n);
            continue;
        }
        if (n == 0) return Io::Closed;
        if (Interrupted()) continue;
        if (!WouldBlock()) return Io::Closed;
        int ready = WaitReady(s, false, MillisecondsLeft(deadline));
        if (ready == 0) return Io::TimedOut;
        if (ready < 0 && !Interrupted()) return Io::Closed;
    }
    return Io::Done;
}

bool IsLoopback(const std::array<std::uint8_t, 4> &a) { return a[0] == 127; }

// Up to buffer->size() bytes of a regular file, read with the user's own rights.
Win32Error ReadAtMost(const U16 &file, Bytes *buffer, std::size_t *got)
{
    *got = 0;
#ifdef _WIN32
    std::wstring name(file.begin(), file.end());
    HANDLE h = ::CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                             nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return ::GetLastError() == ERROR_ACCESS_DENIED ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
    Win32Error err = ERROR_SUCCESS;
    while (*got < buffer->size()) {
        DWORD n = 0;
        DWORD want = DWORD(std::min<std::size_t>(buffer->size() - *got, 1 << 20));
        if (!::ReadFile(h, buffer->data() + *got, want, &n, nullptr)) {
            err = ERROR_ACCESS_DENIED;
            break;
        }
        if (n == 0) break;
        *got += n;
    }
    ::CloseHandle(h);
    return err;
#else
    std::string path = Utf16ToUtf8(file);
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == EACCES || errno == EPERM ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return ERROR_FILE_NOT_FOUND;
    }
    Win32Error err = ERROR_SUCCESS;
    while (*got < buffer->size()) {
        ssize_t n = ::read(fd, buffer->data() + *got, buffer->size() - *got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            err = ERROR_ACCESS_DENIED;
            break;
        }
        if (n == 0) break;
        *got += std::size_t(n);
    }
    ::close(fd);
    return err;
#endif
}

}  // namespace

bool HostEndpoint::ParseTcp(const std::string &text, HostEndpoint *out, std::string *error)
{
    std::string rest = text.rfind("tcp:", 0) == 0 ? text.substr(4) : text;
    auto fail = [&](const std::string &why) {
        if (error) *error = why + ": " + text;
        return false;
    };
    std::size_t colon = rest.rfind(':');
    if (colon == std::string::npos) return fail("нужен адрес и порт (127.0.0.1:ПОРТ)");
    unsigned a[4];
    unsigned port = 0;
    char tail = 0;
    std::string address = rest.substr(0, colon), portText = rest.substr(colon + 1);
    if (std::sscanf(address.c_str(), "%3u.%3u.%3u.%3u%c", &a[0], &a[1], &a[2], &a[3], &tail) != 4 || a[0] > 255 ||
        a[1] > 255 || a[2] > 255 || a[3] > 255)
        return fail("адрес не IPv4");
    if (portText.empty() || portText.size() > 5 || portText.find_first_not_of("0123456789") != std::string::npos ||
        (port = unsigned(std::stoul(portText))) == 0 || port > 65535)
        return fail("порт вне диапазона 1..65535");
    HostEndpoint e;
    e.tcp = true;
    for (int i = 0; i < 4; ++i) e.address[i] = std::uint8_t(a[i]);
    e.port = std::uint16_t(port);
    if (!IsLoopback(e.address)) return fail("только адреса 127.x.x.x");
    *out = e;
    return true;
}

std::string HostEndpoint::Describe() const
{
    if (!tcp) return path;
    char text[32];
    std::snprintf(text, sizeof text, "tcp:%u.%u.%u.%u:%u", address[0], address[1], address[2], address[3], port);
    return text;
}

PlatformHost::PlatformHost(std::string socketPath) { endpoint_.path = std::move(socketPath); }

PlatformHost::PlatformHost(HostEndpoint endpoint) : endpoint_(std::move(endpoint)) {}

PlatformHost::~PlatformHost() { Drop(); }

std::string PlatformHost::SocketPathFor(const std::string &stateDir) { return stateDir + "/control.sock"; }

bool PlatformHost::Connect(std::string *errorText)
{
    Drop();
    auto fail = [&](Socket s, const std::string &why) {
        if (s != kNoSocket) CloseSocket(s);
        if (errorText) *errorText = endpoint_.Describe() + ": " + why;
        return false;
    };
    if (!NetworkReady()) return fail(kNoSocket, NetErrorText());
    Socket s = kNoSocket;
    int rc = -1;
    if (endpoint_.tcp) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(endpoint_.port);
        std::memcpy(&addr.sin_addr, endpoint_.address.data(), 4);
        s = Socket(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
#ifdef _WIN32
        if (static_cast<SOCKET>(s) == INVALID_SOCKET) return fail(kNoSocket, NetErrorText());
#else
        if (s < 0) return fail(kNoSocket, NetErrorText());
        ::fcntl(int(s), F_SETFD, FD_CLOEXEC);
#endif
        // A loopback connect is answered at once: refused, or taken by the listener's backlog.
        rc = ::connect(s, reinterpret_cast<const sockaddr *>(&addr), sizeof addr);
        int one = 1;
        ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&one), sizeof one);
    } else {
#ifdef _WIN32
        return fail(kNoSocket, "на Windows нужен адрес tcp:127.0.0.1:ПОРТ");
#else
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (endpoint_.path.size() >= sizeof addr.sun_path) return fail(kNoSocket, "путь к сокету слишком длинный");
        std::memcpy(addr.sun_path, endpoint_.path.c_str(), endpoint_.path.size() + 1);
        s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (s < 0) return fail(kNoSocket, NetErrorText());
        // Non-blocking: a host whose backlog is full refuses at once instead of holding the window.
        rc = ::connect(int(s), reinterpret_cast<const sockaddr *>(&addr), sizeof addr);
#endif
    }
    if (rc != 0) return fail(s, NetErrorText());
    if (!SetNonBlocking(s)) return fail(s, NetErrorText());
    socket_ = s;
    answeredOnce_ = false;
    ++session_;
    return true;
}

void PlatformHost::Drop()
{
    if (socket_ != kNoSocket) CloseSocket(socket_);
    socket_ = kNoSocket;
    // The host frees a session's sets with it; their handles stay in sets_, marked by their session,
    // so that a later use fails instead of reaching a set of the next session.
}

bool PlatformHost::ClosedByHost() const
{
    if (WaitReady(socket_, false, 0) <= 0) return false;
    // Readable between requests: the host hung up (nothing else is ever sent unasked).
    std::uint8_t c;
    long n = ReceiveSome(socket_, &c, 1, true);
    return n == 0 || (n < 0 && !WouldBlock());
}

Win32Error PlatformHost::HostSet(DevSet set, DevSet *hostSet) const
{
    auto it = sets_.find(set);
    if (it == sets_.end() || it->second.session != session_ || socket_ == kNoSocket) return ERROR_INVALID_HANDLE;
    *hostSet = it->second.hostSet;
    return ERROR_SUCCESS;
}

Win32Error PlatformHost::Exchange(const Bytes &frame, Bytes *body)
{
    const auto deadline = Clock::now() + replyTimeout_;
    // A connection that broke before its first answer never reached a host: under a TCP bridge the
    // bridge accepts and then finds no host behind it.
    const Win32Error closed = answeredOnce_ ? ERROR_BROKEN_PIPE : ERROR_PIPE_NOT_CONNECTED;
    Io io = SendAll(socket_, frame, deadline);
    std::uint8_t prefix[4];
    std::size_t got = 0;
    if (io == Io::Done) io = ReceiveAll(socket_, prefix, 4, deadline, &got);
    if (io == Io::Done) {
        std::uint32_t length = prefix[0] | (prefix[1] << 8) | (prefix[2] << 16) | (std::uint32_t(prefix[3]) << 24);
        if (length > ctl::kMaxFrameBody) return ERROR_INVALID_DATA;
        body->resize(length);
        std::size_t bodyGot = 0;
        io = ReceiveAll(socket_, body->data(), length, deadline, &bodyGot);
        got += bodyGot;
    }
    switch (io) {
    case Io::Done: return ERROR_SUCCESS;
    case Io::TimedOut: return ERROR_SEM_TIMEOUT;
    case Io::Closed: break;
    }
    return got > 0 ? ERROR_BROKEN_PIPE : closed;
}

Win32Error PlatformHost::EnsureConnected()
{
    // A connection the host closed (for idling, or because it stopped) is opened again.
    if (socket_ != kNoSocket && ClosedByHost()) Drop();
    if (socket_ == kNoSocket && !Connect(nullptr)) return ERROR_PIPE_NOT_CONNECTED;
    return ERROR_SUCCESS;
}

Win32Error PlatformHost::ConnectedSet(DevSet set, DevSet *hostSet)
{
    // No host is the clearer report; with one, a set of a lost session is invalid.
    if (Win32Error err = EnsureConnected()) return err;
    return HostSet(set, hostSet);
}

template <class Req, class Resp>
Win32Error PlatformHost::Transact(const Req &request, Resp *response, bool mayConnect)
{
    // A request goes out once only: one lost with its connection is reported, never repeated. One
    // naming a set goes on the set's own connection or nowhere.
    if (mayConnect) {
        if (Win32Error err = EnsureConnected()) return err;
    } else if (socket_ == kNoSocket) {
        return ERROR_INVALID_HANDLE;
    }
    Bytes body;
    if (Win32Error err = Exchange(EncodeRequest(request), &body)) {
        Drop();
        return err;
    }
    answeredOnce_ = true;
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
    *out = kNoDevSet;
    GetClassDevsRequest req;
    req.hasClass = cls != nullptr;
    if (cls) req.classGuid = *cls;
    req.flags = flags;
    GetClassDevsResponse resp;
    Win32Error err = Transact(req, &resp);
    if (err != 0) return err;
    // Handles are the client's own, never reused: one of a lost session cannot name a set of the next.
    DevSet handle = nextHandle_++;
    sets_[handle] = SetEntry{session_, resp.set};
    *out = handle;
    return ERROR_SUCCESS;
}

Win32Error PlatformHost::EnumDeviceInfo(DevSet set, std::uint32_t index, DevData *out)
{
    EnumDeviceInfoRequest req;
    if (Win32Error err = ConnectedSet(set, &req.set)) return err;
    req.index = index;
    EnumDeviceInfoResponse resp;
    Win32Error err = Transact(req, &resp, false);
    if (err == 0) *out = resp.device;
    return err;
}

void PlatformHost::DestroyDeviceInfoList(DevSet set)
{
    DestroyDeviceInfoListRequest req;
    bool live = HostSet(set, &req.set) == 0;
    sets_.erase(set);
    if (!live) return;
    Empty resp;
    // On failure the session is gone, and the host freed the set with it.
    (void)Transact(req, &resp, false);
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
    data->clear();
    if (Win32Error err = ConnectedSet(set, &req.set)) return err;
    req.device = dev;
    req.property = property;
    req.bufferSize = bufferSize;
    DataResponse resp;
    Win32Error err = Transact(req, &resp, false);
    if (needed) *needed = resp.needed;
    if (err == 0) AssignAtMost(data, resp.data, bufferSize);
    return err;
}

Win32Error PlatformHost::SetDeviceRegistryProperty(DevSet set, const DevData &dev, std::uint32_t property,
                                                   const Bytes &data)
{
    SetDeviceRegistryPropertyRequest req;
    if (Win32Error err = ConnectedSet(set, &req.set)) return err;
    req.device = dev;
    req.property = property;
    req.data = data;
    Empty resp;
    return Transact(req, &resp, false);
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
    if (host.empty() || !NetworkReady()) return false;
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
    if (Win32Error err = ConnectedSet(set, &req.set)) return err;
    req.device = dev;
    Empty resp;
    return Transact(req, &resp, false);
}

Win32Error PlatformHost::InstallFilterService(const U16 &filePath, U16 *serviceName)
{
    // The file is read here, with the user's own rights; the host gets its name and bytes.
    *serviceName = U16();
    InstallFilterServiceRequest req;
    req.fileName = FilterFileName(filePath);
    // One byte more than allowed tells a file that is too large.
    std::size_t got = 0;
    req.content.resize(kMaxFilterFileSize + 1);
    if (Win32Error err = ReadAtMost(filePath, &req.content, &got)) return err;
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
#ifdef _WIN32
    std::wstring target(url.begin(), url.end());
    auto rc =
        reinterpret_cast<INT_PTR>(::ShellExecuteW(nullptr, L"open", target.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
    return rc > 32 ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
#else
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
#endif
}

U16 PlatformHost::SystemMessage(Win32Error code) { return Utf8ToUtf16(HostSystemMessage(code)); }

std::unique_ptr<IPlatform> MakeHostPlatformTcp(const std::string &hostPort)
{
    HostEndpoint endpoint;
    if (!HostEndpoint::ParseTcp(hostPort, &endpoint, nullptr)) return nullptr;
    auto host = std::make_unique<PlatformHost>(std::move(endpoint));
    if (!host->Connect(nullptr)) return nullptr;
    return host;
}

}  // namespace plat
