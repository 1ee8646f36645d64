// quorvel-host end to end: real serial programs (mbpoll, pymodbus) on the pseudo-terminals,
// quorvel-sim and pymodbus servers on 127.0.0.1, quorvelctl over the control socket. Each test
// has its own state directory.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <modbus.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <vector>

#include "common/controlproto.h"
#include "common/ethrecord.h"
#include "common/multisz.h"
#include "common/settingsfile.h"
#include "hostproto.h"
#include "platform_test.h"
#include "programs.h"

using hosttest::Process;
using hosttest::Result;

namespace {

// Python prelude for programs written inline: pyserial and the Modbus CRC as rtu(content).
const std::string kPySerialCrc =
    "import serial, sys, time\n"
    "def rtu(req):\n"
    "    crc = 0xFFFF\n"
    "    for b in req:\n"
    "        crc ^= b\n"
    "        for _ in range(8): crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1\n"
    "    return req + bytes([crc & 0xFF, crc >> 8])\n";

sockaddr_in Loopback(int port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(std::uint16_t(port));
    return addr;
}

std::string FileText(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

class HostEndToEnd : public ::testing::Test {
protected:
    std::string State() const { return state_.Path() + "/state"; }
    std::string Link(const std::string &port) const { return State() + "/dev/" + port; }

    void StartHost(const std::vector<std::string> &options = {})
    {
        std::filesystem::remove(State() + "/control.sock");
        std::vector<std::string> argv = {QV_HOST, "--state", State()};
        argv.insert(argv.end(), options.begin(), options.end());
        host_ = std::make_unique<Process>(argv, state_.Path() + "/host" + std::to_string(++hostRuns_));
        ASSERT_TRUE(qvtest::WaitUntil(
            [&] { return std::filesystem::exists(State() + "/control.sock") || !host_->Running(); }, 30000));
        ASSERT_TRUE(host_->Running()) << host_->Err();
    }
    // The running host checks the driver's lock order and IRQL rules: whatever the test drove,
    // nothing it did may have broken one.
    int StopHost(int signal = SIGTERM)
    {
        int status = host_->Stop(signal);
        EXPECT_EQ(host_->Err().find("VERIFIER violation"), std::string::npos) << host_->Err();
        return status;
    }

    Result Ctl(std::vector<std::string> args)
    {
        args.insert(args.begin(), {QV_CTL, "--state", State()});
        return hosttest::Run(args);
    }
    void CtlOk(const std::vector<std::string> &args)
    {
        Result r = Ctl(args);
        ASSERT_EQ(r.status, 0) << r.err << r.out;
    }

    std::unique_ptr<Process> Sim(std::vector<std::string> args, int *port, bool expectStart = true)
    {
        args.insert(args.begin(), QV_SIM);
        if (std::find(args.begin(), args.end(), "--listen") == args.end()) {
            args.push_back("--listen");
            args.push_back("127.0.0.1:0");
        }
        auto p = std::make_unique<Process>(args, state_.Path() + "/sim" + std::to_string(++servers_));
        *port = hosttest::ListeningPort(*p);
        if (expectStart) {
            EXPECT_GT(*port, 0) << p->Err();
        }
        return p;
    }

    Result Mbpoll(const std::string &port, int unit, int count = 5, int timeoutSeconds = 5)
    {
        return hosttest::Run(
            {"mbpoll", "-m", "rtu", "-b", "9600", "-P", "none", "-a", std::to_string(unit), "-r", "1", "-c",
             std::to_string(count), "-t", "4", "-1", "-o", std::to_string(timeoutSeconds), Link(port)},
            30);
    }
    // mbpoll prints "[n]: \tvalue" per register.
    static bool HasRegister(const Result &r, int reference, int value)
    {
        return r.out.find("[" + std::to_string(reference) + "]: \t" + std::to_string(value) + "\n") !=
               std::string::npos;
    }

    // A port COM1 whose settings point at a fresh quorvel-sim serving `unit`, kept in sim_.
    void PortWithSim(int unit)
    {
        StartHost();
        CtlOk({"add"});
        sim_ = Sim({"--unit", std::to_string(unit)}, &simPort_);
        CtlOk({"set", "COM1", "--conn", "127.0.0.1:" + std::to_string(simPort_) + "=" + std::to_string(unit)});
    }

    void TearDown() override
    {
        if (host_ && host_->Running()) {
            EXPECT_EQ(StopHost(), 0) << host_->Err();
        }
    }

    qvtest::TempDir state_;
    std::unique_ptr<Process> host_, sim_;
    int hostRuns_ = 0, servers_ = 0, simPort_ = 0;
};

TEST_F(HostEndToEnd, MbpollReadsHoldingRegistersThroughThePort)
{
    PortWithSim(1);
    Result r = Mbpoll("COM1", 1);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(HasRegister(r, 1, 1000)) << r.out;
    EXPECT_TRUE(HasRegister(r, 5, 1004)) << r.out;
    // Each poll is a new open of the terminal: the second one gets its reply too.
    r = Mbpoll("COM1", 1, 2);
    EXPECT_TRUE(HasRegister(r, 2, 1001)) << r.out << r.err;
    EXPECT_NE(host_->Err().find("COM1: program opened"), std::string::npos);
    EXPECT_NE(host_->Err().find("COM1: program closed"), std::string::npos);
}

TEST_F(HostEndToEnd, PymodbusSerialClientInRtuAndAsciiAgainstPymodbusServer)
{
    StartHost();
    CtlOk({"add"});
    Process server({"/usr/bin/python3", PEERS, "server", "3"}, state_.Path() + "/pyserver");
    int port = hosttest::ListeningPort(server);
    ASSERT_GT(port, 0) << server.Err();
    CtlOk({"set", "COM1", "--conn", "127.0.0.1:" + std::to_string(port) + "=3"});
    Result rtu = hosttest::Run({"/usr/bin/python3", PEERS, "read", "rtu", Link("COM1"), "3", "0", "5"});
    EXPECT_EQ(rtu.status, 0) << rtu.out << rtu.err;
    EXPECT_EQ(rtu.out, "7000 7001 7002 7003 7004\n");
    Result ascii = hosttest::Run({"/usr/bin/python3", PEERS, "read", "ascii", Link("COM1"), "3", "10", "3"});
    EXPECT_EQ(ascii.status, 0) << ascii.out << ascii.err;
    EXPECT_EQ(ascii.out, "7010 7011 7012\n");
}

TEST_F(HostEndToEnd, RawConnectionAndTwoServersSelectedByDeviceId)
{
    StartHost();
    CtlOk({"add"});
    int tcpPort = 0, rtuPort = 0;
    auto tcp = Sim({"--unit", "2"}, &tcpPort);
    auto rtu = Sim({"--unit", "5", "--rtu-over-tcp"}, &rtuPort);
    CtlOk({"set", "COM1", "--conn", "127.0.0.1:" + std::to_string(tcpPort) + "=2", "--conn",
           "127.0.0.1:" + std::to_string(rtuPort) + "/raw=5"});
    Result a = Mbpoll("COM1", 2, 3);
    EXPECT_TRUE(HasRegister(a, 1, 2000) && HasRegister(a, 3, 2002)) << a.out << a.err;
    Result b = Mbpoll("COM1", 5, 3);
    EXPECT_TRUE(HasRegister(b, 1, 5000) && HasRegister(b, 3, 5002)) << b.out << b.err;
}

TEST_F(HostEndToEnd, ServerRestartedBetweenTwoPollsOfOneOpenPort)
{
    PortWithSim(1);
    // One program keeps the port open across the restart: it polls, waits for the go file,
    // polls again.
    std::string go = state_.Path() + "/go";
    Process client({"/usr/bin/python3", PEERS, "twice", Link("COM1"), "1", go}, state_.Path() + "/client");
    ASSERT_EQ(client.WaitForLine("first"), "first [1000, 1001]") << client.Err();
    sim_->Stop();
    // The same port again; it may take a moment before the old one can be bound again.
    int again = -1;
    ASSERT_TRUE(qvtest::WaitUntil([&] {
        sim_ = Sim({"--unit", "1", "--listen", "127.0.0.1:" + std::to_string(simPort_)}, &again, false);
        return again == simPort_;
    }));
    std::ofstream(go).put('1');
    std::string second = client.WaitForLine("second");
    EXPECT_EQ(second, "second 0 [1000, 1001]") << client.Err() << host_->Err();
}

// A request written one byte at a time gets its reply; so does one written right after the start
// of an ASCII frame that never ends: the unfinished text goes to the port on its own. At 1200
// baud the RTU silence is 32 ms, so a loaded machine's pauses between the one-byte writes stay
// inside one frame (at 9600 baud a pause of 4 ms already ends it).
TEST_F(HostEndToEnd, RequestsWrittenInPiecesOrAfterAnUnfinishedAsciiFrameGetTheirReplies)
{
    PortWithSim(1);
    Result r = hosttest::Run({"/usr/bin/python3", "-c",
                              kPySerialCrc + "s = serial.Serial(sys.argv[1], 1200, timeout=5)\n"
                                             "for b in rtu(bytes([1, 3, 0, 4, 0, 1])):\n"
                                             "    s.write(bytes([b])); s.flush()\n"
                                             "print(s.read(7).hex())\n"
                                             "s.write(b':0103'); s.flush()\n"
                                             "s.write(rtu(bytes([1, 3, 0, 4, 0, 1]))); s.flush()\n"
                                             "print(s.read(7).hex())\n",
                              Link("COM1")});
    ASSERT_EQ(r.status, 0) << r.err;
    // Unit 1, function 3, 2 bytes, 1004 = 0x03EC, then the CRC.
    EXPECT_EQ(r.out, "01030203ecb939\n01030203ecb939\n") << host_->Err();
}

// A program that writes megabytes without a pause and without a frame: the bridge drops what
// runs past one frame's length, says so, and the same open port answers the next request.
TEST_F(HostEndToEnd, WriterThatNeverPausesIsDroppedAndThePortKeepsWorking)
{
    PortWithSim(1);
    Result r = hosttest::Run({"/usr/bin/python3", "-c",
                              kPySerialCrc + "s = serial.Serial(sys.argv[1], 9600, timeout=2)\n"
                                             "junk = bytes(b for b in range(256) if b != 0x3A) * 256\n"
                                             "for _ in range(64): s.write(junk)\n"
                                             "s.flush()\n"
                                             "# a master retries a request that got no reply\n"
                                             "for attempt in range(5):\n"
                                             "    time.sleep(0.1)\n"
                                             "    s.reset_input_buffer()\n"
                                             "    s.write(rtu(bytes([1, 3, 0, 4, 0, 1]))); s.flush()\n"
                                             "    reply = s.read(7)\n"
                                             "    if reply: break\n"
                                             "print(reply.hex())\n",
                              Link("COM1")},
                             120);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "01030203ecb939\n") << host_->Err();
    EXPECT_TRUE(qvtest::WaitUntil([&] { return host_->Err().find("bytes were dropped") != std::string::npos; }))
        << host_->Err();
    EXPECT_NE(host_->Err().find("COM1: the program wrote more than 65535 bytes without a frame"), std::string::npos);
}

TEST_F(HostEndToEnd, PortHeldByAProgramRefusesSetAndRemoveUntilClosed)
{
    PortWithSim(1);
    int secondPort = 0;
    auto second = Sim({"--unit", "1", "--delay", "0"}, &secondPort);
    Result before = Ctl({"show", "COM1"});
    ASSERT_EQ(before.status, 0);

    int fd = open(Link("COM1").c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(qvtest::WaitUntil([&] {
        return Ctl({"--json", "list"}).out.find("\"in_use\": true") != std::string::npos;
    }));
    Result set = Ctl({"set", "COM1", "--conn", "127.0.0.1:" + std::to_string(secondPort) + "=1"});
    EXPECT_EQ(set.status, 1);
    EXPECT_NE(set.err.find("COM1 is in use"), std::string::npos) << set.err;
    Result remove = Ctl({"remove", "COM1"});
    EXPECT_EQ(remove.status, 1);
    EXPECT_NE(remove.err.find("COM1 is in use"), std::string::npos) << remove.err;
    Result status = Ctl({"status", "COM1"});
    EXPECT_EQ(status.status, 0) << status.err;
    EXPECT_NE(status.out.find("in use by a program"), std::string::npos) << status.out;
    EXPECT_NE(status.out.find("baud 9600"), std::string::npos) << status.out;
    EXPECT_EQ(Ctl({"show", "COM1"}).out, before.out);  // reading needs no free port
    close(fd);

    // Right after the program closes, the host gives its bridge the moment it needs.
    EXPECT_EQ(Ctl({"show", "COM1"}).out, before.out);  // nothing changed
    CtlOk({"set", "COM1", "--conn", "127.0.0.1:" + std::to_string(secondPort) + "=1"});
    sim_->Stop();  // only the new server can answer now
    Result r = Mbpoll("COM1", 1, 2);
    EXPECT_TRUE(HasRegister(r, 2, 1001)) << r.out << r.err;
    CtlOk({"remove", "COM1"});
    EXPECT_FALSE(std::filesystem::exists(Link("COM1")));
    EXPECT_EQ(Ctl({"show", "COM1"}).status, 1);
}

TEST_F(HostEndToEnd, ProgramsTerminalSettingsReachThePortAndFollowChanges)
{
    PortWithSim(1);
    std::string go = state_.Path() + "/go", changed = state_.Path() + "/changed";
    // Linux pseudo-terminals drop parity and character size (always CS8, no PARENB): baud and
    // stop bits are what a program's settings can carry to the port.
    Process program({"/usr/bin/python3", "-c",
                     "import os, serial, sys, time\n"
                     "s = serial.Serial(sys.argv[1], 19200, parity='E', stopbits=2, timeout=1)\n"
                     "while not os.path.exists(sys.argv[2]): time.sleep(0.02)\n"
                     "s.baudrate = 38400\n"
                     "s.stopbits = 1\n"
                     "open(sys.argv[3], 'w').close()\n"
                     "time.sleep(30)\n",
                     Link("COM1"), go, changed},
                    state_.Path() + "/program");
    ASSERT_TRUE(qvtest::WaitUntil([&] {
        return Ctl({"status", "COM1"}).out.find("baud 19200, line 8N2") != std::string::npos;
    })) << Ctl({"status", "COM1"}).out
        << host_->Err();
    // A later tcsetattr is followed (packet mode reports it).
    std::ofstream(go).put('1');
    ASSERT_TRUE(qvtest::WaitUntil([&] { return std::filesystem::exists(changed); }));
    EXPECT_TRUE(qvtest::WaitUntil([&] {
        return Ctl({"status", "COM1"}).out.find("baud 38400, line 8N1") != std::string::npos;
    })) << Ctl({"status", "COM1"}).out;
    program.Stop();
}

TEST_F(HostEndToEnd, RestartKeepsPortsNamesAndSettingsAndOneHostPerDirectory)
{
    StartHost();
    CtlOk({"add", "--name", "COM3"});
    Result added = Ctl({"add"});
    EXPECT_EQ(added.out, "COM1\n");
    EXPECT_EQ(Ctl({"add", "--name", "COM3"}).status, 1);
    CtlOk({"set", "COM3", "--delay", "500", "--rts", "cts,dsr", "--conn", "127.0.0.1:1502/raw=7,8"});
    Result shown = Ctl({"show", "COM3"});

    // A second host on the same directory refuses and names the first.
    Result second = hosttest::Run({QV_HOST, "--state", State()}, 30);
    EXPECT_NE(second.status, 0);
    EXPECT_NE(second.err.find("process " + std::to_string(host_->Pid())), std::string::npos) << second.err;

    ASSERT_EQ(StopHost(), 0) << host_->Err();
    EXPECT_FALSE(std::filesystem::exists(State() + "/control.sock"));
    EXPECT_FALSE(std::filesystem::is_symlink(Link("COM1")));
    EXPECT_FALSE(std::filesystem::is_symlink(Link("COM3")));

    StartHost();
    Result list = Ctl({"list"});
    EXPECT_NE(list.out.find("COM1 "), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("COM3 "), std::string::npos) << list.out;
    EXPECT_EQ(Ctl({"show", "COM3"}).out, shown.out);
    EXPECT_TRUE(std::filesystem::is_symlink(Link("COM1")));
    EXPECT_TRUE(std::filesystem::is_symlink(Link("COM3")));
}

TEST_F(HostEndToEnd, DemoServesUntilSigtermAndLeavesNothingBehind)
{
    host_ = std::make_unique<Process>(std::vector<std::string>{QV_HOST, "--state", State(), "--demo"},
                                      state_.Path() + "/demo");
    std::string command = host_->WaitForLine("    mbpoll ");
    ASSERT_FALSE(command.empty()) << host_->Err();
    EXPECT_NE(command.find(Link("COM1")), std::string::npos);
    Result r = Mbpoll("COM1", 1, 10);
    EXPECT_TRUE(HasRegister(r, 10, 1009)) << r.out << r.err;
    std::string demoPort = host_->Out().substr(host_->Out().find("127.0.0.1:") + 10);
    int simPort = std::atoi(demoPort.c_str());
    ASSERT_GT(simPort, 0);

    ASSERT_EQ(StopHost(), 0) << host_->Err();
    EXPECT_FALSE(std::filesystem::exists(State() + "/control.sock"));
    EXPECT_FALSE(std::filesystem::is_symlink(Link("COM1")));
    // The simulator went with the host: its port no longer accepts.
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = Loopback(simPort);
    EXPECT_NE(connect(s, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)), 0);
    close(s);
}

// Up to `count` bytes from `fd`; fewer when the stream ends or `timeoutMs` pass first.
std::string ReadFor(int fd, size_t count, int timeoutMs)
{
    std::string out;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < count) {
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, int(left)) <= 0) break;
        char buffer[4096];
        ssize_t n = read(fd, buffer, std::min(sizeof(buffer), count - out.size()));
        if (n <= 0) break;
        out.append(buffer, size_t(n));
    }
    return out;
}

