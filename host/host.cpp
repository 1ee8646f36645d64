#include "host.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include <ntddser.h>
#include <wdm.h>

#include "common/counters.h"
#include "common/ethrecord.h"
#include "common/filterservice.h"
#include "common/multisz.h"
#include "ctlargs.h"
#include "inf.h"
#include "lockorder.h"
#include "monitorlog.h"
#include "qv/io.h"
#include "qv/platform.h"
#include "qv/pnp.h"
#include "qv/registry.h"
#include "qv/tdi.h"
#include "qv/win32comm.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace quorvel {

using hostctl::Utf16;
using hostctl::Utf8;

namespace {

constexpr char kService[] = "Quorvel";
constexpr char kClassRoot[] = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\";
constexpr char kServicesRoot[] = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\";
constexpr Win32Error kErrorNoSuchDevinst = 0xE000020B;
constexpr Win32Error kErrorInvalidClass = 0xE0000206;
constexpr Win32Error kErrorCantRemoveDevinst = 0xE0000232;
// A port request that has not ended after this long is cancelled; one that does not end after
// the cancel either is given up (its buffers stay allocated for the driver).
constexpr auto kPortRequestBound = std::chrono::seconds(5);
// A monitor read waits this long for an event; the driver is asked this often meanwhile.
constexpr auto kMonitorReadBound = std::chrono::milliseconds(1000);
constexpr auto kMonitorPollInterval = std::chrono::milliseconds(20);
constexpr std::size_t kMaxMonitorsPerSession = 4;
constexpr Win32Error kErrorTooManyOpenFiles = 4;
constexpr auto kPortRequestCancelBound = std::chrono::seconds(5);
constexpr ULONG kRegSz = 1;
constexpr ULONG kRegMultiSz = 7;

std::string Upper(std::string s)
{
    for (char &c : s) c = char(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// Reads a regular file of at most `limit` bytes; false when it cannot be read or is longer.
bool ReadSmallFile(const std::string &path, std::size_t limit, ctl::Bytes *out)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;
    ctl::Bytes data(limit + 1);
    std::size_t got = 0;
    while (got < data.size()) {
        ssize_t n = read(fd, data.data() + got, data.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            close(fd);
            return false;
        }
        if (n == 0) break;
        got += std::size_t(n);
    }
    close(fd);
    if (got > limit) return false;
    data.resize(got);
    *out = std::move(data);
    return true;
}

// A filter file's name as the host takes it: "name.sys", nothing that could leave the folder.
bool ValidFilterFileName(const std::string &name)
{
    if (name.size() <= 4 || name.size() > 255 || name[0] == '.') return false;
    for (char c : name)
        if (static_cast<unsigned char>(c) < 0x20 || c == '/' || c == '\\' || c == ':') return false;
    return Upper(name.substr(name.size() - 4)) == ".SYS";
}

// Writes a new file of mode 0644 in `dir` under a temporary name and renames it to `name`.
bool WriteNewFile(const std::filesystem::path &dir, const std::string &name, const ctl::Bytes &content,
                  std::string *reason)
{
    std::string temp = (dir / ("." + name + ".XXXXXX")).string();
    int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        *reason = std::strerror(errno);
        return false;
    }
    std::size_t done = 0;
    bool ok = true;
    while (ok && done < content.size()) {
        ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += std::size_t(n);
    }
    ok = ok && fchmod(fd, 0644) == 0 && fsync(fd) == 0;
    int error = errno;
    close(fd);
    if (ok && rename(temp.c_str(), (dir / name).c_str()) != 0) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        unlink(temp.c_str());
        *reason = std::strerror(error ? error : ENOSPC);
    }
    return ok;
}

std::u16string PortPath(const std::string &name) { return u"\\\\.\\" + Utf16(name); }

// REG_SZ / REG_MULTI_SZ data as UTF-16LE bytes with terminators.
ctl::Bytes Utf16Bytes(const std::u16string &text)
{
    ctl::Bytes out;
    for (char16_t c : text) {
        out.push_back(std::uint8_t(c & 0xFF));
        out.push_back(std::uint8_t(c >> 8));
    }
    return out;
}
ctl::Bytes SzBytes(const std::string &text) { return Utf16Bytes(Utf16(text) + u'\0'); }
ctl::Bytes MultiSzBytes(const std::vector<std::string> &items)
{
    std::u16string all;
    for (auto &s : items) all += Utf16(s) + u'\0';
    all += u'\0';
    return Utf16Bytes(all);
}

std::string EnumKeyOf(const qv::PnpNodeInfo &node)
{
    const std::string suffix = "\\Device Parameters";
    std::string key = node.DeviceKey;
    if (key.size() > suffix.size() && key.compare(key.size() - suffix.size(), suffix.size(), suffix) == 0)
        key.resize(key.size() - suffix.size());
    return key;
}

std::string GuidText(const Guid &g) { return GuidToString(g); }

// Answers a value read with the needed size, the 122/234 convention of the caller's buffer size.
Win32Error FitData(const ctl::Bytes &value, std::uint32_t bufferSize, Win32Error tooSmall, ctl::DataResponse *resp)
{
    resp->needed = std::uint32_t(value.size());
    if (value.size() > bufferSize) return tooSmall;
    resp->data = value;
    return 0;
}

std::vector<PDEVICE_OBJECT> StackOf(const std::string &instanceId)
{
    std::vector<PDEVICE_OBJECT> stack;
    for (PDEVICE_OBJECT d = qv::PnpPhysicalDevice(instanceId); d != nullptr; d = d->AttachedDevice) stack.push_back(d);
    return stack;
}

}  // namespace

struct Host::Session {};

Host::Host(HostOptions options, LogFunction log) : options_(std::move(options)), log_(std::move(log)) {}

Host::~Host() { Stop(); }

