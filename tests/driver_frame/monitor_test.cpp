// The port's monitor through the real driver: a monitor handle beside the application's, the
// events of a served request, an unserved id, an unrecognised frame and a server that is gone,
// the ring's overwriting, and the ring's end with its last handle.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "frame_fixture.h"
#include "monitorlog.h"
#include "quorvel.h"

namespace frametest {
namespace {

using quorvel::monitor::Batch;
using quorvel::monitor::Event;
using quorvel::monitor::Kind;

const std::vector<uint8_t> kMbapRequest = {0x00, 0x00, 0x00, 0x00, 0x00, 0x06, 0x01, 0x03, 0x00, 0x00, 0x00, 0x01};
const std::vector<uint8_t> kUnit9Request = {0x09, 0x03, 0x00, 0x00, 0x00, 0x01, 0x85, 0x42};
const std::vector<uint8_t> kUnit2Request = {0x02, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x39};
const std::vector<uint8_t> kNotAFrame = {0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x0A, 0x84};  // CRC bytes swapped

// A loopback port where nothing listens: bound, then let go.
uint16_t DeadPort()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof(a);
    EXPECT_EQ(bind(fd, (sockaddr *)&a, sizeof(a)), 0);
    EXPECT_EQ(getsockname(fd, (sockaddr *)&a, &size), 0);
    close(fd);
    return ntohs(a.sin_port);
}

class Monitor : public FrameTest {
protected:
    HANDLE OpenMonitor(const std::string &portName)
    {
        std::u16string path = u"\\\\.\\";
        for (char c : portName) path += (char16_t)c;
        path += quorvel::monitor::kMonitorSuffix;
        return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    }
    static bool Start(HANDLE monitor, ULONG on = 1)
    {
        DWORD bytes = 0;
        return DeviceIoControl(monitor, IOCTL_QUORVEL_MONITOR_START, &on, sizeof(on), nullptr, 0, &bytes, nullptr);
    }
    // One read, decoded by quorvelctl's own decoder: the layouts of both sides must agree.
    static Batch Read(HANDLE monitor)
    {
        std::vector<uint8_t> buffer(sizeof(QUORVEL_MONITOR_READ_HEADER) +
                                    QUORVEL_MONITOR_SLOTS * sizeof(QUORVEL_MONITOR_EVENT));
        DWORD bytes = 0;
        Batch batch;
        EXPECT_TRUE(DeviceIoControl(monitor, IOCTL_QUORVEL_MONITOR_READ, nullptr, 0, buffer.data(),
                                    (DWORD)buffer.size(), &bytes, nullptr));
        buffer.resize(bytes);
        EXPECT_TRUE(quorvel::monitor::DecodeBatch(buffer, &batch));
        return batch;
    }
    // Reads until an event of `kind` (with `reason`, when dropped) has come; all events read so
    // far stay in `events`.
    static bool ReadUntil(HANDLE monitor, std::vector<Event> *events, Kind kind, uint8_t reason = 0)
    {
        return qvtest::WaitUntil([&] {
            for (auto &e : Read(monitor).events) events->push_back(e);
            for (auto &e : *events)
                if (e.kind == kind && e.reason == reason) return true;
            return false;
        });
    }
};

std::vector<uint8_t> TwoServerRecord(uint16_t live, uint16_t dead)
{
    std::vector<uint8_t> record = MakeRecord(live, 0, {1});
    std::vector<uint8_t> second = MakeRecord(dead, 0, {2});
    record.insert(record.end(), second.begin() + ETH_INFO_HEADER_SIZE, second.end());
    uint32_t size = (uint32_t)record.size();
    for (int i = 0; i < 4; i++) record[i] = (uint8_t)(size >> (8 * i));
    return record;
}

std::vector<Kind> Kinds(const std::vector<Event> &events)
{
    std::vector<Kind> kinds;
    for (auto &e : events) kinds.push_back(e.kind);
    return kinds;
}

TEST_F(Monitor, SeesEveryStepBesideTheApplicationsHandle)
{
    ModbusServer server;
    uint16_t dead = DeadPort();
    AddPort("COM5");
    StoreRecord("COM5", TwoServerRecord(server.Port(), dead));
    HANDLE port = Open("COM5");
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    Configure(port, 10000);

    // The monitor's handle does not count against the port's one handle, nor opens it again.
    HANDLE monitor = OpenMonitor("COM5");
    ASSERT_NE(monitor, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_EQ(Open("COM5"), INVALID_HANDLE_VALUE);
    // Nothing to read before it is started; serial requests are not a monitor handle's, nor is
    // the monitor the port handle's.
    std::vector<uint8_t> buffer(4096);
    DWORD bytes = 0;
    EXPECT_FALSE(DeviceIoControl(monitor, IOCTL_QUORVEL_MONITOR_READ, nullptr, 0, buffer.data(), (DWORD)buffer.size(),
                                 &bytes, nullptr));
    EXPECT_FALSE(WriteFile(monitor, kRtuRequest.data(), (DWORD)kRtuRequest.size(), &bytes, nullptr));
    DCB dcb = {};
    EXPECT_FALSE(GetCommState(monitor, &dcb));
    EXPECT_FALSE(Start(port));
    ASSERT_TRUE(Start(monitor));
    ASSERT_TRUE(Start(monitor)) << "a second start of the same handle changes nothing";
    // A buffer that cannot hold one event is refused, not cut.
    EXPECT_FALSE(DeviceIoControl(monitor, IOCTL_QUORVEL_MONITOR_READ, nullptr, 0, buffer.data(),
                                 sizeof(QUORVEL_MONITOR_READ_HEADER) + 10, &bytes, nullptr));

    // A served request: written, parked for the first connect, sent, answered, placed.
    ASSERT_EQ(Transact(port, kRtuRequest, kRtuReply.size()), kRtuReply);
    std::vector<Event> events;
    ASSERT_TRUE(ReadUntil(monitor, &events, Kind::Placed));
    ASSERT_EQ(Kinds(events),
              (std::vector<Kind>{Kind::Written, Kind::Parked, Kind::Sent, Kind::Received, Kind::Placed}));
    EXPECT_EQ(events[0].mode, FRAME_MODE_RTU);
    EXPECT_EQ(events[0].data, kRtuRequest);
    std::vector<uint8_t> sent = kMbapRequest;
    sent[0] = 0x01;  // the connection's first transaction
    EXPECT_EQ(events[2].data, sent);
    EXPECT_EQ(events[2].serverPort, server.Port());
    EXPECT_EQ(events[3].data[0], 0x01) << "the server echoes the transaction id";
    EXPECT_EQ(events[3].length, 11u);
    EXPECT_EQ(events[4].data, kRtuReply);
    for (size_t i = 1; i < events.size(); i++) {
        EXPECT_EQ(events[i].sequence, events[i - 1].sequence + 1);
        EXPECT_GE(events[i].time, events[i - 1].time);
    }

    // No server for unit 9; a frame that is neither RTU nor ASCII.
    events.clear();
    Transact(port, kUnit9Request, 0);
    Transact(port, kNotAFrame, 0);
    ASSERT_TRUE(ReadUntil(monitor, &events, Kind::Dropped, DropChecksum));
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[1].kind, Kind::Dropped);
    EXPECT_EQ(events[1].reason, DropNoRoute);
    EXPECT_EQ(events[1].data, kUnit9Request);
    EXPECT_EQ(events[2].mode, FRAME_MODE_NONE);

    // A server that is gone. A write never waits for the port's connection lock, which the
    // connection thread still holds for a while after the first exchange when the machine is
    // loaded: such a request is dropped as connecting, and goes again until it is parked.
    auto dropped = [&] {
        for (auto &e : Read(monitor).events) events.push_back(e);
        for (auto &e : events)
            if (e.kind == Kind::Dropped) return true;
        return false;
    };
    ASSERT_TRUE(qvtest::WaitUntil([&] {
        events.clear();
        Transact(port, kUnit2Request, 0);
        return qvtest::WaitUntil(dropped) && std::none_of(events.begin(), events.end(), [](const Event &e) {
                   return e.kind == Kind::Dropped && e.reason == DropConnecting;
               });
    }));
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[1].kind, Kind::Parked);
    EXPECT_EQ(events[2].kind, Kind::Dropped);
    EXPECT_EQ(events[2].reason, DropLinkDown);
    EXPECT_EQ(events[2].serverPort, dead);
    EXPECT_EQ(events[2].data, events[1].data) << "the request lost is the one parked";

