// Pure parts of the host: write framing, terminal settings, quorvelctl's argument checks, the
// INF checks and quorvel-sim's RTU framing.
#include <gtest/gtest.h>

#include <termios.h>

#include <cstring>
#include <fstream>

#include "ctlargs.h"
#include "framing.h"
#include "inf.h"
#include "lineconfig.h"
#include "modbusframe.h"
#include "platform_test.h"
#include "portoptions.h"
#include "simdata.h"

using namespace quorvel;

namespace {

std::vector<std::uint8_t> WithCrc(std::vector<std::uint8_t> frame)
{
    std::uint16_t crc = ModbusCrc16(frame.data(), frame.size());
    frame.push_back(std::uint8_t(crc & 0xFF));
    frame.push_back(std::uint8_t(crc >> 8));
    return frame;
}

const std::vector<std::uint8_t> kReadRequest = WithCrc({0x01, 0x03, 0x00, 0x00, 0x00, 0x0A});

}  // namespace

TEST(WriteFraming, SilenceIsThreeAndAHalfCharactersAndAtLeastOneMillisecond)
{
    EXPECT_EQ(BitsPerCharacter(8, false, 1), 10u);
    EXPECT_EQ(BitsPerCharacter(8, true, 1), 11u);
    EXPECT_EQ(BitsPerCharacter(7, true, 2), 11u);
    EXPECT_EQ(RtuSilenceMicros(9600, 10), 3646u);  // 35 bits at 9600 baud, rounded up
    EXPECT_EQ(RtuSilenceMicros(1200, 11), 32084u);
    EXPECT_EQ(RtuSilenceMicros(115200, 10), 1000u);
    EXPECT_EQ(RtuSilenceMicros(0, 10), 1000u);
}

TEST(WriteFraming, WholeRtuFrameGoesAtOnceAndPiecesWaitForTheSilence)
{
    WriteAssembler a;
    std::vector<std::uint8_t> chunk;
    a.Add(kReadRequest.data(), kReadRequest.size(), 100);
    ASSERT_TRUE(a.Take(100, 4000, &chunk));
    EXPECT_EQ(chunk, kReadRequest);
    EXPECT_TRUE(a.Empty());

    // One byte at a time: nothing goes out until the CRC checks.
    for (size_t i = 0; i + 1 < kReadRequest.size(); ++i) {
        a.Add(&kReadRequest[i], 1, 1000 + i);
        EXPECT_FALSE(a.Take(1000 + i, 4000, &chunk)) << i;
    }
    a.Add(&kReadRequest.back(), 1, 1010);
    ASSERT_TRUE(a.Take(1010, 4000, &chunk));
    EXPECT_EQ(chunk, kReadRequest);

    // A piece that never completes goes out when the line has been quiet for the silence.
    std::uint8_t partial[] = {0x01, 0x03, 0x00};
    a.Add(partial, 3, 5000);
    EXPECT_EQ(a.Deadline(4000), 9000u);
    EXPECT_FALSE(a.Take(8999, 4000, &chunk));
    ASSERT_TRUE(a.Take(9000, 4000, &chunk));
    EXPECT_EQ(chunk.size(), 3u);
    EXPECT_EQ(a.Deadline(4000), UINT64_MAX);
}

TEST(WriteFraming, AsciiFrameWaitsForCrLfOrOneSecond)
{
    WriteAssembler a;
    std::vector<std::uint8_t> chunk;
    std::string frame = ":010300000001FB\r\n";
    a.Add(reinterpret_cast<const std::uint8_t *>(frame.data()), 10, 0);
    // Hexadecimal text without CR LF is no RTU frame: the RTU silence does not end it.
    EXPECT_FALSE(a.Take(50000, 4000, &chunk));
    EXPECT_EQ(a.Deadline(4000), kAsciiFrameTimeoutMicros);
    a.Add(reinterpret_cast<const std::uint8_t *>(frame.data()) + 10, frame.size() - 10, 60000);
    ASSERT_TRUE(a.Take(60000, 4000, &chunk));
    EXPECT_EQ(std::string(chunk.begin(), chunk.end()), frame);

    // Two frames in one chunk go as two writes.
    std::string two = frame + frame;
    a.Add(reinterpret_cast<const std::uint8_t *>(two.data()), two.size(), 70000);
    ASSERT_TRUE(a.Take(70000, 4000, &chunk));
    EXPECT_EQ(chunk.size(), frame.size());
    ASSERT_TRUE(a.Take(70000, 4000, &chunk));
    EXPECT_EQ(chunk.size(), frame.size());

    // Unterminated: after one second.
    a.Add(reinterpret_cast<const std::uint8_t *>(":0103"), 5, 100000);
    EXPECT_FALSE(a.Take(100000 + kAsciiFrameTimeoutMicros - 1, 4000, &chunk));
    EXPECT_TRUE(a.Take(100000 + kAsciiFrameTimeoutMicros, 4000, &chunk));
}

