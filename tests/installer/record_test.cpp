// The Ethernet settings record, REG_MULTI_SZ lists and the host's message table: plain C++.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <set>
#include <string>

#include "common/ethrecord.h"
#include "common/multisz.h"
#include "common/sysmsg.h"
#include "records.h"

using namespace quorvel;
using Bytes = std::vector<std::uint8_t>;

namespace {

const Bytes &kWorkedExample = qvtest::kWorkedRecord;

std::uint32_t Ip(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d)
{
    std::uint8_t bytes[4] = {a, b, c, d};
    std::uint32_t ip;
    std::memcpy(&ip, bytes, 4);
    return ip;
}

EthRecord WorkedRecord()
{
    EthRecord r;
    r.delay = 10000;
    r.rtsMask = kLineCts;
    EthEntry e;
    e.ip = Ip(192, 168, 0, 10);
    e.port = 502;
    e.raw = false;
    e.ids = {1, 2};
    r.entries.push_back(e);
    return r;
}

}  // namespace

TEST(EthRecordTest, WorkedExampleBuildsAndParsesByteForByte)
{
    EXPECT_EQ(BuildEthRecord(WorkedRecord()), kWorkedExample);

    EthRecord parsed;
    ASSERT_EQ(ParseEthRecord(kWorkedExample.data(), kWorkedExample.size(), &parsed), EthParseError::None);
    EXPECT_EQ(parsed.delay, 10000);
    EXPECT_EQ(parsed.rtsMask, kLineCts);
    EXPECT_EQ(parsed.dtrMask, 0);
    ASSERT_EQ(parsed.entries.size(), 1u);
    EXPECT_EQ(parsed.entries[0].ip, Ip(192, 168, 0, 10));
    EXPECT_EQ(parsed.entries[0].port, 502);
    EXPECT_FALSE(parsed.entries[0].raw);
    EXPECT_EQ(parsed.entries[0].ids, (std::vector<std::uint8_t>{1, 2}));
    EXPECT_EQ(BuildEthRecord(parsed), kWorkedExample);
}

TEST(EthRecordTest, EmptyModelAndEntriesWithoutIds)
{
    EXPECT_EQ(BuildEthRecord(EthRecord{}), (Bytes{0x0A, 0, 0, 0, 0x01, 0x01, 0x10, 0x27, 0, 0}));

    EthRecord r;
    r.delay = 0;
    r.entries.resize(2);
    r.entries[0].port = 1;
    r.entries[1].port = 65535;
    r.entries[1].ids = {255, 0, 255};
    Bytes b = BuildEthRecord(r);
    ASSERT_EQ(b.size(), 10u + 11 + 14);
    EthRecord back;
    ASSERT_EQ(ParseEthRecord(b.data(), b.size(), &back), EthParseError::None);
    ASSERT_EQ(back.entries.size(), 2u);
    EXPECT_TRUE(back.entries[0].ids.empty());
    EXPECT_TRUE(back.entries[0].raw);
    EXPECT_EQ(back.entries[1].ids, (std::vector<std::uint8_t>{255, 0, 255}));
    EXPECT_EQ(back.delay, 0);
}

TEST(EthRecordTest, TwoPassBuildWritesNothingWhenShort)
{
    EthRecord r = WorkedRecord();
    std::uint32_t capacity = 0;
    EXPECT_FALSE(BuildEthRecord(r, nullptr, capacity));
    EXPECT_EQ(capacity, 23u);

    Bytes buffer(23, 0xCC);
    capacity = 22;
    EXPECT_FALSE(BuildEthRecord(r, buffer.data(), capacity));
    EXPECT_EQ(capacity, 23u);
    EXPECT_EQ(buffer, Bytes(23, 0xCC));

    capacity = 23;
    EXPECT_TRUE(BuildEthRecord(r, buffer.data(), capacity));
    EXPECT_EQ(buffer, kWorkedExample);

    std::uint32_t entryCapacity = 12;
    Bytes entry(13, 0xCC);
    EXPECT_FALSE(BuildEthEntry(r.entries[0], entry.data(), entryCapacity));
    EXPECT_EQ(entryCapacity, 13u);
    EXPECT_EQ(entry, Bytes(13, 0xCC));
}

TEST(EthRecordTest, MasksKeepOnlyTheFourLinesAndRawIsWrittenAsOne)
{
    Bytes b = kWorkedExample;
    b[8] = 0xF5;  // rts: upper bits set
    b[9] = 0xA2;
    b[20] = 2;  // raw byte 2 acts as raw
    EthRecord r;
    ASSERT_EQ(ParseEthRecord(b.data(), b.size(), &r), EthParseError::None);
    EXPECT_TRUE(r.entries[0].raw);
    Bytes again = BuildEthRecord(r);
    EXPECT_EQ(again[8], 0x05);
    EXPECT_EQ(again[9], 0x02);
    EXPECT_EQ(again[20], 1);
}

