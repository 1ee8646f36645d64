// A port of the real driver for the serial tests, with the state the file API cannot see and a
// way to play the gateway's part (a reply arriving). Kernel types stay inside serial_port.cpp.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "driver_port.h"

namespace sertest {

using qvtest::MakeRecord;

struct PortOptions {
    uint8_t RtsMask = 0;  // inputs that follow RTS: 0x01 CTS, 0x02 DSR, 0x04 DCD, 0x08 RING
    uint8_t DtrMask = 0;  // inputs that follow DTR
    // The stored settings record; when given, its masks apply instead of the two above.
    std::vector<uint8_t> Record;
};

class Port {
public:
    explicit Port(const PortOptions &options = PortOptions());
    ~Port();
    Port(const Port &) = delete;
    Port &operator=(const Port &) = delete;

    // "\\.\COMn": the name CreateFileW opens.
    std::u16string Path() const { return node_.Path(); }

    // A reply as the gateway delivers it: into the UART's receive FIFO and through the receive
    // step, under the port's lock, as the transport's receive indication does.
    void Receive(const std::vector<uint8_t> &bytes);
    void Receive(size_t count, uint8_t value);

    // Occupies the platform's DPC thread until ReleaseDpcs, so that DPCs queued meanwhile wait
    // behind it (all of them, on a platform with one processor).
    void HoldDpcs();
    void ReleaseDpcs();

    // State the file API cannot see.
    uint32_t RingCount();
    uint32_t RingSize();
    uint32_t TxQueuedCount();
    uint8_t ModemControl();
    uint8_t ModemStatusRegister();  // without consuming the change bits
    bool PortOpen();
    bool WaitPending();
    bool XoffCounterPending();
    int OpenCount() const;

private:
    qvtest::DriverPort node_;
    void *hold_ = nullptr;  // the DPC of HoldDpcs while it holds
};

}  // namespace sertest
