// SPDX-License-Identifier: MIT
#include "resident_fonts.h"

#include <ft2build.h>
#include <iconv.h>
#include FT_FREETYPE_H

#include <algorithm>
#include <array>
#include <cctype>
#include <map>
#include <mutex>
#include <tuple>

#include "label/font_finder.h"
#include "machine.h"

namespace quillbar::preview {
namespace {

// Fonts 1-5 and the digit fonts 6-7. The English fonts carry a one-dot
// white border round every character, so a character advances by its cell
// and two dots (font 5 by 36, as the guide's pitch says).
constexpr std::array<FontMetrics, 7> kFonts{{{8, 12, 10, 14},
                                            {10, 16, 12, 18},
                                            {12, 20, 14, 22},
                                            {14, 24, 16, 26},
                                            {32, 48, 36, 50},
                                            {14, 19, 16, 21},
                                            {14, 19, 16, 21}}};
// At 300 dpi the guide's cells, each advancing by its cell: its pitch
// column is 300 / cell, so no border is drawn round them (whether 300-dpi
// characters keep a border is not settled; the guide's pitch is taken).
constexpr std::array<FontMetrics, 7> kFonts300{{{12, 20, 12, 20},
                                               {16, 28, 16, 28},
                                               {20, 36, 20, 36},
                                               {24, 44, 24, 44},
                                               {48, 80, 48, 80},
                                               {14, 19, 14, 19},
                                               {14, 19, 14, 19}}};

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
        iconv_t cd = iconv_open("UTF-32LE", name.c_str());
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

// One monospace face for every font, found once.
class MonoFace {
public:
    MonoFace() {
        if (FT_Init_FreeType(&library_) != 0) return;
        // The faces fontconfig's own rules make "monospace" on Debian, asked
        // for by name, which spares reading those rules at every start;
        // otherwise what the rules say.
        FontFile file;
        if (!find_listed_font({"DejaVu Sans Mono", "Liberation Mono", "Noto Sans Mono", "Noto Mono", "FreeMono"},
                              nullptr, file) &&
            !match_font("monospace:spacing=mono", file))
            return;
        if (FT_New_Face(library_, file.path.c_str(), file.index, &face_) != 0) face_ = nullptr;
    }

    // The character drawn in the font's cell, or an empty picture.
    const Bitmap &glyph(int font, const FontMetrics &cell, char32_t code) {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto key = std::make_tuple(font, cell.cell_width, code);
        auto it = glyphs_.find(key);
        if (it != glyphs_.end()) return it->second;
        if (glyphs_.size() > 20000) glyphs_.clear();  // bounded whatever the text
        return glyphs_.emplace(key, draw(font, cell, code)).first->second;
    }

    bool usable() const { return face_ != nullptr; }

private:
    Bitmap draw(int font, const FontMetrics &cell, char32_t code) {
        Bitmap out(cell.cell_width, cell.cell_height);
        // Font 5 has capitals only; fonts 6 and 7 digits only.
        if (font == 5 && code < 0x80) code = static_cast<char32_t>(std::toupper(static_cast<int>(code)));
        if (font >= 6 && (code < '0' || code > '9')) return out;
        // The largest size whose advance and whole height fit the cell.
        const double em_units = face_->units_per_EM;
        const double advance = face_->max_advance_width / em_units;
        const double tall = (face_->ascender - face_->descender) / em_units;
        const double em = std::min(cell.cell_width / advance, cell.cell_height / tall);
        // A new size runs the face's hinting set-up again: only when it changes.
        const auto pixels = static_cast<FT_UInt>(std::max(1.0, em));
        if (pixels != sized_) FT_Set_Pixel_Sizes(face_, 0, pixels);
        sized_ = pixels;
        const int baseline = static_cast<int>(face_->size->metrics.ascender / 64);
        const FT_UInt index = FT_Get_Char_Index(face_, code);
        if (index == 0 || FT_Load_Glyph(face_, index, FT_LOAD_TARGET_MONO) != 0 ||
            FT_Render_Glyph(face_->glyph, FT_RENDER_MODE_MONO) != 0)
            return out;
        const FT_Bitmap &bm = face_->glyph->bitmap;
        const int left = face_->glyph->bitmap_left, top = baseline - face_->glyph->bitmap_top;
        for (unsigned y = 0; y < bm.rows; ++y)
            for (unsigned x = 0; x < bm.width; ++x)
                if (bm.buffer[y * static_cast<unsigned>(bm.pitch) + x / 8] & (0x80 >> (x % 8)))
                    out.set(left + long(x), top + long(y));
        return out;
    }

    FT_Library library_ = nullptr;
    FT_Face face_ = nullptr;
    FT_UInt sized_ = 0;  // the pixel size the face is set to
    std::mutex mutex_;
    std::map<std::tuple<int, int, char32_t>, Bitmap> glyphs_;
};

MonoFace &mono_face() {
    static MonoFace *face = new MonoFace;  // lives as long as the process
    return *face;
}

CodePages &code_pages() {
    static CodePages *pages = new CodePages;
    return *pages;
}

}  // namespace

bool font_metrics(int font, FontMetrics &metrics, int dots_per_mm) {
    if (font < 1 || font > static_cast<int>(kFonts.size())) return false;
    metrics = (dots_per_mm == 12 ? kFonts300 : kFonts)[static_cast<std::size_t>(font - 1)];
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
    if (!mono_face().usable()) {
        error = "no monospace font on this host to draw resident fonts with";
        return false;
    }
    const long advance = static_cast<long>(f.advance) * h;
    const int border = f.box_height > f.cell_height ? 1 : 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const long left = u + static_cast<long>(i) * advance;
        if (!painter.visible(left, v, advance, static_cast<long>(f.box_height) * vm)) continue;
        const Bitmap &g =
            mono_face().glyph(font, f, code_pages().decode(code_page, static_cast<unsigned char>(text[i])));
        // The character sits inside its border (one dot at 203 dpi).
        for (int y = 0; y < g.height(); ++y)
            for (int x = 0; x < g.width(); ++x)
                if (g.black(x, y)) painter.rect(left + (border + x) * h, v + (border + y) * vm, h, vm, ink);
    }
    return true;
}

}  // namespace quillbar::preview
