// The control socket <state>/control.sock: one thread per session, requests answered in order.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <list>
#include <mutex>
#include <string>
#include <thread>

#include "host.h"

namespace quorvel {

// Who may connect: the socket file's group and mode. No group keeps the one bind gives (the
// host's, or the state directory's when that is set-group-id).
struct SocketAccess {
    gid_t group = gid_t(-1);
    mode_t mode = 0660;
};

class ControlServer {
public:
    // A session that sends nothing for `idleSeconds` is closed unless it holds device sets.
    ControlServer(Host &host, std::string path, LogFunction log, int idleSeconds = 60, SocketAccess access = {});
    ~ControlServer();
    bool Start(std::string *error);
    // Closes the listener and every session, removes the socket file.
    void Stop();

private:
    struct SessionThread {
        int fd;
        uid_t uid;
        std::thread thread;
        std::atomic<bool> done{false};
    };
    void AcceptLoop();
    void Serve(SessionThread *session, std::uint64_t id);
    void Reap(bool all);

    Host &host_;
    std::string path_;
    LogFunction log_;
    int idleSeconds_;
    SocketAccess access_;
    int listener_ = -1;
    int wake_[2] = {-1, -1};
    std::thread acceptor_;
    std::mutex lock_;
    std::list<SessionThread> sessions_;
    std::uint64_t nextId_ = 1;
    std::chrono::steady_clock::time_point lastRefusalLog_;  // acceptor thread only
};

}  // namespace quorvel
