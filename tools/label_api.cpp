// SPDX-License-Identifier: MIT
#include "label_api.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "bounds.h"
#include "command_help.h"
#include "command_table.h"
#include "pdf.h"

namespace quillbar::tool {
namespace {

using preview::VirtualPrinter;

// The next piece of a path up to '/', taken off the front.
std::string_view take_piece(std::string_view &rest) {
    const std::size_t slash = rest.find('/');
    const std::string_view piece = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    return piece;
}

// An inch size such as 4, 4.0 or 2.25: digits, at most one point.
bool inches(std::string_view text, double &value) {
    if (text.empty() || text.size() > 12 || text.find_first_not_of("0123456789.") != std::string_view::npos ||
        std::count(text.begin(), text.end(), '.') > 1 || text == ".")
        return false;
    value = std::strtod(std::string(text).c_str(), nullptr);
    return value > 0;
}

int hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// "A: field 3 is missing" names its parameter; most messages do.
std::string parameter_of(const std::string &message) {
    const std::size_t at = message.find("field ");
    if (at == std::string::npos) return "";
    std::size_t end = at + 6;
    while (end < message.size() && std::isdigit(static_cast<unsigned char>(message[end]))) ++end;
    return message.substr(at + 6, end - at - 6);
}

// Header text: printable ASCII, without the separator.
std::string header_safe(const std::string &text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        out += u == '|' ? '/' : (u < 0x20 || u > 0x7e) ? '?' : c;
    }
    return out;
}

}  // namespace

bool percent_decode(std::string_view in, std::string &out) {
    out.clear();
    out.reserve(in.size());
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '%') {
            out += in[i];
            continue;
        }
        if (i + 2 >= in.size()) return false;
        const int high = hex(in[i + 1]), low = hex(in[i + 2]);
        if (high < 0 || low < 0) return false;
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return true;
}

bool parse_label_path(std::string_view path, LabelPath &out, std::string &why) {
    out = LabelPath{};
    constexpr std::string_view kPrinters = "/v1/printers/";
    if (path.substr(0, kPrinters.size()) != kPrinters) {
        why = "the path is /v1/printers/{8|12}dpmm/labels/{W}x{H}/[{index}/]";
        return false;
    }
    std::string_view rest = path.substr(kPrinters.size());
    const std::string_view density = take_piece(rest);
    if (density == "8dpmm") {
        out.dots_per_mm = 8;
    } else if (density == "12dpmm") {
        out.dots_per_mm = 12;
    } else {
        why = "EPL2 printers come at 203 and 300 dpi only: the density is 8dpmm (203 dpi) or 12dpmm (300 dpi), not '" +
              std::string(density) + "'";
        return false;
    }
    if (take_piece(rest) != "labels") {
        why = "the path goes on with /labels/ after the density";
        return false;
    }
    const std::string_view size = take_piece(rest);
    const std::size_t x = size.find('x');
    double w = 0, h = 0;
    if (x == std::string_view::npos || !inches(size.substr(0, x), w) || !inches(size.substr(x + 1), h)) {
        why = "the label size is WxH in inches (4x6, 2.25x1.25), not '" + std::string(size) + "'";
        return false;
    }
    const double per_inch = VirtualPrinter::dots_per_inch(out.dots_per_mm);
    const long width = std::lround(w * per_inch), length = std::lround(h * per_inch);
    if (width < 1 || length < 1 || width > preview::limits::kMaxWidth || length > preview::limits::kMaxLength) {
        why = "the label size " + std::string(size) + " is 1 to " + std::to_string(preview::limits::kMaxWidth) + " x " +
              std::to_string(preview::limits::kMaxLength) + " dots at the density";
        return false;
    }
    out.media_width = static_cast<int>(width);
    out.media_length = static_cast<int>(length);
    const bool has_index = !rest.empty();
    const std::string_view index = take_piece(rest);
    if (has_index && !index.empty()) {
        if (index.size() > 9 || index.find_first_not_of("0123456789") != std::string_view::npos) {
            why = "the label index is a number from 0, not '" + std::string(index) + "'";
            return false;
        }
        out.index = std::strtol(std::string(index).c_str(), nullptr, 10);
    }
    // What follows the index is a GET's stream, slashes and all.
    if (!rest.empty() && !percent_decode(rest, out.stream)) {
        why = "the stream in the path has a broken %-escape";
        return false;
    }
    return true;
}

bool takes_content_type(const char *type) {
    if (!type || !*type) return true;
    static constexpr const char *kTaken[] = {"text/", "application/octet-stream", "application/x-www-form-urlencoded",
                                             "multipart/form-data", "application/x-epl"};
    for (const char *t : kTaken)
        if (strncasecmp(type, t, std::strlen(t)) == 0) return true;
    return false;
}

