// SPDX-License-Identifier: MIT
#include "gw_image.h"

#include "bitmap.h"
#include "epl2_printer.h"

namespace quillbar::tools {

// The interpreter reads the stream, as a printer would; every GW block it
// takes is kept as it came. A block cut short never arrives.
std::vector<GwImage> find_gw(const std::string &stream) {
    std::vector<GwImage> images;
    preview::VirtualPrinter printer(preview::VirtualPrinter::Options{1});
    printer.on_label([](const preview::LabelView &) {});
    printer.on_gw([&](const preview::GwBlock &block) {
        if (block.row_bytes < 0 || block.rows < 0 ||
            static_cast<long>(block.data.size()) != block.row_bytes * block.rows)
            return;
        GwImage image;
        image.x = block.x;
        image.y = block.y;
        image.row_bytes = block.row_bytes;
        image.rows = block.rows;
        image.data.assign(block.data.begin(), block.data.end());
        images.push_back(std::move(image));
    });
    printer.feed(stream.data(), stream.size());
    return images;
}

bool write_png(const std::string &path, const GwImage &image, int scale) {
    preview::Bitmap bitmap(static_cast<int>(image.width()), static_cast<int>(image.rows));
    for (long y = 0; y < image.rows; ++y)
        for (long x = 0; x < image.width(); ++x) bitmap.set(x, y, image.ink(x, y));
    return preview::write_png(path, bitmap, scale);
}

}  // namespace quillbar::tools
