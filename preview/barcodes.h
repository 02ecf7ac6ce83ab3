// SPDX-License-Identifier: MIT
// Bar codes and two-dimensional codes as an EPL2 printer draws them,
// encoded by libzint: every selection of the B command and the b codes
// (QR, PDF417, Data Matrix, MaxiCode, Aztec).
#pragma once

#include <map>
#include <string>
#include <vector>

namespace quillbar::preview {

// A symbol ready to paint: dark rectangles in object dots (u along the
// code, v down it), its size, and the readable line under it.
struct Shape {
    struct Bar {
        long u, v, w, h;
    };
    std::vector<Bar> bars;
    long width = 0, height = 0;
    std::string readable;  // drawn under the bars in font readable_font
    int readable_font = 2;
    int dots_per_mm = 8;  // the readable line's font is the density's
    // EAN and UPC: the readable line in pieces, each at its own place
    // (object dots, left edge), instead of one line under the bars.
    struct Piece {
        std::string text;
        long u, v;
    };
    std::vector<Piece> pieces;
    bool late = false;      // Postnet and Planet: laid down with the graphics
    bool inverse = false;   // light modules dark, within the symbol's box
    std::vector<std::string> notes;  // what the preview drew differently
};

struct LinearRequest {
    std::string selection;  // the B command's p4: "1", "E30", "UA0", "2C", "P", ...
    long narrow = 2;        // dots
    long wide = 6;          // dots; two-width codes only
    long height = 50;       // dots of bars
    bool readable = false;  // the readable line under the bars
    std::string data;
    int dots_per_mm = 8;    // the printer's density, for the readable line's font
};

// Why a code is not drawn: the printer's error code and a message naming
// the rule broken ("EAN-13 takes 12 or 13 digits ...").
struct EncodeError {
    enum Code { none = 0, unknown_code = 1, bad_data = 3 };
    Code code = none;
    std::string message;
    explicit operator bool() const { return code != none; }
};

// Fills shape, or says why the code is not drawn.
EncodeError encode_linear(const LinearRequest &request, Shape &shape);

// Which of B's width fields a selection reads: the wide bar only for the
// codes of two widths, the narrow bar not for the postal codes, whose bars
// are fixed. A field a code does not read may be empty or anything.
bool reads_wide_bar(const std::string &selection);
bool reads_narrow_bar(const std::string &selection);

struct MatrixRequest {
    std::string type;                     // Q, P, D, M, A, AZ
    std::vector<long> sizes;              // PDF417: maximum width and height
    std::map<char, std::string> options;  // letter -> value
    std::string data;
    int dots_per_mm = 8;  // the printer's density, for codes of a fixed size (MaxiCode)
};

EncodeError encode_matrix(const MatrixRequest &request, Shape &shape);

}  // namespace quillbar::preview
