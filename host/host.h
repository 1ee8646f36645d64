// quorvel-host's core: the platform booted on a state directory, the driver loaded, one bridge per
// started port, and the operations that the control socket serves.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// The shared Windows constants first: the platform's headers define the same names as macros.
#include "common/controlproto.h"
#include "hostproto.h"

#include "bridge.h"
#include "metrics.h"

namespace quorvel {

struct HostOptions {
    std::string stateDir;
    std::string devDir;
    bool debug = false;
    PtyAccess ptyAccess;  // group and mode of every port's terminal
};

class Host {
public:
    Host(HostOptions options, LogFunction log);
    ~Host();

    // Boots the platform, loads the driver, starts every stored port and its bridge.
    bool Start(std::string *error);
    // Stops the bridges (ports closed), then the platform.
    void Stop();

    // Answers one request body of the control socket with one response frame. `clientGone`, when
    // given, tells whether the client has hung up: a port request of its is then cancelled.
    ctl::Bytes Handle(const ctl::Bytes &body, std::uint64_t session, const std::function<bool()> &clientGone = {});
    // Frees the device sets of a session that ended.
    void EndSession(std::uint64_t session);
    // Whether a session holds device sets, which a closed connection would lose.
    bool SessionHoldsSets(std::uint64_t session);
    // Cancels port requests in progress and refuses new ones: the host is stopping.
    void BeginShutdown();

    // For the demo: creates a port (name "" = the lowest free one).
    Win32Error AddPort(const std::string &name, std::string *created);
    std::vector<hostctl::PortEntry> Ports();
    const HostOptions &options() const { return options_; }
    // The counters of every port, read through the bridge of each port a program holds; a port
    // nobody holds is not opened for them.
    std::vector<PortMetrics> Metrics();

private:
    struct Session;
    Win32Error PortIoControl(const ctl::PortIoControlRequest &req, ctl::PortIoControlResponse *resp,
                             const std::function<bool()> &clientGone);
    Win32Error InstallDevice(const ctl::InstallDeviceRequest &req);
    Win32Error RemoveInstance(const std::string &instanceId);
    Win32Error RemovePort(const std::string &name);
    Win32Error PortStatus(const std::string &name, hostctl::PortStatusReply *reply);
    Win32Error InstallFilterService(const ctl::InstallFilterServiceRequest &req, std::u16string *service);
    Win32Error OpenPortMonitor(const std::string &name, std::uint64_t session, std::uint32_t *id);
    Win32Error ReadPortMonitor(std::uint64_t session, std::uint32_t id, ctl::Bytes *events,
                               const std::function<bool()> &clientGone);
    // The store writes that failed since `before` make the operation a failure: its change was
    // not saved. Logs the store's reason.
    Win32Error StoreOutcome(unsigned long long before, Win32Error error);
    void StartBridge(const std::string &portName);
    // Gives a bridge whose program has just closed the terminal a moment to close the port, so
    // that an operation right after the program exits does not find the port in use.
    void SettleJustClosedPort(const std::string &portName);
    std::string InstanceOfDevInst(std::uint32_t devInst);
    // Logs link up/down from the transport's endpoint listing, and keeps the DbgPrint capture
    // from growing when nobody reads it.
    void Monitor();
    std::uint32_t DevInstOf(const std::string &instanceId);

    template <class Req, class Resp, class Fn>
    ctl::Bytes Serve(const ctl::Bytes &body, Fn fn);

    HostOptions options_;
    LogFunction log_;
    bool booted_ = false;
    // One platform operation at a time, as Plug and Play runs them; bridges_ changes under it.
    std::recursive_mutex lock_;
    std::map<std::string, std::shared_ptr<PortBridge>> bridges_;  // by upper-case port name
    std::map<std::string, std::uint32_t> devInsts_;               // instance id -> device instance number
    std::uint32_t nextDevInst_ = 1;
    std::map<std::uint64_t, std::map<std::uint64_t, std::vector<std::string>>> sets_;  // session -> set -> ids
    std::uint64_t nextSet_ = 1;

    std::atomic<bool> stopping_{false};
    std::atomic<unsigned long long> loggedStoreFailures_{0};

    std::thread monitor_;
    std::mutex monitorLock_;
    std::condition_variable monitorWake_;
    bool monitorStop_ = false;                       // guarded by monitorLock_
    std::map<std::string, std::string> linkStates_;  // "COM1 127.0.0.1:502" -> state; monitor thread only

    // Port monitors' handles by session and id; a session's are closed when it ends.
    std::mutex portMonitorLock_;
    std::map<std::uint64_t, std::map<std::uint32_t, HANDLE>> portMonitors_;
    std::uint32_t nextPortMonitor_ = 1;
};

}  // namespace quorvel