bool Host::Start(std::string *error)
{
    qv::BootConfig config;
    config.StateDirectory = options_.stateDir;
    config.DbgPrintToStderr = options_.debug;
    // A port's DPCs run on the thread that queued them, as on the processor that queued them:
    // a request and its reply then cross no thread but the bridge's and the network's.
    config.InlineDpcs = true;
    // The driver's prints are for --debug only.
    config.CaptureDbgPrint = false;
    // The driver's expected warnings (sockets opened and closed under its connection mutex)
    // would fill the log at every connection; --debug shows them.
    config.VerifierWarningsToStderr = options_.debug;
    NTSTATUS status = qv::PlatformBoot(config);
    if (!NT_SUCCESS(status)) {
        std::string reason = qv::RegistryStartupError();
        std::ostringstream s;
        s << "platform boot failed (status 0x" << std::hex << ULONG(status) << ")";
        if (!reason.empty()) s << ": " << reason;
        *error = s.str();
        return false;
    }
    booted_ = true;
    // The driver names each port's locks as it adds the device; a nesting it forbids is then
    // printed like any other violation.
    qv::VerifierForbidNestings(QuorvelForbiddenNesting);
    qv::PnpRegisterDriver(kService, DriverEntry);
    qv::PnpStartPersistedNodes();
    std::lock_guard<std::recursive_mutex> guard(lock_);
    for (auto &node : qv::PnpListNodes()) {
        if (Upper(node.Service) != Upper(kService)) continue;
        if (!node.Started) {
            log_(node.InstanceId + ": port " + node.PortName + " did not start");
            continue;
        }
        StartBridge(node.PortName);
    }
    monitor_ = std::thread([this] { Monitor(); });
    return true;
}

void Host::Monitor()
{
    std::unique_lock<std::mutex> wait(monitorLock_);
    while (!monitorWake_.wait_for(wait, std::chrono::milliseconds(250), [&] { return monitorStop_; })) {
        std::map<std::string, std::string> now;
        {
            std::lock_guard<std::recursive_mutex> guard(lock_);
            std::vector<qv::TdiEndpointInfo> endpoints = qv::TdiListEndpoints();
            for (auto &node : qv::PnpListNodes()) {
                if (!node.HasDevice || node.PortName.empty()) continue;
                std::vector<PDEVICE_OBJECT> stack = StackOf(node.InstanceId);
                for (auto &ep : endpoints) {
                    if (ep.RemoteAddress == 0 || std::find(stack.begin(), stack.end(), ep.Owner) == stack.end())
                        continue;
                    char server[32];
                    std::snprintf(server, sizeof(server), "%u.%u.%u.%u:%u", unsigned(ep.RemoteAddress >> 24) & 0xFF,
                                  unsigned(ep.RemoteAddress >> 16) & 0xFF, unsigned(ep.RemoteAddress >> 8) & 0xFF,
                                  unsigned(ep.RemoteAddress) & 0xFF, unsigned(ep.RemotePort));
                    std::string &state = now[node.PortName + ": link " + server];
                    if (state != "connected") state = qv::TdiEndpointStateName(ep.State);
                }
            }
        }
        for (auto &[key, state] : now) {
            bool up = state == "connected";
            auto it = linkStates_.find(key);
            bool wasUp = it != linkStates_.end() && it->second == "connected";
            if (up != wasUp) log_(key + (up ? " up" : " down (" + state + ")"));
        }
        for (auto &[key, state] : linkStates_)
            if (state == "connected" && !now.count(key)) log_(key + " down");
        linkStates_ = std::move(now);
    }
}

void Host::Stop()
{
    if (monitor_.joinable()) {
        {
            std::lock_guard<std::mutex> guard(monitorLock_);
            monitorStop_ = true;
        }
        monitorWake_.notify_all();
        monitor_.join();
    }
    // Sessions have ended by now; a monitor handle left by a caller without sessions goes too.
    {
        std::lock_guard<std::mutex> guard(portMonitorLock_);
        for (auto &session : portMonitors_)
            for (auto &m : session.second) CloseHandle(m.second);
        portMonitors_.clear();
    }
    std::lock_guard<std::recursive_mutex> guard(lock_);
    for (auto &[name, bridge] : bridges_) bridge->Stop();
    bridges_.clear();
    if (booted_) {
        qv::PlatformReport report = qv::PlatformShutdown();
        if (!report.Clean()) log_("platform shutdown: " + report.Text());
        booted_ = false;
    }
}

void Host::StartBridge(const std::string &portName)
{
    if (portName.empty() || bridges_.count(Upper(portName))) return;
    // A stored name is a file name in the device folder: only COM1..COM256 make one.
    if (!ValidPortName(portName)) {
        log_("port \"" + portName + "\" is not a COM port name (COM1 to COM256); it gets no terminal");
        return;
    }
    auto bridge = std::make_shared<PortBridge>(Upper(portName), options_.devDir, options_.ptyAccess, log_);
    std::string error;
    if (!bridge->Start(&error)) {
        log_(portName + ": " + error);
        return;
    }
    log_(portName + ": port up at " + bridge->LinkPath() + " -> " + bridge->PtyPath());
    bridges_[Upper(portName)] = std::move(bridge);
}

void Host::SettleJustClosedPort(const std::string &portName)
{
    std::lock_guard<std::recursive_mutex> guard(lock_);
    auto it = bridges_.find(Upper(portName));
    if (it != bridges_.end()) it->second->WaitUntilReleased(std::chrono::seconds(1));
}

