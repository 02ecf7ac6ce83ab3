// SPDX-License-Identifier: MIT
// 1-bit PCX files, the format EPL2 printers store graphics in (GM).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "bitmap.h"

namespace quillbar::preview {

struct PcxResult {
    Bitmap image;       // a 0 bit is a black dot, as in GW
    std::string error;  // empty when the file decoded
};

// Decodes a whole 1-bit, one-plane, run-length encoded PCX file.
PcxResult decode_pcx(const std::uint8_t *data, std::size_t size);

// Encodes a picture as such a file (for tests and sample programs).
std::vector<std::uint8_t> encode_pcx(const Bitmap &image);

}  // namespace quillbar::preview
