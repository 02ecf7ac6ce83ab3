// SPDX-License-Identifier: MIT
// The glyph store: what one process drew, the next reads back as it was,
// and nothing of a store that is torn, altered or another face's is used.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "label/cache_file.h"
#include "label/glyph_store.h"
#include "support.h"

namespace {

using quillbar::Glyph;
using quillbar::GlyphStore;

Glyph glyph(int left, int top, int width, int rows, long clipped) {
    Glyph g;
    g.left = left, g.top = top, g.width = width, g.rows = rows, g.clipped = clipped;
    g.row_bytes = static_cast<std::size_t>(width + 7) / 8;
    for (std::size_t i = 0; i < g.row_bytes * static_cast<std::size_t>(rows); ++i)
        g.dots.push_back(static_cast<std::uint8_t>(i * 37 + width));
    return g;
}

std::vector<std::string> names_in(const std::string &folder) {
    std::vector<std::string> names;
    if (DIR *d = ::opendir(folder.c_str())) {
        while (const dirent *e = ::readdir(d)) names.emplace_back(e->d_name);
        ::closedir(d);
    }
    return names;
}

bool same(const Glyph *a, const Glyph &b) {
    return a && a->left == b.left && a->top == b.top && a->width == b.width && a->rows == b.rows &&
           a->row_bytes == b.row_bytes && a->clipped == b.clipped && a->dots == b.dots;
}

void write_file(const std::string &path, const std::string &text) {
    FILE *f = std::fopen(path.c_str(), "wb");
    ASSERT_TRUE(f);
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
}

// Each case alters a store two glyphs were written to (the first indexed,
// the second appended), then a new store (a later process) reads it: which
// glyphs it still gives (each record has its own check, and the index says
// where each lies, so a damaged record costs that record alone; a damaged
// index is passed over and the records found by walking them), and that a
// glyph added then is kept beside them.
TEST(GlyphStore, ReadsBackWhatWasWrittenAndNothingThatIsDamaged) {
    const Glyph first = glyph(-2, 3, 21, 24, 5), second = glyph(0, -1, 48, 40, 0);
    struct Case {
        const char *what;
        std::function<void(const std::string &store, const std::string &face)> alter;
        bool first_kept, second_kept;
    };
    const std::vector<Case> cases = {
        {"as written", [](const std::string &, const std::string &) {}, true, true},
        {"the last record torn", [](const std::string &s, const std::string &) { ASSERT_EQ(::truncate(s.c_str(), static_cast<off_t>(qbtest::read_file(s).size() - 3)), 0); }, true, false},
        // After the first line: the index (12 bytes, an entry of 16, its
        // check of 8), then the first record (a mark, its length, its body).
        {"a byte of the first altered",
         [](const std::string &s, const std::string &) {
             std::string t = qbtest::read_file(s);
             t[t.find('\n') + 1 + 36 + 8 + 31] ^= 0x10;
             write_file(s, t);
         },
         false, true},
        {"the first record's length altered",
         [](const std::string &s, const std::string &) {
             std::string t = qbtest::read_file(s);
             t[t.find('\n') + 1 + 36 + 4] ^= 0x01;
             write_file(s, t);
         },
         false, true},
        {"the index altered",
         [](const std::string &s, const std::string &) {
             std::string t = qbtest::read_file(s);
             t[t.find('\n') + 1 + 12 + 8] ^= 0x01;  // the first entry's place
             write_file(s, t);
         },
         true, true},
        // The first entry's size (after its key and place) said to be 4 GB:
        // never read at that size; the record is found where it lies.
        {"an index entry sized 0xFFFFFFFF",
         [](const std::string &s, const std::string &) {
             std::string t = qbtest::read_file(s);
             t.replace(t.find('\n') + 1 + 12 + 12, 4, "\xFF\xFF\xFF\xFF");
             write_file(s, t);
         },
         true, true},
        {"the face file changed", [](const std::string &, const std::string &f) { write_file(f, "another face, longer"); }, false, false},
        {"another header",
         [](const std::string &s, const std::string &) {
             std::string t = qbtest::read_file(s);
             write_file(s, "quillbar-glyphs 1" + t.substr(t.find('\t')));
         },
         false, false},
        {"nothing", [](const std::string &s, const std::string &) { std::remove(s.c_str()); }, false, false},
    };
    std::uint64_t k1 = 0, k2 = 0, k3 = 0;
    ASSERT_TRUE(GlyphStore::glyph_key(0x4E2D, 24, 40, false, false, k1));
    ASSERT_TRUE(GlyphStore::glyph_key(0x4E2D, 24, 40, true, false, k2));
    ASSERT_TRUE(GlyphStore::baseline_key(40, k3));
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        qbtest::TempDir dir;
        const std::string face = dir.file("face.ttf", "a face");
        {
            GlyphStore writer(dir.path(), face, 0);
            writer.add(k1, first);
            writer.flush();  // the file begun
            writer.add(k2, second);
            writer.flush();  // and appended to
            c.alter(writer.file(), face);
        }
        GlyphStore reader(dir.path(), face, 0);
        EXPECT_EQ(same(reader.find(k1), first), c.first_kept);
        EXPECT_EQ(same(reader.find(k2), second), c.second_kept);
        const Glyph baseline = glyph(0, 31, 0, 0, 0);
        reader.add(k3, baseline);
        reader.flush();
        GlyphStore later(dir.path(), face, 0);
        EXPECT_TRUE(same(later.find(k3), baseline));
        EXPECT_EQ(same(later.find(k1), first), c.first_kept);
        EXPECT_EQ(same(later.find(k2), second), c.second_kept);
        // Whatever was damaged is gone from the file: it holds a record for
        // each glyph given, and no more.
        const std::string mended = qbtest::read_file(later.file());
        std::size_t records = 0;
        for (auto at = mended.find("QBG1"); at != std::string::npos; at = mended.find("QBG1", at + 1)) ++records;
        EXPECT_EQ(records, 1u + c.first_kept + c.second_kept);
    }
}

