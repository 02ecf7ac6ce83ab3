// SPDX-License-Identifier: MIT
// A 1-bit picture in printer dots: the image buffer of a label, or one object
// drawn before it is placed on the label.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace quillbar::preview {

class Bitmap {
public:
    Bitmap() = default;
    Bitmap(int width, int height) { reset(width, height); }

    // Makes the picture width x height and all white. Only the dots drawn
    // since the last reset are cleared, and the memory is kept when it is
    // large enough: N on a large label costs what was drawn on it.
    void reset(int width, int height);

    int width() const { return width_; }
    int height() const { return height_; }
    bool empty() const { return dots_.empty(); }
    bool inside(long x, long y) const { return x >= 0 && y >= 0 && x < width_ && y < height_; }
    bool black(long x, long y) const { return inside(x, y) && dots_[index(x, y)]; }

    // Writes a dot; dots outside the picture are dropped.
    void set(long x, long y, bool black = true) {
        if (!inside(x, y)) return;
        dots_[index(x, y)] = black;
        touch(x, y, x + 1, y + 1);
    }
    // Fills, erases or inverts a rectangle, clipped to the picture first.
    enum class Ink { black, white, invert };
    void fill(long x, long y, long width, long height, bool black = true) {
        paint(x, y, width, height, black ? Ink::black : Ink::white);
    }
    void paint(long x, long y, long width, long height, Ink ink);
    void clear() { reset(width_, height_); }
    long count_black() const;

    // Every black dot of other, placed with its top-left at (x, y), clipped.
    void merge(const Bitmap &other, long x = 0, long y = 0);
    // This picture as other is, reusing the memory.
    void copy_from(const Bitmap &other);
    // Turned 180 degrees in place.
    void turn_half();

    // The picture turned clockwise by quarter_turns x 90 degrees.
    Bitmap turned_clockwise(int quarter_turns) const;
    // Each dot as a block of h x v dots.
    Bitmap magnified(int h, int v) const;

    const std::uint8_t *row(long y) const { return dots_.data() + index(0, y); }

private:
    std::size_t index(long x, long y) const {
        return static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) + static_cast<std::size_t>(x);
    }
    std::size_t area() const { return static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_); }
    void touch(long x0, long y0, long x1, long y1) {
        dirty_x0_ = std::min(dirty_x0_, x0);
        dirty_y0_ = std::min(dirty_y0_, y0);
        dirty_x1_ = std::max(dirty_x1_, x1);
        dirty_y1_ = std::max(dirty_y1_, y1);
    }
    void touch_all() { touch(0, 0, width_, height_); }
    int width_ = 0;
    int height_ = 0;
    std::vector<std::uint8_t> dots_;  // 1 = black, row after row; may hold more than width x height
    long dirty_x0_ = 0, dirty_y0_ = 0, dirty_x1_ = 0, dirty_y1_ = 0;  // what may be black
};

// Writes the picture as a 1-bit greyscale PNG, black on white, each dot as
// scale x scale pixels, with the printer's resolution (8 dots/mm, divided by
// the scale) in its pHYs chunk. False, with errno set where the system said
// why, when it cannot be written.
bool write_png(const std::string &path, const Bitmap &bitmap, int scale = 1);

}  // namespace quillbar::preview
