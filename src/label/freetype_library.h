// SPDX-License-Identifier: MIT
// FreeType, opened by its SONAME when Chinese text is first drawn, not
// linked: a program that prints no Chinese text never maps it, nor libpng,
// zlib and brotli under it.
#pragma once

#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_OUTLINE_H
#include FT_TRUETYPE_TABLES_H

#include "connection/late_library.h"

#define QB_FT_FUNCTIONS(X)                                                                                     \
    X(FT_DivFix) X(FT_Get_Char_Index) X(FT_Get_Sfnt_Table) X(FT_Init_FreeType) X(FT_Load_Glyph) X(FT_MulFix) \
    X(FT_New_Face) X(FT_Outline_Embolden) X(FT_Outline_Get_CBox) X(FT_Outline_Transform)                      \
    X(FT_Outline_Translate) X(FT_Render_Glyph) X(FT_Set_Pixel_Sizes)

namespace quillbar {

struct FreeTypeLibrary {
    QB_FT_FUNCTIONS(QB_LATE_POINTER)
};

// Loads FreeType once; false where it cannot be (the text stays blank then,
// as on a host without a Chinese face).
bool load_freetype();

// The loaded functions: only after load_freetype() said true.
const FreeTypeLibrary &ft();

}  // namespace quillbar