std::vector<hostctl::PortEntry> Host::Ports()
{
    std::lock_guard<std::recursive_mutex> guard(lock_);
    std::vector<hostctl::PortEntry> ports;
    for (auto &node : qv::PnpListNodes()) {
        if (Upper(node.Service) != Upper(kService)) continue;
        hostctl::PortEntry e;
        e.name = Utf16(node.PortName);
        e.instanceId = Utf16(node.InstanceId);
        e.started = node.Started;
        ULONG type = 0;
        std::vector<UCHAR> record;
        if (!node.DriverKey.empty() && qv::RegistryReadValue(node.DriverKey, "ETHERNET2", &type, &record))
            e.record.assign(record.begin(), record.end());
        std::vector<UCHAR> options;
        if (!node.DriverKey.empty() && qv::RegistryReadValue(node.DriverKey, "OPTIONS", &type, &options))
            e.options.assign(options.begin(), options.end());
        auto it = bridges_.find(Upper(node.PortName));
        if (it != bridges_.end()) {
            e.ptyPath = Utf16(it->second->PtyPath());
            e.inUse = it->second->InUse();
        }
        ports.push_back(std::move(e));
    }
    std::sort(ports.begin(), ports.end(), [](const auto &a, const auto &b) {
        if (a.name.size() != b.name.size()) return a.name.size() < b.name.size();
        return a.name < b.name;
    });
    return ports;
}

Win32Error Host::AddPort(const std::string &name, std::string *created)
{
    if (!name.empty() && !ValidPortName(name)) return ERROR_INVALID_NAME;
    std::lock_guard<std::recursive_mutex> guard(lock_);
    unsigned long long failures = qv::RegistryStoreFailureCount().Count;
    std::set<std::string> before;
    for (auto &node : qv::PnpListNodes()) before.insert(node.InstanceId);
    // Whatever the failure, no device of this request stays behind.
    auto undo = [&](const std::string &why) {
        for (auto &node : qv::PnpListNodes()) {
            if (before.count(node.InstanceId)) continue;
            NTSTATUS status = qv::PnpRemoveNode(node.InstanceId);
            log_("device " + node.InstanceId + " " + why + "; " +
                 (NT_SUCCESS(status) && !qv::PnpGetNode(node.InstanceId, &node) ? "removed" : "could not be removed"));
        }
    };
    qv::PnpNodeOptions options;
    options.PortName = Upper(name);
    std::string instanceId;
    NTSTATUS status = qv::PnpCreatePortsNode(options, &instanceId);
    if (!NT_SUCCESS(status)) {
        undo("was not created whole");
        if (Win32Error e = StoreOutcome(failures, 0)) return e;
        if (status == STATUS_OBJECT_NAME_COLLISION) return 80;  // ERROR_FILE_EXISTS
        return RtlNtStatusToDosError(status);
    }
    qv::PnpNodeInfo info;
    qv::PnpGetNode(instanceId, &info);
    if (!info.Started) {
        // A device whose driver did not start is removed again, as a failed installation is.
        undo("did not start");
        if (Win32Error e = StoreOutcome(failures, 0)) return e;
        return ERROR_GEN_FAILURE;
    }
    if (Win32Error e = StoreOutcome(failures, 0)) {
        undo("was not saved");
        return e;
    }
    *created = info.PortName;
    log_(info.PortName + ": device " + instanceId + " created");
    StartBridge(info.PortName);
    return 0;
}

Win32Error Host::RemoveInstance(const std::string &instanceId)
{
    qv::PnpNodeInfo info;
    if (!qv::PnpGetNode(instanceId, &info)) return kErrorNoSuchDevinst;
    SettleJustClosedPort(info.PortName);
    auto it = bridges_.find(Upper(info.PortName));
    if (it != bridges_.end() && it->second->InUse()) return ERROR_ACCESS_DENIED;
    // The bridge goes first so that no program can take the port between the check and the
    // removal; it comes back if the driver refuses.
    std::shared_ptr<PortBridge> bridge;
    if (it != bridges_.end()) {
        bridge = std::move(it->second);
        bridges_.erase(it);
        bridge->Stop();
    }
    unsigned long long failures = qv::RegistryStoreFailureCount().Count;
    NTSTATUS status = qv::PnpRemoveNode(instanceId);
    if (!NT_SUCCESS(status)) {
        log_(info.PortName + ": removal refused (status 0x" + [&] {
            std::ostringstream s;
            s << std::hex << ULONG(status);
            return s.str();
        }() + ")");
        if (bridge) StartBridge(info.PortName);
        if (Win32Error e = StoreOutcome(failures, 0)) return e;
        return kErrorCantRemoveDevinst;
    }
    if (Win32Error e = StoreOutcome(failures, 0)) {
        // The device went, but its keys could not be deleted from the store: it is still
        // installed, so it comes back as it is stored.
        qv::PnpNodeInfo still;
        if (qv::PnpGetNode(instanceId, &still)) {
            NTSTATUS restarted = qv::PnpStartNode(instanceId);
            log_(info.PortName + ": removal could not be saved; the port " +
                 (NT_SUCCESS(restarted) ? "stays" : "stays installed but did not start again"));
            if (NT_SUCCESS(restarted)) StartBridge(info.PortName);
        } else {
            log_(info.PortName + ": removal could not be saved whole; the port may return at the next start");
        }
        return e;
    }
    log_(info.PortName + ": device " + instanceId + " removed");
    devInsts_.erase(Upper(instanceId));
    return 0;
}

Win32Error Host::RemovePort(const std::string &name)
{
    if (!ValidPortName(name)) return ERROR_INVALID_NAME;
    std::lock_guard<std::recursive_mutex> guard(lock_);
    for (auto &node : qv::PnpListNodes())
        if (Upper(node.PortName) == Upper(name) && Upper(node.Service) == Upper(kService))
            return RemoveInstance(node.InstanceId);
    return ERROR_FILE_NOT_FOUND;
}

