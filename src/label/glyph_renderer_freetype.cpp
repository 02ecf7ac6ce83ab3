// SPDX-License-Identifier: MIT
// The glyph renderer on hosts without GDI: fontconfig finds the face,
// FreeType draws it (opened when first needed: freetype_library.h) unless an
// earlier process kept the glyph (glyph_store.h), iconv decodes the GBK text.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "connection/lasting.h"
#include "label/font_finder.h"
#include "label/freetype_library.h"
#include "label/gbk_decoder.h"
#include "label/glyph_renderer.h"
#include "label/glyph_store.h"

namespace quillbar {
namespace {

// ---- faces ------------------------------------------------------------------

// Each face's own Windows names first, so that a user who installs the real
// fonts gets them, then the stand-ins Debian packages. Debian has no clerical
// (Li) face: it falls back to Kai.
using FamilyList = std::vector<const char *>;
const FamilyList kHei = {"SimHei", "黑体", "WenQuanYi Zen Hei Mono", "WenQuanYi Zen Hei", "Noto Sans CJK SC",
                         "Droid Sans Fallback"};
const FamilyList kSong = {"SimSun", "宋体", "NSimSun", "新宋体", "AR PL UMing CN", "Noto Serif CJK SC"};
const FamilyList kKai = {"KaiTi_GB2312", "楷体_GB2312", "KaiTi", "楷体", "AR PL UKai CN", "LXGW WenKai"};
const FamilyList kLi = {"LiSu", "隶书", "STLiti", "KaiTi_GB2312", "楷体_GB2312", "KaiTi", "楷体", "AR PL UKai CN",
                        "LXGW WenKai"};

enum FaceSlot { kHeiSlot, kSongSlot, kKaiSlot, kLiSlot, kSlots };

// Only the low 16 bits of the selector count, read as a signed number.
FaceSlot slot_for(int face) {
    const auto selector = static_cast<std::int16_t>(face & 0xFFFF);
    return selector >= 0 && selector < kSlots ? static_cast<FaceSlot>(selector) : kSongSlot;
}

const FamilyList &families_for(FaceSlot slot) {
    static const std::array<const FamilyList *, kSlots> lists = {&kHei, &kSong, &kKai, &kLi};
    return *lists[slot];
}

// ---- fonts, opened once for the life of the process ---------------------------

class Fonts {
public:
    // The face file for a slot, looked up once (through the face memory, so
    // no font configuration is read at most starts); null when the host has
    // no Chinese face at all.
    const FontFile *file(FaceSlot slot) {
        Entry &e = entries_[slot];
        if (!e.looked_up) {
            e.looked_up = true;
            // Otherwise any face that draws Chinese, never a Latin one.
            e.found = find_listed_font(families_for(slot), "zh-cn", e.file) ||
                      find_font_drawing("zh-cn", {0x4E2D, 0x6587}, e.file);
        }
        return e.found ? &e.file : nullptr;
    }

    // The face opened for drawing, on first need: FreeType is loaded then.
    FT_Face face(FaceSlot slot) {
        Entry &e = entries_[slot];
        if (e.opened || !file(slot)) return e.face;
        e.opened = true;
        if (!library_tried_) {
            library_tried_ = true;
            if (!load_freetype() || ft().FT_Init_FreeType(&library_) != 0) library_ = nullptr;
        }
        if (library_ && ft().FT_New_Face(library_, e.file.path.c_str(), e.file.index, &e.face) != 0) e.face = nullptr;
        return e.face;
    }

    // What earlier processes drew with the slot's face, kept beside the face
    // memory; one store for each face file, whichever slots share it.
    GlyphStore &store(FaceSlot slot) {
        Entry &e = entries_[slot];
        if (e.store) return *e.store;
        const FontFile &f = *file(slot);
        std::unique_ptr<GlyphStore> &s = stores_[f.path + '\0' + std::to_string(f.index)];
        if (!s) {
            const std::string memory = face_memory_file();
            const std::string::size_type slash = memory.rfind('/');
            s = std::make_unique<GlyphStore>(slash == std::string::npos ? std::string() : memory.substr(0, slash),
                                             f.path, f.index);
        }
        e.store = s.get();
        return *s;
    }

