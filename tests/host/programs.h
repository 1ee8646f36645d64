// Real programs for the host's end-to-end tests: quorvel-host on its own state directory,
// quorvelctl, quorvel-sim and pymodbus servers on 127.0.0.1 ports the system assigns, and
// commands (mbpoll, python) run to completion.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace hosttest {

struct Result {
    int status = -1;  // exit status, or 128 + signal
    std::string out, err;
};

// Runs a command to completion (bounded by `timeout` seconds through timeout(1)).
Result Run(const std::vector<std::string> &argv, int timeoutSeconds = 60);

// A background process with its output in files.
class Process {
public:
    Process(const std::vector<std::string> &argv, const std::string &outputPrefix);
    ~Process();
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;
    pid_t Pid() const { return pid_; }
    bool Running();
    // Sends `signal` and waits; returns the exit status (128 + signal when killed by one).
    int Stop(int signal = 15);
    std::string Out() const;
    std::string Err() const;
    // Waits for a line of standard output that starts with `prefix`; returns it ("" on timeout).
    std::string WaitForLine(const std::string &prefix, int timeoutMs = 20000);

private:
    pid_t pid_ = -1;
    int status_ = -1;
    std::string outPath_, errPath_;
};

// The TCP port of a server's "listening on 127.0.0.1:PORT" line.
int ListeningPort(Process &server);

}  // namespace hosttest
