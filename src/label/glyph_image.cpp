// SPDX-License-Identifier: MIT
// Laying glyphs' rows into a drawn text, and turning it.
#include <algorithm>

#include "label/glyph_renderer.h"

namespace quillbar {

// The bounds are settled before the loops: each byte takes its own bits
// shifted and what the byte before it carried over.
void GlyphImage::lay(int x, int top, const std::uint8_t *rows, std::size_t row_size, int count) {
    const std::size_t at = static_cast<std::size_t>(x) >> 3;
    if (x < 0 || at >= row_bytes) return;
    const int shift = x & 7;
    const std::size_t n = std::min(row_size, row_bytes - at);
    const bool spills = at + n < row_bytes;  // a carry past the last byte lands in the image
    // The pixels past the width in the last byte stay 0.
    const auto edge = static_cast<std::uint8_t>(width % 8 ? 0xFF << (8 - width % 8) : 0xFF);
    const int first = std::max(0, -top), last = std::min(count, height - top);
    for (int r = first; r < last; ++r) {
        const std::uint8_t *from = rows + static_cast<std::size_t>(r) * row_size;
        std::uint8_t *row = bits.data() + static_cast<std::size_t>(top + r) * row_bytes;
        std::uint8_t *to = row + at;
        unsigned carry = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const unsigned b = from[i];
            to[i] = static_cast<std::uint8_t>(to[i] | b >> shift | carry);
            carry = (b << (8 - shift)) & 0xFFu;  // shift 0 carries nothing
        }
        if (carry && spills) to[n] = static_cast<std::uint8_t>(to[n] | carry);
        row[row_bytes - 1] &= edge;
    }
}

GlyphImage turned(GlyphImage &&in, int escapement) {
    if (escapement != kEscapementUp && escapement != kEscapementFlipped && escapement != kEscapementDown)
        return std::move(in);
    const int w = in.width, h = in.height;
    GlyphImage out(escapement == kEscapementFlipped ? w : h, escapement == kEscapementFlipped ? h : w);
    out.clipped = in.clipped;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            if (!in.ink(x, y)) continue;
            if (escapement == kEscapementUp)  // first character at the bottom, tops to the left
                out.set(y, w - 1 - x);
            else if (escapement == kEscapementDown)  // first character at the top, tops to the right
                out.set(h - 1 - y, x);
            else
                out.set(w - 1 - x, h - 1 - y);
        }
    return out;
}

}  // namespace quillbar
