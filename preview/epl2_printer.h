// SPDX-License-Identifier: MIT
// A virtual EPL2 printer: takes a command stream in chunks of any size, keeps
// the printer's state, and renders every printed label as a picture. It is
// bounded by what it prints, not by what a stream claims (limits.h).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bitmap.h"

namespace quillbar::preview {

struct Machine;

// Something the printer could not do with a line, or noticed about it.
struct Diagnostic {
    std::size_t offset;  // of the line's first byte in the stream
    std::string message;
    int code = 1;        // the printer's error code: 01 syntax, 02 past the border, 03 bar-code data, ...
    long line = 0;        // the line it is on, counted from 1 by line feeds (binary data included)
    std::string command;  // the command's letters, where the line was one
};

// What the printer did with one command, for a report.
struct Event {
    std::size_t offset;
    std::string command;  // "A", "GW", ...
    std::string detail;
};

// Something drawn on a label: its command and the stream line it came
// from, the box of the dots it drew (after the label is turned, for ZB),
// and its data (text, a bar code's, a graphic's name) where it has any.
struct Element {
    std::string command;  // "A", "B", "LO", ...
    long line = 0;
    std::size_t offset = 0;
    long x = 0, y = 0, width = 0, height = 0;
    std::string data;
};

struct PrintedLabel {
    Bitmap image;
    long sets = 1;
    long copies = 1;
    std::size_t offset = 0;          // of the P command
    long number = 0;                 // 1 for the first label of the stream
    std::vector<std::string> notes;  // an empty label, objects outside it
};

// A label as it is printed: the image is the printer's own, valid during the
// call only (nothing is copied to hand it over).
struct LabelView {
    const Bitmap &image;
    long sets;
    long copies;
    std::size_t offset;
    long number;
    const std::vector<std::string> &notes;
    const std::vector<Element> *elements = nullptr;  // what was drawn on it, in command order
};

// One GW block as it arrived: position, row bytes, rows and the data.
struct GwBlock {
    long x, y, row_bytes, rows;
    std::string data;
};

// The virtual printer: an EPL2 interpreter that draws what a printer would
// print (named apart from the library's connection to a real printer).
class VirtualPrinter {
public:
    static constexpr int kPrintWidth = 832;      // the head of a 4-inch printer at 203 dpi
    static constexpr int kDefaultWidth = 812;    // 4 x 6 inch media at 203 dpi,
    static constexpr int kDefaultLength = 1218;  // what CUPS and LPrint send pages for

    struct Options {
        long max_labels;  // labels rendered from one stream; 0: no limit
        // The media: the label's size where the stream sets none (no q, no Q).
        int media_width = kDefaultWidth;
        int media_length = kDefaultLength;
        // The printer's density: 8 dots a millimetre (203 dpi) or 12 (300
        // dpi), which sizes the resident fonts, MaxiCode and the print width.
        int dots_per_mm = 8;
        // Whether each label lists what was drawn on it (LabelView::elements).
        bool elements = false;
    };

    // The widest image a 4-inch printer of the density prints (R's width).
    static int print_width(int dots_per_mm) { return dots_per_mm == 12 ? 1248 : kPrintWidth; }
    // Its dots an inch, as the printers are sold: 203 or 300.
    static int dots_per_inch(int dots_per_mm) { return dots_per_mm == 12 ? 300 : 203; }

    VirtualPrinter();
    explicit VirtualPrinter(Options options);
    ~VirtualPrinter();
    VirtualPrinter(VirtualPrinter &&) noexcept;
    VirtualPrinter &operator=(VirtualPrinter &&) noexcept;

    // Takes the next bytes of the stream; lines and data may be cut anywhere.
    void feed(const void *data, std::size_t size);
    // The stream ended: a line or data block still open is reported.
    void finish();

    // Where printed labels go as they are printed. Without one, they are
    // kept (copied) for take_labels.
    void on_label(std::function<void(const LabelView &)> sink);
    // Where the printer's replies (^ee, UQ, UI, ...) go.
    void on_reply(std::function<void(const std::string &)> sink);
    // Sees every GW block as it arrives.
    void on_gw(std::function<void(const GwBlock &)> sink);

    // Labels printed since the last call (when no sink is set).
    std::vector<PrintedLabel> take_labels();
    const std::vector<Diagnostic> &diagnostics() const;
    const std::vector<Event> &events() const;
    // Diagnostics and events beyond the ones kept, only counted.
    std::size_t dropped_diagnostics() const;
    std::size_t dropped_events() const;
    // Labels printed but not rendered (past Options::max_labels).
    long unrendered_labels() const;

    // A state the printer is in until it is cleared (0): 7 out of paper or
    // ribbon, 11 head up, 12 paused, ... ^ee reports it first. Printing goes
    // on: what to do with labels meanwhile is the caller's.
    void set_condition(int code);

    // Runs no line after this time (a service's time for one stream); the
    // line running then finishes. stopped() says whether lines were left.
    void stop_at(std::chrono::steady_clock::time_point when);
    bool stopped() const;

    // The state, as the printer holds it now.
    int width() const;
    int length() const;
    const std::map<std::string, Bitmap> &stored_graphics() const;
    // Every setting the stream made, by name ("direction" = "ZB", ...).
    const std::map<std::string, std::string> &settings() const;
    std::vector<std::string> forms() const;

private:
    std::unique_ptr<Machine> m_;
};

}  // namespace quillbar::preview
