// SPDX-License-Identifier: MIT
// Finds font files through fontconfig, cheaply. Reading fontconfig's whole
// configuration (some 80 XML files on a desktop system) costs several
// milliseconds, more than printing a label: the finder first asks a
// configuration of the standard font and cache folders only, and reads the
// whole one only when no listed face is there (a face in a folder that only a
// configuration file names, a family known by an alias). When the user
// chooses a configuration (FONTCONFIG_FILE or FONTCONFIG_PATH set), the whole
// one is used from the start. The application's own fontconfig set-up is
// never touched: both configurations are the finder's own. Answers are
// remembered across processes (face_memory.h), so that most programs never
// start fontconfig at all.
#pragma once

#include <string>
#include <vector>

namespace quillbar {

struct FontFile {
    std::string path;
    int index = 0;       // the face within a collection
    std::string family;  // the family it was found by
};

// The first family of the list (exact names, case aside) that is installed,
// asked for with lang (e.g. "zh-cn", or null).
bool find_listed_font(const std::vector<const char *> &families, const char *lang, FontFile &out);

// Through the whole configuration only: the best face for a fontconfig
// pattern ("monospace:spacing=mono"), or, with has, the best face for lang
// that draws every character of has.
bool match_font(const char *pattern, FontFile &out);
bool find_font_drawing(const char *lang, const std::vector<char32_t> &has, FontFile &out);

// Internal, for tests: the folders the small configuration looks in ("~" is
// the home folder), replacing the standard ones, with nothing remembered
// across processes; takes effect at the next lookup.
void set_standard_font_folders(std::vector<std::string> folders);
// Internal, for tests: the file that remembers answers across processes
// (face_memory.h; "" for none), read anew at the next lookup.
void set_face_memory_file(std::string file);
// That file; "" when nothing is remembered (a configuration of the user's
// own, or no cache folder).
std::string face_memory_file();

}  // namespace quillbar