// A record whose check holds but whose glyph does not fit the cell its key
// names is damage: never given, so that the renderer never places ink (or an
// underline under a baseline) outside its image.
TEST(GlyphStore, GlyphsThatDoNotFitTheirCellAreNotGiven) {
    std::uint64_t glyph_key = 0, baseline_key = 0;
    ASSERT_TRUE(GlyphStore::glyph_key(0x4E2D, 24, 40, false, false, glyph_key));
    ASSERT_TRUE(GlyphStore::baseline_key(40, baseline_key));
    const struct {
        const char *what;
        std::uint64_t key;
        Glyph glyph;
        bool given;
    } rows[] = {
        {"a baseline at the cell's bottom", baseline_key, glyph(0, 40, 0, 0, 0), true},
        {"a baseline below the cell", baseline_key, glyph(0, 41, 0, 0, 0), false},
        {"a baseline above the cell", baseline_key, glyph(0, -1, 0, 0, 0), false},
        {"a baseline with dots", baseline_key, glyph(0, 30, 8, 1, 0), false},
        {"a glyph two cells wide and a byte", glyph_key, glyph(-56, -3, 56, 40, 0), true},
        {"a glyph wider than two cells and a byte", glyph_key, glyph(0, 0, 57, 40, 0), false},
        {"a glyph far to the right", glyph_key, glyph(1 << 20, 0, 8, 1, 0), false},
        {"a glyph far above", glyph_key, glyph(0, -(1 << 30), 8, 1, 0), false},
        {"a glyph with negative clipped dots", glyph_key, glyph(0, 0, 8, 1, -1), false},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(testing::Message() << "row " << i << ": " << rows[i].what);
        qbtest::TempDir dir;
        const std::string face = dir.file("face.ttf", "a face");
        {
            GlyphStore writer(dir.path(), face, 0);
            writer.add(rows[i].key, rows[i].glyph);
            writer.flush();
        }
        GlyphStore reader(dir.path(), face, 0);
        EXPECT_EQ(same(reader.find(rows[i].key), rows[i].glyph), rows[i].given);
    }
}

