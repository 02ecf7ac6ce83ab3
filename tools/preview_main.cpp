// SPDX-License-Identifier: MIT
// quillbar-preview: what an EPL2 printer would print, as pictures.
//
// Exit status: 0, 1 for a usage or file error, 2 when the stream had lines
// the printer could not take (each reported on standard error).
#include <getopt.h>

#include <algorithm>
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


#include <thread>

#include "cli.h"
#include "http_service.h"
#include "preview_tool.h"

namespace {

using namespace quillbar::tool;

// --fault KIND[@N]: a printer that stops as real ones do, with the codes of
// the library's one list of status codes.
struct FaultKind {
    const char *names;  // separated by spaces
    int code;
};
constexpr FaultKind kFaults[] = {
#define QB_STATUS(code, name, urgency, faults, meaning) {faults, code},
#include "status_codes.def"
#undef QB_STATUS
};

// "paper-out, ribbon-out, ... or media-feed"
std::string fault_names() {
    std::vector<std::string> names;
    for (const FaultKind &f : kFaults)
        for (std::size_t i = 0, end; *f.names && i <= std::strlen(f.names); i = end + 1) {
            end = std::string(f.names).find(' ', i);
            if (end == std::string::npos) end = std::strlen(f.names);
            names.push_back(std::string(f.names).substr(i, end - i));
        }
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i)
        out += (i == 0 ? "" : i + 1 == names.size() ? " or " : ", ") + names[i];
    return out;
}

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
    const double per_unit = mm ? o.dots_per_mm : VirtualPrinter::dots_per_inch(o.dots_per_mm);
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
        if (!kind.empty() && kind.find(' ') == std::string::npos &&
            (" " + std::string(f.names) + " ").find(" " + kind + " ") != std::string::npos)
            o.fault = f.code;
    if (!o.fault) {
        std::fprintf(stderr, "%s: --fault takes %s, then @N if it starts at the N-th label; not '%s'\n", kProgram,
                     fault_names().c_str(), text);
        return false;
    }
    return at == std::string::npos ||
           quillbar::tools::parse_number(kProgram, "--fault KIND@N", arg.c_str() + at + 1, 1, LONG_MAX, o.fault_from);
}

int render_stream(const Options &o) {
    FILE *in = o.input == "-" ? stdin : std::fopen(o.input.c_str(), "rb");
    if (!in) {
        std::fprintf(stderr, "%s: cannot open %s: %s\n", kProgram, o.input.c_str(), std::strerror(errno));
        return 1;
    }
    LabelWriter writer(o, false);
    VirtualPrinter printer = make_printer(o, writer);
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

std::unique_ptr<HttpService> start_http(const Options &o) {
    HttpService::Settings settings;
    settings.max_body = o.http_max_body;
    settings.idle_seconds = o.idle_seconds;
    // A worker a processor, and one more that no single client may take.
    settings.workers = o.http_workers ? o.http_workers
                                      : static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 2u, 8u)) + 1;
    settings.guard.idle = std::chrono::seconds(o.idle_seconds);
    settings.guard.rate = o.http_rate;
    settings.limits.max_labels = o.max_labels;
#ifdef QUILLBAR_WEB_PROGRAM
    settings.metrics = make_service_metrics();
#endif
    std::string bound, error;
    bool loopback = true;
    std::unique_ptr<HttpService> http = HttpService::start(o.http, settings, bound, loopback, error);
    if (!http) {
        std::fprintf(stderr, "%s: cannot serve HTTP on %s: %s\n", kProgram, o.http.c_str(), error.c_str());
        return nullptr;
    }
    if (!loopback)
        std::fprintf(stderr, "%s: warning: serving HTTP on %s, beyond this machine: whoever reaches it renders "
                             "streams here and sees the labels printed\n", kProgram, bound.c_str());
    std::signal(SIGPIPE, SIG_IGN);
    say("http: http://%s/\n", bound.c_str());
    return http;
}

