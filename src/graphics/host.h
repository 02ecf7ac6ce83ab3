// SPDX-License-Identifier: MIT
// What QB_DownPicture takes from the host: the picture file, and the modal
// message box that shows its stages when the application set no handler.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quillbar {

// The whole file, read while it is held for exclusive use. Nothing, and why
// in error, when the file is missing, not a plain file, unreadable, held by
// another process, or fails to read before its end.
std::optional<std::vector<unsigned char>> read_picture_file(const char *path, std::string &error);

// Shows text in the host's modal message box with an OK button and returns
// once it is acknowledged. Hosts without one (POSIX) show nothing.
void show_message_box(const std::string &text);

}  // namespace quillbar
