// SPDX-License-Identifier: MIT
// Devices on POSIX: serial ports (termios), parallel ports, and anything else
// a port is routed to (a USB printer node, a pseudo-terminal, a FIFO, a plain
// file that captures the stream, a network printer's raw TCP port, connected
// in tcp_posix.cpp).
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>
#include <utility>

#include "connection/device.h"
#include "connection/posix_io.h"

namespace quillbar {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

std::atomic<long long> g_no_progress_ms{15000};

// A close from another thread sets the device's interrupt flag, which every
// wait loop checks between its waits, kept short for it. No descriptor of
// its own, so the library holds none but the port's.
constexpr milliseconds kLongestWait{50};

// Which signal a write to the device may raise: SIGPIPE (a FIFO or socket
// nobody reads), SIGXFSZ (a file past the process's file-size limit).
enum class SignalRisk { none, broken_pipe, file_size };

// Only a process with a file-size limit gets SIGXFSZ: a plain file needs the
// shield (five system calls a write) only then. Asked at every write, as the
// limit may be set at any time.
bool file_size_is_limited() {
    rlimit limit{};
    return ::getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur != RLIM_INFINITY;
}

// A write to a FIFO or socket whose reader has gone raises SIGPIPE, and a
// write to a file past the process's file-size limit raises SIGXFSZ; either
// would end the caller's process. Keep them blocked in this thread for the
// write and take away any the write raised; EPIPE and EFBIG report the
// failure.
class SignalShield {
public:
    explicit SignalShield(bool active) : active_(active) {
        if (!active_) return;
        sigemptyset(&shielded_);
        sigaddset(&shielded_, SIGPIPE);
        sigaddset(&shielded_, SIGXFSZ);
        sigpending(&was_pending_);
        pthread_sigmask(SIG_BLOCK, &shielded_, &old_);
    }
    ~SignalShield() {
        if (!active_) return;
        for (int sig : {SIGPIPE, SIGXFSZ}) {
            if (sigismember(&was_pending_, sig) == 1) continue;
            sigset_t one;
            sigemptyset(&one);
            sigaddset(&one, sig);
            const timespec now{0, 0};
            while (sigtimedwait(&one, nullptr, &now) < 0 && errno == EINTR) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }

private:
    // Left unset unless active: zeroing three signal sets would cost a
    // write to a terminal more than the rest of the library's path.
    bool active_;
    sigset_t shielded_;
    sigset_t was_pending_;
    sigset_t old_;
};

// Forks of this process since it started, counted in the parent: a
// descriptor opened before the last fork may be shared with a child.
std::atomic<unsigned long> g_forks{0};
const int g_fork_count = pthread_atfork(nullptr, [] { g_forks.fetch_add(1, std::memory_order_relaxed); }, nullptr);

class PosixDevice final : public Device {
public:
    PosixDevice(int fd, std::string path, bool exclusive_tty, SignalRisk may_raise_signal, bool answers,
                bool network = false)
        : fd_(fd), path_(std::move(path)), exclusive_tty_(exclusive_tty), may_raise_signal_(may_raise_signal),
          answers_(answers), network_(network), pid_(::getpid()), forks_(g_forks.load()) {}
    ~PosixDevice() override { Device::close(); }

    bool write_all(const void *data, std::size_t size, std::string &error) override {
        return write_within(data, size, Clock::time_point::max(), error);
    }
    bool write_within(const void *data, std::size_t size, Clock::time_point deadline, std::string &error) override;
    bool close(std::string &error) override;
    bool answers() const override { return answers_; }
    long read_some(void *data, std::size_t size, milliseconds wait, std::string &error) override;

private:
    // Another process may hold this descriptor too: this one is a child that
    // inherited it, or forked since it was opened. Its connection is then
    // not this process's alone to end.
    bool shared() const { return ::getpid() != pid_ || g_forks.load() != forks_; }

