// SPDX-License-Identifier: MIT
// libFuzzer target: a glyph store as another process, a torn write or a
// damaged disk may leave it. The input is the store after its first line
// (which names the face, so that the index and records are read at all);
// every glyph the store gives must be whole and fit the cell its key names,
// and reading it costs what the file holds, never what an entry claims.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "label/glyph_store.h"

namespace {

struct Folder {
    std::string path, face, first_line;
    Folder() {
        char name[] = "/tmp/quillbar-fuzz-store-XXXXXX";
        path = ::mkdtemp(name);
        face = path + "/face.ttf";
        std::ofstream(face) << "a face";
        // A store written once gives the first line this face's stores begin with.
        std::uint64_t key = 0;
        quillbar::GlyphStore::baseline_key(40, key);
        quillbar::GlyphStore store(path, face, 0);
        quillbar::Glyph g;
        g.top = 30;
        store.add(key, g);
        store.flush();
        std::ifstream in(store.file());
        std::getline(in, first_line);
        first_line += '\n';
    }
};

std::uint64_t key_at(const std::uint8_t *data, std::size_t size, std::size_t at) {
    std::uint64_t key = 0;
    for (std::size_t i = 0; i < 8 && at + i < size; ++i) key |= std::uint64_t{data[at + i]} << (8 * i);
    return key;
}

void check(std::uint64_t key, const quillbar::Glyph *g) {
    if (!g) return;
    const long cell_width = static_cast<long>(key >> 21 & 0xFFFF);
    if (g->width < 0 || g->rows < 0 || g->dots.size() != g->row_bytes * static_cast<std::size_t>(g->rows) ||
        g->row_bytes != static_cast<std::size_t>(g->width + 7) / 8 || g->clipped < 0)
        std::abort();
    if (!(key >> 55 & 3) && (g->width > 2 * cell_width + 8 || g->left > 2 * cell_width + 8 || g->left < -(2 * cell_width + 8)))
        std::abort();
    if ((key >> 55 & 3) == 1 && (g->top < 0 || g->top > static_cast<long>(key >> 37 & 0xFFFF))) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static Folder folder;
    std::string file;
    {
        quillbar::GlyphStore probe(folder.path, folder.face, 0);
        file = probe.file();
    }
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out << folder.first_line;
        out.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
    }
    quillbar::GlyphStore store(folder.path, folder.face, 0);
    // Keys the input names (where an index or a record would hold them), and ordinary ones.
    std::uint64_t keys[8] = {};
    quillbar::GlyphStore::baseline_key(40, keys[0]);
    quillbar::GlyphStore::glyph_key(0x4E2D, 24, 40, false, false, keys[1]);
    for (std::size_t k = 2; k < 8; ++k) keys[k] = key_at(data, size, 12 + 16 * (k - 2));
    for (std::uint64_t key : keys) check(key, store.find(key));
    quillbar::Glyph g;
    g.top = 20;
    store.add(keys[0] ^ 1, g);
    store.flush();
    // What it wrote back is read as sound.
    quillbar::GlyphStore again(folder.path, folder.face, 0);
    for (std::uint64_t key : keys) check(key, again.find(key));
    return 0;
}
