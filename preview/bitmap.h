// SPDX-License-Identifier: MIT
// A 1-bit picture in printer dots: the image buffer of a label, or one object
// drawn before it is placed on the label.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace quillbar::preview {

// Dots in memory the system hands out already white (zeroed): a large
// picture costs only the pages drawn on, not a clearing pass over all of it.
class Dots {
public:
    Dots() = default;
    Dots(Dots &&other) noexcept : data_(std::move(other.data_)), size_(std::exchange(other.size_, 0)) {}
    Dots &operator=(Dots &&other) noexcept {
        data_ = std::move(other.data_);
        size_ = std::exchange(other.size_, 0);
        return *this;
    }
    std::uint8_t &operator[](std::size_t i) { return data_.get()[i]; }
    std::uint8_t operator[](std::size_t i) const { return data_.get()[i]; }
    std::uint8_t *data() { return data_.get(); }
    const std::uint8_t *data() const { return data_.get(); }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    // At least n dots, all white: what was there is not kept.
    void make_white(std::size_t n);

private:
    struct Free {
        void operator()(std::uint8_t *p) const { std::free(p); }
    };
    std::unique_ptr<std::uint8_t[], Free> data_;
    std::size_t size_ = 0;
};

class Bitmap {
public:
    Bitmap() = default;
    Bitmap(int width, int height) { reset(width, height); }
    Bitmap(const Bitmap &other) { copy_from(other); }
    Bitmap &operator=(const Bitmap &other) {
        if (this != &other) copy_from(other);
        return *this;
    }
    // What is moved from is left empty.
    Bitmap(Bitmap &&other) noexcept { *this = std::move(other); }
    Bitmap &operator=(Bitmap &&other) noexcept {
        dots_ = std::move(other.dots_);
        width_ = std::exchange(other.width_, 0);
        height_ = std::exchange(other.height_, 0);
        dirty_x0_ = std::exchange(other.dirty_x0_, kNowhere);
        dirty_y0_ = std::exchange(other.dirty_y0_, kNowhere);
        dirty_x1_ = std::exchange(other.dirty_x1_, 0);
        dirty_y1_ = std::exchange(other.dirty_y1_, 0);
        return *this;
    }

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
    // The rectangle (x, y, width, height), clipped, as a picture of its own.
    Bitmap region(long x, long y, long width, long height) const;
    // other's dots, white ones too, written over this picture from (x, y).
    void put(const Bitmap &other, long x, long y);
    // Where the picture may be black; outside it every dot is white. Empty
    // (x1 <= x0) when nothing is drawn.
    void dirty_area(long &x0, long &y0, long &x1, long &y1) const {
        x0 = dirty_x0_, y0 = dirty_y0_, x1 = dirty_x1_, y1 = dirty_y1_;
    }
    // What was drawn since begin_mark(): the box of it, empty (x1 <= x0)
    // when nothing was. A picture never asked keeps no such box.
    void begin_mark() {
        marking_ = true;
        mark_x0_ = mark_y0_ = kNowhere, mark_x1_ = mark_y1_ = 0;
    }
    void marked_area(long &x0, long &y0, long &x1, long &y1) const {
        x0 = mark_x0_, y0 = mark_y0_, x1 = mark_x1_, y1 = mark_y1_;
    }
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
        if (!marking_) return;
        mark_x0_ = std::min(mark_x0_, x0);
        mark_y0_ = std::min(mark_y0_, y0);
        mark_x1_ = std::max(mark_x1_, x1);
        mark_y1_ = std::max(mark_y1_, y1);
    }
    void touch_all() { touch(0, 0, width_, height_); }
    int width_ = 0;
    int height_ = 0;
    Dots dots_;  // 1 = black, row after row; may hold more than width x height
    // What may be black; nothing drawn is an empty rectangle far from the
    // origin, so the first drawing alone sets it (not the origin too). Far
    // enough for no position to reach it, near enough that adding a
    // position to it cannot overflow.
    static constexpr long kNowhere = std::numeric_limits<int>::max();
    long dirty_x0_ = kNowhere, dirty_y0_ = kNowhere, dirty_x1_ = 0, dirty_y1_ = 0;
    long mark_x0_ = kNowhere, mark_y0_ = kNowhere, mark_x1_ = 0, mark_y1_ = 0;
    bool marking_ = false;
};

// A printer's true dots a millimetre: "12 dots/mm" is a 300-dpi head, 11.81
// a millimetre; "8 dots/mm" is 8 (203.2 dpi, the 203-dpi head within its
// tolerance).
double true_dots_per_mm(int dots_per_mm);

// Writes the picture as a 1-bit greyscale PNG, black on white, each dot as
// scale x scale pixels, with the printer's resolution (its true dots a
// millimetre times the scale) in its pHYs chunk. False, with errno set where the system said why,
// when it cannot be written.
bool write_png(const std::string &path, const Bitmap &bitmap, int scale = 1, int dots_per_mm = 8);
// The same PNG into memory: false (out empty or partial) for an empty picture
// or when memory runs out. With grayscale, 8 bits a pixel (0 or 255) for
// readers that take no 1-bit pictures; the same picture.
bool encode_png(const Bitmap &bitmap, std::vector<unsigned char> &out, int scale = 1, int dots_per_mm = 8,
                bool grayscale = false);

}  // namespace quillbar::preview
