// The settings record through the I/O manager: the two Ethernet control requests sent as real
// IRPs to a port of the driver, its ETHERNET2 value in the port's driver key, and the registry
// routines underneath.

#include "cm/cm.h"
#include "io/devnode.h"
#include "io/iomgr.h"
#include "port_fixture.h"
#include "qv/io.h"
#include "qv/registry.h"

using namespace gwtest;

namespace {

struct Answer {
    NTSTATUS status;
    ULONG_PTR information;
    Bytes output;
};

class EthernetSettings : public qvtest::DriverTest {
protected:
    void SetUp() override
    {
        qvtest::DriverTest::SetUp();
        node = std::make_unique<qvtest::DriverPort>();
        Attach();
    }
    void TearDown() override
    {
        node.reset();
        qvtest::DriverTest::TearDown();
    }

    // The port's objects, again after a restart of the platform has started its node anew.
    void Attach()
    {
        pdo = qv::PnpPhysicalDevice(node->InstanceId());
        device = node->Device();
        ext = node->Extension();
        ASSERT_NE(ext, nullptr);
    }

    // One DeviceIoControl as the configurator sends it: input or output, METHOD_BUFFERED.
    Answer Control(ULONG code, const Bytes &input, ULONG outputLength)
    {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb = {};
        Bytes in = input;
        Answer answer{};
        answer.output.assign(outputLength, 0xCC);
        PIRP irp = IoBuildDeviceIoControlRequest(code, device, in.empty() ? NULL : in.data(), ULONG(in.size()),
                                                 outputLength ? answer.output.data() : NULL, outputLength, FALSE,
                                                 &event, &iosb);
        EXPECT_NE(irp, nullptr);
        if (!irp) return answer;
        NTSTATUS status = IoCallDriver(device, irp);
        if (status == STATUS_PENDING) {
            LARGE_INTEGER bound = qvtest::Due(qvtest::RelativeMs(10000));
            EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &bound), STATUS_SUCCESS);
            status = iosb.Status;
        }
        EXPECT_EQ(status, iosb.Status);
        answer.status = iosb.Status;
        answer.information = iosb.Information;
        return answer;
    }

    Answer Set(const Bytes &record) { return Control(IOCTL_SERIAL_SET_ETHERNET, record, 0); }
    Answer Get(ULONG outputLength = 32768) { return Control(IOCTL_SERIAL_GET_ETHERNET, {}, outputLength); }

    std::string DriverKeyPath() { return qv::Utf8(qv::IoGetDeviceNode(pdo)->DriverKeyPath); }

    std::unique_ptr<qvtest::DriverPort> node;
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT device = nullptr;
    PDEVICE_EXTENSION ext = nullptr;
};

const Bytes kWorked = MakeRecord(10000, 0x01, 0x00, {{{192, 168, 0, 10}, 502, 0, {1, 2}}});

TEST_F(EthernetSettings, StoredRecordComesBackByteForByte)
{
    qv::ClearDbgPrint();
    Answer set = Set(kWorked);
    EXPECT_EQ(set.status, STATUS_SUCCESS);
    EXPECT_EQ(set.information, 0u);

    Answer get = Get();
    ASSERT_EQ(get.status, STATUS_SUCCESS);
    ASSERT_EQ(get.information, 23u);
    EXPECT_EQ(Bytes(get.output.begin(), get.output.begin() + 23), kWorked);

    std::vector<std::string> expected = {"SetEthernetSettings",       "IOCTL_SERIAL_GET_ETHERNET",
                                         "GetEthernetSettings start", "DataSize = 23",
                                         "GetEthernetSettings end",   "GetEthernetSettings - SUCCESS"};
    EXPECT_EQ(qv::DbgPrintLines(), expected);

    // Kept as REG_BINARY ETHERNET2 in the port's driver key.
    ULONG type = 0;
    std::vector<UCHAR> data;
    ASSERT_TRUE(qv::RegistryReadValue(DriverKeyPath(), "ETHERNET2", &type, &data));
    EXPECT_EQ(type, ULONG(REG_BINARY));
    EXPECT_EQ(data, kWorked);

    // The entries are not examined when storing, and raw = 2 is kept as it is.
    Bytes odd = MakeRecord(0, 0, 0, {{{10, 0, 0, 1}, 1, 2, {}}});
    odd[10] = 0;
    EXPECT_EQ(Set(odd).status, STATUS_SUCCESS);
    Answer back = Get();
    EXPECT_EQ(Bytes(back.output.begin(), back.output.begin() + back.information), odd);
}

