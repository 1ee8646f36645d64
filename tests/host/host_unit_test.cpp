// Pure parts of the host: write framing, terminal settings, quorvelctl's argument checks, the
// INF checks and quorvel-sim's RTU framing.
#include <gtest/gtest.h>

#include <termios.h>

#include <cstring>
#include <fstream>

#include "common/portoptions.h"
#include "ctlargs.h"
#include "framing.h"
#include "inf.h"
#include "lineconfig.h"
#include "modbusframe.h"
#include "monitorlog.h"
#include "platform_test.h"
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

namespace {

// Feeds an assembler and collects what it writes, as the bridge does: Take after every read
// and whenever the deadline passes.
struct Assembly {
    explicit Assembly(std::uint64_t silence = 4000) : a(silence) {}
    void Add(const std::vector<std::uint8_t> &bytes, std::uint64_t now)
    {
        a.Add(bytes.data(), bytes.size(), now);
        TakeAll(now);
    }
    void AddText(const std::string &text, std::uint64_t now)
    {
        Add(std::vector<std::uint8_t>(text.begin(), text.end()), now);
    }
    void TakeAll(std::uint64_t now)
    {
        std::vector<std::uint8_t> chunk;
        while (a.Take(now, &chunk)) chunks.push_back(chunk);
    }
    // Runs the clock on until nothing is held.
    void Settle(std::uint64_t now)
    {
        while (!a.Empty()) TakeAll(std::max(now, a.Deadline()));
    }
    WriteAssembler a;
    std::vector<std::vector<std::uint8_t>> chunks;
};

std::vector<std::uint8_t> Bytes(const std::string &text) { return {text.begin(), text.end()}; }

}  // namespace

TEST(WriteFraming, WholeRtuFrameGoesAtOnceAndPiecesWaitForTheSilence)
{
    Assembly w;
    w.Add(kReadRequest, 100);
    ASSERT_EQ(w.chunks.size(), 1u);
    EXPECT_EQ(w.chunks[0], kReadRequest);
    EXPECT_TRUE(w.a.Empty());

    // One byte at a time: nothing goes out until the CRC checks.
    for (size_t i = 0; i + 1 < kReadRequest.size(); ++i) w.Add({kReadRequest[i]}, 1000 + i);
    EXPECT_EQ(w.chunks.size(), 1u);
    w.Add({kReadRequest.back()}, 1010);
    ASSERT_EQ(w.chunks.size(), 2u);
    EXPECT_EQ(w.chunks[1], kReadRequest);

    // A piece that never completes goes out when the line has been quiet for the silence, and
    // a later piece after such a silence starts a new frame.
    w.Add({0x01, 0x03, 0x00}, 5000);
    EXPECT_EQ(w.a.Deadline(), 9000u);
    w.TakeAll(8999);
    EXPECT_EQ(w.chunks.size(), 2u);
    w.Add({0x00}, 9500);
    w.TakeAll(13500);
    ASSERT_EQ(w.chunks.size(), 4u);
    EXPECT_EQ(w.chunks[2].size(), 3u);
    EXPECT_EQ(w.chunks[3].size(), 1u);
    EXPECT_EQ(w.a.Deadline(), UINT64_MAX);

    // Device id 0x3A is ':'; the function code after it shows at once that this is RTU.
    std::vector<std::uint8_t> frame58 = WithCrc({0x3A, 0x03, 0x00, 0x00, 0x00, 0x01});
    w.Add(frame58, 20000);
    ASSERT_EQ(w.chunks.size(), 5u);
    EXPECT_EQ(w.chunks[4], frame58);
}

TEST(WriteFraming, AsciiFrameWaitsForCrLfOrOneSecond)
{
    Assembly w;
    std::string frame = ":010300000001FB\r\n";
    w.AddText(frame.substr(0, 10), 0);
    // Hexadecimal text without CR LF is no RTU frame: the RTU silence does not end it.
    w.TakeAll(50000);
    EXPECT_TRUE(w.chunks.empty());
    EXPECT_EQ(w.a.Deadline(), kAsciiFrameTimeoutMicros);
    w.AddText(frame.substr(10), 60000);
    ASSERT_EQ(w.chunks.size(), 1u);
    EXPECT_EQ(w.chunks[0], Bytes(frame));

    // Two frames in one read go as two writes; so do lower-case digits.
    std::string lower = ":01030000000af2\r\n";
    w.AddText(frame + lower, 70000);
    ASSERT_EQ(w.chunks.size(), 3u);
    EXPECT_EQ(w.chunks[1], Bytes(frame));
    EXPECT_EQ(w.chunks[2], Bytes(lower));

    // Unterminated: after one second.
    w.AddText(":0103", 100000);
    w.TakeAll(100000 + kAsciiFrameTimeoutMicros - 1);
    EXPECT_EQ(w.chunks.size(), 3u);
    w.TakeAll(100000 + kAsciiFrameTimeoutMicros);
    ASSERT_EQ(w.chunks.size(), 4u);
    EXPECT_EQ(w.chunks[3], Bytes(":0103"));
}

