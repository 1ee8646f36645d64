// quorvel-host end to end: real serial programs (mbpoll, pymodbus) on the pseudo-terminals,
// quorvel-sim and pymodbus servers on 127.0.0.1, quorvelctl over the control socket. Each test
// has its own state directory.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>

#include "core/controlproto.h"
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

class HostEndToEnd : public ::testing::Test {
protected:
    std::string State() const { return state_.Path() + "/state"; }
    std::string Link(const std::string &port) const { return State() + "/dev/" + port; }

    void StartHost()
    {
        std::filesystem::remove(State() + "/control.sock");
        host_ = std::make_unique<Process>(std::vector<std::string>{QV_HOST, "--state", State()},
                                          state_.Path() + "/host" + std::to_string(++hostRuns_));
        ASSERT_TRUE(qvtest::WaitUntil(
            [&] { return std::filesystem::exists(State() + "/control.sock") || !host_->Running(); }, 30000));
        ASSERT_TRUE(host_->Running()) << host_->Err();
    }
    int StopHost(int signal = SIGTERM)
    {
        int status = host_->Stop(signal);
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

    Result Mbpoll(const std::string &port, int unit, int count = 5)
    {
        return hosttest::Run({"mbpoll", "-m", "rtu", "-b", "9600", "-P", "none", "-a", std::to_string(unit), "-r", "1",
                              "-c", std::to_string(count), "-t", "4", "-1", "-o", "5", Link(port)},
                             30);
    }
    // mbpoll prints "[n]: \tvalue" per register.
    static bool HasRegister(const Result &r, int reference, int value)
    {
        return r.out.find("[" + std::to_string(reference) + "]: \t" + std::to_string(value) + "\n") !=
               std::string::npos;
    }

    // A port COM1 whose settings point at a fresh quorvel-sim serving `unit`.
    void PortWithSim(int unit, std::unique_ptr<Process> *sim, int *simPort)
    {
        StartHost();
        CtlOk({"add"});
        *sim = Sim({"--unit", std::to_string(unit)}, simPort);
        CtlOk({"set", "COM1", "--conn", "127.0.0.1:" + std::to_string(*simPort) + "=" + std::to_string(unit)});
    }

    void TearDown() override
    {
        if (host_ && host_->Running()) {
            EXPECT_EQ(StopHost(), 0) << host_->Err();
        }
    }

    qvtest::TempDir state_;
    std::unique_ptr<Process> host_;
    int hostRuns_ = 0, servers_ = 0;
};

TEST_F(HostEndToEnd, MbpollReadsHoldingRegistersThroughThePort)
{
    std::unique_ptr<Process> sim;
    int port = 0;
    PortWithSim(1, &sim, &port);
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
    std::unique_ptr<Process> sim;
    int port = 0;
    PortWithSim(1, &sim, &port);
    // One program keeps the port open across the restart: it polls, waits for the go file,
    // polls again.
    std::string go = state_.Path() + "/go";
    Process client({"/usr/bin/python3", PEERS, "twice", Link("COM1"), "1", go}, state_.Path() + "/client");
    ASSERT_EQ(client.WaitForLine("first"), "first [1000, 1001]") << client.Err();
    sim->Stop();
    // The same port again; it may take a moment before the old one can be bound again.
    int again = -1;
    ASSERT_TRUE(qvtest::WaitUntil([&] {
        sim = Sim({"--unit", "1", "--listen", "127.0.0.1:" + std::to_string(port)}, &again, false);
        return again == port;
    }));
    std::ofstream(go).put('1');
    std::string second = client.WaitForLine("second");
    EXPECT_EQ(second, "second 0 [1000, 1001]") << client.Err() << host_->Err();
}

TEST_F(HostEndToEnd, RequestWrittenOneByteAtATimeGetsItsReply)
{
    std::unique_ptr<Process> sim;
    int port = 0;
    PortWithSim(1, &sim, &port);
    Result r = hosttest::Run({"/usr/bin/python3", "-c",
                              "import serial, sys\n"
                              "s = serial.Serial(sys.argv[1], 9600, timeout=5)\n"
                              "req = bytes([1, 3, 0, 4, 0, 1])\n"
                              "crc = 0xFFFF\n"
                              "for b in req:\n"
                              "    crc ^= b\n"
                              "    for _ in range(8): crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1\n"
                              "for b in req + bytes([crc & 0xFF, crc >> 8]):\n"
                              "    s.write(bytes([b])); s.flush()\n"
                              "print(s.read(7).hex())\n",
                              Link("COM1")});
    ASSERT_EQ(r.status, 0) << r.err;
    // Unit 1, function 3, 2 bytes, 1004 = 0x03EC, then the CRC.
    EXPECT_EQ(r.out.substr(0, 10), "01030203ec") << r.out;
    EXPECT_EQ(r.out.size(), 15u) << r.out;
}

// A program that writes the start of an ASCII frame and then, within the second, an RTU request
// gets the RTU reply: the unfinished text goes to the port on its own.
TEST_F(HostEndToEnd, UnfinishedAsciiFrameDoesNotSwallowTheNextRequest)
{
    std::unique_ptr<Process> sim;
    int port = 0;
    PortWithSim(1, &sim, &port);
    Result r = hosttest::Run({"/usr/bin/python3", "-c",
                              kPySerialCrc + "s = serial.Serial(sys.argv[1], 9600, timeout=5)\n"
                                             "s.write(b':0103'); s.flush()\n"
                                             "s.write(rtu(bytes([1, 3, 0, 4, 0, 1]))); s.flush()\n"
                                             "print(s.read(7).hex())\n",
                              Link("COM1")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "01030203ecb939\n") << host_->Err();
}

// A program that writes megabytes without a pause and without a frame: the bridge drops what
// runs past one frame's length, says so, and the same open port answers the next request.
TEST_F(HostEndToEnd, WriterThatNeverPausesIsDroppedAndThePortKeepsWorking)
{
    std::unique_ptr<Process> sim;
    int port = 0;
    PortWithSim(1, &sim, &port);
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
    std::unique_ptr<Process> first;
    int firstPort = 0;
    PortWithSim(1, &first, &firstPort);
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
    first->Stop();  // only the new server can answer now
    Result r = Mbpoll("COM1", 1, 2);
    EXPECT_TRUE(HasRegister(r, 2, 1001)) << r.out << r.err;
    CtlOk({"remove", "COM1"});
    EXPECT_FALSE(std::filesystem::exists(Link("COM1")));
    EXPECT_EQ(Ctl({"show", "COM1"}).status, 1);
}

TEST_F(HostEndToEnd, ProgramsTerminalSettingsReachThePortAndFollowChanges)
{
    std::unique_ptr<Process> sim;
    int port = 0;
    PortWithSim(1, &sim, &port);
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
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(std::uint16_t(simPort));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_NE(connect(s, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)), 0);
    close(s);
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
        return header.error;
    }
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

}  // namespace
