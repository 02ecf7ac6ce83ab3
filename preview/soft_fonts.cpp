// SPDX-License-Identifier: MIT
// Soft fonts: ES stores one, EI lists them, EK deletes; A prints with them
// (text.cpp draws).
#include "soft_fonts.h"

#include <algorithm>

#include "machine.h"

namespace quillbar::preview {
namespace {

constexpr std::size_t kHeader = 3;     // p1 p2 p3
constexpr std::size_t kCharacter = 4;  // a b c and the quote before the bitmap

unsigned byte_at(const std::string &data, std::size_t i) { return static_cast<unsigned char>(data[i]); }

std::size_t bitmap_size(unsigned height, unsigned width) { return static_cast<std::size_t>(height) * ((width + 7) / 8); }

}  // namespace

std::size_t SoftFontWalker::need(const std::string &data) {
    if (!error_.empty()) return 0;
    if (characters_ < 0) {
        if (data.size() < kHeader) return kHeader - data.size();
        // p2 02: the whole set again, turned.
        characters_ = static_cast<long>(byte_at(data, 0)) * (byte_at(data, 1) == 2 ? 2 : 1);
        at_ = kHeader;
    }
    const unsigned height = byte_at(data, 2);
    while (done_ < characters_) {
        if (data.size() < at_ + kCharacter) return at_ + kCharacter - data.size();
        if (data[at_ + 3] != '"') {
            error_ = "character " + std::to_string(done_ + 1) + " of " + std::to_string(characters_) +
                     ": no quote before its bitmap (the font ends there)";
            return 0;
        }
        const std::size_t end = at_ + kCharacter + bitmap_size(height, byte_at(data, at_ + 2));
        if (data.size() < end) return end - data.size();
        at_ = end;
        ++done_;
    }
    return 0;
}

bool read_soft_font(const std::string &data, SoftFont &font, std::string &error) {
    SoftFontWalker walker;
    if (walker.need(data) != 0 || !walker.error().empty()) {
        error = walker.error().empty() ? "its data was cut short" : walker.error();
        return false;
    }
    font = SoftFont{};
    font.height = static_cast<int>(byte_at(data, 2));
    font.rotation = static_cast<int>(byte_at(data, 1));
    const long per_set = static_cast<long>(byte_at(data, 0));
    const long sets = font.rotation == 2 ? 2 : 1;
    std::size_t at = kHeader;
    for (long k = 0; k < per_set * sets; ++k) {
        const unsigned code = byte_at(data, at), advance = byte_at(data, at + 1), width = byte_at(data, at + 2);
        const std::size_t row_bytes = (width + 7) / 8;
        at += kCharacter;
        // The upright set is what is drawn; with both sets sent, the turned
        // one only counts in memory.
        if (k < per_set) {
            SoftGlyph glyph;
            glyph.advance = static_cast<int>(std::max(advance, width));
            glyph.image.reset(static_cast<int>(width), font.height);
            for (int row = 0; row < font.height; ++row)
                for (unsigned col = 0; col < width; ++col)
                    if (byte_at(data, at + row * row_bytes + col / 8) & (0x80u >> (col % 8))) glyph.image.set(col, row);
            font.glyphs[static_cast<unsigned char>(code)] = std::move(glyph);
        }
        at += bitmap_size(static_cast<unsigned>(font.height), width);
        font.bytes += bitmap_size(static_cast<unsigned>(font.height), width) + kCharacter;
    }
    font.bytes += kHeader + limits::kStoredObjectCost;
    return true;
}

namespace soft_fonts {

// ES"n" and the font's data: stored under the letter n.
void store(Machine &m, Cmd &c) {
    if (!c.header || c.header->then != DataHeader::Then::read || !c.binary) return;  // reported by the reader
    const std::string &name = c.header->name;
    SoftFont font;
    std::string why;
    if (!read_soft_font(*c.binary, font, why)) return m.diagnose(c.offset, "ES \"" + shown(name) + "\": " + why);
    if (name.size() != 1 || name[0] < 'a' || name[0] > 'z')
        return m.diagnose(c.offset, "ES: a soft font's name is one lower-case letter a..z, not \"" + shown(name) + "\"");
    if (font.rotation > 2)
        return m.diagnose(c.offset, "ES \"" + name + "\": rotation " + std::to_string(font.rotation) + " is not 0, 1 or 2");
    // Storing over a font replaces it, as the guide lets a program download
    // its font again.
    const auto old = m.soft_fonts.find(name[0]);
    const std::size_t freed = old == m.soft_fonts.end() ? 0 : old->second.bytes;
    if (m.soft_font_bytes - freed + font.bytes > limits::kMaxSoftFonts)
        return m.diagnose(c.offset, "ES \"" + name + "\": soft-font memory full (printer error 04)", 4);
    if (font.rotation == 1)
        m.lenient(c.offset, "ES", "font \"" + name + "\" holds its 90/270-degree set only: drawn from it at every rotation");
    m.event(c.offset, "ES", "store soft font \"" + name + "\", " + std::to_string(font.glyphs.size()) + " character(s), " +
                                std::to_string(font.height) + " dots high");
    m.soft_font_bytes = m.soft_font_bytes - freed + font.bytes;
    m.soft_fonts[name[0]] = std::move(font);
}

void list(Machine &m, Cmd &c) {
    std::string names;
    for (const auto &entry : m.soft_fonts)
        names += " \"" + std::string(1, entry.first) + "\" (" + std::to_string(entry.second.glyphs.size()) + " characters, " +
                 std::to_string(entry.second.height) + " dots high)";
    m.event(c.offset, "EI", "soft fonts:" + (names.empty() ? std::string(" none") : names));
}

void remove(Machine &m, Cmd &c) {
    Fields f(c);
    std::string name;
    if (!f.name(0, name)) {
        if (!f.error().empty()) m.diagnose(c.offset, f.error());
        return;
    }
    std::size_t removed = 0;
    for (auto it = m.soft_fonts.begin(); it != m.soft_fonts.end();) {
        if (name != "*" && std::string(1, it->first) != name) {
            ++it;
            continue;
        }
        m.soft_font_bytes -= it->second.bytes;
        it = m.soft_fonts.erase(it);
        ++removed;
    }
    m.event(c.offset, "EK", (name == "*" ? "delete all soft fonts" : "delete soft font \"" + shown(name) + "\"") +
                                (removed ? "" : " (none stored)"));
}

}  // namespace soft_fonts
}  // namespace quillbar::preview
