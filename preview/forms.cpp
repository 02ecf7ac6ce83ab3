// SPDX-License-Identifier: MIT
// Forms, variables, counters and printing: FS ... FE, FR, FK, FI, V, C, ?,
// P and PA.
#include "machine.h"

namespace quillbar::preview::forms {
namespace {

void done(Machine &m, const Cmd &c, const Fields &f) {
    if (!f.error().empty()) m.diagnose(c.offset, f.error());
}

bool justify(const std::string &word, char &how) {
    if (word.size() != 1 || std::string("LRCN").find(word[0]) == std::string::npos) return false;
    how = word[0];
    return true;
}

}  // namespace

void start(Machine &m, Cmd &c) {
    Fields f(c);
    std::string name;
    if (!f.name(0, name)) return done(m, c, f);
    if (name.size() > 8) m.diagnose(c.offset, "FS: the name \"" + shown(name) + "\" is longer than 8 characters");
    m.storing = true;
    m.storing_name = name;
    m.storing_form = Form{};
    m.storing_refused = false;
    m.event(c.offset, "FS", "store the form \"" + shown(name) + "\" (its lines are kept, not drawn)");
}

void end(Machine &m, Cmd &c) {
    if (!m.storing) return m.diagnose(c.offset, "FE without FS");
    m.storing = false;
    if (m.storing_refused) return;
    if (m.forms.count(m.storing_name))
        return m.diagnose(c.offset, "FS: a form is already stored as \"" + shown(m.storing_name) +
                                        "\" (printer error 08; the old one is kept)", 8);
    const std::size_t cost = m.storing_form.bytes + m.storing_name.size() + limits::kStoredObjectCost;
    if (m.form_bytes + cost > limits::kMaxForms)
        return m.diagnose(c.offset, "form memory full: the form \"" + shown(m.storing_name) + "\" is refused", 4);
    m.form_bytes += cost;
    m.event(c.offset, "FE", "form \"" + shown(m.storing_name) + "\" stored, " +
                                std::to_string(m.storing_form.entries.size()) + " line(s)");
    m.forms[m.storing_name] = std::move(m.storing_form);
}

void retrieve(Machine &m, Cmd &c) {
    Fields f(c);
    std::string name;
    if (!f.name(0, name)) return done(m, c, f);
    const auto it = m.forms.find(name);
    if (it == m.forms.end()) return m.diagnose(c.offset, "FR: no form stored as \"" + shown(name) + "\"", 9);
    // The form's variables and counters, in the order they are defined.
    m.variables.clear();
    m.counters.clear();
    for (const Form::Entry &e : it->second.entries) {
        const CommandEntry *entry = find_command(e.line);
        if (!entry || !defines(*entry, e.line)) continue;
        const bool is_variable = entry->kind == Kind::definition;
        Cmd def;
        def.letters = entry->letters;
        def.rest = e.line.substr(1);
        def.offset = e.offset;
        def.machine = &m;
        std::vector<std::size_t> starts;
        def.fields = split_fields(def.rest, starts);
        Fields d(def);
        long number, width;
        std::string how;
        char j = 'N';
        if (!(d.number(0, number) && d.number(1, width) && d.word(2, how))) {
            m.diagnose(e.offset, d.error());
            continue;
        }
        if (!justify(how, j)) {
            m.diagnose(e.offset, def.letters + ": field 3 is not L, R, C or N: '" + shown(how) + "'");
            continue;
        }
        if (is_variable) {
            if (number < 0 || number > 99 || width < 1 || width > 99) {
                m.diagnose(e.offset, "V: variable 0..99 of 1..99 characters");
                continue;
            }
            m.variables[static_cast<int>(number)] = Variable{width, j, {}};
        } else {
            std::string step;
            long by = 0;
            if (!d.word(3, step) || step.size() != 2 || (step[0] != '+' && step[0] != '-') || !parse_number(step.substr(1), by) ||
                number < 0 || number > 9 || width < 1 || width > 29) {
                m.diagnose(e.offset, "C: counter 0..9 of 1..29 digits, stepped by + or - and a digit");
                continue;
            }
            Counter counter;
            counter.digits = width;
            counter.justify = j;
            counter.step = step[0] == '-' ? -by : by;
            m.counters[static_cast<int>(number)] = counter;
        }
    }
    m.event(c.offset, "FR", "retrieve the form \"" + shown(name) + "\"");
    if (m.variables.empty() && m.counters.empty()) return m.run_form(it->second);
    m.awaiting = &it->second;
    m.awaiting_name = name;
}

void remove(Machine &m, Cmd &c) {
    Fields f(c);
    std::string name;
    if (!f.name(0, name)) return done(m, c, f);
    const std::size_t removed = remove_named(
        m.forms, name, m.form_bytes,
        [](const std::string &n, const Form &f) { return f.bytes + n.size() + limits::kStoredObjectCost; },
        [&m](const Form &f) {
            if (m.awaiting == &f) m.awaiting = nullptr;
        });
    m.event(c.offset, "FK", (name == "*" ? "delete all forms" : "delete the form \"" + shown(name) + "\"") +
                                (removed ? "" : " (none stored)"));
}

void list(Machine &m, Cmd &c) {
    std::string names;
    for (const auto &entry : m.forms) names += " \"" + shown(entry.first) + "\"";
    m.event(c.offset, "FI", "stored forms:" + (names.empty() ? std::string(" none") : names));
}

void variable(Machine &m, Cmd &c) { m.diagnose(c.offset, "V defines a variable inside a form (FS ... FE) only"); }

void counter(Machine &m, Cmd &c) { m.diagnose(c.offset, "C with fields defines a counter inside a form (FS ... FE) only"); }

// ? then one data line a variable, then one a counter: data, never commands.
void data(Machine &m, Cmd &c) {
    if (!m.awaiting) return m.diagnose(c.offset, "? without a retrieved form that waits for data");
    m.data_values.clear();
    const long lines = static_cast<long>(m.variables.size() + m.counters.size());
    m.event(c.offset, "?", std::to_string(lines) + " data line(s) for the form \"" + shown(m.awaiting_name) + "\"");
    m.reader.expect_data_lines(lines);  // a form with nothing to fill in ran at FR
}

namespace {

// P p1[,p2]: p1 label sets, p2 copies of each. P alone prints one; P1,0
// prints one too.
void print_with(Machine &m, Cmd &c) {
    Fields f(c);
    long sets = 1, copies = 1;
    if (f.size() > 0 && !f.number(0, sets)) return done(m, c, f);
    if (f.size() > 1 && !f.number(1, copies)) return done(m, c, f);
    if (copies == 0) {
        m.lenient(c.offset, c.letters, c.letters + std::to_string(sets) + ",0 prints as one copy");
        copies = 1;
    }
    if (sets < 1 || sets > 65535 || copies < 1 || copies > 65535)
        return m.diagnose(c.offset, c.letters + ": " + std::to_string(sets) + " sets of " + std::to_string(copies) +
                                        " copies: each is 1..65535");
    m.event(c.offset, c.letters, std::to_string(sets) + " set(s) of " + std::to_string(copies) + " copy(ies)");
    m.print(sets, copies, c.offset);
}

}  // namespace

void print(Machine &m, Cmd &c) { print_with(m, c); }

void auto_print(Machine &m, Cmd &c) {
    if (!m.substituting) return m.diagnose(c.offset, "PA prints from inside a form only (use P)");
    print_with(m, c);
}

}  // namespace quillbar::preview::forms