TEST_F(EthernetSettings, RefusedSetsKeepThePreviousRecord)
{
    ASSERT_EQ(Set(kWorked).status, STATUS_SUCCESS);

    Bytes longer = kWorked;
    longer.push_back(0);
    EXPECT_EQ(Set(longer).status, STATUS_INVALID_PARAMETER) << "length differs from size";
    EXPECT_EQ(Set(Bytes(kWorked.begin(), kWorked.end() - 1)).status, STATUS_INVALID_PARAMETER);

    EXPECT_EQ(Set(MakeRecord(5, 0, 0, {}, 0x0100)).status, STATUS_DEVICE_CONFIGURATION_ERROR);

    // Shorter than the header: refused without reading a size that is not there.
    for (size_t n : {0u, 3u, 4u, 9u}) {
        Bytes stub(kWorked.begin(), kWorked.begin() + n);
        if (n >= 4) stub[0] = UCHAR(n);
        EXPECT_EQ(Set(stub).status, STATUS_INVALID_PARAMETER) << n;
    }

    Answer get = Get();
    ASSERT_EQ(get.status, STATUS_SUCCESS);
    EXPECT_EQ(Bytes(get.output.begin(), get.output.begin() + get.information), kWorked);
}

TEST_F(EthernetSettings, GetAnswersForShortBuffersMissingAndBadRecords)
{
    // Never given settings.
    Answer none = Get();
    EXPECT_EQ(none.status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(none.information, 0u);

    ASSERT_EQ(Set(kWorked).status, STATUS_SUCCESS);
    Answer small = Get(4);
    EXPECT_EQ(small.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(small.information, 23u);
    EXPECT_EQ(Get(0).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Get(23).status, STATUS_SUCCESS);

    // Values that did not come through the set request.
    std::string key = DriverKeyPath();
    Bytes wrongVersion = MakeRecord(0, 0, 0, {}, 0x0100);
    ASSERT_EQ(qv::RegistryWriteValue(key, "ETHERNET2", REG_BINARY, wrongVersion), STATUS_SUCCESS);
    EXPECT_EQ(Get().status, STATUS_DEVICE_CONFIGURATION_ERROR);

    Bytes sizeDisagrees = kWorked;
    sizeDisagrees[0] = 24;
    ASSERT_EQ(qv::RegistryWriteValue(key, "ETHERNET2", REG_BINARY, sizeDisagrees), STATUS_SUCCESS);
    EXPECT_EQ(Get().status, STATUS_INSUFFICIENT_RESOURCES);

    // Shorter than a header, with a size field that agrees: still no record.
    ASSERT_EQ(qv::RegistryWriteValue(key, "ETHERNET2", REG_BINARY, {4, 0, 0, 0}), STATUS_SUCCESS);
    EXPECT_EQ(Get().status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(GetEthernetSettings(ext), nullptr);
    ASSERT_EQ(qv::RegistryWriteValue(key, "ETHERNET2", REG_BINARY, {1}), STATUS_SUCCESS);
    EXPECT_EQ(GetEthernetSettings(ext), nullptr);
}

TEST_F(EthernetSettings, RecordSurvivesAPlatformRestart)
{
    ASSERT_EQ(Set(kWorked).status, STATUS_SUCCESS);
    Reboot();
    ASSERT_EQ(qv::PnpStartNode(node->InstanceId()), STATUS_SUCCESS);
    Attach();

    PUCHAR record = GetEthernetSettings(ext);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(Bytes(record, record + 23), kWorked);

    // What the first open then builds from it.
    EXPECT_EQ(MakeEthernetLists(ext, record), STATUS_SUCCESS);
    ExFreePool(record);
    EXPECT_EQ(ext->EthInfo.delay, 10000);
    EXPECT_NE(FindConnectionByDeviceID(ext, 2), nullptr);
    FreeEthernetLists(ext);
}

TEST_F(EthernetSettings, RegistryRoutinesReadBackWhatTheyWrite)
{
    qv::ExpectedVerifierFindings expected;  // on purpose: a missing argument trips the routine's assertion
    HANDLE key = NULL;
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);

    // A string stored without its terminator comes back terminated; the length is the stored one.
    const WCHAR name[] = {'C', 'O', 'M', '7'};
    ASSERT_EQ(RegistryWriteValue(key, NULL, WIDE("PortName"), REG_SZ, (PVOID)name, sizeof(name)), STATUS_SUCCESS);
    ULONG length = 99;
    PWCHAR text = (PWCHAR)RegistryReadValue(key, NULL, WIDE("PortName"), &length);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(length, sizeof(name));
    EXPECT_EQ(text[4], 0);
    EXPECT_EQ(std::u16string(text), u"COM7");
    ExFreePool(text);

    // A binary value comes back with exactly its length, whatever its bytes.
    Bytes blob = {0, 1, 2, 0, 0};
    ASSERT_EQ(RegistryWriteValue(key, NULL, WIDE("Blob"), REG_BINARY, blob.data(), ULONG(blob.size())), STATUS_SUCCESS);
    PUCHAR data = (PUCHAR)RegistryReadValue(key, NULL, WIDE("Blob"), &length);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(Bytes(data, data + length), blob);
    ExFreePool(data);

    // Missing values and subkeys: nothing, with length 0.
    length = 99;
    EXPECT_EQ(RegistryReadValue(key, NULL, WIDE("Missing"), &length), nullptr);
    EXPECT_EQ(length, 0u);
    length = 99;
    EXPECT_EQ(RegistryReadValue(key, WIDE("NoSuchKey"), WIDE("Blob"), &length), nullptr);
    EXPECT_EQ(length, 0u);

    // A named subkey is created by the write and opened by the read; without one the value
    // lands in the given key itself.
    ASSERT_EQ(RegistryWriteValue(key, WIDE("Sub"), WIDE("Blob"), REG_BINARY, blob.data(), 2), STATUS_SUCCESS);
    data = (PUCHAR)RegistryReadValue(key, WIDE("Sub"), WIDE("Blob"), &length);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(length, 2u);
    ExFreePool(data);
    std::vector<std::string> values = qv::RegistryValueNames(DriverKeyPath());
    EXPECT_TRUE(Contains(values, "Blob"));
    EXPECT_TRUE(Contains(values, "PortName"));

    EXPECT_EQ(RegistryWriteValue(key, NULL, WIDE("Blob"), REG_BINARY, NULL, 0), STATUS_INVALID_PARAMETER);
    ExpectFinding("Buffer != NULL");
    ZwClose(key);
}

}  // namespace

namespace {

Bytes Options(ULONG responseMs, ULONG flags = 0, USHORT version = QUORVEL_OPTIONS_VERSION,
              USHORT size = sizeof(QUORVEL_OPTIONS))
{
    Bytes out;
    PutLe(out, size, 2);
    PutLe(out, version, 2);
    PutLe(out, flags, 4);
    PutLe(out, responseMs, 4);
    return out;
}

// The options live in their own value beside the record, which they never change; damaged or
// refused options leave the stored ones, and a port without any reads the defaults.
TEST_F(EthernetSettings, OptionsAreStoredBesideTheRecordAndReadAtOpen)
{
    Answer none = Control(IOCTL_QUORVEL_GET_OPTIONS, {}, 64);
    ASSERT_EQ(none.status, STATUS_SUCCESS);
    ASSERT_EQ(none.information, sizeof(QUORVEL_OPTIONS));
    EXPECT_EQ(Bytes(none.output.begin(), none.output.begin() + 12), Options(0));

    ASSERT_EQ(Set(kWorked).status, STATUS_SUCCESS);
    ASSERT_EQ(Control(IOCTL_QUORVEL_SET_OPTIONS, Options(250), 0).status, STATUS_SUCCESS);
    Bytes cut = Options(9);
    cut.pop_back();
    const Bytes refused[] = {Options(9, 0x80000000), Options(9, 0, 2), Options(9, 0, 1, 16), cut};
    for (const Bytes &bad : refused) {
        EXPECT_EQ(Control(IOCTL_QUORVEL_SET_OPTIONS, bad, 0).status, STATUS_INVALID_PARAMETER) << Hex(bad);
    }
    EXPECT_EQ(Control(IOCTL_QUORVEL_GET_OPTIONS, {}, 11).status, STATUS_BUFFER_TOO_SMALL);
    Answer get = Control(IOCTL_QUORVEL_GET_OPTIONS, {}, 12);
    ASSERT_EQ(get.status, STATUS_SUCCESS);
    EXPECT_EQ(get.output, Options(250));

    ULONG type = 0;
    std::vector<UCHAR> data;
    ASSERT_TRUE(qv::RegistryReadValue(DriverKeyPath(), "OPTIONS", &type, &data));
    EXPECT_EQ(type, ULONG(REG_BINARY));
    EXPECT_EQ(data, Options(250));
    ASSERT_TRUE(qv::RegistryReadValue(DriverKeyPath(), "ETHERNET2", &type, &data));
    EXPECT_EQ(data, kWorked);

    LoadPortOptions(ext);
    EXPECT_EQ(ext->ResponseMs, 250u);

    // A damaged stored value reads as the defaults.
    ASSERT_EQ(qv::RegistryWriteValue(DriverKeyPath(), "OPTIONS", REG_BINARY, {1, 2, 3}), STATUS_SUCCESS);
    LoadPortOptions(ext);
    EXPECT_EQ(ext->ResponseMs, 0u);
}

}  // namespace
