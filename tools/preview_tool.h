// SPDX-License-Identifier: MIT
// quillbar-preview's parts that rendering a stream and serving as a printer
// share: its options, where labels go, the report and the diagnostics.
#pragma once

#include <poll.h>
#include <strings.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>


#include "epl2_printer.h"
#include "http_service.h"
#include "label_api.h"
#include "pdf.h"

namespace quillbar::tool {

using quillbar::preview::LabelView;
using quillbar::preview::VirtualPrinter;

constexpr const char *kProgram = "quillbar-preview";

// Where the tool says what it does (labels written, jobs done, the port it
// listens on): standard output, or standard error when standard output
// carries a JSON report and nothing else.
inline FILE *g_said = stdout;

inline void say(const char *format, ...) __attribute__((format(printf, 1, 2)));
inline void say(const char *format, ...) {
    va_list args;
    va_start(args, format);
    std::vfprintf(g_said, format, args);
    va_end(args);
    std::fflush(g_said);
}
inline volatile std::sig_atomic_t g_stop = 0;
inline void stop(int) { g_stop = 1; }
inline volatile std::sig_atomic_t g_resume = 0;
inline void resume(int) { g_resume = 1; }

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
    int media_width = VirtualPrinter::kDefaultWidth;  // --media, in dots once the density is known
    int media_length = VirtualPrinter::kDefaultLength;
    std::string media = "4x6";  // --media as given
    int idle_seconds = kDefaultIdleSeconds;  // --idle-timeout
    int dots_per_mm = 8;        // --dpmm
    std::string http;                     // --http [HOST:]PORT
    std::size_t http_max_body = kDefaultMaxBody;  // --http-max-body
    int http_workers = 0;                  // --http-workers (0: one a processor, 2 to 8, and one more)
    double http_rate = 0;                  // --http-rate (renders a second from one address; 0: any)
    int fault = 0;        // --fault: the printer's code for it
    long fault_from = 1;  // from this label on
};

// -o FILE.png, or a pattern with one printf number ("label-%03d.png").
inline bool is_pattern(const std::string &output) {
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
inline bool has_percent(const std::string &output) { return output.find('%') != std::string::npos; }

inline std::string numbered(const Options &o, long n) {
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
// comes, the first is FILE.png; then it becomes FILE-1.png. With -o FILE.pdf
// each label is a page of one PDF.
class LabelWriter {
public:
    LabelWriter(const Options &o, bool always_numbered)
        : o_(o), numbered_(always_numbered || is_pattern(o.output)), pdf_(is_pdf(o.output)) {}

    // Also told of each label written (the web page's printer panel).
    std::function<void(const LabelView &)> also;

    void operator()(const LabelView &label) {
        // --labels N: the N-th is the last, even when more came in the same
        // read.
        if (o_.labels != 0 && written_ >= o_.labels) return;
        ++written_;
        if (also) also(label);
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

inline void report(const VirtualPrinter &printer, const LabelWriter &writer, bool as_json) {
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
    std::printf("%s\n", dump(report_json(printer, writer.paths())).c_str());
}

// Diagnostics as they come, on standard error.
class DiagnosticStream {
public:
    void flush(const VirtualPrinter &printer) {
        for (; shown_ < printer.diagnostics().size(); ++shown_)
            std::fprintf(stderr, "byte %zu: %s\n", printer.diagnostics()[shown_].offset,
                         printer.diagnostics()[shown_].message.c_str());
    }
    int status(const VirtualPrinter &printer) {
        flush(printer);
        if (printer.dropped_diagnostics())
            std::fprintf(stderr, "(%zu more lines the printer could not take)\n", printer.dropped_diagnostics());
        return printer.diagnostics().empty() ? 0 : 2;
    }

private:
    std::size_t shown_ = 0;
};

inline VirtualPrinter make_printer(const Options &o, LabelWriter &writer) {
    VirtualPrinter printer(VirtualPrinter::Options{o.max_labels, o.media_width, o.media_length, o.dots_per_mm});
    printer.on_label([&writer](const LabelView &label) { writer(label); });
    return printer;
}

// A listening socket on HOST:PORT, HOST a name, an IPv4 address or an IPv6
// one in brackets; no host is the loopback address, "*" every address.
// loopback says whether the socket is reachable from this machine only; -1
// when it cannot listen (errno says why, 0 for a malformed address).
// "systemd" is the socket systemd passed under passed_name (socket
// activation), error then saying why there is none.
int listen_on(const std::string &where, std::string &bound, bool &loopback, const char *passed_name = nullptr,
              std::string *error = nullptr);
// Where a socket listens, as listen_on says it.
void describe_socket(int fd, std::string &bound, bool &loopback);

// Serving as a printer (serving.cpp): on a new pseudo-terminal, or on a
// TCP port, one job a connection; with the web service (http), when it is
// given, fed with each label for its printer panel.
int serve(const Options &o, HttpService *http);
int listen_for_jobs(const Options &o, HttpService *http);
// The web service alone, until stopped.
int serve_http(const Options &o, HttpService &http);
// Runs quillbar-preview-web in this process's place, with the same
// arguments (argv as main had it); returns, having said so, when it cannot.
void run_web_program(char *const *argv);

}  // namespace quillbar::tool
