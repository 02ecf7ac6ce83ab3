// SPDX-License-Identifier: MIT
#include "pcx.h"

#include "bounds.h"

#include <algorithm>

namespace quillbar::preview {
namespace {

constexpr std::size_t kHeaderSize = 128;
constexpr long kMaxSide = 1 << 15;

unsigned u16(const std::uint8_t *p) { return unsigned(p[0]) | unsigned(p[1]) << 8; }

void put16(std::vector<std::uint8_t> &v, std::size_t at, unsigned value) {
    v[at] = static_cast<std::uint8_t>(value & 0xFF);
    v[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

}  // namespace

PcxResult decode_pcx(const std::uint8_t *data, std::size_t size) {
    PcxResult r;
    if (size < kHeaderSize) return {{}, "PCX shorter than its 128-byte header"};
    if (data[0] != 0x0A) return {{}, "not a PCX file (first byte is not 0x0A)"};
    if (data[2] != 1) return {{}, "PCX not run-length encoded"};
    if (data[3] != 1) return {{}, "PCX is not 1 bit per pixel"};
    if (data[65] > 1) return {{}, "PCX has more than one plane"};
    const long width = long(u16(data + 8)) - long(u16(data + 4)) + 1;
    const long height = long(u16(data + 10)) - long(u16(data + 6)) + 1;
    const long line = u16(data + 66);
    if (width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide) return {{}, "PCX window is empty or too large"};
    if (line * 8 < width) return {{}, "PCX bytes per line too few for its width"};
    // What the header claims must fit what the data can hold, before any
    // memory is taken for it: a run gives at most 63 bytes for two, and the
    // picture must fit a label the preview can hold.
    const long claimed = line * height;
    const long most = static_cast<long>(size - kHeaderSize) / 2 * 63 + 1;
    if (claimed > most) return {{}, "PCX header claims " + std::to_string(width) + "x" + std::to_string(height) +
                                       " dots, more than its " + std::to_string(size) + " bytes can hold"};
    if (width * height > limits::kMaxWidth * limits::kMaxLength) return {{}, "PCX picture larger than any label"};

    // Run-length decoding: a byte with the top two bits set repeats the next
    // byte (its low six bits) times; any other byte stands for itself.
    std::vector<std::uint8_t> rows(static_cast<std::size_t>(line * height));
    std::size_t at = kHeaderSize, out = 0;
    while (out < rows.size()) {
        if (at >= size) return {{}, "PCX data ends before its last row"};
        std::uint8_t b = data[at++];
        std::size_t count = 1;
        if ((b & 0xC0) == 0xC0) {
            count = b & 0x3F;
            if (at >= size) return {{}, "PCX data ends inside a run"};
            b = data[at++];
        }
        count = std::min(count, rows.size() - out);
        std::fill_n(rows.begin() + static_cast<std::ptrdiff_t>(out), count, b);
        out += count;
    }
    r.image = Bitmap(static_cast<int>(width), static_cast<int>(height));
    for (long y = 0; y < height; ++y)
        for (long x = 0; x < width; ++x)
            if (!(rows[static_cast<std::size_t>(y * line + x / 8)] & (0x80 >> (x % 8)))) r.image.set(x, y);
    return r;
}

std::vector<std::uint8_t> encode_pcx(const Bitmap &image) {
    const unsigned width = static_cast<unsigned>(image.width()), height = static_cast<unsigned>(image.height());
    const unsigned line = ((width + 15) / 16) * 2;  // PCX lines are a whole number of 16-bit words
    std::vector<std::uint8_t> file(kHeaderSize, 0);
    file[0] = 0x0A;  // PCX
    file[1] = 5;     // version
    file[2] = 1;     // run-length encoded
    file[3] = 1;     // bits per pixel
    put16(file, 8, width ? width - 1 : 0);
    put16(file, 10, height ? height - 1 : 0);
    put16(file, 12, 203);
    put16(file, 14, 203);
    file[16 + 3] = file[16 + 4] = file[16 + 5] = 0xFF;  // palette: 0 black, 1 white
    file[65] = 1;  // planes
    put16(file, 66, line);
    put16(file, 68, 1);
    for (unsigned y = 0; y < height; ++y) {
        std::vector<std::uint8_t> row(line, 0xFF);
        for (unsigned x = 0; x < width; ++x)
            if (image.black(x, y)) row[x / 8] = static_cast<std::uint8_t>(row[x / 8] & ~(0x80 >> (x % 8)));
        for (std::size_t i = 0; i < row.size();) {
            std::size_t run = 1;
            while (i + run < row.size() && row[i + run] == row[i] && run < 63) ++run;
            if (run > 1 || (row[i] & 0xC0) == 0xC0) file.push_back(static_cast<std::uint8_t>(0xC0 | run));
            file.push_back(row[i]);
            i += run;
        }
    }
    return file;
}

}  // namespace quillbar::preview
