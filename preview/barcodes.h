// SPDX-License-Identifier: MIT
// Bar codes as an EPL2 printer draws them, encoded by libzint.
#pragma once

#include <string>

#include "bitmap.h"

namespace quillbar::preview {

struct BarcodeRequest {
    std::string selection;  // the B command's p4: "0", "1", "2", "3", "9", ...
    int narrow = 2;         // dots
    int wide = 6;           // dots; two-width codes only
    int height = 50;        // dots of bars
    bool readable = false;  // the human-readable line under the bars
    std::string data;
};

struct BarcodeResult {
    Bitmap image;       // unturned, bars from the top
    std::string error;  // why it was not drawn (a code zint cannot draw, data it refuses)
};

BarcodeResult draw_barcode(const BarcodeRequest &request);

}  // namespace quillbar::preview
