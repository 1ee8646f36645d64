// quorvelctl: manages the ports of a running quorvel-host over its control socket.
//   quorvelctl [--state DIR] [--json] list | add [--name COMn] | remove COMn | show COMn |
//              set COMn [--delay MS] [--rts LINES] [--dtr LINES] [--response-ms MS] [--exceptions on|off]
//                       --conn HOST:PORT[/raw]=ID[,ID...]... |
//              set COMn [--response-ms MS] [--exceptions on|off] |
//              status [--watch] COMn | save COMn FILE | load COMn FILE |
//              monitor COMn [--json] [--pcap FILE] [--count N]
#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <signal.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/controlproto.h"
#include "common/counters.h"
#include "common/ethrecord.h"
#include "common/portoptions.h"
#include "common/settingsfile.h"
#include "common/statedir.h"
#include "common/version.h"
#include "ctlargs.h"
#include "hostproto.h"
#include "monitorlog.h"

using namespace quorvel;
using hostctl::Utf16;
using hostctl::Utf8;

namespace {

bool gJson = false;

// Modem status bits of GetCommModemStatus and the DTR/RTS state of IOCTL_SERIAL_GET_DTRRTS.
constexpr std::uint32_t kMsCts = 0x10, kMsDsr = 0x20, kMsRing = 0x40, kMsRlsd = 0x80;

[[noreturn]] void Fail(const std::string &message, int code = 1)
{
    std::fprintf(stderr, "quorvelctl: %s\n", message.c_str());
    std::exit(code);
}

std::string ErrorText(Win32Error e)
{
    switch (e) {
    case 2: return "not found";
    case 5: return "access denied";
    case 6: return "invalid handle";
    case 13: return "invalid data";
    case 80: return "the name is taken";
    case 87: return "invalid parameter";
    case 122: return "buffer too small";
    case 123: return "not a COM port name (COM1 to COM256)";
    case 995: return "the request was cancelled";
    case 1016:
        return "quorvel-host could not save its settings store (disk full or not writable; see its log); nothing was "
               "changed";
    case 1306: return "protocol version mismatch";
    case 1450: return "no settings stored";
    case 0xE000020B: return "no such device";
    case 0xE0000232: return "the device cannot be removed";
    default: {
        char buf[32];
        std::snprintf(buf, sizeof(buf), "error %u (0x%08X)", e, e);
        return buf;
    }
    }
}

class Client {
public:
    explicit Client(const std::string &stateDir)
    {
        std::string path = stateDir + "/control.sock";
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (path.size() >= sizeof(addr.sun_path)) Fail("socket path too long: " + path);
        std::strcpy(addr.sun_path, path.c_str());
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (connect(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0)
            Fail("no quorvel-host is running on " + stateDir + " (" + path + ": " + std::strerror(errno) + ")");
    }
    ~Client() { close(fd_); }

    // Sends a request, returns the response's error and fields.
    template <class Req, class Resp>
    Win32Error Call(std::uint16_t op, Req req, Resp *resp)
    {
        ctl::Bytes frame = ctl::FrameRequestBody(ctl::Op(op), ctl::EncodeFields(req));
        ctl::Bytes body;
        if (!ctl::SendFrame(fd_, frame) || !ctl::ReceiveFrame(fd_, &body)) Fail("the connection to quorvel-host broke");
        ctl::ResponseHeader header;
        if (!ctl::DecodeResponseHeader(body, &header) || std::uint16_t(header.op) != op)
            Fail("quorvel-host sent a reply that does not fit the request");
        if (header.version != ctl::kProtocolVersion) Fail("quorvel-host speaks another protocol version");
        if (!ctl::DecodeFields(body, ctl::kResponseHeaderSize, resp) && header.error == 0)
            Fail("quorvel-host sent a reply that does not decode");
        return header.error;
    }

private:
    int fd_ = -1;
};

std::string InUseMessage(const std::string &port)
{
    return port + " is in use: a program holds its terminal; close the program first (nothing was changed)";
}

std::string Ip(std::uint32_t ip)
{
    std::uint8_t b[4];
    std::memcpy(b, &ip, 4);
    return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." + std::to_string(b[3]);
}

std::string JsonString(const std::string &s)
{
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(c);
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof(buf), "\\u%04x", c);
            out += buf;
        } else {
            out.push_back(c);
        }
    }
    return out + "\"";
}

