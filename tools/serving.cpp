// SPDX-License-Identifier: MIT
// quillbar-preview as a printer: on a new pseudo-terminal (--serve) or on a
// TCP port (--listen), until it is stopped or has printed --labels.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <deque>

#include "bounds.h"
#include "printer_fault.h"
#include "http_service.h"
#include "preview_tool.h"
#include "printer_feed.h"

namespace quillbar::tool {
namespace {

namespace limits = quillbar::preview::limits;

// Signals a printer that serves: SIGINT and SIGTERM stop it, SIGUSR1 clears
// a fault.
void handle_signals() {
    std::signal(SIGINT, stop);
    std::signal(SIGTERM, stop);
    struct sigaction sa {};
    sa.sa_handler = resume;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGUSR1, &sa, nullptr);
}

// --raw FILE: where the bytes received are kept as they come.
bool open_raw(const Options &o, FILE *&raw) {
    raw = o.raw.empty() ? nullptr : std::fopen(o.raw.c_str(), "wb");
    if (o.raw.empty() || raw) return true;
    std::fprintf(stderr, "%s: cannot write %s: %s\n", kProgram, o.raw.c_str(), std::strerror(errno));
    return false;
}

void keep_raw(FILE *raw, const char *data, std::size_t size) {
    if (raw && std::fwrite(data, 1, size, raw) == size) std::fflush(raw);
}

// Whether a process other than this one has the terminal open: a client
// that crashed leaves none behind.
bool others_hold(const std::string &terminal) {
    const std::string self = std::to_string(getpid());
    DIR *proc = opendir("/proc");
    if (!proc) return true;  // cannot tell: leave the flag alone
    bool held = false;
    while (dirent *p = readdir(proc)) {
        if (held) break;
        if (p->d_name[0] < '0' || p->d_name[0] > '9' || self == p->d_name) continue;
        const std::string fds = std::string("/proc/") + p->d_name + "/fd";
        DIR *dir = opendir(fds.c_str());
        if (!dir) continue;
        char target[PATH_MAX];
        while (dirent *f = readdir(dir)) {
            const ssize_t n = readlink((fds + "/" + f->d_name).c_str(), target, sizeof target - 1);
            if (n > 0 && terminal.compare(0, std::string::npos, target, static_cast<std::size_t>(n)) == 0) {
                held = true;
                break;
            }
        }
        closedir(dir);
    }
    closedir(proc);
    return held;
}

// A client takes the terminal for exclusive use and gives it back when it
// closes; one that crashed never does, and nobody but root could open the
// terminal again. Once no other process holds it, the flag is cleared.
void free_terminal_of_gone_clients(int keeper, const std::string &terminal) {
    int exclusive = 0;
    if (ioctl(keeper, TIOCGEXCL, &exclusive) == 0 && exclusive && !others_hold(terminal)) ioctl(keeper, TIOCNXCL);
}

// Sends a reply without waiting: what the peer does not take now is dropped
// and counted, so a client that asks and never reads cannot stop the
// printer.
void send_reply(int fd, const std::string &text, long &dropped) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (!(n < 0 && errno == EINTR)) {
            dropped += static_cast<long>(text.size() - done);
            return;
        }
    }
}

// How many clients may be connected at once: the descriptors the process
// may open, less those it keeps for the pictures it writes and its own work.
// Further clients wait in the kernel's queue to be accepted.
std::size_t client_ceiling() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 1024;
    return static_cast<std::size_t>(std::max<long>(1, static_cast<long>(limit.rlim_cur) - limits::kReservedDescriptors));
}

// Descriptors open now (the listening socket, files, connections).
std::size_t open_descriptors() {
    std::size_t n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (readdir(d)) ++n;
        closedir(d);
        return n > 3 ? n - 3 : 0;  // ".", ".." and the one reading it
    }
    return 0;
}

// One connection, one job. Connections are taken as they come; the first
// one is the printer's, and the bytes of the others wait, in arrival order,
// for their turn, as a printer's own buffer holds them.
struct Connection {
    int fd = -1;
    long job = 0;
    std::string waiting;  // bytes received before its turn
    std::chrono::steady_clock::time_point heard;
    bool ended = false;  // nothing more comes: once its bytes are printed, the job is done
    long dropped = 0;    // reply bytes it did not read
};

// What both printers are made of, set up and torn down once: the bytes kept
// (--raw), the labels written, the printer itself, its fault, the web
// page's panel and the diagnostics said as they come.
struct PrinterSession {
    const Options &o;
    HttpService *http;
    FILE *raw = nullptr;
    bool ready = false;  // --raw could be opened, and where the printer is was said
    LabelWriter writer;
    VirtualPrinter printer;
    Fault fault;
    Panel panel;
    DiagnosticStream diagnostics;

