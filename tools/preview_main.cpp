// quillbar-preview: what an EPL2 printer would print, as pictures.
//
//   quillbar-preview [options] STREAM|-       render a captured stream (file, or - for stdin)
//   quillbar-preview [options] --serve        be a printer on a new pseudo-terminal
//
// options:
//   -o FILE.png    where labels go (default label.png); several labels are
//                  numbered label-1.png, label-2.png, ...
//   --scale N      each dot as N x N pixels (default 1)
//   --report       say what the printer did with each command
//   --raw FILE     (--serve) also keep the bytes received
//   --labels N     (--serve) stop after N labels (default: run until stopped)
//
// Exit status: 0, 1 for a usage or file error, 2 when the stream had lines
// the printer could not take (each reported on standard error).
#define _XOPEN_SOURCE 600
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "epl2_printer.h"

namespace {

using quillbar::preview::PrintedLabel;
using quillbar::preview::Printer;

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
        if (!quillbar::preview::write_png(path, label.image, o.scale)) {
            std::fprintf(stderr, "quillbar-preview: cannot write %s\n", path.c_str());
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
        std::fprintf(stderr, "quillbar-preview: cannot open %s\n", o.input.c_str());
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
    if (in != stdin) std::fclose(in);
    printer.finish();
    flush(printer.take_labels());
    if (!first.empty()) ok = write_labels(first, o, written, false) && ok;
    if (written == 0) std::printf("no label printed (no P command)\n");
    if (o.report) report(printer);
    const int status = diagnose(printer);
    return ok ? status : 1;
}

int serve(const Options &o) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::perror("quillbar-preview: pseudo-terminal");
        return 1;
    }
    const char *slave = ptsname(master);
    // Our own hold on the terminal keeps it alive between a program's
    // QB_PortClose and the next QB_PortOpen.
    const int keeper = open(slave, O_RDWR | O_NOCTTY);
    std::printf("device: %s\n", slave);
    std::fflush(stdout);
    std::signal(SIGINT, stop);
    std::signal(SIGTERM, stop);

    FILE *raw = o.raw.empty() ? nullptr : std::fopen(o.raw.c_str(), "wb");
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
    while (!g_stop && (o.labels == 0 || written < o.labels)) pump(200);
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

int usage() {
    std::fprintf(stderr,
                 "usage: quillbar-preview [-o FILE.png] [--scale N] [--report] STREAM|-\n"
                 "       quillbar-preview [-o FILE.png] [--scale N] [--report] [--raw FILE] [--labels N] --serve\n");
    return 1;
}

}  // namespace

int main(int argc, char **argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool has_value = i + 1 < argc;
        if (a == "-o" && has_value)
            o.output = argv[++i];
        else if (a == "--scale" && has_value)
            o.scale = std::atoi(argv[++i]);
        else if (a == "--raw" && has_value)
            o.raw = argv[++i];
        else if (a == "--labels" && has_value)
            o.labels = std::atol(argv[++i]);
        else if (a == "--serve")
            o.serve = true;
        else if (a == "--report")
            o.report = true;
        else if (o.input.empty() && (a == "-" || a[0] != '-'))
            o.input = a;
        else
            return usage();
    }
    if (o.serve == !o.input.empty() || o.scale < 1 || o.labels < 0) return usage();
    return o.serve ? serve(o) : render_stream(o);
}
