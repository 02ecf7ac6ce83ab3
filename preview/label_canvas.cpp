// SPDX-License-Identifier: MIT
#include "label_canvas.h"

#include "bounds.h"
#include "held.h"

namespace quillbar::preview {

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