    int fd_;
    std::string path_;
    bool exclusive_tty_;
    SignalRisk may_raise_signal_;
    bool answers_;
    bool network_;  // a printer's TCP connection
    pid_t pid_;     // the process that opened it
    unsigned long forks_;
    bool write_failed_ = false;  // a write failed: the printer's side is known dead, close waits little
};

// Waits in short slices, so that a close from another thread ends the wait.
long PosixDevice::read_some(void *data, std::size_t size, milliseconds wait, std::string &error) {
    const auto deadline = Clock::now() + wait;
    for (;;) {
        if (fd_ < 0 || interrupted()) {
            error = "the port " + path_ + " was closed";
            return -1;
        }
        const ssize_t n = ::read(fd_, data, size);
        if (n > 0) return static_cast<long>(n);
        if (n == 0) {
            error = path_ + " was closed by the printer";
            return -1;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            error = reason("cannot read from " + path_, errno);
            return -1;
        }
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        if (left <= milliseconds{0}) return 0;
        pollfd pfd{fd_, POLLIN, 0};
        if (::poll(&pfd, 1, static_cast<int>(std::min(left, kLongestWait).count())) < 0 && errno != EINTR) {
            error = reason("cannot wait for " + path_, errno);
            return -1;
        }
    }
}

// The descriptor stays non-blocking while open. A blocking write to a tty that
// cannot take everything never returns, so a printer that is switched off or
// holds its flow control would hang the caller for good; here every wait goes
// through poll() with the no-progress time instead. To the caller a write
// still blocks until every byte is taken.
bool PosixDevice::write_within(const void *data, std::size_t size, Clock::time_point until, std::string &error) {
    if (fd_ < 0) {
        error = "no port is open";
        return false;
    }
    SignalShield shield(may_raise_signal_ == SignalRisk::broken_pipe ||
                        (may_raise_signal_ == SignalRisk::file_size && file_size_is_limited()));
    const auto *p = static_cast<const char *>(data);
    std::size_t left = size;
    const milliseconds limit = no_progress_timeout();
    Clock::time_point deadline{};  // set when the device first takes nothing
    // Some drivers (the parallel port's among them) have no poll of their own
    // and always say "ready": back off instead of spinning on them.
    milliseconds backoff{0};
    bool poll_said_ready = false;
    while (left > 0) {
        if (interrupted()) {
            error = "the write to " + path_ + " was ended by closing the port from another thread";
            return false;
        }
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
            error = errno == EPIPE   ? "nothing reads " + path_ + " any more"
                    : errno == EFBIG ? path_ + " cannot grow: the file-size limit is reached"
                                     : reason("cannot write to " + path_, errno);
            write_failed_ = true;
            return false;  // EIO, ENXIO, EPIPE...
        }

        if (deadline == Clock::time_point{}) deadline = Clock::now() + limit;
        const auto now = Clock::now();
        if (now >= until) {
            error = path_ + " did not take the bytes in the time given";
            return false;
        }
        const auto remaining = std::chrono::duration_cast<milliseconds>(std::min(deadline, until) - now);
        if (remaining <= milliseconds{0}) {
            char seconds[32];
            std::snprintf(seconds, sizeof seconds, "%.1f", static_cast<double>(limit.count()) / 1000.0);
            error = path_ + " took no byte for " + seconds + " s: is the printer on and ready?";
            write_failed_ = true;
            return false;
        }
        if (poll_said_ready) {
            backoff = std::clamp(backoff * 2, milliseconds{1}, milliseconds{64});
            std::this_thread::sleep_for(std::min(backoff, remaining));
        }
        pollfd pfd{fd_, POLLOUT, 0};
        const int ready = ::poll(&pfd, 1, static_cast<int>(std::min(remaining, kLongestWait).count()));
        if (ready < 0 && errno != EINTR) {
            error = reason("cannot wait for " + path_, errno);
            return false;
        }
        poll_said_ready = ready > 0;
    }
    return true;
}

bool PosixDevice::close(std::string &error) {
    if (fd_ < 0) return true;
    const bool child = ::getpid() != pid_;
    const bool is_shared = shared();
    // A child's close only lets its copy go: the parent's printer goes on
    // (and what the child wrote is the system's to send).
    bool delivered = true;
    if (network_ && !child) {
        const Ending ending = end_connection(fd_, path_,
                                             write_failed_   ? CloseWait::printer_dead
                                             : interrupted() ? CloseWait::cancelled
                                                             : CloseWait::normal,
                                             is_shared);
        delivered = !ending.lost;
        if (ending.lost) error = ending.words;
        if (ending.unconfirmed > 0) set_unconfirmed(ending.unconfirmed, ending.words);
    }
    if (exclusive_tty_ && !is_shared) ::ioctl(fd_, TIOCNXCL);
    // The lock goes with the descriptor. An explicit LOCK_UN would also drop
    // it for a forked copy of this process that still holds the port.
    // Linux releases the descriptor even when close reports EINTR; never retry.
    const int rc = ::close(std::exchange(fd_, -1));
    if (rc == 0 || errno == EINTR) return delivered;
    error = reason("cannot close " + path_, errno);
    return false;
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

// speed B0: the terminal keeps the speed it has.
bool configure_terminal(int fd, speed_t speed) {
    termios t{};
    ::tcgetattr(fd, &t);  // a port whose settings cannot be read is still set up
    make_raw(t, speed == B0 ? cfgetospeed(&t) : speed);
    if (::tcsetattr(fd, TCSANOW, &t) != 0) return false;
    termios back{};
    return ::tcgetattr(fd, &back) == 0 && took(t, back);
}

}  // namespace

std::string default_device(const std::string &port_name) {
    if (port_name == "LPT1") return "/dev/lp0";
    if (port_name == "LPT2") return "/dev/lp1";
    if (port_name == "COM1") return "/dev/ttyS0";
    return "/dev/ttyS1";  // COM2
}

void set_no_progress_timeout(milliseconds timeout) { g_no_progress_ms.store(timeout.count()); }
milliseconds no_progress_timeout() { return milliseconds{g_no_progress_ms.load()}; }

// A network printer: raw EPL2 on a TCP port; no line settings to make.
OpenedDevice open_network_printer(const std::string &route) {
    OpenedDevice result;
    Fd fd(connect_tcp(route, result.error));
    if (!fd) return result;
    result.device.reset(new PosixDevice(fd.get(), route, false, SignalRisk::broken_pipe, true, true));
    fd.release();
    result.configured = true;
    return result;
}

OpenedDevice open_path(const std::string &path, PortKind kind, int baud) {
    OpenedDevice result;

    // O_NONBLOCK: a serial open must not wait for a modem carrier, a FIFO
    // open must not wait for a reader, and writes wait in poll() (see
    // write_all). O_APPEND: a plain file that captures the stream keeps what
    // it held; devices ignore it.
    const int flags = O_NOCTTY | O_CLOEXEC | O_NONBLOCK | O_APPEND;
    struct stat st{};
    const bool fifo = ::stat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
    // A FIFO opened for reading too would be its own reader: with nobody at
    // the other end, what is written would vanish into it unnoticed.
    Fd fd(::open(path.c_str(), (fifo ? O_WRONLY : O_RDWR) | flags));
    // Nothing is ever read back, so a device that refuses read access is
    // opened for writing only.
    if (!fd && !fifo && (errno == EACCES || errno == EROFS || errno == EPERM))
        fd.reset(::open(path.c_str(), O_WRONLY | flags));
    if (!fd) {
        result.error = fifo && errno == ENXIO ? "nothing reads the FIFO " + path : reason("cannot open " + path, errno);
        return result;
    }

    // Exclusive use. TIOCEXCL refuses other openers of a tty but not root;
    // the lock refuses everyone who asks for it, root included.
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        result.error = path + " is in use by another program";
        return result;
    }
    // Line settings belong to terminals only, whatever the selector: a
    // terminal always gets a raw line (no LF turned into CR LF), at the baud
    // for a serial port; a parallel port routed to a terminal keeps its speed.
    const bool terminal = ::isatty(fd.get()) == 1;
    const bool exclusive_tty = terminal && ::ioctl(fd.get(), TIOCEXCL) == 0;
    const bool described = ::fstat(fd.get(), &st) == 0;
    const SignalRisk may_raise_signal = !described                                     ? SignalRisk::none
                                        : S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) ? SignalRisk::broken_pipe
                                        : S_ISREG(st.st_mode)                          ? SignalRisk::file_size
                                                                                       : SignalRisk::none;
    result.configured = !terminal || configure_terminal(fd.get(), kind == PortKind::serial ? speed_for(baud) : B0);
    if (!result.configured) result.error = "the line settings of " + path + " did not take";
    // A terminal carries the printer's answers back, when it was opened for
    // reading too.
    const int mode = ::fcntl(fd.get(), F_GETFL);
    const bool answers = terminal && mode >= 0 && (mode & O_ACCMODE) == O_RDWR;
    result.device.reset(new PosixDevice(fd.get(), path, exclusive_tty, may_raise_signal, answers));
    fd.release();
    return result;
}

}  // namespace quillbar