TEST(WriteFraming, RtuFrameForDevice58IsNotTakenForAscii)
{
    // Device id 0x3A is ':'; its binary bytes show at once that this is no ASCII frame.
    std::vector<std::uint8_t> frame = WithCrc({0x3A, 0x03, 0x00, 0x00, 0x00, 0x01});
    WriteAssembler a;
    std::vector<std::uint8_t> chunk;
    a.Add(frame.data(), frame.size(), 0);
    ASSERT_TRUE(a.Take(0, 4000, &chunk));
    EXPECT_EQ(chunk, frame);
}

TEST(LineSettings, TerminalSettingsBecomePortSettings)
{
    termios t{};
    cfmakeraw(&t);
    cfsetospeed(&t, B19200);
    LineConfig c = LineConfigFromTermios(t);
    EXPECT_EQ(c.baud, 19200u);
    EXPECT_EQ(c.dataBits, 8);
    EXPECT_EQ(c.parity, kNoParity);
    EXPECT_EQ(c.stopBits, kOneStopBit);
    EXPECT_FALSE(c.rtsCts || c.xonInput || c.xonOutput);

    t.c_cflag = (t.c_cflag & ~CSIZE) | CS7 | PARENB | CSTOPB | CRTSCTS;
    t.c_iflag |= IXON | IXOFF;
    cfsetospeed(&t, B115200);
    c = LineConfigFromTermios(t);
    EXPECT_EQ(c.baud, 115200u);
    EXPECT_EQ(c.dataBits, 7);
    EXPECT_EQ(c.parity, kEvenParity);
    EXPECT_EQ(c.stopBits, kTwoStopBits);
    EXPECT_TRUE(c.rtsCts && c.xonInput && c.xonOutput);
    EXPECT_EQ(LineBitsPerCharacter(c), 11u);

    t.c_cflag |= PARODD | CMSPAR;
    EXPECT_EQ(LineConfigFromTermios(t).parity, kMarkParity);
    t.c_cflag &= ~PARODD;
    EXPECT_EQ(LineConfigFromTermios(t).parity, kSpaceParity);
    cfsetospeed(&t, B0);
    EXPECT_EQ(LineConfigFromTermios(t).baud, 9600u);
}

TEST(CtlArguments, PortNamesAndLines)
{
    EXPECT_TRUE(ValidPortName("COM1"));
    EXPECT_TRUE(ValidPortName("com256"));
    for (const char *bad : {"COM0", "COM257", "COM01", "COM", "LPT1", "COM1x", "COM-1", ""})
        EXPECT_FALSE(ValidPortName(bad)) << bad;
    std::uint8_t mask = 0xFF;
    ASSERT_TRUE(ParseLines("none", &mask));
    EXPECT_EQ(mask, 0);
    ASSERT_TRUE(ParseLines("CTS,dcd", &mask));
    EXPECT_EQ(mask, kLineCts | kLineDcd);
    EXPECT_EQ(LinesText(mask), "cts,dcd");
    EXPECT_FALSE(ParseLines("cts,", &mask));
    EXPECT_FALSE(ParseLines("rts", &mask));
}

