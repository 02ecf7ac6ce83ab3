// SPDX-License-Identifier: MIT
#pragma once

#include "bitmap.h"

namespace quillbar::preview {

// Paints one object into a layer: object coordinates (u along the object,
// v down it) turned clockwise about its origin as EPL2 turns text and bar
// codes, clipped to the layer before anything is touched.
class Painter {
public:
    Painter(Bitmap &layer, long x, long y, int rotation) : layer_(layer), x_(x), y_(y), rotation_(rotation & 3) {}
    void rect(long u, long v, long w, long h, Bitmap::Ink ink = Bitmap::Ink::black);
    // Where an object-space rectangle lands on the layer.
    void place(long u, long v, long w, long h, long &left, long &top, long &width, long &height) const;
    // Whether an object-space rectangle reaches the layer at all, and how
    // many of the layer's dots it covers.
    bool visible(long u, long v, long w, long h) const;
    long visible_area(long u, long v, long w, long h) const;
    bool inside(long u, long v, long w, long h) const;

private:
    Bitmap &layer_;
    long x_, y_;
    int rotation_;
};

}  // namespace quillbar::preview
