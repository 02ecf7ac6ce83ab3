// SPDX-License-Identifier: MIT
#include "label/glyph_records.h"

namespace quillbar::glyph_records {

namespace {
constexpr std::uint32_t kRecordMark = 0x31474251u;  // "QBG1"
}  // namespace

std::uint64_t fnv1a(const char *data, std::size_t size, std::uint64_t h) {
    for (std::size_t i = 0; i < size; ++i) h = (h ^ static_cast<unsigned char>(data[i])) * 0x100000001b3u;
    return h;
}

void put(std::string &out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out += static_cast<char>(value >> (8 * i) & 0xFF);
}

std::string record_of(std::uint64_t key, const Glyph &g) {
    std::string body;
    put(body, key, 8);
    put(body, static_cast<std::uint32_t>(g.left), 4);
    put(body, static_cast<std::uint32_t>(g.top), 4);
    put(body, static_cast<std::uint32_t>(g.width), 4);
    put(body, static_cast<std::uint32_t>(g.rows), 4);
    put(body, static_cast<std::uint64_t>(g.clipped), 8);
    body.append(reinterpret_cast<const char *>(g.dots.data()), g.dots.size());
    std::string record;
    put(record, kRecordMark, 4);
    put(record, body.size(), 4);
    record += body;
    put(record, fnv1a(body.data(), body.size()), 8);
    return record;
}

// The size of the record at the start of data, or 0 when no whole record
// starts there. Its check is not read: that is left until it is wanted.
std::size_t record_size(const char *data, std::size_t size) {
    Reader r(data, size);
    std::uint64_t mark = 0, body = 0;
    if (!r.get(mark, 4) || mark != kRecordMark || !r.get(body, 4) || body < 32 || r.left() < body + 8) return 0;
    return 8 + body + 8;
}

std::uint64_t record_key(const char *record) {
    std::uint64_t key = 0;
    Reader(record + 8, 8).get(key, 8);
    return key;
}

namespace {

// Whether a glyph read back fits the key it was kept under: a baseline lies
// within its cell, a drawn character within its cells (two at most, a byte
// more for the alignment) and near them, so that no position the renderer
// computes from it can overflow or fall outside the image it draws into.
bool fits_its_key(std::uint64_t key, const Glyph &g) {
    const long cell_width = static_cast<long>(key >> 21 & 0xFFFF), cell_height = static_cast<long>(key >> 37 & 0xFFFF);
    if (g.clipped < 0 || g.clipped > 0xFFFFFFFFL) return false;
    if (key >> 56 & 1) return g.width == 0 && g.rows == 0;  // a GBK pair's character, in top
    if (key >> 55 & 1) return g.width == 0 && g.rows == 0 && g.top >= 0 && g.top <= cell_height;  // a baseline
    const long widest = 2 * cell_width + 8;
    return g.width <= widest && g.left >= -widest && g.left <= widest && g.rows <= kLargestCell &&
           g.top >= -kLargestCell && g.top <= kLargestCell;
}

}  // namespace

// The glyph in a whole record (record_size said so), or false when its check,
// its sizes or its place in its cell do not hold.
bool read_record(const char *record, std::size_t size, Glyph &g) {
    const char *body = record + 8;
    const std::size_t body_size = size - 16;
    std::uint64_t check = 0;
    Reader(body + body_size, 8).get(check, 8);
    if (check != fnv1a(body, body_size)) return false;
    Reader b(body + 8, body_size - 8);
    std::int64_t left = 0, top = 0, width = 0, rows = 0, clipped = 0;
    b.get(left, 4), b.get(top, 4), b.get(width, 4), b.get(rows, 4), b.get(clipped, 8);
    if (width < 0 || rows < 0 || width > kLargestCell * 2 || rows > kLargestCell) return false;
    const std::size_t row_bytes = static_cast<std::size_t>(width + 7) / 8;
    if (b.left() != row_bytes * static_cast<std::size_t>(rows)) return false;
    g.left = static_cast<int>(left);
    g.top = static_cast<int>(top);
    g.width = static_cast<int>(width);
    g.rows = static_cast<int>(rows);
    g.row_bytes = row_bytes;
    g.clipped = static_cast<long>(clipped);
    if (!fits_its_key(record_key(record), g)) return false;
    g.dots.assign(reinterpret_cast<const std::uint8_t *>(b.at()), reinterpret_cast<const std::uint8_t *>(b.at()) + b.left());
    return true;
}

}  // namespace quillbar::glyph_records