TEST(CtlArguments, SetBuildsAWholeRecordOrRefuses)
{
    EthRecord r;
    std::string error;
    ASSERT_TRUE(ParseSetArguments(
        {"--delay", "250", "--rts", "cts", "--conn", "127.0.0.1:502=1,2", "--conn", "10.1.2.3:1502/raw=7"}, &r, &error))
        << error;
    EXPECT_EQ(r.delay, 250);
    EXPECT_EQ(r.rtsMask, kLineCts);
    EXPECT_EQ(r.dtrMask, 0);
    ASSERT_EQ(r.entries.size(), 2u);
    std::uint8_t ip[4];
    std::memcpy(ip, &r.entries[1].ip, 4);
    EXPECT_EQ(ip[0], 10);
    EXPECT_EQ(ip[3], 3);
    EXPECT_EQ(r.entries[1].port, 1502);
    EXPECT_TRUE(r.entries[1].raw);
    EXPECT_FALSE(r.entries[0].raw);
    EXPECT_EQ(r.entries[0].ids, (std::vector<std::uint8_t>{1, 2}));

    const std::vector<std::vector<std::string>> bad = {
        {},                                                          // no connection
        {"--conn", "127.0.0.1:502=1", "--conn", "127.0.0.2:502=1"},  // id served twice
        {"--conn", "127.0.0.1:502=1,1"},
        {"--conn", "127.0.0.1:0=1"},
        {"--conn", "127.0.0.1:70000=1"},
        {"--conn", "127.0.0.1=1"},
        {"--conn", "127.0.0.1:502="},
        {"--conn", "127.0.0.1:502=248"},
        {"--conn", "256.1.1.1:502=1"},
        {"--delay", "0", "--conn", "127.0.0.1:502=1"},
        {"--delay", "65536", "--conn", "127.0.0.1:502=1"},
        {"--rts", "cts,foo", "--conn", "127.0.0.1:502=1"},
        {"--conn"},
        {"--bogus", "1"},
    };
    for (auto &args : bad) {
        EthRecord untouched;
        untouched.delay = 1;
        EXPECT_FALSE(ParseSetArguments(args, &untouched, &error)) << (args.empty() ? "" : args.back());
        EXPECT_EQ(untouched.delay, 1);
        EXPECT_FALSE(error.empty());
    }
}

// --response-ms comes out of set's arguments whole, wherever it stands; the options record is
// exactly what the driver's options requests carry.
TEST(CtlArguments, ResponseTimeAndTheOptionsRecord)
{
    std::vector<std::string> args = {"--response-ms", "100", "--conn", "127.0.0.1:502=1", "--response-ms", "0"};
    std::optional<std::uint32_t> ms;
    std::string error;
    ASSERT_TRUE(TakeResponseMs(&args, &ms, &error)) << error;
    EXPECT_EQ(ms, 0u);
    EXPECT_EQ(args, (std::vector<std::string>{"--conn", "127.0.0.1:502=1"}));
    for (std::vector<std::string> bad : {std::vector<std::string>{"--response-ms"},
                                         {"--response-ms", "-1"},
                                         {"--response-ms", "3600001"},
                                         {"--response-ms", "--conn", "127.0.0.1:502=1"}}) {
        std::optional<std::uint32_t> none;
        EXPECT_FALSE(TakeResponseMs(&bad, &none, &error)) << bad.back();
        EXPECT_FALSE(none.has_value());
    }

    PortOptions options{0x5, 250};
    std::vector<std::uint8_t> bytes = EncodePortOptions(options);
    EXPECT_EQ(bytes, (std::vector<std::uint8_t>{12, 0, 1, 0, 5, 0, 0, 0, 250, 0, 0, 0}));
    PortOptions back;
    ASSERT_TRUE(DecodePortOptions(bytes, &back));
    EXPECT_EQ(back.flags, 5u);
    EXPECT_EQ(back.responseMs, 250u);
    bytes[2] = 2;  // another version
    EXPECT_FALSE(DecodePortOptions(bytes, &back));
    EXPECT_FALSE(DecodePortOptions({}, &back));
}

class InfCheckTest : public ::testing::Test {
protected:
    std::string Write(const std::string &text)
    {
        std::string path = dir_.Path() + "/test" + std::to_string(++n_) + ".inf";
        std::ofstream(path) << text;
        return path;
    }
    qvtest::TempDir dir_;
    int n_ = 0;
};