// A web page elsewhere that has its name point at 127.0.0.1 must not read the
// service through the browser: on loopback, only a loopback name or address
// is answered.
bool local_host_name(const char *host) {
    if (!host) return true;
    std::string_view h = host;
    if (!h.empty() && h.front() == '[') {
        h = h.substr(0, h.find(']') + 1);
    } else {
        h = h.substr(0, h.find(':'));
        if (!h.empty() && h.back() == '.') h.remove_suffix(1);
    }
    if ((h.size() == 9 && strncasecmp(h.data(), "localhost", 9) == 0) || h == "[::1]") return true;
    // 127.x.y.z
    return h.substr(0, 4) == "127." && h.find_first_not_of("0123456789.") == std::string_view::npos;
}

std::optional<Format> choose_format(const char *accept) {
    if (!accept || !*accept) return Format::png;
    struct Offer {
        const char *range;
        Format format;
    };
    static constexpr Offer kOffers[] = {
        {"image/png", Format::png},       {"application/pdf", Format::pdf}, {"application/json", Format::json},
        {"image/*", Format::png},         {"application/*", Format::pdf},   {"*/*", Format::png},
    };
    std::optional<Format> best;
    double best_q = 0;
    int best_rank = 99;
    std::string_view rest = accept;
    while (!rest.empty()) {
        const std::size_t comma = rest.find(',');
        std::string_view item = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        double q = 1;
        const std::size_t semi = item.find(';');
        if (semi != std::string_view::npos) {
            const std::string params(item.substr(semi));
            const std::size_t qat = params.find("q=");
            if (qat != std::string::npos) q = std::strtod(params.c_str() + qat + 2, nullptr);
            item = item.substr(0, semi);
        }
        while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
        while (!item.empty() && item.back() == ' ') item.remove_suffix(1);
        for (int rank = 0; rank < static_cast<int>(std::size(kOffers)); ++rank)
            if (item.size() == std::strlen(kOffers[rank].range) &&
                strncasecmp(item.data(), kOffers[rank].range, item.size()) == 0 && q > 0 &&
                (q > best_q || (q == best_q && rank < best_rank))) {
                best = kOffers[rank].format;
                best_q = q;
                best_rank = rank;
            }
    }
    return best;
}

const char *content_type(Format format) {
    switch (format) {
    case Format::pdf: return "application/pdf";
    case Format::json: return "application/json";
    case Format::png: break;
    }
    return "image/png";
}

std::string warnings_header(const std::vector<preview::Diagnostic> &diagnostics, const std::string &stream,
                            std::size_t max, std::size_t *left_out) {
    std::string out;
    if (left_out) *left_out = diagnostics.size();
    for (const preview::Diagnostic &d : diagnostics) {
        std::size_t size = 0;
        if (d.offset < stream.size()) {
            const std::size_t end = stream.find('\n', d.offset);
            size = (end == std::string::npos ? stream.size() : end) - d.offset;
        }
        std::string one = std::to_string(d.offset) + "|" + std::to_string(size) + "|" + header_safe(d.command) + "|" +
                          parameter_of(d.message) + "|" + header_safe(d.message);
        if (out.size() + one.size() + 1 > max) break;
        out += (out.empty() ? "" : "|") + one;
        if (left_out) --*left_out;
    }
    return out;
}

nlohmann::ordered_json report_json(const VirtualPrinter &printer, nlohmann::ordered_json labels) {
    nlohmann::ordered_json out;
    out["labels"] = std::move(labels);
    out["unrendered_labels"] = printer.unrendered_labels();
    out["diagnostics"] = diagnostics_json(printer.diagnostics());
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
    return out;
}

const std::string &commands_json() {
    static const std::string text = [] {
        nlohmann::ordered_json out = nlohmann::ordered_json::array();
        std::size_t count = 0;
        const preview::CommandEntry *entries = preview::command_entries(count);
        for (const preview::CommandHelp &h : preview::command_help()) {
            bool in_form = false;
            for (std::size_t i = 0; i < count; ++i)
                if (std::strcmp(entries[i].letters, h.letters) == 0) in_form = entries[i].in_form;
            nlohmann::ordered_json fields = nlohmann::ordered_json::array();
            for (const preview::FieldHelp &f : h.fields)
                fields.push_back({{"name", f.name}, {"range", f.range}, {"default", f.fallback}, {"meaning", f.meaning}});
            out.push_back({{"letters", h.letters}, {"summary", h.summary}, {"in_form", in_form}, {"example", h.example},
                           {"fields", std::move(fields)}});
        }
        return dump(out);
    }();
    return text;
}

nlohmann::ordered_json elements_json(const std::vector<preview::Element> *elements) {
    nlohmann::ordered_json out = nlohmann::ordered_json::array();
    if (elements)
        for (const preview::Element &e : *elements)
            out.push_back({{"command", e.command}, {"line", e.line}, {"offset", e.offset}, {"x", e.x}, {"y", e.y},
                           {"width", e.width}, {"height", e.height}, {"data", e.data}});
    return out;
}

