// TDI Plug and Play registration: what a client hears, and when it stops hearing.
#include <arpa/inet.h>

#include <mutex>
#include <vector>

#include "platform_test.h"
#include "tdikrnl.h"

namespace {

struct Heard {
    std::vector<TDI_PNP_OPCODE> Bindings;
    std::vector<ULONG> Addresses;  // network byte order
    std::vector<KIRQL> Irqls;
    std::vector<std::u16string> Devices;
};
Heard *heard = nullptr;
HANDLE registeredHandle = nullptr;
bool deregisterFromHandler = false;

void OnBinding(TDI_PNP_OPCODE opcode, PUNICODE_STRING device, PWSTR)
{
    heard->Bindings.push_back(opcode);
    heard->Irqls.push_back(KeGetCurrentIrql());
}

void OnAddAddress(PTA_ADDRESS address, PUNICODE_STRING device, PTDI_PNP_CONTEXT)
{
    heard->Irqls.push_back(KeGetCurrentIrql());
    heard->Devices.emplace_back(device->Buffer, device->Length / sizeof(WCHAR));
    ASSERT_EQ(address->AddressType, TDI_ADDRESS_TYPE_IP);
    ASSERT_EQ(address->AddressLength, TDI_ADDRESS_LENGTH_IP);
    ULONG in = reinterpret_cast<PTDI_ADDRESS_IP>(address->Address)->in_addr;  // packed: copied out
    heard->Addresses.push_back(in);
    if (deregisterFromHandler) {
        deregisterFromHandler = false;
        EXPECT_EQ(TdiDeregisterPnPHandlers(registeredHandle), STATUS_SUCCESS);
    }
}

NTSTATUS OnPower(PUNICODE_STRING, PNET_PNP_EVENT, PTDI_PNP_CONTEXT, PTDI_PNP_CONTEXT) { return STATUS_SUCCESS; }

TDI_CLIENT_INTERFACE_INFO ClientInfo(PUNICODE_STRING name)
{
    TDI_CLIENT_INTERFACE_INFO info{};
    info.MajorTdiVersion = 2;
    info.MinorTdiVersion = 0;
    info.ClientName = name;
    info.PnPPowerHandler = OnPower;
    info.BindingHandler = OnBinding;
    info.AddAddressHandlerV2 = OnAddAddress;
    return info;
}

class TdiPnpTest : public qvtest::PlatformTest {
protected:
    void SetUp() override
    {
        qvtest::PlatformTest::SetUp();
        heard = &heard_;
        RtlInitUnicodeString(&name_, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Quorvel");
    }
    void TearDown() override
    {
        heard = nullptr;
        qvtest::PlatformTest::TearDown();
    }
    Heard heard_;
    UNICODE_STRING name_;
};

TEST_F(TdiPnpTest, RegisteredClientHearsTheBindingAndEveryAddressLoopbackFirst)
{
    TDI_CLIENT_INTERFACE_INFO info = ClientInfo(&name_);
    HANDLE handle = nullptr;
    ASSERT_EQ(TdiRegisterPnPHandlers(&info, sizeof(info), &handle), STATUS_SUCCESS);
    ASSERT_NE(handle, nullptr);
    ASSERT_FALSE(heard_.Addresses.empty());
    EXPECT_EQ(heard_.Addresses[0], htonl(INADDR_LOOPBACK));
    std::vector<ULONG> sorted = heard_.Addresses;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end()) << "each address once";
    EXPECT_EQ(heard_.Bindings, (std::vector<TDI_PNP_OPCODE>{TDI_PNP_OP_ADD, TDI_PNP_OP_NETREADY}));
    for (KIRQL irql : heard_.Irqls) EXPECT_EQ(irql, PASSIVE_LEVEL);
    for (const std::u16string &device : heard_.Devices) EXPECT_EQ(device, u"\\Device\\Tcp");

    EXPECT_EQ(TdiDeregisterPnPHandlers(handle), STATUS_SUCCESS);
    EXPECT_EQ(TdiDeregisterPnPHandlers(handle), STATUS_INVALID_PARAMETER);
}

TEST_F(TdiPnpTest, RefusedRegistrationsLeaveNothingBehind)
{
    TDI_CLIENT_INTERFACE_INFO info = ClientInfo(&name_);
    HANDLE handle = nullptr;
    EXPECT_EQ(TdiRegisterPnPHandlers(&info, sizeof(info) - 1, &handle), STATUS_INVALID_PARAMETER);
    info.MajorTdiVersion = 3;
    EXPECT_EQ(TdiRegisterPnPHandlers(&info, sizeof(info), &handle), STATUS_NOT_SUPPORTED);
    info.MajorTdiVersion = 2;
    qv::InjectFault("TdiRegisterPnPHandlers", 1);
    EXPECT_EQ(TdiRegisterPnPHandlers(&info, sizeof(info), &handle), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(heard_.Addresses.empty());
    EXPECT_TRUE(heard_.Bindings.empty());
}

TEST_F(TdiPnpTest, ClientThatDeregistersFromItsHandlerHearsNoMore)
{
    TDI_CLIENT_INTERFACE_INFO info = ClientInfo(&name_);
    deregisterFromHandler = true;
    ASSERT_EQ(TdiRegisterPnPHandlers(&info, sizeof(info), &registeredHandle), STATUS_SUCCESS);
    EXPECT_EQ(heard_.Addresses.size(), 1u);
    EXPECT_EQ(heard_.Bindings, std::vector<TDI_PNP_OPCODE>{TDI_PNP_OP_ADD});
}

TEST_F(TdiPnpTest, RegistrationLeftOpenIsReportedAtShutdown)
{
    TDI_CLIENT_INTERFACE_INFO info = ClientInfo(&name_);
    HANDLE handle = nullptr;
    ASSERT_EQ(TdiRegisterPnPHandlers(&info, sizeof(info), &handle), STATUS_SUCCESS);
    qv::PlatformReport report = Shutdown();
    EXPECT_FALSE(report.Clean());
    EXPECT_NE(report.Text().find("Plug and Play registration"), std::string::npos) << report.Text();
}

}  // namespace