Win32Error Host::PortIoControl(const ctl::PortIoControlRequest &req, ctl::PortIoControlResponse *resp,
                               const std::function<bool()> &clientGone)
{
    std::string name = Utf8(req.portName);
    if (!ValidPortName(name)) return ERROR_INVALID_NAME;
    if (!ctl::PortIoControlAllowed(req.ioctl)) return ERROR_INVALID_FUNCTION;
    if (stopping_) return ERROR_OPERATION_ABORTED;
    SettleJustClosedPort(name);
    // Neither the host's lock nor an unbounded wait: the request runs overlapped and is cancelled
    // when it outlasts its bound, when the client hangs up or when the host stops.
    std::u16string path = PortPath(name);
    HANDLE h = CreateFileW(reinterpret_cast<LPCWSTR>(path.c_str()), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE || h == nullptr) return GetLastError();
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) {
        Win32Error e = GetLastError();
        CloseHandle(h);
        return e;
    }
    // On the heap: a request that ignores its cancel keeps writing into them.
    struct Call {
        OVERLAPPED overlapped{};
        std::vector<std::uint8_t> input, output;
    };
    auto *call = new Call;
    call->input = req.input;
    call->output.resize(std::min<std::uint32_t>(req.outputSize, ctl::kMaxPortIoOutput));
    call->overlapped.hEvent = event;
    DWORD returned = 0;
    BOOL ok = DeviceIoControl(h, req.ioctl, call->input.empty() ? nullptr : call->input.data(),
                              DWORD(call->input.size()), call->output.empty() ? nullptr : call->output.data(),
                              DWORD(call->output.size()), &returned, &call->overlapped);
    Win32Error error = ok ? 0 : GetLastError();
    bool abandoned = false;
    if (!ok && error == ERROR_IO_PENDING) {
        auto deadline = std::chrono::steady_clock::now() + kPortRequestBound;
        while (WaitForSingleObject(event, 50) != WAIT_OBJECT_0) {
            bool gone = clientGone && clientGone();
            if (std::chrono::steady_clock::now() < deadline && !stopping_ && !gone) continue;
            log_(name + ": control request 0x" +
                 [&] {
                     std::ostringstream s;
                     s << std::hex << req.ioctl;
                     return s.str();
                 }() +
                 (gone        ? " cancelled: its client hung up"
                  : stopping_ ? " cancelled: the host stops"
                              : " timed out; cancelled"));
            CancelIoEx(h, &call->overlapped);
            abandoned = WaitForSingleObject(event, DWORD(std::chrono::milliseconds(kPortRequestCancelBound).count())) !=
                        WAIT_OBJECT_0;
            break;
        }
        if (abandoned) {
            log_(name + ": control request did not end after its cancel; given up");
            error = ERROR_OPERATION_ABORTED;
        } else {
            ok = GetOverlappedResult(h, &call->overlapped, &returned, FALSE);
            error = ok ? 0 : GetLastError();
        }
    }
    CloseHandle(h);
    resp->information = ok ? returned : 0;  // as DeviceIoControl: no size on failure
    if (ok) {
        call->output.resize(std::min<std::size_t>(returned, call->output.size()));
        resp->output = std::move(call->output);
    }
    if (!abandoned) {
        CloseHandle(event);
        delete call;
    }
    return error;
}

std::vector<PortMetrics> Host::Metrics()
{
    std::vector<std::shared_ptr<PortBridge>> bridges;
    {
        std::lock_guard<std::recursive_mutex> guard(lock_);
        for (auto &entry : bridges_) bridges.push_back(entry.second);
    }
    std::vector<PortMetrics> out;
    for (auto &bridge : bridges) {
        PortMetrics m;
        m.port = bridge->PortName();
        bridge->WithOpenHandle([&](HANDLE h) {
            std::vector<std::uint8_t> buffer(kEthReadBufferSize);
            DWORD returned = 0;
            if (DeviceIoControl(h, IOCTL_QUORVEL_GET_COUNTERS, nullptr, 0, buffer.data(), DWORD(buffer.size()),
                                &returned, nullptr)) {
                buffer.resize(returned);
                m.open = DecodeCounters(buffer, &m.counters);
            }
        });
        out.push_back(std::move(m));
    }
    return out;
}

Win32Error Host::OpenPortMonitor(const std::string &name, std::uint64_t session, std::uint32_t *id)
{
    if (!ValidPortName(name)) return ERROR_INVALID_NAME;
    if (stopping_) return ERROR_OPERATION_ABORTED;
    {
        std::lock_guard<std::mutex> guard(portMonitorLock_);
        if (portMonitors_[session].size() >= kMaxMonitorsPerSession) return kErrorTooManyOpenFiles;
    }
    // A handle of its own beside the port's: a program may hold the port meanwhile.
    std::u16string path = PortPath(name) + monitor::kMonitorSuffix;
    HANDLE h = CreateFileW(reinterpret_cast<LPCWSTR>(path.c_str()), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE || h == nullptr) return GetLastError();
    ULONG on = 1;
    DWORD returned = 0;
    if (!DeviceIoControl(h, monitor::IOCTL_QUORVEL_MONITOR_START, &on, sizeof(on), nullptr, 0, &returned, nullptr)) {
        Win32Error e = GetLastError();
        CloseHandle(h);
        return e;
    }
    std::lock_guard<std::mutex> guard(portMonitorLock_);
    *id = nextPortMonitor_++;
    portMonitors_[session][*id] = h;
    return 0;
}

Win32Error Host::ReadPortMonitor(std::uint64_t session, std::uint32_t id, ctl::Bytes *events,
                                 const std::function<bool()> &clientGone)
{
    HANDLE h = nullptr;
    {
        // Only this session's thread reads or closes its handles: the handle stays valid unlocked.
        std::lock_guard<std::mutex> guard(portMonitorLock_);
        auto s = portMonitors_.find(session);
        if (s == portMonitors_.end() || !s->second.count(id)) return ERROR_INVALID_HANDLE;
        h = s->second[id];
    }
    // The driver answers at once, with what it has; an empty answer is asked again a little
    // later, up to the bound, so that a quiet port costs the client one round trip a second.
    auto deadline = std::chrono::steady_clock::now() + kMonitorReadBound;
    std::vector<std::uint8_t> buffer(ctl::kMaxPortIoOutput);
    for (;;) {
        DWORD returned = 0;
        if (!DeviceIoControl(h, monitor::IOCTL_QUORVEL_MONITOR_READ, nullptr, 0, buffer.data(), DWORD(buffer.size()),
                             &returned, nullptr))
            return GetLastError();
        std::uint32_t count = 0, lost = 0;
        if (returned >= monitor::kHeaderSize) {
            std::memcpy(&count, buffer.data() + 4, 4);
            std::memcpy(&lost, buffer.data() + 8, 4);
        }
        bool gone = clientGone && clientGone();
        if (count != 0 || lost != 0 || gone || stopping_ || std::chrono::steady_clock::now() >= deadline) {
            buffer.resize(returned);
            *events = std::move(buffer);
            return stopping_ ? ERROR_OPERATION_ABORTED : 0;
        }
        std::this_thread::sleep_for(kMonitorPollInterval);
    }
}

