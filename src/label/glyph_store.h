// SPDX-License-Identifier: MIT
// Glyphs drawn before, kept on disk for each face file: a process that
// prints characters an earlier process drew opens neither the rasteriser nor
// the face. A store belongs to its face file as it is (path, size, time of
// change, inode); a face file that changed starts its store anew. A store is
// an index sorted by key and the records it points to, then the records
// appended since it was last written whole; each record has a check of its
// own, so processes that write at once, or one that dies in a write, cost
// records, never a wrong glyph. Opening a store reads its index and its tail,
// and each glyph wanted is read alone: a start costs what the label prints,
// not what the store holds. A store that cannot be read or written is only a
// slower start.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "label/gbk_decoder.h"

namespace quillbar {

// A drawn character, placed within its own cells: left from the start of its
// first cell, top from the top of the image.
struct Glyph {
    int left = 0;
    int top = 0;
    int width = 0;
    int rows = 0;
    std::size_t row_bytes = 0;
    std::vector<std::uint8_t> dots;  // rows of row_bytes, 1 bits for ink from the most significant bit
    long clipped = 0;
};

class GlyphStore : public PairMemory {
public:
    // The store of the face at face_path (face_index within the file), in
    // folder; an empty folder, or a face file that cannot be read, keeps
    // nothing.
    GlyphStore(const std::string &folder, const std::string &face_path, int face_index);
    ~GlyphStore();
    GlyphStore(const GlyphStore &) = delete;
    GlyphStore &operator=(const GlyphStore &) = delete;

    // Keys: a character in a cell with a style, or the baseline of a cell
    // height. False for sizes too large to be kept (they are drawn each time).
    static bool glyph_key(char32_t code, int cell_width, int cell_height, bool bold, bool italic, std::uint64_t &key);
    static bool baseline_key(int cell_height, std::uint64_t &key);

    // A GBK pair's character, kept as a glyph's top (-1: it does not decode).
    bool recall(unsigned pair, char32_t &code) override;
    void remember(unsigned pair, char32_t code) override;

    // The glyph kept under key, or null. A record found damaged is not given,
    // and the store is rewritten without it at the next flush.
    const Glyph *find(std::uint64_t key);
    // Keeps a glyph drawn now (a baseline as a glyph's top); written at the
    // next flush.
    void add(std::uint64_t key, const Glyph &glyph);
    // Appends what was added since the last flush, in one write (or writes
    // the store whole, sorted, when it must be), and lets the file go.
    void flush();

    const std::string &file() const { return file_; }

private:
    struct Entry {
        std::uint64_t key;
        std::uint32_t offset;
        std::uint32_t size;
        bool operator<(const Entry &other) const { return key < other.key; }
    };

    void load();
    std::vector<Entry> sound_records(std::string &old);
    void rescue();
    bool open_file();
    bool read_at(std::size_t offset, std::size_t size, std::string &out);
    void close_file();

    std::string file_;      // empty: nothing is kept
    std::string identity_;  // the face file as it is, the first line of the store
    bool rewrite_ = false;  // the file is another face's, torn, or its tail long: written anew at the next flush
    std::size_t size_ = 0;        // of the file as read
    std::size_t tail_bytes_ = 0;  // records past the index, read or appended
    bool evicted_ = false;        // written anew once at its size: no more this process
    // Where each record lies in the file: the index as read (entries of a
    // key, a place and a size, sorted by key), and the tail's, sorted.
    std::unique_ptr<char[]> index_raw_;
    std::size_t index_count_ = 0;
    std::vector<Entry> tail_;
    std::size_t records_start_ = 0;  // where the first record lies (0: no file)
    bool rescued_ = false;           // the index was found wrong, and passed over
    int fd_ = -1;             // open while records are being read, closed at flush
    std::uint64_t inode_ = 0;  // of the file the places are in
    std::unordered_map<std::uint64_t, Glyph> glyphs_;  // found or added
    std::string pending_;
};

}  // namespace quillbar
