// The port settings model, the driver exchange and the enumeration classes, on a fake platform.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>

#include "Errors.h"
#include "FakePlatform.h"
#include "FieldNumber.h"
#include "PortSettings.h"
#include "SetupClasses.h"
#include "records.h"

using namespace quorvel;
using Bytes = std::vector<std::uint8_t>;

namespace {

const Bytes &kWorkedExample = qvtest::kWorkedRecord;

class ModelTest : public ::testing::Test {
protected:
    void SetUp() override { fake.classDescriptions[GuidToString(kPortsClassGuid)] = u"Порты (COM и LPT)"; }

    // Enumerates the Ports class and makes the port of device i.
    std::unique_ptr<TPortClass> PortOf(int i)
    {
        list.Refresh(&kPortsClassGuid);
        return std::make_unique<TPortClass>(list.ClassAt(0)->DeviceAt(i), fake);
    }

    FakePlatform fake;
    TClassesList list{fake};
};

}  // namespace

TEST_F(ModelTest, FourPortsGiveOneClassWithFourDevicesAndNoLeakedSets)
{
    for (int i = 1; i <= 4; ++i) fake.AddPort(u"Порт (COM" + Utf8ToUtf16(std::to_string(i)) + u")", u"acpi\\pnp0501");
    {
        TClassesList classes(fake);
        classes.Refresh(&kPortsClassGuid);
        ASSERT_EQ(classes.ClassCount(), 1);
        TClassInfo *ports = classes.ClassAt(0);
        EXPECT_EQ(ports->ClassGuid(), kPortsClassGuid);
        EXPECT_EQ(ports->Description(), std::string("Порты (COM и LPT)"));
        ASSERT_EQ(ports->DeviceCount(), 4);
        EXPECT_EQ(ports->DeviceAt(2)->DisplayName(), std::string("Порт (COM3)"));
        // The class is enumerated once, not once per device that names it.
        EXPECT_EQ(fake.CountCalls("GetClassDevs"), 2);
        classes.Refresh(&kPortsClassGuid);
        EXPECT_EQ(fake.openSets, 2);
    }
    EXPECT_EQ(fake.openSets, 0);

    TClassesList none(fake);
    fake.devices.clear();
    none.Refresh(&kPortsClassGuid);
    EXPECT_EQ(none.ClassCount(), 0);
}

TEST_F(ModelTest, DuplicateClassIsRefusedWithItsGuid)
{
    fake.AddPort(u"A (COM1)", u"x");
    list.Refresh(&kPortsClassGuid);
    DevData source;
    source.classGuid = kPortsClassGuid;
    try {
        list.AddClass(std::make_unique<TClassInfo>(&list, source));
        FAIL() << "duplicate accepted";
    } catch (const ConfiguratorError &e) {
        EXPECT_STREQ(e.what(), "Класс {4D36E978-E325-11CE-BFC1-08002BE10318} уже существует в списке классов!");
    }
    EXPECT_EQ(list.ClassCount(), 1);
    EXPECT_EQ(list.IndexOfClass(kNetClassGuid), -1);
}

