// SPDX-License-Identifier: MIT
// Shapes from libzint's symbols, as the printer draws them: bars and
// modules in dots, the quiet zone Data Matrix keeps, MaxiCode's hexagons at
// their nominal size, PDF417 in its box, and the EAN and UPC readable line.
#pragma once

#include <string>
#include <vector>

#include "barcodes.h"

struct zint_symbol;

namespace quillbar::preview {

// The symbol's rows as bars: one row of runs for linear codes, and several
// rows of height-modulated bars for the postal codes.
void bars_from(const zint_symbol &s, bool two_widths, long narrow, long wide, long height, Shape &shape);
// Element widths in modules, bar first, as bars of narrow dots a module.
void bars_from_widths(const std::vector<int> &widths, long narrow, long height, Shape &shape);
// Matrix codes: each dark module a module_w x row_h rectangle.
void modules_from(const zint_symbol &s, long module_w, long row_h, Shape &shape);
void add_quiet_zone(Shape &shape, long module);
// "" or why the symbol could not be drawn.
std::string maxicode_from(zint_symbol &s, int dots_per_mm, Shape &shape);
void pdf417_from(const zint_symbol &s, const MatrixRequest &r, long module_w, long row_h, Shape &shape);
// The readable line of an EAN or UPC symbol (zint: its symbology) laid out
// in pieces; shape.readable holds the digits as libzint gives them.
void lay_out_ean(int zint, long module, Shape &shape);

}  // namespace quillbar::preview