    CloseHandle(port);
    CloseHandle(monitor);
}

TEST_F(Monitor, RingKeepsTheNewestCountsTheLostAndEndsWithItsLastHandle)
{
    AddPort("COM6");
    HANDLE port = Open("COM6");
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    Configure(port, 0);
    HANDLE first = OpenMonitor("COM6");
    HANDLE second = OpenMonitor("COM6");
    ASSERT_TRUE(Start(first));
    ASSERT_TRUE(Start(second));

    // Each unrecognised frame makes two events: more than the ring holds.
    const int frames = QUORVEL_MONITOR_SLOTS / 2 + 20;
    for (int i = 0; i < frames; i++) Transact(port, kNotAFrame, 0);
    Batch batch = Read(first);
    EXPECT_EQ(batch.lost, 2u * frames - QUORVEL_MONITOR_SLOTS);
    ASSERT_EQ(batch.events.size(), (size_t)QUORVEL_MONITOR_SLOTS);
    EXPECT_EQ(batch.events.front().sequence, batch.lost + 1);
    EXPECT_EQ(batch.events.back().sequence, 2u * frames);
    EXPECT_TRUE(Read(first).events.empty()) << "a handle reads each event once";

    // The other handle reads on its own; its stop leaves the ring to the first.
    EXPECT_EQ(Read(second).events.size(), (size_t)QUORVEL_MONITOR_SLOTS);
    ASSERT_TRUE(Start(second, 0));
    ASSERT_TRUE(Start(second, 0));
    Transact(port, kNotAFrame, 0);
    EXPECT_EQ(Read(first).events.size(), 2u);

    // Closing the last handle, never stopped, ends the ring: a new one counts from 1 again.
    CloseHandle(first);
    ASSERT_TRUE(Start(second));
    Transact(port, kNotAFrame, 0);
    batch = Read(second);
    ASSERT_EQ(batch.events.size(), 2u);
    EXPECT_EQ(batch.events[0].sequence, 1u);
    EXPECT_EQ(batch.lost, 0u);
    CloseHandle(second);
    CloseHandle(port);
}

}  // namespace
}  // namespace frametest