TEST_F(ModelTest, DisplayNameHardwareIdAndPortName)
{
    fake.AddPort(u"Quorvel (COM12)", u"*QUORVELDEVICE");
    fake.AddPort(u"", u"");  // no friendly name, no hardware id
    fake.AddPort(u"USB Serial (COM3) #2", u"usb\\vid");
    list.Refresh(&kPortsClassGuid);
    TClassInfo *c = list.ClassAt(0);
    EXPECT_EQ(c->DeviceAt(1)->DisplayName(), std::string("Последовательный порт"));
    EXPECT_EQ(c->DeviceAt(1)->HardwareId(), std::string());
    EXPECT_EQ(c->DeviceAt(0)->HardwareId(), std::string("*QUORVELDEVICE"));

    TPortClass driverPort(c->DeviceAt(0), fake);
    EXPECT_TRUE(driverPort.IsDriverPort());  // letter case is ignored
    EXPECT_EQ(driverPort.portName(), std::string("COM12"));
    TPortClass plain(c->DeviceAt(1), fake);
    EXPECT_FALSE(plain.IsDriverPort());
    EXPECT_EQ(plain.portName(), std::string());
    EXPECT_EQ(TPortClass(c->DeviceAt(2), fake).portName(), std::string("COM3"));
    TPortClass detached(nullptr, fake);
    EXPECT_FALSE(detached.HasHardwareId(std::string("*QuorvelDevice")));
    EXPECT_TRUE(detached.HasHardwareId(std::string()));

    EXPECT_EQ(TPortClass::ExtractPortName(std::string("Port (COM5)")), std::string("COM5"));
    EXPECT_EQ(TPortClass::ExtractPortName(std::string("(COM1) and (COM2)")), std::string("COM1"));
    EXPECT_EQ(TPortClass::ExtractPortName(std::string("Port COM5")), std::string());
    EXPECT_EQ(TPortClass::ExtractPortName(std::string("Port (COM5")), std::string());
}