// A serial program's side of a port: the terminal opened raw, whole requests written, replies
// read up to a length or a deadline.
class Terminal {
public:
    explicit Terminal(const std::string &path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY))
    {
        termios t{};
        if (fd_ >= 0 && tcgetattr(fd_, &t) == 0) {
            cfmakeraw(&t);
            cfsetspeed(&t, B9600);
            tcsetattr(fd_, TCSANOW, &t);
        }
    }
    ~Terminal()
    {
        if (fd_ >= 0) close(fd_);
    }
    bool IsOpen() const { return fd_ >= 0; }
    bool Write(const std::vector<uint8_t> &bytes)
    {
        return write(fd_, bytes.data(), bytes.size()) == ssize_t(bytes.size());
    }
    // Up to `count` bytes; fewer when the deadline passes first.
    std::vector<uint8_t> Read(size_t count, int timeoutMs)
    {
        std::string text = ReadFor(fd_, count, timeoutMs);
        return std::vector<uint8_t>(text.begin(), text.end());
    }

private:
    int fd_;
};

std::vector<uint8_t> WithCrc(std::vector<uint8_t> content)
{
    uint16_t crc = 0xFFFF;
    for (uint8_t b : content) {
        crc ^= b;
        for (int i = 0; i < 8; i++) crc = (crc & 1) ? uint16_t((crc >> 1) ^ 0xA001) : uint16_t(crc >> 1);
    }
    content.push_back(uint8_t(crc & 0xFF));
    content.push_back(uint8_t(crc >> 8));
    return content;
}

