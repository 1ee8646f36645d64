#include "monitorlog.h"

#include <cstring>
#include <ctime>

namespace quorvel::monitor {

namespace {

std::uint16_t Le16(const std::uint8_t *p) { return std::uint16_t(p[0] | (p[1] << 8)); }
std::uint32_t Le32(const std::uint8_t *p) { return Le16(p) | (std::uint32_t(Le16(p + 2)) << 16); }
std::uint64_t Le64(const std::uint8_t *p) { return Le32(p) | (std::uint64_t(Le32(p + 4)) << 32); }
int Be16(const std::vector<std::uint8_t> &d, std::size_t at)
{
    return at + 1 < d.size() ? (d[at] << 8) | d[at + 1] : -1;
}

int Nibble(std::uint8_t c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return 0;
}

std::string Hex(const std::vector<std::uint8_t> &data, const char *separator)
{
    std::string s;
    char buf[4];
    for (std::size_t i = 0; i < data.size(); ++i) {
        std::snprintf(buf, sizeof(buf), "%02X", data[i]);
        if (i) s += separator;
        s += buf;
    }
    return s;
}

std::string Server(const Event &e)
{
    std::uint8_t b[4];
    std::memcpy(b, &e.serverIp, 4);
    return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." + std::to_string(b[3]) +
           ":" + std::to_string(e.serverPort);
}

bool IsReply(const Event &e)
{
    if (e.kind == Kind::Received || e.kind == Kind::Placed) return true;
    if (e.kind != Kind::Dropped) return false;
    return e.reason == 6 || e.reason == 7 || e.reason == 8;
}

std::string Clock(std::int64_t startTime, std::uint64_t since, bool iso)
{
    std::uint64_t micros = UnixMicros(startTime, since);
    std::time_t seconds = std::time_t(micros / 1000000);
    std::tm tm{};
    if (iso)
        gmtime_r(&seconds, &tm);
    else
        localtime_r(&seconds, &tm);
    char buf[48];
    std::size_t n = std::strftime(buf, sizeof(buf), iso ? "%Y-%m-%dT%H:%M:%S" : "%H:%M:%S", &tm);
    std::snprintf(buf + n, sizeof(buf) - n, ".%06u%s", unsigned(micros % 1000000), iso ? "Z" : "");
    return buf;
}

}  // namespace

std::uint64_t UnixMicros(std::int64_t startTime, std::uint64_t since)
{
    constexpr std::int64_t kEpochDifference = 116444736000000000LL;  // 1601 to 1970 in 100 ns
    std::int64_t t = startTime + std::int64_t(since) - kEpochDifference;
    return t > 0 ? std::uint64_t(t) / 10 : 0;
}

bool DecodeBatch(const std::vector<std::uint8_t> &bytes, Batch *batch)
{
    if (bytes.size() < kHeaderSize) return false;
    const std::uint8_t *p = bytes.data();
    if (Le16(p) != kHeaderSize || Le16(p + 2) != kEventSize) return false;
    std::uint32_t count = Le32(p + 4);
    if (bytes.size() != kHeaderSize + std::size_t(count) * kEventSize) return false;
    batch->lost = Le32(p + 8);
    batch->startTime = std::int64_t(Le64(p + 16));
    batch->events.clear();
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint8_t *e = p + kHeaderSize + std::size_t(i) * kEventSize;
        Event event;
        event.sequence = Le32(e);
        if (e[4] < 1 || e[4] > 6) return false;
        event.kind = Kind(e[4]);
        event.mode = e[5];
        event.reason = e[6];
        event.raw = e[7] != 0;
        event.time = Le64(e + 8);
        std::memcpy(&event.serverIp, e + 16, 4);
        event.serverPort = Le16(e + 20);
        event.awaitedId = Le16(e + 22);
        event.length = Le32(e + 24);
        std::uint16_t stored = Le16(e + 28);
        if (stored > kDataSize || stored > event.length) return false;
        event.data.assign(e + 32, e + 32 + stored);
        batch->events.push_back(std::move(event));
    }
    return true;
}

std::string ReasonName(std::uint8_t reason)
{
    switch (reason) {
    case 1: return "no-route";
    case 2: return "link-down";
    case 3: return "connecting";
    case 4: return "too-long";
    case 5: return "checksum";
    case 6: return "unknown-transaction";
    case 7: return "bad-length";
    case 8: return "late";
    default: return "reason-" + std::to_string(reason);
    }
}

