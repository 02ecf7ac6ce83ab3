// SPDX-License-Identifier: MIT
// The tool's listening sockets: on HOST:PORT, or the ones a service
// manager opened and passed (systemd's socket activation, through
// libsystemd, opened only then).
#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fcntl.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "connection/late_library.h"

#include "preview_tool.h"

// libsystemd0's, declared here: only the library itself is needed.
extern "C" int sd_listen_fds_with_names(int unset_environment, char ***names);
extern "C" int sd_is_socket(int fd, int family, int type, int listening);

namespace quillbar::tool {
namespace {

#define QB_SYSTEMD_FUNCTIONS(X) X(sd_listen_fds_with_names) X(sd_is_socket)
struct SystemdLibrary {
    QB_SYSTEMD_FUNCTIONS(QB_LATE_POINTER)
};

// The socket systemd passed for name (FileDescriptorName=); without names,
// the order says: "http" first, "printer" second. -1 with errno 0 and the
// reason in error when there is none.
int passed_socket(const std::string &name, std::string &error) {
    errno = 0;
    if (!std::getenv("LISTEN_FDS")) {
        error = "no socket was passed (systemd sets LISTEN_FDS for a socket-activated service)";
        return -1;
    }
    const SystemdLibrary *sd = load_late_once<SystemdLibrary>(
        "libsystemd.so.0", "sockets passed by systemd", "libsystemd", "libsystemd0",
        [](void *handle, SystemdLibrary &table, const char *&missing) { QB_SYSTEMD_FUNCTIONS(QB_LATE_RESOLVE) }, error);
    if (!sd) return -1;
    char **names = nullptr;
    const int count = sd->sd_listen_fds_with_names(0, &names);
    int fd = -1;
    for (int i = 0; i < count; ++i) {
        const bool named = names && names[i] && std::strcmp(names[i], "unknown") != 0;
        if ((named && name == names[i]) || (!named && i == (name == "http" ? 0 : 1))) fd = 3 + i;
    }
    for (int i = 0; names && names[i]; ++i) std::free(names[i]);
    std::free(names);
    if (fd < 0 || sd->sd_is_socket(fd, AF_UNSPEC, SOCK_STREAM, 1) <= 0) {
        error = count <= 0 ? "systemd passed no socket to this process"
                           : "systemd passed no listening stream socket named " + name;
        return -1;
    }
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

}  // namespace

int listen_on(const std::string &where, std::string &bound, bool &loopback, const char *passed_name,
              std::string *error) {
    if (where == "systemd") {
        std::string why;
        const int fd = passed_socket(passed_name ? passed_name : "", why);
        if (fd >= 0) describe_socket(fd, bound, loopback);
        if (error) *error = why;
        return fd;
    }
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
    describe_socket(fd, bound, loopback);
    return fd;
}

void describe_socket(int fd, std::string &bound, bool &loopback) {
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
}

}  // namespace quillbar::tool
