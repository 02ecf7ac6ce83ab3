// SPDX-License-Identifier: MIT
// The command table: every command the printer knows, by its letters, with
// its handler, whether a stored form may hold it, what it carries and its
// kind. A new command is a row here and a function in its family's file.
#include "command_table.h"

#include <algorithm>
#include <cstring>

#include "machine.h"

namespace quillbar::preview {
namespace {

const CommandEntry kCommands[] = {
    // Setup and settings (settings.cpp)
    {"N", settings::clear, false},
    {"q", settings::width, true},
    {"Q", settings::length, true},
    {"R", settings::reference, true},
    {"S", settings::number_setting, true},
    {"D", settings::number_setting, true},
    {"f", settings::number_setting, true},
    {"i", settings::number_setting, true},
    {"JB", settings::word_setting, true},
    {"JF", settings::word_setting, true},
    {"JC", settings::word_setting, true},
    {"O", settings::options, true},
    {"Z", settings::direction, true},
    {"I", settings::character_set, true},
    {"r", settings::word_setting, true},
    {"W", settings::word_setting, false},
    {"o", settings::word_setting, true},
    {"M", settings::word_setting, false},
    {"xa", settings::word_setting, true},
    {"TS", settings::word_setting, false},
    {"TT", settings::word_setting, true},
    {"TD", settings::word_setting, true},
    {"Y", settings::word_setting, false},
    {"UA", settings::word_setting, true},
    {"UB", settings::word_setting, true},
    {"U", settings::word_setting, false},
    // Soft fonts (soft_fonts.cpp)
    {"ES", soft_fonts::store, false, Carries::font_after_name},
    {"EI", soft_fonts::list, false},
    {"EK", soft_fonts::remove, false},
    {";", settings::comment, true, Carries::nothing, Kind::comment},
    {"^@", settings::reset, false},
    {"^default", settings::reset, false},
    {"C", settings::cut, true, Carries::nothing, Kind::counter_or_cut},
    // Text and bar codes (text.cpp, barcodes.cpp)
    {"A", text::draw, true},
    {"B", barcodes::linear, true},
    {"b", barcodes::two_dimensional, true},
    // Lines, boxes and graphics (graphics.cpp)
    {"LO", graphics::lines, true},
    {"LE", graphics::lines, true},
    {"LW", graphics::lines, true},
    {"LS", graphics::diagonal, true},
    {"X", graphics::box, true},
    {"GW", graphics::write, true, Carries::data_after_header},
    {"GM", graphics::store, false, Carries::data_after_line},
    {"GG", graphics::place, true},
    {"GK", graphics::remove, false},
    {"GI", graphics::list, false},
    // Forms, variables, counters and printing (forms.cpp)
    {"FK", forms::remove, false},
    {"FS", forms::start, false},
    {"FE", forms::end, true, Carries::nothing, Kind::form_end},
    {"FR", forms::retrieve, false},
    {"FI", forms::list, false},
    {"V", forms::variable, true, Carries::nothing, Kind::definition},
    {"?", forms::data, false},
    {"P", forms::print, false},
    {"PA", forms::auto_print, true},
    // Replies to the host (replies.cpp)
    {"^ee", replies::errors, false},
    {"UQ", replies::configuration, false},
    {"UP", replies::memory, false},
    {"UI", replies::character_set, false},
    {"US", replies::reporting, false},
    {"UN", replies::reporting, false},
    {"UT", replies::reporting, false},
    {"UE", replies::lists, false},
    {"UF", replies::lists, false},
    {"UG", replies::lists, false},
    {"eR", replies::error_format, false},
};

}  // namespace

const CommandEntry *command_entries(std::size_t &count) {
    count = sizeof kCommands / sizeof kCommands[0];
    return kCommands;
}

const CommandEntry *find_command(const std::string &line) {
    const CommandEntry *best = nullptr;
    std::size_t best_size = 0;
    for (const CommandEntry &entry : kCommands) {
        const std::size_t size = std::strlen(entry.letters);
        if (size > best_size && line.compare(0, size, entry.letters) == 0) {
            best = &entry;
            best_size = size;
        }
    }
    return best;
}

const CommandEntry *header_data_command(const char *start, std::size_t size) {
    for (const CommandEntry &entry : kCommands) {
        const std::size_t letters = std::strlen(entry.letters);
        if ((entry.carries == Carries::data_after_header || entry.carries == Carries::font_after_name) && size >= letters &&
            std::memcmp(start, entry.letters, letters) == 0)
            return &entry;
    }
    return nullptr;
}

HeaderEnd header_end(const CommandEntry &entry) {
    return entry.carries == Carries::font_after_name ? HeaderEnd{'"', 2} : HeaderEnd{',', 4};
}

bool defines(const CommandEntry &entry, const std::string &line) {
    return entry.kind == Kind::definition ||
           (entry.kind == Kind::counter_or_cut && line.size() > std::strlen(entry.letters));
}

namespace {

// GWp1,p2,p3,p4: the size is p3 x p4 (the library writes a zero count as an
// empty field). A separator of CRs and one LF before the data comes here as
// the header's end.
DataHeader gw_header(const std::string &line) {
    DataHeader h;
    std::string text = line;
    while (!text.empty() && text.back() == ',') text.pop_back();
    while (!text.empty() && text.back() == '\r') text.pop_back();
    std::vector<std::size_t> starts;
    const std::vector<std::string> f = split_fields(text.substr(2), starts);
    long v[4] = {};
    bool known[4] = {};
    for (std::size_t k = 0; k < 4 && k < f.size(); ++k) known[k] = (f[k].empty() && k >= 2) || parse_number(f[k], v[k]);
    long size = 0;
    const bool sized = f.size() == 4 && known[2] && known[3] && v[2] >= 0 && v[3] >= 0 && limits::multiply(v[2], v[3], size);
    if (!sized) {
        h.then = DataHeader::Then::skip_to_line_end;
        h.problem = "GW: unusable header '" + shown(text) + "': " +
                    (f.size() != 4 ? std::string("expected four fields")
                                   : "the size " + (known[2] && known[3] ? std::string("overflows")
                                                                         : std::string("is not two numbers"))) +
                    " (data skipped to the next line end)";
        return h;
    }
    h.size = static_cast<std::size_t>(size);
    if (!known[0] || !known[1]) {
        h.then = DataHeader::Then::skip_bytes;
        h.problem = "GW: field " + std::string(known[0] ? "2" : "1") + " is not a number: '" + shown(text) + "' (its " +
                    std::to_string(size) + " data bytes skipped)";
        return h;
    }
    h.then = DataHeader::Then::read;
    h.x = v[0];
    h.y = v[1];
    h.row_bytes = v[2];
    h.rows = v[3];
    if (size == 0 && (v[2] != 0 || v[3] != 0))
        h.problem = "GW: an image of " + std::to_string(v[2]) + " bytes by " + std::to_string(v[3]) +
                    " rows holds no data (nothing read, nothing drawn)";
    return h;
}

// GM"NAME"size: the name in quotes, the size straight after it.
DataHeader gm_header(const std::string &text) {
    DataHeader h;
    const std::size_t close = text.size() > 3 && text[2] == '"' ? text.find('"', 3) : std::string::npos;
    std::size_t digits = close == std::string::npos ? close : close + 1;
    if (digits != std::string::npos && digits < text.size() && text[digits] == ',') {
        ++digits;
        h.note = "a comma before the size taken as none";  // GM"NAME",size, as some writers put it
    }
    long size = 0;
    if (close == std::string::npos || !parse_number(text.substr(digits), size) || size < 0) {
        h.problem = "GM: expected GM\"NAME\" and a size: '" + shown(text) + "'";
        return h;
    }
    h.then = DataHeader::Then::read;
    h.size = static_cast<std::size_t>(size);
    h.name = text.substr(3, close - 3);
    return h;
}

}  // namespace

// ES"n": the font's letter; its data is read whatever the name, so that
// it is never run as commands.
DataHeader es_header(const std::string &text) {
    DataHeader h;
    h.then = DataHeader::Then::read;
    h.name = text.size() >= 4 ? text.substr(3, text.size() - 4) : "";
    return h;
}

DataHeader read_data_header(const CommandEntry &entry, const std::string &line) {
    switch (entry.carries) {
    case Carries::data_after_header: return gw_header(line);
    case Carries::font_after_name: return es_header(line);
    default: return gm_header(line);
    }
}

}  // namespace quillbar::preview
