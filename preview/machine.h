// SPDX-License-Identifier: MIT
// The inside of the virtual printer: the printer's state, forms, printing,
// and what every command handler works with. The stream reader
// (stream_reader.h) hands it lines, the command table (command_table.h)
// says what each is, the label canvas (label_canvas.h) holds what is drawn.
// Handlers live one family to a file (settings, text, bar codes, graphics,
// forms, replies).
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "bitmap.h"
#include "bounds.h"
#include "command_table.h"
#include "epl2_printer.h"
#include "fields.h"
#include "label_canvas.h"
#include "printer_state.h"
#include "soft_fonts.h"
#include "stream_reader.h"

namespace quillbar::preview {

struct Form {
    struct Entry {
        std::string line;    // as stored, line end removed
        std::string binary;  // GW data that followed the line
        std::size_t offset;
        long line_number;    // in the stream, for diagnostics
    };
    std::vector<Entry> entries;
    std::size_t bytes = 0;
};

struct Variable {
    long width = 1;
    char justify = 'N';
    std::string value;
};
struct Counter {
    long digits = 1;
    char justify = 'N';
    long step = 1;
    long value = 0;
    std::size_t shown_digits = 1;  // a start value 01 keeps its leading zero
};

struct Machine final : StreamReader::Listener {
    explicit Machine(VirtualPrinter::Options o);

    // ---- the stream ----
    void feed(const std::uint8_t *p, std::size_t size) { reader.feed(p, size); }
    // The stream or the job ended: what is half read is reported, and
    // nothing of this job is left to the next (a form being stored, data
    // awaited, the job's label count).
    void finish();
    // line: the stream's line it came from (0: the one the reader is on).
    void run_line(std::string line, std::size_t offset, const std::string *binary = nullptr,
                  const DataHeader *header = nullptr, long line_number = 0);
    void on_line(std::string text, std::size_t at, const std::string *data, const DataHeader *header) override {
        run_line(std::move(text), at, data, header);
    }
    void on_data_line(std::string text, std::size_t at, bool last) override;
    void on_problem(std::size_t at, const std::string &message, int code) override { diagnose(at, message, code); }
    void on_note(std::size_t at, const std::string &command, const std::string &what) override {
        lenient(at, command, what);
    }
    StreamReader reader{*this};

    // ---- diagnostics and the report ----
    void diagnose(std::size_t at, const std::string &message, int code = 1);
    void event(std::size_t at, const std::string &command, const std::string &detail);
    void lenient(std::size_t at, const std::string &command, const std::string &what);
    std::vector<Diagnostic> diagnostics;
    std::vector<Event> events;
    std::size_t dropped_diagnostics = 0, dropped_events = 0;
    std::optional<std::chrono::steady_clock::time_point> deadline;  // no line runs after it
    bool stopped = false;
    long running_line = 0;            // the stream line of the line running, for diagnostics
    const char *running_command = "";  // and its command
    int last_error = 0;  // for ^ee: the code of the last line that failed
    int condition = 0;   // a state the printer is in (out of paper, head up, paused): ^ee reports it until it clears

    // ---- the printer's state ----
    PrinterState state;
    std::map<std::string, std::string> settings_report;  // produced from state when asked
    std::map<std::string, Bitmap> graphics;
    std::size_t graphics_bytes = 0;
    std::map<std::string, Form> forms;
    std::size_t form_bytes = 0;
    std::map<char, SoftFont> soft_fonts;  // by letter
    std::size_t soft_font_bytes = 0;

    // ---- forms being stored and run ----
    bool storing = false;
    std::string storing_name;
    Form storing_form;
    bool storing_refused = false;
    const Form *awaiting = nullptr;  // retrieved, waiting for its '?' data
    std::string awaiting_name;
    std::vector<std::string> data_values;
    std::map<int, Variable> variables;
    std::map<int, Counter> counters;
    bool substituting = false;  // a retrieved form runs: data may hold variables and counters
    void run_form(const Form &form);
    // The value of V00..V99, C0..C9, TT or TD as it stands; none when the
    // form defines no such variable or counter.
    std::optional<std::string> resolve_token(const std::string &token) const;

