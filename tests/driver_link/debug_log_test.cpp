// The leveled debug log: exact output formats, filtering, the eight message buffers, the
// request trace names and the transport address dumps.

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "link_fixture.h"

#include <tdi.h>

namespace {

class DebugLogTest : public linktest::PlatformFixture {
protected:
    // Lines printed through the leveled log since the last call, prefix included.
    std::vector<std::string> TakeLines()
    {
        std::vector<std::string> lines;
        for (const std::string &line : qv::DbgPrintLines()) {
            if (line.rfind("KIVRA(", 0) == 0) lines.push_back(line);
        }
        qv::ClearDbgPrint();
        return lines;
    }

    // The message part of trace lines (after the prefix and the five blanks).
    std::vector<std::string> TakeTraceMessages()
    {
        std::vector<std::string> messages;
        const std::string prefix = "KIVRA(IRQL 00):     ";
        for (const std::string &line : TakeLines()) {
            EXPECT_EQ(line.rfind(prefix, 0), 0u) << line;
            messages.push_back(line.substr(prefix.size()));
        }
        return messages;
    }
};

TEST_F(DebugLogTest, EachLevelPrintsInItsOwnFormat)
{
    KivraDebugPrint(DBG_AREA_GENERAL, DBG_LEVEL_ERROR, "disk %d gone", 3);
    KivraDebugPrint(DBG_AREA_GENERAL, DBG_LEVEL_WARNING, "slow %s", "link");
    KivraDebugPrint(DBG_AREA_GENERAL, DBG_LEVEL_INFO, "plain");
    KivraDebugPrint(DBG_AREA_GENERAL, DBG_LEVEL_TRACE, "traced %u", 7u);
    KivraDebugPrint(DBG_AREA_GENERAL, 0, "level zero");
    EXPECT_EQ(TakeLines(), (std::vector<std::string>{
                               "KIVRA(IRQL 00): ERROR disk 3 gone !!!!!",
                               "KIVRA(IRQL 00): WARNING slow link",
                               "KIVRA(IRQL 00): plain",
                               "KIVRA(IRQL 00):     traced 7",
                               "KIVRA(IRQL 00): level zero",
                           }));

    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KivraDebugPrint(DBG_AREA_IO, DBG_LEVEL_INFO, "at dispatch");
    KeLowerIrql(old);
    EXPECT_EQ(TakeLines(), std::vector<std::string>{"KIVRA(IRQL 02): at dispatch"});
}

TEST_F(DebugLogTest, FiltersByAreaAndLevel)
{
    KivraDebugPrint(0, DBG_LEVEL_ERROR, "no area");
    KivraDebugPrint(DBG_AREA_PNP, DBG_LEVEL_TRACE + 1, "too detailed");
    KivraDebugPrint(0x40, DBG_LEVEL_INFO, "unnamed area bit");
    EXPECT_EQ(TakeLines(), std::vector<std::string>{"KIVRA(IRQL 00): unnamed area bit"});
}

TEST_F(DebugLogTest, MessageTextIsNeverTakenAsAFormat)
{
    KivraDebugPrint(DBG_AREA_GENERAL, DBG_LEVEL_INFO, "%s", "100%s %n %d%%");
    EXPECT_EQ(TakeLines(), std::vector<std::string>{"KIVRA(IRQL 00): 100%s %n %d%%"});
}

TEST_F(DebugLogTest, LongMessageIsCutTo1023Characters)
{
    std::string text(3000, 'x');
    text[1022] = 'E';
    text[1023] = 'Z';
    KivraDebugPrint(DBG_AREA_GENERAL, DBG_LEVEL_INFO, "%s", text.c_str());
    std::vector<std::string> lines = TakeLines();
    ASSERT_EQ(lines.size(), 1u);
    std::string message = lines[0].substr(std::strlen("KIVRA(IRQL 00): "));
    EXPECT_EQ(message.size(), 1023u);
    EXPECT_EQ(message.back(), 'E');
    for (LONG flag : LogBufferBusy) EXPECT_EQ(flag, 0);
}

TEST_F(DebugLogTest, AllBuffersBusyDropsTheMessage)
{
    for (LONG &flag : LogBufferBusy) InterlockedExchange(&flag, 1);
    KivraDebugPrint(DBG_AREA_GENERAL, DBG_LEVEL_ERROR, "lost");
    EXPECT_TRUE(TakeLines().empty());

    InterlockedExchange(&LogBufferBusy[5], 0);
    KivraDebugPrint(DBG_AREA_GENERAL, DBG_LEVEL_INFO, "fits");
    EXPECT_EQ(TakeLines(), std::vector<std::string>{"KIVRA(IRQL 00): fits"});
    EXPECT_EQ(LogBufferBusy[5], 0);
    for (LONG &flag : LogBufferBusy) InterlockedExchange(&flag, 0);
}

// More writers than buffers: some messages may be lost, but none is mixed with another.
TEST_F(DebugLogTest, ConcurrentMessagesStayWhole)
{
    constexpr int kThreads = 12, kMessages = 150;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([t] {
            for (int m = 0; m < kMessages; m++) {
                KivraDebugPrint(DBG_AREA_IO, DBG_LEVEL_INFO, "writer %d message %d %s", t, m,
                                "padding-padding-padding-padding");
            }
        });
    }
    for (std::thread &thread : threads) thread.join();

