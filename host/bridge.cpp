#include "bridge.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

#include <ntddser.h>

namespace quorvel {

namespace {

std::uint64_t NowMicros()
{
    return std::uint64_t(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

std::u16string PortPath(const std::string &name)
{
    std::u16string path = u"\\\\.\\";
    for (char c : name) path.push_back(char16_t(static_cast<unsigned char>(c)));
    return path;
}

// A port is retried this often while a program holds the terminal and the open keeps failing.
constexpr int kOpenRetryMs = 200;
// Writes give up after 10 ms per character plus a second (CTS held low forever, say), so that
// a stuck port cannot stop the bridge from seeing the program close.
constexpr ULONG kWriteMsPerChar = 10;
constexpr ULONG kWriteConstantMs = 1000;
// Bytes read from the terminal before they are forwarded.
constexpr std::size_t kDrainLimit = 65536;

// A symbolic link owned by this process's user that names a pseudo-terminal (/dev/pts/N).
bool IsOwnTerminalLink(const std::string &path, const struct stat &st)
{
    if (!S_ISLNK(st.st_mode) || st.st_uid != geteuid()) return false;
    char target[256];
    ssize_t n = readlink(path.c_str(), target, sizeof(target) - 1);
    if (n <= 0) return false;
    std::string t(target, size_t(n));
    const std::string prefix = "/dev/pts/";
    if (t.size() <= prefix.size() || t.compare(0, prefix.size(), prefix) != 0) return false;
    return t.find_first_not_of("0123456789", prefix.size()) == std::string::npos;
}

}  // namespace

PortBridge::PortBridge(std::string portName, std::string devDir, PtyAccess access, LogFunction log)
    : portName_(std::move(portName)), devDir_(std::move(devDir)), access_(access), log_(std::move(log))
{
    linkPath_ = devDir_ + "/" + portName_;
}

PortBridge::~PortBridge() { Stop(); }

bool PortBridge::Start(std::string *error)
{
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        *error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    char name[128];
    if (ptsname_r(master_, name, sizeof(name)) != 0) {
        *error = std::string("ptsname: ") + std::strerror(errno);
        return false;
    }
    ptyPath_ = name;
    // Whoever may use the control socket may also open the ports.
    if ((access_.group != gid_t(-1) && chown(ptyPath_.c_str(), uid_t(-1), access_.group) != 0) ||
        chmod(ptyPath_.c_str(), access_.mode) != 0)
        log_(portName_ + ": cannot give " + ptyPath_ + " its group and mode: " + std::strerror(errno));

    // Until a program configures it, the terminal is a raw 9600 8N1 line. EXTPROC makes the
    // terminal report the program's later tcsetattr calls through packet mode.
    termios t{};
    tcgetattr(master_, &t);
    cfmakeraw(&t);
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_lflag |= EXTPROC;
    tcsetattr(master_, TCSANOW, &t);
    int one = 1;
    ioctl(master_, TIOCPKT, &one);

    inotify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotify_ < 0 || inotify_add_watch(inotify_, ptyPath_.c_str(), IN_OPEN | IN_CLOSE) < 0) {
        *error = std::string("inotify on ") + ptyPath_ + ": " + std::strerror(errno);
        return false;
    }
    wake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);

    struct stat st {};
    if (lstat(linkPath_.c_str(), &st) == 0) {
        // Only a link of ours that a host left when it did not stop cleanly is replaced.
        if (!IsOwnTerminalLink(linkPath_, st)) {
            *error = linkPath_ + " exists and is not a terminal link of this host; it was left alone";
            return false;
        }
        unlink(linkPath_.c_str());
    }
    if (symlink(ptyPath_.c_str(), linkPath_.c_str()) != 0) {
        *error = std::string("cannot create ") + linkPath_ + ": " + std::strerror(errno);
        return false;
    }
    linkMade_ = true;
    thread_ = std::thread([this] {
        pthread_setname_np(pthread_self(), "qv-bridge");
        Run();
    });
    return true;
}

void PortBridge::Stop()
{
    if (thread_.joinable()) {
        stopping_ = true;
        std::uint64_t one = 1;
        (void)!write(wake_, &one, sizeof(one));
        thread_.join();
    }
    if (linkMade_) {
        linkMade_ = false;  // once: a later bridge of the port may get the same terminal number
        // Only our own link: another host may have replaced it.
        struct stat st {};
        char target[256];
        ssize_t n = readlink(linkPath_.c_str(), target, sizeof(target) - 1);
        if (n > 0 && std::string(target, size_t(n)) == ptyPath_ && lstat(linkPath_.c_str(), &st) == 0 &&
            S_ISLNK(st.st_mode) && st.st_uid == geteuid())
            unlink(linkPath_.c_str());
    }
    for (int *fd : {&master_, &inotify_, &wake_}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
}

bool PortBridge::WithOpenHandle(const std::function<void(HANDLE)> &use)
{
    std::lock_guard<std::mutex> guard(handleLock_);
    if (port_ == nullptr) return false;
    use(port_);
    return true;
}

bool PortBridge::WaitUntilReleased(std::chrono::milliseconds bound)
{
    if (!portOpen_) return true;
    if (ProgramHoldsTerminal()) return false;
    std::unique_lock<std::mutex> guard(handleLock_);
    return closedCv_.wait_for(guard, bound, [this] { return !portOpen_.load(); });
}

// With no program on the slave side the master reports a hang-up (once one has been open).
bool PortBridge::ProgramHoldsTerminal()
{
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, 0) < 0) return false;
    return !(p.revents & POLLHUP);
}