Win32Error Host::PortStatus(const std::string &name, hostctl::PortStatusReply *reply)
{
    if (!ValidPortName(name)) return ERROR_INVALID_NAME;
    // The port's own requests run without the host's lock; the bridge stays alive through its
    // reference even if the port is removed meanwhile.
    std::string instanceId;
    std::shared_ptr<PortBridge> bridge;
    {
        std::lock_guard<std::recursive_mutex> guard(lock_);
        for (auto &node : qv::PnpListNodes())
            if (Upper(node.PortName) == Upper(name) && Upper(node.Service) == Upper(kService))
                instanceId = node.InstanceId;
        auto it = bridges_.find(Upper(name));
        if (it != bridges_.end()) bridge = it->second;
    }
    if (instanceId.empty()) return ERROR_FILE_NOT_FOUND;

    std::vector<std::uint8_t> record;
    auto query = [&](HANDLE h) {
        DCB dcb{};
        dcb.DCBlength = sizeof(dcb);
        if (GetCommState(h, &dcb)) {
            reply->baud = dcb.BaudRate;
            reply->dataBits = dcb.ByteSize;
            reply->parity = dcb.Parity;
            reply->stopBits = dcb.StopBits;
        }
        DWORD modem = 0;
        if (GetCommModemStatus(h, &modem)) reply->modemStatus = modem;
        DWORD returned = 0;
        ULONG dtrRts = 0;
        if (DeviceIoControl(h, IOCTL_SERIAL_GET_DTRRTS, nullptr, 0, &dtrRts, sizeof(dtrRts), &returned, nullptr))
            reply->dtrRts = dtrRts;
        SERIALPERF_STATS stats{};
        if (DeviceIoControl(h, IOCTL_SERIAL_GET_STATS, nullptr, 0, &stats, sizeof(stats), &returned, nullptr)) {
            reply->received = stats.ReceivedCount;
            reply->transmitted = stats.TransmittedCount;
            reply->frameErrors = stats.FrameErrorCount;
            reply->overruns = stats.SerialOverrunErrorCount;
            reply->bufferOverruns = stats.BufferOverrunErrorCount;
            reply->parityErrors = stats.ParityErrorCount;
        }
        DWORD errors = 0;
        COMSTAT comstat{};
        if (ClearCommError(h, &errors, &comstat)) {
            reply->inQueue = comstat.cbInQue;
            reply->outQueue = comstat.cbOutQue;
        }
        std::vector<std::uint8_t> counters(kEthReadBufferSize);
        if (DeviceIoControl(h, IOCTL_QUORVEL_GET_COUNTERS, nullptr, 0, counters.data(), DWORD(counters.size()),
                            &returned, nullptr)) {
            counters.resize(returned);
            reply->counters = std::move(counters);
        }
        std::vector<std::uint8_t> buffer(kEthReadBufferSize);
        if (DeviceIoControl(h, IOCTL_SERIAL_GET_ETHERNET, nullptr, 0, buffer.data(), DWORD(buffer.size()), &returned,
                            nullptr)) {
            buffer.resize(returned);
            record = std::move(buffer);
        }
    };
    // While a program holds the port, the bridge's own handle answers.
    if (bridge && bridge->WithOpenHandle(query)) {
        reply->inUse = true;
    } else {
        std::u16string path = PortPath(name);
        HANDLE h = CreateFileW(reinterpret_cast<LPCWSTR>(path.c_str()), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE || h == nullptr) {
            Win32Error e = GetLastError();
            // Taken between the check and the open: the bridge answers after all.
            if (e == ERROR_ACCESS_DENIED && bridge && bridge->WithOpenHandle(query))
                reply->inUse = true;
            else
                return e;
        } else {
            query(h);
            CloseHandle(h);
        }
    }

    EthRecord parsed;
    if (!record.empty() && ParseEthRecord(record.data(), record.size(), &parsed) == EthParseError::None) {
        // The device stack is walked while no removal can free it.
        std::lock_guard<std::recursive_mutex> guard(lock_);
        std::vector<PDEVICE_OBJECT> stack = StackOf(instanceId);
        std::vector<qv::TdiEndpointInfo> endpoints = qv::TdiListEndpoints();
        for (auto &entry : parsed.entries) {
            hostctl::LinkEntry link;
            std::uint8_t b[4];
            std::memcpy(b, &entry.ip, 4);
            ULONG address = (ULONG(b[0]) << 24) | (ULONG(b[1]) << 16) | (ULONG(b[2]) << 8) | b[3];
            link.server = Utf16(std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." +
                                std::to_string(b[3]) + ":" + std::to_string(entry.port));
            link.raw = entry.raw;
            link.ids = entry.ids;
            link.state = u"down";
            for (auto &ep : endpoints) {
                if (std::find(stack.begin(), stack.end(), ep.Owner) == stack.end()) continue;
                if (ep.RemoteAddress != address || ep.RemotePort != entry.port) continue;
                link.state = Utf16(qv::TdiEndpointStateName(ep.State));
                if (ep.State == qv::TdiEndpointState::Connected) break;
            }
            reply->links.push_back(std::move(link));
        }
    }
    return 0;
}

Win32Error Host::InstallDevice(const ctl::InstallDeviceRequest &req)
{
    std::string path = Utf8(req.infPath);
    InfCheck check = CheckDriverInf(path, Utf8(req.hardwareId), kService);
    if (check.error != 0) return check.error;
    std::string created;
    return AddPort("", &created);
}