    const std::regex whole(R"(KIVRA\(IRQL 00\): writer (\d+) message (\d+) padding-padding-padding-padding)");
    std::vector<std::string> lines = TakeLines();
    EXPECT_GT(lines.size(), 0u);
    EXPECT_LE(lines.size(), size_t(kThreads * kMessages));
    for (const std::string &line : lines) EXPECT_TRUE(std::regex_match(line, whole)) << line;
    for (LONG flag : LogBufferBusy) EXPECT_EQ(flag, 0);
}

// ------------------------------------------------------------------- request trace

class LogIrpTest : public DebugLogTest {
protected:
    void SetUp() override
    {
        DebugLogTest::SetUp();
        irp_ = IoAllocateIrp(1, FALSE);
        ASSERT_NE(irp_, nullptr);
        IoSetNextIrpStackLocation(irp_);
    }
    void TearDown() override
    {
        IoFreeIrp(irp_);
        DebugLogTest::TearDown();
    }

    std::vector<std::string> Trace(UCHAR major, UCHAR minor)
    {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp_);
        stack->MajorFunction = major;
        stack->MinorFunction = minor;
        LogIrp(irp_);
        return TakeTraceMessages();
    }

    // "IRP <address> <name>": the name after the address.
    static std::string MajorOf(const std::string &firstLine)
    {
        EXPECT_EQ(firstLine.rfind("IRP ", 0), 0u) << firstLine;
        return firstLine.substr(firstLine.find(' ', 4) + 1);
    }

    PIRP irp_ = nullptr;
};

TEST_F(LogIrpTest, NamesEveryMajorFunction)
{
    const char *names[] = {
        "IRP_MJ_CREATE", "IRP_MJ_CREATE_NAMED_PIPE", "IRP_MJ_CLOSE", "IRP_MJ_READ", "IRP_MJ_WRITE",
        "IRP_MJ_QUERY_INFORMATION", "IRP_MJ_SET_INFORMATION", "IRP_MJ_QUERY_EA", "IRP_MJ_SET_EA",
        "IRP_MJ_FLUSH_BUFFERS", "IRP_MJ_QUERY_VOLUME_INFORMATION", "IRP_MJ_SET_VOLUME_INFORMATION",
        "IRP_MJ_DIRECTORY_CONTROL", "IRP_MJ_FILE_SYSTEM_CONTROL", "IRP_MJ_DEVICE_CONTROL",
        "IRP_MJ_INTERNAL_DEVICE_CONTROL", "IRP_MJ_SHUTDOWN", "IRP_MJ_LOCK_CONTROL", "IRP_MJ_CLEANUP",
        "IRP_MJ_CREATE_MAILSLOT", "IRP_MJ_QUERY_SECURITY", "IRP_MJ_SET_SECURITY", "IRP_MJ_POWER",
        "IRP_MJ_SYSTEM_CONTROL", "IRP_MJ_DEVICE_CHANGE", "IRP_MJ_QUERY_QUOTA", "IRP_MJ_SET_QUOTA", "IRP_MJ_PNP",
    };
    for (UCHAR major = 0; major < 28; major++) {
        std::vector<std::string> lines = Trace(major, 0);
        ASSERT_FALSE(lines.empty()) << int(major);
        EXPECT_EQ(MajorOf(lines[0]), names[major]);
    }
    for (UCHAR major : {UCHAR(28), UCHAR(0x7F), UCHAR(0xFF)}) {
        std::vector<std::string> lines = Trace(major, 0);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(MajorOf(lines[0]), "Unknown IRP Request");
    }
    EXPECT_EQ(Trace(IRP_MJ_READ, 0).size(), 1u);  // no minor line outside PnP, power and WMI
}

