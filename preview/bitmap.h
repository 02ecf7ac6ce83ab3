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

    // Makes the picture width x height and all white, keeping the memory it
    // has when it is large enough (N on the same label allocates nothing).
    void reset(int width, int height) {
        width_ = width > 0 ? width : 0;
        height_ = height > 0 ? height : 0;
        dots_.assign(static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_), 0);
    }

    int width() const { return width_; }
    int height() const { return height_; }
    bool empty() const { return dots_.empty(); }
    bool inside(long x, long y) const { return x >= 0 && y >= 0 && x < width_ && y < height_; }
    bool black(long x, long y) const { return inside(x, y) && dots_[index(x, y)]; }

    // Writes a dot; dots outside the picture are dropped.
    void set(long x, long y, bool black = true) {
        if (inside(x, y)) dots_[index(x, y)] = black;
    }
    // Fills, erases or inverts a rectangle, clipped to the picture first.
    enum class Ink { black, white, invert };
    void fill(long x, long y, long width, long height, bool black = true) {
        paint(x, y, width, height, black ? Ink::black : Ink::white);
    }
    void paint(long x, long y, long width, long height, Ink ink);
    void clear() { std::fill(dots_.begin(), dots_.end(), 0); }
    long count_black() const;

    // Every black dot of other, placed with its top-left at (x, y), clipped.
    void merge(const Bitmap &other, long x = 0, long y = 0);
    // This picture as other is, reusing the memory.
    void copy_from(const Bitmap &other) {
        width_ = other.width_;
        height_ = other.height_;
        dots_.assign(other.dots_.begin(), other.dots_.end());
    }
    // Turned 180 degrees in place.
    void turn_half() { std::reverse(dots_.begin(), dots_.end()); }

    // The picture turned clockwise by quarter_turns x 90 degrees.
    Bitmap turned_clockwise(int quarter_turns) const;
    // Each dot as a block of h x v dots.
    Bitmap magnified(int h, int v) const;

    const std::uint8_t *row(long y) const { return dots_.data() + index(0, y); }

private:
    std::size_t index(long x, long y) const {
        return static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) + static_cast<std::size_t>(x);
    }
    int width_ = 0;
    int height_ = 0;
    std::vector<std::uint8_t> dots_;  // 1 = black, row after row
};

// Writes the picture as a 1-bit greyscale PNG, black on white, each dot as
// scale x scale pixels, with the printer's resolution (8 dots/mm, divided by
// the scale) in its pHYs chunk. False, with errno set where the system said
// why, when it cannot be written.
bool write_png(const std::string &path, const Bitmap &bitmap, int scale = 1);

}  // namespace quillbar::preview