Win32Error Host::InstallFilterService(const ctl::InstallFilterServiceRequest &req, std::u16string *service)
{
    // The client sends the file's bytes, read with its own rights: the host reads no path of a
    // client's choosing.
    std::string fileName = Utf8(req.fileName);
    if (!ValidFilterFileName(fileName)) return ERROR_INVALID_NAME;
    if (req.content.size() > ctl::kMaxFilterFileSize) return ERROR_FILE_TOO_LARGE;
    std::u16string file = req.fileName;
    std::u16string name = FilterServiceName(file);
    std::filesystem::path driversDir = std::filesystem::path(options_.stateDir) / "System32" / "drivers";
    std::error_code ec;
    std::filesystem::create_directories(driversDir, ec);
    struct stat dirStat {};
    if (lstat(driversDir.c_str(), &dirStat) != 0 || !S_ISDIR(dirStat.st_mode)) {
        log_("filter " + fileName + ": " + driversDir.string() + " is not a folder");
        return ERROR_PATH_NOT_FOUND;
    }
    // The drivers folder stands for a Windows folder: a file whose name differs only in letter
    // case is the same file, and keeps its name.
    std::filesystem::path target = driversDir / fileName;
    for (const auto &entry : std::filesystem::directory_iterator(driversDir, ec))
        if (SamePathText(Utf16(entry.path().filename().string()), file)) target = entry.path();

    // Another driver's file of the same name is never overwritten, and another service of the
    // same name is never taken over: either would put a foreign driver into the Ports stacks.
    struct stat targetStat {};
    bool present = lstat(target.c_str(), &targetStat) == 0;
    if (present) {
        ctl::Bytes existing;
        if (!S_ISREG(targetStat.st_mode) || !ReadSmallFile(target.string(), ctl::kMaxFilterFileSize, &existing) ||
            existing != req.content)
            return ERROR_FILE_EXISTS;
    }
    std::string key = kServicesRoot + Utf8(name);
    std::u16string imagePath = u"System32\\drivers\\" + Utf16(target.filename().string());
    bool exists = qv::RegistryKeyExists(key);
    if (exists) {
        ServiceConfig existing;
        std::vector<UCHAR> data;
        ULONG type = 0;
        if (qv::RegistryReadValue(key, "Type", &type, &data) && data.size() >= 4)
            std::memcpy(&existing.type, data.data(), 4);
        std::string text;
        if (qv::RegistryReadString(key, "Group", &text)) existing.loadOrderGroup = Utf16(text);
        if (qv::RegistryReadString(key, "ImagePath", &text)) existing.imagePath = Utf16(text);
        if (!IsOwnFilterService(existing, u"C:\\Windows\\" + imagePath, u"C:\\Windows")) return ERROR_SERVICE_EXISTS;
    }
    if (!present) {
        std::string reason;
        if (!WriteNewFile(driversDir, target.filename().string(), req.content, &reason)) {
            log_("filter " + fileName + ": cannot write it into " + driversDir.string() + ": " + reason);
            return ERROR_REGISTRY_IO_FAILED;
        }
    }
    if (exists) {
        *service = name;
        return 0;
    }
    auto dword = [](std::uint32_t v) {
        std::vector<UCHAR> d(4);
        std::memcpy(d.data(), &v, 4);
        return d;
    };
    NTSTATUS status = qv::RegistryWriteValue(key, "Type", 4, dword(kServiceKernelDriver));
    if (NT_SUCCESS(status)) status = qv::RegistryWriteValue(key, "Start", 4, dword(3));
    if (NT_SUCCESS(status)) status = qv::RegistryWriteValue(key, "ErrorControl", 4, dword(1));
    if (NT_SUCCESS(status)) status = qv::RegistryWriteString(key, "Group", Utf8(kFilterLoadOrderGroup));
    if (NT_SUCCESS(status)) status = qv::RegistryWriteString(key, "ImagePath", Utf8(imagePath));
    if (NT_SUCCESS(status)) status = qv::RegistryWriteString(key, "DisplayName", Utf8(name));
    if (!NT_SUCCESS(status)) return RtlNtStatusToDosError(status);
    *service = name;
    log_("filter service " + Utf8(name) + " installed");
    return 0;
}

std::uint32_t Host::DevInstOf(const std::string &instanceId)
{
    auto [it, added] = devInsts_.emplace(Upper(instanceId), nextDevInst_);
    if (added) ++nextDevInst_;
    return it->second;
}

std::string Host::InstanceOfDevInst(std::uint32_t devInst)
{
    for (auto &node : qv::PnpListNodes())
        if (DevInstOf(node.InstanceId) == devInst) return node.InstanceId;
    return {};
}

void Host::EndSession(std::uint64_t session)
{
    {
        std::lock_guard<std::recursive_mutex> guard(lock_);
        sets_.erase(session);
    }
    // Closing the handle stops its monitor; the last one turns the port's ring off.
    std::map<std::uint32_t, HANDLE> monitors;
    {
        std::lock_guard<std::mutex> guard(portMonitorLock_);
        auto it = portMonitors_.find(session);
        if (it == portMonitors_.end()) return;
        monitors = std::move(it->second);
        portMonitors_.erase(it);
    }
    for (auto &m : monitors) CloseHandle(m.second);
}

bool Host::SessionHoldsSets(std::uint64_t session)
{
    std::lock_guard<std::recursive_mutex> guard(lock_);
    auto it = sets_.find(session);
    return it != sets_.end() && !it->second.empty();
}

void Host::BeginShutdown() { stopping_ = true; }

Win32Error Host::StoreOutcome(unsigned long long before, Win32Error error)
{
    qv::RegistryStoreFailures now = qv::RegistryStoreFailureCount();
    if (now.Count == before) return error;
    // Once per failure, though an operation and its caller both ask.
    if (loggedStoreFailures_.exchange(now.Count) != now.Count)
        log_("settings store not saved: " + now.LastReason + "; the change was refused");
    return ERROR_REGISTRY_IO_FAILED;
}

