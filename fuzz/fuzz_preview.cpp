// SPDX-License-Identifier: MIT
// libFuzzer target: any bytes, fed to the virtual printer in chunks whose
// size the first byte chooses. It must never crash, hang or leak.
#include <cstddef>
#include <cstdint>

#include "epl2_printer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t chunk = 1 + data[0] % 64;
    quillbar::preview::Printer printer;
    for (std::size_t at = 1; at < size; at += chunk) {
        printer.feed(data + at, at + chunk <= size ? chunk : size - at);
        printer.take_labels();  // as the tool does: one label in memory at a time
    }
    printer.finish();
    printer.take_labels();
    return 0;
}
