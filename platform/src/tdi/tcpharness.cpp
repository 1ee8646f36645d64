// Harness side of the transport: settings, test switches and the endpoint listing.
#include <arpa/inet.h>

#include <cstdio>

#include "tcp.h"

namespace qv {

TdiSettings TdiGetSettings()
{
    std::lock_guard<RecordLock> guard(tcp::Tcp().Lock);
    return tcp::Tcp().Settings;
}

NTSTATUS TdiSetSettings(const TdiSettings &settings)
{
    if (settings.ConnectTimeoutMs == 0 || settings.IndicationSize == 0 || settings.IndicationSize > 65535)
        return STATUS_INVALID_PARAMETER;
    std::lock_guard<RecordLock> guard(tcp::Tcp().Lock);
    tcp::Tcp().Settings = settings;
    return STATUS_SUCCESS;
}

void TdiSplitNextReceive(const std::vector<ULONG> &offsets)
{
    std::lock_guard<RecordLock> guard(tcp::Tcp().Lock);
    tcp::Tcp().Switch.SplitOffsets = offsets;
    tcp::Tcp().Switch.SplitArmed = !offsets.empty();
}

void TdiMergeNextReceives(ULONG blocks)
{
    std::lock_guard<RecordLock> guard(tcp::Tcp().Lock);
    tcp::Tcp().Switch.MergeBlocks = blocks > 1 ? blocks : 0;
}

void TdiHoldNextSend(ULONG ms)
{
    std::lock_guard<RecordLock> guard(tcp::Tcp().Lock);
    tcp::Tcp().Switch.SendHoldArmed = true;
    tcp::Tcp().Switch.SendHoldMs = ms;
}

void TdiHoldNextConnect(ULONG ms, NTSTATUS result)
{
    std::lock_guard<RecordLock> guard(tcp::Tcp().Lock);
    tcp::Tcp().Switch.ConnectHoldArmed = true;
    tcp::Tcp().Switch.ConnectHoldMs = ms;
    tcp::Tcp().Switch.ConnectHoldResult = result;
}

void TdiFailNextConnect(NTSTATUS status)
{
    // A failure that never reaches the network is a hold of no time.
    TdiHoldNextConnect(0, NT_SUCCESS(status) ? STATUS_CONNECTION_REFUSED : status);
}

void TdiResetSwitches()
{
    std::lock_guard<RecordLock> guard(tcp::Tcp().Lock);
    tcp::Tcp().Switch = tcp::Switches{};
}

const char *TdiEndpointStateName(TdiEndpointState state)
{
    switch (state) {
    case TdiEndpointState::Idle: return "idle";
    case TdiEndpointState::Connecting: return "connecting";
    case TdiEndpointState::Connected: return "connected";
    case TdiEndpointState::Closing: return "closing";
    }
    return "?";
}

std::string TdiEndpointInfo::Text() const
{
    auto dotted = [](ULONG address, USHORT port) {
        char text[32];
        snprintf(text, sizeof(text), "%u.%u.%u.%u:%u", (unsigned)(address >> 24) & 0xFF,
                 (unsigned)(address >> 16) & 0xFF, (unsigned)(address >> 8) & 0xFF, (unsigned)address & 0xFF,
                 (unsigned)port);
        return std::string(text);
    };
    char owner[32];
    snprintf(owner, sizeof(owner), "owner %p ", (void *)Owner);
    return std::string(owner) + dotted(LocalAddress, LocalPort) + " -> " + dotted(RemoteAddress, RemotePort) + " " +
           TdiEndpointStateName(State);
}

std::vector<TdiEndpointInfo> TdiListEndpoints()
{
    using tcp::EndpointState;
    std::vector<TdiEndpointInfo> list;
    std::lock_guard<RecordLock> guard(tcp::Tcp().Lock);
    for (auto &entry : tcp::Tcp().Endpoints) {
        const tcp::Endpoint *ep = entry.second;
        TdiEndpointInfo info;
        info.Owner = ep->Owner;
        if (ep->Local.sin_family == AF_INET) {
            info.LocalAddress = ntohl(ep->Local.sin_addr.s_addr);
            info.LocalPort = ntohs(ep->Local.sin_port);
        } else if (ep->Address != nullptr) {
            info.LocalAddress = ntohl(ep->Address->LocalAddress);
            info.LocalPort = ntohs(ep->Address->LocalPort);
        }
        if (ep->Remote.sin_family == AF_INET) {
            info.RemoteAddress = ntohl(ep->Remote.sin_addr.s_addr);
            info.RemotePort = ntohs(ep->Remote.sin_port);
        }
        switch (ep->State) {
        case EndpointState::Open: info.State = TdiEndpointState::Idle; break;
        case EndpointState::Connecting: info.State = TdiEndpointState::Connecting; break;
        case EndpointState::Connected:
            info.State = ep->PeerClosed ? TdiEndpointState::Closing : TdiEndpointState::Connected;
            break;
        case EndpointState::Disconnected: info.State = TdiEndpointState::Closing; break;
        }
        list.push_back(info);
    }
    return list;
}

}  // namespace qv