    // what names the printer for the panel; said, the line that tells where
    // it is ("device: ...", "listening: ..."), comes before anything the
    // printer says (a fault from the first label).
    PrinterSession(const Options &options, HttpService *service, const std::string &what, const std::string &said)
        : o(options), http(service),
          ready(open_raw(options, raw) && take_signals() && name_for_panel(service, what) && announce(said)),
          writer(options, options.labels != 1),
          printer(make_printer(options, writer)), fault(options, printer, writer),
          panel(service, printer, writer, options.dots_per_mm) {}

    // Its signals are its own before anyone is told where it is: a SIGUSR1
    // that comes at once must not end it.
    static bool take_signals() {
        handle_signals();
        std::signal(SIGPIPE, SIG_IGN);
        return true;
    }

    // The panel knows its printer before anyone is told where it is: a page
    // that comes at once is not told there is none.
    static bool name_for_panel(HttpService *service, const std::string &what) {
        if (service) service->has_printer(what);
        return true;
    }

    static bool announce(const std::string &line) {
        say("%s\n", line.c_str());
        return true;
    }

    // Bytes that came: kept, shown on the panel, printed, their
    // diagnostics said.
    void feed(const char *data, std::size_t size) {
        keep_raw(raw, data, size);
        panel.fed(data, size);
        printer.feed(data, size);
        diagnostics.flush(printer);
    }

    // --labels counts what printed, rendered or past --max-labels.
    bool done() const { return o.labels != 0 && writer.written() + printer.unrendered_labels() >= o.labels; }

    // SIGUSR1 clears a fault.
    void on_signals() {
        if (!g_resume) return;
        g_resume = 0;
        fault.clear();
    }

    // The exit status: 0, 2 for a stream the printer partly rejected, 1
    // when labels could not be written.
    int finish() {
        if (raw) std::fclose(raw);
        raw = nullptr;
        if (o.report) report(printer, writer, o.json);
        const int status = diagnostics.status(printer);
        return writer.finish() ? status : 1;
    }
};

}  // namespace

int serve(const Options &o, HttpService *http) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::fprintf(stderr, "%s: cannot make a pseudo-terminal: %s\n", kProgram, std::strerror(errno));
        return 1;
    }
    const std::string slave = ptsname(master);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    // Our own hold on the terminal keeps it alive between a program's
    // QB_PortClose and the next QB_PortOpen; replies go out raw.
    const int keeper = open(slave.c_str(), O_RDWR | O_NOCTTY);
    termios t{};
    if (keeper >= 0 && tcgetattr(keeper, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(keeper, TCSANOW, &t);
    }
    PrinterSession s(o, http, "pseudo-terminal " + slave, "device: " + slave);
    if (!s.ready) return 1;
    long dropped = 0;
    s.printer.on_reply([master, &dropped](const std::string &text) { send_reply(master, text, dropped); });
    char buf[65536];
    const auto pump = [&](int timeout_ms) {
        // A fault holding all it may: the terminal is not read, and the
        // sender's writes wait, until SIGUSR1 clears it.
        std::vector<pollfd> fds{{s.fault.full() ? -1 : master, POLLIN, 0}};
        if (poll(fds.data(), fds.size(), timeout_ms) <= 0 || !(fds[0].revents & POLLIN)) return false;
        const ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0) return false;
        s.feed(buf, static_cast<std::size_t>(n));
        return true;
    };
    auto last_check = std::chrono::steady_clock::now();
    while (!g_stop && !s.done()) {
        s.on_signals();
        if (!pump(200) && std::chrono::steady_clock::now() - last_check > std::chrono::milliseconds(500)) {
            free_terminal_of_gone_clients(keeper, slave);
            last_check = std::chrono::steady_clock::now();
        }
    }
    // What is still on its way, for half a second at most: a client that
    // keeps sending does not keep the printer from stopping.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    while (std::chrono::steady_clock::now() < until && pump(100)) {
    }
    s.printer.finish();
    if (dropped) say("%ld reply byte(s) dropped: nobody read them\n", dropped);
    close(keeper);
    close(master);
    return s.finish();
}

