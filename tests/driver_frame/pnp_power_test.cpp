// Plug and Play, power and WMI requests of a port, with handles open and requests pending.
#include "frame_fixture.h"
#include "overlapped.h"
#include "quorvel.h"
#include "qv/io.h"

namespace frametest {
namespace {

using PnpPower = FrameTest;

struct AsyncRead {
    OVERLAPPED overlapped = {};
    std::vector<uint8_t> data;
    AsyncRead(HANDLE file, size_t length) : data(length)
    {
        overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        BOOL done = ReadFile(file, data.data(), (DWORD)length, nullptr, &overlapped);
        EXPECT_FALSE(done);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
    }
    ~AsyncRead() { CloseHandle(overlapped.hEvent); }
    // Waits for the end, for a bounded time; returns the Win32 error (0 on success).
    DWORD Finish(HANDLE file, DWORD *bytes)
    {
        return qvtest::OverlappedResult(file, &overlapped, bytes) ? 0 : GetLastError();
    }
};

TEST_F(PnpPower, QueryStopOfAClosedPortIsAgreedAndCancelled)
{
    std::string id = AddPort("COM5");
    EXPECT_EQ(qv::PnpSendRequest(id, IRP_MN_QUERY_STOP_DEVICE).Status, STATUS_SUCCESS);
    EXPECT_EQ(Open("COM5"), INVALID_HANDLE_VALUE);  // opens wait for the outcome elsewhere
    EXPECT_EQ(qv::PnpSendRequest(id, IRP_MN_CANCEL_STOP_DEVICE).Status, STATUS_SUCCESS);
    HANDLE file = Open("COM5");
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DCB dcb = {};
    EXPECT_TRUE(GetCommState(file, &dcb));
    EXPECT_TRUE(SetCommState(file, &dcb));  // the gate admits again
    CloseHandle(file);
    // A cancel without a pending stop does not reach the bus.
    size_t seen = qv::PnpBusRequests(id).size();
    EXPECT_EQ(qv::PnpSendRequest(id, IRP_MN_CANCEL_STOP_DEVICE).Status, STATUS_SUCCESS);
    EXPECT_EQ(qv::PnpBusRequests(id).size(), seen);
}

TEST_F(PnpPower, OpenPortRefusesQueryRemoveAndQueryStop)
{
    std::string id = AddPort("COM5");
    HANDLE file = Open("COM5");
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(qv::PnpRemoveNode(id), STATUS_DEVICE_BUSY);
    EXPECT_EQ(qv::PnpRestartNode(id), STATUS_DEVICE_BUSY);
    DCB dcb = {};
    EXPECT_TRUE(GetCommState(file, &dcb));
    EXPECT_TRUE(SetCommState(file, &dcb));
    CloseHandle(file);
    EXPECT_EQ(qv::PnpRemoveNode(id), STATUS_SUCCESS);
}

TEST_F(PnpPower, SurpriseRemovalEndsPendingReadAndFailsLaterRequests)
{
    ModbusServer server;
    std::string id = AddPort("COM5");
    StoreRecord("COM5", MakeRecord(server.Port(), 0));
    HANDLE file = Open("COM5", true);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    {
        AsyncRead read(file, 7);  // no timeouts: waits for seven characters
        ASSERT_EQ(qv::PnpSurpriseRemoveNode(id), STATUS_SUCCESS);
        DWORD bytes = 0;
        EXPECT_EQ(read.Finish(file, &bytes), (DWORD)ERROR_OPERATION_ABORTED);
    }
    DCB dcb = {};
    OVERLAPPED o = {};
    o.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD bytes = 0;
    SERIAL_BAUD_RATE baud = {9600};
    BOOL ok = DeviceIoControl(file, IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof(baud), nullptr, 0, &bytes, &o);
    if (!ok && GetLastError() == ERROR_IO_PENDING) ok = qvtest::OverlappedResult(file, &o, &bytes);
    EXPECT_FALSE(ok);
    EXPECT_EQ(GetLastError(), RtlNtStatusToDosError(STATUS_NO_SUCH_DEVICE));
    CloseHandle(o.hEvent);
    (void)dcb;
    // The device lives until this handle goes; the node can start again afterwards.
    CloseHandle(file);
    ASSERT_EQ(qv::PnpStartNode(id), STATUS_SUCCESS);
    file = Open("COM5");
    EXPECT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
}

TEST_F(PnpPower, SleepAndWakeWithReadPendingThenReplyArrives)
{
    for (bool atDispatch : {false, true}) {
        SCOPED_TRACE(atDispatch ? "bus completes at DISPATCH_LEVEL" : "bus completes at PASSIVE_LEVEL");
        ModbusServer server;
        std::string id = AddPort(atDispatch ? "COM6" : "COM5");
        qv::PnpBusKnobs knobs;
        knobs.CompletePowerAtDispatch = atDispatch;
        qv::PnpSetBusKnobs(id, knobs);
        std::string name = atDispatch ? "COM6" : "COM5";
        StoreRecord(name, MakeRecord(server.Port(), 0));
        HANDLE file = Open(name, true);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        Configure(file, 0);
        AsyncRead read(file, kRtuReply.size());
        ASSERT_EQ(qv::PnpSetSystemPower(PowerSystemSleeping3), STATUS_SUCCESS);
        ASSERT_EQ(qv::PnpSetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
        OVERLAPPED o = {};
        o.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        DWORD bytes = 0;
        BOOL ok = WriteFile(file, kRtuRequest.data(), (DWORD)kRtuRequest.size(), nullptr, &o);
        if (!ok && GetLastError() == ERROR_IO_PENDING) ok = qvtest::OverlappedResult(file, &o, &bytes);
        EXPECT_TRUE(ok);
        CloseHandle(o.hEvent);
        EXPECT_EQ(read.Finish(file, &bytes), 0u);
        EXPECT_EQ(std::vector<uint8_t>(read.data.begin(), read.data.begin() + bytes), kRtuReply);
        CloseHandle(file);
        std::vector<std::string> bus = qv::PnpBusRequests(id);
        // Device power requests reached the bus: D3 then D0.
        EXPECT_NE(std::find(bus.begin(), bus.end(), "POWER 2 1 4"), bus.end());
        EXPECT_NE(std::find(bus.begin(), bus.end(), "POWER 2 1 1"), bus.end());
        ASSERT_EQ(qv::PnpRemoveNode(id), STATUS_SUCCESS);
    }
}

TEST_F(PnpPower, WmiRequestsAreAnsweredOrHandedDown)
{
    std::string id = AddPort("COM5");
    PDEVICE_OBJECT pdo = qv::PnpPhysicalDevice(id);
    ASSERT_NE(pdo, nullptr);
    qv::PnpRequestResult forwarded = qv::PnpSendSystemControl(id, IRP_MN_QUERY_ALL_DATA, (ULONG_PTR)pdo);
    EXPECT_EQ(forwarded.Status, STATUS_NOT_SUPPORTED);  // the bus is no provider either
    std::vector<std::string> bus = qv::PnpBusRequests(id);
    EXPECT_NE(std::find(bus.begin(), bus.end(), "WMI 0"), bus.end());
    // Addressed to the port itself, which registers no data blocks.
    qv::PnpRequestResult own = qv::PnpSendSystemControl(id, IRP_MN_QUERY_ALL_DATA, (ULONG_PTR)pdo->AttachedDevice);
    EXPECT_EQ(own.Status, (NTSTATUS)0xC0000295L);
}

TEST_F(PnpPower, FailedStartLeavesNothingPublishedAndRetrySucceeds)
{
    qv::PnpNodeOptions options;
    options.PortName = "COM5";
    options.Start = false;
    std::string id;
    ASSERT_EQ(qv::PnpCreatePortsNode(options, &id), STATUS_SUCCESS);
    qv::PnpBusKnobs knobs;
    knobs.StartStatus = STATUS_INSUFFICIENT_RESOURCES;
    qv::PnpSetBusKnobs(id, knobs);
    EXPECT_EQ(qv::PnpStartNode(id), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(qv::SymbolicLinkTarget("\\??\\COM5"), "");
    qv::PnpSetBusKnobs(id, qv::PnpBusKnobs());
    EXPECT_EQ(qv::PnpStartNode(id), STATUS_SUCCESS);
    // The failed stack was removed and the driver unloaded with it: the new load counts afresh.
    EXPECT_EQ(qv::SymbolicLinkTarget("\\??\\COM5"), "\\Device\\QuorvelDevice0");
    EXPECT_EQ(qv::PnpLoadedDrivers(), std::vector<std::string>{"Quorvel"});
}

}  // namespace
}  // namespace frametest

namespace frametest {
namespace {

TEST_F(PnpPower, AbandonedQueryForD3HoldsThenReleasesControlRequests)
{
    std::string id = AddPort("COM5");
    HANDLE file = Open("COM5", true);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    POWER_STATE d3, d0;
    d3.DeviceState = PowerDeviceD3;
    d0.DeviceState = PowerDeviceD0;
    ASSERT_EQ(qv::PnpSendPowerRequest(id, IRP_MN_QUERY_POWER, DevicePowerState, d3).Status, STATUS_SUCCESS);

    OVERLAPPED o = {};
    o.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SERIAL_BAUD_RATE baud = {19200};
    DWORD bytes = 0;
    EXPECT_FALSE(DeviceIoControl(file, IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof(baud), nullptr, 0, &bytes, &o));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);  // held at the gate