// Two processes appending to a store at once each keep their glyphs (two
// that both begin it keep the last one's: a cache); a face with another
// index in the same file has a store of its own.
TEST(GlyphStore, WritersShareTheStoreAndFacesDoNot) {
    qbtest::TempDir dir;
    const std::string face = dir.file("face.ttc", "a collection");
    std::uint64_t a = 0, b = 0;
    ASSERT_TRUE(GlyphStore::glyph_key('A', 16, 24, false, true, a));
    ASSERT_TRUE(GlyphStore::glyph_key('B', 16, 24, false, true, b));
    std::uint64_t seed_key = 0;
    ASSERT_TRUE(GlyphStore::baseline_key(24, seed_key));
    {
        GlyphStore seed(dir.path(), face, 0);
        seed.add(seed_key, glyph(0, 20, 0, 0, 0));
        seed.flush();
    }
    GlyphStore one(dir.path(), face, 0), two(dir.path(), face, 0), other(dir.path(), face, 1);
    one.add(a, glyph(1, 2, 8, 16, 0));
    two.add(b, glyph(1, 2, 9, 16, 0));
    one.flush();
    two.flush();
    GlyphStore both(dir.path(), face, 0);
    EXPECT_TRUE(same(both.find(a), glyph(1, 2, 8, 16, 0)));
    EXPECT_TRUE(same(both.find(b), glyph(1, 2, 9, 16, 0)));
    EXPECT_TRUE(same(both.find(seed_key), glyph(0, 20, 0, 0, 0)));
    EXPECT_NE(other.file(), both.file());
    EXPECT_EQ(other.find(a), nullptr);
}

// Glyphs appended by many processes are sorted into the index once their
// tail grows, and every one is still found.
TEST(GlyphStore, AppendedGlyphsAreSortedIntoTheIndex) {
    qbtest::TempDir dir;
    const std::string face = dir.file("face.ttf", "a face");
    constexpr int kGlyphs = 300;  // about 80 KB of records
    const auto key_of = [](int i) {
        std::uint64_t k = 0;
        GlyphStore::glyph_key(static_cast<char32_t>(0x4E00 + i), 24, 40, false, false, k);
        return k;
    };
    for (int i = 0; i < kGlyphs; ++i) {
        GlyphStore process(dir.path(), face, 0);
        process.add(key_of(i), glyph(0, 0, 48, 40, i));
        process.flush();
    }
    std::string file;
    {
        GlyphStore reader(dir.path(), face, 0);
        for (int i = 0; i < kGlyphs; ++i) EXPECT_TRUE(same(reader.find(key_of(i)), glyph(0, 0, 48, 40, i))) << i;
        reader.flush();
        file = reader.file();
    }
    const std::string text = qbtest::read_file(file);
    const std::size_t index = text.find('\n') + 1;
    EXPECT_EQ(text.compare(index, 4, "QBX2"), 0);
    // The tail was sorted in when it passed its bound (64 KB): most records
    // are indexed, the ones appended since are not.
    const int indexed = static_cast<unsigned char>(text[index + 4]) | static_cast<unsigned char>(text[index + 5]) << 8;
    EXPECT_GT(indexed, kGlyphs / 2);
    EXPECT_LT(indexed, kGlyphs);
    GlyphStore later(dir.path(), face, 0);
    for (int i = 0; i < kGlyphs; i += 37) EXPECT_TRUE(same(later.find(key_of(i)), glyph(0, 0, 48, 40, i))) << i;
}

