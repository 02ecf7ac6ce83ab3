// SPDX-License-Identifier: MIT
// A command line as its handler sees it, and the reader of its fields: each
// field read in order, the first one missing or malformed the error.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "command_table.h"

namespace quillbar::preview {

// One command line: the letters the table matched, and the rest.
struct Cmd {
    std::string letters;
    std::string rest;                 // after the letters, line end and trailing blanks removed
    std::size_t offset = 0;
    std::vector<std::string> fields;  // rest split at commas outside quotes
    const std::string *binary = nullptr;  // GW or GM data that came with the line
    const DataHeader *header = nullptr;   // and its header, as the command table read it
    Machine *machine = nullptr;
    mutable std::string data;  // what its data (or name) field read, for the label's list of elements
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
    // False, with the error, when the line has more than count fields: a
    // field a printer does not take is refused, never passed over.
    bool no_more_than(std::size_t count);
    const std::string &error() const { return error_; }
    void fail(const std::string &message) {
        if (error_.empty()) error_ = message;
    }

private:
    bool at(std::size_t i, const char *missing);
    bool data_field(std::size_t i, std::string &value);
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

}  // namespace quillbar::preview
