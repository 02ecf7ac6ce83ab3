// SPDX-License-Identifier: MIT
#include "bitmap.h"

#include <png.h>
#include <zlib.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>

namespace quillbar::preview {

void Dots::make_white(std::size_t n) {
    // calloc takes large blocks straight from the system, which hands them
    // out zeroed: nothing is cleared or touched here.
    data_.reset(static_cast<std::uint8_t *>(std::calloc(n, 1)));
    size_ = data_ ? n : 0;
    if (!data_) throw std::bad_alloc();
}

void Bitmap::reset(int width, int height) {
    // White again where anything was drawn, in the layout it was drawn in.
    for (long row = std::max(0L, dirty_y0_); row < std::min<long>(dirty_y1_, height_); ++row) {
        const long x0 = std::max(0L, dirty_x0_), x1 = std::min<long>(dirty_x1_, width_);
        if (x1 > x0) std::fill_n(dots_.data() + index(x0, row), x1 - x0, 0);
    }
    width_ = width > 0 ? width : 0;
    height_ = height > 0 ? height : 0;
    if (dots_.size() < area()) dots_.make_white(area());
    dirty_x0_ = dirty_y0_ = kNowhere;
    dirty_x1_ = dirty_y1_ = 0;
}

// Outside its dirty rectangle a picture is white: copying and merging go over
// that rectangle only, so a label costs what was drawn on it, not its size.
void Bitmap::copy_from(const Bitmap &other) {
    reset(other.width_, other.height_);
    const long x0 = std::max(0L, other.dirty_x0_), x1 = std::min<long>(other.dirty_x1_, width_);
    if (x1 <= x0) return;
    for (long row = std::max(0L, other.dirty_y0_); row < std::min<long>(other.dirty_y1_, height_); ++row)
        std::copy_n(other.dots_.data() + other.index(x0, row), x1 - x0, dots_.data() + index(x0, row));
    touch(other.dirty_x0_, other.dirty_y0_, other.dirty_x1_, other.dirty_y1_);
}

Bitmap Bitmap::region(long x, long y, long width, long height) const {
    const long x0 = std::max(0L, x), y0 = std::max(0L, y);
    const long x1 = std::min<long>(width_, x + std::max(0L, width)), y1 = std::min<long>(height_, y + std::max(0L, height));
    Bitmap out(static_cast<int>(std::max(0L, x1 - x0)), static_cast<int>(std::max(0L, y1 - y0)));
    for (long row = y0; row < y1; ++row)
        std::copy_n(dots_.data() + index(x0, row), x1 - x0, out.dots_.data() + out.index(0, row - y0));
    out.touch_all();
    return out;
}

void Bitmap::put(const Bitmap &other, long x, long y) {
    const long x0 = std::max(0L, x), y0 = std::max(0L, y);
    const long x1 = std::min<long>(width_, x + other.width_), y1 = std::min<long>(height_, y + other.height_);
    if (x1 <= x0 || y1 <= y0) return;
    touch(x0, y0, x1, y1);
    for (long row = y0; row < y1; ++row)
        std::copy_n(other.dots_.data() + other.index(x0 - x, row - y), x1 - x0, dots_.data() + index(x0, row));
}

void Bitmap::turn_half() {
    std::reverse(dots_.data(), dots_.data() + area());
    touch_all();
}

void Bitmap::paint(long x, long y, long width, long height, Ink ink) {
    const long x0 = std::max(0L, x), y0 = std::max(0L, y);
    const long x1 = std::min<long>(width_, x + std::max(0L, width)), y1 = std::min<long>(height_, y + std::max(0L, height));
    if (x1 <= x0 || y1 <= y0) return;
    if (ink != Ink::white) touch(x0, y0, x1, y1);
    for (long row = y0; row < y1; ++row) {
        std::uint8_t *p = dots_.data() + index(x0, row);
        switch (ink) {
        case Ink::black: std::fill(p, p + (x1 - x0), 1); break;
        case Ink::white: std::fill(p, p + (x1 - x0), 0); break;
        case Ink::invert:
            for (long i = 0; i < x1 - x0; ++i) p[i] ^= 1;
            break;
        }
    }
}

long Bitmap::count_black() const {
    return static_cast<long>(std::count(dots_.data(), dots_.data() + area(), 1));
}

void Bitmap::merge(const Bitmap &other, long x, long y) {
    const long x0 = std::max({0L, x, x + other.dirty_x0_}), y0 = std::max({0L, y, y + other.dirty_y0_});
    const long x1 = std::min({static_cast<long>(width_), x + other.width_, x + other.dirty_x1_});
    const long y1 = std::min({static_cast<long>(height_), y + other.height_, y + other.dirty_y1_});
    if (x1 > x0 && y1 > y0) touch(x0, y0, x1, y1);
    for (long row = y0; row < y1; ++row) {
        const std::uint8_t *from = other.dots_.data() + other.index(x0 - x, row - y);
        std::uint8_t *to = dots_.data() + index(x0, row);
        for (long i = 0; i < x1 - x0; ++i) to[i] |= from[i];
    }
}

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

namespace {

// One row of dots (one byte each, 1 black) as PNG bits, 1 white, the first
// dot in the most significant bit: eight dots at a time, the multiply
// gathering their low bits into the top byte.
void pack_row(const std::uint8_t *dots, long width, png_byte *out) {
    long x = 0;
    if constexpr (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) {
        for (; x + 8 <= width; x += 8) {
            std::uint64_t eight;
            std::memcpy(&eight, dots + x, 8);
            const std::uint64_t ink = ((eight & 0x0101010101010101u) * 0x8040201008040201u) >> 56;
            out[x >> 3] = static_cast<png_byte>(~ink);
        }
    }
    for (; x < width; x += 8) {
        png_byte byte = 0xFF;
        for (long b = 0; b < 8 && x + b < width; ++b)
            if (dots[x + b]) byte = static_cast<png_byte>(byte & ~(0x80 >> b));
        out[x >> 3] = byte;
    }
}

// libpng's output to memory. An allocation that fails ends the write through
// libpng's own error path rather than throwing through C code.
void append_bytes(png_structp png, png_bytep data, png_size_t size) {
    auto *out = static_cast<std::vector<unsigned char> *>(png_get_io_ptr(png));
    bool kept = true;
    try {
        out->insert(out->end(), data, data + size);
    } catch (...) {
        kept = false;
    }
    if (!kept) png_error(png, "out of memory");
}

// The libpng part: nothing here but plain values, since a libpng error
// returns through longjmp.
// out is a FILE, or with to_memory the vector the bytes are appended to.
bool write_rows(png_structp png, png_infop info, void *out, bool to_memory, const Bitmap &bitmap, int scale, int dpmm,
                png_byte *packed, std::size_t packed_size, bool grayscale) {
    if (setjmp(png_jmpbuf(png))) return false;
    const long width = static_cast<long>(bitmap.width()) * scale, height = static_cast<long>(bitmap.height()) * scale;
    if (to_memory)
        png_set_write_fn(png, out, append_bytes, nullptr);
    else
        png_init_io(png, static_cast<FILE *>(out));
    // One bit a pixel, 1 white: labels are mostly white, and a 1-bit row is
    // an eighth of what an 8-bit one would be to compress.
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), grayscale ? 8 : 1,
                 PNG_COLOR_TYPE_GRAY,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    // 8 dots a millimetre is 8000 a metre; each dot drawn scale pixels wide
    // makes scale times as many pixels a metre, so the picture keeps the
    // label's physical size.
    const auto per_metre = static_cast<png_uint_32>(std::lround(1000 * true_dots_per_mm(dpmm) * scale));
    png_set_pHYs(png, info, per_metre, per_metre, PNG_RESOLUTION_METER);
    // Rows repeat and runs are long: the Up filter and run-length matching
    // are as small here as the default search, and several times faster.
    png_set_compression_level(png, 1);
    png_set_compression_strategy(png, Z_RLE);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_UP);
    png_write_info(png, info);
    // Rows above and below everything drawn are white: written without
    // reading them, so their memory is never touched.
    long x0, y0, x1, y1;
    bitmap.dirty_area(x0, y0, x1, y1);
    for (long y = 0; y < bitmap.height(); ++y) {
        const std::uint8_t *dots = bitmap.row(y);
        if (y < y0 || y >= y1) {
            std::memset(packed, 0xFF, packed_size);
        } else if (scale == 1) {
            pack_row(dots, width, packed);
        } else {
            std::memset(packed, 0xFF, packed_size);
            for (long x = 0; x < width; ++x)
                if (dots[x / scale]) packed[x >> 3] = static_cast<png_byte>(packed[x >> 3] & ~(0x80 >> (x & 7)));
        }
        // 8 bits a pixel: each bit spread to a byte.
        if (grayscale)
            for (long x = width - 1; x >= 0; --x) packed[x] = (packed[x >> 3] & (0x80 >> (x & 7))) ? 0xFF : 0x00;
        for (int repeat = 0; repeat < scale; ++repeat) png_write_row(png, packed);
    }
    png_write_end(png, nullptr);
    return true;
}

}  // namespace

