// SPDX-License-Identifier: MIT
// The glyph renderer on hosts without GDI: fontconfig finds the face,
// FreeType draws it, iconv decodes the GBK text.
#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_OUTLINE_H
#include FT_TRUETYPE_TABLES_H
#include <iconv.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "connection/lasting.h"
#include "label/glyph_renderer.h"

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

struct FontFile {
    std::string path;
    int index = 0;
    std::string family;
};

bool has_family(FcPattern *font, const char *family) {
    FcChar8 *name = nullptr;
    for (int i = 0; FcPatternGetString(font, FC_FAMILY, i, &name) == FcResultMatch; ++i)
        if (FcStrCmpIgnoreCase(name, reinterpret_cast<const FcChar8 *>(family)) == 0) return true;
    return false;
}

bool take_file(FcPattern *font, FontFile &out) {
    FcChar8 *file = nullptr;
    FcChar8 *family = nullptr;
    if (FcPatternGetString(font, FC_FILE, 0, &file) != FcResultMatch) return false;
    out.path = reinterpret_cast<const char *>(file);
    out.index = 0;
    FcPatternGetInteger(font, FC_INDEX, 0, &out.index);
    if (FcPatternGetString(font, FC_FAMILY, 0, &family) == FcResultMatch)
        out.family = reinterpret_cast<const char *>(family);
    return true;
}

FcPattern *query(const char *family) {
    FcPattern *pattern = FcPatternCreate();
    if (family) FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8 *>(family));
    FcPatternAddString(pattern, FC_LANG, reinterpret_cast<const FcChar8 *>("zh-cn"));
    FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
    FcDefaultSubstitute(pattern);
    return pattern;
}

// fontconfig's own aliases map these names to Latin faces, or all to one Hei
// face: ask for each family of the list in turn and take only a real match.
bool find_listed(const FamilyList &families, FontFile &out) {
    for (const char *family : families) {
        FcPattern *pattern = query(family);
        FcResult result;
        FcPattern *font = FcFontMatch(nullptr, pattern, &result);
        const bool found = font && has_family(font, family) && take_file(font, out);
        if (font) FcPatternDestroy(font);
        FcPatternDestroy(pattern);
        if (found) return true;
    }
    return false;
}

// Otherwise any face that draws Chinese, never a Latin one.
bool find_any_cjk(FontFile &out) {
    FcPattern *pattern = query(nullptr);
    FcResult result;
    FcFontSet *set = FcFontSort(nullptr, pattern, FcFalse, nullptr, &result);
    bool found = false;
    for (int i = 0; set && i < set->nfont && !found; ++i) {
        FcCharSet *chars = nullptr;
        if (FcPatternGetCharSet(set->fonts[i], FC_CHARSET, 0, &chars) == FcResultMatch &&
            FcCharSetHasChar(chars, 0x4E2D) && FcCharSetHasChar(chars, 0x6587))
            found = take_file(set->fonts[i], out);
    }
    if (set) FcFontSetDestroy(set);
    FcPatternDestroy(pattern);
    return found;
}

// ---- fonts, opened once for the life of the process ---------------------------

class Fonts {
public:
    Fonts() {
        fontconfig_ = FcInit() == FcTrue;
        if (FT_Init_FreeType(&library_) != 0) library_ = nullptr;
    }

    // The face for a slot, looked up and opened on first use; null when the
    // host has no Chinese face at all.
    FT_Face face(FaceSlot slot) {
        Entry &e = entries_[slot];
        if (e.looked_up) return e.face;
        e.looked_up = true;
        FontFile file;
        if (!library_ || !fontconfig_ || !(find_listed(families_for(slot), file) || find_any_cjk(file)))
            return nullptr;
        if (FT_New_Face(library_, file.path.c_str(), file.index, &e.face) != 0) e.face = nullptr;
        if (e.face) e.family = file.family;
        return e.face;
    }

    std::string family(FaceSlot slot) {
        face(slot);
        return entries_[slot].family;
    }

private:
    struct Entry {
        bool looked_up = false;
        FT_Face face = nullptr;
        std::string family;
    };
    bool fontconfig_ = false;
    FT_Library library_ = nullptr;
    std::array<Entry, kSlots> entries_;
};

Fonts &fonts() { return lasting<Fonts>(); }

// ---- text -----------------------------------------------------------------------

struct Character {
    char32_t code;  // 0: does not decode, its cells stay blank
    int bytes;      // cells it takes
};

// GBK, the code page Chinese Windows uses for GB2312 text: ASCII bytes stand
// alone, other characters are a lead and a trail byte.
class GbkDecoder {
public:
    GbkDecoder() : cd_(iconv_open("UTF-32LE", "GBK")) {}

