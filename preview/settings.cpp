// SPDX-License-Identifier: MIT
// Setup and settings: none of these draws anything. The printer keeps them
// in its state, and the report shows them.
#include <map>

#include <set>

#include "machine.h"

namespace quillbar::preview::settings {
namespace {

void done(Machine &m, const Cmd &c, const Fields &f) {
    if (!f.error().empty()) m.diagnose(c.offset, f.error());
}

// The code pages of I's second field for 8-bit data, by the names iconv
// knows them by.
const std::map<std::string, std::string> kCodePages = {
    {"0", "437"},   {"1", "850"},   {"2", "852"},   {"3", "860"},   {"4", "863"},   {"5", "865"},   {"6", "857"},
    {"7", "861"},   {"8", "862"},   {"9", "855"},   {"10", "866"},  {"11", "737"},  {"12", "851"},  {"13", "869"},
    {"A", "1252"},  {"B", "1250"},  {"C", "1251"},  {"D", "1253"},  {"E", "1254"},  {"F", "1255"},
};

}  // namespace

void clear(Machine &m, Cmd &c) {
    if (!c.rest.empty()) return m.diagnose(c.offset, "N takes no fields: '" + shown(c.rest) + "'");
    m.reset_label();
    m.event(c.offset, "N", "clear the image buffer");
}

void width(Machine &m, Cmd &c) {
    Fields f(c);
    long w = 0;
    if (!f.number(0, w)) return done(m, c, f);
    if (w < 1 || w > 65535) return m.diagnose(c.offset, "q: label width " + std::to_string(w) + " dots is outside 1..65535");
    // A printer prints at most its head's width and cuts the rest.
    const int head = VirtualPrinter::print_width(m.options.dots_per_mm);
    if (w > head) {
        m.lenient(c.offset, "q", "label width " + std::to_string(w) + " dots is wider than the print head (" +
                                     std::to_string(head) + " dots): cut at the head's width");
        w = head;
    }
    m.state.width = static_cast<int>(w);
    m.state.width_set = true;
    m.reformat_label(c.offset, "q");  // GW images are lost too
    m.event(c.offset, "q", "label width " + std::to_string(w) + " dots");
}

// Q p1,p2[±p3] or Q p1,p2,±p3; p2 a gap, B and a mark, or 0 for continuous
// media. Q p1 alone keeps the gap it had.
void length(Machine &m, Cmd &c) {
    Fields f(c);
    long q = 0;
    if (!f.number(0, q)) return done(m, c, f);
    if (q < 1 || q > 65535) return m.diagnose(c.offset, "Q: label length " + std::to_string(q) + " dots is outside 1..65535");
    std::string media = m.state.media;
    if (f.size() == 1) {
        m.lenient(c.offset, "Q", "Q with the length only: the gap stays " + media);
    } else {
        std::string gap = c.fields[1], offset_text;
        const std::size_t sign = gap.find_first_of("+-", 1);
        if (sign != std::string::npos) {
            offset_text = gap.substr(sign);
            gap.resize(sign);
        } else if (f.size() > 2) {
            offset_text = c.fields[2];
        }
        const bool mark = !gap.empty() && gap[0] == 'B';
        long g = 0, off = 0;
        if (!parse_number(mark ? gap.substr(1) : gap, g) || g < 0)
            return m.diagnose(c.offset, "Q: gap is not a number or B and a number: '" + shown(c.fields[1]) + "'");
        if (!offset_text.empty() && !parse_number(offset_text, off))
            return m.diagnose(c.offset, "Q: offset is not a number: '" + shown(offset_text) + "'");
        media = g == 0 && !mark ? "continuous" : (mark ? "black mark " : "gap ") + std::to_string(g);
        if (!offset_text.empty()) media += " offset " + std::to_string(off);
        if (f.size() > 2 && sign == std::string::npos)
            m.lenient(c.offset, "Q", "offset given as a field of its own");
    }
    if (q > limits::kMaxLength)
        m.diagnose(c.offset, "Q: label length " + std::to_string(q) + " dots, previewed only to " +
                                 std::to_string(limits::kMaxLength));
    m.state.length = static_cast<int>(std::min<long>(q, limits::kMaxLength));
    m.state.label_length = q;
    m.state.media = media;
    m.reformat_label(c.offset, "Q");
    m.event(c.offset, "Q", "label length " + std::to_string(q) + " dots, " + media);
}

void reference(Machine &m, Cmd &c) {
    Fields f(c);
    long x = 0, y = 0;
    if (!f.number(0, x) || !f.number(1, y)) return done(m, c, f);
    m.state.ref_x = x;
    m.state.ref_y = y;
    m.state.reference_set = true;
    // R takes the reference point from the head's edge: the image is the
    // full print width, whatever q said.
    const int print_width = VirtualPrinter::print_width(m.options.dots_per_mm);
    if (m.state.width != print_width) {
        m.state.width = print_width;
        m.state.width_set = true;
        m.reformat_label(c.offset, "R");
        m.lenient(c.offset, "R", "R makes the image the full print width (" + std::to_string(print_width) +
                                     " dots), whatever q set");
    }
    m.event(c.offset, "R", "reference point " + std::to_string(x) + "," + std::to_string(y));
}

// S speed, D density, f feed position (fB: the backup position), i space
// between Asian characters.
void number_setting(Machine &m, Cmd &c) {
    static const std::map<std::string, std::string> names = {
        {"S", "speed"}, {"D", "density"}, {"f", "feed position"}, {"i", "Asian character spacing"}};
    std::string rest = c.rest, name = names.at(c.letters);
    if (c.letters == "f" && !rest.empty() && rest[0] == 'B') {
        rest.erase(0, 1);
        name = "backup position";
    }
    long v = 0;
    if (!parse_number(rest, v))
        return m.diagnose(c.offset, c.letters + ": field 1 is not a number: '" + shown(c.rest) + "'");
    if (c.letters == "D" && (v < 0 || v > 15)) m.diagnose(c.offset, "D: density " + std::to_string(v) + " is outside 0..15");
    if (c.letters == "f" && name == "feed position" && (v < 20 || v > 180))
        m.diagnose(c.offset, "f: feed position " + std::to_string(v) + " is outside 20..180 (nominal 100)");
    m.state.kept[name] = std::to_string(v);
    m.event(c.offset, c.letters, name + " " + std::to_string(v));
}

// Settings kept as they are written: JB/JF/JC, r, W, o..., M, xa, TS/TT/TD,
// Y, UA/UB, U, EI/EK.
void word_setting(Machine &m, Cmd &c) {
    static const std::map<std::string, std::string> names = {
        {"JB", "top of form backup"}, {"JF", "top of form backup"}, {"JC", "top of form backup"},
        {"r", "double buffering"},    {"W", "driver escapes"},      {"o", "options"},
        {"M", "memory allocation"},   {"xa", "auto-sense"},         {"TS", "clock"},
        {"TT", "time format"},        {"TD", "date format"},        {"Y", "serial port"},
        {"UA", "media-out buffer"},   {"UB", "media-out buffer"},   {"U", "configuration label"},
        {"EI", "soft font list"},     {"EK", "soft font delete"}};
    const std::string &name = names.at(c.letters);
    std::string value = c.letters + c.rest;
    if (c.letters == "JB") value = "off for batches (JB)";
    if (c.letters == "JF") value = "on (JF)";
    if (c.letters == "JC") value = "off (JC)";
    if (c.letters == "r" && c.rest != "N" && c.rest != "Y") {
        long x = 0, y = 0;
        Fields f(c);
        if (f.number(0, x) && f.number(1, y)) value = "reference point relative to q: " + c.rest;
        else return m.diagnose(c.offset, "r: expected N, Y or two numbers: '" + shown(c.rest) + "'");
    }
    if (c.letters == "Y") {
        // Checked before it is kept: UQ reports it, and a printer takes
        // nothing but these.
        static const std::set<std::string> speeds = {"38", "19", "96", "48", "24", "12"};
        Fields f(c);
        std::string speed, parity, bits, stop;
        if (f.size() != 4 || !f.word(0, speed) || !f.word(1, parity) || !f.word(2, bits) || !f.word(3, stop) ||
            !speeds.count(speed) || (parity != "N" && parity != "E" && parity != "O") || (bits != "7" && bits != "8") ||
            (stop != "1" && stop != "2"))
            return m.diagnose(c.offset, "Y: expected a speed 38, 19, 96, 48, 24 or 12, parity N, E or O, data bits 7 "
                                        "or 8 and stop bits 1 or 2: '" + shown(c.rest) + "'");
        m.state.kept["serial port"] = c.rest;
        return m.event(c.offset, "Y", "serial port: " + c.rest);
    }
    if (c.letters == "o") {
        // o alone cancels oH, oM and oE; each o letter is a setting of its own.
        m.state.kept["option o" + c.rest.substr(0, 1)] = value;
        return m.event(c.offset, "o", "option " + value);
    }
    m.state.kept[name] = value;
    m.event(c.offset, c.letters, name + ": " + value);
}

// O and its options, not cumulative: the options named replace all before.
void options(Machine &m, Cmd &c) {
    if (c.rest == "EPL1") {
        m.state.kept["language"] = "EPL1 (OEPL1)";
        return m.diagnose(c.offset, "OEPL1 switches the printer to line mode (EPL1) for good; the preview stays in EPL2");
    }
    static const char *const kKnown[] = {"C", "Cb", "D", "P", "L", "S", "Ff", "Fr", "Fi", "N"};
    for (const std::string &option : c.fields) {
        bool known = option.empty();
        for (const char *k : kKnown) known = known || option == k;
        long n = 0;
        if (!known && option.size() > 1 && option[0] == 'C' && parse_number(option.substr(1), n) && n >= 1 && n <= 255)
            known = true;
        if (!known) m.diagnose(c.offset, "O: unknown option '" + shown(option) + "'");
    }
    m.state.kept["options"] = c.rest.empty() ? "none (thermal transfer)" : c.rest;
    m.event(c.offset, "O", "hardware options " + (c.rest.empty() ? std::string("reset") : c.rest));
}

// ZT prints the buffer as built, ZB turns the printed picture 180 degrees.
void direction(Machine &m, Cmd &c) {
    if (c.rest != "T" && c.rest != "B") return m.diagnose(c.offset, "Z: expected ZT or ZB: 'Z" + shown(c.rest) + "'");
    m.state.upside_down = c.rest == "B";
    m.canvas.invalidate();
    m.event(c.offset, "Z", c.rest == "B" ? "print upside down (ZB)" : "print as built (ZT)");
}

// I p1,p2,p3: 8 or 7 data bits, the code page resident fonts draw bytes
// with, the country code.
void character_set(Machine &m, Cmd &c) {
    Fields f(c);
    long bits = 0;
    std::string page, country;
    if (!f.number(0, bits) || !f.word(1, page)) return done(m, c, f);
    if (f.size() > 2) f.word(2, country);
    if (f.size() > 3) return m.diagnose(c.offset, "I: at most three fields: '" + shown(c.rest) + "'");
    if (!country.empty() && (country.size() != 3 || country.find_first_not_of("0123456789") != std::string::npos))
        return m.diagnose(c.offset, "I: the country is three digits, not '" + shown(country) + "'");
    if (bits != 8 && bits != 7) return m.diagnose(c.offset, "I: data bits " + std::to_string(bits) + " are not 8 or 7");
    if (bits == 8) {
        const auto it = kCodePages.find(page);
        if (it == kCodePages.end()) return m.diagnose(c.offset, "I: no 8-bit code page '" + shown(page) + "'");
        m.state.code_page = it->second;
    } else {
        long national = -1;
        if (!parse_number(page, national) || national < 0 || national > 8)
            return m.diagnose(c.offset, "I: no 7-bit character set '" + shown(page) + "'");
        m.state.code_page = "7-bit " + page;
        m.lenient(c.offset, "I", "7-bit national characters drawn as ASCII");
    }
    m.state.data_bits = static_cast<int>(bits);
    m.state.page = page;
    if (!country.empty()) m.state.country = country;
    m.state.character_set = "I" + c.rest;
    m.event(c.offset, "I", "character set " + c.rest + " (code page " + m.state.code_page + ")");
}

void comment(Machine &m, Cmd &c) { m.event(c.offset, ";", "comment"); }

// ^@ resets like a power cycle, ^default restores the factory settings:
// stored graphics and forms stay.
void reset(Machine &m, Cmd &c) {
    if (c.letters == "^default") {
        // Every setting as it left the factory.
        m.state = PrinterState(m.options.media_width, m.options.media_length);
    } else {
        // A power cycle: the buffer and the reference point start anew.
        m.state.width = m.options.media_width;
        m.state.length = m.options.media_length;
        m.state.ref_x = m.state.ref_y = 0;
        m.state.width_set = m.state.reference_set = false;
        m.state.label_length = 0;
    }
    m.reset_label();
    m.event(c.offset, c.letters, c.letters == "^@" ? "reset" : "factory defaults");
}

void cut(Machine &m, Cmd &c) {
    if (!c.rest.empty()) return forms::counter(m, c);
    m.event(c.offset, "C", "cut now");
}

}  // namespace quillbar::preview::settings
