// SPDX-License-Identifier: MIT
#include "label_canvas.h"

#include <algorithm>
#include <limits>

#include <algorithm>

#include "bounds.h"
#include "held.h"

namespace quillbar::preview {

void LabelCanvas::reset(int width, int length) {
    take_back();
    base_.reset(width, length);
    if (late_used_) late_.reset(width, length);
    late_used_ = false;
    valid_ = false;
    drawn_ = false;
    objects_ = 0;
    overlays_.clear();
}

Bitmap &LabelCanvas::layer(bool late) {
    if (finishing_) return page_;
    take_back();
    if (!late) return base_;
    if (!late_used_) {
        late_.reset(base_.width(), base_.height());
        late_used_ = true;
    }
    return late_;
}

void LabelCanvas::begin_mark() {
    base_.begin_mark();
    late_.begin_mark();
    page_.begin_mark();
    overlays_at_mark_ = overlays_.size();
}

bool LabelCanvas::marked(long &x0, long &y0, long &x1, long &y1) const {
    x0 = y0 = std::numeric_limits<long>::max();
    x1 = y1 = std::numeric_limits<long>::min();
    const auto add = [&](long a0, long b0, long a1, long b1) {
        if (a1 <= a0 || b1 <= b0) return;
        x0 = std::min(x0, a0), y0 = std::min(y0, b0), x1 = std::max(x1, a1), y1 = std::max(y1, b1);
    };
    for (const Bitmap *layer : {&base_, &late_, &page_}) {
        long a0, b0, a1, b1;
        layer->marked_area(a0, b0, a1, b1);
        add(a0, b0, a1, b1);
    }
    for (std::size_t i = overlays_at_mark_; i < overlays_.size(); ++i) {
        const Overlay &o = overlays_[i];
        add(std::max(0L, o.x), std::max(0L, o.y), std::min<long>(o.x + o.w, base_.width()),
            std::min<long>(o.y + o.h, base_.height()));
    }
    return x1 > x0 && y1 > y0;
}

bool LabelCanvas::overlay(const Overlay &o) {
    if (overlays_.size() >= limits::kMaxOverlays) return false;
    overlays_.push_back(o);
    return true;
}

const Bitmap &LabelCanvas::compose() {
    if (merged_ || !late_used_) return base_;
    long x0, y0, x1, y1;
    late_.dirty_area(x0, y0, x1, y1);
    covered_ = base_.region(x0, y0, x1 - x0, y1 - y0);
    covered_x_ = std::max(0L, x0);
    covered_y_ = std::max(0L, y0);
    base_.merge(late_);
    merged_ = true;
    return base_;
}

void LabelCanvas::take_back() {
    if (!merged_) return;
    base_.put(covered_, covered_x_, covered_y_);
    covered_ = Bitmap();
    merged_ = false;
}

void LabelCanvas::compose_page() {
    take_back();
    if (valid_) return;
    page_.copy_from(base_);
    if (late_used_) page_.merge(late_);
    valid_ = true;
}

Bitmap &LabelCanvas::finish(bool upside_down, const std::function<void()> &draw_more) {
    compose_page();
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
