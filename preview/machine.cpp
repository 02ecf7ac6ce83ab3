// SPDX-License-Identifier: MIT
// The stream reader, the field reader, painting and printing.
#include "machine.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>
#include <utility>

namespace quillbar::preview {

// ---- fields ---------------------------------------------------------------------------

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

// A value set for as long as this lives, then put back as it was.
template <typename T>
class Held {
public:
    Held(T &where, T value) : where_(where), old_(where) { where_ = value; }
    ~Held() { where_ = old_; }
    Held(const Held &) = delete;
    Held &operator=(const Held &) = delete;

private:
    T &where_;
    T old_;
};

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

// ---- painting ---------------------------------------------------------------------------

void Painter::place(long u, long v, long w, long h, long &left, long &top, long &width, long &height) const {
    switch (rotation_) {
    case 1: left = x_ - v - h; top = y_ + u; width = h; height = w; break;
    case 2: left = x_ - u - w; top = y_ - v - h; width = w; height = h; break;
    case 3: left = x_ + v; top = y_ - u - w; width = h; height = w; break;
    default: left = x_ + u; top = y_ + v; width = w; height = h; break;
    }
}

void Painter::rect(long u, long v, long w, long h, Bitmap::Ink ink) {
    long left, top, width, height;
    place(u, v, w, h, left, top, width, height);
    layer_.paint(left, top, width, height, ink);
}

bool Painter::visible(long u, long v, long w, long h) const {
    long left, top, width, height;
    place(u, v, w, h, left, top, width, height);
    return left < layer_.width() && top < layer_.height() && left + width > 0 && top + height > 0;
}

bool Painter::inside(long u, long v, long w, long h) const {
    long left, top, width, height;
    place(u, v, w, h, left, top, width, height);
    return left >= 0 && top >= 0 && left + width <= layer_.width() && top + height <= layer_.height();
}

// ---- the machine ----------------------------------------------------------------------

Machine::Machine(Printer::Options o) : options(o) {
    width = options.media_width;
    length = options.media_length;
    base.reset(width, length);
    settings["direction"] = "ZT";
    settings["character set"] = "I8,0,001";
}

void Machine::diagnose(std::size_t at, const std::string &message, int code) {
    last_error = code;
    if (diagnostics.size() >= limits::kMaxDiagnostics) {
        ++dropped_diagnostics;
        return;
    }
    diagnostics.push_back({at, message, code});
}

void Machine::event(std::size_t at, const std::string &command, const std::string &detail) {
    if (events.size() >= limits::kMaxEvents) {
        ++dropped_events;
        return;
    }
    events.push_back({at, command, detail});
}

// What a printer forgives, the preview forgives too, and says so in the
// report rather than in silence.
void Machine::lenient(std::size_t at, const std::string &command, const std::string &what) {
    event(at, command, "note: " + what);
}

Bitmap &Machine::layer(bool late_layer) {
    if (in_counter_pass) return page;
    if (!late_layer) return base;
    if (!late_used) {
        late.reset(width, length);
        late_used = true;
    }
    return late;
}

Bitmap &Machine::object_layer(bool graphic) { return layer(graphic || substituting); }

void Machine::reset_label() {
    base.reset(width, length);
    if (late_used) late.reset(width, length);
    late_used = false;
    page_valid = false;
    drawn = false;
    overlays.clear();
    counter_objects.clear();
    notes.clear();
}

void Machine::note_outside(std::size_t at) {
    last_error = 2;
    if (notes.size() < 100) notes.push_back("object at byte " + std::to_string(at) + " extends past the label and is cut");
}

// ---- reading the stream ---------------------------------------------------------------

void Machine::feed(const std::uint8_t *p, std::size_t size) {
    std::size_t i = 0;
    while (i < size) {
        switch (mode) {
        case Mode::skip_line: {
            const void *lf = std::memchr(p + i, '\n', size - i);
            i = lf ? static_cast<std::size_t>(static_cast<const std::uint8_t *>(lf) - p) + 1 : size;
            if (lf) mode = Mode::line;
            break;
        }
        case Mode::skip_bytes: {
            const std::size_t take = std::min(size - i, skip_left);
            skip_left -= take;
            i += take;
            if (skip_left == 0) mode = Mode::line;
            break;
        }
        case Mode::block: {
            // Binary data is counted, never scanned for a line end.
            const std::size_t take = std::min(size - i, block_size - block.size());
            block.append(reinterpret_cast<const char *>(p + i), take);
            i += take;
            if (block.size() == block_size) end_block();
            break;
        }
        case Mode::line:
        case Mode::data_lines: {
            if (line.empty()) line_offset = offset + i;
            const auto *lf = static_cast<const std::uint8_t *>(std::memchr(p + i, '\n', size - i));
            std::size_t end = lf ? static_cast<std::size_t>(lf - p) : size;
            // A GW header ends at its fourth comma: its data follows at once.
            if (mode == Mode::line && (line.size() >= 2 ? line.compare(0, 2, "GW") == 0
                                                         : (line + std::string(reinterpret_cast<const char *>(p + i),
                                                                               std::min<std::size_t>(2, end - i)))
                                                                   .compare(0, 2, "GW") == 0)) {
                for (std::size_t k = i; k < end; ++k)
                    if (p[k] == ',' && ++line_commas == 4) {
                        line.append(reinterpret_cast<const char *>(p + i), k + 1 - i);
                        i = k + 1;
                        std::string header;
                        header.swap(line);
                        line_commas = 0;
                        start_gw(std::move(header), line_offset);
                        goto next;
                    }
            }
            if (line.size() + (end - i) > limits::kMaxLine) {
                diagnose(line_offset, "line longer than " + std::to_string(limits::kMaxLine) + " bytes without a line end");
                line.clear();
                line_commas = 0;
                if (mode == Mode::data_lines && --data_lines_left == 0) mode = Mode::line;
                if (lf) {
                    i = end + 1;
                } else {
                    i = end;
                    mode = Mode::skip_line;
                }
                break;
            }
            line.append(reinterpret_cast<const char *>(p + i), end - i);
            i = end;
            if (lf) {
                ++i;
                end_line();
            }
            break;
        }
        }
    next:;
    }
    offset += size;
}

void Machine::end_line() {
    std::string text;
    text.swap(line);
    line_commas = 0;
    while (!text.empty() && text.back() == '\r') text.pop_back();
    if (!text.empty() && text[0] == '\r' && mode != Mode::data_lines) {
        // LF CR line ends: the CR of the line before starts this one.
        text.erase(0, text.find_first_not_of('\r'));
        lenient(line_offset, text.substr(0, 2), "LF CR line ends: the CR taken as part of the line end");
    }
    if (mode == Mode::data_lines) {
        // A '?' data line: data for the form's variables and counters,
        // never a command.
        data_values.push_back(text);
        if (--data_lines_left == 0) {
            mode = Mode::line;
            if (awaiting) {
                const Form *form = awaiting;
                awaiting = nullptr;
                run_form(*form);
            }
        }
        return;
    }
    // A GW line that ends at its line end: the data follows after it.
    if (text.compare(0, 2, "GW") == 0) return start_gw(text + ",", line_offset);
    if (text.compare(0, 2, "GM") == 0) {
        // GM"NAME"size: the name in quotes, the size straight after it.
        const std::size_t close = text.size() > 3 && text[2] == '"' ? text.find('"', 3) : std::string::npos;
        long size = 0;
        std::size_t digits = close == std::string::npos ? close : close + 1;
        if (digits != std::string::npos && digits < text.size() && text[digits] == ',') {
            ++digits;  // GM"NAME",size: a comma some writers put before the size
            lenient(line_offset, "GM", "a comma before the size taken as none");
        }
        if (close == std::string::npos || !parse_number(text.substr(digits), size) || size < 0) {
            diagnose(line_offset, "GM: expected GM\"NAME\" and a size: '" + shown(text) + "'");
            return;
        }
        block_header = text;
        return start_block("GM", static_cast<std::size_t>(size), line_offset);
    }
    run_line(std::move(text), line_offset);
}

void Machine::start_gw(std::string header, std::size_t at) {
    // "GWp1,p2,p3,p4," (a separator of any CRs and one LF comes as a comma
    // here); the library writes a zero count as an empty field.
    while (!header.empty() && header.back() == ',') header.pop_back();
    while (!header.empty() && header.back() == '\r') header.pop_back();
    std::vector<std::size_t> starts;
    const std::vector<std::string> f = split_fields(header.substr(2), starts);
    long v[4] = {};
    bool known[4] = {};
    for (std::size_t k = 0; k < 4 && k < f.size(); ++k) {
        if (f[k].empty() && k >= 2)
            known[k] = true;
        else
            known[k] = parse_number(f[k], v[k]);
    }
    long size = 0;
    const bool sized = f.size() == 4 && known[2] && known[3] && v[2] >= 0 && v[3] >= 0 && limits::multiply(v[2], v[3], size);
    block_header = header;
    if (!sized) {
        // Nothing says how long the data is: it is skipped to the next
        // line end rather than read as commands.
        diagnose(at, "GW: unusable header '" + shown(header) + "': " +
                         (f.size() != 4 ? std::string("expected four fields")
                                        : "the size " + (known[2] && known[3] ? std::string("overflows")
                                                                              : std::string("is not two numbers"))) +
                         " (data skipped to the next line end)");
        mode = Mode::skip_line;
        return;
    }
    if (!known[0] || !known[1]) {
        diagnose(at, "GW: field " + std::string(known[0] ? "2" : "1") + " is not a number: '" + shown(header) +
                         "' (its " + std::to_string(size) + " data bytes skipped)");
        skip_left = static_cast<std::size_t>(size);
        mode = size ? Mode::skip_bytes : Mode::line;
        return;
    }
    if (size == 0 && (v[2] != 0 || v[3] != 0))
        diagnose(at, "GW: an image of " + std::to_string(v[2]) + " bytes by " + std::to_string(v[3]) +
                         " rows holds no data (nothing read, nothing drawn)");
    start_block("GW", static_cast<std::size_t>(size), at);
}

void Machine::start_block(const std::string &kind, std::size_t size, std::size_t at) {
    block_kind = kind;
    block_offset = at;
    block.clear();
    if (size > limits::kMaxBlock) {
        diagnose(at, kind + ": " + std::to_string(size) + " bytes of data is more than the preview keeps (" +
                         std::to_string(limits::kMaxBlock) + "); skipped", 4);
        skip_left = size;
        mode = Mode::skip_bytes;
        return;
    }
    block_size = size;
    mode = Mode::block;
    if (size == 0) end_block();
}

void Machine::end_block() {
    mode = Mode::line;
    std::string data;
    data.swap(block);
    block_size = 0;
    run_line(block_header, block_offset, &data);
}

void Machine::finish() {
    if (mode == Mode::block)
        diagnose(block_offset, block_kind + " data cut short: " + std::to_string(block.size()) + " of " +
                                   std::to_string(block_size) + " bytes before the stream ended");
    else if (mode == Mode::skip_bytes)
        diagnose(block_offset, block_kind + " data cut short: " + std::to_string(skip_left) +
                                   " bytes still to come when the stream ended");
    else if (mode == Mode::data_lines)
        diagnose(line_offset, std::to_string(data_lines_left) + " data line(s) for the form still to come");
    else if (mode == Mode::line && line.find_first_not_of(std::string(" \t\r\0", 4)) == std::string::npos && !line.empty())
        lenient(line_offset, "", "NUL bytes or blanks after the last line ignored");
    else if (mode == Mode::line && !line.empty())
        diagnose(line_offset, "the stream ends inside a line: '" + shown(line) + "' (not run)");
    mode = Mode::line;
    line.clear();
    line_commas = 0;
    block.clear();
    block_size = 0;
    skip_left = 0;
}

void Machine::run_line(std::string text, std::size_t at, const std::string *binary) {
    if (text.empty()) return;  // harmless; drivers send one to end a half-sent line
    if (!binary && (text[0] == ' ' || text[0] == '\t')) {
        const std::size_t first = text.find_first_not_of(" \t");
        if (first == std::string::npos) return;
        text.erase(0, first);
        lenient(at, text.substr(0, 2), "a command indented by blanks");
    }
    if (text[0] == ';') return event(at, ";", "comment");
    if (!binary) {
        // "Q1218,26; 4x6": a comment after the values, outside quotes.
        bool quoted = false;
        for (std::size_t k = 1; k < text.size(); ++k) {
            if (quoted && text[k] == '\\') {
                ++k;
            } else if (text[k] == '"') {
                quoted = !quoted;
            } else if (text[k] == ';' && !quoted) {
                lenient(at, text.substr(0, std::min<std::size_t>(2, k)), "a comment after the values ignored");
                text.resize(k);
                break;
            }
        }
    }
    // Blanks after the last field, as a shell's echo leaves them.
    if (!binary) {
        std::size_t end = text.size();
        while (end > 0 && (text[end - 1] == ' ' || text[end - 1] == '\t')) --end;
        if (end < text.size()) {
            lenient(at, text.substr(0, std::min<std::size_t>(2, end)), "trailing blanks after the last field ignored");
            text.resize(end);
        }
        if (text.empty()) return;
    }
    const CommandEntry *entry = find_command(text);
    if (storing && !(entry && entry->run == forms::end)) {
        if (!entry) return diagnose(at, "unknown command in form \"" + shown(storing_name) + "\": '" + shown(text) + "'");
        if (!entry->in_form)
            return diagnose(at, std::string(entry->letters) + " is not allowed inside a form (not stored)");
        const std::size_t bytes = text.size() + (binary ? binary->size() : 0) + limits::kStoredObjectCost;
        if (form_bytes + storing_form.bytes + bytes > limits::kMaxForms) {
            if (!storing_refused) diagnose(at, "form memory full: the form \"" + shown(storing_name) + "\" is refused", 4);
            storing_refused = true;
            return;
        }
        storing_form.entries.push_back({text, binary ? *binary : std::string(), at});
        storing_form.bytes += bytes;
        return;
    }
    if (!entry) return diagnose(at, "unknown command: '" + shown(text) + "'");
    if (nesting >= limits::kMaxNesting)
        return diagnose(at, std::string(entry->letters) + " run " + std::to_string(nesting) +
                                " lines deep (forms inside prints inside forms); not run");
    const Held<int> depth(nesting, nesting + 1);
    Cmd cmd;
    cmd.machine = this;
    cmd.letters = entry->letters;
    cmd.rest = text.substr(cmd.letters.size());
    cmd.offset = at;
    cmd.binary = binary;
    std::vector<std::size_t> starts;
    cmd.fields = split_fields(cmd.rest, starts);
    entry->run(*this, cmd);
}

// ---- forms ----------------------------------------------------------------------------------

namespace {

// Whether a line's data holds a counter token (C0..C9 outside quotes, where
// a field or a literal ends).
bool holds_counter(const std::string &line) {
    bool quoted = false;
    for (std::size_t i = 1; i + 1 < line.size(); ++i) {
        const char c = line[i];
        if (quoted && c == '\\') {
            ++i;
        } else if (c == '"') {
            quoted = !quoted;
        } else if (!quoted && c == 'C' && std::isdigit(static_cast<unsigned char>(line[i + 1])) &&
                   (line[i - 1] == '"' || line[i - 1] == ',')) {
            return true;
        }
    }
    return false;
}

}  // namespace

void Machine::run_form(const Form &form) {
    // Values for the variables and counters, in the order they were defined.
    std::size_t next = 0;
    for (auto &[number, v] : variables) {
        (void)number;
        v.value = next < data_values.size() ? data_values[next++] : std::string();
    }
    for (auto &[number, c] : counters) {
        (void)number;
        const std::string start = next < data_values.size() ? data_values[next++] : std::string("0");
        long value = 0;
        if (!parse_number(start, value)) {
            diagnose(offset, "counter C" + std::to_string(number) + ": start value '" + shown(start) + "' is not a number");
            value = 0;
        }
        c.value = value;
        c.shown_digits = start.size();
    }
    data_values.clear();
    substituting = true;
    for (const Form::Entry &e : form.entries) {
        const CommandEntry *entry = find_command(e.line);
        if (entry && (entry->run == forms::variable || (entry->run == settings::cut && e.line.size() > 1))) continue;
        // An object whose data holds a counter is drawn anew for each set,
        // when the label prints.
        if (holds_counter(e.line)) {
            if (counter_objects.size() < 4096) counter_objects.push_back({e.line, e.offset});
            continue;
        }
        const bool has_data = !e.binary.empty() || e.line.compare(0, 2, "GW") == 0 || e.line.compare(0, 2, "GM") == 0;
        run_line(e.line, e.offset, has_data ? &e.binary : nullptr);
    }
    substituting = false;
}

std::optional<std::string> Machine::resolve_token(const std::string &token) const {
    const auto justify = [](std::string s, long width, char how) {
        if (how == 'N' || static_cast<long>(s.size()) >= width) return s;
        const std::size_t pad = static_cast<std::size_t>(width) - s.size();
        if (how == 'R') return std::string(pad, ' ') + s;
        if (how == 'C') return std::string(pad / 2, ' ') + s + std::string(pad - pad / 2, ' ');
        return s + std::string(pad, ' ');
    };
    if (token[0] == 'V') {
        const auto it = variables.find(std::stoi(token.substr(1)));
        if (it == variables.end()) return std::nullopt;
        return justify(it->second.value.substr(0, static_cast<std::size_t>(it->second.width)), it->second.width,
                       it->second.justify);
    }
    if (token[0] == 'C') {
        const auto it = counters.find(token[1] - '0');
        if (it == counters.end()) return std::nullopt;
        const long v = it->second.value;
        std::string digits = std::to_string(v < 0 ? -v : v);
        if (digits.size() < it->second.shown_digits) digits.insert(0, it->second.shown_digits - digits.size(), '0');
        if (v < 0) digits.insert(0, "-");
        return justify(digits, it->second.digits, it->second.justify);
    }
    // The clock option: the host's time and date stand in.
    char text[32];
    const std::time_t now = std::time(nullptr);
    std::strftime(text, sizeof text, token == "TT" ? "%H:%M" : "%Y-%m-%d", std::localtime(&now));
    return std::string(text);
}

// ---- printing ---------------------------------------------------------------------------

void Machine::compose() {
    if (page_valid) return;
    page.copy_from(base);
    if (late_used) page.merge(late);
    page_valid = true;
}

void Machine::print(long sets, long copies, std::size_t at) {
    // A PA met while a label is being printed (a counter object of the
    // form that is printing) would start a print from inside this one. A
    // printer has one print engine: the request is reported, and the print
    // under way goes on.
    if (printing)
        return diagnose(at, "a print request while a label is printing (PA among the form's counter objects); "
                            "not started");
    const Held<bool> engine(printing, true);
    const bool simple = !late_used && overlays.empty() && counter_objects.empty() && !upside_down;
    // With counters, each set is its own label; without, one picture stands
    // for sets x copies.
    const long rounds = counter_objects.empty() ? 1 : sets;
    for (long round = 0; round < rounds; ++round) {
        if (options.max_labels > 0 && labels_printed >= options.max_labels) {
            if (labels_unrendered++ == 0)
                diagnose(at, "label limit reached: the preview renders " + std::to_string(options.max_labels) +
                                 " labels of a stream; the rest are counted only", 4);
        } else if (simple) {
            emit(base, sets, copies, at);
        } else {
            compose();
            if (!counter_objects.empty() || !overlays.empty() || upside_down) {
                // Drawn on the composition, which the next print makes anew.
                page_valid = false;
                {
                    const Held<bool> substitute(substituting, true), pass(in_counter_pass, true);
                    // By index and by copy: whatever a line run here does
                    // to the list, the loop stays on firm ground.
                    for (std::size_t k = 0, n = counter_objects.size(); k < n && k < counter_objects.size(); ++k) {
                        const CounterObject o = counter_objects[k];
                        run_line(o.line, o.offset);
                    }
                }
                for (const Overlay &ov : overlays) page.paint(ov.x, ov.y, ov.w, ov.h, ov.ink);
                if (upside_down) page.turn_half();
            }
            emit(page, counter_objects.empty() ? sets : 1, copies, at);
        }
        for (auto &entry : counters) entry.second.value += entry.second.step;
    }
}

void Machine::emit(const Bitmap &image, long sets, long copies, std::size_t at) {
    ++labels_printed;
    std::vector<std::string> label_notes = notes;
    if (!drawn) label_notes.push_back("the label has nothing on it");
    if (label_sink) {
        label_sink(LabelView{image, sets, copies, at, labels_printed, label_notes});
    } else {
        PrintedLabel label;
        label.image = image;
        label.sets = sets;
        label.copies = copies;
        label.offset = at;
        label.number = labels_printed;
        label.notes = std::move(label_notes);
        labels.push_back(std::move(label));
    }
}

}  // namespace quillbar::preview
