// SPDX-License-Identifier: MIT
// The command table: the one place that says what a command is. Each row
// gives the letters, the handler, whether a stored form may hold it, what
// comes on the wire after the line (binary data for GW and GM), and its
// kind (a comment, a definition inside a form, the end of a form). The
// stream reader, the form store and the form runner ask the table; none of
// them knows a command by its letters.
#pragma once

#include <cstddef>
#include <string>

namespace quillbar::preview {

struct Machine;
struct Cmd;

using Handler = void (*)(Machine &, Cmd &);

// What follows a command's line.
enum class Carries {
    nothing,
    data_after_header,  // GWp1,p2,p3,p4, and p3 x p4 bytes straight after the fourth comma
    data_after_line,    // GM"NAME"size, a line end, and size bytes
    font_after_name,    // ES"n" and a soft font straight after the name's closing quote,
                        // as long as its own layout says (soft_fonts.h)
};

enum class Kind {
    command,
    comment,          // ; to the line end
    definition,       // defines a form's variable (V): not run when the form runs
    counter_or_cut,   // C alone cuts; C with fields defines a form's counter
    form_end,         // FE: ends what FS stores
};

struct CommandEntry {
    const char *letters;
    Handler run;
    bool in_form;
    Carries carries = Carries::nothing;
    Kind kind = Kind::command;
};

// Every entry of the table, and how many.
const CommandEntry *command_entries(std::size_t &count);

// The entry whose letters start line, the longest that fits; null for none.
const CommandEntry *find_command(const std::string &line);

// The entry carrying data straight after its header whose letters start
// the beginning of a line (possibly still incomplete); null for none.
const CommandEntry *header_data_command(const char *start, std::size_t size);

// Where such a header ends: at the marks-th mark (GW: the fourth comma;
// ES: the name's closing quote, the second).
struct HeaderEnd {
    char mark;
    int marks;
};
HeaderEnd header_end(const CommandEntry &entry);

// Whether line, a line of entry's command, defines a form's variable or
// counter rather than drawing or doing anything.
bool defines(const CommandEntry &entry, const std::string &line);

// The header of a command that carries data (GW, GM), read once: what the
// reader is to do with the bytes that follow, and what the handler draws or
// stores.
struct DataHeader {
    enum class Then {
        read,              // size bytes follow and belong to the command
        skip_bytes,        // size bytes follow but the command cannot use them
        skip_to_line_end,  // nothing says how long the data is
        nothing,           // no data follows (the line is refused)
    };
    Then then = Then::nothing;
    std::size_t size = 0;
    long x = 0, y = 0, row_bytes = 0, rows = 0;  // GW
    std::string name;                             // GM, ES
    std::string problem;  // what is wrong with the header, "" when nothing is
    std::string note;     // something a printer forgives ("" for none)
};

// Reads the header line of entry's command (line end removed; for GW the
// text up to its fourth comma).
DataHeader read_data_header(const CommandEntry &entry, const std::string &line);

}  // namespace quillbar::preview
