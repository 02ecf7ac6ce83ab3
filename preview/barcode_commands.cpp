// SPDX-License-Identifier: MIT
// B (bar codes) and b (two-dimensional codes).
#include <cctype>

#include "barcodes.h"
#include "machine.h"
#include "resident_fonts.h"

namespace quillbar::preview::barcodes {
namespace {

// Paints a shape at (x, y) turned by rotation, with its readable line.
void paint(Machine &m, const Cmd &c, const Shape &shape, long x, long y, int rotation) {
    Bitmap &layer = m.object_layer(shape.late);
    Painter painter(layer, m.state.ref_x + x, m.state.ref_y + y, rotation);
    FontMetrics font{};
    const int dpmm = shape.dots_per_mm;
    font_metrics(shape.readable_font, font, dpmm);
    const long text_w = text_width(shape.readable_font, shape.readable.size(), 1, dpmm);
    const long total_w = std::max(shape.width, text_w);
    const long total_h = shape.height + (shape.readable.empty() ? 0 : 2 + font.box_height);
    if (!painter.inside(0, 0, total_w, total_h)) m.note_outside(c.offset);
    const Bitmap::Ink ink = shape.inverse ? Bitmap::Ink::white : Bitmap::Ink::black;
    if (shape.inverse) painter.rect(0, 0, shape.width, shape.height);
    for (const Shape::Bar &b : shape.bars) painter.rect(b.u, b.v, b.w, b.h, ink);
    std::string error;
    if (!shape.readable.empty() &&
        !paint_text(painter, shape.readable_font, shape.readable, std::max(0L, (shape.width - text_w) / 2),
                    shape.height + 2, 1, 1, "437", Bitmap::Ink::black, error, dpmm))
        m.diagnose(c.offset, c.letters + ": readable line not drawn: " + error);
    for (const Shape::Piece &p : shape.pieces)
        if (!paint_text(painter, shape.readable_font, p.text, p.u, p.v, 1, 1, "437", Bitmap::Ink::black, error, dpmm))
            m.diagnose(c.offset, c.letters + ": readable line not drawn: " + error);
    for (const std::string &n : shape.notes) m.lenient(c.offset, c.letters, n);
    m.touched();
}

}  // namespace

// B p1,p2,p3,p4,p5,p6,p7,p8,"DATA": position, rotation, selection, narrow
// and wide bar, height, B or N for the readable line, data.
void linear(Machine &m, Cmd &c) {
    Fields f(c);
    long x, y, rotation;
    LinearRequest request;
    request.dots_per_mm = m.options.dots_per_mm;
    std::string readable, unread;
    if (!(f.number(0, x) && f.number(1, y) && f.number(2, rotation) && f.word(3, request.selection)))
        return m.diagnose(c.offset, f.error());
    const bool narrow = reads_narrow_bar(request.selection), wide = reads_wide_bar(request.selection);
    if (!((narrow ? f.number(4, request.narrow) : f.word(4, unread)) &&
          (wide ? f.number(5, request.wide) : f.word(5, unread)) && f.number(6, request.height) && f.word(7, readable) &&
          f.data(8, request.data)))
        return m.diagnose(c.offset, f.error());
    if (rotation < 0 || rotation > 3) return m.diagnose(c.offset, "B: rotation " + std::to_string(rotation) + " is outside 0..3");
    const bool ean = request.selection[0] == 'E' || request.selection[0] == 'U';
    if (narrow && (ean ? (request.narrow < 2 || request.narrow > 4) : (request.narrow < 1 || request.narrow > 10)))
        return m.diagnose(c.offset, "B: narrow bar width " + std::to_string(request.narrow) + " is outside " +
                                        (ean ? "2..4 for EAN and UPC" : "1..10"));
    if (wide && (request.wide < 2 || request.wide > 30))
        return m.diagnose(c.offset, "B: wide bar width " + std::to_string(request.wide) + " is outside 2..30");
    if (request.height < 1 || request.height > limits::kMaxLength)
        return m.diagnose(c.offset, "B: bar height " + std::to_string(request.height) + " is outside 1.." +
                                        std::to_string(limits::kMaxLength));
    if (readable != "B" && readable != "N") return m.diagnose(c.offset, "B: field 8 is not B or N: '" + shown(readable) + "'");
    request.readable = readable == "B";
    Shape shape;
    if (const EncodeError error = encode_linear(request, shape)) return m.diagnose(c.offset, "B: " + error.message, error.code);
    if (request.data.empty()) return m.event(c.offset, "B", "empty data: nothing drawn");
    paint(m, c, shape, x, y, static_cast<int>(rotation));
    m.event(c.offset, "B", "bar code " + request.selection + " \"" + shown(request.data) + "\" at " + std::to_string(x) +
                               "," + std::to_string(y));
}

// b p1,p2,type[,options],"DATA". Options are a letter and a value, in any
// order; for QR they may run together without commas. PDF417 takes its
// maximum width and height first, without letters.
void two_dimensional(Machine &m, Cmd &c) {
    Fields f(c);
    long x, y;
    MatrixRequest request;
    request.dots_per_mm = m.options.dots_per_mm;
    if (!(f.number(0, x) && f.number(1, y) && f.word(2, request.type))) return m.diagnose(c.offset, f.error());
    std::size_t data_at = 3;
    while (data_at < c.fields.size() && (c.fields[data_at].empty() || c.fields[data_at][0] != '"')) ++data_at;
    if (!f.data(data_at, request.data)) return m.diagnose(c.offset, f.error());
    for (std::size_t i = 3; i < data_at; ++i) {
        const std::string &option = c.fields[i];
        long number = 0;
        if (request.type == "P" && request.sizes.size() < 2 && parse_number(option, number)) {
            request.sizes.push_back(number);
            continue;
        }
        // Letter and value pairs, several to a field where commas were left out;
        // a field that starts with no letter is no option, and is refused.
        if (option.empty() || !std::isalpha(static_cast<unsigned char>(option[0])))
            return m.diagnose(c.offset, "b: field " + std::to_string(i + 1) + " ('" + shown(option) +
                                            "') is no option (a letter and its value)" +
                                            (request.type == "P" ? ", and PDF417 takes two sizes at most" : ""));
        std::size_t k = 0;
        while (k < option.size()) {
            const char letter = option[k++];
            std::size_t end = k;
            while (end < option.size() && !std::isalpha(static_cast<unsigned char>(option[end]))) ++end;
            // A QR error level (eH) or input mode (iA) is one letter.
            if (end == k && k < option.size()) ++end;
            request.options[letter] = option.substr(k, end - k);
            k = end;
        }
    }
    Shape shape;
    if (const EncodeError error = encode_matrix(request, shape)) return m.diagnose(c.offset, "b: " + error.message, error.code);
    if (request.data.empty()) return m.event(c.offset, "b", "empty data: nothing drawn");
    int rotation = 0;
    if (request.type == "P" && request.options.count('o')) {
        long o = 0;
        if (parse_number(request.options['o'], o) && o >= 0 && o <= 3) rotation = static_cast<int>(o);
    }
    paint(m, c, shape, x, y, rotation);
    m.event(c.offset, "b", request.type + " code \"" + shown(request.data) + "\" at " + std::to_string(x) + "," +
                               std::to_string(y));
}

}  // namespace quillbar::preview::barcodes
