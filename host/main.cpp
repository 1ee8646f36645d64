// quorvel-host [--state DIR] [--dev-dir DIR] [--pty-group GROUP] [--pty-mode MODE]
//              [--socket-group GROUP] [--socket-mode MODE] [--control-idle-timeout SECONDS]
//              [--metrics [ADDRESS:]PORT] [--debug] [--demo]
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "common/controlproto.h"
#include "common/ethrecord.h"
#include "common/statedir.h"
#include "common/version.h"
#include "hostproto.h"

#include "controlserver.h"
#include "host.h"
#include "metrics.h"

using namespace quorvel;

namespace {

std::mutex logLock;

void Log(const std::string &line)
{
    auto now = std::chrono::system_clock::now();
    std::time_t t = std::chrono::system_clock::to_time_t(now);
    int ms = int(std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
    std::tm tm{};
    localtime_r(&t, &tm);
    char stamp[32];
    std::snprintf(stamp, sizeof(stamp), "%02d:%02d:%02d.%03d", tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
    std::lock_guard<std::mutex> guard(logLock);
    std::fprintf(stderr, "%s quorvel-host: %s\n", stamp, line.c_str());
}

void Usage()
{
    std::fprintf(stderr,
                 "usage: quorvel-host [--state DIR] [--dev-dir DIR] [--pty-group GROUP] [--pty-mode MODE]\n"
                 "                    [--socket-group GROUP] [--socket-mode MODE] [--control-idle-timeout SECONDS]\n"
                 "                    [--metrics [ADDRESS:]PORT] [--debug] [--demo] [--help] [--version]\n"
                 "  --metrics: the ports' gateway counters for Prometheus at http://ADDRESS:PORT/metrics\n"
                 "             (off by default; 127.0.0.1 unless an address is given)\n");
}

// A group name or number.
bool ParseGroup(const std::string &text, gid_t *gid)
{
    if (group *g = getgrnam(text.c_str())) {
        *gid = g->gr_gid;
        return true;
    }
    char *end = nullptr;
    unsigned long n = std::strtoul(text.c_str(), &end, 10);
    if (text.empty() || *end != 0 || n >= 0xFFFFFFFFul) return false;
    *gid = gid_t(n);
    return true;
}

// Octal read and write bits only: a terminal or a socket is never executable or set-id.
bool ParseMode(const std::string &text, mode_t *mode)
{
    char *end = nullptr;
    unsigned long n = std::strtoul(text.c_str(), &end, 8);
    if (text.empty() || *end != 0 || (n & ~0666ul) != 0) return false;
    *mode = mode_t(n);
    return true;
}

// One host per state directory: an exclusive lock on <state>/host.lock, which holds the pid.
int TakeLock(const std::string &stateDir)
{
    std::string path = stateDir + "/host.lock";
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        std::fprintf(stderr, "quorvel-host: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
        return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        char pid[32] = {};
        (void)!pread(fd, pid, sizeof(pid) - 1, 0);
        std::string holder = pid;
        while (!holder.empty() && (holder.back() == '\n' || holder.back() == ' ')) holder.pop_back();
        std::fprintf(stderr, "quorvel-host: %s is in use by another quorvel-host (process %s)\n", stateDir.c_str(),
                     holder.empty() ? "unknown" : holder.c_str());
        close(fd);
        return -1;
    }
    (void)!ftruncate(fd, 0);
    std::string pid = std::to_string(getpid()) + "\n";
    (void)!pwrite(fd, pid.data(), pid.size(), 0);
    return fd;
}

std::string SelfDirectory()
{
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string(".") : exe.parent_path().string();
}

// The demo's server: quorvel-sim on a free loopback port; returns its pid and port.
pid_t StartSimulator(int *port)
{
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return -1;
    std::string sim = SelfDirectory() + "/quorvel-sim";
    pid_t pid = fork();
    if (pid == 0) {
        // The host blocks these for its sigwait; the simulator must see them.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        dup2(out[1], 1);
        execl(sim.c_str(), sim.c_str(), "--listen", "127.0.0.1:0", static_cast<char *>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string line;
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n') line.push_back(c);
    close(out[0]);
    auto colon = line.rfind(':');
    if (pid < 0 || line.rfind("listening on ", 0) != 0 || colon == std::string::npos) {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        return -1;
    }
    *port = std::atoi(line.c_str() + colon + 1);
    return pid;
}

bool StoreDemoSettings(Host &host, const std::string &portName, int tcpPort)
{
    EthRecord record;
    EthEntry entry;
    std::uint8_t ip[4] = {127, 0, 0, 1};
    std::memcpy(&entry.ip, ip, 4);
    entry.port = std::uint16_t(tcpPort);
    entry.raw = false;
    for (std::uint8_t id = 1; id <= 10; ++id) entry.ids.push_back(id);
    record.entries.push_back(entry);
    ctl::PortIoControlRequest req;
    req.portName = hostctl::Utf16(portName);
    req.ioctl = IOCTL_SERIAL_SET_ETHERNET;
    req.input = BuildEthRecord(record);
    ctl::Bytes frame = ctl::EncodeRequest(req);
    ctl::Bytes reply = host.Handle(ctl::Bytes(frame.begin() + 4, frame.end()), 0);
    ctl::ResponseHeader header;
    ctl::DecodeResponseHeader(ctl::Bytes(reply.begin() + 4, reply.end()), &header);
    if (header.error != 0)
        Log(portName + ": storing the demo settings failed (error " + std::to_string(header.error) + ")");
    return header.error == 0;
}

}  // namespace

int main(int argc, char **argv)
{
    HostOptions options;
    bool demo = false;
    bool groupGiven = false;
    SocketAccess socketAccess;
    int idleSeconds = 60;
    std::string metricsHost, metricsPort;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--pty-group" && i + 1 < argc) {
            if (!ParseGroup(argv[++i], &options.ptyAccess.group)) {
                std::fprintf(stderr, "quorvel-host: --pty-group %s: no such group\n", argv[i]);
                return 2;
            }
            groupGiven = true;
        } else if (a == "--pty-mode" && i + 1 < argc) {
            if (!ParseMode(argv[++i], &options.ptyAccess.mode)) {
                std::fprintf(stderr, "quorvel-host: --pty-mode %s: an octal mode of read/write bits, such as 0660\n",
                             argv[i]);
                return 2;
            }
        } else if (a == "--socket-group" && i + 1 < argc) {
            if (!ParseGroup(argv[++i], &socketAccess.group)) {
                std::fprintf(stderr, "quorvel-host: --socket-group %s: no such group\n", argv[i]);
                return 2;
            }
        } else if (a == "--socket-mode" && i + 1 < argc) {
            // The owner keeps read and write: the host's own user always manages its ports.
            if (!ParseMode(argv[++i], &socketAccess.mode) || (socketAccess.mode & 0600) != 0600) {
                std::fprintf(stderr,
                             "quorvel-host: --socket-mode %s: an octal mode of read/write bits with the owner's, "
                             "such as 0660\n",
                             argv[i]);
                return 2;
            }
        } else if (a == "--control-idle-timeout" && i + 1 < argc) {
            char *end = nullptr;
            long n = std::strtol(argv[++i], &end, 10);
            if (*argv[i] == 0 || *end != 0 || n < 0 || n > 86400) {
                std::fprintf(stderr, "quorvel-host: --control-idle-timeout %s: seconds from 0 (never) to 86400\n",
                             argv[i]);
                return 2;
            }
            idleSeconds = int(n);
        } else if (a == "--metrics" && i + 1 < argc) {
            std::string error;
            if (!ParseMetricsAddress(argv[++i], &metricsHost, &metricsPort, &error)) {
                std::fprintf(stderr, "quorvel-host: %s\n", error.c_str());
                return 2;
            }
        } else if (a == "--state" && i + 1 < argc) {
            options.stateDir = argv[++i];
        } else if (a == "--dev-dir" && i + 1 < argc) {
            options.devDir = argv[++i];
        } else if (a == "--debug") {
            options.debug = true;
        } else if (a == "--demo") {
            demo = true;
        } else if (a == "--help" || a == "-h") {
            Usage();
            return 0;
        } else if (a == "--version") {
            std::printf("quorvel-host %s\n", QUORVEL_VERSION);
            return 0;
        } else {
            Usage();
            return 2;
        }
    }
    if (options.stateDir.empty()) options.stateDir = DefaultStateDirectory();
    std::error_code ec;
    std::filesystem::create_directories(options.stateDir, ec);
    options.stateDir = std::filesystem::absolute(options.stateDir, ec).lexically_normal().string();
    if (!options.stateDir.empty() && options.stateDir.size() > 1 && options.stateDir.back() == '/')
        options.stateDir.pop_back();
    if (options.devDir.empty()) options.devDir = options.stateDir + "/dev";
    std::filesystem::create_directories(options.devDir, ec);
    if (ec) {
        std::fprintf(stderr, "quorvel-host: cannot create %s: %s\n", options.devDir.c_str(), ec.message().c_str());
        return 1;
    }

    int lockFd = TakeLock(options.stateDir);
    if (lockFd < 0) return 1;
    // The terminals' group is by default the control socket's: --socket-group, else the host's
    // group, or the state directory's when that is set-group-id (bind gives the socket that group).
    if (!groupGiven && socketAccess.group != gid_t(-1)) {
        options.ptyAccess.group = socketAccess.group;
    } else if (!groupGiven) {
        struct stat st {};
        bool inherit = stat(options.stateDir.c_str(), &st) == 0 && (st.st_mode & S_ISGID);
        options.ptyAccess.group = inherit ? st.st_gid : getegid();
    }

    // Every thread inherits the blocked signals; the main thread takes them with sigwait.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    // A file size limit makes a store write fail (and be reported), never ends the host.
    signal(SIGXFSZ, SIG_IGN);

    Log("starting on " + options.stateDir + " (devices in " + options.devDir + ")");
    Host host(options, Log);
    std::string error;
    if (!host.Start(&error)) {
        Log(error);
        return 1;
    }
    ControlServer server(host, options.stateDir + "/control.sock", Log, idleSeconds, socketAccess);
    if (!server.Start(&error)) {
        Log(error);
        host.Stop();
        return 1;
    }

    std::unique_ptr<MetricsServer> metrics;
    if (!metricsPort.empty()) {
        metrics = std::make_unique<MetricsServer>(
            metricsHost, metricsPort, [&host] { return host.Metrics(); }, Log);
        if (!metrics->Start(&error)) {
            Log(error);
            server.Stop();
            host.Stop();
            return 1;
        }
    }

    pid_t sim = -1;
    if (demo) {
        // COM1 is the demo's port: taken as it is when it exists, created otherwise.
        std::string name = "COM1";
        bool exists = false;
        for (auto &p : host.Ports()) exists = exists || hostctl::Utf8(p.name) == name;
        std::string created;
        if (!exists) {
            if (Win32Error e = host.AddPort(name, &created)) {
                Log("demo: cannot create COM1 (error " + std::to_string(e) + ")");
                name.clear();
            }
        }
        int port = 0;
        sim = StartSimulator(&port);
        if (sim < 0) {
            Log("demo: cannot start quorvel-sim");
        } else if (!name.empty() && StoreDemoSettings(host, name, port)) {
            std::string link = options.devDir + "/" + name;
            std::printf(
                "\nDemo ready: %s is %s, served by quorvel-sim on 127.0.0.1:%d (device ids 1-10).\n"
                "Read ten holding registers of device 1 through it:\n\n"
                "    mbpoll -m rtu -b 9600 -P none -a 1 -r 1 -c 10 -1 %s\n\n"
                "Press Ctrl-C to stop.\n",
                name.c_str(), link.c_str(), port, link.c_str());
            std::fflush(stdout);
        }
    }
    Log("ready; control socket " + options.stateDir + "/control.sock");

    int sig = 0;
    sigwait(&signals, &sig);
    Log(std::string("stopping on ") + (sig == SIGINT ? "SIGINT" : "SIGTERM"));
    if (metrics) metrics->Stop();
    server.Stop();
    host.Stop();
    if (sim > 0) {
        kill(sim, SIGTERM);
        waitpid(sim, nullptr, 0);
    }
    close(lockFd);
    Log("stopped");
    return 0;
}