TEST_F(ModelTest, FilterListsReadWriteAndTextForms)
{
    auto &dev = fake.AddPort(u"Q (COM1)", u"*QuorvelDevice");
    dev.properties[SPDRP_UPPERFILTERS] = EncodeMultiSz({u"a", u"b"});
    fake.classValues[GuidToString(kPortsClassGuid) + "\\LowerFilters"] = EncodeMultiSz({u"serenum"});
    list.Refresh(&kPortsClassGuid);
    TClassInfo *c = list.ClassAt(0);
    TDeviceInfo *d = c->DeviceAt(0);
    EXPECT_EQ(d->FilterText(kUpperFilters), std::string("a; b"));
    EXPECT_EQ(d->FilterText(kLowerFilters), std::string());
    EXPECT_EQ(c->FilterText(kLowerFilters), std::string("serenum"));
    EXPECT_EQ(c->FilterText(kUpperFilters), std::string());

    // The last name removed: the device property is deleted, the class value becomes empty.
    EXPECT_EQ(d->WriteFilters(kUpperFilters, {}), 0u);
    EXPECT_EQ(fake.devices[0].properties.count(SPDRP_UPPERFILTERS), 0u);
    EXPECT_EQ(c->WriteFilters(kLowerFilters, {}), 0u);
    ASSERT_EQ(fake.classValues.count(GuidToString(kPortsClassGuid) + "\\LowerFilters"), 1u);
    EXPECT_TRUE(fake.classValues[GuidToString(kPortsClassGuid) + "\\LowerFilters"].empty());

    EXPECT_EQ(c->WriteFilters(kUpperFilters, {std::string("x"), std::string("yz")}), 0u);
    EXPECT_EQ(fake.classValues[GuidToString(kPortsClassGuid) + "\\UpperFilters"],
              (Bytes{'x', 0, 0, 0, 'y', 0, 'z', 0, 0, 0, 0, 0}));

    // A list whose registry form would not fit 32768 bytes is refused before anything is written.
    StringList tooLong;
    for (int i = 0; i < 2000; ++i)
        tooLong.push_back("filter" +
                          std::string(i < 10     ? "000"
                                      : i < 100  ? "00"
                                      : i < 1000 ? "0"
                                                 : "") +
                          std::to_string(i));
    int writes = fake.CountCalls("Set");
    EXPECT_EQ(d->WriteFilters(kLowerFilters, tooLong), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(c->WriteFilters(kLowerFilters, tooLong), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(fake.CountCalls("Set"), writes);
}

TEST_F(ModelTest, OversizedAndUnterminatedPropertiesReadSafely)
{
    auto &dev = fake.AddPort(u"Q (COM1)", u"*QuorvelDevice");
    dev.properties[SPDRP_UPPERFILTERS] = Bytes(32768, 'x');  // no terminator at all
    dev.properties[SPDRP_LOWERFILTERS] = Bytes(32770, 'y');  // longer than the read buffer
    list.Refresh(&kPortsClassGuid);
    TDeviceInfo *d = list.ClassAt(0)->DeviceAt(0);
    StringList upper = d->ReadFilters(kUpperFilters);
    ASSERT_EQ(upper.size(), 1u);
    EXPECT_EQ(Utf16(upper[0]).size(), 16384u);
    EXPECT_TRUE(d->ReadFilters(kLowerFilters).empty());
}

TEST_F(ModelTest, TextConversionsAndDisplayText)
{
    fake.hosts["plc.example"] = {10, 1, 2, 3};
    std::uint32_t ip = ResolveIpAddress(std::string("LOCALHOST"), fake);
    EXPECT_EQ(FormatIpAddress(ip), std::string("127.0.0.1"));
    ip = ResolveIpAddress(std::string("10.0.0.7"), fake);
    std::uint8_t bytes[4];
    std::memcpy(bytes, &ip, 4);
    EXPECT_EQ(Bytes(bytes, bytes + 4), (Bytes{0x0A, 0x00, 0x00, 0x07}));
    EXPECT_EQ(FormatIpAddress(ResolveIpAddress(std::string("plc.example"), fake)), std::string("10.1.2.3"));
    EXPECT_EQ(ResolveIpAddress(std::string("nowhere.invalid"), fake), kInaddrNone);
    int lookups = fake.CountCalls("ResolveHostV4");
    EXPECT_EQ(ResolveIpAddress(std::string(), fake), kInaddrNone);
    EXPECT_EQ(fake.CountCalls("ResolveHostV4"), lookups);  // empty text is not a name to look up

    CEthInfo eth(nullptr);
    auto *c = eth.AddConnection(std::make_unique<CModbusDevInfo>(&eth));
    c->SetIpText(std::string("192.168.0.10"), fake);
    c->port = 502;
    c->raw = false;
    EXPECT_EQ(c->DisplayText(), std::string("192.168.0.10 (502) - Modbus TCP"));
    c->raw = true;
    EXPECT_EQ(c->DisplayText(), std::string("192.168.0.10 (502)"));
    c->AddId(5);
    c->AddId(9);
    c->AddId(5);
    EXPECT_EQ(c->IndexOfId(9), 1);
    c->RemoveId(5);
    EXPECT_EQ(c->IdCount(), 2);
    EXPECT_EQ(c->IdAt(0), 9);
    EXPECT_EQ(c->IndexOfId(42), -1);
}

TEST_F(ModelTest, ModelRoundTripsThroughTheRecord)
{
    CEthInfo eth(nullptr);
    eth.delay = 1234;
    eth.rtsMask = kLineCts | kLineRing;
    eth.dtrMask = kLineDsr | kLineDcd;
    for (int i = 0; i < 3; ++i) {
        auto *c = eth.AddConnection(std::make_unique<CModbusDevInfo>(&eth));
        c->ip = 0x0100007F + std::uint32_t(i);
        c->port = static_cast<std::uint16_t>(500 + i);
        c->raw = i == 1;
        for (int id = 3; id > i; --id) c->AddId(static_cast<std::uint8_t>(id * 10));
    }
    std::uint32_t size = 0;
    EXPECT_FALSE(eth.Build(nullptr, size));
    Bytes b(size);
    ASSERT_TRUE(eth.Build(b.data(), size));

    CEthInfo back(nullptr);
    ASSERT_TRUE(back.Parse(b.data(), b.size()));
    EXPECT_EQ(back.delay, 1234);
    EXPECT_EQ(back.rtsMask, kLineCts | kLineRing);
    EXPECT_EQ(back.dtrMask, kLineDsr | kLineDcd);
    ASSERT_EQ(back.ConnectionCount(), 3);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(back.ConnectionAt(i)->ip, eth.ConnectionAt(i)->ip);
        EXPECT_EQ(back.ConnectionAt(i)->port, eth.ConnectionAt(i)->port);
        EXPECT_EQ(back.ConnectionAt(i)->raw, eth.ConnectionAt(i)->raw);
        ASSERT_EQ(back.ConnectionAt(i)->IdCount(), 3 - i);
        for (int k = 0; k < back.ConnectionAt(i)->IdCount(); ++k)
            EXPECT_EQ(back.ConnectionAt(i)->IdAt(k), eth.ConnectionAt(i)->IdAt(k));
        EXPECT_EQ(back.ConnectionAt(i)->owner(), &back);
    }
    // A refused record leaves the model as it was.
    Bytes bad = b;
    bad[4] = 0;
    EXPECT_FALSE(back.Parse(bad.data(), bad.size()));
    EXPECT_FALSE(back.Parse(b.data(), b.size() - 1));
    EXPECT_EQ(back.ConnectionCount(), 3);
    EXPECT_EQ(back.delay, 1234);
}

TEST_F(ModelTest, ReadAndWriteThroughTheDriver)
{
    fake.AddPort(u"Quorvel (COM5)", u"*QuorvelDevice");
    fake.ports[u"COM5"].hasRecord = true;
    fake.ports[u"COM5"].record = kWorkedExample;
    auto port = PortOf(0);
    ASSERT_EQ(port->ReadFromDriver(), 0u);
    EXPECT_FALSE(port->SettingsUnread());
    ASSERT_EQ(port->ethInfo().ConnectionCount(), 1);
    EXPECT_EQ(port->ethInfo().ConnectionAt(0)->DisplayText(), std::string("192.168.0.10 (502) - Modbus TCP"));

    port->ethInfo().ConnectionAt(0)->AddId(3);
    ASSERT_EQ(port->WriteToDriver(), 0u);
    Bytes expected = kWorkedExample;
    expected[0] = 24;
    expected[10] = 14;
    expected.push_back(3);
    EXPECT_EQ(fake.ports[u"COM5"].record, expected);
}

TEST_F(ModelTest, ReadFailuresAreKeptAndTellWhetherApplyMayOverwrite)
{
    fake.AddPort(u"Quorvel (COM5)", u"*QuorvelDevice");
    fake.ports[u"COM5"];  // present, never configured
    auto port = PortOf(0);
    EXPECT_EQ(port->ReadFromDriver(), ERROR_NO_SYSTEM_RESOURCES);
    EXPECT_FALSE(port->SettingsUnread());
    EXPECT_EQ(port->ethInfo().delay, 10000);
    EXPECT_EQ(port->ethInfo().ConnectionCount(), 0);

    fake.ports[u"COM5"].failure = ERROR_ACCESS_DENIED;  // an application holds the port
    EXPECT_EQ(port->ReadFromDriver(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(port->SettingsUnread());
    EXPECT_EQ(port->readError(), ERROR_ACCESS_DENIED);

    // A stored record the model refuses: the driver cannot use it either, so it may be replaced.
    fake.ports[u"COM5"].failure = 0;
    fake.ports[u"COM5"].hasRecord = true;
    fake.ports[u"COM5"].record = kWorkedExample;
    fake.ports[u"COM5"].record[10] = 5;
    EXPECT_EQ(port->ReadFromDriver(), ERROR_INVALID_DATA);
    EXPECT_FALSE(port->SettingsUnread());
    EXPECT_EQ(port->ethInfo().ConnectionCount(), 0);
}

TEST_F(ModelTest, PortWithoutNameNeverOpensAnything)
{
    fake.AddPort(u"Quorvel virtual port", u"*QuorvelDevice");
    auto port = PortOf(0);
    EXPECT_EQ(port->portName(), std::string());
    EXPECT_EQ(port->ReadFromDriver(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(port->WriteToDriver(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(fake.CountCalls("GET"), 0);
    EXPECT_EQ(fake.CountCalls("SET"), 0);
}

TEST_F(ModelTest, RecordsOverTheSaveableSizeAreNotSent)
{
    fake.AddPort(u"Quorvel (COM5)", u"*QuorvelDevice");
    fake.ports[u"COM5"];
    auto port = PortOf(0);
    CEthInfo &eth = port->ethInfo();
    // 2976 connections without ids make a 32746-byte record; one more makes 32757.
    for (int i = 0; i < 2976; ++i) eth.AddConnection(std::make_unique<CModbusDevInfo>(&eth))->raw = false;
    EXPECT_EQ(eth.RecordSize(), 32746u);
    EXPECT_EQ(port->WriteToDriver(), 0u);
    EXPECT_EQ(fake.ports[u"COM5"].record.size(), 32746u);
    eth.AddConnection(std::make_unique<CModbusDevInfo>(&eth));
    EXPECT_EQ(port->WriteToDriver(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(fake.CountCalls("SET"), 1);
    EXPECT_EQ(fake.ports[u"COM5"].record.size(), 32746u);
}

// The strings every view hands to the presenter: UTF-8 both ways across the UTF-16 platform, the
// number fields, and the letter case of names.
TEST(TextTest, ConversionsNumbersAndCaseAreExact)
{
    const std::string mixed = "Порт \xF0\x9F\x94\x8C COM5";  // Cyrillic, and a plug outside the BMP
    EXPECT_EQ(Utf16(mixed), u"Порт \U0001F50C COM5");
    EXPECT_EQ(Utf8(Utf16(mixed)), mixed);
    // Ill-formed input is marked, never dropped or passed through.
    EXPECT_EQ(Utf16(std::string("a\xC0\xAF") + "b"), u"a\uFFFDb");  // overlong '/'
    EXPECT_EQ(Utf16("\xED\xA0\x80"), u"\uFFFD");                    // an encoded surrogate
    EXPECT_EQ(Utf16("x\xE2\x82"), u"x\uFFFD");                      // cut short
    EXPECT_EQ(Utf8(std::u16string(1, char16_t(0xD800)) + u"z"), "\xEF\xBF\xBDz");

    long long n = 0;
    EXPECT_TRUE(ParseInteger(" \t-9223372036854775808\r\n", &n));
    EXPECT_EQ(n, std::numeric_limits<long long>::min());
    EXPECT_TRUE(ParseInteger("+9223372036854775807", &n));
    EXPECT_EQ(n, std::numeric_limits<long long>::max());
    for (const char *bad : {"9223372036854775808", "", " ", "+", "1 2", "0x10", "12a", "١٢"})
        EXPECT_FALSE(ParseInteger(bad, &n)) << bad;

    // The dialogs' fields: 1..max, refused rather than cut to the field's width.
    long long id = 0;
    EXPECT_TRUE(ParseFieldNumber(" +255 ", 255, &id));
    EXPECT_EQ(id, 255);
    for (const char *bad : {"0", "256", "-1", "65791", "99999999999999999999"})
        EXPECT_FALSE(ParseFieldNumber(bad, 255, &id)) << bad;

    EXPECT_TRUE(EqualNoCase("*QuorvelDevice", "*QUORVELDEVICE"));
    EXPECT_TRUE(EqualNoCase("Фильтр-Ёж", "фильтр-ёЖ"));
    EXPECT_FALSE(EqualNoCase("serenum", "serenum2"));
    EXPECT_FALSE(EqualNoCase("a", "b"));

    // Each argument once, and text that looks like a marker inside an argument stays as it is.
    EXPECT_EQ(Arg("от %1 до %2", {"1", "%2"}), "от 1 до %2");
    EXPECT_EQ(Arg("%3 %1", {"x"}), "%3 x");
    EXPECT_EQ(Join({"a", "b", "c"}, "; "), "a; b; c");
    EXPECT_EQ(Trim(" \t x y \n"), "x y");
}
