// SPDX-License-Identifier: MIT
// A: text in the printer's resident fonts.
#include <algorithm>
#include <cctype>

#include "label/glyph_renderer.h"
#include "machine.h"
#include "resident_fonts.h"

namespace quillbar::preview::text {
namespace {

// The Asian fonts 8 and 9: a double-byte character fills its cell with no
// gap of its own, 24 x 24 at 203 dpi and 36 x 36 at 300; a single byte is
// half a cell wide at 203 dpi and a cell of its own, 24 x 26, at 300 (its
// foot on the line's foot: the line is as tall as the double-byte cell).
// They are bitmap fonts: the multipliers repeat each dot. The host's Song
// face draws them, through the renderer that draws the library's Chinese
// text; the data is GB2312/GBK. (Font 9, the traditional one, is drawn as
// 8: no 203-dpi cell is published for it.)
struct AsianCells {
    int wide, tall;                // a double-byte character's
    int single_wide, single_tall;  // a single byte's
};
constexpr AsianCells kAsian203{24, 24, 12, 24}, kAsian300{36, 36, 24, 26};
constexpr int kSongFace = 1;

struct AsianGlyph {
    quillbar::GlyphImage image;
    long x, y;  // in the line, before the multipliers and the spacing
};

std::vector<AsianGlyph> draw_asian(const std::string &data, const AsianCells &cells, long &width) {
    std::vector<AsianGlyph> glyphs;
    width = 0;
    for (std::size_t i = 0; i < data.size();) {
        const bool two = static_cast<unsigned char>(data[i]) >= 0x81 && i + 1 < data.size();
        AsianGlyph g;
        g.image = two ? quillbar::Render(data.substr(i, 2), kSongFace, cells.tall, cells.wide / 2, 400, 0, 0)
                      : quillbar::Render(data.substr(i, 1), kSongFace, cells.single_tall, cells.single_wide, 400, 0, 0);
        g.x = width;
        g.y = two ? 0 : cells.tall - cells.single_tall;
        width += two ? cells.wide : cells.single_wide;
        glyphs.push_back(std::move(g));
        i += two ? 2 : 1;
    }
    return glyphs;
}

// A soft font's text: each byte its character's dots, each dot a block of
// h x v, advancing by the character's own spacing. Bytes the font lacks are
// skipped (and said).
void draw_soft(Machine &m, const Cmd &c, const SoftFont &font, char letter, Painter &painter, const std::string &data, long h,
               long v, bool reverse) {
    long width = 0;
    std::string missing;
    for (unsigned char byte : data) {
        const auto it = font.glyphs.find(byte);
        if (it == font.glyphs.end()) {
            if (missing.size() < 40) missing += static_cast<char>(byte);
            continue;
        }
        width += it->second.advance * h;
    }
    const long box = static_cast<long>(font.height) * v;
    if (!painter.inside(0, 0, width, box)) m.note_outside(c.offset);
    if (reverse) painter.rect(0, 0, width, box);
    const Bitmap::Ink ink = reverse ? Bitmap::Ink::white : Bitmap::Ink::black;
    long pen = 0;
    bool over_budget = false;
    for (unsigned char byte : data) {
        const auto it = font.glyphs.find(byte);
        if (it == font.glyphs.end()) continue;
        const Bitmap &image = it->second.image;
        const long advance = it->second.advance * h;
        // A character wholly off the label costs nothing; the rest count
        // against the job's budget.
        if (!painter.visible(pen, 0, image.width() * h, image.height() * v)) {
            pen += advance;
            continue;
        }
        const long cost = image.width() * image.height() + painter.visible_area(pen, 0, image.width() * h, image.height() * v);
        if (m.soft_font_dots > limits::kMaxSoftFontDots - cost) {
            over_budget = true;
            break;
        }
        m.soft_font_dots += cost;
        for (long row = 0; row < image.height(); ++row)
            for (long col = 0; col < image.width(); ++col)
                if (image.black(col, row)) painter.rect(pen + col * h, row * v, h, v, ink);
        pen += advance;
    }
    if (over_budget)
        m.diagnose(c.offset, "A: this job's soft-font text has reached " + std::to_string(limits::kMaxSoftFontDots) +
                                 " dots of characters drawn; the rest of it is not drawn");
    if (!missing.empty())
        m.lenient(c.offset, "A", "soft font \"" + std::string(1, letter) + "\" has no character for \"" + shown(missing) +
                                     "\": skipped");
}

}  // namespace

// A p1,p2,p3,p4,p5,p6,p7,"DATA": position, rotation, font, multipliers,
// N or R (white on black over the text's box), data.
void draw(Machine &m, Cmd &c) {
    Fields f(c);
    long x, y, rotation, font = 0, h, v;
    std::string reverse, data;
    // A letter names a soft font (ES): the guide lists A-Z and a-z.
    const bool soft = c.fields.size() > 3 && c.fields[3].size() == 1 && std::isalpha(static_cast<unsigned char>(c.fields[3][0]));
    if (!(f.number(0, x) && f.number(1, y) && f.number(2, rotation) && (soft || f.number(3, font)) && f.number(4, h) &&
          f.number(5, v) && f.word(6, reverse) && f.data(7, data)))
        return m.diagnose(c.offset, f.error());
    FontMetrics metrics{};
    if (rotation < 0 || rotation > 7) return m.diagnose(c.offset, "A: rotation " + std::to_string(rotation) + " is outside 0..7");
    if (rotation > 3) m.lenient(c.offset, "A", "rotation " + std::to_string(rotation) + " (Asian stacking) drawn as " +
                                                   std::to_string(rotation - 4));
    const bool asian = font == 8 || font == 9;
    const int dpmm = m.options.dots_per_mm;
    const char letter = soft ? c.fields[3][0] : 0;
    if (soft && !m.soft_fonts.count(letter))
        return m.diagnose(c.offset, "A: no soft font \"" + std::string(1, letter) + "\" is stored (ES)", 9);
    if (!soft && !asian && !font_metrics(static_cast<int>(font), metrics, dpmm))
        return m.diagnose(c.offset, "A: no resident font " + std::to_string(font));
    // Forms in use write 0,0 and printers print them: 0 is taken as 1.
    if (h == 0 || v == 0) {
        m.lenient(c.offset, "A", std::string("multiplier 0 taken as 1 (") + (h == 0 ? "horizontal" : "") +
                                     (h == 0 && v == 0 ? " and " : "") + (v == 0 ? "vertical" : "") + ")");
        h = std::max(h, 1L);
        v = std::max(v, 1L);
    }
    if (h < 1 || h > 8 || h == 7) return m.diagnose(c.offset, "A: horizontal multiplier " + std::to_string(h) + " is not 1..6 or 8");
    if (v < 1 || v > 9) return m.diagnose(c.offset, "A: vertical multiplier " + std::to_string(v) + " is outside 1..9");
    if (reverse != "N" && reverse != "R") return m.diagnose(c.offset, "A: field 7 is not N or R: '" + shown(reverse) + "'");
    if (data.empty()) return m.event(c.offset, "A", "empty text: nothing drawn");

    Bitmap &layer = m.object_layer(false);
    Painter painter(layer, m.state.ref_x + x, m.state.ref_y + y, static_cast<int>(rotation & 3));
    const Bitmap::Ink ink = reverse == "R" ? Bitmap::Ink::white : Bitmap::Ink::black;
    if (soft) {
        draw_soft(m, c, m.soft_fonts.at(letter), letter, painter, data, h, v, reverse == "R");
    } else if (asian) {
        // i: extra dots between the characters.
        long spacing = 0;
        parse_number(m.state.kept_or("Asian character spacing", "0"), spacing);
        const AsianCells &cells = dpmm == 12 ? kAsian300 : kAsian203;
        long line = 0;
        const std::vector<AsianGlyph> glyphs = draw_asian(data, cells, line);
        const long w = (line + spacing * static_cast<long>(glyphs.size() - 1)) * h;
        const long box = static_cast<long>(cells.tall) * v;
        if (!painter.inside(0, 0, w, box)) m.note_outside(c.offset);
        if (reverse == "R") painter.rect(0, 0, w, box);
        for (std::size_t k = 0; k < glyphs.size(); ++k) {
            const AsianGlyph &g = glyphs[k];
            const long left = g.x + spacing * static_cast<long>(k);
            for (int row = 0; row < g.image.height; ++row)
                for (int col = 0; col < g.image.width; ++col)
                    if (g.image.ink(col, row)) painter.rect((left + col) * h, (g.y + row) * v, h, v, ink);
        }
    } else {
        const long w = text_width(static_cast<int>(font), data.size(), static_cast<int>(h), dpmm);
        const long box = static_cast<long>(metrics.box_height) * v;
        if (!painter.inside(0, 0, w, box)) m.note_outside(c.offset);
        if (reverse == "R") painter.rect(0, 0, w, box);
        std::string error;
        if (!paint_text(painter, static_cast<int>(font), data, 0, 0, static_cast<int>(h), static_cast<int>(v),
                        m.state.code_page, ink, error, dpmm))
            return m.diagnose(c.offset, "A: " + error);
    }
    m.touched();
    m.event(c.offset, "A", "text \"" + shown(data) + "\" font " + (soft ? std::string(1, letter) : std::to_string(font)) + " at " + std::to_string(x) + "," +
                               std::to_string(y) + (reverse == "R" ? " reversed" : ""));
}

}  // namespace quillbar::preview::text
