// SPDX-License-Identifier: MIT
// A network printer's raw TCP port, connected on POSIX.
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <chrono>

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

void set_connect_timeout(milliseconds timeout) { g_connect_ms.store(timeout.count()); }
milliseconds connect_timeout() { return milliseconds{g_connect_ms.load()}; }

}  // namespace quillbar
