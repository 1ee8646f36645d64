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

#include "driver_port.h"
#include "modbus_server.h"
#include "platform_test.h"
#include "quorvel.h"
#include "qv/platform.h"
#include "records.h"

namespace linktest {

using qvtest::AsciiFrame;
using qvtest::MakeRecord;
using qvtest::RtuFrame;

// A booted platform per test, on a state directory of its own; a clean report at the end.
class PlatformFixture : public qvtest::DriverTest {
protected:
    void SetUp() override
    {
        qvtest::DriverTest::SetUp();
        qv::ClearDbgPrint();
    }
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

// One started port of the driver, whose gateway the test opens and closes by the routines the
// driver's open and close run, without a handle. Replies are read from the receive ring; the line
// is set to 8 data bits after each open, as a Modbus master sets it, so binary replies are not
// masked to the default 7.
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

    PDEVICE_OBJECT Device() const { return node_.Device(); }
    PDEVICE_EXTENSION Extension() const { return node_.Extension(); }

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
    qvtest::DriverPort node_;
    bool open_ = false;
};

// The verifier's findings that are violations (warnings left out).
std::vector<std::string> Violations();

}  // namespace linktest
