// SPDX-License-Identifier: MIT
// A 1-bit picture in printer dots: the image buffer of a label, or one object
// drawn before it is placed on the label.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quillbar::preview {

class Bitmap {
public:
    Bitmap() = default;
    Bitmap(int width, int height)
        : width_(width > 0 ? width : 0), height_(height > 0 ? height : 0),
          dots_(static_cast<std::size_t>(width_) * height_, 0) {}

    int width() const { return width_; }
    int height() const { return height_; }
    bool empty() const { return dots_.empty(); }
    bool inside(long x, long y) const { return x >= 0 && y >= 0 && x < width_ && y < height_; }
    bool black(long x, long y) const { return inside(x, y) && dots_[index(x, y)]; }

    // Writes a dot; dots outside the picture are dropped.
    void set(long x, long y, bool black = true) {
        if (inside(x, y)) dots_[index(x, y)] = black;
    }
    // Fills a rectangle, clipped to the picture.
    void fill(long x, long y, long width, long height, bool black = true);
    void clear() { std::fill(dots_.begin(), dots_.end(), 0); }
    long count_black() const;

    // The picture turned clockwise by quarter_turns x 90 degrees.
    Bitmap turned_clockwise(int quarter_turns) const;
    // Each dot as a block of h x v dots.
    Bitmap magnified(int h, int v) const;

private:
    std::size_t index(long x, long y) const { return static_cast<std::size_t>(y) * width_ + x; }
    int width_ = 0;
    int height_ = 0;
    std::vector<std::uint8_t> dots_;  // 1 = black, row after row
};

// Writes the picture black on white as an 8-bit greyscale PNG, each dot as
// scale x scale pixels.
bool write_png(const std::string &path, const Bitmap &bitmap, int scale = 1);

}  // namespace quillbar::preview