// A network label printer: raw jobs on a TCP port, one job a connection,
// printed in the order the connections came; the printer's state carries
// from job to job, and nothing of a job (a form half stored, a label count)
// into the next. One loop serves every connection without waiting on any:
// a client that sends nothing is let go after the idle time, one that never
// reads loses its replies, and SIGTERM prints what has come and stops.
int listen_for_jobs(const Options &o, HttpService *http) {
    std::string bound;
    bool loopback = true;
    std::string why;
    const int server = listen_on(o.listen, bound, loopback, "printer", &why);
    if (server < 0) {
        std::fprintf(stderr, "%s: cannot listen on %s: %s\n", kProgram, o.listen.c_str(),
                     errno ? std::strerror(errno) : !why.empty() ? why.c_str() : "not HOST:PORT with PORT 0..65535");
        return 1;
    }
    if (!loopback)
        std::fprintf(stderr, "%s: warning: listening on %s, beyond this machine: whoever reaches it prints here and "
                             "writes files\n", kProgram, bound.c_str());
    PrinterSession s(o, http, "network printer " + bound, "listening: " + bound);
    if (!s.ready) return 1;
    long panel_job = 0;
    std::deque<Connection> connections;  // the front one is printing
    s.printer.on_reply([&connections](const std::string &text) {
        if (!connections.empty()) send_reply(connections.front().fd, text, connections.front().dropped);
    });
    const auto idle = std::chrono::seconds(o.idle_seconds);
    const std::size_t descriptors = client_ceiling();
    char buf[65536];
    long jobs = 0;
    const auto print = [&](const char *data, std::size_t size) {
        if (connections.front().job != panel_job) s.panel.begin(panel_job = connections.front().job);
        s.feed(data, size);
    };
    // Prints what the front connection holds; ends the jobs that are over.
    const auto turn = [&] {
        while (!connections.empty()) {
            Connection &c = connections.front();
            if (!c.waiting.empty()) {
                std::string held;
                held.swap(c.waiting);
                print(held.data(), held.size());
            }
            if (!c.ended) return;
            s.printer.finish();  // the job ends with its connection
            s.diagnostics.flush(s.printer);
            close(c.fd);
            if (c.dropped) say("job %ld: %ld reply byte(s) dropped: the client did not read them\n", c.job, c.dropped);
            say("job %ld done\n", c.job);
            connections.pop_front();
            // The idle time of the next job runs from its turn.
            if (!connections.empty()) connections.front().heard = std::chrono::steady_clock::now();
        }
    };
    while (!g_stop && !s.done()) {
        s.on_signals();
        // New clients are taken while descriptors remain for them; the rest
        // wait in the kernel's queue, and the listening socket is not asked
        // meanwhile (it would wake poll at once, and again).
        const bool room = open_descriptors() < descriptors;
        std::vector<pollfd> fds{{room ? server : -1, POLLIN, 0}};
        std::size_t waiting = 0;
        for (const Connection &c : connections) waiting += c.waiting.size();
        for (std::size_t i = 0; i < connections.size(); ++i) {
            const Connection &c = connections[i];
            // A connection that ended, whose waiting bytes reach the limit,
            // or (the printing one) while a fault holds all it may, is not
            // asked (poll skips a negative descriptor; a hang-up would wake
            // it at once): the kernel holds the rest, and its sender waits.
            const bool hold = c.ended || (i == 0 ? s.fault.full()
                                                 : c.waiting.size() >= limits::kMaxWaitingPerClient ||
                                                       waiting >= limits::kMaxWaitingTotal);
            fds.push_back({hold ? -1 : c.fd, POLLIN, 0});
        }
        if (poll(fds.data(), fds.size(), 200) < 0 && errno != EINTR) break;
        const auto now = std::chrono::steady_clock::now();
        for (std::size_t i = 0; i < connections.size(); ++i) {
            Connection &c = connections[i];
            if (fds[i + 1].revents) {
                const ssize_t n = read(c.fd, buf, sizeof buf);
                if (n > 0) {
                    c.heard = now;
                    if (i == 0)
                        print(buf, static_cast<std::size_t>(n));
                    else
                        c.waiting.append(buf, static_cast<std::size_t>(n));
                } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                    c.ended = true;
                }
            }
            // A client whose bytes the printer does not take now is not idle.
            if (i == 0 && s.fault.full()) c.heard = now;
            if (i == 0 && !c.ended && now - c.heard > idle) {
                say("job %ld: nothing came for %d s: the job ends\n", c.job, o.idle_seconds);
                c.ended = true;
            }
        }
        for (int client; (fds[0].revents & POLLIN) && open_descriptors() < descriptors &&
                         (client = accept4(server, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK)) >= 0;) {
            Connection c;
            c.fd = client;
            c.job = ++jobs;
            c.heard = now;
            connections.push_back(std::move(c));
        }
        turn();
    }
    // Stopped by a signal: every job that came is printed with what it sent.
    // Done with the labels asked for: the job printing ends there, and the
    // jobs still waiting are not taken.
    for (Connection &c : connections)
        if (g_stop || &c == &connections.front()) c.ended = true;
    turn();
    for (const Connection &c : connections) close(c.fd);
    close(server);
    return s.finish();
}

int serve_http(const Options &, HttpService &) {
    handle_signals();
    std::signal(SIGPIPE, SIG_IGN);
    // The service runs on its own threads; this one waits for a signal.
    while (!g_stop) poll(nullptr, 0, 1000);
    return 0;
}

}  // namespace quillbar::tool
