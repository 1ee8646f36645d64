// The transport client on its own: socket creation and its failures, the IRP pool, and the
// time limit of a send.

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>

#include <tdikrnl.h>

#include "link_fixture.h"
#include "qv/tdi.h"

namespace {

class TransportClientTest : public linktest::PlatformFixture {
protected:
    PTDI_SOCKET Create(const char16_t *name = u"\\Device\\Tcp")
    {
        RtlInitUnicodeString(&name_, (PCWSTR)name);
        return KivraTdiCreateSocket(&name_);
    }

    // Opens, associates and connects a socket to 127.0.0.1:port.
    NTSTATUS Connect(PTDI_SOCKET socket, USHORT port)
    {
        TA_IP_ADDRESS local{};
        local.TAAddressCount = 1;
        local.Address[0].AddressLength = TDI_ADDRESS_LENGTH_IP;
        local.Address[0].AddressType = TDI_ADDRESS_TYPE_IP;
        NTSTATUS status = KivraTdiOpenAddress(socket, (PTRANSPORT_ADDRESS)&local);
        if (NT_SUCCESS(status)) status = KivraTdiOpenConnection(socket);
        if (NT_SUCCESS(status)) status = KivraTdiAssociateAddress(socket);
        if (!NT_SUCCESS(status)) return status;
        TA_IP_ADDRESS remote = local;
        remote.Address[0].Address[0].sin_port = htons(port);
        remote.Address[0].Address[0].in_addr = htonl(INADDR_LOOPBACK);
        TDI_CONNECTION_INFORMATION information{};
        information.RemoteAddressLength = sizeof(remote);
        information.RemoteAddress = &remote;
        return KivraTdiConnect(socket, &information, nullptr);
    }

    NTSTATUS Send(PTDI_SOCKET socket, std::vector<UCHAR> data)
    {
        PUCHAR buffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, data.size(), QUORVEL_TAG);
        std::copy(data.begin(), data.end(), buffer);
        PMDL mdl = IoAllocateMdl(buffer, ULONG(data.size()), FALSE, FALSE, nullptr);
        MmBuildMdlForNonPagedPool(mdl);
        NTSTATUS status = KivraTdiSend(socket, 0, mdl, ULONG(data.size()));
        IoFreeMdl(mdl);
        ExFreePoolWithTag(buffer, QUORVEL_TAG);
        return status;
    }

    UNICODE_STRING name_;
};

TEST_F(TransportClientTest, CreationFailuresLeaveNothingAllocated)
{
    qv::PoolUsage before = qv::QueryPoolUsage();
    EXPECT_EQ(Create(u"\\Device\\NoSuchTransport"), nullptr);
    EXPECT_EQ(qv::QueryPoolUsage().Blocks, before.Blocks);

    // The fifth IRP of the pool cannot be had: the four made are freed again.
    qv::InjectFault("IoAllocateIrp", 5);
    EXPECT_EQ(Create(), nullptr);
    EXPECT_EQ(qv::QueryPoolUsage().Blocks, before.Blocks);

    // The receive buffer's descriptor cannot be had: the pool and the buffer go again.
    qv::InjectFault("IoAllocateMdl", 1);
    EXPECT_EQ(Create(), nullptr);
    EXPECT_EQ(qv::QueryPoolUsage().Blocks, before.Blocks);

    qv::FailAllocationsWithTag(QUORVEL_TAG, true);
    EXPECT_EQ(Create(), nullptr);
    qv::FailAllocationsWithTag(QUORVEL_TAG, false);

    // A socket whose address never opened closes without a request.
    PTDI_SOCKET socket = Create();
    ASSERT_NE(socket, nullptr);
    EXPECT_EQ(KivraTdiSetEventHandler(socket, TDI_EVENT_RECEIVE, nullptr, nullptr), STATUS_INVALID_PARAMETER);
    KivraTdiCloseSocket(socket);
    EXPECT_EQ(qv::QueryPoolUsage().Blocks, before.Blocks);
}

TEST_F(TransportClientTest, EmptyIrpPoolRefusesTheRequest)
{
    qvtest::ModbusServer server;
    PTDI_SOCKET socket = Create();
    ASSERT_NE(socket, nullptr);
    ASSERT_EQ(Connect(socket, server.Port()), STATUS_SUCCESS);

    // A completion sets the waiter going before it gives its IRP back: let the last one finish.
    ASSERT_TRUE(qvtest::WaitUntil([&] { return ReadUnlocked(&socket->RefCount) == 1; }));

    // Eight requests in flight take the whole pool; a ninth finds it empty.
    std::vector<PSINGLE_LIST_ENTRY> taken;
    for (int i = 0; i < TDI_SOCKET_IRP_COUNT; i++) {
        PSINGLE_LIST_ENTRY entry = ExInterlockedPopEntryList(&socket->IrpPool, &socket->IrpPoolLock);
        ASSERT_NE(entry, nullptr);
        taken.push_back(entry);
    }
    EXPECT_EQ(ExInterlockedPopEntryList(&socket->IrpPool, &socket->IrpPoolLock), nullptr);
    EXPECT_EQ(Send(socket, {1, 2, 3}), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(ReadUnlocked(&socket->RefCount), 1);
    for (PSINGLE_LIST_ENTRY entry : taken) ExInterlockedPushEntryList(&socket->IrpPool, entry, &socket->IrpPoolLock);

    EXPECT_EQ(KivraTdiDisconnect(socket, FALSE, nullptr, nullptr), STATUS_SUCCESS);
    KivraTdiCloseSocket(socket);
}

TEST_F(TransportClientTest, SendIsBoundedByThePortsDelay)
{
    qvtest::ModbusServer server;
    linktest::TestPort port;
    port.Extension()->EthInfo.delay = 100;
    PTDI_SOCKET socket = Create();
    ASSERT_NE(socket, nullptr);
    socket->DeviceObject = port.Device();
    ASSERT_EQ(Connect(socket, server.Port()), STATUS_SUCCESS);

    std::vector<UCHAR> request = {0x01, 0x00, 0x00, 0x00, 0x00, 0x06, 0x01, 0x03, 0x00, 0x00, 0x00, 0x01};
    EXPECT_EQ(Send(socket, request), STATUS_SUCCESS);

    qv::TdiHoldNextSend(60000);
    EXPECT_EQ(Send(socket, request), STATUS_CANCELLED);
    std::vector<std::string> lines = qv::DbgPrintLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Send Time Out"), 1);

    // The cancelled packet went back to the pool in a state fit for the next request.
    EXPECT_NE(KivraTdiDisconnect(socket, TRUE, nullptr, nullptr), STATUS_CANCELLED);
    KivraTdiCloseSocket(socket);
    EXPECT_EQ(server.Requests(), 1);
}

}  // namespace
