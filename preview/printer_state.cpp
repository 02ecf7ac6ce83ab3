// SPDX-License-Identifier: MIT
#include "printer_state.h"

namespace quillbar::preview {

std::map<std::string, std::string> PrinterState::report() const {
    std::map<std::string, std::string> out = kept;
    if (width_set) out["label width"] = std::to_string(width);
    if (label_length) {
        out["label length"] = std::to_string(label_length);
        out["media"] = media;
    }
    if (reference_set) out["reference point"] = std::to_string(ref_x) + "," + std::to_string(ref_y);
    out["direction"] = upside_down ? "ZB" : "ZT";
    out["character set"] = character_set;
    if (reporting_set) out["error reporting"] = reporting;
    return out;
}

}  // namespace quillbar::preview
