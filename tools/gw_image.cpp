// SPDX-License-Identifier: MIT
#include "gw_image.h"

#include "bitmap.h"

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
    preview::Bitmap bitmap(static_cast<int>(image.width()), static_cast<int>(image.rows));
    for (long y = 0; y < image.rows; ++y)
        for (long x = 0; x < image.width(); ++x) bitmap.set(x, y, image.ink(x, y));
    return preview::write_png(path, bitmap, scale);
}

}  // namespace quillbar::tools
