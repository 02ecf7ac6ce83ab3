// SPDX-License-Identifier: MIT
// A network printer's raw TCP port, connected on POSIX.
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>

#include "connection/device.h"
#include "connection/posix_io.h"

namespace quillbar {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

std::atomic<long long> g_connect_ms{5000};

// "tcp://HOST:PORT", HOST a name, an IPv4 address or an IPv6 one in brackets,
// PORT 1..65535 (a larger number is no port: it would wrap to another one).
bool split_tcp(const std::string &path, std::string &host, std::string &port) {
    const std::string rest = path.substr(path.find("://") + 3);  // after the scheme the route table matched
    const std::size_t colon = rest.rfind(':');
    if (colon == std::string::npos || colon + 1 == rest.size()) return false;
    host = rest.substr(0, colon);
    port = rest.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    return !host.empty() && port.size() <= 5 && port.find_first_not_of("0123456789") == std::string::npos &&
           std::stol(port) >= 1 && std::stol(port) <= 65535;
}

// Waits until the connection in progress on fd is made or refused, within
// the deadline; a handled signal does not end the wait. 0, or the errno.
int finish_connect(int fd, Clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return ETIMEDOUT;
        pollfd pfd{fd, POLLOUT, 0};
        const int ready = ::poll(&pfd, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return errno;
        if (ready == 0) return ETIMEDOUT;
        int error = 0;
        socklen_t len = sizeof error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0) return errno;
        return error;
    }
}

}  // namespace

int connect_tcp(const std::string &path, std::string &why) {
    std::string host, port;
    if (!split_tcp(path, host, port)) {
        why = path + " is not tcp://HOST:PORT with PORT 1..65535";
        return -1;
    }
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    int rc;
    do {
        rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
    } while (rc == EAI_SYSTEM && errno == EINTR);
    if (rc != 0) {
        why = "cannot find " + host + ": " + ::gai_strerror(rc);
        return -1;
    }
    const auto deadline = Clock::now() + connect_timeout();
    int connected = -1;
    why = "cannot connect to " + host + " port " + port + ": no address";
    for (addrinfo *a = found; a && connected < 0; a = a->ai_next) {
        Fd fd(::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol));
        if (!fd) continue;
        if (::connect(fd.get(), a->ai_addr, a->ai_addrlen) != 0) {
            // EINTR: the connection goes on being made, as with EINPROGRESS.
            int error = errno;
            if (error == EINPROGRESS || error == EINTR) error = finish_connect(fd.get(), deadline);
            if (error != 0) {
                why = reason("cannot connect to " + host + " port " + port, error);
                continue;
            }
        }
        // Every command line goes out as it is written, not held back for the next.
        const int on = 1;
        ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        connected = fd.release();
    }
    ::freeaddrinfo(found);
    return connected;
}

namespace {
// Bytes written to a socket that its peer has not acknowledged yet; -1 when
// the system cannot say.
int unacknowledged(int fd) {
    int n = 0;
    return ::ioctl(fd, TIOCOUTQ, &n) == 0 ? n : -1;
}

// A network printer drops what it has not read yet when its connection is
// reset, and closing a socket that holds unread bytes (an answer to a query
// that timed out, to a UQ nobody read) resets it. So the end goes as a FIN
// after the last byte, what the printer sends is read and dropped, and the
// socket closes once the printer has ended its side, or has acknowledged
// every byte and said nothing for a moment (a printer that keeps talking is
// left that moment after its last acknowledgement).
// What it has not acknowledged when close stops waiting is not lost: the
// system goes on sending it after the close, so it may still print. That is
// a notice ("not confirmed"), never a failure; only a connection that failed
// (reset, refused) loses bytes, and says how many.
// How long close waits: while the printer takes bytes, with the no-progress
// time for each; a close that cancels (from another thread while a call was
// writing) stops once the printer has taken nothing for a second, and waits
// no longer than the no-progress time in all; after a failed write (the
// printer's side is known dead) a second in all.
}  // namespace

Ending end_connection(int fd, const std::string &path, CloseWait wait, bool shared) {
    constexpr milliseconds kQuietEnough{200};
    constexpr milliseconds kCancelled{1000};
    const milliseconds limit = no_progress_timeout();
    const auto start = Clock::now();
    milliseconds stall = limit;              // no byte acknowledged for this long: stop waiting
    auto end = Clock::time_point::max();     // and never past this
    if (wait == CloseWait::printer_dead) {
        stall = std::min(kCancelled, limit);
        end = start + stall;
    } else if (wait == CloseWait::cancelled) {
        stall = std::min(kCancelled, limit);
        end = start + limit;
    }
    Ending ending;
    const auto lost = [&](int bytes, int why) {
        ending.lost = true;
        ending.words = reason(path + ": " + std::to_string(bytes) + " byte(s) were not delivered", why);
        return ending;
    };
    const int before = unacknowledged(fd);
    // A descriptor another process holds too is not ended for it: no FIN,
    // only this process's copy closes.
    if (!shared && ::shutdown(fd, SHUT_WR) != 0) return before <= 0 ? ending : lost(before, errno);
    auto deadline = std::min(start + stall, end);  // for the printer to take a byte
    auto heard = start;                            // when it last sent something
    Clock::time_point acknowledged{};              // when every byte first was
    int left = before;
    char sink[4096];
    for (;;) {
        const ssize_t n = ::read(fd, sink, sizeof sink);
        const int read_error = errno;
        const auto now = Clock::now();
        if (n == 0) return ending;  // the printer ended its side: it has read every byte
        if (n < 0 && read_error == EINTR) continue;
        const int unsent = unacknowledged(fd);
        if (n > 0) {
            heard = now;
        } else if (read_error != EAGAIN && read_error != EWOULDBLOCK) {
            return unsent <= 0 ? ending : lost(unsent, read_error);  // reset: what was not acknowledged is gone
        }
        if (unsent < left) {
            left = unsent;
            deadline = std::min(now + stall, end);
        }
        if (unsent <= 0) {
            if (acknowledged == Clock::time_point{}) acknowledged = now;
            if (now - heard >= kQuietEnough || now - acknowledged >= kQuietEnough || now >= end) return ending;
        } else if (now >= deadline) {
            char seconds[32];
            std::snprintf(seconds, sizeof seconds, "%.1f",
                          static_cast<double>(std::chrono::duration_cast<milliseconds>(now - start).count()) / 1000.0);
            ending.unconfirmed = unsent;
            ending.words = path + ": the printer had not confirmed " + std::to_string(unsent) +
                           " byte(s) when the port closed after " + seconds +
                           " s; the system goes on sending them, so they may still print: check the printer "
                           "before printing anything again";
            return ending;
        }
        if (n > 0) continue;
        pollfd pfd{fd, POLLIN, 0};
        (void)::poll(&pfd, 1, 50);  // short: the loop checks its times between polls
    }
}


void set_connect_timeout(milliseconds timeout) { g_connect_ms.store(timeout.count()); }
milliseconds connect_timeout() { return milliseconds{g_connect_ms.load()}; }

}  // namespace quillbar
