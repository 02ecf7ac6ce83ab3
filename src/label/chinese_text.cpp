// SPDX-License-Identifier: MIT
// Text the printer's fonts cannot show (Chinese above all), drawn on the host
// and sent as a GW graphic.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "connection/connection.h"
#include "connection/guard.h"
#include "connection/operations.h"
#include "label/glyph_renderer.h"
#include "quillbar.h"

using namespace quillbar;

namespace {

struct Cell {
    int width;   // pixels per text byte
    int height;  // rows
};

// Size classes 1..4; any other value draws as 3.
Cell cell_for(int size) {
    switch (size) {
    case 1: return {16, 24};
    case 2: return {16, 32};
    case 4: return {24, 48};
    default: return {24, 40};
    }
}

// Rotations 1..3; any other value draws unturned.
int escapement_for(int rotation) {
    switch (rotation) {
    case 1: return kEscapementUp;
    case 2: return kEscapementFlipped;
    case 3: return kEscapementDown;
    default: return 0;
    }
}

// What the printer takes in one text graphic. Within these, the image's rows
// (pixels / 8 bytes) also stay within 5,120 bytes.
constexpr std::size_t kMaxTextBytes = 1023;
constexpr long kMaxPixels = 30719;

// Writes the bytes of from, each inverted, to to. A run of 8 or more goes a
// word at a time, its last word overlapping the one before it.
void invert(char *to, const std::uint8_t *from, std::size_t n) {
    if (n < 8) {
        for (std::size_t i = 0; i < n; ++i) to[i] = static_cast<char>(~from[i]);
        return;
    }
    auto invert8 = [&](std::size_t i) {
        std::uint64_t word;
        std::memcpy(&word, from + i, 8);
        word = ~word;
        std::memcpy(to + i, &word, 8);
    };
    for (std::size_t i = 0; i + 8 < n; i += 8) invert8(i);
    invert8(n - 8);
}

// EPL2 prints a 0 bit as a black dot: the image's ink bits are sent
// inverted, rows as the image holds them. What the image does not reach is
// sent white.
void append_rows(std::string &out, const GlyphImage &image, long row_bytes, long rows) {
    const std::size_t from = out.size();
    out.append(static_cast<std::size_t>(row_bytes * rows), '\xFF');
    const long copied = std::min<long>(row_bytes, static_cast<long>(image.row_bytes));
    for (long y = 0; copied > 0 && y < std::min<long>(rows, image.height); ++y) {
        const std::uint8_t *in = image.bits.data() + static_cast<std::size_t>(y) * image.row_bytes;
        char *to = &out[from + static_cast<std::size_t>(y * row_bytes)];
        invert(to, in, static_cast<std::size_t>(copied));
    }
}

int print_text(int x, int y, int face, int style, int size, int rotation, const char *text) {
    if (!text) return fail_parameter("the text is NULL");
    // Never read past what the printer could take, even if the text has no end.
    const std::size_t bytes = strnlen(text, kMaxTextBytes + 1);
    const Cell cell = cell_for(size);
    const long most = std::min<long>(kMaxTextBytes, kMaxPixels / (cell.width * cell.height));
    if (static_cast<long>(bytes) > most)
        return fail_parameter("text too long: at most %ld bytes at size %d", most, size >= 1 && size <= 4 ? size : 3);

    const int escapement = escapement_for(rotation);
    const GlyphImage image = Render(std::string_view(text, bytes), face, cell.height, cell.width, 400, escapement, style);
    // A turned image is described as it lies: cell height wide, the text long.
    const bool upright = escapement != kEscapementUp && escapement != kEscapementDown;
    const long length = static_cast<long>(bytes) * cell.width;
    const long row_bytes = (upright ? length : cell.height) / 8;
    const long rows = upright ? cell.height : length;

    // The header, the rows and the line end leave in one write.
    std::string command = Line("GW").mm(x).mm(y).count(row_bytes).count(rows).header();
    command.reserve(command.size() + static_cast<std::size_t>(row_bytes * rows) + 1);
    append_rows(command, image, row_bytes, rows);
    command += kLineEnd;
    return send_text(command);
}

}  // namespace

int quillbar::op::PrintChineseStr(int x, int y, int face, int style, int size, int rotation, const char *text) {
    return print_text(x, y, face, style, size, rotation, text);
}