TEST(EthRecordTest, MalformedRecordsAreRefusedAndLeaveTheTargetAlone)
{
    struct Case {
        const char *what;
        Bytes bytes;
        EthParseError error;
    };
    auto withEntrySize = [](std::uint32_t size) {
        Bytes b = kWorkedExample;
        std::memcpy(b.data() + 10, &size, 4);
        return b;
    };
    Bytes trailing = BuildEthRecord(EthRecord{});
    trailing.insert(trailing.end(), {0x03, 0, 0});
    trailing[0] = 13;
    Bytes oldVersion = kWorkedExample;
    oldVersion[4] = 0x00;
    Case cases[] = {
        {"9 bytes", Bytes(kWorkedExample.begin(), kWorkedExample.begin() + 9), EthParseError::TooShort},
        {"size field differs", Bytes(kWorkedExample.begin(), kWorkedExample.end() - 1), EthParseError::SizeMismatch},
        {"version 0x0100", oldVersion, EthParseError::BadVersion},
        {"entry size 0", withEntrySize(0), EthParseError::BadEntry},
        {"entry size 5", withEntrySize(5), EthParseError::BadEntry},
        {"entry size 10", withEntrySize(10), EthParseError::BadEntry},
        {"entry past the end", withEntrySize(14), EthParseError::BadEntry},
        {"huge entry size", withEntrySize(0xFFFFFFF0u), EthParseError::BadEntry},
        {"3 bytes after the header", trailing, EthParseError::BadEntry},
    };
    for (const Case &c : cases) {
        EthRecord target = WorkedRecord();
        target.delay = 777;
        EXPECT_EQ(ParseEthRecord(c.bytes.data(), c.bytes.size(), &target), c.error) << c.what;
        EXPECT_EQ(target.delay, 777) << c.what;
        EXPECT_EQ(target.entries.size(), 1u) << c.what;
    }
    EthRecord target;
    EXPECT_EQ(ParseEthRecord(nullptr, 0, &target), EthParseError::TooShort);
}

TEST(EthRecordTest, SecondEntryAfterAValidFirstIsChecked)
{
    EthRecord r = WorkedRecord();
    r.entries.push_back(r.entries[0]);
    Bytes b = BuildEthRecord(r);
    ASSERT_EQ(b.size(), 36u);
    EthRecord back;
    ASSERT_EQ(ParseEthRecord(b.data(), b.size(), &back), EthParseError::None);
    EXPECT_EQ(back.entries.size(), 2u);
    b[23] = 14;  // second entry's size now runs one byte past the record
    EXPECT_EQ(ParseEthRecord(b.data(), b.size(), &back), EthParseError::BadEntry);
}

TEST(MultiSzTest, EncodesAndDecodesBounded)
{
    Bytes b = EncodeMultiSz({u"a", u"bc"});
    EXPECT_EQ(b, (Bytes{'a', 0, 0, 0, 'b', 0, 'c', 0, 0, 0, 0, 0}));
    EXPECT_TRUE(EncodeMultiSz({}).empty());
    EXPECT_EQ(DecodeMultiSz(b.data(), b.size()), (std::vector<std::u16string>{u"a", u"bc"}));
    // Names after the first empty string are not part of the list.
    Bytes stop = {'a', 0, 0, 0, 0, 0, 'z', 0, 0, 0};
    EXPECT_EQ(DecodeMultiSz(stop.data(), stop.size()), (std::vector<std::u16string>{u"a"}));
    // A value without any terminator ends at its length, never past it.
    Bytes unterminated(32768, 'x');
    auto names = DecodeMultiSz(unterminated.data(), unterminated.size());
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0].size(), 16384u);
    Bytes odd = {'q', 0, 'r'};
    EXPECT_EQ(DecodeFirstString(odd.data(), odd.size()), u"q");
    EXPECT_TRUE(DecodeMultiSz(nullptr, 10).empty());
}

TEST(MultiSzTest, Utf8RoundTripKeepsCyrillicAndAstral)
{
    std::string text = "Порт COM3 \xF0\x9F\x94\x8C";
    std::u16string wide = Utf8ToUtf16(text);
    EXPECT_EQ(wide.substr(0, 4), u"Порт");
    EXPECT_EQ(Utf16ToUtf8(wide), text);
    EXPECT_EQ(Utf8ToUtf16("\xC3"), u"\uFFFD");  // truncated sequence
}

TEST(SystemMessageTest, KnownCodesCarryTheirCodeUnknownOnesTheHexForm)
{
    EXPECT_EQ(HostSystemMessage(5), "Отказано в доступе. (код 5)");
    EXPECT_EQ(HostSystemMessage(0xE000020B), "Экземпляр устройства не существует. (код 3758096907)");
    EXPECT_EQ(HostSystemMessage(4242), "Ошибка 4242 (0x00001092)");
    EXPECT_EQ(HostSystemMessage(0xDEADBEEF), "Ошибка 3735928559 (0xDEADBEEF)");
    EXPECT_EQ(HostSystemMessageText(4242), nullptr);
}

TEST(SystemMessageTest, TableMatchesTheProtocolDocument)
{
    std::ifstream doc(QUORVEL_SOURCE_DIR "/docs/control-protocol.md");
    ASSERT_TRUE(doc.good());
    std::string line;
    std::set<Win32Error> documented;
    bool inTable = false;
    while (std::getline(doc, line)) {
        if (line.rfind("| Code | Name | Text |", 0) == 0) {
            inTable = true;
            continue;
        }
        if (!inTable || line.rfind("|---", 0) == 0) continue;
        if (line.rfind("| ", 0) != 0) break;
        // | code | name | text |
        std::size_t a = line.find('|', 1), b = line.find('|', a + 1), c = line.find('|', b + 1);
        ASSERT_NE(c, std::string::npos) << line;
        Win32Error code = static_cast<Win32Error>(std::stoul(line.substr(2, a - 3), nullptr, 0));
        std::string text = line.substr(b + 2, c - b - 3);
        const char *ours = HostSystemMessageText(code);
        ASSERT_NE(ours, nullptr) << "code " << code << " documented but not in the table";
        EXPECT_EQ(text, ours) << "code " << code;
        documented.insert(code);
    }
    for (Win32Error code : HostSystemMessageCodes())
        EXPECT_TRUE(documented.count(code)) << "code " << code << " undocumented";
}
