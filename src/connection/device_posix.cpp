// Devices on POSIX: serial ports (termios), parallel ports, and anything else
// a port is routed to (a USB printer node, a pseudo-terminal, a FIFO, a plain
// file that captures the stream, a network printer's raw TCP port).
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <thread>
#include <utility>

#include "connection/device.h"

namespace quillbar {
namespace {

using Clock = std::chrono::steady_clock;
const std::string kTcpScheme = "tcp://";
using std::chrono::milliseconds;

std::atomic<long long> g_no_progress_ms{15000};
std::atomic<long long> g_connect_ms{5000};

// Owns one file descriptor; every early return closes it.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

// A write to a FIFO or socket whose reader has gone raises SIGPIPE, which
// would end the caller's process. Keep it blocked in this thread for the
// write and take away any SIGPIPE the write raised; EPIPE reports the failure.
class SigpipeShield {
public:
    explicit SigpipeShield(bool active) : active_(active) {
        if (!active_) return;
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        was_pending_ = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
    }
    ~SigpipeShield() {
        if (!active_) return;
        if (!was_pending_) {
            const timespec now{0, 0};
            while (sigtimedwait(&pipe_, nullptr, &now) < 0 && errno == EINTR) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }

private:
    bool active_;
    bool was_pending_ = false;
    sigset_t pipe_{};
    sigset_t old_{};
};

class PosixDevice final : public Device {
public:
    PosixDevice(int fd, bool exclusive_tty, bool may_raise_sigpipe)
        : fd_(fd), exclusive_tty_(exclusive_tty), may_raise_sigpipe_(may_raise_sigpipe) {}
    ~PosixDevice() override { close(); }

