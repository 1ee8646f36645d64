// The connection and device tables built at open from the settings record.

#include "port_fixture.h"

using namespace gwtest;

namespace {

using Tables = GatewayPort;

TEST_F(Tables, LastEntryServesASharedIdAndWaitingConnectionsComeNewestFirst)
{
    ASSERT_EQ(Open(MakeRecord(
                  500, 0, 0,
                  {{{10, 0, 0, 1}, 502, 0, {1, 2}}, {{10, 0, 0, 2}, 1502, 2, {2, 3}}, {{10, 0, 0, 3}, 503, 0, {}}})),
              STATUS_SUCCESS);

    PETH_CONNECTION a = Connection(1);
    PETH_CONNECTION b = Connection(3);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    EXPECT_EQ(Connection(2), b);
    EXPECT_EQ(Connection(4), nullptr);
    EXPECT_EQ(a->port, 502);
    EXPECT_EQ(b->port, 1502);
    EXPECT_EQ(b->raw, 1) << "any nonzero raw byte acts as 1";
    EXPECT_EQ(a->TransactionId, 0);
    EXPECT_EQ(a->Socket, nullptr);

    // The id-less entry still has a connection: the list holds three, newest first.
    std::vector<PETH_CONNECTION> connections;
    for (PSINGLE_LIST_ENTRY link = ext->ConnectionList.Next; link; link = link->Next)
        connections.push_back(CONTAINING_RECORD(link, ETH_CONNECTION, Link));
    ASSERT_EQ(connections.size(), 3u);
    PETH_CONNECTION c = connections[0];
    EXPECT_EQ(connections[1], b);
    EXPECT_EQ(connections[2], a);
    EXPECT_EQ(c->port, 503);

    AcquireConnectMutex(ext);
    a->NeedConnection = b->NeedConnection = c->NeedConnection = 1;
    EXPECT_EQ(GetNeedConnection(ext), c);
    c->NeedConnection = 0;
    EXPECT_EQ(GetNeedConnection(ext), b);
    b->NeedConnection = 0;
    EXPECT_EQ(GetNeedConnection(ext), a);
    a->NeedConnection = 0;
    EXPECT_EQ(GetNeedConnection(ext), nullptr);
    ReleaseConnectMutex(ext);

    FreeEthernetLists(ext);
    EXPECT_EQ(ext->ConnectionList.Next, nullptr);
    EXPECT_EQ(ext->DeviceList.Next, nullptr);
    EXPECT_EQ(Connection(1), nullptr);
    FreeEthernetLists(ext);  // a second call finds nothing to do
}

TEST_F(Tables, BuildPrintsItsStepsAndKeepsTheHeader)
{
    qv::ClearDbgPrint();
    ASSERT_EQ(Open(MakeRecord(10000, 0x01, 0x0C, {{{192, 168, 0, 10}, 502, 0, {1, 2}}})), STATUS_SUCCESS);
    EXPECT_EQ(ext->EthInfo.delay, 10000);
    EXPECT_EQ(ext->EthInfo.rtsMask, 0x01);
    EXPECT_EQ(ext->EthInfo.dtrMask, 0x0C);

    std::vector<std::string> expected = {"MakeEthernetLists start",
                                         "EthInfo.delay = 10000",
                                         "ip = 192.168.0.10, port = 502",
                                         "MakeDevicesList start",
                                         "id = 1",
                                         "id = 2",
                                         "MakeDevicesList end"};
    EXPECT_EQ(qv::DbgPrintLines(), expected);

    qv::ClearDbgPrint();
    Connection(2);
    AcquireConnectMutex(ext);
    GetNeedConnection(ext);
    ReleaseConnectMutex(ext);
    FreeEthernetLists(ext);
    // The lookups run for every request: their lines are verbose and quiet at the default level.
    expected = {"FreeEthernetLists start", "FreeEthernetLists end"};
    EXPECT_EQ(qv::DbgPrintLines(), expected);
}

TEST_F(Tables, RefusedRecordsBuildNothing)
{
    ext->EthInfo.delay = 77;

    EXPECT_EQ(Open(MakeRecord(1000, 1, 1, {{{10, 0, 0, 1}, 502, 0, {1}}}, 0x0100)), STATUS_DEVICE_CONFIGURATION_ERROR);
    EXPECT_EQ(ext->ConnectionList.Next, nullptr);
    EXPECT_EQ(ext->EthInfo.delay, 77);

    // Entry sizes that do not tile the record: refused whole, even the good entry before them.
    Bytes record = MakeRecord(1000, 0, 0, {{{10, 0, 0, 1}, 502, 0, {1}}, {{10, 0, 0, 2}, 502, 0, {2}}});
    record[10 + 12] = 0;  // second entry's size
    EXPECT_EQ(Open(record), STATUS_DEVICE_CONFIGURATION_ERROR);
    record[10 + 12] = 13;  // one byte past the record
    EXPECT_EQ(Open(record), STATUS_DEVICE_CONFIGURATION_ERROR);
    EXPECT_EQ(ext->ConnectionList.Next, nullptr);
    EXPECT_EQ(ext->DeviceList.Next, nullptr);
    EXPECT_EQ(ext->EthInfo.delay, 77);

    // A header alone opens with no connections.
    EXPECT_EQ(Open(MakeRecord(0, 0, 0, {})), STATUS_SUCCESS);
    EXPECT_EQ(ext->ConnectionList.Next, nullptr);
    EXPECT_EQ(ext->EthInfo.delay, 0);
}

// A record of about a megabyte, 95,000 connections of one id each: the open costs the tables
// and nothing per connection beyond them (no link is up, so no reply buffer exists).
TEST_F(Tables, LargeRecordCostsOnlyItsTables)
{
    constexpr size_t kEntries = 95000;
    std::vector<RecordEntry> entries;
    for (size_t i = 0; i < kEntries; i++)
        entries.push_back({{10, UCHAR(i >> 16), UCHAR(i >> 8), UCHAR(i)}, 502, 0, {UCHAR(i)}});
    Bytes record = MakeRecord(1000, 0, 0, entries);
    ASSERT_GT(record.size(), 1000000u);

    const qv::PoolUsage before = qv::QueryPoolUsageByTag(QUORVEL_TAG);
    ASSERT_EQ(Open(record), STATUS_SUCCESS);
    const qv::PoolUsage after = qv::QueryPoolUsageByTag(QUORVEL_TAG);
    // A connection and its id record take well under 256 bytes; a reply buffer is 4100.
    EXPECT_LE(after.Blocks - before.Blocks, 2 * kEntries);
    EXPECT_LE(after.Bytes - before.Bytes, 256 * kEntries);
    EXPECT_NE(Connection(7), nullptr);
}

TEST_F(Tables, OutOfMemoryLeavesOutOnlyWhatCouldNotBeMade)
{
    // Allocation 1 is the test's copy of the record; 2 the first connection, 3 its first id.
    qv::FailAllocation(3);
    ASSERT_EQ(Open(MakeRecord(0, 0, 0, {{{10, 0, 0, 1}, 502, 0, {1, 2}}})), STATUS_SUCCESS);
    EXPECT_EQ(Connection(1), nullptr);
    EXPECT_NE(Connection(2), nullptr);
}

}  // namespace
