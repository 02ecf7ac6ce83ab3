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
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <deque>

#include "bounds.h"
#include "http_service.h"
#include "preview_tool.h"
#include "printer_feed.h"

namespace quillbar::tool {
namespace {

namespace limits = quillbar::preview::limits;

// A fault (--fault): from the N-th label on the printer reports it and keeps
// the labels instead of printing them, as a printer out of paper holds its
// labels; SIGUSR1 clears it, as replacing the roll does, and the kept labels
// print, once, in order. A kept label is only what was drawn on it,
// compressed; past the ceiling the printer takes no more bytes (full()),
// and its senders wait.
class Fault {
public:
    Fault(const Options &o, Printer &printer, LabelWriter &writer) : o_(o), printer_(printer), writer_(writer) {
        if (o_.fault && o_.fault_from == 1) begin();
        printer_.on_label([this](const LabelView &label) { take(label); });
    }

    // After SIGUSR1; nothing before the fault has begun (a roll replaced
    // early does not prevent it running out later).
    void clear() {
        if (!holding_) return;
        holding_ = false;
        cleared_ = true;
        printer_.set_condition(0);
        say("fault cleared: %zu kept label(s) print\n", kept_.size());
        for (const Kept &k : kept_) {
            const quillbar::preview::Bitmap image = k.restore();
            writer_(LabelView{image, k.sets, k.copies, k.offset, k.number, k.notes});
        }
        kept_.clear();
        kept_bytes_ = 0;
        std::fflush(stdout);
    }

    // The kept labels reach the ceiling: read nothing more until it clears.
    bool full() const { return kept_bytes_ >= limits::kMaxKeptLabels; }

private:
    struct Kept {
        int width, height;              // the label's
        long x, y, drawn_w, drawn_h;    // what was drawn on it
        std::vector<unsigned char> dots;  // those dots, deflated
        long sets, copies;
        std::size_t offset;
        long number;
        std::vector<std::string> notes;

        quillbar::preview::Bitmap restore() const {
            quillbar::preview::Bitmap image(width, height);
            if (drawn_w <= 0 || drawn_h <= 0) return image;
            quillbar::preview::Bitmap drawn(static_cast<int>(drawn_w), static_cast<int>(drawn_h));
            std::vector<unsigned char> plain(static_cast<std::size_t>(drawn_w) * static_cast<std::size_t>(drawn_h));
            uLongf size = plain.size();
            if (uncompress(plain.data(), &size, dots.data(), dots.size()) != Z_OK) return image;
            for (long row = 0; row < drawn_h; ++row)
                for (long col = 0; col < drawn_w; ++col)
                    if (plain[static_cast<std::size_t>(row * drawn_w + col)]) drawn.set(col, row);
            image.put(drawn, x, y);
            return image;
        }
    };

    void begin() {
        holding_ = true;
        printer_.set_condition(o_.fault);
        say("fault: the printer reports %02d and keeps its labels until SIGUSR1\n", o_.fault);
        std::fflush(stdout);
    }

    void take(const LabelView &label) {
        if (o_.fault && !cleared_ && !holding_ && label.number >= o_.fault_from) begin();
        if (!holding_) return writer_(label);
        Kept k{label.image.width(), label.image.height(), 0, 0, 0, 0, {}, label.sets, label.copies, label.offset,
               label.number, label.notes};
        long x1, y1;
        label.image.dirty_area(k.x, k.y, x1, y1);
        k.x = std::max(0L, k.x), k.y = std::max(0L, k.y);
        x1 = std::min<long>(x1, k.width), y1 = std::min<long>(y1, k.height);
        if (x1 > k.x && y1 > k.y) {
            k.drawn_w = x1 - k.x;
            k.drawn_h = y1 - k.y;
            std::vector<unsigned char> plain;
            plain.reserve(static_cast<std::size_t>(k.drawn_w) * static_cast<std::size_t>(k.drawn_h));
            for (long row = k.y; row < y1; ++row)
                plain.insert(plain.end(), label.image.row(row) + k.x, label.image.row(row) + x1);
            uLongf size = compressBound(plain.size());
            k.dots.resize(size);
            if (compress2(k.dots.data(), &size, plain.data(), plain.size(), Z_BEST_SPEED) != Z_OK) size = 0;
            k.dots.resize(size);
            k.dots.shrink_to_fit();
        }
        kept_bytes_ += sizeof k + k.dots.size();
        for (const std::string &note : k.notes) kept_bytes_ += note.size();
        kept_.push_back(std::move(k));
        say("label %ld kept: the printer reports %02d\n", label.number, o_.fault);
        std::fflush(stdout);
    }

