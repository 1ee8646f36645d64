#include "controlserver.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace quorvel {

namespace {
// More sessions than these are refused at once: a stuck client holds one thread, never the host,
// and one user's connections never lock out the others.
constexpr size_t kMaxSessions = 256;
constexpr size_t kMaxSessionsPerUser = 16;
// A client that stops in the middle of a frame is dropped after this long.
constexpr int kFrameTimeoutSeconds = 10;
}  // namespace

ControlServer::ControlServer(Host &host, std::string path, LogFunction log, int idleSeconds, SocketAccess access)
    : host_(host), path_(std::move(path)), log_(std::move(log)), idleSeconds_(idleSeconds), access_(access)
{
}

ControlServer::~ControlServer() { Stop(); }

bool ControlServer::Start(std::string *error)
{
    // Bound under a temporary name and renamed once listening: whoever sees control.sock can
    // connect to it.
    std::string bound = path_ + ".new";
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (bound.size() >= sizeof(addr.sun_path)) {
        *error = "socket path too long: " + path_;
        return false;
    }
    std::strcpy(addr.sun_path, bound.c_str());
    unlink(bound.c_str());  // the lock proves no other host uses these
    unlink(path_.c_str());
    listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    // Created owner-only and opened to the group once it has its final group: no moment where
    // others could connect.
    mode_t old = umask(0177);
    int rc = bind(listener_, reinterpret_cast<sockaddr *>(&addr), sizeof(addr));
    umask(old);
    if (rc == 0 && access_.group != gid_t(-1) && chown(bound.c_str(), uid_t(-1), access_.group) != 0) {
        // Only root, or a member of the group, may give the socket to it.
        *error = "cannot give " + path_ + " to group " + std::to_string(access_.group) + ": " + std::strerror(errno);
        unlink(bound.c_str());
        path_.clear();
        return false;
    }
    if (rc != 0 || chmod(bound.c_str(), access_.mode) != 0 || listen(listener_, SOMAXCONN) != 0 ||
        rename(bound.c_str(), path_.c_str()) != 0) {
        *error = "cannot listen on " + path_ + ": " + std::strerror(errno);
        unlink(bound.c_str());
        path_.clear();
        return false;
    }
    if (pipe2(wake_, O_CLOEXEC) != 0) {
        *error = "pipe: " + std::string(std::strerror(errno));
        return false;
    }
    acceptor_ = std::thread([this] { AcceptLoop(); });
    return true;
}

void ControlServer::Stop()
{
    host_.BeginShutdown();
    if (acceptor_.joinable()) {
        (void)!write(wake_[1], "x", 1);
        acceptor_.join();
    }
    Reap(true);
    for (int *fd : {&listener_, &wake_[0], &wake_[1]}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
    if (!path_.empty()) unlink(path_.c_str());
    path_.clear();
}

void ControlServer::Reap(bool all)
{
    std::lock_guard<std::mutex> guard(lock_);
    for (auto it = sessions_.begin(); it != sessions_.end();) {
        if (all) shutdown(it->fd, SHUT_RDWR);
        if (all || it->done) {
            it->thread.join();
            close(it->fd);
            it = sessions_.erase(it);
        } else {
            ++it;
        }
    }
}

void ControlServer::AcceptLoop()
{
    for (;;) {
        pollfd fds[2] = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 && errno != EINTR) return;
        if (fds[1].revents) return;
        if (!(fds[0].revents & POLLIN)) continue;
        int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        Reap(false);
        ucred peer{};
        socklen_t peerSize = sizeof(peer);
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &peerSize) != 0) {
            close(fd);
            continue;
        }
        std::lock_guard<std::mutex> guard(lock_);
        // A session whose client has already hung up is on its way out and does not count.
        size_t ofUser = 0;
        for (auto &s : sessions_) {
            pollfd p{s.fd, POLLRDHUP, 0};
            bool leaving = s.done || (poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)));
            ofUser += s.uid == peer.uid && !leaving;
        }
        if (sessions_.size() >= kMaxSessions || ofUser >= kMaxSessionsPerUser) {
            // At most one line a second: a client that keeps connecting does not fill the log.
            auto now = std::chrono::steady_clock::now();
            if (now - lastRefusalLog_ >= std::chrono::seconds(1)) {
                lastRefusalLog_ = now;
                log_("control: connection of user " + std::to_string(peer.uid) + " refused: " +
                     (ofUser >= kMaxSessionsPerUser ? "that user has " + std::to_string(ofUser) + " sessions open"
                                                    : "too many sessions"));
            }
            close(fd);
            continue;
        }
        timeval tv{kFrameTimeoutSeconds, 0};
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
        sessions_.emplace_back();
        SessionThread *s = &sessions_.back();
        s->fd = fd;
        s->uid = peer.uid;
        std::uint64_t id = nextId_++;
        s->thread = std::thread([this, s, id] { Serve(s, id); });
    }
}

enum class ReadResult { Done, Closed, Idle };

// Reads exactly `size` bytes. The frame timeout applies once the first byte of a frame is in;
// before that, `idleMs` (-1: none) ends the wait with Idle.
static ReadResult ReadExact(int fd, std::uint8_t *data, size_t size, bool frameStarted, int idleMs)
{
    size_t done = 0;
    while (done < size) {
        bool inFrame = frameStarted || done > 0;
        if (inFrame || idleMs >= 0) {
            pollfd p{fd, POLLIN, 0};
            int n = poll(&p, 1, inFrame ? kFrameTimeoutSeconds * 1000 : idleMs);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return ReadResult::Closed;
            if (n == 0) return inFrame ? ReadResult::Closed : ReadResult::Idle;
        }
        ssize_t n = recv(fd, data + done, size - done, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return ReadResult::Closed;
        done += size_t(n);
    }
    return ReadResult::Done;
}

void ControlServer::Serve(SessionThread *session, std::uint64_t id)
{
    int fd = session->fd;
    // The client hung up while its request runs: the request is cancelled.
    auto clientGone = [fd] {
        pollfd p{fd, POLLRDHUP, 0};
        return poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR));
    };
    for (;;) {
        std::uint8_t prefix[4];
        ReadResult r = ReadExact(fd, prefix, 4, false, idleSeconds_ > 0 ? idleSeconds_ * 1000 : -1);
        // A session that holds device sets is the configurator's: closing it would lose them.
        while (r == ReadResult::Idle && host_.SessionHoldsSets(id))
            r = ReadExact(fd, prefix, 4, false, idleSeconds_ * 1000);
        if (r == ReadResult::Idle)
            log_("control: session " + std::to_string(id) + " idle for " + std::to_string(idleSeconds_) + " s; closed");
        if (r != ReadResult::Done) break;
        std::uint32_t length = prefix[0] | (prefix[1] << 8) | (prefix[2] << 16) | (std::uint32_t(prefix[3]) << 24);
        if (length > ctl::kMaxFrameBody) {
            log_("control: session " + std::to_string(id) + " sent a frame of " + std::to_string(length) +
                 " bytes; closed");
            break;
        }
        ctl::Bytes body(length);
        if (length > 0 && ReadExact(fd, body.data(), length, true, -1) != ReadResult::Done) break;
        ctl::Bytes reply = host_.Handle(body, id, clientGone);
        if (!ctl::SendFrame(fd, reply)) break;
    }
    host_.EndSession(id);
    shutdown(fd, SHUT_RDWR);
    session->done = true;
}

}  // namespace quorvel
