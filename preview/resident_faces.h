// SPDX-License-Identifier: MIT
// The resident fonts' cells, and their characters drawn from the host's
// monospace face. The characters most labels use are also drawn once when
// the program is built (baked_glyphs.h); this is what both draw with.
#pragma once

#include <string>

#include "bitmap.h"

namespace quillbar::preview {

struct FontMetrics {
    int cell_width;   // the character's own cell
    int cell_height;
    int advance;      // dots from one character to the next: the cell and its white border
    int box_height;   // the text's box: the cell and its border
};

// A resident font at 8 dots a millimetre (203 dpi) or 12 (300 dpi); false
// for a font the printer lacks.
bool font_metrics(int font, FontMetrics &metrics, int dots_per_mm = 8);

// The file of the face every resident font is drawn with, found once (through
// the face memory, so no font configuration is read at most starts); empty
// when the host has none.
const std::string &resident_face_path();
int resident_face_index();  // the face within a collection

// Whether the face could be opened for drawing.
bool resident_face_usable();

// The character code (a code point) of a resident font drawn in cell, an
// empty picture when the face lacks it. Font 5 draws capitals only, fonts 6
// and 7 digits only.
Bitmap draw_resident_glyph(int font, const FontMetrics &cell, char32_t code);

}  // namespace quillbar::preview
