// SPDX-License-Identifier: MIT
#include "painter.h"

#include <algorithm>

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

long Painter::visible_area(long u, long v, long w, long h) const {
    long left, top, width, height;
    place(u, v, w, h, left, top, width, height);
    const long x0 = std::max(0L, left), y0 = std::max(0L, top);
    const long x1 = std::min<long>(layer_.width(), left + width), y1 = std::min<long>(layer_.height(), top + height);
    return x1 > x0 && y1 > y0 ? (x1 - x0) * (y1 - y0) : 0;
}

bool Painter::inside(long u, long v, long w, long h) const {
    long left, top, width, height;
    place(u, v, w, h, left, top, width, height);
    return left >= 0 && top >= 0 && left + width <= layer_.width() && top + height <= layer_.height();
}

}  // namespace quillbar::preview
