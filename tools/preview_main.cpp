// SPDX-License-Identifier: MIT
// quillbar-preview: what an EPL2 printer would print, as pictures.
//
// Exit status: 0, 1 for a usage or file error, 2 when the stream had lines
// the printer could not take (each reported on standard error).
#include <dirent.h>
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "cli.h"
#include "epl2_printer.h"

namespace {

using quillbar::preview::PrintedLabel;
using quillbar::preview::Printer;

constexpr const char *kProgram = "quillbar-preview";
volatile std::sig_atomic_t g_stop = 0;
void stop(int) { g_stop = 1; }

struct Options {
    std::string input;
    std::string output = "label.png";
    std::string raw;
    int scale = 1;
    long labels = 0;
    bool serve = false;
    bool report = false;
};

std::string numbered(const std::string &path, long n) {
    const std::size_t dot = path.rfind('.');
    const std::size_t slash = path.rfind('/');
    const bool has_ext = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    return (has_ext ? path.substr(0, dot) : path) + "-" + std::to_string(n) + (has_ext ? path.substr(dot) : ".png");
}

// Writes the labels; numbered says whether their names carry a number.
bool write_labels(const std::vector<PrintedLabel> &labels, const Options &o, long &written, bool numbered_names) {
    bool ok = true;
    for (const PrintedLabel &label : labels) {
        ++written;
        const std::string path = numbered_names ? numbered(o.output, written) : o.output;
        errno = 0;
        if (!quillbar::preview::write_png(path, label.image, o.scale)) {
            std::fprintf(stderr, "%s: cannot write %s: %s\n", kProgram, path.c_str(),
                         errno ? std::strerror(errno) : "the PNG could not be made");
            ok = false;
            continue;
        }
        std::printf("label %ld: %s (%dx%d dots, %ld set(s) of %ld)\n", written, path.c_str(), label.image.width(),
                    label.image.height(), label.sets, label.copies);
        for (const std::string &n : label.notes) std::printf("  note: %s\n", n.c_str());
        std::fflush(stdout);
    }
    return ok;
}

void report(const Printer &printer) {
    for (const auto &e : printer.events()) std::printf("%8zu  %-2s  %s\n", e.offset, e.command.c_str(), e.detail.c_str());
}

int diagnose(const Printer &printer) {
    for (const auto &d : printer.diagnostics())
        std::fprintf(stderr, "byte %zu: %s\n", d.offset, d.message.c_str());
    return printer.diagnostics().empty() ? 0 : 2;
}

int render_stream(const Options &o) {
    FILE *in = o.input == "-" ? stdin : std::fopen(o.input.c_str(), "rb");
    if (!in) {
        std::fprintf(stderr, "%s: cannot open %s: %s\n", kProgram, o.input.c_str(), std::strerror(errno));
        return 1;
    }
    // Labels are written as they are printed, so a long stream never holds
    // more than one in memory. The first is label.png until a second comes.
    Printer printer;
    std::vector<PrintedLabel> first;
    long written = 0;
    bool ok = true;
    const auto flush = [&](std::vector<PrintedLabel> labels) {
        if (labels.empty()) return;
        if (written == 0 && first.empty() && labels.size() == 1) {
            first = std::move(labels);
            return;
        }
        if (!first.empty()) {
            ok = write_labels(first, o, written, true) && ok;
            first.clear();
        }
        ok = write_labels(labels, o, written, true) && ok;
    };
    char buf[65536];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, in)) > 0;) {
        printer.feed(buf, n);
        flush(printer.take_labels());
    }
    if (std::ferror(in)) {
        std::fprintf(stderr, "%s: cannot read %s: %s\n", kProgram, o.input.c_str(), std::strerror(errno));
        ok = false;
    }
    if (in != stdin) std::fclose(in);
    printer.finish();
    flush(printer.take_labels());
    if (!first.empty()) ok = write_labels(first, o, written, false) && ok;
    if (written == 0) std::printf("no label printed (no P command)\n");
    if (o.report) report(printer);
    const int status = diagnose(printer);
    return ok ? status : 1;
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