// An ASCII frame that was never finished (no CR LF, a CR alone, or CR LF after a wrong LRC) goes
// on its own; the frame written next, within the second, goes whole as its own write, whatever
// its first byte looks like as text, with or without a pause before it.
TEST(WriteFraming, UnfinishedAsciiFrameIsNeverJoinedToTheNextFrame)
{
    const std::vector<std::string> fragments = {":0103", ":0103\r", ":01030000000AF3\r\n", ":"};
    std::vector<std::vector<std::uint8_t>> nextFrames;
    for (std::uint8_t id : {0x01, 0x41, 0x0D, 0x0A, 0x3A, 0x66})
        nextFrames.push_back(WithCrc({id, 0x03, 0x00, 0x00, 0x00, 0x0A}));
    nextFrames.push_back(Bytes(":01030000000AF2\r\n"));
    for (const std::string &fragment : fragments) {
        for (const auto &next : nextFrames) {
            for (std::uint64_t pause : {0u, 5000u, 500000u}) {
                SCOPED_TRACE("after \"" + fragment + "\" and a pause of " + std::to_string(pause) +
                             " us: " + std::string(next.begin(), next.end()));
                Assembly w;
                std::vector<std::uint8_t> all = Bytes(fragment);
                all.insert(all.end(), next.begin(), next.end());
                if (pause == 0) {
                    w.Add(all, 1000);
                } else {
                    w.AddText(fragment, 1000);
                    w.Add(next, 1000 + pause);
                }
                w.Settle(1000 + pause);
                ASSERT_FALSE(w.chunks.empty());
                EXPECT_EQ(w.chunks.back(), next);
                std::vector<std::uint8_t> joined;
                for (const auto &c : w.chunks) joined.insert(joined.end(), c.begin(), c.end());
                EXPECT_EQ(joined, all) << "every byte goes to the port once, in order";
            }
        }
    }

    // The other way round: RTU bytes that never became a frame, then an ASCII frame at once.
    Assembly w;
    w.Add(std::vector<std::uint8_t>{0x01, 0x03, 0x00}, 0);
    w.AddText(":01030000000AF2\r\n", 100);
    ASSERT_EQ(w.chunks.size(), 2u);
    EXPECT_EQ(w.chunks[0].size(), 3u);
    EXPECT_EQ(w.chunks[1], Bytes(":01030000000AF2\r\n"));
}

