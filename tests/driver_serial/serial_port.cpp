// Kernel side of the serial tests' port: the gateway's delivery and the port's private state,
// read under the port's lock.
#include "serial_port.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <stdexcept>

#include <sched.h>

#include "quorvel.h"
#include "qv/platform.h"

namespace sertest {
namespace {

// The wiring alone, for a port without connections.
std::vector<uint8_t> RecordOf(const PortOptions &options)
{
    if (!options.Record.empty()) return options.Record;
    if (options.RtsMask == 0 && options.DtrMask == 0) return {};
    return MakeRecord(1000, options.RtsMask, options.DtrMask, {});
}

// A DPC that keeps its processor until told to let go.
struct DpcHold {
    KDPC Dpc;
    std::atomic<bool> Running{false};
    std::atomic<bool> Held{true};
};

VOID NTAPI HoldingDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    auto *hold = static_cast<DpcHold *>(context);
    hold->Running = true;
    while (hold->Held) sched_yield();
}

template <typename F>
auto Locked(PDEVICE_EXTENSION extension, F read)
{
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->DeviceLock, &oldIrql);
    auto value = read(extension);
    KeReleaseSpinLock(&extension->DeviceLock, oldIrql);
    return value;
}

}  // namespace

Port::Port(const PortOptions &options) : node_("", RecordOf(options)) {}

Port::~Port() { ReleaseDpcs(); }

void Port::HoldDpcs()
{
    auto *hold = new DpcHold;
    KeInitializeDpc(&hold->Dpc, HoldingDpc, hold);
    hold_ = hold;
    KeInsertQueueDpc(&hold->Dpc, nullptr, nullptr);
    if (!qvtest::WaitUntil([hold] { return hold->Running.load(); })) {
        throw std::runtime_error("the holding DPC never ran");
    }
}

void Port::ReleaseDpcs()
{
    auto *hold = static_cast<DpcHold *>(hold_);
    if (hold == nullptr) return;
    hold->Held = false;
    KeFlushQueuedDpcs();
    delete hold;
    hold_ = nullptr;
}

void Port::Receive(const std::vector<uint8_t> &bytes)
{
    PDEVICE_EXTENSION extension = node_.Extension();
    size_t done = 0;
    while (done < bytes.size()) {
        ULONG chunk = (ULONG)std::min<size_t>(bytes.size() - done, VUART_RX_FIFO_SIZE);
        KIRQL oldIrql;
        KeAcquireSpinLock(&extension->DeviceLock, &oldIrql);
        RtlCopyMemory(extension->Uart.RxFifo, bytes.data() + done, chunk);
        extension->Uart.RxCount = chunk;
        ReceiveCharacters(extension);
        KeReleaseSpinLock(&extension->DeviceLock, oldIrql);
        done += chunk;
    }
}

void Port::Receive(size_t count, uint8_t value) { Receive(std::vector<uint8_t>(count, value)); }

uint32_t Port::RingCount()
{
    return Locked(node_.Extension(), [](PDEVICE_EXTENSION e) { return e->RxRingCount; });
}
uint32_t Port::RingSize()
{
    return Locked(node_.Extension(), [](PDEVICE_EXTENSION e) { return e->RxRingSize; });
}
uint32_t Port::TxQueuedCount()
{
    return Locked(node_.Extension(), [](PDEVICE_EXTENSION e) { return e->TxQueuedCount; });
}
uint8_t Port::ModemControl()
{
    return Locked(node_.Extension(), [](PDEVICE_EXTENSION e) { return e->Uart.Mcr; });
}
uint8_t Port::ModemStatusRegister()
{
    return Locked(node_.Extension(), [](PDEVICE_EXTENSION e) { return e->Uart.Msr; });
}
bool Port::PortOpen()
{
    return Locked(node_.Extension(), [](PDEVICE_EXTENSION e) { return e->PortOpen != FALSE; });
}
bool Port::WaitPending()
{
    return Locked(node_.Extension(), [](PDEVICE_EXTENSION e) { return e->WaitIrp != nullptr; });
}
bool Port::XoffCounterPending()
{
    return Locked(node_.Extension(), [](PDEVICE_EXTENSION e) { return e->XoffCounterIrp != nullptr; });
}
int Port::OpenCount() const { return (int)InterlockedCompareExchange(&node_.Extension()->OpenCount, 0, 0); }

}  // namespace sertest
