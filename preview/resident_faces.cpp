// SPDX-License-Identifier: MIT
#include "resident_faces.h"

#include <ft2build.h>
#include FT_FREETYPE_H

#include <algorithm>
#include <array>
#include <cctype>
#include <mutex>

#include "label/font_finder.h"

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

// The faces fontconfig's own rules make "monospace" on Debian, asked for by
// name, which spares reading those rules at every start; otherwise what the
// rules say.
FontFile find_face() {
    FontFile file;
    if (!find_listed_font({"DejaVu Sans Mono", "Liberation Mono", "Noto Sans Mono", "Noto Mono", "FreeMono"}, nullptr,
                          file) &&
        !match_font("monospace:spacing=mono", file))
        file = FontFile{};
    return file;
}

const FontFile &face_file() {
    static const FontFile *file = new FontFile(find_face());  // lives as long as the process
    return *file;
}

// One FreeType face for every font, opened when a character is first drawn.
class MonoFace {
public:
    MonoFace() {
        if (face_file().path.empty() || FT_Init_FreeType(&library_) != 0) return;
        if (FT_New_Face(library_, face_file().path.c_str(), face_file().index, &face_) != 0) face_ = nullptr;
    }

    bool usable() const { return face_ != nullptr; }

    Bitmap draw(int font, const FontMetrics &cell, char32_t code) {
        std::lock_guard<std::mutex> lock(mutex_);
        Bitmap out(cell.cell_width, cell.cell_height);
        if (!face_) return out;
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

private:
    FT_Library library_ = nullptr;
    FT_Face face_ = nullptr;
    FT_UInt sized_ = 0;  // the pixel size the face is set to
    std::mutex mutex_;
};

MonoFace &mono_face() {
    static MonoFace *face = new MonoFace;  // lives as long as the process
    return *face;
}

}  // namespace

bool font_metrics(int font, FontMetrics &metrics, int dots_per_mm) {
    if (font < 1 || font > static_cast<int>(kFonts.size())) return false;
    metrics = (dots_per_mm == 12 ? kFonts300 : kFonts)[static_cast<std::size_t>(font - 1)];
    return true;
}

const std::string &resident_face_path() { return face_file().path; }

int resident_face_index() { return face_file().index; }

bool resident_face_usable() { return mono_face().usable(); }

Bitmap draw_resident_glyph(int font, const FontMetrics &cell, char32_t code) { return mono_face().draw(font, cell, code); }

}  // namespace quillbar::preview