// A program that writes without ever pausing: at most one frame's worth is held, the excess is
// dropped (and counted), complete frames still go out, and after a pause a request goes whole.
TEST(WriteFraming, WriterThatNeverPausesIsHeldToOneFrame)
{
    Assembly w;
    std::vector<std::uint8_t> junk(4096);
    for (size_t i = 0; i < junk.size(); ++i) junk[i] = std::uint8_t(i * 7 + 1);
    std::uint64_t now = 0;
    size_t most = 0;
    for (int i = 0; i < 400; ++i, now += 100) {  // 1.6 MB, 100 us apart: always under the silence
        w.Add(junk, now);
        most = std::max(most, w.a.Held());
    }
    EXPECT_LE(most, kMaxHeldFrame);
    EXPECT_TRUE(w.a.Discarding());
    std::uint64_t written = 0;
    for (const auto &c : w.chunks) written += c.size();
    EXPECT_EQ(written + w.a.Dropped() + w.a.Held(), 400u * junk.size());

    w.Add(kReadRequest, now + 5000);
    EXPECT_FALSE(w.a.Discarding());
    EXPECT_EQ(w.chunks.back(), kReadRequest);

    // ASCII frames back to back without a pause each go out as they complete.
    w.chunks.clear();
    std::string frame = ":010300000001FB\r\n";
    std::string burst;
    for (int i = 0; i < 8; ++i) burst += frame;
    for (int i = 0; i < 500; ++i, now += 100) {
        w.AddText(burst.substr(0, 50), now);
        w.AddText(burst.substr(50), now + 50);
        EXPECT_LT(w.a.Held(), frame.size());
    }
    ASSERT_EQ(w.chunks.size(), 4000u);
    for (const auto &c : w.chunks) ASSERT_EQ(c, Bytes(frame));
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

namespace {

// One event in the driver's read layout.
void PutEvent(std::vector<std::uint8_t> *out, std::uint32_t sequence, std::uint8_t kind, std::uint8_t mode,
              std::uint8_t reason, bool raw, std::uint16_t serverPort, const std::vector<std::uint8_t> &data,
              std::uint32_t length)
{
    std::vector<std::uint8_t> e(monitor::kEventSize, 0);
    std::memcpy(&e[0], &sequence, 4);
    e[4] = kind, e[5] = mode, e[6] = reason, e[7] = raw;
    std::uint64_t time = std::uint64_t(sequence) * 10000;  // 1 ms apart
    std::memcpy(&e[8], &time, 8);
    std::uint8_t ip[4] = {127, 0, 0, 1};
    std::memcpy(&e[16], ip, 4);
    std::memcpy(&e[20], &serverPort, 2);
    std::memcpy(&e[24], &length, 4);
    std::uint16_t stored = std::uint16_t(data.size());
    std::memcpy(&e[28], &stored, 2);
    std::copy(data.begin(), data.end(), e.begin() + 32);
    out->insert(out->end(), e.begin(), e.end());
}

}  // namespace

TEST(MonitorLines, DecodesEachFramingAndTheRoundTripAndRefusesAForeignLayout)
{
    std::string ascii = ":01030000000AF2\r\n";
    std::vector<std::uint8_t> buffer = {
        24, 0, std::uint8_t(monitor::kEventSize), std::uint8_t(monitor::kEventSize >> 8), 5, 0, 0, 0, 3, 0, 0, 0, 0, 0,
        0,  0};
    std::int64_t start = 116444736000000000LL + 10000000LL * 86400;  // 1970-01-02 00:00:00 UTC
    for (int i = 0; i < 8; i++) buffer.push_back(std::uint8_t(start >> (8 * i)));
    PutEvent(&buffer, 4, 1, 2, 0, false, 0, std::vector<std::uint8_t>(ascii.begin(), ascii.end()), 17);
    PutEvent(&buffer, 5, 2, 2, 0, false, 502, {0x00, 0x07, 0, 0, 0, 6, 1, 3, 0, 0, 0, 10}, 12);
    PutEvent(&buffer, 7, 4, 2, 0, false, 502, {0x00, 0x07, 0, 0, 0, 3, 1, 0x83, 2}, 9);
    PutEvent(&buffer, 8, 6, 0, 7, false, 502, {0x00, 0x08, 0, 0, 0, 3, 1, 0x83, 2}, 9);
    std::vector<std::uint8_t> longFrame(monitor::kDataSize, 0x11);
    PutEvent(&buffer, 9, 2, 1, 0, true, 4001, longFrame, 600);

    monitor::Batch batch;
    ASSERT_TRUE(monitor::DecodeBatch(buffer, &batch));
    EXPECT_EQ(batch.lost, 3u);
    ASSERT_EQ(batch.events.size(), 5u);
    monitor::Formatter f;
    EXPECT_EQ(f.Json(batch.events[0], start),
              "{\"seq\": 4, \"time\": \"1970-01-02T00:00:00.004000Z\", \"event\": \"written\", \"framing\": \"ascii\", "
              "\"unit\": 1, \"function\": 3, \"address\": 0, \"count\": 10, \"length\": 17, \"hex\": "
              "\"3A30313033303030303030304146320D0A\"}");
    std::string sent = f.Text(batch.events[1], start);
    EXPECT_NE(sent.find("sent     -> 127.0.0.1:502 tid 7 unit 1 fc 3 addr 0 count 10 |"), std::string::npos) << sent;
    // The exception reply answers transaction 7, 2 ms after it went out.
    std::string reply = f.Text(batch.events[2], start);
    EXPECT_NE(reply.find("received <- 127.0.0.1:502 tid 7 unit 1 fc 3 exception 2 rtt 2.000 ms |"), std::string::npos)
        << reply;
    std::string dropped = f.Json(batch.events[3], start);
    EXPECT_NE(dropped.find("\"reason\": \"bad-length\", \"framing\": \"mbap\""), std::string::npos) << dropped;
    std::string raw = f.Text(batch.events[4], start);
    EXPECT_NE(raw.find("-> 127.0.0.1:4001 raw unit 17 fc 17"), std::string::npos) << raw;
    EXPECT_NE(raw.find("11 11 ... (600 bytes)"), std::string::npos) << raw;

    // Sizes that do not fit the layout are not read as events.
    for (std::size_t cut : {std::size_t(1), monitor::kEventSize, buffer.size() - 23}) {
        std::vector<std::uint8_t> shorter(buffer.begin(), buffer.end() - std::ptrdiff_t(cut));
        EXPECT_FALSE(monitor::DecodeBatch(shorter, &batch)) << cut;
    }
    std::vector<std::uint8_t> badKind = buffer;
    badKind[24 + 4] = 9;
    EXPECT_FALSE(monitor::DecodeBatch(badKind, &batch));
}
