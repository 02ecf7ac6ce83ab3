// Reading the picture file that QB_DownPicture stores in the printer.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quillbar {

// The whole file, read while it is held for exclusive use. Nothing when the
// file is missing, unreadable, held by another process, or fails to read
// before its end.
std::optional<std::vector<unsigned char>> read_picture_file(const char *path);

}  // namespace quillbar
