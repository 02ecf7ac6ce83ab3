// SPDX-License-Identifier: MIT
// What the font finder found, remembered across processes, so that a program
// that prints one label does not start fontconfig at all (starting it, even
// with the least configuration, costs more CPU than the label).
//
// The file remembers, with each answer, the folders and configuration files
// the answer depended on and when each last changed, and is trusted only
// while every one of them is as it was: installing or removing a font
// changes the folder it lies in (and fc-cache rewrites its caches), editing
// a configuration changes the file or its folder. This is the rule
// fontconfig's own caches live by. A file that cannot be read, written or
// parsed is only a slower start, never an error.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "label/font_finder.h"

namespace quillbar {

class FaceMemory {
public:
    // The file is read at the first recall; "" remembers nothing.
    explicit FaceMemory(std::string file = std::string()) : file_(std::move(file)) {}

    bool recall(const std::string &question, FontFile &out);
    // Remembers an answer and the paths it depended on (folders, files; a
    // path that does not exist is watched for appearing) and writes the file.
    void remember(const std::string &question, const FontFile &answer, const std::vector<std::string> &depends_on);
    const std::string &file() const { return file_; }

private:
    void load();

    std::string file_;
    bool loaded_ = false;
    std::map<std::string, std::string> stamps_;  // path -> when it last changed, or "-" if absent
    std::map<std::string, FontFile> answers_;
};

// $XDG_CACHE_HOME/quillbar/faces, else ~/.cache/quillbar/faces; "" with
// neither.
std::string default_face_memory_file();

}  // namespace quillbar
