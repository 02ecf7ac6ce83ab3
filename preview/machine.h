// SPDX-License-Identifier: MIT
// The inside of the virtual printer: the stream reader, the printer's state,
// the label's layers, and what every command handler works with. Handlers
// live one family to a file (settings, text, bar codes, graphics, forms,
// replies) and are reached through one table (commands.cpp).
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "bitmap.h"
#include "epl2_printer.h"
#include "bounds.h"

namespace quillbar::preview {

struct Machine;

// One command line: the letters the table matched, and the rest.
struct Cmd {
    std::string letters;
    std::string rest;                 // after the letters, line end and trailing blanks removed
    std::size_t offset = 0;
    std::vector<std::string> fields;  // rest split at commas outside quotes
    const std::string *binary = nullptr;  // GW or GM data that came with the line
    Machine *machine = nullptr;
};

// Reads a command's fields in order; the first field missing or malformed is
// the error, named by command and position.
class Fields {
public:
    explicit Fields(const Cmd &cmd) : cmd_(cmd) {}
    bool number(std::size_t i, long &value);
    // A number where an empty field means zero (a GW count as the library writes it).
    bool count(std::size_t i, long &value);
    bool word(std::size_t i, std::string &value);
    // A quoted name: "NAME", escapes resolved.
    bool name(std::size_t i, std::string &value);
    // The data field starting at field i, to the end of the line: quoted
    // literals and variable, counter, time and date tokens.
    bool data(std::size_t i, std::string &value);
    std::size_t size() const { return cmd_.fields.size(); }
    const std::string &error() const { return error_; }
    void fail(const std::string &message) {
        if (error_.empty()) error_ = message;
    }

private:
    bool at(std::size_t i, const char *missing);
    const Cmd &cmd_;
    std::string error_;
};

// Splits a command's fields at commas outside quotes; starts gets where
// each field begins.
std::vector<std::string> split_fields(const std::string &rest, std::vector<std::size_t> &starts);

// Parses a decimal number strictly: an optional '-', then digits only.
bool parse_number(const std::string &field, long &value);
// Printable for a report: control bytes shown as dots, long text cut.
std::string shown(const std::string &text, std::size_t longest = 40);

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

struct Form {
    struct Entry {
        std::string line;    // as stored, line end removed
        std::string binary;  // GW data that followed the line
        std::size_t offset;
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

struct Machine {
    explicit Machine(Printer::Options o);

    // ---- the stream reader ----
    enum class Mode { line, block, skip_bytes, skip_line, data_lines };
    void feed(const std::uint8_t *p, std::size_t size);
    void finish();
    void end_line();
    void run_line(std::string line, std::size_t offset, const std::string *binary = nullptr);
    void start_gw(std::string header, std::size_t offset);
    void start_block(const std::string &kind, std::size_t size, std::size_t offset);
    void end_block();

    Mode mode = Mode::line;
    std::size_t offset = 0;  // of the next byte fed
    std::string line;
    std::size_t line_offset = 0;
    int line_commas = 0;
    std::string block;            // GW or GM data being read
    std::size_t block_size = 0;   // bytes the block announced
    std::size_t skip_left = 0;    // bytes still to skip
    std::size_t block_offset = 0;
    std::string block_kind;       // "GW" or "GM"
    std::string block_header;     // the line the data belongs to
    long data_lines_left = 0;     // lines after '?' that are data

    // ---- diagnostics and the report ----
    void diagnose(std::size_t at, const std::string &message, int code = 1);
    void event(std::size_t at, const std::string &command, const std::string &detail);
    void lenient(std::size_t at, const std::string &command, const std::string &what);
    std::vector<Diagnostic> diagnostics;
    std::vector<Event> events;
    std::size_t dropped_diagnostics = 0, dropped_events = 0;
    int last_error = 0;  // for ^ee: the code of the last line that failed
    int condition = 0;   // a state the printer is in (out of paper, head up, paused): ^ee reports it until it clears

    // ---- the printer's state ----
    int width = Printer::kDefaultWidth;
    int length = Printer::kDefaultLength;
    long ref_x = 0, ref_y = 0;
    bool upside_down = false;  // ZB
    std::map<std::string, std::string> settings;
    std::string code_page = "437";  // I p2 as a code page name, for resident fonts
    int data_bits = 8;
    std::string country = "001";
    std::map<std::string, Bitmap> graphics;
    std::size_t graphics_bytes = 0;
    std::map<std::string, Form> forms;
    std::size_t form_bytes = 0;
    bool reporting = false;  // US

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
    Bitmap base;   // objects drawn in command order
    Bitmap late;   // graphics (GW, GG), Postnet, variable fields: laid down after the rest
    Bitmap page;   // the label as printed, composed from the layers; reused
    bool late_used = false;
    bool page_valid = false;  // page holds the composition of the layers as they are
    bool drawn = false;
    struct Overlay {
        long x, y, w, h;
        Bitmap::Ink ink;
    };
    std::vector<Overlay> overlays;  // LE and LW: over everything else
    struct CounterObject {
        std::string line;
        std::size_t offset;
    };
    std::vector<CounterObject> counter_objects;  // drawn anew for each label set
    std::vector<std::string> notes;
    bool in_counter_pass = false;
    bool printing = false;  // one print engine: a print does not start another
    int nesting = 0;        // lines running inside other lines (limits::kMaxNesting)
    Bitmap &layer(bool late_layer);
    // The layer an object goes to: late for graphics and substituted data.
    Bitmap &object_layer(bool graphic);
    void touched() { page_valid = false; drawn = true; }
    void reset_label();
    void note_outside(std::size_t at);

    // ---- printing ----
    void print(long sets, long copies, std::size_t at);
    void compose();
    void emit(const Bitmap &image, long sets, long copies, std::size_t at);
    Printer::Options options;
    long labels_printed = 0;
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

// The command table: letters to handler, and whether a form may hold it.
using Handler = void (*)(Machine &, Cmd &);
struct CommandEntry {
    const char *letters;
    Handler run;
    bool in_form;
};
// The entry whose letters start line, the longest that fits; null for none.
const CommandEntry *find_command(const std::string &line);

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