std::string IdList(const std::vector<std::uint8_t> &ids, const char *sep)
{
    std::string s;
    for (size_t i = 0; i < ids.size(); ++i) s += (i ? sep : "") + std::to_string(ids[i]);
    return s;
}

std::string RecordJson(const EthRecord &r)
{
    std::ostringstream o;
    o << "{\"delay\": " << r.delay << ", \"rts\": " << JsonString(LinesText(r.rtsMask))
      << ", \"dtr\": " << JsonString(LinesText(r.dtrMask)) << ", \"connections\": [";
    for (size_t i = 0; i < r.entries.size(); ++i) {
        auto &e = r.entries[i];
        o << (i ? ", " : "") << "{\"host\": " << JsonString(Ip(e.ip)) << ", \"port\": " << e.port
          << ", \"raw\": " << (e.raw ? "true" : "false") << ", \"ids\": [" << IdList(e.ids, ", ") << "]}";
    }
    o << "]}";
    return o.str();
}

std::string ConnectionsText(const EthRecord &r)
{
    std::string s;
    for (size_t i = 0; i < r.entries.size(); ++i) {
        auto &e = r.entries[i];
        s +=
            (i ? " " : "") + Ip(e.ip) + ":" + std::to_string(e.port) + (e.raw ? "/raw" : "") + "=" + IdList(e.ids, ",");
    }
    return s;
}

int List(Client &client)
{
    hostctl::PortList list;
    Win32Error e = client.Call(hostctl::ListPorts, ctl::Empty{}, &list);
    if (e) Fail("list: " + ErrorText(e));
    if (gJson) {
        std::printf("[");
        for (size_t i = 0; i < list.ports.size(); ++i) {
            auto &p = list.ports[i];
            EthRecord r;
            bool has = !p.record.empty() && ParseEthRecord(p.record.data(), p.record.size(), &r) == EthParseError::None;
            std::printf(
                "%s{\"name\": %s, \"device\": %s, \"pty\": %s, \"started\": %s, \"in_use\": %s, \"settings\": %s}",
                i ? ", " : "", JsonString(Utf8(p.name)).c_str(), JsonString(Utf8(p.instanceId)).c_str(),
                JsonString(Utf8(p.ptyPath)).c_str(), p.started ? "true" : "false", p.inUse ? "true" : "false",
                has ? RecordJson(r).c_str() : "null");
        }
        std::printf("]\n");
        return 0;
    }
    if (list.ports.empty()) {
        std::printf("no ports\n");
        return 0;
    }
    std::printf("%-7s %-18s %-13s %-6s %s\n", "PORT", "DEVICE", "TERMINAL", "IN USE", "CONNECTIONS");
    for (auto &p : list.ports) {
        EthRecord r;
        std::string conns = "(no settings)";
        if (!p.record.empty() && ParseEthRecord(p.record.data(), p.record.size(), &r) == EthParseError::None)
            conns = r.entries.empty() ? "(none)" : ConnectionsText(r);
        std::printf("%-7s %-18s %-13s %-6s %s\n", Utf8(p.name).c_str(), Utf8(p.instanceId).c_str(),
                    p.ptyPath.empty() ? (p.started ? "-" : "(stopped)") : Utf8(p.ptyPath).c_str(),
                    p.inUse ? "yes" : "no", conns.c_str());
    }
    return 0;
}

