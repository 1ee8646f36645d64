// A port monitor's events as the driver's read request returns them, decoded for quorvelctl:
// one line of text or JSON per event, and the conversation as a pcapng file that Wireshark's
// Modbus/TCP dissector reads.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace quorvel::monitor {

inline constexpr std::uint32_t IOCTL_QUORVEL_MONITOR_START = 0x001B9C54;
inline constexpr std::uint32_t IOCTL_QUORVEL_MONITOR_READ = 0x001B9C58;
// The name after the port's that opens a monitor handle beside the port's one handle.
inline constexpr char16_t kMonitorSuffix[] = u"\\Monitor";

// The driver's read layout: a 24-byte header, then events of 32 + kDataSize bytes.
inline constexpr std::size_t kHeaderSize = 24;
inline constexpr std::size_t kDataSize = 264;
inline constexpr std::size_t kEventSize = 32 + kDataSize;

enum class Kind : std::uint8_t { Written = 1, Sent = 2, Parked = 3, Received = 4, Placed = 5, Dropped = 6 };

struct Event {
    std::uint32_t sequence = 0;
    Kind kind = Kind::Written;
    std::uint8_t mode = 0;    // 0 neither, 1 RTU, 2 ASCII
    std::uint8_t reason = 0;  // drop reason
    bool raw = false;
    std::uint64_t time = 0;        // 100 ns since the ring's start
    std::uint32_t serverIp = 0;    // network order
    std::uint16_t serverPort = 0;  // 0: no connection
    std::uint16_t awaitedId = 0;   // the connection's last transaction id
    std::uint32_t length = 0;      // the whole frame's length; data may hold fewer bytes
    std::vector<std::uint8_t> data;
};

struct Batch {
    std::uint32_t lost = 0;      // events overwritten before they were read
    std::int64_t startTime = 0;  // Windows system time of the ring's start (100 ns since 1601)
    std::vector<Event> events;
};

// False for a buffer that is not a whole read (sizes that do not match the layout).
bool DecodeBatch(const std::vector<std::uint8_t> &bytes, Batch *batch);

std::string ReasonName(std::uint8_t reason);  // "no-route", "link-down", ...
std::string KindName(Kind kind);              // "written", "sent", ...

// Keeps what a line needs from earlier events: the time each request went out, so a reply
// shows its round trip.
class Formatter {
public:
    std::string Text(const Event &event, std::int64_t startTime);
    std::string Json(const Event &event, std::int64_t startTime);
    static std::string LostText(std::uint32_t lost);
    static std::string LostJson(std::uint32_t lost);

private:
    struct Decoded {
        bool known = false;
        int unit = -1, function = -1, address = -1, count = -1, exception = -1, transaction = -1;
        std::string framing;  // "rtu", "ascii", "mbap", "raw", ""
    };
    Decoded Decode(const Event &event) const;
    // Round trip in microseconds of a reply, or -1.
    double RoundTrip(const Event &event, const Decoded &decoded);
    std::map<std::uint64_t, std::uint64_t> sentAt_;  // (server, transaction) -> time
};

// pcapng of the conversation: interface 0 carries synthesised IPv4/TCP between the port (one
// ephemeral port per server link) and each server on port 502; interface 1 (user link type 147)
// carries the application's frames; every packet has a comment saying what it was.
class PcapngWriter {
public:
    explicit PcapngWriter(std::FILE *file, const std::string &portName);
    bool ok() const { return ok_; }
    void Add(const Event &event, std::int64_t startTime);
    void Flush();

private:
    struct Flow {
        std::uint16_t clientPort = 0;
        std::uint32_t clientSeq = 0, serverSeq = 0;
        bool open = false;
    };
    void Block(std::uint32_t type, const std::vector<std::uint8_t> &body);
    void Packet(std::uint32_t interface, std::uint64_t micros, const std::vector<std::uint8_t> &data,
                const std::string &comment);
    void Tcp(const Event &event, std::uint64_t micros, bool toServer, std::uint8_t flags,
             const std::vector<std::uint8_t> &payload, const std::string &comment);
    std::FILE *file_;
    bool ok_ = true;
    std::map<std::uint64_t, Flow> flows_;
    std::uint16_t nextClientPort_ = 49152;
};

// Windows system time (100 ns since 1601) to microseconds since 1970.
std::uint64_t UnixMicros(std::int64_t startTime, std::uint64_t since);

}  // namespace quorvel::monitor
