// SPDX-License-Identifier: MIT
#include "epl2_printer.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <set>

#include "barcodes.h"
#include "pcx.h"
#include "resident_fonts.h"

namespace quillbar::preview {
namespace {

// A line without a line end longer than this is noise: it is reported and
// skipped up to the next line end.
constexpr std::size_t kMaxLine = 64 * 1024;
// Pictures and labels larger than this are refused rather than drawn.
constexpr long kMaxBlock = 16L << 20;
constexpr int kMaxWidth = 4096;
constexpr int kMaxLength = 16384;

const std::set<std::string> kTwoLetterCommands = {"JB", "JF", "LO", "LE", "LW", "GW", "GM", "GG", "GK", "GI"};
const std::set<char> kOneLetterCommands = {'N', 'q', 'Q', 'R', 'S', 'D', 'f', 'Y', 'A', 'B', 'X', 'P'};

bool parse_number(const std::string &field, long &value) {
    if (field.empty() || field.size() > 12) return false;
    std::size_t i = field[0] == '-' ? 1 : 0;
    if (i == field.size()) return false;
    long v = 0;
    for (; i < field.size(); ++i) {
        if (field[i] < '0' || field[i] > '9') return false;
        v = v * 10 + (field[i] - '0');
    }
    value = field[0] == '-' ? -v : v;
    return true;
}

// Splits the fields after the command letters at commas outside quotes.
// Quoted fields keep their quotes; inside them a backslash escapes the next
// character.
std::vector<std::string> split_fields(const std::string &rest) {
    std::vector<std::string> fields;
    if (rest.empty()) return fields;
    std::string current;
    bool quoted = false;
    for (std::size_t i = 0; i < rest.size(); ++i) {
        const char c = rest[i];
        if (quoted && c == '\\' && i + 1 < rest.size()) {
            current += c;
            current += rest[++i];
        } else if (c == '"') {
            quoted = !quoted;
            current += c;
        } else if (c == ',' && !quoted) {
            fields.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    fields.push_back(current);
    return fields;
}

// The text of a quoted field, escapes resolved; false when it is not one
// quoted string.
bool unquote(const std::string &field, std::string &text) {
    if (field.size() < 2 || field.front() != '"') return false;
    text.clear();
    for (std::size_t i = 1; i < field.size(); ++i) {
        const char c = field[i];
        if (c == '\\' && i + 1 < field.size() - 1) {
            text += field[++i];
        } else if (c == '"') {
            return i == field.size() - 1;
        } else {
            text += c;
        }
    }
    return false;
}

std::string shown(const std::string &text, std::size_t longest = 40) {
    std::string out;
    for (char c : text.substr(0, longest)) out += (c >= 0x20 && c < 0x7F) ? c : '.';
    return text.size() > longest ? out + "..." : out;
}

// Reads the numeric fields named, in order; reports the first that is
// missing or not a number.
class Fields {
public:
    Fields(std::string command, const std::vector<std::string> &fields) : command_(std::move(command)), fields_(fields) {}

    bool number(std::size_t i, long &value) {
        return read(i, "", "a number", [&](const std::string &f) { return parse_number(f, value); });
    }
    bool text(std::size_t i, std::string &value) {
        return read(i, " (quoted data)", "quoted data", [&](const std::string &f) { return unquote(f, value); });
    }
    bool word(std::size_t i, std::string &value) {
        return read(i, "", "", [&](const std::string &f) {
            value = f;
            return true;
        });
    }
    const std::string &error() const { return error_; }

private:
    // Field i through parse; the first field missing or refused is the error.
    template <class Parse>
    bool read(std::size_t i, const char *missing, const char *kind, Parse parse) {
        if (!error_.empty()) return false;
        const std::string field = command_ + ": field " + std::to_string(i + 1);
        if (i >= fields_.size())
            error_ = field + missing + " is missing";
        else if (!parse(fields_[i]))
            error_ = field + " is not " + kind + ": '" + shown(fields_[i]) + "'";
        return error_.empty();
    }

    std::string command_;
    const std::vector<std::string> &fields_;
    std::string error_;
};

}  // namespace

Printer::Printer() { reset_buffer(); }

void Printer::reset_buffer() {
    buffer_ = Bitmap(width_, length_);
    drawn_ = false;
    pending_notes_.clear();
}

void Printer::diagnose(std::size_t offset, std::string message) { diagnostics_.push_back({offset, std::move(message)}); }

void Printer::note(std::size_t offset, std::string command, std::string detail) {
    events_.push_back({offset, std::move(command), std::move(detail)});
}

void Printer::feed(const void *data, std::size_t size) {
    const auto *p = static_cast<const std::uint8_t *>(data);
    std::size_t i = 0;
    while (i < size) {
        switch (mode_) {
        case Mode::skip_line: {
            const void *lf = std::memchr(p + i, '\n', size - i);
            if (!lf) {
                i = size;
                break;
            }
            i = static_cast<std::size_t>(static_cast<const std::uint8_t *>(lf) - p) + 1;
            mode_ = Mode::line;
            break;
        }
        case Mode::gw_data:
        case Mode::gm_data: {
            // Binary data is counted, never scanned for a line end.
            const std::size_t take = std::min(size - i, block_size_ - block_.size());
            block_.insert(block_.end(), p + i, p + i + take);
            i += take;
            if (block_.size() == block_size_) end_binary();
            break;
        }
        case Mode::line: {
            const char c = static_cast<char>(p[i]);
            if (line_.empty()) line_offset_ = offset_ + i;
            ++i;
            if (c == '\n') {
                std::string line;
                line.swap(line_);
                line_commas_ = 0;
                take_line(std::move(line), line_offset_);
                break;
            }
            line_ += c;
            // A GW header ends at its fourth comma, and its data follows at once.
            if (c == ',' && line_.size() > 2 && line_[0] == 'G' && line_[1] == 'W' && ++line_commas_ == 4) {
                std::string header;
                header.swap(line_);
                line_commas_ = 0;
                start_gw(header, line_offset_);
            } else if (line_.size() > kMaxLine) {
                diagnose(line_offset_, "line longer than " + std::to_string(kMaxLine) + " bytes without a line end");
                line_.clear();
                line_commas_ = 0;
                mode_ = Mode::skip_line;
            }
            break;
        }
        }
        if (mode_ != Mode::line && mode_ != Mode::skip_line && block_size_ == 0) end_binary();
    }
    offset_ += size;
}

void Printer::finish() {
    if (mode_ == Mode::gw_data || mode_ == Mode::gm_data)
        diagnose(block_offset_, std::string(mode_ == Mode::gw_data ? "GW" : "GM") + " data cut short: " +
                                    std::to_string(block_.size()) + " of " + std::to_string(block_size_) +
                                    " bytes before the stream ended");
    else if (mode_ == Mode::line && !line_.empty())
        diagnose(line_offset_, "the stream ends inside a line: '" + shown(line_) + "' (not run)");
    mode_ = Mode::line;
    line_.clear();
    line_commas_ = 0;
    block_.clear();
    block_size_ = 0;
}

std::vector<PrintedLabel> Printer::take_labels() {
    std::vector<PrintedLabel> out;
    out.swap(labels_);
    return out;
}

void Printer::take_line(std::string line, std::size_t offset) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) return;  // harmless; drivers send one to end a half-sent line
    std::string command;
    if (line.size() >= 2 && kTwoLetterCommands.count(line.substr(0, 2)))
        command = line.substr(0, 2);
    else if (kOneLetterCommands.count(line[0]))
        command = line.substr(0, 1);
    else {
        diagnose(offset, "unknown command: '" + shown(line) + "'");
        return;
    }
    if (command == "GM") {
        start_gm(line, offset);
        return;
    }
    run(command, split_fields(line.substr(command.size())), line, offset);
}

void Printer::run(const std::string &command, const std::vector<std::string> &fields, const std::string &line,
                  std::size_t offset) {
    Fields f(command, fields);
    long a = 0, b = 0;
    if (command == "N") {
        reset_buffer();
        note(offset, command, "clear the image buffer");
    } else if (command == "q") {
        if (f.number(0, a)) {
            if (a < 1 || a > kMaxWidth) {
                diagnose(offset, "q: label width " + std::to_string(a) + " dots is outside 1.." + std::to_string(kMaxWidth));
                return;
            }
            width_ = static_cast<int>(a);
            reset_buffer();
            note(offset, command, "label width " + std::to_string(a) + " dots");
        }
    } else if (command == "Q") {
        std::string gap;
        if (f.number(0, a) && f.word(1, gap)) {
            long g = 0;
            const bool mark = !gap.empty() && gap[0] == 'B';
            if (!parse_number(mark ? gap.substr(1) : gap, g)) {
                diagnose(offset, "Q: gap is not a number or B and a number: '" + shown(gap) + "'");
                return;
            }
            if (a < 1 || a > 65535) {
                diagnose(offset, "Q: label length " + std::to_string(a) + " dots is outside 1..65535");
                return;
            }
            if (a > kMaxLength) diagnose(offset, "Q: label length " + std::to_string(a) + " dots, previewed only to " + std::to_string(kMaxLength));
            length_ = static_cast<int>(std::min<long>(a, kMaxLength));
            settings_["media"] = g == 0 && !mark ? "continuous" : (mark ? "black mark " : "gap ") + std::to_string(g);
            reset_buffer();
            note(offset, command, "label length " + std::to_string(a) + " dots, " + settings_["media"]);
        }
    } else if (command == "R") {
        if (f.number(0, a) && f.number(1, b)) {
            ref_x_ = a;
            ref_y_ = b;
            note(offset, command, "reference point " + std::to_string(a) + "," + std::to_string(b));
        }
    } else if (command == "S" || command == "D" || command == "f") {
        static const std::map<std::string, std::string> names = {{"S", "speed"}, {"D", "density"}, {"f", "feed adjust"}};
        if (f.number(0, a)) {
            if (command == "D" && (a < 0 || a > 15)) diagnose(offset, "D: density " + std::to_string(a) + " is outside 0..15");
            settings_[names.at(command)] = std::to_string(a);
            note(offset, command, names.at(command) + " " + std::to_string(a));
        }
    } else if (command == "JB" || command == "JF") {
        settings_["top of form backup"] = command == "JB" ? "off" : "on";
        note(offset, command, "top of form backup " + settings_["top of form backup"]);
    } else if (command == "Y") {
        settings_["serial port"] = line.substr(1);
        note(offset, command, "serial port " + line.substr(1) + " (the printer resets)");
    } else if (command == "A") {
        draw_text(fields, offset);
    } else if (command == "B") {
        draw_barcode(fields, offset);
    } else if (command == "LO" || command == "LE" || command == "LW") {
        draw_lines(command, fields, offset);
    } else if (command == "X") {
        draw_box(fields, offset);
    } else if (command == "GG") {
        std::string name;
        if (f.number(0, a) && f.number(1, b) && f.text(2, name)) {
            auto it = stored_.find(name);
            if (it == stored_.end()) {
                diagnose(offset, "GG: no graphic stored as \"" + shown(name) + "\"");
                return;
            }
            place(it->second, a, b, 0, false, offset);
            note(offset, command, "stored graphic \"" + shown(name) + "\" at " + std::to_string(a) + "," + std::to_string(b));
        }
    } else if (command == "GK") {
        std::string name;
        if (f.text(0, name)) {
            const bool all = name == "*";
            const std::size_t removed = all ? stored_.size() : stored_.erase(name);
            if (all) stored_.clear();
            note(offset, command, (all ? "delete all stored graphics" : "delete \"" + shown(name) + "\"") +
                                      (removed ? "" : " (none stored)"));
        }
    } else if (command == "GI") {
        std::string names;
        for (const auto &entry : stored_) names += " \"" + entry.first + "\"";
        note(offset, command, "stored graphics:" + (names.empty() ? std::string(" none") : names));
    } else if (command == "P") {
        print(fields, offset);
    }
    if (!f.error().empty()) diagnose(offset, f.error());
}

void Printer::place(const Bitmap &picture, long x, long y, int quarter_turns, bool reverse, std::size_t offset) {
    const Bitmap turned = picture.turned_clockwise(quarter_turns);
    const long ox = ref_x_ + x, oy = ref_y_ + y;
    long left = ox, top = oy;  // the turned picture's top-left corner
    switch (((quarter_turns % 4) + 4) % 4) {
    case 1: left = ox - turned.width(); break;
    case 2: left = ox - turned.width(); top = oy - turned.height(); break;
    case 3: top = oy - turned.height(); break;
    default: break;
    }
    if (left < 0 || top < 0 || left + turned.width() > width_ || top + turned.height() > length_)
        pending_notes_.push_back("object at byte " + std::to_string(offset) + " extends past the label and is cut");
    for (long py = 0; py < turned.height(); ++py)
        for (long px = 0; px < turned.width(); ++px) {
            const bool dot = turned.black(px, py);
            if (reverse)
                buffer_.set(left + px, top + py, !dot);  // white on black
            else if (dot)
                buffer_.set(left + px, top + py);
        }
    drawn_ = drawn_ || !turned.empty();
}

void Printer::draw_text(const std::vector<std::string> &fields, std::size_t offset) {
    Fields f("A", fields);
    long x, y, rotation, font, h, v;
    std::string reverse, text;
    if (!(f.number(0, x) && f.number(1, y) && f.number(2, rotation) && f.number(3, font) && f.number(4, h) &&
          f.number(5, v) && f.word(6, reverse) && f.text(7, text))) {
        diagnose(offset, f.error());
        return;
    }
    FontCell cell{};
    if (rotation < 0 || rotation > 3) return diagnose(offset, "A: rotation " + std::to_string(rotation) + " is outside 0..3");
    if (!font_cell(static_cast<int>(font), cell)) return diagnose(offset, "A: no resident font " + std::to_string(font));
    if (h < 1 || h > 8 || h == 7) return diagnose(offset, "A: horizontal multiplier " + std::to_string(h) + " is not 1..6 or 8");
    if (v < 1 || v > 9) return diagnose(offset, "A: vertical multiplier " + std::to_string(v) + " is outside 1..9");
    if (reverse != "N" && reverse != "R") return diagnose(offset, "A: field 7 is not N or R: '" + shown(reverse) + "'");
    if (fields.size() > 8) diagnose(offset, "A: text after the closing quote is ignored");
    std::string error;
    const Bitmap glyphs = quillbar::preview::draw_text(static_cast<int>(font), text, error);
    if (!error.empty()) return diagnose(offset, "A: " + error);
    place(glyphs.magnified(static_cast<int>(h), static_cast<int>(v)), x, y, static_cast<int>(rotation), reverse == "R",
          offset);
    note(offset, "A", "text \"" + shown(text) + "\" font " + std::to_string(font) + " at " + std::to_string(x) + "," +
                          std::to_string(y) + (reverse == "R" ? " reversed" : ""));
}

void Printer::draw_barcode(const std::vector<std::string> &fields, std::size_t offset) {
    Fields f("B", fields);
    long x, y, rotation, narrow, wide, height;
    BarcodeRequest request;
    std::string readable;
    if (!(f.number(0, x) && f.number(1, y) && f.number(2, rotation) && f.word(3, request.selection) &&
          f.number(4, narrow) && f.number(5, wide) && f.number(6, height) && f.word(7, readable) &&
          f.text(8, request.data))) {
        diagnose(offset, f.error());
        return;
    }
    if (rotation < 0 || rotation > 3) return diagnose(offset, "B: rotation " + std::to_string(rotation) + " is outside 0..3");
    if (narrow < 1 || narrow > 10) return diagnose(offset, "B: narrow bar width " + std::to_string(narrow) + " is outside 1..10");
    if (wide < 2 || wide > 30) return diagnose(offset, "B: wide bar width " + std::to_string(wide) + " is outside 2..30");
    if (height < 1 || height > kMaxLength) return diagnose(offset, "B: bar height " + std::to_string(height) + " is out of range");
    if (readable != "B" && readable != "N") return diagnose(offset, "B: field 8 is not B or N: '" + shown(readable) + "'");
    request.narrow = static_cast<int>(narrow);
    request.wide = static_cast<int>(wide);
    request.height = static_cast<int>(height);
    request.readable = readable == "B";
    const BarcodeResult result = quillbar::preview::draw_barcode(request);
    if (!result.error.empty()) return diagnose(offset, "B: " + result.error);
    place(result.image, x, y, static_cast<int>(rotation), false, offset);
    note(offset, "B", "bar code " + request.selection + " \"" + shown(request.data) + "\" at " + std::to_string(x) +
                          "," + std::to_string(y));
}

void Printer::draw_lines(const std::string &command, const std::vector<std::string> &fields, std::size_t offset) {
    Fields f(command, fields);
    long x, y, w, h;
    if (!(f.number(0, x) && f.number(1, y) && f.number(2, w) && f.number(3, h))) return diagnose(offset, f.error());
    if (w < 0 || h < 0 || w > kMaxWidth || h > kMaxLength) return diagnose(offset, command + ": size out of range");
    const long left = ref_x_ + x, top = ref_y_ + y;
    if (left < 0 || top < 0 || left + w > width_ || top + h > length_)
        pending_notes_.push_back("object at byte " + std::to_string(offset) + " extends past the label and is cut");
    for (long py = top; py < top + h; ++py)
        for (long px = left; px < left + w; ++px) {
            if (command == "LO")
                buffer_.set(px, py);
            else if (command == "LW")
                buffer_.set(px, py, false);
            else
                buffer_.set(px, py, !buffer_.black(px, py));
        }
    drawn_ = drawn_ || (w > 0 && h > 0);
    note(offset, command, std::to_string(w) + "x" + std::to_string(h) + " at " + std::to_string(x) + "," + std::to_string(y));
}

void Printer::draw_box(const std::vector<std::string> &fields, std::size_t offset) {
    Fields f("X", fields);
    long x1, y1, t, x2, y2;
    if (!(f.number(0, x1) && f.number(1, y1) && f.number(2, t) && f.number(3, x2) && f.number(4, y2)))
        return diagnose(offset, f.error());
    if (x2 < x1 || y2 < y1 || t < 0 || x2 - x1 > kMaxWidth || y2 - y1 > kMaxLength)
        return diagnose(offset, "X: the end corner must lie right of and below the start, thickness not negative");
    const long left = ref_x_ + x1, top = ref_y_ + y1, w = x2 - x1, h = y2 - y1;
    if (left < 0 || top < 0 || left + w > width_ || top + h > length_)
        pending_notes_.push_back("object at byte " + std::to_string(offset) + " extends past the label and is cut");
    // The thickness grows inwards from the corners given.
    buffer_.fill(left, top, w, std::min(t, h));
    buffer_.fill(left, top + h - std::min(t, h), w, std::min(t, h));
    buffer_.fill(left, top, std::min(t, w), h);
    buffer_.fill(left + w - std::min(t, w), top, std::min(t, w), h);
    drawn_ = drawn_ || (w > 0 && h > 0 && t > 0);
    note(offset, "X", "box " + std::to_string(x1) + "," + std::to_string(y1) + " to " + std::to_string(x2) + "," +
                          std::to_string(y2) + " thickness " + std::to_string(t));
}

void Printer::start_gw(const std::string &header, std::size_t offset) {
    // "GWp1,p2,p3,p4," where the library writes a zero count as an empty field.
    std::vector<std::string> fields = split_fields(header.substr(2, header.size() - 3));
    if (fields.size() != 4) {
        diagnose(offset, "GW: expected four fields: '" + shown(header) + "' (data skipped to the next line end)");
        mode_ = Mode::skip_line;
        return;
    }
    long v[4] = {};
    for (std::size_t i = 0; i < 4; ++i) {
        if (fields[i].empty() && i >= 2) continue;
        if (!parse_number(fields[i], v[i])) {
            diagnose(offset, "GW: field " + std::to_string(i + 1) + " is not a number: '" + shown(fields[i]) +
                                 "' (data skipped to the next line end)");
            mode_ = Mode::skip_line;
            return;
        }
    }
    if (v[2] < 0 || v[3] < 0 || v[2] * v[3] > kMaxBlock) {
        diagnose(offset, "GW: image size out of range (data skipped to the next line end)");
        mode_ = Mode::skip_line;
        return;
    }
    gw_x_ = v[0];
    gw_y_ = v[1];
    gw_row_bytes_ = v[2];
    gw_rows_ = v[3];
    block_.clear();
    block_size_ = static_cast<std::size_t>(v[2] * v[3]);
    block_offset_ = offset;
    mode_ = Mode::gw_data;
}

void Printer::start_gm(const std::string &line, std::size_t offset) {
    // GM"NAME"p1: the name in quotes, the size straight after it.
    const std::size_t close = line.size() > 3 && line[2] == '"' ? line.find('"', 3) : std::string::npos;
    long size = 0;
    if (close == std::string::npos || !parse_number(line.substr(close + 1), size) || size < 0 || size > kMaxBlock) {
        diagnose(offset, "GM: expected GM\"NAME\" and a size: '" + shown(line) + "'");
        return;
    }
    gm_name_ = line.substr(3, close - 3);
    block_.clear();
    block_size_ = static_cast<std::size_t>(size);
    block_offset_ = offset;
    mode_ = Mode::gm_data;
}

void Printer::end_binary() {
    const Mode was = mode_;
    mode_ = Mode::line;
    if (was == Mode::gw_data) {
        Bitmap image(static_cast<int>(gw_row_bytes_ * 8), static_cast<int>(gw_rows_));
        for (long y = 0; y < gw_rows_; ++y)
            for (long x = 0; x < gw_row_bytes_ * 8; ++x)
                if (!(block_[static_cast<std::size_t>(y * gw_row_bytes_ + x / 8)] & (0x80 >> (x % 8)))) image.set(x, y);
        place(image, gw_x_, gw_y_, 0, false, block_offset_);
        note(block_offset_, "GW", std::to_string(gw_row_bytes_ * 8) + "x" + std::to_string(gw_rows_) + " image at " +
                                      std::to_string(gw_x_) + "," + std::to_string(gw_y_));
    } else if (was == Mode::gm_data) {
        if (stored_.count(gm_name_)) {
            diagnose(block_offset_, "GM: a graphic is already stored as \"" + shown(gm_name_) +
                                        "\" (printer error 08; send GK first)");
        } else {
            PcxResult pcx = decode_pcx(block_.data(), block_.size());
            if (!pcx.error.empty()) {
                diagnose(block_offset_, "GM \"" + shown(gm_name_) + "\": " + pcx.error);
            } else {
                if (gm_name_.size() > 8)
                    diagnose(block_offset_, "GM: the name \"" + shown(gm_name_) + "\" is longer than 8 characters");
                note(block_offset_, "GM", "store \"" + shown(gm_name_) + "\", " + std::to_string(pcx.image.width()) + "x" +
                                              std::to_string(pcx.image.height()));
                stored_[gm_name_] = std::move(pcx.image);
            }
        }
    }
    block_.clear();
    block_size_ = 0;
}

void Printer::print(const std::vector<std::string> &fields, std::size_t offset) {
    PrintedLabel label;
    Fields f("P", fields);
    if (!fields.empty() && !f.number(0, label.sets)) return diagnose(offset, f.error());
    if (fields.size() > 1 && !f.number(1, label.copies)) return diagnose(offset, f.error());
    if (label.sets < 1 || label.copies < 1)
        return diagnose(offset, "P: " + std::to_string(label.sets) + " sets of " + std::to_string(label.copies) +
                                    " copies prints nothing");
    label.image = buffer_;
    label.offset = offset;
    label.notes = pending_notes_;
    if (!drawn_) label.notes.push_back("the label has nothing on it");
    pending_notes_.clear();
    labels_.push_back(std::move(label));
    note(offset, "P", std::to_string(labels_.back().sets) + " set(s) of " + std::to_string(labels_.back().copies) +
                          " copy(ies)");
}

}  // namespace quillbar::preview
