// SPDX-License-Identifier: MIT
// The printer's resident fonts, drawn with a real monospace face scaled to
// each font's cell, the bytes read in the selected code page.
#pragma once

#include <string>

#include "bitmap.h"
#include "resident_faces.h"

namespace quillbar::preview {

class Painter;

// The text's size in object dots: characters x advance x h, box height x v.
long text_width(int font, std::size_t characters, int h, int dots_per_mm = 8);

// Paints text at object position (u, v) with the multipliers, each byte
// read in code_page ("437", "1252", ...; "7-bit N" as ASCII), each
// character's dots in ink. Characters wholly off the layer are skipped, so
// the time goes with what is printed. False, with error, when the host has
// no face to draw with.
bool paint_text(Painter &painter, int font, const std::string &text, long u, long v, int h, int vm,
                const std::string &code_page, Bitmap::Ink ink, std::string &error, int dots_per_mm = 8);

}  // namespace quillbar::preview
