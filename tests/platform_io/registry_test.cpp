// Registry: values and keys through the Zw routines, size probing, persistence across restarts,
// and a damaged store refused at boot.
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "io_test_support.h"
#include "qv/registry.h"

using iotest::Name;

namespace {

const std::u16string kTestKey = u"\\Registry\\Machine\\SOFTWARE\\QuorvelTest";

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string &path, const std::string &data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
}

class RegistryTest : public qvtest::PlatformTest {
protected:
    HANDLE CreateKey(const std::u16string &path, HANDLE root = nullptr, ULONG *disposition = nullptr,
                     NTSTATUS expected = STATUS_SUCCESS)
    {
        Name name(path);
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
        HANDLE key = nullptr;
        EXPECT_EQ(ZwCreateKey(&key, KEY_ALL_ACCESS, &oa, 0, nullptr, REG_OPTION_NON_VOLATILE, disposition), expected);
        return key;
    }
    NTSTATUS OpenKey(const std::u16string &path, HANDLE root, HANDLE *key)
    {
        Name name(path);
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
        return ZwOpenKey(key, KEY_ALL_ACCESS, &oa);
    }
    NTSTATUS Set(HANDLE key, const std::u16string &value, ULONG type, const void *data, ULONG size)
    {
        Name name(value);
        return ZwSetValueKey(key, &name, 0, type, const_cast<void *>(data), size);
    }
    // The value's type and bytes, or the failing status.
    NTSTATUS Get(HANDLE key, const std::u16string &value, ULONG *type, std::string *data)
    {
        Name name(value);
        ULONG needed = 0;
        NTSTATUS status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, nullptr, 0, &needed);
        if (status != STATUS_BUFFER_TOO_SMALL) return status;
        std::vector<UCHAR> buffer(needed);
        status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer.data(), needed, &needed);
        if (!NT_SUCCESS(status)) return status;
        auto *info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer.data());
        *type = info->Type;
        data->assign(reinterpret_cast<const char *>(info->Data), info->DataLength);
        return status;
    }
    std::string StorePath() { return StateDirectory() + "/registry.dat"; }
};

TEST_F(RegistryTest, ValuesKeepTheirTypeAndExactBytesAndNamesIgnoreCase)
{
    auto bytes = [](const void *data, size_t size) { return std::string(static_cast<const char *>(data), size); };
    const char16_t unterminated[] = {u'C', u'O', u'M', u'3'};  // stored without its zero
    const UCHAR binary[] = {0x01, 0x00, 0xFF, 0x00, 0x7F};
    const ULONG dword = 0x12345678;
    const char16_t multi[] = u"a\0bc\0";
    const struct {
        std::u16string name, readAs;
        ULONG type;
        std::string data;
    } values[] = {
        {u"PortName", u"portname", REG_SZ, bytes(unterminated, sizeof unterminated)},
        {u"ETHERNET2", u"ethernet2", REG_BINARY, bytes(binary, sizeof binary)},
        {u"Count", u"COUNT", REG_DWORD, bytes(&dword, sizeof dword)},
        {u"List", u"List", REG_MULTI_SZ, bytes(multi, sizeof multi)},
        {u"Empty", u"Empty", REG_EXPAND_SZ, ""},
    };
    HANDLE key = CreateKey(kTestKey);
    for (const auto &v : values)
        ASSERT_EQ(Set(key, v.name, v.type, v.data.empty() ? nullptr : v.data.data(), ULONG(v.data.size())),
                  STATUS_SUCCESS);
    ZwClose(key);

    HANDLE again;
    ASSERT_EQ(OpenKey(u"\\REGISTRY\\machine\\software\\quorveltest", nullptr, &again), STATUS_SUCCESS);
    ULONG type;
    std::string data;
    for (const auto &v : values) {
        ASSERT_EQ(Get(again, v.readAs, &type, &data), STATUS_SUCCESS);
        EXPECT_EQ(type, v.type);
        EXPECT_EQ(data, v.data);
    }

    // Overwriting replaces type and data; deleting makes the value missing.
    ASSERT_EQ(Set(again, u"Count", REG_BINARY, binary, 2), STATUS_SUCCESS);
    ASSERT_EQ(Get(again, u"Count", &type, &data), STATUS_SUCCESS);
    EXPECT_EQ(type, (ULONG)REG_BINARY);
    EXPECT_EQ(data.size(), 2u);
    Name count(u"COUNT");
    EXPECT_EQ(ZwDeleteValueKey(again, &count), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteValueKey(again, &count), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Get(again, u"Count", &type, &data), STATUS_OBJECT_NAME_NOT_FOUND);
    ZwClose(again);
}

