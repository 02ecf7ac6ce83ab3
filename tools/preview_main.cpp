// SPDX-License-Identifier: MIT
// quillbar-preview: what an EPL2 printer would print, as pictures.
//
// Exit status: 0, 1 for a usage or file error, 2 when the stream had lines
// the printer could not take (each reported on standard error).
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <getopt.h>
#include <netdb.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cstdarg>
#include <deque>
#include <memory>
#include <strings.h>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli.h"
#include "epl2_printer.h"
#include "pdf.h"

namespace {

using quillbar::preview::LabelView;
using quillbar::preview::Printer;

constexpr const char *kProgram = "quillbar-preview";

// Where the tool says what it does (labels written, jobs done, the port it
// listens on): standard output, or standard error when standard output
// carries a JSON report and nothing else.
FILE *g_said = stdout;

void say(const char *format, ...) __attribute__((format(printf, 1, 2)));
void say(const char *format, ...) {
    va_list args;
    va_start(args, format);
    std::vfprintf(g_said, format, args);
    va_end(args);
    std::fflush(g_said);
}
volatile std::sig_atomic_t g_stop = 0;
void stop(int) { g_stop = 1; }
volatile std::sig_atomic_t g_resume = 0;
void resume(int) { g_resume = 1; }

struct Options {
    std::string input;
    std::string output = "label.png";
    std::string raw;
    std::string listen;
    int scale = 1;
    long labels = 0;
    long max_labels = 1000;
    bool serve = false;
    bool report = false;
    bool json = false;
    int media_width = Printer::kDefaultWidth;  // --media, in dots once the density is known
    int media_length = Printer::kDefaultLength;
    std::string media = "4x6";  // --media as given
    int idle_seconds = 30;      // --idle-timeout
    int dots_per_mm = 8;        // --dpmm
    int fault = 0;        // --fault: the printer's code for it
    long fault_from = 1;  // from this label on
};

// --fault KIND[@N]: a printer that stops as real ones do.
struct FaultKind {
    const char *name;
    int code;
};
constexpr FaultKind kFaults[] = {
    {"paper-out", 7}, {"ribbon-out", 7}, {"head-open", 11}, {"paused", 12},
    {"head-hot", 13}, {"cutter", 81},    {"media-feed", 84},
};

// --media WxH: inches ("4x6", "4x6in") or millimetres ("100x150mm"), in dots
// at the printer's density (203 or 300 an inch, 8 or 12 a millimetre).
bool parse_media(const char *text, Options &o) {
    std::string arg = text;
    bool mm = false;
    if (arg.size() > 2 && arg.compare(arg.size() - 2, 2, "mm") == 0) {
        mm = true;
        arg.resize(arg.size() - 2);
    } else if (arg.size() > 2 && arg.compare(arg.size() - 2, 2, "in") == 0) {
        arg.resize(arg.size() - 2);
    }
    const std::size_t x = arg.find('x');
    const std::string width = x == std::string::npos ? "" : arg.substr(0, x);
    const std::string height = x == std::string::npos ? "" : arg.substr(x + 1);
    // The whole of a text as a number, or nothing.
    const auto number = [](const std::string &t, double &value) {
        char *end = nullptr;
        value = std::strtod(t.c_str(), &end);
        return !t.empty() && end && *end == '\0';
    };
    double w = 0, h = 0;
    const bool ok = number(width, w) && number(height, h);
    const double per_unit = mm ? o.dots_per_mm : (o.dots_per_mm == 12 ? 300 : 203);
    const long dots_w = ok ? std::lround(w * per_unit) : 0, dots_h = ok ? std::lround(h * per_unit) : 0;
    if (!ok || dots_w < 1 || dots_h < 1 || dots_w > 4096 || dots_h > 16384) {
        std::fprintf(stderr, "%s: --media wants WxH in inches (4x6) or millimetres (100x150mm), at most 4096 x 16384 "
                             "dots, not '%s'\n", kProgram, text);
        return false;
    }
    o.media_width = static_cast<int>(dots_w);
    o.media_length = static_cast<int>(dots_h);
    return true;
}

bool parse_fault(const char *text, Options &o) {
    const std::string arg = text;
    const std::size_t at = arg.find('@');
    const std::string kind = arg.substr(0, at);
    for (const FaultKind &f : kFaults)
        if (kind == f.name) o.fault = f.code;
    if (!o.fault) {
        std::fprintf(stderr, "%s: --fault takes paper-out, ribbon-out, head-open, paused, head-hot, cutter or "
                             "media-feed, then @N if it starts at the N-th label; not '%s'\n",
                     kProgram, text);
        return false;
    }
    return at == std::string::npos ||
           quillbar::tools::parse_number(kProgram, "--fault KIND@N", arg.c_str() + at + 1, 1, LONG_MAX, o.fault_from);
}

// -o FILE.png, or a pattern with one printf number ("label-%03d.png").
bool is_pattern(const std::string &output) {
    int conversions = 0;
    for (std::size_t i = 0; i < output.size(); ++i) {
        if (output[i] != '%') continue;
        if (i + 1 < output.size() && output[i + 1] == '%') {
            ++i;
            continue;
        }
        std::size_t k = i + 1;
        while (k < output.size() && std::isdigit(static_cast<unsigned char>(output[k]))) ++k;
        if (k >= output.size() || output[k] != 'd') return false;
        ++conversions;
        i = k;
    }
    return conversions == 1;
}
bool has_percent(const std::string &output) { return output.find('%') != std::string::npos; }

std::string numbered(const Options &o, long n) {
    if (is_pattern(o.output)) {
        char name[PATH_MAX];
        std::snprintf(name, sizeof name, o.output.c_str(), static_cast<int>(n));
        return name;
    }
    const std::size_t dot = o.output.rfind('.');
    const std::size_t slash = o.output.rfind('/');
    const bool has_ext = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    return (has_ext ? o.output.substr(0, dot) : o.output) + "-" + std::to_string(n) +
           (has_ext ? o.output.substr(dot) : ".png");
}

// Writes each label as it is printed: nothing is kept. Until a second label
// comes, the first is FILE.png; then it becomes FILE-1.png.
// Where labels go: a PNG each, or with -o FILE.pdf a page each of one PDF.
class LabelWriter {
public:
    LabelWriter(const Options &o, bool always_numbered)
        : o_(o), numbered_(always_numbered || is_pattern(o.output)), pdf_(is_pdf(o.output)) {}

