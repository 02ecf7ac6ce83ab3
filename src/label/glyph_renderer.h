// SPDX-License-Identifier: MIT
// The glyph renderer: draws text with a host font into a 1-bit image. The
// Chinese-text command packs what it returns into a GW graphic; the renderer
// behind this seam is FreeType here (GDI on Windows).
#pragma once

#include <string>
#include <string_view>

namespace quillbar {

// A drawn text: one character per pixel, '1' for ink and '0' for background,
// row after row from the top, each row from the left.
struct GlyphImage {
    int width = 0;
    int height = 0;
    std::string bits;
    // Ink the font put outside the image (and so lost). Zero for a sound
    // layout; kept so that the layout can be checked.
    long clipped = 0;
};

// Escapements, in tenths of a degree, counter-clockwise.
inline constexpr int kEscapementUp = 900;      // reads upwards, first character at the bottom
inline constexpr int kEscapementFlipped = 1800;
inline constexpr int kEscapementDown = 2700;   // reads downwards, first character at the top

// Draws text (GBK: ASCII bytes and two-byte characters) on a grid of one cell
// of cell_width x cell_height pixels per byte: the image is (bytes x
// cell_width) wide and cell_height high, or turned for the escapements 900 and
// 2700. face is a face selector (0 Hei, 1 Song, 2 Kai, 3 Li; others Song; only
// its low 16 bits count), style a style selector (0..6: italic, weight 500,
// underline), base_weight the weight of the plain styles.
GlyphImage Render(std::string_view text, int face, int cell_height, int cell_width, int base_weight,
                  int escapement, int style);

// The family the renderer draws face with on this host, "" when it has none.
std::string face_family(int face);

}  // namespace quillbar
