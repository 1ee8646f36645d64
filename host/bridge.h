// The pseudo-terminal bridge of one port: a program that opens <dev-dir>/COMn gets the port
// opened for it (CreateFileW on \\.\COMn, single-open rule and all), its terminal settings applied
// to the port, its writes forwarded frame by frame and the port's replies written back. When the
// program closes the terminal the bridge closes the port.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "framing.h"
#include "lineconfig.h"
#include "qv/win32comm.h"
#include "readrelay.h"

namespace quorvel {

using LogFunction = std::function<void(const std::string &)>;

// Who may open the terminals: their group (-1 keeps the system's) and mode bits.
struct PtyAccess {
    gid_t group = gid_t(-1);
    mode_t mode = 0660;
};

class PortBridge {
public:
    PortBridge(std::string portName, std::string devDir, PtyAccess access, LogFunction log);
    ~PortBridge();
    PortBridge(const PortBridge &) = delete;
    PortBridge &operator=(const PortBridge &) = delete;

    // Creates the pseudo-terminal and the link <dev-dir>/<port name> and starts serving. A file at
    // the link's place that is not a link this host's user made to a terminal is left alone and
    // refused.
    bool Start(std::string *error);
    // Closes the port if open (pending bytes are written first), removes the link, ends the
    // pseudo-terminal.
    void Stop();

    const std::string &PortName() const { return portName_; }
    const std::string &PtyPath() const { return ptyPath_; }
    const std::string &LinkPath() const { return linkPath_; }
    // A program holds the terminal and the bridge holds the port for it.
    bool InUse() const { return portOpen_.load(); }
    // A program that has just closed the terminal leaves the port open until the bridge thread
    // sees the hang-up; waits up to `bound` for that close. False while a program still holds it.
    bool WaitUntilReleased(std::chrono::milliseconds bound);

    // Runs `use` with the bridge's own open handle while a program holds the port; false (and
    // `use` not run) when the port is not open.
    bool WithOpenHandle(const std::function<void(HANDLE)> &use);

private:
    void Run();
    bool ProgramHoldsTerminal();
    bool OpenPort();
    void ClosePort();
    void ApplyLineSettings(bool force);
    // Reads what the program wrote, at most kDrainLimit bytes at a time.
    enum class Drain { Empty, More, HungUp };
    Drain DrainTerminal();
    void ForwardRestAndClose();
    void Forward(bool all);
    // Logs when the assembler starts and stops dropping an over-long run of bytes.
    void NoteDropping();
    void WriteToPort(const std::vector<std::uint8_t> &bytes);

    std::string portName_, devDir_, linkPath_, ptyPath_;
    bool linkMade_ = false;  // Start made the link; Stop removes it
    PtyAccess access_;
    LogFunction log_;
    int master_ = -1;
    int inotify_ = -1;
    int wake_ = -1;  // eventfd: Stop() and the read relay wake the bridge thread
    std::thread thread_;
    std::atomic<bool> stopping_{false};

    // The port handle: opened and closed only by the bridge thread; handleLock_ keeps it valid
    // for WithOpenHandle callers on other threads.
    std::mutex handleLock_;
    HANDLE port_ = nullptr;
    std::atomic<bool> portOpen_{false};
    std::condition_variable closedCv_;  // with handleLock_: portOpen_ became false, the handle closed
    PortReadRelay relay_;  // the port's replies to the terminal while the port is open
    // The bridge thread's: the relay asked to be serviced (its wake, a writable terminal), wants
    // the terminal writable, or wants its service again at relayDue_ (µs, steady clock).
    bool serviceRelay_ = false;
    bool relayWritable_ = false;
    std::uint64_t relayDue_ = UINT64_MAX;

    LineConfig applied_;
    WriteAssembler assembler_;
    bool droppingLogged_ = false;
    std::uint64_t droppedBefore_ = 0;
    bool openFailedLogged_ = false;
};

}  // namespace quorvel