namespace {

bool encode(void *out, bool to_memory, const Bitmap &bitmap, int scale, int dpmm, bool grayscale = false) {
    scale = std::clamp(scale, 1, 64);
    const long width = static_cast<long>(bitmap.width()) * scale;
    // Room for a row at 8 bits; a 1-bit row is packed in its first eighth.
    std::vector<png_byte> packed(static_cast<std::size_t>(grayscale ? width : (width + 7) / 8));
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    const bool ok = info && write_rows(png, info, out, to_memory, bitmap, scale, dpmm, packed.data(),
                                                 static_cast<std::size_t>((width + 7) / 8), grayscale);
    png_destroy_write_struct(&png, &info);
    return ok;
}

}  // namespace

double true_dots_per_mm(int dots_per_mm) { return dots_per_mm == 12 ? 300 / 25.4 : dots_per_mm; }

bool write_png(const std::string &path, const Bitmap &bitmap, int scale, int dots_per_mm) {
    if (bitmap.width() <= 0 || bitmap.height() <= 0) {
        errno = 0;
        return false;
    }
    FILE *out = std::fopen(path.c_str(), "wb");
    if (!out) return false;
    const bool ok = encode(out, false, bitmap, scale, dots_per_mm);
    const bool closed = std::fclose(out) == 0;
    return closed && ok;
}

bool encode_png(const Bitmap &bitmap, std::vector<unsigned char> &out, int scale, int dots_per_mm, bool grayscale) {
    out.clear();
    return bitmap.width() > 0 && bitmap.height() > 0 && encode(&out, true, bitmap, scale, dots_per_mm, grayscale);
}

}  // namespace quillbar::preview
