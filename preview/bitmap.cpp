// SPDX-License-Identifier: MIT
#include "bitmap.h"

#include <png.h>

#include <algorithm>
#include <cstdio>

namespace quillbar::preview {

void Bitmap::fill(long x, long y, long width, long height, bool black) {
    const long x0 = std::max(0L, x), y0 = std::max(0L, y);
    const long x1 = std::min<long>(width_, x + width), y1 = std::min<long>(height_, y + height);
    for (long row = y0; row < y1; ++row)
        std::fill(dots_.begin() + static_cast<std::ptrdiff_t>(index(x0, row)),
                  dots_.begin() + static_cast<std::ptrdiff_t>(index(x0, row) + (x1 > x0 ? x1 - x0 : 0)), black);
}

long Bitmap::count_black() const { return static_cast<long>(std::count(dots_.begin(), dots_.end(), 1)); }

Bitmap Bitmap::turned_clockwise(int quarter_turns) const {
    const int turns = ((quarter_turns % 4) + 4) % 4;
    if (turns == 0) return *this;
    Bitmap out = turns == 2 ? Bitmap(width_, height_) : Bitmap(height_, width_);
    for (long y = 0; y < height_; ++y)
        for (long x = 0; x < width_; ++x) {
            if (!dots_[index(x, y)]) continue;
            if (turns == 1)
                out.set(height_ - 1 - y, x);
            else if (turns == 2)
                out.set(width_ - 1 - x, height_ - 1 - y);
            else
                out.set(y, width_ - 1 - x);
        }
    return out;
}

Bitmap Bitmap::magnified(int h, int v) const {
    if (h <= 1 && v <= 1) return *this;
    h = std::max(h, 1);
    v = std::max(v, 1);
    Bitmap out(width_ * h, height_ * v);
    for (long y = 0; y < height_; ++y)
        for (long x = 0; x < width_; ++x)
            if (dots_[index(x, y)]) out.fill(x * h, y * v, h, v);
    return out;
}

bool write_png(const std::string &path, const Bitmap &bitmap, int scale) {
    scale = std::max(scale, 1);
    const long width = static_cast<long>(bitmap.width()) * scale, height = static_cast<long>(bitmap.height()) * scale;
    if (width <= 0 || height <= 0) return false;
    FILE *out = std::fopen(path.c_str(), "wb");
    if (!out) return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    std::vector<png_byte> row(static_cast<std::size_t>(width));  // before setjmp: longjmp skips destructors
    bool ok = false;
    if (info && !setjmp(png_jmpbuf(png))) {
        png_init_io(png, out);
        png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
                     PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        png_write_info(png, info);
        for (long y = 0; y < height; ++y) {
            for (long x = 0; x < width; ++x)
                row[static_cast<std::size_t>(x)] = bitmap.black(x / scale, y / scale) ? 0 : 255;
            png_write_row(png, row.data());
        }
        png_write_end(png, nullptr);
        ok = true;
    }
    png_destroy_write_struct(&png, &info);
    return std::fclose(out) == 0 && ok;
}

}  // namespace quillbar::preview
