// Settings files and the filter-service rules: plain C++, real files in a temporary folder.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "common/filterservice.h"
#include "common/settingsfile.h"
#include "records.h"

using namespace quorvel;
using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

namespace {

const Bytes kGuidBytes = {0x4A, 0x88, 0x3B, 0xDE, 0x2D, 0x2E, 0xBA, 0x4B,
                          0xBD, 0x25, 0x27, 0x7C, 0x04, 0x92, 0x2D, 0x53};
const Bytes &kWorkedRecord = qvtest::kWorkedRecord;

Bytes FileOf(const Bytes &record, std::uint8_t minor = 1, std::uint8_t major = 1)
{
    Bytes b = kGuidBytes;
    b.push_back(minor);
    b.push_back(major);
    b.insert(b.end(), record.begin(), record.end());
    return b;
}

EthRecord Parsed(const Bytes &record)
{
    EthRecord r;
    EXPECT_EQ(ParseEthRecord(record.data(), record.size(), &r), EthParseError::None);
    return r;
}

class SettingsFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/qv-settings-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { fs::remove_all(dir); }

    static Bytes Read(const fs::path &p)
    {
        std::ifstream in(p, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }
    static void Write(const fs::path &p, const Bytes &b)
    {
        std::ofstream out(p, std::ios::binary);
        out.write(reinterpret_cast<const char *>(b.data()), static_cast<std::streamsize>(b.size()));
    }

    // Loads and expects a refusal that leaves the outputs untouched.
    SettingsFileStatus LoadRefused(const Bytes &file, std::uint16_t *version)
    {
        Write(dir / "in.qvor", file);
        Bytes bytes = {0xAA};
        EthRecord record;
        record.delay = 1234;
        std::string error;
        SettingsFileStatus s = LoadSettingsFile(dir / "in.qvor", &bytes, &record, version, &error);
        EXPECT_EQ(bytes, Bytes{0xAA});
        EXPECT_EQ(record.delay, 1234);
        return s;
    }

    fs::path dir;
};

}  // namespace

TEST_F(SettingsFileTest, SavedFilesAreTheHeaderAndTheRecordByteForByte)
{
    std::string error;
    ASSERT_EQ(SaveSettingsFile(dir / "empty.qvor", EthRecord{}, &error), SettingsFileStatus::Ok) << error;
    Bytes empty = Read(dir / "empty.qvor");
    EXPECT_EQ(empty.size(), 28u);
    EXPECT_EQ(empty, FileOf({0x0A, 0x00, 0x00, 0x00, 0x01, 0x01, 0x10, 0x27, 0x00, 0x00}));

    ASSERT_EQ(SaveSettingsFile(dir / "worked.qvor", Parsed(kWorkedRecord), &error), SettingsFileStatus::Ok);
    Bytes worked = Read(dir / "worked.qvor");
    EXPECT_EQ(worked.size(), 41u);
    EXPECT_EQ(worked, FileOf(kWorkedRecord));

    // And back: the record comes out exactly as it went in.
    Bytes bytes;
    EthRecord record;
    std::uint16_t version = 0;
    ASSERT_EQ(LoadSettingsFile(dir / "worked.qvor", &bytes, &record, &version, &error), SettingsFileStatus::Ok);
    EXPECT_EQ(bytes, kWorkedRecord);
    EXPECT_EQ(BuildEthRecord(record), kWorkedRecord);
    EXPECT_EQ(version, 0x0101);
    EXPECT_FALSE(fs::exists(dir / "worked.qvor.new"));
}

TEST_F(SettingsFileTest, WrongHeadersAndDamagedRecordsAreRefused)
{
    std::uint16_t version = 0;
    Bytes badGuid = FileOf(kWorkedRecord);
    badGuid[15] ^= 1;
    EXPECT_EQ(LoadRefused(badGuid, &version), SettingsFileStatus::BadFormat);
    EXPECT_EQ(SettingsFileMessage(SettingsFileStatus::BadFormat, 0), "Некорректный формат файла");
    EXPECT_EQ(LoadRefused(Bytes(kGuidBytes.begin(), kGuidBytes.begin() + 10), &version), SettingsFileStatus::BadFormat);

    EXPECT_EQ(LoadRefused(FileOf(kWorkedRecord, 0, 1), &version), SettingsFileStatus::BadVersion);
    EXPECT_EQ(SettingsFileMessage(SettingsFileStatus::BadVersion, version),
              "Версия файла 1.0 не поддерживается конфигуратором");
    EXPECT_EQ(LoadRefused(FileOf(kWorkedRecord, 3, 2), &version), SettingsFileStatus::BadVersion);
    EXPECT_EQ(SettingsFileMessage(SettingsFileStatus::BadVersion, version),
              "Версия файла 2.3 не поддерживается конфигуратором");

    // The header alone holds a record of length 0; a cut record fails its size check.
    EXPECT_EQ(LoadRefused(FileOf({}), &version), SettingsFileStatus::BadRecord);
    Bytes cut = FileOf(kWorkedRecord);
    cut.pop_back();
    EXPECT_EQ(LoadRefused(cut, &version), SettingsFileStatus::BadRecord);
    EXPECT_TRUE(SettingsFileMessage(SettingsFileStatus::BadRecord, 0).empty());
}

