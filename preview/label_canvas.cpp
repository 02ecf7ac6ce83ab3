// SPDX-License-Identifier: MIT
#include "label_canvas.h"

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
