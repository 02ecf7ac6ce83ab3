// SPDX-License-Identifier: MIT
// The glyph renderer on Windows: GDI draws the text with the host's Chinese
// fonts into a monochrome bitmap of the cell grid's size.
#include <windows.h>

#include <array>
#include <vector>

#include "label/glyph_renderer.h"

namespace quillbar {
namespace {

// The faces by their GB2312 names: 黑体, 宋体, 楷体_GB2312, 隶书.
const std::array<const char *, 4> kFaceNames = {"\xBA\xDA\xCC\xE5", "\xCB\xCE\xCC\xE5", "\xBF\xAC\xCC\xE5_GB2312",
                                                "\xC1\xA5\xCA\xE9"};

const char *face_name(int face) {
    const auto selector = static_cast<short>(face & 0xFFFF);  // the low 16 bits, signed
    return selector >= 0 && selector < 4 ? kFaceNames[static_cast<std::size_t>(selector)] : kFaceNames[1];
}

struct Style {
    int weight;
    bool italic;
    bool underline;
};

Style style_for(int style, int base_weight) {
    switch (style) {
    case 1: return {base_weight, true, false};
    case 2: return {500, false, false};
    case 3: return {500, true, false};
    case 4: return {base_weight, false, true};
    case 5: return {base_weight, true, true};
    case 6: return {500, false, true};
    default: return {base_weight, false, false};
    }
}

HFONT create_font(int face, int cell_height, int cell_width, int escapement, const Style &st) {
    return CreateFontA(cell_height, cell_width, escapement, 0, st.weight, st.italic, st.underline, FALSE,
                       GB2312_CHARSET, OUT_TT_ONLY_PRECIS, CLIP_DEFAULT_PRECIS, PROOF_QUALITY,
                       VARIABLE_PITCH | FF_ROMAN, face_name(face));
}

}  // namespace

std::string face_family(int face) {
    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen);
    ReleaseDC(nullptr, screen);
    HFONT font = create_font(face, 24, 12, 0, {400, false, false});
    HGDIOBJ old = SelectObject(dc, font);
    char name[LF_FACESIZE] = {};
    GetTextFaceA(dc, sizeof name, name);
    SelectObject(dc, old);
    DeleteObject(font);
    DeleteDC(dc);
    return name;
}

GlyphImage Render(std::string_view text, int face, int cell_height, int cell_width, int base_weight, int escapement,
                  int style) {
    const Style st = style_for(style, base_weight);
    const int length = static_cast<int>(text.size()) * cell_width;
    // The image has the cell grid's size, turned for text that reads up or
    // down, so the GW header describes it exactly and the text is drawn whole.
    const bool sideways = escapement == kEscapementUp || escapement == kEscapementDown;
    GlyphImage image(sideways ? cell_height : length, sideways ? length : cell_height);
    if (image.bits.empty()) return image;

    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen);
    ReleaseDC(nullptr, screen);
    HFONT font = create_font(face, cell_height, cell_width, escapement, st);
    HGDIOBJ old_font = SelectObject(dc, font);
    SetBkMode(dc, OPAQUE);
    SetBkColor(dc, RGB(0, 0, 0));
    SetTextColor(dc, RGB(255, 255, 255));
    HBITMAP bitmap = CreateBitmap(image.width, image.height, 1, 1, nullptr);
    HGDIOBJ old_bitmap = SelectObject(dc, bitmap);
    PatBlt(dc, 0, 0, image.width, image.height, BLACKNESS);

    // The cell grid: each byte advances one cell, a two-byte character two.
    std::vector<INT> advances(text.size(), cell_width);
    for (std::size_t i = 0; i + 1 < text.size(); ++i)
        if (IsDBCSLeadByteEx(936, static_cast<BYTE>(text[i]))) {
            advances[i] = 2 * cell_width;
            advances[++i] = 0;
        }
    // The origin is the top-left corner of the unturned text; turned about it,
    // the text's box starts at the image's top-left corner.
    int x = 0, y = 0;
    if (escapement == kEscapementUp) y = length;
    if (escapement == kEscapementFlipped) {
        x = length;
        y = cell_height;
    }
    if (escapement == kEscapementDown) x = cell_height;
    ExtTextOutA(dc, x, y, 0, nullptr, text.data(), static_cast<UINT>(text.size()), advances.data());

    for (int py = 0; py < image.height; ++py)
        for (int px = 0; px < image.width; ++px)
            if (GetPixel(dc, px, py) != RGB(0, 0, 0)) image.set(px, py);

    SelectObject(dc, old_bitmap);
    SelectObject(dc, old_font);
    DeleteObject(bitmap);
    DeleteObject(font);
    DeleteDC(dc);
    return image;
}

}  // namespace quillbar