int Add(Client &client, const std::string &name)
{
    hostctl::NameMessage req{Utf16(name)}, resp;
    Win32Error e = client.Call(hostctl::AddPort, req, &resp);
    if (e == 80) Fail("add: " + name + " is already taken by another port");
    if (e) Fail("add: " + ErrorText(e));
    std::printf("%s\n", Utf8(resp.name).c_str());
    return 0;
}

int Remove(Client &client, const std::string &port)
{
    hostctl::NameMessage req{Utf16(port)};
    ctl::Empty resp;
    Win32Error e = client.Call(hostctl::RemovePort, req, &resp);
    if (e == 5) Fail("remove: " + InUseMessage(port));
    if (e == 2) Fail("remove: no port " + port);
    if (e) Fail("remove: " + port + ": " + ErrorText(e));
    return 0;
}

std::string Upper(std::string s)
{
    for (auto &c : s) c = char(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// Reading never needs the port free: the stored record comes from the host's port list, so
// show and save work while a program holds the port.
Win32Error ReadRecord(Client &client, const std::string &port, ctl::Bytes *bytes, PortOptions *options = nullptr)
{
    hostctl::PortList list;
    Win32Error e = client.Call(hostctl::ListPorts, ctl::Empty{}, &list);
    if (e) return e;
    for (auto &p : list.ports) {
        if (Upper(Utf8(p.name)) != Upper(port)) continue;
        if (p.record.empty()) return 1450;  // nothing stored yet, as the driver answers
        *bytes = p.record;
        // None stored, or a damaged value: the driver runs the port on the defaults.
        if (options != nullptr && !DecodePortOptions(p.options, options)) *options = PortOptions{};
        return 0;
    }
    return 2;
}

Win32Error WriteRecord(Client &client, const std::string &port, const ctl::Bytes &bytes)
{
    ctl::PortIoControlRequest req;
    req.portName = Utf16(port);
    req.ioctl = IOCTL_SERIAL_SET_ETHERNET;
    req.input = bytes;
    ctl::PortIoControlResponse resp;
    return client.Call(std::uint16_t(ctl::Op::PortIoControl), req, &resp);
}

void CheckPortError(const char *what, const std::string &port, Win32Error e)
{
    if (e == 0) return;
    if (e == 5) Fail(std::string(what) + ": " + InUseMessage(port));
    if (e == 2) Fail(std::string(what) + ": no port " + port);
    if (e == 1450) Fail(std::string(what) + ": " + port + " has no settings stored yet");
    Fail(std::string(what) + ": " + port + ": " + ErrorText(e));
}

// Through the driver, for a change: the port must be free.
Win32Error ReadOptions(Client &client, const std::string &port, PortOptions *options)
{
    ctl::PortIoControlRequest req;
    req.portName = Utf16(port);
    req.ioctl = IOCTL_QUORVEL_GET_OPTIONS;
    req.outputSize = kPortOptionsSize;
    ctl::PortIoControlResponse resp;
    Win32Error e = client.Call(std::uint16_t(ctl::Op::PortIoControl), req, &resp);
    if (e == 0 && !DecodePortOptions(resp.output, options)) e = 13;
    return e;
}

Win32Error WriteOptions(Client &client, const std::string &port, const PortOptions &options)
{
    ctl::PortIoControlRequest req;
    req.portName = Utf16(port);
    req.ioctl = IOCTL_QUORVEL_SET_OPTIONS;
    req.input = EncodePortOptions(options);
    ctl::PortIoControlResponse resp;
    return client.Call(std::uint16_t(ctl::Op::PortIoControl), req, &resp);
}

int Show(Client &client, const std::string &port)
{
    ctl::Bytes bytes;
    PortOptions options;
    CheckPortError("show", port, ReadRecord(client, port, &bytes, &options));
    EthRecord r;
    if (ParseEthRecord(bytes.data(), bytes.size(), &r) != EthParseError::None)
        Fail("show: " + port + " returned a damaged settings record");
    if (gJson) {
        std::string json = RecordJson(r);
        json.insert(json.size() - 1, std::string(", \"exceptions\": ") +
                                         ((options.flags & kPortOptionExceptions) ? "true" : "false") +
                                         ", \"response_ms\": " + std::to_string(options.responseMs));
        std::printf("%s\n", json.c_str());
        return 0;
    }
    std::printf("port %s\ndelay %u ms\nrts %s\ndtr %s\n", port.c_str(), r.delay, LinesText(r.rtsMask).c_str(),
                LinesText(r.dtrMask).c_str());
    // Only what differs from the defaults is shown: without them the port answers as it always has.
    if (options.responseMs != 0) std::printf("response %u ms\n", options.responseMs);
    if (options.flags & kPortOptionExceptions) std::printf("exceptions on\n");
    for (auto &e : r.entries)
        std::printf("conn %s:%u%s ids %s\n", Ip(e.ip).c_str(), e.port, e.raw ? " raw" : " modbus-tcp",
                    IdList(e.ids, ",").c_str());
    return 0;
}

// Without --response-ms or --exceptions the stored options stay; with only them, the record stays.
int Set(Client &client, const std::string &port, std::vector<std::string> args)
{
    EthRecord record;
    std::string error;
    std::optional<std::uint32_t> responseMs;
    std::optional<bool> exceptions;
    bool onlyOptions = false;
    if (!TakeResponseMs(&args, &responseMs, &error)) Fail("set: " + error + " (nothing stored)", 2);
    if (!TakeExceptions(&args, &exceptions, &error)) Fail("set: " + error + " (nothing stored)", 2);
    onlyOptions = args.empty() && (responseMs.has_value() || exceptions.has_value());
    if (!onlyOptions && !ParseSetArguments(args, &record, &error)) Fail("set: " + error + " (nothing stored)", 2);
    // Every check before anything is stored.
    ctl::Bytes bytes;
    if (!onlyOptions) {
        bytes = BuildEthRecord(record);
        error = EthRecordProblem(bytes.data(), bytes.size());
        if (!error.empty()) Fail("set: " + error + " (nothing stored)", 2);
    }
    if (responseMs || exceptions) {
        PortOptions options;
        Win32Error e = ReadOptions(client, port, &options);
        if (e == 13) Fail("set: " + port + " returned damaged options (nothing stored)");
        CheckPortError("set", port, e);
        if (responseMs) options.responseMs = *responseMs;
        if (exceptions)
            options.flags =
                *exceptions ? options.flags | kPortOptionExceptions : options.flags & ~kPortOptionExceptions;
        CheckPortError("set", port, WriteOptions(client, port, options));
    }
    if (!onlyOptions) CheckPortError("set", port, WriteRecord(client, port, bytes));
    return 0;
}

std::string ParityName(std::uint8_t p)
{
    static const char *names[] = {"N", "O", "E", "M", "S"};
    return p < 5 ? names[p] : "?";
}

std::string TimeText(std::int64_t systemTime)
{
    std::time_t t = std::time_t(UnixSeconds(systemTime));
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

// The counters of the status's link: same server and kind, in the record's order.
const LinkCounters *CountersOf(const PortCounters &counters, const hostctl::LinkEntry &link, std::vector<bool> *used)
{
    for (size_t i = 0; i < counters.links.size(); ++i) {
        const LinkCounters &c = counters.links[i];
        if ((*used)[i] || LinkName(c) != Utf8(link.server) || c.raw != link.raw) continue;
        (*used)[i] = true;
        return &c;
    }
    return nullptr;
}

std::string LinkCountersJson(const LinkCounters &c)
{
    char text[640];
    std::snprintf(text, sizeof(text),
                  "{\"requests_sent\": %u, \"replies_delivered\": %u, \"replies_dropped\": {\"unknown_transaction\": "
                  "%u, \"bad_length\": %u, \"late\": %u}, \"requests_dropped\": {\"link_down\": %u, "
                  "\"connecting\": %u, \"too_long\": %u}, \"connects\": %u, \"connect_failures\": %u, "
                  "\"disconnects\": %u, \"last_error\": %u, \"last_error_text\": %s, \"last_error_time\": %lld}",
                  c.requestsSent, c.repliesDelivered, c.repliesUnknown, c.repliesBadLength, c.repliesLate,
                  c.requestsLinkDown, c.requestsConnecting, c.requestsTooLong, c.connects, c.connectFailures,
                  c.disconnects, c.lastError, JsonString(LinkErrorText(c.lastError)).c_str(),
                  static_cast<long long>(UnixSeconds(c.lastErrorTime)));
    return text;
}

void PrintLinkCounters(const LinkCounters &c)
{
    std::printf("  requests sent %u, replies delivered %u\n", c.requestsSent, c.repliesDelivered);
    std::printf("  replies dropped: unknown transaction %u, bad length %u, late %u\n", c.repliesUnknown,
                c.repliesBadLength, c.repliesLate);
    std::printf("  requests dropped: link down %u, connecting %u, too long %u\n", c.requestsLinkDown,
                c.requestsConnecting, c.requestsTooLong);
    std::printf("  connects %u, connect failures %u, disconnects %u\n", c.connects, c.connectFailures, c.disconnects);
    if (c.lastError != 0)
        std::printf("  last error %s at %s\n", LinkErrorText(c.lastError).c_str(), TimeText(c.lastErrorTime).c_str());
}

int Status(Client &client, const std::string &port)
{
    hostctl::NameMessage req{Utf16(port)};
    hostctl::PortStatusReply s;
    Win32Error e = client.Call(hostctl::PortStatus, req, &s);
    CheckPortError("status", port, e);
    PortCounters counters;
    bool haveCounters = DecodeCounters(s.counters, &counters);
    std::vector<bool> used(counters.links.size());
    const char *stop = s.stopBits == 0 ? "1" : s.stopBits == 1 ? "1.5" : "2";
    bool dtr = s.dtrRts & 1, rts = s.dtrRts & 2;
    bool cts = s.modemStatus & kMsCts, dsr = s.modemStatus & kMsDsr, dcd = s.modemStatus & kMsRlsd,
         ring = s.modemStatus & kMsRing;
    if (gJson) {
        std::printf(
            "{\"port\": %s, \"in_use\": %s, \"baud\": %u, \"line\": \"%u%s%s\", "
            "\"lines\": {\"dtr\": %d, \"rts\": %d, \"cts\": %d, \"dsr\": %d, \"dcd\": %d, \"ring\": %d}, "
            "\"stats\": {\"received\": %u, \"transmitted\": %u, \"frame_errors\": %u, \"overruns\": %u, "
            "\"buffer_overruns\": %u, \"parity_errors\": %u}, \"queue\": {\"in\": %u, \"out\": %u}, \"links\": [",
            JsonString(port).c_str(), s.inUse ? "true" : "false", s.baud, s.dataBits, ParityName(s.parity).c_str(),
            stop, dtr, rts, cts, dsr, dcd, ring, s.received, s.transmitted, s.frameErrors, s.overruns, s.bufferOverruns,
            s.parityErrors, s.inQueue, s.outQueue);
        for (size_t i = 0; i < s.links.size(); ++i) {
            auto &l = s.links[i];
            const LinkCounters *c = CountersOf(counters, l, &used);
            std::printf("%s{\"server\": %s, \"raw\": %s, \"ids\": [%s], \"state\": %s, \"counters\": %s}",
                        i ? ", " : "", JsonString(Utf8(l.server)).c_str(), l.raw ? "true" : "false",
                        IdList(l.ids, ", ").c_str(), JsonString(Utf8(l.state)).c_str(),
                        c ? LinkCountersJson(*c).c_str() : "null");
        }
        std::printf("]");
        if (haveCounters)
            std::printf(", \"counters\": {\"checksum_rejects\": %u, \"no_route\": %u, \"exceptions_sent\": %u}",
                        counters.checksumRejects, counters.noRoute, counters.exceptionsSent);
        std::printf("}\n");
        return 0;
    }
    if (s.inUse) std::printf("%s is in use by a program (answered through the bridge's handle)\n", port.c_str());
    std::printf("baud %u, line %u%s%s\n", s.baud, s.dataBits, ParityName(s.parity).c_str(), stop);
    std::printf("DTR %s RTS %s CTS %s DSR %s DCD %s RING %s\n", dtr ? "on" : "off", rts ? "on" : "off",
                cts ? "on" : "off", dsr ? "on" : "off", dcd ? "on" : "off", ring ? "on" : "off");
    std::printf("received %u, transmitted %u, frame errors %u, overruns %u, buffer overruns %u, parity errors %u\n",
                s.received, s.transmitted, s.frameErrors, s.overruns, s.bufferOverruns, s.parityErrors);
    std::printf("queued: in %u, out %u\n", s.inQueue, s.outQueue);
    if (haveCounters)
        std::printf("gateway: checksum rejects %u, no route %u, exceptions sent %u\n", counters.checksumRejects,
                    counters.noRoute, counters.exceptionsSent);
    for (auto &l : s.links) {
        std::printf("link %s%s ids %s: %s\n", Utf8(l.server).c_str(), l.raw ? " raw" : "", IdList(l.ids, ",").c_str(),
                    Utf8(l.state).c_str());
        if (const LinkCounters *c = CountersOf(counters, l, &used)) PrintLinkCounters(*c);
    }
    return 0;
}

// Until interrupted; a terminal is cleared before each round.
int WatchStatus(Client &client, const std::string &port)
{
    bool terminal = isatty(STDOUT_FILENO);
    for (;;) {
        if (terminal) std::printf("\033[H\033[2J");
        Status(client, port);
        if (!terminal) std::printf("\n");
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
}

int Save(Client &client, const std::string &port, const std::string &file)
{
    ctl::Bytes bytes;
    CheckPortError("save", port, ReadRecord(client, port, &bytes));
    EthRecord r;
    if (ParseEthRecord(bytes.data(), bytes.size(), &r) != EthParseError::None)
        Fail("save: " + port + " returned a damaged settings record");
    std::string ioError;
    SettingsFileStatus st = SaveSettingsFile(file, r, &ioError);
    if (st == SettingsFileStatus::IoError) Fail("save: " + ioError);
    if (st != SettingsFileStatus::Ok) Fail("save: the settings do not fit a settings file");
    return 0;
}

int Load(Client &client, const std::string &port, const std::string &file)
{
    std::vector<std::uint8_t> bytes;
    EthRecord r;
    std::uint16_t version = 0;
    std::string ioError;
    SettingsFileStatus st = LoadSettingsFile(file, &bytes, &r, &version, &ioError);
    if (st == SettingsFileStatus::IoError) Fail("load: " + ioError);
    if (st == SettingsFileStatus::BadRecord) Fail("load: " + file + " holds a damaged settings record");
    if (st != SettingsFileStatus::Ok) Fail("load: " + file + ": " + SettingsFileMessage(st, version));
    // What set refuses, load refuses too: the file may come from anywhere.
    std::string problem = EthRecordProblem(bytes.data(), bytes.size());
    if (!problem.empty()) Fail("load: " + file + ": " + problem + " (nothing stored)");
    CheckPortError("load", port, WriteRecord(client, port, bytes));
    return 0;
}

volatile sig_atomic_t gStopMonitor = 0;

void StopMonitor(int) { gStopMonitor = 1; }

// Prints the port's events as they come until Ctrl-C (or --count events); the host turns the
// monitor off when this session ends, however it ends.
int Monitor(Client &client, const std::string &port, const std::vector<std::string> &options)
{
    std::string pcapPath;
    unsigned long long limit = 0;
    for (size_t i = 0; i < options.size(); ++i) {
        if (options[i] == "--json") {
            gJson = true;
        } else if (options[i] == "--pcap" && i + 1 < options.size()) {
            pcapPath = options[++i];
        } else if (options[i] == "--count" && i + 1 < options.size()) {
            char *end = nullptr;
            limit = std::strtoull(options[i + 1].c_str(), &end, 10);
            if (options[i + 1].empty() || *end != 0 || limit == 0) Fail("monitor: --count takes a number above 0", 2);
            ++i;
        } else {
            Fail("monitor: unknown option " + options[i], 2);
        }
    }
    std::FILE *pcapFile = nullptr;
    if (!pcapPath.empty()) {
        pcapFile = std::fopen(pcapPath.c_str(), "wb");
        if (pcapFile == nullptr) Fail("monitor: " + pcapPath + ": " + std::strerror(errno));
    }

    hostctl::NameMessage req;
    req.name = Utf16(port);
    hostctl::MonitorId id;
    CheckPortError("monitor", port, client.Call(hostctl::MonitorOpen, req, &id));

    struct sigaction action {};
    action.sa_handler = StopMonitor;
    action.sa_flags = SA_RESTART;  // a read in progress finishes; the loop then stops
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::fprintf(stderr, "monitoring %s; Ctrl-C stops\n", port.c_str());

    std::optional<monitor::PcapngWriter> pcap;
    if (pcapFile != nullptr) pcap.emplace(pcapFile, port);
    monitor::Formatter formatter;
    unsigned long long shown = 0;
    while (!gStopMonitor && (limit == 0 || shown < limit)) {
        hostctl::MonitorEvents reply;
        Win32Error e = client.Call(hostctl::MonitorRead, id, &reply);
        if (e != 0) {
            if (gStopMonitor) break;
            if (pcap) pcap->Flush();
            if (e == 5) Fail("monitor: " + port + " was removed");  // the driver's answer once it is gone
            Fail("monitor: " + port + ": " + ErrorText(e));
        }
        monitor::Batch batch;
        if (!monitor::DecodeBatch(reply.events, &batch)) Fail("monitor: quorvel-host sent events that do not decode");
        if (batch.lost != 0)
            std::printf(
                "%s\n",
                (gJson ? monitor::Formatter::LostJson(batch.lost) : monitor::Formatter::LostText(batch.lost)).c_str());
        for (auto &event : batch.events) {
            if (limit != 0 && shown == limit) break;
            std::string line = gJson ? formatter.Json(event, batch.startTime) : formatter.Text(event, batch.startTime);
            std::printf("%s\n", line.c_str());
            if (pcap) pcap->Add(event, batch.startTime);
            ++shown;
        }
        std::fflush(stdout);
        if (pcap) pcap->Flush();
    }
    if (pcap && !pcap->ok()) Fail("monitor: writing " + pcapPath + " failed");
    if (pcapFile != nullptr && std::fclose(pcapFile) != 0) Fail("monitor: writing " + pcapPath + " failed");
    return 0;
}

void Usage()
{
    std::fprintf(stderr,
                 "usage: quorvelctl [--state DIR] [--json] COMMAND\n"
                 "       quorvelctl --help | --version\n"
                 "  list                       ports, terminals, in use, connections\n"
                 "  add [--name COMn]          new port (the lowest free name by default)\n"
                 "  remove COMn\n"
                 "  show COMn                  the stored settings\n"
                 "  set COMn [--delay MS] [--rts LINES] [--dtr LINES] [--response-ms MS] [--exceptions on|off]\n"
                 "           --conn HOST:PORT[/raw]=ID[,ID...] ...\n"
                 "                             LINES: none or cts,dsr,dcd,ring; --response-ms: replies later\n"
                 "                             than MS after their request are dropped (0: no limit, kept\n"
                 "                             when not given); --exceptions on: what cannot be served is\n"
                 "                             answered with Modbus exception 0x0A or 0x0B (response time\n"
                 "                             1000 ms unless set)\n"
                 "  set COMn [--response-ms MS] [--exceptions on|off]  the options alone\n"
                 "  status [--watch] COMn      line settings, modem lines, statistics, links and their\n"
                 "                             counters since the port was opened; --watch: every second\n"
                 "  save COMn FILE.qvor | load COMn FILE.qvor\n"
                 "  monitor COMn [--json] [--pcap FILE] [--count N]\n"
                 "                             every frame the port carries, one line each, until\n"
                 "                             Ctrl-C; --pcap also writes them as pcapng (Modbus/TCP)\n");
}

}  // namespace

int main(int argc, char **argv)
{
    std::string stateDir;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--state" && i + 1 < argc && args.empty())
            stateDir = argv[++i];
        else if (a == "--json" && args.empty())
            gJson = true;
        else if ((a == "--help" || a == "-h") && args.empty()) {
            Usage();
            return 0;
        } else if (a == "--version" && args.empty()) {
            std::printf("quorvelctl %s\n", QUORVEL_VERSION);
            return 0;
        } else
            args.push_back(a);
    }
    if (args.empty()) {
        Usage();
        return 2;
    }
    if (stateDir.empty()) stateDir = DefaultStateDirectory();
    const std::string &cmd = args[0];
    auto need = [&](size_t n) {
        if (args.size() != n) {
            Usage();
            std::exit(2);
        }
    };
    if (cmd == "list") {
        need(1);
        Client c(stateDir);
        return List(c);
    }
    if (cmd == "add") {
        std::string name;
        if (args.size() == 3 && args[1] == "--name")
            name = args[2];
        else
            need(1);
        if (!name.empty() && !ValidPortName(name)) Fail("add: " + name + " is not a COM port name (COM1 to COM256)", 2);
        Client c(stateDir);
        return Add(c, name);
    }
    if (cmd == "set") {
        if (args.size() < 2) need(2);
        if (!ValidPortName(args[1])) Fail("set: " + args[1] + " is not a COM port name", 2);
        Client c(stateDir);
        return Set(c, args[1], std::vector<std::string>(args.begin() + 2, args.end()));
    }
    if (cmd == "status" && args.size() == 3 && (args[1] == "--watch" || args[2] == "--watch")) {
        std::string port = args[1] == "--watch" ? args[2] : args[1];
        if (!ValidPortName(port)) Fail("status: " + port + " is not a COM port name", 2);
        Client c(stateDir);
        return WatchStatus(c, port);
    }
    if (cmd == "remove" || cmd == "show" || cmd == "status") {
        need(2);
        if (!ValidPortName(args[1])) Fail(cmd + ": " + args[1] + " is not a COM port name", 2);
        Client c(stateDir);
        if (cmd == "remove") return Remove(c, args[1]);
        if (cmd == "show") return Show(c, args[1]);
        return Status(c, args[1]);
    }
    if (cmd == "monitor") {
        if (args.size() < 2) need(2);
        if (!ValidPortName(args[1])) Fail("monitor: " + args[1] + " is not a COM port name", 2);
        Client c(stateDir);
        return Monitor(c, args[1], std::vector<std::string>(args.begin() + 2, args.end()));
    }
    if (cmd == "save" || cmd == "load") {
        need(3);
        if (!ValidPortName(args[1])) Fail(cmd + ": " + args[1] + " is not a COM port name", 2);
        Client c(stateDir);
        return cmd == "save" ? Save(c, args[1], args[2]) : Load(c, args[1], args[2]);
    }
    Usage();
    return 2;
}