template <class Req, class Resp, class Fn>
ctl::Bytes Host::Serve(const ctl::Bytes &body, Fn fn)
{
    Req req;
    Resp resp;
    if (!ctl::DecodeFields(body, ctl::kRequestHeaderSize, &req))
        return ctl::FrameResponseBody(ctl::Op(Req::kOp), ERROR_INVALID_PARAMETER, {});
    unsigned long long failures = qv::RegistryStoreFailureCount().Count;
    Win32Error error = StoreOutcome(failures, fn(req, resp));
    return ctl::EncodeResponse(ctl::Op(Req::kOp), error, resp);
}

namespace {
// Requests of the host's own operations, numbered outside the configurator's.
template <std::uint16_t N, class Base>
struct HostRequest : Base {
    static constexpr ctl::Op kOp = ctl::Op(N);
};
using NameRequestList = HostRequest<hostctl::ListPorts, ctl::Empty>;
using NameRequestAdd = HostRequest<hostctl::AddPort, hostctl::NameMessage>;
using NameRequestRemove = HostRequest<hostctl::RemovePort, hostctl::NameMessage>;
using NameRequestStatus = HostRequest<hostctl::PortStatus, hostctl::NameMessage>;
using NameRequestMonitor = HostRequest<hostctl::MonitorOpen, hostctl::NameMessage>;
using MonitorReadRequest = HostRequest<hostctl::MonitorRead, hostctl::MonitorId>;
}  // namespace

