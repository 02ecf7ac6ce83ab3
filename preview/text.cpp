// SPDX-License-Identifier: MIT
// A: text in the printer's resident fonts.
#include "machine.h"
#include "resident_fonts.h"

namespace quillbar::preview::text {

// A p1,p2,p3,p4,p5,p6,p7,"DATA": position, rotation, font, multipliers,
// N or R (white on black over the text's box), data.
void draw(Machine &m, Cmd &c) {
    Fields f(c);
    long x, y, rotation, font, h, v;
    std::string reverse, data;
    if (!(f.number(0, x) && f.number(1, y) && f.number(2, rotation) && f.number(3, font) && f.number(4, h) &&
          f.number(5, v) && f.word(6, reverse) && f.data(7, data)))
        return m.diagnose(c.offset, f.error());
    FontMetrics metrics{};
    if (rotation < 0 || rotation > 7) return m.diagnose(c.offset, "A: rotation " + std::to_string(rotation) + " is outside 0..7");
    if (rotation > 3) m.lenient(c.offset, "A", "rotation " + std::to_string(rotation) + " (Asian stacking) drawn as " +
                                                   std::to_string(rotation - 4));
    if (font == 8 || font == 9) return m.diagnose(c.offset, "A: the Asian fonts 8 and 9 are not drawn by the preview");
    if (!font_metrics(static_cast<int>(font), metrics)) return m.diagnose(c.offset, "A: no resident font " + std::to_string(font));
    if (h < 1 || h > 8 || h == 7) return m.diagnose(c.offset, "A: horizontal multiplier " + std::to_string(h) + " is not 1..6 or 8");
    if (v < 1 || v > 9) return m.diagnose(c.offset, "A: vertical multiplier " + std::to_string(v) + " is outside 1..9");
    if (reverse != "N" && reverse != "R") return m.diagnose(c.offset, "A: field 7 is not N or R: '" + shown(reverse) + "'");
    if (data.empty()) return m.event(c.offset, "A", "empty text: nothing drawn");

    Bitmap &layer = m.object_layer(false);
    Painter painter(layer, m.state.ref_x + x, m.state.ref_y + y, static_cast<int>(rotation & 3));
    const long w = text_width(static_cast<int>(font), data.size(), static_cast<int>(h));
    const long box = static_cast<long>(metrics.box_height) * v;
    if (!painter.inside(0, 0, w, box)) m.note_outside(c.offset);
    if (reverse == "R") painter.rect(0, 0, w, box);
    std::string error;
    if (!paint_text(painter, static_cast<int>(font), data, 0, 0, static_cast<int>(h), static_cast<int>(v), m.state.code_page,
                    reverse == "R" ? Bitmap::Ink::white : Bitmap::Ink::black, error))
        return m.diagnose(c.offset, "A: " + error);
    m.touched();
    m.event(c.offset, "A", "text \"" + shown(data) + "\" font " + std::to_string(font) + " at " + std::to_string(x) + "," +
                               std::to_string(y) + (reverse == "R" ? " reversed" : ""));
}

}  // namespace quillbar::preview::text
