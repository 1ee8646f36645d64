// quorvel-host --metrics: the gateway counters of the ports that programs hold, served over HTTP
// in the Prometheus text format. Only GET is answered; one request per connection.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/counters.h"

namespace quorvel {

struct PortMetrics {
    std::string port;
    bool open = false;      // a program holds it: the counters count since it opened the port
    PortCounters counters;  // empty unless open
};

// The exposition text of the ports' counters, one series per port and per link.
std::string FormatMetrics(const std::vector<PortMetrics> &ports);

// "PORT" (loopback), "ADDRESS:PORT" or "[V6ADDRESS]:PORT" into a host and a port. False with an
// error for anything else.
bool ParseMetricsAddress(const std::string &text, std::string *host, std::string *port, std::string *error);

class MetricsServer {
public:
    using Collect = std::function<std::vector<PortMetrics>()>;
    using Log = std::function<void(const std::string &)>;
    MetricsServer(std::string host, std::string port, Collect collect, Log log);
    ~MetricsServer();
    // Binds and listens; the bound address is logged (and kept for port 0).
    bool Start(std::string *error);
    void Stop();
    int BoundPort() const { return boundPort_; }

private:
    void Run();
    void Serve(int fd);

    std::string host_, port_;
    Collect collect_;
    Log log_;
    int listener_ = -1;
    int wake_ = -1;
    int boundPort_ = 0;
    std::thread thread_;
};

}  // namespace quorvel