TEST_F(RegistryTest, RelativeNamesAndTheEmptyNameResolveAgainstTheRootKey)
{
    HANDLE root = CreateKey(kTestKey);
    ULONG disposition = 0;
    HANDLE sub = CreateKey(u"Sub", root, &disposition);
    EXPECT_EQ(disposition, (ULONG)REG_CREATED_NEW_KEY);
    ZwClose(sub);
    sub = CreateKey(u"SUB", root, &disposition);
    EXPECT_EQ(disposition, (ULONG)REG_OPENED_EXISTING_KEY);
    ZwClose(sub);

    // The empty relative name opens the root key itself.
    HANDLE self = CreateKey(u"", root, &disposition);
    EXPECT_EQ(disposition, (ULONG)REG_OPENED_EXISTING_KEY);
    ULONG one = 1;
    ASSERT_EQ(Set(self, u"Here", REG_DWORD, &one, sizeof one), STATUS_SUCCESS);
    ZwClose(self);
    ULONG type;
    std::string data;
    EXPECT_EQ(Get(root, u"Here", &type, &data), STATUS_SUCCESS);

    HANDLE missing = nullptr;
    EXPECT_EQ(OpenKey(u"Missing", root, &missing), STATUS_OBJECT_NAME_NOT_FOUND);
    // Only the last component is created.
    CreateKey(u"Missing\\Deeper", root, nullptr, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(OpenKey(u"\\Registry\\Machine\\NoSuchHive", nullptr, &missing), STATUS_OBJECT_NAME_NOT_FOUND);
    ZwClose(root);
}

TEST_F(RegistryTest, QueryValueKeyReportsTheSizeSoCallersCanProbe)
{
    HANDLE key = CreateKey(kTestKey);
    const UCHAR data[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    ASSERT_EQ(Set(key, u"Blob", REG_BINARY, data, sizeof data), STATUS_SUCCESS);
    Name blob(u"Blob");
    const ULONG header = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
    ULONG result = 0;
    EXPECT_EQ(ZwQueryValueKey(key, &blob, KeyValuePartialInformation, nullptr, 0, &result), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result, header + sizeof data);

    std::vector<UCHAR> buffer(64, 0xEE);
    auto *info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer.data());
    result = 0;
    EXPECT_EQ(ZwQueryValueKey(key, &blob, KeyValuePartialInformation, info, header - 1, &result),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result, header + sizeof data);
    // Room for the header only: the header is filled, the data is not.
    EXPECT_EQ(ZwQueryValueKey(key, &blob, KeyValuePartialInformation, info, header + 3, &result),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(result, header + sizeof data);
    EXPECT_EQ(info->Type, (ULONG)REG_BINARY);
    EXPECT_EQ(info->DataLength, sizeof data);
    EXPECT_EQ(ZwQueryValueKey(key, &blob, KeyValuePartialInformation, info, header + sizeof data, &result),
              STATUS_SUCCESS);
    EXPECT_EQ(memcmp(info->Data, data, sizeof data), 0);
    EXPECT_EQ(buffer[header + sizeof data], 0xEE);  // nothing written past the result

    Name missing(u"Missing");
    EXPECT_EQ(ZwQueryValueKey(key, &missing, KeyValuePartialInformation, nullptr, 0, &result),
              STATUS_OBJECT_NAME_NOT_FOUND);
    ZwClose(key);
}

TEST_F(RegistryTest, EnumerationWalksSubkeysAndValuesToTheEnd)
{
    HANDLE key = CreateKey(kTestKey);
    ZwClose(CreateKey(u"Beta", key));
    ZwClose(CreateKey(u"alpha", key));
    ULONG v = 7;
    Set(key, u"First", REG_DWORD, &v, sizeof v);
    Set(key, u"Second", REG_DWORD, &v, sizeof v);
    std::vector<std::u16string> keys;
    UCHAR buffer[256];
    ULONG result;
    for (ULONG i = 0;; ++i) {
        NTSTATUS status = ZwEnumerateKey(key, i, KeyBasicInformation, buffer, sizeof buffer, &result);
        if (status == STATUS_NO_MORE_ENTRIES) break;
        ASSERT_EQ(status, STATUS_SUCCESS);
        auto *info = reinterpret_cast<PKEY_BASIC_INFORMATION>(buffer);
        keys.emplace_back(info->Name, info->NameLength / sizeof(WCHAR));
    }
    EXPECT_EQ(keys, (std::vector<std::u16string>{u"alpha", u"Beta"}));
    std::vector<std::u16string> values;
    for (ULONG i = 0;; ++i) {
        NTSTATUS status = ZwEnumerateValueKey(key, i, KeyValueFullInformation, buffer, sizeof buffer, &result);
        if (status == STATUS_NO_MORE_ENTRIES) break;
        ASSERT_EQ(status, STATUS_SUCCESS);
        auto *info = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buffer);
        values.emplace_back(info->Name, info->NameLength / sizeof(WCHAR));
        EXPECT_EQ(*reinterpret_cast<ULONG *>(buffer + info->DataOffset), 7u);
    }
    EXPECT_EQ(values, (std::vector<std::u16string>{u"First", u"Second"}));
    ZwClose(key);
}

TEST_F(RegistryTest, ValuesSurviveARestartButTheDeviceMapStartsEmpty)
{
    HANDLE key = CreateKey(kTestKey);
    const UCHAR record[] = {0x0A, 0x00, 0x01, 0x01, 0xE8, 0x03};
    ASSERT_EQ(Set(key, u"ETHERNET2", REG_BINARY, record, sizeof record), STATUS_SUCCESS);
    ZwClose(key);
    const char16_t com[] = u"COM9";
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\QuorvelDevice0", REG_SZ,
                                    (PVOID)com, sizeof com),
              STATUS_SUCCESS);
    std::string text;
    ASSERT_TRUE(qv::RegistryReadString("\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM",
                                       "\\Device\\QuorvelDevice0", &text));
    EXPECT_EQ(text, "COM9");

    Reboot();

    ULONG type;
    std::vector<UCHAR> data;
    ASSERT_TRUE(qv::RegistryReadValue("\\Registry\\Machine\\SOFTWARE\\QuorvelTest", "ETHERNET2", &type, &data));
    EXPECT_EQ(type, (ULONG)REG_BINARY);
    EXPECT_EQ(data, std::vector<UCHAR>(record, record + sizeof record));
    EXPECT_TRUE(qv::RegistryKeyExists("\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM"));
    EXPECT_TRUE(qv::RegistryValueNames("\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM").empty());
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\QuorvelDevice0"),
              STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(RegistryTest, AChangeIsInTheStoreAsSoonAsTheCallReturns)
{
    HANDLE key = CreateKey(kTestKey);
    ULONG v = 42;
    ASSERT_EQ(Set(key, u"Delay", REG_DWORD, &v, sizeof v), STATUS_SUCCESS);
    ZwClose(key);
    // What a host killed right now would leave behind.
    std::string atKill = ReadFile(StorePath());
    EXPECT_FALSE(std::filesystem::exists(StorePath() + ".tmp"));
    qv::PlatformReport report = Shutdown();
    EXPECT_TRUE(report.Clean()) << report.Text();
    WriteFile(StorePath(), atKill);
    ASSERT_EQ(qv::PlatformBoot(Config()), STATUS_SUCCESS);
    ULONG type;
    std::vector<UCHAR> data;
    ASSERT_TRUE(qv::RegistryReadValue("\\Registry\\Machine\\SOFTWARE\\QuorvelTest", "Delay", &type, &data));
    ASSERT_EQ(data.size(), 4u);
    EXPECT_EQ(data[0], 42);
}

