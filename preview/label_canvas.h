// SPDX-License-Identifier: MIT
// The label being built: its layers, what goes over everything, and the
// picture that is printed.
#pragma once

#include <functional>
#include <vector>

#include "bitmap.h"
#include "painter.h"

namespace quillbar::preview {

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
        ++objects_;
    }
    // Objects drawn on this label since it was cleared or last printed.
    long objects() const { return objects_; }
    void printed() { objects_ = 0; }
    // The composition is made anew at the next print.
    void invalidate() { valid_ = false; }
    // LE or LW over everything; false when the label holds as many as it may.
    bool overlay(const Overlay &o);
    bool has_overlays() const { return !overlays_.empty(); }

    // What one object draws: begin_mark() before it, marked() after it (the
    // box over every layer, and the overlays it added); false for nothing.
    void begin_mark();
    bool marked(long &x0, long &y0, long &x1, long &y1) const;
    bool finishing() const { return finishing_; }
    bool drawn() const { return drawn_; }

    // Nothing but the base layer on the label: it is the printed picture.
    bool plain() const { return !late_used_ && overlays_.empty(); }
    const Bitmap &base() const { return base_; }
    // The base layer with the late one laid over it, for printing as it is.
    // It is made in the base layer itself, what the late layer covers kept
    // aside and put back before anything is drawn again: a small graphic on
    // a large label costs its own area, not a copy of the label.
    const Bitmap &compose();
    // The composition, then draw_more() on it (objects drawn anew for each
    // label), the overlays, and with upside_down the whole turned: the
    // printed picture. The next print composes anew.
    Bitmap &finish(bool upside_down, const std::function<void()> &draw_more);

private:
    void compose_page();
    void take_back();

    Bitmap base_, late_, page_;
    bool merged_ = false;  // base_ holds the composition; covered_ what it held under the late layer
    Bitmap covered_;
    long covered_x_ = 0, covered_y_ = 0;
    bool late_used_ = false;
    bool valid_ = false;  // page_ holds the composition of the layers as they are
    bool drawn_ = false;
    long objects_ = 0;
    bool finishing_ = false;
    std::vector<Overlay> overlays_;
    std::size_t overlays_at_mark_ = 0;
};

}  // namespace quillbar::preview
