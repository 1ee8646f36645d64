// quorvelctl: manages the ports of a running quorvel-host over its control socket.
//   quorvelctl [--state DIR] [--json] list | add [--name COMn] | remove COMn | show COMn |
//              set COMn [--delay MS] [--rts LINES] [--dtr LINES] [--response-ms MS]
//                       --conn HOST:PORT[/raw]=ID[,ID...]... | set COMn --response-ms MS |
//              status COMn | save COMn FILE | load COMn FILE
#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "common/controlproto.h"
#include "common/ethrecord.h"
#include "common/portoptions.h"
#include "common/settingsfile.h"
#include "common/statedir.h"
#include "common/version.h"
#include "ctlargs.h"
#include "hostproto.h"

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
        json.insert(json.size() - 1, ", \"response_ms\": " + std::to_string(options.responseMs));
        std::printf("%s\n", json.c_str());
        return 0;
    }
    std::printf("port %s\ndelay %u ms\nrts %s\ndtr %s\n", port.c_str(), r.delay, LinesText(r.rtsMask).c_str(),
                LinesText(r.dtrMask).c_str());
    // Only a limit is shown; without one the port answers as it always has.
    if (options.responseMs != 0) std::printf("response %u ms\n", options.responseMs);
    for (auto &e : r.entries)
        std::printf("conn %s:%u%s ids %s\n", Ip(e.ip).c_str(), e.port, e.raw ? " raw" : " modbus-tcp",
                    IdList(e.ids, ",").c_str());
    return 0;
}

// Without --response-ms the stored response time stays; with only it, the record stays.
int Set(Client &client, const std::string &port, std::vector<std::string> args)
{
    EthRecord record;
    std::string error;
    std::optional<std::uint32_t> responseMs;
    bool onlyOptions = false;
    if (!TakeResponseMs(&args, &responseMs, &error)) Fail("set: " + error + " (nothing stored)", 2);
    onlyOptions = args.empty() && responseMs.has_value();
    if (!onlyOptions && !ParseSetArguments(args, &record, &error)) Fail("set: " + error + " (nothing stored)", 2);
    // Every check before anything is stored.
    ctl::Bytes bytes;
    if (!onlyOptions) {
        bytes = BuildEthRecord(record);
        error = EthRecordProblem(bytes.data(), bytes.size());
        if (!error.empty()) Fail("set: " + error + " (nothing stored)", 2);
    }
    if (responseMs) {
        PortOptions options;
        Win32Error e = ReadOptions(client, port, &options);
        if (e == 13) Fail("set: " + port + " returned damaged options (nothing stored)");
        CheckPortError("set", port, e);
        options.responseMs = *responseMs;
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

int Status(Client &client, const std::string &port)
{
    hostctl::NameMessage req{Utf16(port)};
    hostctl::PortStatusReply s;
    Win32Error e = client.Call(hostctl::PortStatus, req, &s);
    CheckPortError("status", port, e);
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
            std::printf("%s{\"server\": %s, \"raw\": %s, \"ids\": [%s], \"state\": %s}", i ? ", " : "",
                        JsonString(Utf8(l.server)).c_str(), l.raw ? "true" : "false", IdList(l.ids, ", ").c_str(),
                        JsonString(Utf8(l.state)).c_str());
        }
        std::printf("]}\n");
        return 0;
    }
    if (s.inUse) std::printf("%s is in use by a program (answered through the bridge's handle)\n", port.c_str());
    std::printf("baud %u, line %u%s%s\n", s.baud, s.dataBits, ParityName(s.parity).c_str(), stop);
    std::printf("DTR %s RTS %s CTS %s DSR %s DCD %s RING %s\n", dtr ? "on" : "off", rts ? "on" : "off",
                cts ? "on" : "off", dsr ? "on" : "off", dcd ? "on" : "off", ring ? "on" : "off");
    std::printf("received %u, transmitted %u, frame errors %u, overruns %u, buffer overruns %u, parity errors %u\n",
                s.received, s.transmitted, s.frameErrors, s.overruns, s.bufferOverruns, s.parityErrors);
    std::printf("queued: in %u, out %u\n", s.inQueue, s.outQueue);
    for (auto &l : s.links)
        std::printf("link %s%s ids %s: %s\n", Utf8(l.server).c_str(), l.raw ? " raw" : "", IdList(l.ids, ",").c_str(),
                    Utf8(l.state).c_str());
    return 0;
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

void Usage()
{
    std::fprintf(stderr,
                 "usage: quorvelctl [--state DIR] [--json] COMMAND\n"
                 "       quorvelctl --help | --version\n"
                 "  list                       ports, terminals, in use, connections\n"
                 "  add [--name COMn]          new port (the lowest free name by default)\n"
                 "  remove COMn\n"
                 "  show COMn                  the stored settings\n"
                 "  set COMn [--delay MS] [--rts LINES] [--dtr LINES] [--response-ms MS]\n"
                 "           --conn HOST:PORT[/raw]=ID[,ID...] ...\n"
                 "                             LINES: none or cts,dsr,dcd,ring; --response-ms: replies later\n"
                 "                             than MS after their request are dropped (0: no limit, kept\n"
                 "                             when not given)\n"
                 "  set COMn --response-ms MS  the response time alone\n"
                 "  status COMn                line settings, modem lines, statistics, links\n"
                 "  save COMn FILE.qvor | load COMn FILE.qvor\n");
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
    if (cmd == "remove" || cmd == "show" || cmd == "status") {
        need(2);
        if (!ValidPortName(args[1])) Fail(cmd + ": " + args[1] + " is not a COM port name", 2);
        Client c(stateDir);
        if (cmd == "remove") return Remove(c, args[1]);
        if (cmd == "show") return Show(c, args[1]);
        return Status(c, args[1]);
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
