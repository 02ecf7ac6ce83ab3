// SPDX-License-Identifier: MIT
// Code 128 where libzint cannot be told what the printer does: a subset
// forced by the selection (1A, 1C) and UCC/EAN-128 data without application
// identifiers in brackets, which the printer still starts with FNC1.
#pragma once

#include <string>
#include <vector>

namespace quillbar::preview {

enum class Code128Set { A, B, C, automatic };

// The symbol's element widths in modules (bar, space, bar, ... from the
// start character to the stop), with fnc1 an FNC1 straight after the start.
// Returns "" or the rule the data breaks.
std::string code128_widths(const std::string &data, Code128Set set, bool fnc1, std::vector<int> &widths);

}  // namespace quillbar::preview