// Every distinct glyph has its own key; what a key cannot hold is not kept.
TEST(GlyphStore, KeysAreDistinctAndBounded) {
    std::vector<std::uint64_t> keys;
    std::uint64_t k = 0;
    for (char32_t code : {char32_t{'A'}, char32_t{0x4E2D}, char32_t{0x10FFFF}})
        for (int w : {16, 24, 65535})
            for (int h : {24, 40, 65535})
                for (int style = 0; style < 4; ++style) {
                    ASSERT_TRUE(GlyphStore::glyph_key(code, w, h, style & 1, style & 2, k));
                    keys.push_back(k);
                }
    for (int h : {24, 40, 65535}) {
        ASSERT_TRUE(GlyphStore::baseline_key(h, k));
        keys.push_back(k);
    }
    std::sort(keys.begin(), keys.end());
    EXPECT_EQ(std::adjacent_find(keys.begin(), keys.end()), keys.end());
    EXPECT_FALSE(GlyphStore::glyph_key(0x110000, 16, 24, false, false, k));
    EXPECT_FALSE(GlyphStore::glyph_key('A', 65536, 24, false, false, k));
    EXPECT_FALSE(GlyphStore::glyph_key('A', 16, 65536, false, false, k));
    EXPECT_FALSE(GlyphStore::baseline_key(-1, k));
}

// A program that prints once, run three times on one cache: the first draws
// with FreeType and keeps the glyphs, the second prints the same bytes
// without opening FreeType, the third, its store damaged, draws again and
// still prints the same bytes.
TEST(GlyphStore, AProgramThatPrintsOnceNeedsNoRasteriserTheSecondTime) {
    qbtest::TempDir dir;
    const std::string cache = dir.path() + "/cache";
    auto run = [&](const std::string &out) {
        const std::string command = "XDG_CACHE_HOME='" + cache + "' " QUILLBAR_CHINESE_ONCE " '" + out + "'";
        FILE *p = ::popen(command.c_str(), "r");
        char line[64] = {};
        const bool read = p && std::fgets(line, sizeof line, p);
        const int status = p ? ::pclose(p) : -1;
        EXPECT_TRUE(read && status == 0) << command;
        return std::string(line);
    };
    const std::string cold = dir.file("cold.epl", ""), warm = dir.file("warm.epl", ""), torn = dir.file("torn.epl", "");
    EXPECT_EQ(run(cold), "freetype 1 gbk 1\n");
    EXPECT_EQ(run(warm), "freetype 0 gbk 0\n");
    const std::string expected = qbtest::read_file(cold);
    ASSERT_GT(expected.size(), 10000u);
    EXPECT_EQ(qbtest::read_file(warm), expected);
    // Every store loses its last bytes.
    int stores = 0;
    for (const std::string &name : names_in(cache + "/quillbar"))
        if (name.rfind("glyphs-", 0) == 0) {
            const std::string path = cache + "/quillbar/" + name;
            ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(qbtest::read_file(path).size() - 5)), 0);
            ++stores;
        }
    EXPECT_GE(stores, 1);
    EXPECT_EQ(run(torn).substr(0, 11), "freetype 1 ");
    EXPECT_EQ(qbtest::read_file(torn), expected);
}

// A cache file is replaced whole or left as it was, with no temporary file
// left beside it either way.
TEST(CacheFile, IsReplacedWholeOrLeftAsItWas) {
    struct Case {
        const char *name;
        const char *target;  // under the folder
        std::function<void(const std::string &folder)> prepare;
        bool replaced;
    };
    const std::vector<Case> cases = {
        {"new, in folders not made yet", "a/b/file", [](const std::string &) {}, true},
        {"over an older file", "file", [](const std::string &f) { write_file(f + "/file", "old"); }, true},
        {"under a plain file", "plain/file", [](const std::string &f) { write_file(f + "/plain", "old"); }, false},
        {"over a folder with a file in it", "file",
         [](const std::string &f) {
             ::mkdir((f + "/file").c_str(), 0700);
             write_file(f + "/file/inside", "old");
         },
         false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        qbtest::TempDir dir;
        c.prepare(dir.path());
        const std::string target = dir.path() + "/" + c.target;
        const std::string before = qbtest::read_file(target);
        EXPECT_EQ(quillbar::replace_file(target, std::string(3000, 'n')), c.replaced);
        EXPECT_EQ(qbtest::read_file(target), c.replaced ? std::string(3000, 'n') : before);
        const std::string folder = target.substr(0, target.rfind('/'));
        for (const std::string &name : names_in(folder)) EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
    }
}

}  // namespace