    void operator()(const LabelView &label) {
        ++written_;
        if (pdf_) return add_page(label);
        if (!numbered_ && written_ == 2) {
            const std::string first = numbered(o_, 1);
            if (std::rename(o_.output.c_str(), first.c_str()) == 0)
                say("label 1: renamed to %s\n", first.c_str());
            numbered_ = true;
        }
        const std::string path = numbered_ ? numbered(o_, written_) : o_.output;
        errno = 0;
        if (!quillbar::preview::write_png(path, label.image, o_.scale, o_.dots_per_mm)) {
            std::fprintf(stderr, "%s: cannot write %s: %s\n", kProgram, path.c_str(),
                         errno ? std::strerror(errno) : "the PNG could not be made");
            ok_ = false;
            return;
        }
        say("label %ld: %s (%dx%d dots, %ld set(s) of %ld)\n", written_, path.c_str(), label.image.width(),
                    label.image.height(), label.sets, label.copies);
        for (const std::string &n : label.notes) say("  note: %s\n", n.c_str());
        std::fflush(stdout);
        paths_.push_back(path);
    }
    long written() const { return written_; }
    // Ends the PDF, if any; false when a label could not be written.
    bool finish() {
        if (document_ && !document_->close()) fail(document_->error());
        document_.reset();
        return ok_;
    }
    const std::vector<std::string> &paths() const { return paths_; }

private:
    static bool is_pdf(const std::string &path) {
        return path.size() > 4 && strcasecmp(path.c_str() + path.size() - 4, ".pdf") == 0;
    }
    void fail(const std::string &why) {
        std::fprintf(stderr, "%s: cannot write %s: %s\n", kProgram, o_.output.c_str(), why.c_str());
        ok_ = false;
    }
    void add_page(const LabelView &label) {
        if (!document_) document_.reset(new quillbar::preview::PdfWriter(o_.output, o_.dots_per_mm));
        if (!document_->add(label.image)) return fail(document_->error());
        say("label %ld: page %ld of %s (%dx%d dots, %ld set(s) of %ld)\n", written_, written_, o_.output.c_str(),
            label.image.width(), label.image.height(), label.sets, label.copies);
        for (const std::string &n : label.notes) say("  note: %s\n", n.c_str());
        if (written_ == 1) paths_.push_back(o_.output);
    }