TEST_F(SettingsFileTest, SizeLimitsOfSavingAndLoading)
{
    // 2976 connections without ids make a record of 32746 bytes: the largest that fits.
    EthRecord big;
    big.entries.resize(2976);
    std::string error;
    ASSERT_EQ(SaveSettingsFile(dir / "big.qvor", big, &error), SettingsFileStatus::Ok);
    EXPECT_EQ(fs::file_size(dir / "big.qvor"), 18u + 32746u);
    Bytes bytes;
    EthRecord loaded;
    std::uint16_t version = 0;
    ASSERT_EQ(LoadSettingsFile(dir / "big.qvor", &bytes, &loaded, &version, &error), SettingsFileStatus::Ok);
    EXPECT_EQ(loaded.entries.size(), 2976u);

    big.entries.resize(2977);
    EXPECT_EQ(SaveSettingsFile(dir / "bigger.qvor", big, &error), SettingsFileStatus::RecordTooLarge);
    EXPECT_FALSE(fs::exists(dir / "bigger.qvor"));
    EXPECT_FALSE(fs::exists(dir / "bigger.qvor.new"));
    EXPECT_EQ(SettingsFileMessage(SettingsFileStatus::RecordTooLarge, 0), "Ошибка обработки буфера конфигурации порта");

    // A file over 32768 bytes is not a settings file, whatever its header says.
    Bytes huge = FileOf(kWorkedRecord);
    huge.resize(32769, 0);
    EXPECT_EQ(LoadRefused(huge, &version), SettingsFileStatus::BadFormat);
}

TEST_F(SettingsFileTest, AFailedSaveLeavesTheOldFileAsItWas)
{
    Bytes old = FileOf(kWorkedRecord);
    Write(dir / "keep.qvor", old);
    // The new file cannot be written whole (a file size limit, as a full disk).
    std::string error;
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto previous = signal(SIGXFSZ, SIG_IGN);
    rlimit small{10, saved.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    SettingsFileStatus status = SaveSettingsFile(dir / "keep.qvor", EthRecord{}, &error);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, previous);
    EXPECT_EQ(status, SettingsFileStatus::IoError);
    EXPECT_NE(error.find("keep.qvor."), std::string::npos) << error;
    EXPECT_EQ(Read(dir / "keep.qvor"), old);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);  // no temporary left

    // A FIFO in the target's place is refused, not replaced.
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    EXPECT_EQ(SaveSettingsFile(dir / "fifo", EthRecord{}, &error), SettingsFileStatus::IoError);
    EXPECT_TRUE(fs::is_fifo(dir / "fifo"));
    fs::remove(dir / "fifo");

    // Replacing works when the way is clear and keeps the file's mode; a missing folder is an
    // I/O error, not a crash.
    fs::permissions(dir / "keep.qvor", fs::perms(0640));
    ASSERT_EQ(SaveSettingsFile(dir / "keep.qvor", EthRecord{}, &error), SettingsFileStatus::Ok);
    EXPECT_EQ(fs::status(dir / "keep.qvor").permissions(), fs::perms(0640));
    EXPECT_EQ(Read(dir / "keep.qvor").size(), 28u);
    EXPECT_EQ(SaveSettingsFile(dir / "no" / "such.qvor", EthRecord{}, &error), SettingsFileStatus::IoError);
    Bytes bytes;
    EthRecord record;
    std::uint16_t version = 0;
    EXPECT_EQ(LoadSettingsFile(dir / "absent.qvor", &bytes, &record, &version, &error), SettingsFileStatus::IoError);
    EXPECT_NE(error.find("absent.qvor"), std::string::npos);
}

TEST(FilterServiceTest, NamesAndTargetOfAFilterFile)
{
    EXPECT_EQ(FilterFileName(u"C:\\src\\drv\\myfilt.sys"), u"myfilt.sys");
    EXPECT_EQ(FilterFileName(u"/home/u/myfilt.sys"), u"myfilt.sys");
    EXPECT_EQ(FilterFileName(u"myfilt.sys"), u"myfilt.sys");
    EXPECT_EQ(FilterServiceName(u"myfilt.sys"), u"myfilt");
    EXPECT_EQ(FilterServiceName(u"my.filt.sys"), u"my.filt");
    EXPECT_EQ(FilterServiceName(u"myfilt"), u"myfilt");
    EXPECT_EQ(FilterTargetPath(u"C:\\WINDOWS", u"myfilt.sys"), u"C:\\WINDOWS\\System32\\Drivers\\myfilt.sys");
}

TEST(FilterServiceTest, OnlyTheFiltersOwnServiceMayBeReused)
{
    const std::u16string windows = u"C:\\WINDOWS";
    const std::u16string target = u"C:\\WINDOWS\\System32\\Drivers\\myfilt.sys";
    ServiceConfig own{1, u"PNP Filter", target};
    EXPECT_TRUE(IsOwnFilterService(own, target, windows));
    // The forms in which the service database keeps an image path.
    for (const char16_t *image :
         {u"\\SystemRoot\\System32\\drivers\\MYFILT.SYS", u"System32\\Drivers\\myfilt.sys",
          u"\\??\\C:\\Windows\\System32\\Drivers\\myfilt.sys", u"c:/windows/system32/drivers/myfilt.sys"}) {
        ServiceConfig c{1, u"pnp filter", image};
        EXPECT_TRUE(IsOwnFilterService(c, target, windows)) << quorvel::SamePathText(image, target);
    }
    EXPECT_FALSE(IsOwnFilterService({16, u"PNP Filter", target}, target, windows));  // a Win32 program
    EXPECT_FALSE(IsOwnFilterService({1, u"Base", target}, target, windows));
    EXPECT_FALSE(
        IsOwnFilterService({1, u"PNP Filter", u"\\SystemRoot\\System32\\Drivers\\other.sys"}, target, windows));
    EXPECT_FALSE(IsOwnFilterService({1, u"PNP Filter", u"D:\\x\\myfilt.sys"}, target, windows));
}
