// Test support for the network link: a booted platform per test, real Modbus servers on
// 127.0.0.1 (libmodbus in-process, pymodbus as a child process), and a port whose replies the
// tests read from its receive ring, as an application finds them.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform_test.h"
#include "quorvel.h"
#include "qv/platform.h"

namespace linktest {

// A booted platform per test, on a state directory of its own; a clean report at the end.
class PlatformFixture : public qvtest::PlatformTest {
protected:
    void SetUp() override
    {
        qvtest::PlatformTest::SetUp();
        qv::ClearDbgPrint();
    }
};

// A libmodbus Modbus TCP server on 127.0.0.1 in a thread of its own. Holding register i holds
// 0x2A + i. One client at a time; with CloseAfterReply the server closes each connection
// after its first reply.
class LibmodbusServer {
public:
    explicit LibmodbusServer(bool closeAfterReply = false);
    ~LibmodbusServer();
    LibmodbusServer(const LibmodbusServer &) = delete;
    LibmodbusServer &operator=(const LibmodbusServer &) = delete;

    USHORT Port() const { return port_; }
    int Requests() const { return requests_.load(); }
    int Connections() const { return connections_.load(); }
    // Raw bytes of every request received, in order.
    std::vector<std::vector<UCHAR>> RequestLog();

private:
    void Serve();

    void *context_ = nullptr;  // modbus_t
    void *mapping_ = nullptr;  // modbus_mapping_t
    int listenFd_ = -1;
    USHORT port_ = 0;
    bool closeAfterReply_;
    std::atomic<bool> stop_{false};
    std::atomic<int> requests_{0}, connections_{0};
    std::mutex mutex_;
    int clientFd_ = -1;                    // guarded by mutex_
    std::vector<std::vector<UCHAR>> log_;  // guarded by mutex_
    std::thread thread_;
};

// The pymodbus peer (modbus_peer.py) as a child process: "tcp" for Modbus TCP, "rtu" for RTU
// frames over TCP.
class PymodbusServer {
public:
    explicit PymodbusServer(const char *framer);
    ~PymodbusServer();
    PymodbusServer(const PymodbusServer &) = delete;
    PymodbusServer &operator=(const PymodbusServer &) = delete;
    USHORT Port() const { return port_; }

private:
    int pid_ = -1;
    int stdinFd_ = -1;
    USHORT port_ = 0;
};

// A closed port that is never listened on: connects to it are refused.
USHORT UnusedPort();

struct ConnectionEntry {
    USHORT Port;
    bool Raw;
    std::vector<UCHAR> DeviceIds;
};

// The Ethernet settings record for connections to 127.0.0.1.
std::vector<UCHAR> MakeRecord(USHORT delayMs, const std::vector<ConnectionEntry> &connections);

// One port: a device object with its extension set up as add-device and device start leave it
// (serial core, gateway, serial defaults, the UART), opened and closed as the driver's open and
// close do. Replies are read from the receive ring; the line is set to 8 data bits after each
// open, as a Modbus master sets it, so binary replies are not masked to the default 7.
class TestPort {
public:
    TestPort();
    ~TestPort();
    TestPort(const TestPort &) = delete;
    TestPort &operator=(const TestPort &) = delete;

    // Builds the tables from the record, allocates the receive ring, starts the link and opens
    // the emulated port, as the first open does.
    NTSTATUS Open(const std::vector<UCHAR> &record);
    // Stops the link, frees the tables and closes the emulated port, as close does.
    void Close();

    PDEVICE_OBJECT Device() const { return device_; }
    PDEVICE_EXTENSION Extension() const { return (PDEVICE_EXTENSION)device_->DeviceExtension; }

    // What a write of `frame` hands the gateway.
    NTSTATUS Write(const std::vector<UCHAR> &frame);
    // Everything in the receive ring once something has arrived (a reply is stored whole under
    // DeviceLock); empty after `timeoutMs` without anything.
    std::vector<UCHAR> Reply(int timeoutMs = 10000);
    // Characters waiting in the receive ring.
    size_t BytesWaiting();
    // Connection for a device id (as the gateway finds it).
    PETH_CONNECTION ConnectionOf(UCHAR deviceId);
    // Waits until the connection thread has finished its turn (writes find ConnectMutex free).
    void Settle();
    // Whether the connection's link is up, read under ConnectMutex.
    bool LinkUp(PETH_CONNECTION connection);
    // Waits until the connection's link is up or down, as asked; false on time-out.
    bool WaitLink(PETH_CONNECTION connection, bool up, int timeoutMs = 10000);

private:
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    bool open_ = false;
    bool started_ = false;  // the UART exists
};

// The verifier's findings that are violations (warnings left out).
std::vector<std::string> Violations();

// Frames of the tests.
std::vector<UCHAR> RtuFrame(std::vector<UCHAR> content);           // content + CRC
std::vector<UCHAR> AsciiFrame(const std::vector<UCHAR> &content);  // ":" hex LRC CR LF

}  // namespace linktest
