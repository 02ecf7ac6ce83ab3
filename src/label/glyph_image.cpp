// SPDX-License-Identifier: MIT
// Laying glyphs' rows into a drawn text, and turning it.
#include <algorithm>
#include <cstring>

#include "label/glyph_renderer.h"

namespace quillbar {

namespace {

// ORs n bytes of from into to. OR-ing a byte twice changes nothing, so a
// run of 4 to 8 bytes is two overlapping words of four.
inline void or_bytes(std::uint8_t *to, const std::uint8_t *from, std::size_t n) {
    auto or4 = [](std::uint8_t *t, const std::uint8_t *f) {
        std::uint32_t a, b;
        std::memcpy(&a, t, 4);
        std::memcpy(&b, f, 4);
        a |= b;
        std::memcpy(t, &a, 4);
    };
    if (n < 4) {
        for (std::size_t i = 0; i < n; ++i) to[i] |= from[i];
        return;
    }
    for (std::size_t i = 0; i + 4 < n; i += 4) or4(to + i, from + i);
    or4(to + n - 4, from + n - 4);
}

}  // namespace

// The bounds are settled before the loops. A row at a whole byte is OR-ed in
// as it is; otherwise each byte takes its own bits shifted and what the byte
// before it carried over.
void GlyphImage::lay(int x, int top, const std::uint8_t *rows, std::size_t row_size, int count) {
    const std::size_t at = static_cast<std::size_t>(x) >> 3;
    if (x < 0 || at >= row_bytes) return;
    const int shift = x & 7;
    const std::size_t n = std::min(row_size, row_bytes - at);
    const bool spills = at + n < row_bytes;  // a carry past the last byte lands in the image
    // The pixels past the width in the last byte stay 0.
    const auto edge = static_cast<std::uint8_t>(width % 8 ? 0xFF << (8 - width % 8) : 0xFF);
    const bool at_edge = edge != 0xFF && at + n + (shift != 0) >= row_bytes;
    // In wide arithmetic: a glyph far off the image is simply not laid.
    const long long first = std::max(0LL, -static_cast<long long>(top));
    const long long last = std::min(static_cast<long long>(count), static_cast<long long>(height) - top);
    if (first >= last) return;
    const std::uint8_t *from = rows + static_cast<std::size_t>(first) * row_size;
    std::uint8_t *to = bits.data() + static_cast<std::size_t>(top + first) * row_bytes + at;
    for (long long r = first; r < last; ++r, from += row_size, to += row_bytes) {
        if (shift == 0) {
            or_bytes(to, from, n);
        } else {
            unsigned carry = 0;
            for (std::size_t i = 0; i < n; ++i) {
                const unsigned b = from[i];
                to[i] = static_cast<std::uint8_t>(to[i] | b >> shift | carry);
                carry = (b << (8 - shift)) & 0xFFu;
            }
            if (carry && spills) to[n] = static_cast<std::uint8_t>(to[n] | carry);
        }
        if (at_edge) to[row_bytes - 1 - at] &= edge;
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
