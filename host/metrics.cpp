// The metrics endpoint: exposition format and a small single-threaded HTTP listener.
#include "metrics.h"

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <sstream>

namespace quorvel {

namespace {

// Label values are port names and addresses; escaped anyway, as the format asks.
std::string Label(const std::string &value)
{
    std::string out;
    for (char c : value) {
        if (c == '\\' || c == '"') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

struct Family {
    const char *name, *type, *help;
};

}  // namespace

std::string FormatMetrics(const std::vector<PortMetrics> &ports)
{
    std::ostringstream out;
    auto header = [&](const Family &f) {
        out << "# HELP " << f.name << ' ' << f.help << "\n# TYPE " << f.name << ' ' << f.type << '\n';
    };
    auto portSeries = [&](const Family &f, auto value) {
        header(f);
        for (auto &p : ports)
            if (p.open || std::strcmp(f.name, "quorvel_port_open") == 0)
                out << f.name << "{port=\"" << Label(p.port) << "\"} " << value(p) << '\n';
    };
    portSeries(
        {"quorvel_port_open", "gauge", "Whether a program holds the port; the counters count since it opened it."},
        [](const PortMetrics &p) { return p.open ? 1 : 0; });
    portSeries({"quorvel_checksum_rejects_total", "counter", "Written frames rejected by their CRC or LRC."},
               [](const PortMetrics &p) { return p.counters.checksumRejects; });
    portSeries({"quorvel_no_route_total", "counter", "Requests for a device id that no connection serves."},
               [](const PortMetrics &p) { return p.counters.noRoute; });
    portSeries({"quorvel_exceptions_sent_total", "counter", "Modbus exception replies the gateway gave."},
               [](const PortMetrics &p) { return p.counters.exceptionsSent; });

    // Per link: the entry's place in the settings keeps two entries for one server apart.
    auto linkLabels = [](const PortMetrics &p, std::size_t i) {
        const LinkCounters &l = p.counters.links[i];
        return "port=\"" + Label(p.port) + "\",link=\"" + Label(LinkName(l)) + "\",entry=\"" + std::to_string(i + 1) +
               "\"";
    };
    auto linkSeries = [&](const Family &f, const char *extra, auto value) {
        if (f.help != nullptr) header(f);
        for (auto &p : ports)
            for (std::size_t i = 0; i < p.counters.links.size(); ++i)
                out << f.name << '{' << linkLabels(p, i) << extra << "} " << value(p.counters.links[i]) << '\n';
    };
    linkSeries({"quorvel_link_up", "gauge", "Whether the link is connected."}, "",
               [](const LinkCounters &l) { return l.up ? 1 : 0; });
    linkSeries({"quorvel_requests_sent_total", "counter", "Requests sent to the server."}, "",
               [](const LinkCounters &l) { return l.requestsSent; });
    linkSeries({"quorvel_replies_delivered_total", "counter", "Replies delivered to the program."}, "",
               [](const LinkCounters &l) { return l.repliesDelivered; });
    Family repliesDropped{"quorvel_replies_dropped_total", "counter", "Server replies dropped, by reason."};
    linkSeries(repliesDropped, ",reason=\"unknown_transaction\"",
               [](const LinkCounters &l) { return l.repliesUnknown; });
    repliesDropped.help = nullptr;
    linkSeries(repliesDropped, ",reason=\"bad_length\"", [](const LinkCounters &l) { return l.repliesBadLength; });
    linkSeries(repliesDropped, ",reason=\"late\"", [](const LinkCounters &l) { return l.repliesLate; });
    Family requestsDropped{"quorvel_requests_dropped_total", "counter", "Requests not sent, by reason."};
    linkSeries(requestsDropped, ",reason=\"link_down\"", [](const LinkCounters &l) { return l.requestsLinkDown; });
    requestsDropped.help = nullptr;
    linkSeries(requestsDropped, ",reason=\"connecting\"", [](const LinkCounters &l) { return l.requestsConnecting; });
    linkSeries(requestsDropped, ",reason=\"too_long\"", [](const LinkCounters &l) { return l.requestsTooLong; });
    linkSeries({"quorvel_connects_total", "counter", "Links made."}, "",
               [](const LinkCounters &l) { return l.connects; });
    linkSeries({"quorvel_connect_failures_total", "counter", "Connect attempts that failed."}, "",
               [](const LinkCounters &l) { return l.connectFailures; });
    linkSeries({"quorvel_disconnects_total", "counter", "Links lost (server closed, send failed)."}, "",
               [](const LinkCounters &l) { return l.disconnects; });
    linkSeries({"quorvel_last_error", "gauge", "NTSTATUS of the link's last failure, 0 when none."}, "",
               [](const LinkCounters &l) { return l.lastError; });
    linkSeries({"quorvel_last_error_time_seconds", "gauge", "When the last failure happened (Unix time), 0 when none."},
               "", [](const LinkCounters &l) { return UnixSeconds(l.lastErrorTime); });
    return out.str();
}

bool ParseMetricsAddress(const std::string &text, std::string *host, std::string *port, std::string *error)
{
    std::string h = "127.0.0.1", p = text;
    if (!text.empty() && text[0] == '[') {
        std::size_t close = text.find("]:");
        if (close == std::string::npos)
            p.clear();
        else {
            h = text.substr(1, close - 1);
            p = text.substr(close + 2);
        }
    } else if (std::size_t colon = text.rfind(':'); colon != std::string::npos) {
        h = text.substr(0, colon);
        p = text.substr(colon + 1);
    }
    bool digits = !p.empty() && p.size() <= 5 && !h.empty();
    for (char c : p) digits = digits && c >= '0' && c <= '9';
    if (!digits || std::stoul(p) > 65535) {
        *error = "--metrics " + text + ": PORT or ADDRESS:PORT (such as 127.0.0.1:9330)";
        return false;
    }
    *host = h;
    *port = p;
    return true;
}

MetricsServer::MetricsServer(std::string host, std::string port, Collect collect, Log log)
    : host_(std::move(host)), port_(std::move(port)), collect_(std::move(collect)), log_(std::move(log))
{
}

MetricsServer::~MetricsServer() { Stop(); }

bool MetricsServer::Start(std::string *error)
{
    addrinfo hints{}, *found = nullptr;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    if (int e = getaddrinfo(host_.c_str(), port_.c_str(), &hints, &found); e != 0) {
        *error = "metrics: " + host_ + ": " + gai_strerror(e);
        return false;
    }
    int fd = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    bool ok = fd >= 0 && bind(fd, found->ai_addr, found->ai_addrlen) == 0 && listen(fd, 16) == 0;
    freeaddrinfo(found);
    if (!ok) {
        *error = "metrics: cannot listen on " + host_ + ":" + port_ + ": " + std::strerror(errno);
        if (fd >= 0) close(fd);
        return false;
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof(bound);
    getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &length);
    boundPort_ = bound.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6 *>(&bound)->sin6_port)
                                             : ntohs(reinterpret_cast<sockaddr_in *>(&bound)->sin_port);
    listener_ = fd;
    wake_ = eventfd(0, EFD_CLOEXEC);
    thread_ = std::thread([this] { Run(); });
    log_("metrics on " + host_ + ":" + std::to_string(boundPort_));
    return true;
}

void MetricsServer::Stop()
{
    if (!thread_.joinable()) return;
    std::uint64_t one = 1;
    if (write(wake_, &one, sizeof(one)) < 0) {
    }
    thread_.join();
    close(listener_);
    close(wake_);
    listener_ = wake_ = -1;
}

void MetricsServer::Run()
{
    for (;;) {
        pollfd fds[2] = {{listener_, POLLIN, 0}, {wake_, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents) return;
        int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        // Nor can one that stops reading.
        timeval bound{2, 0};
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof(bound));
        Serve(fd);
        close(fd);
    }
}

// One request, read within a bound: a client that sends nothing cannot hold the endpoint.
void MetricsServer::Serve(int fd)
{
    std::string request;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 8192) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, int(left.count())) <= 0) return;
        char buffer[1024];
        ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
        if (n <= 0) return;
        request.append(buffer, std::size_t(n));
    }
    std::string status = "200 OK", type = "text/plain; version=0.0.4; charset=utf-8", body;
    std::size_t lineEnd = request.find("\r\n");
    std::string line = request.substr(0, lineEnd == std::string::npos ? 0 : lineEnd);
    if (line.rfind("GET /metrics ", 0) == 0 || line.rfind("GET / ", 0) == 0) {
        body = FormatMetrics(collect_());
    } else if (line.rfind("GET ", 0) == 0) {
        status = "404 Not Found";
        type = "text/plain";
        body = "only /metrics is served\n";
    } else {
        status = "405 Method Not Allowed";
        type = "text/plain";
        body = "only GET is served\n";
    }
    std::string response = "HTTP/1.0 " + status + "\r\nContent-Type: " + type +
                           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
                           body;
    std::size_t sent = 0;
    while (sent < response.size()) {
        ssize_t n = send(fd, response.data() + sent, response.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return;
        sent += std::size_t(n);
    }
}

}  // namespace quorvel
