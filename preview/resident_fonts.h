// SPDX-License-Identifier: MIT
// The printer's resident fonts 1..5, drawn with a real monospace face scaled
// to each font's cell.
#pragma once

#include <string>

#include "bitmap.h"

namespace quillbar::preview {

struct FontCell {
    int width;   // dots a character, the gap included
    int height;
};

// The cell of a resident font at 203 dpi; false for a font the printer lacks.
bool font_cell(int font, FontCell &cell);

// The text in font, black on white, one cell a character, unmagnified.
// error says why nothing could be drawn (no monospace face on this host).
Bitmap draw_text(int font, const std::string &text, std::string &error);

}  // namespace quillbar::preview