    bool write_all(const void *data, std::size_t size) override;
    bool close() override;

private:
    int fd_;
    bool exclusive_tty_;
    bool may_raise_sigpipe_;
};

// The descriptor stays non-blocking while open. A blocking write to a tty that
// cannot take everything never returns, so a printer that is switched off or
// holds its flow control would hang the caller for good; here every wait goes
// through poll() with the no-progress time instead. To the caller a write
// still blocks until every byte is taken.
bool PosixDevice::write_all(const void *data, std::size_t size) {
    if (fd_ < 0) return false;
    SigpipeShield shield(may_raise_sigpipe_);
    const auto *p = static_cast<const char *>(data);
    std::size_t left = size;
    const milliseconds limit = no_progress_timeout();
    Clock::time_point deadline{};  // set when the device first takes nothing
    // Some drivers (the parallel port's among them) have no poll of their own
    // and always say "ready": back off instead of spinning on them.
    milliseconds backoff{0};
    bool poll_said_ready = false;
    while (left > 0) {
        const ssize_t n = ::write(fd_, p, left);
        if (n > 0) {
            p += n;
            left -= static_cast<std::size_t>(n);
            if (left == 0) break;
            deadline = Clock::now() + limit;  // progress: the no-progress time starts again
            backoff = milliseconds{0};
            poll_said_ready = false;
            // A part was taken: the device is full for now, so wait for room
            // rather than ask again at once.
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            return false;  // EIO, ENXIO, EPIPE...
        }

        if (deadline == Clock::time_point{}) deadline = Clock::now() + limit;
        const auto remaining = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        if (remaining <= milliseconds{0}) return false;
        if (poll_said_ready) {
            backoff = std::clamp(backoff * 2, milliseconds{1}, milliseconds{64});
            std::this_thread::sleep_for(std::min(backoff, remaining));
        }
        pollfd pfd{fd_, POLLOUT, 0};
        const int ready = ::poll(&pfd, 1, static_cast<int>(std::min<long long>(remaining.count(), 1000)));
        if (ready < 0 && errno != EINTR) return false;
        poll_said_ready = ready > 0;
    }
    return true;
}

bool PosixDevice::close() {
    if (fd_ < 0) return true;
    if (exclusive_tty_) ::ioctl(fd_, TIOCNXCL);
    // The lock goes with the descriptor. An explicit LOCK_UN would also drop
    // it for a forked copy of this process that still holds the port.
    // Linux releases the descriptor even when close reports EINTR; never retry.
    const int rc = ::close(std::exchange(fd_, -1));
    return rc == 0 || errno == EINTR;
}

speed_t speed_for(int baud) {
    switch (baud) {
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    default: return B0;
    }
}

// Raw binary line at baud, 8 data bits, no parity, one stop bit, no input or
// output processing (an LF reaches the printer as one LF byte). Flow control
// and everything else stay as the port had them.
void make_raw(termios &t, speed_t speed) {
    t.c_iflag &= ~tcflag_t(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | INPCK);
    t.c_oflag &= ~tcflag_t(OPOST);
    t.c_lflag &= ~tcflag_t(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~tcflag_t(CSIZE | PARENB | CSTOPB);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
}

// tcsetattr succeeds when any one of the settings took; read them back.
bool took(const termios &want, const termios &got) {
    const tcflag_t cflags = CSIZE | PARENB | CSTOPB | CLOCAL | CREAD;
    const tcflag_t lflags = ECHO | ECHONL | ICANON | ISIG | IEXTEN;
    const tcflag_t iflags = INLCR | IGNCR | ICRNL | ISTRIP;
    return cfgetospeed(&got) == cfgetospeed(&want) && cfgetispeed(&got) == cfgetispeed(&want) &&
           (got.c_cflag & cflags) == (want.c_cflag & cflags) && (got.c_oflag & OPOST) == 0 &&
           (got.c_lflag & lflags) == 0 && (got.c_iflag & iflags) == 0;
}

bool configure_serial(int fd, int baud) {
    termios t{};
    ::tcgetattr(fd, &t);  // a port whose settings cannot be read is still set up
    make_raw(t, speed_for(baud));
    if (::tcsetattr(fd, TCSANOW, &t) != 0) return false;
    termios back{};
    return ::tcgetattr(fd, &back) == 0 && took(t, back);
}

// "tcp://HOST:PORT", HOST a name, an IPv4 address or an IPv6 one in brackets.
bool split_tcp(const std::string &path, std::string &host, std::string &port) {
    const std::string rest = path.substr(kTcpScheme.size());
    const std::size_t colon = rest.rfind(':');
    if (colon == std::string::npos || colon + 1 == rest.size()) return false;
    host = rest.substr(0, colon);
    port = rest.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    return !host.empty() && port.find_first_not_of("0123456789") == std::string::npos;
}

// Connects within the connect time: a printer that does not answer fails the
// open instead of hanging it.
int connect_tcp(const std::string &path) {
    std::string host, port;
    if (!split_tcp(path, host, port)) return -1;
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) return -1;
    const auto deadline = Clock::now() + milliseconds{g_connect_ms.load()};
    int connected = -1;
    for (addrinfo *a = found; a && connected < 0; a = a->ai_next) {
        Fd fd(::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol));
        if (!fd) continue;
        if (::connect(fd.get(), a->ai_addr, a->ai_addrlen) != 0) {
            if (errno != EINPROGRESS) continue;
            const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
            pollfd pfd{fd.get(), POLLOUT, 0};
            int error = 0;
            socklen_t len = sizeof error;
            if (left <= 0 || ::poll(&pfd, 1, static_cast<int>(left)) != 1 ||
                ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0)
                continue;
        }
        // Every command line goes out as it is written, not held back for the next.
        const int on = 1;
        ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        connected = fd.release();
    }
    ::freeaddrinfo(found);
    return connected;
}

}  // namespace

std::string default_device(const std::string &port_name) {
    if (port_name == "LPT1") return "/dev/lp0";
    if (port_name == "LPT2") return "/dev/lp1";
    if (port_name == "COM1") return "/dev/ttyS0";
    return "/dev/ttyS1";  // COM2
}

void set_connect_timeout(milliseconds timeout) { g_connect_ms.store(timeout.count()); }

void set_no_progress_timeout(milliseconds timeout) { g_no_progress_ms.store(timeout.count()); }
milliseconds no_progress_timeout() { return milliseconds{g_no_progress_ms.load()}; }

OpenedDevice open_device(const std::string &path, PortKind kind, int baud) {
    // A network printer: raw EPL2 on a TCP port; no line settings to make.
    if (path.compare(0, kTcpScheme.size(), kTcpScheme) == 0) {
        Fd fd(connect_tcp(path));
        if (!fd) return {};
        return {std::unique_ptr<Device>(new PosixDevice(fd.release(), false, true)), true};
    }

    // O_NONBLOCK: a serial open must not wait for a modem carrier, and writes
    // wait in poll() (see write_all). O_APPEND: a plain file that captures the
    // stream keeps what it held; devices ignore it.
    const int flags = O_NOCTTY | O_CLOEXEC | O_NONBLOCK | O_APPEND;
    Fd fd(::open(path.c_str(), O_RDWR | flags));
    // Nothing is ever read back, so a printer node that refuses read access
    // is opened for writing only.
    if (!fd && kind == PortKind::parallel && (errno == EACCES || errno == EROFS || errno == EPERM))
        fd.reset(::open(path.c_str(), O_WRONLY | flags));
    if (!fd) return {};

    // Exclusive use. TIOCEXCL refuses other openers of a tty but not root;
    // the lock refuses everyone who asks for it, root included.
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) return {};
    const bool exclusive_tty = kind == PortKind::serial && ::ioctl(fd.get(), TIOCEXCL) == 0;

    struct stat st{};
    const bool may_raise_sigpipe = ::fstat(fd.get(), &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode));
    const bool configured = kind == PortKind::parallel || configure_serial(fd.get(), baud);
    // The allocation comes before fd.release() is evaluated, so a failed one
    // still leaves the descriptor with its owner.
    return {std::unique_ptr<Device>(new PosixDevice(fd.release(), exclusive_tty, may_raise_sigpipe)),
            configured};
}

}  // namespace quillbar