    std::string family(FaceSlot slot) {
        const FontFile *f = file(slot);
        return f ? f->family : std::string();
    }

private:
    struct Entry {
        bool looked_up = false;
        bool found = false;
        bool opened = false;
        FontFile file;
        FT_Face face = nullptr;
        GlyphStore *store = nullptr;  // one of stores_
    };
    bool library_tried_ = false;
    FT_Library library_ = nullptr;
    std::array<Entry, kSlots> entries_;
    std::unordered_map<std::string, std::unique_ptr<GlyphStore>> stores_;
};

Fonts &fonts() { return lasting<Fonts>(); }

// ---- glyphs -----------------------------------------------------------------------

struct Style {
    bool bold;
    bool italic;
    bool underline;
};

Style style_for(int style, int base_weight) {
    const bool heavier = base_weight < 500;  // weight 500 over the base
    switch (style) {
    case 1: return {false, true, false};
    case 2: return {heavier, false, false};
    case 3: return {heavier, true, false};
    case 4: return {false, false, true};
    case 5: return {false, true, true};
    case 6: return {heavier, false, true};
    default: return {false, false, false};
    }
}

struct GlyphKey {
    FaceSlot slot;
    int cell_width, cell_height;
    bool bold, italic;
    char32_t code;
    bool operator==(const GlyphKey &o) const {
        return slot == o.slot && cell_width == o.cell_width && cell_height == o.cell_height && bold == o.bold &&
               italic == o.italic && code == o.code;
    }
};

struct GlyphKeyHash {
    std::size_t operator()(const GlyphKey &k) const {
        std::uint64_t h = k.code;
        h = h * 1315423911u + static_cast<std::uint64_t>(k.slot);
        h = h * 1315423911u + static_cast<std::uint64_t>(k.cell_width);
        h = h * 1315423911u + static_cast<std::uint64_t>(k.cell_height);
        h = h * 4u + (k.bold ? 2u : 0u) + (k.italic ? 1u : 0u);
        return static_cast<std::size_t>(h ^ (h >> 29));
    }
};

// Where the baseline sits so that the face's ascent and descent fill the cell
// height exactly: from the OS/2 typo metrics, or hhea where those do not add
// up to one em.
int baseline_for(FT_Face face, int cell_height) {
    FT_Long ascent = face->ascender, descent = face->descender;
    const auto *os2 = static_cast<const TT_OS2 *>(ft().FT_Get_Sfnt_Table(face, FT_SFNT_OS2));
    if (os2 && os2->version != 0xFFFF && os2->sTypoAscender - os2->sTypoDescender == face->units_per_EM) {
        ascent = os2->sTypoAscender;
        descent = os2->sTypoDescender;
    }
    if (ascent - descent <= 0) return cell_height * 7 / 8;
    return static_cast<int>((cell_height * ascent + (ascent - descent) / 2) / (ascent - descent));
}

// FreeType's 16.16 fixed-point factor 1 and the italic shear of 1:5.
constexpr FT_Fixed kOne = 0x10000;
constexpr FT_Fixed kShear = kOne / 5;

// Some faces draw past their own ascent and descent ('|', quotes, 'j'), and
// emboldening adds to both: move such a glyph, whole pixels at a time, back
// into the cell, squeezing it first if it is taller than the cell.
void fit_height(FT_Outline *outline, int cell_height, int baseline) {
    FT_BBox box;
    ft().FT_Outline_Get_CBox(outline, &box);
    const FT_Pos cell = FT_Pos{cell_height} * 64;
    if (((box.yMax + 63) & -64) - (box.yMin & -64) > cell) {
        // A pixel less than the cell: its edges rarely fall on whole pixels.
        FT_Matrix squeeze{kOne, 0, 0, ft().FT_DivFix(cell - 64, box.yMax - box.yMin)};
        ft().FT_Outline_Transform(outline, &squeeze);
        ft().FT_Outline_Get_CBox(outline, &box);
    }
    const FT_Pos top = FT_Pos{baseline} * 64;  // the cell's top, above the baseline
    const FT_Pos bottom = top - cell;          // and its bottom, below it
    const FT_Pos above = ((box.yMax + 63) & -64) - top;
    const FT_Pos below = bottom - (box.yMin & -64);
    if (above > 0)
        ft().FT_Outline_Translate(outline, 0, -std::min(above, std::max<FT_Pos>(0, (box.yMin & -64) - bottom)));
    else if (below > 0)
        ft().FT_Outline_Translate(outline, 0, std::min(below, std::max<FT_Pos>(0, top - ((box.yMax + 63) & -64))));
}

Glyph draw(FT_Face face, const GlyphKey &key, int cells, int baseline) {
    Glyph g;
    const FT_UInt index = ft().FT_Get_Char_Index(face, key.code);
    // Outlines only: embedded bitmap strikes ignore size, weight and slant.
    // Monochrome hinting keeps the thin Song strokes that grey-then-threshold loses.
    if (index == 0 || ft().FT_Load_Glyph(face, index, FT_LOAD_NO_BITMAP | FT_LOAD_TARGET_MONO) != 0 ||
        face->glyph->format != FT_GLYPH_FORMAT_OUTLINE)
        return g;
    FT_GlyphSlot slot = face->glyph;
    FT_Outline *outline = &slot->outline;
    FT_Pos advance = slot->advance.x;
    const FT_Pos room = FT_Pos{cells} * key.cell_width * 64;

    if (key.bold) {  // visibly, but modestly, heavier: a full bold would fill the strokes in
        const FT_Pos strength = FT_Pos{key.cell_height} * 64 / 48;
        ft().FT_Outline_Embolden(outline, strength);
        advance += strength;
    }
    if (key.italic) {  // lean about the middle of the cell, so the text stays in its cells
        FT_Matrix shear{kOne, kShear, 0, kOne};
        ft().FT_Outline_Transform(outline, &shear);
        const FT_Pos middle = (FT_Pos{baseline} * 64 - FT_Pos{key.cell_height} * 32);
        ft().FT_Outline_Translate(outline, -ft().FT_MulFix(middle, kShear), 0);
    }
    FT_BBox box;
    ft().FT_Outline_Get_CBox(outline, &box);
    if (((box.xMax + 63) & -64) - (box.xMin & -64) > room) {  // wider than its cells (a proportional 'W'): narrow it
        ft().FT_Outline_Translate(outline, -box.xMin, 0);
        FT_Matrix narrow{ft().FT_DivFix(room - 64, box.xMax - box.xMin), 0, 0, kOne};
        ft().FT_Outline_Transform(outline, &narrow);
        advance = room;
    }
    fit_height(outline, key.cell_height, baseline);
    if (ft().FT_Render_Glyph(slot, FT_RENDER_MODE_MONO) != 0) return g;

    const FT_Bitmap &bm = slot->bitmap;
    const int drawn_width = static_cast<int>(bm.width);
    g.rows = static_cast<int>(bm.rows);
    // Centred in its cells by its advance, then moved inside them if the ink
    // sticks out at a side; what still sticks out is cut off and counted.
    const int cells_px = cells * key.cell_width;
    g.left = static_cast<int>((room - advance) / 2 / 64) + slot->bitmap_left;
    g.left = std::clamp(g.left, 0, std::max(0, cells_px - drawn_width));
    g.width = std::min(drawn_width, cells_px - g.left);
    g.top = baseline - slot->bitmap_top;
    g.row_bytes = static_cast<std::size_t>(std::max(g.width, 0) + 7) / 8;
    g.dots.assign(g.row_bytes * g.rows, 0);
    // The rendered rows are copied as they are, bits past the glyph's width
    // and rows outside its cell cleared and counted as clipped.
    const std::size_t drawn_bytes = (static_cast<std::size_t>(drawn_width) + 7) / 8;
    const auto tail = static_cast<std::uint8_t>(g.width % 8 ? 0xFF00 >> (g.width % 8) : 0xFF);
    for (int y = 0; y < g.rows; ++y) {
        const unsigned char *row = bm.buffer + static_cast<std::ptrdiff_t>(y) * bm.pitch;
        std::uint8_t *out = g.dots.data() + static_cast<std::size_t>(y) * g.row_bytes;
        const bool inside = g.top + y >= 0 && g.top + y < key.cell_height;
        for (std::size_t i = 0; i < drawn_bytes; ++i) {
            std::uint8_t kept = i < g.row_bytes && inside ? row[i] : 0;
            if (i + 1 == g.row_bytes) kept &= tail;
            g.clipped += __builtin_popcount(static_cast<unsigned>(row[i] & ~kept));
            if (i < g.row_bytes) out[i] = kept;
        }
    }
    return g;
}

// The same glyph with its left edge on a whole byte: left rounded down to a
// multiple of 8 and the rows shifted right to match. Cells are whole bytes
// wide, so its rows are then laid into the image byte for byte.
Glyph byte_aligned(Glyph g) {
    const int shift = g.left & 7;
    if (shift == 0 || g.rows == 0) return g;
    GlyphImage moved(g.width + shift, g.rows);
    moved.lay(shift, 0, g.dots.data(), g.row_bytes, g.rows);
    g.left -= shift;
    g.width += shift;
    g.row_bytes = moved.row_bytes;
    g.dots = std::move(moved.bits);
    return g;
}

// Glyphs in memory for the life of the process, the store's behind them,
// drawn only when neither has them.
class GlyphCache {
public:
    const Glyph &get(Fonts &fonts, const GlyphKey &key, int cells, int baseline, GlyphStore &store) {
        auto it = glyphs_.find(key);
        if (it != glyphs_.end()) return it->second;
        if (glyphs_.size() >= kMaxGlyphs) glyphs_.clear();  // bound the memory a long run can take
        std::uint64_t stored_key = 0;
        const bool keepable = GlyphStore::glyph_key(key.code, key.cell_width, key.cell_height, key.bold, key.italic, stored_key);
        if (const Glyph *kept = keepable ? store.find(stored_key) : nullptr)
            return glyphs_.emplace(key, byte_aligned(*kept)).first->second;
        FT_Face face = fonts.face(key.slot);
        if (!face) return glyphs_.emplace(key, Glyph{}).first->second;  // the face cannot be opened: blank
        if (sized_face_ != face || sized_width_ != key.cell_width || sized_height_ != key.cell_height) {
            // The em is two cells wide and one cell high, as GDI scales a font of
            // this height and average width: a half-width glyph fills one cell.
            ft().FT_Set_Pixel_Sizes(face, static_cast<FT_UInt>(2 * key.cell_width), static_cast<FT_UInt>(key.cell_height));
            sized_face_ = face;
            sized_width_ = key.cell_width;
            sized_height_ = key.cell_height;
        }
        const Glyph &drawn = glyphs_.emplace(key, byte_aligned(draw(face, key, cells, baseline))).first->second;
        if (keepable) store.add(stored_key, drawn);
        return drawn;
    }

private:
    static constexpr std::size_t kMaxGlyphs = 20000;
    std::unordered_map<GlyphKey, Glyph, GlyphKeyHash> glyphs_;
    FT_Face sized_face_ = nullptr;
    int sized_width_ = 0, sized_height_ = 0;
};

// The baseline for a cell height: kept in the store as a glyph's top, so a
// process whose characters are all stored never opens the face. false when
// the face cannot be opened.
bool baseline_of(Fonts &fonts, FaceSlot slot, int cell_height, GlyphStore &store, int &baseline) {
    std::uint64_t key = 0;
    const bool keepable = GlyphStore::baseline_key(cell_height, key);
    if (const Glyph *kept = keepable ? store.find(key) : nullptr) {
        baseline = kept->top;
        return true;
    }
    FT_Face face = fonts.face(slot);
    if (!face) return false;
    baseline = baseline_for(face, cell_height);
    Glyph g;
    g.top = baseline;
    if (keepable) store.add(key, g);
    return true;
}

GlyphCache &glyph_cache() { return lasting<GlyphCache>(); }

GbkDecoder &decoder() { return lasting<GbkDecoder>(); }

// FreeType faces, the glyph cache and the decoder serve one caller at a time;
// printers on other threads take turns.
std::mutex &render_lock() { return lasting<std::mutex>(); }

}  // namespace

std::string face_family(int face) {
    std::lock_guard<std::mutex> hold(render_lock());
    return fonts().family(slot_for(face));
}

GlyphImage Render(std::string_view text, int face, int cell_height, int cell_width, int base_weight, int escapement,
                  int style) {
    const Style st = style_for(style, base_weight);
    GlyphImage image(static_cast<int>(text.size()) * cell_width, cell_height);
    if (image.bits.empty()) return image;

    std::lock_guard<std::mutex> hold(render_lock());
    const FaceSlot slot = slot_for(face);
    Fonts &all = fonts();
    // No face: the text stays blank, the image keeps its size.
    GlyphStore *store = all.file(slot) ? &all.store(slot) : nullptr;
    int baseline = cell_height * 7 / 8;
    if (store && !baseline_of(all, slot, cell_height, *store, baseline)) {
        store->flush();  // lets its file go
        store = nullptr;
    }
    int cell = 0;
    for (const Character &c : store ? decoder().decode(text, store) : std::vector<Character>{}) {
        if (c.code != 0) {
            const GlyphKey key{slot, cell_width, cell_height, st.bold, st.italic, c.code};
            const Glyph &g = glyph_cache().get(all, key, c.bytes, baseline, *store);
            image.clipped += g.clipped;
            // draw() keeps the ink inside the character's own cells, so no
            // other glyph's ink lies under its rows.
            const int x0 = cell * cell_width + g.left;
            // Rows outside the cell are dropped; they are counted in clipped.
            image.lay(x0, g.top, g.dots.data(), g.row_bytes, g.rows);
        }
        cell += c.bytes;
    }
    if (store) store->flush();
    if (st.underline) {
        // Halfway between the baseline and the bottom of the cell, at least a pixel thick.
        const int thickness = std::max(1, (cell_height + 12) / 24);
        const int top = std::clamp(baseline + std::max(1, (cell_height - baseline) / 2), 0, cell_height - thickness);
        for (int y = top; y < top + thickness; ++y)
            for (int x = 0; x < image.width; ++x) image.set(x, y);
    }
    return turned(std::move(image), escapement);
}

}  // namespace quillbar
