// SPDX-License-Identifier: MIT
// Running lines, forms and printing.
#include "machine.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>
#include <utility>

#include "held.h"

namespace quillbar::preview {

// ---- the machine ----------------------------------------------------------------------

Machine::Machine(VirtualPrinter::Options o) : state(o.media_width, o.media_length), options(o) {
    canvas.reset(state.width, state.length);
}

void Machine::diagnose(std::size_t at, const std::string &message, int code) {
    last_error = code;
    if (diagnostics.size() >= limits::kMaxDiagnostics) {
        ++dropped_diagnostics;
        return;
    }
    diagnostics.push_back({at, message, code, running_line ? running_line : reader.line(), running_command});
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

void Machine::reset_label() {
    canvas.reset(state.width, state.length);
    counter_objects.clear();
    notes.clear();
    elements.clear();
}

void Machine::reformat_label(std::size_t at, const std::string &command) {
    const long objects = canvas.objects();
    reset_label();
    if (objects > 0)
        diagnose(at, command + ": the image buffer is formatted anew: discarded " + std::to_string(objects) +
                         " object(s) drawn before it (send q and Q before N)",
                 last_error);
}

void Machine::note_outside(std::size_t at) {
    last_error = 2;
    if (notes.size() < 100) notes.push_back("object at byte " + std::to_string(at) + " extends past the label and is cut");
}

// ---- running lines ----------------------------------------------------------------------

void Machine::finish() {
    reader.finish();
    if (storing) {
        diagnose(reader.offset(), "the job ended inside FS \"" + shown(storing_name) + "\" (no FE): the form is not stored");
        storing = false;
        storing_form = Form{};
    }
    if (awaiting) diagnose(reader.offset(), "the job ended before '?' gave the form \"" + shown(awaiting_name) + "\" its data");
    awaiting = nullptr;
    data_values.clear();
    labels_this_job = 0;
    soft_font_dots = 0;
}

void Machine::on_data_line(std::string text, std::size_t, bool last) {
    // A '?' data line: data for the form's variables and counters, never a
    // command.
    data_values.push_back(std::move(text));
    if (last && awaiting) {
        const Form *form = awaiting;
        awaiting = nullptr;
        run_form(*form);
    }
}

void Machine::run_line(std::string text, std::size_t at, const std::string *binary, const DataHeader *header,
                       long line_number) {
    if (text.empty()) return;
    if (deadline && (stopped || std::chrono::steady_clock::now() > *deadline)) {
        if (!stopped) diagnose(at, "the time for this stream ran out: this line and the rest are not run");
        stopped = true;
        return;
    }
    const Held<long> where(running_line, line_number ? line_number : reader.line());
    const Held<const char *> which(running_command, "");  // harmless; drivers send one to end a half-sent line
    if (!binary && (text[0] == ' ' || text[0] == '\t')) {
        const std::size_t first = text.find_first_not_of(" \t");
        if (first == std::string::npos) return;
        text.erase(0, first);
        lenient(at, text.substr(0, 2), "a command indented by blanks");
    }
    const CommandEntry *entry = find_command(text);
    if (entry && entry->kind == Kind::comment) return event(at, entry->letters, "comment");
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
    entry = find_command(text);
    if (entry) running_command = entry->letters;
    if (storing && !(entry && entry->kind == Kind::form_end)) {
        if (!entry) return diagnose(at, "unknown command in form \"" + shown(storing_name) + "\": '" + shown(text) + "'");
        if (!entry->in_form)
            return diagnose(at, std::string(entry->letters) + " is not allowed inside a form (not stored)");
        const std::size_t bytes = text.size() + (binary ? binary->size() : 0) + limits::kStoredObjectCost;
        if (form_bytes + storing_form.bytes + bytes > limits::kMaxForms) {
            if (!storing_refused) diagnose(at, "form memory full: the form \"" + shown(storing_name) + "\" is refused", 4);
            storing_refused = true;
            return;
        }
        storing_form.entries.push_back({text, binary ? *binary : std::string(), at, running_line});
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
    // A stored form's line with data: its header is read again, by the
    // same reader.
    DataHeader read;
    if (binary && !header && entry->carries != Carries::nothing) {
        read = read_data_header(*entry, text);
        header = &read;
    }
    cmd.header = header;
    std::vector<std::size_t> starts;
    cmd.fields = split_fields(cmd.rest, starts);
    if (options.elements) canvas.begin_mark();
    entry->run(*this, cmd);
    if (options.elements) record_element(cmd);
}

// The objects that draw: text, bar codes, lines, boxes and graphics. A line
// that runs others (FR, P) is not one itself.
void Machine::record_element(const Cmd &cmd) {
    const char first = cmd.letters.empty() ? 0 : cmd.letters[0];
    if (std::string_view("ABbXLG").find(first) == std::string_view::npos) return;
    long x0, y0, x1, y1;
    if (!canvas.marked(x0, y0, x1, y1)) return;
    std::vector<Element> &into = printing ? printing_elements : elements;
    if (into.size() >= limits::kMaxElements) return;
    into.push_back({cmd.letters, running_line, cmd.offset, x0, y0, x1 - x0, y1 - y0, cmd.data});
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
            diagnose(reader.offset(), "counter C" + std::to_string(number) + ": start value '" + shown(start) + "' is not a number");
            value = 0;
        }
        c.value = value;
        c.shown_digits = start.size();
    }
    data_values.clear();
    substituting = true;
    for (const Form::Entry &e : form.entries) {
        const CommandEntry *entry = find_command(e.line);
        if (entry && defines(*entry, e.line)) continue;
        // An object whose data holds a counter is drawn anew for each set,
        // when the label prints.
        if (holds_counter(e.line)) {
            if (counter_objects.size() < 4096) counter_objects.push_back({e.line, e.offset, e.line_number});
            continue;
        }
        run_line(e.line, e.offset, entry && entry->carries != Carries::nothing ? &e.binary : nullptr, nullptr, e.line_number);
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

void Machine::print(long sets, long copies, std::size_t at) {
    // A PA met while a label is being printed (a counter object of the
    // form that is printing) would start a print from inside this one. A
    // printer has one print engine: the request is reported, and the print
    // under way goes on.
    if (printing)
        return diagnose(at, "a print request while a label is printing (PA among the form's counter objects); "
                            "not started");
    const Held<bool> engine(printing, true);
    const bool simple = canvas.plain() && counter_objects.empty() && !state.upside_down;
    // With counters, each set is its own label; without, one picture stands
    // for sets x copies.
    const long rounds = counter_objects.empty() ? 1 : sets;
    for (long round = 0; round < rounds; ++round) {
        if (options.max_labels > 0 && labels_this_job >= options.max_labels) {
            if (labels_unrendered++ == 0)
                diagnose(at, "label limit reached: the preview renders " + std::to_string(options.max_labels) +
                                 " labels of a stream; the rest are counted only", 4);
        } else if (simple) {
            emit(canvas.base(), sets, copies, at);
        } else if (counter_objects.empty() && !canvas.has_overlays() && !state.upside_down) {
            emit(canvas.compose(), sets, copies, at);
        } else {
            // Counter objects are drawn on the printed picture, as the form
            // substitutes them. By index and by copy: whatever a line run
            // here does to the list, the loop stays on firm ground.
            printing_elements.clear();
            const Bitmap &page = canvas.finish(state.upside_down, [this] {
                const Held<bool> substitute(substituting, true);
                for (std::size_t k = 0, n = counter_objects.size(); k < n && k < counter_objects.size(); ++k) {
                    const CounterObject o = counter_objects[k];
                    run_line(o.line, o.offset, nullptr, nullptr, o.line_number);
                }
            });
            emit(page, counter_objects.empty() ? sets : 1, copies, at);
            printing_elements.clear();
        }
        for (auto &entry : counters) entry.second.value += entry.second.step;
    }
    // What is in the buffer now is printed: a q or Q after it loses nothing unprinted.
    canvas.printed();
}

void Machine::emit(const Bitmap &image, long sets, long copies, std::size_t at) {
    ++labels_printed;
    ++labels_this_job;
    std::vector<std::string> label_notes = notes;
    if (!canvas.drawn()) label_notes.push_back("the label has nothing on it");
    if (label_sink) {
        // Where each object is on the picture as printed: turned with it.
        std::vector<Element> drawn = options.elements ? elements : std::vector<Element>();
        drawn.insert(drawn.end(), printing_elements.begin(), printing_elements.end());
        if (state.upside_down)
            for (Element &e : drawn) {
                e.x = image.width() - e.x - e.width;
                e.y = image.height() - e.y - e.height;
            }
        label_sink(LabelView{image, sets, copies, at, labels_printed, label_notes, options.elements ? &drawn : nullptr});
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
