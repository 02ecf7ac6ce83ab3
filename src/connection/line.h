// SPDX-License-Identifier: MIT
// One EPL2 command line: the command letters, comma-separated fields, LF.
// Every export composes its lines with this, so the composition rules live
// here only: numbers in plain decimal ("%d", in full), millimetres sent as
// dots (x8, computed wide so no value overflows), text between quote marks
// byte for byte (no escaping), and one LF at the end, never a CR.
#pragma once

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
        char digits[24];
        const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
        return append(std::string_view(digits, static_cast<std::size_t>(end - digits)));
    }

    // A text or name field between quote marks, bytes unchanged.
    Line &quoted(std::string_view value) {
        field().append(std::string_view(&kQuote, 1));
        append(value);
        return append(std::string_view(&kQuote, 1));
    }

    // The finished line, line end included. Finishing again changes nothing.
    std::string_view finish() {
        if (!finished_) append(std::string_view(&kLineEnd, 1));
        finished_ = true;
        return view();
    }

    // The line so far ending in a comma instead of the line end: a header
    // that binary data follows (GW).
    std::string header() const { return std::string(view()) + ','; }

private:
    Line &field() {
        if (has_fields_) append(",");
        has_fields_ = true;
        return *this;
    }

    // A label's lines fit the inline buffer; longer ones (a long text) move
    // to the heap. Either way the line is one run of bytes, written at once.
    Line &append(std::string_view s) {
        if (heap_.empty() && size_ + s.size() <= sizeof inline_) {
            std::memcpy(inline_ + size_, s.data(), s.size());
            size_ += s.size();
        } else {
            if (heap_.empty()) heap_.assign(inline_, size_);
            heap_.append(s);
        }
        return *this;
    }
    std::string_view view() const { return heap_.empty() ? std::string_view(inline_, size_) : std::string_view(heap_); }

    bool has_fields_ = false;
    bool finished_ = false;
    char inline_[160];
    std::size_t size_ = 0;
    std::string heap_;
};

}  // namespace quillbar
