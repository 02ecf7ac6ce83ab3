#include "gw_image.h"

#include <png.h>

#include <cstdio>
#include <cstdlib>

namespace quillbar::tools {
namespace {

// A header field: digits up to the comma; an empty field is 0.
bool field(const std::string &s, std::size_t &at, long &value) {
    std::size_t end = at;
    value = 0;
    bool negative = end < s.size() && s[end] == '-';
    if (negative) ++end;
    for (; end < s.size() && s[end] >= '0' && s[end] <= '9'; ++end) value = value * 10 + (s[end] - '0');
    if (end >= s.size() || s[end] != ',') return false;
    if (negative) value = -value;
    at = end + 1;
    return true;
}

}  // namespace

std::vector<GwImage> find_gw(const std::string &stream) {
    std::vector<GwImage> images;
    std::size_t at = 0;
    while (at < stream.size()) {
        const bool line_start = at == 0 || stream[at - 1] == '\n';
        if (!line_start || stream.compare(at, 2, "GW") != 0) {
            const std::size_t next = stream.find('\n', at);
            if (next == std::string::npos) break;
            at = next + 1;
            continue;
        }
        GwImage image;
        std::size_t p = at + 2;
        if (!field(stream, p, image.x) || !field(stream, p, image.y) || !field(stream, p, image.row_bytes) ||
            !field(stream, p, image.rows) || image.row_bytes < 0 || image.rows < 0)
            break;
        const auto size = static_cast<std::size_t>(image.row_bytes * image.rows);
        if (stream.size() - p < size) break;
        image.data.assign(stream.begin() + static_cast<std::ptrdiff_t>(p),
                          stream.begin() + static_cast<std::ptrdiff_t>(p + size));
        images.push_back(std::move(image));
        at = p + size;
        if (at < stream.size() && stream[at] == '\n') ++at;
    }
    return images;
}

bool write_png(const std::string &path, const GwImage &image, int scale) {
    const long width = image.width() * scale, height = image.rows * scale;
    if (width <= 0 || height <= 0) return false;
    FILE *out = std::fopen(path.c_str(), "wb");
    if (!out) return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    bool ok = false;
    std::vector<png_byte> row(static_cast<std::size_t>(width));  // before setjmp: longjmp skips destructors
    if (info && !setjmp(png_jmpbuf(png))) {
        png_init_io(png, out);
        png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
                     PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        png_write_info(png, info);
        for (long y = 0; y < height; ++y) {
            for (long x = 0; x < width; ++x) row[static_cast<std::size_t>(x)] = image.ink(x / scale, y / scale) ? 0 : 255;
            png_write_row(png, row.data());
        }
        png_write_end(png, nullptr);
        ok = true;
    }
    png_destroy_write_struct(&png, &info);
    return std::fclose(out) == 0 && ok;
}

}  // namespace quillbar::tools