TEST_F(LogIrpTest, NamesPnpMinorFunctionsWithFallbacks)
{
    const char *names[] = {
        "IRP_MN_START_DEVICE", "IRP_MN_QUERY_REMOVE_DEVICE", "IRP_MN_REMOVE_DEVICE", "IRP_MN_CANCEL_REMOVE_DEVICE",
        "IRP_MN_STOP_DEVICE", "IRP_MN_QUERY_STOP_DEVICE", "IRP_MN_CANCEL_STOP_DEVICE",
        "IRP_MN_QUERY_DEVICE_RELATIONS", "IRP_MN_QUERY_INTERFACE", "IRP_MN_QUERY_CAPABILITIES",
        "IRP_MN_QUERY_RESOURCES", "IRP_MN_QUERY_RESOURCE_REQUIREMENTS", "IRP_MN_QUERY_DEVICE_TEXT",
        "IRP_MN_FILTER_RESOURCE_REQUIREMENTS", "Unknown PnP Request", "IRP_MN_READ_CONFIG", "IRP_MN_WRITE_CONFIG",
        "IRP_MN_EJECT", "IRP_MN_SET_LOCK", "IRP_MN_QUERY_ID", "IRP_MN_QUERY_PNP_DEVICE_STATE",
        "IRP_MN_QUERY_BUS_INFORMATION", "IRP_MN_DEVICE_USAGE_NOTIFICATION", "IRP_MN_SURPRISE_REMOVAL",
        "IRP_MN_QUERY_LEGACY_BUS_INFORMATION", "Unknown PnP Request", "Unknown PnP Request",
    };
    for (UCHAR minor = 0; minor <= 0x1A; minor++) {
        std::vector<std::string> lines = Trace(IRP_MJ_PNP, minor);
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[1], names[minor]) << int(minor);
    }
    EXPECT_EQ(Trace(IRP_MJ_PNP, 0xFF)[1], "Unknown PnP Request");
}

TEST_F(LogIrpTest, PowerRequestsNameTheMinorAndTheStateOfTheirType)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp_);
    stack->Parameters.Power.Type = DevicePowerState;
    stack->Parameters.Power.State.DeviceState = PowerDeviceD3;
    std::vector<std::string> lines = Trace(IRP_MJ_POWER, IRP_MN_SET_POWER);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(MajorOf(lines[0]), "IRP_MJ_POWER");
    EXPECT_EQ(lines[1], "IRP_MN_SET_POWER");
    EXPECT_EQ(lines[2], "PowerDeviceD3");

    const char *minors[] = {"IRP_MN_WAIT_WAKE", "IRP_MN_POWER_SEQUENCE", "IRP_MN_SET_POWER", "IRP_MN_QUERY_POWER",
                            "Unknown Power Request"};
    for (UCHAR minor = 0; minor < 5; minor++) {
        std::vector<std::string> lines = Trace(IRP_MJ_POWER, minor);
        ASSERT_EQ(lines.size(), 3u);
        EXPECT_EQ(lines[1], minors[minor]);
        EXPECT_EQ(lines[2], "PowerDeviceD3");  // printed for every power minor function
    }

    const char *devices[] = {"PowerDeviceUnspecified", "PowerDeviceD0", "PowerDeviceD1",
                             "PowerDeviceD2",          "PowerDeviceD3", "PowerDeviceMaximum"};
    for (int state = 0; state <= 6; state++) {
        stack->Parameters.Power.State.DeviceState = (DEVICE_POWER_STATE)state;
        EXPECT_EQ(Trace(IRP_MJ_POWER, IRP_MN_QUERY_POWER)[2], state < 6 ? devices[state] : "PowerDeviceUnknown");
    }

    const char *systems[] = {"PowerSystemUnspecified", "PowerSystemWorking",   "PowerSystemSleeping1",
                             "PowerSystemSleeping2",   "PowerSystemSleeping3", "PowerSystemHibernate",
                             "PowerSystemShutdown",    "PowerSystemMaximum"};
    stack->Parameters.Power.Type = SystemPowerState;
    for (int state = 0; state <= 8; state++) {
        stack->Parameters.Power.State.SystemState = (SYSTEM_POWER_STATE)state;
        EXPECT_EQ(Trace(IRP_MJ_POWER, IRP_MN_SET_POWER)[2], state < 8 ? systems[state] : "PowerSystemUnknown");
    }
}