    const Options &o_;
    Printer &printer_;
    LabelWriter &writer_;
    bool holding_ = false;
    bool cleared_ = false;
    std::deque<Kept> kept_;
    std::size_t kept_bytes_ = 0;
};

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
    FILE *raw = nullptr;
    if (!open_raw(o, raw)) return 1;
    handle_signals();
    say("device: %s\n", slave.c_str());
    std::fflush(stdout);
    if (http) http->has_printer("pseudo-terminal " + slave);

    LabelWriter writer(o, o.labels != 1);
    Printer printer = make_printer(o, writer);
    Fault fault(o, printer, writer);
    Panel panel(http, printer, writer, o.dots_per_mm);
    long dropped = 0;
    printer.on_reply([master, &dropped](const std::string &text) { send_reply(master, text, dropped); });
    DiagnosticStream diagnostics;
    char buf[65536];
    const auto pump = [&](int timeout_ms) {
        // A fault holding all it may: the terminal is not read, and the
        // sender's writes wait, until SIGUSR1 clears it.
        std::vector<pollfd> fds{{fault.full() ? -1 : master, POLLIN, 0}};
        if (poll(fds.data(), fds.size(), timeout_ms) <= 0 || !(fds[0].revents & POLLIN)) return false;
        const ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0) return false;
        keep_raw(raw, buf, static_cast<std::size_t>(n));
        panel.fed(buf, static_cast<std::size_t>(n));
        printer.feed(buf, static_cast<std::size_t>(n));
        diagnostics.flush(printer);
        return true;
    };
    auto last_check = std::chrono::steady_clock::now();
    // --labels counts what printed, rendered or past --max-labels.
    while (!g_stop && (o.labels == 0 || writer.written() + printer.unrendered_labels() < o.labels)) {
        if (g_resume) {
            g_resume = 0;
            fault.clear();
        }
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
    printer.finish();
    if (dropped) say("%ld reply byte(s) dropped: nobody read them\n", dropped);
    if (raw) std::fclose(raw);
    if (o.report) report(printer, writer, o.json);
    close(keeper);
    close(master);
    const int status = diagnostics.status(printer);
    return writer.finish() ? status : 1;
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
    FILE *raw = nullptr;
    if (!open_raw(o, raw)) return 1;
    handle_signals();
    std::signal(SIGPIPE, SIG_IGN);
    say("listening: %s\n", bound.c_str());
    LabelWriter writer(o, o.labels != 1);
    Printer printer = make_printer(o, writer);
    Fault fault(o, printer, writer);
    Panel panel(http, printer, writer, o.dots_per_mm);
    long panel_job = 0;
    if (http) http->has_printer("network printer " + bound);
    DiagnosticStream diagnostics;
    std::deque<Connection> connections;  // the front one is printing
    printer.on_reply([&connections](const std::string &text) {
        if (!connections.empty()) send_reply(connections.front().fd, text, connections.front().dropped);
    });
    const auto idle = std::chrono::seconds(o.idle_seconds);
    const std::size_t descriptors = client_ceiling();
    char buf[65536];
    long jobs = 0;
    const auto print = [&](const char *data, std::size_t size) {
        keep_raw(raw, data, size);
        if (connections.front().job != panel_job) panel.begin(panel_job = connections.front().job);
        panel.fed(data, size);
        printer.feed(data, size);
        diagnostics.flush(printer);
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
            printer.finish();  // the job ends with its connection
            diagnostics.flush(printer);
            close(c.fd);
            if (c.dropped) say("job %ld: %ld reply byte(s) dropped: the client did not read them\n", c.job, c.dropped);
            say("job %ld done\n", c.job);
            connections.pop_front();
            // The idle time of the next job runs from its turn.
            if (!connections.empty()) connections.front().heard = std::chrono::steady_clock::now();
        }
    };
    // --labels counts what printed, rendered or past --max-labels.
    const auto done = [&] { return o.labels != 0 && writer.written() + printer.unrendered_labels() >= o.labels; };
    while (!g_stop && !done()) {
        if (g_resume) {
            g_resume = 0;
            fault.clear();
        }
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
            const bool hold = c.ended || (i == 0 ? fault.full()
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
            if (i == 0 && fault.full()) c.heard = now;
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
    if (raw) std::fclose(raw);
    if (o.report) report(printer, writer, o.json);
    const int status = diagnostics.status(printer);
    return writer.finish() ? status : 1;
}

int serve_http(const Options &, HttpService &) {
    handle_signals();
    std::signal(SIGPIPE, SIG_IGN);
    // The service runs on its own threads; this one waits for a signal.
    while (!g_stop) poll(nullptr, 0, 1000);
    return 0;
}

}  // namespace quillbar::tool
