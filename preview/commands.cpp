// SPDX-License-Identifier: MIT
// The command table: every command the printer knows, by its letters, with
// its handler and whether a stored form may hold it. A new command is a row
// here and a function in its family's file.
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
    {"EI", settings::word_setting, false},
    {"EK", settings::word_setting, false},
    {";", settings::comment, true},
    {"^@", settings::reset, false},
    {"^default", settings::reset, false},
    {"C", settings::cut, true},  // C alone cuts; C with fields is a form's counter
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
    {"GW", graphics::write, true},
    {"GM", graphics::store, false},
    {"GG", graphics::place, true},
    {"GK", graphics::remove, false},
    {"GI", graphics::list, false},
    // Forms, variables, counters and printing (forms.cpp)
    {"FK", forms::remove, false},
    {"FS", forms::start, false},
    {"FE", forms::end, true},
    {"FR", forms::retrieve, false},
    {"FI", forms::list, false},
    {"V", forms::variable, true},
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

}  // namespace quillbar::preview