TEST_F(LogIrpTest, NamesWmiMinorFunctionsWithFallback)
{
    const char *names[] = {"IRP_MN_QUERY_ALL_DATA",        "IRP_MN_QUERY_SINGLE_INSTANCE",
                           "IRP_MN_CHANGE_SINGLE_INSTANCE", "IRP_MN_CHANGE_SINGLE_ITEM",
                           "IRP_MN_ENABLE_EVENTS",          "IRP_MN_DISABLE_EVENTS",
                           "IRP_MN_ENABLE_COLLECTION",      "IRP_MN_DISABLE_COLLECTION",
                           "IRP_MN_REGINFO",                "IRP_MN_EXECUTE_METHOD"};
    for (UCHAR minor = 0; minor < 10; minor++) {
        EXPECT_EQ(Trace(IRP_MJ_SYSTEM_CONTROL, minor)[1], names[minor]);
    }
    EXPECT_EQ(Trace(IRP_MJ_SYSTEM_CONTROL, IRP_MN_REGINFO_EX)[1], "Unknown System Control Request");
    EXPECT_EQ(Trace(IRP_MJ_SYSTEM_CONTROL, 0x0A)[1], "Unknown System Control Request");
}

// ------------------------------------------------------------------- address dumps

class DumpTdiAddressTest : public DebugLogTest {
protected:
    // A TA_ADDRESS of the given type whose address bytes are `bytes`.
    std::vector<std::string> Dump(USHORT type, const std::vector<UCHAR> &bytes)
    {
        std::vector<UCHAR> record(4 + bytes.size() + 8, 0xEE);  // trailing bytes must not be read as part of a name
        PTA_ADDRESS address = (PTA_ADDRESS)record.data();
        address->AddressLength = (USHORT)bytes.size();
        address->AddressType = type;
        if (!bytes.empty()) std::memcpy(address->Address, bytes.data(), bytes.size());
        DumpTdiAddress(address);
        return TakeTraceMessages();
    }
};

