// Open and close through the port's COM name, the gateway's life between them, naming.
#include <algorithm>

#include "frame_fixture.h"
#include "quorvel.h"
#include "qv/io.h"
#include "qv/registry.h"

namespace frametest {
namespace {

const char kSerialComm[] = "\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM";
const GUID kComPortClass = {0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

using OpenClose = FrameTest;

TEST_F(OpenClose, OneHandleAtATime)
{
    AddPort("COM5");
    HANDLE first = Open("COM5");
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Open("COM5"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    // A port never given settings drops what is written; the write still completes.
    Configure(first, 0);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(first, kRtuRequest.data(), (DWORD)kRtuRequest.size(), &written, nullptr));
    EXPECT_EQ(written, kRtuRequest.size());
    CloseHandle(first);
    HANDLE again = Open("COM5");
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    CloseHandle(again);
}

TEST_F(OpenClose, SettingsStoredWhileOpenApplyAtNextOpenAndRoundTrips)
{
    ModbusServer server;
    AddPort("COM5");
    HANDLE file = Open("COM5");
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    std::vector<uint8_t> record = MakeRecord(server.Port(), 0);
    DWORD bytes = 0;
    // The port's own handle stores it; this open runs without connections.
    ASSERT_TRUE(DeviceIoControl(file, IOCTL_SERIAL_SET_ETHERNET, record.data(), (DWORD)record.size(), nullptr, 0,
                                &bytes, nullptr));
    Configure(file, 300);
    EXPECT_TRUE(Transact(file, kRtuRequest, kRtuReply.size()).empty());
    CloseHandle(file);

    file = Open("COM5");
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    Configure(file, 10000);
    EXPECT_EQ(Transact(file, kRtuRequest, kRtuReply.size()), kRtuReply);
    // The connection thread may still hold the link lock for a moment after sending the first
    // request; a write that finds it taken is dropped, and a master repeats a lost request.
    std::string ascii = ":010300000001FB\r\n";
    std::vector<uint8_t> reply;
    for (int attempt = 0; attempt < 3 && reply.empty(); ++attempt) {
        reply = Transact(file, std::vector<uint8_t>(ascii.begin(), ascii.end()), 15);
    }
    EXPECT_EQ(std::string(reply.begin(), reply.end()), ":010302002AD0\r\n");
    CloseHandle(file);
}

TEST_F(OpenClose, DefaultHandshakeRaisesCtsThroughTheWiring)
{
    AddPort("COM5");
    StoreRecord("COM5", MakeRecord(1, WIRE_CTS));
    HANDLE file = Open("COM5");
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD status = 0;
    ASSERT_TRUE(GetCommModemStatus(file, &status));
    EXPECT_TRUE(status & MS_CTS_ON);
    CloseHandle(file);
}

TEST_F(OpenClose, InstanceNumbersAreNeverReused)
{
    std::string first = AddPort("COM5");
    AddPort("COM6");
    EXPECT_EQ(qv::SymbolicLinkTarget("\\??\\COM5"), "\\Device\\QuorvelDevice0");
    EXPECT_EQ(qv::SymbolicLinkTarget("\\??\\COM6"), "\\Device\\QuorvelDevice1");
    ASSERT_EQ(qv::PnpRemoveNode(first), STATUS_SUCCESS);
    AddPort("COM7");
    EXPECT_EQ(qv::SymbolicLinkTarget("\\??\\COM7"), "\\Device\\QuorvelDevice2");
}

TEST_F(OpenClose, NamesExistOnlyWhileStarted)
{
    std::string id = AddPort("COM5");
    auto published = [&] {
        std::string mapped;
        bool inMap = qv::RegistryReadString(kSerialComm, "\\Device\\QuorvelDevice0", &mapped) && mapped == "COM5";
        bool linked = qv::SymbolicLinkTarget("\\??\\COM5") == "\\Device\\QuorvelDevice0";
        bool iface = !qv::ListEnabledInterfaces(kComPortClass).empty();
        return std::vector<bool>{inMap, linked, iface};
    };
    EXPECT_EQ(published(), (std::vector<bool>{true, true, true}));
    EXPECT_EQ(qv::PnpSendRequest(id, IRP_MN_QUERY_STOP_DEVICE).Status, STATUS_SUCCESS);
    EXPECT_EQ(qv::PnpSendRequest(id, IRP_MN_STOP_DEVICE).Status, STATUS_SUCCESS);
    EXPECT_EQ(published(), (std::vector<bool>{false, false, false}));
    EXPECT_EQ(qv::PnpSendRequest(id, IRP_MN_START_DEVICE).Status, STATUS_SUCCESS);
    EXPECT_EQ(published(), (std::vector<bool>{true, true, true}));
    ASSERT_EQ(qv::PnpRemoveNode(id), STATUS_SUCCESS);
    EXPECT_EQ(published(), (std::vector<bool>{false, false, false}));
}

TEST_F(OpenClose, RenamedPortWithdrawsTheNameItStartedWith)
{
    std::string id = AddPort("COM5");
    qv::PnpNodeInfo info;
    ASSERT_TRUE(qv::PnpGetNode(id, &info));
    ASSERT_EQ(qv::RegistryWriteString(info.DeviceKey, "PortName", "COM9"), STATUS_SUCCESS);
    ASSERT_EQ(qv::PnpRestartNode(id), STATUS_SUCCESS);
    EXPECT_EQ(qv::SymbolicLinkTarget("\\??\\COM5"), "");
    EXPECT_EQ(qv::SymbolicLinkTarget("\\??\\COM9"), "\\Device\\QuorvelDevice0");
    // A name that is not a string fails the start, as a missing one does.
    ASSERT_EQ(qv::RegistryWriteValue(info.DeviceKey, "PortName", REG_BINARY, {'C', 0, 'O', 0}), STATUS_SUCCESS);
    EXPECT_EQ(qv::PnpRestartNode(id), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(qv::SymbolicLinkTarget("\\??\\COM9"), "");
}

TEST_F(OpenClose, IdentifierNamesAPortWithoutPortName)
{
    std::string id = AddPort("COM5");
    qv::PnpNodeInfo info;
    ASSERT_TRUE(qv::PnpGetNode(id, &info));
    ASSERT_EQ(qv::RegistryWriteString(info.DeviceKey, "Identifier", "COM7"), STATUS_SUCCESS);
    ASSERT_EQ(qv::RegistryWriteValue(info.DeviceKey, "PortName", REG_DWORD, {1, 0, 0, 0}), STATUS_SUCCESS);
    ASSERT_EQ(qv::PnpRestartNode(id), STATUS_SUCCESS);
    EXPECT_EQ(qv::SymbolicLinkTarget("\\??\\COM7"), "\\Device\\QuorvelDevice0");
}

TEST_F(OpenClose, ComNamesAreClaimedLowestFirstAndReused)
{
    qv::PnpNodeOptions options;
    std::string a, b, c;
    ASSERT_EQ(qv::PnpCreatePortsNode(options, &a), STATUS_SUCCESS);
    ASSERT_EQ(qv::PnpCreatePortsNode(options, &b), STATUS_SUCCESS);
    qv::PnpNodeInfo info;
    ASSERT_TRUE(qv::PnpGetNode(b, &info));
    EXPECT_EQ(info.PortName, "COM2");
    EXPECT_EQ(info.FriendlyName, "Quorvel Virtual Serial Port (COM2)");
    options.PortName = "COM2";
    EXPECT_EQ(qv::PnpCreatePortsNode(options, &c), STATUS_OBJECT_NAME_COLLISION);
    ASSERT_EQ(qv::PnpRemoveNode(a), STATUS_SUCCESS);
    options.PortName = "";
    ASSERT_EQ(qv::PnpCreatePortsNode(options, &c), STATUS_SUCCESS);
    ASSERT_TRUE(qv::PnpGetNode(c, &info));
    EXPECT_EQ(info.PortName, "COM1");
}

// The per-request lines are verbose: a port prints them once its service key asks for them at
// driver entry.
TEST_F(OpenClose, ServiceKeyTraceLevelTurnsOnTheRequestLines)
{
    const std::string parameters = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Quorvel\\Parameters";
    ASSERT_EQ(qv::RegistryWriteValue(parameters, "TraceLevel", REG_DWORD, {TRACE_LEVEL_VERBOSE, 0, 0, 0}),
              STATUS_SUCCESS);
    AddPort("COM5");
    EXPECT_EQ(TraceLevel, (ULONG)TRACE_LEVEL_VERBOSE);
    HANDLE file = Open("COM5");
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    Configure(file, 0);
    qv::ClearDbgPrint();
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(file, kRtuRequest.data(), (DWORD)kRtuRequest.size(), &written, nullptr));
    std::vector<std::string> lines = qv::DbgPrintLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "---- Write begin ----"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "DataLen = 8"), lines.end());
    CloseHandle(file);
}

}  // namespace
}  // namespace frametest
