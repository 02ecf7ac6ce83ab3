// SPDX-License-Identifier: MIT
// libFuzzer target: any bytes, fed to the virtual printer as the tool feeds
// it: in chunks of varied sizes (the first bytes choose them), labels
// handed over as they are printed, replies taken. It must never crash, hang
// or grow past the fuzzer's memory limit, whatever a stream claims.
#include <cstddef>
#include <cstdint>

#include "epl2_printer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 2) return 0;
    // Chunk sizes from 1 byte to 64 KB, changing as the stream goes.
    const std::size_t sizes[] = {1, 3, 64, 4096, 65536, 17, 1000, 2};
    const std::uint8_t pattern = data[0];
    quillbar::preview::VirtualPrinter printer(quillbar::preview::VirtualPrinter::Options{data[1] % 8 + 1});
    long black = 0;
    printer.on_label([&](const quillbar::preview::LabelView &label) { black += label.image.width() > 0; });
    std::size_t replies = 0;
    printer.on_reply([&](const std::string &text) { replies += text.size(); });
    std::size_t at = 2, turn = 0;
    while (at < size) {
        const std::size_t chunk = sizes[(pattern >> (turn++ % 6)) % 8];
        const std::size_t take = at + chunk <= size ? chunk : size - at;
        printer.feed(data + at, take);
        at += take;
    }
    printer.finish();
    return black < 0 || replies == static_cast<std::size_t>(-1);
}
