// SPDX-License-Identifier: MIT
#include "label_canvas.h"

#include "bounds.h"
#include "held.h"

namespace quillbar::preview {

void Painter::place(long u, long v, long w, long h, long &left, long &top, long &width, long &height) const {
    switch (rotation_) {
    case 1: left = x_ - v - h; top = y_ + u; width = h; height = w; break;
    case 2: left = x_ - u - w; top = y_ - v - h; width = w; height = h; break;
    case 3: left = x_ + v; top = y_ - u - w; width = h; height = w; break;
    default: left = x_ + u; top = y_ + v; width = w; height = h; break;
    }
}

void Painter::rect(long u, long v, long w, long h, Bitmap::Ink ink) {
    long left, top, width, height;
    place(u, v, w, h, left, top, width, height);
    layer_.paint(left, top, width, height, ink);
}

bool Painter::visible(long u, long v, long w, long h) const {
    long left, top, width, height;
    place(u, v, w, h, left, top, width, height);
    return left < layer_.width() && top < layer_.height() && left + width > 0 && top + height > 0;
}

bool Painter::inside(long u, long v, long w, long h) const {
    long left, top, width, height;
    place(u, v, w, h, left, top, width, height);
    return left >= 0 && top >= 0 && left + width <= layer_.width() && top + height <= layer_.height();
}

void LabelCanvas::reset(int width, int length) {
    base_.reset(width, length);
    if (late_used_) late_.reset(width, length);
    late_used_ = false;
    valid_ = false;
    drawn_ = false;
    overlays_.clear();
}

Bitmap &LabelCanvas::layer(bool late) {
    if (finishing_) return page_;
    if (!late) return base_;
    if (!late_used_) {
        late_.reset(base_.width(), base_.height());
        late_used_ = true;
    }
    return late_;
}

bool LabelCanvas::overlay(const Overlay &o) {
    if (overlays_.size() >= limits::kMaxOverlays) return false;
    overlays_.push_back(o);
    return true;
}

Bitmap &LabelCanvas::compose() {
    if (valid_) return page_;
    page_.copy_from(base_);
    if (late_used_) page_.merge(late_);
    valid_ = true;
    return page_;
}

Bitmap &LabelCanvas::finish(bool upside_down, const std::function<void()> &draw_more) {
    compose();
    {
        const Held<bool> finishing(finishing_, true);
        draw_more();
    }
    for (const Overlay &ov : overlays_) page_.paint(ov.x, ov.y, ov.w, ov.h, ov.ink);
    if (upside_down) page_.turn_half();
    valid_ = false;
    return page_;
}

}  // namespace quillbar::preview
