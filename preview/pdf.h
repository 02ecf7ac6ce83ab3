// SPDX-License-Identifier: MIT
// Labels as one PDF, a page a label at its physical size, written through
// cairo as the labels are printed (nothing is held back but what cairo
// keeps). The dots stay dots: each is a square of a dot's true size (1/8 mm,
// or 1/300 inch at 12 dots/mm).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "bitmap.h"

namespace quillbar::preview {

// Labels laid out on sheets instead of a page a label: columns x rows
// cells a page, each label at its physical size in its cell (made smaller
// to fit one that is larger, never larger), placed within the cell as
// aligned; justified spreads the labels so that the gaps between them and
// the page's edges are equal.
struct PdfSheet {
    enum class Align { start, center, end, justify };  // left/top, centre, right/bottom
    enum class Border { none, solid, dashed };
    double width_pt = 612, height_pt = 792;  // Letter
    int columns = 1, rows = 1;
    Align horizontal = Align::center, vertical = Align::center;
    Border border = Border::none;
};

class PdfWriter {
public:
    // Into a file, or (with the other constructor) into memory.
    PdfWriter(const std::string &path, int dots_per_mm);
    PdfWriter(std::vector<unsigned char> &out, int dots_per_mm);
    ~PdfWriter();
    PdfWriter(const PdfWriter &) = delete;
    PdfWriter &operator=(const PdfWriter &) = delete;

    // Lays the labels out on sheets from now on.
    void set_sheet(const PdfSheet &sheet);
    // False when the page could not be made (the reason in error()).
    bool add(const Bitmap &label);
    // Ends the document; false when it could not be written whole.
    bool close();
    const std::string &error() const { return error_; }

    struct Cairo;  // cairo's side, in pdf.cpp

private:
    std::unique_ptr<Cairo> c_;
    std::string error_;
};

}  // namespace quillbar::preview
