// One EPL2 command line: the command letters, comma-separated fields, LF.
// Every export composes its lines with this, so the composition rules live
// here only: numbers in plain decimal ("%d", in full), millimetres sent as
// dots (x8, computed wide so no value overflows), text between quote marks
// byte for byte (no escaping), and one LF at the end, never a CR.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quillbar {

inline constexpr char kLineEnd = '\n';
inline constexpr char kQuote = '"';
inline constexpr int kDotsPerMm = 8;

class Line {
public:
    explicit Line(std::string_view letters) : text_(letters) {}

    // A number field, written as "%d" would.
    Line &num(std::int64_t value) { return field().append(std::to_string(value)); }

    // A count in a header, zero written as an empty field.
    Line &count(std::int64_t value) { return value == 0 ? field() : num(value); }

    // A length or position given in millimetres, written in dots.
    Line &mm(int value) { return num(std::int64_t{value} * kDotsPerMm); }

    // A field written as it stands: a flag letter, a fixed code.
    Line &word(std::string_view value) { return field().append(value); }

    // A millimetre field with letters in front of it ("B24" in "Q240,B24").
    Line &word_mm(std::string_view prefix, int value) {
        return word(prefix).append(std::to_string(std::int64_t{value} * kDotsPerMm));
    }

    // A number written straight after the field before it, with no comma
    // ("GM\"LOGO\"1000").
    Line &joined(std::int64_t value) { return append(std::to_string(value)); }

    // A text or name field between quote marks, bytes unchanged.
    Line &quoted(std::string_view value) {
        field().text_ += kQuote;
        text_ += value;
        text_ += kQuote;
        return *this;
    }

    // The finished line, line end included.
    std::string finish() const { return text_ + kLineEnd; }

    // The line so far ending in a comma instead of the line end: a header
    // that binary data follows (GW).
    std::string header() const { return text_ + ','; }

private:
    Line &field() {
        if (has_fields_) text_ += ',';
        has_fields_ = true;
        return *this;
    }
    Line &append(std::string_view s) {
        text_ += s;
        return *this;
    }

    std::string text_;
    bool has_fields_ = false;
};

}  // namespace quillbar