ctl::Bytes Host::Handle(const ctl::Bytes &body, std::uint64_t session, const std::function<bool()> &clientGone)
{
    ctl::RequestHeader header;
    if (!ctl::DecodeRequestHeader(body, &header))
        return ctl::FrameResponseBody(ctl::Op(0), ERROR_INVALID_PARAMETER, {});
    if (header.version != ctl::kProtocolVersion) return ctl::FrameResponseBody(header.op, 1306, {});
    // Requests to the driver may wait: they run without the host's lock.
    if (header.op == ctl::Op::PortIoControl)
        return Serve<ctl::PortIoControlRequest, ctl::PortIoControlResponse>(
            body, [&](auto &req, auto &resp) { return PortIoControl(req, &resp, clientGone); });
    if (std::uint16_t(header.op) == hostctl::MonitorOpen)
        return Serve<NameRequestMonitor, hostctl::MonitorId>(
            body, [&](auto &req, auto &resp) { return OpenPortMonitor(Utf8(req.name), session, &resp.id); });
    if (std::uint16_t(header.op) == hostctl::MonitorRead)
        return Serve<MonitorReadRequest, hostctl::MonitorEvents>(
            body, [&](auto &req, auto &resp) { return ReadPortMonitor(session, req.id, &resp.events, clientGone); });
    if (std::uint16_t(header.op) == hostctl::PortStatus)
        return Serve<NameRequestStatus, hostctl::PortStatusReply>(
            body, [&](auto &req, auto &resp) { return PortStatus(Utf8(req.name), &resp); });
    std::lock_guard<std::recursive_mutex> guard(lock_);
    auto &sets = sets_[session];

    auto findDevice = [&](DevSet set, const DevData &device, std::string *instanceId) -> Win32Error {
        auto s = sets.find(set);
        if (s == sets.end()) return ERROR_INVALID_HANDLE;
        std::string id = InstanceOfDevInst(device.devInst);
        if (id.empty() || std::find(s->second.begin(), s->second.end(), id) == s->second.end())
            return kErrorNoSuchDevinst;
        *instanceId = id;
        return 0;
    };

    switch (std::uint16_t(header.op)) {
    case std::uint16_t(ctl::Op::GetClassDevs):
        return Serve<ctl::GetClassDevsRequest, ctl::GetClassDevsResponse>(body, [&](auto &req, auto &resp) {
            std::vector<std::string> ids;
            for (auto &node : qv::PnpListNodes()) {
                if ((req.flags & DIGCF_PRESENT) && !node.HasDevice) continue;
                if (req.hasClass && !(req.classGuid == kPortsClassGuid)) continue;
                ids.push_back(node.InstanceId);
                DevInstOf(node.InstanceId);
            }
            resp.set = nextSet_++;
            sets[resp.set] = std::move(ids);
            return Win32Error(0);
        });
    case std::uint16_t(ctl::Op::EnumDeviceInfo):
        return Serve<ctl::EnumDeviceInfoRequest, ctl::EnumDeviceInfoResponse>(body, [&](auto &req, auto &resp) {
            auto s = sets.find(req.set);
            if (s == sets.end()) return Win32Error(ERROR_INVALID_HANDLE);
            if (req.index >= s->second.size()) return Win32Error(ERROR_NO_MORE_ITEMS);
            resp.device.classGuid = kPortsClassGuid;
            resp.device.devInst = DevInstOf(s->second[req.index]);
            return Win32Error(0);
        });
    case std::uint16_t(ctl::Op::DestroyDeviceInfoList):
        return Serve<ctl::DestroyDeviceInfoListRequest, ctl::Empty>(
            body, [&](auto &req, auto &) { return Win32Error(sets.erase(req.set) ? 0 : ERROR_INVALID_HANDLE); });
    case std::uint16_t(ctl::Op::GetClassDescription):
        return Serve<ctl::GetClassDescriptionRequest, ctl::TextResponse>(body, [&](auto &req, auto &resp) {
            std::string key = kClassRoot + GuidText(req.classGuid);
            if (!qv::RegistryKeyExists(key)) return kErrorInvalidClass;
            std::string text;
            if (!qv::RegistryReadString(key, "", &text) && !qv::RegistryReadString(key, "Class", &text))
                return kErrorInvalidClass;
            resp.text = Utf16(text);
            return Win32Error(0);
        });
    case std::uint16_t(ctl::Op::GetDeviceRegistryProperty):
        return Serve<ctl::GetDeviceRegistryPropertyRequest, ctl::DataResponse>(body, [&](auto &req, auto &resp) {
            std::string id;
            if (Win32Error e = findDevice(req.set, req.device, &id)) return e;
            qv::PnpNodeInfo node;
            if (!qv::PnpGetNode(id, &node)) return kErrorNoSuchDevinst;
            ctl::Bytes value;
            switch (req.property) {
            case SPDRP_DEVICEDESC: value = SzBytes(node.DeviceDescription); break;
            case SPDRP_HARDWAREID: value = MultiSzBytes({node.HardwareId}); break;
            case SPDRP_FRIENDLYNAME:
                if (node.FriendlyName.empty()) return Win32Error(ERROR_INVALID_DATA);
                value = SzBytes(node.FriendlyName);
                break;
            case SPDRP_UPPERFILTERS:
            case SPDRP_LOWERFILTERS: {
                ULONG type = 0;
                std::vector<UCHAR> data;
                const char *name = req.property == SPDRP_UPPERFILTERS ? "UpperFilters" : "LowerFilters";
                if (!qv::RegistryReadValue(EnumKeyOf(node), name, &type, &data) || data.empty())
                    return Win32Error(ERROR_INVALID_DATA);
                value.assign(data.begin(), data.end());
                break;
            }
            default: return Win32Error(ERROR_INVALID_DATA);
            }
            return FitData(value, req.bufferSize, ERROR_INSUFFICIENT_BUFFER, &resp);
        });
    case std::uint16_t(ctl::Op::SetDeviceRegistryProperty):
        return Serve<ctl::SetDeviceRegistryPropertyRequest, ctl::Empty>(body, [&](auto &req, auto &) {
            std::string id;
            if (Win32Error e = findDevice(req.set, req.device, &id)) return e;
            if (req.property != SPDRP_UPPERFILTERS && req.property != SPDRP_LOWERFILTERS)
                return Win32Error(ERROR_INVALID_PARAMETER);
            qv::PnpNodeInfo node;
            if (!qv::PnpGetNode(id, &node)) return kErrorNoSuchDevinst;
            if (req.data.size() > ctl::kMaxRegistryValueBytes) return Win32Error(ERROR_INVALID_PARAMETER);
            const char *name = req.property == SPDRP_UPPERFILTERS ? "UpperFilters" : "LowerFilters";
            // No value and an empty list mean the same to the Plug and Play manager.
            std::vector<UCHAR> data(req.data.begin(), req.data.end());
            NTSTATUS status = qv::RegistryWriteValue(EnumKeyOf(node), name, kRegMultiSz, data);
            return Win32Error(NT_SUCCESS(status) ? 0 : RtlNtStatusToDosError(status));
        });
    case std::uint16_t(ctl::Op::QueryClassValue):
        return Serve<ctl::QueryClassValueRequest, ctl::DataResponse>(body, [&](auto &req, auto &resp) {
            std::string key = kClassRoot + GuidText(req.classGuid);
            ULONG type = 0;
            std::vector<UCHAR> data;
            if (!qv::RegistryReadValue(key, Utf8(req.name), &type, &data)) return Win32Error(ERROR_FILE_NOT_FOUND);
            return FitData(ctl::Bytes(data.begin(), data.end()), req.bufferSize, ERROR_MORE_DATA, &resp);
        });
    case std::uint16_t(ctl::Op::SetClassMultiSz):
        return Serve<ctl::SetClassMultiSzRequest, ctl::Empty>(body, [&](auto &req, auto &) {
            // The filter lists of an existing class only: nothing else of the registry is a
            // client's to write, and no client grows it without bound.
            std::string key = kClassRoot + GuidText(req.classGuid);
            std::string valueName = Upper(Utf8(req.name));
            if (valueName != "UPPERFILTERS" && valueName != "LOWERFILTERS") return Win32Error(ERROR_INVALID_PARAMETER);
            if (req.data.size() > ctl::kMaxRegistryValueBytes) return Win32Error(ERROR_INVALID_PARAMETER);
            if (!qv::RegistryKeyExists(key)) return kErrorInvalidClass;
            std::vector<UCHAR> data(req.data.begin(), req.data.end());
            NTSTATUS status = qv::RegistryWriteValue(key, Utf8(req.name), kRegMultiSz, data);
            return Win32Error(NT_SUCCESS(status) ? 0 : RtlNtStatusToDosError(status));
        });
    case std::uint16_t(ctl::Op::InstallDevice):
        return Serve<ctl::InstallDeviceRequest, ctl::Empty>(body,
                                                            [&](auto &req, auto &) { return InstallDevice(req); });
    case std::uint16_t(ctl::Op::RemoveDevice):
        return Serve<ctl::RemoveDeviceRequest, ctl::Empty>(body, [&](auto &req, auto &) {
            std::string id;
            if (Win32Error e = findDevice(req.set, req.device, &id)) return e;
            return RemoveInstance(id);
        });
    case std::uint16_t(ctl::Op::InstallFilterService):
        return Serve<ctl::InstallFilterServiceRequest, ctl::TextResponse>(
            body, [&](auto &req, auto &resp) { return InstallFilterService(req, &resp.text); });
    case hostctl::ListPorts:
        return Serve<NameRequestList, hostctl::PortList>(body, [&](auto &, auto &resp) {
            resp.ports = Ports();
            return Win32Error(0);
        });
    case hostctl::AddPort:
        return Serve<NameRequestAdd, hostctl::NameMessage>(body, [&](auto &req, auto &resp) {
            std::string created;
            Win32Error e = AddPort(Utf8(req.name), &created);
            resp.name = Utf16(created);
            return e;
        });
    case hostctl::RemovePort:
        return Serve<NameRequestRemove, ctl::Empty>(body,
                                                    [&](auto &req, auto &) { return RemovePort(Utf8(req.name)); });
    default: return ctl::FrameResponseBody(header.op, ERROR_INVALID_FUNCTION, {});
    }
}

}  // namespace quorvel