    // ---- the label ----
    LabelCanvas canvas;
    struct CounterObject {
        std::string line;
        std::size_t offset;
        long line_number;
    };
    std::vector<CounterObject> counter_objects;  // drawn anew for each label set
    std::vector<std::string> notes;
    // What is drawn on the label, and what is drawn anew on each printed
    // picture (counter objects).
    std::vector<Element> elements, printing_elements;
    void record_element(const Cmd &cmd);
    bool printing = false;  // one print engine: a print does not start another
    int nesting = 0;        // lines running inside other lines (limits::kMaxNesting)
    // The layer an object goes to: late for graphics and substituted data.
    Bitmap &object_layer(bool graphic) { return canvas.layer(graphic || substituting); }
    void touched() { canvas.touched(); }
    void reset_label();
    // q, Q and R format the image buffer anew, as printers do: what was drawn
    // on it is gone, and that is said (no printer error).
    void reformat_label(std::size_t at, const std::string &command);
    void note_outside(std::size_t at);

    // ---- printing ----
    void print(long sets, long copies, std::size_t at);
    void emit(const Bitmap &image, long sets, long copies, std::size_t at);
    VirtualPrinter::Options options;
    long labels_printed = 0;
    long labels_this_job = 0;  // what Options::max_labels limits
    long soft_font_dots = 0;   // what limits::kMaxSoftFontDots limits, this job
    long labels_unrendered = 0;
    std::vector<PrintedLabel> labels;
    std::function<void(const LabelView &)> label_sink;
    std::function<void(const std::string &)> reply_sink;
    std::function<void(const GwBlock &)> gw_sink;
    void reply(const std::string &text) {
        if (reply_sink) reply_sink(text);
    }
};

// Removes the entry called name, or every entry for "*", taking what each
// held (size(entry)) off bytes and telling gone(entry) first. Returns how
// many went (GK and FK).
template <class Map, class Size, class Gone>
std::size_t remove_named(Map &map, const std::string &name, std::size_t &bytes, Size size, Gone gone) {
    std::size_t removed = 0;
    for (auto it = map.begin(); it != map.end();) {
        if (name != "*" && it->first != name) {
            ++it;
            continue;
        }
        gone(it->second);
        bytes -= size(it->first, it->second);
        it = map.erase(it);
        ++removed;
    }
    return removed;
}

// Handlers, one family a file.
namespace settings {
void clear(Machine &, Cmd &);
void width(Machine &, Cmd &);
void length(Machine &, Cmd &);
void reference(Machine &, Cmd &);
void number_setting(Machine &, Cmd &);
void word_setting(Machine &, Cmd &);
void options(Machine &, Cmd &);
void direction(Machine &, Cmd &);
void character_set(Machine &, Cmd &);
void comment(Machine &, Cmd &);
void reset(Machine &, Cmd &);
void cut(Machine &, Cmd &);
}  // namespace settings
namespace text {
void draw(Machine &, Cmd &);
}
namespace barcodes {
void linear(Machine &, Cmd &);
void two_dimensional(Machine &, Cmd &);
}
namespace graphics {
void write(Machine &, Cmd &);  // GW, with its data in cmd.binary
void store(Machine &, Cmd &);  // GM, with its data in cmd.binary
void place(Machine &, Cmd &);
void remove(Machine &, Cmd &);
void list(Machine &, Cmd &);
void lines(Machine &, Cmd &);
void diagonal(Machine &, Cmd &);
void box(Machine &, Cmd &);
}  // namespace graphics
namespace soft_fonts {
void store(Machine &, Cmd &);  // ES, with its data in cmd.binary
void list(Machine &, Cmd &);
void remove(Machine &, Cmd &);
}  // namespace soft_fonts
namespace forms {
void start(Machine &, Cmd &);
void end(Machine &, Cmd &);
void retrieve(Machine &, Cmd &);
void remove(Machine &, Cmd &);
void list(Machine &, Cmd &);
void variable(Machine &, Cmd &);
void counter(Machine &, Cmd &);
void data(Machine &, Cmd &);
void print(Machine &, Cmd &);
void auto_print(Machine &, Cmd &);
}  // namespace forms
namespace replies {
void errors(Machine &, Cmd &);
void configuration(Machine &, Cmd &);
void memory(Machine &, Cmd &);
void character_set(Machine &, Cmd &);
void reporting(Machine &, Cmd &);
void error_format(Machine &, Cmd &);
void lists(Machine &, Cmd &);
}  // namespace replies

}  // namespace quillbar::preview