std::string KindName(Kind kind)
{
    switch (kind) {
    case Kind::Written: return "written";
    case Kind::Sent: return "sent";
    case Kind::Parked: return "parked";
    case Kind::Received: return "received";
    case Kind::Placed: return "placed";
    case Kind::Dropped: return "dropped";
    }
    return "?";
}

Formatter::Decoded Formatter::Decode(const Event &e) const
{
    Decoded d;
    std::vector<std::uint8_t> content;  // unit, function, data
    const auto &b = e.data;
    bool serverSide = e.serverPort != 0 && (e.kind == Kind::Sent || e.kind == Kind::Parked ||
                                            e.kind == Kind::Received || e.kind == Kind::Dropped);
    if (e.kind == Kind::Dropped && (e.reason == 1 || e.reason == 5 || (e.reason == 3 || e.reason == 4)))
        serverSide = false;  // the application's frame, not what a server carried
    if (serverSide && !e.raw) {
        d.framing = "mbap";
        if (b.size() < 8) return d;
        d.transaction = (b[0] << 8) | b[1];  // as the wire and Wireshark read it
        content.assign(b.begin() + 6, b.end());
    } else if (!b.empty() && b[0] == ':') {
        d.framing = "ascii";
        for (std::size_t i = 1; i + 1 < b.size() && i + 4 < e.length; i += 2)
            content.push_back(std::uint8_t(Nibble(b[i]) * 16 + Nibble(b[i + 1])));
    } else {
        d.framing = serverSide ? "raw" : "rtu";
        if (b.size() >= 4 && b.size() == e.length)
            content.assign(b.begin(), b.end() - 2);
        else
            content = b;
    }
    if (e.kind == Kind::Written && e.mode == 0) d.framing = "";
    if (content.size() < 2) return d;
    d.known = true;
    d.unit = content[0];
    d.function = content[1];
    bool reply = IsReply(e);
    std::size_t at = 2;
    if (d.function & 0x80) {
        if (reply && content.size() > at) d.exception = content[at];
        return d;
    }
    switch (d.function) {
    case 1:
    case 2:
    case 3:
    case 4:
    case 23:
        if (reply) {
            if (content.size() > at) d.count = content[at];  // byte count
        } else {
            d.address = Be16(content, at);
            d.count = Be16(content, at + 2);
        }
        break;
    case 5:
    case 6:
    case 15:
    case 16:
        d.address = Be16(content, at);
        d.count = Be16(content, at + 2);
        break;
    default: break;
    }
    return d;
}

double Formatter::RoundTrip(const Event &e, const Decoded &d)
{
    if (e.serverPort == 0) return -1;
    std::uint64_t key = (std::uint64_t(e.serverIp) << 32) | (std::uint64_t(e.serverPort) << 16) |
                        std::uint64_t(d.transaction < 0 ? 0 : d.transaction);
    if (e.kind == Kind::Sent) {
        sentAt_[key] = e.time;
        if (sentAt_.size() > 4096) sentAt_.erase(sentAt_.begin());
        return -1;
    }
    if (e.kind != Kind::Received) return -1;
    auto it = sentAt_.find(key);
    if (it == sentAt_.end()) return -1;
    double micros = double(e.time - it->second) / 10.0;
    sentAt_.erase(it);
    return micros;
}

static std::string FieldsText(const Event &e, int function, int address, int count, int exception, bool reply)
{
    std::string s;
    if (function < 0) return s;
    char buf[96];
    std::snprintf(buf, sizeof(buf), " fc %d", function & 0x7F);
    s += buf;
    if (exception >= 0) {
        std::snprintf(buf, sizeof(buf), " exception %d", exception);
        s += buf;
    } else if (reply && (function == 1 || function == 2 || function == 3 || function == 4 || function == 23)) {
        if (count >= 0) s += " bytes " + std::to_string(count);
    } else if (address >= 0) {
        s += " addr " + std::to_string(address);
        if (count >= 0) s += (function == 5 || function == 6 ? " value " : " count ") + std::to_string(count);
    }
    (void)e;
    return s;
}

