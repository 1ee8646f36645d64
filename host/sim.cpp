// quorvel-sim: a Modbus TCP server with deterministic data, for the demo, the tests and the
// benchmarks. Plain Modbus TCP is served by libmodbus; with --rtu-over-tcp the same replies go
// out as RTU frames (CRC, no MBAP header), for raw connections.
//
// Data of unit U, addresses 0..9999:
//   holding register a  = (U * 1000 + a) & 0xFFFF
//   input register a    = (U * 1000 + a + 500) & 0xFFFF
//   coil a              = 1 when a % 3 == 0
//   discrete input a    = 1 when a % 2 == 1
// Writes change the unit's own copy for the life of the process. Requests for a unit that is not
// served get no reply (as from an absent device behind a gateway).
#include <arpa/inet.h>
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "common/version.h"
#include "simdata.h"

namespace {

struct Options {
    std::string host = "127.0.0.1";
    int port = 1502;
    std::vector<int> units;  // empty: every unit
    bool rtuOverTcp = false;
    int delayMs = 0;
    int closeAfter = 0;  // close a connection after this many replies; 0 = never
    bool help = false;
    bool version = false;
};

void Usage()
{
    std::fprintf(stderr,
                 "usage: quorvel-sim [--listen HOST:PORT] [--unit ID...] [--rtu-over-tcp]\n"
                 "                   [--delay MS] [--close-after N] [--help] [--version]\n");
}

bool ParseOptions(int argc, char **argv, Options *o)
{
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> const char * { return i + 1 < argc ? argv[++i] : nullptr; };
        if (a == "--listen") {
            const char *v = next();
            if (!v) return false;
            std::string s = v;
            auto colon = s.rfind(':');
            if (colon == std::string::npos) return false;
            o->host = s.substr(0, colon);
            char *end = nullptr;
            long p = std::strtol(s.c_str() + colon + 1, &end, 10);
            if (*end || p < 0 || p > 65535) return false;
            o->port = int(p);
        } else if (a == "--unit") {
            // One or more ids, as separate words or comma-separated.
            bool any = false;
            while (i + 1 < argc && argv[i + 1][0] != '-') {
                std::string list = argv[++i];
                size_t pos = 0;
                while (pos <= list.size()) {
                    size_t comma = list.find(',', pos);
                    std::string item = list.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
                    char *end = nullptr;
                    long id = std::strtol(item.c_str(), &end, 10);
                    if (item.empty() || *end || id < 0 || id > 255) return false;
                    o->units.push_back(int(id));
                    any = true;
                    if (comma == std::string::npos) break;
                    pos = comma + 1;
                }
            }
            if (!any) return false;
        } else if (a == "--help" || a == "-h") {
            o->help = true;
        } else if (a == "--version") {
            o->version = true;
        } else if (a == "--rtu-over-tcp") {
            o->rtuOverTcp = true;
        } else if (a == "--delay") {
            const char *v = next();
            if (!v) return false;
            o->delayMs = std::atoi(v);
        } else if (a == "--close-after") {
            const char *v = next();
            if (!v) return false;
            o->closeAfter = std::atoi(v);
        } else {
            return false;
        }
    }
    return true;
}

class Server {
public:
    explicit Server(const Options &o) : options_(o) {}

    bool Serves(int unit) const
    {
        if (options_.units.empty()) return true;
        for (int u : options_.units)
            if (u == unit) return true;
        return false;
    }

    modbus_mapping_t *Mapping(int unit)
    {
        auto it = mappings_.find(unit);
        if (it != mappings_.end()) return it->second;
        modbus_mapping_t *m = modbus_mapping_new(quorvel::sim::kAddresses, quorvel::sim::kAddresses,
                                                 quorvel::sim::kAddresses, quorvel::sim::kAddresses);
        for (int a = 0; a < quorvel::sim::kAddresses; ++a) {
            m->tab_registers[a] = quorvel::sim::HoldingRegister(unit, a);
            m->tab_input_registers[a] = quorvel::sim::InputRegister(unit, a);
            m->tab_bits[a] = quorvel::sim::Coil(a);
            m->tab_input_bits[a] = quorvel::sim::DiscreteInput(a);
        }
        mappings_[unit] = m;
        return m;
    }

    // A Modbus TCP request (MBAP + PDU) in, its reply out; false when there is none to send.
    bool Answer(const uint8_t *req, int len, std::vector<uint8_t> *reply)
    {
        if (len < 8) return false;
        int unit = req[6];
        if (!Serves(unit)) return false;
        if (!replyCtx_) {
            replyCtx_ = modbus_new_tcp("127.0.0.1", 0);
            if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair_) != 0) return false;
            modbus_set_socket(replyCtx_, pair_[0]);
        }
        int sent = modbus_reply(replyCtx_, req, len, Mapping(unit));
        if (sent <= 0) return false;
        reply->resize(sent);
        int got = 0;
        while (got < sent) {
            ssize_t n = read(pair_[1], reply->data() + got, sent - got);
            if (n <= 0) return false;
            got += int(n);
        }
        return true;
    }

    const Options &options() const { return options_; }

