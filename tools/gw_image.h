// SPDX-License-Identifier: MIT
// GW graphics read back out of an EPL2 stream, and written as PNG pictures
// for a person to look at.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quillbar::tools {

struct GwImage {
    long x = 0, y = 0;  // dots
    long row_bytes = 0, rows = 0;
    std::vector<std::uint8_t> data;  // row_bytes x rows bytes; a 0 bit prints black

    long width() const { return row_bytes * 8; }
    bool ink(long px, long py) const {
        return !(data[static_cast<std::size_t>(py * row_bytes + px / 8)] & (0x80 >> (px % 8)));
    }
};

// Every GW command in the stream, in order. The data is taken by its byte
// count, never by looking for a line end; a command cut short is left out.
std::vector<GwImage> find_gw(const std::string &stream);

// Writes the image black on white, each dot as scale x scale pixels.
bool write_png(const std::string &path, const GwImage &image, int scale = 1);

}  // namespace quillbar::tools
