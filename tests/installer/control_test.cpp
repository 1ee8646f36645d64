// The control-socket messages and the configurator's client, against a small server on a Unix
// socket in a temporary directory.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "PlatformHost.h"
#include "common/controlproto.h"
#include "common/ethrecord.h"
#include "common/multisz.h"
#include "common/version.h"

using namespace quorvel;
using namespace quorvel::ctl;

namespace {

DevData SampleDevice()
{
    DevData d;
    d.classGuid = kPortsClassGuid;
    d.devInst = 0x01020304;
    d.reserved = 0x1122334455667788ull;
    return d;
}

// A server that accepts `connections` connections one after the other and answers each request
// body with handler(body); an empty answer closes the connection. After the last accept it stops
// listening, so a client that connects again is refused at once, as by a host that is gone (a
// listener nobody accepts on would take the connection into its backlog and leave the client
// waiting for an answer).
class TestServer {
public:
    using Handler = std::function<Bytes(const Bytes &body)>;

    explicit TestServer(Handler handler, int connections = 1) : handler_(std::move(handler)), connections_(connections)
    {
        char pattern[] = "/tmp/qvctlXXXXXX";
        dir_ = ::mkdtemp(pattern);
        path_ = dir_ + "/control.sock";
        listen_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strcpy(addr.sun_path, path_.c_str());
        EXPECT_EQ(::bind(listen_, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
        EXPECT_EQ(::listen(listen_, 1), 0);
        thread_ = std::thread([this] { Serve(); });
    }

    ~TestServer()
    {
        Join();
        ::close(listen_);
        ::unlink(path_.c_str());
        ::rmdir(dir_.c_str());
    }

    const std::string &path() const { return path_; }

    // Waits for the server to finish (the client must be gone); received is safe to read after.
    void Join()
    {
        if (!thread_.joinable()) return;
        ::shutdown(listen_, SHUT_RDWR);
        thread_.join();
    }
    std::vector<Bytes> received;

private:
    void Serve()
    {
        for (int i = 0; i < connections_; ++i) {
            int fd = ::accept(listen_, nullptr, nullptr);
            if (i + 1 == connections_) ::shutdown(listen_, SHUT_RDWR);
            if (fd < 0) return;
            Bytes body;
            while (ReceiveFrame(fd, &body)) {
                received.push_back(body);
                Bytes answer = handler_(body);
                if (answer.empty() || !SendFrame(fd, answer)) break;
            }
            ::close(fd);
        }
    }

    Handler handler_;
    int connections_;
    std::string dir_, path_;
    int listen_ = -1;
    std::thread thread_;
};

// The body of a frame (the length prefix removed), checking the prefix on the way.
Bytes BodyOf(const Bytes &frame)
{
    EXPECT_GE(frame.size(), 4u);
    std::uint32_t length = 0;
    std::memcpy(&length, frame.data(), 4);
    EXPECT_EQ(length, frame.size() - 4);
    return Bytes(frame.begin() + 4, frame.end());
}

}  // namespace

TEST(ControlProtocolTest, DecodingRefusesShortLongAndMalformedBodies)
{
    SetClassMultiSzRequest req;
    req.classGuid = kPortsClassGuid;
    req.name = u"UpperFilters";
    req.data = EncodeMultiSz({u"a"});
    Bytes body = BodyOf(EncodeRequest(req));
    SetClassMultiSzRequest out;
    for (std::size_t cut = kRequestHeaderSize; cut < body.size(); ++cut)
        EXPECT_FALSE(DecodeFields(Bytes(body.begin(), body.begin() + cut), kRequestHeaderSize, &out)) << cut;
    Bytes longer = body;
    longer.push_back(0);
    EXPECT_FALSE(DecodeFields(longer, kRequestHeaderSize, &out));

    Bytes oddString = {1, 0, 4, 0, 3, 0, 0, 0, 'a', 0, 'b'};
    TextResponse t;
    EXPECT_FALSE(DecodeFields(oddString, kRequestHeaderSize, &t));
    Bytes badBool = {1, 0, 1, 0, 2};
    GetClassDevsRequest cd;
    EXPECT_FALSE(DecodeFields(badBool, kRequestHeaderSize, &cd));
    // A byte count larger than what follows must not be trusted.
    Bytes hugeCount = {1, 0, 4, 0, 0xFF, 0xFF, 0xFF, 0x7F};
    EXPECT_FALSE(DecodeFields(hugeCount, kRequestHeaderSize, &t));
    RequestHeader h;
    EXPECT_FALSE(DecodeRequestHeader(Bytes{1, 0, 9}, &h));
    ResponseHeader rh;
    EXPECT_FALSE(DecodeResponseHeader(Bytes{1, 0, 9, 0, 0, 0, 0}, &rh));
}

TEST(ControlClientTest, OperationsReachTheHostAndAnswersComeBack)
{
    Bytes record = BuildEthRecord(EthRecord{});
    TestServer server([&](const Bytes &body) -> Bytes {
        RequestHeader h;
        if (!DecodeRequestHeader(body, &h)) return {};
        switch (h.op) {
        case Op::GetClassDevs: {
            GetClassDevsRequest r;
            if (!DecodeFields(body, kRequestHeaderSize, &r)) return {};
            GetClassDevsResponse resp;
            resp.set = r.hasClass && r.classGuid == kPortsClassGuid && r.flags == DIGCF_PRESENT ? 7 : 8;
            return EncodeResponse(h.op, 0, resp);
        }
        case Op::EnumDeviceInfo: {
            EnumDeviceInfoRequest r;
            DecodeFields(body, kRequestHeaderSize, &r);
            EnumDeviceInfoResponse resp;
            if (r.set != 7 || r.index > 0) return EncodeResponse(h.op, ERROR_NO_MORE_ITEMS, resp);
            resp.device = SampleDevice();
            return EncodeResponse(h.op, 0, resp);
        }
        case Op::GetDeviceRegistryProperty: {
            GetDeviceRegistryPropertyRequest r;
            DecodeFields(body, kRequestHeaderSize, &r);
            DataResponse resp;
            Bytes value = EncodeMultiSz({u"Quorvel Port (COM7)"});
            resp.needed = static_cast<std::uint32_t>(value.size());
            if (r.bufferSize < value.size()) return EncodeResponse(h.op, ERROR_INSUFFICIENT_BUFFER, resp);
            resp.data = value;
            return EncodeResponse(h.op, 0, resp);
        }
        case Op::PortIoControl: {
            PortIoControlRequest r;
            DecodeFields(body, kRequestHeaderSize, &r);
            PortIoControlResponse resp;
            if (r.portName != u"COM7") return EncodeResponse(h.op, ERROR_FILE_NOT_FOUND, resp);
            if (r.ioctl == IOCTL_SERIAL_SET_ETHERNET) return EncodeResponse(h.op, ERROR_ACCESS_DENIED, resp);
            resp.output = record;
            resp.information = static_cast<std::uint32_t>(record.size());
            return EncodeResponse(h.op, 0, resp);
        }
        case Op::InstallFilterService: {
            InstallFilterServiceRequest r;
            DecodeFields(body, kRequestHeaderSize, &r);
            TextResponse resp;
            resp.text = r.fileName == u"myfilt.sys" && r.content == Bytes{'M', 'Z', 0, 1} ? u"myfilt" : u"?";
            return EncodeResponse(h.op, 0, resp);
        }
        default:
            // An operation this server does not know: an error with no fields.
            return FrameResponseBody(h.op, ERROR_INVALID_FUNCTION, {});
        }
    });

    {
        plat::PlatformHost host(server.path());
        std::string reason;
        ASSERT_TRUE(host.Connect(&reason)) << reason;

        // The handle is the client's own; the host's set 7 is what reaches the host.
        DevSet set = 0;
        EXPECT_EQ(host.GetClassDevs(&kPortsClassGuid, DIGCF_PRESENT, &set), 0u);
        EXPECT_NE(set, kNoDevSet);
        DevData dev;
        EXPECT_EQ(host.EnumDeviceInfo(set, 0, &dev), 0u);
        EXPECT_EQ(dev.devInst, 0x01020304u);
        EXPECT_EQ(dev.reserved, 0x1122334455667788ull);
        EXPECT_EQ(host.EnumDeviceInfo(set, 1, &dev), ERROR_NO_MORE_ITEMS);

        Bytes data;
        std::uint32_t needed = 0;
        EXPECT_EQ(host.GetDeviceRegistryProperty(set, dev, SPDRP_FRIENDLYNAME, 0, &data, &needed),
                  ERROR_INSUFFICIENT_BUFFER);
        EXPECT_EQ(needed, 42u);
        EXPECT_TRUE(data.empty());
        EXPECT_EQ(host.GetDeviceRegistryProperty(set, dev, SPDRP_FRIENDLYNAME, needed, &data, &needed), 0u);
        EXPECT_EQ(DecodeFirstString(data.data(), data.size()), u"Quorvel Port (COM7)");

        Bytes out;
        std::uint32_t info = 0;
        EXPECT_EQ(host.PortIoControl(u"COM7", IOCTL_SERIAL_GET_ETHERNET, {}, 32768, &out, &info), 0u);
        EXPECT_EQ(out, record);
        EXPECT_EQ(host.PortIoControl(u"COM7", IOCTL_SERIAL_SET_ETHERNET, record, 0, nullptr, &info),
                  ERROR_ACCESS_DENIED);
        EXPECT_EQ(host.PortIoControl(u"COM9", IOCTL_SERIAL_GET_ETHERNET, {}, 32768, &out, &info), ERROR_FILE_NOT_FOUND);

        // The client reads the filter file itself and sends its name and bytes; a file too large
        // for the host never leaves the client.
        char pattern[] = "/tmp/qvfiltXXXXXX";
        std::string dir = ::mkdtemp(pattern);
        std::string file = dir + "/myfilt.sys", big = dir + "/big.sys";
        std::ofstream(file, std::ios::binary).write("MZ\0\1", 4);
        std::ofstream(big, std::ios::binary) << std::string(kMaxFilterFileSize + 1, 'x');
        std::u16string service;
        EXPECT_EQ(host.InstallFilterService(Utf8ToUtf16(file), &service), 0u);
        EXPECT_EQ(service, u"myfilt");
        EXPECT_EQ(host.InstallFilterService(Utf8ToUtf16(big), &service), ERROR_FILE_TOO_LARGE);
        EXPECT_EQ(host.InstallFilterService(Utf8ToUtf16(dir + "/missing.sys"), &service), ERROR_FILE_NOT_FOUND);
        std::filesystem::remove_all(dir);

        // An error answer without fields keeps the connection usable.
        EXPECT_EQ(host.RemoveDevice(set, dev), ERROR_INVALID_FUNCTION);
        EXPECT_TRUE(host.connected());
        EXPECT_EQ(host.EnumDeviceInfo(set, 0, &dev), 0u);
    }
    server.Join();
    ASSERT_GE(server.received.size(), 2u);
    RequestHeader first;
    ASSERT_TRUE(DecodeRequestHeader(server.received[0], &first));
    EXPECT_EQ(first.op, Op::GetClassDevs);
    EXPECT_EQ(first.version, kProtocolVersion);
}

// The host's answers to another operation, a frame over the limit, a vanished host: the call fails,
// the session ends, and the next call connects again (refused here, as no host listens).
TEST(ControlClientTest, BrokenOrConfusedHostEndsTheSession)
{
    int answered = 0;
    TestServer server([&](const Bytes &body) -> Bytes {
        RequestHeader h;
        DecodeRequestHeader(body, &h);
        ++answered;
        if (answered == 1) return EncodeResponse(Op::RemoveDevice, 0, Empty{});  // answers another operation
        return {};
    });
    plat::PlatformHost host(server.path());
    ASSERT_TRUE(host.Connect(nullptr));
    std::u16string text;
    EXPECT_EQ(host.GetClassDescription(kPortsClassGuid, &text), ERROR_INVALID_DATA);
    EXPECT_FALSE(host.connected());
    EXPECT_EQ(host.GetClassDescription(kPortsClassGuid, &text), ERROR_PIPE_NOT_CONNECTED);
    Bytes out;
    std::uint32_t info = 0;
    EXPECT_EQ(host.PortIoControl(u"COM1", IOCTL_SERIAL_GET_ETHERNET, {}, 32768, &out, &info), ERROR_PIPE_NOT_CONNECTED);
    EXPECT_EQ(answered, 1);
}

TEST(ControlClientTest, OversizedAnswerAndVanishedHost)
{
    TestServer server([&](const Bytes &) -> Bytes {
        Bytes huge = {0xFF, 0xFF, 0xFF, 0x7F};  // a length prefix far over the limit
        return huge;
    });
    plat::PlatformHost host(server.path());
    ASSERT_TRUE(host.Connect(nullptr));
    DevSet set = 0;
    EXPECT_EQ(host.GetClassDevs(nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES, &set), ERROR_INVALID_DATA);
    EXPECT_EQ(set, kNoDevSet);
    EXPECT_FALSE(host.connected());

    plat::PlatformHost nobody(server.path() + ".missing");
    std::string reason;
    EXPECT_FALSE(nobody.Connect(&reason));
    EXPECT_NE(reason.find("control.sock.missing"), std::string::npos);
    EXPECT_EQ(nobody.GetClassDevs(nullptr, 0, &set), ERROR_PIPE_NOT_CONNECTED);
    EXPECT_EQ(nobody.SystemMessage(ERROR_PIPE_NOT_CONNECTED).find(u"Нет связи со службой quorvel-host"), 0u);
}

// A host that takes a request and never answers: the call fails within the reply bound and the
// connection is given up, so a late answer can never be read as the reply to a later request.
TEST(ControlClientTest, AHostThatNeverAnswersFailsTheCallWithinTheBound)
{
    std::mutex m;
    std::condition_variable cv;
    bool release = false;
    TestServer server([&](const Bytes &) -> Bytes {
        std::unique_lock lock(m);
        cv.wait(lock, [&] { return release; });
        return EncodeResponse(Op::GetClassDescription, 0, TextResponse{});
    });
    plat::PlatformHost host(server.path());
    host.SetReplyTimeout(std::chrono::milliseconds(200));
    std::u16string text;
    EXPECT_EQ(host.GetClassDescription(kPortsClassGuid, &text), ERROR_SEM_TIMEOUT);
    EXPECT_FALSE(host.connected());
    {
        std::lock_guard lock(m);
        release = true;
    }
    cv.notify_all();
}

// The host goes away and another takes its place: the sets of the lost session fail with
// ERROR_INVALID_HANDLE and never reach the new session, although it hands out the same set numbers;
// the request under way when the host went is reported, never sent again.
TEST(ControlClientTest, SetsOfALostSessionStayInvalidAfterReconnecting)
{
    int sessionsSeen = 0;
    TestServer server(
        [&](const Bytes &body) -> Bytes {
            RequestHeader h;
            DecodeRequestHeader(body, &h);
            if (h.op == Op::GetClassDevs) {
                ++sessionsSeen;
                GetClassDevsResponse resp;
                resp.set = 1;  // every session numbers its sets from 1
                return EncodeResponse(h.op, 0, resp);
            }
            if (h.op == Op::EnumDeviceInfo) {
                EnumDeviceInfoRequest r;
                DecodeFields(body, kRequestHeaderSize, &r);
                EnumDeviceInfoResponse resp;
                resp.device = SampleDevice();
                return EncodeResponse(h.op, r.set == 1 ? 0 : ERROR_INVALID_HANDLE, resp);
            }
            if (h.op == Op::DestroyDeviceInfoList) return EncodeResponse(h.op, 0, Empty{});
            return {};  // PortIoControl: the host dies with the request
        },
        2);
    {
        plat::PlatformHost host(server.path());
        DevSet first = kNoDevSet, second = kNoDevSet;
        ASSERT_EQ(host.GetClassDevs(&kPortsClassGuid, DIGCF_PRESENT, &first), 0u);
        Bytes out;
        std::uint32_t info = 0;
        EXPECT_EQ(host.PortIoControl(u"COM1", IOCTL_SERIAL_SET_ETHERNET, {1}, 0, &out, &info), ERROR_BROKEN_PIPE);
        DevData dev;
        EXPECT_EQ(host.EnumDeviceInfo(first, 0, &dev), ERROR_INVALID_HANDLE);
        ASSERT_EQ(host.GetClassDevs(&kPortsClassGuid, DIGCF_PRESENT, &second), 0u);
        EXPECT_NE(second, first);
        EXPECT_EQ(host.EnumDeviceInfo(second, 0, &dev), 0u);
        EXPECT_EQ(host.EnumDeviceInfo(first, 0, &dev), ERROR_INVALID_HANDLE);
        Bytes data;
        EXPECT_EQ(host.GetDeviceRegistryProperty(first, dev, SPDRP_FRIENDLYNAME, 64, &data, nullptr),
                  ERROR_INVALID_HANDLE);
        EXPECT_EQ(host.SetDeviceRegistryProperty(first, dev, SPDRP_FRIENDLYNAME, {}), ERROR_INVALID_HANDLE);
        EXPECT_EQ(host.RemoveDevice(first, dev), ERROR_INVALID_HANDLE);
        host.DestroyDeviceInfoList(first);
        host.DestroyDeviceInfoList(second);
        EXPECT_EQ(host.EnumDeviceInfo(second, 0, &dev), ERROR_INVALID_HANDLE);
    }
    server.Join();
    EXPECT_EQ(sessionsSeen, 2);
    // Only the new session's set was named to a host after the loss, and the lost request went once.
    std::map<Op, int> ops;
    for (const Bytes &b : server.received) {
        RequestHeader h;
        ASSERT_TRUE(DecodeRequestHeader(b, &h));
        ++ops[h.op];
    }
    EXPECT_EQ(
        ops,
        (std::map<Op, int>{
            {Op::GetClassDevs, 2}, {Op::PortIoControl, 1}, {Op::EnumDeviceInfo, 1}, {Op::DestroyDeviceInfoList, 1}}));
}

TEST(ControlClientTest, LocalServicesNeedNoHost)
{
    plat::PlatformHost host("/nonexistent/control.sock");
    std::array<std::uint8_t, 4> addr{};
    EXPECT_TRUE(host.ResolveHostV4("localhost", &addr));
    EXPECT_EQ(addr, (std::array<std::uint8_t, 4>{127, 0, 0, 1}));
    EXPECT_FALSE(host.ResolveHostV4("", &addr));
    EXPECT_EQ(host.SystemMessage(5), u"Отказано в доступе. (код 5)");

    Bytes blob;
    ASSERT_EQ(host.LoadVersionInfo(u"quorvel-installer", &blob), 0u);
    Bytes value;
    ASSERT_TRUE(host.QueryVersionValue(blob, u"\\VarFileInfo\\Translation", &value));
    EXPECT_EQ(value, (Bytes{0x19, 0x04, 0xE3, 0x04}));
    ASSERT_TRUE(host.QueryVersionValue(blob, u"\\StringFileInfo\\041904e3\\FileVersion", &value));
    EXPECT_EQ(DecodeFirstString(value.data(), value.size()), quorvel::Utf8ToUtf16(QUORVEL_VERSION));
    EXPECT_FALSE(host.QueryVersionValue(blob, u"\\StringFileInfo\\041904e3\\Nothing", &value));
}

TEST(ControlProtocolTest, DocumentedExampleIsWhatGoesOnTheWire)
{
    PortIoControlRequest req;
    req.portName = u"COM5";
    req.ioctl = IOCTL_SERIAL_GET_ETHERNET;
    req.outputSize = kEthReadBufferSize;
    EXPECT_EQ(EncodeRequest(req), (Bytes{0x1C, 0, 0,   0, 1,    0,    9,    0,    8, 0, 0, 0, 'C',  0,    'O',  0,
                                         'M',  0, '5', 0, 0x44, 0x9C, 0x1B, 0x00, 0, 0, 0, 0, 0x00, 0x80, 0x00, 0x00}));
    EXPECT_EQ(EncodeResponse(Op::PortIoControl, ERROR_NO_SYSTEM_RESOURCES, PortIoControlResponse{}),
              (Bytes{0x10, 0, 0, 0, 1, 0, 9, 0, 0xAA, 0x05, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}