void PortBridge::Run()
{
    bool wantOpen = false;  // a program opened the terminal; the port is not open yet
    for (;;) {
        // Closed: only the slave's open notifications matter (the master hangs up for as long as
        // no program holds it, so it is not polled). Open: the master's data and hang-up.
        std::vector<pollfd> fds = {{wake_, POLLIN, 0}, {inotify_, POLLIN, 0}};
        bool open = portOpen_.load();
        int timeout = -1;
        if (wantOpen) timeout = kOpenRetryMs;
        if (open) {
            // The relay is asked only when it said it would need it: its wake, a terminal that
            // takes more, its time.
            if (serviceRelay_ || (relayDue_ != UINT64_MAX && NowMicros() >= relayDue_)) {
                int ms = relay_.Service(&relayWritable_);
                relayDue_ = ms < 0 ? UINT64_MAX : NowMicros() + std::uint64_t(ms) * 1000;
                serviceRelay_ = false;
            }
            fds.push_back({master_, short(POLLIN | (relayWritable_ ? POLLOUT : 0)), 0});
            std::uint64_t deadline = std::min(assembler_.Deadline(), relayDue_);
            if (deadline != UINT64_MAX) {
                std::uint64_t now = NowMicros();
                timeout = deadline <= now ? 0 : int((deadline - now + 999) / 1000);
            }
        }
        int n = poll(fds.data(), fds.size(), timeout);
        if (n < 0 && errno != EINTR) break;
        if (stopping_) break;
        if (fds[0].revents & POLLIN) {
            std::uint64_t count;
            (void)!read(wake_, &count, sizeof(count));
            serviceRelay_ = true;
        }
        if (open && (fds[2].revents & POLLOUT)) serviceRelay_ = true;

        if (fds[1].revents & POLLIN) {
            char events[4096];
            while (read(inotify_, events, sizeof(events)) > 0) {
            }
            if (!open) wantOpen = true;
        }
        if (!open && wantOpen) {
            // Opened and already closed again: keep anything it wrote, forwarded on a short open.
            int pending = 0;
            ioctl(master_, FIONREAD, &pending);
            if (ProgramHoldsTerminal() || pending > 0) {
                if (OpenPort()) {
                    wantOpen = false;
                    open = true;
                }
            } else {
                wantOpen = false;
            }
            if (open && !ProgramHoldsTerminal()) {
                ForwardRestAndClose();
                open = false;
            }
            continue;
        }
        if (open) {
            bool hungUp = false;
            if (fds.size() > 2 && (fds[2].revents & (POLLIN | POLLHUP))) hungUp = DrainTerminal() == Drain::HungUp;
            Forward(hungUp);
            if (hungUp) ClosePort();
        }
    }
    if (portOpen_) ForwardRestAndClose();
}

// What the program wrote before it closed the terminal still goes to the port, within a bound
// in case another program opens it and keeps writing.
void PortBridge::ForwardRestAndClose()
{
    for (int i = 0; i < 16 && DrainTerminal() == Drain::More; ++i) Forward(false);
    Forward(true);
    ClosePort();
}

bool PortBridge::OpenPort()
{
    std::u16string path = PortPath(portName_);
    HANDLE h = CreateFileW(reinterpret_cast<LPCWSTR>(path.c_str()), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE || h == nullptr) {
        if (!openFailedLogged_) {
            log_(portName_ + ": program opened " + ptyPath_ + " but the port does not open (error " +
                 std::to_string(GetLastError()) + "); retrying");
            openFailedLogged_ = true;
        }
        return false;
    }
    openFailedLogged_ = false;
    // The bridge's own read timeouts: return at the first character, else after one second. The
    // program's VMIN/VTIME apply to the terminal only.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = 1000;
    timeouts.WriteTotalTimeoutMultiplier = kWriteMsPerChar;
    timeouts.WriteTotalTimeoutConstant = kWriteConstantMs;
    SetCommTimeouts(h, &timeouts);
    {
        std::lock_guard<std::mutex> guard(handleLock_);
        port_ = h;
    }
    portOpen_ = true;
    ApplyLineSettings(true);
    serviceRelay_ = true;
    relayWritable_ = false;
    relayDue_ = UINT64_MAX;
    if (NTSTATUS status = relay_.Start(h, master_, wake_); !NT_SUCCESS(status))
        log_(portName_ + ": the port's replies cannot be read (status " + std::to_string(status) + ")");
    log_(portName_ + ": program opened " + ptyPath_ + "; port open at " + std::to_string(applied_.baud) + " baud");
    return true;
}

