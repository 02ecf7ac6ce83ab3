// SPDX-License-Identifier: MIT
// A virtual EPL2 printer: takes a command stream in chunks of any size, keeps
// the printer's state, and renders every printed label as a picture.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "bitmap.h"

namespace quillbar::preview {

// Something the printer could not do with a line, or noticed about it.
struct Diagnostic {
    std::size_t offset;  // of the line's first byte in the stream
    std::string message;
};

// What the printer did with one command, for a report.
struct Event {
    std::size_t offset;
    std::string command;  // "A", "GW", ...
    std::string detail;
};

struct PrintedLabel {
    Bitmap image;
    long sets = 1;
    long copies = 1;
    std::size_t offset = 0;  // of the P command
    std::vector<std::string> notes;  // an empty label, objects outside it
};

class Printer {
public:
    static constexpr int kDefaultWidth = 832;    // a 4-inch printer at 203 dpi
    static constexpr int kDefaultLength = 1200;  // 150 mm

    Printer();

    // Takes the next bytes of the stream; lines and data may be cut anywhere.
    void feed(const void *data, std::size_t size);
    // The stream ended: a line or data block still open is reported.
    void finish();

    // Labels printed since the last call.
    std::vector<PrintedLabel> take_labels();
    const std::vector<Diagnostic> &diagnostics() const { return diagnostics_; }
    const std::vector<Event> &events() const { return events_; }

    // The state, as the printer holds it now.
    int width() const { return width_; }
    int length() const { return length_; }
    const Bitmap &buffer() const { return buffer_; }
    const std::map<std::string, Bitmap> &stored_graphics() const { return stored_; }
    const std::map<std::string, std::string> &settings() const { return settings_; }

private:
    enum class Mode { line, gw_data, gm_data, skip_line };

    void take_line(std::string line, std::size_t offset);
    void run(const std::string &command, const std::vector<std::string> &fields, const std::string &line,
             std::size_t offset);
    void diagnose(std::size_t offset, std::string message);
    void note(std::size_t offset, std::string command, std::string detail);
    void reset_buffer();
    // Places a picture with its top-left corner at (x, y) in dots from the
    // reference point, turned clockwise about that corner.
    void place(const Bitmap &picture, long x, long y, int quarter_turns, bool reverse, std::size_t offset);
    void end_binary();

    // Commands
    void draw_text(const std::vector<std::string> &fields, std::size_t offset);
    void draw_barcode(const std::vector<std::string> &fields, std::size_t offset);
    void draw_lines(const std::string &command, const std::vector<std::string> &fields, std::size_t offset);
    void draw_box(const std::vector<std::string> &fields, std::size_t offset);
    void start_gw(const std::string &header, std::size_t offset);
    void start_gm(const std::string &line, std::size_t offset);
    void print(const std::vector<std::string> &fields, std::size_t offset);

    std::size_t offset_ = 0;  // of the next byte fed
    Mode mode_ = Mode::line;
    std::string line_;
    std::size_t line_offset_ = 0;
    int line_commas_ = 0;  // of a line that starts with GW

    // A binary block being read: GW image data or a GM file.
    std::vector<std::uint8_t> block_;
    std::size_t block_size_ = 0;
    std::size_t block_offset_ = 0;
    long gw_x_ = 0, gw_y_ = 0, gw_row_bytes_ = 0, gw_rows_ = 0;
    std::string gm_name_;

    int width_ = kDefaultWidth;
    int length_ = kDefaultLength;
    long ref_x_ = 0, ref_y_ = 0;
    Bitmap buffer_;
    bool drawn_ = false;
    std::vector<std::string> pending_notes_;
    std::map<std::string, Bitmap> stored_;
    std::map<std::string, std::string> settings_;
    std::vector<PrintedLabel> labels_;
    std::vector<Diagnostic> diagnostics_;
    std::vector<Event> events_;
};

}  // namespace quillbar::preview
