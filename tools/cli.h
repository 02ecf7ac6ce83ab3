// SPDX-License-Identifier: MIT
// What the command-line tools share: strict numbers and the --version text.
#pragma once

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace quillbar::tools {

// The whole of text as a decimal number within low..high; otherwise a
// message on standard error naming the option, and false.
inline bool parse_number(const char *program, const char *option, const char *text, long low, long high,
                         long &value) {
    char *end = nullptr;
    errno = 0;
    const long parsed = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno == ERANGE || parsed < low || parsed > high) {
        if (high == LONG_MAX)
            std::fprintf(stderr, "%s: %s wants a whole number from %ld, not '%s'\n", program, option, low, text);
        else
            std::fprintf(stderr, "%s: %s wants a whole number from %ld to %ld, not '%s'\n", program, option, low,
                         high, text);
        return false;
    }
    value = parsed;
    return true;
}

inline void print_version(const char *program, const char *version) {
    std::printf("%s (quillbar) %s\nCopyright (c) the quillbar developers. MIT licence.\n", program, version);
}

}  // namespace quillbar::tools