std::string HexText(const std::vector<uint8_t> &bytes)
{
    std::string out;
    char buf[4];
    for (uint8_t b : bytes) {
        std::snprintf(buf, sizeof(buf), "%02X ", b);
        out += buf;
    }
    return out;
}

// The misbehaving server's behaviours, chosen by the first register a request reads.
enum Behaviour {
    kNormal = 1,
    kTwice,
    kBytewise,
    kMerged,
    kWrongId,
    kLength0,
    kLength1,
    kLength2,
    kLength65535,
    kProtocol1,
    kOtherUnit,
    kSilent,
    kCloseMidReply,
    kLate
};

// A TCP port on 127.0.0.1 that nothing listens on (taken from the system, then let go).
int UnusedPort()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = Loopback(0);
    socklen_t length = sizeof(addr);
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &length) == 0)
        port = ntohs(addr.sin_port);
    close(fd);
    return port;
}

// The part of `quorvelctl --json status` that belongs to the link of `server` ("a.b.c.d:port").
std::string LinkCounters(const std::string &json, const std::string &server)
{
    size_t at = json.find("\"server\": \"" + server + "\"");
    if (at == std::string::npos) return "";
    size_t end = json.find("\"server\": ", at + 1);
    return json.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

// A libmodbus RTU master on a port's terminal, reading two holding registers at a time.
class ModbusMaster {
public:
    ModbusMaster(const std::string &device, int timeoutMs)
    {
        ctx_ = modbus_new_rtu(device.c_str(), 9600, 'N', 8, 1);
        if (ctx_ == nullptr) return;
        modbus_set_response_timeout(ctx_, timeoutMs / 1000, (timeoutMs % 1000) * 1000);
        if (modbus_connect(ctx_) != 0) Close();
    }
    ~ModbusMaster() { Close(); }
    void Close()
    {
        if (ctx_ == nullptr) return;
        modbus_close(ctx_);
        modbus_free(ctx_);
        ctx_ = nullptr;
    }
    // 0 when read, else libmodbus's errno (EMBXGPATH, EMBXGTAR, ETIMEDOUT...).
    int Read(int unit, int address)
    {
        if (ctx_ == nullptr) return ENODEV;
        modbus_set_slave(ctx_, unit);
        errno = 0;
        if (modbus_read_registers(ctx_, address, 2, values) == 2) return 0;
        int e = errno;
        modbus_flush(ctx_);
        return e;
    }
    // libmodbus waits for a confirmation even of a broadcast: ETIMEDOUT when none came within
    // `timeoutMs`.
    int WriteBroadcast(int timeoutMs)
    {
        if (ctx_ == nullptr) return ENODEV;
        uint32_t seconds = 0, micros = 0;
        modbus_get_response_timeout(ctx_, &seconds, &micros);
        modbus_set_response_timeout(ctx_, timeoutMs / 1000, (timeoutMs % 1000) * 1000);
        modbus_set_slave(ctx_, MODBUS_BROADCAST_ADDRESS);
        errno = 0;
        int e = modbus_write_register(ctx_, 1, 5) == 1 ? 0 : errno;
        modbus_set_response_timeout(ctx_, seconds, micros);
        return e;
    }
    uint16_t values[2] = {};

private:
    modbus_t *ctx_ = nullptr;
};

class MisbehavingServer : public HostEndToEnd {
protected:
    void SetUp() override
    {
        StartHost();
        CtlOk({"add"});
        server_ = std::make_unique<Process>(std::vector<std::string>{"/usr/bin/python3", MISBEHAVING},
                                            state_.Path() + "/misbehaving");
        int port = hosttest::ListeningPort(*server_);
        ASSERT_GT(port, 0) << server_->Err();
        conn_ = "127.0.0.1:" + std::to_string(port) + "=1";
        CtlOk({"set", "COM1", "--conn", conn_});
    }
    void TearDown() override
    {
        server_->Stop();
        HostEndToEnd::TearDown();
    }

    static std::vector<uint8_t> Request(int address)
    {
        return WithCrc({0x01, 0x03, 0x00, uint8_t(address), 0x00, 0x02});
    }
    // Registers a and a + 1 hold 0x4000 + a and 0x4001 + a.
    static std::vector<uint8_t> Reply(int address)
    {
        return WithCrc({0x01, 0x03, 0x04, 0x40, uint8_t(address), 0x40, uint8_t(address + 1)});
    }
    // The right reply, whole, within a generous bound (the first request also connects).
    void ExpectReply(Terminal &t, int address)
    {
        ASSERT_TRUE(t.Write(Request(address)));
        EXPECT_EQ(HexText(t.Read(9, 10000)), HexText(Reply(address))) << "request for register " << address;
    }
    void ExpectNothing(Terminal &t, int address)
    {
        ASSERT_TRUE(t.Write(Request(address)));
        EXPECT_EQ(HexText(t.Read(9, 1000)), "") << "request for register " << address;
    }

    std::unique_ptr<Process> server_;
    std::string conn_;
};

// Whatever the server does wrong, the program reads the right reply or nothing, and the next
// request still gets exactly its own reply.
TEST_F(MisbehavingServer, ProgramReadsTheRightReplyOrNothing)
{
    Terminal t(Link("COM1"));
    ASSERT_TRUE(t.IsOpen());
    ExpectReply(t, kNormal);
    for (int behaviour : {kTwice, kBytewise}) {
        ExpectReply(t, behaviour);
        ExpectReply(t, kNormal);
    }
    for (int behaviour : {kMerged, kWrongId, kLength0, kLength1, kLength2, kLength65535, kProtocol1, kOtherUnit,
                          kSilent, kCloseMidReply}) {
        ExpectNothing(t, behaviour);
        if (behaviour == kCloseMidReply) {
            // The next request is sent on a new link once the driver has seen this one end.
            ASSERT_TRUE(qvtest::WaitUntil(
                [&] {
                    return Ctl({"status", "COM1"}).out.find(": connected\n") == std::string::npos;
                },
                20000));
        }
        ExpectReply(t, kNormal);
    }

    // A broadcast reaches the server over the link that is up, and its answer reaches no one.
    ASSERT_TRUE(t.Write(WithCrc({0x00, 0x06, 0x00, 0x01, 0x00, 0x05})));
    ASSERT_NE(server_->WaitForLine("broadcast function 6"), "");
    EXPECT_EQ(HexText(t.Read(1, 1000)), "");
    ExpectReply(t, kNormal);
    EXPECT_EQ(HexText(t.Read(1, 300)), "") << "nothing stray is left";

    // Every request went out and every fault was counted for what it was. Unknown: the wrong
    // id, the merged reply's stale half, the second copy and the broadcast's answer.
    std::string link = LinkCounters(Ctl({"--json", "status", "COM1"}).out, conn_.substr(0, conn_.find('=')));
    EXPECT_NE(link.find("\"requests_sent\": 27, \"replies_delivered\": 16, "), std::string::npos) << link;
    EXPECT_NE(link.find("\"unknown_transaction\": 4, \"bad_length\": 6, \"late\": 0}"), std::string::npos) << link;
    EXPECT_NE(link.find("\"connects\": 2, \"connect_failures\": 0, \"disconnects\": 1, "), std::string::npos) << link;
    EXPECT_NE(link.find("\"last_error_text\": \"disconnected by the server\""), std::string::npos) << link;
}

// A reply later than the port's response time never reaches the program, so a program that
// gave up waiting is not left one reply behind. The option is the driver's, kept beside the
// settings record: set and load leave it alone and settings files do not carry it.
TEST_F(MisbehavingServer, LateReplyIsDroppedAfterTheResponseTime)
{
    std::string before = state_.Path() + "/before.qvor", after = state_.Path() + "/after.qvor";
    CtlOk({"save", "COM1", before});
    Result bad = Ctl({"set", "COM1", "--response-ms", "soon"});
    EXPECT_EQ(bad.status, 2) << bad.err;
    CtlOk({"set", "COM1", "--response-ms", "300"});
    CtlOk({"set", "COM1", "--delay", "2000", "--conn", conn_});
    CtlOk({"load", "COM1", before});
    CtlOk({"save", "COM1", after});
    EXPECT_EQ(FileText(after), FileText(before));
    Result show = Ctl({"show", "COM1"});
    EXPECT_NE(show.out.find("response 300 ms\n"), std::string::npos) << show.out;
    EXPECT_NE(Ctl({"--json", "show", "COM1"}).out.find("\"response_ms\": 300}"), std::string::npos);

    Terminal t(Link("COM1"));
    ASSERT_TRUE(t.IsOpen());
    ExpectReply(t, kNormal);
    ExpectNothing(t, kLate);
    ASSERT_NE(server_->WaitForLine("late sent"), "");
    // The late reply reached the port before this request was written; it must not be read.
    ExpectReply(t, kNormal);
    EXPECT_EQ(HexText(t.Read(1, 300)), "");
    // Shown while the program holds the port, as the settings are.
    EXPECT_NE(Ctl({"show", "COM1"}).out.find("response 300 ms\n"), std::string::npos);
}

// With exceptions on, a libmodbus master gets EMBXGPATH or EMBXGTAR in place of its own
// timeout for each request the gateway cannot serve, and the right answer for every other; a
// reply that comes after its exception is dropped. The counters say why each was not served.
TEST_F(MisbehavingServer, ExceptionsAnswerWhatCannotBeServedAndTheCountersSayWhy)
{
    int refused = UnusedPort();
    std::string down = "127.0.0.1:" + std::to_string(refused);
    CtlOk({"set", "COM1", "--conn", conn_, "--conn", down + "=2"});
    ModbusMaster off(Link("COM1"), 300);
    EXPECT_EQ(off.Read(9, kNormal), ETIMEDOUT) << "without the option the gateway stays silent";
    off.Close();

    CtlOk({"set", "COM1", "--exceptions", "on", "--response-ms", "400"});
    EXPECT_NE(Ctl({"show", "COM1"}).out.find("exceptions on\n"), std::string::npos);
    EXPECT_NE(Ctl({"--json", "show", "COM1"}).out.find("\"exceptions\": true, \"response_ms\": 400}"),
              std::string::npos);

    ModbusMaster m(Link("COM1"), 5000);
    EXPECT_EQ(m.Read(1, kNormal), 0);
    EXPECT_EQ(m.values[0], 0x4000 + kNormal);
    EXPECT_EQ(m.Read(9, kNormal), EMBXGPATH) << "no connection serves device 9";
    EXPECT_EQ(m.Read(2, kNormal), EMBXGTAR) << "the link to device 2 cannot be made";
    EXPECT_EQ(m.Read(1, kSilent), EMBXGTAR) << "the server never answers";
    EXPECT_EQ(m.Read(1, kLate), EMBXGTAR) << "the server answers after the response time";
    std::string server = conn_.substr(0, conn_.find('='));
    ASSERT_TRUE(qvtest::WaitUntil([&] {
        return LinkCounters(Ctl({"--json", "status", "COM1"}).out, server).find("\"late\": 1}") != std::string::npos;
    })) << "the late reply reached the port and was dropped";
    EXPECT_EQ(m.Read(1, kNormal + 1), 0);
    EXPECT_EQ(m.values[0], 0x4000 + kNormal + 1) << "the late reply is not read as this one's answer";
    EXPECT_EQ(m.WriteBroadcast(1000), ETIMEDOUT) << "a broadcast is never answered, not even with an exception";

    Result status = Ctl({"--json", "status", "COM1"});
    EXPECT_NE(status.out.find("\"counters\": {\"checksum_rejects\": 0, \"no_route\": 1, \"exceptions_sent\": 4}"),
              std::string::npos)
        << status.out;
    std::string refusedLink = LinkCounters(status.out, down);
    EXPECT_NE(refusedLink.find("\"link_down\": 1, \"connecting\": 0"), std::string::npos) << refusedLink;
    EXPECT_NE(refusedLink.find("\"connects\": 0, \"connect_failures\": 1, "), std::string::npos) << refusedLink;
    EXPECT_NE(refusedLink.find("\"last_error_text\": \"connection refused\""), std::string::npos) << refusedLink;
    EXPECT_NE(Ctl({"status", "COM1"}).out.find("gateway: checksum rejects 0, no route 1, exceptions sent 4\n"),
              std::string::npos);

    // The server stops: its link goes down and the next request is answered 0x0B.
    server_->Stop();
    ASSERT_TRUE(qvtest::WaitUntil([&] {
        return LinkCounters(Ctl({"--json", "status", "COM1"}).out, server).find("\"disconnects\": 1") !=
               std::string::npos;
    }));
    EXPECT_EQ(m.Read(1, kNormal), EMBXGTAR);
    m.Close();

    // pymodbus, in ASCII this time, gets the same exceptions.
    Result path = hosttest::Run({"/usr/bin/python3", PEERS, "read", "ascii", Link("COM1"), "9", "1", "2"});
    EXPECT_EQ(path.out, "exception 10\n") << path.err;
    Result target = hosttest::Run({"/usr/bin/python3", PEERS, "read", "ascii", Link("COM1"), "2", "1", "2"});
    EXPECT_EQ(target.out, "exception 11\n") << target.err;
}

// One HTTP/1.0 exchange with 127.0.0.1:port; "" when it cannot be made within a bound.
std::string HttpGet(int port, const std::string &path)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = Loopback(port);
    std::string out;
    std::string request = "GET " + path + " HTTP/1.0\r\n\r\n";
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0 &&
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size()))
        out = ReadFor(fd, SIZE_MAX, 20000);
    close(fd);
    return out;
}

