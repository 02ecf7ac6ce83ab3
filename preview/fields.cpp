// SPDX-License-Identifier: MIT
#include "fields.h"

#include <cctype>

#include "machine.h"

namespace quillbar::preview {

bool parse_number(const std::string &field, long &value) {
    if (field.empty() || field.size() > 12) return false;
    std::size_t i = field[0] == '-' ? 1 : (field[0] == '+' ? 1 : 0);
    if (i == field.size()) return false;
    long v = 0;
    for (; i < field.size(); ++i) {
        if (field[i] < '0' || field[i] > '9') return false;
        v = v * 10 + (field[i] - '0');
    }
    value = field[0] == '-' ? -v : v;
    return true;
}

std::string shown(const std::string &text, std::size_t longest) {
    std::string out;
    for (char c : text.substr(0, longest)) out += (c >= 0x20 && c < 0x7F) ? c : '.';
    return text.size() > longest ? out + "..." : out;
}

// Inside quotes a backslash escapes the next byte.
std::vector<std::string> split_fields(const std::string &rest, std::vector<std::size_t> &starts) {
    std::vector<std::string> fields;
    starts.clear();
    if (rest.empty()) return fields;
    std::string current;
    bool quoted = false;
    starts.push_back(0);
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
            starts.push_back(i + 1);
        } else {
            current += c;
        }
    }
    fields.push_back(current);
    return fields;
}

namespace {

// A quoted literal at raw[pos]: its text with escapes resolved; pos moves
// past the closing quote. False when it never closes.
bool literal(const std::string &raw, std::size_t &pos, std::string &out) {
    for (std::size_t i = pos + 1; i < raw.size(); ++i) {
        if (raw[i] == '\\' && i + 1 < raw.size()) {
            out += raw[++i];
        } else if (raw[i] == '"') {
            pos = i + 1;
            return true;
        } else {
            out += raw[i];
        }
    }
    return false;
}

}  // namespace

bool Fields::at(std::size_t i, const char *missing) {
    if (!error_.empty()) return false;
    if (i < cmd_.fields.size()) return true;
    error_ = cmd_.letters + ": field " + std::to_string(i + 1) + missing + " is missing";
    return false;
}

bool Fields::no_more_than(std::size_t count) {
    if (!error_.empty()) return false;
    if (cmd_.fields.size() <= count) return true;
    error_ = cmd_.letters + ": field " + std::to_string(count + 1) + " ('" + shown(cmd_.fields[count]) + "') is one too many: " +
             cmd_.letters + " takes " + std::to_string(count);
    return false;
}

bool Fields::number(std::size_t i, long &value) {
    if (!at(i, "")) return false;
    if (parse_number(cmd_.fields[i], value)) return true;
    error_ = cmd_.letters + ": field " + std::to_string(i + 1) + " is not a number: '" + shown(cmd_.fields[i]) + "'";
    return false;
}

bool Fields::count(std::size_t i, long &value) {
    if (at(i, "") && cmd_.fields[i].empty()) {
        value = 0;
        return true;
    }
    return number(i, value);
}

bool Fields::word(std::size_t i, std::string &value) {
    if (!at(i, "")) return false;
    value = cmd_.fields[i];
    return true;
}

bool Fields::name(std::size_t i, std::string &value) {
    if (!at(i, " (a quoted name)")) return false;
    const std::string &f = cmd_.fields[i];
    std::size_t pos = 0;
    value.clear();
    if (!f.empty() && f[0] == '"' && literal(f, pos, value) && pos == f.size()) return true;
    error_ = cmd_.letters + ": field " + std::to_string(i + 1) + " is not a quoted name: '" + shown(f) + "'";
    return false;
}

bool Fields::data(std::size_t i, std::string &value) {
    const bool read = data_field(i, value);
    if (read) cmd_.data = value;
    return read;
}

bool Fields::data_field(std::size_t i, std::string &value) {
    if (!at(i, " (quoted data)")) return false;
    // The data runs to the end of the line: commas inside it are its own.
    std::vector<std::size_t> starts;
    split_fields(cmd_.rest, starts);
    std::string raw = cmd_.rest.substr(starts[i]);
    // Blanks before the opening quote, as some generators write them.
    const std::size_t first = raw.find_first_not_of(" \t");
    if (first != 0 && first != std::string::npos && raw[first] == '"') {
        raw.erase(0, first);
        if (cmd_.machine) cmd_.machine->lenient(cmd_.offset, cmd_.letters, "a blank before the quoted data ignored");
    }
    value.clear();
    std::size_t pos = 0;
    bool ok = !raw.empty();
    const bool substituting = cmd_.machine && cmd_.machine->substituting;
    while (ok && pos < raw.size()) {
        const char c = raw[pos];
        if (c == '"') {
            ok = literal(raw, pos, value);
            continue;
        }
        // Variables V00..V99, counters C0..C9, time TT and date TD.
        std::string token;
        if (c == 'V' && pos + 2 < raw.size() && std::isdigit(static_cast<unsigned char>(raw[pos + 1])) &&
            std::isdigit(static_cast<unsigned char>(raw[pos + 2])))
            token = raw.substr(pos, 3);
        else if (c == 'C' && pos + 1 < raw.size() && std::isdigit(static_cast<unsigned char>(raw[pos + 1])))
            token = raw.substr(pos, 2);
        else if (raw.compare(pos, 2, "TT") == 0 || raw.compare(pos, 2, "TD") == 0)
            token = raw.substr(pos, 2);
        if (token.empty()) {
            ok = false;
            break;
        }
        pos += token.size();
        const std::optional<std::string> resolved = substituting ? cmd_.machine->resolve_token(token) : std::nullopt;
        if (!resolved) {
            error_ = cmd_.letters + ": " + token + " has no value here (variables and counters belong to a retrieved form)";
            return false;
        }
        value += *resolved;
    }
    if (ok) return true;
    // An unescaped quote inside the text: a printer would most likely
    // refuse the line; the preview draws up to the last quote and says so.
    const std::size_t last = raw.rfind('"');
    if (!raw.empty() && raw[0] == '"' && last > 0 && last != std::string::npos) {
        value.clear();
        // Every quote between the first and the last is taken as text.
        for (std::size_t k = 1; k < last; ++k) {
            if (raw[k] == '\\' && k + 1 < last)
                value += raw[++k];
            else
                value += raw[k];
        }
        if (cmd_.machine)
            cmd_.machine->lenient(cmd_.offset, cmd_.letters,
                                  "unescaped quote inside the text: drawn up to the last quote on the line");
        return true;
    }
    error_ = cmd_.letters + ": field " + std::to_string(i + 1) + " is not quoted data: '" + shown(raw) + "'";
    return false;
}

}  // namespace quillbar::preview
