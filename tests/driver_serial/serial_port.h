// A virtual COM port for the serial tests: the driver's serial dispatch routines on a device of
// a test driver, reachable by the file API as "\\.\<name>". Its create, cleanup and close do
// what the driver's own will do for the serial side (open and close the emulated port, cancel
// the handle's requests). Kernel types stay inside serial_port.cpp.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sertest {

struct PortOptions {
    uint8_t RtsMask = 0;  // inputs that follow RTS: 0x01 CTS, 0x02 DSR, 0x04 DCD, 0x08 RING
    uint8_t DtrMask = 0;  // inputs that follow DTR
    // An Ethernet settings record: each open builds the gateway's tables from it and starts the
    // link, as the driver's open does with the stored record (whose masks then apply).
    std::vector<uint8_t> Record;
};

struct Connection {
    uint16_t TcpPort;  // on 127.0.0.1
    bool Raw;
    std::vector<uint8_t> DeviceIds;
};
std::vector<uint8_t> MakeRecord(uint16_t delayMs, uint8_t rtsMask, uint8_t dtrMask,
                                const std::vector<Connection> &connections);

class Port {
public:
    explicit Port(const PortOptions &options = PortOptions());
    ~Port();
    Port(const Port &) = delete;
    Port &operator=(const Port &) = delete;

    // "\\.\QVSERIALn": the name CreateFileW opens.
    const std::u16string &Path() const { return path_; }

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
    std::u16string path_;
    void *device_ = nullptr;    // PDEVICE_OBJECT
    void *pdo_ = nullptr;       // PDEVICE_OBJECT of the port's physical device
    void *link_ = nullptr;      // UNICODE_STRING of the symbolic link
    void *linkText_ = nullptr;  // its characters
    void *hold_ = nullptr;      // the DPC of HoldDpcs while it holds
};

}  // namespace sertest
