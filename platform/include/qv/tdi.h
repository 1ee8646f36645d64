// Harness side of the TCP transport "\Device\Tcp": its settings, the switches with which tests
// bend its timing and its receive blocks, and the listing of open connection endpoints.
// Used by tests and by quorvel-host; the driver never includes it.
#pragma once

#include <string>
#include <vector>

#include "wdm.h"

namespace qv {

// Settings; they apply to requests that start after the call and survive reboots.
struct TdiSettings {
    // A connect that has neither succeeded nor failed after this long fails with
    // STATUS_IO_TIMEOUT. Measured on the platform clock (virtual when it is in use).
    ULONG ConnectTimeoutMs = 5000;
    // Largest BytesIndicated of one receive indication (1 to 65535). Below what has arrived, the
    // handler is shown part of it (BytesIndicated < BytesAvailable), as a real transport may.
    ULONG IndicationSize = 4096;
};
TdiSettings TdiGetSettings();
// Refuses values out of range with STATUS_INVALID_PARAMETER.
NTSTATUS TdiSetSettings(const TdiSettings &settings);

// Test switches. Each applies once, to the next matching event on any endpoint, and is
// forgotten at shutdown or by TdiResetSwitches.
//
// The next block of received data (one read from the socket) is indicated in pieces that start
// at the given offsets (strictly increasing, each above 0); each piece is only indicated once
// the one before it has been, as if it had arrived separately.
void TdiSplitNextReceive(const std::vector<ULONG> &offsets);
// The next `blocks` received blocks are held back and indicated together.
void TdiMergeNextReceives(ULONG blocks);
// The next send stays pending for `ms` before it reaches the socket (it can be cancelled).
void TdiHoldNextSend(ULONG ms);
// The next connect stays pending for `ms`; then, if `result` is STATUS_SUCCESS, it connects
// for real, else it fails with `result`.
void TdiHoldNextConnect(ULONG ms, NTSTATUS result);
// The next connect fails with `status` (a failure code) without reaching the network.
void TdiFailNextConnect(NTSTATUS status);
void TdiResetSwitches();

// Open connection endpoints, for the host's status command.
enum class TdiEndpointState {
    Idle,        // not connected: opened, associated, or after a failed connect
    Connecting,  // a connect is pending
    Connected,
    Closing,  // disconnected by either side, or being closed
};
const char *TdiEndpointStateName(TdiEndpointState state);  // "idle", "connecting", ...

struct TdiEndpointInfo {
    // Device object on whose behalf the endpoint was opened: the device whose dispatch
    // routine, work item or system thread opened it; NULL when opened from elsewhere.
    PDEVICE_OBJECT Owner = nullptr;
    ULONG LocalAddress = 0;   // IPv4, host byte order; 0 before the socket is bound
    USHORT LocalPort = 0;     // host byte order
    ULONG RemoteAddress = 0;  // IPv4, host byte order; 0 before a connect
    USHORT RemotePort = 0;
    TdiEndpointState State = TdiEndpointState::Idle;
    std::string Text() const;  // "owner 0x... 127.0.0.1:40000 -> 127.0.0.1:502 connected"
};
std::vector<TdiEndpointInfo> TdiListEndpoints();

}  // namespace qv