    std::vector<Character> decode(std::string_view text) {
        std::vector<Character> out;
        out.reserve(text.size());
        for (std::size_t i = 0; i < text.size();) {
            const auto lead = static_cast<unsigned char>(text[i]);
            if (lead < 0x80) {
                out.push_back({lead, 1});
                ++i;
            } else if (char32_t code = i + 1 < text.size() ? pair(text.data() + i) : 0) {
                out.push_back({code, 2});
                i += 2;
            } else {
                out.push_back({0, 1});  // a stray byte: one blank cell, then go on
                ++i;
            }
        }
        return out;
    }

private:
    char32_t pair(const char *bytes) {
        if (cd_ == reinterpret_cast<iconv_t>(-1)) return 0;
        char in[2] = {bytes[0], bytes[1]};
        unsigned char out[4] = {};
        char *inp = in;
        char *outp = reinterpret_cast<char *>(out);
        std::size_t in_left = 2, out_left = 4;
        const std::size_t rc = iconv(cd_, &inp, &in_left, &outp, &out_left);
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        if (rc == static_cast<std::size_t>(-1) || in_left != 0 || out_left != 0) return 0;
        return char32_t(out[0]) | char32_t(out[1]) << 8 | char32_t(out[2]) << 16 | char32_t(out[3]) << 24;
    }

    iconv_t cd_;
};

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

// A drawn character, placed within its own cells: left from the start of its
// first cell, top from the top of the image.
struct Glyph {
    int left = 0;
    int top = 0;
    int width = 0;
    int rows = 0;
    std::string dots;  // rows x width of '1' (ink) and '0', as the image holds them
    long clipped = 0;
};

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
    const auto *os2 = static_cast<const TT_OS2 *>(FT_Get_Sfnt_Table(face, FT_SFNT_OS2));
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
    FT_Outline_Get_CBox(outline, &box);
    const FT_Pos cell = FT_Pos{cell_height} * 64;
    if (((box.yMax + 63) & -64) - (box.yMin & -64) > cell) {
        // A pixel less than the cell: its edges rarely fall on whole pixels.
        FT_Matrix squeeze{kOne, 0, 0, FT_DivFix(cell - 64, box.yMax - box.yMin)};
        FT_Outline_Transform(outline, &squeeze);
        FT_Outline_Get_CBox(outline, &box);
    }
    const FT_Pos top = FT_Pos{baseline} * 64;  // the cell's top, above the baseline
    const FT_Pos bottom = top - cell;          // and its bottom, below it
    const FT_Pos above = ((box.yMax + 63) & -64) - top;
    const FT_Pos below = bottom - (box.yMin & -64);
    if (above > 0)
        FT_Outline_Translate(outline, 0, -std::min(above, std::max<FT_Pos>(0, (box.yMin & -64) - bottom)));
    else if (below > 0)
        FT_Outline_Translate(outline, 0, std::min(below, std::max<FT_Pos>(0, top - ((box.yMax + 63) & -64))));
}

Glyph draw(FT_Face face, const GlyphKey &key, int cells, int baseline) {
    Glyph g;
    const FT_UInt index = FT_Get_Char_Index(face, key.code);
    // Outlines only: embedded bitmap strikes ignore size, weight and slant.
    // Monochrome hinting keeps the thin Song strokes that grey-then-threshold loses.
    if (index == 0 || FT_Load_Glyph(face, index, FT_LOAD_NO_BITMAP | FT_LOAD_TARGET_MONO) != 0 ||
        face->glyph->format != FT_GLYPH_FORMAT_OUTLINE)
        return g;
    FT_GlyphSlot slot = face->glyph;
    FT_Outline *outline = &slot->outline;
    FT_Pos advance = slot->advance.x;
    const FT_Pos room = FT_Pos{cells} * key.cell_width * 64;

    if (key.bold) {  // visibly, but modestly, heavier: a full bold would fill the strokes in
        const FT_Pos strength = FT_Pos{key.cell_height} * 64 / 48;
        FT_Outline_Embolden(outline, strength);
        advance += strength;
    }
    if (key.italic) {  // lean about the middle of the cell, so the text stays in its cells
        FT_Matrix shear{kOne, kShear, 0, kOne};
        FT_Outline_Transform(outline, &shear);
        const FT_Pos middle = (FT_Pos{baseline} * 64 - FT_Pos{key.cell_height} * 32);
        FT_Outline_Translate(outline, -FT_MulFix(middle, kShear), 0);
    }
    FT_BBox box;
    FT_Outline_Get_CBox(outline, &box);
    if (((box.xMax + 63) & -64) - (box.xMin & -64) > room) {  // wider than its cells (a proportional 'W'): narrow it
        FT_Outline_Translate(outline, -box.xMin, 0);
        FT_Matrix narrow{FT_DivFix(room - 64, box.xMax - box.xMin), 0, 0, kOne};
        FT_Outline_Transform(outline, &narrow);
        advance = room;
    }
    fit_height(outline, key.cell_height, baseline);
    if (FT_Render_Glyph(slot, FT_RENDER_MODE_MONO) != 0) return g;

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
    g.dots.assign(static_cast<std::size_t>(g.width) * g.rows, '0');
    for (int y = 0; y < g.rows; ++y) {
        const unsigned char *row = bm.buffer + static_cast<std::ptrdiff_t>(y) * bm.pitch;
        const bool inside = g.top + y >= 0 && g.top + y < key.cell_height;
        for (int x = 0; x < drawn_width; ++x) {
            if (!(row[x >> 3] & (0x80 >> (x & 7)))) continue;
            if (!inside || x >= g.width)
                ++g.clipped;
            else
                g.dots[static_cast<std::size_t>(y) * g.width + x] = '1';
        }
    }
    return g;
}

