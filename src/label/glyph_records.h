// SPDX-License-Identifier: MIT
// The glyph store's records: one glyph under its key, with a check of its own,
// written, sized and read back here; the store (glyph_store.h) only places
// them in its file and finds them again. What is read back is checked before
// it is trusted: a record's check, its sizes, and the glyph's place in the
// cell its key names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "label/glyph_store.h"

namespace quillbar::glyph_records {

// The largest cell a key can name, in dots each way.
constexpr int kLargestCell = 0xFFFF;
// The smallest record: its mark and length, a body of a key and five
// numbers, its check.
constexpr std::size_t kSmallestRecord = 8 + 32 + 8;

std::uint64_t fnv1a(const char *data, std::size_t size, std::uint64_t h = 0xcbf29ce484222325u);
// Appends value as bytes little-endian numbers.
void put(std::string &out, std::uint64_t value, int bytes);

// Reads little-endian numbers from a run of bytes; false once it runs out.
class Reader {
public:
    Reader(const char *data, std::size_t size) : at_(data), end_(data + size) {}
    bool get(std::uint64_t &value, int bytes) {
        if (end_ - at_ < bytes) return false;
        value = 0;
        for (int i = 0; i < bytes; ++i) value |= std::uint64_t{static_cast<unsigned char>(at_[i])} << (8 * i);
        at_ += bytes;
        return true;
    }
    bool get(std::int64_t &value, int bytes) {
        std::uint64_t u = 0;
        if (!get(u, bytes)) return false;
        const int shift = 64 - 8 * bytes;
        value = static_cast<std::int64_t>(u << shift) >> shift;  // sign-extended
        return true;
    }
    const char *at() const { return at_; }
    std::size_t left() const { return static_cast<std::size_t>(end_ - at_); }
    void skip(std::size_t n) { at_ += n; }

private:
    const char *at_;
    const char *end_;
};

// The record of a glyph kept under key.
std::string record_of(std::uint64_t key, const Glyph &g);
// The size of the record at the start of data, or 0 when no whole record
// starts there. Its check is not read: that is left until it is wanted.
std::size_t record_size(const char *data, std::size_t size);
// The key of a whole record.
std::uint64_t record_key(const char *record);
// The glyph in a whole record (record_size said so), or false when its check,
// its sizes or its place in its cell do not hold.
bool read_record(const char *record, std::size_t size, Glyph &g);

}  // namespace quillbar::glyph_records
