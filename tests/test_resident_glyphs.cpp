// SPDX-License-Identifier: MIT
// The resident fonts' characters drawn when the program was built against
// the same characters drawn now from the face this host finds.
#include <gtest/gtest.h>

#include "baked_glyphs.h"
#include "resident_faces.h"

using namespace quillbar::preview;

// Every printable ASCII character of every font at both densities: the
// build's drawing, dot for dot, is what the rasteriser draws here, so a
// label looks the same whichever way its characters were drawn.
TEST(BakedGlyphs, EveryCharacterIsTheFacesOwnDrawing) {
    ASSERT_FALSE(resident_face_path().empty()) << "this host has no monospace face";
    ASSERT_STREQ(kBakedGlyphs.face_path, resident_face_path().c_str()) << "built on a host with another face";
    for (int dots_per_mm : {8, 12})
        for (int font = 1; font <= 7; ++font) {
            FontMetrics cell{};
            ASSERT_TRUE(font_metrics(font, cell, dots_per_mm));
            long black = 0;
            for (char32_t code = kBakedFirst; code <= kBakedLast; ++code) {
                SCOPED_TRACE(testing::Message() << dots_per_mm << " dpmm, font " << font << ", character " << char(code));
                Bitmap baked;
                ASSERT_TRUE(baked_glyph(font, dots_per_mm, code, baked));
                const Bitmap drawn = draw_resident_glyph(font, cell, code);
                ASSERT_EQ(baked.width(), drawn.width());
                ASSERT_EQ(baked.height(), drawn.height());
                for (int y = 0; y < drawn.height(); ++y)
                    for (int x = 0; x < drawn.width(); ++x) ASSERT_EQ(baked.black(x, y), drawn.black(x, y)) << x << "," << y;
                black += drawn.count_black();
            }
            EXPECT_GT(black, 0);  // not a table of blank cells
        }
}

// Outside the table the rasteriser draws, as before.
TEST(BakedGlyphs, OnlyPrintableAsciiOfRealFontsIsBaked) {
    Bitmap out;
    for (char32_t code : {char32_t{0x1F}, char32_t{0x7F}, char32_t{0xE9}, char32_t{0x4E2D}})
        EXPECT_FALSE(baked_glyph(3, 8, code, out)) << std::hex << static_cast<unsigned>(code);
    EXPECT_FALSE(baked_glyph(0, 8, 'A', out));
    EXPECT_FALSE(baked_glyph(8, 8, 'A', out));
}
