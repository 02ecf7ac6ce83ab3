// SPDX-License-Identifier: MIT
// One EPL2 command line: the command letters, comma-separated fields, LF.
// Every export composes its lines with this, so the composition rules live
// here only: numbers in plain decimal ("%d", in full), millimetres sent as
// dots (x8, computed wide so no value overflows), text between quote marks
// byte for byte (no escaping), and one LF at the end, never a CR.
#pragma once

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace quillbar {

inline constexpr char kLineEnd = '\n';
inline constexpr char kQuote = '"';
inline constexpr int kDotsPerMm = 8;

class Line {
public:
    explicit Line(std::string_view letters) { append(letters); }
    Line(const Line &other) : has_fields_(other.has_fields_), finished_(other.finished_) { append(other.view()); }
    Line &operator=(const Line &) = delete;

    // A number field, written as "%d" would.
    Line &num(std::int64_t value) { return field().joined(value); }

    // A length or position given in millimetres, written in dots.
    Line &mm(int value) { return num(std::int64_t{value} * kDotsPerMm); }

    // A count in a header, zero written as an empty field.
    Line &count(std::int64_t value) { return value == 0 ? field() : num(value); }

    // A field written as it stands: a flag letter, a fixed code.
    Line &word(std::string_view value) { return field().append(value); }

    // A millimetre field with letters in front of it ("B24" in "Q240,B24").
    Line &word_mm(std::string_view prefix, int value) { return word(prefix).joined(std::int64_t{value} * kDotsPerMm); }

    // A number written straight after the field before it, with no comma
    // ("GM\"LOGO\"1000").
    Line &joined(std::int64_t value) {
        char *at = room(kLongestNumber);
        end_ = std::to_chars(at, at + kLongestNumber, value).ptr;
        return *this;
    }

    // A text or name field between quote marks, bytes unchanged.
    Line &quoted(std::string_view value) { return field().put(kQuote).append(value).put(kQuote); }

    // The finished line, line end included. Finishing again changes nothing.
    std::string_view finish() {
        if (!finished_) put(kLineEnd);
        finished_ = true;
        return view();
    }

    // The line so far ending in a comma instead of the line end: a header
    // that binary data follows (GW).
    std::string header() const { return std::string(view()) + ','; }

private:
    static constexpr std::size_t kLongestNumber = 20;  // "-9223372036854775808"

    Line &field() {
        if (has_fields_) put(',');
        has_fields_ = true;
        return *this;
    }

    // Every export builds a line per call, so the bytes go straight to the
    // end of the buffer: a label's lines fit the inline one, a longer line (a
    // long text) moves to the heap. Either way the line is one run of bytes,
    // written at once.
    char *room(std::size_t size) {
        if (static_cast<std::size_t>(limit_ - end_) < size) grow(size);
        return end_;
    }
    void grow(std::size_t size) {
        const std::size_t used = static_cast<std::size_t>(end_ - begin_);
        std::string bigger(std::max(2 * (used + size), sizeof inline_), '\0');
        std::memcpy(&bigger[0], begin_, used);
        heap_.swap(bigger);
        begin_ = &heap_[0];
        end_ = begin_ + used;
        limit_ = begin_ + heap_.size();
    }
    Line &put(char c) {
        *room(1) = c;
        ++end_;
        return *this;
    }
    Line &append(std::string_view s) {
        char *at = room(s.size());
        if (!s.empty()) std::memcpy(at, s.data(), s.size());
        end_ = at + s.size();
        return *this;
    }
    std::string_view view() const { return std::string_view(begin_, static_cast<std::size_t>(end_ - begin_)); }

    bool has_fields_ = false;
    bool finished_ = false;
    char inline_[160];
    char *begin_ = inline_;
    char *end_ = inline_;
    char *limit_ = inline_ + sizeof inline_;
    std::string heap_;
};

}  // namespace quillbar
