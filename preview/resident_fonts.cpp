// SPDX-License-Identifier: MIT
#include "resident_fonts.h"

#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H

#include <algorithm>
#include <array>
#include <cctype>
#include <map>
#include <mutex>

namespace quillbar::preview {
namespace {

constexpr std::array<FontCell, 5> kCells{{{8, 12}, {10, 16}, {12, 20}, {14, 24}, {32, 48}}};

// One monospace face for all five fonts, found once.
class MonoFace {
public:
    MonoFace() {
        if (FT_Init_FreeType(&library_) != 0 || FcInit() != FcTrue) return;
        FcPattern *pattern = FcNameParse(reinterpret_cast<const FcChar8 *>("monospace:spacing=mono"));
        FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
        FcDefaultSubstitute(pattern);
        FcResult result;
        FcPattern *font = FcFontMatch(nullptr, pattern, &result);
        FcChar8 *file = nullptr;
        int index = 0;
        if (font && FcPatternGetString(font, FC_FILE, 0, &file) == FcResultMatch) {
            FcPatternGetInteger(font, FC_INDEX, 0, &index);
            if (FT_New_Face(library_, reinterpret_cast<const char *>(file), index, &face_) != 0) face_ = nullptr;
        }
        if (font) FcPatternDestroy(font);
        FcPatternDestroy(pattern);
    }

    // The character drawn in a cell of the font, or an empty picture.
    const Bitmap &glyph(int font, unsigned char c) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto key = std::make_pair(font, c);
        auto it = glyphs_.find(key);
        if (it != glyphs_.end()) return it->second;
        return glyphs_.emplace(key, draw(font, c)).first->second;
    }

    bool usable() const { return face_ != nullptr; }

private:
    Bitmap draw(int font, unsigned char c) {
        const FontCell cell = kCells[static_cast<std::size_t>(font - 1)];
        Bitmap out(cell.width, cell.height);
        // Font 5 has capitals only.
        const unsigned code = font == 5 ? static_cast<unsigned>(std::toupper(c)) : c;
        // The largest size whose advance and whole height fit the cell, a
        // dot of gap kept on the right and at the bottom.
        const double em_units = face_->units_per_EM;
        const double advance = face_->max_advance_width / em_units;
        const double tall = (face_->ascender - face_->descender) / em_units;
        const double em = std::min((cell.width - 1) / advance, (cell.height - 1) / tall);
        FT_Set_Pixel_Sizes(face_, 0, static_cast<FT_UInt>(std::max(1.0, em)));
        const int baseline = static_cast<int>(face_->size->metrics.ascender / 64);
        const FT_UInt index = FT_Get_Char_Index(face_, code);
        if (index == 0 || FT_Load_Glyph(face_, index, FT_LOAD_TARGET_MONO) != 0 ||
            FT_Render_Glyph(face_->glyph, FT_RENDER_MODE_MONO) != 0)
            return out;
        const FT_Bitmap &bm = face_->glyph->bitmap;
        const int left = face_->glyph->bitmap_left, top = baseline - face_->glyph->bitmap_top;
        for (unsigned y = 0; y < bm.rows; ++y)
            for (unsigned x = 0; x < bm.width; ++x)
                if (bm.buffer[y * bm.pitch + x / 8] & (0x80 >> (x % 8))) out.set(left + long(x), top + long(y));
        return out;
    }

    FT_Library library_ = nullptr;
    FT_Face face_ = nullptr;
    std::mutex mutex_;
    std::map<std::pair<int, unsigned char>, Bitmap> glyphs_;
};

MonoFace &mono_face() {
    static MonoFace face;
    return face;
}

}  // namespace

bool font_cell(int font, FontCell &cell) {
    if (font < 1 || font > static_cast<int>(kCells.size())) return false;
    cell = kCells[static_cast<std::size_t>(font - 1)];
    return true;
}

Bitmap draw_text(int font, const std::string &text, std::string &error) {
    FontCell cell{};
    if (!font_cell(font, cell)) {
        error = "no resident font " + std::to_string(font);
        return {};
    }
    if (!mono_face().usable()) {
        error = "no monospace font on this host to draw resident fonts with";
        return {};
    }
    Bitmap out(cell.width * static_cast<int>(text.size()), cell.height);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const Bitmap &g = mono_face().glyph(font, static_cast<unsigned char>(text[i]));
        for (int y = 0; y < g.height(); ++y)
            for (int x = 0; x < g.width(); ++x)
                if (g.black(x, y)) out.set(static_cast<long>(i) * cell.width + x, y);
    }
    return out;
}

}  // namespace quillbar::preview
