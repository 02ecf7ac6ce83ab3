// SPDX-License-Identifier: MIT
// A status round trip, QB_PrinterStatus, to the virtual printer over TCP and
// over a pseudo-terminal, against its floor measured in the same run: a
// plain write of "^ee" and a read of the answer on a connection of its own
// to the same printer. Rounds of the two alternate; CPU time is the
// process's, wall time is per round trip.
//
//   quillbar_status_round_trip PREVIEW_TOOL [ROUNDS]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "print_server.h"
#include "quillbar.h"

namespace {

double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double wall_seconds() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

// "^ee" and its answer on a descriptor of our own.
bool plain_round_trip(int fd) {
    if (write(fd, "^ee\n", 4) != 4) return false;
    char c = 0;
    std::string line;
    while (c != '\n') {
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, 2000) != 1 || read(fd, &c, 1) != 1) return false;
        line += c;
    }
    return line == "00\r\n";
}

struct Figures {
    double cpu = 0, wall = 0;
};

// Alternates blocks of the library's round trip and the floor's.
void compare(const char *route_kind, QB_Printer *printer, int fd, int rounds) {
    Figures ours, floor;
    const std::function<bool()> library = [&] { return QB_PrinterStatus(printer, 2000) == QB_STATUS_OK; };
    const std::function<bool()> plain = [&] { return plain_round_trip(fd); };
    for (int block = 0; block < 10; ++block)
        for (auto [call, figures] : {std::pair{&library, &ours}, std::pair{&plain, &floor}}) {
            const double c = cpu_seconds(), w = wall_seconds();
            for (int i = 0; i < rounds / 10; ++i)
                if (!(*call)()) {
                    std::printf("%s: a round trip failed\n", route_kind);
                    return;
                }
            figures->cpu += cpu_seconds() - c;
            figures->wall += wall_seconds() - w;
        }
    const double n = rounds / 10 * 10;
    std::printf("status round trip over %s, %d rounds: quillbar %.1f us wall, %.1f us CPU; plain write+read "
                "%.1f us wall, %.1f us CPU (CPU quillbar/plain %.2f)\n",
                route_kind, static_cast<int>(n), ours.wall / n * 1e6, ours.cpu / n * 1e6, floor.wall / n * 1e6,
                floor.cpu / n * 1e6, ours.cpu / floor.cpu);
}

std::string folder() {
    char name[] = "/tmp/quillbar-bench-XXXXXX";
    return mkdtemp(name);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) return 64;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 300;
    // Over TCP: the printer takes one connection at a time, so the floor's
    // rounds go to a second virtual printer of the same kind.
    const std::string d1 = folder(), d2 = folder(), d3 = folder();
    qbtest::ListeningPrinter tcp_a(argv[1], d1), tcp_b(argv[1], d2);
    QB_Printer *p = QB_PrinterOpen(("tcp://127.0.0.1:" + std::to_string(tcp_a.port())).c_str(), 0);
    const int sock = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(tcp_b.port()));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int on = 1;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (!p || connect(sock, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        std::printf("status round trip: the virtual printers did not start\n");
        return 1;
    }
    compare("tcp", p, sock, rounds);
    QB_PrinterClose(p);
    close(sock);

    // Over a pseudo-terminal: the library's rounds and the floor's share
    // the one printer, one after the other.
    qbtest::ListeningPrinter serial(argv[1], d3, {"--serve"});
    p = QB_PrinterOpen(serial.device().c_str(), 9600);  // raw, 8N1
    // The floor writes and reads through a second descriptor of the same
    // terminal (root passes its exclusive use): the printer answers on the
    // line, whoever reads it.
    const int plain = open(serial.device().c_str(), O_RDWR | O_NOCTTY);
    if (!p || plain < 0) {
        std::printf("status round trip: the serial virtual printer did not open: %s\n", QB_GetLastErrorMessage());
        return 1;
    }
    compare("a pseudo-terminal", p, plain, rounds);
    QB_PrinterClose(p);
    close(plain);
    return 0;
}
