// SPDX-License-Identifier: MIT
#include "barcodes.h"

#include <zint.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "resident_fonts.h"

namespace quillbar::preview {
namespace {

struct Symbology {
    const char *selection;
    int zint;
    bool two_widths;  // bars and spaces are narrow or wide (Code 39, 2 of 5)
    const char *name;
};

const Symbology kSymbologies[] = {
    {"0", BARCODE_GS1_128, false, "Code 128 UCC shipping container code"},
    {"1", BARCODE_CODE128, false, "Code 128"},
    {"2", BARCODE_C25INTER, true, "Interleaved 2 of 5"},
    {"3", BARCODE_CODE39, true, "Code 39"},
    {"9", BARCODE_CODE93, false, "Code 93"},
};

// The shipping container code is the GS1 application identifier 00 with 18
// digits, the last a check digit the printer adds to 17.
bool sscc(const std::string &data, std::string &gs1, std::string &error) {
    if (!std::all_of(data.begin(), data.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
        (data.size() != 17 && data.size() != 18)) {
        error = "Code 128 UCC takes 17 or 18 digits";
        return false;
    }
    std::string digits = data.substr(0, 17);
    int sum = 0;
    for (std::size_t i = 0; i < 17; ++i) sum += (digits[i] - '0') * (i % 2 == 0 ? 3 : 1);
    digits += static_cast<char>('0' + (10 - sum % 10) % 10);
    gs1 = "[00]" + digits;
    return true;
}

}  // namespace

BarcodeResult draw_barcode(const BarcodeRequest &request) {
    const Symbology *symbology = nullptr;
    for (const Symbology &s : kSymbologies)
        if (request.selection == s.selection) symbology = &s;
    if (!symbology) return {{}, "bar code selection " + request.selection + " is not drawn by the preview"};
    if (request.data.empty()) return {};  // empty data draws nothing
    if (request.narrow < 1 || request.height < 1) return {{}, "bar code narrow width and height must be positive"};

    std::string data = request.data, error;
    std::unique_ptr<zint_symbol, decltype(&ZBarcode_Delete)> symbol(ZBarcode_Create(), ZBarcode_Delete);
    if (!symbol) return {{}, "libzint could not start"};
    symbol->symbology = symbology->zint;
    symbol->input_mode = DATA_MODE;
    if (symbology->zint == BARCODE_GS1_128) {
        if (!sscc(request.data, data, error)) return {{}, error};
        symbol->input_mode = GS1_MODE;
    }
    const int rc = ZBarcode_Encode(symbol.get(), reinterpret_cast<const unsigned char *>(data.data()),
                                   static_cast<int>(data.size()));
    if (rc >= ZINT_ERROR) return {{}, std::string(symbology->name) + ": " + symbol->errtxt};

    // The bars as runs of modules, bar first; zint keeps row 0's modules as
    // bits, the lowest bit first.
    std::vector<int> runs;
    for (int x = 0; x < symbol->width; ++x) {
        const bool bar = (symbol->encoded_data[0][x >> 3] >> (x & 7)) & 1;
        if (runs.empty() || (runs.size() % 2 == 1) != bar)
            runs.push_back(1);
        else
            ++runs.back();
    }
    long width = 0;
    std::vector<int> dots;
    for (int modules : runs) {
        const int w = symbology->two_widths ? (modules > 1 ? std::max(request.wide, request.narrow) : request.narrow)
                                            : modules * request.narrow;
        dots.push_back(w);
        width += w;
    }

    Bitmap text;
    if (request.readable) {
        std::string text_error;
        text = draw_text(request.narrow >= 3 ? 3 : 2, request.data, text_error);
    }
    const int gap = text.empty() ? 0 : 2;
    BarcodeResult r;
    r.image = Bitmap(static_cast<int>(std::max<long>(width, text.width())), request.height + gap + text.height());
    long x = 0;
    for (std::size_t i = 0; i < dots.size(); ++i) {
        if (i % 2 == 0) r.image.fill(x, 0, dots[i], request.height);
        x += dots[i];
    }
    const long text_left = std::max(0L, (width - text.width()) / 2);
    for (int y = 0; y < text.height(); ++y)
        for (int tx = 0; tx < text.width(); ++tx)
            if (text.black(tx, y)) r.image.set(text_left + tx, request.height + gap + y);
    return r;
}

}  // namespace quillbar::preview
