// SPDX-License-Identifier: MIT
// The glyph renderer: draws text with a host font into a 1-bit image. The
// Chinese-text command packs what it returns into a GW graphic; the renderer
// behind this seam is FreeType here (GDI on Windows).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quillbar {

// A drawn text, one bit a pixel: rows from the top, each row_bytes long with
// its first pixel in the most significant bit; a 1 bit is ink, and the bits
// past the width are 0.
struct GlyphImage {
    int width = 0;
    int height = 0;
    std::size_t row_bytes = 0;
    std::vector<std::uint8_t> bits;
    // Ink the font put outside the image (and so lost). Zero for a sound
    // layout; kept so that the layout can be checked.
    long clipped = 0;

    GlyphImage() = default;
    GlyphImage(int w, int h)
        : width(w), height(h), row_bytes(static_cast<std::size_t>(w + 7) / 8), bits(row_bytes * h, 0) {}
    bool ink(int x, int y) const {
        return bits[static_cast<std::size_t>(y) * row_bytes + static_cast<std::size_t>(x >> 3)] & (0x80 >> (x & 7));
    }
    void set(int x, int y) {
        bits[static_cast<std::size_t>(y) * row_bytes + static_cast<std::size_t>(x >> 3)] |=
            static_cast<std::uint8_t>(0x80 >> (x & 7));
    }
    // ORs rows of bits (each row_size bytes, first pixel in the most
    // significant bit) into the image with the first row's first pixel at
    // (x, top); what falls past the right edge, above or below is dropped,
    // and rows that would start left of the image are not laid at all.
    void lay(int x, int top, const std::uint8_t *rows, std::size_t row_size, int count);
};

// Escapements, in tenths of a degree, counter-clockwise.
inline constexpr int kEscapementUp = 900;      // reads upwards, first character at the bottom
inline constexpr int kEscapementFlipped = 1800;
inline constexpr int kEscapementDown = 2700;   // reads downwards, first character at the top

// Turns an image counter-clockwise by the escapement; any other escapement
// leaves it as it is.
GlyphImage turned(GlyphImage &&in, int escapement);

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