void PortBridge::ClosePort()
{
    if (!portOpen_) return;
    relay_.Stop();
    HANDLE h;
    {
        std::lock_guard<std::mutex> guard(handleLock_);
        h = port_;
        port_ = nullptr;
    }
    CloseHandle(h);
    // Released only once the handle is closed: a waiter may open the port at once.
    {
        std::lock_guard<std::mutex> guard(handleLock_);
        portOpen_ = false;
    }
    closedCv_.notify_all();
    assembler_.Clear();
    droppingLogged_ = false;
    log_(portName_ + ": program closed " + ptyPath_ + "; port closed");
}

// The program's terminal settings, as the port's: baud, line control and handshake. A program
// that sets the terminal to fewer than 8 data bits gets them; otherwise 8 (the port's own
// default of 7E1 would mask replies).
void PortBridge::ApplyLineSettings(bool force)
{
    termios t{};
    if (tcgetattr(master_, &t) != 0) return;
    LineConfig c = LineConfigFromTermios(t);
    if (!force && c == applied_) return;
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    if (!GetCommState(port_, &dcb)) return;
    dcb.BaudRate = c.baud;
    dcb.ByteSize = c.dataBits;
    dcb.Parity = c.parity;
    dcb.fParity = c.parity != kNoParity;
    dcb.StopBits = c.stopBits;
    dcb.fOutxCtsFlow = c.rtsCts;
    dcb.fRtsControl = c.rtsCts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fOutX = c.xonOutput;
    dcb.fInX = c.xonInput;
    dcb.XonChar = char(t.c_cc[VSTART]);
    dcb.XoffChar = char(t.c_cc[VSTOP]);
    if (dcb.XonChar == dcb.XoffChar) {
        dcb.XonChar = 0x11;
        dcb.XoffChar = 0x13;
    }
    if (!SetCommState(port_, &dcb)) {
        log_(portName_ + ": line settings refused (error " + std::to_string(GetLastError()) + ")");
        return;
    }
    applied_ = c;
    assembler_.SetSilence(RtuSilenceMicros(c.baud, LineBitsPerCharacter(c)));
}

PortBridge::Drain PortBridge::DrainTerminal()
{
    std::uint8_t buffer[4097];
    // A writer that never pauses would keep this loop reading forever: what has been read so
    // far is forwarded first, and poll brings the bridge back for the rest.
    for (std::size_t total = 0; total < kDrainLimit;) {
        ssize_t n = read(master_, buffer, sizeof(buffer));
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) return Drain::Empty;
            return Drain::HungUp;  // EIO: no program on the slave side
        }
        if (n == 0) return Drain::HungUp;
        std::uint8_t control = buffer[0];
        if (control == TIOCPKT_DATA) {
            // Many programs clear EXTPROC, so settings are read again before every write.
            ApplyLineSettings(false);
            assembler_.Add(buffer + 1, size_t(n - 1), NowMicros());
            total += size_t(n - 1);
            NoteDropping();
            // A short read took all there was: poll reports what comes next, and the read that
            // would only say so is saved.
            if (size_t(n) < sizeof(buffer)) return Drain::Empty;
            continue;
        }
        ULONG purge = 0;
        if (control & TIOCPKT_FLUSHREAD) purge |= SERIAL_PURGE_RXCLEAR;
        if (control & TIOCPKT_FLUSHWRITE) {
            purge |= SERIAL_PURGE_TXCLEAR;
            assembler_.Clear();
        }
        if (purge) {
            DWORD returned = 0;
            DeviceIoControl(port_, IOCTL_SERIAL_PURGE, &purge, sizeof(purge), nullptr, 0, &returned, nullptr);
        }
        if (control & TIOCPKT_IOCTL) ApplyLineSettings(false);
    }
    return Drain::More;
}

void PortBridge::NoteDropping()
{
    if (assembler_.Discarding() && !droppingLogged_) {
        log_(portName_ + ": the program wrote more than " + std::to_string(kMaxHeldFrame) +
             " bytes without a frame; they are dropped until the line is quiet");
        droppingLogged_ = true;
    } else if (!assembler_.Discarding() && droppingLogged_) {
        log_(portName_ + ": the line is quiet again; " + std::to_string(assembler_.Dropped() - droppedBefore_) +
             " bytes were dropped");
        droppingLogged_ = false;
    }
    if (!droppingLogged_) droppedBefore_ = assembler_.Dropped();
}

void PortBridge::Forward(bool all)
{
    if (all) assembler_.Flush();
    std::vector<std::uint8_t> chunk;
    while (assembler_.Take(NowMicros(), &chunk)) WriteToPort(chunk);
    NoteDropping();
}

void PortBridge::WriteToPort(const std::vector<std::uint8_t> &bytes)
{
    if (!portOpen_ || bytes.empty()) return;
    DWORD written = 0;
    if (!WriteFile(port_, bytes.data(), DWORD(bytes.size()), &written, nullptr) || written != bytes.size())
        log_(portName_ + ": write of " + std::to_string(bytes.size()) + " bytes ended after " +
             std::to_string(written) + " (error " + std::to_string(GetLastError()) + ")");
}

}  // namespace quorvel
