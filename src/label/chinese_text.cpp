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

// What the printer takes in one text graphic. Within these, the packed image
// (pixels / 8 bytes) also stays within 5,120 bytes.
constexpr std::size_t kMaxTextBytes = 1023;
constexpr long kMaxPixels = 30719;

constexpr bool kLittleEndian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

// EPL2 prints a 0 bit as a black dot: ink packs to 0 bits, most significant
// bit first, as one stream across row ends. What packing does not reach is
// sent white.
// The renderer gives only '1' and '0' characters.
std::vector<std::uint8_t> pack(const std::string &bits, std::size_t size) {
    std::vector<std::uint8_t> packed(size, 0xFF);
    const std::size_t whole = std::min(bits.size() / 8, size);
    for (std::size_t i = 0; i < whole; ++i) {
        // Eight characters at once: '1' (0x31) and '0' (0x30) differ in their
        // low bit, and the multiply gathers the eight low bits into the top
        // byte, the first character as the most significant bit.
        std::uint64_t eight;
        std::memcpy(&eight, bits.data() + i * 8, 8);
        if constexpr (kLittleEndian) {
            const std::uint64_t ink = ((eight & 0x0101010101010101u) * 0x8040201008040201u) >> 56;
            packed[i] = static_cast<std::uint8_t>(~ink);
        } else {
            std::uint8_t byte = 0;
            for (std::size_t b = 0; b < 8; ++b) byte = static_cast<std::uint8_t>(byte << 1 | (bits[i * 8 + b] != '1'));
            packed[i] = byte;
        }
    }
    return packed;
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

    const std::string header = Line("GW").mm(x).mm(y).count(row_bytes).count(rows).header();
    const std::vector<std::uint8_t> packed = pack(image.bits, static_cast<std::size_t>(row_bytes * rows));
    if (send_text(header) != 0 || send_bytes(packed.data(), packed.size()) != 0) return -1;
    return send_text(std::string(1, kLineEnd));
}

}  // namespace

int quillbar::op::PrintChineseStr(int x, int y, int face, int style, int size, int rotation, const char *text) {
    return print_text(x, y, face, style, size, rotation, text);
}
