// TDI Plug and Play registration: clients hear of the TCP transport's binding and of the host's
// IPv4 addresses. The transport is always bound, so every client is told at registration, in
// its own thread at PASSIVE_LEVEL: binding added, each address (loopback first), network ready.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <algorithm>
#include <mutex>
#include <unordered_set>
#include <vector>

#include "qv/platform.h"
#include "tcp.h"
#include "verifier.h"

namespace qv::tcp {
namespace {

struct Registration {
    TDI_CLIENT_INTERFACE_INFO Info;
};

struct Registrations {
    // Held while a client is notified and while one deregisters, so that no notification
    // reaches a client after its deregistration returns. Recursive: a handler may deregister.
    std::recursive_mutex Lock;
    std::unordered_set<Registration *> Live;
};

Registrations &Clients()
{
    static Registrations registrations;
    return registrations;
}

// IPv4 addresses of this host in network byte order, loopback first, each once.
std::vector<ULONG> HostAddresses()
{
    std::vector<ULONG> list{htonl(INADDR_LOOPBACK)};
    ifaddrs *interfaces = nullptr;
    if (getifaddrs(&interfaces) == 0) {
        for (ifaddrs *i = interfaces; i != nullptr; i = i->ifa_next) {
            if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
            ULONG a = reinterpret_cast<sockaddr_in *>(i->ifa_addr)->sin_addr.s_addr;
            if (std::find(list.begin(), list.end(), a) == list.end()) list.push_back(a);
        }
        freeifaddrs(interfaces);
    }
    return list;
}

// Lock held. Each notification first checks that the client is still registered: a handler
// may have deregistered it.
void Notify(Registration *registration, const TDI_CLIENT_INTERFACE_INFO &info)
{
    auto live = [registration] { return Clients().Live.count(registration) != 0; };
    UNICODE_STRING device, none;
    RtlInitUnicodeString(&device, TransportDeviceName());
    RtlInitUnicodeString(&none, u"");
    const bool v2 = info.MajorTdiVersion >= 2;
    if (v2 && info.BindingHandler != nullptr && live()) info.BindingHandler(TDI_PNP_OP_ADD, &device, nullptr);
    for (ULONG a : HostAddresses()) {
#pragma pack(push, 1)
        struct {
            USHORT AddressLength;
            USHORT AddressType;
            TDI_ADDRESS_IP Ip;
        } entry{};
#pragma pack(pop)
        entry.AddressLength = TDI_ADDRESS_LENGTH_IP;
        entry.AddressType = TDI_ADDRESS_TYPE_IP;
        entry.Ip.in_addr = a;
        auto *address = reinterpret_cast<PTA_ADDRESS>(&entry);
        if (!live()) return;
        if (v2 && info.AddAddressHandlerV2 != nullptr)
            info.AddAddressHandlerV2(address, &device, nullptr);
        else if (!v2 && info.AddAddressHandler != nullptr)
            info.AddAddressHandler(address);
    }
    if (v2 && info.BindingHandler != nullptr && live()) info.BindingHandler(TDI_PNP_OP_NETREADY, &none, nullptr);
}

}  // namespace

// Registrations left at shutdown are the client's leak.
void PnpRegistrationsShutdown(std::vector<std::string> &leaks)
{
    std::lock_guard<std::recursive_mutex> guard(Clients().Lock);
    for (Registration *r : Clients().Live) {
        leaks.push_back("tdi: Plug and Play registration still open");
        delete r;
    }
    Clients().Live.clear();
}

}  // namespace qv::tcp

using namespace qv::tcp;

NTSTATUS TdiRegisterPnPHandlers(PTDI_CLIENT_INTERFACE_INFO ClientInterfaceInfo, ULONG InterfaceInfoSize,
                                HANDLE *BindingHandle)
{
    QV_VERIFY_IRQL("TdiRegisterPnPHandlers");
    if (ClientInterfaceInfo == nullptr || BindingHandle == nullptr ||
        InterfaceInfoSize < sizeof(TDI_CLIENT_INTERFACE_INFO))
        return STATUS_INVALID_PARAMETER;
    if (ClientInterfaceInfo->MajorTdiVersion != 1 && ClientInterfaceInfo->MajorTdiVersion != 2)
        return STATUS_NOT_SUPPORTED;
    if (qv::ShouldInjectFault("TdiRegisterPnPHandlers")) return STATUS_INSUFFICIENT_RESOURCES;
    auto *registration = new Registration{*ClientInterfaceInfo};
    std::lock_guard<std::recursive_mutex> guard(Clients().Lock);
    Clients().Live.insert(registration);
    *BindingHandle = registration;
    TDI_CLIENT_INTERFACE_INFO info = registration->Info;  // a handler may deregister
    Notify(registration, info);
    return STATUS_SUCCESS;
}

NTSTATUS TdiDeregisterPnPHandlers(HANDLE BindingHandle)
{
    QV_VERIFY_IRQL("TdiDeregisterPnPHandlers");
    std::lock_guard<std::recursive_mutex> guard(Clients().Lock);
    auto *registration = static_cast<Registration *>(BindingHandle);
    if (Clients().Live.erase(registration) == 0) return STATUS_INVALID_PARAMETER;
    delete registration;
    return STATUS_SUCCESS;
}