nlohmann::ordered_json diagnostics_json(const std::vector<preview::Diagnostic> &diagnostics) {
    nlohmann::ordered_json out = nlohmann::ordered_json::array();
    for (const auto &d : diagnostics)
        out.push_back({{"offset", d.offset}, {"line", d.line}, {"command", d.command}, {"code", d.code},
                       {"message", d.message}});
    return out;
}

std::string dump(const nlohmann::ordered_json &json) {
    return json.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

Answer render(const std::string &sent, const LabelPath &path, Format format, const RenderLimits &limits,
              const RenderOptions &options) {
    // Typed text for a printer's character set: its bytes in that set.
    std::string encoded;
    if (!options.charset.empty()) {
        std::string why;
        if (!encode_text(sent, options.charset, encoded, why)) return Answer{422, "text/plain; charset=utf-8", why + "\n", {}};
    }
    const std::string &stream = options.charset.empty() ? sent : encoded;
    Answer a;
    VirtualPrinter printer(VirtualPrinter::Options{limits.max_labels, path.media_width, path.media_length, path.dots_per_mm, format == Format::json});
    const long wanted = path.index.value_or(0);
    const bool every = format == Format::pdf && !path.index;
    long printed = 0;
    std::vector<unsigned char> bytes;
    std::unique_ptr<preview::PdfWriter> pdf;
    if (format == Format::pdf) pdf = std::make_unique<preview::PdfWriter>(bytes, path.dots_per_mm);
    if (pdf && options.sheet) pdf->set_sheet(*options.sheet);
    nlohmann::ordered_json sizes = nlohmann::ordered_json::array();
    std::string failed;
    printer.on_label([&](const preview::LabelView &label) {
        const long n = printed++;
        if (format == Format::json) {
            sizes.push_back({{"number", n}, {"width", label.image.width()}, {"height", label.image.height()},
                             {"sets", label.sets}, {"copies", label.copies}, {"offset", label.offset},
                             {"elements", elements_json(label.elements)}});
            std::vector<unsigned char> png;
            if (n < options.images && preview::encode_png(label.image, png, 1, path.dots_per_mm, options.grayscale))
                sizes.back()["png"] = base64(png);
        } else if (format == Format::png && n == wanted) {
            if (!preview::encode_png(options.rotation ? label.image.turned_clockwise(options.rotation / 90) : label.image, bytes, 1,
                                     path.dots_per_mm, options.grayscale))
                failed = "the PNG could not be made";
        } else if (pdf && (every || n == wanted) &&
                   !pdf->add(options.rotation ? label.image.turned_clockwise(options.rotation / 90) : label.image)) {
            failed = pdf->error();
        }
    });
    printer.stop_at(std::chrono::steady_clock::now() + limits.time);
    printer.feed(stream.data(), stream.size());
    if (printer.stopped()) {
        a.status = 422;
        a.body = "rendering the stream took longer than " + std::to_string(limits.time.count() / 1000) +
                 " s; it was stopped\n";
        return a;
    }
    printer.finish();
    const long total = printed + printer.unrendered_labels();
    a.headers.emplace_back("X-Total-Count", std::to_string(total));
    std::size_t left_out = 0;
    const std::string warnings = warnings_header(printer.diagnostics(), stream, 4000, &left_out);
    if (!warnings.empty()) a.headers.emplace_back("X-Warnings", warnings);
    // The header holds what fits; the rest are counted, with those the
    // printer itself stopped keeping.
    left_out += printer.dropped_diagnostics();
    if (left_out) a.headers.emplace_back("X-Warnings-Omitted", std::to_string(left_out));
    if (pdf && !pdf->close() && failed.empty()) failed = pdf->error();
    if (!failed.empty()) {
        a.status = 500;
        a.body = failed + "\n";
        return a;
    }
    if (format == Format::json) {
        a.content_type = "application/json";
        a.body = dump(report_json(printer, std::move(sizes))) + "\n";
        return a;
    }
    if ((format == Format::png || path.index) && wanted >= printed) {
        a.status = 404;
        a.body = wanted < total ? "label " + std::to_string(wanted) + " was printed but not rendered: at most " +
                                      std::to_string(limits.max_labels) + " labels are rendered a request\n"
                 : total == 0  ? std::string("the stream printed no label (no P command)\n")
                               : "label " + std::to_string(wanted) + " is past the last label (" + std::to_string(total) +
                                    " printed, counted from 0)\n";
        return a;
    }
    if (format == Format::pdf && printed == 0) {
        a.status = 404;
        a.body = "the stream printed no label (no P command)\n";
        return a;
    }
    a.content_type = content_type(format);
    a.body.assign(bytes.begin(), bytes.end());
    return a;
}

}  // namespace quillbar::tool
