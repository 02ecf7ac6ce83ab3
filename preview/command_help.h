// SPDX-License-Identifier: MIT
// What each command of the command table does and takes, for people: a
// line, its fields (name, range, default, meaning) and an example. Every
// command the printer knows has its row, and no row is for a command it
// does not know (checked by the tests), so the help cannot drift from the
// printer.
#pragma once

#include <cstddef>
#include <vector>

namespace quillbar::preview {

struct FieldHelp {
    const char *name;
    const char *range;     // "0-65535", "N or R", "" where free
    const char *fallback;  // the default, "" for none
    const char *meaning;
};

struct CommandHelp {
    const char *letters;
    const char *summary;
    const char *example;
    std::vector<FieldHelp> fields;
};

// Every row, in the command table's families' order.
const std::vector<CommandHelp> &command_help();

}  // namespace quillbar::preview
