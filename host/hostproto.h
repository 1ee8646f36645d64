// The host's own operations on the control socket, used by quorvelctl (numbers from 100, beside
// the configurator's platform calls). Same framing and field encodings as controlproto.h.
#pragma once

#include <string>
#include <vector>

#include "common/controlproto.h"

namespace quorvel::hostctl {

using ctl::Bytes;

enum HostOp : std::uint16_t {
    ListPorts = 100,   // -> u32 count, then count x PortEntry
    AddPort = 101,     // string name ("" = the lowest free COM name) -> string name
    RemovePort = 102,  // string name -> nothing; 5 while a program holds it, 2 unknown
    PortStatus = 103,  // string name -> PortStatusReply
    // string name -> u32 id: starts a monitor of the port for this session, on a monitor handle of
    // its own (the port's program keeps its handle). The monitor stops when the session ends.
    MonitorOpen = 104,
    // u32 id -> bytes: the driver's events since the last read (its read layout); waits up to
    // about a second for one
    MonitorRead = 105,
};

struct MonitorId {
    std::uint32_t id = 0;
    template <class IO>
    void Fields(IO &io)
    {
        io(id);
    }
};

struct MonitorEvents {
    Bytes events;
    template <class IO>
    void Fields(IO &io)
    {
        io(events);
    }
};

struct PortEntry {
    std::u16string name, instanceId, ptyPath;
    bool started = false;
    bool inUse = false;
    Bytes record;   // the stored settings record (registry), empty when none
    Bytes options;  // the stored options record (registry), empty when none
    template <class IO>
    void Fields(IO &io)
    {
        io(name), io(instanceId), io(ptyPath), io(started), io(inUse), io(record), io(options);
    }
};

struct LinkEntry {
    std::u16string server;  // "a.b.c.d:port"
    bool raw = false;
    Bytes ids;
    std::u16string state;  // the transport's endpoint state, or "down" without an endpoint
    template <class IO>
    void Fields(IO &io)
    {
        io(server), io(raw), io(ids), io(state);
    }
};

struct PortStatusReply {
    bool inUse = false;
    std::uint32_t baud = 0;
    std::uint8_t dataBits = 0, parity = 0, stopBits = 0;
    std::uint32_t modemStatus = 0;  // MS_CTS_ON, MS_DSR_ON, MS_RING_ON, MS_RLSD_ON
    std::uint32_t dtrRts = 0;       // SERIAL_DTR_STATE, SERIAL_RTS_STATE
    std::uint32_t received = 0, transmitted = 0, frameErrors = 0, overruns = 0, bufferOverruns = 0, parityErrors = 0;
    std::uint32_t inQueue = 0, outQueue = 0;
    std::vector<LinkEntry> links;
    Bytes counters;  // the driver's counters record, empty when it could not be read
    template <class IO>
    void Fields(IO &io)
    {
        io(inUse), io(baud), io(dataBits), io(parity), io(stopBits), io(modemStatus), io(dtrRts);
        io(received), io(transmitted), io(frameErrors), io(overruns), io(bufferOverruns), io(parityErrors);
        io(inQueue), io(outQueue);
        List(io, links);
        io(counters);
    }
};

struct PortList {
    std::vector<PortEntry> ports;
    template <class IO>
    void Fields(IO &io)
    {
        List(io, ports);
    }
};

struct NameMessage {
    std::u16string name;
    template <class IO>
    void Fields(IO &io)
    {
        io(name);
    }
};

// A u32 count then the items. A reader never trusts the count beyond the bytes it has.
template <class T>
void List(ctl::Writer &w, std::vector<T> &items)
{
    std::uint32_t n = std::uint32_t(items.size());
    w(n);
    for (auto &item : items) item.Fields(w);
}
template <class T>
void List(ctl::Reader &r, std::vector<T> &items)
{
    std::uint32_t n = 0;
    r(n);
    items.clear();
    for (std::uint32_t i = 0; i < n && r.ok(); ++i) {
        T item;
        item.Fields(r);
        if (r.ok()) items.push_back(std::move(item));
    }
}

std::u16string Utf16(const std::string &text);
std::string Utf8(const std::u16string &text);

}  // namespace quorvel::hostctl
