// SPDX-License-Identifier: MIT
#include "resident_fonts.h"

#include <iconv.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <map>
#include <mutex>
#include <tuple>

#include "baked_glyphs.h"
#include "machine.h"

namespace quillbar::preview {
namespace {

// One byte to its Unicode code point in a code page, through iconv, a table
// of 256 made once a code page.
class CodePages {
public:
    char32_t decode(const std::string &page, unsigned char byte) {
        if (byte < 0x80 || page.rfind("7-bit", 0) == 0) return byte;
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = tables_.find(page);
        if (it == tables_.end()) it = tables_.emplace(page, build(page)).first;
        return it->second[byte];
    }

private:
    static std::array<char32_t, 256> build(const std::string &page) {
        std::array<char32_t, 256> table{};
        for (unsigned i = 0; i < 256; ++i) table[i] = i < 0x80 ? i : 0;
        const std::string name = "CP" + page;
        iconv_t cd = iconv_open("UCS-4LE", name.c_str());  // built in, where UTF-32LE is a module
        if (cd == reinterpret_cast<iconv_t>(-1)) return table;
        for (unsigned i = 0x80; i < 256; ++i) {
            char in = static_cast<char>(i);
            unsigned char out[4] = {};
            char *ip = &in, *op = reinterpret_cast<char *>(out);
            std::size_t il = 1, ol = 4;
            if (iconv(cd, &ip, &il, &op, &ol) != static_cast<std::size_t>(-1) && ol == 0)
                table[i] = out[0] | out[1] << 8 | out[2] << 16 | static_cast<char32_t>(out[3]) << 24;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
        iconv_close(cd);
        return table;
    }
    std::mutex mutex_;
    std::map<std::string, std::array<char32_t, 256>> tables_;
};

// A resident glyph from the build's drawings, when the face found here is
// the file they were drawn from.
bool baked_usable() {
    static const bool usable = [] {
        const BakedGlyphs &b = kBakedGlyphs;
        struct stat st {};
        return b.face_path[0] != '\0' && resident_face_path() == b.face_path && resident_face_index() == b.face_index &&
               ::stat(b.face_path, &st) == 0 && static_cast<long long>(st.st_size) == b.face_size;
    }();
    return usable;
}

// Each character drawn once a process, in the font's cell.
class Glyphs {
public:
    const Bitmap &glyph(int font, const FontMetrics &cell, int dots_per_mm, char32_t code) {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto key = std::make_tuple(font, cell.cell_width, code);
        auto it = glyphs_.find(key);
        if (it != glyphs_.end()) return it->second;
        if (glyphs_.size() > 20000) glyphs_.clear();  // bounded whatever the text
        Bitmap drawn;
        if (!baked_glyph(font, dots_per_mm, code, drawn)) drawn = draw_resident_glyph(font, cell, code);
        return glyphs_.emplace(key, std::move(drawn)).first->second;
    }

private:
    std::mutex mutex_;
    std::map<std::tuple<int, int, char32_t>, Bitmap> glyphs_;
};

Glyphs &glyphs() {
    static Glyphs *drawn = new Glyphs;  // lives as long as the process
    return *drawn;
}

CodePages &code_pages() {
    static CodePages *pages = new CodePages;
    return *pages;
}

}  // namespace

bool baked_glyph(int font, int dots_per_mm, char32_t code, Bitmap &out) {
    FontMetrics cell{};
    if (code < kBakedFirst || code > kBakedLast || !font_metrics(font, cell, dots_per_mm) || !baked_usable()) return false;
    out = Bitmap(cell.cell_width, cell.cell_height);
    const int row_bytes = (cell.cell_width + 7) / 8;
    const unsigned char *p = kBakedGlyphs.bits + kBakedGlyphs.start[dots_per_mm == 12 ? 1 : 0][font - 1] +
                             static_cast<std::size_t>(code - kBakedFirst) * static_cast<std::size_t>(row_bytes * cell.cell_height);
    for (int y = 0; y < cell.cell_height; ++y, p += row_bytes)
        for (int x = 0; x < cell.cell_width; ++x)
            if (p[x / 8] & (0x80 >> (x % 8))) out.set(x, y);
    return true;
}

long text_width(int font, std::size_t characters, int h, int dots_per_mm) {
    FontMetrics f{};
    if (!font_metrics(font, f, dots_per_mm)) return 0;
    return static_cast<long>(characters) * f.advance * h;
}

bool paint_text(Painter &painter, int font, const std::string &text, long u, long v, int h, int vm,
                const std::string &code_page, Bitmap::Ink ink, std::string &error, int dots_per_mm) {
    FontMetrics f{};
    if (!font_metrics(font, f, dots_per_mm)) {
        error = "no resident font " + std::to_string(font);
        return false;
    }
    if (resident_face_path().empty() || !(baked_usable() || resident_face_usable())) {
        error = "no monospace font on this host to draw resident fonts with";
        return false;
    }
    const long advance = static_cast<long>(f.advance) * h;
    const int border = f.box_height > f.cell_height ? 1 : 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const long left = u + static_cast<long>(i) * advance;
        if (!painter.visible(left, v, advance, static_cast<long>(f.box_height) * vm)) continue;
        const Bitmap &g =
            glyphs().glyph(font, f, dots_per_mm, code_pages().decode(code_page, static_cast<unsigned char>(text[i])));
        // The character sits inside its border (one dot at 203 dpi).
        for (int y = 0; y < g.height(); ++y)
            for (int x = 0; x < g.width(); ++x)
                if (g.black(x, y)) painter.rect(left + (border + x) * h, v + (border + y) * vm, h, vm, ink);
    }
    return true;
}

}  // namespace quillbar::preview
