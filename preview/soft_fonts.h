// SPDX-License-Identifier: MIT
// Soft fonts (ES): fonts a program stores in the printer by a lower-case
// letter, then prints with A like a resident font. The data is binary and
// its length follows from itself: one walker reads the layout for the
// stream reader (how long the block is) and for the store (what it holds).
//
// ES"n" p1 p2 p3, then per character a b c '"' and its bitmap; all of them
// single bytes whose value is the number (the guide's "hexadecimal"):
//   p1 characters (0 means none), p2 rotation (00: 0/180, 01: 90/270, 02:
//   both, every character sent again for 90 after the whole set), p3 height
//   in dots; a the character's code, b the advance to the next in dots, c
//   its width in dots; the bitmap is p3 rows, top first, each row c dots in
//   whole bytes (the guide's "p3 x c bytes" with c rounded up to bytes: its
//   own example, 8 dots wide and 12 high, is 12 bytes), the most significant
//   bit the left-most dot, a 1 bit black (as font bitmaps are; the guide
//   does not say).
#pragma once

#include <cstddef>
#include <map>
#include <string>

#include "bitmap.h"

namespace quillbar::preview {

struct SoftGlyph {
    int advance = 0;  // to the next character, in dots
    Bitmap image;     // as drawn at 0 degrees
};

struct SoftFont {
    int height = 0;
    int rotation = 0;  // p2 as sent
    std::map<unsigned char, SoftGlyph> glyphs;
    std::size_t bytes = 0;  // of the printer's soft-font memory
};

// Walks ES data as it arrives.
class SoftFontWalker {
public:
    // How many more bytes the block needs, given the bytes so far (always
    // the same block, growing); 0 once it is whole, or once the layout
    // broke (error() says how; the block ends there).
    std::size_t need(const std::string &data);
    const std::string &error() const { return error_; }

private:
    std::size_t at_ = 0;  // where the next character's a b c '"' start
    long characters_ = -1;
    long done_ = 0;
    std::string error_;
};

// The font in a whole ES block; false with why for a broken layout.
bool read_soft_font(const std::string &data, SoftFont &font, std::string &error);

}  // namespace quillbar::preview