TEST_F(RegistryTest, ADamagedStoreIsReportedAtBootAndNeverReplaced)
{
    ASSERT_EQ(qv::RegistryWriteString("\\Registry\\Machine\\SOFTWARE\\QuorvelTest", "PortName", "COM5"),
              STATUS_SUCCESS);
    qv::PlatformReport report = Shutdown();
    EXPECT_TRUE(report.Clean()) << report.Text();
    std::string good = ReadFile(StorePath());
    ASSERT_GT(good.size(), 20u);

    std::string truncated = good.substr(0, good.size() - 7);
    WriteFile(StorePath(), truncated);
    EXPECT_FALSE(NT_SUCCESS(qv::PlatformBoot(Config())));
    EXPECT_FALSE(qv::PlatformIsBooted());
    std::string error = qv::RegistryStartupError();
    EXPECT_NE(error.find(StorePath()), std::string::npos) << error;
    EXPECT_NE(error.find("truncated"), std::string::npos) << error;
    EXPECT_EQ(ReadFile(StorePath()), truncated);

    // One changed byte in the middle is caught by the checksum.
    std::string flipped = good;
    flipped[good.size() / 2] ^= 0x01;
    WriteFile(StorePath(), flipped);
    EXPECT_FALSE(NT_SUCCESS(qv::PlatformBoot(Config())));
    EXPECT_NE(qv::RegistryStartupError().find("corrupt"), std::string::npos);
    EXPECT_EQ(ReadFile(StorePath()), flipped);

    WriteFile(StorePath(), good);
    ASSERT_EQ(qv::PlatformBoot(Config()), STATUS_SUCCESS);
    EXPECT_EQ(qv::RegistryStartupError(), "");
    std::string name;
    EXPECT_TRUE(qv::RegistryReadString("\\Registry\\Machine\\SOFTWARE\\QuorvelTest", "PortName", &name));
    EXPECT_EQ(name, "COM5");
}

TEST_F(RegistryTest, RtlWriteRegistryValueFailsOnceWhenInjected)
{
    const char16_t com[] = u"COM4";
    qv::InjectFault("RtlWriteRegistryValue", 1);
    EXPECT_FALSE(NT_SUCCESS(
        RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"Port", REG_SZ, (PVOID)com, sizeof com)));
    EXPECT_FALSE(
        qv::RegistryReadValue("\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM", "Port", nullptr, nullptr));
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"Port", REG_SZ, (PVOID)com, sizeof com),
              STATUS_SUCCESS);
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"Port"), STATUS_SUCCESS);
}

}  // namespace