TEST_F(InfCheckTest, ErrorsAsWindowsGivesThem)
{
    const std::string good =
        "[Version]\nSignature=\"$WINDOWS NT$\"\nClass=Ports ; "
        "comment\nClassGuid={4D36E978-E325-11CE-BFC1-08002BE10318}\n"
        "[Manufacturer]\n%Mfg%=Models,NTx86\n[Models.NTx86]\n%Desc%=PortInstall,*QuorvelDevice\n"
        "[PortInstall.NTx86.Services]\nAddService = Quorvel,0x00000002,ServiceInstall\n";
    EXPECT_EQ(CheckDriverInf(Write(good), "*QuorvelDevice", "Quorvel").error, 0u);
    EXPECT_EQ(CheckDriverInf(Write(good), "*quorveldevice", "quorvel").error, 0u);
    EXPECT_EQ(CheckDriverInf(dir_.Path() + "/missing.inf", "*QuorvelDevice", "Quorvel").error, 2u);
    EXPECT_EQ(CheckDriverInf(Write("just text\n"), "*QuorvelDevice", "Quorvel").error, kErrorWrongInfStyle);
    EXPECT_EQ(CheckDriverInf(Write("[Version]\nSignature=x\n"), "*QuorvelDevice", "Quorvel").error,
              kErrorWrongInfStyle);
    EXPECT_EQ(CheckDriverInf(Write(good), "*OtherDevice", "Quorvel").error, kErrorNoCompatDrivers);
    EXPECT_EQ(CheckDriverInf(Write(good), "*QuorvelDevice", "Other").error, kErrorNoCompatDrivers);
    std::string commented = good;
    commented.replace(commented.find("AddService"), 0, ";");
    EXPECT_EQ(CheckDriverInf(Write(commented), "*QuorvelDevice", "Quorvel").error, kErrorNoCompatDrivers);
}

TEST(SimFraming, RtuRequestsAreSizedCheckedAndConverted)
{
    EXPECT_EQ(sim::RtuRequestLength(kReadRequest.data(), 1), sim::kNeedMore);
    EXPECT_EQ(sim::RtuRequestLength(kReadRequest.data(), 7), sim::kNeedMore);
    EXPECT_EQ(sim::RtuRequestLength(kReadRequest.data(), 9), 8u);
    std::vector<std::uint8_t> write16 = WithCrc({0x02, 0x10, 0x00, 0x01, 0x00, 0x02, 0x04, 0, 1, 0, 2});
    EXPECT_EQ(sim::RtuRequestLength(write16.data(), 6), sim::kNeedMore);
    EXPECT_EQ(sim::RtuRequestLength(write16.data(), write16.size()), write16.size());
    std::uint8_t unknown[] = {1, 0x55};
    EXPECT_EQ(sim::RtuRequestLength(unknown, 2), sim::kBadFrame);

    EXPECT_TRUE(sim::RtuCrcValid(kReadRequest.data(), kReadRequest.size()));
    std::vector<std::uint8_t> damaged = kReadRequest;
    damaged[3] ^= 1;
    EXPECT_FALSE(sim::RtuCrcValid(damaged.data(), damaged.size()));

    auto tcp = sim::RtuToTcp(kReadRequest.data(), kReadRequest.size(), 0x1234);
    EXPECT_EQ(tcp, (std::vector<std::uint8_t>{0x12, 0x34, 0, 0, 0, 6, 0x01, 0x03, 0, 0, 0, 0x0A}));
    std::vector<std::uint8_t> reply = {0x12, 0x34, 0, 0, 0, 5, 0x01, 0x03, 0x02, 0x03, 0xE8};
    EXPECT_EQ(sim::TcpToRtu(reply.data(), reply.size()), WithCrc({0x01, 0x03, 0x02, 0x03, 0xE8}));
    EXPECT_EQ(sim::HoldingRegister(2, 5), 2005);
    EXPECT_EQ(sim::HoldingRegister(247, 9999), (247 * 1000 + 9999) & 0xFFFF);
}
