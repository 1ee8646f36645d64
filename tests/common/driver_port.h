// Ports of the real driver, made the way Plug and Play makes them: the driver's DriverEntry
// registered with the platform, each port a started Ports-class node with a COM name, opened by
// name through the file API. The one port fixture of the driver's tests.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform_test.h"
#include "qv/pnp.h"
#include "qv/win32.h"
#include "qv/win32comm.h"
#include "records.h"

// The driver's extension; tests that look inside the port include quorvel.h themselves.
typedef struct _DEVICE_EXTENSION *PDEVICE_EXTENSION;

namespace qvtest {

// "\\.\COM5" for "COM5".
std::u16string PortPath(const std::string &portName);

// A started port of the driver for as long as the object lives; the node is removed with it.
class DriverPort {
public:
    // `portName` "" takes the lowest free COM name. A non-empty record is stored through a handle
    // of its own before the first open of the test, as the configurator stores one.
    explicit DriverPort(const std::string &portName = "", const Bytes &record = {});
    ~DriverPort();
    DriverPort(const DriverPort &) = delete;
    DriverPort &operator=(const DriverPort &) = delete;

    const std::string &InstanceId() const { return instanceId_; }
    const std::string &Name() const { return name_; }
    std::u16string Path() const { return PortPath(name_); }
    // The driver's device above the node's physical device.
    PDEVICE_OBJECT Device() const;
    PDEVICE_EXTENSION Extension() const;

private:
    std::string instanceId_, name_;
};

// 9600 baud, 8 data bits, no parity, 1 stop bit, as a Modbus master sets the line: binary
// replies are then not masked to the port's default 7 bits. False if the port refused.
bool SetModbusLine(HANDLE file);

// Cancels every request on `file` unless the scope ends within `ms`: a synchronous call that the
// port never ends then fails the test in seconds instead of hanging it.
class IoDeadline {
public:
    IoDeadline(HANDLE file, int ms);
    ~IoDeadline();
    IoDeadline(const IoDeadline &) = delete;
    IoDeadline &operator=(const IoDeadline &) = delete;
    bool Expired() const { return expired_; }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool over_ = false;  // guarded by mutex_
    std::atomic<bool> expired_{false};
    std::thread thread_;
};

// The driver as Plug and Play loads it, on a fresh platform per test, its lock order checked on
// every acquisition.
class DriverTest : public PlatformTest {
protected:
    void SetUp() override;

    // A started port with this name; returns its instance id. The node lives until the platform
    // shuts down or a test removes it.
    std::string AddPort(const std::string &portName);
    HANDLE Open(const std::string &portName, bool overlapped = false);
    // Stores a settings record through a handle of its own (the configurator's way).
    void StoreRecord(const std::string &portName, const Bytes &record);
};

}  // namespace qvtest