std::string Formatter::Text(const Event &e, std::int64_t startTime)
{
    Decoded d = Decode(e);
    double rtt = RoundTrip(e, d);
    std::string line = Clock(startTime, e.time, false) + " ";
    char kind[16];
    std::snprintf(kind, sizeof(kind), "%-8s", KindName(e.kind).c_str());
    line += kind;
    if (e.kind == Kind::Dropped) line += " " + ReasonName(e.reason);
    if (e.kind == Kind::Written)
        line += std::string(" ") + (e.mode == 1 ? "RTU" : e.mode == 2 ? "ASCII" : "unrecognised");
    if (e.serverPort != 0) {
        const char *arrow = e.kind == Kind::Received || IsReply(e) ? " <- " : " -> ";
        line += arrow + Server(e) + (e.raw ? " raw" : "");
    }
    if (d.transaction >= 0) line += " tid " + std::to_string(d.transaction);
    if (d.known) line += " unit " + std::to_string(d.unit);
    line += FieldsText(e, d.known ? d.function : -1, d.address, d.count, d.exception, IsReply(e));
    if (rtt >= 0) {
        char buf[48];
        std::snprintf(buf, sizeof(buf), " rtt %.3f ms", rtt / 1000.0);
        line += buf;
    }
    if (e.kind == Kind::Parked) line += " (waits for its link)";
    line += " | " + Hex(e.data, " ");
    if (e.data.size() < e.length) line += " ... (" + std::to_string(e.length) + " bytes)";
    return line;
}

std::string Formatter::Json(const Event &e, std::int64_t startTime)
{
    Decoded d = Decode(e);
    double rtt = RoundTrip(e, d);
    std::string o = "{\"seq\": " + std::to_string(e.sequence) + ", \"time\": \"" + Clock(startTime, e.time, true) +
                    "\", \"event\": \"" + KindName(e.kind) + "\"";
    if (e.kind == Kind::Dropped) o += ", \"reason\": \"" + ReasonName(e.reason) + "\"";
    if (!d.framing.empty()) o += ", \"framing\": \"" + d.framing + "\"";
    if (e.serverPort != 0) o += ", \"server\": \"" + Server(e) + "\", \"raw\": " + (e.raw ? "true" : "false");
    if (d.transaction >= 0) o += ", \"tid\": " + std::to_string(d.transaction);
    if (d.known) {
        o += ", \"unit\": " + std::to_string(d.unit) + ", \"function\": " + std::to_string(d.function & 0x7F);
        if (d.exception >= 0) o += ", \"exception\": " + std::to_string(d.exception);
        bool reply = IsReply(e);
        bool readReply =
            reply && (d.function == 1 || d.function == 2 || d.function == 3 || d.function == 4 || d.function == 23);
        if (readReply && d.count >= 0) o += ", \"bytes\": " + std::to_string(d.count);
        if (!readReply && d.address >= 0) o += ", \"address\": " + std::to_string(d.address);
        if (!readReply && d.count >= 0)
            o += std::string(d.function == 5 || d.function == 6 ? ", \"value\": " : ", \"count\": ") +
                 std::to_string(d.count);
    }
    if (rtt >= 0) {
        char buf[48];
        std::snprintf(buf, sizeof(buf), ", \"rtt_ms\": %.3f", rtt / 1000.0);
        o += buf;
    }
    o += ", \"length\": " + std::to_string(e.length) + ", \"hex\": \"" + Hex(e.data, "") + "\"}";
    return o;
}

std::string Formatter::LostText(std::uint32_t lost)
{
    return "-- " + std::to_string(lost) + " events lost (the monitor's ring was overwritten before they were read)";
}

std::string Formatter::LostJson(std::uint32_t lost)
{
    return "{\"event\": \"lost\", \"count\": " + std::to_string(lost) + "}";
}

// ---------------------------------------------------------------- pcapng

namespace {

constexpr std::uint32_t kPortSideAddress = 0xC0000201;  // 192.0.2.1: a documentation address, never a host
constexpr std::uint16_t kModbusTcpPort = 502;

void Put16(std::vector<std::uint8_t> &b, std::uint16_t v)
{
    b.push_back(std::uint8_t(v));
    b.push_back(std::uint8_t(v >> 8));
}
void Put32(std::vector<std::uint8_t> &b, std::uint32_t v)
{
    Put16(b, std::uint16_t(v));
    Put16(b, std::uint16_t(v >> 16));
}
void PutBe16(std::vector<std::uint8_t> &b, std::uint16_t v)
{
    b.push_back(std::uint8_t(v >> 8));
    b.push_back(std::uint8_t(v));
}
void PutBe32(std::vector<std::uint8_t> &b, std::uint32_t v)
{
    PutBe16(b, std::uint16_t(v >> 16));
    PutBe16(b, std::uint16_t(v));
}
void Pad(std::vector<std::uint8_t> &b)
{
    while (b.size() % 4) b.push_back(0);
}
void Option(std::vector<std::uint8_t> &b, std::uint16_t code, const std::string &value)
{
    Put16(b, code);
    Put16(b, std::uint16_t(value.size()));
    b.insert(b.end(), value.begin(), value.end());
    Pad(b);
}

std::uint32_t Sum16(const std::uint8_t *p, std::size_t n, std::uint32_t sum)
{
    for (std::size_t i = 0; i + 1 < n; i += 2) sum += (p[i] << 8) | p[i + 1];
    if (n % 2) sum += p[n - 1] << 8;
    return sum;
}
std::uint16_t Fold(std::uint32_t sum)
{
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return std::uint16_t(~sum);
}

}  // namespace

