// SPDX-License-Identifier: MIT
// The printer's settings, typed: what the setup commands change, what UQ,
// UI and UP answer from, and what the report lists. Each setting is held
// once; the report's map of names is produced from it.
#pragma once

#include <map>
#include <string>

namespace quillbar::preview {

struct PrinterState {
    PrinterState(int media_width, int media_length) : width(media_width), length(media_length) {}

    // ---- the image buffer ----
    int width, length;         // dots, as drawn
    bool width_set = false;    // by q or R
    long label_length = 0;     // Q's length as sent (drawn up to the preview's ceiling); 0 for none
    std::string media = "gap 24";
    long ref_x = 0, ref_y = 0;
    bool reference_set = false;
    bool upside_down = false;  // ZB

    // ---- characters ----
    std::string character_set = "I8,0,001";  // the I line as sent
    int data_bits = 8;
    std::string code_page = "437";  // I's p2 as a code page name, for resident fonts
    std::string page = "0";         // I's p2 as sent
    std::string country = "001";

    // ---- the host ----
    std::string reporting = "UN";  // US, UN or UT
    bool reporting_set = false;

    // Settings the preview keeps as written and only reports (speed,
    // density, options, the serial port...), by report name.
    std::map<std::string, std::string> kept;

    std::string kept_or(const std::string &name, const std::string &fallback) const {
        const auto it = kept.find(name);
        return it == kept.end() ? fallback : it->second;
    }
    bool reports_errors() const { return reporting != "UN"; }

    // Every setting by the name the report gives it.
    std::map<std::string, std::string> report() const;
};

}  // namespace quillbar::preview