TEST_F(DumpTdiAddressTest, IpAddressFieldsAsStored)
{
    // port 502 and 192.168.0.10, both in network byte order
    std::vector<UCHAR> ip = {0x01, 0xF6, 0xC0, 0xA8, 0x00, 0x0A, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(Dump(TDI_ADDRESS_TYPE_IP, ip),
              (std::vector<std::string>{"TDI_ADDRESS_TYPE_IP", "sin_port f601", "in_addr a00a8c0"}));

    DumpTdiAddress(nullptr);
    EXPECT_TRUE(TakeLines().empty());
}

TEST_F(DumpTdiAddressTest, FieldsOfEveryDetailedType)
{
    EXPECT_EQ(Dump(TDI_ADDRESS_TYPE_IPX, {0x01, 0x02, 0x03, 0x04, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0x34, 0x12}),
              (std::vector<std::string>{"TDI_ADDRESS_TYPE_IPX", "NetworkAddress 4030201", "NodeAddress[0] a0",
                                        "NodeAddress[1] a1", "NodeAddress[2] a2", "NodeAddress[3] a3",
                                        "NodeAddress[4] a4", "NodeAddress[5] a5", "Socket 1234"}));
    EXPECT_EQ(Dump(TDI_ADDRESS_TYPE_APPLETALK, {0x34, 0x12, 0x56, 0x78}),
              (std::vector<std::string>{"TDI_ADDRESS_TYPE_APPLETALK", "Network 1234", "Node 56", "Socket 78"}));
    EXPECT_EQ(Dump(TDI_ADDRESS_TYPE_8022, {1, 2, 3, 4, 5, 0xFF}),
              (std::vector<std::string>{"TDI_ADDRESS_TYPE_8022", "MACAddress[0] 1", "MACAddress[1] 2",
                                        "MACAddress[2] 3", "MACAddress[3] 4", "MACAddress[4] 5",
                                        "MACAddress[5] ff"}));

    std::vector<UCHAR> ip6 = {0x01, 0xF6, 0x78, 0x56, 0x34, 0x12};
    for (int i = 0; i < 8; i++) {
        ip6.push_back(UCHAR(i));
        ip6.push_back(0x20);
    }
    for (UCHAR b : {0x04, 0x03, 0x02, 0x01}) ip6.push_back(b);
    EXPECT_EQ(Dump(TDI_ADDRESS_TYPE_IP6, ip6),
              (std::vector<std::string>{"TDI_ADDRESS_TYPE_IP6", "sin6_port f601", "sin6_flowinfo 12345678",
                                        "sin6_addr[0] 2000", "sin6_addr[1] 2001", "sin6_addr[2] 2002",
                                        "sin6_addr[3] 2003", "sin6_addr[4] 2004", "sin6_addr[5] 2005",
                                        "sin6_addr[6] 2006", "sin6_addr[7] 2007", "sin6_scope_id 1020304"}));
}

TEST_F(DumpTdiAddressTest, NetbiosNamesNeedNoTerminator)
{
    std::vector<UCHAR> netbios = {0x01, 0x00};
    for (char c : std::string("WORKSTATION-0123")) netbios.push_back(UCHAR(c));  // 16 characters, no NUL
    EXPECT_EQ(Dump(TDI_ADDRESS_TYPE_NETBIOS, netbios),
              (std::vector<std::string>{"TDI_ADDRESS_TYPE_NETBIOS", "NetbiosNameType 1",
                                        "NetbiosName WORKSTATION-0123"}));

    std::vector<UCHAR> netbiosEx;
    for (char c : std::string("ENDPOINT-NAME-16")) netbiosEx.push_back(UCHAR(c));
    netbiosEx.push_back(0x03);
    netbiosEx.push_back(0x00);
    for (char c : std::string("SHORT")) netbiosEx.push_back(UCHAR(c));
    netbiosEx.resize(16 + 2 + 16, 0);
    EXPECT_EQ(Dump(TDI_ADDRESS_TYPE_NETBIOS_EX, netbiosEx),
              (std::vector<std::string>{"TDI_ADDRESS_TYPE_NETBIOS_EX", "EndpointName ENDPOINT-NAME-16",
                                        "NetbiosAddress.NetbiosNameType 3", "NetbiosAddress.NetbiosName SHORT"}));
}

TEST_F(DumpTdiAddressTest, OtherTypesPrintTheirNameOnly)
{
    const char *names[] = {
        "TDI_ADDRESS_TYPE_UNSPEC",   "TDI_ADDRESS_TYPE_UNIX",     "TDI_ADDRESS_TYPE_IP",
        "TDI_ADDRESS_TYPE_IMPLINK",  "TDI_ADDRESS_TYPE_PUP",      "TDI_ADDRESS_TYPE_CHAOS",
        "TDI_ADDRESS_TYPE_IPX",      "TDI_ADDRESS_TYPE_NBS",      "TDI_ADDRESS_TYPE_ECMA",
        "TDI_ADDRESS_TYPE_DATAKIT",  "TDI_ADDRESS_TYPE_CCITT",    "TDI_ADDRESS_TYPE_SNA",
        "TDI_ADDRESS_TYPE_DECnet",   "TDI_ADDRESS_TYPE_DLI",      "TDI_ADDRESS_TYPE_LAT",
        "TDI_ADDRESS_TYPE_HYLINK",   "TDI_ADDRESS_TYPE_APPLETALK", "TDI_ADDRESS_TYPE_NETBIOS",
        "TDI_ADDRESS_TYPE_8022",     "TDI_ADDRESS_TYPE_OSI_TSAP", "TDI_ADDRESS_TYPE_NETONE",
        "TDI_ADDRESS_TYPE_VNS",      "TDI_ADDRESS_TYPE_NETBIOS_EX", "TDI_ADDRESS_TYPE_IP6",
    };
    for (USHORT type : {0, 1, 3, 4, 5, 7, 8, 9, 10, 11, 12, 13, 14, 15, 19, 20, 21}) {
        EXPECT_EQ(Dump(type, std::vector<UCHAR>(20, 0x41)), std::vector<std::string>{names[type]});
    }
    EXPECT_EQ(Dump(24, {}), std::vector<std::string>{"Unknown Address->AddressType 18"});
    EXPECT_EQ(Dump(0xFFFF, {}), std::vector<std::string>{"Unknown Address->AddressType ffff"});
}

}  // namespace