class GlyphCache {
public:
    const Glyph &get(FT_Face face, const GlyphKey &key, int cells, int baseline) {
        auto it = glyphs_.find(key);
        if (it != glyphs_.end()) return it->second;
        if (glyphs_.size() >= kMaxGlyphs) glyphs_.clear();  // bound the memory a long run can take
        if (sized_face_ != face || sized_width_ != key.cell_width || sized_height_ != key.cell_height) {
            // The em is two cells wide and one cell high, as GDI scales a font of
            // this height and average width: a half-width glyph fills one cell.
            FT_Set_Pixel_Sizes(face, static_cast<FT_UInt>(2 * key.cell_width), static_cast<FT_UInt>(key.cell_height));
            sized_face_ = face;
            sized_width_ = key.cell_width;
            sized_height_ = key.cell_height;
        }
        return glyphs_.emplace(key, draw(face, key, cells, baseline)).first->second;
    }

private:
    static constexpr std::size_t kMaxGlyphs = 20000;
    std::unordered_map<GlyphKey, Glyph, GlyphKeyHash> glyphs_;
    FT_Face sized_face_ = nullptr;
    int sized_width_ = 0, sized_height_ = 0;
};

GlyphCache &glyph_cache() { return lasting<GlyphCache>(); }

GbkDecoder &decoder() { return lasting<GbkDecoder>(); }

// ---- the image ------------------------------------------------------------------------

// Turns a width x height image counter-clockwise by the escapement.
GlyphImage turned(GlyphImage &&in, int escapement) {
    if (escapement != kEscapementUp && escapement != kEscapementFlipped && escapement != kEscapementDown)
        return std::move(in);
    const int w = in.width, h = in.height;
    GlyphImage out;
    out.clipped = in.clipped;
    out.width = escapement == kEscapementFlipped ? w : h;
    out.height = escapement == kEscapementFlipped ? h : w;
    out.bits.assign(in.bits.size(), '0');
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            int ox, oy;
            if (escapement == kEscapementUp) {  // first character at the bottom, tops to the left
                ox = y;
                oy = w - 1 - x;
            } else if (escapement == kEscapementDown) {  // first character at the top, tops to the right
                ox = h - 1 - y;
                oy = x;
            } else {
                ox = w - 1 - x;
                oy = h - 1 - y;
            }
            out.bits[static_cast<std::size_t>(oy) * out.width + ox] = in.bits[static_cast<std::size_t>(y) * w + x];
        }
    return out;
}

}  // namespace

std::string face_family(int face) { return fonts().family(slot_for(face)); }

GlyphImage Render(std::string_view text, int face, int cell_height, int cell_width, int base_weight, int escapement,
                  int style) {
    const Style st = style_for(style, base_weight);
    GlyphImage image;
    image.width = static_cast<int>(text.size()) * cell_width;
    image.height = cell_height;
    image.bits.assign(static_cast<std::size_t>(image.width) * image.height, '0');
    if (image.bits.empty()) return image;

    const FaceSlot slot = slot_for(face);
    FT_Face ft = fonts().face(slot);  // none: the text stays blank, the image keeps its size
    const int baseline = ft ? baseline_for(ft, cell_height) : cell_height * 7 / 8;
    int cell = 0;
    for (const Character &c : ft ? decoder().decode(text) : std::vector<Character>{}) {
        if (c.code != 0) {
            const GlyphKey key{slot, cell_width, cell_height, st.bold, st.italic, c.code};
            const Glyph &g = glyph_cache().get(ft, key, c.bytes, baseline);
            image.clipped += g.clipped;
            // draw() keeps the ink inside the character's own cells, so a glyph's
            // rows are copied whole: no other glyph's ink lies under them.
            const int x0 = cell * cell_width + g.left;
            for (int y = 0; y < g.rows; ++y) {
                const int iy = g.top + y;
                if (iy < 0 || iy >= cell_height) continue;  // counted in clipped
                std::memcpy(&image.bits[static_cast<std::size_t>(iy) * image.width + x0],
                            &g.dots[static_cast<std::size_t>(y) * g.width], static_cast<std::size_t>(g.width));
            }
        }
        cell += c.bytes;
    }
    if (st.underline) {
        // Halfway between the baseline and the bottom of the cell, at least a pixel thick.
        const int thickness = std::max(1, (cell_height + 12) / 24);
        const int top = std::min(baseline + std::max(1, (cell_height - baseline) / 2), cell_height - thickness);
        std::fill(image.bits.begin() + static_cast<std::ptrdiff_t>(top) * image.width,
                  image.bits.begin() + static_cast<std::ptrdiff_t>(top + thickness) * image.width, '1');
    }
    return turned(std::move(image), escapement);
}

}  // namespace quillbar