    const Options &o_;
    bool numbered_;
    bool pdf_;
    long written_ = 0;
    bool ok_ = true;
    std::vector<std::string> paths_;
    std::unique_ptr<quillbar::preview::PdfWriter> document_;
};

void report(const Printer &printer, const LabelWriter &writer, bool as_json) {
    if (!as_json) {
        for (const auto &e : printer.events())
            std::printf("%8zu  %-2s  %s\n", e.offset, e.command.c_str(), e.detail.c_str());
        for (const auto &s : printer.settings()) std::printf("setting  %s: %s\n", s.first.c_str(), s.second.c_str());
        for (const auto &g : printer.stored_graphics())
            std::printf("graphic  \"%s\" %dx%d\n", g.first.c_str(), g.second.width(), g.second.height());
        for (const auto &f : printer.forms()) std::printf("form     \"%s\"\n", f.c_str());
        if (printer.dropped_events()) std::printf("(%zu more events not listed)\n", printer.dropped_events());
        return;
    }
    // Through a JSON library: bytes that are not UTF-8 (a stream's own
    // text in a code page) come out as U+FFFD rather than as broken JSON.
    nlohmann::ordered_json out;
    out["labels"] = writer.paths();
    out["unrendered_labels"] = printer.unrendered_labels();
    out["diagnostics"] = nlohmann::ordered_json::array();
    for (const auto &d : printer.diagnostics())
        out["diagnostics"].push_back({{"offset", d.offset}, {"code", d.code}, {"message", d.message}});
    out["dropped_diagnostics"] = printer.dropped_diagnostics();
    out["events"] = nlohmann::ordered_json::array();
    for (const auto &e : printer.events())
        out["events"].push_back({{"offset", e.offset}, {"command", e.command}, {"detail", e.detail}});
    out["dropped_events"] = printer.dropped_events();
    out["settings"] = nlohmann::ordered_json::object();
    for (const auto &[name, value] : printer.settings()) out["settings"][name] = value;
    out["stored_graphics"] = nlohmann::ordered_json::array();
    for (const auto &g : printer.stored_graphics()) out["stored_graphics"].push_back(g.first);
    out["forms"] = printer.forms();
    std::printf("%s\n", out.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
}

// Diagnostics as they come, on standard error.
class DiagnosticStream {
public:
    void flush(const Printer &printer) {
        for (; shown_ < printer.diagnostics().size(); ++shown_)
            std::fprintf(stderr, "byte %zu: %s\n", printer.diagnostics()[shown_].offset,
                         printer.diagnostics()[shown_].message.c_str());
    }
    int status(const Printer &printer) {
        flush(printer);
        if (printer.dropped_diagnostics())
            std::fprintf(stderr, "(%zu more lines the printer could not take)\n", printer.dropped_diagnostics());
        return printer.diagnostics().empty() ? 0 : 2;
    }

private:
    std::size_t shown_ = 0;
};

Printer make_printer(const Options &o, LabelWriter &writer) {
    Printer printer(Printer::Options{o.max_labels, o.media_width, o.media_length, o.dots_per_mm});
    printer.on_label([&writer](const LabelView &label) { writer(label); });
    return printer;
}

int render_stream(const Options &o) {
    FILE *in = o.input == "-" ? stdin : std::fopen(o.input.c_str(), "rb");
    if (!in) {
        std::fprintf(stderr, "%s: cannot open %s: %s\n", kProgram, o.input.c_str(), std::strerror(errno));
        return 1;
    }
    LabelWriter writer(o, false);
    Printer printer = make_printer(o, writer);
    DiagnosticStream diagnostics;
    bool ok = true;
    char buf[65536];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, in)) > 0;) {
        printer.feed(buf, n);
        diagnostics.flush(printer);
    }
    if (std::ferror(in)) {
        std::fprintf(stderr, "%s: cannot read %s: %s\n", kProgram, o.input.c_str(), std::strerror(errno));
        ok = false;
    }
    if (in != stdin) std::fclose(in);
    printer.finish();
    if (writer.written() == 0) say("no label printed (no P command)\n");
    if (printer.unrendered_labels()) say("%ld more label(s) printed but not rendered\n", printer.unrendered_labels());
    if (o.report) report(printer, writer, o.json);
    const int status = diagnostics.status(printer);
    return writer.finish() && ok ? status : 1;
}