private:
    Options options_;
    std::map<int, modbus_mapping_t *> mappings_;
    modbus_t *replyCtx_ = nullptr;
    int pair_[2] = {-1, -1};
};

struct Client {
    int fd;
    std::vector<uint8_t> in;
    int replies = 0;
};

bool SendAll(int fd, const std::vector<uint8_t> &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

// Takes whole requests off the front of client->in and answers them; false closes the client.
bool Serve(Server &server, Client *client)
{
    const Options &o = server.options();
    for (;;) {
        std::vector<uint8_t> request;  // as Modbus TCP
        size_t consumed = 0;
        uint16_t transaction = 0;
        if (!o.rtuOverTcp) {
            if (client->in.size() < 7) return true;
            size_t length = (size_t(client->in[4]) << 8) | client->in[5];
            if (length < 2 || length > 254) return false;
            if (client->in.size() < 6 + length) return true;
            consumed = 6 + length;
            request.assign(client->in.begin(), client->in.begin() + consumed);
        } else {
            size_t frame = quorvel::sim::RtuRequestLength(client->in.data(), client->in.size());
            if (frame == quorvel::sim::kNeedMore) return true;
            if (frame == quorvel::sim::kBadFrame) {
                client->in.clear();  // resynchronise on the next request
                return true;
            }
            consumed = frame;
            if (!quorvel::sim::RtuCrcValid(client->in.data(), frame)) {
                client->in.erase(client->in.begin(), client->in.begin() + consumed);
                continue;
            }
            request = quorvel::sim::RtuToTcp(client->in.data(), frame, ++transaction);
        }
        client->in.erase(client->in.begin(), client->in.begin() + consumed);

        std::vector<uint8_t> reply;
        if (!server.Answer(request.data(), int(request.size()), &reply)) continue;
        if (o.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(o.delayMs));
        if (o.rtuOverTcp) reply = quorvel::sim::TcpToRtu(reply.data(), reply.size());
        if (!SendAll(client->fd, reply)) return false;
        if (o.closeAfter > 0 && ++client->replies >= o.closeAfter) return false;
    }
}

volatile sig_atomic_t stopping = 0;
void OnSignal(int) { stopping = 1; }

}  // namespace

int main(int argc, char **argv)
{
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        Usage();
        return 2;
    }
    if (options.help) {
        Usage();
        return 0;
    }
    if (options.version) {
        std::printf("quorvel-sim %s\n", QUORVEL_VERSION);
        return 0;
    }
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    int listener = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(options.port));
    if (inet_pton(AF_INET, options.host.c_str(), &addr.sin_addr) != 1) {
        std::fprintf(stderr, "quorvel-sim: bad address %s\n", options.host.c_str());
        return 2;
    }
    if (bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 || listen(listener, 16) != 0) {
        std::fprintf(stderr, "quorvel-sim: cannot listen on %s:%d: %s\n", options.host.c_str(), options.port,
                     std::strerror(errno));
        return 1;
    }
    socklen_t addrLen = sizeof(addr);
    getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &addrLen);
    // The first line tells scripts the port chosen for --listen HOST:0.
    std::printf("listening on %s:%u\n", options.host.c_str(), unsigned(ntohs(addr.sin_port)));
    std::fflush(stdout);

    Server server(options);
    std::vector<Client> clients;
    while (!stopping) {
        std::vector<pollfd> fds;
        fds.push_back({listener, POLLIN, 0});
        for (auto &c : clients) fds.push_back({c.fd, POLLIN, 0});
        int n = poll(fds.data(), fds.size(), 500);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        std::vector<Client> kept;
        for (size_t i = 0; i < clients.size(); ++i) {
            Client &c = clients[i];
            bool keep = true;
            if (fds[i + 1].revents & (POLLIN | POLLHUP | POLLERR)) {
                uint8_t buf[4096];
                ssize_t got = recv(c.fd, buf, sizeof(buf), 0);
                if (got <= 0) {
                    keep = false;
                } else {
                    c.in.insert(c.in.end(), buf, buf + got);
                    keep = Serve(server, &c);
                }
            }
            if (keep)
                kept.push_back(std::move(c));
            else
                close(c.fd);
        }
        clients = std::move(kept);
        // Accepted last: the new client has no entry in this round's fds.
        if (fds[0].revents & POLLIN) {
            int fd = accept(listener, nullptr, nullptr);
            if (fd >= 0) {
                setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
                clients.push_back({fd, {}, 0});
            }
        }
    }
    for (auto &c : clients) close(c.fd);
    close(listener);
    return 0;
}
