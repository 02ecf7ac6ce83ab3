// SPDX-License-Identifier: MIT
#include "printer_fault.h"

#include <zlib.h>

#include <algorithm>

namespace quillbar::tool {

void Fault::clear() {
    if (!holding_) return;
    holding_ = false;
    cleared_ = true;
    printer_.set_condition(0);
    say("fault cleared: %zu kept label(s) print\n", kept_.size());
    for (const Kept &k : kept_) {
        const quillbar::preview::Bitmap image = k.restore();
        writer_(LabelView{image, k.sets, k.copies, k.offset, k.number, k.notes});
    }
    kept_.clear();
    kept_bytes_ = 0;
    std::fflush(stdout);
}

quillbar::preview::Bitmap Fault::Kept::restore() const {
    quillbar::preview::Bitmap image(width, height);
    if (drawn_w <= 0 || drawn_h <= 0) return image;
    quillbar::preview::Bitmap drawn(static_cast<int>(drawn_w), static_cast<int>(drawn_h));
    std::vector<unsigned char> plain(static_cast<std::size_t>(drawn_w) * static_cast<std::size_t>(drawn_h));
    uLongf size = plain.size();
    if (uncompress(plain.data(), &size, dots.data(), dots.size()) != Z_OK) return image;
    for (long row = 0; row < drawn_h; ++row)
        for (long col = 0; col < drawn_w; ++col)
            if (plain[static_cast<std::size_t>(row * drawn_w + col)]) drawn.set(col, row);
    image.put(drawn, x, y);
    return image;
}

void Fault::begin() {
    holding_ = true;
    printer_.set_condition(o_.fault);
    say("fault: the printer reports %02d and keeps its labels until SIGUSR1\n", o_.fault);
    std::fflush(stdout);
}

void Fault::take(const LabelView &label) {
    if (o_.fault && !cleared_ && !holding_ && label.number >= o_.fault_from) begin();
    if (!holding_) return writer_(label);
    Kept k{label.image.width(), label.image.height(), 0, 0, 0, 0, {}, label.sets, label.copies, label.offset,
           label.number, label.notes};
    long x1, y1;
    label.image.dirty_area(k.x, k.y, x1, y1);
    k.x = std::max(0L, k.x), k.y = std::max(0L, k.y);
    x1 = std::min<long>(x1, k.width), y1 = std::min<long>(y1, k.height);
    if (x1 > k.x && y1 > k.y) {
        k.drawn_w = x1 - k.x;
        k.drawn_h = y1 - k.y;
        std::vector<unsigned char> plain;
        plain.reserve(static_cast<std::size_t>(k.drawn_w) * static_cast<std::size_t>(k.drawn_h));
        for (long row = k.y; row < y1; ++row)
            plain.insert(plain.end(), label.image.row(row) + k.x, label.image.row(row) + x1);
        uLongf size = compressBound(plain.size());
        k.dots.resize(size);
        if (compress2(k.dots.data(), &size, plain.data(), plain.size(), Z_BEST_SPEED) != Z_OK) size = 0;
        k.dots.resize(size);
        k.dots.shrink_to_fit();
    }
    kept_bytes_ += sizeof k + k.dots.size();
    for (const std::string &note : k.notes) kept_bytes_ += note.size();
    kept_.push_back(std::move(k));
    say("label %ld kept: the printer reports %02d\n", label.number, o_.fault);
    std::fflush(stdout);
}

}  // namespace quillbar::tool
