// SPDX-License-Identifier: MIT
// The label being built: its layers, what goes over everything, and the
// picture that is printed; and the painter that puts an object on a layer.
#pragma once

#include <functional>
#include <vector>

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
    // Whether an object-space rectangle reaches the layer at all.
    bool visible(long u, long v, long w, long h) const;
    bool inside(long u, long v, long w, long h) const;

private:
    Bitmap &layer_;
    long x_, y_;
    int rotation_;
};

// Objects are drawn in command order into the base layer; graphics (GW,
// GG), Postnet and a form's substituted data into a late layer laid down
// after the rest; LE and LW over everything. The printed picture is
// composed from them, once for as many prints as nothing changes.
class LabelCanvas {
public:
    struct Overlay {
        long x, y, w, h;
        Bitmap::Ink ink;
    };

    // A new, empty label of the size given.
    void reset(int width, int length);
    // The layer an object goes to; while a label is being finished, the
    // printed picture itself.
    Bitmap &layer(bool late);
    void touched() {
        valid_ = false;
        drawn_ = true;
    }
    // The composition is made anew at the next print.
    void invalidate() { valid_ = false; }
    // LE or LW over everything; false when the label holds as many as it may.
    bool overlay(const Overlay &o);
    bool has_overlays() const { return !overlays_.empty(); }
    bool finishing() const { return finishing_; }
    bool drawn() const { return drawn_; }

    // Nothing but the base layer on the label: it is the printed picture.
    bool plain() const { return !late_used_ && overlays_.empty(); }
    const Bitmap &base() const { return base_; }
    // The base layer with the late one laid over it.
    Bitmap &compose();
    // The composition, then draw_more() on it (objects drawn anew for each
    // label), the overlays, and with upside_down the whole turned: the
    // printed picture. The next print composes anew.
    Bitmap &finish(bool upside_down, const std::function<void()> &draw_more);

private:
    Bitmap base_, late_, page_;
    bool late_used_ = false;
    bool valid_ = false;  // page_ holds the composition of the layers as they are
    bool drawn_ = false;
    bool finishing_ = false;
    std::vector<Overlay> overlays_;
};

}  // namespace quillbar::preview
