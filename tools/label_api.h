// SPDX-License-Identifier: MIT
// The label service's requests, apart from HTTP: what a path asks for, what
// an Accept header takes, and rendering a stream into the answer. Paths are
// shaped as label viewers' REST services shape them, so that their clients
// work by changing the host:
//
//   /v1/printers/{8|12}dpmm/labels/{W}x{H}/[{index}/[{stream}]]
//
// W x H in inches is the media, the label's size where the stream sets none.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "epl2_printer.h"
#include "pdf.h"

namespace quillbar::tool {

struct LabelPath {
    int dots_per_mm = 8;
    int media_width = 0;  // dots
    int media_length = 0;
    std::optional<long> index;  // from 0
    std::string stream;         // a GET's stream, decoded from the path
};

// The path, still percent-encoded, to what it asks; false with the reason.
bool parse_label_path(std::string_view path, LabelPath &out, std::string &why);

// "%41%0A" to its bytes (any byte, NUL too); false for a broken escape.
bool percent_decode(std::string_view in, std::string &out);

enum class Format { png, pdf, json };
// The best of PNG, PDF and JSON an Accept header takes (none or */*: PNG);
// nothing when it takes none of them.
std::optional<Format> choose_format(const char *accept);
const char *content_type(Format format);
// Whether a Content-Type is a stream the API takes (none is).
bool takes_content_type(const char *type);
// Whether a Host header names this machine: localhost in any case, with or
// without the root's dot, [::1] or 127.x.y.z, any port (none: HTTP/1.0).
bool local_host_name(const char *host);

struct Answer {
    int status = 200;
    std::string content_type = "text/plain; charset=utf-8";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
};

// What the label viewers' option headers ask for: the warnings kept (X-Linter:
// On, the default, or Off), the labels turned clockwise (X-Rotation: 0, 90,
// 180, 270), the PNG's pixels (X-Quality:
// Grayscale, 8 bits; Bitonal, 1 bit, the default), and for a PDF, labels
// laid out on sheets (X-Page-Size: Letter, A4, A5, A6 or WxH in inches;
// X-Page-Orientation: Portrait or Landscape; X-Page-Layout: CxR;
// X-Page-Align: Left, Right, Center, Justify; X-Page-Vertical-Align: Top,
// Bottom, Center, Justify; X-Label-Border: None, Solid, Dashed). Without a
// page size, a PDF has a page a label at its size.
struct RenderOptions {
    int rotation = 0;
    bool grayscale = false;
    bool warnings = true;  // X-Linter: Off leaves the diagnostics out of the headers
    std::optional<preview::PdfSheet> sheet;
    // X-Images: N, the JSON report with the first N labels' PNGs (base64)
    // in it: a page needs one request for the report and the labels.
    long images = 0;
    // X-Charset: the body is UTF-8 text, to be sent to the printer in this
    // character set (CP437 ... CP1255, GB2312, GBK); "" for bytes as they are.
    std::string charset;
};

// The character sets X-Charset takes: the printer's code pages (I command)
// and the Chinese sets of fonts 8 and 9.
bool known_charset(const std::string &name);
// UTF-8 text in a character set; false with the characters it cannot hold
// (and their lines) in why.
bool encode_text(const std::string &utf8, const std::string &charset, std::string &out, std::string &why);
// Bytes as base64 (through GnuTLS, which the web service's HTTP library
// brings); empty when it cannot be loaded.
std::string base64(const std::vector<unsigned char> &bytes);

// The options from the request's headers (header(name) is the value or
// null); false with the reason for a value they do not take.
bool parse_render_options(const std::function<const char *(const char *)> &header, RenderOptions &out,
                          std::string &why);

struct RenderLimits {
    long max_labels = 1000;  // rendered a request; more are counted
    std::chrono::milliseconds time{10000};
};

// What the virtual printer makes of stream for the request: the label at
// the index (PNG; PDF with an index), every label (PDF), or the report
// (JSON); X-Total-Count and X-Warnings with it. A stream the printer partly
// rejects still prints the rest: 200 with its warnings.
Answer render(const std::string &stream, const LabelPath &path, Format format, const RenderLimits &limits,
              const RenderOptions &options = {});

// The report --report=json writes: labels (given), what the printer did,
// its state. Text that is not UTF-8 is replaced when it is dumped.
nlohmann::ordered_json report_json(const preview::VirtualPrinter &printer, nlohmann::ordered_json labels);
std::string dump(const nlohmann::ordered_json &json);
nlohmann::ordered_json diagnostics_json(const std::vector<preview::Diagnostic> &diagnostics);
// Every command the printer knows, for the page's help: letters, what it
// does, whether a form may hold it, its fields and an example (JSON text).
const std::string &commands_json();
// What was drawn on a label: command, line, offset, box in dots, data.
nlohmann::ordered_json elements_json(const std::vector<preview::Element> *elements);

// Diagnostics as an X-Warnings header: offset|size|command|parameter|message
// for each, '|' between them, whole ones while they fit in max bytes; how
// many did not fit goes to *left_out.
std::string warnings_header(const std::vector<preview::Diagnostic> &diagnostics, const std::string &stream,
                            std::size_t max = 4000, std::size_t *left_out = nullptr);

}  // namespace quillbar::tool
