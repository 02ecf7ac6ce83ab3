// SPDX-License-Identifier: MIT
// What the printer sends back when asked: ^ee, UQ, UP, UI, US/UN/UT, UE, UF,
// UG, eR. Replies end in CR LF, as the printer's do.
#include "machine.h"

namespace quillbar::preview::replies {
namespace {

std::string two_digits(int code) {
    char text[8];
    std::snprintf(text, sizeof text, "%02d", code % 100);
    return text;
}

std::string setting(const Machine &m, const std::string &name, const std::string &fallback) {
    return m.state.kept_or(name, fallback);
}

}  // namespace

// The state the printer is in (out of paper, head up, paused), then the
// code of the last line that failed, or 00; asking clears the latter.
void errors(Machine &m, Cmd &c) {
    std::string codes;
    if (m.condition) codes = two_digits(m.condition);
    if (m.last_error && m.last_error != m.condition) codes += (codes.empty() ? "" : ",") + two_digits(m.last_error);
    if (codes.empty()) codes = "00";
    m.reply(codes + "\r\n");
    m.event(c.offset, "^ee", "error report " + codes);
    m.last_error = 0;
}

void configuration(Machine &m, Cmd &c) {
    const PrinterState &s = m.state;
    const std::string lines[] = {
        "quillbar-preview EPL2",
        "Serial port:" + setting(m, "serial port", "96,N,8,1"),
        "Image buffer size:" + std::to_string(s.width * s.length / 8 / 1024) + "K",
        "Fmem:" + std::to_string(m.form_bytes / 1024) + "K used",
        s.character_set + " " + setting(m, "double buffering", "rN") + " " +
            setting(m, "top of form backup", "JF") + " " + setting(m, "driver escapes", "WN"),
        "S" + setting(m, "speed", "4") + " D" + setting(m, "density", "08") + " R" + std::to_string(s.ref_x) + "," +
            std::to_string(s.ref_y) + " " + (s.upside_down ? "ZB" : "ZT") + (s.reports_errors() ? " US" : " UN"),
        "q" + std::to_string(s.width) + " Q" + std::to_string(s.label_length ? s.label_length : s.length),
        "Option:" + setting(m, "options", "D"),
    };
    std::string reply;
    for (const std::string &line : lines) reply += line + "\r\n";
    m.reply(reply);
    m.event(c.offset, c.letters, "configuration sent");
}

// UP: "UP" and the memory in KB (image buffer, forms total and free,
// graphics total and free, soft fonts total and free), then what UI sends.
void memory(Machine &m, Cmd &c) {
    const auto kb = [](std::size_t bytes) { return std::to_string(bytes / 1024); };
    const std::size_t image = static_cast<std::size_t>(m.state.width) * static_cast<std::size_t>(m.state.length) / 8;
    const std::size_t forms = std::min(m.form_bytes, limits::kMaxForms);
    const std::size_t graphics = std::min(m.graphics_bytes, limits::kMaxStoredGraphics);
    const std::size_t fonts = std::min(m.soft_font_bytes, limits::kMaxSoftFonts);
    m.reply("UP" + kb(image) + "," + kb(limits::kMaxForms) + "," + kb(limits::kMaxForms - forms) + "," +
            kb(limits::kMaxStoredGraphics) + "," + kb(limits::kMaxStoredGraphics - graphics) + "," +
            kb(limits::kMaxSoftFonts) + "," + kb(limits::kMaxSoftFonts - fonts) + "\r\n");
    m.event(c.offset, "UP", "memory sent");
    character_set(m, c);
}

// UI: the code page as I p1,p2,p3 set it, e.g. UI80,001 or UI8A,001.
void character_set(Machine &m, Cmd &c) {
    m.reply("UI" + std::to_string(m.state.data_bits) + m.state.page + "," + m.state.country + "\r\n");
    m.event(c.offset, "UI", "code page sent");
}

// US enables error reporting (answered with ACK), UN disables it, UT
// switches to the alternate mode.
void reporting(Machine &m, Cmd &c) {
    m.state.reporting = c.letters;
    m.state.reporting_set = true;
    if (c.letters == "US") m.reply(std::string(1, '\x06'));
    m.event(c.offset, c.letters, m.state.reports_errors() ? "error reporting on" : "error reporting off");
}

void lists(Machine &m, Cmd &c) {
    std::string reply;
    if (c.letters == "UF")
        for (const auto &f : m.forms) reply += f.first + "\r\n";
    if (c.letters == "UG")
        for (const auto &g : m.graphics) reply += g.first + "\r\n";
    if (c.letters == "UE")
        for (const auto &font : m.soft_fonts) reply += std::string(1, font.first) + "\r\n";
    m.reply(reply.empty() ? "\r\n" : reply);
    m.event(c.offset, c.letters, "list sent");
}

void error_format(Machine &m, Cmd &c) {
    m.state.kept["error reply format"] = "eR" + c.rest;
    m.event(c.offset, "eR", "error reply format " + c.rest);
}

}  // namespace quillbar::preview::replies
