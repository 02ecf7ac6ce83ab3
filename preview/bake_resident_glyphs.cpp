// SPDX-License-Identifier: MIT
// Run when the program is built: draws the printable ASCII characters of
// every resident font at both densities from the host's monospace face and
// writes them as a C++ table (baked_glyphs.h). Usage: bake_resident_glyphs OUT.cpp
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "baked_glyphs.h"
#include "resident_faces.h"

using namespace quillbar::preview;

namespace {

std::string quoted(const std::string &s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUT.cpp\n", argv[0]);
        return 2;
    }
    std::string face = resident_face_path();
    struct stat st {};
    if (face.empty() || !resident_face_usable() || ::stat(face.c_str(), &st) != 0) face.clear();

    std::vector<unsigned char> bits;
    std::string starts;
    for (int dots_per_mm : {8, 12}) {
        starts += "{";
        for (int font = 1; font <= 7; ++font) {
            starts += std::to_string(bits.size()) + (font < 7 ? "," : "");
            FontMetrics cell{};
            font_metrics(font, cell, dots_per_mm);
            const int row_bytes = (cell.cell_width + 7) / 8;
            for (char32_t code = kBakedFirst; code <= kBakedLast && !face.empty(); ++code) {
                const Bitmap g = draw_resident_glyph(font, cell, code);
                for (int y = 0; y < cell.cell_height; ++y)
                    for (int b = 0; b < row_bytes; ++b) {
                        unsigned char byte = 0;
                        for (int x = b * 8; x < b * 8 + 8 && x < cell.cell_width; ++x)
                            if (g.black(x, y)) byte = static_cast<unsigned char>(byte | 0x80 >> (x % 8));
                        bits.push_back(byte);
                    }
            }
        }
        starts += dots_per_mm == 8 ? "}," : "}";
    }

    const std::string out = std::string(argv[1]), temporary = out + ".tmp";
    FILE *f = std::fopen(temporary.c_str(), "w");
    if (!f) {
        std::perror(temporary.c_str());
        return 1;
    }
    std::fprintf(f, "// SPDX-License-Identifier: MIT\n// Made by bake_resident_glyphs when the program was built.\n");
    std::fprintf(f, "#include \"baked_glyphs.h\"\n\nnamespace quillbar::preview {\nnamespace {\n");
    std::fprintf(f, "const unsigned char kBits[%zu] = {", bits.empty() ? std::size_t{1} : bits.size());
    for (std::size_t i = 0; i < bits.size(); ++i) std::fprintf(f, "%s%u,", i % 24 ? "" : "\n", bits[i]);
    if (bits.empty()) std::fprintf(f, "0");
    std::fprintf(f, "};\n}  // namespace\n\nconst BakedGlyphs kBakedGlyphs = {%s, %d, %lld, {%s}, kBits};\n\n",
                 quoted(face).c_str(), face.empty() ? 0 : resident_face_index(),
                 face.empty() ? 0LL : static_cast<long long>(st.st_size), starts.c_str());
    std::fprintf(f, "}  // namespace quillbar::preview\n");
    if (std::fclose(f) != 0 || std::rename(temporary.c_str(), out.c_str()) != 0) {
        std::perror(out.c_str());
        return 1;
    }
    std::printf("resident glyphs: %zu bytes from %s\n", bits.size(), face.empty() ? "no face" : face.c_str());
    return 0;
}
