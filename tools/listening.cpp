// SPDX-License-Identifier: MIT
// The tool's listening sockets, on HOST:PORT.
#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "preview_tool.h"

namespace quillbar::tool {

int listen_on(const std::string &where, std::string &bound, bool &loopback) {
    const std::size_t colon = where.rfind(':');
    if (colon == std::string::npos) return -1;
    std::string host = where.substr(0, colon);
    const std::string port = where.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    // 0 (any free port) to 65535: a larger number would wrap to another port.
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
        std::stol(port) > 65535) {
        errno = 0;
        return -1;
    }
    if (host.empty()) host = "127.0.0.1";
    addrinfo hints{}, *found = nullptr;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    if (getaddrinfo(host == "*" ? nullptr : host.c_str(), port.c_str(), &hints, &found) != 0) return -1;
    int fd = -1;
    for (addrinfo *a = found; a && fd < 0; a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        // A burst of clients waits in the kernel's queue, not refused.
        if (fd >= 0 && (bind(fd, a->ai_addr, a->ai_addrlen) != 0 || listen(fd, SOMAXCONN) != 0)) {
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(found);
    if (fd < 0) return -1;
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
    char name[INET6_ADDRSTRLEN] = {};
    if (addr.ss_family == AF_INET6) {
        const auto *a6 = reinterpret_cast<sockaddr_in6 *>(&addr);
        inet_ntop(AF_INET6, &a6->sin6_addr, name, sizeof name);
        loopback = IN6_IS_ADDR_LOOPBACK(&a6->sin6_addr);
        bound = std::string("[") + name + "]:" + std::to_string(ntohs(a6->sin6_port));
    } else {
        const auto *a4 = reinterpret_cast<sockaddr_in *>(&addr);
        inet_ntop(AF_INET, &a4->sin_addr, name, sizeof name);
        loopback = (ntohl(a4->sin_addr.s_addr) >> 24) == 127;
        bound = std::string(name) + ":" + std::to_string(ntohs(a4->sin_port));
    }
    return fd;
}

}  // namespace quillbar::tool