PcapngWriter::PcapngWriter(std::FILE *file, const std::string &portName) : file_(file)
{
    std::vector<std::uint8_t> shb;
    Put32(shb, 0x1A2B3C4D);
    Put16(shb, 1);
    Put16(shb, 0);
    Put32(shb, 0xFFFFFFFF);  // section length not known
    Put32(shb, 0xFFFFFFFF);
    Option(shb, 4, "quorvelctl monitor");  // shb_userappl
    Put32(shb, 0);
    Block(0x0A0D0D0A, shb);

    auto idb = [&](std::uint16_t linkType, const std::string &name, const std::string &description) {
        std::vector<std::uint8_t> b;
        Put16(b, linkType);
        Put16(b, 0);
        Put32(b, 0);                            // no snapshot limit
        Option(b, 2, name);                     // if_name
        Option(b, 3, description);              // if_description
        Option(b, 9, std::string(1, char(6)));  // if_tsresol: microseconds
        Put32(b, 0);
        Block(1, b);
    };
    idb(228, portName + "-links", portName + "'s requests and replies as Modbus/TCP (synthesised IPv4/TCP)");
    idb(147, portName, portName + "'s serial side: the frames the application wrote and read");
}

void PcapngWriter::Block(std::uint32_t type, const std::vector<std::uint8_t> &body)
{
    std::vector<std::uint8_t> b;
    std::uint32_t total = std::uint32_t(12 + body.size());
    Put32(b, type);
    Put32(b, total);
    b.insert(b.end(), body.begin(), body.end());
    Put32(b, total);
    if (std::fwrite(b.data(), 1, b.size(), file_) != b.size()) ok_ = false;
}

void PcapngWriter::Packet(std::uint32_t interface, std::uint64_t micros, const std::vector<std::uint8_t> &data,
                          const std::string &comment)
{
    std::vector<std::uint8_t> b;
    Put32(b, interface);
    Put32(b, std::uint32_t(micros >> 32));
    Put32(b, std::uint32_t(micros));
    Put32(b, std::uint32_t(data.size()));
    Put32(b, std::uint32_t(data.size()));
    b.insert(b.end(), data.begin(), data.end());
    Pad(b);
    if (!comment.empty()) Option(b, 1, comment);  // opt_comment
    Put32(b, 0);
    Block(6, b);
}