// A fault (--fault): from the N-th label on the printer reports it and keeps
// the labels instead of printing them, as a printer out of paper holds its
// labels; SIGUSR1 clears it, as replacing the roll does, and the kept labels
// print, once, in order.
class Fault {
public:
    Fault(const Options &o, Printer &printer, LabelWriter &writer) : o_(o), printer_(printer), writer_(writer) {
        if (o_.fault && o_.fault_from == 1) begin();
        printer_.on_label([this](const LabelView &label) { take(label); });
    }

    // After SIGUSR1.
    void clear() {
        if (!holding_ && cleared_) return;
        holding_ = false;
        cleared_ = true;
        printer_.set_condition(0);
        say("fault cleared: %zu kept label(s) print\n", kept_.size());
        for (const Kept &k : kept_) writer_(LabelView{k.image, k.sets, k.copies, k.offset, k.number, k.notes});
        kept_.clear();
        std::fflush(stdout);
    }

private:
    struct Kept {
        quillbar::preview::Bitmap image;
        long sets, copies;
        std::size_t offset;
        long number;
        std::vector<std::string> notes;
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
        kept_.push_back(Kept{label.image, label.sets, label.copies, label.offset, label.number, label.notes});
        say("label %ld kept: the printer reports %02d\n", label.number, o_.fault);
        std::fflush(stdout);
    }