int serve(const Options &o) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::fprintf(stderr, "%s: cannot make a pseudo-terminal: %s\n", kProgram, std::strerror(errno));
        return 1;
    }
    const std::string slave = ptsname(master);
    // Our own hold on the terminal keeps it alive between a program's
    // QB_PortClose and the next QB_PortOpen.
    const int keeper = open(slave.c_str(), O_RDWR | O_NOCTTY);
    std::printf("device: %s\n", slave.c_str());
    std::fflush(stdout);
    std::signal(SIGINT, stop);
    std::signal(SIGTERM, stop);

    FILE *raw = o.raw.empty() ? nullptr : std::fopen(o.raw.c_str(), "wb");
    if (!o.raw.empty() && !raw) {
        std::fprintf(stderr, "%s: cannot write %s: %s\n", kProgram, o.raw.c_str(), std::strerror(errno));
        return 1;
    }
    Printer printer;
    long written = 0;
    std::size_t reported = 0;
    bool ok = true;
    char buf[65536];
    const auto pump = [&](int timeout_ms) {
        pollfd pfd{master, POLLIN, 0};
        if (poll(&pfd, 1, timeout_ms) <= 0) return false;
        const ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0) return false;
        if (raw) std::fwrite(buf, 1, static_cast<std::size_t>(n), raw);
        printer.feed(buf, static_cast<std::size_t>(n));
        ok = write_labels(printer.take_labels(), o, written, o.labels != 1) && ok;
        for (; reported < printer.diagnostics().size(); ++reported)
            std::fprintf(stderr, "byte %zu: %s\n", printer.diagnostics()[reported].offset,
                         printer.diagnostics()[reported].message.c_str());
        return true;
    };
    auto last_check = std::chrono::steady_clock::now();
    while (!g_stop && (o.labels == 0 || written < o.labels)) {
        if (!pump(200) && std::chrono::steady_clock::now() - last_check > std::chrono::milliseconds(500)) {
            free_terminal_of_gone_clients(keeper, slave);
            last_check = std::chrono::steady_clock::now();
        }
    }
    while (pump(100)) {  // what is still on its way
    }
    printer.finish();
    ok = write_labels(printer.take_labels(), o, written, o.labels != 1) && ok;
    if (raw) std::fclose(raw);
    if (o.report) report(printer);
    close(keeper);
    close(master);
    const int status = diagnose(printer);
    return ok ? status : 1;
}

void usage(FILE *to) {
    std::fprintf(to,
                 "usage: %s [OPTION]... STREAM|-\n"
                 "       %s [OPTION]... --serve\n"
                 "Render what an EPL2 label printer would print for STREAM (a file, or - for standard\n"
                 "input), or be such a printer on a new pseudo-terminal (--serve), one PNG a label.\n"
                 "\n"
                 "  -o, --output FILE.png   where labels go (default label.png); several labels are\n"
                 "                          numbered FILE-1.png, FILE-2.png, ...\n"
                 "  -s, --scale N           each dot as N x N pixels, 1 to 32 (default 1)\n"
                 "  -r, --report            say what the printer did with each command\n"
                 "      --serve             be a printer on a new pseudo-terminal; prints its device\n"
                 "      --raw FILE          (--serve) also keep the bytes received in FILE\n"
                 "      --labels N          (--serve) stop after N labels (default: until stopped)\n"
                 "  -h, --help              show this help and exit\n"
                 "  -V, --version           show the version and exit\n"
                 "\n"
                 "Exit status: 0 on success, 1 for a usage or file error, 2 when the stream had\n"
                 "lines the printer could not take (each reported on standard error).\n",
                 kProgram, kProgram);
}

int bad_usage(const char *why = nullptr) {
    if (why) std::fprintf(stderr, "%s: %s\n", kProgram, why);
    std::fprintf(stderr, "Try '%s --help' for more information.\n", kProgram);
    return 1;
}

}  // namespace

int main(int argc, char **argv) {
    enum { kServe = 256, kRaw, kLabels };
    static const option kOptions[] = {
        {"output", required_argument, nullptr, 'o'}, {"scale", required_argument, nullptr, 's'},
        {"report", no_argument, nullptr, 'r'},       {"serve", no_argument, nullptr, kServe},
        {"raw", required_argument, nullptr, kRaw},   {"labels", required_argument, nullptr, kLabels},
        {"help", no_argument, nullptr, 'h'},         {"version", no_argument, nullptr, 'V'},
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
        case 'r': o.report = true; break;
        case kServe: o.serve = true; break;
        case kRaw: o.raw = optarg; break;
        case kLabels:
            if (!parse_number(kProgram, "--labels", optarg, 0, LONG_MAX, o.labels)) return bad_usage();
            break;
        case 'h': usage(stdout); return 0;
        case 'V': quillbar::tools::print_version(kProgram, QUILLBAR_VERSION); return 0;
        default: return bad_usage();
        }
    }
    if (optind < argc) o.input = argv[optind++];
    if (optind < argc) return bad_usage("give one stream at most");
    if (o.serve && !o.input.empty()) return bad_usage("--serve takes no stream");
    if (!o.serve && o.input.empty()) return bad_usage("give a stream to render (- for standard input), or --serve");
    if (!o.serve && (!o.raw.empty() || o.labels)) return bad_usage("--raw and --labels go with --serve");
    return o.serve ? serve(o) : render_stream(o);
}