void usage(FILE *to) {
    std::fprintf(to,
                 "usage: %s [OPTION]... STREAM|-\n"
                 "       %s [OPTION]... --serve\n"
                 "       %s [OPTION]... --listen HOST:PORT\n"
                 "       %s [OPTION]... --http [HOST:]PORT\n"
                 "Render what an EPL2 label printer would print for STREAM (a file, or - for standard\n"
                 "input), or be such a printer on a new pseudo-terminal (--serve) or on a TCP port\n"
                 "(--listen, one job a connection), one PNG a label.\n"
                 "\n"
                 "  -o, --output FILE.png   where labels go (default label.png); several labels are\n"
                 "                          numbered FILE-1.png, FILE-2.png, ...; a pattern with one\n"
                 "                          number (label-%%03d.png) names every label; FILE.pdf is\n"
                 "                          one PDF, a page a label at its size\n"
                 "  -s, --scale N           each dot as N x N pixels, 1 to 32 (default 1); in\n"
                 "                          quillbar-text2png -s is --style and -x the scale\n"
                 "  -r, --report[=json]     say what the printer did with each command, and its state\n"
                 "      --max-labels N      render at most N labels (default 1000; 0: no limit)\n"
                 "      --media WxH         the media, the label's size where the stream sets none:\n"
                 "                          inches (4x6, the default) or millimetres (100x150mm)\n"
                 "      --dpmm N            the printer's density: 8 dots a millimetre (203 dpi, the\n"
                 "                          default) or 12 (300 dpi)\n"
                 "      --serve             be a printer on a new pseudo-terminal; prints its device\n"
                 "      --listen HOST:PORT  be a network printer (port 0: any free port); prints it\n"
                 "      --http [HOST:]PORT  serve the label API and the page that renders a stream as it\n"
                 "                          is typed (port 0: any free port; loopback without a host);\n"
                 "                          alone, or with --serve or --listen, whose labels appear\n"
                 "                          on the page as they print; /healthz and /metrics\n"
                 "                          (Prometheus) for a service manager\n"
                 "      --http-max-body N   the largest stream the API takes, in bytes (default %zu MB)\n"
                 "      --http-workers N    render N requests at once, all but one for any one client\n"
                 "                          (default: a processor each, 2..8, and one more)\n"
                 "      --http-rate N       answer 429 to an address that asks for more than N renders\n"
                 "                          a second (default: no limit)\n"
                 "      --raw FILE          (--serve, --listen) also keep the bytes received in FILE\n"
                 "      --idle-timeout S    (--listen) end a job whose client sends nothing for S seconds\n"
                 "                          (default %d), so that it cannot hold the printer; (--http)\n"
                 "                          close a connection that sends no next request for as long\n"
                 "      --labels N          (--serve, --listen) stop after N labels (default: until stopped)\n"
                 "      --fault KIND[@N]    (--serve, --listen) from the N-th label on (default 1) report\n"
                 "                          KIND to ^ee and keep labels instead of printing them, until\n"
                 "                          SIGUSR1 clears it; KIND: one of\n"
                 "                          %s\n"
                 "  -h, --help              show this help and exit\n"
                 "  -V, --version           show the version and exit\n"
                 "\n"
                 "Exit status: 0 on success, 1 for a usage or file error, 2 when the stream had\n"
                 "lines the printer could not take (each reported on standard error).\n",
                 kProgram, kProgram, kProgram, kProgram, kDefaultMaxBody >> 20, kDefaultIdleSeconds, fault_names().c_str());
}

int bad_usage(const char *why = nullptr) {
    if (why) std::fprintf(stderr, "%s: %s\n", kProgram, why);
    std::fprintf(stderr, "Try '%s --help' for more information.\n", kProgram);
    return 1;
}

}  // namespace

int main(int argc, char **argv) {
    enum { kServe = 256, kRaw, kLabels, kListen, kMaxLabels, kFault, kMedia, kDpmm, kIdle, kHttp, kHttpBody, kHttpWorkers,
           kHttpRate };
    static const option kOptions[] = {
        {"output", required_argument, nullptr, 'o'},     {"scale", required_argument, nullptr, 's'},
        {"report", optional_argument, nullptr, 'r'},     {"serve", no_argument, nullptr, kServe},
        {"listen", required_argument, nullptr, kListen}, {"raw", required_argument, nullptr, kRaw},
        {"labels", required_argument, nullptr, kLabels}, {"max-labels", required_argument, nullptr, kMaxLabels},
        {"help", no_argument, nullptr, 'h'},             {"version", no_argument, nullptr, 'V'},
        {"fault", required_argument, nullptr, kFault},   {"media", required_argument, nullptr, kMedia},
        {"dpmm", required_argument, nullptr, kDpmm},     {"idle-timeout", required_argument, nullptr, kIdle},
        {"http", required_argument, nullptr, kHttp},     {"http-max-body", required_argument, nullptr, kHttpBody},
        {"http-workers", required_argument, nullptr, kHttpWorkers}, {"http-rate", required_argument, nullptr, kHttpRate},
        {nullptr, 0, nullptr, 0},
    };
    // getopt_long reorders argv; the web program gets it as it came.
    const std::vector<char *> arguments(argv, argv + argc + 1);
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
        case kHttp: o.http = optarg; break;
        case kHttpBody: {
            long bytes = 0;
            if (!parse_number(kProgram, "--http-max-body", optarg, 1, 1L << 30, bytes)) return bad_usage();
            o.http_max_body = static_cast<std::size_t>(bytes);
            break;
        }
        case kHttpWorkers: {
            long workers = 0;
            if (!parse_number(kProgram, "--http-workers", optarg, 1, 64, workers)) return bad_usage();
            o.http_workers = static_cast<int>(workers);
            break;
        }
        case kHttpRate: {
            char *end = nullptr;
            o.http_rate = std::strtod(optarg, &end);
            if (end == optarg || *end || !(o.http_rate > 0 && o.http_rate <= 1e6))
                return bad_usage("--http-rate takes the renders a second one address may ask for, more than 0");
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
    if (modes == 0 && o.http.empty())
        return bad_usage("give a stream to render (- for standard input), --serve, --listen or --http");
    if (!o.input.empty() && !o.http.empty()) return bad_usage("--http goes alone or with --serve or --listen");
    if (!o.input.empty() && (!o.raw.empty() || o.labels || o.fault))
        return bad_usage("--raw, --labels and --fault go with --serve or --listen");
    if (has_percent(o.output) && !is_pattern(o.output))
        return bad_usage("-o takes at most one number pattern such as %03d (write %% for a percent sign)");
    if (o.json) g_said = stderr;
    if (o.input.empty() && !o.http.empty()) {
#ifndef QUILLBAR_WEB_PROGRAM
        run_web_program(arguments.data());
#endif
        std::unique_ptr<HttpService> http = start_http(o);
        if (!http) return 1;
        if (o.serve) return serve(o, http.get());
        if (!o.listen.empty()) return listen_for_jobs(o, http.get());
        return serve_http(o, *http);
    }
    if (o.serve) return serve(o, nullptr);
    if (!o.listen.empty()) return listen_for_jobs(o, nullptr);
    return render_stream(o);
}
