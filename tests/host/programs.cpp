#include "programs.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "platform_test.h"

namespace hosttest {

namespace {

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

pid_t Spawn(const std::vector<std::string> &argv, const std::string &out, const std::string &err)
{
    pid_t pid = fork();
    if (pid == 0) {
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int n = open("/dev/null", O_RDONLY);
        dup2(n, 0);
        dup2(o, 1);
        dup2(e, 2);
        std::vector<char *> args;
        for (auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    return pid;
}

int Decode(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

}  // namespace

Result Run(const std::vector<std::string> &argv, int timeoutSeconds)
{
    static int counter = 0;
    qvtest::TempDir dir;
    std::string out = dir.Path() + "/out" + std::to_string(++counter), err = dir.Path() + "/err";
    std::vector<std::string> full = {"timeout", "-k", "5", std::to_string(timeoutSeconds)};
    full.insert(full.end(), argv.begin(), argv.end());
    pid_t pid = Spawn(full, out, err);
    int status = 0;
    waitpid(pid, &status, 0);
    Result r;
    r.status = Decode(status);
    r.out = ReadFile(out);
    r.err = ReadFile(err);
    return r;
}

Process::Process(const std::vector<std::string> &argv, const std::string &outputPrefix)
    : outPath_(outputPrefix + ".out"), errPath_(outputPrefix + ".err")
{
    pid_ = Spawn(argv, outPath_, errPath_);
}

Process::~Process()
{
    if (pid_ > 0 && status_ < 0) Stop(SIGKILL);
}

bool Process::Running()
{
    if (status_ >= 0) return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = Decode(status);
        return false;
    }
    return true;
}

int Process::Stop(int signal)
{
    if (status_ >= 0) return status_;
    kill(pid_, signal);
    int status = 0;
    // A program that ignores the signal is killed: its status then says so.
    if (!qvtest::WaitUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, 20000)) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
    }
    status_ = Decode(status);
    return status_;
}

std::string Process::Out() const { return ReadFile(outPath_); }
std::string Process::Err() const { return ReadFile(errPath_); }

std::string Process::WaitForLine(const std::string &prefix, int timeoutMs)
{
    std::string found;
    qvtest::WaitUntil(
        [&] {
            // Whole lines only: the writer may be in the middle of one.
            std::string out = Out();
            out.resize(out.rfind('\n') == std::string::npos ? 0 : out.rfind('\n') + 1);
            std::istringstream lines(out);
            std::string line;
            while (std::getline(lines, line))
                if (line.rfind(prefix, 0) == 0) {
                    found = line;
                    return true;
                }
            return !Running();
        },
        timeoutMs);
    return found;
}

int ListeningPort(Process &server)
{
    std::string line = server.WaitForLine("listening on ");
    auto colon = line.rfind(':');
    return colon == std::string::npos ? -1 : std::atoi(line.c_str() + colon + 1);
}

}  // namespace hosttest
