// Ports added, started, opened, used, closed and removed many times over.
#include "frame_fixture.h"
#include "qv/io.h"

namespace frametest {
namespace {

using Soak = FrameTest;

}  // namespace
}  // namespace frametest

namespace frametest {
namespace {

TEST_F(Soak, ManyAddOpenRemoveCyclesLeakNothing)
{
    ModbusServer server;
    std::vector<uint8_t> record = MakeRecord(server.Port(), 0);
    auto cycle = [&] {
        std::string id = AddPort("COM5");
        StoreRecord("COM5", record);
        HANDLE file = Open("COM5");
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        Configure(file, 10000);
        ASSERT_EQ(Transact(file, kRtuRequest, kRtuReply.size()), kRtuReply);
        CloseHandle(file);
        ASSERT_EQ(qv::PnpRemoveNode(id), STATUS_SUCCESS);
    };
    cycle();
    qv::PoolUsage before = qv::QueryPoolUsage();
    size_t devices = qv::ListNamedDevices().size();
    for (int i = 0; i < 200 && !HasFatalFailure(); i++) cycle();
    qv::PoolUsage after = qv::QueryPoolUsage();
    EXPECT_EQ(after.Blocks, before.Blocks);
    EXPECT_EQ(after.Bytes, before.Bytes);
    EXPECT_EQ(qv::OutstandingIrpCount(), 0u);
    EXPECT_EQ(qv::ListNamedDevices().size(), devices);
    EXPECT_TRUE(qv::PnpLoadedDrivers().empty());
    EXPECT_TRUE(qv::PnpListNodes().empty());
    // Threads, handles and transport objects are counted by the shutdown report.
}

}  // namespace
}  // namespace frametest
