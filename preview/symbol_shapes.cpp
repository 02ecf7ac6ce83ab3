// SPDX-License-Identifier: MIT
#include "symbol_shapes.h"

#include <zint.h>

#include <algorithm>
#include <cmath>

#include "resident_fonts.h"

namespace quillbar::preview {
namespace {

bool dark(const zint_symbol &s, int row, int x) { return (s.encoded_data[row][x >> 3] >> (x & 7)) & 1; }

}  // namespace

// The symbol's rows as bars: one row of runs for linear codes, and several
// rows of height-modulated bars for the postal codes.
void bars_from(const zint_symbol &s, bool two_widths, long narrow, long wide, long height, Shape &shape) {
    if (s.rows == 1) {
        long u = 0;
        for (int x = 0; x < s.width;) {
            const bool bar = dark(s, 0, x);
            int run = 1;
            while (x + run < s.width && dark(s, 0, x + run) == bar) ++run;
            const long w = two_widths ? (run > 1 ? std::max(wide, narrow) : narrow) : run * narrow;
            if (bar) shape.bars.push_back({u, 0, w, height});
            u += w;
            x += run;
        }
        shape.width = u;
        shape.height = height;
        return;
    }
    float total = 0;
    for (int r = 0; r < s.rows; ++r) total += s.row_height[r] > 0 ? s.row_height[r] : 1;
    long v = 0;
    for (int r = 0; r < s.rows; ++r) {
        const float share = (s.row_height[r] > 0 ? s.row_height[r] : 1) / total;
        const long h = r + 1 == s.rows ? height - v : static_cast<long>(static_cast<float>(height) * share + 0.5f);
        for (int x = 0; x < s.width; ++x)
            if (dark(s, r, x)) shape.bars.push_back({x * narrow, v, narrow, h});
        v += h;
    }
    shape.width = s.width * narrow;
    shape.height = height;
}

// Matrix codes: each dark module a square (or a module_w x row_h
// rectangle for PDF417).
void modules_from(const zint_symbol &s, long module_w, long row_h, Shape &shape) {
    for (int r = 0; r < s.rows; ++r)
        for (int x = 0; x < s.width; ++x)
            if (dark(s, r, x)) shape.bars.push_back({x * module_w, r * row_h, module_w, row_h});
    shape.width = s.width * module_w;
    shape.height = s.rows * row_h;
}

// Data Matrix keeps a one-module quiet zone inside its box (dark round an
// inverse symbol).
void add_quiet_zone(Shape &shape, long module) {
    for (Shape::Bar &b : shape.bars) {
        b.u += module;
        b.v += module;
    }
    shape.width += 2 * module;
    shape.height += 2 * module;
}

// MaxiCode at its nominal size (28.14 x 26.91 mm: 225 x 215 dots at 8 a
// millimetre, 338 x 323 at 12): hexagons and bullseye from libzint's
// raster, which is drawn larger and sampled down.
std::string maxicode_from(zint_symbol &s, int dots_per_mm, Shape &shape) {
    const long kWidth = std::lround(28.14 * dots_per_mm), kHeight = std::lround(26.91 * dots_per_mm);
    s.scale = 2;
    if (ZBarcode_Buffer(&s, 0) >= ZINT_ERROR || !s.bitmap) return std::string("MaxiCode: ") + s.errtxt;
    const auto ink = [&](long x, long y) { return s.bitmap[(y * s.bitmap_width + x) * 3] < 128; };
    long left = s.bitmap_width, top = s.bitmap_height, right = -1, bottom = -1;
    for (long y = 0; y < s.bitmap_height; ++y)
        for (long x = 0; x < s.bitmap_width; ++x)
            if (ink(x, y)) {
                left = std::min(left, x), right = std::max(right, x);
                top = std::min(top, y), bottom = std::max(bottom, y);
            }
    if (right < 0) return "MaxiCode: nothing drawn";
    for (long v = 0; v < kHeight; ++v)
        for (long u = 0; u < kWidth; ++u)
            if (ink(left + (2 * u + 1) * (right - left + 1) / (2 * kWidth), top + (2 * v + 1) * (bottom - top + 1) / (2 * kHeight)))
                shape.bars.push_back({u, v, 1, 1});
    shape.width = kWidth;
    shape.height = kHeight;
    return "";
}

// PDF417: with p4 and p5 (the largest box in dots) and no x, the widest
// module from 6 down to 3 that fits the box; rows four modules high unless
// y says; with f1 centred in the box.
void pdf417_from(const zint_symbol &s, const MatrixRequest &r, long module_w, long row_h, Shape &shape) {
    const bool boxed = r.sizes.size() == 2 && r.sizes[0] > 0 && r.sizes[1] > 0;
    if (!module_w) {
        module_w = 3;
        for (long x = 6; boxed && x > 3; --x)
            if (s.width * x <= r.sizes[0] && s.rows * (row_h ? row_h : 4 * x) <= r.sizes[1]) {
                module_w = x;
                break;
            }
    }
    if (!row_h) row_h = 4 * module_w;
    modules_from(s, module_w, row_h, shape);
    if (boxed && (shape.width > r.sizes[0] || shape.height > r.sizes[1]))
        shape.notes.push_back("PDF417 larger than its box of " + std::to_string(r.sizes[0]) + " x " +
                              std::to_string(r.sizes[1]) + " dots");
    if (boxed && r.options.count('f') && r.options.at('f') == "1") {
        const long du = std::max(0L, (r.sizes[0] - shape.width) / 2), dv = std::max(0L, (r.sizes[1] - shape.height) / 2);
        for (Shape::Bar &b : shape.bars) {
            b.u += du;
            b.v += dv;
        }
        shape.width = std::max(shape.width, r.sizes[0]);
        shape.height = std::max(shape.height, r.sizes[1]);
    }
}

// Element widths in modules, bar first, as bars of narrow dots a module.
void bars_from_widths(const std::vector<int> &widths, long narrow, long height, Shape &shape) {
    long u = 0;
    for (std::size_t i = 0; i < widths.size(); ++i) {
        if (i % 2 == 0) shape.bars.push_back({u, 0, widths[i] * narrow, height});
        u += widths[i] * narrow;
    }
    shape.width = u;
    shape.height = height;
}

// EAN and UPC readable lines as they are printed: the digits in groups under
// the bars between the guard bars, which run down beside them; the number
// system digit left of the symbol (and UPC's check digit right of it), in
// the quiet zone. The bars keep their place. An add-on's digits go above it.
void lay_out_ean(int zint, long module, Shape &shape) {
    const int dpmm = shape.dots_per_mm;
    const std::string text = shape.readable, main = text.substr(0, text.find('+'));
    const std::string addon = text.find('+') == std::string::npos ? "" : text.substr(text.find('+') + 1);
    struct Group {
        std::size_t first, count;
        long module;  // where the group's first 7-module digit starts; -1 left of the symbol, -2 right
    };
    struct Layout {
        int zint;  // 0: any EAN
        std::size_t digits;
        long end;  // the main symbol's modules
        Group groups[4];
        long guards[3][2];  // module ranges, end excluded
    };
    static const Layout kLayouts[] = {
        {BARCODE_UPCE, 8, 51, {{0, 1, -1}, {1, 6, 3}, {7, 1, -2}, {0, 0, 0}}, {{0, 3}, {45, 51}, {0, 0}}},
        {BARCODE_UPCA, 12, 95, {{0, 1, -1}, {1, 5, 10}, {6, 5, 50}, {11, 1, -2}}, {{0, 10}, {45, 50}, {85, 95}}},
        {BARCODE_EANX, 13, 95, {{0, 1, -1}, {1, 6, 3}, {7, 6, 50}, {0, 0, 0}}, {{0, 3}, {45, 50}, {92, 95}}},
        {BARCODE_EANX, 8, 67, {{0, 4, 3}, {4, 4, 36}, {0, 0, 0}, {0, 0, 0}}, {{0, 3}, {31, 36}, {64, 67}}},
    };
    const Layout *layout = nullptr;
    for (const Layout &l : kLayouts)
        if (l.zint == zint && l.digits == main.size()) layout = &l;
    if (!layout) return;  // not a layout known here: one line, as for the other codes
    FontMetrics font{};
    font_metrics(shape.readable_font, font, dpmm);
    const long advance = text_width(shape.readable_font, 1, 1, dpmm), drop = (font.box_height + 1) / 2;
    const long bars_end = layout->end * module, height = shape.height;
    for (Shape::Bar &b : shape.bars)
        for (const auto &guard : layout->guards)
            if (b.u < bars_end && b.u / module >= guard[0] && b.u / module < guard[1]) b.h += drop;
    for (const Group &g : layout->groups)
        for (std::size_t k = 0; k < g.count; ++k) {
            const long u = g.module == -1   ? -advance - module
                           : g.module == -2 ? bars_end + module
                                            : (g.module + 7 * static_cast<long>(k)) * module + (7 * module - advance) / 2;
            shape.pieces.push_back({main.substr(g.first + k, 1), u, height + 2});
        }
    // The add-on's digits above its bars.
    if (!addon.empty() && shape.width > bars_end) {
        const long span = shape.width - bars_end, w = advance * static_cast<long>(addon.size());
        shape.pieces.push_back({addon, bars_end + std::max(0L, (span - w) / 2), -font.box_height - 2});
    }
    shape.readable.clear();
}

}  // namespace quillbar::preview
