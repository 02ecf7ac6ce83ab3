// SPDX-License-Identifier: MIT
// The printable ASCII characters of every resident font at both densities,
// drawn when the program was built from the face the build host drew them
// with (resident_faces.h). A process that finds that same face file uses
// them and never starts the rasteriser for such text; any other face, or any
// other character, is drawn at run time as before.
#pragma once

#include <cstdint>

namespace quillbar::preview {

inline constexpr char32_t kBakedFirst = 0x20;
inline constexpr char32_t kBakedLast = 0x7E;
inline constexpr int kBakedCount = static_cast<int>(kBakedLast - kBakedFirst + 1);

struct BakedGlyphs {
    const char *face_path;  // empty when the build host had no face
    int face_index;
    long long face_size;    // bytes: a different file by the same name is not used
    // Where the glyphs of [density 8 or 12][font 1..7] start in bits: each
    // glyph is its cell's rows, whole bytes a row, the first dot in the top
    // bit, the characters in code order.
    std::uint32_t start[2][7];
    const unsigned char *bits;
};

extern const BakedGlyphs kBakedGlyphs;

class Bitmap;

// The build's drawing of code in a resident font at 8 or 12 dots a
// millimetre; false when it has none: a character outside the table, or a
// face here that is not the file the build drew from.
bool baked_glyph(int font, int dots_per_mm, char32_t code, Bitmap &out);

}  // namespace quillbar::preview
