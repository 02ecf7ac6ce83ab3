// SPDX-License-Identifier: MIT
// Files the library keeps in the user's cache folder (the face memory, the
// glyph stores): each is written whole or appended to, never left half
// written where a reader would take it.
#pragma once

#include <string>
#include <string_view>

namespace quillbar {

// Makes each folder above file that is missing, for this user only.
void make_folders(const std::string &file);

// Writes all of data to fd, going on after a signal; false when it could not.
bool write_all(int fd, std::string_view data);

// Puts text in file: written whole under another name, then renamed over the
// old file, so a reader sees the old file or the new one, never half of one.
// The folders above it are made first. False, with file as it was, when any
// step failed.
bool replace_file(const std::string &file, std::string_view text);

}  // namespace quillbar