    // The system abandons the query: a set to D0 while in D0.
    ASSERT_EQ(qv::PnpSendPowerRequest(id, IRP_MN_SET_POWER, DevicePowerState, d0).Status, STATUS_SUCCESS);
    EXPECT_TRUE(qvtest::OverlappedResult(file, &o, &bytes));
    CloseHandle(o.hEvent);
    SERIAL_BAUD_RATE now = {};
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED g = {};
    g.hEvent = event;
    BOOL ok = DeviceIoControl(file, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &now, sizeof(now), &bytes, &g);
    if (!ok && GetLastError() == ERROR_IO_PENDING) ok = qvtest::OverlappedResult(file, &g, &bytes);
    EXPECT_TRUE(ok);
    EXPECT_EQ(now.BaudRate, 19200u);
    CloseHandle(event);
    CloseHandle(file);
    // The bus never saw a device request for D3: the query stayed with the port.
    std::vector<std::string> bus = qv::PnpBusRequests(id);
    EXPECT_EQ(std::find(bus.begin(), bus.end(), "POWER 2 1 4"), bus.end());
}

TEST_F(PnpPower, RemovalWithAHandleOpenEndsAtItsClose)
{
    ModbusServer server;
    std::string id = AddPort("COM5");
    StoreRecord("COM5", MakeRecord(server.Port(), 0));
    HANDLE file = Open("COM5");
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    Configure(file, 10000);
    ASSERT_EQ(Transact(file, kRtuRequest, kRtuReply.size()), kRtuReply);  // a link is up
    // The open port refuses a query-remove; a surprise removal does not ask.
    ASSERT_EQ(qv::PnpSurpriseRemoveNode(id), STATUS_SUCCESS);
    ASSERT_EQ(qv::PnpRemoveNode(id), STATUS_SUCCESS);
    EXPECT_EQ(qv::SymbolicLinkTarget("\\??\\COM5"), "");
    DWORD written = 0;
    EXPECT_FALSE(WriteFile(file, kRtuRequest.data(), (DWORD)kRtuRequest.size(), &written, nullptr));
    EXPECT_EQ(GetLastError(), RtlNtStatusToDosError(STATUS_DELETE_PENDING));
    // The driver stays loaded for the handle's sake, and goes with it.
    EXPECT_EQ(qv::PnpLoadedDrivers(), std::vector<std::string>{"Quorvel"});
    CloseHandle(file);
    EXPECT_TRUE(qv::PnpLoadedDrivers().empty());
}

}  // namespace
}  // namespace frametest

namespace frametest {
namespace {

TEST_F(PnpPower, SystemQueryFailsWhenItsDevicePowerRequestCannotBeIssued)
{
    std::string id = AddPort("COM5");
    // The first allocation is the system request itself, the second the port's device request.
    qv::InjectFault("IoAllocateIrp", 2);
    EXPECT_EQ(qv::PnpSetSystemPower(PowerSystemSleeping3), STATUS_INSUFFICIENT_RESOURCES);
    qv::ResetFaults();
    EXPECT_EQ(qv::PnpSystemPowerState(), PowerSystemWorking);
    std::vector<std::string> bus = qv::PnpBusRequests(id);
    EXPECT_NE(std::find(bus.begin(), bus.end(), "POWER 3 0 4"), bus.end());  // the system query went down
    EXPECT_EQ(std::find(bus.begin(), bus.end(), "POWER 3 1 4"), bus.end());  // no device query reached the bus
    // The port still works.
    HANDLE file = Open("COM5");
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DCB dcb = {};
    EXPECT_TRUE(GetCommState(file, &dcb));
    EXPECT_TRUE(SetCommState(file, &dcb));
    CloseHandle(file);
}

}  // namespace
}  // namespace frametest