void PcapngWriter::Tcp(const Event &e, std::uint64_t micros, bool toServer, std::uint8_t flags,
                       const std::vector<std::uint8_t> &payload, const std::string &comment)
{
    std::uint64_t key = (std::uint64_t(e.serverIp) << 16) | e.serverPort;
    Flow &flow = flows_[key];
    std::uint32_t server = (std::uint32_t(reinterpret_cast<const std::uint8_t *>(&e.serverIp)[0]) << 24) |
                           (std::uint32_t(reinterpret_cast<const std::uint8_t *>(&e.serverIp)[1]) << 16) |
                           (std::uint32_t(reinterpret_cast<const std::uint8_t *>(&e.serverIp)[2]) << 8) |
                           std::uint32_t(reinterpret_cast<const std::uint8_t *>(&e.serverIp)[3]);
    // Converted links on 502, where the Modbus/TCP dissector looks; raw links keep their port.
    std::uint16_t serverPort = e.raw ? e.serverPort : kModbusTcpPort;
    std::uint32_t src = toServer ? kPortSideAddress : server, dst = toServer ? server : kPortSideAddress;
    std::uint16_t sport = toServer ? flow.clientPort : serverPort, dport = toServer ? serverPort : flow.clientPort;
    std::uint32_t seq = toServer ? flow.clientSeq : flow.serverSeq;
    std::uint32_t ack = toServer ? flow.serverSeq : flow.clientSeq;

    std::vector<std::uint8_t> tcp;
    PutBe16(tcp, sport);
    PutBe16(tcp, dport);
    PutBe32(tcp, seq);
    PutBe32(tcp, (flags & 0x10) ? ack : 0);
    tcp.push_back(5 << 4);
    tcp.push_back(flags);
    PutBe16(tcp, 65535);
    PutBe16(tcp, 0);  // checksum, below
    PutBe16(tcp, 0);
    tcp.insert(tcp.end(), payload.begin(), payload.end());
    std::uint8_t pseudo[12] = {std::uint8_t(src >> 24),
                               std::uint8_t(src >> 16),
                               std::uint8_t(src >> 8),
                               std::uint8_t(src),
                               std::uint8_t(dst >> 24),
                               std::uint8_t(dst >> 16),
                               std::uint8_t(dst >> 8),
                               std::uint8_t(dst),
                               0,
                               6,
                               std::uint8_t(tcp.size() >> 8),
                               std::uint8_t(tcp.size())};
    std::uint16_t tcpSum = Fold(Sum16(tcp.data(), tcp.size(), Sum16(pseudo, sizeof(pseudo), 0)));
    tcp[16] = std::uint8_t(tcpSum >> 8);
    tcp[17] = std::uint8_t(tcpSum);

    std::vector<std::uint8_t> ip;
    ip.push_back(0x45);
    ip.push_back(0);
    PutBe16(ip, std::uint16_t(20 + tcp.size()));
    PutBe16(ip, 0);
    PutBe16(ip, 0x4000);  // don't fragment
    ip.push_back(64);
    ip.push_back(6);
    PutBe16(ip, 0);
    PutBe32(ip, src);
    PutBe32(ip, dst);
    std::uint16_t ipSum = Fold(Sum16(ip.data(), ip.size(), 0));
    ip[10] = std::uint8_t(ipSum >> 8);
    ip[11] = std::uint8_t(ipSum);
    ip.insert(ip.end(), tcp.begin(), tcp.end());

    std::uint32_t advance = std::uint32_t(payload.size()) + ((flags & 0x02) ? 1 : 0);
    (toServer ? flow.clientSeq : flow.serverSeq) += advance;
    Packet(0, micros, ip, comment);
}

void PcapngWriter::Add(const Event &e, std::int64_t startTime)
{
    std::uint64_t micros = UnixMicros(startTime, e.time);
    Formatter formatter;
    std::string comment = formatter.Text(e, startTime);
    std::size_t bar = comment.find(" | ");
    if (bar != std::string::npos) comment.resize(bar);  // the bytes are the packet
    comment = comment.substr(comment.find(' ') + 1);    // and the time is its timestamp
    std::string single;  // the text's column padding does not belong in a comment
    for (char c : comment)
        if (c != ' ' || single.empty() || single.back() != ' ') single.push_back(c);
    comment = single;

    bool traffic = e.serverPort != 0 && (e.kind == Kind::Sent || e.kind == Kind::Received);
    // A parked request waits for its link to be made: what follows is a new TCP connection.
    if (e.kind == Kind::Parked) flows_[(std::uint64_t(e.serverIp) << 16) | e.serverPort].open = false;
    if (!traffic) {
        Packet(1, micros, e.data, comment);
        return;
    }
    std::uint64_t key = (std::uint64_t(e.serverIp) << 16) | e.serverPort;
    Flow &flow = flows_[key];
    if (!flow.open) {
        // The link's handshake, so that the dissector follows the stream from its start.
        flow.open = true;
        flow.clientPort = nextClientPort_++;
        flow.clientSeq = 1000;
        flow.serverSeq = 50000;
        std::string link = "link " + std::to_string(e.serverPort) + (e.raw ? " (raw)" : "");
        Tcp(e, micros, true, 0x02, {}, link);
        Tcp(e, micros, false, 0x12, {}, "");
        Tcp(e, micros, true, 0x10, {}, "");
    }
    // A reply's bytes beyond what the driver kept are not known; the packet carries what was kept.
    Tcp(e, micros, e.kind == Kind::Sent, 0x18, e.data, comment);
}

void PcapngWriter::Flush()
{
    if (std::fflush(file_) != 0) ok_ = false;
}

}  // namespace quorvel::monitor