// quorvel-host --metrics serves the counters of the ports that programs hold, in the Prometheus
// text format, per port and per link; a port nobody holds is shown closed, not opened for it.
TEST_F(HostEndToEnd, MetricsEndpointServesTheCountersOfHeldPorts)
{
    EXPECT_EQ(hosttest::Run({QV_HOST, "--metrics", "127.0.0.1:http"}).status, 2);
    StartHost({"--metrics", "127.0.0.1:0"});
    const std::string marker = "metrics on 127.0.0.1:";
    ASSERT_TRUE(qvtest::WaitUntil([&] { return host_->Err().find(marker) != std::string::npos; }));
    std::string log = host_->Err();
    int metrics = std::atoi(log.c_str() + log.find(marker) + marker.size());
    ASSERT_GT(metrics, 0);
    CtlOk({"add"});
    int simPort = 0;
    auto sim = Sim({"--unit", "1"}, &simPort);
    CtlOk({"set", "COM1", "--conn", "127.0.0.1:" + std::to_string(simPort) + "=1"});

    std::string idle = HttpGet(metrics, "/metrics");
    EXPECT_EQ(idle.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << idle;
    EXPECT_NE(idle.find("\nquorvel_port_open{port=\"COM1\"} 0\n"), std::string::npos) << idle;

    ModbusMaster m(Link("COM1"), 5000);
    EXPECT_EQ(m.Read(1, 0), 0);
    std::string link = "{port=\"COM1\",link=\"127.0.0.1:" + std::to_string(simPort) + "\",entry=\"1\"";
    // The first read connected the link. Until the connection thread lets go of the port's
    // connection lock a write is dropped as connecting (it never waits for the lock), and on a
    // loaded machine the second read can come that early: then it goes again.
    int second = m.Read(1, 2);
    if (second != 0 && HttpGet(metrics, "/metrics")
                               .find("\nquorvel_requests_dropped_total" + link + ",reason=\"connecting\"} 1\n") !=
                           std::string::npos)
        second = m.Read(1, 2);
    EXPECT_EQ(second, 0);
    EXPECT_EQ(m.values[0], 1002);
    // The sender counts its request when the send returns, which may be after the reply reached the
    // program: scrape until the count has caught up.
    std::string text;
    qvtest::WaitUntil([&] {
        text = HttpGet(metrics, "/metrics");
        return text.find("\nquorvel_requests_sent_total" + link + "} 2\n") != std::string::npos;
    });
    for (const std::string &series : std::vector<std::string>{
             "quorvel_port_open{port=\"COM1\"} 1", "quorvel_link_up" + link + "} 1",
             "quorvel_requests_sent_total" + link + "} 2", "quorvel_replies_delivered_total" + link + "} 2",
             "quorvel_replies_dropped_total" + link + ",reason=\"late\"} 0", "quorvel_connects_total" + link + "} 1",
             "quorvel_no_route_total{port=\"COM1\"} 0", "# TYPE quorvel_requests_sent_total counter"})
        EXPECT_NE(text.find("\n" + series + "\n"), std::string::npos) << series << "\n" << text;
    EXPECT_EQ(HttpGet(metrics, "/elsewhere").rfind("HTTP/1.0 404", 0), 0u);
}

class ControlSocket : public HostEndToEnd {
protected:
    int Connect()
    {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::string path = State() + "/control.sock";
        std::strcpy(addr.sun_path, path.c_str());
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
            close(fd);
            return -1;
        }
        timeval tv{20, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        return fd;
    }
    // Sends a body, returns the response header (error code) or -1 when the host closed.
    long long Exchange(int fd, const quorvel::ctl::Bytes &body)
    {
        quorvel::ctl::Bytes frame(4);
        std::uint32_t n = std::uint32_t(body.size());
        std::memcpy(frame.data(), &n, 4);
        frame.insert(frame.end(), body.begin(), body.end());
        if (!quorvel::ctl::SendFrame(fd, frame)) return -1;
        quorvel::ctl::Bytes reply;
        if (!quorvel::ctl::ReceiveFrame(fd, &reply)) return -1;
        quorvel::ctl::ResponseHeader header;
        if (!quorvel::ctl::DecodeResponseHeader(reply, &header)) return -2;
        lastReply_ = reply;
        return header.error;
    }
    // One operation with typed fields; the response's fields are decoded into *resp when given.
    template <class Req, class Resp = quorvel::ctl::Empty>
    long long Call(int fd, std::uint16_t op, const Req &req, Resp *resp = nullptr)
    {
        quorvel::ctl::Bytes frame =
            quorvel::ctl::FrameRequestBody(quorvel::ctl::Op(op), quorvel::ctl::EncodeFields(req));
        long long e = Exchange(fd, quorvel::ctl::Bytes(frame.begin() + 4, frame.end()));
        if (e >= 0 && resp) {
            EXPECT_TRUE(quorvel::ctl::DecodeFields(lastReply_, quorvel::ctl::kResponseHeaderSize, resp));
        }
        return e;
    }
    long long PortIo(int fd, const std::string &port, std::uint32_t ioctl, const quorvel::ctl::Bytes &input,
                     std::uint32_t outputSize, quorvel::ctl::PortIoControlResponse *resp = nullptr)
    {
        quorvel::ctl::PortIoControlRequest req;
        req.portName = quorvel::hostctl::Utf16(port);
        req.ioctl = ioctl;
        req.input = input;
        req.outputSize = outputSize;
        return Call(fd, std::uint16_t(quorvel::ctl::Op::PortIoControl), req, resp);
    }
    long long Name(int fd, std::uint16_t op, const std::string &name, quorvel::hostctl::NameMessage *resp = nullptr)
    {
        return Call(fd, op, quorvel::hostctl::NameMessage{quorvel::hostctl::Utf16(name)}, resp);
    }
    // Whether the host has closed a connection.
    static bool ClosedByHost(int fd)
    {
        char c;
        return recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
    }

    quorvel::ctl::Bytes lastReply_;
};

TEST_F(ControlSocket, AnswersBadRequestsAndSurvivesRandomAndTruncatedMessages)
{
    StartHost();
    CtlOk({"add"});
    int fd = Connect();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(Exchange(fd, {2, 0, 9, 0}), 1306);   // another protocol version; connection kept
    EXPECT_EQ(Exchange(fd, {1, 0, 99, 0}), 1);     // unknown operation
    EXPECT_EQ(Exchange(fd, {1, 0, 9, 0, 1}), 87);  // fields that do not decode
    EXPECT_EQ(Exchange(fd, {1, 0}), 87);           // no header
    // A port request with a truncated string.
    EXPECT_EQ(Exchange(fd, {1, 0, 9, 0, 8, 0, 0, 0, 'C', 0}), 87);
    close(fd);

    std::mt19937 random(12345);
    for (int i = 0; i < 300; ++i) {
        fd = Connect();
        ASSERT_GE(fd, 0) << "host gone after message " << i << host_->Err();
        quorvel::ctl::Bytes body(random() % 64);
        for (auto &b : body) b = std::uint8_t(random());
        if (body.size() >= 4 && i % 2 == 0) {
            body[0] = 1;  // right version: the operation's own decoding is exercised
            body[1] = 0;
            body[2] = std::uint8_t(1 + random() % 12);
            body[3] = i % 10 == 0 ? 0 : body[3] % 2 ? 0 : 0;
        }
        if (i % 7 == 0) {
            // Announce more than is sent, then hang up.
            quorvel::ctl::Bytes frame = {200, 0, 0, 0};
            frame.insert(frame.end(), body.begin(), body.end());
            quorvel::ctl::SendFrame(fd, frame);
        } else if (i % 11 == 0) {
            // Oversized: the host closes without answering.
            quorvel::ctl::Bytes frame = {0, 0, 0x20, 0};
            quorvel::ctl::SendFrame(fd, frame);
            quorvel::ctl::Bytes reply;
            EXPECT_FALSE(quorvel::ctl::ReceiveFrame(fd, &reply));
        } else {
            long long e = Exchange(fd, body);
            EXPECT_GE(e, 0) << "message " << i;
        }
        close(fd);
    }
    Result list = Ctl({"list"});
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_NE(list.out.find("COM1"), std::string::npos);
    EXPECT_TRUE(host_->Running());
}

TEST_F(ControlSocket, InstallDeviceChecksTheInfAndCreatesAPort)
{
    StartHost();
    int fd = Connect();
    ASSERT_GE(fd, 0);
    auto install = [&](const std::string &path) {
        quorvel::ctl::InstallDeviceRequest req;
        req.infPath = std::u16string(path.begin(), path.end());
        req.hardwareId = u"*QuorvelDevice";
        quorvel::ctl::Bytes frame = quorvel::ctl::EncodeRequest(req);
        return Exchange(fd, quorvel::ctl::Bytes(frame.begin() + 4, frame.end()));
    };
    std::string dir = state_.Path();
    std::ofstream(dir + "/text.inf") << "not an inf\n";
    std::ofstream(dir + "/other.inf") << "[Version]\nClass=Ports\n[Manufacturer]\nM=Models\n[Models]\nD=I,*Other\n";
    std::ofstream(dir + "/good.inf")
        << "[Version]\nClass=Ports\n[Manufacturer]\nM=Models\n[Models]\nD=I,*QuorvelDevice\n"
           "[I.Services]\nAddService=Quorvel,2,S\n";
    EXPECT_EQ(install(dir + "/missing.inf"), 2);
    EXPECT_EQ(install(dir + "/text.inf"), 0xE0000100LL);
    EXPECT_EQ(install(dir + "/other.inf"), 0xE0000228LL);
    EXPECT_EQ(Ctl({"list"}).out, "no ports\n");
    EXPECT_EQ(install(dir + "/good.inf"), 0);
    close(fd);
    EXPECT_NE(Ctl({"list"}).out.find("COM1"), std::string::npos);
    EXPECT_TRUE(std::filesystem::is_symlink(Link("COM1")));
}

TEST_F(ControlSocket, PortNamesAreComOneToTwoFiftySixAndLinksStayInTheDeviceFolder)
{
    // Foreign files where links would go; a host neither replaces nor deletes them.
    std::string victim = state_.Path() + "/victim";
    std::filesystem::create_directories(victim);
    std::ofstream(victim + "/x") << "keep";
    std::filesystem::create_directories(State() + "/dev");
    std::ofstream(Link("COM2")) << "not a link";
    std::filesystem::create_symlink(victim + "/x", Link("COM3"));
    StartHost({"--pty-group", "5"});
    int fd = Connect();
    ASSERT_GE(fd, 0);
    for (std::string bad : {"../../victim/x", "COM0", "COM999", "CON", "COM1/../COM2", "COM01", "COM257"}) {
        EXPECT_EQ(Name(fd, quorvel::hostctl::AddPort, bad), 123) << bad;
        EXPECT_EQ(Name(fd, quorvel::hostctl::RemovePort, bad), 123) << bad;
        EXPECT_EQ(Name(fd, quorvel::hostctl::PortStatus, bad), 123) << bad;
        EXPECT_EQ(PortIo(fd, bad, quorvel::IOCTL_SERIAL_GET_ETHERNET, {}, 32768), 123) << bad;
    }
    EXPECT_EQ(Ctl({"list"}).out, "no ports\n");

    // Letter case names the same port.
    quorvel::hostctl::NameMessage created;
    EXPECT_EQ(Name(fd, quorvel::hostctl::AddPort, "com4", &created), 0);
    EXPECT_EQ(created.name, u"COM4");
    ASSERT_TRUE(std::filesystem::is_symlink(Link("COM4")));
    // The terminal belongs to the group given, mode 0660: users of the socket may open it.
    struct stat pty {};
    ASSERT_EQ(stat(Link("COM4").c_str(), &pty), 0);
    EXPECT_EQ(pty.st_mode & 0777, 0660u);
    EXPECT_EQ(pty.st_gid, 5u);

    EXPECT_EQ(Name(fd, quorvel::hostctl::AddPort, "COM2"), 0);
    EXPECT_EQ(Name(fd, quorvel::hostctl::AddPort, "COM3"), 0);
    EXPECT_NE(host_->Err().find(Link("COM2") + " exists and is not a terminal link"), std::string::npos)
        << host_->Err();
    EXPECT_EQ(Name(fd, quorvel::hostctl::RemovePort, "COM2"), 0);
    EXPECT_EQ(Name(fd, quorvel::hostctl::RemovePort, "COM3"), 0);
    close(fd);
    ASSERT_EQ(StopHost(), 0) << host_->Err();
    EXPECT_EQ(FileText(Link("COM2")), "not a link");
    EXPECT_EQ(std::filesystem::read_symlink(Link("COM3")), victim + "/x");
    EXPECT_EQ(FileText(victim + "/x"), "keep");
}

TEST_F(ControlSocket, PortRequestsOtherThanTheDriversOwnAreRefusedAndNoneWedgesTheHost)
{
    StartHost();
    CtlOk({"add"});
    CtlOk({"set", "COM1", "--conn", "127.0.0.1:1502=1"});
    int fd = Connect();
    ASSERT_GE(fd, 0);
    // IOCTL_SERIAL_XOFF_COUNTER with Timeout 0 waits for characters that never come;
    // IOCTL_SERIAL_WAIT_ON_MASK for an event. Neither reaches the port.
    quorvel::ctl::Bytes xoff(12, 0);
    xoff[4] = 1;
    xoff[8] = 0x13;
    EXPECT_EQ(PortIo(fd, "COM1", 0x001B0070, xoff, 0), 1);
    EXPECT_EQ(PortIo(fd, "COM1", 0x001B0044, {}, 4), 1);
    // Just past the driver's private functions, and one of them with another method.
    EXPECT_EQ(PortIo(fd, "COM1", 0x001B9C40 + 16 * 4, {}, 0), 1);
    EXPECT_EQ(PortIo(fd, "COM1", 0x001B9C44 | 3, {}, 0), 1);
    // The driver's own requests pass; an output size no client needs is cut, not allocated.
    quorvel::ctl::PortIoControlResponse resp;
    EXPECT_EQ(PortIo(fd, "COM1", quorvel::IOCTL_SERIAL_GET_ETHERNET, {}, 0xFFFFFFFF, &resp), 0);
    quorvel::EthRecord record;
    EXPECT_EQ(quorvel::ParseEthRecord(resp.output.data(), resp.output.size(), &record), quorvel::EthParseError::None);
    EXPECT_EQ(record.entries.size(), 1u);
    // A private code the driver does not serve is answered, not held.
    EXPECT_GT(PortIo(fd, "COM1", 0x001B9C40 + 15 * 4, {}, 0), 0);
    EXPECT_EQ(Ctl({"list"}).status, 0);
    close(fd);
}

TEST_F(ControlSocket, FilterInstallTakesANameAndBytesAndWritesOnlyIntoTheDriversFolder)
{
    StartHost();
    int fd = Connect();
    ASSERT_GE(fd, 0);
    auto install = [&](const std::u16string &name, const quorvel::ctl::Bytes &content, std::u16string *service) {
        quorvel::ctl::InstallFilterServiceRequest req;
        req.fileName = name;
        req.content = content;
        quorvel::ctl::TextResponse resp;
        long long e = Call(fd, std::uint16_t(quorvel::ctl::Op::InstallFilterService), req, &resp);
        if (service) *service = resp.text;
        return e;
    };
    const quorvel::ctl::Bytes driver = {'M', 'Z', 1, 2, 3};
    for (std::u16string bad : {u"../../evil.sys", u"/etc/shadow", u"shadow", u"a\\b.sys", u".sys", u"x.sys/", u"..sys"})
        EXPECT_EQ(install(bad, driver, nullptr), 123) << quorvel::hostctl::Utf8(bad);
    EXPECT_EQ(install(u"big.sys", quorvel::ctl::Bytes(quorvel::ctl::kMaxFilterFileSize + 1, 'x'), nullptr), 223);

    std::u16string service;
    EXPECT_EQ(install(u"myfilt.sys", driver, &service), 0);
    EXPECT_EQ(service, u"myfilt");
    std::string dir = State() + "/System32/drivers";
    struct stat st {};
    ASSERT_EQ(stat((dir + "/myfilt.sys").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    std::string written = FileText(dir + "/myfilt.sys");
    EXPECT_EQ(quorvel::ctl::Bytes(written.begin(), written.end()), driver);
    // The same driver again, in other letter case, is the same file; another driver's bytes never
    // replace it.
    EXPECT_EQ(install(u"MYFILT.SYS", driver, nullptr), 0);
    EXPECT_EQ(install(u"myfilt.sys", {'X'}, nullptr), 80);
    std::vector<std::string> files;
    for (auto &e : std::filesystem::directory_iterator(dir)) files.push_back(e.path().filename().string());
    EXPECT_EQ(files, std::vector<std::string>{"myfilt.sys"});
    close(fd);
}

TEST_F(ControlSocket, EachUserHasItsOwnSessionLimitIdleSessionsCloseAndValuesAreBounded)
{
    StartHost({"--control-idle-timeout", "0"});
    CtlOk({"add"});
    // Sixteen sessions of one user (one of them holding a device set) fill that user's share.
    std::vector<int> fds;
    while (fds.size() < 16) {
        int fd = -1;
        ASSERT_TRUE(qvtest::WaitUntil([&] {
            if (fd >= 0) close(fd);
            fd = Connect();
            return fd >= 0 && Call(fd, quorvel::hostctl::ListPorts, quorvel::ctl::Empty{}) == 0;
        }));
        fds.push_back(fd);
    }
    int extra = Connect();
    EXPECT_EQ(Call(extra, quorvel::hostctl::ListPorts, quorvel::ctl::Empty{}), -1);
    close(extra);
    // Another user is still served (checked where the test may switch users).
    if (geteuid() == 0) {
        std::filesystem::permissions(state_.Path(), std::filesystem::perms(0711));
        std::filesystem::permissions(State(), std::filesystem::perms(0711));
        std::filesystem::permissions(State() + "/control.sock", std::filesystem::perms(0666));
        Result other = hosttest::Run(
            {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", QV_CTL, "--state", State(), "list"});
        EXPECT_EQ(other.status, 0) << other.err;
        EXPECT_NE(other.out.find("COM1"), std::string::npos);
    }
    for (int fd : fds) close(fd);
    ASSERT_EQ(StopHost(), 0) << host_->Err();

    // Idle sessions go after the timeout, unless they hold device sets (the configurator's).
    StartHost({"--control-idle-timeout", "1"});
    int keeper = Connect(), idle = Connect();
    quorvel::ctl::GetClassDevsRequest devs;
    devs.flags = DIGCF_PRESENT;
    devs.hasClass = true;
    devs.classGuid = quorvel::kPortsClassGuid;
    quorvel::ctl::GetClassDevsResponse set;
    ASSERT_EQ(Call(keeper, std::uint16_t(quorvel::ctl::Op::GetClassDevs), devs, &set), 0);
    ASSERT_EQ(Call(idle, quorvel::hostctl::ListPorts, quorvel::ctl::Empty{}), 0);
    EXPECT_TRUE(qvtest::WaitUntil([&] { return ClosedByHost(idle); }, 30000));
    EXPECT_FALSE(ClosedByHost(keeper));
    quorvel::ctl::EnumDeviceInfoRequest first;
    first.set = set.set;
    EXPECT_EQ(Call(keeper, std::uint16_t(quorvel::ctl::Op::EnumDeviceInfo), first), 0);

    // A client writes only the filter lists of an existing class, of a bounded size.
    auto setClass = [&](const quorvel::Guid &cls, const std::u16string &name, const quorvel::ctl::Bytes &data) {
        quorvel::ctl::SetClassMultiSzRequest req;
        req.classGuid = cls;
        req.name = name;
        req.data = data;
        return Call(keeper, std::uint16_t(quorvel::ctl::Op::SetClassMultiSz), req);
    };
    quorvel::ctl::Bytes list = quorvel::EncodeMultiSz({u"myfilt"});
    EXPECT_EQ(setClass(quorvel::kPortsClassGuid, u"UpperFilters", list), 0);
    EXPECT_EQ(setClass(quorvel::kPortsClassGuid, u"UpperFilters", quorvel::ctl::Bytes(70000, 'a')), 87);
    EXPECT_EQ(setClass(quorvel::kPortsClassGuid, u"Class", list), 87);
    EXPECT_EQ(setClass(quorvel::Guid{1, 2, 3, {4}}, u"LowerFilters", list), 0xE0000206LL);
    close(keeper);
    close(idle);
}

TEST_F(HostEndToEnd, StoreThatCannotBeWrittenFailsEveryChangeWithAClearMessage)
{
    StartHost();
    CtlOk({"add"});
    CtlOk({"set", "COM1", "--delay", "700", "--conn", "127.0.0.1:1502=1"});
    Result shown = Ctl({"show", "COM1"});
    std::string store = State() + "/registry.dat";
    struct stat st {};
    ASSERT_EQ(stat(store.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);  // it holds every port's servers
    // A file size limit below the store's size makes every write of it fail, as a full disk does.
    rlimit small{rlim_t(st.st_size / 2), RLIM_INFINITY};
    ASSERT_EQ(prlimit(host_->Pid(), RLIMIT_FSIZE, &small, nullptr), 0);

    const std::string notSaved = "could not save its settings store";
    Result removed = Ctl({"remove", "COM1"});
    EXPECT_EQ(removed.status, 1);
    EXPECT_NE(removed.err.find(notSaved), std::string::npos) << removed.err;
    Result set = Ctl({"set", "COM1", "--delay", "900", "--conn", "127.0.0.1:1502=2"});
    EXPECT_EQ(set.status, 1);
    EXPECT_NE(set.err.find(notSaved), std::string::npos) << set.err;
    Result added = Ctl({"add"});
    EXPECT_EQ(added.status, 1);
    EXPECT_NE(added.err.find(notSaved), std::string::npos) << added.err;
    EXPECT_EQ(Ctl({"show", "COM1"}).out, shown.out);
    Result list = Ctl({"list"});
    EXPECT_NE(list.out.find("COM1 "), std::string::npos) << list.out;
    EXPECT_EQ(list.out.find("COM2 "), std::string::npos) << list.out;
    EXPECT_TRUE(std::filesystem::is_symlink(Link("COM1"))) << host_->Err();
    EXPECT_NE(host_->Err().find("settings store not saved"), std::string::npos) << host_->Err();

    // Stored as reported: after a restart with a writable store, the port and its settings are there.
    rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
    ASSERT_EQ(prlimit(host_->Pid(), RLIMIT_FSIZE, &unlimited, nullptr), 0);
    ASSERT_EQ(StopHost(), 0) << host_->Err();
    StartHost();
    list = Ctl({"list"});
    EXPECT_NE(list.out.find("COM1 "), std::string::npos) << list.out;
    EXPECT_EQ(list.out.find("COM2 "), std::string::npos) << list.out;
    EXPECT_EQ(Ctl({"show", "COM1"}).out, shown.out);
}

TEST_F(HostEndToEnd, SaveWritesOnlyRegularFilesWholeAndLoadRefusesWhatSetRefuses)
{
    StartHost();
    CtlOk({"add"});
    CtlOk({"set", "COM1", "--conn", "127.0.0.1:1502=1,2"});
    Result shown = Ctl({"show", "COM1"});
    std::string dir = state_.Path() + "/files";
    std::filesystem::create_directories(dir);

    // A FIFO (or a device) in the target's place is refused and stays what it is.
    ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0644), 0);
    EXPECT_EQ(Ctl({"save", "COM1", dir + "/fifo"}).status, 1);
    EXPECT_TRUE(std::filesystem::is_fifo(dir + "/fifo"));
    CtlOk({"save", "COM1", dir + "/a.qvor"});
    CtlOk({"load", "COM1", dir + "/a.qvor"});

    // Each record set would refuse, written as a file: load refuses it with the reason.
    auto entry = [](std::uint8_t a, std::uint16_t port, std::vector<std::uint8_t> ids) {
        quorvel::EthEntry e;
        std::uint8_t ip[4] = {a, a == 255 ? std::uint8_t(255) : std::uint8_t(0),
                              a == 255 ? std::uint8_t(255) : std::uint8_t(0), a};
        std::memcpy(&e.ip, ip, 4);
        e.port = port;
        e.raw = false;
        e.ids = std::move(ids);
        return e;
    };
    struct Case {
        const char *reason;
        quorvel::EthRecord record;
        int patchAt = -1;  // a byte of the record set after building
        std::uint8_t patch = 0;
    };
    quorvel::EthRecord good;
    good.entries = {entry(127, 502, {1})};
    std::vector<Case> cases = {
        {"device id 0", {10000, 0, 0, {entry(127, 502, {0})}}},
        {"device id 248", {10000, 0, 0, {entry(127, 502, {248})}}},
        {"device id 3 is served twice", {10000, 0, 0, {entry(127, 502, {3}), entry(127, 503, {3})}}},
        {"TCP port 0", {10000, 0, 0, {entry(127, 0, {1})}}},
        {"0.0.0.0", {10000, 0, 0, {entry(0, 502, {1})}}},
        {"255.255.255.255", {10000, 0, 0, {entry(255, 502, {1})}}},
        {"delay", {0, 0, 0, {entry(127, 502, {1})}}},
        {"no connection", {10000, 0, 0, {}}},
        {"mask", good, 8, 0x10},
        {"raw flag is 2", good, 20, 2},
    };
    for (auto &c : cases) {
        std::vector<std::uint8_t> image;
        ASSERT_EQ(quorvel::BuildSettingsFile(c.record, &image), quorvel::SettingsFileStatus::Ok);
        if (c.patchAt >= 0) image[quorvel::kSettingsFileHeaderSize + c.patchAt] = c.patch;
        std::ofstream(dir + "/bad.qvor", std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char *>(image.data()), std::streamsize(image.size()));
        Result r = Ctl({"load", "COM1", dir + "/bad.qvor"});
        EXPECT_EQ(r.status, 1) << c.reason;
        EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
    }
    EXPECT_EQ(Ctl({"show", "COM1"}).out, shown.out);
    Result zero = Ctl({"set", "COM1", "--conn", "0.0.0.0:502=1"});
    EXPECT_EQ(zero.status, 2);
    EXPECT_NE(zero.err.find("0.0.0.0"), std::string::npos) << zero.err;
}

// The lines of `text` that hold every one of `parts`.
std::vector<std::string> LinesWith(const std::string &text, const std::vector<std::string> &parts)
{
    std::vector<std::string> found;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        bool all = true;
        for (auto &p : parts) all = all && line.find(p) != std::string::npos;
        if (all) found.push_back(line);
    }
    return found;
}

TEST_F(HostEndToEnd, MonitorShowsAPollAWrongIdAndAStoppedServerAndTsharkDecodesTheCapture)
{
    PortWithSim(1);
    int deadPort = 0;
    Sim({"--unit", "2"}, &deadPort)->Stop();  // a server that was there and is gone
    CtlOk({"set", "COM1", "--conn", "127.0.0.1:" + std::to_string(simPort_) + "=1", "--conn",
           "127.0.0.1:" + std::to_string(deadPort) + "=2"});
    std::string pcap = state_.Path() + "/trace.pcapng";
    Process monitor({QV_CTL, "--state", State(), "monitor", "COM1", "--json", "--pcap", pcap},
                    state_.Path() + "/monitor");
    ASSERT_TRUE(qvtest::WaitUntil([&] { return monitor.Err().find("monitoring COM1") != std::string::npos; }))
        << monitor.Err();

    // The program holds the port all along; the monitor reads beside it.
    Result good = Mbpoll("COM1", 1, 3);
    EXPECT_TRUE(HasRegister(good, 3, 1002)) << good.out << good.err;
    for (int unit : {9, 2}) {
        Result r = Mbpoll("COM1", unit, 1, 1);
        EXPECT_NE(r.status, 0) << r.out;
    }
    ASSERT_TRUE(qvtest::WaitUntil([&] { return !LinesWith(monitor.Out(), {"\"reason\": \"link-down\""}).empty(); }))
        << monitor.Out() << monitor.Err();
    EXPECT_EQ(monitor.Stop(SIGINT), 0) << monitor.Err();
    std::string out = monitor.Out();

    std::string server = "\"server\": \"127.0.0.1:" + std::to_string(simPort_) + "\"";
    ASSERT_EQ(LinesWith(out, {"\"event\": \"written\"", "\"framing\": \"rtu\"", "\"unit\": 1", "\"function\": 3",
                              "\"address\": 0", "\"count\": 3", "\"hex\": \"010300000003"})
                  .size(),
              1u)
        << out;
    auto sent = LinesWith(out, {"\"event\": \"sent\"", server, "\"framing\": \"mbap\"", "\"unit\": 1"});
    ASSERT_EQ(sent.size(), 1u) << out;
    std::string tid = sent[0].substr(sent[0].find("\"tid\": ") + 7);
    tid = tid.substr(0, tid.find(','));
    EXPECT_EQ(
        LinesWith(out, {"\"event\": \"received\"", server, "\"tid\": " + tid + ",", "\"bytes\": 6", "\"rtt_ms\": "})
            .size(),
        1u)
        << out;
    EXPECT_EQ(LinesWith(out, {"\"event\": \"placed\"", "\"unit\": 1", "\"bytes\": 6", "\"hex\": \"010306"}).size(), 1u)
        << out;
    EXPECT_EQ(LinesWith(out, {"\"event\": \"dropped\"", "\"reason\": \"no-route\"", "\"unit\": 9"}).size(), 1u) << out;
    std::string gone = "\"server\": \"127.0.0.1:" + std::to_string(deadPort) + "\"";
    EXPECT_EQ(LinesWith(out, {"\"event\": \"parked\"", gone, "\"unit\": 2"}).size(), 1u) << out;
    EXPECT_EQ(LinesWith(out, {"\"event\": \"dropped\"", "\"reason\": \"link-down\"", gone, "\"unit\": 2"}).size(), 1u)
        << out;

    // Wireshark's dissector finds the query and its response on port 502, under the id sent.
    Result shark = hosttest::Run({"tshark", "-r", pcap, "-Y", "mbtcp", "-T", "fields", "-e", "tcp.dstport", "-e",
                                  "mbtcp.trans_id", "-e", "mbtcp.unit_id", "-e", "modbus.func_code"});
    ASSERT_EQ(shark.status, 0) << shark.err;
    EXPECT_EQ(shark.out, "502\t" + tid + "\t1\t3\n" + "49152\t" + tid + "\t1\t3\n") << shark.err;
    // The application's side: every frame with its comment, the drops included.
    Result comments =
        hosttest::Run({"tshark", "-r", pcap, "-Y", "frame.interface_id == 1", "-T", "fields", "-e", "frame.comment"});
    EXPECT_EQ(LinesWith(comments.out, {"dropped no-route", "unit 9 fc 3"}).size(), 1u) << comments.out;
}

}  // namespace