    const Options &o_;
    Printer &printer_;
    LabelWriter &writer_;
    bool holding_ = false;
    bool cleared_ = false;
    std::vector<Kept> kept_;
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

int serve(const Options &o) {
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

    LabelWriter writer(o, o.labels != 1);
    Printer printer = make_printer(o, writer);
    Fault fault(o, printer, writer);
    long dropped = 0;
    printer.on_reply([master, &dropped](const std::string &text) { send_reply(master, text, dropped); });
    DiagnosticStream diagnostics;
    char buf[65536];
    const auto pump = [&](int timeout_ms) {
        pollfd pfd{master, POLLIN, 0};
        if (poll(&pfd, 1, timeout_ms) <= 0) return false;
        const ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0) return false;
        keep_raw(raw, buf, static_cast<std::size_t>(n));
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

// HOST:PORT, HOST a name, an IPv4 address or an IPv6 one in brackets; no
// host is the loopback address, "*" every address. loopback says whether the
// socket is reachable from this machine only.
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

// What a connection waiting for its turn may hold here; the kernel holds the
// rest, and its sender waits.
constexpr std::size_t kMaxWaiting = 4u << 20;

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

// A network label printer: raw jobs on a TCP port, one job a connection,
// printed in the order the connections came; the printer's state carries
// from job to job, and nothing of a job (a form half stored, a label count)
// into the next. One loop serves every connection without waiting on any:
// a client that sends nothing is let go after the idle time, one that never
// reads loses its replies, and SIGTERM prints what has come and stops.
int listen_for_jobs(const Options &o) {
    std::string bound;
    bool loopback = true;
    const int server = listen_on(o.listen, bound, loopback);
    if (server < 0) {
        std::fprintf(stderr, "%s: cannot listen on %s: %s\n", kProgram, o.listen.c_str(),
                     errno ? std::strerror(errno) : "not HOST:PORT with PORT 0..65535");
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
    DiagnosticStream diagnostics;
    std::deque<Connection> connections;  // the front one is printing
    printer.on_reply([&connections](const std::string &text) {
        if (!connections.empty()) send_reply(connections.front().fd, text, connections.front().dropped);
    });
    const auto idle = std::chrono::seconds(o.idle_seconds);
    char buf[65536];
    long jobs = 0;
    const auto print = [&](const char *data, std::size_t size) {
        keep_raw(raw, data, size);
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
        std::vector<pollfd> fds{{server, POLLIN, 0}};
        for (const Connection &c : connections)
            // A connection that ended, or whose waiting bytes reach the limit,
            // is not asked (poll skips a negative descriptor; a hang-up would
            // wake it at once): the kernel holds the rest until its turn.
            fds.push_back({c.ended || c.waiting.size() >= kMaxWaiting ? -1 : c.fd, POLLIN, 0});
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
            if (i == 0 && !c.ended && now - c.heard > idle) {
                say("job %ld: nothing came for %d s: the job ends\n", c.job, o.idle_seconds);
                c.ended = true;
            }
        }
        for (int client; (client = accept4(server, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK)) >= 0;) {
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

void usage(FILE *to) {
    std::fprintf(to,
                 "usage: %s [OPTION]... STREAM|-\n"
                 "       %s [OPTION]... --serve\n"
                 "       %s [OPTION]... --listen HOST:PORT\n"
                 "Render what an EPL2 label printer would print for STREAM (a file, or - for standard\n"
                 "input), or be such a printer on a new pseudo-terminal (--serve) or on a TCP port\n"
                 "(--listen, one job a connection), one PNG a label.\n"
                 "\n"
                 "  -o, --output FILE.png   where labels go (default label.png); several labels are\n"
                 "                          numbered FILE-1.png, FILE-2.png, ...; a pattern with one\n"
                 "                          number (label-%%03d.png) names every label; FILE.pdf is\n"
                 "                          one PDF, a page a label at its size\n"                 "  -s, --scale N           each dot as N x N pixels, 1 to 32 (default 1)\n"
                 "  -r, --report[=json]     say what the printer did with each command, and its state\n"
                 "      --max-labels N      render at most N labels (default 1000; 0: no limit)\n"
                 "      --media WxH         the media, the label's size where the stream sets none:\n"
                 "                          inches (4x6, the default) or millimetres (100x150mm)\n"
                 "      --dpmm N            the printer's density: 8 dots a millimetre (203 dpi, the\n"
                 "                          default) or 12 (300 dpi)\n"
                 "      --serve             be a printer on a new pseudo-terminal; prints its device\n"
                 "      --listen HOST:PORT  be a network printer (port 0: any free port); prints it\n"
                 "      --raw FILE          (--serve, --listen) also keep the bytes received in FILE\n"
                 "      --idle-timeout S    (--listen) end a job whose client sends nothing for S seconds\n"
                 "                          (default 30), so that it cannot hold the printer\n"
                 "      --labels N          (--serve, --listen) stop after N labels (default: until stopped)\n"
                 "      --fault KIND[@N]    (--serve, --listen) from the N-th label on (default 1) report\n"
                 "                          KIND to ^ee and keep labels instead of printing them, until\n"
                 "                          SIGUSR1 clears it; KIND: paper-out, ribbon-out, head-open,\n"
                 "                          paused, head-hot, cutter, media-feed\n"
                 "  -h, --help              show this help and exit\n"
                 "  -V, --version           show the version and exit\n"
                 "\n"
                 "Exit status: 0 on success, 1 for a usage or file error, 2 when the stream had\n"
                 "lines the printer could not take (each reported on standard error).\n",
                 kProgram, kProgram, kProgram);
}

int bad_usage(const char *why = nullptr) {
    if (why) std::fprintf(stderr, "%s: %s\n", kProgram, why);
    std::fprintf(stderr, "Try '%s --help' for more information.\n", kProgram);
    return 1;
}

}  // namespace

int main(int argc, char **argv) {
    enum { kServe = 256, kRaw, kLabels, kListen, kMaxLabels, kFault, kMedia, kDpmm, kIdle };
    static const option kOptions[] = {
        {"output", required_argument, nullptr, 'o'},     {"scale", required_argument, nullptr, 's'},
        {"report", optional_argument, nullptr, 'r'},     {"serve", no_argument, nullptr, kServe},
        {"listen", required_argument, nullptr, kListen}, {"raw", required_argument, nullptr, kRaw},
        {"labels", required_argument, nullptr, kLabels}, {"max-labels", required_argument, nullptr, kMaxLabels},
        {"help", no_argument, nullptr, 'h'},             {"version", no_argument, nullptr, 'V'},
        {"fault", required_argument, nullptr, kFault},   {"media", required_argument, nullptr, kMedia},
        {"dpmm", required_argument, nullptr, kDpmm},     {"idle-timeout", required_argument, nullptr, kIdle},
        {nullptr, 0, nullptr, 0},
    };
    Options o;
    long scale = 1;
    for (int c; (c = getopt_long(argc, argv, "o:s:rhV", kOptions, nullptr)) != -1;) {
        using quillbar::tools::parse_number;
        switch (c) {
        case 'o': o.output = optarg; break;
        case 's':
            if (!parse_number(kProgram, "--scale", optarg, 1, 32, scale)) return bad_usage();
            o.scale = static_cast<int>(scale);
            break;
        case 'r':
            o.report = true;
            if (optarg && std::strcmp(optarg, "json") != 0) return bad_usage("--report takes =json or nothing");
            o.json = optarg != nullptr;
            break;
        case kServe: o.serve = true; break;
        case kListen: o.listen = optarg; break;
        case kRaw: o.raw = optarg; break;
        case kLabels:
            if (!parse_number(kProgram, "--labels", optarg, 0, LONG_MAX, o.labels)) return bad_usage();
            break;
        case kMaxLabels:
            if (!parse_number(kProgram, "--max-labels", optarg, 0, LONG_MAX, o.max_labels)) return bad_usage();
            break;
        case kFault:
            if (!parse_fault(optarg, o)) return bad_usage();
            break;
        case kMedia:
            o.media = optarg;
            break;
        case kIdle: {
            long seconds = 0;
            if (!parse_number(kProgram, "--idle-timeout", optarg, 1, 86400, seconds)) return bad_usage();
            o.idle_seconds = static_cast<int>(seconds);
            break;
        }
        case kDpmm:
            if (std::strcmp(optarg, "8") != 0 && std::strcmp(optarg, "12") != 0)
                return bad_usage("--dpmm takes 8 (203 dpi) or 12 (300 dpi)");
            o.dots_per_mm = std::atoi(optarg);
            break;
        case 'h': usage(stdout); return 0;
        case 'V': quillbar::tools::print_version(kProgram, QUILLBAR_VERSION); return 0;
        default: return bad_usage();
        }
    }
    // The media in dots at the density, whichever option came first.
    if (!parse_media(o.media.c_str(), o)) return bad_usage();
    if (optind < argc) o.input = argv[optind++];
    if (optind < argc) return bad_usage("give one stream at most");
    const int modes = !o.input.empty() + o.serve + !o.listen.empty();
    if (modes > 1) return bad_usage("give one of a stream, --serve and --listen");
    if (modes == 0) return bad_usage("give a stream to render (- for standard input), --serve or --listen");
    if (!o.input.empty() && (!o.raw.empty() || o.labels || o.fault))
        return bad_usage("--raw, --labels and --fault go with --serve or --listen");
    if (has_percent(o.output) && !is_pattern(o.output))
        return bad_usage("-o takes at most one number pattern such as %03d (write %% for a percent sign)");
    if (o.json) g_said = stderr;
    if (o.serve) return serve(o);
    if (!o.listen.empty()) return listen_for_jobs(o);
    return render_stream(o);
}
